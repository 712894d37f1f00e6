// SPDX-License-Identifier: GPL-3.0-or-later
// One exchange with the programmer adapter, checked by the bytes the simulated adapter saw.
#include "adaptersim.h"
#include "exchange.h"
#include "portdevice_diagnosis.h"
#include "portdevice_list.h"
#include "serialline.h"
#include "streamrecovery.h"

#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <future>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace avrlink;

namespace {

struct Recorder : Reporter {
    QStringList messages;
    void information(const QString &text) override { messages << text; }
};

Block block(std::initializer_list<int> bytes)
{
    Block b{};
    int i = 0;
    for (int v : bytes)
        b[std::size_t(i++)] = std::uint8_t(v);
    return b;
}

// The pty's settings as the next program to open it finds them.
termios lineSettings(const QString &path)
{
    termios tio{};
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        ::tcgetattr(fd, &tio);
        ::close(fd);
    }
    return tio;
}

QString firstLine(const QString &text)
{
    return text.section(QLatin1Char('\n'), 0, 0);
}

QString hex(const std::uint8_t *data, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QStringLiteral("%1").arg(data[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(' ');
}

}  // namespace

class TestLink : public QObject {
    Q_OBJECT

    std::unique_ptr<adaptersim::Simulator> sim;
    LinkState state;
    Recorder reporter;

    QStringList wire() const
    {
        QStringList lines;
        for (const auto &l : sim->log())
            lines << QString::fromStdString(l);
        return lines;
    }
    bool exchange(int pageSize = 64) { return exchangeCommand(state, pageSize, reporter); }

private slots:
    void init()
    {
        sim = std::make_unique<adaptersim::Simulator>();
        std::string error;
        QVERIFY2(sim->start(&error), error.c_str());
        state = LinkState{};
        state.PortName = QString::fromStdString(sim->devicePath());
        reporter.messages.clear();
    }
    void cleanup() { sim.reset(); }

    void readChip()
    {
        state.CmdBlock = block({1, 0, 0, 0, 0, 0, 0, 0});
        QVERIFY(exchange());
        QCOMPARE(wire(), QStringList{"block 01 00 00 00 00 00 00 00"});
        QCOMPARE(hex(state.CmdBlock.data(), 8), QString("01 1E 93 07 E1 D9 FF FF"));
        QVERIFY(reporter.messages.isEmpty());
    }

    void chipCommandsCarryReplies()
    {
        state.CmdBlock = block({1});
        QVERIFY(exchange());
        state.CmdBlock[0] = cmdWriteFuses;
        state.CmdBlock[4] = 0xE4;
        state.CmdBlock[5] = 0xC9;
        state.CmdBlock[6] = 0xFF;
        QVERIFY(exchange());
        QCOMPARE(wire().last(), QString("block 02 1E 93 07 E4 C9 FF FF"));
        QCOMPARE(hex(state.CmdBlock.data(), 8), QString("02 1E 93 07 E4 C9 FF FF"));
        QCOMPARE(int(sim->chip().lowFuse), 0xE4);
        QCOMPARE(int(sim->chip().highFuse), 0xC9);
    }

    void pageWrites()
    {
        for (int i = 0; i < 64; ++i)
            state.PageBuffer[std::size_t(i)] = std::uint8_t(i);
        state.PageBuffer[64] = 0xAA;  // beyond the page: never sent
        state.CmdBlock = block({5, 64, 1, 2, 3, 4, 5, 6});
        QVERIFY(exchange(64));
        QVERIFY(exchange(64));
        state.CmdBlock = block({0, 0});
        QVERIFY(exchange(64));
        const QStringList lines = wire();
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines[0], QString("block 05 40 01 02 03 04 05 06"));
        QCOMPARE(lines[1], "data " + hex(state.PageBuffer.data(), 64));
        QCOMPARE(lines[2], lines[0]);
        QCOMPARE(lines[3], lines[1]);
        QVERIFY(lines[4].startsWith("block 00 00 "));
        const auto flash = sim->chip().flash;
        QCOMPARE(hex(flash.data(), 4), QString("00 01 02 03"));
        QCOMPARE(hex(flash.data() + 64, 4), QString("00 01 02 03"));  // the second page follows the first
        QCOMPARE(int(flash[128]), 0xFF);
        // The exchange leaves both buffers as they were.
        QCOMPARE(state.CmdBlock[0], std::uint8_t(0));
        QCOMPARE(state.PageBuffer[64], std::uint8_t(0xAA));
    }

    void pageWriteWithoutData()
    {
        state.CmdBlock = block({5, 0, 9, 9, 9, 9, 9, 9});
        QVERIFY(exchange(0));
        QCOMPARE(wire(), QStringList{"block 05 00 09 09 09 09 09 09"});
        QVERIFY(reporter.messages.isEmpty());
    }

    void pageSizeNeverSentOutOfRange_data()
    {
        QTest::addColumn<int>("pageSize");
        QTest::newRow("0") << 0;
        QTest::newRow("-64") << -64;
        QTest::newRow("129") << 129;
        QTest::newRow("256") << 256;
    }
    void pageSizeNeverSentOutOfRange()
    {
        QFETCH(int, pageSize);
        state.CmdBlock = block({5, 0x40});
        QVERIFY(!exchange(pageSize));
        QVERIFY(wire().isEmpty());
        QCOMPARE(reporter.messages,
                 QStringList{"Page size of the selected device is not supported for Flash programming."});
    }

    void readBlocksAndWords()
    {
        auto chip = sim->chip();
        for (std::size_t i = 0; i < chip.flash.size(); ++i)
            chip.flash[i] = std::uint8_t(i * 7);
        sim->setChip(chip);
        state.CmdBlock = block({6, 0x1E, 2, 3, 4, 5, 6, 7});
        QVERIFY(exchange());
        QCOMPARE(hex(state.PageBuffer.data(), 3), QString("00 07 0E"));
        QVERIFY(exchange());
        QCOMPARE(int(state.PageBuffer[0]), (128 * 7) & 0xFF);
        state.CmdBlock[0] = cmdEnd;
        QVERIFY(exchange());
        QCOMPARE(wire().last(), QString("block 00 1E 02 03 04 05 06 07"));
        state.CmdBlock[0] = cmdReadWord;
        state.PageBuffer[2] = 0x55;
        QVERIFY(exchange());
        QVERIFY(exchange());
        QCOMPARE(hex(state.PageBuffer.data(), 3), QString("0E 15 55"));  // words 0-1, then 2-3
    }

    void silentAdapter()
    {
        auto options = sim->options();
        options.silent = true;
        sim->setOptions(options);
        state.CmdBlock = block({1});
        QVERIFY(exchange());  // chip replies carry no status: missing is not a failure
        QCOMPARE(hex(state.CmdBlock.data(), 8), QString("01 00 00 00 00 00 00 00"));
        QVERIFY(reporter.messages.isEmpty());
        state.CmdBlock = block({7});
        state.PageBuffer[0] = 0x11;
        state.PageBuffer[1] = 0x22;
        QVERIFY(!exchange());
        QCOMPARE(hex(state.PageBuffer.data(), 2), QString("11 22"));
        QCOMPARE(reporter.messages, QStringList{"No answer from programmer on " + state.PortName + " port."});
    }

    void shortReplies_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("expected");  // the target's first bytes afterwards
        QTest::newRow("3 of 8") << 1 << 3 << true << "01 1E 93 00 00 00 00 00";
        QTest::newRow("100 of 128") << 6 << 100 << false << "FF FF 5A 5A";
        QTest::newRow("1 of 2") << 7 << 1 << false << "FF 5A";
        QTest::newRow("unknown code, 8 of 8") << 9 << 8 << true << "09 1E 93 07 E1 D9 FF FF";
        QTest::newRow("code 255, 2 of 8") << 255 << 2 << true << "FF 1E 00 00 00 00 00 00";
    }
    void shortReplies()
    {
        QFETCH(int, code);
        QFETCH(int, count);
        QFETCH(bool, ok);
        QFETCH(QString, expected);
        auto options = sim->options();
        options.shortCode = code;
        options.shortCount = count;
        sim->setOptions(options);
        state.PageBuffer.fill(0x5A);
        state.CmdBlock = block({code});
        QCOMPARE(exchange(), ok);
        if (code == 6) {
            QCOMPARE(hex(state.PageBuffer.data() + 98, 4), expected);  // 98, 99 arrived; 100 on kept
        } else if (code == 7) {
            QCOMPARE(hex(state.PageBuffer.data(), 2), expected);
        } else {
            QCOMPARE(hex(state.CmdBlock.data(), 8), expected);
        }
        QCOMPARE(wire().size(), 1);
    }

    void stalePurged()
    {
        // A reply that comes after its read gave up waits in the line; the next exchange
        // must not take it for its own.
        auto options = sim->options();
        options.fuseWriteUs = 200000;
        sim->setOptions(options);
        state.CmdBlock = block({2, 0, 0, 0, 0xE1, 0xD9, 0xFF, 0});
        QVERIFY(exchange());
        QCOMPARE(hex(state.CmdBlock.data(), 8), QString("02 00 00 00 E1 D9 FF 00"));  // nothing came in time
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        state.CmdBlock = block({1});
        QVERIFY(exchange());
        QCOMPARE(hex(state.CmdBlock.data(), 8), QString("01 1E 93 07 E1 D9 FF FF"));
    }

    void pageWithoutAcknowledgement()
    {
        auto options = sim->options();
        options.noAck = true;
        sim->setOptions(options);
        state.CmdBlock = block({5, 64});
        QVERIFY(!exchange(64));
        QCOMPARE(reporter.messages, QStringList{"No answer from programmer on " + state.PortName + " port."});
        QCOMPARE(wire(), QStringList{"block 05 40 00 00 00 00 00 00"});  // no data without the first ack
    }

    void portFailures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("help");  // what the lines below it begin with (Linux)
        const QString missing = "There is no such port";
        QTest::newRow("missing") << "/dev/tarvane-no-such-port" << "Can`t open /dev/tarvane-no-such-port port."
                                 << missing;
        QTest::newRow("empty") << "" << "Can`t open  port." << missing;
        QTest::newRow("default COM1") << "\\\\.\\COM1" << "Can`t open \\\\.\\COM1 port." << missing;
        QTest::newRow("regular file") << "@file" << "Can`t read status of @file port." << "@file is not a serial port.";
    }
    void portFailures()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFETCH(QString, help);
        QTemporaryDir dir;
        if (name == "@file") {
            name = dir.filePath("plain.txt");
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not a serial line");
            f.close();
            message.replace("@file", name);
            help.replace("@file", name);
        } else if (name.contains("COM1") && QFile::exists("/dev/ttyS0")) {
            QSKIP("this machine has a first serial port");
        }
        state.PortName = name;
        state.CmdBlock = block({1, 2, 3});
        QVERIFY(!exchange());
        QCOMPARE(reporter.messages.size(), 1);
        // The failure's own text stays the first line; why and what to do follow.
        QCOMPARE(firstLine(reporter.messages[0]), message);
#ifdef Q_OS_LINUX
        QVERIFY2(reporter.messages[0].startsWith(message + "\n\n" + help), qPrintable(reporter.messages[0]));
#endif
        QCOMPARE(hex(state.CmdBlock.data(), 3), QString("01 02 03"));
        QVERIFY(wire().isEmpty());
    }

    void busyPort_data()
    {
        QTest::addColumn<bool>("heldByQt");
        QTest::newRow("held by a Qt SerialPort program") << true;
        QTest::newRow("held by a second line of ours") << false;
    }
    void busyPort()
    {
        QFETCH(bool, heldByQt);
        QSerialPort qtHolder;
        SerialLine ourHolder;
        if (heldByQt) {
            qtHolder.setPortName(state.PortName);
            QVERIFY(qtHolder.open(QIODevice::ReadWrite));
        } else {
            QCOMPARE(ourHolder.open(state.PortName), SerialLine::OpenResult::Ok);
        }
        state.CmdBlock = block({1});
        QVERIFY(!exchange());
        QCOMPARE(reporter.messages.size(), 1);
        QString expected = "Can`t open " + state.PortName + " port.";
#ifdef Q_OS_LINUX
        // Both hold it from this very process: its lock file or its flock names it.
        expected += QStringLiteral("\n\nThe port is in use by test_link (process %1). Close that program and try again.")
                        .arg(QCoreApplication::applicationPid());
#endif
        QCOMPARE(reporter.messages[0], expected);
        QVERIFY(wire().isEmpty());
        qtHolder.close();
        ourHolder.close();
        reporter.messages.clear();
        QVERIFY(exchange());
        QVERIFY(reporter.messages.isEmpty());
    }

    // --- The line ---------------------------------------------------------------------

    void lineSetUpOnlyWhereItDiffers()
    {
        // A set-up cost makes the simulated bridge count the set-ups it sees on the pty.
        sim.reset();
        adaptersim::Options options;
        options.bridge.setupUs = 1;
        sim = std::make_unique<adaptersim::Simulator>(options);
        QVERIFY(sim->start());
        state.PortName = QString::fromStdString(sim->devicePath());
        QVERIFY(lineSettings(state.PortName).c_cflag & HUPCL);  // as a USB serial port comes

        state.CmdBlock = block({1});
        QVERIFY(exchange());
        termios tio = lineSettings(state.PortName);
        QVERIFY(!(tio.c_cflag & HUPCL));  // DTR and RTS stay up when the port closes
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QCOMPARE(int(tio.c_cflag & (CSIZE | CSTOPB | PARENB)), int(CS8));
        QVERIFY(!(tio.c_lflag & (ICANON | ECHO)));
        const long setups = sim->bridgeCounts().setups;
        QVERIFY(setups >= 1);
        QCOMPARE(sim->bridgeCounts().purges, 1L);

        state.CmdBlock = block({1});
        QVERIFY(exchange());
        const bool qtBackend = SerialLine::defaultBackend() == SerialBackend::Qt;
        // The port is as the exchange wants it: nothing is written to it again.
        if (!qtBackend)
            QCOMPARE(sim->bridgeCounts().setups, setups);
        QCOMPARE(sim->bridgeCounts().purges, 2L);

        // Another program reconfigures the port between two commands ...
        {
            const int fd = ::open(state.PortName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(fd >= 0);
            termios other{};
            QCOMPARE(::tcgetattr(fd, &other), 0);
            cfsetispeed(&other, B9600);
            cfsetospeed(&other, B9600);
            other.c_cflag |= CSTOPB | HUPCL | CRTSCTS;
            other.c_lflag |= ICANON | ECHO;
            other.c_iflag |= ICRNL;
            QCOMPARE(::tcsetattr(fd, TCSANOW, &other), 0);
            ::close(fd);
        }
        const long before = sim->bridgeCounts().setups;
        // ... and the next command sets it back, and its bytes go and come unmangled.
        sim->clearLog();
        state.CmdBlock = block({1, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x03, 0x0D});
        QVERIFY(exchange());
        QCOMPARE(wire(), QStringList{"block 01 0D 0A 11 13 7F 03 0D"});
        QCOMPARE(hex(state.CmdBlock.data(), 8), QString("01 1E 93 07 E1 D9 FF FF"));
        tio = lineSettings(state.PortName);
        QVERIFY(!(tio.c_cflag & HUPCL));
        if (qtBackend)
            return;  // Qt SerialPort puts back at close the settings it found at open
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QCOMPARE(cfgetispeed(&tio), speed_t(B115200));
        QCOMPARE(int(tio.c_cflag & (CSIZE | CSTOPB | PARENB | HUPCL)), int(CS8));
        QVERIFY(!(tio.c_cflag & CRTSCTS));  // no hardware flow control left on: the adapter has none
        QVERIFY(!(tio.c_lflag & (ICANON | ECHO)));
        QVERIFY(!(tio.c_iflag & ICRNL));
        QVERIFY(sim->bridgeCounts().setups > before || qtBackend);
    }

    void lowLatencyAskedAndRefusalIgnored()
    {
        SerialLine line;
        QCOMPARE(line.open(state.PortName), SerialLine::OpenResult::Ok);
#ifdef Q_OS_LINUX
        QVERIFY(line.lastOpen().lowLatencyAsked);
        // A pty has no such request and says so; the line works all the same.
        QCOMPARE(line.lastOpen().lowLatencyErrno, ENOTTY);
#endif
        QCOMPARE(line.lastOpen().failedStep, SerialLine::OpenStep::None);
        line.purge();
        const Block chip = block({1});
        QVERIFY(line.write(chip.data(), 8));
        Block reply{};
        QCOMPARE(line.read(reply.data(), 8), 8);
        QCOMPARE(hex(reply.data(), 8), QString("01 1E 93 07 E1 D9 FF FF"));
    }

    void openReportsStepAndErrno_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("error");
        QTest::newRow("missing") << "/dev/tarvane-no-such-port" << int(SerialLine::OpenStep::Open) << ENOENT;
        QTest::newRow("empty") << "" << int(SerialLine::OpenStep::Open) << ENOENT;
        QTest::newRow("not a line") << "/dev/null" << int(SerialLine::OpenStep::ReadStatus) << ENOTTY;
    }
    void openReportsStepAndErrno()
    {
        QFETCH(QString, path);
        QFETCH(int, step);
        QFETCH(int, error);
        SerialLine line;
        QVERIFY(line.open(path) != SerialLine::OpenResult::Ok);
        QCOMPARE(int(line.lastOpen().failedStep), step);
        QCOMPARE(line.lastOpen().savedErrno, error);
    }

    // --- Failures that name the fix ---------------------------------------------------

    void permissionDeniedNamesGroupAndCommand()
    {
#ifndef Q_OS_LINUX
        QSKIP("the explanations are made on Linux");
#else
        // A node owned by root and the dialout group, mode 0660. The test runs as root, who may
        // open anything, so a child drops to nobody to meet the refusal a user meets.
        QTemporaryDir dir;
        QVERIFY(::chmod(dir.path().toLocal8Bit().constData(), 0755) == 0);
        const QString node = dir.filePath("ttyUSB7");
        QFile f(node);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        const group *dialout = ::getgrnam("dialout");
        if (!dialout || ::geteuid() != 0)
            QSKIP("needs root and a dialout group");
        QCOMPARE(::chown(node.toLocal8Bit().constData(), 0, dialout->gr_gid), 0);
        QCOMPARE(::chmod(node.toLocal8Bit().constData(), 0660), 0);
        int pipeFd[2];
        QCOMPARE(::pipe(pipeFd), 0);
        const QByteArray nodePath = node.toLocal8Bit();
        const pid_t child = ::fork();
        if (child == 0) {
            int error = 0;
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                error = -1;
            else if (::open(nodePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0)
                error = errno;
            (void)!::write(pipeFd[1], &error, sizeof error);
            ::_exit(0);
        }
        ::close(pipeFd[1]);
        int childErrno = 0;
        QCOMPARE(int(::read(pipeFd[0], &childErrno, sizeof childErrno)), int(sizeof childErrno));
        ::close(pipeFd[0]);
        ::waitpid(child, nullptr, 0);
        QCOMPARE(childErrno, EACCES);

        const passwd *me = ::getpwuid(::geteuid());
        const QString help = openFailureHelp(node, SerialLine::OpenStep::Open, childErrno, {});
        QCOMPARE(help, QString("You may not open %1: it belongs to the group \"dialout\". Add yourself to that group:\n"
                               "    sudo usermod -aG dialout %2\n"
                               "then log out and log in again.")
                           .arg(node, QString::fromLocal8Bit(me->pw_name)));
        // A node of the root group has no group to join.
        QCOMPARE(::chown(node.toLocal8Bit().constData(), 0, 0), 0);
        QVERIFY(openFailureHelp(node, SerialLine::OpenStep::Open, EACCES, {})
                    .startsWith("Only the system administrator may open " + node));
#endif
    }

    void missingDeviceListsPorts()
    {
#ifndef Q_OS_LINUX
        QSKIP("the explanations are made on Linux");
#else
        const QString path = "/dev/ttyUSB9";
        QCOMPARE(openFailureHelp(path, SerialLine::OpenStep::Open, ENOENT, {}),
                 QString("There is no such port, and no serial port is plugged in. Plug the adapter in, "
                         "then choose its port in File > Options."));
        const QList<PortListing> ports = {{"/dev/ttyUSB0", "FT232R USB UART", "A50285BI", true},
                                          {"/dev/ttyS0", "", "", false}};
        QCOMPARE(openFailureHelp(path, SerialLine::OpenStep::Open, ENODEV, ports),
                 QString("There is no such port. The serial ports found:\n"
                         "    /dev/ttyUSB0 (FT232R USB UART, S/N A50285BI)\n"
                         "    /dev/ttyS0\n"
                         "Choose one in File > Options."));
        QCOMPARE(openFailureHelp(path, SerialLine::OpenStep::Open, EIO, {}),
                 QString("The system says: Input/output error."));
        QCOMPARE(openFailureHelp(path, SerialLine::OpenStep::Open, 0, {}), QString());
        // A port held by nobody we can name (TIOCEXCL refuses other users with EBUSY).
        QCOMPARE(openFailureHelp(path, SerialLine::OpenStep::Open, EBUSY, {}),
                 QString("Another program is using the port. Close it and try again."));
#endif
    }

    void portChoices()
    {
        const QList<PortListing> found = {{"/dev/ttyS10", "", "", false},
                                          {"/dev/ttyUSB10", "CH340", "", true},
                                          {"/dev/ttyS2", "16550A", "", false},
                                          {"/dev/ttyACM0", "Arduino Uno", "95530343", true},
                                          {"/dev/ttyUSB2", "FT232R USB UART", "A50285BI", true}};
        const QList<PortListing> offered = portsInOfferOrder(found);
        QCOMPARE(portChoiceLabels(offered), QStringList({"/dev/ttyACM0 (Arduino Uno, S/N 95530343)",
                                                         "/dev/ttyUSB2 (FT232R USB UART, S/N A50285BI)",
                                                         "/dev/ttyUSB10 (CH340)", "/dev/ttyS2 (16550A)",
                                                         "/dev/ttyS10"}));
        QCOMPARE(portFromChoice("/dev/ttyUSB10 (CH340)", offered), QString("/dev/ttyUSB10"));
        QCOMPARE(portFromChoice("/dev/ttyS10", offered), QString("/dev/ttyS10"));
        QCOMPARE(portFromChoice("\\\\.\\COM3", offered), QString("\\\\.\\COM3"));  // free text as typed
        QCOMPARE(portFromChoice("", offered), QString());
    }

    // --- The read's rules and the write's end --------------------------------------------

    void readStopsAtGap()
    {
        // 100 bytes, then a pause far over 10 ms but well inside the block's 1290 ms: the
        // read ends after the first part and leaves the rest of the target alone.
        auto options = sim->options();
        options.fault.code = cmdReadBlock;
        options.fault.before = 100;
        options.fault.holdUs = 400000;
        sim->setOptions(options);
        state.PageBuffer.fill(0x5A);
        state.CmdBlock = block({6});
        QVERIFY(!exchange());
        QCOMPARE(hex(state.PageBuffer.data() + 98, 4), QString("FF FF 5A 5A"));
    }

    void readEndsTenMillisecondsAfterAByte()
    {
        // 100 bytes, then 25 ms without one by the line's clock: the read ends there, at once.
        // The rest comes 8 ms later in real time: a read whose gap rule were longer than 25 ms
        // would still be waiting and take it. (A thread held up for those 8 ms could take it
        // too; a second and a third try rule that out.)
        int got = 0;
        for (int attempt = 0; attempt < 3 && got != 100; ++attempt) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(master >= 0);
            QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
            const QString path = QString::fromLocal8Bit(::ptsname(master));
            SerialLine line;
            QCOMPARE(line.open(path), SerialLine::OpenResult::Ok);
            const int watch = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(watch >= 0);
            std::vector<std::uint8_t> first(100, 0xA5), rest(28, 0x5A);
            QCOMPARE(::write(master, first.data(), first.size()), ssize_t(first.size()));
            pollfd p{watch, POLLIN, 0};
            QCOMPARE(::poll(&p, 1, 10000), 1);  // the first part is there before the read begins
            const auto start = SerialLine::Clock::now();
            int calls = 0;
            std::thread later;
            line.setClock([&] {
                // 1: the read begins; 2: the first part taken; 3: the gap looked at, 25 ms on.
                if (++calls == 3)
                    later = std::thread([&] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(8));
                        if (::write(master, rest.data(), rest.size()) != ssize_t(rest.size()))
                            qWarning("the rest could not be written");
                    });
                return calls <= 2 ? start : start + std::chrono::milliseconds(25);
            });
            std::vector<std::uint8_t> target(128, 0);
            got = line.read(target.data(), 128);
            if (later.joinable())
                later.join();
            line.close();
            ::close(watch);
            ::close(master);
        }
        QCOMPARE(got, 100);
    }

    void readTakesWhatWaitsWhenTimeIsUp_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("word") << 2;
        QTest::newRow("block") << 128;
    }
    void readTakesWhatWaitsWhenTimeIsUp()
    {
        // The thread was held up past the read's time limit while the reply came in whole: the
        // bytes wait in the driver and are the reply. The line's clock lets the limit pass at
        // the moment the reply is known to be there, so no real time is measured.
        QFETCH(int, count);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString path = QString::fromLocal8Bit(::ptsname(master));
        // A second opener of the slave, only to see when the bytes have reached its input.
        const int watch = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(watch >= 0);
        std::vector<std::uint8_t> reply(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            reply[std::size_t(i)] = std::uint8_t(0xA0 + i);

        SerialLine line;
        QCOMPARE(line.open(path), SerialLine::OpenResult::Ok);
        const auto start = SerialLine::Clock::now();
        int calls = 0;
        bool delivered = false;
        line.setClock([&] {
            if (calls++ == 0)
                return start;  // the read begins: nothing has come yet
            if (!delivered) {  // the next look at the clock: the reply is in, the limit long past
                delivered = ::write(master, reply.data(), reply.size()) == ssize_t(reply.size());
                pollfd p{watch, POLLIN, 0};
                delivered = delivered && ::poll(&p, 1, 10000) == 1;
            }
            return start + std::chrono::seconds(10);
        });
        std::vector<std::uint8_t> target(static_cast<std::size_t>(count), 0x5A);
        const int got = line.read(target.data(), count);
        line.close();
        ::close(watch);
        ::close(master);
        QVERIFY(delivered);
        QCOMPARE(got, count);
        QCOMPARE(hex(target.data(), count), hex(reply.data(), count));
    }

    void recoveryTakesWhatTheLostReplyOwed()
    {
        // The rest of a late block (28 bytes, 8 or more) comes in after cmdEnd has gone out, and
        // the adapter pauses before it answers the cmdEnd. Taking the rest alone for that answer
        // would leave the answer on the line, where the next command's purge has already run:
        // it would stand in front of the next block's data.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        LinkState link;
        link.PortName = QString::fromLocal8Bit(::ptsname(master));
        // Keeps the slave open between the program's opens, as a real port's driver stays.
        const int keep = ::open(link.PortName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(keep >= 0);
        auto takeBlock = [master] {
            std::uint8_t b[8];
            int got = 0;
            while (got < 8) {
                pollfd p{master, POLLIN, 0};
                if (::poll(&p, 1, 10000) != 1)
                    return -1;
                const ssize_t n = ::read(master, b + got, std::size_t(8 - got));
                if (n <= 0)
                    return -1;
                got += int(n);
            }
            return int(b[0]);
        };
        std::vector<std::uint8_t> data(128);
        for (int i = 0; i < 128; ++i)
            data[std::size_t(i)] = std::uint8_t(0x40 + i);
        std::atomic<bool> played{false};
        std::thread adapter([&] {
            const std::vector<std::uint8_t> rest(28, 0xEE), answer(8, 0x00);
            if (takeBlock() != cmdEnd)
                return;
            if (::write(master, rest.data(), rest.size()) != ssize_t(rest.size()))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            if (::write(master, answer.data(), answer.size()) != ssize_t(answer.size()))
                return;
            if (takeBlock() != cmdReadBlock)
                return;
            played = ::write(master, data.data(), data.size()) == ssize_t(data.size());
        });
        link.CmdBlock = block({cmdReadBlock, 0x1E, 0x93, 0x07, 0xE1, 0xD9, 0xFF, 0xFF});
        StreamRecovery recovery;
        const bool recovered = recovery.recover(link, 64, 0, 28);
        struct : Reporter {
            QStringList messages;
            void information(const QString &text) override { messages << text; }
        } quiet;
        const ExchangeResult result = avrlink::exchange(link, 64, quiet);
        adapter.join();
        ::close(keep);
        ::close(master);
        QVERIFY(recovered);
        QVERIFY(played);
        QVERIFY(result.done());
        QCOMPARE(hex(link.PageBuffer.data(), 128), hex(data.data(), 128));
    }

    void recoveryGivesUpOnAFlood()
    {
        // After a lost reply the adapter does not stop sending. Closing the stream waits for
        // the line to go quiet, but only until its deadline: the operation then fails instead of
        // waiting for ever.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        LinkState link;
        link.PortName = QString::fromLocal8Bit(::ptsname(master));
        const int keep = ::open(link.PortName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(keep >= 0);
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            const std::uint8_t noise[16] = {0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA,
                                            0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA};
            std::uint8_t in[64];
            while (!stop) {
                while (::read(master, in, sizeof in) > 0) {
                }
                if (::write(master, noise, sizeof noise) < 0 && errno != EAGAIN)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        link.CmdBlock = block({cmdReadWord});
        StreamRecovery recovery;
        auto recovered = std::async(std::launch::async, [&] { return recovery.recover(link, 64, 4, 2); });
        // Not a timing: a close that waits for quiet on a line that never goes quiet never ends.
        const bool ended = recovered.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        stop = true;
        flood.join();
        ::close(keep);
        ::close(master);
        QVERIFY2(ended, "closing the stream waited for ever on an adapter that keeps sending");
        QVERIFY(!recovered.get());
    }

    void writeErrorEndsWrite()
    {
        SerialLine line;
        QCOMPARE(line.open(state.PortName), SerialLine::OpenResult::Ok);
        sim.reset();  // the other end is gone: every write fails
        std::vector<std::uint8_t> data(4096, 0x55);
        if (SerialLine::defaultBackend() == SerialBackend::Qt) {
            QVERIFY(!line.write(data.data(), int(data.size())));  // QSerialPort keeps to its thread
            return;
        }
        auto written = std::async(std::launch::async, [&] { return line.write(data.data(), int(data.size())); });
        // Not a timing: a write that never gives up would hold the test for good.
        if (written.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            qFatal("a write to a port that is gone never gave up");
        QVERIFY(!written.get());
    }

    // --- Recovery from a lost reply --------------------------------------------------

    void recovery_data()
    {
        QTest::addColumn<int>("code");       // cmdReadWord (verify) or cmdReadBlock (read)
        QTest::addColumn<int>("commands");   // in the stream
        QTest::addColumn<int>("lost");       // index of the command whose reply goes wrong
        QTest::addColumn<int>("holdMs");     // -1: dropped; else late by this much
        for (int code : {7, 6}) {
            const int commands = code == 7 ? 80 : 6;
            const char *kind = code == 7 ? "verify" : "read";
            for (int lost : {0, commands / 2 + 1, commands - 1}) {
                const char *where = lost == 0 ? "start" : lost == commands - 1 ? "end" : "middle";
                QTest::addRow("%s, %s, dropped", kind, where) << code << commands << lost << -1;
            }
            // Late beyond the reply's window: 30 ms for a word, 1290 ms for a block.
            if (code == 7)  // the stream again ends with a block, not with a word like the lost one
                QTest::addRow("verify, at Flash byte 128, dropped") << code << commands << 64 << -1;
            QTest::addRow("%s, middle, late", kind) << code << commands << commands / 2 + 1 << (code == 7 ? 300 : 1600);
        }
    }
    void recovery()
    {
        QFETCH(int, code);
        QFETCH(int, commands);
        QFETCH(int, lost);
        QFETCH(int, holdMs);
        const int size = code == cmdReadWord ? kReadWordSize : kReadBlockSize;
        auto chip = sim->chip();
        for (std::size_t i = 0; i < chip.flash.size(); ++i)
            chip.flash[i] = std::uint8_t(i * 13 + i / 256);
        sim->setChip(chip);
        auto options = sim->options();
        options.fault.block = lost;  // the blocks since start are the stream's commands
        options.fault.holdUs = holdMs < 0 ? -1 : holdMs * 1000;
        sim->setOptions(options);

        state.CmdBlock = block({code, 0x1E, 0x93, 0x07, 0xE1, 0xD9, 0xFF, 0xFF});
        std::vector<std::uint8_t> got;
        StreamRecovery recovery;
        for (int n = 0; n < commands; ++n) {
            for (;;) {
                if (code == cmdReadWord)
                    state.PageBuffer[0] = state.PageBuffer[1] = 0;
                if (exchange())
                    break;
                QVERIFY(recovery.recover(state, 64, std::uint32_t(n * size)));
            }
            got.insert(got.end(), state.PageBuffer.begin(), state.PageBuffer.begin() + size);
        }
        QVERIFY(std::equal(got.begin(), got.end(), chip.flash.begin()));
        QVERIFY(recovery.retries() >= 1);
        // A machine under load may miss a 30 ms window of its own; the data must hold then too,
        // but the wire is no longer the one below.
        if (recovery.retries() != 1)
            QSKIP("a further reply was lost to the machine's load");
        QCOMPARE(reporter.messages.size(), 1);  // the caller's lost reply; the recovery says nothing

        // On the wire: the stream up to the lost command, cmdEnd with the stream's bytes, the
        // stream again up to the lost address (blocks of 128, then words), the lost command
        // again, the rest.
        const QString command = QString("block %1 1E 93 07 E1 D9 FF FF").arg(code, 2, 10, QChar('0'));
        QStringList expected;
        for (int n = 0; n <= lost; ++n)
            expected << command;
        expected << "block 00 1E 93 07 E1 D9 FF FF";
        for (int at = 0; at < lost * size;) {
            const bool whole = lost * size - at >= 128;
            expected << QString("block %1 1E 93 07 E1 D9 FF FF").arg(whole ? "06" : "07");
            at += whole ? 128 : 2;
        }
        for (int n = lost; n < commands; ++n)
            expected << command;
        QCOMPARE(wire(), expected);
        QCOMPARE(hex(state.CmdBlock.data(), 8), hex(block({code, 0x1E, 0x93, 0x07, 0xE1, 0xD9, 0xFF, 0xFF}).data(), 8));
    }

    void recoveryGivesUpAfterThreeAttempts_data()
    {
        QTest::addColumn<int>("failures");  // replies lost at the one address
        QTest::addColumn<bool>("recovered");
        QTest::addColumn<int>("retries");
        QTest::newRow("two lost, the third comes") << 2 << true << 2;
        QTest::newRow("three lost") << 3 << false << 2;
    }
    void recoveryGivesUpAfterThreeAttempts()
    {
        QFETCH(int, failures);
        QFETCH(bool, recovered);
        QFETCH(int, retries);
        auto options = sim->options();
        options.fault.code = cmdReadWord;
        options.fault.address = 4;
        options.fault.times = failures;
        sim->setOptions(options);
        state.CmdBlock = block({7});
        StreamRecovery recovery;
        bool ok = true;
        for (int n = 0; n < 4 && ok; ++n) {
            while (!exchange()) {
                if (!recovery.recover(state, 64, std::uint32_t(2 * n))) {
                    ok = false;
                    break;
                }
            }
        }
        QCOMPARE(ok, recovered);
        QCOMPARE(recovery.retries(), retries);
        const QStringList lines = wire();
        QCOMPARE(int(lines.count("block 00 00 00 00 00 00 00 00")), retries);
        // Attempts at address 4 = its cmdReadWord sent at the address: the original and one per retry.
        QCOMPARE(int(lines.count("block 07 00 00 00 00 00 00 00")), (recovered ? 4 : 3) + retries * 3);
    }

    void portNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
#ifdef Q_OS_LINUX
        QTest::newRow("\\\\.\\COM1") << "\\\\.\\COM1" << "/dev/ttyS0";
        QTest::newRow("com3") << "com3" << "/dev/ttyS2";
        QTest::newRow("\\\\.\\com12") << "\\\\.\\com12" << "/dev/ttyS11";
#endif
        QTest::newRow("device path") << "/dev/ttyUSB0" << "/dev/ttyUSB0";
        QTest::newRow("COM0 is no port") << "COM0" << "COM0";
        QTest::newRow("trailing text") << "COM1x" << "COM1x";
        QTest::newRow("blank") << " COM1" << " COM1";
    }
    void portNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QCOMPARE(systemPortPath(name), path);
    }
};

// Every case runs through each way of reaching the port.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int failed = 0;
    for (SerialBackend backend : {SerialBackend::Posix, SerialBackend::Qt}) {
        SerialLine::setDefaultBackend(backend);
        qInfo("serial backend: %s", backend == SerialBackend::Posix ? "POSIX termios" : "Qt SerialPort");
        TestLink test;
        failed += QTest::qExec(&test, argc, argv);
    }
    return failed;
}
#include "test_link.moc"
