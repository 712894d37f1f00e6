#include "portdevice.h"

#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace avrlink {

namespace {

class QtPortDevice : public PortDevice {
public:
    SerialLine::OpenResult open(const QString &path) override
    {
        port_.setPortName(path);
        // Applied by the open itself; Qt also switches flow control off there.
        port_.setBaudRate(QSerialPort::Baud115200);
        port_.setDataBits(QSerialPort::Data8);
        port_.setParity(QSerialPort::NoParity);
        port_.setStopBits(QSerialPort::OneStop);
        port_.setFlowControl(QSerialPort::NoFlowControl);
        if (port_.open(QIODevice::ReadWrite))
            return SerialLine::OpenResult::Ok;
        return classifyFailure(path, port_.error());
    }
    void close() override
    {
        if (port_.isOpen())
            port_.close();
    }
    void purge() override
    {
        port_.clear(QSerialPort::AllDirections);
        port_.readAll();
    }
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
        if (port_.bytesAvailable() <= 0)
            return 0;
        return int(port_.read(reinterpret_cast<char *>(target), count));
    }
    bool waitReadable(int timeoutMs) override
    {
        return port_.bytesAvailable() > 0 || port_.waitForReadyRead(timeoutMs);
    }

private:
    // Qt opens, reads and sets up the line in one call; when that fails for a reason other
    // than the open itself, find out which of the two later steps the path failed at.
    static SerialLine::OpenResult classifyFailure(const QString &path, QSerialPort::SerialPortError error)
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

    QSerialPort port_;
};

}  // namespace

std::unique_ptr<PortDevice> makeQtPortDevice()
{
    return std::make_unique<QtPortDevice>();
}

}  // namespace avrlink
