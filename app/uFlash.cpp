// SPDX-License-Identifier: GPL-3.0-or-later
// Flash write, verify and read of the main window, and the choice of their files: thin calls
// into flash/.
#include "uMain.h"

#include "filechoice.h"
#include "flashops.h"

#include <QLineEdit>

void TfmMain::btWriteFlashClick()
{
    core::Session link = session();
    // A write onto Flash that was not erased programs only the bits it clears: offer the erase
    // first, unless one ran since the chip was read. No writes as the original program did.
    if (!ErasedSinceRead && !edReadFromFile->text().isEmpty()
        && dlg.confirm(this, QStringLiteral("Erase the chip before writing Flash?"))) {
        if (core::chipErase(link, faces(), *CurDevice, closingRead(), {}, true) != core::Result::Done)
            return;
        ErasedSinceRead = true;
    }
    core::writeFlash(link, faces(), *CurDevice, edReadFromFile->text(),
                     QStringLiteral("Input file name for Flash programming."),
                     VerifyAfterWriting ? closingRead() : core::ReadChipStep());
}

void TfmMain::btVerifyFlashClick()
{
    core::Session link = session();
    core::verifyFlash(link, faces(), *CurDevice, edReadFromFile->text(), closingRead());
}

void TfmMain::btReadFlashClick()
{
    core::Session link = session();
    core::readFlash(link, faces(), *CurDevice, edWriteToFile->text(), closingRead());
}

void TfmMain::btODClick()
{
    const auto chosen = dlg.openFile(this, {openDialogFilters(), odFileName, QString()});
    if (!chosen || refuseLineBreak(*chosen))
        return;
    odFileName = *chosen;
    const auto name = core::takeChosenImage(*chosen, converterPath(BaseDir), faces());
    if (!name)
        return;
    edReadFromFile->setText(*name);
    SaveSettings();
}

void TfmMain::btSDClick()
{
    const auto chosen = dlg.saveFile(this, {saveDialogFilters(), sdFileName, QStringLiteral("bin")});
    if (!chosen || refuseLineBreak(*chosen))
        return;
    sdFileName = *chosen;
    edWriteToFile->setText(*chosen);
    SaveSettings();
}
