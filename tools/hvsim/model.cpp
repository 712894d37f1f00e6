// SPDX-License-Identifier: GPL-3.0-or-later
#include "model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace hvsim {

namespace {

// Parallel programming characteristics, in ns (minimums unless marked max).
constexpr double tDVXH = 67;    // data and control valid before XTAL1 high
constexpr double tXHXL = 150;   // XTAL1 pulse width high
constexpr double tXLDX = 67;    // data and control hold after XTAL1 low
constexpr double tXLXH = 200;   // XTAL1 low to XTAL1 high
constexpr double tBVPH = 67;    // BS1 valid before PAGEL high
constexpr double tPHPL = 150;   // PAGEL pulse width high
constexpr double tPLBX = 67;    // BS1 hold after PAGEL low
constexpr double tPLXH = 150;   // PAGEL low to XTAL1 high
constexpr double tPLWL = 67;    // PAGEL low to WR low
constexpr double tBVWL = 67;    // BS1 valid to WR low
constexpr double tWLWH = 150;   // WR pulse width low
constexpr double tWLBX = 67;    // BS2/1 hold after WR low
constexpr double tOLDV = 250;   // OE low to DATA valid, max
constexpr double tBVDV = 250;   // BS1 valid to DATA valid, max
constexpr double tOHDZ = 250;   // OE high to DATA tri-stated, max
// Entry.
constexpr double entryWindowMin = 20e3, entryWindowMax = 60e3;  // VCC to 12 V, newer entry
constexpr double tHvHold = 10e3;       // Prog_enable unchanged after 12 V, newer entry
constexpr double tHvCommand = 300e3;   // before the first command, newer entry
constexpr double tAltCommand = 100e3;  // before the first command, older parts' alternative
constexpr double tOwnVcc = 100e3;      // older parts: VCC settles before the XTAL1 pulses
constexpr int ownXtalPulses = 6;
constexpr double tOwnPe = 100;         // older parts: Prog_enable set before and held after 12 V
// The board: a 1 kOhm bleeder across 100 nF brings VCC to 0 V within 1 ms.
constexpr double tVccOff = 1e6;
constexpr std::size_t maxBreaks = 200;

constexpr std::uint8_t cmdChipErase = 0x80, cmdWriteFuse = 0x40, cmdWriteLock = 0x20,
                       cmdWriteFlash = 0x10, cmdReadSignature = 0x08, cmdReadFuseLock = 0x04,
                       cmdReadFlash = 0x02;

Family row(const char *name, std::uint8_t s1, std::uint8_t s2, int page, int kb, bool ext, bool own,
           bool shared, std::uint8_t low, std::uint8_t high, std::uint8_t extFuse)
{
    Family f;
    f.name = name;
    f.signature = {0x1E, s1, s2};
    f.pageBytes = page;
    f.flashBytes = kb * 1024;
    f.extFuse = ext;
    f.ownEntry = own;
    f.bs2OnXa1 = shared;
    f.pagelOnBs1 = shared;
    f.addrExt = f.flashBytes > 128 * 1024;
    f.low = low;
    f.high = high;
    f.ext = ext ? extFuse : 0xFF;
    return f;
}

}  // namespace

const std::vector<Family> &families()
{
    static const std::vector<Family> all = {
        // ATmega48/88/168/328 and their P, A and PB variants
        row("ATmega48", 0x92, 0x05, 64, 4, true, false, false, 0x62, 0xDF, 0xFF),
        row("ATmega48P", 0x92, 0x0A, 64, 4, true, false, false, 0x62, 0xDF, 0xFF),
        row("ATmega48PB", 0x92, 0x10, 64, 4, true, false, false, 0x62, 0xDF, 0xFF),
        row("ATmega88", 0x93, 0x0A, 64, 8, true, false, false, 0x62, 0xDF, 0xF9),
        row("ATmega88P", 0x93, 0x0F, 64, 8, true, false, false, 0x62, 0xDF, 0xF9),
        row("ATmega88PB", 0x93, 0x16, 64, 8, true, false, false, 0x62, 0xDF, 0xF9),
        row("ATmega168", 0x94, 0x06, 128, 16, true, false, false, 0x62, 0xDF, 0xF9),
        row("ATmega168P", 0x94, 0x0B, 128, 16, true, false, false, 0x62, 0xDF, 0xF9),
        row("ATmega168PB", 0x94, 0x15, 128, 16, true, false, false, 0x62, 0xDF, 0xF9),
        row("ATmega328", 0x95, 0x14, 128, 32, true, false, false, 0x62, 0xD9, 0xFF),
        row("ATmega328P", 0x95, 0x0F, 128, 32, true, false, false, 0x62, 0xD9, 0xFF),
        // ATmega8/16/32 and their era: the older entry
        row("ATmega8", 0x93, 0x07, 64, 8, false, true, false, 0xE1, 0xD9, 0xFF),
        row("ATmega16", 0x94, 0x03, 128, 16, false, true, false, 0xE1, 0x99, 0xFF),
        row("ATmega32", 0x95, 0x02, 128, 32, false, true, false, 0xE1, 0x99, 0xFF),
        row("ATmega8515", 0x93, 0x06, 64, 8, false, true, false, 0xE1, 0xD9, 0xFF),
        row("ATmega8535", 0x93, 0x08, 64, 8, false, true, false, 0xE1, 0xD9, 0xFF),
        row("ATmega162", 0x94, 0x04, 128, 16, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega163", 0x94, 0x02, 128, 16, false, true, false, 0xD2, 0xFF, 0xFF),
        row("ATmega64", 0x96, 0x02, 256, 64, true, true, false, 0xE1, 0x99, 0xFD),
        row("ATmega128", 0x97, 0x02, 256, 128, true, true, false, 0xE1, 0x99, 0xFD),
        // AT90CAN: ATmega128 derivatives, the older entry
        row("AT90CAN32", 0x95, 0x81, 256, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("AT90CAN64", 0x96, 0x81, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("AT90CAN128", 0x97, 0x81, 256, 128, true, true, false, 0x62, 0x99, 0xFF),
        // LCD parts ATmega165..6490: the older entry
        row("ATmega165", 0x94, 0x10, 128, 16, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega165P", 0x94, 0x07, 128, 16, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega169", 0x94, 0x05, 128, 16, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega169A", 0x94, 0x11, 128, 16, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega325", 0x95, 0x05, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega325P", 0x95, 0x0D, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega3250", 0x95, 0x06, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega3250P", 0x95, 0x0E, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega329", 0x95, 0x03, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega329P", 0x95, 0x0B, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega3290", 0x95, 0x04, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega3290P", 0x95, 0x0C, 128, 32, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega645", 0x96, 0x05, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega645P", 0x96, 0x0D, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega6450", 0x96, 0x06, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega6450P", 0x96, 0x0E, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega649", 0x96, 0x03, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega649P", 0x96, 0x0B, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega6490", 0x96, 0x04, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        row("ATmega6490P", 0x96, 0x0C, 256, 64, true, true, false, 0x62, 0x99, 0xFF),
        // ATmega164..1284
        row("ATmega164A", 0x94, 0x0F, 128, 16, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega164P", 0x94, 0x0A, 128, 16, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega324A", 0x95, 0x15, 128, 32, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega324P", 0x95, 0x08, 128, 32, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega324PA", 0x95, 0x11, 128, 32, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega644", 0x96, 0x09, 256, 64, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega644P", 0x96, 0x0A, 256, 64, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega1284", 0x97, 0x06, 256, 128, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega1284P", 0x97, 0x05, 256, 128, true, false, false, 0x62, 0x99, 0xFF),
        // ATmega640..2561; above 64 K words the extended address byte
        row("ATmega640", 0x96, 0x08, 256, 64, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega1280", 0x97, 0x03, 256, 128, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega1281", 0x97, 0x04, 256, 128, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega2560", 0x98, 0x01, 256, 256, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega2561", 0x98, 0x02, 256, 256, true, false, false, 0x62, 0x99, 0xFF),
        // RFA1/RFR2
        row("ATmega128RFA1", 0xA7, 0x01, 256, 128, true, false, false, 0x62, 0x99, 0xFF),
        row("ATmega64RFR2", 0xA6, 0x02, 256, 64, true, false, false, 0x62, 0x99, 0xFE),
        row("ATmega644RFR2", 0xA6, 0x03, 256, 64, true, false, false, 0x62, 0x99, 0xFE),
        row("ATmega128RFR2", 0xA7, 0x02, 256, 128, true, false, false, 0x62, 0x99, 0xFE),
        row("ATmega1284RFR2", 0xA7, 0x03, 256, 128, true, false, false, 0x62, 0x99, 0xFE),
        row("ATmega256RFR2", 0xA8, 0x02, 256, 256, true, false, false, 0x62, 0x99, 0xFE),
        row("ATmega2564RFR2", 0xA8, 0x03, 256, 256, true, false, false, 0x62, 0x99, 0xFE),
        // USB: U2, U4, AT90USB
        row("ATmega8U2", 0x93, 0x89, 128, 8, true, false, false, 0x5E, 0xD9, 0xF4),
        row("ATmega16U2", 0x94, 0x89, 128, 16, true, false, false, 0x5E, 0xD9, 0xF4),
        row("ATmega32U2", 0x95, 0x8A, 128, 32, true, false, false, 0x5E, 0xD9, 0xF4),
        row("ATmega16U4", 0x94, 0x88, 128, 16, true, false, false, 0x52, 0x99, 0xFB),
        row("ATmega32U4", 0x95, 0x87, 128, 32, true, false, false, 0x52, 0x99, 0xFB),
        row("AT90USB82", 0x93, 0x82, 128, 8, true, false, false, 0x5E, 0xD9, 0xF4),
        row("AT90USB162", 0x94, 0x82, 128, 16, true, false, false, 0x5E, 0xD9, 0xF4),
        row("AT90USB646", 0x96, 0x82, 256, 64, true, false, false, 0x62, 0x99, 0xF3),
        row("AT90USB1286", 0x97, 0x82, 256, 128, true, false, false, 0x62, 0x99, 0xF3),
        // Automotive M1/C1 and lighting AT90PWM
        row("ATmega16M1", 0x94, 0x84, 128, 16, true, false, false, 0x62, 0xD9, 0xFF),
        row("ATmega32M1", 0x95, 0x84, 128, 32, true, false, false, 0x62, 0xD9, 0xFF),
        row("ATmega64M1", 0x96, 0x84, 256, 64, true, false, false, 0x62, 0xD9, 0xFF),
        row("ATmega32C1", 0x95, 0x86, 128, 32, true, false, false, 0x62, 0xD9, 0xFF),
        row("ATmega64C1", 0x96, 0x86, 256, 64, true, false, false, 0x62, 0xD9, 0xFF),
        row("AT90PWM2B", 0x93, 0x83, 64, 8, true, false, false, 0x62, 0xDF, 0xF9),
        row("AT90PWM216", 0x94, 0x83, 128, 16, true, false, false, 0x62, 0xDF, 0xF9),
        row("AT90PWM81", 0x93, 0x88, 64, 8, true, false, false, 0x62, 0xD9, 0xFD),
        row("AT90PWM161", 0x94, 0x8B, 128, 16, true, false, false, 0x62, 0xD9, 0xFD),
        // Battery management: ATmega406, HVB; no extended fuse
        row("ATmega406", 0x95, 0x07, 128, 40, false, false, false, 0xCD, 0xFE, 0xFF),
        row("ATmega16HVB", 0x94, 0x0D, 128, 16, false, false, false, 0xDD, 0xE9, 0xFF),
        row("ATmega32HVB", 0x95, 0x10, 128, 32, false, false, false, 0xDD, 0xE9, 0xFF),
        // ATtiny with a 28/32-pin parallel interface
        row("ATtiny48", 0x92, 0x09, 64, 4, true, false, false, 0x62, 0xDF, 0xFF),
        row("ATtiny88", 0x93, 0x11, 64, 8, true, false, false, 0x62, 0xDF, 0xFF),
        row("ATtiny828", 0x93, 0x14, 64, 8, true, false, false, 0x6E, 0xDF, 0xFF),
        // 20-pin ATtiny: XA1/BS2 and BS1/PAGEL share pins
        row("ATtiny2313", 0x91, 0x0A, 32, 2, true, false, true, 0x64, 0xDF, 0xFF),
        row("ATtiny4313", 0x92, 0x0D, 64, 4, true, false, true, 0x64, 0xDF, 0xFF),
        row("ATtiny26", 0x91, 0x09, 32, 2, false, true, true, 0xE1, 0xF7, 0xFF),
        row("ATtiny261", 0x91, 0x0C, 32, 2, true, false, true, 0x62, 0xDF, 0xFF),
        row("ATtiny461", 0x92, 0x08, 64, 4, true, false, true, 0x62, 0xDF, 0xFF),
        row("ATtiny861", 0x93, 0x0D, 64, 8, true, false, true, 0x62, 0xDF, 0xFF),
        row("ATtiny43U", 0x92, 0x0C, 64, 4, true, false, true, 0x62, 0xDF, 0xFF),
        row("ATtiny87", 0x93, 0x87, 128, 8, true, false, true, 0x62, 0xDF, 0xFF),
        row("ATtiny167", 0x94, 0x87, 128, 16, true, false, true, 0x62, 0xDF, 0xFF),
        row("ATtiny1634", 0x94, 0x12, 32, 16, true, false, true, 0x62, 0xDF, 0xFF),
    };
    return all;
}

const Family *findFamily(const std::string &name)
{
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    for (const Family &f : families())
        if (lower(f.name) == lower(name))
            return &f;
    return nullptr;
}

Chip freshChip(const Family &family)
{
    Chip c;
    c.family = family.name;
    c.signature = family.signature;
    c.lowFuse = family.low;
    c.highFuse = family.high;
    c.extFuse = family.ext;
    c.lock = 0xFF;
    c.flash.assign(static_cast<std::size_t>(family.flashBytes), 0xFF);
    return c;
}

Target::Target(Chip chip)
{
    setChip(std::move(chip));
}

void Target::setChip(Chip chip)
{
    family_ = findFamily(chip.family);
    if (!family_)
        family_ = findFamily("ATmega328P");
    chip_ = std::move(chip);
    chip_.flash.resize(static_cast<std::size_t>(family_->flashBytes), 0xFF);
    buffer_.assign(static_cast<std::size_t>(family_->pageBytes), 0xFF);
}

void Target::rule(double ns, const std::string &what)
{
    if (breaks_.size() >= maxBreaks)
        return;
    char at[32];
    std::snprintf(at, sizeof at, "%.4f ms: ", ns / 1e6);
    breaks_.push_back(at + what);
}

void Target::commandEdge(double ns, const char *what)
{
    if (ns < busyUntil_)
        rule(ns, std::string(what) + " while the chip is busy (tWLRH)");
    if (ns < commandsFrom_)
        rule(ns, std::string(what) + " too soon after entering programming mode");
}

std::uint32_t Target::wordAddress() const
{
    std::uint32_t word = std::uint32_t(addrHigh_) << 8 | addrLow_;
    if (family_->addrExt)
        word |= std::uint32_t(addrExt_) << 16;
    return word;
}

void Target::enterProgramming(double ns)
{
    hvAt_ = ns;
    const double since = ns - vccOnAt_;
    const bool peZero = !now_.pagel && !now_.xa1 && !now_.xa0 && !now_.bs1;
    const bool newWay = since >= (family_->ownEntry ? 0 : entryWindowMin) && since <= entryWindowMax
                        && peZero && peChangedAt_ <= vccOnAt_;
    const bool ownWay = family_->ownEntry && since >= tOwnVcc && xtalPulses_ >= ownXtalPulses && peZero
                        && ns - peChangedAt_ >= tOwnPe;
    if (ownWay) {
        ++ownEntries_;
        holdUntil_ = ns + tOwnPe;
        commandsFrom_ = ns;
    } else if (newWay) {
        ++newEntries_;
        holdUntil_ = ns + tHvHold;
        commandsFrom_ = ns + (family_->ownEntry ? tAltCommand : tHvCommand);
    } else {
        char what[160];
        std::snprintf(what, sizeof what,
                      "entry refused: 12 V %.1f us after VCC, Prog_enable %s, %d XTAL1 pulses", since / 1e3,
                      peZero ? "0000" : "not 0000", xtalPulses_);
        rule(ns, what);
        state_ = State::Refused;
        return;
    }
    state_ = State::Programming;
    busyUntil_ = 0;
    releaseAt_ = -1e12;
}

void Target::xtalRise(double ns)
{
    commandEdge(ns, "XTAL1 pulse");
    const int xa = (now_.xa1 ? 2 : 0) | (now_.xa0 ? 1 : 0);
    if (xa != 3) {
        if (ns - std::max({dataAt_, xaAt_, bs1At_, bs2At_}) < tDVXH)
            rule(ns, "DATA or control changed less than tDVXH before XTAL1 high");
        if (now_.dataDriven != 0xFF)
            rule(ns, "XTAL1 pulse with DATA not driven");
    }
    if (ns - xtalFallAt_ < tXLXH)
        rule(ns, "XTAL1 low shorter than tXLXH");
    if (!family_->pagelOnBs1 && (now_.pagel || ns - pagelFallAt_ < tPLXH))
        rule(ns, "XTAL1 high less than tPLXH after PAGEL low");
    if (!now_.oe)
        rule(ns, "XTAL1 pulse while OE is low");
    const std::uint8_t data = now_.data;
    switch (xa) {
    case 0:
        if (now_.bs2 && !now_.bs1 && !family_->bs2OnXa1)
            addrExt_ = data;
        else if (now_.bs1)
            addrHigh_ = data;
        else
            addrLow_ = data;
        break;
    case 1:
        (now_.bs1 ? dataHigh_ : dataLow_) = data;
        break;
    case 2:
        command_ = data;
        break;
    default:
        break;
    }
}

void Target::latch(double ns)
{
    commandEdge(ns, "PAGEL pulse");
    if (!family_->pagelOnBs1 && ns - bs1At_ < tBVPH)
        rule(ns, "BS1 changed less than tBVPH before PAGEL high");
    if (now_.xtal1)
        rule(ns, "PAGEL high while XTAL1 is high");
    if (command_ != cmdWriteFlash)
        return;
    const std::size_t words = buffer_.size() / 2;
    const std::size_t at = (addrLow_ % words) * 2;
    buffer_[at] = dataLow_;
    buffer_[at + 1] = dataHigh_;
}

void Target::write(double ns)
{
    commandEdge(ns, "WR pulse");
    if (ns - std::max(bs1At_, bs2At_) < tBVWL)
        rule(ns, "BS1 or BS2 changed less than tBVWL before WR low");
    if (!family_->pagelOnBs1 && (now_.pagel || ns - pagelFallAt_ < tPLWL))
        rule(ns, "WR low less than tPLWL after PAGEL low");
    const bool fusesLocked = !(chip_.lock & 0x01);
    double busy = family_->tWlrhUs * 1e3;
    switch (command_) {
    case cmdChipErase:
        std::fill(chip_.flash.begin(), chip_.flash.end(), 0xFF);
        chip_.lock = 0xFF;
        busy = family_->tWlrhCeUs * 1e3;
        break;
    case cmdWriteFlash: {
        if (!fusesLocked) {
            const std::size_t words = buffer_.size() / 2;
            const std::size_t base = (wordAddress() / words * words * 2) % chip_.flash.size();
            for (std::size_t i = 0; i < buffer_.size(); ++i)
                chip_.flash[base + i] &= buffer_[i];  // programming only clears bits
        }
        std::fill(buffer_.begin(), buffer_.end(), 0xFF);
        ++pagesProgrammed_;
        break;
    }
    case cmdWriteFuse:
        if (fusesLocked)
            break;
        if (!now_.bs1 && !now_.bs2)
            chip_.lowFuse = dataLow_;
        else if (now_.bs1 && !now_.bs2)
            chip_.highFuse = dataLow_;
        else if (!now_.bs1 && now_.bs2 && family_->extFuse)
            chip_.extFuse = dataLow_;
        else
            rule(ns, "fuse write with a BS1/BS2 choice the chip does not have");
        break;
    case cmdWriteLock:
        chip_.lock &= dataLow_;  // lock bits are only programmed; erase clears them
        break;
    default:
        rule(ns, "WR pulse without a write command loaded");
        return;
    }
    busyUntil_ = ns + busy;
}

std::uint8_t Target::output() const
{
    switch (command_) {
    case cmdReadSignature:
        if (now_.bs1)
            return 0x9A;  // calibration byte
        return addrLow_ < 3 ? chip_.signature[addrLow_] : 0xFF;
    case cmdReadFuseLock:
        if (!now_.bs2 && !now_.bs1)
            return chip_.lowFuse;
        if (now_.bs2 && now_.bs1)
            return chip_.highFuse;
        if (now_.bs2)
            return family_->extFuse ? chip_.extFuse : 0xFF;
        return chip_.lock;
    case cmdReadFlash:
        return chip_.flash[(std::size_t(wordAddress()) * 2 + (now_.bs1 ? 1 : 0)) % chip_.flash.size()];
    default:
        return 0xFF;
    }
}

Target::Drive Target::drive(double ns) const
{
    Drive d;
    if (state_ != State::Programming || (now_.oe && ns >= releaseAt_))
        return d;
    d.mask = 0xFF;
    d.value = output();
    d.validAt = now_.oe ? 0 : validAt_;
    return d;
}

void Target::sample(double ns)
{
    if (state_ == State::Programming && !now_.oe && ns < validAt_)
        rule(ns, "DATA sampled before it is valid (tOLDV, tBVDV)");
}

void Target::update(double ns, const Lines &raw)
{
    Lines l = raw;
    if (family_->bs2OnXa1)
        l.bs2 = raw.xa1;
    if (family_->pagelOnBs1)
        l.pagel = raw.bs1;
    const Lines p = now_;
    now_ = l;

    // Supplies.
    if (!p.vcc && l.vcc) {
        if (ns - vccOffAt_ < tVccOff)
            rule(ns, "VCC switched on again before the target's supply discharged");
        state_ = State::Powered;
        vccOnAt_ = ns;
        peChangedAt_ = ns;
        xtalPulses_ = 0;
    }
    if (p.vcc && !l.vcc) {
        if (l.hv)
            rule(ns, "VCC switched off with 12 V on RESET");
        state_ = State::Off;
        vccOffAt_ = ns;
    }
    if (l.hv && !p.hv && !l.vcc)
        rule(ns, "12 V on RESET without VCC");
    if (!l.vcc && l.anyHigh && (p.vcc || !p.anyHigh))
        rule(ns, "a line driven high into the unpowered target");

    const bool peChanged = l.pagel != p.pagel || l.xa1 != p.xa1 || l.xa0 != p.xa0 || l.bs1 != p.bs1;
    if (peChanged) {
        if ((state_ == State::Programming || state_ == State::Refused) && ns < holdUntil_)
            rule(ns, "Prog_enable pins changed before they were latched after 12 V");
        peChangedAt_ = ns;
    }
    if (state_ == State::Powered && l.xtal1 && !p.xtal1)
        ++xtalPulses_;
    if (l.hv && !p.hv && l.vcc && state_ == State::Powered)
        enterProgramming(ns);
    if (!l.hv && p.hv && l.vcc)
        state_ = State::Powered;
    if (state_ != State::Programming)
        return;

    // Setup and hold around the strobes.
    const bool dataChanged = (l.data & l.dataDriven) != (p.data & p.dataDriven) || l.dataDriven != p.dataDriven;
    const bool xaChanged = l.xa0 != p.xa0 || l.xa1 != p.xa1;
    const bool bs1Changed = l.bs1 != p.bs1;
    const bool bs2Changed = l.bs2 != p.bs2;
    if ((dataChanged || xaChanged || bs1Changed || bs2Changed) && ns - xtalFallAt_ < tXLDX)
        rule(ns, "DATA or control changed less than tXLDX after XTAL1 low");
    if (bs1Changed && !family_->pagelOnBs1 && ns - pagelFallAt_ < tPLBX)
        rule(ns, "BS1 changed less than tPLBX after PAGEL low");
    if ((bs1Changed || bs2Changed) && ns - wrFallAt_ < tWLBX)
        rule(ns, "BS1 or BS2 changed less than tWLBX after WR low");
    if (dataChanged)
        dataAt_ = ns;
    if (xaChanged)
        xaAt_ = ns;
    if (bs1Changed)
        bs1At_ = ns;
    if (bs2Changed)
        bs2At_ = ns;

    // Strobes.
    if (l.xtal1 && !p.xtal1) {
        xtalRise(ns);
        xtalRiseAt_ = ns;
    }
    if (!l.xtal1 && p.xtal1) {
        if (ns - xtalRiseAt_ < tXHXL)
            rule(ns, "XTAL1 high shorter than tXHXL");
        xtalFallAt_ = ns;
    }
    if (l.pagel && !p.pagel) {
        latch(ns);
        pagelRiseAt_ = ns;
    }
    if (!l.pagel && p.pagel) {
        if (ns - pagelRiseAt_ < tPHPL)
            rule(ns, "PAGEL high shorter than tPHPL");
        pagelFallAt_ = ns;
    }
    if (!l.wr && p.wr) {
        write(ns);
        wrFallAt_ = ns;
    }
    if (l.wr && !p.wr && ns - wrFallAt_ < tWLWH)
        rule(ns, "WR low shorter than tWLWH");

    // Reading: the chip drives DATA from OE low until tOHDZ after OE high.
    if (!l.oe && p.oe) {
        commandEdge(ns, "OE low");
        validAt_ = ns + tOLDV;
    } else if (!l.oe && (bs1Changed || bs2Changed)) {
        validAt_ = std::max(validAt_, ns + tBVDV);
    }
    if (l.oe && !p.oe)
        releaseAt_ = ns + tOHDZ;
    const bool chipDrives = !l.oe || ns < releaseAt_;
    const bool wasContending = (!p.oe || ns < releaseAt_) && p.dataDriven;
    if (chipDrives && l.dataDriven && !(wasContending && p.dataDriven == l.dataDriven))
        rule(ns, "bus contention: adapter and chip both drive DATA");
}

}  // namespace hvsim
