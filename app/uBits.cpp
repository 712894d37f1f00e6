// SPDX-License-Identifier: GPL-3.0-or-later
// The bit panel of the main window, and its chip operations: thin calls into bits/.
#include "uMain.h"

#include "chipops.h"
#include "eepromops.h"
#include "porthold.h"
#include "fields.h"
#include "rescue.h"

#include <QAction>
#include <QAction>
#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

struct GroupColumn {
    const char *prefix;
    const char *header;
    const char *headerName;
    const char *valueName;
    int left;
};

constexpr GroupColumn kColumns[4] = {
    {"LowByte_Bit", "Low Byte", "Label2", "lbLowByte", 8},
    {"HighByte_Bit", "High Byte", "Label3", "lbHighByte", 108},
    {"ExtendedByte_Bit", "Extended Byte", "Label4", "lbExtendedByte", 208},
    {"LockByte_Bit", "Lock Bits", "Label5", "lbLockBits", 308},
};

const QString kLow = QStringLiteral("LowByte_Bit");
const QString kHigh = QStringLiteral("HighByte_Bit");
const QString kExtended = QStringLiteral("ExtendedByte_Bit");
const QString kLock = QStringLiteral("LockByte_Bit");

QLabel *columnLabel(QWidget *parent, const char *name, const QString &text, int left, int top)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(left, top, 94, 16);
    l->setAlignment(Qt::AlignCenter);
    l->setFont(TfmMain::windowFont(13));
    return l;
}

}  // namespace

void TfmMain::buildBitPanel()
{
    QLabel **headers[4] = {&Label2, &Label3, &Label4, &Label5};
    QLabel **values[4] = {&lbLowByte, &lbHighByte, &lbExtendedByte, &lbLockBits};
    QWidget *previous = nullptr;
    for (int g = 0; g < 4; ++g) {
        const GroupColumn &c = kColumns[g];
        *headers[g] = columnLabel(Fuses, c.headerName, QLatin1String(c.header), c.left, 18);
        *values[g] = columnLabel(Fuses, c.valueName, QStringLiteral("00h"), c.left, 34);
        for (int n = 7; n >= 0; --n) {
            auto *box = new QCheckBox(Fuses);
            box->setObjectName(QLatin1String(c.prefix) + QString::number(n));
            box->setGeometry(c.left, 56 + 24 * (7 - n), 94, 17);
            if (g == 3 && n <= 1)
                box->setFont(TfmMain::windowFont(13));
            box->setVisible(false);
            connect(box, &QCheckBox::clicked, this, &TfmMain::HighByte_Bit6Click);
            if (previous)
                setTabOrder(previous, box);
            previous = box;
        }
    }
}

QCheckBox *TfmMain::bitBox(const QString &prefix, int n) const
{
    return Fuses->findChild<QCheckBox *>(prefix + QString::number(n), Qt::FindDirectChildrenOnly);
}

void TfmMain::ShowBitNames()
{
    const QString prefixes[4] = {kLow, kHigh, kExtended, kLock};
    for (int g = 0; g < 4; ++g) {
        const TFuseArray &names = CurDevice->Groups[std::size_t(g)].Names;
        for (int n = 0; n < 8; ++n) {
            if (QCheckBox *box = bitBox(prefixes[g], n)) {
                box->setText(names[std::size_t(n)]);
                box->setVisible(!names[std::size_t(n)].isEmpty());
                box->setToolTip(CurDevice->BitDescriptions[std::size_t(g)][std::size_t(n)]);
            }
        }
    }
    // The factory bits are the device's: there are none without one.
    actFactoryValues->setEnabled(CurDevice != UnknownDevice.get());
}

void TfmMain::ShowBitStates(const QString &prefix, std::uint8_t value)
{
    for (int n = 0; n < 8; ++n) {
        if (QCheckBox *box = bitBox(prefix, n))
            box->setChecked(IsBitSet(value, n));
    }
}

void TfmMain::MarkBitGroup(std::uint8_t reference, const QString &prefix)
{
    const QColor normal = palette().color(QPalette::WindowText);
    for (int n = 0; n < 8; ++n) {
        QCheckBox *box = bitBox(prefix, n);
        if (!box)
            continue;
        const bool differs = box->isChecked() != IsBitSet(reference, n);
        QPalette p = box->palette();
        p.setColor(QPalette::WindowText, differs ? QColor(255, 0, 0) : normal);
        p.setColor(QPalette::ButtonText, differs ? QColor(255, 0, 0) : normal);
        box->setPalette(p);
    }
}

void TfmMain::CollectBitGroup(const QString &prefix, std::uint8_t &target)
{
    bool named = false;
    for (int n = 0; n < 8; ++n) {
        QCheckBox *box = bitBox(prefix, n);
        if (!box)
            continue;
        if (!named)
            named = !box->text().isEmpty();
        SetBit(target, n, box->isChecked() ? 1 : 0);
    }
    // A group the device names no bit of is sent as "leave alone".
    if (!named)
        target = 0xFF;
}

void TfmMain::CollectFuseBytes(std::uint8_t &low, std::uint8_t &high, std::uint8_t &extended)
{
    CollectBitGroup(kLow, low);
    CollectBitGroup(kHigh, high);
    CollectBitGroup(kExtended, extended);
}

void TfmMain::RefreshBitPanel()
{
    std::uint8_t low = 0, high = 0, extended = 0, lock = 0;
    MarkBitGroup(CurDevice->Groups[grLow].Reference, kLow);
    MarkBitGroup(CurDevice->Groups[grHigh].Reference, kHigh);
    MarkBitGroup(CurDevice->Groups[grExtended].Reference, kExtended);
    MarkBitGroup(CurDevice->Groups[grLock].Reference, kLock);
    if (CurDevice->FlashSize != 0)
        CollectFuseBytes(low, high, extended);
    lbLowByte->setText(avrlink::hexByte(low));
    lbHighByte->setText(avrlink::hexByte(high));
    lbExtendedByte->setText(avrlink::hexByte(extended));
    if (CurDevice->FlashSize != 0)
        CollectBitGroup(kLock, lock);
    lbLockBits->setText(avrlink::hexByte(lock));
    showFieldMeanings();
}

// What the ticks mean now, field by field, as the Fuses group's tooltip: the bytes a write
// would send, whatever the Flash size.
void TfmMain::showFieldMeanings()
{
    std::uint8_t low = 0xFF, high = 0xFF, extended = 0xFF, lock = 0xFF;
    CollectFuseBytes(low, high, extended);
    CollectBitGroup(kLock, lock);
    Fuses->setToolTip(describeFields(*CurDevice, {low, high, extended, lock}).join(QLatin1Char('\n')));
}

void TfmMain::HighByte_Bit6Click()
{
    RefreshBitPanel();
}

void TfmMain::FactoryValuesClick()
{
    if (CurDevice == UnknownDevice.get())
        return;
    const QString prefixes[4] = {kLow, kHigh, kExtended, kLock};
    core::ChipBytes ticks{};
    for (int g = 0; g < 4; ++g)
        for (int n = 0; n < 8; ++n)
            if (QCheckBox *box = bitBox(prefixes[g], n))
                SetBit(ticks[std::size_t(g)], n, box->isChecked() ? 1 : 0);
    // Unnamed bits keep their ticks: they are written back as they were read.
    const core::ChipBytes factory = core::withFactoryBits(*CurDevice, ticks);
    for (int g = 0; g < 4; ++g)
        ShowBitStates(prefixes[g], factory[std::size_t(g)]);
    RefreshBitPanel();
    setStatus(QStringLiteral("Factory values set; not written to the chip yet."));
}

// --- Chip operations -------------------------------------------------------------------

void TfmMain::SetControlsEnabled(bool enabled)
{
    for (QWidget *w : std::initializer_list<QWidget *>{btChipErase, btWriteLocks, btWriteFuses, btWriteFlash,
                                                       btVerifyFlash, btReadFlash, btOD, btSD, edReadFromFile,
                                                       edWriteToFile})
        w->setEnabled(enabled);
    for (QAction *a : {actWriteEeprom, actVerifyEeprom, actReadEeprom})
        a->setEnabled(enabled);
}

void TfmMain::btReadClick()
{
    // The calibration bytes shown belong to the chip read: a closing Read Chip that finds the
    // same signature keeps them (it reads none), any other result drops them.
    const QString calibrationShown = ReadingToClose ? leSignature->toolTip() : QString();
    const QString signatureShown = leSignature->text();
    leSignature->clear();
    leSignature->setToolTip(QString());
    leDeviceName->setText(QStringLiteral("Query..."));
    cbChips->setCurrentIndex(0);
    SetControlsEnabled(false);
    // Paint the query state: the exchange keeps the thread until the reply is in.
    leDeviceName->repaint();
    core::Session link = session();
    LastChipRead = {};
    LastReadDevice = nullptr;
    ErasedSinceRead = false;
    if (!core::readChip(link, faces())) {
        // A half reply names no chip and no bit: nothing is identified and no box is ticked
        // from it, and the writes stay disabled.
        AutoDevice = CurDevice = chipRecord(0);
        leDeviceName->clear();
        showSizes();
        ShowBitNames();
        RefreshBitPanel();
        setStatus(core::kChipNotRead);
        return;
    }
    leSignature->setText(core::signatureText(CmdBlock));
    const bool found = IdentifyDevice(CmdBlock[1], CmdBlock[2], CmdBlock[3]);
    ShowBitNames();
    ShowBitStates(kLow, CmdBlock[4]);
    ShowBitStates(kHigh, CmdBlock[5]);
    ShowBitStates(kExtended, CmdBlock[6]);
    ShowBitStates(kLock, CmdBlock[7]);
    RefreshBitPanel();
    LastChipRead = {true, found, CurDevice, CmdBlock};
    LastReadDevice = CurDevice;
    if (leSignature->text() == signatureShown)
        leSignature->setToolTip(calibrationShown);
    if (found) {
        SetControlsEnabled(true);
        if (!CurDevice->StandardBoard) {
            // Read already, on a board that puts 5 V and 12 V on it: the chip must come out now.
            dlg.information(this, core::unservedText(*CurDevice));
            return;
        }
        // On our board the chip's calibration bytes come with a Read Chip the user asked for.
        if (!ReadingToClose) {
            // One hold for both, so that the board is asked once; a part without calibration
            // bytes still learns whether its EEPROM can be saved before an erase.
            const avrlink::PortHold hold(PortName, FastTransfers);
            if (const auto calibration = core::readCalibration(link, faces(), *CurDevice))
                leSignature->setToolTip(core::calibrationText(*calibration));
            BoardIsOurs = core::askBoard(link).ours;
        }
        return;
    }
    // Nothing drove the data bus: say why a chip may not answer, once the window shows it all.
    if (const auto noChip = core::diagnoseSignature({CmdBlock[1], CmdBlock[2], CmdBlock[3]})) {
        setStatus(noChip->status);
        dlg.informationDetails(this, noChip->text, noChip->causes);
    }
}

void TfmMain::btWriteFusesClick()
{
    std::uint8_t low = 0xFF, high = 0xFF, extended = 0xFF;
    CollectFuseBytes(low, high, extended);
    core::Session link = session();
    core::writeFuses(link, faces(), *CurDevice, low, high, extended, lastReadBytes(), closingRead());
}

void TfmMain::btWriteLocksClick()
{
    std::uint8_t lock = 0xFF;
    CollectBitGroup(kLock, lock);
    core::Session link = session();
    core::writeLocks(link, faces(), *CurDevice, lock, lastReadBytes(), closingRead());
}

void TfmMain::btChipEraseClick()
{
    core::Session link = session();
    const std::optional<bool> clears = core::eraseClearsEeprom(*CurDevice, lastReadBytes());
    // The EEPROM goes with the erase unless EESAVE keeps it: on our board it can be saved first,
    // where the device file says how large it is.
    if (clears.value_or(false) && BoardIsOurs && FastTransfers && CurDevice->EepromSize > 0 && !offerEepromBackup())
        return;
    if (core::chipErase(link, faces(), *CurDevice, closingRead(), [] { QCoreApplication::processEvents(); }, false,
                        core::eraseEepromText(clears))
        == core::Result::Done)
        ErasedSinceRead = true;
}
