// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: reading its lines, writing them back, replacing the file safely.
#include "settings.h"
#include "support/child.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <sys/stat.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("writeTo");
        QTest::addColumn<QString>("readFrom");
        const QString keep = "keep";
        QTest::newRow("empty file") << QByteArray() << kDefaultPortName << keep << keep;
        QTest::newRow("header only") << QByteArray("# Tarvane configuration file\r\n") << kDefaultPortName << keep
                                     << keep;
        QTest::newRow("crlf") << QByteArray("h\r\n/dev/ttyUSB0\r\nout.bin\r\nin.bin\r\n") << "/dev/ttyUSB0"
                              << "out.bin" << "in.bin";
        QTest::newRow("lf only") << QByteArray("h\n/dev/ttyUSB0\nout.bin\nin.bin\n") << "/dev/ttyUSB0" << "out.bin"
                                 << "in.bin";
        QTest::newRow("cr only") << QByteArray("h\r/dev/ttyUSB0\rout.bin\rin.bin") << "/dev/ttyUSB0" << "out.bin"
                                 << "in.bin";
        QTest::newRow("last line without end") << QByteArray("h\r\nCOM3\r\nout.bin") << "COM3" << "out.bin" << keep;
        QTest::newRow("blank line 2") << QByteArray("h\r\n\r\nout.bin\r\nin.bin\r\n") << kDefaultPortName
                                      << "out.bin" << "in.bin";
        QTest::newRow("blanks are a port") << QByteArray("h\r\n   \r\n") << "   " << keep << keep;
        QTest::newRow("values not trimmed") << QByteArray("h\r\n COM1 \r\n a b \r\n c \r\n") << " COM1 " << " a b "
                                            << " c ";
        QTest::newRow("empty file names") << QByteArray("h\r\nCOM2\r\n\r\n\r\n") << "COM2" << "" << "";
        QTest::newRow("extra lines ignored") << QByteArray("h\nCOM2\na\nb\nc\nd\n") << "COM2" << "a" << "b";
        QTest::newRow("NUL ends the text") << QByteArray("h\nCOM2\na", 9) + QByteArray("\0\nb\n", 4) << "COM2"
                                           << "a" << keep;
        QTest::newRow("mixed ends") << QByteArray("h\n\rCOM5\r\n") << kDefaultPortName << "COM5" << keep;
    }
    void parse()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, port);
        QFETCH(QString, writeTo);
        QFETCH(QString, readFrom);
        SettingsValues v{"", "keep", "keep"};
        parseSettings(content, v);
        QCOMPARE(v.PortName, port);
        QCOMPARE(v.WriteToFile, writeTo);
        QCOMPARE(v.ReadFromFile, readFrom);
    }

    void format()
    {
        // The four lines of the original program come first, as it wrote them; later settings
        // follow, where a reader of the four lines alone does not look.
        QCOMPARE(formatSettings({"\\\\.\\COM1", "", "C:\\fw\\a.bin"}),
                 QByteArray("# Tarvane configuration file\r\n\\\\.\\COM1\r\n\r\nC:\\fw\\a.bin\r\nFastTransfers=on\r\n"
                            "VerifyAfterWriting=on\r\nEepromFile=\r\n"));
        QCOMPARE(formatSettings({"", "", "", false, false, "/home/u/cal.eep"}),
                 QByteArray("# Tarvane configuration file\r\n\r\n\r\n\r\nFastTransfers=off\r\nVerifyAfterWriting=off\r\n"
                            "EepromFile=/home/u/cal.eep\r\n"));
    }

    void laterSettings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("fast");
        QTest::newRow("none: on") << QByteArray("h\r\nCOM2\r\na\r\nb\r\n") << true;
        QTest::newRow("off") << QByteArray("h\r\nCOM2\r\na\r\nb\r\nFastTransfers=off\r\n") << false;
        QTest::newRow("on") << QByteArray("h\nCOM2\na\nb\nFastTransfers=on\n") << true;
        QTest::newRow("not on line 4") << QByteArray("h\nCOM2\na\nFastTransfers=off\n") << true;
        QTest::newRow("the last one counts") << QByteArray("h\nCOM2\na\nb\nFastTransfers=off\nFastTransfers=on\n") << true;
        QTest::newRow("anything else ignored") << QByteArray("h\nCOM2\na\nb\nFastTransfers=no\nfasttransfers=off\n")
                                               << true;
    }
    void laterSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, fast);
        SettingsValues v;
        parseSettings(content, v);
        QCOMPARE(v.FastTransfers, fast);
        QCOMPARE(v.PortName, QString("COM2"));  // the four lines read as before
    }

    void laterSettingsKeepTheirValues()
    {
        SettingsValues v;
        parseSettings("h\nCOM2\na\nb\nVerifyAfterWriting=off\nEepromFile=/tmp/a b.eep\n", v);
        QVERIFY(v.FastTransfers);
        QVERIFY(!v.VerifyAfterWriting);
        QCOMPARE(v.EepromFile, QString("/tmp/a b.eep"));
        SettingsValues back;
        parseSettings(formatSettings(v), back);
        QCOMPARE(back.EepromFile, v.EepromFile);
        QCOMPARE(back.VerifyAfterWriting, false);
    }

    void roundTrip()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.txt");
        const SettingsValues saved{"/dev/ttyUSB1", "/home/u/dump file.bin", "/home/u/блинк.bin"};
        QVERIFY(writeSettingsFile(path, saved));
        SettingsValues back;
        QVERIFY(readSettingsFile(path, back));
        QCOMPARE(back.PortName, saved.PortName);
        QCOMPARE(back.WriteToFile, saved.WriteToFile);
        QCOMPARE(back.ReadFromFile, saved.ReadFromFile);
        // Nothing but the settings file is left in the folder.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"config.txt"});
    }

    void failures()
    {
        QTemporaryDir dir;
        SettingsValues v{"x", "a", "b"};
        QVERIFY(readSettingsFile(dir.filePath("missing.txt"), v));  // no file: defaults, no complaint
        QCOMPARE(v.PortName, QString("x"));

        // A folder where the file should be can be neither read nor replaced.
        const QString folder = dir.filePath("config.txt");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(!readSettingsFile(folder, v));
        QVERIFY(!writeSettingsFile(folder, v));
        QVERIFY(!writeSettingsFile(dir.filePath("no/such/dir/config.txt"), v));

        // A failed save leaves the old file whole.
        const QString path = dir.filePath("keep.txt");
        QVERIFY(writeSettingsFile(path, {"COM7", "o", "i"}));
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const bool wrote = writeSettingsFile(path, {"COM8", "o", "i"});
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        SettingsValues back;
        QVERIFY(readSettingsFile(path, back));
        QCOMPARE(back.PortName, wrote ? QString("COM8") : QString("COM7"));  // root may write anyway
    }

    // A full disk: the file-size limit lets the temporary file take the first bytes only.
    void fullDiskKeepsOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.txt");
        QVERIFY(writeSettingsFile(path, {"COM7", "old out.bin", "old in.bin"}));
        const QByteArray before = readAll(path);
        const int status = runInChild(
            [&] { return writeSettingsFile(path, {"/dev/ttyUSB0", "new out.bin", "new in.bin"}) ? 1 : 0; }, 20,
            16);
        QCOMPARE(status, 0);  // the save says it failed
        QCOMPARE(readAll(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.txt"});
    }

    // The new file is written whole but cannot take the old one's place: the save says so, and
    // the old file and nothing else is left.
    void failedCommitReported()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.txt");
        const QByteArray before = "# Tarvane configuration file\r\nCOM7\r\na\r\nb\r\n";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(before);
        f.close();
        const int status = runInChild([&] {
            ::setenv("TARVANE_FAULT_RENAME", "config.txt", 1);  // faultshim.cpp, linked in
            return writeSettingsFile(path, {"/dev/ttyUSB0", "new out.bin", "new in.bin"}) ? 1 : 0;
        }, 20);
        QCOMPARE(status, 0);
        QCOMPARE(readAll(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.txt"});
    }

    // A FIFO is neither opened (that would wait for a writer for ever) nor replaced.
    void fifoIsLeftAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.txt");
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        const int status = runInChild([&] {
            SettingsValues v{"x", "a", "b"};
            const bool read = readSettingsFile(path, v);
            const bool wrote = writeSettingsFile(path, v);
            return (read ? 1 : 0) | (wrote ? 2 : 0) | (v.PortName == "x" ? 0 : 4);  // fields kept
        }, 10);
        QCOMPARE(status, 0);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
    }

    void deviceIsNotASettingsFile()
    {
        SettingsValues v{"", "a", "b"};
        QVERIFY(!readSettingsFile("/dev/null", v));
        QCOMPARE(v.PortName, kDefaultPortName);
        QCOMPARE(v.WriteToFile, QString("a"));
    }

    // Reading stops at the bound: a port on a line beyond it is not reached.
    void readingIsBounded()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(kMaxSettingsFileSize, '#'));
        f.write("\r\nCOM9\r\nout.bin\r\nin.bin\r\n");
        f.close();
        SettingsValues v{"", "keep", "keep"};
        QVERIFY(readSettingsFile(path, v));
        QCOMPARE(v.PortName, kDefaultPortName);
        QCOMPARE(v.WriteToFile, QString("keep"));

        // Within the bound, a long first line is no obstacle.
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(kMaxSettingsFileSize - 100, '#'));
        f.write("\r\nCOM9\r\nout.bin\r\nin.bin\r\n");
        f.close();
        QVERIFY(readSettingsFile(path, v));
        QCOMPARE(v.PortName, QString("COM9"));
        QCOMPARE(v.ReadFromFile, QString("in.bin"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
