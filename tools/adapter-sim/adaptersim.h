// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated programmer adapter on a pseudo-terminal: plays the parallel-mode
// programmer's side of the command block protocol so the program and its tests
// can run without hardware.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace adaptersim {

// The character that acknowledges a page write, both when the adapter is ready for the
// page data and when the page is programmed. The program does not look at its value.
inline constexpr std::uint8_t ackChar = 0x21;  // '!'

// The simulated chip. Defaults: an ATmega8 at its factory settings.
struct Chip {
    std::array<std::uint8_t, 3> signature{0x1E, 0x93, 0x07};
    std::uint8_t lowFuse = 0xE1;
    std::uint8_t highFuse = 0xD9;
    std::uint8_t extFuse = 0xFF;  // no extended fuse: reads FF
    std::uint8_t lock = 0xFF;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(8192, 0xFF);
    // The physical Flash page in bytes. Page data fills the chip's page buffer at the
    // stream's address and is programmed when the stream reaches the end of the page, leaves
    // it, or is closed (cmdEnd or any other command), so a page written in pieces lands as a
    // whole one would. 0: every byte is programmed as it arrives.
    std::size_t pageSize = 64;
};

// One reply that goes wrong on purpose, to test how the program survives a lost or late
// reply. It is chosen either by the index of its block (0: the first block since start())
// or by command code and stream address.
struct ReplyFault {
    long block = -1;     // index of the block whose reply is hit; -1: choose by code
    int code = -1;       // the command code whose reply is hit; -1 with block -1: no fault
    long address = -1;   // ... at this stream address, where the reply's first byte comes from; -1: any
    int times = 1;       // how many replies are hit (by code); counted from setOptions() or start()
    int before = 0;      // bytes of the reply that go out first
    int holdUs = -1;     // -1: the rest of the reply is dropped; otherwise it follows after this pause
};

// A USB serial bridge between the adapter and the program, after the FTDI and CH340 kinds:
// the bridge holds received bytes until it has a full USB packet or its latency timer runs
// out, and every open of the port, line set-up and purge costs USB control transfers. The
// costs are paid before the simulator takes the next block, as if the program's own call
// had taken that long. All off (0) by default.
struct Bridge {
    int latencyUs = 0;   // latency timer; 0: bytes go on at once
    int packet = 62;     // data bytes in a full packet (64 minus 2 status bytes on FTDI)
    int openUs = 0;      // cost of an open of the port (with its close)
    int setupUs = 0;     // cost of a line set-up (tcsetattr), changed or not
    int purgeUs = 0;     // cost of a purge (tcflush)
};

// The bridges the benchmark models, by name: "ftdi-16ms" (an FT232R as it comes, latency
// timer 16 ms), "ftdi-1ms" (the same after the low-latency request or the udev rule) and
// "ch340". Their figures are assumptions from the chips' documented packet sizes and timers
// and from counting the USB control transfers the Linux drivers make, not measurements;
// bench/README.md gives them. Returns false for any other name.
bool bridgeModel(const std::string &name, Bridge *bridge);

struct Options {
    Chip chip;
    bool silent = false;          // answer nothing at all (no replies, no acknowledgements);
                                  // the commands are still carried out
    int shortCode = -1;           // command code whose reply is cut short ...
    int shortCount = 0;           // ... to this many bytes; for cmdWritePage the number of
                                  // acknowledgements sent (0: none, 1: the first only)
    bool noAck = false;           // never acknowledge a page (neither character); the page
                                  // data is still taken and programmed
    bool wirePaced = false;       // pace bytes in both directions as 115200 8N1 does (86.8 us a byte)
    int pageWriteUs = 0;          // programming time of one page, before the second acknowledgement
    int eraseUs = 0;              // chip erase time, before the reply
    int fuseWriteUs = 0;          // fuse or lock write time, before the reply
    ReplyFault fault;
    Bridge bridge;
};

// What the bridge model saw of the program's port handling (opens, set-ups, purges).
struct BridgeCounts {
    long opens = 0;
    long setups = 0;
    long purges = 0;
};

// Input is taken as a stream of 8-byte blocks, each possibly followed by page data. The
// program purges the line before every block, so a block or page data that stays
// incomplete for more than 100 ms without a further byte is dropped (not logged, nothing
// programmed, the stream address unchanged) and the next byte starts a fresh block.
class Simulator {
public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Creates the pty (raw mode), optionally a symlink to its device, starts serving
    // on a thread of its own. Returns false with a reason on failure.
    bool start(std::string *error = nullptr, const std::string &linkPath = {});
    void stop();
    std::string devicePath() const;  // the slave side, e.g. /dev/pts/5

    // Every block and every page of data received, one line each, in order:
    //   "block 05 40 FF FF FF FF FF FF"   (8 bytes, upper-case hex, single blanks)
    //   "data 0C 94 ..."                  (the page data that followed a cmdWritePage)
    std::vector<std::string> log() const;
    void clearLog();

    Chip chip() const;
    void setChip(const Chip &chip);
    Options options() const;
    void setOptions(const Options &options);  // takes effect with the next block
    // Opens, line set-ups and purges seen since start(); counted only with a bridge cost set
    // at start().
    BridgeCounts bridgeCounts() const;

    // Observers, called on the serving thread (outside the simulator's lock, so they may
    // call chip() or log()). Set them before start().
    // Every log line as it is made:
    void setLogHandler(std::function<void(const std::string &line)> handler);
    // Every cmdEnd, with the chip as it is then, before the reply goes out:
    void setStreamEndHandler(std::function<void(const Chip &chip)> handler);

private:
    using Clock = std::chrono::steady_clock;
    struct Behaviour;  // the options that shape one command, fixed when its block is complete

    void serve();
    // implementation details are private to adaptersim.cpp
    Behaviour behaviour() const;
    bool waitUntil(Clock::time_point when);  // false when stop() was called meanwhile
    bool send(const std::uint8_t *bytes, std::size_t count, const Behaviour &b);
    bool sendNow(const std::uint8_t *bytes, std::size_t count, bool wirePaced);
    bool sendReply(const std::uint8_t *bytes, std::size_t count, std::size_t allowed, const Behaviour &b);
    void takeBridgeEvents(const std::uint8_t *status, bool fromInotify, std::size_t count);
    void addLog(std::string line);
    std::array<std::uint8_t, 8> chipReply(std::uint8_t code) const;
    void cleanUp();

    mutable std::mutex mutex_;
    Options options_;
    std::vector<std::string> log_;
    std::string devicePath_;
    std::string linkPath_;
    int master_ = -1;
    int slaveHold_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::function<void(const std::string &)> logHandler_;
    std::function<void(const Chip &)> streamEndHandler_;
    int faultHits_ = 0;                // replies hit by the fault since setOptions()
    BridgeCounts bridgeCounts_;
    bool packetMode_ = false;          // the master reads in TIOCPKT mode (bridge costs set)
    int inotify_ = -1;                 // opens of the device (bridge costs set)
    // Serving thread only:
    std::size_t address_ = 0;          // Flash address of the open stream; as wide as the Flash
    std::vector<std::uint8_t> latch_;  // the chip's page buffer, as page data has loaded it
    std::size_t latchedPage_ = 0;      // the physical page it belongs to ...
    bool latchLoaded_ = false;         // ... when it holds anything not yet programmed
    void loadPage(const std::uint8_t *bytes, std::size_t count);
    void programLatch();
    Clock::time_point lineFreeAt_{};   // when the transmitter has sent its last byte (wire pacing)
    long blocksSeen_ = 0;              // blocks taken since start()
    long owedUs_ = 0;                  // bridge costs not yet paid
};

}  // namespace adaptersim
