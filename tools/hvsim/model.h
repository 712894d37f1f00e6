// SPDX-License-Identifier: GPL-3.0-or-later
// The target chip's parallel programming interface, modelled from the datasheets'
// parallel programming chapters, with a checker that counts every broken rule. The
// model keeps its own table of the families, written from the datasheets with a source
// per row; it shares nothing with the firmware it judges.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hvsim {

// How a family enters programming mode, as its datasheet's "Enter Programming Mode" gives it.
enum class Entry {
    // Prog_enable 0000 and RESET at 0 V before VCC; 12 V 20..60 us after VCC; Prog_enable
    // unchanged 10 us after 12 V; 300 us before the first command.
    PowerUp,
    // As PowerUp, and at least six XTAL1 pulses with RESET at 0 V before Prog_enable and
    // 12 V: the older editions of these datasheets ask for the pulses, the newer ones for the
    // window, and a chip may follow either edition.
    PowerUpPulses,
    // VCC, at least 100 us, six XTAL1 pulses with RESET at 0 V, Prog_enable 0000 at least
    // 100 ns before 12 V and 100 ns after it, 50 us before the first command. Where XTAL1
    // cannot be pulsed the datasheet's alternative applies VCC and 12 V together and waits
    // 100 us (a way to repair the clock fuses).
    Old,
    // No datasheet at hand confirms an entry. The model answers to any of the entries
    // above so that the board's refusal to write can be seen; it proves nothing about the
    // real chip.
    Unconfirmed,
    // A 1.8..3.6 V part that enters programming mode without high voltage (TST high,
    // RSTN at logic level). 5 V on VCC and 12 V on RESET are rule breaks; the model still
    // answers afterwards, so that the board's refusal to write can be seen.
    LowVoltage,
};

// Timing limits of a family's "Parallel Programming Characteristics", in ns (the write
// times in us). Minimums, except the maximums tOLDV, tBVDV, tOHDZ, tWLRH and tWLRH_CE.
struct Timing {
    double tXLXH = 200, tPHPL = 150;
    double tOLDV = 250, tBVDV = 250, tOHDZ = 250;
    double tWlrhUs = 4500, tWlrhCeUs = 9000;
    // A Flash page and an EEPROM page (or byte) where the table gives them times of their own
    // (the ATmega163); 0: tWlrhUs, which the other tables' notes make valid for both.
    double tWlrhFlashUs = 0, tWlrhEeUs = 0;
};

// The fuse bit that keeps the EEPROM across Chip Erase: byte 0 Low, 1 High; none on the
// ATmega163.
struct EesaveBit {
    int byte = -1;
    int bit = 0;
};

// One family row: what the chip is and how its waveforms differ.
struct Family {
    std::string name;
    std::array<std::uint8_t, 3> signature;
    int pageBytes;
    int flashBytes;
    bool extFuse;     // has an extended fuse byte
    Entry entry;
    bool wrEnables;   // WR is one of the Prog_enable pins and must be 0 when 12 V rises
    bool bs2OnXa1;    // one pin for XA1 and BS2; the socket wires it to the adapter's XA1
    bool pagelOnBs1;  // one pin for BS1 and PAGEL; the socket wires it to the adapter's BS1
    bool addrExt;     // more than 64 K words: an extended address byte (BS2 high, XA 00)
    double vccMin, vccMax;  // operating supply, V
    Timing timing;
    std::uint8_t low, high, ext;  // factory fuse bytes
    const char *source;           // where the row's entry, pins, supply and timing come from
    int eepromBytes;              // EEPROM size
    int eepromPage;               // EEPROM page buffer in bytes; 0: written byte by byte
    int calibrationBytes;         // calibration bytes in the signature row (BS1 high)
    EesaveBit eesave;
};

const std::vector<Family> &families();
const Family *findFamily(const std::string &name);  // case-insensitive

// How the chip's shared-pin signals are wired in the socket, where the sources at hand
// disagree: as the family's row, or forced one way, so that tests can try both.
enum class Wiring { AsTable, OwnLines, SharedPins };

// The chip's memories, as adapter-sim's Chip, plus its family. An empty family name is an
// empty socket: nothing answers, no rule of a chip applies, the lines are only counted.
struct Chip {
    std::string family = "ATmega328P";
    std::array<std::uint8_t, 3> signature{0x1E, 0x95, 0x0F};
    std::uint8_t lowFuse = 0x62;
    std::uint8_t highFuse = 0xD9;
    std::uint8_t extFuse = 0xFF;
    std::uint8_t lock = 0xFF;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(32768, 0xFF);
    std::vector<std::uint8_t> eeprom = std::vector<std::uint8_t>(1024, 0xFF);
    std::array<std::uint8_t, 4> calibration{0x9A, 0xFF, 0xFF, 0xFF};  // the factory's values
    Wiring wiring = Wiring::AsTable;
    // Clock fuses that select a crystal or an RC oscillator: the adapter's XTAL1 pulses do
    // not reach the chip, which the older parts' alternative entry is for.
    bool xtalStopped = false;
};
// A factory-fresh chip of the family: erased, factory fuses, no lock.
Chip freshChip(const Family &family);
Chip emptySocket();

// The adapter's side of the socket at one instant: which of its lines are high, and
// which DATA bits it drives. Lines go through the socket wiring of the family.
struct Lines {
    bool vcc = false, hv = false;
    bool xtal1 = false, xa0 = false, xa1 = false, bs1 = false, bs2 = false, pagel = false;
    bool wr = false, oe = false;
    std::uint8_t data = 0;        // levels the adapter puts on DATA7..0
    std::uint8_t dataDriven = 0;  // DATA bits that are outputs
    bool anyHigh = false;         // any line towards the target is high (VCC and 12 V aside)
};

// The adapter's lines in a fixed order, for counting their rising edges.
enum LineIndex { kVcc, kHv, kXtal1, kXa0, kXa1, kBs1, kBs2, kPagel, kWr, kOe, kData0, kLineCount = kData0 + 8 };
const char *lineName(int index);

class Target {
public:
    explicit Target(Chip chip);

    // A change of the adapter's lines at time ns (simulated).
    void update(double ns, const Lines &lines);
    // The adapter samples DATA at time ns.
    void sample(double ns);

    // What the chip drives on DATA now: mask of driven bits and their levels.
    // Before the value is valid (tOLDV, tBVDV) it drives its complement.
    struct Drive {
        std::uint8_t mask = 0;
        std::uint8_t value = 0;
        double validAt = 0;  // when value becomes valid
    };
    Drive drive(double ns) const;

    const Chip &chip() const { return chip_; }
    void setChip(Chip chip);
    const std::vector<std::string> &breaks() const { return breaks_; }
    void clearBreaks() { breaks_.clear(); }
    // Entries into programming mode so far: the older parts' own entry, the power-up
    // entries, the older parts' alternative (VCC and 12 V together), and 12 V rises that
    // did not enter (the chip then simply leaves reset).
    int ownEntries() const { return ownEntries_; }
    int newEntries() const { return newEntries_; }
    int fallbackEntries() const { return fallbackEntries_; }
    int refusedEntries() const { return refusedEntries_; }
    const std::string &lastRefusal() const { return lastRefusal_; }
    // 12 V rises at which any control line towards the socket was high.
    int linesHighAtHv() const { return linesHighAtHv_; }
    int pagesProgrammed() const { return pagesProgrammed_; }
    int eepromWrites() const { return eepromWrites_; }  // EEPROM pages (or bytes) programmed
    int wordsLatched() const { return wordsLatched_; }
    // Rising edges of each adapter line, counted from the adapter's side.
    const std::array<int, kLineCount> &rises() const { return rises_; }
    // The adapter's lines as they are now.
    const Lines &lines() const { return raw_; }

private:
    enum class State { Off, Powered, Programming, Refused };
    void rule(double ns, const std::string &what);
    void commandEdge(double ns, const char *what);
    void enterProgramming(double ns, const Lines &raw);
    void xtalRise(double ns);
    void latch(double ns);
    void write(double ns);
    std::uint8_t output() const;
    std::uint32_t wordAddress() const;
    std::uint32_t eeAddress() const;
    void countRises(const Lines &before, const Lines &now);

    bool empty_ = false;
    Family family_{};  // the table's row, with the chip's wiring applied
    Chip chip_;
    std::vector<std::uint8_t> buffer_;  // the page buffer, in bytes
    // The EEPROM page buffer: the bytes latched since the last EEPROM write, and the page
    // each was latched for (its address without the low bits).
    std::vector<std::uint8_t> eeBuffer_;
    std::vector<bool> eeLatched_;
    std::vector<std::uint32_t> eeLatchedPage_;
    void writeEeprom(double ns);
    std::vector<std::string> breaks_;
    Lines now_;  // as the chip sees them (after the socket wiring)
    Lines raw_;  // as the adapter drives them
    State state_ = State::Off;
    double vccOnAt_ = 0, vccOffAt_ = -1e12, hvAt_ = 0, commandsFrom_ = 0;
    double peChangedAt_ = 0;  // last change of a Prog_enable pin
    int xtalPulses_ = 0;      // XTAL1 pulses between VCC and 12 V
    int settledPulses_ = 0;   // ... of them, those at least 100 us after VCC
    double holdUntil_ = 0;    // Prog_enable must stay until then
    double xtalRiseAt_ = -1e12, xtalFallAt_ = -1e12;
    double pagelRiseAt_ = -1e12, pagelFallAt_ = -1e12;
    double wrFallAt_ = -1e12;
    double dataAt_ = -1e12, xaAt_ = -1e12, bs1At_ = -1e12, bs2At_ = -1e12;
    double busyUntil_ = 0;
    double releaseAt_ = -1e12;  // the chip stops driving DATA (tOHDZ after OE high)
    double validAt_ = 0;
    std::uint8_t command_ = 0, addrLow_ = 0, addrHigh_ = 0, addrExt_ = 0, dataLow_ = 0xFF, dataHigh_ = 0xFF;
    bool wordLoaded_ = false;  // a data byte loaded since the last latch
    int latchedSinceWrite_ = 0;
    int ownEntries_ = 0, newEntries_ = 0, fallbackEntries_ = 0, refusedEntries_ = 0;
    std::string lastRefusal_;
    int linesHighAtHv_ = 0, pagesProgrammed_ = 0, wordsLatched_ = 0, eepromWrites_ = 0;
    std::array<int, kLineCount> rises_{};
};

}  // namespace hvsim
