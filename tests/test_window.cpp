// SPDX-License-Identifier: GPL-3.0-or-later
// The window as it starts, closes, remembers its settings and tells its version.
#include "scripteddialogs.h"
#include "support/child.h"
#include "uMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QAbstractItemView>
#include <QDateTime>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <sys/stat.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray deviceIni(const QByteArray &name, int flash = 8192)
{
    return "[configuration]\nSignature_000=$1E\nSignature_001=$93\nSignature_002=$07\nCPU_Name=" + name
           + "\nPage_Size=64\nFlash_Size=" + QByteArray::number(flash) + "\n[fuse-bits]\nLow_0=CKSEL0|U\n";
}

// What a real modal box showed, and how it was left.
struct BoxSeen {
    QString kind;  // class name
    QString name;  // objectName
    QString caption;
    QString text;
    QString informative;
    int icon = -1;
    QStringList buttons;
    QString defaultButton;
};

// Once the modal box is up: note what it shows, then press key on it. A box that is still
// up a while later (the key did not close it) is closed, so a failing test does not hang.
void answerModal(BoxSeen &seen, Qt::Key key, const std::function<void(QWidget *)> &prepare = {})
{
    QTimer::singleShot(0, [&seen, key, prepare] {
        QWidget *w = QApplication::activeModalWidget();
        if (!w) {
            answerModal(seen, key, prepare);
            return;
        }
        seen.kind = QString::fromLatin1(w->metaObject()->className());
        seen.name = w->objectName();
        seen.caption = w->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            seen.text = box->text();
            seen.informative = box->informativeText();
            seen.icon = int(box->icon());
            for (QAbstractButton *b : box->buttons()) {
                seen.buttons << b->text();
                auto *push = qobject_cast<QPushButton *>(b);
                if (push && push->isDefault())  // the one Enter presses
                    seen.defaultButton = b->text();
            }
        }
        if (auto *input = qobject_cast<QInputDialog *>(w)) {
            seen.text = input->labelText() + "|" + input->textValue();
            for (QPushButton *b : input->findChildren<QPushButton *>()) {
                seen.buttons << b->text();
                if (b->isDefault())
                    seen.defaultButton = b->text();
            }
        }
        if (prepare)
            prepare(w);
        QPointer<QWidget> box = w;
        QTest::keyClick(w, key);
        QTimer::singleShot(2000, [box] {
            if (box && box->isVisible())
                box->close();
        });
    });
}

// Every modal widget that stays up is closed after a while, for tests whose box may not close.
struct ModalGuard {
    QTimer timer;
    ModalGuard()
    {
        QObject::connect(&timer, &QTimer::timeout, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        timer.start(3000);
    }
};

void writeScript(const QString &path, const QByteArray &body)
{
    writeFile(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void startsBare()
    {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.windowTitle(), QString("AVR Tarvane"));
        QCOMPARE(w.cbChips->count(), 1);
        QCOMPARE(w.cbChips->itemText(0), QString("* AUTO *"));
        QCOMPARE(w.cbChips->currentIndex(), 0);
        QCOMPARE(w.PortName, QString("\\\\.\\COM1"));
        QCOMPARE(w.ConfigFile, QDir(dir.path()).filePath("config.txt"));
        QVERIFY(w.edReadFromFile->text().isEmpty());
        QVERIFY(w.edWriteToFile->text().isEmpty());
        QCOMPARE(w.CurDevice, w.AutoDevice);
        QCOMPARE(w.CurDevice->Name, QString("Unknown"));
        QVERIFY(w.statusText().isEmpty());
        QVERIFY(dialogs.shown.isEmpty());
        QVERIFY(std::all_of(w.CmdBlock.begin(), w.CmdBlock.end(), [](auto b) { return b == 0; }));
        QVERIFY(!QFile::exists(w.ConfigFile));  // nothing written before the window closes
    }

    void controlsAsLaidOut_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("GroupBox1") << "GroupBox1" << QRect(0, 0, 141, 189) << " Chip " << true;
        QTest::newRow("leSignature") << "leSignature" << QRect(8, 34, 125, 21) << "" << true;
        QTest::newRow("leDeviceName") << "leDeviceName" << QRect(8, 80, 125, 21) << "" << true;
        QTest::newRow("Label1") << "Label1" << QRect(8, 111, 83, 13) << "Manual selection:" << true;
        QTest::newRow("cbChips") << "cbChips" << QRect(8, 126, 125, 21) << "* AUTO *" << true;
        QTest::newRow("Label7") << "Label7" << QRect(9, 152, 49, 13) << "Flash size:" << true;
        QTest::newRow("Label6") << "Label6" << QRect(8, 168, 50, 13) << "Page size:" << true;
        QTest::newRow("lbFlashSize") << "lbFlashSize" << QRect(60, 152, 6, 13) << "0" << true;
        QTest::newRow("lbPageSize") << "lbPageSize" << QRect(60, 168, 6, 13) << "0" << true;
        QTest::newRow("GroupBox2") << "GroupBox2" << QRect(0, 192, 141, 145) << " Fuses && Locks " << true;
        QTest::newRow("btRead") << "btRead" << QRect(6, 20, 128, 25) << "Read Chip" << true;
        QTest::newRow("btWriteFuses") << "btWriteFuses" << QRect(6, 52, 128, 25) << "Write Fuses" << false;
        QTest::newRow("btWriteLocks") << "btWriteLocks" << QRect(6, 80, 128, 25) << "Write Lock Bits" << false;
        QTest::newRow("btChipErase") << "btChipErase" << QRect(6, 112, 128, 25) << "Chip Erase" << false;
        QTest::newRow("Fuses") << "Fuses" << QRect(144, 0, 409, 249) << " Fuses " << true;
        QTest::newRow("GroupBox3") << "GroupBox3" << QRect(144, 252, 409, 85) << " Flash " << true;
        QTest::newRow("btWriteFlash") << "btWriteFlash" << QRect(8, 20, 77, 25) << "Write FLASH" << false;
        QTest::newRow("edReadFromFile") << "edReadFromFile" << QRect(88, 20, 285, 25) << "" << false;
        QTest::newRow("btOD") << "btOD" << QRect(376, 20, 25, 25) << "..." << false;
        QTest::newRow("btVerifyFlash") << "btVerifyFlash" << QRect(8, 52, 77, 25) << "Verify FLASH" << false;
        QTest::newRow("btReadFlash") << "btReadFlash" << QRect(88, 52, 81, 25) << "Read FLASH" << false;
        QTest::newRow("edWriteToFile") << "edWriteToFile" << QRect(172, 52, 201, 25) << "" << false;
        QTest::newRow("btSD") << "btSD" << QRect(376, 52, 25, 25) << "..." << false;
        QTest::newRow("StatusBar1") << "StatusBar1" << QRect(0, 338, 556, 19) << "" << true;
        QTest::newRow("ProgressBar1") << "ProgressBar1" << QRect(310, 342, 244, 13) << "" << true;
        QTest::newRow("Label2") << "Label2" << QRect(8, 18, 94, 16) << "Low Byte" << true;
        QTest::newRow("Label5") << "Label5" << QRect(308, 18, 94, 16) << "Lock Bits" << true;
        QTest::newRow("lbExtendedByte") << "lbExtendedByte" << QRect(208, 34, 94, 16) << "00h" << true;
        QTest::newRow("LowByte_Bit7") << "LowByte_Bit7" << QRect(8, 56, 94, 17) << "" << true;
        QTest::newRow("HighByte_Bit6") << "HighByte_Bit6" << QRect(108, 80, 94, 17) << "" << true;
        QTest::newRow("LockByte_Bit0") << "LockByte_Bit0" << QRect(308, 224, 94, 17) << "" << true;
    }
    void controlsAsLaidOut()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        auto *widget = w.findChild<QWidget *>(name);
        QVERIFY2(widget, qPrintable(name));
        if (name == "Label1" || name == "Label6" || name == "Label7") {
            // Auto-sized: as laid out, or wider where the text needs it, keeping the aligned edge.
            const QRect r = widget->geometry();
            QCOMPARE(r.top(), geometry.top());
            QCOMPARE(r.height(), geometry.height());
            QVERIFY(r.width() >= geometry.width());
            if (name == "Label1")
                QCOMPARE(r.left(), geometry.left());
            else
                QCOMPARE(r.right(), geometry.right());
        } else {
            QCOMPARE(widget->geometry(), geometry);
        }
        QCOMPARE(widget->isEnabled(), enabled);
        QString shown;
        if (auto *g = qobject_cast<QGroupBox *>(widget))
            shown = g->title();
        else if (auto *b = qobject_cast<QAbstractButton *>(widget))
            shown = b->text();
        else if (auto *l = qobject_cast<QLabel *>(widget))
            shown = l->text();
        else if (auto *e = qobject_cast<QLineEdit *>(widget))
            shown = e->text();
        else if (auto *c = qobject_cast<QComboBox *>(widget))
            shown = c->currentText();
        QCOMPARE(shown, text);
    }

    void windowFrame()
    {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.centralWidget()->size(), QSize(556, 357));
        QCOMPARE(w.width(), 556);
        QCOMPARE(w.height(), 357 + w.menuBar()->sizeHint().height());
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.cbChips->maxVisibleItems(), 12);
        QVERIFY(w.leSignature->isReadOnly());
        QVERIFY(w.leDeviceName->isReadOnly());
        QCOMPARE(w.font().pixelSize(), 11);
        QCOMPARE(w.edReadFromFile->font().pixelSize(), 13);
        QCOMPARE(w.findChild<QCheckBox *>("LockByte_Bit1")->font().pixelSize(), 13);
        QCOMPARE(w.findChild<QCheckBox *>("LockByte_Bit2")->font().pixelSize(), 11);
        int boxes = 0;
        for (auto *box : w.Fuses->findChildren<QCheckBox *>()) {
            ++boxes;
            QVERIFY(!box->isVisibleTo(&w));
            QVERIFY(!box->isChecked());
            QVERIFY(box->text().isEmpty());
        }
        QCOMPARE(boxes, 32);
        QStringList menu;
        for (QAction *top : w.menuBar()->actions()) {
            menu << top->text();
            for (QAction *item : top->menu()->actions())
                menu << (item->isSeparator() ? QString("-") : item->text());
        }
        QCOMPARE(menu, QStringList({"File", "Options", "Fast transfers", "Verify after writing", "-", "Exit", "Edit",
                                    "Factory values", "EEPROM", "Write EEPROM...", "Verify EEPROM...", "Read EEPROM...",
                                    "Help", "About"}));
        QVERIFY(w.actFastTransfers->isCheckable() && w.actFastTransfers->isChecked());  // on by default
    }

    void noCaptionClipped()
    {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        for (QLabel *l : w.findChildren<QLabel *>()) {
            if (!l->text().isEmpty())
                QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->width(), qPrintable(l->objectName()));
        }
        for (QPushButton *b : w.findChildren<QPushButton *>())
            QVERIFY2(b->fontMetrics().horizontalAdvance(b->text()) + 8 <= b->width(), qPrintable(b->objectName()));
        // Every bit name of the shipped catalogue fits its box beside the tick mark.
        const QString bin = qEnvironmentVariable("TARVANE_BIN_DIR");
        if (bin.isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
        TfmMain shipped(bin, dialogs);
        QVERIFY(shipped.cbChips->count() > 30);
        auto *box = shipped.findChild<QCheckBox *>("HighByte_Bit6");
        auto *lockBox = shipped.findChild<QCheckBox *>("LockByte_Bit0");
        QStyleOptionButton option;
        option.initFrom(box);
        const int indicator = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, box)
                              + box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, box);
        for (int i = 1; i < shipped.cbChips->count(); ++i) {
            shipped.cbChips->setCurrentIndex(i);
            shipped.cbChipsChange(i);
            QVERIFY(shipped.cbChips->fontMetrics().horizontalAdvance(shipped.cbChips->currentText()) + 24
                    <= shipped.cbChips->width());
            for (QCheckBox *b : shipped.Fuses->findChildren<QCheckBox *>()) {
                const QFontMetrics fm = b->objectName().startsWith("LockByte_Bit") && b->objectName().back() < '2'
                                            ? lockBox->fontMetrics()
                                            : box->fontMetrics();
                QVERIFY2(fm.horizontalAdvance(b->text()) + indicator <= b->width(),
                         qPrintable(shipped.cbChips->currentText() + " " + b->text()));
            }
        }
    }

    void tabOrder()
    {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        auto next = [](QWidget *from) {
            QWidget *w = from->nextInFocusChain();
            while (w != from && !(w->focusPolicy() & Qt::TabFocus))
                w = w->nextInFocusChain();
            return w;
        };
        QCOMPARE(next(w.btRead), static_cast<QWidget *>(w.btWriteFuses));
        QCOMPARE(next(w.btReadFlash), static_cast<QWidget *>(w.edReadFromFile));
        QCOMPARE(next(w.edWriteToFile), static_cast<QWidget *>(w.btOD));
        QCOMPARE(next(w.findChild<QWidget *>("LowByte_Bit0")), w.findChild<QWidget *>("HighByte_Bit7"));
        QCOMPARE(next(w.findChild<QWidget *>("ExtendedByte_Bit0")), w.findChild<QWidget *>("LockByte_Bit7"));
    }

    // Between the boxes: Fuses, ProgressBar1, GroupBox1, GroupBox2, GroupBox3; Tab goes from
    // the last Flash control round to the bit panel, and from the bit panel to the Chip box.
    void windowTabOrder()
    {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        const QStringList boxes{"Fuses", "ProgressBar1", "GroupBox1", "GroupBox2", "GroupBox3"};
        QStringList chain;
        QStringList focusable;
        QWidget *client = w.centralWidget();
        for (QWidget *x = w.nextInFocusChain(); x != &w; x = x->nextInFocusChain()) {
            if (x->parentWidget() == client && boxes.contains(x->objectName()))
                chain << x->objectName();
            QWidget *box = x;
            while (box && box->parentWidget() != client)
                box = box->parentWidget();
            if (box && (x->focusPolicy() & Qt::TabFocus) && (focusable.isEmpty() || focusable.last() != box->objectName()))
                focusable << box->objectName();
        }
        QCOMPARE(chain, boxes);
        if (focusable.size() > 1 && focusable.first() == focusable.last())
            focusable.removeLast();  // the chain is a ring
        QCOMPARE(focusable, QStringList({"Fuses", "GroupBox1", "GroupBox2", "GroupBox3"}));
    }

    void settingsReadAtStart()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("config.txt"), "whatever\n/dev/ttyUSB3\nout.bin\nin.bin\n");
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.PortName, QString("/dev/ttyUSB3"));
        QCOMPARE(w.edWriteToFile->text(), QString("out.bin"));
        QCOMPARE(w.edReadFromFile->text(), QString("in.bin"));
    }

    void closeWritesSettings_data()
    {
        QTest::addColumn<bool>("byMenu");
        QTest::newRow("Exit") << true;
        QTest::newRow("close button") << false;
    }
    void closeWritesSettings()
    {
        QFETCH(bool, byMenu);
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        {
            TfmMain w(dir.path(), dialogs);
            w.show();
            w.edReadFromFile->setText("typed in.bin");
            if (byMenu)
                w.Exit1Click();
            else
                w.close();
            QVERIFY(!w.isVisible());
        }
        QCOMPARE(readAll(QDir(dir.path()).filePath("config.txt")),
                 QByteArray("# Tarvane configuration file\r\n\\\\.\\COM1\r\n\r\ntyped in.bin\r\nFastTransfers=on\r\nVerifyAfterWriting=on\r\nEepromFile=\r\n"));
    }

    void fastTransfersKept()
    {
        // The menu item switches the setting, the file keeps it, and the next start reads it back.
        QTemporaryDir dir;
        const QString config = QDir(dir.path()).filePath("config.txt");
        writeFile(config, "h\r\nCOM4\r\nout.bin\r\nin.bin\r\n");
        ScriptedDialogs dialogs;
        {
            TfmMain w(dir.path(), dialogs);
            QVERIFY(w.FastTransfers);
            QAction *item = w.findChild<QAction *>("actFastTransfers");
            QVERIFY(item && item->isEnabled());
            item->trigger();
            QVERIFY(!w.FastTransfers);
            QCOMPARE(readAll(config), QByteArray("# Tarvane configuration file\r\nCOM4\r\nout.bin\r\nin.bin\r\n"
                                                 "FastTransfers=off\r\nVerifyAfterWriting=on\r\nEepromFile=\r\n"));
        }
        TfmMain again(dir.path(), dialogs);
        QVERIFY(!again.FastTransfers);
        QVERIFY(!again.actFastTransfers->isChecked());
    }

    void optionsDialog_data()
    {
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QString>("entered");
        QTest::addColumn<QString>("port");
        QTest::newRow("ok") << true << "/dev/ttyUSB0" << "/dev/ttyUSB0";
        QTest::newRow("ok with empty text") << true << "" << "";
        QTest::newRow("cancel") << false << "" << "COM4";
    }
    void optionsDialog()
    {
        QFETCH(bool, confirmed);
        QFETCH(QString, entered);
        QFETCH(QString, port);
        QTemporaryDir dir;
        const QString config = QDir(dir.path()).filePath("config.txt");
        writeFile(config, "old header\nCOM4\n");
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        if (confirmed)
            dialogs.inputAnswers.enqueue(entered);
        w.Options1Click();
        QCOMPARE(dialogs.texts("input"), QStringList{"Настройки|COM-порт: |COM4"});
        QCOMPARE(w.PortName, port);
        // Cancelled or not, the file is rewritten with its header and CR LF ends.
        QCOMPARE(readAll(config), "# Tarvane configuration file\r\n" + port.toLocal8Bit() + "\r\n\r\n\r\nFastTransfers=on\r\nVerifyAfterWriting=on\r\nEepromFile=\r\n");
    }

    void settingsFailuresReported()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(QDir(dir.path()).filePath("config.txt")));  // a folder in its place
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.statusText(), QString("Can`t read settings file; it will not be overwritten."));
        QCOMPARE(w.PortName, QString("\\\\.\\COM1"));
        w.SaveSettings();
        QCOMPARE(w.statusText(), QString("Settings not saved: the settings file could not be read at start-up."));
        QVERIFY(dialogs.shown.isEmpty());
    }

    // A FIFO as the settings file neither blocks start-up nor is replaced at close.
    void unreadableSettingsNotOverwritten()
    {
        QTemporaryDir dir;
        const QString config = QDir(dir.path()).filePath("config.txt");
        QCOMPARE(mkfifo(QFile::encodeName(config).constData(), 0600), 0);
        const int status = runInChild([&] {
            ScriptedDialogs dialogs;
            TfmMain w(dir.path(), dialogs);
            const bool started = w.statusText() == "Can`t read settings file; it will not be overwritten.";
            w.Options1Click();  // a save that is refused
            const bool refused =
                w.statusText() == "Settings not saved: the settings file could not be read at start-up.";
            w.close();
            return (started ? 0 : 1) | (refused ? 0 : 2);
        }, 20);
        QCOMPARE(status, 0);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(config).constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
    }

    // A full disk at close: the status says so and the old file stays whole.
    void failedSaveKeepsOldFile()
    {
        QTemporaryDir dir;
        const QString config = QDir(dir.path()).filePath("config.txt");
        const QByteArray old = "# Tarvane configuration file\r\nCOM4\r\nold out.bin\r\nold in.bin\r\n";
        writeFile(config, old);
        const int status = runInChild([&] {
            ScriptedDialogs dialogs;
            TfmMain w(dir.path(), dialogs);
            w.edReadFromFile->setText("a new and rather longer name of an image.bin");
            w.SaveSettings();
            return w.statusText() == "Can`t write settings file; the old one is kept." ? 0 : 1;
        }, 20, 16);
        QCOMPARE(status, 0);
        QCOMPARE(readAll(config), old);
    }

    // The window system appends an application display name, when one is set, to every
    // caption: "Confirm" would read "Confirm — AVR Tarvane". None may be set.
    void captionsCarryNoDisplayName()
    {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    }

    void realMessageBoxes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("defaultButton");
        QTest::addColumn<bool>("answer");
        QTest::newRow("information, Escape") << "information" << int(Qt::Key_Escape) << "Information"
                                             << int(QMessageBox::Information) << QStringList{"OK"} << "OK" << false;
        QTest::newRow("information, Enter") << "information" << int(Qt::Key_Return) << "Information"
                                            << int(QMessageBox::Information) << QStringList{"OK"} << "OK" << false;
        QTest::newRow("error, Escape") << "error" << int(Qt::Key_Escape) << "Error" << int(QMessageBox::Critical)
                                       << QStringList{"OK"} << "OK" << false;
        QTest::newRow("confirm, Escape is No") << "confirm" << int(Qt::Key_Escape) << "Confirm"
                                               << int(QMessageBox::Question) << QStringList{"&Yes", "&No"} << "&Yes"
                                               << false;
        QTest::newRow("confirm, Enter is Yes") << "confirm" << int(Qt::Key_Return) << "Confirm"
                                               << int(QMessageBox::Question) << QStringList{"&Yes", "&No"} << "&Yes"
                                               << true;
        QTest::newRow("confirm, N is No") << "confirm" << int(Qt::Key_N) << "Confirm" << int(QMessageBox::Question)
                                          << QStringList{"&Yes", "&No"} << "&Yes" << false;
    }
    void realMessageBoxes()
    {
        QFETCH(QString, kind);
        QFETCH(int, key);
        QFETCH(QString, caption);
        QFETCH(int, icon);
        QFETCH(QStringList, buttons);
        QFETCH(QString, defaultButton);
        QFETCH(bool, answer);
        QWidget parent;
        parent.show();
        WidgetDialogs dialogs;
        BoxSeen seen;
        answerModal(seen, Qt::Key(key));
        bool result = false;
        if (kind == "information")
            dialogs.information(&parent, "Port not found.");
        else if (kind == "error")
            dialogs.error(&parent, "Port not found.");
        else
            result = dialogs.confirm(&parent, "Port not found.");
        QCOMPARE(seen.kind, QString("QMessageBox"));
        QCOMPARE(seen.caption, caption);
        QCOMPARE(seen.text, QString("Port not found."));
        QCOMPARE(seen.icon, icon);
        QCOMPARE(seen.buttons, buttons);
        QCOMPARE(seen.defaultButton, defaultButton);
        QCOMPARE(result, answer);
        QVERIFY(!QApplication::activeModalWidget());
    }

    // The information box with the causes below its message (a chip that does not answer).
    void realInformationDetails()
    {
        QWidget parent;
        parent.show();
        WidgetDialogs dialogs;
        BoxSeen seen;
        answerModal(seen, Qt::Key_Return);
        dialogs.informationDetails(&parent, "No chip answered.", "Check the socket.");
        QCOMPARE(seen.name, QString("InformationDetails"));
        QCOMPARE(seen.kind, QString("QMessageBox"));
        QCOMPARE(seen.caption, QString("Information"));
        QCOMPARE(seen.icon, int(QMessageBox::Information));
        QCOMPARE(seen.text, QString("No chip answered."));
        QCOMPARE(seen.informative, QString("Check the socket."));
        QCOMPARE(seen.buttons, QStringList{"OK"});
        QVERIFY(!QApplication::activeModalWidget());
    }

    void realInputDialog_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("port");
        QTest::newRow("Escape cancels") << int(Qt::Key_Escape) << "COM4";
        QTest::newRow("Enter takes the text") << int(Qt::Key_Return) << "/dev/ttyUSB7";
    }
    void realInputDialog()
    {
        QFETCH(int, key);
        QFETCH(QString, port);
        QTemporaryDir dir;
        writeFile(QDir(dir.path()).filePath("config.txt"), "h\r\nCOM4\r\n");
        WidgetDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.show();
        BoxSeen seen;
        answerModal(seen, Qt::Key(key), [](QWidget *box) {
            if (auto *edit = box->findChild<QLineEdit *>())
                edit->setText("/dev/ttyUSB7");
        });
        w.Options1Click();
        QCOMPARE(seen.kind, QString("QInputDialog"));
        QCOMPARE(seen.caption, QString("Настройки"));
        QCOMPARE(seen.text, QString("COM-порт: |COM4"));
        QCOMPARE(seen.buttons.size(), 2);
        QVERIFY(seen.buttons.contains("OK") && seen.buttons.contains("Cancel"));
        QCOMPARE(seen.defaultButton, QString("OK"));
        QCOMPARE(w.PortName, port);
    }

    // As the toolkit's own open dialog does, a typed name of a file that does not exist is taken.
    void openDialogTakesTypedMissingName()
    {
        QTemporaryDir dir;
        const QString missing = QDir(dir.path()).filePath("not there yet.bin");
        QWidget parent;
        parent.show();
        WidgetDialogs dialogs;
        ModalGuard guard;
        QString kind;
        QTimer::singleShot(100, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            kind = "QFileDialog";
            if (auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit"))
                edit->setText(missing);
            QMetaObject::invokeMethod(dialog, "accept");  // what the Open button does
        });
        FileDialogRequest request{{"*.bin (*.bin)"}, QDir(dir.path()).filePath("x.bin"), QString()};
        const auto chosen = dialogs.openFile(&parent, request);
        QCOMPARE(kind, QString("QFileDialog"));
        QVERIFY(chosen.has_value());
        QCOMPARE(*chosen, missing);
    }

    // The list shows 12 rows when dropped down, in every style.
    void chipListShowsTwelveRows()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("cpu"));
        for (int i = 0; i < 20; ++i)
            writeFile(QDir(dir.path()).filePath(QString("cpu/d%1.ini").arg(i)), deviceIni("ATdevice" + QByteArray::number(i + 10)));
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.cbChips->count(), 21);
        w.cbChips->showPopup();
        QAbstractItemView *view = w.cbChips->view();
        QTRY_VERIFY(view->isVisible());
        int rows = 0;
        for (int r = 0; r < w.cbChips->count(); ++r) {
            const QRect rect = view->visualRect(view->model()->index(r, 0));
            if (view->viewport()->rect().contains(rect))
                ++rows;
        }
        w.cbChips->hidePopup();
        QCOMPARE(rows, 12);
    }

    // Thousands of device files: one ordered insertion, not one per file.
    void manyDeviceFiles()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("cpu"));
        const int n = 3000;
        for (int i = 0; i < n; ++i) {
            const QByteArray name = (i % 2 ? "atmega" : "ATMEGA") + QByteArray::number((i * 7919) % n);
            writeFile(QDir(dir.path()).filePath(QString("cpu/d%1.ini").arg(i)), deviceIni(name));
        }
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.cbChips->count(), n + 1);
        QCOMPARE(w.cbChips->itemText(0), QString("* AUTO *"));
        for (int i = 2; i < w.cbChips->count(); ++i)
            QVERIFY(QString::compare(w.cbChips->itemText(i - 1), w.cbChips->itemText(i), Qt::CaseInsensitive) <= 0);
        // Loading again adds every file once more, in one insertion.
        int insertions = 0;
        connect(w.cbChips->model(), &QAbstractItemModel::rowsInserted, this, [&] { ++insertions; });
        w.LoadDeviceFiles();
        QCOMPARE(w.cbChips->count(), 2 * n + 1);
        QCOMPARE(insertions, 1);
        for (int i = 2; i < w.cbChips->count(); ++i)
            QVERIFY(QString::compare(w.cbChips->itemText(i - 1), w.cbChips->itemText(i), Qt::CaseInsensitive) <= 0);
    }

    // A device name differing only in case from another keeps the order the files came in;
    // each entry still carries its own record.
    void caseOnlyNamesCarryTheirRecords()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("cpu"));
        writeFile(QDir(dir.path()).filePath("cpu/a.ini"), deviceIni("atmega8", 8192));
        writeFile(QDir(dir.path()).filePath("cpu/b.ini"), deviceIni("ATmega8", 4096));
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.cbChips->count(), 3);
        for (int i = 1; i < 3; ++i) {
            w.cbChipsChange(i);
            QCOMPARE(w.CurDevice->Name, w.cbChips->itemText(i));
            QCOMPARE(w.lbFlashSize->text(), QString(w.CurDevice->Name == "atmega8" ? "8192" : "4096"));
        }
    }

    // A converter that ends with status 0 but writes no image has failed, also when an image
    // from an earlier conversion lies under the name.
    void converterThatWritesNothing_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("olderImage");
        QTest::addColumn<bool>("converted");
        QTest::newRow("writes nothing") << QByteArray("exit 0\n") << false << false;
        QTest::newRow("writes nothing, older image") << QByteArray("exit 0\n") << true << false;
        QTest::newRow("writes the image over an older one") << QByteArray("printf 'new' > \"${1%.*}.bin\"\n") << true
                                                            << true;
        QTest::newRow("writes the image, then fails") << QByteArray("printf 'new' > \"${1%.*}.bin\"; exit 1\n")
                                                      << false << false;
    }
    void converterThatWritesNothing()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, olderImage);
        QFETCH(bool, converted);
        QTemporaryDir dir;
        writeScript(QDir(dir.path()).filePath("hex2bin"), script);
        const QString hex = QDir(dir.path()).filePath("fw.hex");
        const QString bin = QDir(dir.path()).filePath("fw.bin");
        writeFile(hex, ":00000001FF\n");
        if (olderImage) {
            writeFile(bin, "old");
            QFile f(bin);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.edReadFromFile->setText("before.bin");
        dialogs.fileAnswers.enqueue(hex);
        w.btODClick();
        if (converted) {
            QVERIFY(dialogs.texts("error").isEmpty());
            QCOMPARE(w.edReadFromFile->text(), bin);
            QCOMPARE(w.statusText(), QString("Converted fw.hex to fw.bin successfuly."));
        } else {
            QCOMPARE(dialogs.texts("error"), QStringList{"Error converting HEX to BIN."});
            QCOMPARE(w.statusText(), QString("Error convert."));
            QCOMPARE(w.edReadFromFile->text(), QString("before.bin"));
        }
    }

    void aboutBox_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("shown");
        QTest::newRow("carried") << "0.2.0.7" << "0.2.0.7";
        QTest::newRow("two parts") << "1.5" << "1.5";
        QTest::newRow("none") << "" << "0.0.0.0";
    }
    void aboutBox()
    {
        QFETCH(QString, version);
        QFETCH(QString, shown);
        QApplication::setApplicationVersion(version);
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.About1Click();
        const QStringList boxes = dialogs.texts("information");
        QCOMPARE(boxes.size(), 1);
        const QStringList lines = boxes[0].split("\r\n");
        QCOMPARE(lines.size(), 8);
        QCOMPARE(lines[0], QString("Параллельный программатор для МК AVR"));
        QCOMPARE(lines[1], "Версия: " + shown);
        QVERIFY(lines[2].isEmpty() && lines[3].isEmpty() && lines[5].isEmpty());
        QVERIFY(lines[4].startsWith("(c) "));
        QCOMPARE(lines[6], QString("Дополнения:"));
        QVERIFY(lines[7].startsWith("(c) "));
        QApplication::setApplicationVersion(QString());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
