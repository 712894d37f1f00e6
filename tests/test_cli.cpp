// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli end to end: the program run as a script runs it, against the simulated adapter.
#include "adaptersim.h"
#include "devices.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using rig::readFile;
using rig::writeFile;

namespace {

QString binDir()
{
    return qEnvironmentVariable("TARVANE_BIN_DIR");
}

QString fixtures()
{
    return QStringLiteral(TARVANE_HEX_FIXTURES);
}

struct Run {
    int exit = -1;
    QString out;
    QString err;
};

QByteArray pattern(int size)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 13 + 7) & 0xFF);
    return data;
}

}  // namespace

class TestCli : public QObject {
    Q_OBJECT

    std::unique_ptr<adaptersim::Simulator> sim;
    QTemporaryDir dir;

    QString port() const { return QString::fromStdString(sim->devicePath()); }
    QString path(const QString &name) const { return dir.filePath(name); }

    Run cli(const QStringList &args, const QString &program = QString())
    {
        QProcess p;
        p.setProgram(program.isEmpty() ? binDir() + "/tarvane-cli" : program);
        p.setArguments(args);
        p.start();
        Run r;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }
    // The original program's command sequences, which the wire checks below expect.
    Run onPort(QStringList args) { return cli(QStringList{"--port", port(), "--compatible"} + args); }
    Run onPortFast(QStringList args) { return cli(QStringList{"--port", port()} + args); }
    QStringList blocks() const
    {
        QStringList out;
        for (const auto &l : sim->log())
            if (l.rfind("block ", 0) == 0)
                out << QString::fromStdString(l);
        return out;
    }

private slots:
    void initTestCase()
    {
        if (binDir().isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
    }

    void init()
    {
        sim = std::make_unique<adaptersim::Simulator>();
        QVERIFY(sim->start());
    }
    void cleanup() { sim.reset(); }

    void help()
    {
        const Run r = cli({"--help"});
        QCOMPARE(r.exit, 0);
        for (const char *line : {"Exit codes:", "  0  done", "  1  verify found differences, or a write did not read back as sent",
                                 "  2  usage error", "  3  port or adapter failure", "  4  file error", "write-fuses LOW HIGH [EXT]"})
            QVERIFY2(r.out.contains(line), line);
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no command") << QStringList{};
        QTest::newRow("unknown command") << QStringList{"burn"};
        QTest::newRow("unknown option") << QStringList{"--fast", "read-chip"};
        QTest::newRow("port without value") << QStringList{"read-chip", "--port"};
        QTest::newRow("one fuse byte") << QStringList{"write-fuses", "E1"};
        QTest::newRow("four fuse bytes") << QStringList{"write-fuses", "E1", "D9", "FF", "FF"};
        QTest::newRow("not a byte") << QStringList{"write-fuses", "G1", "D9"};
        QTest::newRow("too wide") << QStringList{"write-lock", "1FC"};
        QTest::newRow("no lock byte") << QStringList{"write-lock"};
        QTest::newRow("erase with argument") << QStringList{"erase", "now"};
        QTest::newRow("no file") << QStringList{"write-flash"};
        QTest::newRow("json elsewhere") << QStringList{"--json", "erase"};
        QTest::newRow("unknown device") << QStringList{"--device", "ATmega9999", "erase"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, args);
        const Run r = onPort(args);
        QCOMPARE(r.exit, 2);
        QVERIFY(!r.err.isEmpty());
        QVERIFY(sim->log().empty());  // nothing reached the adapter
    }

    void readChip()
    {
        sim->setChip([] {
            adaptersim::Chip c;
            c.highFuse = 0x99;
            return c;
        }());
        Run r = onPort({"read-chip"});
        QCOMPARE(r.exit, 0);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.value(0), QString("Signature: 1Eh 93h 07h"));
        QCOMPARE(lines.value(1), QString("Device: ATmega8/8A"));
        QVERIFY2(lines.value(3).startsWith("High Byte: 99h  RSTDISBL=1 WDTON=0 SPIEN=0"), qPrintable(lines.value(3)));
        QCOMPARE(lines.size(), 6);

        r = onPort({"--json", "read-chip"});
        QCOMPARE(r.exit, 0);
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(o.value("signature").toString(), QString("1Eh 93h 07h"));
        QCOMPARE(o.value("device").toString(), QString("ATmega8/8A"));
        QCOMPARE(o.value("identified").toBool(), true);
        QCOMPARE(o.value("bytes").toObject().value("high").toString(), QString("99h"));
        QCOMPARE(o.value("bits").toObject().value("high").toObject().value("WDTON").toInt(-1), 0);
        QCOMPARE(o.value("bits").toObject().value("lock").toObject().value("LB1").toInt(-1), 1);
    }

    void readChipOfUnknownChip()
    {
        adaptersim::Chip c;
        c.signature = {0x12, 0x34, 0x56};
        sim->setChip(c);
        Run r = onPort({"read-chip"});
        QCOMPARE(r.exit, 0);
        QVERIFY(r.out.contains("Device: Not found"));
        r = onPort({"--json", "read-chip"});
        QVERIFY(QJsonDocument::fromJson(r.out.toUtf8()).object().value("device").isNull());
        // Every other command refuses it, after the one Read Chip that found nothing.
        sim->clearLog();
        r = onPort({"erase"});
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains("Device not found: signature 12h 34h 56h"), qPrintable(r.err));
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
        // but a device named by hand is put in force
        sim->clearLog();
        r = onPort({"--device", "atmega8", "write-lock", "FC"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(blocks().first(), QString("block 03 00 00 00 00 00 00 FC"));
    }

    void writes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("chipAfter");  // "field=value" set as the closing Read Chip arrives
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("warning");
        QTest::newRow("fuses") << QStringList{"write-fuses", "E1", "0x99"} << "" << 0 << "Fuses programming completed."
                               << "Warning: WDTON programmed";
        QTest::newRow("fuses with h") << QStringList{"write-fuses", "e1h", "d9h", "ff"} << "" << 0
                                      << "Fuses programming completed." << "No bit changes";
        QTest::newRow("fuses not taken") << QStringList{"write-fuses", "E1", "99"} << "high=D9" << 1
                                         << "Fuses programming failed: High Byte reads D9h, sent 99h." << "";
        QTest::newRow("lock") << QStringList{"write-lock", "FC"} << "" << 0 << "Lock Bits programming completed."
                              << "Warning: LB1, LB2 programmed: Flash can no longer be read";
        QTest::newRow("lock not taken") << QStringList{"write-lock", "FC"} << "lock=FF" << 1
                                        << "Lock Bits programming failed: Lock Bits reads FFh, sent FCh." << "";
        QTest::newRow("erase") << QStringList{"erase"} << "" << 0 << "Device erased." << "";
        QTest::newRow("erase leaves locks") << QStringList{"erase"} << "lock=FC" << 1
                                            << "Device erasing failed: Lock Bits reads FCh, expected FFh." << "";
    }
    void writes()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, chipAfter);
        QFETCH(int, exit);
        QFETCH(QString, out);
        QFETCH(QString, warning);
        int reads = 0;
        sim->setLogHandler([&](const std::string &line) {
            if (line.rfind("block 01", 0) != 0 || ++reads != 2 || chipAfter.isEmpty())
                return;
            adaptersim::Chip c = sim->chip();
            const auto value = std::uint8_t(chipAfter.section('=', 1).toUInt(nullptr, 16));
            (chipAfter.startsWith("high") ? c.highFuse : c.lock) = value;
            sim->setChip(c);
        });
        const Run r = onPort(args);
        sim->setLogHandler({});
        QCOMPARE(r.exit, exit);
        QCOMPARE(r.out.trimmed(), out);
        if (!warning.isEmpty())
            QVERIFY2(r.err.contains(warning), qPrintable(r.err));
        QCOMPARE(blocks().size(), 3);  // Read Chip, the write, the closing Read Chip
    }

    void hexRoundTrip()
    {
        // HEX written, verified and read back: the image is avr-objcopy's, the rest erased.
        if (fixtures().isEmpty())
            QSKIP("no avr-gcc: no HEX fixtures");
        const QByteArray reference = readFile(fixtures() + "/blink.ref");
        QVERIFY(!reference.isEmpty());
        adaptersim::Chip c;
        c.flash.assign(8192, 0x00);
        sim->setChip(c);
        QCOMPARE(onPort({"erase"}).exit, 0);
        Run r = onPort({"write-flash", fixtures() + "/blink.hex"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash programming completed."));
        QVERIFY2(!r.err.contains('\r') && r.err.isEmpty(), qPrintable(r.err));  // no progress off a terminal
        QVERIFY(!QFile::exists(fixtures() + "/blink.bin"));                     // converted in memory
        r = onPort({"verify-flash", fixtures() + "/blink.hex"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash verifying completed. No errors."));
        r = onPort({"read-flash", path("back.bin")});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash reading completed."));
        const QByteArray back = readFile(path("back.bin"));
        QCOMPARE(back.size(), 8192);
        QCOMPARE(back.left(reference.size()), reference);
        QCOMPARE(back.mid(reference.size()), QByteArray(8192 - reference.size(), char(0xFF)));
    }

    void verifyDifferences()
    {
        QVERIFY(writeFile(path("image.bin"), pattern(1000)));
        QCOMPARE(onPort({"write-flash", path("image.bin")}).exit, 0);
        QByteArray other = pattern(1000);
        other[500] = char(~other[500]);
        QVERIFY(writeFile(path("other.bin"), other));
        const Run r = onPort({"verify-flash", path("other.bin")});
        QCOMPARE(r.exit, 1);
        QCOMPARE(r.out.trimmed(), QString("Flash verifying failed: 1 errors."));
    }

    void lostReplyRecovered_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");
        QTest::newRow("verify-flash") << "verify-flash" << 7 << "Flash verifying completed. No errors. Retries: 1.";
        QTest::newRow("read-flash") << "read-flash" << 6 << "Flash reading completed. Retries: 1.";
    }
    void lostReplyRecovered()
    {
        // A script sees the retry in the result line, and no complaint for a recovered loss.
        QFETCH(QString, command);
        QFETCH(int, code);
        QFETCH(QString, out);
        adaptersim::Chip c;
        const QByteArray data = pattern(8192);
        c.flash.assign(data.begin(), data.end());
        sim->setChip(c);
        QVERIFY(writeFile(path("image.bin"), data.left(1000)));
        auto o = sim->options();
        o.fault.code = code;
        o.fault.address = 512;
        sim->setOptions(o);
        const Run r = onPort({command, path(command == "read-flash" ? "back.bin" : "image.bin")});
        QCOMPARE(r.exit, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        if (command == "read-flash")
            QCOMPARE(readFile(path("back.bin")), data);
        if (r.out.trimmed() != out && r.out.contains(" Retries: "))
            QSKIP("a further reply was lost to the machine's load");
        QCOMPARE(r.out.trimmed(), out);
    }

    void fileErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing image") << QStringList{"write-flash", "@/missing.bin"} << "Can`t open file.";
        QTest::newRow("device node") << QStringList{"write-flash", "/dev/urandom"} << "Can`t open file.";
        QTest::newRow("FIFO") << QStringList{"verify-flash", "@/fifo"} << "Can`t open file.";
        QTest::newRow("too large") << QStringList{"verify-flash", "@/large.bin"}
                                   << "File size is greater than size of Flash for target device.";
        QTest::newRow("bad HEX") << QStringList{"write-flash", "@/bad.hex"} << "Error converting HEX to BIN";
        QTest::newRow("no folder") << QStringList{"read-flash", "@/no/such/dump.bin"} << "Cannot create file";
    }
    void fileErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QVERIFY(writeFile(path("large.bin"), QByteArray(8193, 0)));
        QVERIFY(writeFile(path("bad.hex"), ":0400000001020304F3\n:00000001FF\n"));
        QFile::remove(path("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        for (QString &a : args)
            a.replace("@", dir.path());
        const Run r = onPort(args);
        QCOMPARE(r.exit, 4);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(blocks().size(), 1);  // the identifying Read Chip only
    }

    void portFailures_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing port") << QStringList{"--port", "/dev/tarvane-missing", "read-chip"}
                                      << "Can`t open /dev/tarvane-missing port.";
        QTest::newRow("silent, read-chip") << QStringList{"read-chip"} << "No answer from programmer";
        QTest::newRow("silent, erase") << QStringList{"erase"} << "Can`t read chip.";
        QTest::newRow("silent, page write") << QStringList{"--device", "ATmega8", "write-flash", "@/image.bin"}
                                            << "power it off and on";
    }
    void portFailures()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QVERIFY(writeFile(path("image.bin"), pattern(100)));
        auto o = sim->options();
        o.silent = true;
        sim->setOptions(o);
        for (QString &a : args)
            a.replace("@", dir.path());
        const Run r = args.first() == "--port" ? cli(args) : onPort(args);
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(!blocks().contains("block 00 00 00 00 00 00 00 00"));  // a page left hanging is not closed
    }

    void defaultPortFromSettings()
    {
        // Beside the program: its own cpu/ folder and config.txt, whose second line is the port.
        QTemporaryDir home;
        const QString program = home.filePath("tarvane-cli");
        QVERIFY(QFile::copy(binDir() + "/tarvane-cli", program));
        QDir().mkpath(home.filePath("cpu"));
        for (const rig::DeviceSpec &d : rig::testDevices())
            QVERIFY(writeFile(home.filePath(QStringLiteral("cpu/") + d.file), d.text));
        QVERIFY(writeFile(home.filePath("config.txt"), "# Tarvane configuration file\r\n" + port().toLocal8Bit() + "\r\n\r\n\r\n"));
        Run r = cli({"read-chip"}, program);
        QCOMPARE(r.exit, 0);
        QVERIFY2(r.out.contains("Device: TestMega8"), qPrintable(r.out));
        r = cli({"devices"}, program);
        QCOMPARE(r.exit, 0);
        QVERIFY(r.out.startsWith("Flash100\t1Eh 77h 01h\tFlash 100\tpage 64\n"));
        QVERIFY(r.out.contains("TestMega8\t1Eh 93h 07h\tFlash 8192\tpage 64\n"));
    }
};

QTEST_MAIN(TestCli)
#include "test_cli.moc"
