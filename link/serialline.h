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
// The Windows form of it: "\\.\COMn" for both, which reaches COM10 and above too (a plain
// "COM10" does not open); any other text as it stands.
QString windowsPortPath(const QString &portName);

// How the port is reached. Qt SerialPort serves the POSIX systems too, but there the
// termios calls are made directly by default, since Qt's open and close (with its lock
// file written and synced to disk) cost a hundred times more, and a Flash verify makes
// one port cycle per two bytes. Windows has its own serial services (CreateFile, DCB,
// COMMTIMEOUTS), the only backend there.
enum class SerialBackend { Qt, Posix, Windows };

class PortDevice;

class SerialLine {
public:
    enum class OpenResult { Ok, CantOpen, CantReadStatus, CantSetup };
    // Whether the open takes the port's exclusive lock itself, or finds it already taken by this
    // process for the whole operation (a PortHold), whose lock a second flock would collide with.
    enum class Locking { Take, HeldByOperation };
    // The step of an open that failed; Lock means another opener holds the port.
    enum class OpenStep { None, Open, Lock, ReadStatus, Setup };

    // What the last open did, for the failure texts and for tests of the line set-up.
    struct OpenReport {
        OpenResult result = OpenResult::Ok;
        OpenStep failedStep = OpenStep::None;
        int savedErrno = 0;            // errno of the failed step (on Windows its GetLastError()
                                       // code; ENOENT and ERROR_FILE_NOT_FOUND are both 2), 0 when none is known
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

    OpenResult open(const QString &portName, Locking locking = Locking::Take);
    void close();
    bool isOpen() const;
    const OpenReport &lastOpen() const { return report_; }

    // Discards whatever waits in both directions.
    void purge();
    // Discards what has come in and not been read: the rest of a reply that came too late
    // for its command must not be taken for the next command's.
    void drain();
    // Takes and discards bytes until none has come for quietMs, but for no longer than capMs in
    // all; returns how many were discarded. After a reply that broke the gap rule the adapter
    // may still be sending its tail.
    int waitQuiet(int quietMs, int capMs);
    // Waits until everything written has left the port (before the line's rate changes).
    bool waitSent(int timeoutMs);
    // The line's rate, for the fast lane of our own board; false when the port cannot carry it.
    bool setRate(int baud);

    // A USB bridge holds short replies for its latency timer: the time limits of read and
    // waitForCharacter, and the gap rule, are widened by this much.
    void setLatencyMs(int ms) { latencyMs_ = ms; }
    int latencyMs() const { return latencyMs_; }
    // Hands all bytes to the port; false only when the port would not take them in time.
    bool write(const std::uint8_t *data, int count);
    // Reads up to count bytes into target and returns how many came. It ends when all
    // have arrived, 10 ms after a byte without the next, or 10 + 10 x count ms after it began
    // (both widened by the latency).
    // Before it ends for time it takes, without waiting, what the driver already holds: a
    // thread that was not scheduled until past the limit must not lose bytes that came in time.
    // Bytes that did not come leave their places in target untouched.
    int read(std::uint8_t *target, int count);
    // The same with the time limit given (widened by the latency), the gap rule as above.
    int read(std::uint8_t *target, int count, int totalMs);
    // Waits until one more character has arrived (it is consumed, not returned).
    bool waitForCharacter(int timeoutMs);
    // The next character, waited for at most timeoutMs (widened by the latency); -1 if none came.
    int readByte(int timeoutMs);

    // Replaces the clock (Clock::now by default), so that a test can let a time limit pass at
    // the moment it chooses.
    void setClock(ClockSource clock);

private:
    Clock::time_point now() const { return clock_ ? clock_() : Clock::now(); }
    int msLeft(Clock::time_point until) const;

    std::unique_ptr<PortDevice> device_;
    ClockSource clock_;
    OpenReport report_;
    int latencyMs_ = 0;
};

}  // namespace avrlink
