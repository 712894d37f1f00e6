// SPDX-License-Identifier: GPL-3.0-or-later
// erase: Chip Erase, judged by its closing Read Chip.
#include "context.h"

namespace cli {

int erase(Context &c)
{
    if (!c.arguments.isEmpty()) {
        printErr(QStringLiteral("erase takes no argument."));
        return kUsage;
    }
    const TDevice *device = nullptr;
    if (const int exit = c.deviceInForce(device))
        return exit;
    const core::Faces f = c.terminal.faces();
    return c.finish(core::chipErase(c.session, f, *device, c.closingRead()));
}

}  // namespace cli
