// SPDX-License-Identifier: GPL-3.0-or-later
#include "serialline.h"

#include "portdevice.h"
#include "portdevice_diagnosis.h"
#include "portdevice_list.h"

#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <chrono>

namespace avrlink {

namespace {

// The n of "COMn" or "\\.\COMn", 0 for any other text.
int comPortNumber(const QString &portName)
{
    static const QRegularExpression comName(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = comName.match(portName);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

}  // namespace

QString windowsPortPath(const QString &portName)
{
    const int n = comPortNumber(portName);
    return n ? QStringLiteral("\\\\.\\COM%1").arg(n) : portName;
}

QString systemPortPath(const QString &portName)
{
#if defined(Q_OS_WIN)
    return windowsPortPath(portName);
#elif defined(Q_OS_LINUX)
    const int n = comPortNumber(portName);
    return n ? QStringLiteral("/dev/ttyS%1").arg(n - 1) : portName;
#else
    return portName;
#endif
}

namespace {

#if defined(Q_OS_UNIX)
SerialBackend chosenBackend = SerialBackend::Posix;
#elif defined(Q_OS_WIN)
SerialBackend chosenBackend = SerialBackend::Windows;
#else
SerialBackend chosenBackend = SerialBackend::Qt;
#endif

}  // namespace

int SerialLine::msLeft(Clock::time_point until) const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now()).count();
    return left > 0 ? int(left) : 0;
}

void SerialLine::setClock(ClockSource clock)
{
    clock_ = std::move(clock);
}

void SerialLine::setDefaultBackend(SerialBackend backend)
{
    chosenBackend = backend;
}

SerialBackend SerialLine::defaultBackend()
{
    return chosenBackend;
}

SerialLine::SerialLine()
{
#ifdef Q_OS_WIN
    device_ = makeWindowsPortDevice();
#else
    if (chosenBackend == SerialBackend::Posix)
        device_ = makePosixPortDevice();
    if (!device_)
        device_ = makeQtPortDevice();
#endif
}

SerialLine::~SerialLine()
{
    close();
}

SerialLine::OpenResult SerialLine::open(const QString &portName, Locking locking)
{
    close();
    report_ = OpenReport{};
    report_.path = systemPortPath(portName);
    if (portName.isEmpty()) {
        report_.result = OpenResult::CantOpen;
        report_.failedStep = OpenStep::Open;
        report_.savedErrno = ENOENT;
        return report_.result;
    }
    device_->open(report_.path, locking == Locking::Take, report_);
    return report_.result;
}

bool SerialLine::isOpen() const
{
    return device_->isOpen();
}

void SerialLine::close()
{
    device_->close();
}

void SerialLine::purge()
{
    device_->purge();
}

void SerialLine::drain()
{
    device_->drainInput();
}

int SerialLine::waitQuiet(int quietMs, int capMs)
{
    const auto until = now() + std::chrono::milliseconds(capMs);
    int discarded = 0;
    for (;;) {
        std::uint8_t junk[64];
        const int n = device_->readSome(junk, int(sizeof junk));
        if (n > 0) {
            discarded += n;
            if (msLeft(until) == 0)
                return discarded;
            continue;
        }
        const int wait = std::min(quietMs, msLeft(until));
        if (wait <= 0 || !device_->waitReadable(wait))
            return discarded;
    }
}

bool SerialLine::waitSent(int timeoutMs)
{
    return device_->waitSent(timeoutMs);
}

bool SerialLine::setRate(int baud)
{
    return device_->setRate(baud);
}

bool SerialLine::write(const std::uint8_t *data, int count)
{
    const auto until = now() + std::chrono::milliseconds(kWriteTimeoutMs);
    int done = 0;
    while (done < count) {
        const int n = device_->writeSome(data + done, count - done);
        if (n < 0)
            return false;
        done += n;
        if (done < count && !device_->waitWritable(msLeft(until)))
            return false;
    }
    return true;
}

int SerialLine::read(std::uint8_t *target, int count)
{
    return read(target, count, 10 + 10 * count);
}

int SerialLine::read(std::uint8_t *target, int count, int totalMs)
{
    const auto start = now();
    const auto total = start + std::chrono::milliseconds(totalMs + latencyMs_);
    auto interval = total;  // the gap rule starts with the first byte
    int got = 0;
    while (got < count) {
        const int n = device_->readSome(target + got, count - got);
        if (n > 0) {
            got += n;
            interval = now() + std::chrono::milliseconds(10 + latencyMs_);
            continue;
        }
        const int left = msLeft(std::min(total, interval));
        if (left == 0 || !device_->waitReadable(left))
            break;
    }
    // Time is up, but this thread may have been held up past it while the bytes came: what
    // the driver holds now arrived within the limit as far as anyone can tell. Taken without
    // waiting; nothing that comes later is waited for.
    while (got < count) {
        const int n = device_->readSome(target + got, count - got);
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

int SerialLine::readByte(int timeoutMs)
{
    const auto until = now() + std::chrono::milliseconds(timeoutMs + latencyMs_);
    for (;;) {
        std::uint8_t c;
        if (device_->readSome(&c, 1) == 1)
            return c;
        const int left = msLeft(until);
        if (left == 0 || !device_->waitReadable(left))
            return device_->readSome(&c, 1) == 1 ? c : -1;
    }
}

bool SerialLine::waitForCharacter(int timeoutMs)
{
    return readByte(timeoutMs) >= 0;
}

}  // namespace avrlink
