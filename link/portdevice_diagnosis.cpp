// SPDX-License-Identifier: GPL-3.0-or-later
#include "portdevice_diagnosis.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#ifndef NOMINMAX  // std::min and std::max, not the macros of windows.h
#define NOMINMAX
#endif
#include <windows.h>
#endif
#ifdef Q_OS_UNIX
#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace avrlink {

long portLockFileHolder([[maybe_unused]] const QString &path)
{
#ifdef Q_OS_UNIX
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : QFileInfo(path).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
        QFile lock(QLatin1String(dir) + QLatin1String("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QByteArray first = lock.readLine(64).trimmed();
        bool ok = false;
        const long pid = first.toLong(&ok);
        // A lock whose process is gone is stale and holds nothing.
        if (ok && pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
            return pid;
    }
#endif
    return 0;
}

long portFlockHolder([[maybe_unused]] const QString &path)
{
#ifdef Q_OS_LINUX
    struct stat st{};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0)
        return 0;
    // Lines such as "1: FLOCK  ADVISORY  WRITE 4711 00:19:7 0 EOF": the file is named by
    // the major and minor number (hex) of its file system and its inode.
    const QByteArray file = QByteArrayLiteral("%1:%2:%3")
                                .replace("%1", QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0'))
                                .replace("%2", QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0'))
                                .replace("%3", QByteArray::number(qulonglong(st.st_ino)));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == file)
            return fields[4].toLong();
    }
#endif
    return 0;
}

QString processName(long pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (pid <= 0 || !comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

namespace {

QString &portChoiceHint()
{
    static QString where = QStringLiteral("in File > Options");
    return where;
}

#ifdef Q_OS_LINUX
QString userName()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QStringLiteral("$USER");
}

QString busyHelp(const QString &path)
{
    long pid = portLockFileHolder(path);
    if (pid <= 0)
        pid = portFlockHolder(path);
    const QString name = processName(pid);
    if (name.isEmpty())
        return QStringLiteral("Another program is using the port. Close it and try again.");
    return QStringLiteral("The port is in use by %1 (process %2). Close that program and try again.")
        .arg(name)
        .arg(pid);
}

QString permissionHelp(const QString &path)
{
    struct stat st{};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0)
        return {};
    const group *gr = ::getgrgid(st.st_gid);
    if (st.st_gid == 0 || !gr)
        return QStringLiteral("Only the system administrator may open %1. Install the udev rules of this program "
                              "(60-tarvane.rules), then plug the adapter in again.")
            .arg(path);
    const QString groupName = QString::fromLocal8Bit(gr->gr_name);
    return QStringLiteral("You may not open %1: it belongs to the group \"%2\". Add yourself to that group:\n"
                          "    sudo usermod -aG %2 %3\n"
                          "then log out and log in again.")
        .arg(path, groupName, userName());
}

QString missingHelp(const QList<PortListing> &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("There is no such port, and no serial port is plugged in. Plug the adapter in, "
                              "then choose its port %1.")
            .arg(portChoiceHint());
    QString text = QStringLiteral("There is no such port. The serial ports found:");
    for (const PortListing &port : ports)
        text += QStringLiteral("\n    ") + portChoiceLabel(port);
    return text + QStringLiteral("\nChoose one %1.").arg(portChoiceHint());
}
#endif

QString listedPorts(const QList<PortListing> &ports)
{
    QString text;
    for (const PortListing &port : ports)
        text += QStringLiteral("\n    ") + portChoiceLabel(port);
    return text;
}

#ifdef Q_OS_WIN
QString windowsErrorText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString text = length ? QString::fromWCharArray(buffer, int(length)).trimmed() : QString();
    if (buffer)
        ::LocalFree(buffer);
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}
#endif

}  // namespace

QString windowsOpenFailureHelp(const QString &path, SerialLine::OpenStep step, unsigned long errorCode,
                               const QList<PortListing> &ports, const QString &systemText)
{
    // The codes of winerror.h, by number: this is built on systems without that header too.
    enum : unsigned long {
        InvalidFunction = 1,
        FileNotFound = 2,
        PathNotFound = 3,
        AccessDenied = 5,
        InvalidHandle = 6,
        BadUnit = 20,
        NotReady = 21,
        GenFailure = 31,
        SharingViolation = 32,
        NotSupported = 50,
        DevNotExist = 55,
        InvalidParameter = 87,
        SemTimeout = 121,
        InvalidName = 123,
        OperationAborted = 995,
        IoDevice = 1117,
        DeviceNotConnected = 1167,
        NoSuchDevice = 433,
    };
    if (step == SerialLine::OpenStep::Lock || errorCode == AccessDenied || errorCode == SharingViolation)
        return QStringLiteral("Another program has the port open (a terminal, a sketch uploader, another "
                              "programmer): Windows lets one program at a time use a COM port. Close it and "
                              "try again.");
    switch (errorCode) {
    case 0:
        return {};
    case FileNotFound:
    case PathNotFound:
    case InvalidName:
    case BadUnit:
    case DevNotExist:
    case DeviceNotConnected:
    case NoSuchDevice:
        if (ports.isEmpty())
            return QStringLiteral("There is no such port, and Windows has no serial port. Plug the adapter in. If "
                                  "it still does not show under \"Ports (COM & LPT)\" in the Device Manager, the "
                                  "driver of its USB serial bridge is missing: install it, then choose the adapter's "
                                  "port %1.")
                .arg(portChoiceHint());
        return QStringLiteral("There is no such port. The serial ports Windows has:") + listedPorts(ports)
               + QStringLiteral("\nChoose one %1. If the adapter is not among them, see whether it shows under "
                                "\"Ports (COM & LPT)\" in the Device Manager: without the driver of its USB serial "
                                "bridge it has no COM port.")
                     .arg(portChoiceHint());
    case GenFailure:
    case NotReady:
    case IoDevice:
    case SemTimeout:
    case OperationAborted:
        return QStringLiteral("The driver of %1 reports a fault, as after an adapter pulled out while in use. "
                              "Unplug the adapter, plug it in again and try again; if that does not help, "
                              "reinstall the driver of its USB serial bridge.")
            .arg(path);
    case InvalidFunction:
    case InvalidHandle:
    case NotSupported:
        return QStringLiteral("%1 is not a serial port.").arg(path);
    case InvalidParameter:
        if (step == SerialLine::OpenStep::Setup)
            return QStringLiteral("The driver of %1 refuses the line settings (115200 baud, 8 data bits, no "
                                  "parity, one stop bit).")
                .arg(path);
        break;
    default:
        break;
    }
    const QString text = systemText.trimmed();
    return text.isEmpty() ? QStringLiteral("Windows reports error %1.").arg(errorCode)
                          : QStringLiteral("Windows says: %1 (error %2).").arg(text).arg(errorCode);
}

void setPortChoiceHint(const QString &where)
{
    portChoiceHint() = where;
}

QString openFailureHelp([[maybe_unused]] const QString &path, [[maybe_unused]] SerialLine::OpenStep step,
                        [[maybe_unused]] int savedErrno, [[maybe_unused]] const QList<PortListing> &ports)
{
#ifdef Q_OS_LINUX
    if (step == SerialLine::OpenStep::Lock || savedErrno == EBUSY)
        return busyHelp(path);
    switch (savedErrno) {
    case 0:
        return {};
    case EACCES:
    case EPERM:
        return permissionHelp(path);
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return missingHelp(ports);
    case ENOTTY:
        return QStringLiteral("%1 is not a serial port.").arg(path);
    default:
        return QStringLiteral("The system says: %1.").arg(QString::fromLocal8Bit(std::strerror(savedErrno)));
    }
#elif defined(Q_OS_WIN)
    return windowsOpenFailureHelp(path, step, static_cast<unsigned long>(savedErrno), ports,
                                  windowsErrorText(DWORD(savedErrno)));
#else
    return {};
#endif
}

}  // namespace avrlink
