// SPDX-License-Identifier: GPL-3.0-or-later
#include "portdevice.h"

#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace avrlink {

namespace {

class QtPortDevice : public PortDevice {
public:
    // Qt's own lock (a lock file) does not collide with an operation's flock.
    void open(const QString &path, bool, SerialLine::OpenReport &report) override
    {
        port_.setPortName(path);
        // Applied by the open itself; Qt also switches flow control off there.
        port_.setBaudRate(QSerialPort::Baud115200);
        port_.setDataBits(QSerialPort::Data8);
        port_.setParity(QSerialPort::NoParity);
        port_.setStopBits(QSerialPort::OneStop);
        port_.setFlowControl(QSerialPort::NoFlowControl);
        if (!port_.open(QIODevice::ReadWrite)) {
            classifyFailure(path, port_.error(), report);
            return;
        }
        report.lineSetUp = true;  // Qt writes the settings at every open
#ifdef Q_OS_UNIX
        if (!setUpOpenLine(int(port_.handle()), false, report))
            port_.close();
#endif
    }
    void close() override
    {
        if (!port_.isOpen())
            return;
#ifdef Q_OS_UNIX
        // Qt puts back the settings it found at open, HUPCL among them, and its close would
        // then drop DTR and RTS. Keeping a second descriptor makes the last close ours, after
        // HUPCL is cleared again.
        const int keep = ::fcntl(int(port_.handle()), F_DUPFD_CLOEXEC, 0);
        port_.close();
        if (keep >= 0) {
            termios tio{};
            if (::tcgetattr(keep, &tio) == 0 && (tio.c_cflag & HUPCL)) {
                tio.c_cflag &= tcflag_t(~HUPCL);
                ::tcsetattr(keep, TCSANOW, &tio);
            }
            ::close(keep);
        }
#else
        port_.close();
#endif
    }
    bool isOpen() const override { return port_.isOpen(); }
    void purge() override
    {
        port_.clear(QSerialPort::AllDirections);
        port_.readAll();
    }
    void drainInput() override
    {
        port_.clear(QSerialPort::Input);
        port_.waitForReadyRead(0);
        port_.readAll();
    }
    bool waitSent(int timeoutMs) override
    {
        return port_.bytesToWrite() == 0 || port_.waitForBytesWritten(timeoutMs);
    }
    bool setRate(int baud) override { return port_.setBaudRate(baud) && port_.baudRate() == baud; }
    int writeSome(const std::uint8_t *data, int count) override
    {
        if (port_.write(reinterpret_cast<const char *>(data), count) != count)
            return -1;
        while (port_.bytesToWrite() > 0) {
            if (!port_.waitForBytesWritten(SerialLine::kWriteTimeoutMs))
                return -1;
        }
        return count;
    }
    bool waitWritable(int) override { return true; }
    int readSome(std::uint8_t *target, int count) override
    {
        // Without an event loop Qt moves bytes from the driver into its buffer only when it
        // waits; a wait of 0 takes what the driver holds without blocking.
        if (port_.bytesAvailable() <= 0 && !port_.waitForReadyRead(0))
            return 0;
        return int(port_.read(reinterpret_cast<char *>(target), count));
    }
    bool waitReadable(int timeoutMs) override
    {
        return port_.bytesAvailable() > 0 || port_.waitForReadyRead(timeoutMs);
    }

private:
    // Qt opens, reads and sets up the line in one call; when that fails, find out which step
    // the path fails at, and with which errno.
    static void classifyFailure(const QString &path, QSerialPort::SerialPortError error,
                                SerialLine::OpenReport &report)
    {
        using Step = SerialLine::OpenStep;
        using Result = SerialLine::OpenResult;
        const auto fail = [&report](Result result, Step step, int savedErrno) {
            report.result = result;
            report.failedStep = step;
            report.savedErrno = savedErrno;
        };
#ifdef Q_OS_UNIX
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            fail(Result::CantOpen, Step::Open, errno);
            return;
        }
        termios tio{};
        const bool isLine = ::tcgetattr(fd, &tio) == 0;
        const int lineErrno = errno;
        ::close(fd);
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
            // The device opens for us: Qt found it held (its lock file, or a lock of ours).
            fail(Result::CantOpen, Step::Lock, EBUSY);
            return;
        default:
            break;
        }
        if (isLine)
            fail(Result::CantSetup, Step::Setup, 0);
        else
            fail(Result::CantReadStatus, Step::ReadStatus, lineErrno);
#else
        Q_UNUSED(path);
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
            fail(Result::CantOpen, Step::Open, 0);
            return;
        default:
            fail(Result::CantReadStatus, Step::ReadStatus, 0);
            return;
        }
#endif
    }

    QSerialPort port_;
};

}  // namespace

std::unique_ptr<PortDevice> makeQtPortDevice()
{
    return std::make_unique<QtPortDevice>();
}

}  // namespace avrlink
