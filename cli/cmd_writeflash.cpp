// SPDX-License-Identifier: GPL-3.0-or-later
// write-flash FILE: a raw image, or Intel HEX by its .hex name, converted in memory.
#include "context.h"

#include "filechoice.h"
#include "flashops.h"

#include <QBuffer>

namespace cli {

int writeFlash(Context &c)
{
    if (c.arguments.size() != 1) {
        printErr(QStringLiteral("write-flash takes one FILE."));
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
    if (!isHexFileName(name))
        return c.finish(core::writeFlash(c.session, f, *device, name));
    QByteArray image;
    if (!loadHexImage(name, image))
        return kFileError;
    QBuffer buffer(&image);
    buffer.open(QIODevice::ReadOnly);
    return c.finish(core::writeFlashImage(c.session, f, *device, buffer));
}

}  // namespace cli
