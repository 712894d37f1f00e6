// SPDX-License-Identifier: GPL-3.0-or-later
// The window's EEPROM menu, what Chip Erase says and offers about the EEPROM, the erase offered
// before a Flash write, the verify after it, and the calibration bytes with the signature:
// against the simulated adapter playing our board or a plain adapter on a real pty, and against
// the firmware in simulation. Intel HEX files are made and read by avr-objcopy, not by our own
// image code.
#include "eepromfiles.h"
#include "rig.h"
#ifdef TARVANE_WITH_HVSIM
#include "hvrig.h"
#endif

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimer>

using rig::bytesOf;
using rig::eepromFileBytes;
using rig::isHexName;
using rig::makeEepromFile;
using rig::objcopy;
using rig::readFile;
using rig::Rig;
using rig::writeFile;
using Shown = ScriptedDialogs::Shown;

namespace {

const QString kNoEeprom = QStringLiteral("This adapter cannot program EEPROM. The open AVR Tarvane board can.");

adaptersim::Options ours()
{
    adaptersim::Options o;
    o.ours = true;
    return o;
}

// TestBig in the socket: 32 KB, 1 KB of EEPROM written byte by byte, one calibration byte, no EESAVE.
void asBig(adaptersim::Chip &c)
{
    c.signature = {0x1E, 0x95, 0x0F};
    c.flash.assign(32768, 0xFF);
    c.pageSize = 128;
    c.eeprom.assign(1024, 0xFF);
    c.eepromPageSize = 0;
    c.calibration = {0x9C};
    c.eesaveFuse = -1;
}

QByteArray pattern(int size, int seed = 1)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 29 + seed * 11 + i / 7) & 0xFF);
    return data;
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.value(0).toString();
    return out;
}

int highest(const QSignalSpy &spy)
{
    int top = 0;
    for (const QList<QVariant> &args : spy)
        top = std::max(top, args.value(0).toInt());
    return top;
}

// The command codes of the blocks the adapter received.
QList<int> codes(const QStringList &blocks)
{
    QList<int> out;
    for (const QString &line : blocks)
        out << line.mid(6, 2).toInt(nullptr, 16);
    return out;
}

// A menu action as the user chooses it: it must be there to choose.
void trigger(QAction *action)
{
    QVERIFY(action);
    QVERIFY2(action->isEnabled(), qPrintable(action->objectName()));
    action->trigger();
}

void click(QPushButton *button)
{
    QVERIFY(button);
    QVERIFY2(button->isEnabled(), qPrintable(button->objectName()));
    button->click();
}

// What a real modal box showed and which button Enter pressed: the box is answered with Return.
struct BoxSeen {
    QString text;
    QString defaultButton;
};

void pressReturnOnBox(BoxSeen &seen)
{
    QTimer::singleShot(0, [&seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            pressReturnOnBox(seen);
            return;
        }
        seen.text = box->text();
        for (QAbstractButton *b : box->buttons()) {
            auto *push = qobject_cast<QPushButton *>(b);
            if (push && push->isDefault())
                seen.defaultButton = b->text();
        }
        QPointer<QMessageBox> guard = box;
        QTest::keyClick(box, Qt::Key_Return);
        // A box the key did not close is closed, so that a failing test does not hang.
        QTimer::singleShot(2000, [guard] {
            if (guard && guard->isVisible())
                guard->close();
        });
    });
}

}  // namespace

class TestFeatures : public QObject {
    Q_OBJECT

    // The chip read, as the user starts; the log and the boxes from then on.
    static void ready(Rig &r, const QString &device)
    {
        click(r.w->btRead);
        QCOMPARE(r.w->CurDevice->Name, device);
        r.sim->clearLog();
        r.dialogs.shown.clear();
        r.dialogs.fileRequests.clear();
    }

    static QByteArray eeprom(const Rig &r) { return bytesOf(r.sim->chip().eeprom); }

    static void needObjcopy(const QString &file)
    {
        if (isHexName(file) && objcopy().isEmpty())
            QSKIP("avr-objcopy not found");
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("TARVANE_BIN_DIR").isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
    }

    // --- The EEPROM menu ---------------------------------------------------------------

    void eepromMenu()
    {
        // Between File and Help, its three actions usable once a chip is read.
        Rig r(ours());
        QStringList titles;
        for (QAction *a : r.w->menuBar()->actions())
            titles << a->text();
        const qsizetype at = titles.indexOf("EEPROM");
        QVERIFY2(at > titles.indexOf("File") && at < titles.indexOf("Help"), qPrintable(titles.join('|')));
        QStringList items;
        for (QAction *a : r.w->menuBar()->actions()[at]->menu()->actions())
            items << a->text();
        QCOMPARE(items, QStringList({"Write EEPROM...", "Verify EEPROM...", "Read EEPROM..."}));
        const QList<QAction *> actions = {r.w->actWriteEeprom, r.w->actVerifyEeprom, r.w->actReadEeprom};
        for (QAction *a : actions)
            QVERIFY(!a->isEnabled());
        click(r.w->btRead);
        for (QAction *a : actions)
            QVERIFY(a->isEnabled());
    }

    void eepromMenuRoundTrip_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("page");  // the part's EEPROM page; 0: written byte by byte
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::newRow("pages, .eep, whole") << "TestMega8" << 4 << "cal.eep" << 512;
        QTest::newRow("pages, raw, part of a page") << "TestMega8" << 4 << "cal.bin" << 77;
        QTest::newRow("bytes, .hex") << "TestBig" << 0 << "cal.hex" << 300;
        QTest::newRow("bytes, raw without an extension") << "TestBig" << 0 << "settings" << 1024;
    }
    void eepromMenuRoundTrip()
    {
        // Written from the file, verified against it and read back into a file of the same kind:
        // the same bytes every way, each action asking for its file and offering the last one.
        QFETCH(QString, device);
        QFETCH(int, page);
        QFETCH(QString, file);
        QFETCH(int, size);
        needObjcopy(file);
        Rig r(ours());
        r.setFast(true);
        if (device == "TestBig")
            r.setChip(asBig);
        ready(r, device);
        const QString name = r.path(file);
        const QByteArray data = pattern(size, 9);
        QVERIFY(makeEepromFile(name, data));
        const int eepromSize = int(r.sim->chip().eeprom.size());

        QSignalSpy statuses(r.w->StatusBar1, &QStatusBar::messageChanged);
        QSignalSpy progress(r.w->ProgressBar1, &QProgressBar::valueChanged);
        r.dialogs.fileAnswers << name;
        trigger(r.w->actWriteEeprom);
        QCOMPARE(r.dialogs.shown, QList<Shown>({{"open", ""}}));  // none used before
        QCOMPARE(r.w->statusText(), QString("EEPROM programming completed."));
        QCOMPARE(texts(statuses).value(0), QString("Programming EEPROM..."));
        QVERIFY2(texts(statuses).contains("Verifying EEPROM. Errors: 0"), qPrintable(texts(statuses).join('\n')));
        QCOMPARE(eeprom(r).left(size), data);
        QCOMPARE(eeprom(r).mid(size), QByteArray(eepromSize - size, char(0xFF)));
        QCOMPARE(r.sim->eepromWrites(), long(page > 0 ? (size + page - 1) / page : size));
        QVERIFY(highest(progress) > 0);
        QCOMPARE(r.w->ProgressBar1->value(), 0);
        // Nothing but EEPROM was written: no page, fuse, lock or erase command.
        for (int code : codes(r.blocks()))
            QVERIFY2(code != 2 && code != 3 && code != 4 && code != 5, qPrintable(r.blocks().join('\n')));
        QVERIFY(r.wire().filter(QRegularExpression("^block 13 00 ")).isEmpty());

        r.dialogs.fileAnswers << name;
        statuses.clear();
        trigger(r.w->actVerifyEeprom);
        QCOMPARE(r.dialogs.shown.last(), Shown({"open", name}));
        QCOMPARE(r.w->statusText(), QString("EEPROM verifying completed. No errors."));
        QCOMPARE(texts(statuses).value(0), QString("Verifying EEPROM. Errors: 0"));

        const QString back = r.path("back" + (file.contains('.') ? file.mid(file.indexOf('.')) : QString()));
        r.dialogs.fileAnswers << back;
        progress.clear();
        trigger(r.w->actReadEeprom);
        QCOMPARE(r.dialogs.shown.last(), Shown({"save", name}));
        QCOMPARE(r.dialogs.fileRequests.last().defaultSuffix, QString("eep"));
        QCOMPARE(r.w->statusText(), QString("EEPROM reading completed."));
        QVERIFY(highest(progress) > 0);
        QCOMPARE(eepromFileBytes(back), eeprom(r));

        // The last file is kept with the settings: the next start offers it.
        ScriptedDialogs later;
        TfmMain again(r.dir.path(), later);
        again.PortName = r.port();
        click(again.btRead);
        trigger(again.actVerifyEeprom);
        QCOMPARE(later.shown, QList<Shown>({{"open", back}}));
    }

    void eepromDifferencesCounted()
    {
        Rig r(ours());
        r.setFast(true);
        const QByteArray data = pattern(200, 4);
        r.setChip([&](adaptersim::Chip &c) { std::copy(data.begin(), data.end(), c.eeprom.begin()); });
        ready(r, "TestMega8");
        QByteArray file = data;
        for (int at : {0, 63, 64, 199})
            file[at] = char(~file[at]);
        QVERIFY(writeFile(r.path("v.bin"), file));
        QSignalSpy statuses(r.w->StatusBar1, &QStatusBar::messageChanged);
        r.dialogs.fileAnswers << r.path("v.bin");
        trigger(r.w->actVerifyEeprom);
        QCOMPARE(texts(statuses), QStringList({"Verifying EEPROM. Errors: 0", "Verifying EEPROM. Errors: 1",
                                               "Verifying EEPROM. Errors: 2", "Verifying EEPROM. Errors: 3",
                                               "Verifying EEPROM. Errors: 4", "EEPROM verifying failed: 4 errors."}));
        QCOMPARE(eeprom(r).left(200), data);  // a verify writes nothing
        QCOMPARE(r.sim->eepromWrites(), 0L);
    }

    void eepromWriteReadBack()
    {
        // The board takes the writes but programs nothing: the read back that is part of every
        // write counts what did not land.
        Rig r(ours());
        r.setFast(true);
        ready(r, "TestMega8");
        r.setOptions([](adaptersim::Options &o) { o.ignoreCode = 0x13; });
        const QByteArray data = pattern(100, 2);
        const int differ = int(std::count_if(data.begin(), data.end(), [](char b) { return b != char(0xFF); }));
        QVERIFY(writeFile(r.path("w.bin"), data));
        r.dialogs.fileAnswers << r.path("w.bin");
        trigger(r.w->actWriteEeprom);
        QCOMPARE(r.w->statusText(), QString("EEPROM verifying failed: %1 errors.").arg(differ));
        QCOMPARE(eeprom(r), QByteArray(512, char(0xFF)));
    }

    void eepromFileDialogCancelled_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("write") << "actWriteEeprom";
        QTest::newRow("verify") << "actVerifyEeprom";
        QTest::newRow("read") << "actReadEeprom";
    }
    void eepromFileDialogCancelled()
    {
        QFETCH(QString, action);
        Rig r(ours());
        r.setFast(true);
        ready(r, "TestMega8");
        trigger(r.w->findChild<QAction *>(action));
        QCOMPARE(r.dialogs.shown.size(), 1);
        QVERIFY(r.wire().isEmpty());
    }

    void plainAdapterRefused_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("write") << "actWriteEeprom";
        QTest::newRow("verify") << "actVerifyEeprom";
        QTest::newRow("read") << "actReadEeprom";
    }
    void plainAdapterRefused()
    {
        // An adapter of the original protocol: asked whether it is our board (a cmdEnd, which
        // every adapter takes), told no, and sent nothing else.
        QFETCH(QString, action);
        Rig r;
        r.setFast(true);
        ready(r, "TestMega8");
        const QString file = r.path(action == "actReadEeprom" ? "back.bin" : "cal.bin");
        if (action != "actReadEeprom")
            QVERIFY(writeFile(file, pattern(64)));
        const QByteArray before = eeprom(r);
        r.dialogs.fileAnswers << file;
        trigger(r.w->findChild<QAction *>(action));
        QCOMPARE(r.dialogs.texts("information"), QStringList{kNoEeprom});
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        const QStringList wire = r.wire();
        QCOMPARE(wire.size(), 1);
        QVERIFY2(wire[0].startsWith("block 00 00 "), qPrintable(wire[0]));
        QCOMPARE(eeprom(r), before);
        QCOMPARE(r.sim->eepromWrites(), 0L);
        if (action == "actReadEeprom")
            QVERIFY(!QFile::exists(file));
    }

    void ourBoardWithoutFastTransfers()
    {
        // The original program's way sends nothing of its own: not even the question.
        Rig r(ours());
        ready(r, "TestMega8");
        QVERIFY(writeFile(r.path("cal.bin"), pattern(64)));
        r.dialogs.fileAnswers << r.path("cal.bin");
        trigger(r.w->actWriteEeprom);
        const QStringList boxes = r.dialogs.texts("information");
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(kNoEeprom), qPrintable(boxes[0]));
        QVERIFY(r.wire().isEmpty());
        QCOMPARE(r.sim->eepromWrites(), 0L);
    }

    // --- Chip Erase and the EEPROM -----------------------------------------------------

    void eraseAndEeprom_data()
    {
        QTest::addColumn<bool>("ourBoard");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<int>("high");        // TestMega8's high fuse: EESAVE is bit 3
        QTest::addColumn<bool>("read");       // the chip was read (else chosen from the list)
        QTest::addColumn<QString>("backup");  // the answer to the offer: "yes", "no", "cancel"; "": none
        QTest::addColumn<QString>("informative");
        const QString clears = "EESAVE is unprogrammed: the erase also clears the EEPROM.";
        const QString kept = "EESAVE is programmed: the EEPROM is kept.";
        const QString unknown = "Whether the erase also clears the EEPROM is not known: read the chip first.";
        QTest::newRow("cleared, our board, saved first") << true << true << 0xD9 << true << "yes" << clears;
        QTest::newRow("cleared, our board, not saved") << true << true << 0xD9 << true << "no" << clears;
        QTest::newRow("cleared, our board, no file chosen") << true << true << 0xD9 << true << "cancel" << clears;
        QTest::newRow("kept, our board") << true << true << 0xD1 << true << "" << kept;
        QTest::newRow("cleared, a plain adapter") << false << true << 0xD9 << true << "" << clears;
        QTest::newRow("cleared, our board the original way") << true << false << 0xD9 << true << "" << clears;
        QTest::newRow("not read") << true << true << 0xD9 << false << "" << unknown;
        // Parts whose device file names no calibration byte, or no EEPROM at all.
        QTest::newRow("cleared, our board, no calibration bytes, saved first") << true << true << 0xD9 << true << "yes"
                                                                               << clears;
        QTest::newRow("cleared, our board, no EEPROM size") << true << true << 0xD9 << true << "" << clears;
    }
    void eraseAndEeprom()
    {
        QFETCH(bool, ourBoard);
        QFETCH(bool, fast);
        QFETCH(int, high);
        QFETCH(bool, read);
        QFETCH(QString, backup);
        QFETCH(QString, informative);
        Rig r(ourBoard ? ours() : adaptersim::Options());
        const QByteArray data = pattern(512, 6);
        r.setChip([&](adaptersim::Chip &c) {
            c.highFuse = std::uint8_t(high);
            c.eeprom.assign(data.begin(), data.end());
        });
        QString device = "TestMega8";
        const QString row = QTest::currentDataTag();
        if (row.contains("no calibration") || row.contains("no EEPROM")) {
            // A device file of its own, and the window started again to load it.
            device = row.contains("no calibration") ? "NoCal" : "NoEeprom";
            const QByteArray ini = "[configuration]\nSignature_000=$1E\nSignature_001=$93\nSignature_002=$0B\nCPU_Name="
                                   + device.toLatin1() + "\nPage_Size=64\nFlash_Size=8192\n"
                                   + (row.contains("no calibration") ? "EEPROM_Size=512\nEEPROM_Page_Size=4\n" : "")
                                   + "[fuse-bits]\nHigh_3=EESAVE|U\nLock_0=LB1|U\nLock_1=LB2|U\n";
            QVERIFY(writeFile(r.path("cpu/extra.ini"), ini));
            r.w.reset();
            r.w = std::make_unique<TfmMain>(r.dir.path(), r.dialogs);
            r.w->PortName = r.port();
            r.setChip([](adaptersim::Chip &c) {
                c.signature = {0x1E, 0x93, 0x0B};
                c.calibration.clear();
            });
        }
        r.setFast(fast);
        if (read) {
            ready(r, device);
        } else {
            r.choose(device);
            r.sim->clearLog();
        }
        const QString saved = r.path("saved.bin");
        // What the file holds when the erase block goes out.
        QByteArray savedAtErase = "no erase";
        r.sim->setLogHandler([&](const std::string &line) {
            if (line.rfind("block 04 ", 0) == 0)
                savedAtErase = QFile::exists(saved) ? readFile(saved) : QByteArray("no file");
        });
        if (backup == "yes")
            r.dialogs.confirmAnswers << true;
        if (backup == "no")
            r.dialogs.confirmAnswers << false;
        if (backup == "cancel")
            r.dialogs.confirmAnswers << true;
        else
            r.dialogs.confirmAnswers << true << true;  // "Are you sure ...", "Really ?"
        if (backup == "yes")
            r.dialogs.fileAnswers << saved;
        click(r.w->btChipErase);
        r.sim->setLogHandler({});

        QList<Shown> expected;
        if (!backup.isEmpty())
            expected << Shown{"confirm", "The erase also clears the EEPROM (EESAVE is unprogrammed). Read the EEPROM "
                                         "into a file first?"};
        if (backup == "yes" || backup == "cancel")
            expected << Shown{"save", ""};
        if (backup != "cancel")
            expected << Shown{"confirm", "Are you sure want to erase chip ?"} << Shown{"confirm", "Really ?"};
        QCOMPARE(r.dialogs.shown, expected);
        if (backup != "cancel") {
            const Shown question = r.dialogs.shown.value(backup.isEmpty() ? 0 : expected.size() - 2);
            QCOMPARE(question.details, informative);
        }

        const QStringList wire = r.wire();
        const bool eepromRead = !wire.filter(QRegularExpression("^block 12 01 ")).isEmpty();
        QCOMPARE(eepromRead, backup == "yes");
        if (backup == "cancel") {
            QCOMPARE(r.w->statusText(), QString("Device erasing is canceled."));
            QVERIFY2(wire.isEmpty(), qPrintable(wire.join('\n')));
            QCOMPARE(eeprom(r), data);
            return;
        }
        QCOMPARE(savedAtErase, backup == "yes" ? data : QByteArray("no file"));
        QCOMPARE(r.w->statusText(), QString(fast ? "Device erased." : "Device erased. Not checked for blank Flash: "
                                                                        "Fast transfers are off."));
        QCOMPARE(eeprom(r), high == 0xD1 ? data : QByteArray(512, char(0xFF)));
    }

    void savingFailsNoErase()
    {
        // The EEPROM could not be read into the file: the erase is not sent, nothing more asked.
        Rig r(ours());
        r.setFast(true);
        const QByteArray data = pattern(512, 2);
        r.setChip([&](adaptersim::Chip &c) { c.eeprom.assign(data.begin(), data.end()); });
        ready(r, "TestMega8");
        r.setOptions([](adaptersim::Options &o) {
            o.fault.code = 0x12;
            o.fault.times = 1000;
        });
        r.dialogs.confirmAnswers << true << true << true;
        r.dialogs.fileAnswers << r.path("saved.bin");
        click(r.w->btChipErase);
        QCOMPARE(r.dialogs.texts("confirm").size(), 1);  // the offer only
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QVERIFY(r.blocks().filter(QRegularExpression("^block 04 ")).isEmpty());
        QCOMPARE(eeprom(r), data);
        QVERIFY(!QFile::exists(r.path("saved.bin")));
    }

    // --- The erase before a Flash write, and the verify after it ----------------------

    void eraseBeforeFlashWrite_data()
    {
        QTest::addColumn<QString>("before");  // what the user did since the window started
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::newRow("read, Yes") << "read" << true << true;
        QTest::newRow("read, No") << "read" << false << true;
        QTest::newRow("read, erased") << "read erase" << false << false;
        QTest::newRow("read, erased, read again") << "read erase read" << true << true;
    }
    void eraseBeforeFlashWrite()
    {
        // The chip holds a program: a write that is not erased first only clears bits.
        QFETCH(QString, before);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.flash.assign(8192, 0x00); });
        for (const QString &step : before.split(' ')) {
            if (step == "read") {
                click(r.w->btRead);
            } else {
                r.dialogs.confirmAnswers << true << true;
                click(r.w->btChipErase);
                QCOMPARE(r.w->statusText(), QString("Device erased. Not checked for blank Flash: Fast transfers are off."));
            }
        }
        r.sim->clearLog();
        r.dialogs.shown.clear();
        const QByteArray image = pattern(300, 3);
        QVERIFY(writeFile(r.path("image.bin"), image));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.dialogs.confirmAnswers << answer;
        click(r.w->btWriteFlash);
        QCOMPARE(r.dialogs.texts("confirm"), asked ? QStringList{"Erase the chip before writing Flash?"} : QStringList{});
        QCOMPARE(r.dialogs.shown.size(), asked ? 1 : 0);  // Yes asks nothing more
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
        const QStringList blocks = r.blocks();
        const bool erased = asked && answer;
        QCOMPARE(blocks.value(0).startsWith("block 04 "), erased);
        QCOMPARE(int(blocks.filter(QRegularExpression("^block 04 ")).size()), erased ? 1 : 0);
        QCOMPARE(int(blocks.filter(QRegularExpression("^block 05 ")).size()), 5);  // the write went out either way
        const QByteArray flash = bytesOf(r.sim->chip().flash);
        QCOMPARE(flash.left(300), (erased || !asked) ? image : QByteArray(300, 0));
        if (erased) {
            // Erased since the last Read Chip now: the next write does not ask again.
            r.dialogs.shown.clear();
            click(r.w->btWriteFlash);
            QCOMPARE(r.dialogs.shown, QList<Shown>());
        }
    }

    void eraseQuestionDefaultsToYes()
    {
        // The real box: Enter answers Yes, and the chip is erased before the write.
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("cpu"));
        for (const rig::DeviceSpec &d : rig::testDevices())
            QVERIFY(writeFile(dir.filePath(QStringLiteral("cpu/") + d.file), d.text));
        adaptersim::Options o;
        o.chip.flash.assign(8192, 0x00);
        adaptersim::Simulator sim(o);
        QVERIFY(sim.start());
        WidgetDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.PortName = QString::fromStdString(sim.devicePath());
        w.FastTransfers = false;
        w.VerifyAfterWriting = false;
        click(w.btRead);
        QVERIFY(writeFile(dir.filePath("image.bin"), pattern(100)));
        w.edReadFromFile->setText(dir.filePath("image.bin"));
        sim.clearLog();
        BoxSeen seen;
        pressReturnOnBox(seen);
        click(w.btWriteFlash);
        QCOMPARE(seen.text, QString("Erase the chip before writing Flash?"));
        QCOMPARE(seen.defaultButton, QString("&Yes"));
        QVERIFY2(!sim.log().empty() && sim.log().front().rfind("block 04 ", 0) == 0, sim.log().front().c_str());
        QCOMPARE(bytesOf(sim.chip().flash).left(100), pattern(100));
    }

    void verifyAfterWritingIsOnAtFirst()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("cpu"));
        for (const rig::DeviceSpec &d : rig::testDevices())
            QVERIFY(writeFile(dir.filePath(QStringLiteral("cpu/") + d.file), d.text));
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        const auto *action = w.findChild<QAction *>("actVerifyAfterWriting");
        QVERIFY(action && action->isCheckable() && action->isChecked());
        QVERIFY(w.VerifyAfterWriting);
    }

    void verifyAfterWriting_data()
    {
        QTest::addColumn<bool>("ourBoard");  // with Fast transfers; else a plain adapter the original way
        QTest::addColumn<bool>("verify");
        QTest::addColumn<int>("ignore");     // a write command the adapter carries out as nothing; -1: none
        QTest::addColumn<QString>("status");
        const QByteArray image = pattern(300, 5);
        const int differ = int(std::count_if(image.begin(), image.end(), [](char b) { return b != char(0xFF); }));
        const QString failed = QString("Flash verifying failed: %1 errors.").arg(differ);
        QTest::newRow("on") << false << true << -1 << "Flash programming completed. Verified.";
        QTest::newRow("on, the write lost") << false << true << 5 << failed;
        QTest::newRow("off") << false << false << -1 << "Flash programming completed.";
        QTest::newRow("off, the write lost") << false << false << 5 << "Flash programming completed.";
        QTest::newRow("our board, on") << true << true << -1 << "Flash programming completed. Verified.";
        QTest::newRow("our board, on, the write lost") << true << true << 0x13 << failed;
        QTest::newRow("our board, off") << true << false << -1 << "Flash programming completed.";
    }
    void verifyAfterWriting()
    {
        QFETCH(bool, ourBoard);
        QFETCH(bool, verify);
        QFETCH(int, ignore);
        QFETCH(QString, status);
        Rig r(ourBoard ? ours() : adaptersim::Options());
        r.setFast(ourBoard);
        // On, as a user turns it on in the File menu.
        if (verify)
            trigger(r.w->actVerifyAfterWriting);
        QCOMPARE(r.w->actVerifyAfterWriting->isChecked(), verify);
        ready(r, "TestMega8");
        r.setOptions([&](adaptersim::Options &o) { o.ignoreCode = ignore; });
        QVERIFY(writeFile(r.path("image.bin"), pattern(300, 5)));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.dialogs.confirmAnswers << false;  // not erased first: the chip is blank
        click(r.w->btWriteFlash);
        QCOMPARE(r.w->statusText(), status);
        // Flash is read after the last write command only when on.
        const QList<int> sent = codes(r.blocks());
        const qsizetype lastWrite = std::max(sent.lastIndexOf(5), sent.lastIndexOf(0x13));
        QVERIFY(lastWrite >= 0);
        const QList<int> after = sent.mid(lastWrite + 1);
        QCOMPARE(after.contains(ourBoard ? 0x12 : 6) || after.contains(7), verify);
    }

    // --- Calibration bytes ---------------------------------------------------------------

    void calibrationInTooltip_data()
    {
        QTest::addColumn<bool>("ourBoard");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QList<int>>("sent");  // the command codes of the Read Chip
        const QList<int> asked = {1, 0, 0x12, 0};  // the chip, the question, the bytes, the board's session closed
        QTest::newRow("our board, four bytes") << true << true << "TestMega8" << "Calibration: A6h A9h ADh B2h" << asked;
        QTest::newRow("our board, one byte") << true << true << "TestBig" << "Calibration: 9Ch" << asked;
        QTest::newRow("our board the original way") << true << false << "TestMega8" << "" << QList<int>{1};
        QTest::newRow("a plain adapter") << false << true << "TestMega8" << "" << QList<int>{1, 0};  // asked once
    }
    void calibrationInTooltip()
    {
        QFETCH(bool, ourBoard);
        QFETCH(bool, fast);
        QFETCH(QString, device);
        QFETCH(QString, tip);
        QFETCH(QList<int>, sent);
        Rig r(ourBoard ? ours() : adaptersim::Options());
        r.setFast(fast);
        if (device == "TestBig")
            r.setChip(asBig);
        click(r.w->btRead);
        QCOMPARE(r.w->CurDevice->Name, device);
        auto *signature = r.w->findChild<QLineEdit *>("leSignature");
        QVERIFY(signature);
        QCOMPARE(signature->toolTip(), tip);
        QCOMPARE(codes(r.blocks()), sent);
        if (ourBoard && fast)
            QVERIFY2(r.blocks()[2].startsWith("block 12 02 00 00 00 0" + QString::number(tip.count('h'))),
                     qPrintable(r.blocks()[2]));
    }

    void calibrationKeptByAClosingReadChip()
    {
        // A write's closing Read Chip finds the same chip: its calibration bytes still hold, and
        // are not read again.
        Rig r(ours());
        r.setFast(true);
        click(r.w->btRead);
        const QString tip = "Calibration: A6h A9h ADh B2h";
        QCOMPARE(r.w->leSignature->toolTip(), tip);
        r.sim->clearLog();
        r.dialogs.confirmAnswers << true;
        click(r.w->btWriteFuses);
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        QCOMPARE(r.w->leSignature->text(), QString("1Eh 93h 07h"));
        QCOMPARE(r.w->leSignature->toolTip(), tip);
        QVERIFY(!codes(r.blocks()).contains(0x12));
    }

    void calibrationGoneWithTheChip_data()
    {
        QTest::addColumn<QString>("next");
        QTest::newRow("no reply") << "silent";
        QTest::newRow("another chip, the original way") << "other";
    }
    void calibrationGoneWithTheChip()
    {
        // A Read Chip that finds no chip, or another chip whose bytes it does not read, shows none.
        QFETCH(QString, next);
        Rig r(ours());
        r.setFast(true);
        click(r.w->btRead);
        QCOMPARE(r.w->leSignature->toolTip(), QString("Calibration: A6h A9h ADh B2h"));
        if (next == "silent") {
            r.setOptions([](adaptersim::Options &o) { o.silent = true; });
        } else {
            r.setChip(asBig);
            r.setFast(false);
        }
        r.w->btRead->click();
        QCOMPARE(r.w->leSignature->text(), QString(next == "silent" ? "" : "1Eh 95h 0Fh"));
        QCOMPARE(r.w->leSignature->toolTip(), QString());
    }

#ifdef TARVANE_WITH_HVSIM
    // --- On the firmware in simulation ---------------------------------------------------

    void firmwareEepromMenu()
    {
        // An ATmega328P (EEPROM pages of 4 bytes) on our board: the calibration byte with the
        // signature, then an .eep written, verified and read back raw; the model saw every
        // datasheet rule kept.
        if (objcopy().isEmpty())
            QSKIP("avr-objcopy not found");
        hvrig::Rig r("ATmega328P", [](hvsim::Chip &c) { std::fill(c.eeprom.begin(), c.eeprom.end(), 0x5A); });
        r.w->FastTransfers = true;
        r.w->actFastTransfers->setChecked(true);
        click(r.w->btRead);
        QCOMPARE(r.w->CurDevice->Name, QString("ATmega328P"));
        const std::uint8_t calibration = r.sim->chip().calibration[0];  // the model's factory value
        QCOMPARE(r.w->leSignature->toolTip(), "Calibration: " + QString("%1").arg(calibration, 2, 16, QChar('0')).toUpper() + "h");
        const QByteArray data = pattern(301, 8);
        QVERIFY(makeEepromFile(r.path("cal.eep"), data));
        r.dialogs.fileAnswers << r.path("cal.eep");
        trigger(r.w->actWriteEeprom);
        QCOMPARE(r.w->statusText(), QString("EEPROM programming completed."));
        QByteArray expected(1024, char(0x5A));
        expected.replace(0, data.size(), data);
        QCOMPARE(hvrig::bytes(r.sim->chip().eeprom), expected);
        r.dialogs.fileAnswers << r.path("cal.eep");
        trigger(r.w->actVerifyEeprom);
        QCOMPARE(r.w->statusText(), QString("EEPROM verifying completed. No errors."));
        r.dialogs.fileAnswers << r.path("back.bin");
        trigger(r.w->actReadEeprom);
        QCOMPARE(r.w->statusText(), QString("EEPROM reading completed."));
        QCOMPARE(readFile(r.path("back.bin")), expected);
        QCOMPARE(r.dialogs.texts("information"), QStringList());
        QCOMPARE(r.breaks(), QString());
    }
#endif
};

QTEST_MAIN(TestFeatures)
#include "test_features.moc"
