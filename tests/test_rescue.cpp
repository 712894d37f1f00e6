// SPDX-License-Identifier: GPL-3.0-or-later
// Getting a chip back: factory values, what the fuses mean, and why no chip answers; the pure
// functions of bits/rescue.h, and the window against the simulated adapter with the shipped
// device files.
#include "families.h"
#include "fields.h"
#include "loader.h"
#include "rescue.h"
#include "rig.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>

namespace {

const QColor kRed(255, 0, 0);

std::unique_ptr<TDevice> shipped(const QString &file)
{
    return loadDeviceFile(qEnvironmentVariable("TARVANE_BIN_DIR") + "/cpu/" + file);
}

QString hex(std::uint8_t v)
{
    return QStringLiteral("%1").arg(v, 2, 16, QLatin1Char('0')).toUpper() + "h";
}

// The shipped catalogue in a window on the simulated adapter holding chip; the original
// program's exact command sequences (Fast transfers off).
struct ShippedRig {
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<adaptersim::Simulator> sim;
    std::unique_ptr<TfmMain> w;

    explicit ShippedRig(const adaptersim::Chip &chip)
    {
        QDir().mkpath(dir.filePath("cpu"));
        const QDir cpu(qEnvironmentVariable("TARVANE_BIN_DIR") + "/cpu");
        for (const QString &name : cpu.entryList({"*.ini"}))
            QFile::copy(cpu.filePath(name), dir.filePath("cpu/" + name));
        adaptersim::Options options;
        options.chip = chip;
        sim = std::make_unique<adaptersim::Simulator>(options);
        std::string error;
        if (!sim->start(&error))
            qFatal("simulator: %s", error.c_str());
        w = std::make_unique<TfmMain>(dir.path(), dialogs);
        w->PortName = QString::fromStdString(sim->devicePath());
        w->FastTransfers = false;
    }
    QCheckBox *box(const QString &name) const { return w->findChild<QCheckBox *>(name); }
    QStringList blocks() const
    {
        QStringList out;
        for (const auto &l : sim->log())
            if (l.rfind("block ", 0) == 0)
                out << QString::fromStdString(l);
        return out;
    }
};

// The boxes on screen drawn in red: their tick is not the factory value.
QStringList redBoxes(TfmMain &w)
{
    QStringList red;
    for (QCheckBox *b : w.Fuses->findChildren<QCheckBox *>())
        if (b->isVisibleTo(&w) && b->palette().color(QPalette::WindowText) == kRed)
            red << b->objectName();
    return red;
}

QString labels(TfmMain &w)
{
    return QStringList{w.lbLowByte->text(), w.lbHighByte->text(), w.lbExtendedByte->text(), w.lbLockBits->text()}
        .join(' ');
}

QString blockLine(const std::array<std::uint8_t, 8> &b)
{
    return "block " + rig::hexBytes(b.data(), 8);
}

QAction *factoryAction(TfmMain &w)
{
    return w.findChild<QAction *>("actFactoryValues");
}

// The last confirmation's informative text.
QString lastDetails(const ScriptedDialogs &d)
{
    for (auto it = d.shown.crbegin(); it != d.shown.crend(); ++it)
        if (it->kind == "confirm")
            return it->details;
    return QString();
}

const QString kCauses = QStringLiteral(
    "The usual causes, most likely first:\n"
    "1. No chip in the socket, or a chip the wrong way round.\n"
    "2. No 12 V at RESET.\n"
    "3. A bad contact in the socket.\n"
    "4. A part this board does not serve.\n"
    "Check first: is a chip in the socket, with pin 1 where the socket marks it?");

}  // namespace

class TestRescue : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("TARVANE_BIN_DIR").isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
    }

    // --- The pure functions --------------------------------------------------------------

    // The factory bytes a "factory" write sends, against the datasheets' factory values: named
    // bits at their factory value, the bits no name covers 1.
    void factoryWriteBytes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("bytes");
        QTest::newRow("ATmega8: no extended byte, two free lock bits") << "ATmega8_8A.ini" << "E1 D9 FF FF";
        QTest::newRow("ATmega16: JTAG on") << "ATmega16_16A.ini" << "E1 99 FF FF";
        QTest::newRow("ATmega128: M103C programmed") << "ATmega128_128A.ini" << "E1 99 FD FF";
        QTest::newRow("ATmega328P: three extended bits named") << "ATmega328P.ini" << "62 D9 FF FF";
        QTest::newRow("ATmega2560") << "ATmega2560.ini" << "62 99 FF FF";
        QTest::newRow("ATtiny2313") << "ATtiny2313_2313A.ini" << "64 DF FF FF";
    }
    void factoryWriteBytes()
    {
        QFETCH(QString, file);
        QFETCH(QString, bytes);
        const auto device = shipped(file);
        QVERIFY(device);
        const core::ChipBytes b = core::factoryWriteBytes(*device);
        QCOMPARE(rig::hexBytes(b.data(), 4), bytes);
    }

    // In the window the unnamed bits keep their ticks: they are written back as read.
    void factoryBitsKeepUnnamed_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("bytes");
        QTest::newRow("all 0") << "00 00 00 00" << "E1 D9 00 3F";
        QTest::newRow("all 1") << "FF FF FF FF" << "E1 D9 FF FF";
        QTest::newRow("mixed") << "12 34 56 78" << "E1 D9 56 7F";
    }
    void factoryBitsKeepUnnamed()
    {
        QFETCH(QString, base);
        QFETCH(QString, bytes);
        const auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        core::ChipBytes in{};
        const QStringList parts = base.split(' ');
        for (int i = 0; i < 4; ++i)
            in[std::size_t(i)] = std::uint8_t(parts[i].toUInt(nullptr, 16));
        const core::ChipBytes out = core::withFactoryBits(*device, in);
        QCOMPARE(rig::hexBytes(out.data(), 4), bytes);
    }

    void diagnosis_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<bool>("noChip");
        QTest::newRow("00 00 00") << "00 00 00" << true;
        QTest::newRow("FF FF FF") << "FF FF FF" << true;
        QTest::newRow("three equal bytes") << "5A 5A 5A" << true;
        QTest::newRow("an ATmega8") << "1E 93 07" << false;
        QTest::newRow("two zeros") << "00 00 01" << false;
        QTest::newRow("first differs") << "FE FF FF" << false;
        QTest::newRow("middle differs") << "FF FE FF" << false;
    }
    void diagnosis()
    {
        QFETCH(QString, signature);
        QFETCH(bool, noChip);
        const QStringList parts = signature.split(' ');
        const std::array<std::uint8_t, 3> sig{std::uint8_t(parts[0].toUInt(nullptr, 16)),
                                              std::uint8_t(parts[1].toUInt(nullptr, 16)),
                                              std::uint8_t(parts[2].toUInt(nullptr, 16))};
        QCOMPARE(core::isNoChipSignature(sig), noChip);
        const auto d = core::diagnoseSignature(sig);
        QCOMPARE(d.has_value(), noChip);
        if (!d)
            return;
        const QString shown = parts.join("h ") + "h";
        QCOMPARE(d->status, "No chip answers: signature " + shown + ".");
        QCOMPARE(d->text, "The signature reads " + shown
                              + ": no chip has that signature. The adapter answered, but no chip did.");
        QCOMPARE(d->causes, kCauses);
    }

    // What a write adds to its confirmation: the fields before and after, and the notes on what
    // the chip refuses (lock bits a write cannot unprogram, fuses that LB1 keeps).
    void writeMeaning_data()
    {
        QTest::addColumn<QString>("group");   // "fuses" or "lock"
        QTest::addColumn<QString>("before");  // four bytes, or "" for no chip read
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("clock back to factory")
            << "fuses" << "E4 D9 FF FF" << "E1 D9 FF FF"
            << QStringList{"Meaning before -> after:",
                           "Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms -> internal RC oscillator "
                           "1 MHz; start-up 6 CK + 64 ms"};
        QTest::newRow("two fields in two bytes")
            << "fuses" << "3F 99 FF FF" << "E1 D9 FF FF"
            << QStringList{"Meaning before -> after:", "Brown-out level: 4.0 V -> 2.7 V",
                           "Brown-out detection enabled: yes -> no",
                           "Clock: external crystal/resonator, high frequency; start-up 16K CK + 64 ms -> internal "
                           "RC oscillator 1 MHz; start-up 6 CK + 64 ms",
                           "Watch-dog Timer always on: yes -> no"};
        QTest::newRow("nothing changes") << "fuses" << "E1 D9 FF FF" << "E1 D9 FF FF" << QStringList{};
        QTest::newRow("the lock byte is not a fuse write's")
            << "fuses" << "E1 D9 FF 3C" << "E1 D9 FF FF"
            << QStringList{};
        QTest::newRow("fuses with LB1 programmed")
            << "fuses" << "E4 D9 FF FE" << "E1 D9 FF FF"
            << QStringList{"Meaning before -> after:",
                           "Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms -> internal RC oscillator "
                           "1 MHz; start-up 6 CK + 64 ms",
                           "Note: LB1 is programmed: the chip refuses fuse writes until a Chip Erase (which erases "
                           "Flash too)."};
        QTest::newRow("fuses with LB2 alone programmed")
            << "fuses" << "E4 D9 FF FD" << "E1 D9 FF FF"
            << QStringList{"Meaning before -> after:",
                           "Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms -> internal RC oscillator "
                           "1 MHz; start-up 6 CK + 64 ms"};
        QTest::newRow("no fuse change, LB1 programmed") << "fuses" << "E1 D9 FF FC" << "E1 D9 FF FF" << QStringList{};
        QTest::newRow("lock bits programmed")
            << "lock" << "E1 D9 FF FF" << "FF FF FF FC"
            << QStringList{"Meaning before -> after:", "Lock mode: no lock -> programming and verification disabled"};
        QTest::newRow("lock bits unprogrammed")
            << "lock" << "E1 D9 FF EC" << "FF FF FF FF"
            << QStringList{"Meaning before -> after:", "Lock mode: programming and verification disabled -> no lock",
                           "Boot section lock: SPM prohibited -> no lock",
                           "Note: LB1, LB2, BLB11 unprogrammed: a lock write cannot unprogram lock bits; only a "
                           "Chip Erase does (and erases Flash too)."};
        QTest::newRow("unnamed lock bits raised: no note")
            << "lock" << "E1 D9 FF 3F" << "FF FF FF FF" << QStringList{"Meaning before -> after:",
                                                                       "Lock bit 6: 0 -> 1, in no field of the device file",
                                                                       "Lock bit 7: 0 -> 1, in no field of the device file"};
        QTest::newRow("no chip read: what is sent")
            << "lock" << "" << "FF FF FF FE"
            << QStringList{"Meaning of the bits written:", "Lock mode: programming disabled",
                           "Application section lock: no lock", "Boot section lock: no lock"};
    }
    void writeMeaning()
    {
        QFETCH(QString, group);
        QFETCH(QString, before);
        QFETCH(QString, sent);
        QFETCH(QStringList, lines);
        const auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        const auto bytes = [](const QString &text) {
            core::ChipBytes b{};
            const QStringList parts = text.split(' ');
            for (int i = 0; i < 4; ++i)
                b[std::size_t(i)] = std::uint8_t(parts[i].toUInt(nullptr, 16));
            return b;
        };
        const std::vector<int> groups = group == "lock" ? std::vector<int>{grLock}
                                                        : std::vector<int>{grLow, grHigh, grExtended};
        std::optional<core::ChipBytes> was;
        if (!before.isEmpty())
            was = bytes(before);
        QCOMPARE(core::writeMeaning(*device, groups, bytes(sent), was), lines);
    }

    // A device file without fields gets no meaning lines: the bit listing says it all.
    void noFieldsNoMeaning()
    {
        auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        device->Fields.clear();
        const core::ChipBytes before{0xE4, 0xD9, 0xFF, 0xFF}, sent{0xE1, 0xD9, 0xFF, 0xFF};
        QCOMPARE(core::writeMeaning(*device, {grLow, grHigh, grExtended}, sent, before), QStringList{});
        QCOMPARE(core::writeMeaning(*device, {grLow, grHigh, grExtended}, sent, std::nullopt), QStringList{});
        const QString text = core::describeWrite(*device, {grLow, grHigh, grExtended}, sent, before);
        QCOMPARE(text, QString("Changes against the last Read Chip:\nLow Byte E4h -> E1h: CKSEL2 programmed, "
                               "CKSEL0 unprogrammed."));
    }

    // --- The window ----------------------------------------------------------------------

    // A chip whose every named fuse bit was changed, read, set to factory values by the action
    // (nothing sent), and written: it ends with no red bit.
    void factoryValues_data()
    {
        QTest::addColumn<QString>("file");
        for (const QString &f : rig::familyFiles())
            QTest::newRow(qPrintable(f)) << f;
    }
    void factoryValues()
    {
        QFETCH(QString, file);
        const auto device = shipped(file);
        QVERIFY(device);
        const adaptersim::Chip factory = rig::factoryChip(*device);
        adaptersim::Chip changed = factory;
        changed.lowFuse ^= core::namedMask(*device, grLow);
        changed.highFuse ^= core::namedMask(*device, grHigh);
        changed.extFuse ^= core::namedMask(*device, grExtended);
        ShippedRig r(changed);
        QAction *action = factoryAction(*r.w);
        QVERIFY(action);
        QVERIFY(!action->isEnabled());  // no device in force yet

        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), "Found device: " + device->Name);
        QVERIFY(!redBoxes(*r.w).isEmpty());
        QVERIFY(action->isEnabled());
        r.sim->clearLog();
        action->trigger();
        QCOMPARE(r.blocks(), QStringList{});  // nothing sent
        QCOMPARE(redBoxes(*r.w), QStringList{});
        const QString factoryLabels =
            QStringList{hex(factory.lowFuse), hex(factory.highFuse), hex(factory.extFuse), hex(factory.lock)}.join(' ');
        QCOMPARE(labels(*r.w), factoryLabels);

        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        if (!device->StandardBoard) {
            // A part the standard board must never power: named as it is read, and no write goes out.
            QCOMPARE(r.w->statusText(), QString("Operation aborted."));
            QCOMPARE(r.dialogs.texts("information"), QStringList(2, core::unservedText(*device)));
            QCOMPARE(r.blocks(), QStringList{});
            return;
        }
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        const auto s = device->Signature;
        QCOMPARE(r.blocks(), QStringList({blockLine({2, s[0], s[1], s[2], factory.lowFuse, factory.highFuse,
                                                     factory.extFuse, changed.lock}),
                                          "block 01 00 00 00 00 00 00 00"}));
        QCOMPARE(int(r.sim->chip().lowFuse), int(factory.lowFuse));
        QCOMPARE(int(r.sim->chip().highFuse), int(factory.highFuse));
        QCOMPARE(int(r.sim->chip().extFuse), int(factory.extFuse));
        QCOMPARE(redBoxes(*r.w), QStringList{});
        QCOMPARE(labels(*r.w), factoryLabels);
        const QString details = lastDetails(r.dialogs);
        QVERIFY2(details.startsWith("Changes against the last Read Chip:\n"), qPrintable(details));
        // Every field the file gives is back at its factory value, and the text says from what.
        QCOMPARE(details.contains("\nMeaning before -> after:\n"), !device->Fields.empty());
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
    }

    // A locked chip with a wrong clock: the confirmations say what the chip will refuse, and
    // the way out is Chip Erase, then the factory values.
    void lockedChip()
    {
        const auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        adaptersim::Chip chip = rig::factoryChip(*device);
        chip.lowFuse = 0xE4;
        chip.lock = 0xFC;
        ShippedRig r(chip);
        r.w->btRead->click();
        QCOMPARE(redBoxes(*r.w), QStringList({"LowByte_Bit2", "LowByte_Bit0", "LockByte_Bit1", "LockByte_Bit0"}));
        factoryAction(*r.w)->trigger();
        QCOMPARE(redBoxes(*r.w), QStringList{});
        QCOMPARE(labels(*r.w), QString("E1h D9h FFh FFh"));

        r.w->btWriteFuses->click();  // answered No
        QCOMPARE(lastDetails(r.dialogs),
                 QString("Changes against the last Read Chip:\n"
                         "Low Byte E4h -> E1h: CKSEL2 programmed, CKSEL0 unprogrammed.\n"
                         "Meaning before -> after:\n"
                         "Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms -> internal RC oscillator 1 MHz; "
                         "start-up 6 CK + 64 ms\n"
                         "Note: LB1 is programmed: the chip refuses fuse writes until a Chip Erase (which erases "
                         "Flash too)."));
        r.w->btWriteLocks->click();  // answered No
        QCOMPARE(lastDetails(r.dialogs),
                 QString("Changes against the last Read Chip:\n"
                         "Lock Bits FCh -> FFh: LB2 unprogrammed, LB1 unprogrammed.\n"
                         "Meaning before -> after:\n"
                         "Lock mode: programming and verification disabled -> no lock\n"
                         "Note: LB1, LB2 unprogrammed: a lock write cannot unprogram lock bits; only a Chip Erase "
                         "does (and erases Flash too)."));
        QCOMPARE(r.w->statusText(), QString("Lock Bits programming is canceled."));

        r.dialogs.confirmAnswers << true << true;
        r.w->btChipErase->click();
        QCOMPARE(int(r.sim->chip().lock), 0xFF);
        QCOMPARE(redBoxes(*r.w), QStringList({"LowByte_Bit2", "LowByte_Bit0"}));  // read again: the clock is not
        factoryAction(*r.w)->trigger();
        r.dialogs.confirmAnswers << true;
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        QVERIFY(!lastDetails(r.dialogs).contains("Note:"));
        QCOMPARE(int(r.sim->chip().lowFuse), 0xE1);
        QCOMPARE(redBoxes(*r.w), QStringList{});
    }

    // The meaning of a change in the confirmation, in the window, for the user's clicks.
    void confirmationMeaning_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<QString>("details");
        QTest::newRow("WDTON programmed")
            << "btWriteFuses" << QStringList{"HighByte_Bit6"}
            << "Changes against the last Read Chip:\nHigh Byte D9h -> 99h: WDTON programmed.\n"
               "Meaning before -> after:\nWatch-dog Timer always on: no -> yes\n"
               "Warning: WDTON programmed: the watchdog is always on and cannot be stopped.";
        QTest::newRow("external clock")
            << "btWriteFuses" << QStringList{"LowByte_Bit0"}
            << "Changes against the last Read Chip:\nLow Byte E1h -> E0h: CKSEL0 programmed.\n"
               "Meaning before -> after:\n"
               "Clock: internal RC oscillator 1 MHz; start-up 6 CK + 64 ms -> external clock; start-up 6 CK + 64 ms\n"
               "Warning: CKSEL0 away from the factory value: the chip needs a different clock in its circuit.";
        QTest::newRow("boot size, two bits")
            << "btWriteFuses" << QStringList{"HighByte_Bit1", "HighByte_Bit2"}
            << "Changes against the last Read Chip:\nHigh Byte D9h -> DFh: BOOTSZ1 unprogrammed, BOOTSZ0 "
               "unprogrammed.\nMeaning before -> after:\n"
               "Boot size: 1024 words from word address $0C00 -> 128 words from word address $0F80";
        QTest::newRow("LB1")
            << "btWriteLocks" << QStringList{"LockByte_Bit0"}
            << "Changes against the last Read Chip:\nLock Bits FFh -> FEh: LB1 programmed.\n"
               "Meaning before -> after:\nLock mode: no lock -> programming disabled\n"
               "Warning: LB1 programmed: Flash can no longer be read or verified until a Chip Erase.";
    }
    void confirmationMeaning()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, clicks);
        QFETCH(QString, details);
        const auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        ShippedRig r(rig::factoryChip(*device));
        r.w->btRead->click();
        for (const QString &c : clicks)
            r.box(c)->click();
        r.sim->clearLog();
        r.w->findChild<QPushButton *>(button)->click();  // answered No
        QCOMPARE(lastDetails(r.dialogs), details);
        QCOMPARE(r.blocks(), QStringList{});
    }

    // Each bit's tooltip is what the device file says it does; the Fuses group's tooltip is
    // what the ticks mean now, field by field.
    void tooltips_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("tip");
        QTest::newRow("BODLEVEL") << "LowByte_Bit7" << "Brownout detector trigger level";
        QTest::newRow("CKSEL0") << "LowByte_Bit0" << "Select Clock Source (SUT_CKSEL bit 0)";
        QTest::newRow("SPIEN") << "HighByte_Bit5" << "Serial program downloading (SPI) enabled";
        QTest::newRow("BLB12") << "LockByte_Bit5" << "Boot Loader Protection Mode (BLB1 bit 1)";
        QTest::newRow("unnamed") << "LockByte_Bit7" << "";
        QTest::newRow("no extended byte") << "ExtendedByte_Bit0" << "";
    }
    void tooltips()
    {
        QFETCH(QString, box);
        QFETCH(QString, tip);
        const auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        ShippedRig r(rig::factoryChip(*device));
        r.w->btRead->click();
        QCOMPARE(r.box(box)->toolTip(), tip);
    }

    void fusesTooltipFollowsTheTicks()
    {
        const auto device = shipped("ATmega8_8A.ini");
        QVERIFY(device);
        ShippedRig r(rig::factoryChip(*device));
        QCOMPARE(r.w->Fuses->toolTip(), QString());  // nothing in force
        r.w->btRead->click();
        const QStringList factory = r.w->Fuses->toolTip().split('\n');
        QCOMPARE(factory.size(), int(device->Fields.size()));
        QCOMPARE(factory.value(0), QString("Brown-out level: 2.7 V"));
        QCOMPARE(factory.value(2), QString("Clock: internal RC oscillator 1 MHz; start-up 6 CK + 64 ms"));
        QVERIFY(factory.contains("Lock mode: no lock"));
        r.box("LowByte_Bit0")->click();
        QCOMPARE(r.w->Fuses->toolTip().split('\n').value(2), QString("Clock: external clock; start-up 6 CK + 64 ms"));
        r.box("LockByte_Bit0")->click();
        QVERIFY(r.w->Fuses->toolTip().split('\n').contains("Lock mode: programming disabled"));
        factoryAction(*r.w)->trigger();
        QCOMPARE(r.w->Fuses->toolTip().split('\n'), factory);
        // Read again: the chip's bits, not the ticks before.
        adaptersim::Chip chip = r.sim->chip();
        chip.lowFuse = 0x24;
        r.sim->setChip(chip);
        r.w->btRead->click();
        QCOMPARE(r.w->Fuses->toolTip().split('\n').value(0), QString("Brown-out level: 4.0 V"));
        QCOMPARE(r.w->Fuses->toolTip().split('\n').value(2),
                 QString("Clock: internal RC oscillator 8 MHz; start-up 6 CK + 64 ms"));
    }

    // A device file without fields and bit descriptions: nothing extra anywhere.
    void noFieldsNothingShown()
    {
        rig::Rig r;  // the test catalogue: its files carry no fields
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: TestMega8"));
        QCOMPARE(r.w->Fuses->toolTip(), QString());
        for (QCheckBox *b : r.w->Fuses->findChildren<QCheckBox *>())
            QCOMPARE(b->toolTip(), QString());
        r.box("HighByte_Bit6")->click();
        r.w->btWriteFuses->click();
        QCOMPARE(lastDetails(r.dialogs), QString("Changes against the last Read Chip:\nHigh Byte D9h -> 99h: WDTON "
                                                 "programmed.\nWarning: WDTON programmed: the watchdog is always on "
                                                 "and cannot be stopped."));
        // Factory values still come from the file's reference bits.
        QVERIFY(r.w->actFactoryValues->isEnabled());
        r.w->actFactoryValues->trigger();
        QCOMPARE(r.box("HighByte_Bit6")->isChecked(), true);
        QCOMPARE(r.w->statusText(),
                 QString("Factory values set; not written to the chip yet."));
    }

    // Enabled whenever a device is in force; the Unknown device counts as none.
    void factoryActionEnabled_data()
    {
        QTest::addColumn<QString>("signature");  // the chip's; "" for no Read Chip
        QTest::addColumn<QString>("choice");     // a manual choice after it, or ""
        QTest::addColumn<bool>("enabled");
        QTest::newRow("at start") << "" << "" << false;
        QTest::newRow("chip found") << "1E 93 07" << "" << true;
        QTest::newRow("chip not found") << "1E 12 34" << "" << false;
        QTest::newRow("no chip") << "00 00 00" << "" << false;
        QTest::newRow("matched without Flash") << "1E 78 02" << "" << true;
        QTest::newRow("chosen by hand") << "" << "TestBig" << true;
        QTest::newRow("AUTO after a chip found") << "1E 93 07" << "* AUTO *" << true;
        QTest::newRow("AUTO after none found") << "1E 12 34" << "* AUTO *" << false;
        QTest::newRow("chosen after none found") << "1E 12 34" << "TestMega8" << true;
    }
    void factoryActionEnabled()
    {
        QFETCH(QString, signature);
        QFETCH(QString, choice);
        QFETCH(bool, enabled);
        rig::Rig r;
        if (!signature.isEmpty()) {
            const QStringList p = signature.split(' ');
            r.setChip([&](adaptersim::Chip &c) {
                c.signature = {std::uint8_t(p[0].toUInt(nullptr, 16)), std::uint8_t(p[1].toUInt(nullptr, 16)),
                               std::uint8_t(p[2].toUInt(nullptr, 16))};
            });
            r.w->btRead->click();
        }
        if (!choice.isEmpty())
            r.choose(choice);
        QCOMPARE(r.w->actFactoryValues->isEnabled(), enabled);
        // Called from code while disabled it changes nothing either.
        const QString before = labels(*r.w);
        const QString status = r.w->statusText();
        r.w->FactoryValuesClick();
        if (!enabled) {
            QCOMPARE(labels(*r.w), before);
            QCOMPARE(r.w->statusText(), status);
        }
    }

    // The action sits in the Edit menu and in the Fuses group's context menu.
    void factoryActionPlaces()
    {
        rig::Rig r;
        QMenu *edit = r.w->findChild<QMenu *>("Edit1");
        QVERIFY(edit);
        QCOMPARE(edit->title(), QString("Edit"));
        QVERIFY(edit->actions().contains(r.w->actFactoryValues));
        QCOMPARE(r.w->actFactoryValues->text(), QString("Factory values"));
        r.w->btRead->click();
        r.w->show();
        QVERIFY(QTest::qWaitForWindowExposed(r.w.get()));
        // A right click on a bit box opens the group's menu, which offers the action.
        QStringList offered;
        QTimer::singleShot(0, [&offered] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                for (QAction *a : menu->actions())
                    offered << a->objectName();
                menu->close();
            }
        });
        QCheckBox *box = r.box("HighByte_Bit6");
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), box->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(box, &event);
        QCOMPARE(offered, QStringList{"actFactoryValues"});
    }

    // Read Chip of a signature that is no chip's: the status bar and a box say so and why; the
    // controls stay as for any chip not found.
    void noChip_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QString>("shown");
        QTest::newRow("00 00 00") << "00 00 00" << "00h 00h 00h";
        QTest::newRow("FF FF FF") << "FF FF FF" << "FFh FFh FFh";
        QTest::newRow("three equal bytes") << "A5 A5 A5" << "A5h A5h A5h";
        QTest::newRow("a chip not in the catalogue") << "1E 12 34" << "";
    }
    void noChip()
    {
        QFETCH(QString, signature);
        QFETCH(QString, shown);
        rig::Rig r;
        const QStringList p = signature.split(' ');
        r.setChip([&](adaptersim::Chip &c) {
            c.signature = {std::uint8_t(p[0].toUInt(nullptr, 16)), std::uint8_t(p[1].toUInt(nullptr, 16)),
                           std::uint8_t(p[2].toUInt(nullptr, 16))};
        });
        r.w->btRead->click();
        QCOMPARE(r.blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
        QCOMPARE(r.w->leDeviceName->text(), QString("Not found"));
        QCOMPARE(r.w->CurDevice->Name, QString("Unknown"));
        QCOMPARE(r.w->btRead->isEnabled(), true);
        for (QWidget *c : std::initializer_list<QWidget *>{r.w->btChipErase, r.w->btWriteLocks, r.w->btWriteFuses,
                                                           r.w->btWriteFlash, r.w->btVerifyFlash, r.w->btReadFlash,
                                                           r.w->btOD, r.w->btSD, r.w->edReadFromFile,
                                                           r.w->edWriteToFile})
            QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
        for (QCheckBox *b : r.w->Fuses->findChildren<QCheckBox *>())
            QVERIFY(!b->isVisibleTo(r.w.get()));
        if (shown.isEmpty()) {
            QCOMPARE(r.w->statusText(), QString("Device not found."));
            QCOMPARE(r.dialogs.shown.size(), 0);
            return;
        }
        QCOMPARE(r.w->leSignature->text(), shown);
        QCOMPARE(r.w->statusText(), "No chip answers: signature " + shown + ".");
        QCOMPARE(r.dialogs.shown.size(), 1);
        QCOMPARE(r.dialogs.shown[0].kind, QString("information"));
        QCOMPARE(r.dialogs.shown[0].text, "The signature reads " + shown
                                              + ": no chip has that signature. The adapter answered, but no chip did.");
        QCOMPARE(r.dialogs.shown[0].details, kCauses);
    }
};

QTEST_MAIN(TestRescue)
#include "test_rescue.moc"
