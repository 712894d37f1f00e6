// SPDX-License-Identifier: GPL-3.0-or-later
// The serial ports this machine has, as the Options dialog offers them.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace avrlink {

struct PortListing {
    QString path;          // what goes into PortName
    QString description;   // as the driver or the USB descriptor names it
    QString serialNumber;  // of a USB bridge; tells two alike bridges apart
    bool usb = false;
};

// The ports QSerialPortInfo finds (on Windows: the ports the registry lists, by
// windowsPortListing), in the order portsInOfferOrder gives.
QList<PortListing> listSerialPorts();

// One port of Windows' own list (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM): the value's name is
// the driver's device ("\Device\Serial0", "\Device\VCP0"), its data the port ("COM3").
// The device names the drivers of the common USB bridges give tell a bridge from a built-in
// port, and which bridge it is.
PortListing windowsPortListing(const QString &device, const QString &portName);

// USB ports first (an adapter sits on a USB bridge far more often than on a built-in
// port), each group by path, numbers in a path compared as numbers.
QList<PortListing> portsInOfferOrder(QList<PortListing> ports);

// One line of the list: the path, then what is known of the port in brackets.
QString portChoiceLabel(const PortListing &port);
QStringList portChoiceLabels(const QList<PortListing> &ports);

// The port path that an entered text stands for: a label of the list gives its path,
// anything else is taken as typed.
QString portFromChoice(const QString &text, const QList<PortListing> &ports);

}  // namespace avrlink
