// SPDX-License-Identifier: GPL-3.0-or-later
#include "inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

std::optional<std::int32_t> parseIniNumber(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    bool hex = false;
    if (i < n && (text[i] == QLatin1Char('$') || text[i] == QLatin1Char('x') || text[i] == QLatin1Char('X'))) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == QLatin1Char('0')
               && (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        hex = true;
        i += 2;
    }
    if (i == n)
        return std::nullopt;
    std::uint64_t value = 0;
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return std::nullopt;
        value = value * (hex ? 16 : 10) + std::uint64_t(digit);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;  // leading zeros never get here, so this is a real overflow
    }
    if (hex) {
        const auto bits = std::uint32_t(value);
        const std::uint32_t result = negative ? std::uint32_t(0u - bits) : bits;
        return std::int32_t(result);
    }
    if (negative) {
        if (value > 2147483648ull)
            return std::nullopt;
        return std::int32_t(-std::int64_t(value));
    }
    if (value > 2147483647ull)
        return std::nullopt;
    return std::int32_t(value);
}

bool IniFile::load(const QString &path)
{
    sections_.clear();
    // Looked at before it is opened: a FIFO would block the open, a device never ends.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential())
        return false;
    QByteArray content = file.read(kMaxFileSize + 1);
    if (content.size() > kMaxFileSize) {
        // Read in part: up to the last whole line within the bound, so no value is cut short.
        content.truncate(kMaxFileSize);
        content.truncate(content.lastIndexOf('\n') + 1);
    }
    parse(content);
    return true;
}

void IniFile::parse(const QByteArray &content)
{
    sections_.clear();
    QHash<QString, QString> *current = nullptr;
    QString currentName;
    for (const QByteArray &raw : content.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed().toLower();
            // A section that appears again is read from its first appearance only.
            if (sections_.contains(name)) {
                current = nullptr;
            } else {
                current = &sections_[name];
            }
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed().toLower();
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && ((value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
                                  || (value.startsWith(QLatin1Char('\'')) && value.endsWith(QLatin1Char('\'')))))
            value = value.mid(1, value.size() - 2);
        if (!current->contains(key))
            current->insert(key, value.left(kMaxValue));
    }
}

QString IniFile::readText(const QString &section, const QString &key, const QString &fallback) const
{
    const auto s = sections_.constFind(section.toLower());
    if (s == sections_.constEnd())
        return fallback.left(kMaxValue);
    const auto v = s->constFind(key.toLower());
    return v == s->constEnd() ? fallback.left(kMaxValue) : *v;
}

std::int32_t IniFile::readNumber(const QString &section, const QString &key, std::int32_t fallback) const
{
    return parseIniNumber(readText(section, key, QString())).value_or(fallback);
}
