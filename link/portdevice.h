// SPDX-License-Identifier: GPL-3.0-or-later
// The few port operations the serial line is built on, by backend.
#pragma once

#include "serialline.h"

namespace avrlink {

class PortDevice {
public:
    virtual ~PortDevice() = default;
    // Opens and sets up the line; fills report (its path is set already). With takeLock false
    // the exclusive lock is already held by this process for the operation.
    virtual void open(const QString &path, bool takeLock, SerialLine::OpenReport &report) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual void purge() = 0;
    // Discards received bytes not yet read, leaving what is being sent alone.
    virtual void drainInput() = 0;
    // Waits until all written bytes have left.
    virtual bool waitSent(int timeoutMs) = 0;
    virtual bool setRate(int baud) = 0;
    // Hands up to count bytes to the port without blocking; returns how many it took, -1 on error.
    virtual int writeSome(const std::uint8_t *data, int count) = 0;
    // Waits at most timeoutMs until more can be written.
    virtual bool waitWritable(int timeoutMs) = 0;
    // Takes what has arrived, up to count bytes, without blocking.
    virtual int readSome(std::uint8_t *target, int count) = 0;
    // Waits at most timeoutMs until something has arrived.
    virtual bool waitReadable(int timeoutMs) = 0;
};

#ifdef Q_OS_WIN
// The Windows serial services called directly: no Qt SerialPort in the Windows build.
std::unique_ptr<PortDevice> makeWindowsPortDevice();
#else
std::unique_ptr<PortDevice> makeQtPortDevice();
#endif

#ifdef Q_OS_UNIX
// The line set-up shared by both backends once the port is open: clears HUPCL, so that DTR
// and RTS stay as they are when the port closes (an auto-reset board would reset at every
// command otherwise), and asks the driver for low latency. With rawLine the termios settings
// of the exchange are applied too, each only where the port's differ. Returns false when the
// port's settings could not be read (step ReadStatus) or written (step Setup).
bool setUpOpenLine(int fd, bool rawLine, SerialLine::OpenReport &report);
#endif
std::unique_ptr<PortDevice> makePosixPortDevice();  // nullptr where there is no POSIX

// The exclusive lock of an operation on its port, without the line being set up: an
// open descriptor holding flock(), -1 with report filled when the port cannot be had (step Open
// with its errno, or Lock when another program holds it). Unlocked by closing it. On systems
// without flock it returns -2: nothing to hold, and nothing failed.
int takePortLock(const QString &path, SerialLine::OpenReport &report);
void releasePortLock(int handle);

// The latency timer of the USB bridge behind path, in ms, as its driver shows it in sysfs
// (ftdi_sio: .../device/latency_timer); 0 when the driver has none. The sysfs root is /sys, or
// $TARVANE_SYSFS_ROOT where a test or the benchmark plays a bridge on a pseudo-terminal.
int bridgeLatencyMs(const QString &path);

}  // namespace avrlink
