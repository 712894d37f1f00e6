// The chip list of the main window: loading, identification, manual choice.
#include "uMain.h"

#include "chiplist.h"
#include "loader.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>

void TfmMain::addChip(const TDevice *device)
{
    QStringList texts;
    for (int i = 0; i < cbChips->count(); ++i)
        texts << cbChips->itemText(i);
    cbChips->insertItem(sortedInsertIndex(texts, device->Name), device->Name, QVariant::fromValue(quintptr(device)));
}

const TDevice *TfmMain::chipRecord(int index) const
{
    return reinterpret_cast<const TDevice *>(cbChips->itemData(index).value<quintptr>());
}

void TfmMain::LoadDeviceFiles()
{
    auto loaded = loadDeviceFolder(QDir(BaseDir).filePath(QStringLiteral("cpu")));
    const int selected = cbChips->currentIndex();
    for (auto &device : loaded) {
        addChip(device.get());
        Devices.push_back(std::move(device));
    }
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
