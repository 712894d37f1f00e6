// SPDX-License-Identifier: GPL-3.0-or-later
// The window's operations through the real adapter firmware in simulation (hvsim, paced
// strictly to the wall clock): on the fast lane at 1,000,000 baud, on the fast lane held at
// 115200 by a bridge that cannot switch, and the original way, against the wire limit plus the
// datasheet programming times. Then one `tarvane-cli program` run, timed whole.
#include "benchdialogs.h"
#include "dialogs.h"
#include "flashops.h"
#include "hvsim.h"
#include "uMain.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 10.0 / 115200.0;  // 8N1: ten bits a byte
constexpr double kPageWriteSeconds = 4.5e-3;      // tWLRH, worst case
constexpr double kEraseSeconds = 12e-3;           // tWLRH_CE, worst case (DS40002070A)

// Bytes on the wire in both directions and pages programmed, from the board's log of the
// original protocol's commands.
struct WireCount {
    int commands = 0;
    long bytes = 0;
    int pages = 0;
    int erases = 0;
};

WireCount countWire(const std::vector<std::string> &log)
{
    WireCount c;
    for (const std::string &line : log) {
        if (line.rfind("data ", 0) == 0) {
            c.bytes += long((line.size() - 4) / 3);
            continue;
        }
        if (line.rfind("block ", 0) != 0)
            continue;
        ++c.commands;
        c.bytes += 8;
        const int code = std::stoi(line.substr(6, 2), nullptr, 16);
        const int size = std::stoi(line.substr(9, 2), nullptr, 16);
        switch (code) {
        case 5:
            c.bytes += size ? 2 : 1;
            c.pages += size ? 1 : 0;
            break;
        case 6: c.bytes += 128; break;
        case 7: c.bytes += 2; break;
        case 4: c.bytes += 8; ++c.erases; break;
        default: c.bytes += 8; break;
        }
    }
    return c;
}

QByteArray pattern(int size, int seed)
{
    QByteArray image(size, 0);
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + seed) & 0xFF);
    return image;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The status an operation must end with; one that adds "Retries: N." counts as completed, and
// its retries are reported.
bool completed(const QString &status, const QString &expected, int &retries)
{
    retries = 0;
    if (status == expected)
        return true;
    for (int n = 1; n < 100; ++n)
        if (status == core::withRetries(expected, n)) {
            retries = n;
            return true;
        }
    return false;
}

struct Bench {
    TfmMain &w;
    BenchDialogs &dialogs;
    hvsim::Simulator *sim = nullptr;

    // Runs one operation; the seconds it took, or a negative number when it failed.
    double run(const char *name, const std::function<void()> &trigger, const QString &status, int &retries)
    {
        dialogs.boxes = 0;
        sim->clearLog();
        const auto start = Clock::now();
        trigger();
        const double measured = std::chrono::duration<double>(Clock::now() - start).count();
        if (!completed(w.statusText(), status, retries) || dialogs.boxes) {
            std::fprintf(stderr, "tarvane-fwbench: %s ended with \"%s\" %s\n", name, qPrintable(w.statusText()),
                         qPrintable(dialogs.last));
            return -1;
        }
        return measured;
    }
    void blankFlash()
    {
        auto chip = sim->chip();
        std::fill(chip.flash.begin(), chip.flash.end(), 0xFF);
        sim->setChip(chip);
    }
};

QString goalText(double measured, double goal)
{
    return goal <= 0 ? QStringLiteral("-") : QStringLiteral("%1 s: %2").arg(goal, 0, 'f', 1).arg(measured <= goal ? "met" : "missed");
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool brief = app.arguments().contains(QStringLiteral("--short"));
    // --ahead-ms N lets the board run ahead of the wall clock (default 0: strict real time).
    const qsizetype aheadAt = app.arguments().indexOf(QStringLiteral("--ahead-ms"));
    const int aheadMs = aheadAt > 0 && aheadAt + 1 < app.arguments().size() ? app.arguments().at(aheadAt + 1).toInt() : 0;

    hvsim::Options options;
    options.chip = hvsim::freshChip(*hvsim::findFamily("ATmega328P"));
    options.aheadUs = aheadMs * 1000;  // 0: the board answers no sooner than hardware would
    hvsim::Simulator sim(options);
    hvsim::Options held = options;
    held.bridgeMaxBaud = 115200;  // a bridge that cannot take the switch to 1,000,000 baud
    hvsim::Simulator heldSim(held);
    std::string error;
    if (!sim.start(&error) || !heldSim.start(&error)) {
        std::fprintf(stderr, "tarvane-fwbench: %s\n", error.c_str());
        return 1;
    }
    QTemporaryDir dir;
    const KeptSettings kept(QApplication::applicationDirPath());
    BenchDialogs dialogs;
    TfmMain w(QApplication::applicationDirPath(), dialogs);
    // Each write is timed alone: its verify is a row of its own, and no erase is asked first.
    w.VerifyAfterWriting = false;
    Bench b{w, dialogs, &sim};

    const int full = brief ? 2048 : 32768, scratch = brief ? 1024 : 28672, eeprom = brief ? 256 : 1024;
    const QString fullImage = dir.filePath(QStringLiteral("full.bin"));
    const QString scratchImage = dir.filePath(QStringLiteral("scratch.bin"));
    const QString eepromImage = dir.filePath(QStringLiteral("eeprom.bin"));
    if (!writeFile(fullImage, pattern(full, 7)) || !writeFile(scratchImage, pattern(scratch, 7))
        || !writeFile(eepromImage, pattern(eeprom, 3)))
        return 1;
    w.edWriteToFile->setText(dir.filePath(QStringLiteral("read.bin")));
    const auto click = [](QPushButton *button) { return [button] { button->click(); }; };
    const auto writeFlash = [&](const QString &image) {
        return [&, image] {
            b.blankFlash();
            w.edReadFromFile->setText(image);
            w.ErasedSinceRead = true;
            w.btWriteFlash->click();
        };
    };
    const auto eepromAction = [&](QAction *action, const QString &file) {
        return [&, action, file] {
            dialogs.file = file;
            action->trigger();
            dialogs.file.clear();
        };
    };
    int failures = 0;

    // The fast lane: Fast transfers on, as they come.
    struct FastRow {
        QString name;
        std::function<void()> trigger;
        QString status;
        double goal;  // seconds; 0: none set
    };
    const QString kb = brief ? QStringLiteral("%1 bytes") : QStringLiteral("%1 KB");
    const auto size = [&](int bytes) { return kb.arg(brief ? bytes : bytes / 1024); };
    const std::vector<FastRow> fastRows = {
        {QStringLiteral("Read Chip"), click(w.btRead), QStringLiteral("Found device: ATmega328P"), 0},
        {QStringLiteral("Chip Erase (with its blank check and Read Chip)"),
         [&] {
             dialogs.file = dir.filePath(QStringLiteral("backup.eep"));  // the EEPROM saved first
             w.btChipErase->click();
             dialogs.file.clear();
         },
         QStringLiteral("Device erased."), 0},
        {QStringLiteral("Flash write, ") + size(full), writeFlash(fullImage),
         QStringLiteral("Flash programming completed."), brief ? 0 : 2.0},
        {QStringLiteral("Flash verify, ") + size(full),
         [&] {
             w.edReadFromFile->setText(fullImage);
             w.btVerifyFlash->click();
         },
         QStringLiteral("Flash verifying completed. No errors."), brief ? 0 : 0.8},
        {QStringLiteral("Flash read, 32 KB (the whole Flash)"), click(w.btReadFlash),
         QStringLiteral("Flash reading completed."), brief ? 0 : 0.6},
        {QStringLiteral("EEPROM write with its read-back, ") + size(eeprom),
         eepromAction(w.actWriteEeprom, eepromImage), QStringLiteral("EEPROM programming completed."),
         brief ? 0 : 1.3},
        {QStringLiteral("EEPROM read, ") + size(eeprom), eepromAction(w.actReadEeprom, dir.filePath("eeprom-read.bin")),
         QStringLiteral("EEPROM reading completed."), brief ? 0 : 0.2},
    };
    std::printf("AVR Tarvane firmware benchmark: the adapter firmware on hvsim at real-time pacing, ATmega328P\n\n");
    std::printf("Fast transfers on: our board's fast lane at 1,000,000 baud\n\n");
    std::printf("| operation | measured (s) | goal | retries |\n|---|---:|---|---:|\n");
    w.PortName = QString::fromStdString(sim.devicePath());
    for (const FastRow &row : fastRows) {
        int retries = 0;
        const double measured = b.run(qPrintable(row.name), row.trigger, row.status, retries);
        failures += measured < 0;
        std::printf("| %s | %.3f | %s | %d |\n", qPrintable(row.name), measured, qPrintable(goalText(measured, row.goal)),
                    retries);
        std::fflush(stdout);
    }

    // The same lane where the switch is not answered: block reads at 115200, the whole Flash
    // both ways, so that the verify compares with a read of its size.
    std::printf("\nFast transfers on, through a bridge that stays at 115200 baud\n\n");
    std::printf("| operation | measured (s) | verify / read |\n|---|---:|---:|\n");
    w.PortName = QString::fromStdString(heldSim.devicePath());
    b.sim = &heldSim;
    double heldRead = 0, heldVerify = 0;
    int retries = 0;
    const QString wholeImage = dir.filePath(QStringLiteral("whole.bin"));
    if (!writeFile(wholeImage, pattern(32768, 7)))
        return 1;
    w.edReadFromFile->setText(wholeImage);
    heldSim.setChip([&] {
        auto chip = heldSim.chip();
        const QByteArray image = pattern(32768, 7);
        std::copy(image.begin(), image.end(), chip.flash.begin());
        return chip;
    }());
    heldRead = b.run("held read", click(w.btReadFlash), QStringLiteral("Flash reading completed."), retries);
    heldVerify = b.run("held verify", click(w.btVerifyFlash), QStringLiteral("Flash verifying completed. No errors."),
                       retries);
    failures += heldRead < 0 || heldVerify < 0;
    std::printf("| Flash read, 32 KB | %.3f | |\n| Flash verify, 32 KB | %.3f | %.2f (goal 1.1: %s) |\n", heldRead,
                heldVerify, heldVerify / heldRead,
                heldVerify <= 1.1 * heldRead ? "met" : "missed");

    // The original way, command by command, against its wire limit.
    std::printf("\nFast transfers off: the original protocol at 115200 baud\n\n");
    std::printf("| operation | commands | bytes on the wire | programming (s) | limit (s) | measured (s) | "
                "measured / limit | per command (ms) |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    w.PortName = QString::fromStdString(sim.devicePath());
    b.sim = &sim;
    w.FastTransfers = false;
    const std::vector<FastRow> rows = {
        {QStringLiteral("Read Chip"), click(w.btRead), QStringLiteral("Found device: ATmega328P"), 0},
        {QStringLiteral("Chip Erase (with its Read Chip)"), click(w.btChipErase),
         QStringLiteral("Device erased. Not checked for blank Flash: Fast transfers are off."), 0},
        {QStringLiteral("Flash write, ") + size(scratch), writeFlash(scratchImage),
         QStringLiteral("Flash programming completed."), 0},
        {QStringLiteral("Flash write, ") + size(full), writeFlash(fullImage), QStringLiteral("Flash programming completed."),
         0},
        {QStringLiteral("Flash verify, ") + size(full),
         [&] {
             w.edReadFromFile->setText(fullImage);
             w.btVerifyFlash->click();
         },
         QStringLiteral("Flash verifying completed. No errors."), 0},
        {QStringLiteral("Flash read, 32 KB (the whole Flash)"), click(w.btReadFlash),
         QStringLiteral("Flash reading completed."), 0},
    };
    for (const FastRow &row : rows) {
        const double measured = b.run(qPrintable(row.name), row.trigger, row.status, retries);
        failures += measured < 0;
        const WireCount wire = countWire(sim.log());
        const double programming = wire.pages * kPageWriteSeconds + wire.erases * kEraseSeconds;
        const double limit = double(wire.bytes) * kByteSeconds + programming;
        std::printf("| %s | %d | %ld | %.3f | %.3f | %.3f | %.2f | %.2f |\n", qPrintable(row.name), wire.commands,
                    wire.bytes, programming, limit, measured, measured / limit,
                    measured * 1e3 / std::max(1, wire.commands));
        std::fflush(stdout);
    }

    // One production run, as a user starts it: erase, Flash with its verify, EEPROM with its
    // verify, fuses read back, lock bits.
    std::printf("\nOne `tarvane-cli program` run, fast transfers on\n\n");
    b.blankFlash();
    QProcess cli;
    cli.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments = {QStringLiteral("--port"), QString::fromStdString(sim.devicePath()),
                                   QStringLiteral("program"), QStringLiteral("--erase"), QStringLiteral("--flash"),
                                   fullImage, QStringLiteral("--eeprom"), eepromImage, QStringLiteral("--fuses"),
                                   QStringLiteral("62"), QStringLiteral("D9"), QStringLiteral("FF"),
                                   QStringLiteral("--lock"), QStringLiteral("FC")};
    const auto start = Clock::now();
    cli.start(QApplication::applicationDirPath() + QStringLiteral("/tarvane-cli"), arguments);
    const bool finished = cli.waitForFinished(60000);
    const double programSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool passed = finished && cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0;
    if (!passed) {
        std::fprintf(stderr, "tarvane-fwbench: program ended with %d: %s\n", cli.exitCode(), cli.readAll().constData());
        ++failures;
    }
    std::printf("| run | measured (s) | goal |\n|---|---:|---|\n");
    std::printf("| %s Flash, %s EEPROM, fuses, lock | %.3f | %s |\n", qPrintable(size(full)), qPrintable(size(eeprom)),
                programSeconds, qPrintable(goalText(programSeconds, brief ? 0 : 4.0)));

    const auto breaks = sim.ruleBreaks();
    const auto heldBreaks = heldSim.ruleBreaks();
    std::printf("\nrule breaks seen by the chip model: %zu; the board fell behind the wall clock by %.1f ms at worst\n",
                breaks.size() + heldBreaks.size(), std::max(sim.stats().worstLagMs, heldSim.stats().worstLagMs));
    return breaks.empty() && heldBreaks.empty() && !failures ? 0 : 1;
}
