#include "portdevice.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace avrlink {

namespace {

// Programs that follow the UUCP convention (Qt SerialPort, minicom and others) announce a
// port they hold with a file LCK..<name> naming their process; honour a live one.
bool lockedByOtherProgram(const QString &path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : QFileInfo(path).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
        QFile lock(QLatin1String(dir) + QLatin1String("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QByteArray first = lock.readLine(64).trimmed();
        bool ok = false;
        const long pid = first.toLong(&ok);
        if (ok && pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
            return true;
    }
    return false;
}

class PosixPortDevice : public PortDevice {
public:
    ~PosixPortDevice() override { close(); }

    SerialLine::OpenResult open(const QString &path) override
    {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return SerialLine::OpenResult::CantOpen;
        // Exclusive: no second opener of this program (flock), none of the UUCP kind
        // (lock files) and, for other users, none at all (TIOCEXCL).
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || lockedByOtherProgram(path)) {
            closeFd();
            return SerialLine::OpenResult::CantOpen;
        }
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) {
            closeFd();
            return SerialLine::OpenResult::CantReadStatus;
        }
        ::ioctl(fd_, TIOCEXCL);
        // Binary data both ways: no line editing, no translation, no flow control.
        ::cfmakeraw(&tio);
        tio.c_iflag &= tcflag_t(~(IXON | IXOFF | IXANY | INPCK));
        tio.c_cflag &= tcflag_t(~(CSIZE | PARENB | CSTOPB | CRTSCTS));
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (::cfsetispeed(&tio, B115200) != 0 || ::cfsetospeed(&tio, B115200) != 0
            || ::tcsetattr(fd_, TCSANOW, &tio) != 0) {
            closeFd();
            return SerialLine::OpenResult::CantSetup;
        }
        return SerialLine::OpenResult::Ok;
    }

    void close() override
    {
        if (fd_ < 0)
            return;
        ::ioctl(fd_, TIOCNXCL);
        closeFd();
    }

    void purge() override { ::tcflush(fd_, TCIOFLUSH); }

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

std::unique_ptr<PortDevice> makePosixPortDevice()
{
    return std::make_unique<PosixPortDevice>();
}

}  // namespace avrlink

#else

namespace avrlink {
std::unique_ptr<PortDevice> makePosixPortDevice()
{
    return nullptr;
}
}  // namespace avrlink

#endif
