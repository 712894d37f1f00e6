// SPDX-License-Identifier: GPL-3.0-or-later
// The serial port as the exchange needs it: opened exclusively for one command,
// set to 115200 8N1, purged, written and read under fixed time-outs, closed again.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace avrlink {

// "\\.\COMn" and "COMn" (any case) name the n-th serial port of the machine;
// any other text is a device path used as it stands.
QString systemPortPath(const QString &portName);

// How the port is reached. Qt SerialPort serves every platform; on POSIX systems the
// termios calls are made directly by default, since Qt's open and close (with its lock
// file written and synced to disk) cost a hundred times more, and a Flash verify makes
// one port cycle per two bytes.
enum class SerialBackend { Qt, Posix };

class PortDevice;

class SerialLine {
public:
    enum class OpenResult { Ok, CantOpen, CantReadStatus, CantSetup };
    // The step of an open that failed; Lock means another opener holds the port.
    enum class OpenStep { None, Open, Lock, ReadStatus, Setup };

    // What the last open did, for the failure texts and for tests of the line set-up.
    struct OpenReport {
        OpenResult result = OpenResult::Ok;
        OpenStep failedStep = OpenStep::None;
        int savedErrno = 0;            // errno of the failed step, 0 when none is known
        QString path;                  // the device path the open used
        bool lineSetUp = false;        // line settings written: the port's differed from ours
        bool lowLatencyAsked = false;  // the driver was asked for low latency ...
        int lowLatencyErrno = 0;       // ... and refused with this errno (ignored), 0 when it took it
    };
    static constexpr int kWriteTimeoutMs = 2000;
    // What the time limits of read, write and waitForCharacter are measured by.
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    static void setDefaultBackend(SerialBackend backend);
    static SerialBackend defaultBackend();

    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    OpenResult open(const QString &portName);
    void close();
    const OpenReport &lastOpen() const { return report_; }
    // Why the last open failed and what to do about it, as lines to go below the failure
    // text (starting with a blank line); empty when there is nothing useful to add.
    QString failureHelp() const;

    // Discards whatever waits in both directions.
    void purge();
    // Hands all bytes to the port; false only when the port would not take them in time.
    bool write(const std::uint8_t *data, int count);
    // Reads up to count bytes into target and returns how many came. It ends when all
    // have arrived, 10 ms after a byte without the next, or 10 + 10 x count ms after it began.
    // Before it ends for time it takes, without waiting, what the driver already holds: a
    // thread that was not scheduled until past the limit must not lose bytes that came in time.
    // Bytes that did not come leave their places in target untouched.
    int read(std::uint8_t *target, int count);
    // Waits until one more character has arrived (it is consumed, not returned).
    bool waitForCharacter(int timeoutMs);

    // Replaces the clock (Clock::now by default), so that a test can let a time limit pass at
    // the moment it chooses.
    void setClock(ClockSource clock);

private:
    Clock::time_point now() const { return clock_ ? clock_() : Clock::now(); }
    int msLeft(Clock::time_point until) const;

    std::unique_ptr<PortDevice> device_;
    ClockSource clock_;
    OpenReport report_;
};

}  // namespace avrlink
