#include "chiplist.h"

int sortedInsertIndex(const QStringList &texts, const QString &name)
{
    int index = int(texts.size());
    while (index > 1 && QString::compare(texts[index - 1], name, Qt::CaseInsensitive) > 0)
        --index;
    return texts.isEmpty() ? 0 : index;
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
