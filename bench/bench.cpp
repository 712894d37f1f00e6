// SPDX-License-Identifier: GPL-3.0-or-later
// How close each operation of the window comes to the wire limit at 115200 baud, against the
// simulated adapter pacing its bytes as the line does, and what one port cycle costs.
#include "benchdialogs.h"
#include "adaptersim.h"
#include "dialogs.h"
#include "exchange.h"
#include "flashops.h"
#include "streamrecovery.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
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

// An operation's command sequence made by the link itself, as the window makes it, with the
// recovery after a lost reply on the verify and read streams.
class LinkRun {
public:
    explicit LinkRun(const QString &port) { state_.PortName = port; }

    QString readChip()
    {
        state_.CmdBlock = {1, 0, 0, 0, 0, 0, 0, 0};
        return exchange() ? QStringLiteral("ok") : failed();
    }

    QString writeFlash(const QByteArray &image)
    {
        state_.CmdBlock[0] = avrlink::cmdWritePage;
        state_.CmdBlock[1] = 128;
        for (qsizetype at = 0; at < image.size(); at += 128) {
            state_.PageBuffer.fill(0xFF);
            std::copy_n(image.constData() + at, std::min<qsizetype>(128, image.size() - at), state_.PageBuffer.begin());
            if (!exchange())
                return failed();
        }
        state_.CmdBlock[0] = state_.CmdBlock[1] = 0;
        exchange();
        return QStringLiteral("ok");
    }

    QString verifyFlash(const QByteArray &image)
    {
        state_.CmdBlock[0] = avrlink::cmdReadWord;
        int errors = 0;
        for (qsizetype at = 0; at < image.size(); at += 2) {
            do {
                state_.PageBuffer[0] = state_.PageBuffer[1] = 0;
            } while (!exchange() && recovery_.recover(state_, 128, std::uint32_t(at)));
            if (!lastOk_)
                return failed(at);
            for (qsizetype i = at; i < std::min<qsizetype>(at + 2, image.size()); ++i)
                errors += std::uint8_t(image[i]) != state_.PageBuffer[std::size_t(i - at)];
        }
        return closeAndReadChip(errors ? QStringLiteral("%1 errors").arg(errors) : QStringLiteral("ok"));
    }

    QString readFlash(int size)
    {
        state_.CmdBlock[0] = avrlink::cmdReadBlock;
        for (int at = 0; at + 128 <= size; at += 128) {
            while (!exchange() && recovery_.recover(state_, 128, std::uint32_t(at))) {
            }
            if (!lastOk_)
                return failed(at);
        }
        return closeAndReadChip(QStringLiteral("ok"));
    }

private:
    struct Quiet : avrlink::Reporter {
        void information(const QString &) override {}
    };

    bool exchange() { return lastOk_ = avrlink::exchangeCommand(state_, 128, quiet_); }

    QString retried(const QString &result) const
    {
        return recovery_.retries() ? result + QStringLiteral(", %1 retries").arg(recovery_.retries()) : result;
    }
    QString failed(qsizetype at = -1) const
    {
        return retried(at < 0 ? QStringLiteral("fails: no answer")
                              : QStringLiteral("fails: 3 replies lost at Flash address %1").arg(at));
    }
    QString closeAndReadChip(const QString &result)
    {
        state_.CmdBlock[0] = 0;
        exchange();
        state_.CmdBlock = {1, 0, 0, 0, 0, 0, 0, 0};
        exchange();
        return retried(result);
    }

    avrlink::LinkState state_;
    avrlink::StreamRecovery recovery_;
    Quiet quiet_;
    bool lastOk_ = false;
};

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

    long rssFirstRead = -1, rssLastRead = -1;
    QStringList retried;  // rows whose runs recovered lost replies, with the count
    if (!cyclesOnly && !bridgesOnly) {
    std::printf("AVR Tarvane benchmark: %d-byte image, %d-byte pages, page write %.1f ms, median of %d\n\n",
                flashBytes, 128, kPageWriteUs / 1000.0, runs);
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
            }
            if (loseReply && run == 0 && (row.button == w.btVerifyFlash || row.button == w.btReadFlash)) {
                auto lose = sim.options();
                lose.fault = {};
                lose.fault.code = row.button == w.btVerifyFlash ? avrlink::cmdReadWord : avrlink::cmdReadBlock;
                lose.fault.address = 1024;
                sim.setOptions(lose);
            }
            sim.clearLog();
            const auto start = Clock::now();
            row.button->click();
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            wire = countWire(sim.log());
            // A lost reply that the stream recovery made good is no failure, but it is counted:
            // the status must name exactly the re-streams the adapter saw.
            const int runRetries = std::max(0, wire.ends - 1);
            retries += runRetries;
            if (w.statusText() != core::withRetries(row.status, runRetries) || dialogs.boxes) {
                std::fprintf(stderr, "tarvane-bench: %s ended with \"%s\" %s (%d streams closed on the wire)\n",
                             row.name, qPrintable(w.statusText()), qPrintable(dialogs.last), wire.ends);
                return 1;
            }
            if (row.button == w.btReadFlash) {
                if (run == 0)
                    rssFirstRead = residentKb();
                rssLastRead = residentKb();
            }
        }
        const double limit = double(wire.sent + wire.received) * kByteSeconds + wire.pages * kPageWriteUs / 1e6;
        const double measured = median(times);
        std::printf("| %s | %d | %ld | %.4f | %.4f | %.2f |\n", row.name, wire.commands, wire.sent + wire.received,
                    limit, measured, measured / limit);
        if (retries)
            retried << QStringLiteral("%1: %2 in %3 runs").arg(QString::fromLatin1(row.name)).arg(retries).arg(runs);
    }
    // Retries cost a re-stream each and are in the times above; a row with them is no clean figure.
    std::printf("\nlost replies recovered (retries): %s\n",
                retried.isEmpty() ? "none" : qPrintable(retried.join(QStringLiteral("; "))));

    }

    if (!cyclesOnly) {
        // The same command sequences through modelled USB bridges (adapter-sim's bridge model),
        // made by the link directly, with the stream recovery after a lost reply, so that one
        // late reply shows as a retry rather than ending the row. A smaller image: a verify at
        // 16 ms latency takes over 20 ms a word.
        const int bridgeBytes = brief ? 64 : 4096;
        std::printf("\nThrough a modelled USB bridge: %d-byte image for write and verify, the whole 32 KB for "
                    "read, one run each\n\n", bridgeBytes);
        std::printf("| bridge | operation | commands | wire limit (s) | measured (s) | measured / limit | result |\n");
        std::printf("|---|---|---:|---:|---:|---:|---|\n");
        for (const char *name : {"ftdi-16ms", "ftdi-1ms", "ch340"}) {
            adaptersim::Options bridged = options;
            adaptersim::bridgeModel(name, &bridged.bridge);
            adaptersim::Simulator bridgeSim(bridged);
            if (!bridgeSim.start(&error)) {
                std::fprintf(stderr, "tarvane-bench: %s\n", error.c_str());
                return 1;
            }
            for (int op = 0; op < 4; ++op) {
                if (brief && op == 3)
                    continue;  // 256 blocks: too long for the quick run
                bridgeSim.clearLog();
                LinkRun run(QString::fromStdString(bridgeSim.devicePath()));
                const auto start = Clock::now();
                const QString result = op == 0   ? run.readChip()
                                       : op == 1 ? run.writeFlash(image.left(bridgeBytes))
                                       : op == 2 ? run.verifyFlash(image.left(bridgeBytes))
                                                 : run.readFlash(32768);
                const double measured = std::chrono::duration<double>(Clock::now() - start).count();
                const WireCount wire = countWire(bridgeSim.log());
                const double limit =
                    double(wire.sent + wire.received) * kByteSeconds + wire.pages * kPageWriteUs / 1e6;
                static const char *const names[] = {"Read Chip", "Flash write", "Flash verify", "Flash read"};
                std::printf("| %s | %s | %d | %.4f | %.3f | %.1f | %s |\n", name, names[op], wire.commands, limit,
                            measured, measured / limit, qPrintable(result));
                std::fflush(stdout);
            }
            const auto counts = bridgeSim.bridgeCounts();
            std::printf("| %s | port handling the bridge saw | %ld opens, %ld line set-ups, %ld purges | | | | |\n",
                        name, counts.opens, counts.setups, counts.purges);
        }
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
