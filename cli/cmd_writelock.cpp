// SPDX-License-Identifier: GPL-3.0-or-later
// write-lock BYTE | factory: the lock byte, read back by a closing Read Chip.
#include "context.h"

#include "rescue.h"

namespace cli {

int writeLock(Context &c)
{
    const bool factory = c.arguments == QStringList{QStringLiteral("factory")};
    std::optional<std::uint8_t> lock = c.arguments.size() == 1 && !factory ? parseByte(c.arguments[0]) : std::nullopt;
    if (!lock && !factory) {
        printErr(QStringLiteral("write-lock takes one byte, such as FC or 0xFC, or factory."));
        return kUsage;
    }
    const TDevice *device = nullptr;
    std::optional<core::ChipRead> read;
    if (const int exit = c.deviceInForce(device, &read))
        return exit;
    if (factory)
        lock = core::factoryWriteBytes(*device)[grLock];
    const std::optional<core::ChipBytes> before = read->bytes();
    const core::Faces f = c.terminal.faces();
    return c.finish(core::writeLocks(c.session, f, *device, *lock, before, c.closingRead()));
}

}  // namespace cli
