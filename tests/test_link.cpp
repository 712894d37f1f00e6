// One exchange with the programmer adapter, checked by the bytes the simulated adapter saw.
#include "adaptersim.h"
#include "exchange.h"
#include "serialline.h"

#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

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
        QTest::newRow("missing") << "/dev/tarvane-no-such-port" << "Can`t open /dev/tarvane-no-such-port port.";
        QTest::newRow("empty") << "" << "Can`t open  port.";
        QTest::newRow("default COM1") << "\\\\.\\COM1" << "Can`t open \\\\.\\COM1 port.";
        QTest::newRow("regular file") << "@file" << "Can`t read status of @file port.";
    }
    void portFailures()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        QTemporaryDir dir;
        if (name == "@file") {
            name = dir.filePath("plain.txt");
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not a serial line");
            f.close();
            message.replace("@file", name);
        } else if (name.contains("COM1") && QFile::exists("/dev/ttyS0")) {
            QSKIP("this machine has a first serial port");
        }
        state.PortName = name;
        state.CmdBlock = block({1, 2, 3});
        QVERIFY(!exchange());
        QCOMPARE(reporter.messages, QStringList{message});
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
        QCOMPARE(reporter.messages, QStringList{"Can`t open " + state.PortName + " port."});
        QVERIFY(wire().isEmpty());
        qtHolder.close();
        ourHolder.close();
        reporter.messages.clear();
        QVERIFY(exchange());
        QVERIFY(reporter.messages.isEmpty());
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
