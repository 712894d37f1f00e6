// SPDX-License-Identifier: GPL-3.0-or-later
// EEPROM files as users have them, made and read back by avr-objcopy (not by our image code):
// Intel HEX for .eep and .hex names, raw bytes otherwise. Needs TARVANE_AVR_OBJCOPY defined.
#pragma once

#include "devices.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace rig {

inline bool isHexName(const QString &name)
{
    return name.endsWith(".eep") || name.endsWith(".hex");
}

inline QString objcopy()
{
    return QStringLiteral(TARVANE_AVR_OBJCOPY);
}

inline bool runObjcopy(const QStringList &args)
{
    QProcess p;
    p.start(objcopy(), args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline QByteArray bytesOf(const std::vector<std::uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

// An EEPROM file as the user has it: Intel HEX by avr-objcopy for .eep and .hex, raw otherwise.
inline bool makeEepromFile(const QString &path, const QByteArray &data)
{
    if (!isHexName(path))
        return writeFile(path, data);
    const QString raw = path + ".raw";
    return writeFile(raw, data) && runObjcopy({"-I", "binary", "-O", "ihex", raw, path}) && QFile::remove(raw);
}

// The bytes an EEPROM file stands for, as avr-objcopy reads it (from address 0).
inline QByteArray eepromFileBytes(const QString &path)
{
    if (!isHexName(path))
        return readFile(path);
    const QString raw = path + ".raw";
    if (!runObjcopy({"-I", "ihex", "-O", "binary", "--gap-fill", "0xFF", path, raw}))
        return QByteArray("avr-objcopy failed");
    const QByteArray bytes = readFile(raw);
    QFile::remove(raw);
    return bytes;
}

}  // namespace rig
