// SPDX-License-Identifier: GPL-3.0-or-later
#include "rescue.h"

#include "fields.h"

#include <algorithm>

namespace core {

namespace {

bool inGroups(const std::vector<int> &groups, int group)
{
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Lock bits go back to 1 only by a Chip Erase, and with LB1 programmed (lock modes 2 and 3)
// the fuse bits are locked in parallel programming too: ATmega48A/PA/88A/PA/168A/PA/328/P
// datasheet (Atmel-8271H), 28.1 "Program And Data Memory Lock Bits" and Table 28-2; the other
// parallel-programmed parts' datasheets say the same of LB1 and LB2.
QStringList lockNotes(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                      const ChipBytes &before)
{
    QStringList notes;
    const TFuseArray &lockNames = device.Groups[grLock].Names;
    if (inGroups(groups, grLock)) {
        QStringList raised;
        for (int n = 0; n < 8; ++n)
            if (!lockNames[std::size_t(n)].isEmpty() && !IsBitSet(before[grLock], n) && IsBitSet(sent[grLock], n))
                raised << lockNames[std::size_t(n)];
        if (!raised.isEmpty())
            notes << QStringLiteral("Note: ") + raised.join(QStringLiteral(", "))
                         + QStringLiteral(" unprogrammed: a lock write cannot unprogram lock bits; only a Chip Erase "
                                          "does (and erases Flash too).");
    }
    bool fusesChange = false;
    for (int g : groups)
        if (g != grLock && sent[std::size_t(g)] != before[std::size_t(g)])
            fusesChange = true;
    const QString &lb1 = lockNames[0];
    if (fusesChange && lb1.compare(QLatin1String("LB1"), Qt::CaseInsensitive) == 0 && !IsBitSet(before[grLock], 0))
        notes << QStringLiteral("Note: ") + lb1
                     + QStringLiteral(" is programmed: the chip refuses fuse writes until a Chip Erase (which "
                                      "erases Flash too).");
    return notes;
}

}  // namespace

ChipBytes withFactoryBits(const TDevice &device, const ChipBytes &base)
{
    ChipBytes bytes = base;
    for (int g = 0; g < 4; ++g) {
        const std::uint8_t named = namedMask(device, g);
        const std::size_t i = std::size_t(g);
        bytes[i] = std::uint8_t((device.Groups[i].Reference & named) | (base[i] & ~named));
    }
    return bytes;
}

ChipBytes factoryWriteBytes(const TDevice &device)
{
    return withFactoryBits(device, {0xFF, 0xFF, 0xFF, 0xFF});
}

QStringList describeGroupFields(const TDevice &device, const std::vector<int> &groups, const ChipBytes &bytes)
{
    QStringList lines;
    for (const FieldReading &r : decodeFields(device, bytes))
        if (inGroups(groups, r.Field->Group))
            lines << r.Field->Caption + QStringLiteral(": ") + r.Meaning;
    return lines;
}

QStringList writeMeaning(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                         const std::optional<ChipBytes> &before)
{
    QStringList lines;
    // A device file without fields says nothing more than the bit listing does.
    if (!device.Fields.empty()) {
        if (before) {
            ChipBytes after = *before;
            for (int g : groups)
                after[std::size_t(g)] = sent[std::size_t(g)];
            const QStringList changes = describeChanges(device, *before, after);
            if (!changes.isEmpty())
                lines << QStringLiteral("Meaning before -> after:") << changes;
        } else {
            const QStringList now = describeGroupFields(device, groups, sent);
            if (!now.isEmpty())
                lines << QStringLiteral("Meaning of the bits written:") << now;
        }
    }
    if (before)
        lines << lockNotes(device, groups, sent, *before);
    return lines;
}

bool isNoChipSignature(const std::array<std::uint8_t, 3> &signature)
{
    return signature[0] == signature[1] && signature[1] == signature[2];
}

std::optional<NoChip> diagnoseSignature(const std::array<std::uint8_t, 3> &signature)
{
    if (!isNoChipSignature(signature))
        return std::nullopt;
    const QString read = avrlink::hexByte(signature[0]) + QLatin1Char(' ') + avrlink::hexByte(signature[1])
                         + QLatin1Char(' ') + avrlink::hexByte(signature[2]);
    NoChip d;
    d.status = QStringLiteral("No chip answers: signature ") + read + QLatin1Char('.');
    d.text = QStringLiteral("The signature reads ") + read
             + QStringLiteral(": no chip has that signature. The adapter answered, but no chip did.");
    d.causes = QStringLiteral("The usual causes, most likely first:\n"
                              "1. No chip in the socket, or a chip the wrong way round.\n"
                              "2. No 12 V at RESET.\n"
                              "3. A bad contact in the socket.\n"
                              "4. A part this board does not serve.\n"
                              "Check first: is a chip in the socket, with pin 1 where the socket marks it?");
    return d;
}

}  // namespace core
