// SPDX-License-Identifier: GPL-3.0-or-later
// Reads values from an INI file the way the platform's profile reader does for our
// device files: section and key names without regard to case, blanks around a value
// removed, the first of repeated sections and keys wins, values cut to 2047 characters.
#pragma once

#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>

// The number rule of the device files: optional leading spaces, at most one sign, then
// decimal digits or "$", "x", "X", "0x", "0X" and hex digits, and nothing after.
// Decimal must fit 32 signed bits; hex up to FFFFFFFF, taken as two's complement.
std::optional<std::int32_t> parseIniNumber(const QString &text);

class IniFile {
public:
    static constexpr int kMaxValue = 2047;
    static constexpr qint64 kMaxFileSize = 1024 * 1024;  // a device file is a few KB; no more is read

    IniFile() = default;
    explicit IniFile(const QString &path) { load(path); }
    bool load(const QString &path);  // false when it is no regular file or cannot be read (then empty)
    void parse(const QByteArray &content);

    QString readText(const QString &section, const QString &key, const QString &fallback) const;
    std::int32_t readNumber(const QString &section, const QString &key, std::int32_t fallback) const;

private:
    QHash<QString, QHash<QString, QString>> sections_;  // lower-case names
};
