// SPDX-License-Identifier: GPL-3.0-or-later
// The target chip's parallel programming interface, modelled from the datasheets'
// parallel programming chapters, with a checker that counts every broken rule.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hvsim {

// One family row: what the chip is and how its waveforms differ.
struct Family {
    std::string name;
    std::array<std::uint8_t, 3> signature;
    int pageBytes;
    int flashBytes;
    bool extFuse;     // has an extended fuse byte
    bool ownEntry;    // ATmega8/16/32 style: VCC, 100 us, six XTAL1 pulses, Prog_enable, 12 V;
                      // the newer 20..60 us entry is accepted as the datasheets' alternative
    bool bs2OnXa1;    // one pin for XA1 and BS2; the socket wires it to the adapter's XA1
    bool pagelOnBs1;  // one pin for BS1 and PAGEL; the socket wires it to the adapter's BS1
    bool addrExt;     // more than 64 K words: an extended address byte (BS2 high, XA 00)
    std::uint8_t low, high, ext;  // factory fuse bytes
    double tWlrhUs = 4500;        // tWLRH: page, fuse or lock write, worst case
    double tWlrhCeUs = 9000;      // tWLRH_CE: chip erase, worst case
};

const std::vector<Family> &families();
const Family *findFamily(const std::string &name);  // case-insensitive

// The chip's memories, as adapter-sim's Chip, plus its family.
struct Chip {
    std::string family = "ATmega328P";
    std::array<std::uint8_t, 3> signature{0x1E, 0x95, 0x0F};
    std::uint8_t lowFuse = 0x62;
    std::uint8_t highFuse = 0xD9;
    std::uint8_t extFuse = 0xFF;
    std::uint8_t lock = 0xFF;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(32768, 0xFF);
};
// A factory-fresh chip of the family: erased, factory fuses, no lock.
Chip freshChip(const Family &family);

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
    // Entries into programming mode so far: by the family's own entry, and by the newer one.
    int ownEntries() const { return ownEntries_; }
    int newEntries() const { return newEntries_; }
    int pagesProgrammed() const { return pagesProgrammed_; }

private:
    enum class State { Off, Powered, Programming, Refused };
    void rule(double ns, const std::string &what);
    void commandEdge(double ns, const char *what);
    void enterProgramming(double ns);
    void xtalRise(double ns);
    void latch(double ns);
    void write(double ns);
    void startOutput(double ns);
    std::uint8_t output() const;
    std::uint32_t wordAddress() const;

    const Family *family_;
    Chip chip_;
    std::vector<std::uint8_t> buffer_;  // the page buffer, in bytes
    std::vector<std::string> breaks_;
    Lines now_;  // as the chip sees them (after the socket wiring)
    State state_ = State::Off;
    double vccOnAt_ = 0, vccOffAt_ = -1e12, hvAt_ = 0, commandsFrom_ = 0;
    double peChangedAt_ = 0;  // last change of a Prog_enable pin
    int xtalPulses_ = 0;      // XTAL1 pulses between VCC and 12 V
    bool entryChecked_ = false;
    double holdUntil_ = 0;    // Prog_enable must stay until then
    double xtalRiseAt_ = -1e12, xtalFallAt_ = -1e12;
    double pagelRiseAt_ = -1e12, pagelFallAt_ = -1e12;
    double wrFallAt_ = -1e12;
    double dataAt_ = -1e12, xaAt_ = -1e12, bs1At_ = -1e12, bs2At_ = -1e12;
    double busyUntil_ = 0;
    double releaseAt_ = -1e12;  // the chip stops driving DATA (tOHDZ after OE high)
    double validAt_ = 0;
    std::uint8_t command_ = 0, addrLow_ = 0, addrHigh_ = 0, addrExt_ = 0, dataLow_ = 0xFF, dataHigh_ = 0xFF;
    int ownEntries_ = 0, newEntries_ = 0, pagesProgrammed_ = 0;
};

}  // namespace hvsim
