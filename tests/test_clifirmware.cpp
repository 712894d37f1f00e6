// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli end to end against the adapter firmware in simulation (hvsim: the real
// firmware on a simulated ATmega328P, a modelled ATmega8 in the socket), run as a script
// runs it. Every test asks the chip model whether a datasheet rule was broken.
#include "hvsim.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

struct Run {
    int exit = -1;
    QString out;
    QString err;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString fixtures()
{
    return QStringLiteral(TARVANE_HEX_FIXTURES);
}

}  // namespace

class TestCliFirmware : public QObject {
    Q_OBJECT

    std::unique_ptr<hvsim::Simulator> sim;
    QTemporaryDir dir;

    Run cli(const QStringList &args)
    {
        QProcess p;
        p.setProgram(qEnvironmentVariable("TARVANE_BIN_DIR") + "/tarvane-cli");
        p.setArguments(QStringList{"--port", QString::fromStdString(sim->devicePath())} + args);
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
    QString breaks() const
    {
        QStringList lines;
        for (const auto &b : sim->ruleBreaks())
            lines << QString::fromStdString(b);
        return lines.join('\n');
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("TARVANE_BIN_DIR").isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
    }
    void init()
    {
        hvsim::Options options;
        options.chip = hvsim::freshChip(*hvsim::findFamily("ATmega8"));
        sim = std::make_unique<hvsim::Simulator>(options);
        std::string error;
        QVERIFY2(sim->start(&error), error.c_str());
    }
    void cleanup()
    {
        QCOMPARE(breaks(), QString());
        sim.reset();
    }

    void readChip()
    {
        const Run r = cli({"read-chip"});
        QCOMPARE(r.exit, 0);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.value(0), QString("Signature: 1Eh 93h 07h"));
        QCOMPARE(lines.value(1), QString("Device: ATmega8/8A"));
        // Our board reads the chip's four calibration bytes with it (the model's values).
        const hvsim::Chip chip = sim->chip();
        QStringList cal;
        for (std::uint8_t b : chip.calibration)
            cal << QStringLiteral("%1h").arg(b, 2, 16, QLatin1Char('0')).toUpper().replace("H", "h");
        QCOMPARE(lines.value(2), "Calibration: " + cal.join(' '));
        // Each byte line is followed by its fields, indented.
        const QStringList bytes = lines.filter(QRegularExpression("^\\S"));
        QVERIFY2(bytes.value(3).startsWith("Low Byte: E1h"), qPrintable(bytes.value(3)));
        QVERIFY2(bytes.value(4).startsWith("High Byte: D9h"), qPrintable(bytes.value(4)));
        QVERIFY2(r.out.contains("\n  Clock (SUT_CKSEL=100001): internal RC oscillator 1 MHz; start-up 6 CK + 64 ms\n"),
                 qPrintable(r.out));
    }

    // A locked chip with a wrong clock, brought back to its factory values: the chip model keeps
    // its fuses while LB1 is programmed and its lock bits until an erase, as the datasheet says.
    void factoryValuesAfterErase()
    {
        hvsim::Chip chip = sim->chip();
        chip.lowFuse = 0xE4;
        chip.highFuse = 0xC9;
        chip.lock = 0xFC;
        sim->setChip(chip);
        Run r = cli({"write-fuses", "factory"});
        QCOMPARE(r.exit, 1);
        QCOMPARE(r.out.trimmed(),
                 QString("Fuses programming failed: Low Byte reads E4h, sent E1h; High Byte reads C9h, sent D9h."));
        QVERIFY2(r.err.contains("Note: LB1 is programmed: the chip refuses fuse writes until a Chip Erase"),
                 qPrintable(r.err));
        r = cli({"write-lock", "factory"});
        QCOMPARE(r.exit, 1);
        QCOMPARE(r.out.trimmed(), QString("Lock Bits programming failed: Lock Bits reads FCh, sent FFh."));
        QVERIFY2(r.err.contains("Note: LB1, LB2 unprogrammed: a lock write cannot unprogram lock bits"), qPrintable(r.err));

        QCOMPARE(cli({"erase"}).exit, 0);
        r = cli({"write-fuses", "factory"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Fuses programming completed."));
        QVERIFY2(r.err.contains("Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms -> internal RC oscillator "
                                "1 MHz; start-up 6 CK + 64 ms"),
                 qPrintable(r.err));
        QCOMPARE(int(sim->chip().lowFuse), 0xE1);
        QCOMPARE(int(sim->chip().highFuse), 0xD9);
        r = cli({"write-lock", "factory"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(int(sim->chip().lock), 0xFF);
    }

    // The command reads the chip back after the write and says whether it took.
    void writeFusesAndLockThenErase()
    {
        Run r = cli({"write-fuses", "E4", "C9"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Fuses programming completed."));
        QCOMPARE(int(sim->chip().lowFuse), 0xE4);
        QCOMPARE(int(sim->chip().highFuse), 0xC9);
        r = cli({"read-chip"});
        QVERIFY2(r.out.contains("Low Byte: E4h") && r.out.contains("High Byte: C9h"), qPrintable(r.out));

        r = cli({"write-lock", "FC"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(int(sim->chip().lock), 0xFC);

        r = cli({"erase"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Device erased."));
        QCOMPARE(int(sim->chip().lock), 0xFF);
        QCOMPARE(int(sim->chip().highFuse), 0xC9);  // fuses survive an erase
    }

    // A HEX file written, verified and read back: the image is avr-objcopy's, the rest erased.
    void hexRoundTrip()
    {
        if (fixtures().isEmpty())
            QSKIP("no avr-gcc: no HEX fixtures");
        const QByteArray reference = readFile(fixtures() + "/blink.ref");
        QVERIFY(!reference.isEmpty());
        hvsim::Chip chip = sim->chip();
        chip.flash.assign(chip.flash.size(), 0x00);
        sim->setChip(chip);
        QCOMPARE(cli({"erase"}).exit, 0);
        Run r = cli({"write-flash", fixtures() + "/blink.hex"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash programming completed. Verified."));
        r = cli({"verify-flash", fixtures() + "/blink.hex"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash verifying completed. No errors."));
        r = cli({"read-flash", dir.filePath("back.bin")});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.trimmed(), QString("Flash reading completed."));
        const QByteArray back = readFile(dir.filePath("back.bin"));
        QCOMPARE(back.size(), 8192);
        QCOMPARE(back.left(reference.size()), reference);
        QCOMPARE(back.mid(reference.size()), QByteArray(8192 - reference.size(), char(0xFF)));
        const auto &flash = sim->chip().flash;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), qsizetype(flash.size())), back);
    }
};

QTEST_MAIN(TestCliFirmware)
#include "test_clifirmware.moc"
