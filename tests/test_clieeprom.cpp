// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli write-eeprom, verify-eeprom, read-eeprom and board-test, run as a script runs them:
// against the simulated adapter playing our board or a plain adapter, and against the firmware
// in simulation (hvsim) with the chip model judging every datasheet rule. Intel HEX files are
// made and read by avr-objcopy, not by our own image code.
#include "eepromfiles.h"
#include "adaptersim.h"
#include "devices.h"
#ifdef TARVANE_WITH_HVSIM
#include "hvsim.h"
#endif

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using rig::bytesOf;
using rig::eepromFileBytes;
using rig::isHexName;
using rig::makeEepromFile;
using rig::objcopy;
using rig::readFile;
using rig::writeFile;

namespace {

const QString kNoEeprom = QStringLiteral("This adapter cannot program EEPROM. The open AVR Tarvane board can.");

struct Run {
    int exit = -1;
    QString out;
    QString err;
};

QString binDir()
{
    return qEnvironmentVariable("TARVANE_BIN_DIR");
}

// avr-gcc's sample program, its EEPROM as avr-objcopy writes it (tests/image.cmake).
QString images()
{
    return QStringLiteral(TARVANE_IMAGE_FIXTURES);
}

QByteArray pattern(int size, int seed = 1)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 37 + seed * 5 + i / 9) & 0xFF);
    return data;
}

// An ATmega163 (ATmega163 datasheet): 16 KB in pages of 128 bytes, 512 bytes of EEPROM written
// byte by byte, one calibration byte, no EESAVE.
adaptersim::Chip mega163()
{
    adaptersim::Chip c;
    c.signature = {0x1E, 0x94, 0x02};
    c.lowFuse = 0xD2;
    c.highFuse = 0xFF;
    c.flash.assign(16384, 0xFF);
    c.pageSize = 128;
    c.eeprom.assign(512, 0xFF);
    c.eepromPageSize = 0;
    c.calibration = {0xA3};
    c.eesaveFuse = -1;
    return c;
}

}  // namespace

class TestCliEeprom : public QObject {
    Q_OBJECT

    std::unique_ptr<adaptersim::Simulator> sim;
    std::unique_ptr<QTemporaryDir> dir;  // a fresh one for every test
    QString portName;

    QString path(const QString &name) const { return dir->filePath(name); }

    void startSim(adaptersim::Options options)
    {
        sim = std::make_unique<adaptersim::Simulator>(std::move(options));
        std::string error;
        QVERIFY2(sim->start(&error), error.c_str());
        portName = QString::fromStdString(sim->devicePath());
    }

    Run cli(const QStringList &args)
    {
        QProcess p;
        p.setProgram(binDir() + "/tarvane-cli");
        p.setArguments(QStringList{"--port", portName} + args);
        p.start();
        Run r;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    QStringList blocks() const
    {
        QStringList out;
        for (const auto &l : sim->log())
            if (l.rfind("block ", 0) == 0)
                out << QString::fromStdString(l);
        return out;
    }
    QList<int> codes() const
    {
        QList<int> out;
        for (const QString &line : blocks())
            out << line.mid(6, 2).toInt(nullptr, 16);
        return out;
    }

    static void needObjcopy(const QString &file)
    {
        if (isHexName(file) && objcopy().isEmpty())
            QSKIP("avr-objcopy not found");
    }

private slots:
    void initTestCase()
    {
        if (binDir().isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
    }
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void cleanup()
    {
        sim.reset();
        dir.reset();
    }

    // --- Our board, simulated ------------------------------------------------------------

    void roundTrip_data()
    {
        QTest::addColumn<QString>("part");  // ATmega8: EEPROM pages of 4; ATmega163: byte by byte
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::newRow("pages, .eep") << "ATmega8" << "cal.eep" << 512;
        QTest::newRow("pages, raw, part of a page") << "ATmega8" << "cal.bin" << 130;
        QTest::newRow("bytes, .hex") << "ATmega163" << "cal.hex" << 200;
        QTest::newRow("bytes, raw") << "ATmega163" << "cal.bin" << 512;
    }
    void roundTrip()
    {
        QFETCH(QString, part);
        QFETCH(QString, file);
        QFETCH(int, size);
        needObjcopy(file);
        adaptersim::Options o;
        o.ours = true;
        if (part == "ATmega163")
            o.chip = mega163();
        startSim(o);
        const int eepromSize = int(sim->chip().eeprom.size());
        const std::size_t page = sim->chip().eepromPageSize;
        const QByteArray data = pattern(size, 3);
        QVERIFY(makeEepromFile(path(file), data));

        Run r = cli({"write-eeprom", path(file)});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QString("EEPROM programming completed.\n"));
        QCOMPARE(r.err, QString());
        const QByteArray chip = bytesOf(sim->chip().eeprom);
        QCOMPARE(chip.left(size), data);
        QCOMPARE(chip.mid(size), QByteArray(eepromSize - size, char(0xFF)));
        QCOMPARE(sim->eepromWrites(), long(page > 0 ? (std::size_t(size) + page - 1) / page : std::size_t(size)));

        r = cli({"verify-eeprom", path(file)});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QString("EEPROM verifying completed. No errors.\n"));

        const QString back = path("back" + file.mid(file.indexOf('.')));
        r = cli({"read-eeprom", back});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QString("EEPROM reading completed.\n"));
        QCOMPARE(eepromFileBytes(back), chip);
        // Only the chip's own memories were touched: no Flash page, fuse, lock or erase command.
        for (int code : codes())
            QVERIFY2(code < 2 || code > 5, qPrintable(QString::number(code, 16)));
    }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("file");  // written as 200 pattern bytes unless the row says otherwise
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("out");   // the whole of standard output
        QTest::addColumn<QString>("err");   // a line standard error must hold; "": empty
        QTest::newRow("verify finds differences") << "verify-eeprom" << "v.bin" << "chip differs" << 1
                                                  << "EEPROM verifying failed: 3 errors.\n" << "";
        QTest::newRow("write does not read back") << "write-eeprom" << "w.bin" << "programs nothing" << 1
                                                  << "EEPROM verifying failed: %1 errors.\n" << "";
        QTest::newRow("write, no such file") << "write-eeprom" << "missing.eep" << "" << 4 << ""
                                             << "Operation aborted.";
        QTest::newRow("verify, no such file") << "verify-eeprom" << "missing.raw" << "" << 4 << ""
                                              << "Operation aborted.";
        QTest::newRow("write, larger than the EEPROM") << "write-eeprom" << "big.bin" << "" << 4 << ""
                                                       << "Operation aborted.";
        QTest::newRow("read into a folder") << "read-eeprom" << "folder" << "" << 4 << "" << "Not a regular file.";
        QTest::newRow("no file named") << "write-eeprom" << "" << "" << 2 << "" << "write-eeprom takes one FILE.";
        QTest::newRow("read, the board stops answering") << "read-eeprom" << "back.bin" << "lost" << 3 << ""
                                                         << "Operation aborted.";
    }
    void exitCodes()
    {
        // The exit codes of the Flash commands: 1 for differences, 2 usage, 3 the link, 4 a file.
        QFETCH(QString, command);
        QFETCH(QString, file);
        QFETCH(QString, fault);
        QFETCH(int, exit);
        QFETCH(QString, out);
        QFETCH(QString, err);
        adaptersim::Options o;
        o.ours = true;
        const QByteArray data = pattern(200, 8);
        if (fault == "chip differs") {
            std::copy(data.begin(), data.end(), o.chip.eeprom.begin());
            for (int at : {1, 100, 199})
                o.chip.eeprom[std::size_t(at)] ^= 0x10;
        }
        if (fault == "programs nothing")
            o.ignoreCode = 0x13;
        if (fault == "lost") {
            o.fault.code = 0x12;
            o.fault.times = 100;
        }
        startSim(o);
        const QByteArray before = bytesOf(sim->chip().eeprom);
        if (file.endsWith(".bin") && command != "read-eeprom")
            QVERIFY(writeFile(path(file), file == "big.bin" ? pattern(513) : data));
        if (file == "folder")
            QVERIFY(QDir(dir->path()).mkpath("folder"));
        const Run r = cli(QStringList{command} + (file.isEmpty() ? QStringList() : QStringList{path(file)}));
        QCOMPARE(r.exit, exit);
        const int differ = int(std::count_if(data.begin(), data.end(), [](char b) { return b != char(0xFF); }));
        QCOMPARE(r.out, out.contains("%1") ? out.arg(differ) : out);
        if (err.isEmpty())
            QCOMPARE(r.err, QString());
        else
            QVERIFY2(r.err.contains(err), qPrintable(r.err));
        if (command != "write-eeprom" || exit != 1)
            QCOMPARE(bytesOf(sim->chip().eeprom), before);  // nothing written
        if (command == "read-eeprom" && file != "folder")
            QVERIFY(!QFile::exists(path(file)));  // no file from a read that did not complete
    }

    // --- Other adapters, and the original way ------------------------------------------

    void plainAdapterRefused_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("write") << "write-eeprom";
        QTest::newRow("verify") << "verify-eeprom";
        QTest::newRow("read") << "read-eeprom";
    }
    void plainAdapterRefused()
    {
        // Read Chip, the question whether it is our board (a cmdEnd), the answer no: exit 3, and
        // never a command code above 7.
        QFETCH(QString, command);
        startSim({});
        QVERIFY(writeFile(path("cal.bin"), pattern(64)));
        const QString file = command == "read-eeprom" ? path("back.bin") : path("cal.bin");
        const Run r = cli({command, file});
        QCOMPARE(r.exit, 3);
        QCOMPARE(r.out, QString());
        QCOMPARE(r.err, kNoEeprom + "\nOperation aborted.\n");
        QCOMPARE(codes(), QList<int>({1, 0}));
        QVERIFY2(blocks()[1].startsWith("block 00 00 "), qPrintable(blocks()[1]));
        QCOMPARE(sim->eepromWrites(), 0L);
        if (command == "read-eeprom")
            QVERIFY(!QFile::exists(file));
    }

    void compatibleRefused_data() { plainAdapterRefused_data(); }
    void compatibleRefused()
    {
        // --compatible keeps to the original program's commands: the chip is read, and the
        // board is not even asked.
        QFETCH(QString, command);
        adaptersim::Options o;
        o.ours = true;
        startSim(o);
        QVERIFY(writeFile(path("cal.bin"), pattern(64)));
        const QString file = command == "read-eeprom" ? path("back.bin") : path("cal.bin");
        const Run r = cli({"--compatible", command, file});
        QCOMPARE(r.exit, 3);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.startsWith(kNoEeprom), qPrintable(r.err));
        QVERIFY2(r.err.contains("--compatible"), qPrintable(r.err));
        QCOMPARE(codes(), QList<int>({1}));
        QCOMPARE(sim->eepromWrites(), 0L);
    }

    // --- Calibration bytes with read-chip -----------------------------------------------

    void readChipCalibration_data()
    {
        QTest::addColumn<bool>("ourBoard");
        QTest::addColumn<bool>("compatible");
        QTest::addColumn<bool>("json");
        QTest::addColumn<QString>("shown");  // "": none
        QTest::newRow("our board") << true << false << false << "Calibration: A6h A9h ADh B2h";
        QTest::newRow("our board, --json") << true << false << true << "A6h A9h ADh B2h";
        QTest::newRow("our board, --compatible") << true << true << false << "";
        QTest::newRow("a plain adapter") << false << false << false << "";
        QTest::newRow("a plain adapter, --json") << false << false << true << "";
    }
    void readChipCalibration()
    {
        QFETCH(bool, ourBoard);
        QFETCH(bool, compatible);
        QFETCH(bool, json);
        QFETCH(QString, shown);
        adaptersim::Options o;
        o.ours = ourBoard;
        startSim(o);
        QStringList args;
        if (compatible)
            args << "--compatible";
        if (json)
            args << "--json";
        const Run r = cli(args << "read-chip");
        QCOMPARE(r.exit, 0);
        if (json) {
            const QJsonObject object = QJsonDocument::fromJson(r.out.toUtf8()).object();
            QCOMPARE(object.value("signature").toString(), QString("1Eh 93h 07h"));
            QStringList bytes;
            for (const QJsonValue &v : object.value("calibration").toArray())
                bytes << v.toString();
            QCOMPARE(bytes.join(' '), shown);
            QCOMPARE(object.contains("calibration"), !shown.isEmpty());
        } else {
            const QStringList lines = r.out.split('\n');
            QCOMPARE(lines.value(1), QString("Device: ATmega8/8A"));
            QCOMPARE(lines.filter(QRegularExpression("^Calibration")), shown.isEmpty() ? QStringList() : QStringList{shown});
            if (!shown.isEmpty())
                QCOMPARE(lines.value(2), shown);
        }
        // Never a write: the chip, and on our board the question and the calibration read.
        for (int code : codes())
            QVERIFY2(code == 0 || code == 1 || code == 0x12, qPrintable(QString::number(code, 16)));
        QCOMPARE(codes().contains(0x12), !shown.isEmpty());
    }

    // --- board-test ----------------------------------------------------------------------

    void boardTestRefused_data()
    {
        QTest::addColumn<bool>("compatible");
        QTest::addColumn<QList<int>>("sent");
        QTest::newRow("a plain adapter") << false << QList<int>{0};
        QTest::newRow("--compatible") << true << QList<int>{};
    }
    void boardTestRefused()
    {
        QFETCH(bool, compatible);
        QFETCH(QList<int>, sent);
        startSim({});
        const Run r = cli(compatible ? QStringList{"--compatible", "board-test"} : QStringList{"board-test"});
        QCOMPARE(r.exit, 3);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.contains("board-test is for") || r.err.contains("is not the open AVR Tarvane board"),
                 qPrintable(r.err));
        QCOMPARE(codes(), sent);
    }

    void boardTestStoppedByCtrlC()
    {
        // Ctrl+C once the first line is named: the test ends, both supplies off, exit 130.
        adaptersim::Options o;
        o.ours = true;
        o.boardTestLineUs = 3000000;
        startSim(o);
        QProcess p;
        p.setProgram(binDir() + "/tarvane-cli");
        p.setArguments({"--port", portName, "board-test"});
        p.start();
        QByteArray out;
        while (!out.contains("  VCC\n") && p.waitForReadyRead(30000))
            out += p.readAllStandardOutput();
        QVERIFY2(out.contains("  VCC\n"), out.constData());
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(30000));
        out += p.readAllStandardOutput();
        QCOMPARE(p.exitCode(), 130);
        QVERIFY2(QString::fromLocal8Bit(p.readAllStandardError()).contains("Board self-test stopped; both supplies are off."),
                 out.constData());
        QVERIFY(!out.contains("completed"));
        QCOMPARE(codes().value(1), 0x14);
    }

#ifdef TARVANE_WITH_HVSIM
    // --- The firmware in simulation -------------------------------------------------------

    void firmwareRoundTrip_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::newRow("ATmega328P, pages of 4, .eep") << "ATmega328P" << "cal.eep" << 1024;
        QTest::newRow("ATmega328P, raw, inside a page") << "ATmega328P" << "cal.bin" << 5;
        QTest::newRow("ATmega163, byte by byte, .hex") << "ATmega163" << "cal.hex" << 70;
        QTest::newRow("ATmega163, raw") << "ATmega163" << "cal.bin" << 512;
    }
    void firmwareRoundTrip()
    {
        QFETCH(QString, family);
        QFETCH(QString, file);
        QFETCH(int, size);
        needObjcopy(file);
        hvsim::Options options;
        options.chip = hvsim::freshChip(*hvsim::findFamily(family.toStdString()));
        std::fill(options.chip.eeprom.begin(), options.chip.eeprom.end(), 0x3C);
        hvsim::Simulator board(options);
        std::string error;
        QVERIFY2(board.start(&error), error.c_str());
        portName = QString::fromStdString(board.devicePath());
        const int eepromSize = int(board.chip().eeprom.size());
        const QByteArray data = pattern(size, 6);
        QVERIFY(makeEepromFile(path(file), data));

        Run r = cli({"write-eeprom", path(file)});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QString("EEPROM programming completed.\n"));
        QByteArray expected(eepromSize, char(0x3C));
        expected.replace(0, size, data);
        QCOMPARE(bytesOf(board.chip().eeprom), expected);
        r = cli({"verify-eeprom", path(file)});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QString("EEPROM verifying completed. No errors.\n"));
        const QString back = path("back" + file.mid(file.indexOf('.')));
        r = cli({"read-eeprom", back});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QString("EEPROM reading completed.\n"));
        QCOMPARE(eepromFileBytes(back), expected);
        // A byte changed in the chip behind the program's back is counted.
        hvsim::Chip changed = board.chip();
        changed.eeprom[std::size_t(size - 1)] ^= 0x01;
        board.setChip(changed);
        r = cli({"verify-eeprom", path(file)});
        QCOMPARE(r.exit, 1);
        QCOMPARE(r.out, QString("EEPROM verifying failed: 1 errors.\n"));
        std::vector<std::string> breaks = board.ruleBreaks();
        QCOMPARE(QString::fromStdString(breaks.empty() ? std::string() : breaks.front()), QString());
    }

    void firmwareAvrGccEep()
    {
        // avr-gcc's own .eep (the sample's EEMEM variables): its bytes at their addresses, the
        // rest of the EEPROM as it was.
        if (images().isEmpty())
            QSKIP("no avr-gcc: no image fixtures");
        const QByteArray reference = readFile(images() + "/m328.eeprom.bin");
        QVERIFY(!reference.isEmpty());
        hvsim::Options options;
        options.chip = hvsim::freshChip(*hvsim::findFamily("ATmega328P"));
        std::fill(options.chip.eeprom.begin(), options.chip.eeprom.end(), 0x00);
        hvsim::Simulator board(options);
        std::string error;
        QVERIFY2(board.start(&error), error.c_str());
        portName = QString::fromStdString(board.devicePath());
        const Run r = cli({"write-eeprom", images() + "/m328.eep"});
        QCOMPARE(r.exit, 0);
        QByteArray expected(1024, 0);
        expected.replace(0, reference.size(), reference);
        QCOMPARE(bytesOf(board.chip().eeprom), expected);
        QVERIFY(board.ruleBreaks().empty());
    }

    void firmwareBoardTest()
    {
        // The socket empty: every line named once, in the board's order, each driven once, both
        // supplies off at the end.
        hvsim::Options options;
        options.chip = hvsim::emptySocket();
        hvsim::Simulator board(options);
        std::string error;
        QVERIFY2(board.start(&error), error.c_str());
        portName = QString::fromStdString(board.devicePath());
        const Run r = cli({"board-test"});
        QCOMPARE(r.exit, 0);
        QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() == hvsim::kLineCount + 2, qPrintable(r.out));
        QVERIFY(lines.takeFirst().startsWith("Board self-test: "));
        QCOMPARE(lines.takeLast(), QString("Board self-test completed; both supplies are off."));
        QStringList expected;
        for (int i = 0; i < hvsim::kLineCount; ++i)
            expected << QString("  ") + hvsim::lineName(i);
        QCOMPARE(lines, expected);
        const hvsim::Stats s = board.stats();
        for (int i = 0; i < hvsim::kLineCount; ++i)
            QVERIFY2(s.lineRises[std::size_t(i)] == 1, hvsim::lineName(i));
        QVERIFY(!s.vccOn && !s.hvOn);
    }
#endif
};

QTEST_MAIN(TestCliEeprom)
#include "test_clieeprom.moc"
