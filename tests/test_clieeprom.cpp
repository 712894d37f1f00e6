// SPDX-License-Identifier: GPL-3.0-or-later
#include <QTest>
class TestCliEeprom : public QObject {
    Q_OBJECT
};
QTEST_MAIN(TestCliEeprom)
#include "test_clieeprom.moc"
