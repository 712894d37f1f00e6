// SPDX-License-Identifier: GPL-3.0-or-later
// One complete exchange with the programmer adapter: open, set up, purge, send,
// receive by the rule of the command code, close.
#pragma once

#include "protocol.h"
#include "serialline.h"

#include <memory>

namespace avrlink {

class PortHold;

// The line one command goes out on: the line its operation keeps open (fast transfers), or
// one opened for this command alone and closed with it. Either way the operation's lock and
// latency apply, and what came in unasked before the command is drained.
class CommandLine {
public:
    explicit CommandLine(const QString &portName);
    ~CommandLine();
    // False after the failure has gone to reporter.
    bool open(Reporter &reporter);
    SerialLine &line() { return *line_; }
    PortHold *hold() const { return hold_; }
    // Discards what waits on the line, after waiting for quiet where a reply broke the gap rule.
    void prepare();
    // The reply just read had `got` of `count` bytes: some, then a pause, too few.
    void noteReply(int got, int count);

private:
    QString portName_;
    PortHold *hold_ = nullptr;
    SerialLine *line_ = nullptr;
    std::unique_ptr<SerialLine> own_;
};

// How an exchange ended, for callers that check the reply themselves.
enum class Outcome {
    Done,               // the block went out and the whole reply or both acknowledgements came
    PortFailure,        // the port could not be opened, read or set up (already reported)
    NotSent,            // the port would not take the block in time
    ShortReply,         // fewer reply bytes than the command gets (none at all included)
    NoAcknowledgement,  // a page acknowledgement never came: the adapter's state is unknown
};

struct ExchangeResult {
    Outcome outcome = Outcome::Done;
    int received = 0;  // reply bytes stored (codes other than 5)
    bool done() const { return outcome == Outcome::Done; }
};

// The exchange with its outcome. Only port failures (and a page size that cannot be sent)
// are reported through reporter; a short reply or a missing acknowledgement is left to the
// caller, who knows what it means for the operation.
ExchangeResult exchange(LinkState &state, int pageSize, Reporter &reporter);

// Carries CmdBlock (and for a page write the first pageSize bytes of PageBuffer) to the
// adapter and stores the reply where the command code says. Failures are reported through
// reporter once, and the result says whether the exchange worked: a reply to codes 0 to 4
// is not checked, a short block or word reply and a missing page acknowledgement are failures.
bool exchangeCommand(LinkState &state, int pageSize, Reporter &reporter);

// "No answer from programmer on PORT port.": a reply that did not come whole.
QString noAnswerText(const QString &port);

}  // namespace avrlink
