// SPDX-License-Identifier: GPL-3.0-or-later
// write-flash [--erase] [--no-verify] FILE: a raw image, or Intel HEX, S-record or ELF by its
// name, read in memory; Chip Erase first with --erase; verified afterwards unless --no-verify or
// the settings say otherwise.
#include "context.h"

#include "flashops.h"

namespace cli {

int writeFlash(Context &c)
{
    const bool erase = takeFlag(c, QStringLiteral("--erase"));
    if (takeFlag(c, QStringLiteral("--no-verify")))
        c.verifyAfterWriting = false;
    if (c.arguments.size() != 1) {
        printErr(QStringLiteral("write-flash takes [--erase] [--no-verify] FILE."));
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
    if (erase) {
        const core::Result erased = core::chipErase(c.session, f, *device, c.closingRead(), {}, true);
        if (erased != core::Result::Done)
            return c.finish(erased);
    }
    return c.finish(core::writeFlash(c.session, f, *device, name, QStringLiteral("Input file name for Flash programming."),
                                     c.verifyAfterWriting ? c.closingRead() : core::ReadChipStep()));
}

}  // namespace cli
