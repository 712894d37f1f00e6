// SPDX-License-Identifier: GPL-3.0-or-later
// The test catalogue and small file helpers, shared by the window's and the core's tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace rig {

struct DeviceSpec {
    const char *file;
    QByteArray text;
};

// TestMega8 is the simulator's default chip: 1E 93 07, 8 KB, 64-byte pages, factory E1 D9,
// no extended fuse, two lock bits, 512 bytes of EEPROM in pages of 4, four calibration bytes.
// TestBig: 32 KB, 1 KB of EEPROM written byte by byte, one calibration byte.
inline QList<DeviceSpec> testDevices()
{
    const QByteArray mega8Bits = "[fuse-bits]\n"
                                 "Low_0=CKSEL0|U\nLow_1=CKSEL1|P\nLow_2=CKSEL2|P\nLow_3=CKSEL3|P\n"
                                 "Low_4=SUT0|P\nLow_5=SUT1|U\nLow_6=BODEN|U\nLow_7=BODLEVEL|U\n"
                                 "High_0=BOOTRST|U\nHigh_1=BOOTSZ0|P\nHigh_2=BOOTSZ1|P\nHigh_3=EESAVE|U\n"
                                 "High_4=CKOPT|U\nHigh_5=SPIEN|P\nHigh_6=WDTON|U\nHigh_7=RSTDISBL|U\n"
                                 "[lock-bits]\nLock_0=LB1|U\nLock_1=LB2|U\n";
    auto config = [](const char *sig, const char *name, int page, int flash) {
        return QByteArray("[configuration]\n") + sig + "CPU_Name=" + name + "\nPage_Size=" + QByteArray::number(page)
               + "\nFlash_Size=" + QByteArray::number(flash) + "\n";
    };
    const char *sig8 = "Signature_000=$1E\nSignature_001=$93\nSignature_002=$07\n";
    const char *sigOther = "Signature_000=$1E\nSignature_001=$77\nSignature_002=$01\n";
    return {
        {"mega8.ini", config(sig8, "TestMega8", 64, 8192) + "EEPROM_Size=512\nEEPROM_Page_Size=4\nCalibration_Size=4\n"
                          + mega8Bits},
        {"big.ini", config("Signature_000=$1E\nSignature_001=$95\nSignature_002=$0F\n", "TestBig", 128, 32768)
                        + "EEPROM_Size=1024\nEEPROM_Page_Size=0\nCalibration_Size=1\n"
                        + "[fuse-bits]\nLow_7=CKDIV8|P\nHigh_6=DWEN|U\nExt_0=BODLEVEL0|U\nExt_1=BODLEVEL1|P\n"},
        {"noflash.ini", config("Signature_000=$1E\nSignature_001=$78\nSignature_002=$02\n", "NoFlash", 64, 0)
                            + mega8Bits},
        {"page0.ini", config(sigOther, "Page0", 0, 4096) + mega8Bits},
        {"page256.ini", config(sigOther, "Page256", 256, 8192) + mega8Bits},
        {"f1000.ini", config(sigOther, "Flash1000", 64, 1000) + mega8Bits},
        {"f200.ini", config(sigOther, "Flash200", 64, 200) + mega8Bits},
        {"f100.ini", config(sigOther, "Flash100", 64, 100) + mega8Bits},
        {"huge.ini", config("Signature_000=$1E\nSignature_001=$7F\nSignature_002=$7F\n", "Huge", 128, 2147483647)
                         + mega8Bits},
    };
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QString hexBytes(const std::uint8_t *data, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QStringLiteral("%1").arg(data[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(' ');
}

inline QString hexBytes(const QByteArray &data)
{
    return hexBytes(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()));
}

}  // namespace rig
