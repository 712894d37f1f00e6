// SPDX-License-Identifier: GPL-3.0-or-later
#include "portdevice_list.h"

#include <QtGlobal>
#include <algorithm>

#ifndef Q_OS_WIN
#include <QSerialPortInfo>
#endif

namespace avrlink {

#ifndef Q_OS_WIN
QList<PortListing> listSerialPorts()
{
    QList<PortListing> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.append({info.systemLocation(), info.description(), info.serialNumber(), info.hasVendorIdentifier()});
    return portsInOfferOrder(ports);
}
#endif

PortListing windowsPortListing(const QString &device, const QString &portName)
{
    // Device names by driver: serial.sys numbers the built-in ports; the bridges' drivers
    // choose their own. Matched without the number and without regard to case.
    struct Kind {
        const char *prefix;
        const char *description;
        bool usb;
    };
    static const Kind kinds[] = {
        {"\\Device\\Serial", "built-in serial port", false},
        {"\\Device\\VCP", "FTDI USB serial bridge", true},
        {"\\Device\\Silabser", "Silicon Labs CP210x USB serial bridge", true},
        {"\\Device\\USBSER", "USB serial device (CDC)", true},
    };
    PortListing port;
    port.path = portName.trimmed();
    for (const Kind &kind : kinds) {
        const QString prefix = QLatin1String(kind.prefix);
        if (device.startsWith(prefix, Qt::CaseInsensitive)) {
            bool numbered = false;
            device.mid(prefix.size()).toUInt(&numbered);
            if (!numbered)
                continue;
            port.description = QLatin1String(kind.description);
            port.usb = kind.usb;
            return port;
        }
    }
    // A driver of its own kind: its device name is all there is to tell.
    port.description = device.section(QLatin1Char('\\'), -1);
    return port;
}

namespace {

// ttyUSB2 before ttyUSB10: runs of digits compare by their value.
bool pathBefore(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            const qulonglong x = a.mid(i, ei - i).toULongLong(), y = b.mid(j, ej - j).toULongLong();
            if (x != y)
                return x < y;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

QList<PortListing> portsInOfferOrder(QList<PortListing> ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const PortListing &a, const PortListing &b) {
        if (a.usb != b.usb)
            return a.usb;
        return pathBefore(a.path, b.path);
    });
    return ports;
}

QString portChoiceLabel(const PortListing &port)
{
    QStringList known;
    if (!port.description.trimmed().isEmpty())
        known << port.description.trimmed();
    if (!port.serialNumber.trimmed().isEmpty())
        known << QStringLiteral("S/N ") + port.serialNumber.trimmed();
    if (known.isEmpty())
        return port.path;
    return port.path + QStringLiteral(" (") + known.join(QStringLiteral(", ")) + QLatin1Char(')');
}

QStringList portChoiceLabels(const QList<PortListing> &ports)
{
    QStringList labels;
    for (const PortListing &port : ports)
        labels << portChoiceLabel(port);
    return labels;
}

QString portFromChoice(const QString &text, const QList<PortListing> &ports)
{
    for (const PortListing &port : ports)
        if (text == portChoiceLabel(port))
            return port.path;
    return text;
}

}  // namespace avrlink
