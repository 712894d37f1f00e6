// SPDX-License-Identifier: GPL-3.0-or-later
// What the Windows build decides by itself, checked on any system: the port path a name
// stands for, the explanation of a failed open by its Windows error code, the ports of the
// registry's list, and where the settings go. The calls these answers feed are tried under
// Wine by scripts/windows-test.sh.
#include "paths.h"
#include "portdevice_diagnosis.h"
#include "portdevice_list.h"
#include "serialline.h"

#include <QTest>

using avrlink::PortListing;
using avrlink::SerialLine;
using Step = SerialLine::OpenStep;

Q_DECLARE_METATYPE(SerialLine::OpenStep)
Q_DECLARE_METATYPE(PathConvention)

class TestWindows : public QObject {
    Q_OBJECT

    const QList<PortListing> twoPorts = {{"COM3", "FTDI USB serial bridge", "", true},
                                         {"COM1", "built-in serial port", "", false}};

private slots:
    void portPath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        QTest::newRow("COM1") << "COM1" << "\\\\.\\COM1";
        QTest::newRow("lower case") << "com7" << "\\\\.\\COM7";
        QTest::newRow("two digits need the device form") << "COM12" << "\\\\.\\COM12";
        QTest::newRow("three digits") << "COM255" << "\\\\.\\COM255";
        QTest::newRow("device form kept") << "\\\\.\\COM3" << "\\\\.\\COM3";
        QTest::newRow("device form, lower case") << "\\\\.\\com4" << "\\\\.\\COM4";
        QTest::newRow("COM0 is no port") << "COM0" << "COM0";
        QTest::newRow("four digits") << "COM1000" << "COM1000";
        QTest::newRow("leading zero") << "COM01" << "COM01";
        QTest::newRow("trailing colon") << "COM1:" << "COM1:";
        QTest::newRow("other device") << "\\\\.\\CNCA0" << "\\\\.\\CNCA0";
        QTest::newRow("printer port") << "LPT1" << "LPT1";
        QTest::newRow("POSIX path") << "/dev/ttyUSB0" << "/dev/ttyUSB0";
        QTest::newRow("empty") << "" << "";
    }
    void portPath()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QCOMPARE(avrlink::windowsPortPath(name), path);
    }

    void failureHelp_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<bool>("withPorts");
        QTest::addColumn<QString>("expected");
        const QString busy = "Another program has the port open (a terminal, a sketch uploader, another programmer): "
                             "Windows lets one program at a time use a COM port. Close it and try again.";
        const QString noPortAtAll =
            "There is no such port, and Windows has no serial port. Plug the adapter in. If it still does not "
            "show under \"Ports (COM & LPT)\" in the Device Manager, the driver of its USB serial bridge is "
            "missing: install it, then choose the adapter's port in File > Options.";
        const QString listed = "There is no such port. The serial ports Windows has:\n"
                               "    COM3 (FTDI USB serial bridge)\n"
                               "    COM1 (built-in serial port)\n"
                               "Choose one in File > Options. If the adapter is not among them, see whether it "
                               "shows under \"Ports (COM & LPT)\" in the Device Manager: without the driver of its "
                               "USB serial bridge it has no COM port.";
        const QString fault = "The driver of \\\\.\\COM9 reports a fault, as after an adapter pulled out while in use. "
                              "Unplug the adapter, plug it in again and try again; if that does not help, reinstall "
                              "the driver of its USB serial bridge.";
        const QString notSerial = "\\\\.\\COM9 is not a serial port.";
        // ERROR_ACCESS_DENIED is what a second opener of a COM port gets.
        QTest::newRow("held: access denied") << Step::Lock << 5u << false << busy;
        QTest::newRow("access denied at open") << Step::Open << 5u << false << busy;
        QTest::newRow("sharing violation") << Step::Open << 32u << true << busy;
        QTest::newRow("missing, no port at all") << Step::Open << 2u << false << noPortAtAll;
        QTest::newRow("missing, ports listed") << Step::Open << 2u << true << listed;
        QTest::newRow("path not found") << Step::Open << 3u << true << listed;
        QTest::newRow("invalid name") << Step::Open << 123u << false << noPortAtAll;
        QTest::newRow("device not connected") << Step::Open << 1167u << true << listed;
        QTest::newRow("driver fault") << Step::Open << 31u << true << fault;
        QTest::newRow("driver not ready") << Step::ReadStatus << 21u << false << fault;
        QTest::newRow("I/O device error at set-up") << Step::Setup << 1117u << false << fault;
        QTest::newRow("no serial port: invalid function") << Step::ReadStatus << 1u << false << notSerial;
        QTest::newRow("no serial port: not supported") << Step::Setup << 50u << false << notSerial;
        QTest::newRow("line format refused")
            << Step::Setup << 87u << false
            << "The driver of \\\\.\\COM9 refuses the line settings (115200 baud, 8 data bits, no parity, one stop "
               "bit).";
        QTest::newRow("invalid parameter at open: the system's words")
            << Step::Open << 87u << false << "Windows says: The parameter is incorrect (error 87).";
        QTest::newRow("unknown code: the system's words")
            << Step::Open << 1450u << false << "Windows says: The parameter is incorrect (error 1450).";
        QTest::newRow("nothing known") << Step::Open << 0u << false << "";
    }
    void failureHelp()
    {
        QFETCH(Step, step);
        QFETCH(quint32, code);
        QFETCH(bool, withPorts);
        QFETCH(QString, expected);
        // The system's words, as FormatMessage gives them, stand in for every code.
        const QString help = avrlink::windowsOpenFailureHelp("\\\\.\\COM9", step, code, withPorts ? twoPorts
                                                                                                : QList<PortListing>{},
                                                             "The parameter is incorrect");
        QCOMPARE(help, expected);
        // No advice of another system's: no udev rules, groups or sudo.
        for (const char *word : {"udev", "group", "sudo", "dialout", "/dev/"})
            QVERIFY2(!help.contains(QLatin1String(word)), word);
    }

    void failureHelpWithoutSystemText()
    {
        QCOMPARE(avrlink::windowsOpenFailureHelp("COM2", Step::Open, 1450, {}, "  "),
                 QString("Windows reports error 1450."));
    }

    void portListing_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("usb");
        QTest::newRow("built-in") << "\\Device\\Serial0" << "COM1" << "COM1 (built-in serial port)" << false;
        QTest::newRow("FTDI") << "\\Device\\VCP0" << "COM5" << "COM5 (FTDI USB serial bridge)" << true;
        QTest::newRow("CP210x") << "\\Device\\Silabser1" << "COM7"
                                << "COM7 (Silicon Labs CP210x USB serial bridge)" << true;
        QTest::newRow("CDC, numbered with zeros") << "\\Device\\USBSER000" << "COM4" << "COM4 (USB serial device (CDC))"
                                                  << true;
        QTest::newRow("case of the driver's name") << "\\device\\vcp12" << "COM12" << "COM12 (FTDI USB serial bridge)"
                                                   << true;
        QTest::newRow("a prefix only, other driver")
            << "\\Device\\SerialUSB3" << "COM9" << "COM9 (SerialUSB3)" << false;
        QTest::newRow("unknown driver") << "\\Device\\ProlificSerial0" << "COM6" << "COM6 (ProlificSerial0)" << false;
        QTest::newRow("blanks around the port") << "\\Device\\Serial1" << " COM2 " << "COM2 (built-in serial port)"
                                                << false;
    }
    void portListing()
    {
        QFETCH(QString, device);
        QFETCH(QString, port);
        QFETCH(QString, label);
        QFETCH(bool, usb);
        const PortListing listing = avrlink::windowsPortListing(device, port);
        QCOMPARE(avrlink::portChoiceLabel(listing), label);
        QCOMPARE(listing.usb, usb);
    }

    // Bridges first, as on the other systems.
    void registryPortsInOfferOrder()
    {
        const QList<PortListing> ports =
            avrlink::portsInOfferOrder({avrlink::windowsPortListing("\\Device\\Serial0", "COM1"),
                                        avrlink::windowsPortListing("\\Device\\VCP1", "COM10"),
                                        avrlink::windowsPortListing("\\Device\\VCP0", "COM9")});
        QCOMPARE(avrlink::portChoiceLabels(ports), QStringList({"COM9 (FTDI USB serial bridge)",
                                                                "COM10 (FTDI USB serial bridge)",
                                                                "COM1 (built-in serial port)"}));
    }

    void settingsFile_data()
    {
        QTest::addColumn<PathConvention>("convention");
        QTest::addColumn<QString>("baseDir");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("appData");
        QTest::addColumn<QString>("expected");
        const QString unpacked = "C:/Users/ann/Downloads/tarvane";
        const QString installed = "C:/Program Files/Tarvane";
        const auto win = PathConvention::Windows;
        QTest::newRow("writable folder keeps it beside")
            << win << unpacked << true << "C:\\Users\\ann\\AppData\\Roaming" << unpacked + "/config.txt";
        QTest::newRow("installed: APPDATA")
            << win << installed << false << "C:\\Users\\ann\\AppData\\Roaming"
            << "C:/Users/ann/AppData/Roaming/tarvane/config.txt";
        QTest::newRow("installed: APPDATA with a trailing separator")
            << win << installed << false << "D:\\Profiles\\ann\\" << "D:/Profiles/ann/tarvane/config.txt";
        QTest::newRow("installed: APPDATA written with slashes")
            << win << installed << false << "c:/Users/ann/AppData/Roaming" << "c:/Users/ann/AppData/Roaming/tarvane/config.txt";
        QTest::newRow("installed: roaming profile on a share")
            << win << installed << false << "\\\\fileserver\\profiles\\ann"
            << "//fileserver/profiles/ann/tarvane/config.txt";
        QTest::newRow("installed: no APPDATA stays beside") << win << installed << false << "" << installed + "/config.txt";
        QTest::newRow("installed: relative APPDATA stays beside")
            << win << installed << false << "Roaming" << installed + "/config.txt";
        QTest::newRow("installed: drive without a separator stays beside")
            << win << installed << false << "C:Roaming" << installed + "/config.txt";
        QTest::newRow("installed: POSIX path is no Windows path")
            << win << installed << false << "/home/ann" << installed + "/config.txt";
        QTest::newRow("installed: a share without its folder stays beside")
            << win << installed << false << "\\\\fileserver" << installed + "/config.txt";
        // Linux keeps its own folder whatever APPDATA says.
        QTest::newRow("XDG convention ignores APPDATA")
            << PathConvention::Xdg << "/usr/lib/tarvane" << false << "C:\\Users\\ann\\AppData\\Roaming"
            << "/home/ann/.config/tarvane/config.txt";
    }
    void settingsFile()
    {
        QFETCH(PathConvention, convention);
        QFETCH(QString, baseDir);
        QFETCH(bool, writable);
        QFETCH(QString, appData);
        QFETCH(QString, expected);
        // XDG_CONFIG_HOME and HOME set too: the Windows convention must not take them.
        const UserFolders folders{"/home/ann/.cfg-unused", "/home/ann", appData};
        const UserFolders posix{QString(), "/home/ann", appData};
        QCOMPARE(settingsFilePath(baseDir, writable, convention, convention == PathConvention::Xdg ? posix : folders),
                 expected);
    }

    void deviceFolder()
    {
        QCOMPARE(userDeviceFolder(PathConvention::Windows, {"/x", "/home/ann", "C:\\Users\\ann\\AppData\\Roaming"}),
                 QString("C:/Users/ann/AppData/Roaming/tarvane/cpu"));
        QCOMPARE(userDeviceFolder(PathConvention::Windows, {"/x", "/home/ann", ""}), QString());
    }
};

QTEST_GUILESS_MAIN(TestWindows)
#include "test_windows.moc"
