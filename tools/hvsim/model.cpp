// SPDX-License-Identifier: GPL-3.0-or-later
#include "model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace hvsim {

namespace {

// Parallel programming characteristics every family shares, in ns (minimums). The ones
// that differ between datasheets are in each family's Timing.
constexpr double tDVXH = 67;    // data and control valid before XTAL1 high
constexpr double tXHXL = 150;   // XTAL1 pulse width high
constexpr double tXLDX = 67;    // data and control hold after XTAL1 low
constexpr double tBVPH = 67;    // BS1 valid before PAGEL high
constexpr double tPLBX = 67;    // BS1 hold after PAGEL low
constexpr double tPLXH = 150;   // PAGEL low to XTAL1 high
constexpr double tPLWL = 67;    // PAGEL low to WR low
constexpr double tBVWL = 67;    // BS1 valid to WR low
constexpr double tWLWH = 150;   // WR pulse width low
constexpr double tWLBX = 67;    // BS2/1 hold after WR low
// Entry ("Enter Programming Mode").
constexpr double entryWindowMin = 20e3, entryWindowMax = 60e3;  // VCC to 12 V, power-up entry
constexpr double tHvHold = 10e3;       // Prog_enable unchanged after 12 V, power-up entry
constexpr double tHvCommand = 300e3;   // before the first command, power-up entry
constexpr int entryXtalPulses = 6;     // XTAL1 pulses before 12 V where the entry asks for them
constexpr double tPulsePe = 100;       // Prog_enable set before 12 V after the pulses
constexpr double tOwnVcc = 100e3;      // older parts: VCC settles before the XTAL1 pulses
constexpr double tOwnHold = 100;       // older parts: Prog_enable held after 12 V
constexpr double tOwnCommand = 50e3;   // older parts: before the first command
constexpr double tTogether = 1e3;      // older parts' alternative: VCC and 12 V "simultaneously"
constexpr double tTogetherCommand = 100e3;
// The board: a 1 kOhm bleeder across 100 nF brings VCC to 0 V within 1 ms.
constexpr double tVccOff = 1e6;
constexpr double boardVcc = 5.0;
constexpr std::size_t maxBreaks = 200;

constexpr std::uint8_t cmdChipErase = 0x80, cmdWriteFuse = 0x40, cmdWriteLock = 0x20,
                       cmdWriteFlash = 0x10, cmdReadSignature = 0x08, cmdReadFuseLock = 0x04,
                       cmdReadFlash = 0x02, cmdWriteEeprom = 0x11, cmdReadEeprom = 0x03;

// Timing tables.
// Most datasheets: e.g. ATmega8A, "Parallel Programming Characteristics" (tXLXH 200 ns,
// tPHPL 150 ns, tOLDV/tBVDV/tOHDZ 250 ns, tWLRH 4.5 ms, tWLRH_CE 9 ms).
constexpr Timing T{};
// ATmega164A/PA/324A/PA/644A/PA/1284/P, DS40002070A, "Parallel Programming Characteristics":
// tXLXH 300 ns, tPHPL 200 ns, tBVDV/tOLDV/tOHDZ 500 ns, tWLRH_CE 12 ms.
constexpr Timing T2016{300, 200, 500, 500, 500, 4500, 12000};
// ATmega48PB/88PB/168PB, "Parallel Programming Characteristics": tBVDV/tOLDV 350 ns,
// tWLRH 3.4 ms, tWLRH_CE 10.5 ms.
constexpr Timing TPB{200, 150, 350, 350, 250, 3400, 10500};
// ATmega163(L), "Parallel Programming Characteristics": tWLRH 1.9 ms for Write EEPROM, fuse
// and lock bits, tWLRH_FLASH 15 ms for Write Flash, tWLRH_CE 30 ms.
constexpr Timing T163{200, 150, 250, 250, 250, 1900, 30000, 15000, 1900};

// Supplies: every part but these runs at the board's 5 V.
constexpr double V55[2] = {1.8, 5.5};
constexpr double V36[2] = {1.8, 3.6};   // ATmega128RFA1, ATmega64..2564RFR2
constexpr double V25[2] = {4.0, 25.0};  // ATmega406, 16HVB, 32HVB (avrdude's variants list)

// Where each row comes from. "Entry", "pins" and "timing" name the datasheet chapters
// "Enter Programming Mode", "Pin Name Mapping"/"Pin Values Used to Enter Programming Mode"
// and "Parallel Programming Characteristics".
constexpr const char *kSrcMega328 =
    "ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcMegaPB =
    "ATmega48PB/88PB/168PB datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins; timing TPB";
constexpr const char *kSrcMega8 =
    "ATmega8A datasheet, Enter Programming Mode: VCC, 100 us, six XTAL1 pulses, Prog_enable 0000, 12 V; "
    "own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcMega16 =
    "ATmega16A/32A/64A/128A, ATmega8515, ATmega8535, ATmega162 datasheets: the ATmega8A's entry "
    "(VCC, 100 us, six XTAL1 pulses, 12 V); own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcMega163 =
    "ATmega163(L) datasheet: timing T163, its EEPROM written byte by byte (Programming the EEPROM), no "
    "EESAVE; entry and pins taken as the ATmega16's";
constexpr const char *kSrcCan =
    "AT90CAN32/64/128: ATmega128 derivatives; no datasheet at hand, taken as the ATmega128's entry, pins "
    "and timing";
constexpr const char *kSrcLcd =
    "ATmega165..6490 (LCD parts): no datasheet at hand; taken as the ATmega16's entry (XTAL1 pulses after "
    "VCC has settled), which also meets an entry that asks for the pulses without the 100 us; timing T";
constexpr const char *kSrcMega644A =
    "ATmega164A..1284P: 8272E asks for six XTAL1 pulses before Prog_enable and 12 V, DS40002070A for "
    "12 V 20..60 us after VCC, so both; own PAGEL and BS2 pins; timing T2016 (DS40002070A)";
constexpr const char *kSrcMega2560 =
    "ATmega640/1280/1281/2560/2561 datasheet: six XTAL1 pulses before Prog_enable and 12 V (and the "
    "window of the newer parts); own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcRf =
    "ATmega128RFA1 8266A 31.7.1, and the RFR2 datasheets: 1.8..3.6 V parts entering with TST high and RSTN "
    "at logic level, without 12 V";
constexpr const char *kSrcUsbMega =
    "ATmega8U2/16U2/32U2, ATmega16U4/32U4 datasheets: six XTAL1 pulses before Prog_enable and 12 V (and "
    "the window); own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcUsb =
    "AT90USB82/162/646/1286 datasheets: entry 20..60 us after VCC; own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcM1 =
    "ATmega16M1/32M1/64M1, ATmega32C1/64C1 datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins; "
    "timing T";
constexpr const char *kSrcPwm =
    "AT90PWM2B/3B/216/316 datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcPwm81 =
    "AT90PWM81/161 datasheet: entry 20..60 us after VCC; BS2 on the XA1 pin and PAGEL on the BS1 pin, as "
    "on the ATtiny261 (desk review; avrdude 7.1 lists neither part); timing T";
constexpr const char *kSrcHvb =
    "ATmega406, ATmega16HVB/32HVB: no datasheet at hand; entry and supply pin unconfirmed (avrdude gives six "
    "XTAL1 pulses, no power toggle and a 4..25 V supply)";
constexpr const char *kSrcTiny88 =
    "ATtiny48/88 datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcTiny828 =
    "ATtiny828 datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins; timing T";
constexpr const char *kSrcTiny2313 =
    "ATtiny2313 2543F (and 2313A 8246B): WR is a Prog_enable pin; 2543F asks for six XTAL1 pulses; BS2 on "
    "XA1 and PAGEL on BS1; timing T";
constexpr const char *kSrcTiny4313 =
    "ATtiny4313 8246B: WR is a Prog_enable pin; entry 20..60 us after VCC; BS2 on XA1 and PAGEL on BS1; "
    "timing T";
constexpr const char *kSrcTiny26 =
    "ATtiny26 datasheet: the ATmega8A's entry (VCC, 100 us, XTAL1 pulses, 12 V); BS2 on XA1 and PAGEL on "
    "BS1; timing T";
constexpr const char *kSrcTiny861 =
    "ATtiny261/461/861(A) datasheets: six XTAL1 pulses before Prog_enable and 12 V; BS2 on XA1 and PAGEL "
    "on BS1; timing T";
constexpr const char *kSrcTiny43 =
    "ATtiny43U datasheet: six XTAL1 pulses before Prog_enable and 12 V; BS2 on XA1 and PAGEL on BS1 "
    "(avrdude 7.1's control stack agrees); timing T";
constexpr const char *kSrcTiny167 =
    "ATtiny87/167 7728G: WR is a Prog_enable pin; six XTAL1 pulses before Prog_enable and 12 V; BS2 on XA1 "
    "and PAGEL on BS1; timing T";
constexpr const char *kSrcTiny1634 =
    "ATtiny1634 datasheet: entry 20..60 us after VCC; own PAGEL and BS2 pins like the ATtiny828 (desk "
    "review; avrdude 7.1's control stack shares them as on the ATtiny2313, so tests try both wirings); "
    "timing T";

struct Row {
    const char *name;
    std::uint8_t s1, s2;
    int page, kb;
    bool ext;
    Entry entry;
    bool wrEnables, bs2OnXa1, pagelOnBs1;
    const double *vcc;
    Timing timing;
    std::uint8_t low, high, extFuse;
    const char *source;
    int eeprom, eepromPage, calibration;
    EesaveBit eesave;
};

// Where EESAVE sits, from each datasheet's fuse tables ("Fuse High Byte", "EESAVE: EEPROM
// memory is preserved through the Chip Erase"): bit 3 of the High fuse on most parts, bit 6 on
// the ATtiny2313/4313, bit 2 on the ATtiny26, bit 6 of the Low fuse on the ATmega406 and
// HVB parts; the ATmega163 has none (its Chip Erase always clears the EEPROM).
constexpr EesaveBit EH3{1, 3}, EH6{1, 6}, EH2{1, 2}, EL6{0, 6}, ENone{};

// One row per signature of the catalogue: name, signature bytes 2 and 3, page bytes, Flash KB,
// extended fuse, entry, WR a Prog_enable pin, BS2 on XA1, PAGEL on BS1, supply, timing, factory
// Low, High and Extended fuse bytes, source; EEPROM bytes and page buffer (the datasheets'
// "EEPROM ... organized in pages" tables; 0 where the datasheet writes it byte by byte),
// calibration bytes ("Reading the Calibration Byte": addresses 0x00..0x03 on the ATmega8, 16,
// 32, 64, 128, 8515, 8535 and ATtiny26, 0x00..0x01 on the ATtiny2313/4313, 0x00 elsewhere),
// EESAVE.
const Row rows[] = {
        {"ATmega48", 0x92, 0x05, 64, 4, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xFF, kSrcMega328, 256, 4, 1, EH3},
        {"ATmega48P", 0x92, 0x0A, 64, 4, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xFF, kSrcMega328, 256, 4, 1, EH3},
        {"ATmega48PB", 0x92, 0x10, 64, 4, true, Entry::PowerUp, false, false, false, V55, TPB, 0x62, 0xDF, 0xFF, kSrcMegaPB, 256, 4, 1, EH3},
        {"ATmega88", 0x93, 0x0A, 64, 8, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xF9, kSrcMega328, 512, 4, 1, EH3},
        {"ATmega88P", 0x93, 0x0F, 64, 8, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xF9, kSrcMega328, 512, 4, 1, EH3},
        {"ATmega88PB", 0x93, 0x16, 64, 8, true, Entry::PowerUp, false, false, false, V55, TPB, 0x62, 0xDF, 0xF9, kSrcMegaPB, 512, 4, 1, EH3},
        {"ATmega168", 0x94, 0x06, 128, 16, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xF9, kSrcMega328, 512, 4, 1, EH3},
        {"ATmega168P", 0x94, 0x0B, 128, 16, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xF9, kSrcMega328, 512, 4, 1, EH3},
        {"ATmega168PB", 0x94, 0x15, 128, 16, true, Entry::PowerUp, false, false, false, V55, TPB, 0x62, 0xDF, 0xF9, kSrcMegaPB, 512, 4, 1, EH3},
        {"ATmega328", 0x95, 0x14, 128, 32, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcMega328, 1024, 4, 1, EH3},
        {"ATmega328P", 0x95, 0x0F, 128, 32, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcMega328, 1024, 4, 1, EH3},
        {"ATmega8", 0x93, 0x07, 64, 8, false, Entry::Old, false, false, false, V55, T, 0xE1, 0xD9, 0xFF, kSrcMega8, 512, 4, 4, EH3},
        {"ATmega16", 0x94, 0x03, 128, 16, false, Entry::Old, false, false, false, V55, T, 0xE1, 0x99, 0xFF, kSrcMega16, 512, 4, 4, EH3},
        {"ATmega32", 0x95, 0x02, 128, 32, false, Entry::Old, false, false, false, V55, T, 0xE1, 0x99, 0xFF, kSrcMega16, 1024, 4, 4, EH3},
        {"ATmega8515", 0x93, 0x06, 64, 8, false, Entry::Old, false, false, false, V55, T, 0xE1, 0xD9, 0xFF, kSrcMega16, 512, 4, 4, EH3},
        {"ATmega8535", 0x93, 0x08, 64, 8, false, Entry::Old, false, false, false, V55, T, 0xE1, 0xD9, 0xFF, kSrcMega16, 512, 4, 4, EH3},
        {"ATmega162", 0x94, 0x04, 128, 16, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcMega16, 512, 4, 1, EH3},
        {"ATmega163", 0x94, 0x02, 128, 16, false, Entry::Old, false, false, false, V55, T163, 0xD2, 0xFF, 0xFF, kSrcMega163, 512, 0, 1, ENone},
        {"ATmega64", 0x96, 0x02, 256, 64, true, Entry::Old, false, false, false, V55, T, 0xE1, 0x99, 0xFD, kSrcMega16, 2048, 8, 4, EH3},
        {"ATmega128", 0x97, 0x02, 256, 128, true, Entry::Old, false, false, false, V55, T, 0xE1, 0x99, 0xFD, kSrcMega16, 4096, 8, 4, EH3},
        {"AT90CAN32", 0x95, 0x81, 256, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcCan, 1024, 8, 1, EH3},
        {"AT90CAN64", 0x96, 0x81, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcCan, 2048, 8, 1, EH3},
        {"AT90CAN128", 0x97, 0x81, 256, 128, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcCan, 4096, 8, 1, EH3},
        {"ATmega165", 0x94, 0x10, 128, 16, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 512, 4, 1, EH3},
        {"ATmega165P", 0x94, 0x07, 128, 16, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 512, 4, 1, EH3},
        {"ATmega169", 0x94, 0x05, 128, 16, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 512, 4, 1, EH3},
        {"ATmega169A", 0x94, 0x11, 128, 16, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 512, 4, 1, EH3},
        {"ATmega325", 0x95, 0x05, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega325P", 0x95, 0x0D, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega3250", 0x95, 0x06, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega3250P", 0x95, 0x0E, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega329", 0x95, 0x03, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega329P", 0x95, 0x0B, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega3290", 0x95, 0x04, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega3290P", 0x95, 0x0C, 128, 32, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 1024, 4, 1, EH3},
        {"ATmega645", 0x96, 0x05, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega645P", 0x96, 0x0D, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega6450", 0x96, 0x06, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega6450P", 0x96, 0x0E, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega649", 0x96, 0x03, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega649P", 0x96, 0x0B, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega6490", 0x96, 0x04, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega6490P", 0x96, 0x0C, 256, 64, true, Entry::Old, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcLcd, 2048, 8, 1, EH3},
        {"ATmega164A", 0x94, 0x0F, 128, 16, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 512, 4, 1, EH3},
        {"ATmega164P", 0x94, 0x0A, 128, 16, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 512, 4, 1, EH3},
        {"ATmega324A", 0x95, 0x15, 128, 32, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 1024, 4, 1, EH3},
        {"ATmega324P", 0x95, 0x08, 128, 32, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 1024, 4, 1, EH3},
        {"ATmega324PA", 0x95, 0x11, 128, 32, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 1024, 4, 1, EH3},
        {"ATmega644", 0x96, 0x09, 256, 64, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 2048, 8, 1, EH3},
        {"ATmega644P", 0x96, 0x0A, 256, 64, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 2048, 8, 1, EH3},
        {"ATmega1284", 0x97, 0x06, 256, 128, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 4096, 8, 1, EH3},
        {"ATmega1284P", 0x97, 0x05, 256, 128, true, Entry::PowerUpPulses, false, false, false, V55, T2016, 0x62, 0x99, 0xFF, kSrcMega644A, 4096, 8, 1, EH3},
        {"ATmega640", 0x96, 0x08, 256, 64, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcMega2560, 4096, 8, 1, EH3},
        {"ATmega1280", 0x97, 0x03, 256, 128, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcMega2560, 4096, 8, 1, EH3},
        {"ATmega1281", 0x97, 0x04, 256, 128, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcMega2560, 4096, 8, 1, EH3},
        {"ATmega2560", 0x98, 0x01, 256, 256, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcMega2560, 4096, 8, 1, EH3},
        {"ATmega2561", 0x98, 0x02, 256, 256, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x62, 0x99, 0xFF, kSrcMega2560, 4096, 8, 1, EH3},
        {"ATmega128RFA1", 0xA7, 0x01, 256, 128, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFF, kSrcRf, 4096, 8, 1, EH3},
        {"ATmega64RFR2", 0xA6, 0x02, 256, 64, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFE, kSrcRf, 2048, 8, 1, EH3},
        {"ATmega644RFR2", 0xA6, 0x03, 256, 64, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFE, kSrcRf, 2048, 8, 1, EH3},
        {"ATmega128RFR2", 0xA7, 0x02, 256, 128, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFE, kSrcRf, 4096, 8, 1, EH3},
        {"ATmega1284RFR2", 0xA7, 0x03, 256, 128, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFE, kSrcRf, 4096, 8, 1, EH3},
        {"ATmega256RFR2", 0xA8, 0x02, 256, 256, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFE, kSrcRf, 8192, 8, 1, EH3},
        {"ATmega2564RFR2", 0xA8, 0x03, 256, 256, true, Entry::LowVoltage, false, false, false, V36, T, 0x62, 0x99, 0xFE, kSrcRf, 8192, 8, 1, EH3},
        {"ATmega8U2", 0x93, 0x89, 128, 8, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x5E, 0xD9, 0xF4, kSrcUsbMega, 512, 4, 1, EH3},
        {"ATmega16U2", 0x94, 0x89, 128, 16, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x5E, 0xD9, 0xF4, kSrcUsbMega, 512, 4, 1, EH3},
        {"ATmega32U2", 0x95, 0x8A, 128, 32, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x5E, 0xD9, 0xF4, kSrcUsbMega, 1024, 4, 1, EH3},
        {"ATmega16U4", 0x94, 0x88, 128, 16, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x52, 0x99, 0xFB, kSrcUsbMega, 512, 4, 1, EH3},
        {"ATmega32U4", 0x95, 0x87, 128, 32, true, Entry::PowerUpPulses, false, false, false, V55, T, 0x52, 0x99, 0xFB, kSrcUsbMega, 1024, 4, 1, EH3},
        {"AT90USB82", 0x93, 0x82, 128, 8, true, Entry::PowerUp, false, false, false, V55, T, 0x5E, 0xD9, 0xF4, kSrcUsb, 512, 4, 1, EH3},
        {"AT90USB162", 0x94, 0x82, 128, 16, true, Entry::PowerUp, false, false, false, V55, T, 0x5E, 0xD9, 0xF4, kSrcUsb, 512, 4, 1, EH3},
        {"AT90USB646", 0x96, 0x82, 256, 64, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0x99, 0xF3, kSrcUsb, 2048, 8, 1, EH3},
        {"AT90USB1286", 0x97, 0x82, 256, 128, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0x99, 0xF3, kSrcUsb, 4096, 8, 1, EH3},
        {"ATmega16M1", 0x94, 0x84, 128, 16, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcM1, 512, 4, 1, EH3},
        {"ATmega32M1", 0x95, 0x84, 128, 32, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcM1, 1024, 4, 1, EH3},
        {"ATmega64M1", 0x96, 0x84, 256, 64, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcM1, 2048, 8, 1, EH3},
        {"ATmega32C1", 0x95, 0x86, 128, 32, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcM1, 1024, 4, 1, EH3},
        {"ATmega64C1", 0x96, 0x86, 256, 64, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xD9, 0xFF, kSrcM1, 2048, 8, 1, EH3},
        {"AT90PWM2B", 0x93, 0x83, 64, 8, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xF9, kSrcPwm, 512, 4, 1, EH3},
        {"AT90PWM216", 0x94, 0x83, 128, 16, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xF9, kSrcPwm, 512, 4, 1, EH3},
        {"AT90PWM81", 0x93, 0x88, 64, 8, true, Entry::PowerUp, false, true, true, V55, T, 0x62, 0xD9, 0xFD, kSrcPwm81, 512, 4, 1, EH3},
        {"AT90PWM161", 0x94, 0x8B, 128, 16, true, Entry::PowerUp, false, true, true, V55, T, 0x62, 0xD9, 0xFD, kSrcPwm81, 512, 4, 1, EH3},
        {"ATmega406", 0x95, 0x07, 128, 40, false, Entry::Unconfirmed, false, false, false, V25, T, 0xCD, 0xFE, 0xFF, kSrcHvb, 512, 4, 1, EL6},
        {"ATmega16HVB", 0x94, 0x0D, 128, 16, false, Entry::Unconfirmed, false, false, false, V25, T, 0xDD, 0xE9, 0xFF, kSrcHvb, 512, 4, 1, EL6},
        {"ATmega32HVB", 0x95, 0x10, 128, 32, false, Entry::Unconfirmed, false, false, false, V25, T, 0xDD, 0xE9, 0xFF, kSrcHvb, 1024, 4, 1, EL6},
        {"ATtiny48", 0x92, 0x09, 64, 4, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny88, 64, 4, 1, EH3},
        {"ATtiny88", 0x93, 0x11, 64, 8, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny88, 64, 4, 1, EH3},
        {"ATtiny828", 0x93, 0x14, 64, 8, true, Entry::PowerUp, false, false, false, V55, T, 0x6E, 0xDF, 0xFF, kSrcTiny828, 256, 4, 1, EH3},
        {"ATtiny2313", 0x91, 0x0A, 32, 2, true, Entry::PowerUpPulses, true, true, true, V55, T, 0x64, 0xDF, 0xFF, kSrcTiny2313, 128, 4, 2, EH6},
        {"ATtiny4313", 0x92, 0x0D, 64, 4, true, Entry::PowerUp, true, true, true, V55, T, 0x64, 0xDF, 0xFF, kSrcTiny4313, 256, 4, 2, EH6},
        {"ATtiny26", 0x91, 0x09, 32, 2, false, Entry::Old, false, true, true, V55, T, 0xE1, 0xF7, 0xFF, kSrcTiny26, 128, 4, 4, EH2},
        {"ATtiny261", 0x91, 0x0C, 32, 2, true, Entry::PowerUpPulses, false, true, true, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny861, 128, 4, 1, EH3},
        {"ATtiny461", 0x92, 0x08, 64, 4, true, Entry::PowerUpPulses, false, true, true, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny861, 256, 4, 1, EH3},
        {"ATtiny861", 0x93, 0x0D, 64, 8, true, Entry::PowerUpPulses, false, true, true, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny861, 512, 4, 1, EH3},
        {"ATtiny43U", 0x92, 0x0C, 64, 4, true, Entry::PowerUpPulses, false, true, true, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny43, 64, 4, 1, EH3},
        {"ATtiny87", 0x93, 0x87, 128, 8, true, Entry::PowerUpPulses, true, true, true, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny167, 512, 4, 1, EH3},
        {"ATtiny167", 0x94, 0x87, 128, 16, true, Entry::PowerUpPulses, true, true, true, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny167, 512, 4, 1, EH3},
        {"ATtiny1634", 0x94, 0x12, 32, 16, true, Entry::PowerUp, false, false, false, V55, T, 0x62, 0xDF, 0xFF, kSrcTiny1634, 256, 4, 1, EH3},
};

}  // namespace

const std::vector<Family> &families()
{
    static const std::vector<Family> all = [] {
        std::vector<Family> out;
        for (const Row &r : rows) {
            Family f;
            f.name = r.name;
            f.signature = {0x1E, r.s1, r.s2};
            f.pageBytes = r.page;
            f.flashBytes = r.kb * 1024;
            f.extFuse = r.ext;
            f.entry = r.entry;
            f.wrEnables = r.wrEnables;
            f.bs2OnXa1 = r.bs2OnXa1;
            f.pagelOnBs1 = r.pagelOnBs1;
            f.addrExt = f.flashBytes > 128 * 1024;
            f.vccMin = r.vcc[0];
            f.vccMax = r.vcc[1];
            f.timing = r.timing;
            f.low = r.low;
            f.high = r.high;
            f.ext = r.ext ? r.extFuse : 0xFF;
            f.source = r.source;
            f.eepromBytes = r.eeprom;
            f.eepromPage = r.eepromPage;
            f.calibrationBytes = r.calibration;
            f.eesave = r.eesave;
            out.push_back(f);
        }
        return out;
    }();
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
    c.eeprom.assign(static_cast<std::size_t>(family.eepromBytes), 0xFF);
    // Factory calibration values differ from chip to chip; these differ from part to part
    // and from byte to byte, so that a read of the wrong one shows.
    for (int i = 0; i < 4; ++i)
        c.calibration[std::size_t(i)] =
            i < family.calibrationBytes ? std::uint8_t(0x80 + family.signature[2] + 0x11 * i) : 0xFF;
    return c;
}

Chip emptySocket()
{
    Chip c;
    c.family.clear();
    c.flash.clear();
    c.eeprom.clear();
    return c;
}

const char *lineName(int index)
{
    static const char *const names[kLineCount] = {"VCC",   "12V",   "XTAL1", "XA0",   "XA1",   "BS1",
                                                  "BS2",   "PAGEL", "WR",    "OE",    "DATA0", "DATA1",
                                                  "DATA2", "DATA3", "DATA4", "DATA5", "DATA6", "DATA7"};
    return index >= 0 && index < kLineCount ? names[index] : "";
}

Target::Target(Chip chip)
{
    setChip(std::move(chip));
}

void Target::setChip(Chip chip)
{
    empty_ = chip.family.empty();
    const Family *f = empty_ ? nullptr : findFamily(chip.family);
    if (!empty_ && !f)
        f = findFamily("ATmega328P");
    if (f) {
        family_ = *f;
        if (chip.wiring == Wiring::OwnLines)
            family_.bs2OnXa1 = family_.pagelOnBs1 = false;
        else if (chip.wiring == Wiring::SharedPins)
            family_.bs2OnXa1 = family_.pagelOnBs1 = true;
        chip.flash.resize(static_cast<std::size_t>(family_.flashBytes), 0xFF);
        chip.eeprom.resize(static_cast<std::size_t>(family_.eepromBytes), 0xFF);
        buffer_.assign(static_cast<std::size_t>(family_.pageBytes), 0xFF);
        const std::size_t ee = static_cast<std::size_t>(std::max(family_.eepromPage, 1));
        eeBuffer_.assign(ee, 0xFF);
        eeLatched_.assign(ee, false);
        eeLatchedPage_.assign(ee, 0);
    }
    chip_ = std::move(chip);
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
    if (family_.addrExt)
        word |= std::uint32_t(addrExt_) << 16;
    return word;
}

void Target::enterProgramming(double ns, const Lines &raw)
{
    hvAt_ = ns;
    if (raw.xtal1 || raw.xa0 || raw.xa1 || raw.bs1 || raw.bs2 || raw.pagel || raw.wr || raw.oe)
        ++linesHighAtHv_;
    // The Prog_enable pins as the chip sees them: PAGEL, XA1, XA0, BS1, and WR where the
    // datasheet lists it.
    std::string high;
    if (now_.pagel)
        high += " PAGEL";
    if (now_.xa1)
        high += " XA1";
    if (now_.xa0)
        high += " XA0";
    if (now_.bs1)
        high += " BS1";
    if (family_.wrEnables && now_.wr)
        high += " WR";
    if (!high.empty())
        rule(ns, "Prog_enable pin" + high + " high when 12 V rose");

    const double since = ns - vccOnAt_;
    const bool peStill = peChangedAt_ <= vccOnAt_;  // unchanged since VCC came on
    const bool window = since >= entryWindowMin && since <= entryWindowMax && peStill;
    const bool pulsed = xtalPulses_ >= entryXtalPulses && ns - peChangedAt_ >= tPulsePe;
    const bool own = since >= tOwnVcc && settledPulses_ >= entryXtalPulses && ns - peChangedAt_ >= tPulsePe;
    const bool together = since < tTogether && peStill;
    enum { None, PowerUpWay, OwnWay, TogetherWay } way = None;
    switch (family_.entry) {
    case Entry::PowerUp:
    case Entry::LowVoltage:
        way = window ? PowerUpWay : None;
        break;
    case Entry::PowerUpPulses:
        way = window && pulsed ? PowerUpWay : None;
        break;
    case Entry::Old:
        way = own ? OwnWay : together ? TogetherWay : None;
        break;
    case Entry::Unconfirmed:
        way = window ? PowerUpWay : own ? OwnWay : together ? TogetherWay : None;
        break;
    }
    if (!high.empty())
        way = None;
    switch (way) {
    case PowerUpWay:
        ++newEntries_;
        holdUntil_ = ns + tHvHold;
        commandsFrom_ = ns + tHvCommand;
        break;
    case OwnWay:
        ++ownEntries_;
        holdUntil_ = ns + tOwnHold;
        commandsFrom_ = ns + tOwnCommand;
        break;
    case TogetherWay:
        ++fallbackEntries_;
        holdUntil_ = ns + tOwnHold;
        commandsFrom_ = ns + tTogetherCommand;
        break;
    case None: {
        // Not a rule break: a board that does not know the chip yet may try an entry of
        // another family. The chip leaves reset and runs instead; it answers nothing.
        char what[160];
        std::snprintf(what, sizeof what, "12 V %.1f us after VCC, %d XTAL1 pulses (%d after 100 us)", since / 1e3,
                      xtalPulses_, settledPulses_);
        lastRefusal_ = what;
        ++refusedEntries_;
        holdUntil_ = ns + tHvHold;
        state_ = State::Refused;
        return;
    }
    }
    state_ = State::Programming;
    busyUntil_ = 0;
    releaseAt_ = -1e12;
    wordLoaded_ = false;
    latchedSinceWrite_ = 0;
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
    if (ns - xtalFallAt_ < family_.timing.tXLXH)
        rule(ns, "XTAL1 low shorter than tXLXH");
    if (!family_.pagelOnBs1 && (now_.pagel || ns - pagelFallAt_ < tPLXH))
        rule(ns, "XTAL1 high less than tPLXH after PAGEL low");
    if (family_.pagelOnBs1 && command_ == cmdWriteFlash && ns - pagelFallAt_ < tPLXH)
        rule(ns, "XTAL1 high less than tPLXH after BS1/PAGEL low");
    if (!now_.oe)
        rule(ns, "XTAL1 pulse while OE is low");
    const std::uint8_t data = now_.data;
    switch (xa) {
    case 0:
        if (now_.bs2 && !now_.bs1 && !family_.bs2OnXa1)
            addrExt_ = data;
        else if (now_.bs1)
            addrHigh_ = data;
        else
            addrLow_ = data;
        break;
    case 1:
        (now_.bs1 ? dataHigh_ : dataLow_) = data;
        if (command_ == cmdWriteFlash || command_ == cmdWriteEeprom)
            wordLoaded_ = true;
        break;
    case 2:
        command_ = data;
        wordLoaded_ = false;
        latchedSinceWrite_ = 0;
        break;
    default:
        break;
    }
}

// A positive PAGEL pulse loads the data word into the page buffer at the low address. On
// the parts whose PAGEL is the BS1 pin the pulse is the time BS1 is high for the high byte,
// and the word is latched as it ends.
void Target::latch(double ns)
{
    commandEdge(ns, "PAGEL pulse");
    if (!family_.pagelOnBs1 && ns - bs1At_ < tBVPH)
        rule(ns, "BS1 changed less than tBVPH before PAGEL high");
    if (now_.xtal1)
        rule(ns, "PAGEL pulse while XTAL1 is high");
    const bool loadingData = !now_.xa1 && now_.xa0;
    if (command_ == cmdWriteEeprom) {
        // "Programming the EEPROM", step E: PAGEL latches the data byte into the EEPROM page
        // buffer at the low address bits. Parts without a page buffer have no such step.
        if (!wordLoaded_) {
            if (loadingData && family_.eepromPage)
                rule(ns, "a second PAGEL pulse for the same EEPROM byte");
            return;
        }
        wordLoaded_ = false;
        if (!family_.eepromPage)
            return;
        const std::size_t size = std::size_t(family_.eepromPage);
        const std::size_t at = eeAddress() % size;
        eeBuffer_[at] = dataLow_;
        eeLatched_[at] = true;
        eeLatchedPage_[at] = eeAddress() / std::uint32_t(size);
        return;
    }
    if (command_ != cmdWriteFlash)
        return;
    if (!wordLoaded_) {
        // The address bytes load with BS1 high too, which on the shared pin is a pulse; only
        // a second pulse for the same data word latches it twice.
        if (loadingData)
            rule(ns, "a second PAGEL pulse for the same word: the word is latched twice");
        return;
    }
    const std::size_t words = buffer_.size() / 2;
    const std::size_t at = (addrLow_ % words) * 2;
    buffer_[at] = dataLow_;
    buffer_[at + 1] = dataHigh_;
    wordLoaded_ = false;
    ++latchedSinceWrite_;
    ++wordsLatched_;
}

void Target::write(double ns)
{
    commandEdge(ns, "WR pulse");
    if (ns - std::max(bs1At_, bs2At_) < tBVWL)
        rule(ns, "BS1 or BS2 changed less than tBVWL before WR low");
    if (!family_.pagelOnBs1 && (now_.pagel || ns - pagelFallAt_ < tPLWL))
        rule(ns, "WR low less than tPLWL after PAGEL low");
    const bool fusesLocked = !(chip_.lock & 0x01);
    double busy = family_.timing.tWlrhUs * 1e3;
    switch (command_) {
    case cmdChipErase: {
        std::fill(chip_.flash.begin(), chip_.flash.end(), 0xFF);
        // "EESAVE: EEPROM memory is preserved through the Chip Erase" while programmed (0).
        const EesaveBit &e = family_.eesave;
        const std::uint8_t fuse = e.byte == 0 ? chip_.lowFuse : chip_.highFuse;
        if (e.byte < 0 || (fuse >> e.bit & 1))
            std::fill(chip_.eeprom.begin(), chip_.eeprom.end(), 0xFF);
        chip_.lock = 0xFF;
        busy = family_.timing.tWlrhCeUs * 1e3;
        break;
    }
    case cmdWriteEeprom:
        if (!fusesLocked)
            writeEeprom(ns);
        std::fill(eeLatched_.begin(), eeLatched_.end(), false);
        ++eepromWrites_;
        busy = (family_.timing.tWlrhEeUs ? family_.timing.tWlrhEeUs : family_.timing.tWlrhUs) * 1e3;
        break;
    case cmdWriteFlash: {
        if (latchedSinceWrite_ == 0)
            rule(ns, "page programmed with no word latched (PAGEL never pulsed)");
        if (!fusesLocked) {
            const std::size_t words = buffer_.size() / 2;
            const std::size_t base = (wordAddress() / words * words * 2) % chip_.flash.size();
            for (std::size_t i = 0; i < buffer_.size(); ++i)
                chip_.flash[base + i] &= buffer_[i];  // programming only clears bits
        }
        std::fill(buffer_.begin(), buffer_.end(), 0xFF);
        latchedSinceWrite_ = 0;
        ++pagesProgrammed_;
        if (family_.timing.tWlrhFlashUs)
            busy = family_.timing.tWlrhFlashUs * 1e3;
        break;
    }
    case cmdWriteFuse:
        if (fusesLocked)
            break;
        if (!now_.bs1 && !now_.bs2)
            chip_.lowFuse = dataLow_;
        else if (now_.bs1 && !now_.bs2)
            chip_.highFuse = dataLow_;
        else if (!now_.bs1 && now_.bs2 && family_.extFuse)
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

std::uint32_t Target::eeAddress() const
{
    return std::uint32_t(addrHigh_) << 8 | addrLow_;
}

// WR with the EEPROM command: a part with a page buffer programs the page of the address
// loaded, and only the bytes latched since are altered (the serial programming chapters of
// the same datasheets: "only byte locations loaded ... are altered. The remaining locations
// remain unchanged.", e.g. ATtiny261A/461A/861A 8197C); the ATmega163 writes the data byte at
// the address. Each byte is erased and written: it takes the value, bits may rise.
void Target::writeEeprom(double ns)
{
    if (chip_.eeprom.empty())
        return;
    const std::size_t size = chip_.eeprom.size();
    if (!family_.eepromPage) {
        chip_.eeprom[eeAddress() % size] = dataLow_;
        return;
    }
    const std::size_t pageSize = std::size_t(family_.eepromPage);
    const std::uint32_t page = eeAddress() % size / std::uint32_t(pageSize);
    bool any = false;
    for (std::size_t i = 0; i < pageSize; ++i) {
        if (!eeLatched_[i])
            continue;
        any = true;
        if (eeLatchedPage_[i] % (size / pageSize) != page)
            rule(ns, "EEPROM byte latched for another page than the one programmed");
        chip_.eeprom[page * pageSize + i] = eeBuffer_[i];
    }
    if (!any)
        rule(ns, "EEPROM page programmed with no byte latched (PAGEL never pulsed)");
}

std::uint8_t Target::output() const
{
    switch (command_) {
    case cmdReadSignature:
        if (now_.bs1)  // "Reading the Calibration Byte"
            return addrLow_ < family_.calibrationBytes ? chip_.calibration[addrLow_] : 0xFF;
        return addrLow_ < 3 ? chip_.signature[addrLow_] : 0xFF;
    case cmdReadEeprom:
        return chip_.eeprom.empty() ? 0xFF : chip_.eeprom[eeAddress() % chip_.eeprom.size()];
    case cmdReadFuseLock:
        if (!now_.bs2 && !now_.bs1)
            return chip_.lowFuse;
        if (now_.bs2 && now_.bs1)
            return chip_.highFuse;
        if (now_.bs2)
            return family_.extFuse ? chip_.extFuse : 0xFF;
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
    if (state_ == State::Programming && !now_.oe && command_ == cmdReadSignature && now_.bs1
        && addrLow_ >= family_.calibrationBytes)
        rule(ns, "calibration byte read at an address the part does not have");
}

void Target::countRises(const Lines &p, const Lines &l)
{
    const bool before[kData0] = {p.vcc, p.hv, p.xtal1, p.xa0, p.xa1, p.bs1, p.bs2, p.pagel, p.wr, p.oe};
    const bool after[kData0] = {l.vcc, l.hv, l.xtal1, l.xa0, l.xa1, l.bs1, l.bs2, l.pagel, l.wr, l.oe};
    for (int i = 0; i < kData0; ++i)
        if (after[i] && !before[i])
            ++rises_[std::size_t(i)];
    const std::uint8_t was = p.data & p.dataDriven, is = l.data & l.dataDriven;
    for (int bit = 0; bit < 8; ++bit)
        if ((is >> bit & 1) && !(was >> bit & 1))
            ++rises_[std::size_t(kData0 + bit)];
}

void Target::update(double ns, const Lines &raw)
{
    countRises(raw_, raw);
    raw_ = raw;
    if (empty_)
        return;
    Lines l = raw;
    if (family_.bs2OnXa1)
        l.bs2 = raw.xa1;
    if (family_.pagelOnBs1)
        l.pagel = raw.bs1;
    const Lines p = now_;
    now_ = l;

    // Supplies.
    if (!p.vcc && l.vcc) {
        if (ns - vccOffAt_ < tVccOff)
            rule(ns, "VCC switched on again before the target's supply discharged");
        if (boardVcc > family_.vccMax) {
            char what[96];
            std::snprintf(what, sizeof what, "5 V on VCC of a part rated %.1f..%.1f V", family_.vccMin,
                          family_.vccMax);
            rule(ns, what);
        }
        state_ = State::Powered;
        vccOnAt_ = ns;
        peChangedAt_ = ns;
        xtalPulses_ = settledPulses_ = 0;
    }
    if (p.vcc && !l.vcc) {
        if (l.hv)
            rule(ns, "VCC switched off with 12 V on RESET");
        state_ = State::Off;
        vccOffAt_ = ns;
    }
    if (l.hv && !p.hv && !l.vcc)
        rule(ns, "12 V on RESET without VCC");
    if (l.hv && !p.hv && family_.entry == Entry::LowVoltage)
        rule(ns, "12 V on RESET of a part that enters programming mode without high voltage");
    if (!l.vcc && l.anyHigh && (p.vcc || !p.anyHigh))
        rule(ns, "a line driven high into the unpowered target");

    const bool peChanged = l.pagel != p.pagel || l.xa1 != p.xa1 || l.xa0 != p.xa0 || l.bs1 != p.bs1
                           || (family_.wrEnables && l.wr != p.wr);
    if (peChanged) {
        if ((state_ == State::Programming || state_ == State::Refused) && ns < holdUntil_)
            rule(ns, "Prog_enable pins changed before they were latched after 12 V");
        peChangedAt_ = ns;
    }
    if (state_ == State::Powered && l.xtal1 && !p.xtal1 && !chip_.xtalStopped) {
        ++xtalPulses_;
        if (ns - vccOnAt_ >= tOwnVcc)
            ++settledPulses_;
    }
    if (l.hv && !p.hv && l.vcc && state_ == State::Powered)
        enterProgramming(ns, raw);
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
    if (bs1Changed && !family_.pagelOnBs1 && ns - pagelFallAt_ < tPLBX)
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
        if (!family_.pagelOnBs1)
            latch(ns);
        pagelRiseAt_ = ns;
    }
    if (!l.pagel && p.pagel) {
        if (ns - pagelRiseAt_ < family_.timing.tPHPL)
            rule(ns, "PAGEL high shorter than tPHPL");
        if (family_.pagelOnBs1)
            latch(ns);
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
        validAt_ = ns + family_.timing.tOLDV;
    } else if (!l.oe && (bs1Changed || bs2Changed)) {
        validAt_ = std::max(validAt_, ns + family_.timing.tBVDV);
    }
    if (l.oe && !p.oe)
        releaseAt_ = ns + family_.timing.tOHDZ;
    const bool chipDrives = !l.oe || ns < releaseAt_;
    const bool wasContending = (!p.oe || ns < releaseAt_) && p.dataDriven;
    if (chipDrives && l.dataDriven && !(wasContending && p.dataDriven == l.dataDriven))
        rule(ns, "bus contention: adapter and chip both drive DATA");
}

}  // namespace hvsim
