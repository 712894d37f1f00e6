// SPDX-License-Identifier: GPL-3.0-or-later
#include "loader.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace {

// The byte names of the Byte= key of a [field-N] section.
int groupFromName(const QString &text)
{
    static const char *const names[] = {"Low", "High", "Ext", "Lock"};
    for (int g = 0; g < 4; ++g)
        if (text.compare(QLatin1String(names[g]), Qt::CaseInsensitive) == 0)
            return g;
    return -1;
}

int bitCount(std::uint8_t mask)
{
    int n = 0;
    for (; mask; mask = std::uint8_t(mask & (mask - 1)))
        ++n;
    return n;
}

// [field-0], [field-1], ... up to the first section without a Name. A field whose byte or
// mask cannot be read is left out; the others still count.
void readFields(const IniFile &ini, TDevice &device)
{
    constexpr int kMaxFields = 64;
    for (int i = 0; i < kMaxFields; ++i) {
        const QString section = QStringLiteral("field-%1").arg(i);
        TFuseField field;
        field.Name = ini.readText(section, QStringLiteral("Name"), QString());
        if (field.Name.isEmpty())
            break;
        field.Group = groupFromName(ini.readText(section, QStringLiteral("Byte"), QString()));
        const std::int32_t mask = ini.readNumber(section, QStringLiteral("Mask"), 0);
        if (field.Group < 0 || mask <= 0 || mask > 0xFF)
            continue;
        field.Mask = std::uint8_t(mask);
        field.Caption = ini.readText(section, QStringLiteral("Caption"), field.Name);
        if (field.Caption.isEmpty())
            field.Caption = field.Name;
        const int count = 1 << bitCount(field.Mask);
        for (int v = 0; v < count; ++v) {
            const QString key = QStringLiteral("Value_") + QStringLiteral("%1").arg(v, 2, 16, QLatin1Char('0')).toUpper();
            const QString name = ini.readText(section, key, QString());
            if (!name.isEmpty())
                field.Values.insert(v, name);
        }
        device.Fields.push_back(field);
    }
}

void readBitDescriptions(const IniFile &ini, TDevice &device)
{
    static const char *const prefixes[] = {"Low_", "High_", "Ext_", "Lock_"};
    const QString section = QStringLiteral("bit-descriptions");
    for (std::size_t g = 0; g < 4; ++g)
        for (int n = 0; n < 8; ++n)
            device.BitDescriptions[g][std::size_t(n)] =
                ini.readText(section, QLatin1String(prefixes[g]) + QString::number(n), QString());
}

}  // namespace

void ReadBitGroup(const IniFile &ini, const QString &section, const QString &prefix, TBitGroup &group)
{
    group.Reference = 0;
    for (int n = 0; n < 8; ++n) {
        const QString text = ini.readText(section, prefix + QString::number(n), QString());
        const qsizetype bar = text.indexOf(QLatin1Char('|'));
        const QString name = bar < 0 ? text : text.left(bar);
        const QString flag = bar < 0 ? QString() : text.mid(bar + 1);
        group.Names[std::size_t(n)] = name;
        SetBit(group.Reference, n, flag == QLatin1String("U") ? 1 : 0);
    }
}

std::unique_ptr<TDevice> loadDeviceFile(const QString &path)
{
    const IniFile ini(path);
    auto device = std::make_unique<TDevice>();
    const QString cfg = QStringLiteral("configuration");
    for (int i = 0; i < 3; ++i) {
        const QString key = QStringLiteral("Signature_00%1").arg(i);
        const auto value = parseIniNumber(ini.readText(cfg, key, QStringLiteral("0"))).value_or(0);
        device->Signature[std::size_t(i)] = std::uint8_t(std::uint32_t(value) & 0xFFu);
    }
    device->Name = ini.readText(cfg, QStringLiteral("CPU_Name"), QStringLiteral("unknown"));
    device->PageSize = ini.readNumber(cfg, QStringLiteral("Page_Size"), 0);
    device->FlashSize = ini.readNumber(cfg, QStringLiteral("Flash_Size"), 0);
    ReadBitGroup(ini, QStringLiteral("fuse-bits"), QStringLiteral("Low_"), device->Groups[grLow]);
    ReadBitGroup(ini, QStringLiteral("fuse-bits"), QStringLiteral("High_"), device->Groups[grHigh]);
    ReadBitGroup(ini, QStringLiteral("fuse-bits"), QStringLiteral("Ext_"), device->Groups[grExtended]);
    ReadBitGroup(ini, QStringLiteral("lock-bits"), QStringLiteral("Lock_"), device->Groups[grLock]);
    // A size that is no number, or below 0, counts as unknown.
    device->EepromSize = std::max(0, ini.readNumber(cfg, QStringLiteral("EEPROM_Size"), 0));
    device->EepromPageSize = std::max(0, ini.readNumber(cfg, QStringLiteral("EEPROM_Page_Size"), 0));
    device->CalibrationSize = std::max(0, ini.readNumber(cfg, QStringLiteral("Calibration_Size"), 0));
    device->StandardBoard =
        ini.readText(cfg, QStringLiteral("Standard_Board"), QString()).compare(QLatin1String("no"), Qt::CaseInsensitive) != 0;
    readFields(ini, *device);
    readBitDescriptions(ini, *device);
    return device;
}

std::vector<std::unique_ptr<TDevice>> loadDeviceFolder(const QString &folder)
{
    std::vector<std::unique_ptr<TDevice>> devices;
    QDir dir(folder);
    if (!dir.exists())
        return devices;
    // Hidden, read-only and system entries count like any other. Only regular files (or links
    // to them) are device files: folders, FIFOs and device nodes are skipped.
    const QStringList names = dir.entryList({QStringLiteral("*.ini")},
                                            QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System
                                                | QDir::NoDotAndDotDot,
                                            QDir::Unsorted);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        if (!QFileInfo(path).isFile())
            continue;
        devices.push_back(loadDeviceFile(path));
    }
    return devices;
}
