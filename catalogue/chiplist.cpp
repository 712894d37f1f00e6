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
