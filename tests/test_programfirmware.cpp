// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli program end to end against the adapter firmware in simulation (hvsim: the real
// firmware on a simulated ATmega328P, a modelled chip in the socket): a whole run with the chip
// read back from the model, and a failure at each step that ends the run with that step's code
// and sends nothing of a later step. Every test asks the chip model whether a datasheet rule was
// broken.
#include "hvsim.h"
#include "programrun.h"

#include <QTest>
#include <memory>
#include <mutex>

using namespace programrun;

namespace {

// An ATmega328P whose Flash and EEPROM are not erased, so that an erase shows.
hvsim::Chip mega328p()
{
    hvsim::Chip c = hvsim::freshChip(*hvsim::findFamily("ATmega328P"));
    std::fill(c.flash.begin(), c.flash.end(), 0x00);
    std::fill(c.eeprom.begin(), c.eeprom.end(), 0x5A);
    return c;
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

}  // namespace

class TestProgramFirmware : public QObject {
    Q_OBJECT

    std::unique_ptr<hvsim::Simulator> sim;
    QTemporaryDir dir;

    QString path(const QString &name) const { return dir.filePath(name); }
    QString breaks() const
    {
        QStringList lines;
        for (const auto &b : sim->ruleBreaks())
            lines << QString::fromStdString(b);
        return lines.join('\n');
    }
    QStringList fullPlan() const
    {
        return {"--erase", "--flash", path("flash.hex"), "--eeprom", path("eeprom.eep"), "--fuses", "E2", "D9", "FD",
                "--lock", "FC", "--serial", "1000", "--serial-at", "0x10", "--serial-file", path("serial.txt"),
                "--log", path("log.csv")};
    }
    Run program(const QStringList &args)
    {
        return run(QStringList{"--port", QString::fromStdString(sim->devicePath()), "program"} + args);
    }
    // The firmware on a board with chip in its socket; act is done once, as the first block
    // starting with prefix comes after one starting with after (or at once, when after is empty).
    void startBoard(const hvsim::Chip &chip, const QString &prefix = {}, const QString &after = {},
                    const std::function<void(hvsim::Chip &)> &act = {})
    {
        hvsim::Options options;
        options.chip = chip;
        sim = std::make_unique<hvsim::Simulator>(options);
        if (act) {
            auto armed = std::make_shared<bool>(after.isEmpty());
            auto done = std::make_shared<std::once_flag>();
            hvsim::Simulator *board = sim.get();
            sim->setLogHandler([=](const std::string &text) {
                const QString line = QString::fromStdString(text);
                if (!*armed) {
                    *armed = line.startsWith(after);
                    return;
                }
                if (line.startsWith(prefix))
                    std::call_once(*done, [&] {
                        hvsim::Chip c = board->chip();
                        act(c);
                        board->setChip(c);
                    });
            });
        }
        std::string error;
        QVERIFY2(sim->start(&error), error.c_str());
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
        for (const char *name : {"log.csv", "serial.txt", "serial.txt.lock"})
            QFile::remove(path(name));
        QVERIFY(hexFile(pattern(1000, 7), 0, path("flash.hex")));
        QVERIFY(hexFile(pattern(32, 3), 0x40, path("eeprom.eep")));
    }
    void cleanup()
    {
        if (sim)
            QCOMPARE(breaks(), QString());
        sim.reset();
    }

    void fullPass()
    {
        const hvsim::Chip before = mega328p();
        startBoard(before);
        const Run r = program(fullPlan());
        QVERIFY2(r.exit == 0, qPrintable(r.out + r.err));
        QVERIFY2(r.out.endsWith("Chip passed every step: serial number 1000.\n"), qPrintable(r.out));

        // The chip as the model holds it: erased, then the images, the number, fuses and lock.
        const hvsim::Chip now = sim->chip();
        QByteArray flash(qsizetype(before.flash.size()), char(0xFF));
        flash.replace(0, 1000, pattern(1000, 7));
        QCOMPARE(bytes(now.flash), flash);
        QByteArray eeprom(qsizetype(before.eeprom.size()), char(0xFF));  // EESAVE unprogrammed
        eeprom.replace(0x40, 32, pattern(32, 3));
        eeprom.replace(0x10, 4, QByteArray::fromHex("E8030000"));
        QCOMPARE(hexOf(bytes(now.eeprom)), hexOf(eeprom));
        QCOMPARE(int(now.lowFuse), 0xE2);
        QCOMPARE(int(now.highFuse), 0xD9);
        QCOMPARE(int(now.extFuse), 0xFD);
        QCOMPARE(int(now.lock), 0xFC);

        const std::optional<production::SerialState> s = serialState(path("serial.txt"));
        QVERIFY(s);
        QCOMPARE(qulonglong(s->next), 1001ull);
        QVERIFY(s->reserved.empty());
        const QList<QStringList> rows = production::parseCsv(readFile(path("log.csv")));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].mid(1, 10),
                 QStringList({QString::fromStdString(sim->devicePath()), "1Eh 95h 0Fh", "ATmega328P", "1000", "ok", "ok",
                              "ok", "ok", "ok", "ok"}));
    }

    void failures_data()
    {
        // What goes wrong: the chip in the socket, or a change made to it as a block comes
        // ("PREFIX" or "PREFIX after PREFIX").
        QTest::addColumn<bool>("empty");
        QTest::addColumn<QString>("at");
        QTest::addColumn<QString>("change");  // flash, eeprom, fuses, lock
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("results");
        QTest::addColumn<QString>("message");
        QTest::newRow("identify: no chip in the socket") << true << "" << "" << 3
                                                         << "failed,skipped,skipped,skipped,skipped,skipped"
                                                         << "Device not found";
        QTest::newRow("erase: Flash not blank after it") << false << "block 06 after block 04" << "flash" << 1
                                                         << "ok,failed,skipped,skipped,skipped,skipped"
                                                         << "Device erasing failed";
        QTest::newRow("flash: a byte reads back otherwise") << false << "block 12 00" << "flash" << 1
                                                            << "ok,ok,failed,skipped,skipped,skipped"
                                                            << "Flash verifying failed: 1 errors.";
        QTest::newRow("eeprom: a byte reads back otherwise") << false << "block 12 01" << "eeprom" << 1
                                                             << "ok,ok,ok,failed,skipped,skipped"
                                                             << "EEPROM verifying failed: 1 errors.";
        QTest::newRow("fuses: not taken") << false << "block 01 after block 02" << "fuses" << 1
                                          << "ok,ok,ok,ok,failed,skipped"
                                          << "Fuses programming failed: Low Byte reads 62h, sent E2h.";
        QTest::newRow("lock: not taken") << false << "block 01 after block 03" << "lock" << 1
                                         << "ok,ok,ok,ok,ok,failed"
                                         << "Lock Bits programming failed: Lock Bits reads FFh, sent FCh.";
    }
    void failures()
    {
        QFETCH(bool, empty);
        QFETCH(QString, at);
        QFETCH(QString, change);
        QFETCH(int, exit);
        QFETCH(QString, results);
        QFETCH(QString, message);
        std::function<void(hvsim::Chip &)> act;
        if (change == "flash")
            act = [](hvsim::Chip &c) { c.flash[3] ^= 0xFF; };
        else if (change == "eeprom")
            act = [](hvsim::Chip &c) { c.eeprom[0x41] ^= 0x01; };
        else if (change == "fuses")
            act = [](hvsim::Chip &c) { c.lowFuse = 0x62; };
        else if (change == "lock")
            act = [](hvsim::Chip &c) { c.lock = 0xFF; };
        startBoard(empty ? hvsim::emptySocket() : mega328p(), at.section(" after ", 0, 0), at.section(" after ", 1),
                   act);
        const Run r = program(fullPlan());
        QVERIFY2(r.exit == exit, qPrintable(QString("exit %1\n%2%3").arg(r.exit).arg(r.out, r.err)));
        QVERIFY2((r.out + r.err).contains(message), qPrintable(r.out + r.err));

        const QStringList wire = blocks(sim->log());
        const QStringList result = results.split(',');
        for (int step = 1; step < kStepNames.size(); ++step) {
            if (result[step] == "ok")
                QVERIFY2(sent(wire, step), qPrintable(kStepNames[step] + " not sent\n" + wire.join('\n')));
            else if (result[step] == "skipped")
                QVERIFY2(!sent(wire, step), qPrintable(kStepNames[step] + " sent\n" + wire.join('\n')));
        }
        if (result[5] != "failed")
            QCOMPARE(int(sim->chip().lock), 0xFF);  // the chip was never locked

        const QList<QStringList> rows = production::parseCsv(readFile(path("log.csv")));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].mid(5, 6).join(','), results);
        // The number stays for the next chip.
        const std::optional<production::SerialState> s = serialState(path("serial.txt"));
        if (empty) {
            QVERIFY(!s);
        } else {
            QVERIFY(s);
            QCOMPARE(qulonglong(s->next), 1000ull);
            QVERIFY(s->reserved.empty() && s->used.empty());
        }
    }
};

QTEST_MAIN(TestProgramFirmware)
#include "test_programfirmware.moc"
