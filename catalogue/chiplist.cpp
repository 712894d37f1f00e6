// SPDX-License-Identifier: GPL-3.0-or-later
#include "chiplist.h"

#include <algorithm>
#include <numeric>

int compareChipNames(const QString &a, const QString &b)
{
    return QString::compare(a, b, Qt::CaseInsensitive);
}

int sortedInsertIndex(const QStringList &texts, const QString &name)
{
    if (texts.isEmpty())
        return 0;
    // The first entry past index 0 that sorts after name.
    const auto after = std::upper_bound(texts.begin() + 1, texts.end(), name, [](const QString &n, const QString &t) {
        return compareChipNames(n, t) < 0;
    });
    return int(after - texts.begin());
}

std::vector<std::size_t> chipListOrder(const QStringList &names, const ChipNameCompare &compare)
{
    std::vector<std::size_t> order(std::size_t(names.size()));
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return compare(names[qsizetype(a)], names[qsizetype(b)]) < 0;
    });
    return order;
}

Identification identifySignature(const std::vector<const TDevice *> &records,
                                 const std::array<std::uint8_t, 3> &signature)
{
    Identification result;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i]->Signature == signature)
            result.index = int(i);
    }
    result.found = !records.empty() && records[std::size_t(result.index)]->FlashSize != 0;
    return result;
}

QStringList partNames(const QString &deviceName)
{
    const QStringList pieces = deviceName.split(QLatin1Char('/'));
    const QString first = pieces.first();
    // The family letters end where the last run of digits, the part number, begins.
    qsizetype letters = first.size();
    while (letters > 0 && !first.at(letters - 1).isDigit())
        --letters;
    while (letters > 0 && first.at(letters - 1).isDigit())
        --letters;
    QStringList parts{first};
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QString &piece = pieces.at(i);
        if (piece.isEmpty())
            continue;
        parts << (piece.at(0).isDigit() ? first.left(letters) + piece : first + piece);
    }
    return parts;
}

bool deviceNameMatches(const QString &deviceName, const QString &typed)
{
    if (deviceName.compare(typed, Qt::CaseInsensitive) == 0)
        return true;
    const QStringList parts = partNames(deviceName);
    return std::any_of(parts.begin(), parts.end(),
                       [&](const QString &p) { return p.compare(typed, Qt::CaseInsensitive) == 0; });
}
