// SPDX-License-Identifier: GPL-3.0-or-later
// A window wired to the adapter board in simulation (hvsim: the real firmware on a
// simulated ATmega328P, a modelled chip in its socket) with the shipped catalogue.
#pragma once

#include "hvsim.h"
#include "scripteddialogs.h"
#include "uMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace hvrig {

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QByteArray bytes(const std::vector<std::uint8_t> &v, std::size_t count = SIZE_MAX)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(std::min(count, v.size())));
}

inline hvsim::Chip fresh(const QString &family)
{
    const hvsim::Family *f = hvsim::findFamily(family.toStdString());
    if (!f)
        qFatal("no model of %s", qPrintable(family));
    return hvsim::freshChip(*f);
}

class Rig {
public:
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<hvsim::Simulator> sim;
    std::unique_ptr<TfmMain> w;

    explicit Rig(const QString &family, const std::function<void(hvsim::Chip &)> &change = {})
    {
        // The shipped catalogue, copied so that the window's settings file stays here.
        QDir().mkpath(dir.filePath("cpu"));
        const QDir shipped(qEnvironmentVariable("TARVANE_BIN_DIR") + "/cpu");
        for (const QString &name : shipped.entryList({"*.ini"}))
            QFile::copy(shipped.filePath(name), dir.filePath("cpu/" + name));
        hvsim::Options options;
        options.chip = fresh(family);
        if (change)
            change(options.chip);
        sim = std::make_unique<hvsim::Simulator>(options);
        std::string error;
        if (!sim->start(&error))
            qFatal("hvsim: %s", error.c_str());
        w = std::make_unique<TfmMain>(dir.path(), dialogs);
        w->PortName = port();
        // The firmware's tests follow the original program's commands one by one (the fast lane
        // has tests of its own), and verify by themselves: a Flash write is a write alone here.
        w->FastTransfers = false;
        w->actFastTransfers->setChecked(false);
        w->VerifyAfterWriting = false;
    }

    QString port() const { return QString::fromStdString(sim->devicePath()); }
    QString path(const QString &name) const { return dir.filePath(name); }
    QCheckBox *box(const QString &name) const { return w->findChild<QCheckBox *>(name); }

    // A choice in the chip list as the user makes it.
    void choose(const QString &text)
    {
        const int index = w->cbChips->findText(text);
        QVERIFY2(index >= 0, qPrintable(text));
        w->cbChips->setCurrentIndex(index);
        emit w->cbChips->activated(index);
    }

    // The model's verdict: the firmware kept every datasheet rule.
    QString breaks() const
    {
        QStringList lines;
        for (const auto &b : sim->ruleBreaks())
            lines << QString::fromStdString(b);
        return lines.join('\n');
    }
};

}  // namespace hvrig
