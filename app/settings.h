// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: a header line, the port, the Flash read target, the Flash write source.
#pragma once

#include <QByteArray>
#include <QString>

inline const QString kDefaultPortName = QStringLiteral("\\\\.\\COM1");
inline const QByteArray kSettingsHeader = QByteArrayLiteral("# Tarvane configuration file");

struct SettingsValues {
    QString PortName;
    QString WriteToFile;   // text of edWriteToFile
    QString ReadFromFile;  // text of edReadFromFile
    // Kept after the four lines above, one "Name=value" line each, which a reader of the
    // four lines alone ignores.
    bool FastTransfers = true;
    bool VerifyAfterWriting = true;
    QString EepromFile = QString();  // the file the EEPROM menu last used
};

// Lines end at CR, LF or CR LF; a last line without an end counts; a NUL ends the text.
// Line 1 is ignored; lines 2 to 4 replace the fields they reach, the rest keep their values.
// An empty port afterwards becomes the default port. From line 5 on, "FastTransfers=on" or
// "=off", "VerifyAfterWriting=on" or "=off", "EepromFile=" and a name; other lines there are
// ignored.
void parseSettings(const QByteArray &content, SettingsValues &values);

// The four lines, then the later settings, each ended by CR LF.
QByteArray formatSettings(const SettingsValues &values);

// No more than this is read of the file.
inline constexpr qint64 kMaxSettingsFileSize = 1024 * 1024;

// Reading and writing the file. Saving replaces the file atomically, so a failure never
// leaves a truncated file behind. Only a regular file is read or replaced.
bool readSettingsFile(const QString &path, SettingsValues &values);  // false: exists, unreadable
bool writeSettingsFile(const QString &path, const SettingsValues &values);  // false: old file kept
