// SPDX-License-Identifier: GPL-3.0-or-later
// Where the settings file and the user's own device files are looked for, and the window
// listing the user's device files beside the shipped ones.
#include "paths.h"
#include "scripteddialogs.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeDevice(const QString &folder, const QString &file, const QByteArray &name)
{
    QVERIFY(QDir().mkpath(folder));
    QFile f(QDir(folder).filePath(file));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[configuration]\nCPU_Name=" + name + "\nSignature_000=$1E\n");
}

QStringList chipTexts(const TfmMain &w)
{
    QStringList texts;
    for (int i = 0; i < w.cbChips->count(); ++i)
        texts << w.cbChips->itemText(i);
    return texts;
}

// Sets a variable for one test and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value) : name(name), old(qgetenv(name)), had(qEnvironmentVariableIsSet(name))
    {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedEnv() { had ? qputenv(name, old) : qunsetenv(name); }

private:
    const char *name;
    QByteArray old;
    bool had;
};

}  // namespace

class TestPaths : public QObject {
    Q_OBJECT

private slots:
    void settingsFile_data()
    {
        QTest::addColumn<QString>("baseDir");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("xdg");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("writable folder keeps it beside")
            << "/opt/tarvane" << true << "/home/u/.cfg" << "/home/u" << "/opt/tarvane/config.txt";
        QTest::newRow("writable, trailing separator")
            << "/opt/tarvane/" << true << "" << "" << "/opt/tarvane/config.txt";
        QTest::newRow("installed: XDG_CONFIG_HOME")
            << "/usr/lib/tarvane" << false << "/home/u/.cfg" << "/home/u" << "/home/u/.cfg/tarvane/config.txt";
        QTest::newRow("installed: XDG_CONFIG_HOME with trailing separator")
            << "/usr/lib/tarvane" << false << "/home/u/.cfg/" << "/home/u" << "/home/u/.cfg/tarvane/config.txt";
        QTest::newRow("installed: no XDG_CONFIG_HOME")
            << "/usr/lib/tarvane" << false << "" << "/home/u" << "/home/u/.config/tarvane/config.txt";
        QTest::newRow("installed: relative XDG_CONFIG_HOME is ignored")
            << "/usr/lib/tarvane" << false << "cfg" << "/home/u" << "/home/u/.config/tarvane/config.txt";
        QTest::newRow("installed: no home at all stays beside")
            << "/usr/lib/tarvane" << false << "" << "" << "/usr/lib/tarvane/config.txt";
        QTest::newRow("installed: relative home stays beside")
            << "/usr/lib/tarvane" << false << "" << "u" << "/usr/lib/tarvane/config.txt";
    }
    void settingsFile()
    {
        QFETCH(QString, baseDir);
        QFETCH(bool, writable);
        QFETCH(QString, xdg);
        QFETCH(QString, home);
        QFETCH(QString, expected);
        QCOMPARE(settingsFilePath(baseDir, writable, xdg, home), expected);
    }

    void deviceFolder_data()
    {
        QTest::addColumn<QString>("xdg");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("XDG_CONFIG_HOME") << "/home/u/.cfg" << "/home/u" << "/home/u/.cfg/tarvane/cpu";
        QTest::newRow("home") << "" << "/home/u" << "/home/u/.config/tarvane/cpu";
        QTest::newRow("relative XDG_CONFIG_HOME") << "x" << "/home/u" << "/home/u/.config/tarvane/cpu";
        QTest::newRow("neither") << "" << "" << "";
        QTest::newRow("relative home") << "" << "." << "";
    }
    void deviceFolder()
    {
        QFETCH(QString, xdg);
        QFETCH(QString, home);
        QFETCH(QString, expected);
        QCOMPARE(userDeviceFolder(xdg, home), expected);
    }

    // The environment variant: the real folder's permission decides; a writable folder keeps
    // the file beside the program and creates nothing in the user's folder.
    void writableFolderCreatesNothingElsewhere()
    {
        QTemporaryDir base, config;
        ScopedEnv xdg("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        QCOMPARE(settingsFilePath(base.path()), QDir(base.path()).filePath("config.txt"));
        QVERIFY(!QDir(config.filePath("tarvane")).exists());
    }

    void userDevicesListedBesideShipped_data()
    {
        QTest::addColumn<bool>("viaXdg");
        QTest::newRow("XDG_CONFIG_HOME") << true;
        QTest::newRow("~/.config") << false;
    }
    void userDevicesListedBesideShipped()
    {
        QFETCH(bool, viaXdg);
        QTemporaryDir base, user;
        writeDevice(QDir(base.path()).filePath("cpu"), "shipped.ini", "ATmega8");
        writeDevice(QDir(base.path()).filePath("cpu"), "other.ini", "ATtiny2313");
        const QString folder = viaXdg ? user.filePath("tarvane/cpu") : user.filePath(".config/tarvane/cpu");
        writeDevice(folder, "mine.ini", "ATmega8 board rev B");
        ScopedEnv xdg("XDG_CONFIG_HOME", viaXdg ? user.path().toLocal8Bit() : QByteArray());
        ScopedEnv home("HOME", user.path().toLocal8Bit());
        ScriptedDialogs dialogs;
        TfmMain w(base.path(), dialogs);
        QCOMPARE(chipTexts(w), (QStringList{"* AUTO *", "ATmega8", "ATmega8 board rev B", "ATtiny2313"}));
    }

    // Without a usable home there is no user folder: nothing is read from the working folder.
    void noHomeLoadsNothingExtra()
    {
        QTemporaryDir base, cwd;
        writeDevice(cwd.path(), "stray.ini", "stray");
        ScopedEnv xdg("XDG_CONFIG_HOME", QByteArray());
        ScopedEnv home("HOME", QByteArray());
        const QString old = QDir::currentPath();
        QVERIFY(QDir::setCurrent(cwd.path()));
        ScriptedDialogs dialogs;
        TfmMain w(base.path(), dialogs);
        QDir::setCurrent(old);
        QCOMPARE(chipTexts(w), QStringList{"* AUTO *"});
    }
};

QTEST_MAIN(TestPaths)
#include "test_paths.moc"
