// The bit panel and the chip operations, against the simulated adapter.
#include "rig.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

using rig::Rig;

namespace {

const QColor kRed(255, 0, 0);

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
        QCOMPARE(r.w->statusText(), QString("Device erased."));
        QCOMPARE(r.w->lbLockBits->text(), QString("FFh"));
    }

    void eraseAnswers_data()
    {
        QTest::addColumn<QList<bool>>("answers");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("blocks");
        QTest::newRow("No") << QList<bool>{false} << "Device erasing is canceled." << 1;
        QTest::newRow("Yes, No") << QList<bool>{true, false} << "Found device: TestMega8" << 1;
        QTest::newRow("Yes, Yes") << QList<bool>{true, true} << "Device erased." << 3;
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
        adaptersim::Options o;
        o.silent = true;
        Rig r(o);
        r.choose("TestMega8");
        r.w->btRead->click();
        QCOMPARE(r.w->leSignature->text(), QString("00h 00h 00h"));
        QCOMPARE(r.w->leDeviceName->text(), QString("Not found"));
        QCOMPARE(r.w->statusText(), QString("Device not found."));
        QCOMPARE(r.w->cbChips->currentIndex(), 0);
        QVERIFY(enabledControls(*r.w).isEmpty());
        for (QCheckBox *b : r.w->Fuses->findChildren<QCheckBox *>())
            QVERIFY(!b->isChecked());
        QVERIFY(r.dialogs.shown.isEmpty());  // a silent adapter is no port failure
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
