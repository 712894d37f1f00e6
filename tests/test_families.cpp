// SPDX-License-Identifier: GPL-3.0-or-later
// The shipped catalogue through the real window against the simulated adapter: one round
// trip per device family (Read Chip, a fuse write read back, Flash written and read), and
// the devices with 256-byte pages, whose pages the window writes in pieces of 128.
#include "adaptersim.h"
#include "families.h"
#include "loader.h"
#include "scripteddialogs.h"
#include "uMain.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray pattern(int size, int seed)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 11 + (i >> 8) * 5 + (i >> 16) * 3 + seed) & 0xFF);
    return data;
}

QString hex(std::uint8_t v)
{
    return QStringLiteral("%1").arg(v, 2, 16, QLatin1Char('0')).toUpper() + "h";
}

// A factory-fresh chip as the device file describes it: its reference bits where it names
// a bit, 1 (unprogrammed) where it names none.
adaptersim::Chip chipOf(const TDevice &d)
{
    std::uint8_t bytes[4];
    for (int g = 0; g < 4; ++g) {
        bytes[g] = d.Groups[g].Reference;
        for (int bit = 0; bit < 8; ++bit)
            if (d.Groups[g].Names[bit].isEmpty())
                bytes[g] |= std::uint8_t(1 << bit);
    }
    adaptersim::Chip c;
    c.signature = d.Signature;
    c.lowFuse = bytes[0];
    c.highFuse = bytes[1];
    c.extFuse = bytes[2];
    c.lock = 0xFF;
    c.flash.assign(std::size_t(d.FlashSize), 0xFF);
    c.pageSize = std::size_t(d.PageSize);
    return c;
}

struct Rig {
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TDevice> device;
    std::unique_ptr<adaptersim::Simulator> sim;
    std::unique_ptr<TfmMain> w;

    explicit Rig(const QString &file)
    {
        QDir().mkpath(dir.filePath("cpu"));
        const QDir shipped(qEnvironmentVariable("TARVANE_BIN_DIR") + "/cpu");
        for (const QString &name : shipped.entryList({"*.ini"}))
            QFile::copy(shipped.filePath(name), dir.filePath("cpu/" + name));
        device = loadDeviceFile(dir.filePath("cpu/" + file));
        adaptersim::Options options;
        options.chip = chipOf(*device);
        sim = std::make_unique<adaptersim::Simulator>(options);
        std::string error;
        if (!sim->start(&error))
            qFatal("simulator: %s", error.c_str());
        w = std::make_unique<TfmMain>(dir.path(), dialogs);
        w->PortName = QString::fromStdString(sim->devicePath());
        w->VerifyAfterWriting = false;  // the round trip verifies by itself
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    QCheckBox *box(const QString &name) const { return w->findChild<QCheckBox *>(name); }
    QByteArray flash() const
    {
        const auto f = sim->chip().flash;
        return QByteArray(reinterpret_cast<const char *>(f.data()), qsizetype(f.size()));
    }
};

}  // namespace

class TestFamilies : public QObject {
    Q_OBJECT

private slots:
    // One device of each family: Read Chip finds it, a fuse bit written reads back, and a
    // Flash image of a few pages and an odd tail is written, verified and read.
    void familyRoundTrip_data()
    {
        QTest::addColumn<QString>("file");
        for (const QString &f : rig::familyFiles())
            QTest::newRow(qPrintable(f)) << f;
    }
    void familyRoundTrip()
    {
        QFETCH(QString, file);
        Rig r(file);
        QVERIFY(r.device);
        const adaptersim::Chip factory = r.sim->chip();

        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), "Found device: " + r.device->Name);
        QCOMPARE(r.w->lbPageSize->text(), QString::number(r.device->PageSize));
        QCOMPARE(r.w->lbLowByte->text(), hex(factory.lowFuse));
        QCOMPARE(r.w->lbHighByte->text(), hex(factory.highFuse));
        QCOMPARE(r.w->lbExtendedByte->text(), hex(factory.extFuse));
        if (!r.device->StandardBoard) {
            // Read, and named as a part the standard board must never power; nothing is written.
            QCOMPARE(r.dialogs.texts("information"), QStringList{core::unservedText(*r.device)});
            r.sim->clearLog();
            r.w->btWriteFuses->click();
            r.w->btChipErase->click();
            QVERIFY(r.sim->log().empty());
            QCOMPARE(r.w->statusText(), QString("Operation aborted."));
            return;
        }

        // The highest named bit of the high fuse and of the low fuse, flipped.
        std::uint8_t low = factory.lowFuse, high = factory.highFuse;
        for (int bit = 7; bit >= 0; --bit)
            if (!r.device->Groups[0].Names[bit].isEmpty()) {
                r.box("LowByte_Bit" + QString::number(bit))->click();
                low ^= std::uint8_t(1 << bit);
                break;
            }
        for (int bit = 7; bit >= 0; --bit)
            if (!r.device->Groups[1].Names[bit].isEmpty()) {
                r.box("HighByte_Bit" + QString::number(bit))->click();
                high ^= std::uint8_t(1 << bit);
                break;
            }
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        QCOMPARE(r.w->lbLowByte->text(), hex(low));
        QCOMPARE(r.w->lbHighByte->text(), hex(high));
        QCOMPARE(int(r.sim->chip().lowFuse), int(low));
        QCOMPARE(int(r.sim->chip().highFuse), int(high));

        const int size = 3 * r.device->PageSize + 13;
        const QByteArray image = pattern(size, size);
        QVERIFY(writeFile(r.path("image.bin"), image));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
        const QByteArray expected = image + QByteArray(r.device->FlashSize - size, char(0xFF));
        QVERIFY(r.flash() == expected);
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        r.w->edWriteToFile->setText(r.path("back.bin"));
        r.w->btReadFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QVERIFY(readFile(r.path("back.bin")) == expected);
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
    }

    // 256-byte pages written by the window in pieces of 128; the ATmega2560's image crosses
    // 64 KB and 128 KB (the extended address). Verify costs a command per word: the other two
    // images are kept small.
    void widePages_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::newRow("ATmega644P") << "ATmega644P_PA.ini" << 8192 + 300;
        QTest::newRow("ATmega1284P") << "ATmega1284P.ini" << 4096 + 129;
        QTest::newRow("ATmega2560, past 128 KB") << "ATmega2560.ini" << 131072 + 4096 + 1;
    }
    void widePages()
    {
        QFETCH(QString, file);
        QFETCH(int, size);
        Rig r(file);
        r.w->btRead->click();
        QCOMPARE(r.w->lbPageSize->text(), QString("256"));
        const QByteArray image = pattern(size, 3);
        QVERIFY(writeFile(r.path("image.bin"), image));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
        const QByteArray expected = image + QByteArray(r.device->FlashSize - size, char(0xFF));
        QVERIFY(r.flash() == expected);
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        r.w->edWriteToFile->setText(r.path("back.bin"));
        r.w->btReadFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QVERIFY(readFile(r.path("back.bin")) == expected);
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
    }
};

QTEST_MAIN(TestFamilies)
#include "test_families.moc"
