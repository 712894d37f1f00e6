// SPDX-License-Identifier: GPL-3.0-or-later
// read-flash FILE: the whole Flash into a raw image, replacing FILE only when every block is in.
#include "context.h"

#include "flashops.h"

namespace cli {

int readFlash(Context &c)
{
    if (c.arguments.size() != 1 || c.arguments[0].isEmpty()) {
        printErr(QStringLiteral("read-flash takes one FILE."));
        return kUsage;
    }
    const std::optional<QString> file = fileArgument(c, 0);
    if (!file)
        return kFileError;
    const TDevice *device = nullptr;
    if (const int exit = c.deviceInForce(device))
        return exit;
    const core::Faces f = c.terminal.faces();
    return c.finish(core::readFlash(c.session, f, *device, *file, c.closingRead()).result);
}

}  // namespace cli
