// SPDX-License-Identifier: GPL-3.0-or-later
// File > Options: the ports this machine has, offered in the one input line.
#include "dialogs.h"
#include "portdevice_list.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Answers the choice input from a script and records what it offered.
struct ChoiceDialogs : WidgetDialogs {
    QStringList offered;
    QString initial;
    int asked = 0;
    std::optional<QString> answer;
    std::optional<QString> inputTextChoice(QWidget *, const QString &caption, const QString &prompt,
                                           const QString &initialText, const QStringList &choices) override
    {
        ++asked;
        offered = choices;
        initial = caption + "|" + prompt + "|" + initialText;
        return answer;
    }
};

}  // namespace

class TestOptions : public QObject {
    Q_OBJECT

private slots:
    void offersPortsFound_data()
    {
        QTest::addColumn<int>("answer");  // -1: cancel, -2: free text, n: the n-th choice
        QTest::newRow("cancel") << -1;
        QTest::newRow("free text") << -2;
        QTest::newRow("first port found") << 0;
    }
    void offersPortsFound()
    {
        QFETCH(int, answer);
        const QList<avrlink::PortListing> ports = avrlink::listSerialPorts();
        if (answer >= 0 && ports.isEmpty())
            QSKIP("this machine has no serial port to choose");
        QTemporaryDir dir;
        ChoiceDialogs dialogs;
        TfmMain w(dir.path(), dialogs);
        w.PortName = "COM4";
        if (answer == -2)
            dialogs.answer = "/dev/ttyUSB3 (typed)";
        else if (answer >= 0)
            dialogs.answer = avrlink::portChoiceLabel(ports[answer]);
        w.Options1Click();
        QCOMPARE(dialogs.asked, 1);
        QCOMPARE(dialogs.initial, QString("Настройки|COM-порт: |COM4"));
        QCOMPARE(dialogs.offered, avrlink::portChoiceLabels(ports));
        const QString expected = answer == -1 ? "COM4" : answer == -2 ? "/dev/ttyUSB3 (typed)" : ports[answer].path;
        QCOMPARE(w.PortName, expected);
    }

    // The toolkit's own dialog: caption, prompt, an editable list with the choices, the
    // current port as its text, and what it returns.
    void realDialog_data()
    {
        QTest::addColumn<QStringList>("choices");
        QTest::addColumn<QString>("typed");    // empty: pick the second choice
        QTest::addColumn<QString>("returned");
        const QStringList two = {"/dev/ttyUSB0 (FT232R USB UART, S/N A50285BI)", "/dev/ttyS0"};
        QTest::newRow("choice") << two << "" << "/dev/ttyS0";
        QTest::newRow("free text") << two << "/dev/ttyACM9" << "/dev/ttyACM9";
        QTest::newRow("no ports: a plain line") << QStringList() << "\\\\.\\COM7" << "\\\\.\\COM7";
    }
    void realDialog()
    {
        QFETCH(QStringList, choices);
        QFETCH(QString, typed);
        QFETCH(QString, returned);
        WidgetDialogs dialogs;
        QString seen;
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            seen = dialog->windowTitle() + "|" + dialog->labelText() + "|" + dialog->textValue();
            auto *combo = dialog->findChild<QComboBox *>();
            if (!choices.isEmpty()) {
                if (!combo || !combo->isVisible() || !combo->isEditable())
                    seen += "|no editable list";
                else
                    for (int i = 0; i < combo->count(); ++i)
                        seen += "|" + combo->itemText(i);
            }
            if (typed.isEmpty() && combo)
                combo->setCurrentIndex(1);
            else
                dialog->setTextValue(typed);
            dialog->accept();
        });
        const auto result = dialogs.inputTextChoice(nullptr, "Настройки", "COM-порт: ", "COM4", choices);
        QString expected = "Настройки|COM-порт: |COM4";
        for (const QString &c : choices)
            expected += "|" + c;
        QCOMPARE(seen, expected);
        QVERIFY(result.has_value());
        QCOMPARE(*result, returned);
    }
};

QTEST_MAIN(TestOptions)
#include "test_options.moc"
