// SPDX-License-Identifier: GPL-3.0-or-later
// verify-flash FILE: Flash against a raw image, Intel HEX, S-record or ELF; differences exit with 1.
#include "context.h"

#include "flashops.h"

namespace cli {

int verifyFlash(Context &c)
{
    if (c.arguments.size() != 1) {
        printErr(QStringLiteral("verify-flash takes one FILE."));
        return kUsage;
    }
    const std::optional<QString> file = fileArgument(c, 0);
    if (!file)
        return kFileError;
    const QString &name = *file;
    const TDevice *device = nullptr;
    if (const int exit = c.deviceInForce(device))
        return exit;
    const core::Faces f = c.terminal.faces();
    return c.finish(core::verifyFlash(c.session, f, *device, name, c.closingRead()).result);
}

}  // namespace cli
