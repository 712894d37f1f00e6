// SPDX-License-Identifier: GPL-3.0-or-later
// The adapter board in simulation: the real firmware (tarvane-adapter.elf) runs on a
// simulated ATmega328P at 16 MHz (libsimavr), its UART bridged to a pseudo-terminal, its
// pins wired to a model of the target chip. Same surface as adapter-sim's Simulator, so a
// test can use either.
#pragma once

#include "model.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hvsim {

struct Options {
    Chip chip;
    std::string firmware;  // the ELF; empty: defaultFirmware()
    // Simulated time is paced to the wall clock and may run this far ahead of it, so that
    // a stall of this process on a loaded machine does not open gaps in a reply. 0 keeps
    // strict real time, as the benchmark needs.
    int aheadUs = 20000;
    // A USB bridge between host and board that cannot make rates above this one: asked for
    // more, it runs at this rate (an older CP210x stops at 921,600). 0: any rate.
    int bridgeMaxBaud = 0;
};

// $TARVANE_FIRMWARE if set, else tarvane-adapter.elf in $TARVANE_BIN_DIR, else beside
// the running executable.
std::string defaultFirmware();

struct Stats {
    double simulatedSeconds = 0;
    int ownEntries = 0;       // entries by an older part's own entry (VCC, 100 us, XTAL1 pulses, 12 V)
    int newEntries = 0;       // entries by the power-up entry (12 V 20..60 us after VCC)
    int fallbackEntries = 0;  // entries by the older parts' alternative (VCC and 12 V together)
    int refusedEntries = 0;   // 12 V rises that did not enter: an entry of another family
    int linesHighAtHv = 0;    // 12 V rises with any control line towards the socket high
    int pagesProgrammed = 0;
    int wordsLatched = 0;
    int eepromWrites = 0;     // EEPROM pages (or bytes) programmed
    int rxOverruns = 0;       // received bytes the simulated UART dropped
    int boardBaud = 0;        // the rate the firmware has set
    int hostBaud = 0;         // the rate the host has set on the pty, 0 when unknown
    // Timer2 (the firmware's timed waits) started, and started without its prescaler reset
    // (GTCCR PSRASY) since the previous start: such a wait can end one prescaler tick short.
    int timer2Starts = 0;
    int timer2StartsUnreset = 0;
    std::array<int, kLineCount> lineRises{};  // rising edges of each adapter line
    bool vccOn = false, hvOn = false;         // the supplies towards the socket now
    double worstLagMs = 0;  // how far the board fell behind the wall clock at worst
};

class Simulator {
public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Loads the firmware, creates the pty (raw), optionally a symbolic link to it, and
    // starts the board on a thread of its own. Returns false with a reason on failure.
    bool start(std::string *error = nullptr, const std::string &linkPath = {});
    void stop();
    std::string devicePath() const;

    // What the host sent, one line each, as adapter-sim logs it:
    //   "block 05 80 FF FF FF FF FF FF" and "data 0C 94 ..." (page data after a cmdWritePage)
    std::vector<std::string> log() const;
    void clearLog();

    Chip chip() const;
    void setChip(const Chip &chip);
    // Every break of the datasheets' rules the model saw, with its simulated time.
    std::vector<std::string> ruleBreaks() const;
    void clearRuleBreaks();
    Stats stats() const;

    // Called on the board's thread, outside its lock. Set them before start().
    void setLogHandler(std::function<void(const std::string &line)> handler);
    // After every cmdEnd, once the firmware has had time to program what was pending.
    void setStreamEndHandler(std::function<void(const Chip &chip)> handler);

    struct Board;  // the simavr side, private to hvsim.cpp

private:
    // A read from the pty: the bytes, the host's rate then, and the cycle they start on the wire.
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        int hostBaud;
        std::uint64_t at;
    };
    struct Host {
        int baud = 0;
        unsigned iflag = 0;
    };
    Host host() const;
    void serve();
    void takeInput(const std::uint8_t *bytes, std::size_t count, std::uint64_t at);
    void addLog(std::string line);

    Options options_;
    std::unique_ptr<Board> board_;
    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    std::string devicePath_, linkPath_;
    int master_ = -1, slaveHold_ = -1, wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::function<void(const std::string &)> logHandler_;
    std::function<void(const Chip &)> streamEndHandler_;
    // Board thread only: the host's byte stream cut into blocks and page data for the log.
    std::vector<std::uint8_t> part_;
    std::size_t dataLeft_ = 0;
    bool dataAfterAck_ = false;  // the data is a cmdWritePage's: its first byte may take 2 s
    std::vector<std::uint8_t> data_;
    std::chrono::steady_clock::time_point lastInput_{};
    std::deque<Chunk> input_;             // bytes on their way into the UART
    std::vector<std::uint64_t> endsAt_;   // cycles at which to report a closed stream
    double worstLagMs_ = 0;
};

}  // namespace hvsim
