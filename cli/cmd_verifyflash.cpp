// SPDX-License-Identifier: GPL-3.0-or-later
// verify-flash FILE: Flash against a raw image or Intel HEX; differences exit with 1.
#include "context.h"

#include "filechoice.h"
#include "flashops.h"

#include <QBuffer>

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
    if (!isHexFileName(name))
        return c.finish(core::verifyFlash(c.session, f, *device, name, c.closingRead()).result);
    QByteArray image;
    if (!loadHexImage(name, image))
        return kFileError;
    QBuffer buffer(&image);
    buffer.open(QIODevice::ReadOnly);
    return c.finish(core::verifyFlashImage(c.session, f, *device, buffer, c.closingRead()).result);
}

}  // namespace cli
