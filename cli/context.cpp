// SPDX-License-Identifier: GPL-3.0-or-later
#include "context.h"
#include "paths.h"

#include "chiplist.h"
#include "flashops.h"
#include "loader.h"

#include <QDir>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace cli {

void printOut(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void printErr(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

Terminal::Terminal()
{
#ifdef Q_OS_UNIX
    drawing_ = ::isatty(STDERR_FILENO) == 1;
#else
    drawing_ = false;
#endif
}

bool Terminal::confirm(const QString &, const QString &informative)
{
    if (!informative.isEmpty())
        printErr(informative);
    return true;
}

void Terminal::start(qint64 maximum, int step)
{
    maximum_ = std::max<qint64>(maximum, 0);
    value_ = 0;
    step_ = step;
    shown_ = -1;
    draw();
}

void Terminal::step()
{
    value_ = std::min(value_ + step_, maximum_);
    draw();
}

void Terminal::reset()
{
    if (drawing_ && shown_ >= 0)
        std::fputs("\r\033[K", stderr);
    shown_ = -1;
    value_ = 0;
}

void Terminal::draw()
{
    if (!drawing_)
        return;
    const int percent = maximum_ > 0 ? int(value_ * 100 / maximum_) : 0;
    if (percent == shown_)
        return;
    shown_ = percent;
    const int filled = percent * 40 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(std::size_t(filled), '#').c_str(),
                 std::string(std::size_t(40 - filled), ' ').c_str(), percent);
    std::fflush(stderr);
}

void Terminal::information(const QString &text)
{
    reset();
    linkFailed = true;
    printErr(text);
}

void Terminal::error(const QString &text)
{
    reset();
    fileFailed = true;
    QString line = text;
    printErr(line.replace(QStringLiteral("\r\n"), QStringLiteral(" ")));
}

void Terminal::applicationError(const QString &text)
{
    reset();
    fileFailed = true;
    printErr(text);
}

void Context::loadCatalogue()
{
    unknown.Name = QStringLiteral("Unknown");
    devices = loadDeviceFolder(QDir(baseDir).filePath(QStringLiteral("cpu")));
    // The user's own device files are listed beside the shipped ones, as in the window.
    if (const QString own = userDeviceFolder(); !own.isEmpty())
        for (auto &device : loadDeviceFolder(own))
            devices.push_back(std::move(device));
    QStringList names;
    for (const auto &d : devices)
        names << d->Name;
    records = {&unknown};
    for (const std::size_t i : chipListOrder(names))
        records.push_back(devices[i].get());
}

const TDevice *Context::deviceNamed(const QString &name) const
{
    // The last of equal names, as identification takes the last of equal signatures. A
    // shared name answers to each part it stands for: "ATmega8" finds "ATmega8/8A".
    const TDevice *found = nullptr;
    for (std::size_t i = 1; i < records.size(); ++i)
        if (deviceNameMatches(records[i]->Name, name))
            found = records[i];
    return found;
}

core::ChipRead Context::readChip()
{
    const core::Faces f = terminal.faces();
    if (!core::readChip(session, f))
        return {};
    return core::identifyReply(records, CmdBlock);
}

core::ReadChipStep Context::closingRead()
{
    return [this] { return readChip(); };
}

int Context::deviceInForce(const TDevice *&device, std::optional<core::ChipRead> *read)
{
    if (!deviceName.isEmpty()) {
        device = deviceNamed(deviceName);
        if (!device) {
            printErr(QStringLiteral("No device named \"%1\" in the catalogue (see: tarvane-cli devices).").arg(deviceName));
            return kUsage;
        }
        return kDone;
    }
    const core::ChipRead chip = readChip();
    if (read)
        *read = chip;
    if (!chip.complete) {
        printErr(core::kChipNotRead);
        return kLinkFailure;
    }
    if (!chip.identified) {
        printErr(QStringLiteral("Device not found: signature %1. Name the device with --device.")
                     .arg(core::signatureText(chip.reply)));
        return kLinkFailure;
    }
    device = chip.device;
    return kDone;
}

int Context::finish(core::Result result)
{
    terminal.reset();
    switch (result) {
    case core::Result::Done:
        printOut(terminal.lastStatus);
        return kDone;
    case core::Result::Failed:
        printOut(terminal.lastStatus);
        return terminal.fileFailed ? kFileError : kDiffers;
    case core::Result::Cancelled:
    case core::Result::Aborted:
        break;
    }
    printErr(terminal.lastStatus);
    if (terminal.linkFailed)
        return kLinkFailure;
    return kFileError;
}

std::optional<std::uint8_t> parseByte(const QString &text)
{
    QString t = text.trimmed();
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        t = t.mid(2);
    else if (t.endsWith(QLatin1Char('h'), Qt::CaseInsensitive))
        t.chop(1);
    if (t.isEmpty() || t.size() > 2)
        return std::nullopt;
    bool ok = false;
    const uint value = t.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return std::uint8_t(value);
}

bool loadHexImage(const QString &name, QByteArray &image)
{
    QString reason;
    if (core::loadHexImage(name, image, &reason))
        return true;
    printErr(QStringLiteral("Error converting HEX to BIN: %1: %2.").arg(name, reason));
    return false;
}

}  // namespace cli
