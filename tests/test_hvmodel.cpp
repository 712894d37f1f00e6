// SPDX-License-Identifier: GPL-3.0-or-later
// The chip model's rule checker and memory semantics, driven directly with waveforms.
#include "model.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTest>
#include <functional>

using hvsim::Lines;
using hvsim::Target;

namespace {

// A waveform generator in the firmware's manner, with adjustable times.
struct Wave {
    Target target;
    Lines l;
    double t = 0;

    explicit Wave(const char *family) : target(hvsim::freshChip(*hvsim::findFamily(family))) {}
    explicit Wave(hvsim::Chip chip) : target(std::move(chip)) {}

    void step(double ns, const std::function<void(Lines &)> &change)
    {
        t += ns;
        change(l);
        l.anyHigh = l.xtal1 || l.xa0 || l.xa1 || l.bs1 || l.bs2 || l.pagel || l.wr || l.oe || (l.data & l.dataDriven);
        target.update(t, l);
    }
    // The power-up entry as the board gives it: every line low, VCC, six XTAL1 pulses,
    // 12 V, every line held 10 us, WR and OE inactive, 300 us.
    void enter(double vccToHv = 40e3, int pulses = 6)
    {
        step(2e6, [](Lines &x) { x.dataDriven = 0; });
        step(0, [](Lines &x) { x.vcc = true; });
        const double start = pulses ? 20e3 : 0;  // VCC is up
        step(start, [](Lines &) {});
        for (int i = 0; i < pulses; ++i) {
            step(0, [](Lines &x) { x.xtal1 = true; });
            step(1e3, [](Lines &x) { x.xtal1 = false; });
            step(1e3, [](Lines &) {});
        }
        step(vccToHv - start - pulses * 2e3, [](Lines &x) { x.hv = true; });
        step(10e3, [](Lines &x) { x.wr = x.oe = true; });
        step(300e3, [](Lines &) {});
    }
    // The older parts' own entry: VCC, 100 us, the pulses, 12 V 1 us later.
    void enterOwn(int pulses = 6, double settle = 100e3)
    {
        step(2e6, [](Lines &x) { x.dataDriven = 0; });
        step(0, [](Lines &x) { x.vcc = true; });
        step(settle, [](Lines &) {});
        for (int i = 0; i < pulses; ++i) {
            step(0, [](Lines &x) { x.xtal1 = true; });
            step(1e3, [](Lines &x) { x.xtal1 = false; });
            step(1e3, [](Lines &) {});
        }
        step(1e3, [](Lines &x) { x.hv = true; });
        step(10e3, [](Lines &x) { x.wr = x.oe = true; });
        step(300e3, [](Lines &) {});
    }
    void load(int xa, bool bs1, std::uint8_t value, double setup = 125, double width = 187)
    {
        step(250, [&](Lines &x) {
            x.xa1 = xa & 2;
            x.xa0 = xa & 1;
            x.bs1 = bs1;
            x.data = value;
            x.dataDriven = 0xFF;
        });
        step(setup, [](Lines &x) { x.xtal1 = true; });
        step(width, [](Lines &x) { x.xtal1 = false; });
    }
    void latch()
    {
        step(250, [](Lines &x) { x.pagel = true; });
        step(187, [](Lines &x) { x.pagel = false; });
    }
    void wr(double busyNs)
    {
        step(250, [](Lines &x) { x.wr = false; });
        step(187, [](Lines &x) { x.wr = true; });
        step(busyNs, [](Lines &) {});
    }
    std::uint8_t read(bool bs1, bool bs2, double wait = 312)
    {
        step(250, [&](Lines &x) {
            x.bs1 = bs1;
            x.bs2 = bs2;
            x.dataDriven = 0;
        });
        step(250, [](Lines &x) { x.oe = false; });
        step(wait, [](Lines &) {});
        target.sample(t);
        const std::uint8_t v = target.drive(t).value;
        step(0, [](Lines &x) { x.oe = true; });
        step(312, [](Lines &) {});
        return v;
    }
    std::uint8_t signature(int i)
    {
        load(2, false, 0x08);
        load(0, false, std::uint8_t(i));
        return read(false, false);
    }
    int breaks() const { return int(target.breaks().size()); }

    // "Programming the EEPROM": command 11h, the address high byte, per byte its low address,
    // the data and a PAGEL pulse with BS1 high; WR programs the page (the caller waits).
    void eepromLatch(std::uint16_t address, std::uint8_t value)
    {
        load(0, false, std::uint8_t(address));
        load(1, false, value);
        step(100, [](Lines &x) { x.bs1 = true; });
        latch();
        step(100, [](Lines &x) { x.bs1 = false; });
    }
    std::uint8_t eepromRead(std::uint16_t address)
    {
        load(2, false, 0x03);
        load(0, true, std::uint8_t(address >> 8));
        load(0, false, std::uint8_t(address));
        return read(false, false);
    }
};

// The device files (avr-libc's E2END and E2PAGESIZE, the ATDF's fuse fields and calibration
// memory) by signature: EEPROM size, page, calibration bytes, EESAVE's byte and bit.
struct FileFacts {
    int eeprom = -1, page = -1, calibration = -1, eesaveByte = -1, eesaveBit = 0;
};
QMap<QString, FileFacts> deviceFiles()
{
    QMap<QString, FileFacts> out;
    const QDir dir(qEnvironmentVariable("TARVANE_BIN_DIR") + "/cpu");
    for (const QString &name : dir.entryList({"*.ini"})) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        FileFacts facts;
        QString signature;
        for (const QByteArray &raw : f.readAll().split('\n')) {
            const QString line = QString::fromLatin1(raw).trimmed();
            const QString value = line.section('=', 1);
            if (line.startsWith("Signature_00"))
                signature += value.mid(1);
            else if (line.startsWith("EEPROM_Size="))
                facts.eeprom = value.toInt();
            else if (line.startsWith("EEPROM_Page_Size="))
                facts.page = value.toInt();
            else if (line.startsWith("Calibration_Size="))
                facts.calibration = value.toInt();
            else if (value.startsWith("EESAVE|") && (line.startsWith("Low_") || line.startsWith("High_"))) {
                facts.eesaveByte = line.startsWith("Low_") ? 0 : 1;
                facts.eesaveBit = line.section('_', 1, 1).left(1).toInt();
            }
        }
        out[signature.toUpper()] = facts;
    }
    return out;
}

}  // namespace

class TestHvModel : public QObject {
    Q_OBJECT

private slots:
    // The power-up window. Outside it the chip does not enter and answers nothing; that is
    // no rule break, for a board that does not know the chip yet may try another entry.
    void entryWindow_data()
    {
        QTest::addColumn<double>("vccToHvUs");
        QTest::addColumn<bool>("enters");
        QTest::newRow("too soon") << 15.0 << false;
        QTest::newRow("20 us") << 20.0 << true;
        QTest::newRow("middle") << 40.0 << true;
        QTest::newRow("60 us") << 60.0 << true;
        QTest::newRow("too late") << 70.0 << false;
    }
    void entryWindow()
    {
        QFETCH(double, vccToHvUs);
        QFETCH(bool, enters);
        Wave w("ATmega328P");
        w.enter(vccToHvUs * 1e3, 0);
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(w.target.newEntries(), enters ? 1 : 0);
        QCOMPARE(w.target.refusedEntries(), enters ? 0 : 1);
        QCOMPARE(int(w.target.drive(w.t).mask), 0);
        QCOMPARE(w.signature(1) == 0x95, enters);
    }

    // Where the datasheet asks for six XTAL1 pulses before Prog_enable and 12 V, fewer keep
    // the chip out; elsewhere the pulses change nothing.
    void entryPulses_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("pulses");
        QTest::addColumn<bool>("enters");
        QTest::newRow("ATmega2560, none") << "ATmega2560" << 0 << false;
        QTest::newRow("ATmega2560, five") << "ATmega2560" << 5 << false;
        QTest::newRow("ATmega2560, six") << "ATmega2560" << 6 << true;
        QTest::newRow("ATmega1284P, none") << "ATmega1284P" << 0 << false;
        QTest::newRow("ATtiny861, none") << "ATtiny861" << 0 << false;
        QTest::newRow("ATmega32U4, six") << "ATmega32U4" << 6 << true;
        QTest::newRow("ATmega328P, none") << "ATmega328P" << 0 << true;
        QTest::newRow("ATmega328P, six") << "ATmega328P" << 6 << true;
    }
    void entryPulses()
    {
        QFETCH(QString, family);
        QFETCH(int, pulses);
        QFETCH(bool, enters);
        Wave w(family.toLatin1().constData());
        w.enter(40e3, pulses);
        QCOMPARE(w.target.newEntries(), enters ? 1 : 0);
        QCOMPARE(w.breaks(), 0);
    }

    // The level of every Prog_enable pin as 12 V rises: on the ATtiny2313/4313 and 87/167 WR is
    // one of them. Elsewhere a high WR is no Prog_enable pin, but still counted.
    void progEnableLevels_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<bool>("enters");
        QTest::newRow("ATtiny2313") << "ATtiny2313" << false;
        QTest::newRow("ATtiny4313") << "ATtiny4313" << false;
        QTest::newRow("ATtiny167") << "ATtiny167" << false;
        QTest::newRow("ATmega328P") << "ATmega328P" << true;
    }
    void progEnableLevels()
    {
        QFETCH(QString, family);
        QFETCH(bool, enters);
        Wave w(family.toLatin1().constData());
        w.step(2e6, [](Lines &) {});
        w.step(0, [](Lines &x) { x.vcc = true; x.wr = x.oe = true; });
        for (int i = 0; i < 6; ++i) {
            w.step(2e3, [](Lines &x) { x.xtal1 = true; });
            w.step(1e3, [](Lines &x) { x.xtal1 = false; });
        }
        w.step(20e3, [](Lines &x) { x.hv = true; });
        QCOMPARE(w.target.linesHighAtHv(), 1);
        QCOMPARE(w.target.newEntries(), enters ? 1 : 0);
        QCOMPARE(w.breaks(), enters ? 0 : 1);
        Wave bs1("ATmega328P");
        bs1.step(2e6, [](Lines &) {});
        bs1.step(0, [](Lines &x) { x.vcc = true; x.bs1 = true; });
        bs1.step(40e3, [](Lines &x) { x.hv = true; });
        QCOMPARE(bs1.breaks(), 1);  // BS1 is Prog_enable[0] on every part
    }

    // A 1.8..3.6 V part: 5 V on VCC and 12 V on RESET are each a rule broken.
    void lowVoltagePart()
    {
        Wave w("ATmega128RFA1");
        w.step(2e6, [](Lines &) {});
        w.step(0, [](Lines &x) { x.vcc = true; });
        QCOMPARE(w.breaks(), 1);
        w.step(40e3, [](Lines &x) { x.hv = true; });
        QCOMPARE(w.breaks(), 2);
        Wave ok("ATmega328P");
        ok.enter();
        QCOMPARE(ok.breaks(), 0);
    }

    void progEnableMustHold()
    {
        Wave w("ATmega328P");
        w.step(2e6, [](Lines &x) { x.dataDriven = 0xFF; });
        w.step(0, [](Lines &x) { x.vcc = x.wr = x.oe = true; });
        w.step(40e3, [](Lines &x) { x.hv = true; });
        w.step(5e3, [](Lines &x) { x.bs1 = true; });  // within the 10 us latch time
        QCOMPARE(w.breaks(), 1);
    }

    void firstCommandWaits()
    {
        Wave w("ATmega328P");
        w.step(2e6, [](Lines &x) { x.dataDriven = 0xFF; });
        w.step(0, [](Lines &x) { x.vcc = x.wr = x.oe = true; });
        w.step(40e3, [](Lines &x) { x.hv = true; });
        w.step(200e3, [](Lines &) {});
        w.load(2, false, 0x08);  // 200 us after 12 V: too soon
        QCOMPARE(w.breaks(), 1);
    }

    // The older parts: VCC, at least 100 us, six XTAL1 pulses, 12 V; the power-up window is
    // not theirs; VCC and 12 V together is their datasheet's alternative.
    void ownEntry_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("pulses");
        QTest::addColumn<double>("settleUs");
        QTest::addColumn<bool>("enters");
        QTest::newRow("ATmega8, six") << "ATmega8" << 6 << 100.0 << true;
        QTest::newRow("ATmega8, five") << "ATmega8" << 5 << 100.0 << false;
        QTest::newRow("ATmega8, too early") << "ATmega8" << 6 << 90.0 << false;
        QTest::newRow("ATmega16, six") << "ATmega16" << 6 << 100.0 << true;
        QTest::newRow("ATtiny26, six") << "ATtiny26" << 6 << 100.0 << true;
        QTest::newRow("ATmega328P, own way") << "ATmega328P" << 6 << 100.0 << false;
    }
    void ownEntry()
    {
        QFETCH(QString, family);
        QFETCH(int, pulses);
        QFETCH(double, settleUs);
        QFETCH(bool, enters);
        Wave w(family.toLatin1().constData());
        w.enterOwn(pulses, settleUs * 1e3);
        QCOMPARE(w.target.ownEntries(), enters ? 1 : 0);
        QCOMPARE(w.target.refusedEntries(), enters ? 0 : 1);
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(w.signature(1) == w.target.chip().signature[1], enters);
    }

    void olderPartsAlternative_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<bool>("enters");
        QTest::newRow("ATmega8") << "ATmega8" << true;
        QTest::newRow("ATmega128") << "ATmega128" << true;
        QTest::newRow("ATmega328P") << "ATmega328P" << false;
    }
    void olderPartsAlternative()
    {
        QFETCH(QString, family);
        QFETCH(bool, enters);
        Wave w(family.toLatin1().constData());
        w.step(2e6, [](Lines &) {});
        w.step(0, [](Lines &x) { x.vcc = x.hv = true; });
        w.step(10e3, [](Lines &x) { x.wr = x.oe = true; });
        w.step(100e3, [](Lines &) {});
        QCOMPARE(w.target.fallbackEntries(), enters ? 1 : 0);
        QCOMPARE(w.signature(0) == 0x1E, enters);
        QCOMPARE(w.breaks(), 0);
        // The power-up window is no entry of theirs.
        Wave window(family.toLatin1().constData());
        window.enter();
        QCOMPARE(window.target.newEntries(), enters ? 0 : 1);
    }

    void strobeTimes_data()
    {
        QTest::addColumn<double>("setup");
        QTest::addColumn<double>("width");
        QTest::addColumn<int>("breaks");
        QTest::newRow("datasheet") << 67.0 << 150.0 << 0;
        QTest::newRow("tDVXH short") << 62.5 << 150.0 << 1;
        QTest::newRow("tXHXL short") << 125.0 << 125.0 << 1;
    }
    void strobeTimes()
    {
        QFETCH(double, setup);
        QFETCH(double, width);
        QFETCH(int, breaks);
        Wave w("ATmega328P");
        w.enter();
        w.load(2, false, 0x08, setup, width);
        QCOMPARE(w.breaks(), breaks);
    }

    void holdAfterXtal1()
    {
        Wave w("ATmega328P");
        w.enter();
        w.load(2, false, 0x08);
        w.step(40, [](Lines &x) { x.data = 0x55; });  // tXLDX is 67 ns
        QCOMPARE(w.breaks(), 1);
    }

    void commandWhileBusy_data()
    {
        QTest::addColumn<double>("waitUs");
        QTest::addColumn<int>("breaks");
        QTest::newRow("waits tWLRH") << 4500.0 << 0;
        QTest::newRow("too soon") << 4000.0 << 1;
    }
    void commandWhileBusy()
    {
        QFETCH(double, waitUs);
        QFETCH(int, breaks);
        Wave w("ATmega328P");
        w.enter();
        w.load(2, false, 0x40);
        w.load(1, false, 0xE2);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(waitUs * 1e3);
        w.load(2, false, 0x04);
        QCOMPARE(w.breaks(), breaks);
        QCOMPARE(int(w.read(false, false)), 0xE2);
    }

    void busContention()
    {
        Wave w("ATmega328P");
        w.enter();
        w.load(2, false, 0x08);
        w.load(0, false, 0);
        w.step(250, [](Lines &x) { x.oe = false; });  // DATA still driven by the adapter
        QCOMPARE(w.breaks(), 1);
        w.step(300, [](Lines &x) { x.oe = true; });
        w.step(100, [](Lines &x) { x.dataDriven = 0xFF; });  // before tOHDZ has passed
        QCOMPARE(w.breaks(), 1);  // the same episode
        Wave late("ATmega328P");
        late.enter();
        late.step(250, [](Lines &x) { x.dataDriven = 0; });
        late.step(250, [](Lines &x) { x.oe = false; });
        late.step(300, [](Lines &x) { x.oe = true; });
        late.step(100, [](Lines &x) { x.dataDriven = 0xFF; });  // tOHDZ is 250 ns
        QCOMPARE(late.breaks(), 1);
    }

    void sampleBeforeValid()
    {
        Wave w("ATmega328P");
        w.enter();
        w.load(2, false, 0x08);
        w.load(0, false, 0);
        w.read(false, false, 200);  // tOLDV is 250 ns
        QCOMPARE(w.breaks(), 1);
    }

    // Pages: the buffer latched word by word, programming only clears bits, erase sets
    // Flash to FF and clears the lock.
    void programmingSemantics()
    {
        Wave w("ATmega88");
        w.enter();
        auto program = [&w](std::uint8_t low, std::uint8_t high) {
            w.load(2, false, 0x10);
            for (int i = 0; i < 32; ++i) {
                w.load(0, false, std::uint8_t(32 + i));  // the second page
                w.load(1, false, low);
                w.load(1, true, high);
                w.latch();
            }
            w.load(0, true, 0);
            w.step(250, [](Lines &x) { x.bs1 = false; });
            w.wr(4.5e6);
        };
        program(0xF0, 0x3C);
        program(0x0F | 0x30, 0xFF);
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(int(w.target.chip().flash[64]), 0x30);
        QCOMPARE(int(w.target.chip().flash[127]), 0x3C);
        QCOMPARE(int(w.target.chip().flash[63]), 0xFF);
        QCOMPARE(int(w.target.chip().flash[128]), 0xFF);
        w.load(2, false, 0x20);
        w.load(1, false, 0xFC);
        w.step(250, [](Lines &) {});
        w.wr(4.5e6);
        QCOMPARE(int(w.target.chip().lock), 0xFC);
        w.load(2, false, 0x80);
        w.wr(8e6);
        w.load(2, false, 0x02);
        QCOMPARE(w.breaks(), 1);  // the erase takes tWLRH_CE, 9 ms
        QCOMPARE(int(w.target.chip().flash[64]), 0xFF);
        QCOMPARE(int(w.target.chip().lock), 0xFF);
    }

    // Where PAGEL is the BS1 pin, the time BS1 stays high for the high byte is the PAGEL
    // pulse: the word is latched as BS1 goes low. One latch per word; a second pulse for the
    // same word is a rule broken. BS2 is the XA1 pin.
    void sharedPins_data()
    {
        QTest::addColumn<bool>("extraPulse");
        QTest::newRow("one pulse") << false;
        QTest::newRow("an extra pulse") << true;
    }
    void sharedPins()
    {
        QFETCH(bool, extraPulse);
        Wave w("ATtiny2313");
        w.enter();
        w.load(2, false, 0x10);
        w.load(0, false, 3);
        w.load(1, false, 0x12);
        w.load(1, true, 0x34);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        if (extraPulse) {
            w.step(250, [](Lines &x) { x.bs1 = true; });
            w.step(250, [](Lines &x) { x.bs1 = false; });
        }
        w.load(0, true, 0);  // the page's high address: BS1 high with no new word
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(4.5e6);
        QCOMPARE(w.breaks(), extraPulse ? 1 : 0);
        QCOMPARE(w.target.wordsLatched(), 1);
        QCOMPARE(int(w.target.chip().flash[6]), 0x12);
        QCOMPARE(int(w.target.chip().flash[7]), 0x34);
        // BS2 is XA1: the extended fuse is read with XA1 high.
        w.load(2, false, 0x04);
        w.step(250, [](Lines &x) { x.xa1 = false; });
        QCOMPARE(int(w.read(false, false)), 0x64);
        w.step(250, [](Lines &x) { x.xa1 = true; });
        QCOMPARE(int(w.read(false, true)), 0xFF);
    }

    // The chip's PAGEL and BS2 come from the pin the socket wires to them: on a part with a
    // PAGEL pin of its own, pulses on BS1 latch nothing, and a page programmed with nothing
    // latched is a rule broken; BS2 raised on XA1 is not BS2 there.
    void pagelAndBs2OnTheirPins()
    {
        Wave w("ATtiny828");
        w.enter();
        w.load(2, false, 0x10);
        w.load(0, false, 0);
        w.load(1, false, 0x12);
        w.load(1, true, 0x34);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.load(0, true, 0);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(4.5e6);
        QCOMPARE(w.breaks(), 1);
        QCOMPARE(int(w.target.chip().flash[0]), 0xFF);
        w.load(2, false, 0x40);
        w.load(1, false, 0xFE);
        w.step(250, [](Lines &x) { x.xa1 = true; });  // BS2 as on the 20-pin parts
        w.wr(4.5e6);
        QCOMPARE(int(w.target.chip().lowFuse), 0xFE);  // landed in the low fuse
        QCOMPARE(int(w.target.chip().extFuse), 0xFF);
    }

    // The limits differ between the datasheets' tables: tXLXH 200 or 300 ns, tPHPL 150 or
    // 200 ns, reads 250, 350 or 500 ns, a chip erase 9, 10.5 or 12 ms.
    void timingTables_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("limit");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("broken");
        const struct {
            const char *family, *limit;
            double older, own;
        } rows[] = {
            {"ATmega644", "tXLXH", 200, 300},  {"ATmega644", "tPHPL", 150, 200},
            {"ATmega644", "tOLDV", 250, 500},  {"ATmega644", "tWLRH_CE", 9000, 12000},
            {"ATmega1284P", "tOLDV", 250, 500}, {"ATmega168PB", "tOLDV", 250, 350},
            {"ATmega168PB", "tWLRH_CE", 9000, 10500}, {"ATmega48PB", "tWLRH_CE", 9000, 10500},
        };
        for (const auto &r : rows) {
            QTest::addRow("%s, %s %g", r.family, r.limit, r.older) << r.family << r.limit << r.older << true;
            QTest::addRow("%s, %s %g", r.family, r.limit, r.own) << r.family << r.limit << r.own << false;
        }
        for (const char *limit : {"tXLXH", "tPHPL", "tOLDV", "tWLRH_CE"})  // the older table's own values
            QTest::addRow("ATmega328P, %s", limit) << "ATmega328P" << limit
                                                   << (QString(limit) == "tXLXH"      ? 200.0
                                                       : QString(limit) == "tPHPL"    ? 150.0
                                                       : QString(limit) == "tOLDV"    ? 250.0
                                                                                      : 9000.0)
                                                   << false;
    }
    void timingTables()
    {
        QFETCH(QString, family);
        QFETCH(QString, limit);
        QFETCH(double, value);
        QFETCH(bool, broken);
        auto use = [&](const char *name, double own) { return limit == name ? value : own; };
        Wave w(family.toLatin1().constData());
        w.enter();
        w.load(2, false, 0x10);
        w.load(0, false, 0);
        // XTAL1 low to the next XTAL1 high, with data set up 125 ns before it.
        w.step(use("tXLXH", 300) - 125, [](Lines &x) { x.xa0 = true; x.data = 0x55; });
        w.step(125, [](Lines &x) { x.xtal1 = true; });
        w.step(187, [](Lines &x) { x.xtal1 = false; });
        w.load(1, true, 0x66);
        w.step(250, [](Lines &x) { x.pagel = true; });
        w.step(use("tPHPL", 200), [](Lines &x) { x.pagel = false; });
        w.load(0, true, 0);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(4.5e6);
        w.load(2, false, 0x08);
        w.load(0, false, 0);
        w.read(false, false, use("tOLDV", 500));
        w.load(2, false, 0x80);
        w.wr(use("tWLRH_CE", 12000) * 1e3);
        w.load(2, false, 0x02);
        QCOMPARE(w.breaks(), broken ? 1 : 0);
    }

    // The empty socket of the board's first power-up: no chip, no rule; the lines are counted.
    void emptySocketCountsLines()
    {
        Wave w(hvsim::emptySocket());
        w.step(1e3, [](Lines &x) { x.hv = true; });  // 12 V without VCC: no chip to harm
        w.step(1e3, [](Lines &x) { x.hv = false; x.oe = true; });
        w.step(1e3, [](Lines &x) { x.oe = false; x.data = 0x81; x.dataDriven = 0xFF; });
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(w.target.rises()[hvsim::kHv], 1);
        QCOMPARE(w.target.rises()[hvsim::kOe], 1);
        QCOMPARE(w.target.rises()[hvsim::kData0], 1);
        QCOMPARE(w.target.rises()[hvsim::kData0 + 7], 1);
        QCOMPARE(w.target.rises()[hvsim::kData0 + 1], 0);
        QCOMPARE(w.target.rises()[hvsim::kVcc], 0);
    }

    void unpoweredTarget()
    {
        Wave w("ATmega328P");
        w.step(1e3, [](Lines &x) { x.oe = true; });
        QCOMPARE(w.breaks(), 1);
        w.step(2e6, [](Lines &x) { x.oe = false; x.hv = true; });
        QCOMPARE(w.breaks(), 2);
    }

    // The model's EEPROM facts against the device files, which come from avr-libc and the ATDF:
    // a transcription slip in either shows here.
    void eepromFactsAgainstDeviceFiles()
    {
        const auto files = deviceFiles();
        QVERIFY(files.size() >= 98);
        for (const hvsim::Family &f : hvsim::families()) {
            const QString signature = QString::asprintf("1E%02X%02X", f.signature[1], f.signature[2]);
            QVERIFY2(files.contains(signature), qPrintable(signature));
            const FileFacts &file = files[signature];
            const QByteArray name = QByteArray::fromStdString(f.name);
            QVERIFY2(file.eeprom == f.eepromBytes, name);
            QVERIFY2(file.page == f.eepromPage, name);
            QVERIFY2(file.calibration < 0 || file.calibration == f.calibrationBytes, name);
            QVERIFY2(file.eesaveByte == f.eesave.byte && (file.eesaveByte < 0 || file.eesaveBit == f.eesave.bit), name);
            QCOMPARE(int(hvsim::freshChip(f).eeprom.size()), f.eepromBytes);
        }
    }

    // A page latched in part: only the latched bytes take their values (bits may rise, an
    // EEPROM byte is erased as it is written); the rest of the page keeps what it held.
    void eepromPageWrite()
    {
        hvsim::Chip chip = hvsim::freshChip(*hvsim::findFamily("ATmega328P"));
        for (std::size_t i = 0; i < chip.eeprom.size(); ++i)
            chip.eeprom[i] = std::uint8_t(i);
        Wave w(chip);
        w.enter();
        w.load(2, false, 0x11);
        w.load(0, true, 0x01);
        w.eepromLatch(0x0105, 0xA5);
        w.eepromLatch(0x0106, 0xFF);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(4.5e6);
        QCOMPARE(w.breaks(), 0);
        const auto &ee = w.target.chip().eeprom;
        QCOMPARE(int(ee[0x104]), 0x04);
        QCOMPARE(int(ee[0x105]), 0xA5);
        QCOMPARE(int(ee[0x106]), 0xFF);
        QCOMPARE(int(ee[0x107]), 0x07);
        QCOMPARE(int(w.eepromRead(0x105)), 0xA5);
        QCOMPARE(w.target.eepromWrites(), 1);
        QCOMPARE(w.breaks(), 0);
    }

    // Each EEPROM rule, broken once by a waveform that is otherwise the good one.
    void eepromRules_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("good") << "";
        QTest::newRow("no byte latched") << "nolatch";
        QTest::newRow("byte latched for another page") << "otherpage";
        QTest::newRow("second PAGEL pulse for a byte") << "twice";
        QTest::newRow("next command before tWLRH") << "busy";
    }
    void eepromRules()
    {
        QFETCH(QString, fault);
        Wave w("ATmega328P");
        w.enter();
        w.load(2, false, 0x11);
        w.load(0, true, 0x00);
        if (fault != "nolatch")
            w.eepromLatch(0x20, 0x5A);
        if (fault == "twice") {
            w.step(100, [](Lines &x) { x.bs1 = true; });
            w.latch();
            w.step(100, [](Lines &x) { x.bs1 = false; });
        }
        if (fault == "otherpage")
            w.load(0, false, 0x24);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(fault == "busy" ? 4.0e6 : 4.5e6);
        w.load(2, false, 0x03);
        QCOMPARE(w.breaks(), fault.isEmpty() ? 0 : 1);
    }

    // The ATmega163 has no EEPROM page buffer: each byte is written by WR alone, in its table's
    // tWLRH of 1.9 ms; its Flash pages take tWLRH_FLASH, 15 ms.
    void eepromByteByByte()
    {
        Wave w("ATmega163");
        w.enterOwn();
        w.load(2, false, 0x11);
        w.load(0, true, 0x01);
        for (int i = 0; i < 3; ++i) {
            w.load(0, false, std::uint8_t(0x10 + i));
            w.load(1, false, std::uint8_t(0xC0 + i));
            w.step(250, [](Lines &) {});
            w.wr(1.9e6);
        }
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(int(w.target.chip().eeprom[0x110]), 0xC0);
        QCOMPARE(int(w.target.chip().eeprom[0x112]), 0xC2);
        QCOMPARE(w.target.eepromWrites(), 3);
        w.load(2, false, 0x10);
        w.load(0, false, 0);
        w.load(1, false, 0x00);
        w.load(1, true, 0x00);
        w.latch();
        w.load(0, true, 0);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.wr(4.5e6);
        w.load(2, false, 0x02);
        QCOMPARE(w.breaks(), 1);  // the page needed 15 ms
    }

    // Chip Erase clears the EEPROM unless EESAVE is programmed (0), wherever the part keeps it;
    // the ATmega163 has no EESAVE.
    void eesaveAcrossErase_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("high");
        QTest::addColumn<bool>("kept");
        QTest::newRow("328P EESAVE programmed") << "ATmega328P" << 0xD1 << true;
        QTest::newRow("328P EESAVE not programmed") << "ATmega328P" << 0xD9 << false;
        QTest::newRow("2313 bit 6 programmed") << "ATtiny2313" << 0x9F << true;
        QTest::newRow("2313 bit 3 is not EESAVE") << "ATtiny2313" << 0xD7 << false;
        QTest::newRow("26 bit 2 programmed") << "ATtiny26" << 0xF3 << true;
        QTest::newRow("163 has none") << "ATmega163" << 0x00 << false;
    }
    void eesaveAcrossErase()
    {
        QFETCH(QString, family);
        QFETCH(int, high);
        QFETCH(bool, kept);
        hvsim::Chip chip = hvsim::freshChip(*hvsim::findFamily(family.toStdString()));
        chip.highFuse = std::uint8_t(high);
        std::fill(chip.eeprom.begin(), chip.eeprom.end(), 0x3C);
        std::fill(chip.flash.begin(), chip.flash.end(), 0x00);
        const hvsim::Family &f = *hvsim::findFamily(family.toStdString());
        Wave w(chip);
        if (f.entry == hvsim::Entry::Old)
            w.enterOwn();
        else
            w.enter();
        w.load(2, false, 0x80);
        w.wr(f.timing.tWlrhCeUs * 1e3);
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(int(w.target.chip().flash[0]), 0xFF);
        QCOMPARE(int(w.target.chip().eeprom.back()), kept ? 0x3C : 0xFF);
        QCOMPARE(int(w.target.chip().eeprom.front()), kept ? 0x3C : 0xFF);
    }

    // The calibration bytes of the signature row, read with BS1 high; an address the part does
    // not have is a rule broken.
    void calibrationBytes_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("count");
        QTest::newRow("ATmega328P") << "ATmega328P" << 1;
        QTest::newRow("ATtiny2313") << "ATtiny2313" << 2;
        QTest::newRow("ATmega8") << "ATmega8" << 4;
    }
    void calibrationBytes()
    {
        QFETCH(QString, family);
        QFETCH(int, count);
        const hvsim::Family &f = *hvsim::findFamily(family.toStdString());
        Wave w(family.toLatin1().constData());
        if (f.entry == hvsim::Entry::Old)
            w.enterOwn();
        else
            w.enter();
        w.load(2, false, 0x08);
        for (int i = 0; i < count; ++i) {
            w.load(0, false, std::uint8_t(i));
            QCOMPARE(int(w.read(true, false)), int(w.target.chip().calibration[std::size_t(i)]));
            w.step(250, [](Lines &x) { x.bs1 = false; });
        }
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(int(w.target.chip().calibration[0]), 0x80 + f.signature[2]);
        w.load(0, false, std::uint8_t(count));
        w.read(true, false);
        QVERIFY(w.breaks() > 0);
    }
};

QTEST_MAIN(TestHvModel)
#include "test_hvmodel.moc"
