// SPDX-License-Identifier: GPL-3.0-or-later
// The operations without a window, against the simulated adapter on its pty: the test devices'
// catalogue, the link state, and a recorder for everything the operation tells its user.
#pragma once

#include "adaptersim.h"
#include "chiplist.h"
#include "chipops.h"
#include "devices.h"
#include "loader.h"
#include "recordingfaces.h"

#include <QDir>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace rig {

// The catalogue as the chip list keeps it: "* AUTO *" (the Unknown device) first, then sorted.
struct Catalogue {
    QTemporaryDir dir;
    TDevice unknown;
    std::vector<std::unique_ptr<TDevice>> devices;
    std::vector<const TDevice *> records;

    Catalogue()
    {
        unknown.Name = "Unknown";
        QDir().mkpath(dir.filePath("cpu"));
        for (const rig::DeviceSpec &d : rig::testDevices())
            rig::writeFile(dir.filePath(QStringLiteral("cpu/") + d.file), d.text);
        devices = loadDeviceFolder(dir.filePath("cpu"));
        records.push_back(&unknown);
        QStringList texts{kAutoEntry};
        for (const auto &d : devices) {
            const int at = sortedInsertIndex(texts, d->Name);
            texts.insert(at, d->Name);
            records.insert(records.begin() + at, d.get());
        }
    }
    const TDevice &named(const QString &name) const
    {
        for (const TDevice *d : records)
            if (d->Name == name)
                return *d;
        qFatal("no device %s", qPrintable(name));
    }
};

// The link state and the simulated adapter it talks to.
struct Bench {
    Catalogue catalogue;
    adaptersim::Simulator sim;
    explicit Bench(adaptersim::Options options) : sim(std::move(options)) { begin(); }
    avrlink::Block CmdBlock{};
    avrlink::Page PageBuffer{};
    QString PortName;
    RecordingFaces user;
    core::Session session{CmdBlock, PageBuffer, PortName};
    int closingReads = 0;

    Bench() { begin(); }
    void begin()
    {
        if (!sim.start())
            qFatal("simulator");
        PortName = QString::fromStdString(sim.devicePath());
    }
    core::ChipRead readChip()
    {
        core::Faces f = user.faces();
        if (!core::readChip(session, f))
            return {};
        return core::identifyReply(catalogue.records, CmdBlock);
    }
    core::ReadChipStep closing()
    {
        return [this] {
            ++closingReads;
            return readChip();
        };
    }
    QStringList blocks() const
    {
        QStringList out;
        for (const auto &l : sim.log())
            if (l.rfind("block ", 0) == 0)
                out << QString::fromStdString(l);
        return out;
    }
};

}  // namespace rig
