// SPDX-License-Identifier: GPL-3.0-or-later
// Serial numbers for a production run: each chip that passes every step gets the next one, and
// several runs side by side (one per adapter) never hand out a number twice.
//
// The numbers live in a small text file, changed only under an exclusive lock (flock on
// "<file>.lock") and replaced atomically:
//   next=1005           the smallest number not used yet
//   used=1007           a number used out of turn (a later run passed first)
//   reserved=1006 4711  a number a running program (process 4711) holds for its chip
// A run reserves a number before it programs the chip; the number counts as used only when the
// chip has passed every step (commit), and is free again when it has not (release) or when the
// process that held it is gone.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <set>
#include <map>

namespace production {

struct SerialState {
    std::uint64_t next = 0;
    std::set<std::uint64_t> used;
    std::map<std::uint64_t, long> reserved;  // number -> process
};

// The file's text, and back. A file that does not parse gives nothing.
std::optional<SerialState> parseSerials(const QByteArray &text);
QByteArray formatSerials(const SerialState &state);

// The pure steps, for tests: the number a run gets (the smallest from max(next, start) that is
// neither used nor reserved), and the state after a pass.
std::uint64_t reserveNumber(SerialState &state, std::uint64_t start, long process);
void commitNumber(SerialState &state, std::uint64_t number);
void releaseNumber(SerialState &state, std::uint64_t number);

// The file's default place: beside the log file, "serial.txt" (or in the current folder).
QString defaultSerialFile(const QString &logFile);

class SerialFile {
public:
    explicit SerialFile(QString path);
    // Each step locks the file, reads it (a missing file: next = start), changes it and puts it
    // back atomically. False with error set when the file cannot be locked, read or written.
    bool reserve(std::uint64_t start, std::uint64_t &number);
    bool commit(std::uint64_t number);
    bool release(std::uint64_t number);
    QString error() const { return error_; }

private:
    template <typename Change>
    bool change(Change &&change);

    QString path_;
    QString error_;
};

// The serial number as little-endian bytes; false when it does not fit count bytes.
bool serialBytes(std::uint64_t number, int count, QByteArray &bytes);

}  // namespace production
