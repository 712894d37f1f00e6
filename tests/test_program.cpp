// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli program end to end against the simulated adapter playing our board (EEPROM works
// only there): a whole run with the chip read back in the simulator, a failure at each step with
// nothing of a later step on the wire, the serial number kept back after a failure and moved on
// after a pass, two runs at once, a port another run holds, and the log read back.
#include "adaptersim.h"
#include "programrun.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <array>
#include <atomic>
#include <csignal>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using namespace programrun;

namespace {

// An ATmega8 whose Flash and EEPROM are not erased, so that an erase shows.
adaptersim::Chip mega8()
{
    adaptersim::Chip c;
    c.flash.assign(8192, 0x00);
    c.eeprom.assign(512, 0x5A);
    return c;
}

// An ATmega328P: 32 KB in pages of 128, 1 KB of EEPROM, one calibration byte.
adaptersim::Chip mega328p()
{
    adaptersim::Chip c;
    c.signature = {0x1E, 0x95, 0x0F};
    c.lowFuse = 0xE2;
    c.highFuse = 0xD9;
    c.extFuse = 0xFD;
    c.flash.assign(32768, 0x00);
    c.pageSize = 128;
    c.eeprom.assign(1024, 0x5A);
    c.calibration = {0x9C};
    return c;
}

adaptersim::Options ourBoard(const adaptersim::Chip &chip)
{
    adaptersim::Options o;
    o.ours = true;
    o.chip = chip;
    return o;
}

QString fourBytes(const adaptersim::Chip &c)
{
    const char four[] = {char(c.lowFuse), char(c.highFuse), char(c.extFuse), char(c.lock)};
    return QString::fromLatin1(QByteArray(four, 4).toHex(' ').toUpper());
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// The serial number as the chip must hold it.
QByteArray littleEndian(qulonglong number, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i, number >>= 8)
        out += char(number & 0xFF);
    return out;
}

QByteArray fromHex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

}  // namespace

class TestProgram : public QObject {
    Q_OBJECT

    std::unique_ptr<adaptersim::Simulator> sim;
    QTemporaryDir dir;
    std::atomic<qint64> child{0};  // the run under way, for the simulator's thread

    QString port() const { return QString::fromStdString(sim->devicePath()); }
    QString path(const QString &name) const { return dir.filePath(name); }

    // One run of program on the simulator, its process known to the simulator's thread.
    Run program(const QStringList &args, const QStringList &global = {},
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        QProcess p;
        start(p, QStringList{"--port", port()} + global + QStringList{"program"} + args, env);
        child = p.processId();
        Run r = finish(p);
        child = 0;
        return r;
    }
    // The process of the run under way, waited for: the simulator may see its first block
    // before QProcess has said who it is.
    pid_t runningChild() const
    {
        while (child == 0)
            std::this_thread::yield();
        return pid_t(child.load());
    }

    // The whole plan of a run, with the files made in dir.
    QStringList fullPlan() const
    {
        return {"--erase", "--flash", path("flash.hex"), "--eeprom", path("eeprom.eep"), "--fuses", "E4", "D9",
                "--lock", "FC", "--serial", "1000", "--serial-at", "0x10", "--serial-file", path("serials/serial.txt"),
                "--log", path("log.csv")};
    }
    QList<QStringList> logRows() const { return production::parseCsv(readFile(path("log.csv"))); }

    void fresh(const adaptersim::Chip &chip)
    {
        sim = std::make_unique<adaptersim::Simulator>(ourBoard(chip));
        QVERIFY(sim->start());
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("TARVANE_BIN_DIR").isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
        if (objcopyPath().isEmpty())
            QSKIP("no avr-objcopy: no HEX images");
    }
    void init()
    {
        // Every test starts without a log or serial numbers, with the standard images.
        for (const char *name : {"log.csv", "serials/serial.txt", "serials/serial.txt.lock"})
            QFile::remove(path(name));
        QVERIFY(QDir().mkpath(path("serials")));
        QVERIFY(hexFile(pattern(1000, 7), 0, path("flash.hex")));
        QVERIFY(hexFile(pattern(32, 3), 0x40, path("eeprom.eep")));
        fresh(mega8());
    }
    void cleanup()
    {
        sim.reset();
    }

    // --- A whole run ----------------------------------------------------------------------

    void fullPass_data()
    {
        QTest::addColumn<QString>("chip");
        QTest::addColumn<bool>("eesave");         // programmed before the run
        QTest::addColumn<QStringList>("args");    // @flash and @eeprom: the images below
        QTest::addColumn<int>("flashBytes");      // 0: no Flash image
        QTest::addColumn<int>("eepromAt");
        QTest::addColumn<int>("eepromBytes");     // 0: no EEPROM image
        QTest::addColumn<qulonglong>("serial");
        QTest::addColumn<int>("serialAt");
        QTest::addColumn<QString>("serialBytes"); // as the EEPROM must hold them
        QTest::addColumn<QString>("after");       // low, high, extended, lock read back
        QTest::addColumn<QString>("results");
        QTest::addColumn<bool>("plain");          // an adapter of the original protocol
        QTest::newRow("ATmega8, every step")
            << "mega8" << false
            << QStringList{"--erase", "--flash", "@flash", "--eeprom", "@eeprom", "--fuses", "E4", "D9", "--lock",
                           "FC", "--serial", "1000", "--serial-at", "0x10"}
            << 1000 << 0x40 << 32 << 1000ull << 0x10 << "E8 03 00 00" << "E4 D9 FF FC" << "ok,ok,ok,ok,ok,ok" << false;
        QTest::newRow("ATmega8, EESAVE keeps the rest of the EEPROM, 3-byte serial at 0")
            << "mega8" << true
            << QStringList{"--erase", "--flash", "@flash", "--eeprom", "@eeprom", "--fuses", "E1", "D1", "--lock",
                           "FE", "--serial", "70000", "--serial-at", "0", "--serial-bytes", "3"}
            << 64 << 0x100 << 200 << 70000ull << 0 << "70 11 01" << "E1 D1 FF FE" << "ok,ok,ok,ok,ok,ok" << false;
        QTest::newRow("ATmega328P, factory values, 8-byte serial in the last bytes over the image")
            << "mega328p" << false
            << QStringList{"--erase", "--flash", "@flash", "--eeprom", "@eeprom", "--fuses", "factory", "--lock",
                           "factory", "--serial", "0x0123456789ABCDEF", "--serial-at", "1016", "--serial-bytes", "8"}
            << 20000 << 0 << 1024 << 0x0123456789ABCDEFull << 1016 << "EF CD AB 89 67 45 23 01" << "62 D9 FF FF"
            << "ok,ok,ok,ok,ok,ok" << false;
        QTest::newRow("the serial number alone, 1 byte in the last byte")
            << "mega8" << false << QStringList{"--serial", "5", "--serial-at", "511", "--serial-bytes", "1"} << 0 << 0
            << 0 << 5ull << 511 << "05" << "E1 D9 FF FF" << "ok,skipped,skipped,ok,skipped,skipped" << false;
        QTest::newRow("Flash alone, no serial number")
            << "mega8" << false << QStringList{"--erase", "--flash", "@flash"} << 8192 << 0 << 0 << 0ull << 0 << ""
            << "E1 D9 FF FF" << "ok,ok,ok,skipped,skipped,skipped" << false;
        QTest::newRow("plain adapter: erase, Flash, fuses, lock")
            << "mega8" << false << QStringList{"--erase", "--flash", "@flash", "--fuses", "E4", "D9", "--lock", "FE"}
            << 3000 << 0 << 0 << 0ull << 0 << "" << "E4 D9 FF FE" << "ok,ok,ok,skipped,ok,ok" << true;
    }

    void fullPass()
    {
        QFETCH(QString, chip);
        QFETCH(bool, eesave);
        QFETCH(QStringList, args);
        QFETCH(int, flashBytes);
        QFETCH(int, eepromAt);
        QFETCH(int, eepromBytes);
        QFETCH(qulonglong, serial);
        QFETCH(int, serialAt);
        QFETCH(QString, serialBytes);
        QFETCH(QString, after);
        QFETCH(QString, results);
        QFETCH(bool, plain);
        adaptersim::Chip before = chip == "mega8" ? mega8() : mega328p();
        if (eesave)
            before.highFuse &= ~0x08;
        adaptersim::Options o = ourBoard(before);
        o.ours = !plain;
        sim = std::make_unique<adaptersim::Simulator>(o);
        QVERIFY(sim->start());
        const QByteArray flashImage = pattern(flashBytes, 11);
        const QByteArray eepromImage = pattern(eepromBytes, 5);
        QVERIFY(flashBytes == 0 || hexFile(flashImage, 0, path("flash.hex")));
        QVERIFY(eepromBytes == 0 || hexFile(eepromImage, std::size_t(eepromAt), path("eeprom.eep")));
        args.replaceInStrings("@flash", path("flash.hex")).replaceInStrings("@eeprom", path("eeprom.eep"));
        args << "--log" << path("log.csv");
        if (!serialBytes.isEmpty())
            args << "--serial-file" << path("serials/serial.txt");

        const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(-1);
        QElapsedTimer took;
        took.start();
        const Run r = program(args);
        const double seconds = double(took.elapsed()) / 1000.0;
        const QDateTime ended = QDateTime::currentDateTimeUtc().addSecs(1);
        QVERIFY2(r.exit == 0, qPrintable(r.out + r.err));
        const QStringList out = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(out.last(), serialBytes.isEmpty() ? QString("Chip passed every step.")
                                                   : QString("Chip passed every step: serial number %1.").arg(serial));

        // The chip, as the simulator holds it.
        const adaptersim::Chip now = sim->chip();
        const bool erased = args.contains("--erase");
        QByteArray flash = erased ? QByteArray(qsizetype(before.flash.size()), char(0xFF)) : bytes(before.flash);
        flash.replace(0, flashImage.size(), flashImage);
        QCOMPARE(bytes(now.flash), flash);
        QByteArray eeprom = erased && !eesave ? QByteArray(qsizetype(before.eeprom.size()), char(0xFF)) : bytes(before.eeprom);
        eeprom.replace(eepromAt, eepromImage.size(), eepromImage);
        if (!serialBytes.isEmpty())
            eeprom.replace(serialAt, fromHex(serialBytes).size(), fromHex(serialBytes));
        QCOMPARE(hexOf(bytes(now.eeprom)), hexOf(eeprom));
        QCOMPARE(fourBytes(now), after);

        // The serial number moved on past the one the chip got.
        if (!serialBytes.isEmpty()) {
            const std::optional<production::SerialState> s = serialState(path("serials/serial.txt"));
            QVERIFY(s);
            QCOMPARE(qulonglong(s->next), serial + 1);
            QVERIFY(s->reserved.empty());
            QVERIFY(s->used.empty());
        } else {
            QVERIFY(!QFile::exists(path("serials/serial.txt")));
        }

        // The log: its header, and one line with every column.
        const QList<QStringList> rows = logRows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0], QStringList({"time", "port", "signature", "device", "serial", "identify", "erase", "flash",
                                       "eeprom", "fuses", "lock", "retries", "seconds"}));
        const QStringList &line = rows[1];
        QCOMPARE(line.size(), 13);
        const QDateTime time = QDateTime::fromString(line[0], Qt::ISODate);
        QVERIFY2(time.isValid(), qPrintable(line[0]));
        QVERIFY2(time >= started && time <= ended, qPrintable(line[0]));
        QCOMPARE(line[1], port());
        QCOMPARE(line[2], chip == "mega8" ? QString("1Eh 93h 07h") : QString("1Eh 95h 0Fh"));
        QCOMPARE(line[3], chip == "mega8" ? QString("ATmega8/8A") : QString("ATmega328P"));
        QCOMPARE(line[4], serialBytes.isEmpty() ? QString() : QString::number(serial));
        QCOMPARE(line.mid(5, 6).join(','), results);
        QCOMPARE(line[11], QString("0"));
        bool ok = false;
        const double logged = line[12].toDouble(&ok);
        // The run's own time lies within the time the test saw it take (its 2 decimals rounded).
        QVERIFY2(ok && logged >= 0 && logged <= seconds + 0.005, qPrintable(line[12]));
        QVERIFY2(QRegularExpression("^\\d+\\.\\d\\d$").match(line[12]).hasMatch(), qPrintable(line[12]));
    }

    // --- A failure at each step -------------------------------------------------------------

    void failures_data()
    {
        // fault: what goes wrong, in the simulator or around the run, parts joined by ";":
        //   plain (an adapter of the original protocol, not our board), signature=HHHHHH, ignore=CODE (answered, not carried out), capabilities=HH,
        //   silent-at=PREFIX (no answer from the block after it on), flip-flash-at=PREFIX and
        //   flip-eeprom-at=PREFIX (a byte of the images changes as that block comes),
        //   sigint-at=PREFIX (Ctrl+C as that block comes), bad-serial-file, full-disk-serial
        // change: options of the full plan replaced ("--serial-at=509") or added.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("global");
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("results");
        QTest::addColumn<QString>("serial");       // in the log
        QTest::addColumn<qulonglong>("fileNext");  // the serial file's next number after; 0: no file
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name) { return &QTest::newRow(name); };
        *row("identify: no chip") << "signature=000000" << QStringList{} << QStringList{} << 3
                                  << "failed,skipped,skipped,skipped,skipped,skipped" << "" << 0ull
                                  << "No chip answers: signature 00h 00h 00h.";
        *row("identify: no device file") << "signature=123456" << QStringList{} << QStringList{} << 3
                                         << "failed,skipped,skipped,skipped,skipped,skipped" << "" << 0ull
                                         << "Device not found: signature 12h 34h 56h.";
        *row("identify: not the device named") << "" << QStringList{"--device", "ATmega16"} << QStringList{} << 3
                                               << "failed,skipped,skipped,skipped,skipped,skipped" << "" << 0ull
                                               << "not that of ATmega16";
        *row("identify: a part the board must never power") << "signature=1EA703" << QStringList{} << QStringList{}
                                                             << 3 << "failed,skipped,skipped,skipped,skipped,skipped"
                                                             << "" << 0ull
                                                             << "cannot be programmed on the standard AVR Tarvane board";
        *row("erase: not carried out") << "ignore=4" << QStringList{} << QStringList{} << 1
                                       << "ok,failed,skipped,skipped,skipped,skipped" << "1000" << 1000ull
                                       << "Device erasing failed";
        *row("erase: no answer after it") << "silent-at=block 04" << QStringList{} << QStringList{} << 3
                                          << "ok,failed,skipped,skipped,skipped,skipped" << "1000" << 1000ull
                                          << "No answer from programmer";
        *row("flash: a byte reads back otherwise") << "flip-flash-at=block 12 00" << QStringList{} << QStringList{}
                                                   << 1 << "ok,ok,failed,skipped,skipped,skipped" << "1000" << 1000ull
                                                   << "Flash verifying failed: 1 errors.";
        *row("flash: pages not programmed") << "ignore=19" << QStringList{} << QStringList{} << 1
                                            << "ok,ok,failed,skipped,skipped,skipped" << "1000" << 1000ull
                                            << "Flash verifying failed: 996 errors.";  // 4 bytes of the image are 00h
        *row("flash: a plain adapter's pages not programmed") << "plain;ignore=5" << QStringList{} << QStringList{}
                                                              << 1 << "ok,ok,failed,skipped,skipped,skipped" << "1000"
                                                              << 1000ull << "Flash verifying failed";
        *row("eeprom: a byte reads back otherwise") << "flip-eeprom-at=block 12 01" << QStringList{} << QStringList{}
                                                    << 1 << "ok,ok,ok,failed,skipped,skipped" << "1000" << 1000ull
                                                    << "EEPROM verifying failed: 1 errors.";
        *row("eeprom: an adapter without EEPROM") << "capabilities=1B" << QStringList{} << QStringList{} << 3
                                                  << "ok,ok,ok,failed,skipped,skipped" << "1000" << 1000ull
                                                  << "This adapter cannot program EEPROM.";
        *row("eeprom: a plain adapter") << "plain" << QStringList{} << QStringList{} << 3
                                        << "ok,ok,ok,failed,skipped,skipped" << "1000" << 1000ull
                                        << "This adapter cannot program EEPROM.";
        *row("fuses: not taken") << "ignore=2" << QStringList{} << QStringList{} << 1
                                 << "ok,ok,ok,ok,failed,skipped" << "1000" << 1000ull
                                 << "Fuses programming failed: Low Byte reads E1h, sent E4h.";
        *row("fuses: no answer after them") << "silent-at=block 02" << QStringList{} << QStringList{} << 3
                                            << "ok,ok,ok,ok,failed,skipped" << "1000" << 1000ull
                                            << "Fuses programming failed: chip could not be read.";
        *row("lock: not taken") << "ignore=3" << QStringList{} << QStringList{} << 1 << "ok,ok,ok,ok,ok,failed"
                                << "1000" << 1000ull << "Lock Bits programming failed: Lock Bits reads FFh, sent FCh.";
        *row("lock: no answer after it") << "silent-at=block 03" << QStringList{} << QStringList{} << 3
                                         << "ok,ok,ok,ok,ok,failed" << "1000" << 1000ull
                                         << "Lock Bits programming failed: chip could not be read.";
        // Files and numbers that are wrong are found before the chip is touched.
        *row("flash: no such file") << "" << QStringList{} << QStringList{"--flash=@/missing.hex"} << 4
                                    << "ok,skipped,failed,skipped,skipped,skipped" << "" << 0ull << "missing.hex";
        *row("flash: an image beyond the Flash") << "" << QStringList{} << QStringList{"--flash=@/far.hex"} << 4
                                                 << "ok,skipped,failed,skipped,skipped,skipped" << "" << 0ull
                                                 << "lies outside Flash";
        *row("flash: a raw image larger than the Flash") << "" << QStringList{} << QStringList{"--flash=@/large.bin"} << 4
                                                         << "ok,skipped,failed,skipped,skipped,skipped" << "" << 0ull
                                                         << "File size is greater than size of Flash for target device.";
        *row("eeprom: no such file") << "" << QStringList{} << QStringList{"--eeprom=@/missing.eep"} << 4
                                     << "ok,skipped,skipped,failed,skipped,skipped" << "" << 0ull << "missing.eep";
        *row("eeprom: serial number past the EEPROM") << "" << QStringList{} << QStringList{"--serial-at=509"} << 2
                                                      << "ok,skipped,skipped,failed,skipped,skipped" << "" << 0ull
                                                      << "does not fit the EEPROM of ATmega8/8A (512 bytes)";
        *row("eeprom: serial number at the top of 32 bits") << "" << QStringList{} << QStringList{"--serial-at=0xFFFFFFFE"}
                                                            << 2 << "ok,skipped,skipped,failed,skipped,skipped" << ""
                                                            << 0ull << "does not fit the EEPROM";
        *row("eeprom: serial number past 32 bits") << "" << QStringList{} << QStringList{"--serial-at=0x100000010"}
                                                   << 2 << "ok,skipped,skipped,failed,skipped,skipped" << "" << 0ull
                                                   << "does not fit the EEPROM";
        *row("eeprom: serial number at the top of 64 bits") << "" << QStringList{}
                                                            << QStringList{"--serial-at=18446744073709551614"} << 2
                                                            << "ok,skipped,skipped,failed,skipped,skipped" << "" << 0ull
                                                            << "does not fit the EEPROM";
        // A log line whose every step reads ok or skipped would pass for a chip that passed.
        *row("eeprom: serial number too large for its bytes")
            << "" << QStringList{} << QStringList{"--serial=65536", "--serial-bytes=2"} << 2
            << "ok,skipped,skipped,failed,skipped,skipped" << "65536" << 65536ull << "does not fit 2 bytes";
        *row("eeprom: a serial file of something else") << "bad-serial-file" << QStringList{} << QStringList{} << 4
                                                        << "ok,skipped,skipped,failed,skipped,skipped" << "" << 0ull
                                                        << "is not a serial number file";
        *row("eeprom: the serial file's disk full") << "full-disk-serial" << QStringList{} << QStringList{} << 4
                                                    << "ok,skipped,skipped,failed,skipped,skipped" << "" << 0ull
                                                    << "No space left on device";
        // Ctrl+C: the step under way ends, and no further one begins.
        *row("Ctrl+C in the fuse write") << "sigint-at=block 02" << QStringList{} << QStringList{} << 130
                                         << "ok,ok,ok,ok,ok,skipped" << "1000" << 1000ull
                                         << "Programming stopped before the lock step.";
        *row("Ctrl+C in the erase") << "sigint-at=block 04" << QStringList{} << QStringList{} << 130
                                    << "ok,ok,skipped,skipped,skipped,skipped" << "1000" << 1000ull
                                    << "Programming stopped before the flash step.";
    }
    void failures()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, global);
        QFETCH(QStringList, change);
        QFETCH(int, exit);
        QFETCH(QString, results);
        QFETCH(QString, serial);
        QFETCH(qulonglong, fileNext);
        QFETCH(QString, message);

        // The plan, changed as the row says.
        QStringList plan = fullPlan();
        for (QString c : change) {
            c.replace("@", dir.path());
            const QString option = c.section('=', 0, 0);
            const qsizetype at = plan.indexOf(option);
            if (at >= 0)
                plan[at + 1] = c.section('=', 1);
            else
                plan << option << c.section('=', 1);
        }
        QVERIFY(hexFile(QByteArray(16, 0x11), 0x2000, path("far.hex")));  // an ATmega8 ends at 1FFFh
        QVERIFY(writeFile(path("large.bin"), QByteArray(8193, 0x11)));

        adaptersim::Options o = ourBoard(mega8());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        std::function<void()> act;  // done once, as the block at names comes
        QString at;
        QStringList keys;
        for (const QString &part : fault.split(';', Qt::SkipEmptyParts)) {
            const QString key = part.section('=', 0, 0);
            const QString value = part.section('=', 1);
            keys << key;
            if (key.endsWith("-at"))
                at = value;
            if (key == "plain") {
                o.ours = false;
            } else if (key == "signature") {
                const QByteArray s = fromHex(value);
                o.chip.signature = {std::uint8_t(s[0]), std::uint8_t(s[1]), std::uint8_t(s[2])};
            } else if (key == "ignore") {
                o.ignoreCode = value.toInt();
            } else if (key == "capabilities") {
                o.capabilities = std::uint8_t(value.toUInt(nullptr, 16));
            } else if (key == "silent-at") {
                act = [this] {
                    auto now = sim->options();
                    now.silent = true;
                    sim->setOptions(now);
                };
            } else if (key == "flip-flash-at") {
                act = [this] {
                    adaptersim::Chip c = sim->chip();
                    c.flash[3] ^= 0xFF;
                    sim->setChip(c);
                };
            } else if (key == "flip-eeprom-at") {
                act = [this] {
                    adaptersim::Chip c = sim->chip();
                    c.eeprom[0x41] ^= 0x01;
                    sim->setChip(c);
                };
            } else if (key == "sigint-at") {
                act = [this] { ::kill(runningChild(), SIGINT); };
            } else if (key == "bad-serial-file") {
                QVERIFY(writeFile(path("serials/serial.txt"), "chip,serial\n"));
            } else if (key == "full-disk-serial") {
                env.insert("LD_PRELOAD", TARVANE_FAULTSHIM);
                env.insert("TARVANE_FAULT_ENOSPC", path("serials") + "/");
                env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1");
            } else {
                QFAIL(qPrintable("no such fault: " + key));
            }
        }
        sim = std::make_unique<adaptersim::Simulator>(o);
        if (act) {
            auto done = std::make_shared<std::once_flag>();
            sim->setLogHandler([at, act, done](const std::string &line) {
                if (QString::fromStdString(line).startsWith(at))
                    std::call_once(*done, act);
            });
        }
        QVERIFY(sim->start());

        const Run r = program(plan, global, env);
        QVERIFY2(r.exit == exit, qPrintable(QString("exit %1\n%2%3").arg(r.exit).arg(r.out, r.err)));
        QVERIFY2((r.out + r.err).contains(message), qPrintable(r.out + r.err));
        QVERIFY2(!r.out.contains("Chip passed every step"), qPrintable(r.out));

        // On the wire: every step that passed, and nothing of any step that did not run.
        const QStringList wire = blocks(sim->log());
        const QStringList result = results.split(',');
        for (int step = 1; step < kStepNames.size(); ++step) {
            if (result[step] == "ok")
                QVERIFY2(sent(wire, step), qPrintable(kStepNames[step] + " not sent\n" + wire.join('\n')));
            else if (result[step] == "skipped")
                QVERIFY2(!sent(wire, step), qPrintable(kStepNames[step] + " sent\n" + wire.join('\n')));
        }
        QVERIFY2(result[5] == "failed" || !sent(wire, 5), "a lock write after a failure");

        // The log says which step failed.
        const QList<QStringList> rows = logRows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].size(), 13);
        QCOMPARE(rows[1][4], serial);
        QCOMPARE(rows[1].mid(5, 6).join(','), results);

        // The serial number did not move, and nobody holds it.
        const std::optional<production::SerialState> s = serialState(path("serials/serial.txt"));
        if (fileNext == 0) {
            QVERIFY(!s || keys.contains("bad-serial-file"));
        } else {
            QVERIFY(s);
            QCOMPARE(qulonglong(s->next), fileNext);
            QVERIFY(s->reserved.empty());
            QVERIFY(s->used.empty());
        }

        // The next chip, on a sound adapter, gets that number; the one after it the next.
        if (keys.contains("bad-serial-file"))
            QFile::remove(path("serials/serial.txt"));
        sim = std::make_unique<adaptersim::Simulator>(ourBoard(mega8()));
        QVERIFY(sim->start());
        const qulonglong number = fileNext ? fileNext : 1000;
        Run again = program(fullPlan());
        QVERIFY2(again.exit == 0, qPrintable(again.out + again.err));
        QVERIFY2(again.out.endsWith(QString("Chip passed every step: serial number %1.\n").arg(number)),
                 qPrintable(again.out));
        QCOMPARE(hexOf(bytes(sim->chip().eeprom).mid(0x10, 4)), hexOf(littleEndian(number, 4)));
        sim->setChip(mega8());
        again = program(fullPlan());
        QVERIFY2(again.out.endsWith(QString("Chip passed every step: serial number %1.\n").arg(number + 1)),
                 qPrintable(again.out));
        QCOMPARE(qulonglong(serialState(path("serials/serial.txt"))->next), number + 2);
        QCOMPARE(logRows().size(), 4);
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no step") << QStringList{};
        QTest::newRow("only a log") << QStringList{"--log", "@/log.csv"};
        QTest::newRow("unknown option") << QStringList{"--erase", "--fast"};
        QTest::newRow("serial without its address") << QStringList{"--serial", "1"};
        QTest::newRow("address without a serial") << QStringList{"--erase", "--serial-at", "0"};
        QTest::newRow("serial not a number") << QStringList{"--serial", "ten", "--serial-at", "0"};
        QTest::newRow("negative serial") << QStringList{"--serial", "-1", "--serial-at", "0"};
        QTest::newRow("serial with a sign") << QStringList{"--serial", "+1", "--serial-at", "0"};
        QTest::newRow("serial past 64 bits") << QStringList{"--serial", "18446744073709551616", "--serial-at", "0"};
        QTest::newRow("no serial bytes") << QStringList{"--serial", "1", "--serial-at", "0", "--serial-bytes", "0"};
        QTest::newRow("9 serial bytes") << QStringList{"--serial", "1", "--serial-at", "0", "--serial-bytes", "9"};
        QTest::newRow("address not a number") << QStringList{"--serial", "1", "--serial-at", "end"};
        QTest::newRow("one fuse byte") << QStringList{"--fuses", "E1"};
        QTest::newRow("fuse byte too wide") << QStringList{"--fuses", "E1", "1D9"};
        QTest::newRow("lock byte missing") << QStringList{"--lock"};
        QTest::newRow("lock byte too wide") << QStringList{"--lock", "1FC"};
        QTest::newRow("Flash without a file") << QStringList{"--flash"};
        QTest::newRow("log without a file") << QStringList{"--erase", "--log"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, args);
        args.replaceInStrings("@", dir.path());
        const Run r = program(args);
        QCOMPARE(r.exit, 2);
        QVERIFY(!r.err.isEmpty());
        QVERIFY(sim->log().empty());  // nothing reached the adapter
        QVERIFY(!QFile::exists(path("log.csv")));
    }

    // --- Several runs -------------------------------------------------------------------------

    void twoRunsAtOnce()
    {
        // Two adapters, one serial file, one log. The first run to reach its erase waits there
        // (stopped) until the other has reached its own: both hold a number at once.
        std::mutex m;
        int atErase = 0;
        pid_t waiting = 0;
        std::array<std::atomic<qint64>, 2> pids{};
        std::array<std::unique_ptr<adaptersim::Simulator>, 2> sims;
        std::array<QProcess, 2> runs;
        for (int i = 0; i < 2; ++i) {
            sims[i] = std::make_unique<adaptersim::Simulator>(ourBoard(mega8()));
            sims[i]->setLogHandler([&, i](const std::string &line) {
                if (line.rfind("block 04", 0) != 0)
                    return;
                while (pids[i] == 0)
                    std::this_thread::yield();
                std::lock_guard lock(m);
                if (++atErase == 1) {
                    waiting = pid_t(pids[i].load());
                    ::kill(waiting, SIGSTOP);
                } else {
                    ::kill(waiting, SIGCONT);
                }
            });
            QVERIFY(sims[i]->start());
        }
        for (int i = 0; i < 2; ++i) {
            start(runs[i], QStringList{"--port", QString::fromStdString(sims[i]->devicePath()), "program"} + fullPlan());
            pids[i] = runs[i].processId();
        }
        std::array<Run, 2> r{finish(runs[0]), finish(runs[1])};
        QCOMPARE(atErase, 2);
        std::array<qulonglong, 2> numbers{};
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(r[i].exit == 0, qPrintable(r[i].out + r[i].err));
            const QRegularExpressionMatch got =
                QRegularExpression("Chip passed every step: serial number (\\d+)\\.\n$").match(r[i].out);
            QVERIFY2(got.hasMatch(), qPrintable(r[i].out));
            numbers[i] = got.captured(1).toULongLong();
            // Each chip holds the number its run told.
            QCOMPARE(hexOf(bytes(sims[i]->chip().eeprom).mid(0x10, 4)), hexOf(littleEndian(numbers[i], 4)));
        }
        QCOMPARE(std::set<qulonglong>(numbers.begin(), numbers.end()), (std::set<qulonglong>{1000, 1001}));
        QCOMPARE(qulonglong(serialState(path("serials/serial.txt"))->next), 1002ull);

        // One header and two whole lines, each naming its port and its chip's number.
        const QList<QStringList> rows = logRows();
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], production::logColumns());
        std::set<QString> lines;
        for (int i = 1; i < 3; ++i) {
            QCOMPARE(rows[i].size(), 13);
            QCOMPARE(rows[i].mid(5, 6).join(','), QString("ok,ok,ok,ok,ok,ok"));
            lines.insert(rows[i][1] + ' ' + rows[i][4]);
        }
        std::set<QString> expected;
        for (int i = 0; i < 2; ++i)
            expected.insert(QString::fromStdString(sims[i]->devicePath()) + ' ' + QString::number(numbers[i]));
        QCOMPARE(lines, expected);
    }

    void portHeldByAnotherRun()
    {
        // A run stopped in its erase holds the port: a second run on it is refused, names the
        // first, and sends nothing. The first then goes on undisturbed.
        std::atomic<bool> stopped{false};
        sim->setLogHandler([&](const std::string &line) {
            if (line.rfind("block 04", 0) == 0) {
                ::kill(runningChild(), SIGSTOP);
                stopped = true;
            }
        });
        QProcess first;
        start(first, QStringList{"--port", port(), "program"} + fullPlan());
        const qint64 holder = first.processId();
        child = holder;
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 60000);
        const std::size_t seen = sim->log().size();
        const Run second = run(QStringList{"--port", port(), "program"} + fullPlan());
        const std::size_t after = sim->log().size();
        ::kill(pid_t(holder), SIGCONT);
        const Run firstRun = finish(first);
        child = 0;
        QCOMPARE(second.exit, 3);
        QVERIFY2(second.err.contains(QString("The port is in use by tarvane-cli (process %1).").arg(holder)),
                 qPrintable(second.err));
        QCOMPARE(after, seen);
        QVERIFY2(firstRun.exit == 0, qPrintable(firstRun.out + firstRun.err));
        QVERIFY(firstRun.out.endsWith("Chip passed every step: serial number 1000.\n"));
        QCOMPARE(qulonglong(serialState(path("serials/serial.txt"))->next), 1001ull);
    }

    // --- The log ----------------------------------------------------------------------------

    void logTime_data()
    {
        // Lines written on machines in other zones, or either side of a clock change, must still
        // say when they were written: the time carries its offset.
        QTest::addColumn<QString>("zone");
        QTest::addColumn<int>("offset");
        QTest::newRow("UTC") << "UTC0" << 0;
        QTest::newRow("east of UTC") << "<+0530>-5:30" << 19800;
        QTest::newRow("west of UTC") << "<-03>3" << -10800;
    }
    void logTime()
    {
        QFETCH(QString, zone);
        QFETCH(int, offset);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", zone);
        const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(-1);
        const Run r = program({"--fuses", "E1", "D9", "--log", path("log.csv")}, {}, env);
        const QDateTime ended = QDateTime::currentDateTimeUtc().addSecs(1);
        QCOMPARE(r.exit, 0);
        const QString text = logRows().value(1).value(0);
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d)$").match(text).hasMatch(),
                 qPrintable(text));
        const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
        QCOMPARE(time.offsetFromUtc(), offset);
        QVERIFY2(time >= started && time <= ended, qPrintable(text));
    }

    void retriesCounted()
    {
        // A reply lost in the verify is fetched again; the log counts it as the status did.
        auto o = sim->options();
        o.fault.code = adaptersim::cmdExtRead;
        o.fault.address = 0;
        sim->setOptions(o);
        const Run r = program({"--erase", "--flash", path("flash.hex"), "--log", path("log.csv")});
        QVERIFY2(r.exit == 0, qPrintable(r.out + r.err));
        int told = 0;
        for (const QRegularExpressionMatch &m : QRegularExpression(" Retries: (\\d+)\\.").globalMatch(r.out))
            told += m.captured(1).toInt();
        QVERIFY2(told >= 1, qPrintable(r.out));
        QCOMPARE(logRows().value(1).value(11), QString::number(told));
    }
};

QTEST_MAIN(TestProgram)
#include "test_program.moc"
