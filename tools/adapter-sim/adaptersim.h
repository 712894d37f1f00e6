// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated programmer adapter on a pseudo-terminal: plays the parallel-mode
// programmer's side of the command block protocol so the program and its tests
// can run without hardware. It plays either a plain adapter of the original protocol or
// our own board, which adds the identification, the noise guard and the extension commands
// of firmware/README.md ("Extensions: our board only"), written from that text alone.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace adaptersim {

// The character that acknowledges a page write, both when the adapter is ready for the
// page data and when the page is programmed. The program does not look at its value.
inline constexpr std::uint8_t ackChar = 0x21;  // '!'

// Our board's extension commands and the answers of cmdExtWrite.
inline constexpr std::uint8_t cmdExtLine = 0x10;
inline constexpr std::uint8_t cmdExtPing = 0x11;
inline constexpr std::uint8_t cmdExtRead = 0x12;
inline constexpr std::uint8_t cmdExtWrite = 0x13;
inline constexpr std::uint8_t cmdExtBoardTest = 0x14;
inline constexpr std::uint8_t extAccepted = 0x4B;  // 'K'
inline constexpr std::uint8_t extCrcWrong = 0x45;  // 'E'
inline constexpr std::uint8_t extRefused = 0x52;   // 'R'
// Byte 0 of the identification reply, its protocol version and capability bits.
inline constexpr std::uint8_t idMagic = 0x54;      // 'T'
inline constexpr std::uint8_t idVersion = 0x01;
inline constexpr std::uint8_t capFastLine = 0x01;  // cmdExtLine (cmdExtPing is always answered)
inline constexpr std::uint8_t capAddressed = 0x02; // cmdExtRead, cmdExtWrite
inline constexpr std::uint8_t capEeprom = 0x04;    // memory 1
inline constexpr std::uint8_t capCalibration = 0x08;  // memory 2
inline constexpr std::uint8_t capBoardTest = 0x10; // cmdExtBoardTest
inline constexpr std::uint8_t capAll = 0x1F;
// The lines the board test drives, in its order; each is sent as its name and "\n", and
// "END\n" follows the last. The README names VCC and XTAL1 as the first two; the rest are
// the other signals of its wiring table, 12V being the switch on the target's RESET.
inline constexpr std::array<const char *, 18> boardTestLines = {
    "VCC", "XTAL1", "XA0", "XA1", "BS1", "BS2", "PAGEL", "WR", "OE",
    "DATA0", "DATA1", "DATA2", "DATA3", "DATA4", "DATA5", "DATA6", "DATA7", "12V"};
inline constexpr int baseBaud = 115200;   // the rate every adapter starts at
inline constexpr int fastBaud = 1000000;  // cmdExtLine with R = 1

// CRC-16/CCITT-FALSE (polynomial 1021h, from FFFFh, no reflection, no final XOR), continued
// from `crc`.
std::uint16_t crc16(const std::uint8_t *bytes, std::size_t count, std::uint16_t crc = 0xFFFF);

// The simulated chip. Defaults: an ATmega8 at its factory settings (ATmega8 datasheet,
// "Memory Programming": 512 bytes of EEPROM in pages of 4 bytes, four calibration bytes for
// the 1, 2, 4 and 8 MHz oscillator, EESAVE in bit 3 of the high fuse byte).
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
    // EEPROM; empty: the part has none.
    std::vector<std::uint8_t> eeprom = std::vector<std::uint8_t>(512, 0xFF);
    // The EEPROM page buffer in bytes; 0: the part writes its EEPROM byte by byte.
    std::size_t eepromPageSize = 4;
    // The calibration bytes of the signature row (1 to 4; empty: none). The values are
    // what one chip might hold, not those of a particular part.
    std::vector<std::uint8_t> calibration{0xA6, 0xA9, 0xAD, 0xB2};
    // Where EESAVE sits: the fuse byte (0 Low, 1 High, 2 Extended; -1: the part has none)
    // and its bit. Programmed (0), it keeps the EEPROM through a Chip Erase.
    int eesaveFuse = 1;
    int eesaveBit = 3;
};

// One reply that goes wrong on purpose, to test how the program survives a lost or late
// reply. It is chosen either by the index of its block (0: the first block since start())
// or by command code and address: the stream address for the commands of the plain
// protocol, the block's address A for cmdExtRead and cmdExtWrite (whose reply is the status
// byte).
struct ReplyFault {
    long block = -1;     // index of the block whose reply is hit; -1: choose by code
    int code = -1;       // the command code whose reply is hit; -1 with block -1: no fault
    long address = -1;   // ... at this address, where the reply's first byte comes from; -1: any
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
    bool wirePaced = false;       // pace bytes in both directions at the board's line rate
                                  // (10 bits a byte: 86.8 us at 115200, 10 us at 1,000,000)
    int pageWriteUs = 0;          // programming time of one Flash page, before the second
                                  // acknowledgement (cmdExtWrite: after the 'K')
    int eraseUs = 0;              // chip erase time, before the reply
    int fuseWriteUs = 0;          // fuse or lock write time, before the reply
    int eepromWriteUs = 0;        // time of one EEPROM page write (a byte on parts without
                                  // an EEPROM page buffer), after the 'K'
    ReplyFault fault;
    std::vector<ReplyFault> faults;  // more of them, each counted on its own; where several
                                     // would hit one reply, the first listed (fault first) does
    int ignoreCode = -1;          // this command is logged and answered as usual but not
                                  // carried out: 2, 3, 4 write nothing, 5 and 13h program
                                  // nothing (the stream address still advances); other codes
                                  // are not affected
    int strayBytes = 0;           // bytes (00, FF, 00, ...) sent in front of every reply,
                                  // acknowledgement and status byte: a line that corrupts
                                  // replies without dropping them
    Bridge bridge;
    // With a bridge latency set: the root under which the bridge's sysfs latency timer is
    // written, as ftdi_sio shows it (ROOT/class/tty/NAME/device/latency_timer, NAME the pty's
    // file name, the latency in whole ms), for a program run with TARVANE_SYSFS_ROOT=ROOT.
    // Removed by stop().
    std::string sysfsRoot;

    // Our board (false: a plain adapter of the original protocol, which answers every code
    // above 7 like cmdReadChip and echoes cmdEnd's code before the chip's bytes).
    bool ours = false;
    std::uint8_t capabilities = capAll;  // what the identification offers; a command whose
                                         // bit is clear is answered like an unknown code
    bool unknownChip = false;     // the board's device table lacks the chip; a chip whose
                                  // signature reads 00 00 00 or FF FF FF is never in it
    int maxBaud = 1000000;        // the fastest rate the line (the bridge) carries; above it
                                  // every byte in either direction is garbled
    int lineIdleUs = 500000;      // the board goes back to 115200 after this long without a
                                  // byte from the host (counted from the end of its own last
                                  // answer when that came later)
    int boardTestLineUs = 1000000;  // how long the board test drives each line
};

// The line rate as the simulator sees it, for either kind of adapter (the plain one stays at
// 115200). A byte is carried only while the program's rate (the pty's output speed, which
// the program sets with cfsetospeed/tcsetattr, as read when the simulator reads the bytes or
// sends its own) equals the board's and the board's is at most Options::maxBaud. Otherwise
// it is garbled: a byte from the program is lost (it still counts as a byte on the line for
// the board's return to 115200 and ends a board test), and each byte from the board reaches
// the program as FFh.
struct LineState {
    int boardBaud = baseBaud;  // the board's rate now
    long garbledIn = 0;        // bytes from the program lost since start()
    long garbledOut = 0;       // bytes of the board turned into FFh since start()
};

// What the bridge model saw of the program's port handling (opens, set-ups, purges).
struct BridgeCounts {
    long opens = 0;
    long setups = 0;
    long purges = 0;
};

// Input is taken as a stream of 8-byte blocks, each possibly followed by page data (after
// cmdWritePage, and cmdExtWrite on our board). The program purges the line before every
// block, so a block or page data that stays incomplete for more than 100 ms without a
// further byte is dropped (not logged, nothing programmed, the stream address unchanged)
// and the next byte starts a fresh block.
//
// Our board, as the simulator plays it:
// - cmdEnd answers the identification: 54h, the signature last sent in a reply to a chip
//   command (codes 1 to 4 and unknown codes; 00 00 00 before the first), 01h, the
//   capability bits, and CRC-16 over "TARVANE", block bytes 4 to 7 and reply bytes 4 and 5,
//   low byte first.
// - The noise guard: codes 2, 3 and 4 write only when block bytes 1 to 3 are 00 00 00 or a
//   signature the board has sent in a reply (8-byte chip replies, and a cmdExtRead of all
//   three signature bytes) and the chip is in its table; otherwise they write nothing, take
//   no programming time, and answer the block's code and the chip as it is.
// - cmdExtLine with R other than 0 or 1 answers and keeps the rate.
// - cmdExtWrite takes its N data bytes in any case, checks the CRC first ('E'), then what it
//   may write ('R'), and answers 'K' before it programs; the next block is taken only after
//   the programming time.
// - A read refused sends N bytes of FFh and the CRC of what was sent with every bit inverted.
// - The board test: the identification for challenge 00 00 00 00, each line's name with
//   "\n" as it drives the line, "END\n" after the last. Any byte from the program ends it
//   at once without "END"; that byte is the first of the next block.
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
    //   "data 0C 94 ..."                  (the data that followed a cmdWritePage or cmdExtWrite)
    // Bytes garbled by the line rate are not logged (LineState counts them).
    std::vector<std::string> log() const;
    void clearLog();

    Chip chip() const;
    void setChip(const Chip &chip);
    Options options() const;
    void setOptions(const Options &options);  // takes effect with the next block
    LineState lineState() const;
    // EEPROM page (or byte) writes carried out since start().
    long eepromWrites() const;
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
    bool waitPlain(Clock::time_point when);  // the same, leaving the bridge's bytes held
    bool flushBridge();                      // sends what the bridge holds
    bool send(const std::uint8_t *bytes, std::size_t count, const Behaviour &b);
    bool sendThrough(const std::uint8_t *bytes, std::size_t count, const Behaviour &b);
    bool sendNow(const std::uint8_t *bytes, std::size_t count, bool wirePaced);
    bool sendReply(const std::uint8_t *bytes, std::size_t count, std::size_t allowed, const Behaviour &b);
    void takeBridgeEvents(const std::uint8_t *status, bool fromInotify, std::size_t count);
    bool sendAnswer(const std::uint8_t *bytes, std::size_t count, std::size_t allowed, const Behaviour &b);
    bool sendAck(const Behaviour &b);
    void addLog(std::string line);
    std::array<std::uint8_t, 8> chipReply(std::uint8_t code);
    std::array<std::uint8_t, 8> identification(const std::uint8_t *challenge) const;
    bool guardAccepts(const std::array<std::uint8_t, 8> &block, const Behaviour &b) const;
    bool chipKnown(const Behaviour &b) const;
    bool takeBlock(const std::array<std::uint8_t, 8> &block, const Behaviour &b, std::size_t *dataCount);
    bool extRead(const std::array<std::uint8_t, 8> &block, const Behaviour &b);
    bool extWrite(const std::vector<std::uint8_t> &data, const Behaviour &b);
    bool boardTestStep();
    int hostBaud() const;
    bool lineCarries() const;
    void checkIdle(Clock::time_point now);
    std::chrono::nanoseconds byteTime() const;
    bool writeSysfs(std::string *error);
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
    std::vector<int> faultsHits_;      // ... and by each of Options::faults
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
    std::vector<std::uint8_t> bridgeHeld_;  // reply bytes the bridge holds for its timer
    Clock::time_point bridgeFlushAt_{};     // when that timer runs out
    long blocksSeen_ = 0;              // blocks taken since start()
    long owedUs_ = 0;                  // bridge costs not yet paid
    // The board's line (its rate is read by lineState() too):
    std::atomic<int> boardBaud_{baseBaud};
    std::atomic<long> garbledIn_{0}, garbledOut_{0};
    std::atomic<long> eepromWrites_{0};
    Clock::time_point lastHeard_{};    // the last byte from the program, or the board's last answer
    // What the board remembers of the chips it has read:
    std::array<std::uint8_t, 3> lastSignature_{};
    std::set<std::array<std::uint8_t, 3>> sentSignatures_;
    // The data of a cmdExtWrite being taken: its block and the options fixed with it.
    std::array<std::uint8_t, 8> writeBlock_{};
    // The board test:
    bool testing_ = false;
    std::size_t testLine_ = 0;         // the next line to drive; the size of the list: "END" next
    Clock::time_point testNextAt_{};
    Clock::time_point testSince_{};
    int testLineUs_ = 0;
    // The sysfs files written at start(), removed by stop():
    std::vector<std::string> sysfsMade_;
};

}  // namespace adaptersim
