// SPDX-License-Identifier: GPL-3.0-or-later
#include "portdevice.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX

#include "portdevice_diagnosis.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

namespace avrlink {

namespace {

bool sameLine(const termios &a, const termios &b)
{
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag || a.c_lflag != b.c_lflag
        || ::cfgetispeed(&a) != ::cfgetispeed(&b) || ::cfgetospeed(&a) != ::cfgetospeed(&b))
        return false;
    for (std::size_t i = 0; i < NCCS; ++i)
        if (a.c_cc[i] != b.c_cc[i])
            return false;
    return true;
}

// ftdi_sio then drops its latency timer from 16 ms to 1 ms; drivers without the request
// (a pty, CDC-ACM) refuse it, and that is fine.
void requestLowLatency([[maybe_unused]] int fd, [[maybe_unused]] SerialLine::OpenReport &report)
{
#ifdef Q_OS_LINUX
    report.lowLatencyAsked = true;
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        report.lowLatencyErrno = errno;
        return;
    }
    if (serial.flags & ASYNC_LOW_LATENCY)
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
        report.lowLatencyErrno = errno;
#endif
}

void fail(SerialLine::OpenReport &report, SerialLine::OpenResult result, SerialLine::OpenStep step, int error)
{
    report.result = result;
    report.failedStep = step;
    report.savedErrno = error;
}

class PosixPortDevice : public PortDevice {
public:
    ~PosixPortDevice() override { close(); }

    void open(const QString &path, bool takeLock, SerialLine::OpenReport &report) override
    {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            fail(report, SerialLine::OpenResult::CantOpen, SerialLine::OpenStep::Open, errno);
            return;
        }
        // Exclusive: no second opener of this program (flock), none of the UUCP kind
        // (lock files) and, for other users, none at all (TIOCEXCL). An operation that holds
        // the port's flock on a descriptor of its own would collide with a second flock here.
        if ((takeLock && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) || portLockFileHolder(path) > 0) {
            closeFd();
            fail(report, SerialLine::OpenResult::CantOpen, SerialLine::OpenStep::Lock, EBUSY);
            return;
        }
        ::ioctl(fd_, TIOCEXCL);
        if (!setUpOpenLine(fd_, true, report))
            close();
    }

    bool isOpen() const override { return fd_ >= 0; }

    void close() override
    {
        if (fd_ < 0)
            return;
        ::ioctl(fd_, TIOCNXCL);
        closeFd();
    }

    void purge() override { ::tcflush(fd_, TCIOFLUSH); }

    void drainInput() override
    {
        ::tcflush(fd_, TCIFLUSH);
        std::uint8_t junk[256];
        while (::read(fd_, junk, sizeof junk) > 0) {
        }
    }

    bool waitSent(int timeoutMs) override
    {
        // tcdrain() blocks without a limit; poll the output queue instead.
        for (int waited = 0;; ++waited) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued == 0)
                return true;
            if (waited >= timeoutMs)
                return false;
            ::usleep(1000);
        }
    }

    bool setRate(int baud) override
    {
        speed_t speed;
        switch (baud) {
        case 115200: speed = B115200; break;
#ifdef B1000000
        case 1000000: speed = B1000000; break;
#endif
        default: return false;
        }
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0 || ::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0
            || ::tcsetattr(fd_, TCSANOW, &tio) != 0)
            return false;
        // A driver may take a rate it cannot make and keep its old one: read it back.
        termios now{};
        return ::tcgetattr(fd_, &now) == 0 && ::cfgetospeed(&now) == speed;
    }

    int writeSome(const std::uint8_t *data, int count) override
    {
        const ssize_t n = ::write(fd_, data, std::size_t(count));
        if (n >= 0)
            return int(n);
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }

    bool waitWritable(int timeoutMs) override { return waitFor(POLLOUT, timeoutMs); }

    int readSome(std::uint8_t *target, int count) override
    {
        const ssize_t n = ::read(fd_, target, std::size_t(count));
        return n > 0 ? int(n) : 0;
    }

    bool waitReadable(int timeoutMs) override { return waitFor(POLLIN, timeoutMs); }

private:
    bool waitFor(short events, int timeoutMs)
    {
        pollfd p{fd_, events, 0};
        int r;
        do {
            r = ::poll(&p, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        return r > 0 && (p.revents & events);
    }

    void closeFd()
    {
        ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
};

}  // namespace

bool setUpOpenLine(int fd, bool rawLine, SerialLine::OpenReport &report)
{
    termios now{};
    if (::tcgetattr(fd, &now) != 0) {
        fail(report, SerialLine::OpenResult::CantReadStatus, SerialLine::OpenStep::ReadStatus, errno);
        return false;
    }
    termios want = now;
    if (rawLine) {
        // Binary data both ways: no line editing, no translation, no flow control.
        ::cfmakeraw(&want);
        want.c_iflag &= tcflag_t(~(IXON | IXOFF | IXANY | INPCK));
        want.c_cflag &= tcflag_t(~(CSIZE | PARENB | CSTOPB | CRTSCTS));
        want.c_cflag |= CS8 | CLOCAL | CREAD;
        want.c_cc[VMIN] = 0;
        want.c_cc[VTIME] = 0;
        if (::cfsetispeed(&want, B115200) != 0 || ::cfsetospeed(&want, B115200) != 0) {
            fail(report, SerialLine::OpenResult::CantSetup, SerialLine::OpenStep::Setup, errno);
            return false;
        }
    }
    want.c_cflag &= tcflag_t(~HUPCL);
    // A USB bridge turns every tcsetattr into control transfers, changed or not.
    if (!sameLine(now, want)) {
        if (::tcsetattr(fd, TCSANOW, &want) != 0) {
            fail(report, SerialLine::OpenResult::CantSetup, SerialLine::OpenStep::Setup, errno);
            return false;
        }
        report.lineSetUp = true;
    }
    requestLowLatency(fd, report);
    return true;
}

std::unique_ptr<PortDevice> makePosixPortDevice()
{
    return std::make_unique<PosixPortDevice>();
}

int takePortLock(const QString &path, SerialLine::OpenReport &report)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(report, SerialLine::OpenResult::CantOpen, SerialLine::OpenStep::Open, errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || portLockFileHolder(path) > 0) {
        ::close(fd);
        fail(report, SerialLine::OpenResult::CantOpen, SerialLine::OpenStep::Lock, EBUSY);
        return -1;
    }
    return fd;
}

void releasePortLock(int handle)
{
    if (handle >= 0)
        ::close(handle);
}

int bridgeLatencyMs(const QString &path)
{
#ifdef Q_OS_LINUX
    const QByteArray root = qgetenv("TARVANE_SYSFS_ROOT");
    // /dev/serial/by-id/... and other links name the tty they point to.
    const QString name = QFileInfo(QFileInfo(path).canonicalFilePath()).fileName();
    if (name.isEmpty())
        return 0;
    QFile timer((root.isEmpty() ? QStringLiteral("/sys") : QString::fromLocal8Bit(root))
                + QStringLiteral("/class/tty/") + name + QStringLiteral("/device/latency_timer"));
    if (!timer.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const int ms = timer.read(16).trimmed().toInt(&ok);
    return ok && ms > 0 && ms <= 255 ? ms : 0;
#else
    Q_UNUSED(path);
    return 0;
#endif
}

}  // namespace avrlink

#else

namespace avrlink {
std::unique_ptr<PortDevice> makePosixPortDevice()
{
    return nullptr;
}
int takePortLock(const QString &, SerialLine::OpenReport &)
{
    return -2;  // the port is opened exclusively for each command anyway
}
void releasePortLock(int) {}
int bridgeLatencyMs(const QString &)
{
    return 0;
}
}  // namespace avrlink

#endif
