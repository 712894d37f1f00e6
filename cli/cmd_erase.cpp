// SPDX-License-Identifier: GPL-3.0-or-later
// erase: Chip Erase, judged by its closing Read Chip.
#include "context.h"

#include "eepromops.h"

namespace cli {

int erase(Context &c)
{
    if (!c.arguments.isEmpty()) {
        printErr(QStringLiteral("erase takes no argument."));
        return kUsage;
    }
    const TDevice *device = nullptr;
    std::optional<core::ChipRead> read;
    if (const int exit = c.deviceInForce(device, &read))
        return exit;
    const core::Faces f = c.terminal.faces();
    // What the erase does to the EEPROM goes to standard error with the question's text.
    const QString eeprom = core::eraseEepromText(core::eraseClearsEeprom(*device, read->bytes()));
    return c.finish(core::chipErase(c.session, f, *device, c.closingRead(), {}, false, eeprom));
}

}  // namespace cli
