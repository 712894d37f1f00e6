// SPDX-License-Identifier: GPL-3.0-or-later
#include "loader.h"

#include <QDir>
#include <QFileInfo>

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
