// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli end to end: the program run as a script runs it, against the simulated adapter.
#include "adaptersim.h"
#include "devices.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// avr-gcc's sample programs in every format avr-objcopy writes (tests/image.cmake).
QString images()
{
    return QStringLiteral(TARVANE_IMAGE_FIXTURES);
}

// avr-objcopy turns a HEX or S-record file into the binary image it stands for.
QByteArray objcopyImage(const QString &file, const QString &format)
{
    QTemporaryDir dir;
    QProcess p;
    p.start("avr-objcopy", {"-I", format, "-O", "binary", "--gap-fill", "0xFF", file, dir.filePath("out.bin")});
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return QByteArray("avr-objcopy failed");
    QFile f(dir.filePath("out.bin"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An ATmega328P, whose images tests/image.cmake builds.
adaptersim::Chip mega328p()
{
    adaptersim::Chip c;
    c.signature = {0x1E, 0x95, 0x0F};
    c.lowFuse = 0x62;
    c.highFuse = 0xD9;
    c.extFuse = 0xFF;
    c.flash.assign(32768, 0x00);  // not erased: a write onto it would show
    c.pageSize = 128;
    return c;
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

    Run cli(const QStringList &args, const QString &program = QString(),
            const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        QProcess p;
        p.setProgram(program.isEmpty() ? binDir() + "/tarvane-cli" : program);
        p.setArguments(args);
        p.setProcessEnvironment(env);
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
    Run onPort(QStringList args) { return cli(QStringList{"--port", port(), "--compatible", "--no-verify"} + args); }
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

    // A part the standard board cannot serve (it runs from 1.8-3.6 V and enters without 12 V):
    // every operation is refused with the reason, and no write, erase or Flash command leaves.
    void unservedPartRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("write-fuses") << QStringList{"write-fuses", "62", "99", "FF"};
        QTest::newRow("write-lock") << QStringList{"write-lock", "FC"};
        QTest::newRow("erase") << QStringList{"erase"};
        QTest::newRow("write-flash") << QStringList{"write-flash", "@image"};
        QTest::newRow("verify-flash") << QStringList{"verify-flash", "@image"};
        QTest::newRow("read-flash") << QStringList{"read-flash", "@dump"};
        QTest::newRow("chosen by hand") << QStringList{"--device", "ATmega128RFA1", "erase"};
    }
    void unservedPartRefused()
    {
        QFETCH(QStringList, args);
        adaptersim::Chip c = sim->chip();
        c.signature = {0x1E, 0xA7, 0x01};  // ATmega128RFA1
        sim->setChip(c);
        QVERIFY(rig::writeFile(path("image.bin"), pattern(256)));
        args.replaceInStrings("@image", path("image.bin"));
        args.replaceInStrings("@dump", path("dump.bin"));
        const Run r = onPortFast(args);
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains("would damage the chip"), qPrintable(r.err));
        for (const QString &b : blocks())
            QVERIFY2(b.startsWith("block 01 ") || b.startsWith("block 00 "), qPrintable(b));
        QVERIFY(!QFileInfo::exists(path("dump.bin")));
        QCOMPARE(sim->chip().flash, c.flash);
    }

    void help()
    {
        const Run r = cli({"--help"});
        QCOMPARE(r.exit, 0);
        for (const char *line : {"Exit codes:", "  0  done", "  1  verify found differences, or a write did not read back as sent",
                                 "  2  usage error", "  3  port or adapter failure", "  4  file error", "130  stopped by Ctrl+C",
                                 "write-fuses LOW HIGH [EXT]",
                                 "write-fuses factory", "write-lock factory"})
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
        // A byte is one or two hex digits with an optional 0x, and nothing else.
        QTest::newRow("sign") << QStringList{"write-fuses", "+E", "D9"};
        QTest::newRow("sign after 0x") << QStringList{"write-lock", "0x+1"};
        QTest::newRow("h suffix") << QStringList{"write-lock", "FCh"};
        QTest::newRow("blank in front") << QStringList{"write-lock", " FC"};
        QTest::newRow("only 0x") << QStringList{"write-lock", "0x"};
        QTest::newRow("empty device name") << QStringList{"--device", "", "read-chip"};
        QTest::newRow("empty device name after =") << QStringList{"--device=", "read-chip"};
        QTest::newRow("empty file name") << QStringList{"read-flash", ""};
        QTest::newRow("factory and a byte") << QStringList{"write-fuses", "factory", "D9"};
        QTest::newRow("factory lock and a byte") << QStringList{"write-lock", "factory", "FC"};
        QTest::newRow("factory in capitals") << QStringList{"write-lock", "FACTORY"};
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
        // Each byte, then its fields with their meaning.
        const QStringList bytes = lines.filter(QRegularExpression("^\\S"));
        QVERIFY2(bytes.value(3).startsWith("High Byte: 99h  RSTDISBL=1 WDTON=0 SPIEN=0"), qPrintable(bytes.value(3)));
        QCOMPARE(bytes.size(), 6);
        QCOMPARE(lines.value(3), QString("  Brown-out level (BODLEVEL=1): 2.7 V"));
        QCOMPARE(lines.value(5), QString("  Clock (SUT_CKSEL=100001): internal RC oscillator 1 MHz; start-up 6 CK + 64 ms"));
        const int high = int(lines.indexOf(bytes.value(3)));
        QCOMPARE(lines.value(high + 2), QString("  Watch-dog Timer always on (WDTON=0): yes"));
        QCOMPARE(lines.size(), 6 + 13);  // the ATmega8's file names 13 fields
        QVERIFY(r.err.isEmpty());

        r = onPort({"--json", "read-chip"});
        QCOMPARE(r.exit, 0);
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(o.value("signature").toString(), QString("1Eh 93h 07h"));
        QCOMPARE(o.value("device").toString(), QString("ATmega8/8A"));
        QCOMPARE(o.value("identified").toBool(), true);
        QCOMPARE(o.value("bytes").toObject().value("high").toString(), QString("99h"));
        QCOMPARE(o.value("bits").toObject().value("high").toObject().value("WDTON").toInt(-1), 0);
        QCOMPARE(o.value("bits").toObject().value("lock").toObject().value("LB1").toInt(-1), 1);
        const QJsonArray fields = o.value("fields").toArray();
        QCOMPARE(fields.size(), 13);
        const QJsonObject clock = fields.at(2).toObject();
        QCOMPARE(clock.value("name").toString(), QString("SUT_CKSEL"));
        QCOMPARE(clock.value("caption").toString(), QString("Clock"));
        QCOMPARE(clock.value("byte").toString(), QString("low"));
        QCOMPARE(clock.value("bits").toString(), QString("100001"));
        QCOMPARE(clock.value("named").toBool(), true);
        QCOMPARE(clock.value("meaning").toString(), QString("internal RC oscillator 1 MHz; start-up 6 CK + 64 ms"));
        QCOMPARE(fields.at(4).toObject().value("meaning").toString(), QString("yes"));  // WDTON programmed
        QCOMPARE(fields.at(10).toObject().value("byte").toString(), QString("lock"));
    }

    // A value the file does not name is said to be so, in text and JSON.
    void readChipUnnamedValue()
    {
        adaptersim::Chip c;
        c.lock = 0xFD;  // LB2 alone programmed: no lock mode
        sim->setChip(c);
        Run r = onPort({"read-chip"});
        QCOMPARE(r.exit, 0);
        QVERIFY2(r.out.contains("\n  Lock mode (LB=01): bits 01, not named in the device file\n"), qPrintable(r.out));
        r = onPort({"--json", "read-chip"});
        const QJsonObject lock = QJsonDocument::fromJson(r.out.toUtf8()).object().value("fields").toArray().at(10).toObject();
        QCOMPARE(lock.value("named").toBool(), false);
        QCOMPARE(lock.value("bits").toString(), QString("01"));
    }

    void readChipOfUnknownChip()
    {
        adaptersim::Chip c;
        c.signature = {0x12, 0x34, 0x56};
        sim->setChip(c);
        // Shown, but no chip this program knows: exit 3, as --help says.
        Run r = onPort({"read-chip"});
        QCOMPARE(r.exit, 3);
        QVERIFY(r.out.contains("Device: Not found"));
        r = onPort({"--json", "read-chip"});
        QCOMPARE(r.exit, 3);
        QVERIFY(QJsonDocument::fromJson(r.out.toUtf8()).object().value("device").isNull());
        // Every other command refuses it, after the one Read Chip that found nothing.
        sim->clearLog();
        r = onPort({"erase"});
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains("Device not found: signature 12h 34h 56h"), qPrintable(r.err));
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
        // and so does a device named by hand whose signature the chip does not read: the chip
        // is read first, and nothing is written to another chip.
        sim->clearLog();
        r = onPort({"--device", "atmega8", "write-lock", "FC"});
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains("The chip reads signature 12h 34h 56h, not that of ATmega8/8A (1Eh 93h 07h)"),
                 qPrintable(r.err));
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
    }

    // write-fuses factory and write-lock factory: the device's factory bits, unnamed bits 1, read
    // back like any other write; the chip is read first, with --device too.
    void factoryWrites_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("chip");       // signature, low, high, ext, lock before
        QTest::addColumn<QString>("sent");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("after");      // low, high, ext, lock read back
        QTest::addColumn<QStringList>("err");
        QTest::newRow("ATmega8 fuses")
            << QStringList{"write-fuses", "factory"} << "1E9307 E4 99 FF FF"
            << "block 02 1E 93 07 E1 D9 FF FF" << 0 << "Fuses programming completed." << "E1 D9 FF FF"
            << QStringList{"Low Byte E4h -> E1h: CKSEL2 programmed, CKSEL0 unprogrammed.",
                           "Meaning before -> after:",
                           "Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms -> internal RC oscillator 1 "
                           "MHz; start-up 6 CK + 64 ms",
                           "Watch-dog Timer always on: yes -> no"};
        QTest::newRow("ATmega2560 fuses, named")
            << QStringList{"--device", "ATmega2560", "write-fuses", "factory"} << "1E9801 FF D9 FD FF"
            << "block 02 1E 98 01 62 99 FF FF" << 0 << "Fuses programming completed." << "62 99 FF FF"
            << QStringList{"Meaning before -> after:", "Brown-out level: 2.7 V -> disabled",
                           "Divide clock by 8: no -> yes", "JTAG Interface Enabled: no -> yes"};
        QTest::newRow("ATmega328P fuses, unnamed extended bits read 0")
            << QStringList{"write-fuses", "factory"} << "1E950F 62 D9 05 FF"
            << "block 02 1E 95 0F 62 D9 FF FF" << 0 << "Fuses programming completed." << "62 D9 FF FF"
            << QStringList{"Ext bit 7: 0 -> 1, in no field of the device file", "Brown-out level: 2.7 V -> disabled"};
        QTest::newRow("ATmega8 lock, unnamed bits read 0")
            << QStringList{"write-lock", "factory"} << "1E9307 E1 D9 FF 3F"
            << "block 03 1E 93 07 E1 D9 FF FF" << 0 << "Lock Bits programming completed." << "E1 D9 FF 3F"
            << QStringList{"No bit changes against the last Read Chip."};
        // The simulated chip, as a real one, keeps programmed lock bits: only an erase unprograms them.
        QTest::newRow("ATmega8 lock, a boot lock the chip keeps")
            << QStringList{"write-lock", "factory"} << "1E9307 E1 D9 FF EF"
            << "block 03 1E 93 07 E1 D9 FF FF" << 1 << "Lock Bits programming failed: Lock Bits reads EFh, sent FFh."
            << "E1 D9 FF EF"
            << QStringList{"Lock Bits EFh -> FFh: BLB11 unprogrammed.", "Boot section lock: SPM prohibited -> no lock",
                           "Note: BLB11 unprogrammed: a lock write cannot unprogram lock bits; only a Chip Erase does"};
    }
    void factoryWrites()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, chip);
        QFETCH(QString, sent);
        QFETCH(int, exit);
        QFETCH(QString, out);
        QFETCH(QString, after);
        QFETCH(QStringList, err);
        const QStringList p = chip.split(' ');
        const auto byte = [](const QString &t) { return std::uint8_t(t.toUInt(nullptr, 16)); };
        adaptersim::Chip c;
        c.signature = {byte(p[0].mid(0, 2)), byte(p[0].mid(2, 2)), byte(p[0].mid(4, 2))};
        c.lowFuse = byte(p[1]);
        c.highFuse = byte(p[2]);
        c.extFuse = byte(p[3]);
        c.lock = byte(p[4]);
        sim->setChip(c);
        const Run r = onPort(args);
        QCOMPARE(r.exit, exit);
        QCOMPARE(r.out.trimmed(), out);
        const QString sig = rig::hexBytes(c.signature.data(), 3);
        QCOMPARE(blocks(), QStringList({"block 01 00 00 00 00 00 00 00", sent, "block 01 00 00 00 00 00 00 00"}));
        const adaptersim::Chip now = sim->chip();
        const std::uint8_t read[4] = {now.lowFuse, now.highFuse, now.extFuse, now.lock};
        QCOMPARE(rig::hexBytes(read, 4), after);
        for (const QString &line : err)
            QVERIFY2(r.err.contains(line), qPrintable(line + "\n---\n" + r.err));
        QVERIFY(sent.startsWith("block 0") && sent.mid(9, 8) == sig);
    }

    // A signature of three equal bytes is no chip: every command says why and exits 3, after the
    // one Read Chip.
    void noChip_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("00 00 00, read-chip") << "000000" << QStringList{"read-chip"};
        QTest::newRow("FF FF FF, read-chip") << "FFFFFF" << QStringList{"read-chip"};
        QTest::newRow("C3 C3 C3, read-chip") << "C3C3C3" << QStringList{"read-chip"};
        QTest::newRow("00 00 00, --json read-chip") << "000000" << QStringList{"--json", "read-chip"};
        QTest::newRow("FF FF FF, write-fuses factory") << "FFFFFF" << QStringList{"write-fuses", "factory"};
        QTest::newRow("00 00 00, erase") << "000000" << QStringList{"erase"};
        QTest::newRow("FF FF FF, named device") << "FFFFFF" << QStringList{"--device", "ATmega8", "write-lock", "FC"};
    }
    void noChip()
    {
        QFETCH(QString, signature);
        QFETCH(QStringList, args);
        const auto byte = [&](int i) { return std::uint8_t(signature.mid(i * 2, 2).toUInt(nullptr, 16)); };
        adaptersim::Chip c;
        c.signature = {byte(0), byte(1), byte(2)};
        sim->setChip(c);
        const Run r = onPort(args);
        QCOMPARE(r.exit, 3);
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
        const QString shown = rig::hexBytes(c.signature.data(), 3).replace(" ", "h ") + "h";
        const QString expected = "No chip answers: signature " + shown + ".\n"
                                 "The signature reads " + shown
                                 + ": no chip has that signature. The adapter answered, but no chip did.\n"
                                   "The usual causes, most likely first:\n"
                                   "1. No chip in the socket, or a chip the wrong way round.\n"
                                   "2. No 12 V at RESET.\n"
                                   "3. A bad contact in the socket.\n"
                                   "4. A part this board does not serve.\n"
                                   "Check first: is a chip in the socket, with pin 1 where the socket marks it?\n";
        QCOMPARE(r.err, expected);
        if (args.contains("--json"))
            QCOMPARE(QJsonDocument::fromJson(r.out.toUtf8()).object().value("signature").toString(), shown);
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
        QTest::newRow("fuses in lower case") << QStringList{"write-fuses", "e1", "0Xd9", "ff"} << "" << 0
                                             << "Fuses programming completed." << "No bit changes";
        QTest::newRow("fuses not taken") << QStringList{"write-fuses", "E1", "99"} << "high=D9" << 1
                                         << "Fuses programming failed: High Byte reads D9h, sent 99h." << "";
        QTest::newRow("lock") << QStringList{"write-lock", "FC"} << "" << 0 << "Lock Bits programming completed."
                              << "Warning: LB1, LB2 programmed: Flash can no longer be read";
        QTest::newRow("lock not taken") << QStringList{"write-lock", "FC"} << "lock=FF" << 1
                                        << "Lock Bits programming failed: Lock Bits reads FFh, sent FCh." << "";
        QTest::newRow("erase") << QStringList{"erase"} << "" << 0
                               << "Device erased. Not checked for blank Flash: Fast transfers are off." << "";
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
        // The window's box says "Can`t open file."; the command line names the file and why.
        QTest::newRow("missing image") << QStringList{"write-flash", "@/missing.bin"}
                                       << "Can`t open file \"@/missing.bin\": No such file or directory.";
        QTest::newRow("device node") << QStringList{"write-flash", "/dev/urandom"}
                                     << "Can`t open file \"/dev/urandom\": not a regular file.";
        QTest::newRow("FIFO") << QStringList{"verify-flash", "@/fifo"} << "Can`t open file \"@/fifo\": not a regular file.";
        QTest::newRow("pseudo-file") << QStringList{"write-flash", "/proc/self/status"}
                                     << "Can`t open file \"/proc/self/status\": its size on disk does not match its contents";
        QTest::newRow("too large") << QStringList{"verify-flash", "@/large.bin"}
                                   << "File size is greater than size of Flash for target device.";
        QTest::newRow("bad HEX") << QStringList{"write-flash", "@/bad.hex"}
                                 << "Can`t read file \"@/bad.hex\": line 1: bad checksum 0xF3";
        QTest::newRow("bad HEX to verify") << QStringList{"verify-flash", "@/bad.hex"}
                                           << "Can`t read file \"@/bad.hex\": line 1: bad checksum 0xF3";
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
        message.replace("@", dir.path());
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
        // The command line's user names the port with --port or in the settings file.
        QTest::newRow("missing port, the way out") << QStringList{"--port", "/dev/tarvane-missing", "read-chip"}
                                                   << "with --port, or on line 2 of the settings file ";
        QTest::newRow("silent, read-chip") << QStringList{"read-chip"} << "No answer from programmer";
        QTest::newRow("silent, erase") << QStringList{"erase"} << "Can`t read chip.";
        QTest::newRow("silent, device named") << QStringList{"--device", "ATmega8", "write-flash", "@/image.bin"}
                                              << "Can`t read chip.";
        QTest::newRow("no acknowledgement") << QStringList{"write-flash", "@/image.bin"} << "power it off and on";
    }
    void portFailures()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QVERIFY(writeFile(path("image.bin"), pattern(100)));
        auto o = sim->options();
        (QTest::currentDataTag() == QLatin1String("no acknowledgement") ? o.noAck : o.silent) = true;
        sim->setOptions(o);
        for (QString &a : args)
            a.replace("@", dir.path());
        const Run r = args.first() == "--port" ? cli(args) : onPort(args);
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(!blocks().contains("block 00 00 00 00 00 00 00 00"));  // a page left hanging is not closed
    }


    // --- Image files ---------------------------------------------------------------------

    void writeEveryFormat_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("Intel HEX") << "m328.hex";
        QTest::newRow("S-record") << "m328.srec";
        QTest::newRow("ELF") << "m328.elf";
        QTest::newRow("raw") << "m328.flash.bin";
    }
    void writeEveryFormat()
    {
        // Each kind of file gives the same Flash, avr-objcopy's image with its gap FFh; erased
        // first, verified after.
        if (images().isEmpty())
            QSKIP("no avr-gcc: no image fixtures");
        QFETCH(QString, file);
        sim->setChip(mega328p());
        const QByteArray expected = readFile(images() + "/m328.flash.bin");
        QVERIFY(expected.size() > 0x7E00);  // the part placed at 0x7E00, past a gap
        const Run r = cli({"--port", port(), "--compatible", "write-flash", "--erase", images() + "/" + file});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash programming completed. Verified."));
        const auto flash = sim->chip().flash;
        const QByteArray chip(reinterpret_cast<const char *>(flash.data()), int(flash.size()));
        QCOMPARE(chip.left(expected.size()), expected);
        QCOMPARE(chip.mid(expected.size()), QByteArray(32768 - expected.size(), char(0xFF)));
        const QStringList wire = blocks();
        QCOMPARE(wire.mid(0, 3), QStringList({"block 01 00 00 00 00 00 00 00", "block 04 1E 95 0F 62 D9 FF FF",
                                              "block 01 00 00 00 00 00 00 00"}));  // identify, erase, its read
        QCOMPARE(wire.filter(QRegularExpression("^block 07 ")).size(), (expected.size() + 1) / 2);  // the verify
        QCOMPARE(wire.last(), QString("block 01 00 00 00 00 00 00 00"));
    }

    void verifyCatchesAWrongWrite()
    {
        // The pages do not hold: as the verify begins, Flash is as it was before the write. The
        // verify after writing says so.
        if (images().isEmpty())
            QSKIP("no avr-gcc: no image fixtures");
        sim->setChip(mega328p());
        sim->setLogHandler([this](const std::string &line) {
            if (line.rfind("block 06", 0) == 0 && sim->chip().flash[0] != 0x00)
                sim->setChip(mega328p());
        });
        const Run r = onPortFast({"write-flash", images() + "/m328.hex"});
        sim->setLogHandler({});
        QCOMPARE(r.exit, 1);
        QVERIFY2(r.out.trimmed().startsWith("Flash verifying failed: "), qPrintable(r.out));
    }

    void readEveryFormat_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("format");  // avr-objcopy's name for it
        QTest::addColumn<bool>("trim");
        QTest::newRow("Intel HEX") << "dump.hex" << "ihex" << false;
        QTest::newRow("Intel HEX, .ihex") << "dump.ihex" << "ihex" << false;
        QTest::newRow("S-record") << "dump.srec" << "srec" << false;
        QTest::newRow("S-record, .s19") << "dump.s19" << "srec" << false;
        QTest::newRow("Intel HEX, trimmed") << "dump.hex" << "ihex" << true;
        QTest::newRow("S-record, trimmed") << "dump.s37" << "srec" << true;
        QTest::newRow("raw") << "dump.bin" << "" << false;
        QTest::newRow("raw, trim has no effect") << "dump.bin" << "" << true;
    }
    void readEveryFormat()
    {
        // The dump's format follows its name; avr-objcopy reads it back as the chip's Flash.
        QFETCH(QString, name);
        QFETCH(QString, format);
        QFETCH(bool, trim);
        adaptersim::Chip c = mega328p();
        std::fill(c.flash.begin(), c.flash.end(), 0xFF);
        for (int i = 0; i < 5000; ++i)
            c.flash[std::size_t(i)] = std::uint8_t(i * 7);
        c.flash[20000] = 0x42;  // past a gap of erased bytes
        sim->setChip(c);
        QStringList args{"read-flash"};
        if (trim)
            args << "--trim";
        const Run r = onPortFast(args << path(name));
        QCOMPARE(r.exit, 0);
        const QByteArray chip(reinterpret_cast<const char *>(c.flash.data()), 32768);
        const QByteArray back = format.isEmpty() ? readFile(path(name)) : objcopyImage(path(name), format);
        QCOMPARE(back, trim && !format.isEmpty() ? chip.left(20001) : chip);
        if (!format.isEmpty())
            QVERIFY(readFile(path(name)).startsWith(format == "ihex" ? ":" : "S0"));
    }

    void recordOutsideFlash()
    {
        // A HEX record past the end of Flash says so, with its address.
        sim->setChip(mega328p());
        QVERIFY(writeFile(path("far.hex"), ":020000040000FA\n:048000000102030472\n:00000001FF\n"));
        const Run r = onPort({"write-flash", path("far.hex")});
        QCOMPARE(r.exit, 4);
        QVERIFY2(r.err.contains("data at address 0x8000 lies outside Flash (32768 bytes)"), qPrintable(r.err));
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
    }

    // --- Honest under faults ------------------------------------------------------------

    void portHeldByAnotherProgram()
    {
        // Another program holds the port's lock (flock(1), as any careful program does): the
        // command is refused at once, names the holder, and sends nothing.
        QProcess holder;
        holder.start("flock", {"--close", port(), "sleep", "60"});  // flock(1) keeps the lock itself
        QVERIFY(holder.waitForStarted());
        QString held;
        const qint64 pid = holder.processId();
        const QString mine = QString(" FLOCK  ADVISORY  WRITE %1 ").arg(pid);
        for (int i = 0; i < 1000 && !held.contains(mine); ++i) {  // until /proc/locks shows the lock
            QTest::qWait(10);
            QFile locks("/proc/locks");
            held = locks.open(QIODevice::ReadOnly) ? QString::fromLatin1(locks.readAll()) : QString();
        }
        const Run r = onPortFast({"read-chip"});
        const Run compatible = onPort({"read-chip"});
        holder.kill();
        holder.waitForFinished();
        for (const Run &run : {r, compatible}) {
            QCOMPARE(run.exit, 3);
            QVERIFY2(run.err.contains(QString("The port is in use by flock (process %1).").arg(pid)), qPrintable(run.err));
        }
        QVERIFY(sim->log().empty());
        QCOMPARE(onPort({"read-chip"}).exit, 0);  // free again
    }

    void twoProgramsOnOnePort()
    {
        // A write in the original program's way reopens the port for every page; a second
        // program's Read Chip between two pages would send the adapter's stream back to Flash
        // byte 0. The write holds the port from its first command to its last: the reads are
        // refused while it runs, and the chip holds the image after it.
        auto o = sim->options();
        o.wirePaced = true;
        o.pageWriteUs = 2000;
        sim->setOptions(o);
        const QByteArray image = pattern(8192);
        QVERIFY(writeFile(path("image.bin"), image));
        QProcess writer;
        std::atomic<bool> writing{false};
        sim->setLogHandler([&](const std::string &line) { writing = writing || line.rfind("data ", 0) == 0; });
        writer.start(binDir() + "/tarvane-cli", {"--port", port(), "--compatible", "--no-verify", "write-flash", path("image.bin")});
        QVERIFY(writer.waitForStarted());
        while (!writing && !writer.waitForFinished(1)) {
        }
        int refused = 0, ran = 0;
        while (!writer.waitForFinished(0)) {
            const Run r = onPort({"read-chip"});
            QVERIFY2(r.exit == 0 || r.exit == 3, qPrintable(r.err));
            if (r.exit == 3) {
                // The writer, named; or, as it lets go at its very end, just another program.
                QVERIFY2(r.err.contains("The port is in use by tarvane-cli")
                             || r.err.contains("Another program is using the port."),
                         qPrintable(r.err));
                ++refused;
            } else {
                ++ran;
            }
        }
        sim->setLogHandler({});
        QCOMPARE(writer.exitCode(), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(sim->chip().flash.data()), 8192), image);
        if (refused == 0)
            QSKIP("no read came while the write ran");
    }

    void keepsTheExtendedByte()
    {
        // Without EXT the chip's extended byte is written back as it is: read from the chip
        // first, also when the device is named.
        adaptersim::Chip c;
        c.signature = {0x1E, 0x98, 0x01};  // ATmega2560: BODLEVEL named in the extended byte
        c.lowFuse = 0x62;
        c.highFuse = 0x99;
        c.extFuse = 0xFD;
        c.lock = 0xFC;
        c.flash.assign(256 * 1024, 0xFF);
        sim->setChip(c);
        const Run r = onPort({"--device", "ATmega2560", "write-fuses", "62", "D9"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(blocks(), QStringList({"block 01 00 00 00 00 00 00 00", "block 02 1E 98 01 62 D9 FD FC",
                                        "block 01 00 00 00 00 00 00 00"}));
    }

    void anotherChipInTheSocket()
    {
        // A device named by hand that the chip is not: nothing but the Read Chip goes out.
        adaptersim::Chip c;
        c.signature = {0x1E, 0x95, 0x0F};  // ATmega328P
        sim->setChip(c);
        Run r = onPort({"--device", "ATmega8", "write-fuses", "E1", "99"});
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains("not that of ATmega8/8A"), qPrintable(r.err));
        QVERIFY(!r.err.contains("WDTON"));  // no change was described: none was made
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});

        // The chip swapped between the identifying Read Chip and the write: the write is not
        // taken as done.
        sim->clearLog();
        sim->setChip(adaptersim::Chip{});  // an ATmega8
        sim->setLogHandler([this](const std::string &line) {
            if (line.rfind("block 02", 0) == 0) {
                adaptersim::Chip other;
                other.signature = {0x1E, 0x95, 0x0F};
                other.highFuse = 0x99;
                sim->setChip(other);
            }
        });
        r = onPort({"write-fuses", "E1", "99"});
        sim->setLogHandler({});
        QCOMPARE(r.exit, 1);
        QCOMPARE(r.out.trimmed(),
                 QString("Fuses programming failed: the chip reads signature 1Eh 95h 0Fh, not that of ATmega8/8A."));
    }

    void lateTailOfAReply()
    {
        // The reply to the fuse write comes 3 bytes now and 5 bytes 30 ms later: the closing Read
        // Chip must not take the tail for its reply. The write succeeded, and says so.
        for (const bool fast : {false, true}) {
            sim->clearLog();
            auto o = sim->options();
            o.fault = {};
            o.fault.code = 2;
            o.fault.before = 3;
            o.fault.holdUs = 30000;
            sim->setOptions(o);
            sim->setChip(adaptersim::Chip{});
            const Run r = fast ? onPortFast({"write-fuses", "E2", "D9"}) : onPort({"write-fuses", "E2", "D9"});
            QCOMPARE(r.exit, 0);
            QCOMPARE(r.out.trimmed(), QString("Fuses programming completed."));
        }
    }

    void readBackLostIsALinkFailure()
    {
        // The write went out; the Read Chip after it gets no answer: exit 3, not 1.
        sim->setLogHandler([this](const std::string &line) {
            if (line.rfind("block 02", 0) == 0) {
                auto o = sim->options();
                o.silent = true;
                sim->setOptions(o);
            }
        });
        const Run r = onPort({"write-fuses", "E1", "99"});
        sim->setLogHandler({});
        QCOMPARE(r.exit, 3);
        QCOMPARE(r.err.trimmed().section('\n', -1), QString("Fuses programming failed: chip could not be read."));
    }

    void jsonNamesOneDevice()
    {
        // With --device the bits are that device's, and "device" says which.
        Run r = onPort({"--json", "--device", "ATmega8535", "read-chip"});
        QCOMPARE(r.exit, 0);
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(o.value("device").toString(), QString("ATmega8535"));
        QVERIFY(o.value("bits").toObject().value("high").toObject().contains("S8535C"));
        r = onPort({"--json", "read-chip"});
        QCOMPARE(QJsonDocument::fromJson(r.out.toUtf8()).object().value("device").toString(), QString("ATmega8/8A"));
    }

    void fullDiskNamed()
    {
        // The dump's disk fills up: the system's words for it, and the old file as it was.
        QVERIFY(writeFile(path("dump.bin"), "old dump"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_PRELOAD", TARVANE_FAULTSHIM);
        env.insert("TARVANE_FAULT_ENOSPC", dir.path() + "/");
        env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1");
        const Run r = cli({"--port", port(), "read-flash", path("dump.bin")}, QString(), env);
        QCOMPARE(r.exit, 4);
        QVERIFY2(r.err.contains("No space left on device"), qPrintable(r.err));
        QCOMPARE(readFile(path("dump.bin")), QByteArray("old dump"));
        QCOMPARE(QDir(dir.path()).entryList({"dump.bin*"}, QDir::Files), QStringList{"dump.bin"});
    }

    void fileNamesAsBytes_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("read-flash") << "read-flash";
        QTest::newRow("write-flash") << "write-flash";
        QTest::newRow("verify-flash") << "verify-flash";
    }
    void fileNamesAsBytes()
    {
        // A name that is not UTF-8 would come back with U+FFFD in place of its byte: another
        // file. Refused, with the file error's code, before the adapter is asked anything.
        QFETCH(QString, command);
        const QByteArray name = QFile::encodeName(dir.path()) + "/stale\xff.bin";
        {
            QFile f(QString::fromLatin1(name));  // a placeholder name is fine: only its bytes matter
            Q_UNUSED(f);
        }
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "stale", 5), ssize_t(5));
        ::close(fd);
        QProcess p;
        p.start("/bin/sh", {"-c", QString("exec \"$0\" --port \"$1\" %1 \"$(printf '%s/stale\\377.bin' \"$2\")\"").arg(command),
                            binDir() + "/tarvane-cli", port(), dir.path()});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 4);
        QVERIFY2(QString::fromLocal8Bit(p.readAllStandardError()).contains("is not valid in this system's encoding"),
                 qPrintable(QString::fromLocal8Bit(p.readAllStandardError())));
        QVERIFY(sim->log().empty());
        struct stat st {};
        QCOMPARE(::stat(name.constData(), &st), 0);
        QCOMPARE(qint64(st.st_size), qint64(5));  // the file of that name as it was
        int stale = 0;  // and no other made (QDir cannot list a name that is not UTF-8)
        if (DIR *d = ::opendir(QFile::encodeName(dir.path()).constData())) {
            while (const dirent *e = ::readdir(d))
                stale += std::strncmp(e->d_name, "stale", 5) == 0;
            ::closedir(d);
        }
        ::unlink(name.constData());
        QCOMPARE(stale, 1);
    }

    void interruptedWrite()
    {
        // Ctrl+C in a Flash write: the page in progress is finished, the stream closed, and the
        // program exits 130. The next command works at once.
        auto o = sim->options();
        o.wirePaced = true;
        o.pageWriteUs = 20000;
        sim->setOptions(o);
        QVERIFY(writeFile(path("image.bin"), pattern(4096)));
        QProcess writer;
        int pages = 0;
        sim->setLogHandler([&](const std::string &line) {
            if (line.rfind("data ", 0) == 0 && ++pages == 3)
                ::kill(pid_t(writer.processId()), SIGINT);
        });
        writer.start(binDir() + "/tarvane-cli", {"--port", port(), "--compatible", "--no-verify", "write-flash", path("image.bin")});
        QVERIFY(writer.waitForFinished(60000));
        sim->setLogHandler({});
        QCOMPARE(writer.exitCode(), 130);
        QVERIFY(QString::fromLocal8Bit(writer.readAllStandardError()).contains("Flash programming stopped."));
        const QStringList wire = blocks();
        QVERIFY2(wire.size() >= 5 && wire.size() < 66, qPrintable(wire.join('\n')));  // stopped early
        QCOMPARE(wire.last(), QString("block 00 00 93 07 E1 D9 FF FF"));  // the stream closed
        QCOMPARE(sim->log().back().rfind("block 00", 0), std::size_t(0));  // after a whole page
        sim->clearLog();
        const Run r = onPort({"read-chip"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
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
