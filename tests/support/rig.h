// SPDX-License-Identifier: GPL-3.0-or-later
// A window wired to the simulated adapter, with a small catalogue of test devices.
#pragma once

#include "adaptersim.h"
#include "devices.h"
#include "scripteddialogs.h"
#include "uMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QDir>
#include <QRegularExpression>
#include <functional>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace rig {

class Rig {
public:
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<adaptersim::Simulator> sim;
    std::unique_ptr<TfmMain> w;

    explicit Rig(adaptersim::Options options = {})
    {
        QDir().mkpath(dir.filePath("cpu"));
        for (const DeviceSpec &d : testDevices())
            writeFile(dir.filePath(QStringLiteral("cpu/") + d.file), d.text);
        sim = std::make_unique<adaptersim::Simulator>(options);
        std::string error;
        if (!sim->start(&error))
            qFatal("simulator: %s", error.c_str());
        w = std::make_unique<TfmMain>(dir.path(), dialogs);
        w->PortName = port();
        // The tests of exact command sequences run the original program's way, a Flash write
        // alone; those of the fast transfers and of the verify after writing switch them on.
        setFast(false);
        w->VerifyAfterWriting = false;
        w->actVerifyAfterWriting->setChecked(false);
    }

    void setFast(bool on)
    {
        w->FastTransfers = on;
        w->actFastTransfers->setChecked(on);
    }

    QString port() const { return QString::fromStdString(sim->devicePath()); }
    QString path(const QString &name) const { return dir.filePath(name); }

    QStringList wire() const
    {
        QStringList lines;
        for (const auto &l : sim->log())
            lines << QString::fromStdString(l);
        return lines;
    }
    // Only the blocks, without the page data.
    QStringList blocks() const { return wire().filter(QRegularExpression("^block ")); }

    QCheckBox *box(const QString &name) const { return w->findChild<QCheckBox *>(name); }
    QPushButton *findChild(const QString &name) const { return w->findChild<QPushButton *>(name); }

    // A choice in the chip list as the user makes it.
    void choose(const QString &text)
    {
        const int index = w->cbChips->findText(text);
        QVERIFY2(index >= 0, qPrintable(text));
        w->cbChips->setCurrentIndex(index);
        emit w->cbChips->activated(index);
    }

    void setChip(const std::function<void(adaptersim::Chip &)> &change)
    {
        auto chip = sim->chip();
        change(chip);
        sim->setChip(chip);
    }
    void setOptions(const std::function<void(adaptersim::Options &)> &change)
    {
        auto options = sim->options();
        change(options);
        sim->setOptions(options);
    }
};

}  // namespace rig
