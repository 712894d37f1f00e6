// SPDX-License-Identifier: GPL-3.0-or-later
// write-eeprom FILE, verify-eeprom FILE, read-eeprom FILE: the chip's EEPROM, on our own board.
// Files: Intel HEX for .eep/.hex/.ihex, S-record, ELF (.eeprom), raw otherwise.
#include "context.h"

#include "eepromops.h"

namespace cli {

namespace {

using Operation = core::EepromResult (*)(core::Session &, const core::Faces &, const TDevice &, const QString &);

int runEeprom(Context &c, const char *command, Operation operation)
{
    if (c.arguments.size() != 1 || c.arguments[0].isEmpty()) {
        printErr(QStringLiteral("%1 takes one FILE.").arg(QLatin1String(command)));
        return kUsage;
    }
    const std::optional<QString> file = fileArgument(c, 0);
    if (!file)
        return kFileError;
    const TDevice *device = nullptr;
    if (const int exit = c.deviceInForce(device))
        return exit;
    const core::Faces f = c.terminal.faces();
    return c.finish(operation(c.session, f, *device, *file).result);
}

}  // namespace

int writeEeprom(Context &c)
{
    return runEeprom(c, "write-eeprom", core::writeEeprom);
}

int verifyEeprom(Context &c)
{
    return runEeprom(c, "verify-eeprom", core::verifyEeprom);
}

int readEeprom(Context &c)
{
    return runEeprom(c, "read-eeprom", core::readEeprom);
}

}  // namespace cli
