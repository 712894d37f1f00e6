// SPDX-License-Identifier: GPL-3.0-or-later
// The EEPROM menu of the main window, and the offer to save the EEPROM before an erase clears
// it: thin calls into eeprom/.
#include "uMain.h"

#include "eepromops.h"

#include <QLineEdit>

namespace {

const QStringList kEepromFilters = {QStringLiteral("EEPROM files (*.eep *.hex *.EEP *.HEX)"),
                                    QStringLiteral("Binary files (*.bin *.BIN)"), QStringLiteral("All files (*)")};

}  // namespace

std::optional<QString> TfmMain::chooseEepromFile(bool save)
{
    const FileDialogRequest request{kEepromFilters, EepromFile, save ? QStringLiteral("eep") : QString()};
    const auto chosen = save ? dlg.saveFile(this, request) : dlg.openFile(this, request);
    if (!chosen || refuseLineBreak(*chosen))
        return std::nullopt;
    EepromFile = *chosen;
    SaveSettings();
    return chosen;
}

void TfmMain::WriteEepromClick()
{
    if (const auto name = chooseEepromFile(false)) {
        core::Session link = session();
        core::writeEeprom(link, faces(), *CurDevice, *name);
    }
}

void TfmMain::VerifyEepromClick()
{
    if (const auto name = chooseEepromFile(false)) {
        core::Session link = session();
        core::verifyEeprom(link, faces(), *CurDevice, *name);
    }
}

void TfmMain::ReadEepromClick()
{
    if (const auto name = chooseEepromFile(true)) {
        core::Session link = session();
        core::readEeprom(link, faces(), *CurDevice, *name);
    }
}

bool TfmMain::offerEepromBackup()
{
    if (!dlg.confirm(this, QStringLiteral("The erase also clears the EEPROM (EESAVE is unprogrammed). "
                                          "Read the EEPROM into a file first?")))
        return true;  // No: the erase goes on as asked
    const auto name = chooseEepromFile(true);
    if (!name) {
        setStatus(QStringLiteral("Device erasing is canceled."));
        return false;
    }
    core::Session link = session();
    // The erase goes on only once the EEPROM is safe in the file.
    return core::readEeprom(link, faces(), *CurDevice, *name).result == core::Result::Done;
}
