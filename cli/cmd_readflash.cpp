// SPDX-License-Identifier: GPL-3.0-or-later
// read-flash [--trim] FILE: the whole Flash into a raw image, Intel HEX or S-record by FILE's name,
// replacing FILE only when every block is in.
#include "context.h"

#include "flashops.h"

namespace cli {

int readFlash(Context &c)
{
    // --trim: a HEX or S-record dump leaves out the erased bytes at its end.
    const bool trim = takeFlag(c, QStringLiteral("--trim"));
    if (c.arguments.size() != 1 || c.arguments[0].isEmpty()) {
        printErr(QStringLiteral("read-flash takes [--trim] FILE."));
        return kUsage;
    }
    const std::optional<QString> file = fileArgument(c, 0);
    if (!file)
        return kFileError;
    const TDevice *device = nullptr;
    if (const int exit = c.deviceInForce(device))
        return exit;
    const core::Faces f = c.terminal.faces();
    return c.finish(core::readFlash(c.session, f, *device, *file, c.closingRead(), trim).result);
}

}  // namespace cli
