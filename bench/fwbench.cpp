// SPDX-License-Identifier: GPL-3.0-or-later
// The window's operations through the real adapter firmware in simulation (hvsim, paced
// strictly to the wall clock) against the wire limit plus the datasheet programming times.
#include "benchdialogs.h"
#include "dialogs.h"
#include "hvsim.h"
#include "uMain.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 10.0 / 115200.0;  // 8N1: ten bits a byte
constexpr double kPageWriteSeconds = 4.5e-3;      // tWLRH, worst case
constexpr double kEraseSeconds = 12e-3;           // tWLRH_CE, worst case (DS40002070A)

// Bytes on the wire in both directions and pages programmed, from the board's log.
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
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "tarvane-fwbench: %s\n", error.c_str());
        return 1;
    }
    QTemporaryDir dir;
    BenchDialogs dialogs;
    TfmMain w(QApplication::applicationDirPath(), dialogs);
    w.PortName = QString::fromStdString(sim.devicePath());

    struct Row {
        const char *name;
        QPushButton *button;
        int bytes;
        QString status;
    };
    const int full = brief ? 2048 : 32768, scratch = brief ? 1024 : 28672;
    const std::vector<Row> rows = {
        {"Read Chip", w.btRead, 0, QStringLiteral("Found device: ATmega328P")},
        {"Chip Erase (with its Read Chip)", w.btChipErase, 0, QStringLiteral("Device erased.")},
        {"Flash write, 28 KB", w.btWriteFlash, scratch, QStringLiteral("Flash programming completed.")},
        {"Flash write, 32 KB", w.btWriteFlash, full, QStringLiteral("Flash programming completed.")},
        {"Flash verify, 32 KB", w.btVerifyFlash, full, QStringLiteral("Flash verifying completed. No errors.")},
        {"Flash read, 32 KB", w.btReadFlash, full, QStringLiteral("Flash reading completed.")},
    };
    std::printf("AVR Tarvane firmware benchmark: the adapter firmware on hvsim at real-time pacing, ATmega328P\n\n");
    std::printf("| operation | commands | bytes on the wire | programming (s) | limit (s) | measured (s) | "
                "measured / limit | per command (ms) |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row &row : rows) {
        if (row.bytes) {
            QByteArray image(row.bytes, 0);
            for (int i = 0; i < row.bytes; ++i)
                image[i] = char((i * 131 + 7) & 0xFF);
            const QString path = dir.filePath(QStringLiteral("image%1.bin").arg(row.bytes));
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size())
                return 1;
            f.close();
            w.edReadFromFile->setText(path);
            w.edWriteToFile->setText(dir.filePath(QStringLiteral("read.bin")));
        }
        if (row.button == w.btWriteFlash) {
            auto chip = sim.chip();
            std::fill(chip.flash.begin(), chip.flash.end(), 0xFF);
            sim.setChip(chip);
        }
        sim.clearLog();
        const auto start = Clock::now();
        row.button->click();
        const double measured = std::chrono::duration<double>(Clock::now() - start).count();
        if (w.statusText() != row.status || dialogs.boxes) {
            std::fprintf(stderr, "tarvane-fwbench: %s ended with \"%s\" %s\n", row.name, qPrintable(w.statusText()),
                         qPrintable(dialogs.last));
            return 1;
        }
        const WireCount wire = countWire(sim.log());
        const double programming = wire.pages * kPageWriteSeconds + wire.erases * kEraseSeconds;
        const double limit = double(wire.bytes) * kByteSeconds + programming;
        std::printf("| %s | %d | %ld | %.3f | %.3f | %.3f | %.2f | %.2f |\n", row.name, wire.commands, wire.bytes,
                    programming, limit, measured, measured / limit, measured * 1e3 / wire.commands);
    }
    const auto breaks = sim.ruleBreaks();
    std::printf("\nrule breaks seen by the chip model: %zu; the board fell behind the wall clock by %.1f ms at worst\n",
                breaks.size(), sim.stats().worstLagMs);
    return breaks.empty() ? 0 : 1;
}
