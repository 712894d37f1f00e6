// SPDX-License-Identifier: GPL-3.0-or-later
// The device files' newer facts (EEPROM, calibration bytes, standard board, fuse fields) as the
// loader reads them, and what fuse and lock bytes mean field by field.
#include "fields.h"
#include "loader.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#ifndef TARVANE_CPU_SOURCE_DIR
#error "TARVANE_CPU_SOURCE_DIR must name the shipped cpu folder"
#endif

namespace {

QString shippedFile(const QString &name)
{
    return QStringLiteral(TARVANE_CPU_SOURCE_DIR) + QLatin1Char('/') + name;
}

QStringList shippedFiles()
{
    return QDir(QStringLiteral(TARVANE_CPU_SOURCE_DIR)).entryList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// A device file of the older form: no EEPROM, calibration, board or field entries.
const QByteArray kOldFile =
    "[configuration]\nSignature_000=$1E\nSignature_001=$93\nSignature_002=$07\nCPU_Name=ATmega8/8A\n"
    "Page_Size=64\nFlash_Size=8192\n\n[fuse-bits]\nLow_0=CKSEL0|U\nLow_1=CKSEL1|P\nLow_2=CKSEL2|P\n"
    "Low_3=CKSEL3|P\nLow_4=SUT0|P\nLow_5=SUT1|U\nLow_6=BODEN|U\nLow_7=BODLEVEL|U\nHigh_0=BOOTRST|U\n"
    "High_1=BOOTSZ0|P\nHigh_2=BOOTSZ1|P\nHigh_3=EESAVE|U\nHigh_4=CKOPT|U\nHigh_5=SPIEN|P\nHigh_6=WDTON|U\n"
    "High_7=RSTDISBL|U\n\n[lock-bits]\nLock_0=LB1|U\nLock_1=LB2|U\nLock_2=BLB01|U\nLock_3=BLB02|U\n"
    "Lock_4=BLB11|U\nLock_5=BLB12|U\n";

const TFuseField *findField(const TDevice &device, const QString &name)
{
    for (const TFuseField &field : device.Fields)
        if (field.Name == name)
            return &field;
    return nullptr;
}

}  // namespace

class TestFields : public QObject {
    Q_OBJECT

private slots:
    void fieldValue_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("value");
        QTest::newRow("BOOTSZ 00") << 0x06 << 0xD9 << 0;
        QTest::newRow("BOOTSZ 11") << 0x06 << 0xDF << 3;
        QTest::newRow("SUT_CKSEL of $62") << 0x3F << 0x62 << 0x22;
        QTest::newRow("CKDIV8 programmed") << 0x80 << 0x62 << 0;
        QTest::newRow("gap in the mask") << 0x81 << 0x81 << 3;
        QTest::newRow("gap, low bit only") << 0x81 << 0x01 << 1;
        QTest::newRow("whole byte") << 0xFF << 0xA5 << 0xA5;
        QTest::newRow("bits outside ignored") << 0x0C << 0xF3 << 0;
    }
    void fieldValue()
    {
        QFETCH(int, mask);
        QFETCH(int, byte);
        QFETCH(int, value);
        QCOMPARE(::fieldValue(std::uint8_t(mask), std::uint8_t(byte)), value);
    }

    // Every shipped file: all its field sections read, no field overlapping another or
    // reaching over an unnamed bit, and the factory bytes named in every field.
    void shippedFactoryBytesNamed_data()
    {
        QTest::addColumn<QString>("file");
        const QStringList files = shippedFiles();
        QVERIFY(files.size() > 50);
        for (const QString &name : files)
            QTest::newRow(qPrintable(name)) << name;
    }
    void shippedFactoryBytesNamed()
    {
        QFETCH(QString, file);
        const QString path = shippedFile(file);
        const auto device = loadDeviceFile(path);
        const QByteArray text = readAll(path);
        const qsizetype sections = text.count("\n[field-");
        QCOMPARE(qsizetype(device->Fields.size()), sections);
        QVERIFY(device->EepromSize > 0);
        QVERIFY(device->EepromPageSize >= 0);
        std::array<std::uint8_t, 4> covered{};
        for (const TFuseField &field : device->Fields) {
            QVERIFY2(field.Group >= grLow && field.Group <= grLock, qPrintable(field.Name));
            QVERIFY2((covered[std::size_t(field.Group)] & field.Mask) == 0, qPrintable(field.Name + " overlaps"));
            covered[std::size_t(field.Group)] |= field.Mask;
            for (int n = 0; n < 8; ++n)
                if (IsBitSet(field.Mask, n))
                    QVERIFY2(!device->Groups[std::size_t(field.Group)].Names[std::size_t(n)].isEmpty(),
                             qPrintable(field.Name + " covers an unnamed bit"));
            QVERIFY2(!field.Caption.isEmpty() && !field.Values.isEmpty(), qPrintable(field.Name));
        }
        const auto readings = decodeFields(*device, factoryBytes(*device));
        QCOMPARE(readings.size(), device->Fields.size());
        for (const FieldReading &r : readings) {
            QVERIFY2(r.Named, qPrintable(file + ": " + r.Field->Name + " " + r.Meaning));
            QVERIFY(!r.Meaning.contains(QLatin1String("not named")));
        }
        // Nothing changes between a byte set and itself.
        QVERIFY(describeChanges(*device, factoryBytes(*device), factoryBytes(*device)).isEmpty());
    }

    // Hand-checked against the datasheets.
    //  ATmega328P (DS40002061B): table 13-1 CKSEL 0010 = calibrated internal RC oscillator,
    //  table 13-13 SUT 10 with it = 6 CK from power-down, 14 CK + 65 ms from reset; CKDIV8
    //  programmed by default (13.12); table 31-7 BOOTSZ 00 = 2048 words, boot section from
    //  $3800; table 31-6 BODLEVEL 111 = BOD disabled, 101 = 2.7 V; 31.1 lock modes.
    //  ATmega8 (2486AA): table 9 CKSEL 0001 = internal RC 1 MHz, table 10 SUT 10 = 6 CK + 64 ms;
    //  table 87 BODLEVEL unprogrammed = 2.7 V; table 82 BOOTSZ 00 = 1024 words from $C00.
    void handChecked_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("ext");
        QTest::addColumn<int>("lock");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("meaning");
        const QString m328 = QStringLiteral("ATmega328P.ini");
        QTest::newRow("328P clock") << m328 << 0x62 << 0xD9 << 0x07 << 0x3F << "SUT_CKSEL"
                                    << "internal RC oscillator 8 MHz; start-up (power-down/reset) 6 CK/14 CK + 65 ms";
        QTest::newRow("328P crystal") << m328 << 0xFF << 0xD9 << 0x07 << 0x3F << "SUT_CKSEL"
                                      << "external crystal from 8.0 MHz; start-up (power-down/reset) 16K CK/14 CK + 65 ms";
        QTest::newRow("328P divide by 8") << m328 << 0x62 << 0xD9 << 0x07 << 0x3F << "CKDIV8" << "yes";
        QTest::newRow("328P no divide") << m328 << 0xE2 << 0xD9 << 0x07 << 0x3F << "CKDIV8" << "no";
        QTest::newRow("328P boot size") << m328 << 0x62 << 0xD9 << 0x07 << 0x3F << "BOOTSZ"
                                        << "2048 words from word address $3800";
        QTest::newRow("328P boot size 256") << m328 << 0x62 << 0xDF << 0x07 << 0x3F << "BOOTSZ"
                                            << "256 words from word address $3F00";
        QTest::newRow("328P BOD off") << m328 << 0x62 << 0xD9 << 0x07 << 0x3F << "BODLEVEL" << "disabled";
        QTest::newRow("328P BOD 2.7 V") << m328 << 0x62 << 0xD9 << 0xFD << 0x3F << "BODLEVEL" << "2.7 V";
        QTest::newRow("328P not locked") << m328 << 0x62 << 0xD9 << 0x07 << 0x3F << "LB" << "no lock";
        QTest::newRow("328P locked") << m328 << 0x62 << 0xD9 << 0x07 << 0x3C << "LB"
                                     << "programming and verification disabled";
        QTest::newRow("328P boot section") << m328 << 0x62 << 0xD9 << 0x07 << 0x2F << "BLB1" << "SPM prohibited";
        const QString m8 = QStringLiteral("ATmega8_8A.ini");
        QTest::newRow("8 clock") << m8 << 0xE1 << 0xD9 << 0 << 0x3F << "SUT_CKSEL"
                                 << "internal RC oscillator 1 MHz; start-up 6 CK + 64 ms";
        QTest::newRow("8 BOD level") << m8 << 0xE1 << 0xD9 << 0 << 0x3F << "BODLEVEL" << "2.7 V";
        QTest::newRow("8 BOD off") << m8 << 0xE1 << 0xD9 << 0 << 0x3F << "BODEN" << "no";
        QTest::newRow("8 boot size") << m8 << 0xE1 << 0xD9 << 0 << 0x3F << "BOOTSZ"
                                     << "1024 words from word address $0C00";
        // ATtiny26 (1477K): a field with a gap, PLLCK (bit 7) over SUT and CKSEL (bits 5..0),
        // CKOPT between them; factory CKSEL 0001, SUT 10 = internal RC 1 MHz, 6 CK + 64 ms.
        const QString t26 = QStringLiteral("ATtiny26.ini");
        QTest::newRow("tiny26 clock") << t26 << 0xE1 << 0xF7 << 0 << 0x03 << "PLLCK_SUT_CKSEL"
                                      << "internal RC oscillator 1 MHz; start-up 6 CK + 64 ms";
        QTest::newRow("tiny26 CKOPT does not count") << t26 << 0xA1 << 0xF7 << 0 << 0x03 << "PLLCK_SUT_CKSEL"
                                                     << "internal RC oscillator 1 MHz; start-up 6 CK + 64 ms";
        QTest::newRow("tiny26 PLL") << t26 << 0x61 << 0xF7 << 0 << 0x03 << "PLLCK_SUT_CKSEL"
                                    << "PLL clock; start-up 1K CK + 64 ms";
    }
    void handChecked()
    {
        QFETCH(QString, file);
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(int, ext);
        QFETCH(int, lock);
        QFETCH(QString, field);
        QFETCH(QString, meaning);
        const auto device = loadDeviceFile(shippedFile(file));
        const FuseBytes bytes{std::uint8_t(low), std::uint8_t(high), std::uint8_t(ext), std::uint8_t(lock)};
        bool found = false;
        for (const FieldReading &r : decodeFields(*device, bytes)) {
            if (r.Field->Name != field)
                continue;
            found = true;
            QVERIFY(r.Named);
            QCOMPARE(r.Meaning, meaning);
            QVERIFY(describeFields(*device, bytes).contains(r.Field->Caption + QStringLiteral(": ") + meaning));
        }
        QVERIFY2(found, qPrintable(field));
    }

    void factoryBytesOf328P()
    {
        const auto device = loadDeviceFile(shippedFile(QStringLiteral("ATmega328P.ini")));
        const FuseBytes bytes = factoryBytes(*device);
        QCOMPARE(bytes, (FuseBytes{0x62, 0xD9, 0x07, 0x3F}));
        const QStringList lines = describeFields(*device, bytes);
        QCOMPARE(lines.first(), QStringLiteral("Divide clock by 8: yes"));
        QVERIFY(lines.contains(QStringLiteral("Clock: internal RC oscillator 8 MHz; start-up (power-down/reset) 6 CK/14 CK + 65 ms")));
        QVERIFY(lines.contains(QStringLiteral("Boot section lock: no lock")));
        QCOMPARE(lines.size(), qsizetype(device->Fields.size()));
    }

    void changes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("lines");
        const QString m328 = QStringLiteral("ATmega328P.ini");
        QTest::newRow("crystal, no divider")
            << m328 << QByteArray("\x62\xD9\x07\x3F", 4) << QByteArray("\xFF\xD9\x07\x3F", 4)
            << QStringList{QStringLiteral("Divide clock by 8: yes -> no"),
                           QStringLiteral("Clock: internal RC oscillator 8 MHz; start-up (power-down/reset) 6 CK/14 CK + 65 ms"
                                          " -> external crystal from 8.0 MHz; start-up (power-down/reset) 16K CK/14 CK + 65 ms")};
        QTest::newRow("brown-out and lock")
            << m328 << QByteArray("\x62\xD9\x07\x3F", 4) << QByteArray("\x62\xD9\x05\x3C", 4)
            << QStringList{QStringLiteral("Brown-out level: disabled -> 2.7 V"),
                           QStringLiteral("Lock mode: no lock -> programming and verification disabled")};
        QTest::newRow("into an unnamed value")
            << m328 << QByteArray("\x62\xD9\x07\x3F", 4) << QByteArray("\x61\xD9\x07\x3D", 4)
            << QStringList{QStringLiteral("Clock: internal RC oscillator 8 MHz; start-up (power-down/reset) 6 CK/14 CK + 65 ms"
                                          " -> bits 100001, not named in the device file"),
                           QStringLiteral("Lock mode: no lock -> bits 01, not named in the device file")};
        QTest::newRow("a bit outside every field")
            << m328 << QByteArray("\x62\xD9\x07\x3F", 4) << QByteArray("\x62\xD9\x0F\x7F", 4)
            << QStringList{QStringLiteral("Ext bit 3: 0 -> 1, in no field of the device file"),
                           QStringLiteral("Lock bit 6: 0 -> 1, in no field of the device file")};
        QTest::newRow("same bytes") << m328 << QByteArray("\x62\xD9\x07\x3F", 4)
                                    << QByteArray("\x62\xD9\x07\x3F", 4) << QStringList{};
        QTest::newRow("ATmega8 boot size")
            << QStringLiteral("ATmega8_8A.ini") << QByteArray("\xE1\xD9\x00\x3F", 4) << QByteArray("\xE1\xDF\x00\x3F", 4)
            << QStringList{QStringLiteral("Boot size: 1024 words from word address $0C00 -> 128 words from word address $0F80")};
    }
    void changes()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, lines);
        const auto device = loadDeviceFile(shippedFile(file));
        auto bytes = [](const QByteArray &b) {
            return FuseBytes{std::uint8_t(b[0]), std::uint8_t(b[1]), std::uint8_t(b[2]), std::uint8_t(b[3])};
        };
        QCOMPARE(describeChanges(*device, bytes(before), bytes(after)), lines);
    }

    void unnamedValues_data()
    {
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("lock");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("meaning");
        QTest::newRow("SUT_CKSEL 000001") << 0x41 << 0x3F << "SUT_CKSEL" << "bits 000001, not named in the device file";
        QTest::newRow("SUT_CKSEL 110000") << 0x70 << 0x3F << "SUT_CKSEL" << "bits 110000, not named in the device file";
        QTest::newRow("LB 01") << 0x62 << 0x3D << "LB" << "bits 01, not named in the device file";
    }
    void unnamedValues()
    {
        QFETCH(int, low);
        QFETCH(int, lock);
        QFETCH(QString, field);
        QFETCH(QString, meaning);
        const auto device = loadDeviceFile(shippedFile(QStringLiteral("ATmega328P.ini")));
        const FuseBytes bytes{std::uint8_t(low), 0xD9, 0x07, std::uint8_t(lock)};
        for (const FieldReading &r : decodeFields(*device, bytes))
            if (r.Field->Name == field) {
                QVERIFY(!r.Named);
                QCOMPARE(r.Meaning, meaning);
                return;
            }
        QFAIL("field not found");
    }

    void shippedFacts_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("eeprom");
        QTest::addColumn<int>("eepromPage");
        QTest::addColumn<int>("calibration");
        QTest::addColumn<bool>("standardBoard");
        QTest::newRow("ATmega328P") << "ATmega328P.ini" << 1024 << 4 << 1 << true;
        QTest::newRow("ATmega8") << "ATmega8_8A.ini" << 512 << 4 << 4 << true;
        QTest::newRow("ATmega163, byte-wise EEPROM") << "ATmega163.ini" << 512 << 0 << 1 << true;
        QTest::newRow("ATmega128RFA1") << "ATmega128RFA1.ini" << 4096 << 8 << 1 << false;
        QTest::newRow("ATmega32HVB") << "ATmega32HVB.ini" << 1024 << 4 << 0 << false;
    }
    void shippedFacts()
    {
        QFETCH(QString, file);
        QFETCH(int, eeprom);
        QFETCH(int, eepromPage);
        QFETCH(int, calibration);
        QFETCH(bool, standardBoard);
        const auto device = loadDeviceFile(shippedFile(file));
        QCOMPARE(device->EepromSize, eeprom);
        QCOMPARE(device->EepromPageSize, eepromPage);
        QCOMPARE(device->CalibrationSize, calibration);
        QCOMPARE(device->StandardBoard, standardBoard);
    }

    // Every part the standard board must not power says so, with its reason beside it.
    void standardBoardComments()
    {
        for (const QString &name : shippedFiles()) {
            const QString path = shippedFile(name);
            const auto device = loadDeviceFile(path);
            const bool comment = readAll(path).contains("\n; standard board: no, ");
            QVERIFY2(comment == !device->StandardBoard, qPrintable(name));
        }
    }

    // The older form still loads as before, with the new facts at their defaults.
    void oldFileLoadsUnchanged()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString oldPath = dir.filePath(QStringLiteral("old.ini"));
        QVERIFY(writeFile(oldPath, kOldFile));
        const auto device = loadDeviceFile(oldPath);
        QCOMPARE(device->Name, QStringLiteral("ATmega8/8A"));
        QCOMPARE(device->Signature, (std::array<std::uint8_t, 3>{0x1E, 0x93, 0x07}));
        QCOMPARE(device->PageSize, 64);
        QCOMPARE(device->FlashSize, 8192);
        QCOMPARE(device->Groups[grLow].Names[7], QStringLiteral("BODLEVEL"));
        QCOMPARE(device->Groups[grLow].Reference, std::uint8_t(0xE1));
        QCOMPARE(device->Groups[grHigh].Reference, std::uint8_t(0xD9));
        QCOMPARE(device->Groups[grLock].Reference, std::uint8_t(0x3F));
        QCOMPARE(device->EepromSize, 0);
        QCOMPARE(device->EepromPageSize, 0);
        QCOMPARE(device->CalibrationSize, 0);
        QVERIFY(device->StandardBoard);
        QVERIFY(device->Fields.empty());
        for (const TFuseArray &bits : device->BitDescriptions)
            for (const QString &text : bits)
                QVERIFY(text.isEmpty());
        const FuseBytes factory = factoryBytes(*device);
        QVERIFY(decodeFields(*device, factory).empty());
        QVERIFY(describeFields(*device, factory).isEmpty());
        FuseBytes changed = factory;
        changed[grHigh] = 0xDF;
        QCOMPARE(describeChanges(*device, factory, changed),
                 (QStringList{QStringLiteral("High bit 1 (BOOTSZ0): 0 -> 1, in no field of the device file"),
                              QStringLiteral("High bit 2 (BOOTSZ1): 0 -> 1, in no field of the device file")}));

        // The same record as from the shipped file, apart from the new facts.
        const auto shipped = loadDeviceFile(shippedFile(QStringLiteral("ATmega8_8A.ini")));
        QCOMPARE(shipped->Name, device->Name);
        QCOMPARE(shipped->Signature, device->Signature);
        for (std::size_t g = 0; g < 4; ++g) {
            QCOMPARE(shipped->Groups[g].Names, device->Groups[g].Names);
            QCOMPARE(shipped->Groups[g].Reference, device->Groups[g].Reference);
        }
    }

    void configurationKeys_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<int>("eeprom");
        QTest::addColumn<int>("eepromPage");
        QTest::addColumn<int>("calibration");
        QTest::addColumn<bool>("standardBoard");
        QTest::newRow("all given") << QByteArray("EEPROM_Size=512\nEEPROM_Page_Size=4\nCalibration_Size=4\nStandard_Board=no\n")
                                   << 512 << 4 << 4 << false;
        QTest::newRow("hex and case") << QByteArray("eeprom_size=$400\nEEPROM_PAGE_SIZE=0x8\nstandard_board=NO\n")
                                      << 1024 << 8 << 0 << false;
        QTest::newRow("yes") << QByteArray("Standard_Board=yes\n") << 0 << 0 << 0 << true;
        QTest::newRow("anything but no") << QByteArray("Standard_Board=0\n") << 0 << 0 << 0 << true;
        QTest::newRow("empty values") << QByteArray("EEPROM_Size=\nCalibration_Size=\nStandard_Board=\n") << 0 << 0 << 0 << true;
        QTest::newRow("not numbers") << QByteArray("EEPROM_Size=big\nEEPROM_Page_Size=4 bytes\n") << 0 << 0 << 0 << true;
        QTest::newRow("negative") << QByteArray("EEPROM_Size=-1\nCalibration_Size=-4\n") << 0 << 0 << 0 << true;
    }
    void configurationKeys()
    {
        QFETCH(QByteArray, lines);
        QFETCH(int, eeprom);
        QFETCH(int, eepromPage);
        QFETCH(int, calibration);
        QFETCH(bool, standardBoard);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("d.ini"));
        QByteArray text = kOldFile;
        text.replace("Flash_Size=8192\n", "Flash_Size=8192\n" + lines);
        QVERIFY(writeFile(path, text));
        const auto device = loadDeviceFile(path);
        QCOMPARE(device->FlashSize, 8192);
        QCOMPARE(device->EepromSize, eeprom);
        QCOMPARE(device->EepromPageSize, eepromPage);
        QCOMPARE(device->CalibrationSize, calibration);
        QCOMPARE(device->StandardBoard, standardBoard);
    }

    // Field sections that cannot be read are left out, the rest still count; the numbering
    // ends at the first section without a name.
    void malformedFields()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("d.ini"));
        const QByteArray fields =
            "\n[field-0]\nName=ODD\nByte=Middle\nMask=$01\nValue_00=a\n"
            "\n[field-1]\nName=ZERO\nByte=Low\nMask=$00\nValue_00=a\n"
            "\n[field-2]\nName=WIDE\nByte=High\nMask=$1FF\nValue_00=a\n"
            "\n[field-3]\nName=BOOTSZ\nByte=high\nMask=6\nCaption=Boot size\nValue_00=1024 words\n"
            "Value_01=\nvalue_0a=out of range\nValue_03=128 words\nValue_3=also out of the key form\n"
            "\n[field-4]\nName=LB\nByte=Lock\nMask=$03\nValue_01=same\nValue_02=same\n"
            "\n[field-5]\nByte=Low\nMask=$01\nValue_00=no name\n"
            "\n[field-6]\nName=AFTER_THE_GAP\nByte=Low\nMask=$80\nValue_00=yes\n"
            "\n[bit-descriptions]\nHigh_1=Select boot size (BOOTSZ bit 0)\nlow_9=no such bit\n";
        QVERIFY(writeFile(path, kOldFile + fields));
        const auto device = loadDeviceFile(path);
        QCOMPARE(int(device->Fields.size()), 2);
        const TFuseField *boot = findField(*device, QStringLiteral("BOOTSZ"));
        QVERIFY(boot);
        QCOMPARE(boot->Group, int(grHigh));
        QCOMPARE(boot->Mask, std::uint8_t(0x06));
        QCOMPARE(boot->Caption, QStringLiteral("Boot size"));
        QCOMPARE(boot->Values.keys(), (QList<int>{0, 3}));
        const TFuseField *lock = findField(*device, QStringLiteral("LB"));
        QVERIFY(lock);
        QCOMPARE(lock->Caption, QStringLiteral("LB"));  // no caption: the name stands in
        QCOMPARE(lock->Values.keys(), (QList<int>{1, 2}));
        QVERIFY(!findField(*device, QStringLiteral("AFTER_THE_GAP")));
        QCOMPARE(device->BitDescriptions[grHigh][1], QStringLiteral("Select boot size (BOOTSZ bit 0)"));

        const QStringList lines = describeFields(*device, FuseBytes{0xE1, 0xDB, 0x00, 0x3F});
        QCOMPARE(lines, (QStringList{QStringLiteral("Boot size: bits 01, not named in the device file"),
                                     QStringLiteral("LB: bits 11, not named in the device file")}));
        QCOMPARE(describeChanges(*device, FuseBytes{0xE1, 0xD9, 0x00, 0x3F}, FuseBytes{0xE1, 0xDF, 0x00, 0x3F}),
                 (QStringList{QStringLiteral("Boot size: 1024 words -> 128 words")}));
        // Two values under one name still read as a change.
        QCOMPARE(describeChanges(*device, FuseBytes{0xE1, 0xD9, 0x00, 0x3D}, FuseBytes{0xE1, 0xD9, 0x00, 0x3E}),
                 (QStringList{QStringLiteral("LB: same (bits 01) -> same (bits 10)")}));
    }

    // A record put together by hand, not from a file: a field with a byte out of range is passed by.
    void recordWithBadGroup()
    {
        TDevice device;
        TFuseField bad;
        bad.Name = QStringLiteral("BAD");
        bad.Group = 7;
        bad.Mask = 0x01;
        device.Fields.push_back(bad);
        TFuseField none;
        none.Name = QStringLiteral("NONE");
        none.Group = grLow;
        none.Mask = 0;
        device.Fields.push_back(none);
        QVERIFY(decodeFields(device, FuseBytes{}).empty());
        QCOMPARE(describeChanges(device, FuseBytes{}, FuseBytes{0x01, 0, 0, 0}),
                 (QStringList{QStringLiteral("Low bit 0: 0 -> 1, in no field of the device file")}));
    }

    void bitDescriptionsOfShipped328P()
    {
        const auto device = loadDeviceFile(shippedFile(QStringLiteral("ATmega328P.ini")));
        QCOMPARE(device->BitDescriptions[grLow][7], QStringLiteral("Divide clock by 8 internally"));
        QCOMPARE(device->BitDescriptions[grHigh][3], QStringLiteral("Preserve EEPROM through the Chip Erase cycle"));
        QVERIFY(device->BitDescriptions[grExtended][3].isEmpty());
        QCOMPARE(device->BitDescriptions[grLock][5], QStringLiteral("Boot Loader Protection Mode (BLB1 bit 1)"));
    }
};

QTEST_GUILESS_MAIN(TestFields)
#include "test_fields.moc"
