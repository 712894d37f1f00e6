// SPDX-License-Identifier: GPL-3.0-or-later
// One operation's hold on its port, from its first command to its last.
//
// Two programs on one port interleave their commands, and the adapter takes any chip command
// as the end of a Flash stream: a Read Chip of another program between two pages of a write
// makes the write land at Flash byte 0 again. So every operation takes the port's exclusive
// lock with its first command and keeps it until its last, across the opens between commands.
//
//   avrlink::PortHold hold(portName, fast);   // at the start of an operation; takes nothing yet
//   ... exchanges ...                        // the first one takes the port (lock, and with fast
//                                            // transfers the open line itself)
//   }                                        // out of scope: the port is closed and unlocked
//
// Holds nest: a hold made while one for the same port is active in this process joins it (the
// closing Read Chip of a write, a command line run that is one operation throughout).
//
// - fast: the port is opened once, by the first command, and stays open and set up until the
//   hold ends; the line's flock and TIOCEXCL are held all that time.
// - not fast (the compatible way): each command opens and closes the port itself, as the
//   original program did; the hold keeps the flock on a descriptor of its own in between.
// - A port held by another program (flock, or a UUCP lock file) is refused at the first
//   command, with the holder named, and nothing is sent.
// - The bridge's latency (sysfs latency_timer, after the low-latency request) widens every
//   reply window of the lines the operation uses.
// - After a reply that broke the gap rule (some bytes, then a pause, too few), the next command
//   waits until the line is quiet first, so that the late tail is not taken for its reply.
#pragma once

#include "protocol.h"
#include "serialline.h"

#include <QString>
#include <memory>

namespace avrlink {

// What the adapter told about itself in this operation (the identification of our board).
struct BoardInfo {
    bool asked = false;  // the question was sent in this operation, whatever came back
    bool ours = false;
    std::uint8_t version = 0;
    std::uint8_t capabilities = 0;
};

class PortHold {
public:
    PortHold(const QString &portName, bool fast);
    ~PortHold();
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    // The hold active for portName in this process, or null.
    static PortHold *active(const QString &portName);

    bool fast() const;
    // Takes the port if not taken yet. False after reporting why (the port cannot be opened,
    // or another program holds it); a hold that failed tries again at its next command.
    bool take(Reporter &reporter);
    // With fast transfers, the line open for the whole operation (after take()); else null.
    SerialLine *line();
    // Sets a line opened for one command up as the operation's lines are set up.
    void adopt(SerialLine &line);
    int latencyMs() const;

    // The identification seen in this operation, if any.
    const BoardInfo &board() const;
    void setBoard(const BoardInfo &board);

    // A reply broke the gap rule: the next command first waits for quiet.
    void replyBroken();
    bool takeQuietDue();

    struct Shared;

private:
    Shared *shared_ = nullptr;  // the outermost hold's state
    bool outer_ = false;
};

// The text that reports a failed open of port: its first line as the original program wrote
// it, then why and what to do, when known.
QString openFailureText(const QString &port, const SerialLine::OpenReport &report);

}  // namespace avrlink
