// SPDX-License-Identifier: GPL-3.0-or-later
// The shipped catalogue in the chip list: with about a hundred entries, typing the first
// letters of a name must find its entry, as a non-editable combo box does by itself.
#include "scripteddialogs.h"
#include "uMain.h"

#include <QComboBox>
#include <QLabel>
#include <QTest>

class TestChipSearch : public QObject {
    Q_OBJECT

private slots:
    void typedPrefixFindsEntry_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("pageSize");
        QTest::newRow("ATmega2") << "ATmega2" << "ATmega2560" << "256";
        QTest::newRow("lower case") << "atmega128" << "ATmega128/128A" << "256";
        QTest::newRow("ATmega164P") << "ATmega164P" << "ATmega164P/PA" << "128";
        QTest::newRow("AT90U") << "AT90U" << "AT90USB1286/1287" << "256";
        QTest::newRow("ATtiny4") << "ATtiny4" << "ATtiny4313" << "64";
    }
    void typedPrefixFindsEntry()
    {
        QFETCH(QString, typed);
        QFETCH(QString, entry);
        QFETCH(QString, pageSize);
        const QString bin = qEnvironmentVariable("TARVANE_BIN_DIR");
        if (bin.isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
        ScriptedDialogs dialogs;
        TfmMain w(bin, dialogs);
        QVERIFY(w.cbChips->count() > 80);
        QVERIFY(!w.cbChips->isEditable());
        QCOMPARE(w.cbChips->currentIndex(), 0);

        QTest::keyClicks(w.cbChips, typed);
        QCOMPARE(w.cbChips->currentText(), entry);
        // Found as a choice by hand: the device is in force.
        QCOMPARE(w.CurDevice->Name, entry);
        QCOMPARE(w.lbPageSize->text(), pageSize);
    }
};

QTEST_MAIN(TestChipSearch)
#include "test_chipsearch.moc"
