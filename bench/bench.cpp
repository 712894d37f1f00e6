// SPDX-License-Identifier: GPL-3.0-or-later
// How close each operation of the window comes to the wire limit at 115200 baud, against the
// simulated adapter pacing its bytes as the line does, and what one port cycle costs.
#include "benchdialogs.h"
#include "adaptersim.h"
#include "dialogs.h"
#include "exchange.h"
#include "flashops.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 10.0 / 115200.0;  // 8N1: ten bits a byte
constexpr int kPageWriteUs = 4500;
constexpr int kEraseUs = 9000;

struct WireCount {
    int commands = 0;
    int ends = 0;  // cmdEnd blocks: an operation's own closing one and one per recovered lost reply
    long sent = 0;
    long received = 0;
    int pages = 0;
};

// What the adapter received, from its log, and what it sent back by the protocol's rules.
WireCount countWire(const std::vector<std::string> &log)
{
    WireCount c;
    for (const std::string &line : log) {
        if (line.rfind("data ", 0) == 0) {
            c.sent += long((line.size() - 4) / 3);
            continue;
        }
        ++c.commands;
        c.sent += 8;
        const int code = std::stoi(line.substr(6, 2), nullptr, 16);
        c.ends += code == 0;
        const int size = std::stoi(line.substr(9, 2), nullptr, 16);
        switch (code) {
        case 5:
            c.received += size ? 2 : 1;
            c.pages += size ? 1 : 0;
            break;
        case 6: c.received += 128; break;
        case 7: c.received += 2; break;
        default: c.received += 8; break;
        }
    }
    return c;
}

// The retries an operation's final status names: 0 when it is the plain text, -1 when it is
// another text altogether.
int retriesNamed(const QString &status, const QString &expected)
{
    for (int n = 0; n < 1000; ++n)
        if (status == core::withRetries(expected, n))
            return n;
    return -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool brief = app.arguments().contains(QStringLiteral("--short"));
    // --bridges: only the rows of the modelled USB bridges.
    const bool bridgesOnly = app.arguments().contains(QStringLiteral("--bridges"));
    const int runs = brief ? 1 : 5;
    const int flashBytes = brief ? 2048 : 32768;
    int cycles = brief ? 50 : 1000;
    // --cycles N: only the bare exchange cycle, N times (for profiling it with strace or perf).
    const qsizetype cyclesAt = app.arguments().indexOf(QStringLiteral("--cycles"));
    const bool cyclesOnly = cyclesAt > 0 && cyclesAt + 1 < app.arguments().size();
    if (cyclesOnly)
        cycles = std::max(1, app.arguments().at(cyclesAt + 1).toInt());

    adaptersim::Options options;
    options.chip.signature = {0x1E, 0x95, 0x0F};  // ATmega328P: 32 KB in 128-byte pages
    options.chip.flash.assign(32768, 0xFF);
    options.wirePaced = true;
    options.pageWriteUs = kPageWriteUs;
    options.eraseUs = kEraseUs;
    // --lose-reply: the window's first verify and first read each lose one reply in the middle
    // of the stream, to show how a recovered loss is reported.
    const bool loseReply = app.arguments().contains(QStringLiteral("--lose-reply"));
    adaptersim::Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "tarvane-bench: %s\n", error.c_str());
        return 1;
    }

    QTemporaryDir dir;
    const KeptSettings kept(QApplication::applicationDirPath());
    BenchDialogs dialogs;
    TfmMain w(QApplication::applicationDirPath(), dialogs);
    w.PortName = QString::fromStdString(sim.devicePath());
    w.btRead->click();
    if (w.CurDevice->FlashSize != 32768 || w.CurDevice->PageSize != 128) {
        std::fprintf(stderr, "tarvane-bench: the catalogue beside the program has no ATmega328P\n");
        return 1;
    }
    QByteArray image(flashBytes, 0);
    for (int i = 0; i < flashBytes; ++i)
        image[i] = char((i * 131 + 7) & 0xFF);
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    {
        QFile f(imagePath);
        if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size())
            return 1;
    }
    w.edReadFromFile->setText(imagePath);
    w.edWriteToFile->setText(dir.filePath(QStringLiteral("read.bin")));

    struct Row {
        const char *name;
        QPushButton *button;
        QString status;
    };
    const Row rows[] = {
        {"Read Chip", w.btRead, QStringLiteral("Found device: ATmega328P")},
        {"Flash write", w.btWriteFlash, QStringLiteral("Flash programming completed.")},
        {"Flash verify", w.btVerifyFlash, QStringLiteral("Flash verifying completed. No errors.")},
        {"Flash read", w.btReadFlash, QStringLiteral("Flash reading completed.")},
    };

    // Each write is timed alone: no erase is asked first and no verify follows (the verify has
    // a row of its own).
    w.VerifyAfterWriting = false;
    long rssFirstRead = -1, rssLastRead = -1;
    QStringList retried;  // rows whose runs recovered lost replies, with the count
    if (!cyclesOnly && !bridgesOnly) {
    std::printf("AVR Tarvane benchmark: %d-byte image, %d-byte pages, page write %.1f ms, median of %d\n",
                flashBytes, 128, kPageWriteUs / 1000.0, runs);
    for (const bool fastTransfers : {true, false}) {
    w.FastTransfers = fastTransfers;
    std::printf(fastTransfers ? "\nFast transfers on (as they come); a verify's limit is that of a read of its size\n\n"
                              : "\nFast transfers off: the original protocol, command by command\n\n");
    std::printf("| operation | commands | bytes on the wire | wire limit (s) | measured (s) | measured / limit |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (const Row &row : rows) {
        // Write the chip fresh for every write, so that every verify compares equal.
        std::vector<double> times;
        WireCount wire;
        int retries = 0;
        for (int run = 0; run < runs; ++run) {
            if (row.button == w.btWriteFlash) {
                auto chip = sim.chip();
                std::fill(chip.flash.begin(), chip.flash.end(), 0xFF);
                sim.setChip(chip);
                w.ErasedSinceRead = true;
            }
            if (loseReply && run == 0 && (row.button == w.btVerifyFlash || row.button == w.btReadFlash)) {
                auto lose = sim.options();
                lose.fault = {};
                lose.fault.code = row.button == w.btVerifyFlash && !fastTransfers ? avrlink::cmdReadWord
                                                                                  : avrlink::cmdReadBlock;
                lose.fault.address = 1024;
                sim.setOptions(lose);
            }
            sim.clearLog();
            const auto start = Clock::now();
            row.button->click();
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            wire = countWire(sim.log());
            // A lost reply that the stream recovery made good is no failure, but it is counted:
            // the status must name exactly the re-streams the adapter saw. (With Fast transfers the
            // closing blocks also ask whether the adapter is our board, so the status tells.)
            const int runRetries = fastTransfers ? retriesNamed(w.statusText(), row.status) : std::max(0, wire.ends - 1);
            retries += std::max(0, runRetries);
            if (runRetries < 0 || w.statusText() != core::withRetries(row.status, runRetries) || dialogs.boxes) {
                std::fprintf(stderr, "tarvane-bench: %s ended with \"%s\" %s (%d streams closed on the wire)\n",
                             row.name, qPrintable(w.statusText()), qPrintable(dialogs.last), wire.ends);
                return 1;
            }
            if (row.button == w.btReadFlash) {
                if (run == 0 && rssFirstRead < 0)
                    rssFirstRead = residentKb();
                rssLastRead = residentKb();
            }
        }
        const double limit = double(wire.sent + wire.received) * kByteSeconds + wire.pages * kPageWriteUs / 1e6;
        const double measured = median(times);
        std::printf("| %s | %d | %ld | %.4f | %.4f | %.2f |\n", row.name, wire.commands, wire.sent + wire.received,
                    limit, measured, measured / limit);
        if (retries)
            retried << QStringLiteral("%1%2: %3 in %4 runs")
                           .arg(QString::fromLatin1(row.name), fastTransfers ? QString() : QStringLiteral(" (original)"))
                           .arg(retries)
                           .arg(runs);
    }
    }
    // Retries cost a re-stream each and are in the times above; a row with them is no clean figure.
    std::printf("\nlost replies recovered (retries): %s\n",
                retried.isEmpty() ? "none" : qPrintable(retried.join(QStringLiteral("; "))));
    w.FastTransfers = true;
    }

    if (!cyclesOnly) {
        // The window's operations through modelled USB bridges (adapter-sim's bridge model), with
        // Fast transfers on. The link learns an FTDI bridge's latency from its latency_timer in
        // sysfs: a tree of our own stands for it here, saying what the model does.
        const int bridgeBytes = brief ? 2048 : 32768;
        std::printf("\nThrough a modelled USB bridge, Fast transfers on: %d-byte image for write and verify, the whole "
                    "32 KB for read, one run each\n\n", bridgeBytes);
        std::printf("| bridge | operation | commands | wire limit (s) | measured (s) | measured / limit | result |\n");
        std::printf("|---|---|---:|---:|---:|---:|---|\n");
        const QString bridgeImage = dir.filePath(QStringLiteral("bridge.bin"));
        {
            QFile f(bridgeImage);
            if (!f.open(QIODevice::WriteOnly) || f.write(image.left(bridgeBytes)) != bridgeBytes)
                return 1;
        }
        QTemporaryDir sysfs;
        qputenv("TARVANE_SYSFS_ROOT", QFile::encodeName(sysfs.path()));
        const QString port = w.PortName;
        for (const char *name : {"ftdi-16ms", "ftdi-1ms", "ch340"}) {
            adaptersim::Options bridged = options;
            adaptersim::bridgeModel(name, &bridged.bridge);
            adaptersim::Simulator bridgeSim(bridged);
            if (!bridgeSim.start(&error)) {
                std::fprintf(stderr, "tarvane-bench: %s\n", error.c_str());
                return 1;
            }
            w.PortName = QString::fromStdString(bridgeSim.devicePath());
            const QString tty = QFileInfo(QFileInfo(w.PortName).canonicalFilePath()).fileName();
            const QString timer = QString::fromLatin1(name).startsWith(QLatin1String("ftdi"))
                                      ? QString::number(bridged.bridge.latencyUs / 1000)
                                      : QString();
            if (!timer.isEmpty()) {
                QDir().mkpath(sysfs.filePath(QStringLiteral("class/tty/") + tty + QStringLiteral("/device")));
                QFile f(sysfs.filePath(QStringLiteral("class/tty/") + tty + QStringLiteral("/device/latency_timer")));
                if (!f.open(QIODevice::WriteOnly) || f.write(timer.toLatin1() + '\n') < 0)
                    return 1;
            }
            w.edReadFromFile->setText(bridgeImage);
            for (const Row &row : rows) {
                if (brief && row.button == w.btReadFlash)
                    continue;  // 256 blocks: too long for the quick run
                if (row.button == w.btWriteFlash) {
                    auto chip = bridgeSim.chip();
                    std::fill(chip.flash.begin(), chip.flash.end(), 0xFF);
                    bridgeSim.setChip(chip);
                    w.ErasedSinceRead = true;
                }
                bridgeSim.clearLog();
                dialogs.boxes = 0;
                const auto start = Clock::now();
                row.button->click();
                const double measured = std::chrono::duration<double>(Clock::now() - start).count();
                const WireCount wire = countWire(bridgeSim.log());
                const double limit =
                    double(wire.sent + wire.received) * kByteSeconds + wire.pages * kPageWriteUs / 1e6;
                const int retries = retriesNamed(w.statusText(), row.status);
                const bool ok = retries >= 0 && !dialogs.boxes;
                std::printf("| %s | %s | %d | %.4f | %.3f | %.2f | %s |\n", name, row.name, wire.commands, limit,
                            measured, measured / limit,
                            ok ? (retries ? qPrintable(QStringLiteral("ok, %1 retries").arg(retries)) : "ok")
                               : qPrintable(QStringLiteral("fails: ") + w.statusText() + QLatin1Char(' ') + dialogs.last));
                std::fflush(stdout);
            }
            const auto counts = bridgeSim.bridgeCounts();
            std::printf("| %s | port handling the bridge saw | %ld opens, %ld line set-ups, %ld purges | | | | |\n",
                        name, counts.opens, counts.setups, counts.purges);
        }
        qunsetenv("TARVANE_SYSFS_ROOT");
        w.PortName = port;
        w.edReadFromFile->setText(imagePath);
        if (bridgesOnly)
            return 0;
    }

    // The bare cycle: open, set up, purge, write, read, close, with the adapter answering at once.
    auto fast = sim.options();
    fast.wirePaced = false;
    fast.pageWriteUs = 0;
    sim.setOptions(fast);
    std::vector<double> cycle;
    cycle.reserve(std::size_t(cycles));
    for (int i = 0; i < cycles; ++i) {
        w.CmdBlock = {1, 0, 0, 0, 0, 0, 0, 0};
        const auto start = Clock::now();
        w.ExchangeCommand();
        cycle.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(cycle.begin(), cycle.end());
    std::printf("| bare exchange cycle, %d Read Chip exchanges | %d | %d | - | median %.3f ms, p99 %.3f ms | - |\n",
                cycles, cycles, cycles * 16, cycle[cycle.size() / 2], cycle[std::size_t(cycle.size() * 0.99)]);
    if (!cyclesOnly)
        std::printf("\nresident size after the first Flash read: %.1f MB, after the last: %.1f MB\n",
                rssFirstRead / 1024.0, rssLastRead / 1024.0);
    return 0;
}
