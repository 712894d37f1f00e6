// The window as it starts, closes, remembers its settings and tells its version.
#include "scripteddialogs.h"
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
#include <QTemporaryDir>
#include <QTest>

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
        QCOMPARE(menu, QStringList({"File", "Options", "-", "Exit", "Help", "About"}));
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
                 QByteArray("# Tarvane configuration file\r\n\\\\.\\COM1\r\n\r\ntyped in.bin\r\n"));
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
        QCOMPARE(readAll(config), "# Tarvane configuration file\r\n" + port.toLocal8Bit() + "\r\n\r\n\r\n");
    }

    void settingsFailuresReported()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(QDir(dir.path()).filePath("config.txt")));  // a folder in its place
        ScriptedDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        QCOMPARE(w.statusText(), QString("Can`t read settings file."));
        QCOMPARE(w.PortName, QString("\\\\.\\COM1"));
        w.SaveSettings();
        QCOMPARE(w.statusText(), QString("Can`t write settings file."));
        QVERIFY(dialogs.shown.isEmpty());
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
