// SPDX-License-Identifier: GPL-3.0-or-later
// The chip list of the main window: loading, identification, manual choice.
#include "uMain.h"

#include "chiplist.h"
#include "loader.h"
#include "paths.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>

const TDevice *TfmMain::chipRecord(int index) const
{
    return reinterpret_cast<const TDevice *>(cbChips->itemData(index).value<quintptr>());
}

void TfmMain::LoadDeviceFiles()
{
    auto loaded = loadDeviceFolder(QDir(BaseDir).filePath(QStringLiteral("cpu")));
    // The user's own device files are listed beside the shipped ones.
    if (const QString own = userDeviceFolder(); !own.isEmpty())
        for (auto &device : loadDeviceFolder(own))
            loaded.push_back(std::move(device));
    const int selected = cbChips->currentIndex();
    // The entries below "* AUTO *" and the new ones are ordered together and put into the
    // list in one go: one insertion per file made start-up quadratic in the number of files.
    QStringList names;
    std::vector<const TDevice *> records;
    for (int i = 1; i < cbChips->count(); ++i) {
        names << cbChips->itemText(i);
        records.push_back(chipRecord(i));
    }
    for (auto &device : loaded) {
        names << device->Name;
        records.push_back(device.get());
        Devices.push_back(std::move(device));
    }
    QStringList texts;
    std::vector<const TDevice *> ordered;
    for (const std::size_t i : chipListOrder(names)) {
        texts << names[qsizetype(i)];
        ordered.push_back(records[i]);
    }
    while (cbChips->count() > 1)
        cbChips->removeItem(cbChips->count() - 1);
    cbChips->insertItems(1, texts);
    for (std::size_t i = 0; i < ordered.size(); ++i)
        cbChips->setItemData(int(i) + 1, QVariant::fromValue(quintptr(ordered[i])));
    cbChips->setCurrentIndex(selected);
}

void TfmMain::showSizes()
{
    lbPageSize->setText(QString::number(CurDevice->PageSize));
    lbFlashSize->setText(QString::number(CurDevice->FlashSize));
    for (QLabel *l : {lbPageSize, lbFlashSize})
        l->resize(std::max(6, l->fontMetrics().horizontalAdvance(l->text())), l->height());
}

bool TfmMain::IdentifyDevice(std::uint8_t sig0, std::uint8_t sig1, std::uint8_t sig2)
{
    std::vector<const TDevice *> records;
    for (int i = 0; i < cbChips->count(); ++i)
        records.push_back(chipRecord(i));
    const Identification id = identifySignature(records, {sig0, sig1, sig2});

    AutoDevice = chipRecord(0);
    CurDevice = records[std::size_t(id.index)];
    QString status;
    if (id.found) {
        leDeviceName->setText(CurDevice->Name);
        status = QStringLiteral("Found device: ") + leDeviceName->text();
        AutoDevice = CurDevice;
    } else {
        status = QStringLiteral("Device not found.");
        leDeviceName->setText(QStringLiteral("Not found"));
    }
    setStatus(status);
    showSizes();
    return id.found;
}

void TfmMain::cbChipsChange(int index)
{
    CurDevice = index == 0 ? AutoDevice : chipRecord(index);
    ShowBitNames();
    RefreshBitPanel();
    SetControlsEnabled(true);
    showSizes();
}
