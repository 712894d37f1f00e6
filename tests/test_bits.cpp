// SPDX-License-Identifier: GPL-3.0-or-later
// The bit panel and the chip operations, against the simulated adapter.
#include "rig.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>

using rig::Rig;

namespace {

const QColor kRed(255, 0, 0);
// An erase in the original program's way: nothing reads Flash afterwards, and the status says so.
const QString kErasedUnchecked = QStringLiteral("Device erased. Not checked for blank Flash: Fast transfers are off.");

QColor captionColour(QCheckBox *box)
{
    return box->palette().color(QPalette::WindowText);
}

QStringList enabledControls(TfmMain &w)
{
    QStringList names;
    for (QWidget *c : std::initializer_list<QWidget *>{w.btChipErase, w.btWriteLocks, w.btWriteFuses, w.btWriteFlash,
                                                       w.btVerifyFlash, w.btReadFlash, w.btOD, w.btSD,
                                                       w.edReadFromFile, w.edWriteToFile})
        if (c->isEnabled())
            names << c->objectName();
    return names;
}

QString labels(TfmMain &w)
{
    return QStringList{w.lbLowByte->text(), w.lbHighByte->text(), w.lbExtendedByte->text(), w.lbLockBits->text()}
        .join(' ');
}

}  // namespace

class TestBits : public QObject {
    Q_OBJECT

private slots:
    void readChip()
    {
        Rig r;
        r.w->btRead->click();
        QCOMPARE(r.blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
        QCOMPARE(r.w->leSignature->text(), QString("1Eh 93h 07h"));
        QCOMPARE(r.w->leDeviceName->text(), QString("TestMega8"));
        QCOMPARE(r.w->statusText(), QString("Found device: TestMega8"));
        QCOMPARE(r.w->lbFlashSize->text(), QString("8192"));
        QCOMPARE(r.w->lbPageSize->text(), QString("64"));
        QCOMPARE(labels(*r.w), QString("E1h D9h FFh FFh"));  // no extended byte named: FFh
        QCOMPARE(r.w->cbChips->currentIndex(), 0);
        QCOMPARE(enabledControls(*r.w).size(), 10);
        QVERIFY(r.dialogs.shown.isEmpty());
        for (QCheckBox *b : r.w->Fuses->findChildren<QCheckBox *>()) {
            const bool named = !b->text().isEmpty();
            QCOMPARE(b->isVisibleTo(r.w.get()), named);
            if (named)
                QVERIFY2(captionColour(b) != kRed, qPrintable(b->objectName()));  // a factory-fresh chip
        }
        QCOMPARE(r.box("LowByte_Bit6")->text(), QString("BODEN"));
        QVERIFY(r.box("LowByte_Bit0")->isChecked());
        QVERIFY(!r.box("LowByte_Bit1")->isChecked());
        QVERIFY(r.box("ExtendedByte_Bit3")->isChecked());  // hidden, but ticked as read
    }

    void colourTable_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("red");
        // Reference of the low byte is E1: bit 0 is 1 (U), bit 1 is 0 (P).
        QTest::newRow("ticked, reference 1") << "LowByte_Bit0" << true << false;
        QTest::newRow("ticked, reference 0") << "LowByte_Bit1" << true << true;
        QTest::newRow("unticked, reference 1") << "LowByte_Bit0" << false << true;
        QTest::newRow("unticked, reference 0") << "LowByte_Bit1" << false << false;
    }
    void colourTable()
    {
        QFETCH(QString, box);
        QFETCH(bool, ticked);
        QFETCH(bool, red);
        Rig r;
        r.w->btRead->click();
        QCheckBox *b = r.box(box);
        if (b->isChecked() != ticked)
            b->click();
        QCOMPARE(b->isChecked(), ticked);
        QCOMPARE(captionColour(b) == kRed, red);
        if (!red)
            QCOMPARE(captionColour(b), r.w->palette().color(QPalette::WindowText));
    }

    void clickRelabelsAndTwiceRestores()
    {
        Rig r;
        r.w->btRead->click();
        const QString before = labels(*r.w);
        r.box("HighByte_Bit6")->click();  // WDTON: programmed by the user
        QCOMPARE(r.w->lbHighByte->text(), QString("99h"));
        QCOMPARE(captionColour(r.box("HighByte_Bit6")), kRed);
        r.box("HighByte_Bit6")->click();
        QCOMPARE(labels(*r.w), before);
        QVERIFY(captionColour(r.box("HighByte_Bit6")) != kRed);
    }

    void partlyNamedLockGroup()
    {
        Rig r;
        r.w->btRead->click();
        QCOMPARE(r.w->lbLockBits->text(), QString("FFh"));
        for (int n = 2; n < 8; ++n) {
            QCheckBox *b = r.box(QString("LockByte_Bit%1").arg(n));
            QVERIFY(!b->isVisibleTo(r.w.get()));
            QVERIFY(b->isChecked());
        }
        r.box("LockByte_Bit0")->click();
        QCOMPARE(r.w->lbLockBits->text(), QString("FEh"));
        QCOMPARE(captionColour(r.box("LockByte_Bit0")), kRed);
    }

    void flashSizeZeroReadsZero()
    {
        Rig r;
        r.w->btRead->click();
        r.choose("NoFlash");
        QCOMPARE(labels(*r.w), QString("00h 00h 00h 00h"));
        r.box("LowByte_Bit1")->click();
        QCOMPARE(labels(*r.w), QString("00h 00h 00h 00h"));
        QCOMPARE(captionColour(r.box("LowByte_Bit1")), kRed);  // colours still follow the ticks
        QCOMPARE(enabledControls(*r.w).size(), 10);
    }

    void manualChoiceRightAfterStart()
    {
        Rig r;
        r.choose("TestMega8");
        QCOMPARE(labels(*r.w), QString("00h 00h FFh 00h"));
        QCOMPARE(enabledControls(*r.w).size(), 10);
        QVERIFY(r.box("LowByte_Bit0")->isVisibleTo(r.w.get()));
        QVERIFY(!r.box("LowByte_Bit0")->isChecked());
        QCOMPARE(r.w->leDeviceName->text(), QString());
        QCOMPARE(r.w->lbPageSize->text(), QString("64"));

        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.blocks(), QStringList({"block 02 00 00 00 00 00 FF 00", "block 01 00 00 00 00 00 00 00"}));
        QCOMPARE(r.dialogs.texts("confirm"), QStringList{"Are you sure want to write Fuses ?"});
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        QCOMPARE(int(r.sim->chip().lowFuse), 0x00);
        QCOMPARE(r.w->lbLowByte->text(), QString("00h"));  // read back from the chip
    }

    void writeFusesAfterReadChip()
    {
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.lock = 0xFC; });
        r.w->btRead->click();
        r.box("LowByte_Bit4")->click();   // SUT0 on: E1 -> F1
        r.box("HighByte_Bit3")->click();  // EESAVE off: D9 -> D1
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        const QStringList blocks = r.blocks();
        QCOMPARE(blocks.size(), 3);
        QCOMPARE(blocks[1], QString("block 02 1E 93 07 F1 D1 FF FC"));
        QCOMPARE(blocks[2], QString("block 01 00 00 00 00 00 00 00"));
        QCOMPARE(r.w->lbLowByte->text(), QString("F1h"));
        QCOMPARE(r.w->lbHighByte->text(), QString("D1h"));
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
    }

    void unknownDeviceSendsFF()
    {
        Rig r;
        r.choose("* AUTO *");  // the Unknown device: nothing named
        QVERIFY(r.w->Fuses->findChildren<QCheckBox *>().size() == 32);
        for (QCheckBox *b : r.w->Fuses->findChildren<QCheckBox *>())
            QVERIFY(!b->isVisibleTo(r.w.get()));
        QCOMPARE(r.w->lbPageSize->text(), QString("0"));
        QCOMPARE(enabledControls(*r.w).size(), 10);
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        r.dialogs.confirmAnswers.enqueue(true);
        r.choose("* AUTO *");
        r.w->btWriteLocks->click();
        const QStringList blocks = r.blocks();
        QCOMPARE(blocks[0], QString("block 02 00 00 00 FF FF FF 00"));
        QCOMPARE(blocks[2].left(12), QString("block 03 1E "));
        QVERIFY(blocks[2].endsWith(" FF"));
    }

    void hiddenBitsWrittenBackAsRead()
    {
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.lock = 0x3F; });  // the unnamed top bits read 0
        r.w->btRead->click();
        r.box("LockByte_Bit1")->click();  // LB2 programmed: 3F -> 3D
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteLocks->click();
        QCOMPARE(r.dialogs.texts("confirm"), QStringList{"Are you sure want to write Lock Bits ?"});
        QCOMPARE(r.blocks()[1], QString("block 03 1E 93 07 E1 D9 FF 3D"));
        QCOMPARE(int(r.sim->chip().lock), 0x3D);
        QCOMPARE(r.w->statusText(), QString("Lock Bits programming completed."));
    }

    void cancelledLockWriteThenErase()
    {
        Rig r;
        r.w->btRead->click();
        r.box("LockByte_Bit0")->click();  // FE
        r.dialogs.confirmAnswers.enqueue(false);
        r.w->btWriteLocks->click();
        QCOMPARE(r.w->statusText(), QString("Lock Bits programming is canceled."));
        QCOMPARE(r.blocks().size(), 1);
        QCOMPARE(r.w->lbLockBits->text(), QString("FEh"));  // the panel is left as it was

        r.dialogs.confirmAnswers.enqueue(true);
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btChipEraseClick();
        QCOMPARE(r.dialogs.texts("confirm").mid(1),
                 QStringList({"Are you sure want to erase chip ?", "Really ?"}));
        QCOMPARE(r.blocks().mid(1), QStringList({"block 04 1E 93 07 E1 D9 FF FE", "block 01 00 00 00 00 00 00 00"}));
        QCOMPARE(r.w->statusText(), kErasedUnchecked);
        QCOMPARE(r.w->lbLockBits->text(), QString("FFh"));
    }

    void eraseAnswers_data()
    {
        QTest::addColumn<QList<bool>>("answers");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("blocks");
        QTest::newRow("No") << QList<bool>{false} << "Device erasing is canceled." << 1;
        QTest::newRow("Yes, No") << QList<bool>{true, false} << "Found device: TestMega8" << 1;
        QTest::newRow("Yes, Yes") << QList<bool>{true, true} << kErasedUnchecked << 3;
    }
    void eraseAnswers()
    {
        QFETCH(QList<bool>, answers);
        QFETCH(QString, status);
        QFETCH(int, blocks);
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.flash[10] = 0x12; c.lock = 0xFC; });
        r.w->btRead->click();
        for (bool a : answers)
            r.dialogs.confirmAnswers.enqueue(a);
        r.w->btChipErase->click();
        QCOMPARE(r.w->statusText(), status);
        QCOMPARE(r.blocks().size(), blocks);
        QCOMPARE(int(r.sim->chip().flash[10]), blocks == 3 ? 0xFF : 0x12);
    }

    void silentAdapter()
    {
        // No reply is no chip: nothing is identified from the block as it was sent.
        adaptersim::Options o;
        o.silent = true;
        Rig r(o);
        r.choose("TestMega8");
        r.w->btRead->click();
        QCOMPARE(r.w->leSignature->text(), QString());
        QCOMPARE(r.w->leDeviceName->text(), QString());
        QCOMPARE(r.w->statusText(), QString("Can`t read chip."));
        QCOMPARE(r.w->cbChips->currentIndex(), 0);
        QCOMPARE(r.w->CurDevice->Name, QString("Unknown"));
        QVERIFY(enabledControls(*r.w).isEmpty());
        for (QCheckBox *b : r.w->Fuses->findChildren<QCheckBox *>())
            QVERIFY(!b->isChecked());
        QCOMPARE(r.dialogs.texts("information"), QStringList{"No answer from programmer on " + r.port() + " port."});
    }

    void halfReplyIsNoChip_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("4 of 8") << 4;
        QTest::newRow("7 of 8") << 7;
        QTest::newRow("none") << 0;
    }
    void halfReplyIsNoChip()
    {
        // A reply cut short used to identify the chip from its first bytes and tick every fuse
        // and lock bit from the zeros of the block sent: a Write Lock Bits then locked the chip.
        QFETCH(int, count);
        Rig r;
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: TestMega8"));
        r.setOptions([&](adaptersim::Options &o) { o.shortCode = 1; o.shortCount = count; });
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Can`t read chip."));
        QCOMPARE(r.w->leDeviceName->text(), QString());
        QCOMPARE(r.w->leSignature->text(), QString());
        QCOMPARE(r.w->CurDevice->Name, QString("Unknown"));
        QCOMPARE(r.w->AutoDevice->Name, QString("Unknown"));
        QCOMPARE(r.w->lbFlashSize->text(), QString("0"));
        QVERIFY(enabledControls(*r.w).isEmpty());
        QVERIFY(r.box("LowByte_Bit0")->isChecked());  // still as the last whole reply left it
        QVERIFY(r.box("LockByte_Bit0")->isChecked());
        QCOMPARE(r.dialogs.texts("information"), QStringList{"No answer from programmer on " + r.port() + " port."});
    }

    void writesReadBack_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("click");     // box the user changes before the write
        QTest::addColumn<QString>("chipLine");  // "field=value" the chip reads after the write
        QTest::addColumn<QString>("status");
        QTest::newRow("fuses read back") << "btWriteFuses" << "HighByte_Bit6" << "" << "Fuses programming completed.";
        QTest::newRow("fuses not taken") << "btWriteFuses" << "HighByte_Bit6" << "high=D9"
                                         << "Fuses programming failed: High Byte reads D9h, sent 99h.";
        QTest::newRow("two bytes differ") << "btWriteFuses" << "HighByte_Bit6" << "high=D9,low=E0"
                                          << "Fuses programming failed: Low Byte reads E0h, sent E1h; "
                                             "High Byte reads D9h, sent 99h.";
        QTest::newRow("unnamed fuse bits ignored") << "btWriteFuses" << "HighByte_Bit6" << "ext=00"
                                                   << "Fuses programming completed.";
        QTest::newRow("locks read back") << "btWriteLocks" << "LockByte_Bit0" << "" << "Lock Bits programming completed.";
        QTest::newRow("locks not taken") << "btWriteLocks" << "LockByte_Bit0" << "lock=3F"
                                         << "Lock Bits programming failed: Lock Bits reads 3Fh, sent 3Eh.";
        QTest::newRow("unnamed lock bits read 1") << "btWriteLocks" << "LockByte_Bit0" << "lock=FE"
                                                  << "Lock Bits programming completed.";
        QTest::newRow("silent after the write") << "btWriteFuses" << "HighByte_Bit6" << "silent"
                                                << "Fuses programming failed: chip could not be read.";
        QTest::newRow("erased") << "btChipErase" << "" << "" << kErasedUnchecked;
        QTest::newRow("lock bits stay") << "btChipErase" << "" << "lock=FC"
                                        << "Device erasing failed: Lock Bits reads FCh, expected FFh.";
        QTest::newRow("unnamed lock bits after erase") << "btChipErase" << "" << "lock=03" << kErasedUnchecked;
        QTest::newRow("no longer identified") << "btChipErase" << "" << "sig=00"
                                              << "Device erasing failed: the chip reads signature 00h 00h 00h, "
                                                 "not that of TestMega8.";
        // Only bit 7 differs: RSTDISBL, the bit that locks serial programming out.
        QTest::newRow("bit 7 not taken") << "btWriteFuses" << "HighByte_Bit7" << "high=D9"
                                         << "Fuses programming failed: High Byte reads D9h, sent 59h.";
        // Another chip answers the closing Read Chip, with the very bits that were sent.
        QTest::newRow("another chip after the write") << "btWriteFuses" << "HighByte_Bit6" << "sig=1E 95 0F,high=99"
                                                      << "Fuses programming failed: the chip reads signature 1Eh 95h "
                                                         "0Fh, not that of TestMega8.";
        QTest::newRow("another chip after the erase") << "btChipErase" << "" << "sig=1E 95 0F"
                                                      << "Device erasing failed: the chip reads signature 1Eh 95h "
                                                         "0Fh, not that of TestMega8.";
        QTest::newRow("silent after the erase") << "btChipErase" << "" << "silent"
                                                << "Device erasing failed: chip could not be read.";
    }
    void writesReadBack()
    {
        // A write counts as done only when its closing Read Chip shows the named bits as sent.
        QFETCH(QString, button);
        QFETCH(QString, click);
        QFETCH(QString, chipLine);
        QFETCH(QString, status);
        Rig r;
        // Lock writes start from a chip whose unnamed lock bits read 0, so they are sent as 0.
        r.setChip([&](adaptersim::Chip &c) { c.lock = button == "btWriteLocks" ? 0x3F : 0xFC; });
        r.w->btRead->click();
        if (button == "btChipErase")
            r.dialogs.confirmAnswers << true << true;
        else
            r.dialogs.confirmAnswers << true;
        if (!click.isEmpty())
            r.box(click)->click();
        // What the chip shows once the write is over: set as the closing Read Chip arrives.
        r.sim->setLogHandler([&](const std::string &line) {
            if (chipLine == "silent") {  // options reach the block after the one just logged
                if (line.rfind("block 01", 0) != 0)
                    r.setOptions([](adaptersim::Options &o) { o.silent = true; });
                return;
            }
            if (line.rfind("block 01", 0) != 0 || chipLine.isEmpty())
                return;
            auto chip = r.sim->chip();
            for (const QString &item : chipLine.split(',')) {
                const QStringList kv = item.split('=');
                const auto value = std::uint8_t(kv[1].toUInt(nullptr, 16));
                if (kv[0] == "high") chip.highFuse = value;
                if (kv[0] == "low") chip.lowFuse = value;
                if (kv[0] == "ext") chip.extFuse = value;
                if (kv[0] == "lock") chip.lock = value;
                if (kv[0] == "sig") {
                    const QStringList b = kv[1].split(' ');
                    chip.signature = b.size() == 3 ? std::array<std::uint8_t, 3>{std::uint8_t(b[0].toUInt(nullptr, 16)),
                                                                                 std::uint8_t(b[1].toUInt(nullptr, 16)),
                                                                                 std::uint8_t(b[2].toUInt(nullptr, 16))}
                                                   : std::array<std::uint8_t, 3>{value, value, value};
                }
            }
            r.sim->setChip(chip);
        });
        r.findChild(button)->click();
        r.sim->setLogHandler({});
        QCOMPARE(r.w->statusText(), status);
        QCOMPARE(r.blocks().size(), 3);  // the write and its Read Chip
    }

    void confirmationTellsTheChange()
    {
        // Below the question: the change against the last Read Chip under the device in force,
        // or, with no chip read since the device was chosen, that every bit goes as shown.
        Rig r;
        r.choose("TestMega8");
        r.w->btWriteFuses->click();
        QCOMPARE(r.dialogs.shown.last().details,
                 QString("No chip has been read since the device was chosen: every bit is written as shown.\n"
                         "Low Byte 00h, High Byte 00h, Extended Byte FFh.\n"
                         "Warning: RSTDISBL programmed: the reset pin becomes an I/O pin, serial programming stops, "
                         "and only high-voltage programming recovers the chip.\n"
                         "Warning: WDTON programmed: the watchdog is always on and cannot be stopped.\n"
                         "Warning: CKSEL0, SUT1 away from the factory value: the chip needs a different clock in "
                         "its circuit."));
        r.w->btRead->click();
        r.box("HighByte_Bit7")->click();
        r.w->btWriteFuses->click();
        QCOMPARE(r.dialogs.shown.last().text, QString("Are you sure want to write Fuses ?"));
        QCOMPARE(r.dialogs.shown.last().details,
                 QString("Changes against the last Read Chip:\nHigh Byte D9h -> 59h: RSTDISBL programmed.\n"
                         "Warning: RSTDISBL programmed: the reset pin becomes an I/O pin, serial programming stops, "
                         "and only high-voltage programming recovers the chip."));
        r.choose("TestBig");
        r.w->btWriteFuses->click();
        QVERIFY(r.dialogs.shown.last().details.startsWith("No chip has been read since the device was chosen"));
        r.choose("* AUTO *");  // the device of the last Read Chip again: its bytes count again
        r.w->btWriteLocks->click();
        QCOMPARE(r.dialogs.shown.last().details, QString("No bit changes against the last Read Chip."));
        QCOMPARE(r.blocks().size(), 1);  // every question answered No
    }

    void answersOtherThanYesSendNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QList<bool>>("answers");
        QTest::addColumn<QString>("status");
        QTest::newRow("fuses") << "btWriteFuses" << QList<bool>{false} << "Fuses programming is canceled.";
        QTest::newRow("locks") << "btWriteLocks" << QList<bool>{false} << "Lock Bits programming is canceled.";
        QTest::newRow("erase") << "btChipErase" << QList<bool>{false} << "Device erasing is canceled.";
        QTest::newRow("erase, Really? no") << "btChipErase" << QList<bool>{true, false} << "Found device: TestMega8";
    }
    void answersOtherThanYesSendNothing()
    {
        QFETCH(QString, button);
        QFETCH(QList<bool>, answers);
        QFETCH(QString, status);
        Rig r;
        r.w->btRead->click();
        r.box("HighByte_Bit6")->click();
        r.box("LockByte_Bit0")->click();
        const adaptersim::Chip before = r.sim->chip();
        for (bool a : answers)
            r.dialogs.confirmAnswers << a;
        r.findChild(button)->click();
        QCOMPARE(r.w->statusText(), status);
        QCOMPARE(r.blocks().size(), 1);  // the Read Chip only
        QCOMPARE(int(r.sim->chip().highFuse), int(before.highFuse));
        QCOMPARE(int(r.sim->chip().lock), int(before.lock));
    }

    void realBoxEscapeAndCloseSendNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("how");
        for (const char *b : {"btWriteFuses", "btWriteLocks", "btChipErase"})
            for (const char *how : {"Escape", "close", "No"})
                QTest::newRow(qPrintable(QString("%1, %2").arg(b, how))) << QString(b) << QString(how);
    }
    void realBoxEscapeAndCloseSendNothing()
    {
        QFETCH(QString, button);
        QFETCH(QString, how);
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("cpu"));
        for (const rig::DeviceSpec &d : rig::testDevices())
            rig::writeFile(dir.filePath(QStringLiteral("cpu/") + d.file), d.text);
        adaptersim::Simulator sim;
        QVERIFY(sim.start());
        WidgetDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.PortName = QString::fromStdString(sim.devicePath());
        w.btRead->click();
        w.findChild<QCheckBox *>("HighByte_Bit6")->click();
        QString informative;
        bool answered = false;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            informative = box->informativeText();
            if (how == "Escape")
                QTest::keyClick(box, Qt::Key_Escape);
            else if (how == "close")
                box->close();
            else
                for (QAbstractButton *b : box->buttons())
                    if (b->text() == "&No")
                        b->click();
            answered = true;
        });
        w.findChild<QPushButton *>(button)->click();
        QVERIFY(answered);
        // The Read Chip only, and the closing block that asks whether the board is ours.
        QStringList sent;
        for (const std::string &l : sim.log())
            if (l.rfind("block 00 ", 0) != 0)
                sent << QString::fromStdString(l);
        QCOMPARE(sent.size(), 1);
        QVERIFY2(sent.front().startsWith("block 01 "), qPrintable(sent.front()));
        QCOMPARE(int(sim.chip().highFuse), 0xD9);
        if (button == "btChipErase")
            QCOMPARE(w.statusText(), QString("Device erasing is canceled."));
        if (button == "btWriteFuses") {
            QCOMPARE(w.statusText(), QString("Fuses programming is canceled."));
            QVERIFY2(informative.contains("WDTON programmed"), qPrintable(informative));
        }
    }

    void missingPortAbortsWrites_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("confirms");
        QTest::newRow("fuses") << "btWriteFuses" << 1;
        QTest::newRow("locks") << "btWriteLocks" << 1;
        QTest::newRow("erase") << "btChipErase" << 2;
    }
    void missingPortAbortsWrites()
    {
        QFETCH(QString, button);
        QFETCH(int, confirms);
        Rig r;
        r.w->btRead->click();
        r.w->PortName = "/dev/tarvane-missing";
        for (int i = 0; i < confirms; ++i)
            r.dialogs.confirmAnswers.enqueue(true);
        r.w->findChild<QPushButton *>(button)->click();
        QCOMPARE(r.dialogs.texts("information").size(), 1);  // below its first line: why, on Linux
        QCOMPARE(r.dialogs.texts("information").first().section('\n', 0, 0), QString("Can`t open /dev/tarvane-missing port."));
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QCOMPARE(r.w->leDeviceName->text(), QString("TestMega8"));  // no closing Read Chip
    }

    void manualChoiceAndBack()
    {
        Rig r;
        r.w->btRead->click();
        const TDevice *identified = r.w->CurDevice;
        r.box("LowByte_Bit1")->click();
        r.choose("TestBig");
        QCOMPARE(r.w->CurDevice->Name, QString("TestBig"));
        QCOMPARE(r.w->AutoDevice, identified);
        QCOMPARE(r.box("LowByte_Bit7")->text(), QString("CKDIV8"));
        QVERIFY(!r.box("LowByte_Bit6")->isVisibleTo(r.w.get()));
        QVERIFY(r.box("LowByte_Bit1")->isChecked());  // ticks survive the choice
        QCOMPARE(r.w->lbLowByte->text(), QString("E3h"));
        QCOMPARE(r.w->leDeviceName->text(), QString("TestMega8"));
        QCOMPARE(r.w->statusText(), QString("Found device: TestMega8"));
        QCOMPARE(r.w->lbFlashSize->text(), QString("32768"));
        r.choose("* AUTO *");
        QCOMPARE(r.w->CurDevice, identified);
        QCOMPARE(r.box("LowByte_Bit6")->text(), QString("BODEN"));

        r.choose("TestBig");
        r.w->btRead->click();  // puts the selection and the device back on the identification
        QCOMPARE(r.w->cbChips->currentIndex(), 0);
        QCOMPARE(r.w->CurDevice, identified);
    }

    void lastOfSameSignatureWins()
    {
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.signature = {0x1E, 0x77, 0x01}; });
        r.w->btRead->click();
        QCOMPARE(r.w->CurDevice->Name, QString("Page256"));  // last of six in sorted order
        QCOMPARE(r.w->statusText(), QString("Found device: Page256"));
    }

    void matchWithoutFlashIsNotFound()
    {
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.signature = {0x1E, 0x78, 0x02}; });
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Device not found."));
        QCOMPARE(r.w->leDeviceName->text(), QString("Not found"));
        QCOMPARE(r.w->CurDevice->Name, QString("NoFlash"));
        QCOMPARE(r.w->AutoDevice->Name, QString("Unknown"));
        QCOMPARE(r.w->lbPageSize->text(), QString("64"));
        QCOMPARE(r.w->lbFlashSize->text(), QString("0"));
        QCOMPARE(r.box("LowByte_Bit6")->text(), QString("BODEN"));  // its names are shown
        QCOMPARE(labels(*r.w), QString("00h 00h 00h 00h"));
        QVERIFY(enabledControls(*r.w).isEmpty());
    }
};

QTEST_MAIN(TestBits)
#include "test_bits.moc"
