// SPDX-License-Identifier: GPL-3.0-or-later
#include "context.h"
#include "paths.h"

#include "chiplist.h"
#include "flashops.h"
#include "loader.h"
#include "rescue.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <csignal>
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
    const TDevice *named = nullptr;
    if (!deviceName.isEmpty()) {
        named = deviceNamed(deviceName);
        if (!named) {
            printErr(QStringLiteral("No device named \"%1\" in the catalogue (see: tarvane-cli devices).").arg(deviceName));
            return kUsage;
        }
    }
    // The chip is read first even when the device is named: a write meant for one chip must
    // not go to another, and a write that keeps bytes must know them.
    const core::ChipRead chip = readChip();
    if (read)
        *read = chip;
    if (!chip.complete) {
        printErr(core::kChipNotRead);
        return kLinkFailure;
    }
    if (!chip.identified && explainNoChip(chip))
        return kLinkFailure;
    if (named) {
        const avrlink::Block &r = chip.reply;
        if (r[1] != named->Signature[0] || r[2] != named->Signature[1] || r[3] != named->Signature[2]) {
            const avrlink::Block expected{0, named->Signature[0], named->Signature[1], named->Signature[2]};
            printErr(QStringLiteral("The chip reads signature %1, not that of %2 (%3): nothing was written.")
                         .arg(core::signatureText(r), named->Name, core::signatureText(expected)));
            return kLinkFailure;
        }
        device = named;
        return kDone;
    }
    if (!chip.identified) {
        printErr(QStringLiteral("Device not found: signature %1. A device file for it goes into the folder cpu/ "
                                "beside the program or into ~/.config/tarvane/cpu/.")
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
        if (interrupted()) {  // stopped by Ctrl+C, the adapter's stream closed
            printErr(terminal.lastStatus);
            return kInterrupted;
        }
        break;
    case core::Result::Aborted:
        break;
    }
    printErr(terminal.lastStatus);
    if (terminal.linkFailed)
        return kLinkFailure;
    return kFileError;
}

bool explainNoChip(const core::ChipRead &read)
{
    const auto noChip = core::diagnoseSignature({read.reply[1], read.reply[2], read.reply[3]});
    if (!noChip)
        return false;
    printErr(noChip->status);
    printErr(noChip->text);
    printErr(noChip->causes);
    return true;
}

std::optional<std::uint8_t> parseByte(const QString &text)
{
    // Only what a byte is written as: no sign, no blanks, no suffix that toUInt would let by.
    static const QRegularExpression form(QStringLiteral("^(?:0[xX])?([0-9A-Fa-f]{1,2})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return std::uint8_t(match.captured(1).toUInt(nullptr, 16));
}

bool takeFlag(Context &c, const QString &flag)
{
    const qsizetype at = c.arguments.indexOf(flag);
    if (at < 0)
        return false;
    c.arguments.removeAt(at);
    if (at < c.rawArguments.size())
        c.rawArguments.removeAt(at);
    return true;
}

std::optional<QString> fileArgument(const Context &c, int i)
{
    const QString name = c.arguments.value(i);
    if (i < c.rawArguments.size() && QFile::encodeName(name) != c.rawArguments[i]) {
        printErr(QStringLiteral("The file name \"%1\" is not valid in this system's encoding; "
                                "rename the file.").arg(name));
        return std::nullopt;
    }
    return name;
}

namespace {
volatile std::sig_atomic_t interruptSeen = 0;
}

void catchInterrupt()
{
#ifdef Q_OS_UNIX
    struct sigaction action{};
    action.sa_handler = [](int) { interruptSeen = 1; };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
#else
    std::signal(SIGINT, [](int) { interruptSeen = 1; });
#endif
}

bool interrupted()
{
    return interruptSeen != 0;
}

bool Terminal::stopRequested() const
{
    return interrupted();
}

void Terminal::fileError(const QString &text, const QString &file, const QString &reason)
{
    // "Can`t open file." with what the window's box leaves out: which file, and why.
    QString line = text;
    if (line.endsWith(QLatin1Char('.')))
        line.chop(1);
    error(line + QStringLiteral(" \"") + file + QStringLiteral("\": ") + reason + QLatin1Char('.'));
}


}  // namespace cli
