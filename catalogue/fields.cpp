// SPDX-License-Identifier: GPL-3.0-or-later
#include "fields.h"

namespace {

const char *groupName(int group)
{
    static const char *const names[] = {"Low", "High", "Ext", "Lock"};
    return group >= 0 && group < 4 ? names[group] : "?";
}

bool validGroup(int group)
{
    return group >= 0 && group < 4;
}

int bitWidth(std::uint8_t mask)
{
    int n = 0;
    for (; mask; mask = std::uint8_t(mask & (mask - 1)))
        ++n;
    return n;
}

}  // namespace

FuseBytes factoryBytes(const TDevice &device)
{
    FuseBytes bytes{};
    for (std::size_t g = 0; g < 4; ++g)
        bytes[g] = device.Groups[g].Reference;
    return bytes;
}

int fieldValue(std::uint8_t mask, std::uint8_t byte)
{
    int value = 0;
    int out = 0;
    for (int n = 0; n < 8; ++n) {
        if (!IsBitSet(mask, n))
            continue;
        if (IsBitSet(byte, n))
            value |= 1 << out;
        ++out;
    }
    return value;
}

QString fieldBits(const TFuseField &field, int value)
{
    const int width = bitWidth(field.Mask);
    QString bits;
    for (int n = width - 1; n >= 0; --n)
        bits += QLatin1Char((value >> n) & 1 ? '1' : '0');
    return bits;
}

QString valueMeaning(const TFuseField &field, int value)
{
    const auto it = field.Values.constFind(value);
    if (it != field.Values.constEnd() && !it->isEmpty())
        return *it;
    const bool single = bitWidth(field.Mask) == 1;
    return QStringLiteral("%1 %2, not named in the device file")
        .arg(single ? QStringLiteral("bit") : QStringLiteral("bits"), fieldBits(field, value));
}

std::vector<FieldReading> decodeFields(const TDevice &device, const FuseBytes &bytes)
{
    std::vector<FieldReading> readings;
    readings.reserve(device.Fields.size());
    for (const TFuseField &field : device.Fields) {
        if (!validGroup(field.Group) || field.Mask == 0)
            continue;
        FieldReading r;
        r.Field = &field;
        r.Value = fieldValue(field.Mask, bytes[std::size_t(field.Group)]);
        r.Named = field.Values.contains(r.Value) && !field.Values.value(r.Value).isEmpty();
        r.Meaning = valueMeaning(field, r.Value);
        readings.push_back(r);
    }
    return readings;
}

QStringList describeFields(const TDevice &device, const FuseBytes &bytes)
{
    QStringList lines;
    for (const FieldReading &r : decodeFields(device, bytes))
        lines << r.Field->Caption + QStringLiteral(": ") + r.Meaning;
    return lines;
}

std::vector<FieldChange> fieldChanges(const TDevice &device, const FuseBytes &before, const FuseBytes &after)
{
    const std::vector<FieldReading> a = decodeFields(device, before);
    const std::vector<FieldReading> b = decodeFields(device, after);
    std::vector<FieldChange> changes;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i].Value != b[i].Value)
            changes.push_back({a[i].Field, a[i], b[i]});
    return changes;
}

QStringList describeChanges(const TDevice &device, const FuseBytes &before, const FuseBytes &after)
{
    QStringList lines;
    for (const FieldChange &c : fieldChanges(device, before, after)) {
        QString from = c.Before.Meaning;
        QString to = c.After.Meaning;
        if (from == to) {  // two values under one name: the bits tell them apart
            from += QStringLiteral(" (bits %1)").arg(fieldBits(*c.Field, c.Before.Value));
            to += QStringLiteral(" (bits %1)").arg(fieldBits(*c.Field, c.After.Value));
        }
        lines << c.Field->Caption + QStringLiteral(": ") + from + QStringLiteral(" -> ") + to;
    }
    std::array<std::uint8_t, 4> covered{};
    for (const TFuseField &field : device.Fields)
        if (validGroup(field.Group))
            covered[std::size_t(field.Group)] |= field.Mask;
    for (int g = 0; g < 4; ++g) {
        const auto diff = std::uint8_t((before[std::size_t(g)] ^ after[std::size_t(g)]) & ~covered[std::size_t(g)]);
        for (int n = 0; n < 8; ++n) {
            if (!IsBitSet(diff, n))
                continue;
            const QString name = device.Groups[std::size_t(g)].Names[std::size_t(n)];
            const QString from = IsBitSet(before[std::size_t(g)], n) ? QStringLiteral("1") : QStringLiteral("0");
            const QString to = IsBitSet(after[std::size_t(g)], n) ? QStringLiteral("1") : QStringLiteral("0");
            // One arg() call: a name holding "%1" is text, not a place holder.
            lines << QStringLiteral("%1 bit %2%3: %4 -> %5, in no field of the device file")
                         .arg(QLatin1String(groupName(g)), QString::number(n),
                              name.isEmpty() ? QString() : QStringLiteral(" (") + name + QLatin1Char(')'), from, to);
        }
    }
    return lines;
}
