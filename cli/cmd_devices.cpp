// SPDX-License-Identifier: GPL-3.0-or-later
// devices: the catalogue, one device a line: name, signature, Flash and page size.
#include "context.h"

namespace cli {

int devices(Context &c)
{
    if (!c.arguments.isEmpty()) {
        printErr(QStringLiteral("devices takes no argument."));
        return kUsage;
    }
    for (std::size_t i = 1; i < c.records.size(); ++i) {
        const TDevice &d = *c.records[i];
        avrlink::Block signature{0, d.Signature[0], d.Signature[1], d.Signature[2]};
        printOut(QStringLiteral("%1\t%2\tFlash %3\tpage %4")
                     .arg(d.Name, core::signatureText(signature), QString::number(d.FlashSize),
                          QString::number(d.PageSize)));
    }
    return kDone;
}

}  // namespace cli
