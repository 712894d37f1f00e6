#include "serialline.h"

#include <QRegularExpression>
#include <chrono>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace avrlink {

QString systemPortPath(const QString &portName)
{
    static const QRegularExpression comName(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = comName.match(portName);
    if (!match.hasMatch())
        return portName;
#if defined(Q_OS_WIN)
    return QStringLiteral("\\\\.\\COM") + match.captured(1);
#elif defined(Q_OS_LINUX)
    return QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1);
#else
    return portName;
#endif
}

namespace {

// Qt opens, reads and sets up the line in one call; when that fails for a reason other
// than the open itself, find out which of the two later steps the path failed at.
SerialLine::OpenResult classifyFailure(const QString &path, QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return SerialLine::OpenResult::CantOpen;
    default:
        break;
    }
#ifdef Q_OS_UNIX
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return SerialLine::OpenResult::CantOpen;
    termios tio{};
    const bool isLine = ::tcgetattr(fd, &tio) == 0;
    ::close(fd);
    return isLine ? SerialLine::OpenResult::CantSetup : SerialLine::OpenResult::CantReadStatus;
#else
    Q_UNUSED(path);
    return SerialLine::OpenResult::CantReadStatus;
#endif
}

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

}  // namespace

SerialLine::OpenResult SerialLine::open(const QString &portName)
{
    close();
    if (portName.isEmpty())
        return OpenResult::CantOpen;
    const QString path = systemPortPath(portName);
    port_.setPortName(path);
    // Applied by the open itself; Qt also switches flow control off there.
    port_.setBaudRate(QSerialPort::Baud115200);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (port_.open(QIODevice::ReadWrite))
        return OpenResult::Ok;
    return classifyFailure(path, port_.error());
}

void SerialLine::close()
{
    if (port_.isOpen())
        port_.close();
}

void SerialLine::purge()
{
    port_.clear(QSerialPort::AllDirections);
    port_.readAll();
}

bool SerialLine::write(const std::uint8_t *data, int count)
{
    if (port_.write(reinterpret_cast<const char *>(data), count) != count)
        return false;
    const auto until = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    while (port_.bytesToWrite() > 0) {
        const int left = msLeft(until);
        if (left == 0 || !port_.waitForBytesWritten(left))
            return port_.bytesToWrite() == 0;
    }
    return true;
}

int SerialLine::read(std::uint8_t *target, int count)
{
    const auto start = Clock::now();
    const auto total = start + std::chrono::milliseconds(10 + 10 * count);
    auto interval = total;  // the gap rule starts with the first byte
    int got = 0;
    while (got < count) {
        if (port_.bytesAvailable() > 0) {
            const qint64 n = port_.read(reinterpret_cast<char *>(target + got), count - got);
            if (n > 0) {
                got += int(n);
                interval = Clock::now() + std::chrono::milliseconds(10);
                continue;
            }
        }
        const int left = msLeft(std::min(total, interval));
        if (left == 0 || !port_.waitForReadyRead(left))
            break;
    }
    return got;
}

bool SerialLine::waitForCharacter(int timeoutMs)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char c;
        if (port_.bytesAvailable() > 0 && port_.read(&c, 1) == 1)
            return true;
        const int left = msLeft(until);
        if (left == 0 || !port_.waitForReadyRead(left))
            return port_.bytesAvailable() > 0 && port_.read(&c, 1) == 1;
    }
}

}  // namespace avrlink
