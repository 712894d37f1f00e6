// SPDX-License-Identifier: GPL-3.0-or-later
// The chip model's rule checker and memory semantics, driven directly with waveforms.
#include "model.h"

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

    void step(double ns, const std::function<void(Lines &)> &change)
    {
        t += ns;
        change(l);
        l.anyHigh = l.xtal1 || l.xa0 || l.xa1 || l.bs1 || l.bs2 || l.pagel || l.wr || l.oe || (l.data & l.dataDriven);
        target.update(t, l);
    }
    void enter(double vccToHv = 40e3)
    {
        step(2e6, [](Lines &x) { x.dataDriven = 0xFF; });
        step(0, [](Lines &x) { x.vcc = true; x.wr = x.oe = true; });
        step(vccToHv, [](Lines &x) { x.hv = true; });
        step(310e3, [](Lines &) {});
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
};

}  // namespace

class TestHvModel : public QObject {
    Q_OBJECT

private slots:
    void entryWindow_data()
    {
        QTest::addColumn<double>("vccToHvUs");
        QTest::addColumn<int>("breaks");
        QTest::newRow("too soon") << 10.0 << 1;
        QTest::newRow("20 us") << 20.0 << 0;
        QTest::newRow("middle") << 40.0 << 0;
        QTest::newRow("60 us") << 60.0 << 0;
        QTest::newRow("too late") << 70.0 << 1;
    }
    void entryWindow()
    {
        QFETCH(double, vccToHvUs);
        QFETCH(int, breaks);
        Wave w("ATmega328P");
        w.enter(vccToHvUs * 1e3);
        QCOMPARE(w.breaks(), breaks);
        // A chip that refused the entry does not answer.
        QCOMPARE(int(w.target.drive(w.t).mask), 0);
        QCOMPARE(w.signature(1) == 0x95, breaks == 0);
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

    void ownEntry_data()
    {
        QTest::addColumn<int>("pulses");
        QTest::addColumn<int>("own");
        QTest::addColumn<int>("breaks");
        QTest::newRow("six pulses") << 6 << 1 << 0;
        QTest::newRow("five pulses") << 5 << 0 << 1;
    }
    void ownEntry()
    {
        QFETCH(int, pulses);
        QFETCH(int, own);
        QFETCH(int, breaks);
        Wave w("ATmega8");
        w.step(2e6, [](Lines &x) { x.dataDriven = 0xFF; });
        w.step(0, [](Lines &x) { x.vcc = x.wr = x.oe = true; });
        w.step(100e3, [](Lines &) {});
        for (int i = 0; i < pulses; ++i) {
            w.step(1e3, [](Lines &x) { x.xtal1 = true; });
            w.step(1e3, [](Lines &x) { x.xtal1 = false; });
        }
        w.step(1e3, [](Lines &x) { x.hv = true; });
        QCOMPARE(w.target.ownEntries(), own);
        QCOMPARE(w.breaks(), breaks);
        // The newer entry is the older parts' alternative: accepted, counted apart.
        Wave alt("ATmega8");
        alt.enter();
        QCOMPARE(alt.breaks(), 0);
        QCOMPARE(alt.target.newEntries(), 1);
        QCOMPARE(int(alt.signature(2)), 0x07);
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

    // On the 20-pin tinies BS1 and PAGEL are one pin: its rising edge latches.
    void sharedPins()
    {
        Wave w("ATtiny2313");
        w.enter();
        w.load(2, false, 0x10);
        w.load(0, false, 3);
        w.load(1, false, 0x12);
        w.load(1, true, 0x34);
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.step(250, [](Lines &x) { x.bs1 = true; });
        w.step(250, [](Lines &x) { x.bs1 = false; });
        w.load(0, true, 0);
        w.wr(4.5e6);
        QCOMPARE(w.breaks(), 0);
        QCOMPARE(int(w.target.chip().flash[6]), 0x12);
        QCOMPARE(int(w.target.chip().flash[7]), 0x34);
        // BS2 is XA1: the extended fuse is read with XA1 high.
        w.load(2, false, 0x04);
        w.step(250, [](Lines &x) { x.xa1 = false; });
        QCOMPARE(int(w.read(false, false)), 0x64);
        w.step(250, [](Lines &x) { x.xa1 = true; });
        QCOMPARE(int(w.read(false, true)), 0xFF);
    }

    void unpoweredTarget()
    {
        Wave w("ATmega328P");
        w.step(1e3, [](Lines &x) { x.oe = true; });
        QCOMPARE(w.breaks(), 1);
        w.step(2e6, [](Lines &x) { x.oe = false; x.hv = true; });
        QCOMPARE(w.breaks(), 2);
    }
};

QTEST_MAIN(TestHvModel)
#include "test_hvmodel.moc"
