// SPDX-License-Identifier: GPL-3.0-or-later
// write-fuses LOW HIGH [EXT] | factory: the three fuse bytes, read back by a closing Read Chip.
#include "context.h"

#include "rescue.h"

namespace cli {

int writeFuses(Context &c)
{
    const bool factory = c.arguments == QStringList{QStringLiteral("factory")};
    if (!factory && (c.arguments.size() < 2 || c.arguments.size() > 3)) {
        printErr(QStringLiteral("write-fuses takes LOW HIGH [EXT], or factory."));
        return kUsage;
    }
    std::optional<std::uint8_t> values[3];
    for (int i = 0; !factory && i < int(c.arguments.size()); ++i) {
        values[i] = parseByte(c.arguments[i]);
        if (!values[i]) {
            printErr(QStringLiteral("Not a byte: \"%1\".").arg(c.arguments[i]));
            return kUsage;
        }
    }
    const TDevice *device = nullptr;
    std::optional<core::ChipRead> read;
    if (const int exit = c.deviceInForce(device, &read))
        return exit;
    // The factory bytes are the device's: known only now.
    if (factory) {
        const core::ChipBytes bytes = core::factoryWriteBytes(*device);
        for (int g : {grLow, grHigh, grExtended})
            values[g] = bytes[std::size_t(g)];
    }
    // Without EXT the extended byte stays as the chip holds it: the chip has just been read.
    const std::optional<core::ChipBytes> before = read->bytes();
    const std::uint8_t extended = values[2] ? *values[2] : (*before)[grExtended];
    const core::Faces f = c.terminal.faces();
    return c.finish(core::writeFuses(c.session, f, *device, *values[0], *values[1], extended, before, c.closingRead()));
}

}  // namespace cli
