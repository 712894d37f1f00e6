#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Write the shipped device files (cpu/*.ini) from the avr-libc device headers.

The facts come from the AVR compiler's own preprocessor (avr-gcc -E with
-mmcu=<device>), so the headers' conditionals are resolved the way a build
resolves them.  tools/cpucheck.py checks the result with its own reading of
the headers and shares no code with this script.

Where a device's datasheet contradicts its header, or gives a fact the header
lacks, OVERRIDES below puts the documented value in its place; each one is
written into the file as a "; datasheet:" line with its source, which
cpucheck.py requires before it accepts the departure from the header.

The fuse fields (what a value of CKSEL, BOOTSZ, BODLEVEL ... means) come from
Microchip's device descriptions, extracted once into tools/fusefields.json (the
ATDF captions as they stand); the names written into the files are made from
those captions by the rules of value_name() below. The calibration byte count
is the ATDF's "osccal" address space where fusefields.json has it, and
otherwise the "calibration" memory of avrdude's part list (avrdude.conf).

The device file, as written here (a section or key the older program does not
know is passed over by it, so older files and older programs still agree):

  [configuration]     besides the signature, name, Flash and page size:
    EEPROM_Size=1024        bytes (avr-libc E2END + 1)
    EEPROM_Page_Size=4      bytes (E2PAGESIZE); 0: the EEPROM is written a byte at a time
    Calibration_Size=1      oscillator calibration bytes in the signature row
    Standard_Board=no       only where the standard adapter board must never power the
                            part, with a "; standard board: no, <reason and source>" line;
                            absent means yes
  [fuse-bits], [lock-bits]  as before: one bit per line, NAME|U or NAME|P
  [field-0], [field-1] ...  one field each, numbered from 0 without a gap:
    Name=SUT_CKSEL          the datasheet's name of the field
    Byte=Low                Low, High, Ext or Lock
    Mask=$3F                its bits in that byte
    Caption=Clock           what it sets, short
    Value_22=internal RC oscillator 8 MHz; start-up (power-down/reset) 6 CK/14 CK + 65 ms
                            one line per value the ATDF names; the value is the field's
                            bits packed right-aligned, in two hex digits. A value without
                            a line has no name (the ATDF lists none: reserved codes).
                            A single bit without ATDF values is Value_00=yes (programmed)
                            and Value_01=no.
  [bit-descriptions]
    Low_7=Divide clock by 8 internally   the ATDF's caption of the bit's field

The fields come with a "; fuse fields: <pack>, <ATDF file>, <address>" line; a field
over a bit the header does not name is left out and listed on that line, and so is a field
whose ATDF values contradict the part (FIELD_WITHHELD). A part without fields says why on a
"; fuse fields: none, <reason>" line (NO_FIELDS).

A device whose header lacks one of the facts (and has no override for it) is
skipped and named on stderr.  With --check nothing is written: the folder's
files are compared with what would be written, and any difference fails.
"""

import argparse
import concurrent.futures
import json
import os
import re
import subprocess
import sys

# Devices with a high-voltage parallel programming mode (from their datasheets; avrdude.conf
# marks the same parts with PM_HVPP), the only kind the programmer adapter can serve.  Parts
# that carry one signature share one entry, named "first/second..." with the family prefix
# left off the later names ("ATmega8/8A"), and their number too where only the letters
# differ, as the datasheets' titles write it ("ATmega164P/PA", "ATmega169/P/PA"; the long
# form would not fit the chip list): the chip cannot tell them apart, so one file stands for
# all of them (a second file would never be identified).  The facts come from the first part's
# header; the others' headers must agree on the signature, the Flash and the page size.
DEVICES = [
    # ATmega, the classic families
    "ATmega8/8A", "ATmega16/16A", "ATmega32/32A", "ATmega64/64A", "ATmega128/128A",
    "ATmega8515", "ATmega8535", "ATmega162", "ATmega163",
    "ATmega48/48A", "ATmega48P/PA", "ATmega48PB", "ATmega88/88A", "ATmega88P/PA", "ATmega88PB",
    "ATmega168/168A", "ATmega168P/PA", "ATmega168PB", "ATmega328", "ATmega328P",
    "ATmega164A", "ATmega164P/PA", "ATmega324A", "ATmega324P", "ATmega324PA",
    "ATmega644/644A", "ATmega644P/PA", "ATmega1284", "ATmega1284P",
    "ATmega640", "ATmega1280", "ATmega1281", "ATmega2560", "ATmega2561",
    # ATmega with LCD controller, and their relatives without it
    "ATmega165/165A", "ATmega165P/PA", "ATmega169/P/PA", "ATmega169A",
    "ATmega325/325A", "ATmega325P/PA", "ATmega3250/3250A", "ATmega3250P/PA",
    "ATmega329/329A", "ATmega329P/PA", "ATmega3290/3290A", "ATmega3290P/PA",
    "ATmega645/645A", "ATmega645P", "ATmega6450/6450A", "ATmega6450P",
    "ATmega649/649A", "ATmega649P", "ATmega6490/6490A", "ATmega6490P",
    # ATmega with CAN/LIN and motor control, battery management, USB, radio
    "ATmega16M1", "ATmega32M1", "ATmega64M1", "ATmega32C1", "ATmega64C1",
    "ATmega406", "ATmega16HVB", "ATmega32HVB",
    "ATmega8U2", "ATmega16U2", "ATmega32U2", "ATmega16U4", "ATmega32U4",
    "ATmega128RFA1", "ATmega64RFR2", "ATmega128RFR2", "ATmega256RFR2",
    "ATmega644RFR2", "ATmega1284RFR2", "ATmega2564RFR2",
    # AT90
    "AT90CAN32", "AT90CAN64", "AT90CAN128",
    "AT90USB82", "AT90USB162", "AT90USB646/647", "AT90USB1286/1287",
    "AT90PWM2B/3B", "AT90PWM216/316", "AT90PWM81", "AT90PWM161",
    # ATtiny with a parallel mode
    "ATtiny26", "ATtiny261/261A", "ATtiny461/461A", "ATtiny861/861A",
    "ATtiny2313/2313A", "ATtiny4313", "ATtiny48", "ATtiny88", "ATtiny87", "ATtiny167",
    "ATtiny828/828R", "ATtiny1634/1634R", "ATtiny43U",
]

_FAMILY = re.compile(r"AT(?:mega|tiny|90(?:CAN|USB|PWM))")


def parts(entry):
    """The parts an entry stands for: "ATmega8/8A" gives ATmega8 and ATmega8A, "ATmega169/P/PA"
    ATmega169, ATmega169P and ATmega169PA."""
    first, *others = entry.split("/")
    prefix = _FAMILY.match(first).group(0)
    number = re.match(r"[0-9]+", first[len(prefix):]).group(0)
    return [first] + [prefix + (other if other[0].isdigit() else number + other) for other in others]


def file_name(entry):
    # A "/" cannot stand in a file name; the name shown is the file's CPU_Name.
    return entry.replace("/", "_") + ".ini"


_DFP = ("Microchip ATmega_DFP %s.atdf, %s, "
        "https://github.com/epccs/ATmega_DFP/blob/636b7f44e575dff84929e85bb0401a54c3d64f3f/atdf/%s.atdf")
_CLOCK_644A = ('same family: Atmel ATmega644A datasheet 42716C, 10.2.1 "Default Clock Source": '
               "CKSEL=0010, SUT=10, CKDIV8=0")
_SIG_164 = ('ATmega164A/PA/324A/PA/644A/PA/1284/P datasheet DS40002070A, Table 27-6 "Device and JTAG ID"')


_DFP_M1 = ("Microchip ATmega_DFP %s.atdf, %s, "
           "https://github.com/epccs/ATmega_DFP/blob/555a0c25d25800b5349d7fa94491eff71c04a036/atdf/%s.atdf")
_ATDF_RFA1 = ("Microchip ATmega128RFA1.atdf, fuse LOW initval 0x62, "
              "https://github.com/felias-fogg/avrburn/blob/3f72902c0e816f34e940698f3f34262efa9ea5fb/atdf/ATmega128RFA1.atdf")


def _initvals(device, values, source, atdf=None):
    """Fuse defaults from a Microchip device file; atdf names a sibling's file where the
    device's own was not read (the same datasheet covers both)."""
    atdf = atdf or device
    fields = ", ".join("fuse %s initval 0x%02X" % ({"Low": "LOW", "High": "HIGH", "Ext": "EXTENDED"}[w], v)
                       for w, v in values)
    text = source % (atdf, fields, atdf)
    if atdf != device:
        text = "same datasheet as the %s: %s" % (atdf, text)
    return [(what, value, text) for what, value in values]


def _low_62(device):
    return ("Low", 0x62, "%s; %s" % (_DFP % (device, "fuse LOW initval 0x62", device), _CLOCK_644A))


def _sig_dfp(device, middle, last):
    # avr-libc gives these the signature of a sibling (mostly the part without the P), which
    # has its own file.
    return ("Signature", (0x1E, middle, last), _DFP % (device, "SIGNATURE1..2 0x%02x 0x%02x" % (middle, last), device))


# Facts in which avr-libc's headers disagree with the device documentation
# (or say nothing): (what, value, source).  what is Low, High or Ext (a fuse
# default), Signature (three bytes), Bootlock (the device has no boot lock
# bits) or Page (Flash page size in bytes).
OVERRIDES = {
    "ATmega164A": [
        _low_62("ATmega164A"),
        ("Signature", (0x1E, 0x94, 0x0F), "%s: ATmega164A 0x1E 0x94 0x0F; %s" % (
            _SIG_164, _DFP % ("ATmega164A", "SIGNATURE2 0x0f", "ATmega164A"))),
    ],
    "ATmega164P": [
        _low_62("ATmega164P"),
        ("Signature", (0x1E, 0x94, 0x0A), "%s; %s: ATmega164PA 0x1E 0x94 0x0A" % (
            _DFP % ("ATmega164P", "SIGNATURE2 0x0a", "ATmega164P"), _SIG_164)),
    ],
    "ATmega644": [_low_62("ATmega644")],
    "ATmega644P": [_low_62("ATmega644P")],
    "ATmega1284P": [
        _low_62("ATmega1284P"),
        ("High", 0x99, "%s; %s" % (
            _DFP % ("ATmega1284P", "fuse HIGH initval 0x99 (BOOTSZ 00, largest boot section)", "ATmega1284P"),
            'same family: Atmel ATmega644A datasheet 42716C, Table 28-6 "Fuse High Byte. (0x99)"')),
    ],
    "ATmega8535": [
        ("Low", 0xE1, _DFP % ("ATmega8535", 'fuse LOW initval 0xE1, SUT_CKSEL 0x21 "Int. RC Osc. 1 MHz; '
                              'Start-up time: 6 CK + 64 ms; default value"', "ATmega8535")),
    ],
    "ATmega48P": [
        ("Bootlock", None,
         'ATmega48P/88P/168P/328P datasheet 8025I, 25.1 "Program And Data Memory Lock Bits": the ATmega48P '
         'has no separate Boot Loader section, Table 25-1 BLB12..BLB01 "Only on ATmega88P/168P/328P", '
         "https://manualshive.com/en/manual/atmel/avr-atmega328p/avr-atmega328p_manual_3003225-294.html"),
    ],
    "ATmega325P": [_sig_dfp("ATmega325P", 0x95, 0x0D)],
    "ATmega3250P": [_sig_dfp("ATmega3250P", 0x95, 0x0E)],
    "ATmega3290P": [_sig_dfp("ATmega3290P", 0x95, 0x0C)],
    "ATmega645P": [_sig_dfp("ATmega645P", 0x96, 0x0D)],
    "ATmega169A": [_sig_dfp("ATmega169A", 0x94, 0x11)],
    "ATmega165": [
        ("Signature", (0x1E, 0x94, 0x10),
         "avrdude 7.1 avrdude.conf, parts ATmega165 and ATmega165A: signature 0x1e 0x94 0x10, interfaces "
         "PM_HVPP; avr-libc's own iom165a.h agrees, "
         "https://github.com/avrdudes/avrdude/blob/v7.1/src/avrdude.conf.in"),
    ],
    # OSCSEL1:0 leave the factory as 01; avr-libc has 10.
    "ATmega16HVB": _initvals("ATmega16HVB", [("Low", 0xDD)], _DFP),
    "ATmega32HVB": _initvals("ATmega32HVB", [("Low", 0xDD)], _DFP, "ATmega16HVB"),
    "AT90PWM81": _initvals("AT90PWM81", [("Ext", 0xFD)], _DFP),
    "ATmega6450P": [_sig_dfp("ATmega6450P", 0x96, 0x0E)],
    "ATmega6490P": [_sig_dfp("ATmega6490P", 0x96, 0x0C)],
    "AT90USB82": [
        ("Signature", (0x1E, 0x93, 0x82), _DFP % ("AT90USB82", "SIGNATURE0..2 0x1e 0x93 0x82, interfaces ISP, HVPP",
                                                  "AT90USB82")),
    ],
    # avr-libc gives these families CKSEL=0001 or a programmed CKOUT where the parts leave
    # the factory on the internal RC oscillator (USB parts: the crystal) with CKDIV8.
    "ATmega324PA": [_low_62("ATmega324PA")],
    "ATmega128RFA1": [("Low", 0x62, _ATDF_RFA1)],
    "ATmega8U2": _initvals("ATmega8U2", [("Low", 0x5E), ("Ext", 0xF4)], _DFP, "ATmega16U2"),
    "ATmega16U2": _initvals("ATmega16U2", [("Low", 0x5E), ("Ext", 0xF4)], _DFP),
    "ATmega32U2": _initvals("ATmega32U2", [("Low", 0x5E), ("Ext", 0xF4)], _DFP),
    "ATmega16U4": _initvals("ATmega16U4", [("Low", 0x52), ("Ext", 0xFB)], _DFP),
    "ATmega32U4": _initvals("ATmega32U4", [("Low", 0x52), ("High", 0x99), ("Ext", 0xFB)], _DFP),
    "ATmega16M1": _initvals("ATmega16M1", [("Low", 0x62), ("Ext", 0xFF)], _DFP_M1, "ATmega32M1"),
    "ATmega32M1": _initvals("ATmega32M1", [("Low", 0x62), ("Ext", 0xFF)], _DFP_M1),
    "ATmega64M1": _initvals("ATmega64M1", [("Low", 0x62), ("Ext", 0xFF)], _DFP_M1, "ATmega32M1"),
    "ATmega32C1": _initvals("ATmega32C1", [("Low", 0x62), ("Ext", 0xFF)], _DFP_M1, "ATmega64C1"),
    "ATmega64C1": _initvals("ATmega64C1", [("Low", 0x62), ("Ext", 0xFF)], _DFP_M1),
    "ATtiny4313": [
        ("Low", 0x64,
         'ATtiny2313A/ATtiny4313 datasheet (Atmel 8246), "Default Clock Source": the device is shipped '
         'with CKSEL = "0100" (calibrated internal RC oscillator, 8 MHz), SUT = "10" and CKDIV8 '
         "programmed, a low fuse byte of 0x64, as on the ATtiny2313, https://www.microchip.com/en-us/product/ATtiny4313"),
    ],
    "ATtiny26": [
        ("Page", 32,
         "Microchip ATtiny26.atdf, FLASH pagesize 0x20, interfaces ISP and HVPP, "
         "https://github.com/dwtk/devices/blob/acd12d7aef65d6ad700e239cbd8b51bf51021267/atdf/ATtiny26.atdf; "
         "ATtiny26(L) datasheet 1477K, SPI Serial Programming Algorithm: a page is addressed by the 4 LSB "
         "of the word address (16 words), http://hkdtupc.cn/mq80c52cxxx-36scd_datasheet_2377054_27.html"),
    ],
}


def note_line(what, value):
    if what in ("Low", "High", "Ext"):
        fact = "%s default $%02X" % (what, value)
    elif what == "Signature":
        fact = "Signature %02X %02X %02X" % value
    elif what == "Bootlock":
        fact = "no boot lock bits"
    elif what == "Page":
        fact = "Page size %d" % value
    else:
        raise ValueError("unknown override %r" % what)
    return fact


# A device header closes the definitions of each fuse byte with that byte's
# default; the bits defined since the previous default belong to it.
DEFAULT_MACROS = {"LFUSE_DEFAULT": "Low_", "HFUSE_DEFAULT": "High_", "EFUSE_DEFAULT": "Ext_"}
LOCK_MACROS = (("LB_MODE_1", ("LB1", "LB2")), ("BLB0_MODE_1", ("BLB01", "BLB02")),
               ("BLB1_MODE_1", ("BLB11", "BLB12")))


# Parts that the standard adapter board must never power: it puts 5 V on VCC and 12 V on RESET,
# which these parts do not take. Absent from this table means the board serves the part.
_RF_SUPPLY = ("1.8-3.6 V supply, and parallel programming is entered without 12 V on RESET "
              "(ATmega128RFA1 datasheet 8266A, 31.7.1 \"Enter Programming Mode\")")
_HV_BATTERY = ("entry and supply pin unconfirmed: avrdude's part list enters parallel programming with 6 XTAL1 "
               "pulses and no power toggle, and the part runs from a 4-25 V battery supply")
NO_STANDARD_BOARD = {
    "ATmega128RFA1": _RF_SUPPLY,
    "ATmega64RFR2": _RF_SUPPLY + ", as on its sibling the ATmega128RFA1",
    "ATmega128RFR2": _RF_SUPPLY + ", as on its sibling the ATmega128RFA1",
    "ATmega256RFR2": _RF_SUPPLY + ", as on its sibling the ATmega128RFA1",
    "ATmega644RFR2": _RF_SUPPLY + ", as on its sibling the ATmega128RFA1",
    "ATmega1284RFR2": _RF_SUPPLY + ", as on its sibling the ATmega128RFA1",
    "ATmega2564RFR2": _RF_SUPPLY + ", as on its sibling the ATmega128RFA1",
    "ATmega406": _HV_BATTERY,
    # One line each: once the firmware confirms how the HVB parts enter programming, drop them.
    "ATmega16HVB": _HV_BATTERY,
    "ATmega32HVB": _HV_BATTERY,
}

# The first part of an entry has no device description of its own in Microchip's packs (the
# part is discontinued); its successor, described by the same datasheet, stands in.
FIELD_SOURCE = {"ATmega165": "ATmega165A", "ATmega169": "ATmega169P"}
# The part has a device description of its own, but it was not read (the look-ups it takes are
# rationed); a sibling described by the same datasheet stands in, and the file says so.
FIELD_STAND_IN = {"ATtiny48": "ATtiny88", "ATtiny87": "ATtiny167",
                  "ATtiny261": "ATtiny861", "ATtiny461": "ATtiny861"}
# Fields whose ATDF values contradict the part itself: a name that is wrong is worse than none,
# so the field is left out and the file gives the reason.
FIELD_WITHHELD = {
    "AT90PWM161": {"BOOTSZ": "its ATDF gives the AT90PWM81's boot sections, from word $0F80 down to $0C00, "
                             "which lie in the first half of this part's 8K-word Flash, not at its end"},
    "AT90USB82": {"BOOTSZ": "its ATDF gives the AT90USB162's boot sections, from word $1F00 down to $1800, "
                            "which lie beyond this part's 4K-word Flash"},
    "AT90USB646": {"BOOTSZ": "its ATDF's sizes and start addresses do not fit the 32K-word Flash: 512 words "
                             "from word $7F00, 2408 words from $7C00"},
}
# Parts without fuse fields, and why; the file says so on its "; fuse fields: none, ..." line.
NO_FIELDS = {
    "ATmega163": ("the part is in none of Microchip's device family packs, so no device description (ATDF) "
                  "names its values, no copy of its datasheet was at hand, and avrdude's part list names the "
                  "bits only"),
}

FIELD_FACTS = {"parts": {}, "values": {}}
CALIBRATION = {}
FUSEFIELDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fusefields.json")
_BYTES = {"LOW": "Low", "HIGH": "High", "EXTENDED": "Ext", "LOCKBIT": "Lock"}
_BYTE_PREFIX = {"Low": "Low_", "High": "High_", "Ext": "Ext_", "Lock": "Lock_"}

# Short captions for the fields the window and the command line name most often; any other
# field keeps the ATDF's caption.
FIELD_CAPTIONS = {
    "PLLCK_SUT_CKSEL": "Clock", "SUT_CKSEL": "Clock", "CKSEL_SUT": "Clock", "CKSEL": "Clock", "SUT": "Start-up time",
    "BOOTSZ": "Boot size",
    "BODLEVEL": "Brown-out level", "CKDIV8": "Divide clock by 8", "CKOUT": "Clock output",
    "BODPD": "Brown-out detector in sleep", "BODACT": "Brown-out detector when active",
    "LB": "Lock mode", "BLB0": "Application section lock", "BLB1": "Boot section lock",
}

# Rules that turn an ATDF value caption into a short name; applied in this order.
_NAME_RULES = [
    (r";\s*default value\s*$", ""),                 # the factory value is known from the file's flags
    (r";\s*\[(?:[A-Z0-9_]+=[01]+\s*)+\]?\s*$", ""),  # "[BODLEVEL=111]", "[CKSEL=0010 SUT=10]": the bits, shown anyway
    (r"\s+", " "),
    (r"^Int\. RC Osc\.", "internal RC oscillator"),
    (r"^Int\. (\d+) ?kHz RC Osc\.", r"internal \1 kHz RC oscillator"),
    (r"^Ext\. Clock", "external clock"),
    (r"^PLL Clock", "PLL clock"),
    (r"^WD\. Osc\.", "watchdog oscillator"),
    (r"^Int\. ULP Osc\.", "internal ultra-low-power oscillator"),
    (r"^Ext\. Ceramic Res\.", "external ceramic resonator"),
    (r"^Ext\. RC Osc\.", "external RC oscillator"),
    (r"^Ext\. Crystal Osc\.", "external crystal"),
    (r"^Ext\. Low-Freq\. Crystal", "external low-frequency crystal"),
    (r"^Ext\. Full-swing Crystal", "external full-swing crystal"),
    (r"^Full Swing Oscillator", "full-swing crystal oscillator"),
    (r"^Ext\. Crystal/Resonator (Low|Medium|High) Freq\.", lambda m: "external crystal/resonator, %s frequency" % m.group(1).lower()),
    (r"PLL input: Ext\. Clock", "PLL input: external clock"),
    (r"PLL input: Ext\. Crystal Osc\.", "PLL input: external crystal"),
    (r"(\d) ?kHz", r"\1 kHz"),
    (r"CK /(\d)", r"CK/\1"),
    (r"(\d+(?:\.\d+)?) ?MHz ?- ?(\d+(?:\.\d+)?) ?MHz", r"\1-\2 MHz"),
    (r" - ?(\d+(?:\.\d+)?) MHz", r" up to \1 MHz"),
    (r" (\d+(?:\.\d+)?)- ?MHz", r" from \1 MHz"),
    (r"; Start-up time PWRDWN/RESET: ", "; start-up (power-down/reset) "),
    (r"; Start-up time: ", "; start-up "),
    (r"^Start-up time:? ", "start-up "),            # the battery parts' SUT alone
    (r"; Int\. Cap\.", "; internal capacitors"),
    (r"; Ceramic res\.", "; ceramic resonator"),
    (r"; Crystal Osc\.", "; crystal"),
    (r"^Boot Flash ?size=(\d+) words (?:Boot )?(?:start )?address=\$([0-9A-F]+)$", r"\1 words from word address $\2"),
    (r"^Brown-out [Dd]etection (?:level )?at VCC=([\d.]+) ?V$", r"\1 V"),
    (r"^Brown-out [Dd]etection [Dd]isabled$", "disabled"),
    (r"^Further programming and verification disabled$", "programming and verification disabled"),
    (r"^Further programming disabled$", "programming disabled"),
    (r"^No memory lock features enabled$", "no lock"),
    (r"^(Sampled|Enabled|Disabled)$", lambda m: m.group(1).lower()),
    (r"^No lock on SPM and LPM in (Application|Boot) Section$", "no lock"),
    (r"^(LPM and SPM|LPM|SPM) prohibited in (Application|Boot) Section$", r"\1 prohibited"),
]


def value_name(caption):
    """The short name of an ATDF value caption."""
    text = caption.strip()
    for pattern, repl in _NAME_RULES:
        text = re.sub(pattern, repl, text).strip()
    return text


def bit_caption(caption):
    """An ATDF bitfield caption, tidied: blanks collapsed, the programmed state ("; [CKDIV8=0]", which
    a single bit's value names say anyway) and a stray closing bracket dropped."""
    text = re.sub(r"\s+", " ", caption).strip()
    text = re.sub(r";\s*\[[A-Z0-9_]+=[01]+\]$", "", text).rstrip()
    if text.endswith("]") and "[" not in text:
        text = text[:-1].rstrip()
    return text


def packed_value(value, mask, part="", field=""):
    """An ATDF value as the file writes it: the field's bits packed right-aligned. The ATDF
    shifts a value by the mask's lowest bit, so for a mask with a gap (the ATtiny26's PLLCK,
    SUT and CKSEL, $BF) its values are the masked bits themselves."""
    lsb = (mask & -mask).bit_length() - 1
    raw = value << lsb
    if raw & ~mask & 0xFF or raw > 0xFF:
        raise Skip("%s field %s: value 0x%02X lies outside its mask 0x%02X" % (part, field, value, mask))
    packed, out = 0, 0
    for bit in range(8):
        if mask >> bit & 1:
            packed |= (raw >> bit & 1) << out
            out += 1
    return packed


def load_fields(path=FUSEFIELDS):
    with open(path, encoding="ascii") as f:
        return json.load(f)


def field_lines(part, facts, named_bits, factory):
    """The [field-N] and [bit-descriptions] sections and the comment naming the source, for
    the ATDF facts of one part. named_bits: {"Low": {bit: name}, ...} from the header;
    factory: {"Low": byte, ...}, the factory bytes the file gives."""
    source = facts["parts"][part]
    fields = []
    left_out = []
    withheld = FIELD_WITHHELD.get(part, {})
    for register in sorted(source["registers"], key=lambda r: list(_BYTES).index(r["name"])):
        byte = _BYTES[register["name"]]
        for f in register["fields"]:
            mask = int(f["mask"], 16)
            width = bin(mask).count("1")
            if f["name"] in withheld:
                left_out.append("%s (%s)" % (f["name"], withheld[f["name"]]))
                continue
            missing = [b for b in range(8) if mask >> b & 1 and b not in named_bits.get(byte, {})]
            if missing:
                # The bit panel shows only the bits avr-libc names; a field over a bit it lacks could
                # never be set from the panel, so the field is left out and the file says so.
                left_out.append("%s (%s bit %s: the header names no such bit)"
                                % (f["name"], byte, ", ".join(map(str, missing))))
                continue
            if "values" in f:
                values = [(packed_value(int(v, 16), mask, part, f["name"]), value_name(c))
                          for v, c in facts["values"][f["values"]]]
                # Where the ATDF gives two values the same caption, each keeps its bits, so that
                # a change between them never reads as no change.
                names = [name for _, name in values]
                values = [(v, name if names.count(name) == 1 else "%s (bits %s)" % (name, format(v, "0%db" % width)))
                          for v, name in values]
            elif width == 1:
                # A single fuse bit does what its caption says when it is programmed (0).
                values = [(0, "yes"), (1, "no")]
            else:
                raise Skip("%s field %s has %d bits and no values" % (part, f["name"], width))
            at_factory = sum((factory[byte] >> b & 1) << k for k, b in enumerate(b for b in range(8) if mask >> b & 1))
            if at_factory not in dict(values):
                # A field whose factory setting its ATDF does not name could not say what a new
                # chip holds; it is left out, and the file says so.
                left_out.append("%s (factory value %s, which the ATDF names not)"
                                % (f["name"], format(at_factory, "0%db" % width)))
                continue
            fields.append((f, byte, mask, values))
    lines = []
    descriptions = {}
    for n, (f, byte, mask, values) in enumerate(fields):
        caption = FIELD_CAPTIONS.get(f["name"], bit_caption(f["caption"]))
        lines += ["", "[field-%d]" % n, "Name=%s" % f["name"], "Byte=%s" % byte, "Mask=$%02X" % mask,
                  "Caption=%s" % caption]
        lines += ["Value_%02X=%s" % (v, name) for v, name in sorted(values)]
        bits = [b for b in range(8) if mask >> b & 1]
        for k, b in enumerate(bits):
            text = bit_caption(f["caption"])
            if len(bits) > 1:
                text = "%s (%s bit %d)" % (text, f["name"], k)
            descriptions[(byte, b)] = text
    lines += ["", "[bit-descriptions]"]
    for byte in ("Low", "High", "Ext", "Lock"):
        for b in range(8):
            if (byte, b) in descriptions:
                lines.append("%s%d=%s" % (_BYTE_PREFIX[byte], b, descriptions[(byte, b)]))
    atdf = source["atdf"]
    note = ("; fuse fields: Microchip %s, %s (modules FUSE and LOCKBIT), https://github.com/%s/blob/%s/%s; "
            "names shortened from its captions by tools/cpugen.py" % (atdf["pack"], atdf["path"], atdf["repo"],
                                                                     atdf["commit"], atdf["path"]))
    if left_out:
        note += "; left out: %s" % ", ".join(left_out)
    return note, lines


def avrdude_calibration(path):
    """{part description: calibration memory size} from an avrdude.conf, parents resolved."""
    try:
        with open(path, encoding="latin-1") as f:
            text = f.read()
    except OSError:
        return {}
    blocks = {}
    for m in re.finditer(r"^part(?:\s+parent\s+\"([^\"]+)\")?\s*$(.*?)^;", text, re.M | re.S):
        body = m.group(2)
        ident = re.search(r"^\s*id\s*=\s*\"([^\"]+)\"", body, re.M)
        desc = re.search(r"^\s*desc\s*=\s*\"([^\"]+)\"", body, re.M)
        cal = re.search(r"memory\s+\"calibration\"(.*?)^\s*;", body, re.M | re.S)
        size = re.search(r"^\s*size\s*=\s*(\w+)", cal.group(1), re.M) if cal else None
        if ident:
            blocks[ident.group(1)] = (m.group(1), desc.group(1) if desc else None,
                                      int(size.group(1), 0) if size else None)

    def resolve(ident, depth=0):
        parent, _, size = blocks[ident]
        if size is None and parent in blocks and depth < 8:
            return resolve(parent, depth + 1)
        return size
    return {desc: resolve(ident) for ident, (_, desc, _) in blocks.items() if desc}


class Skip(Exception):
    pass


CC = "avr-gcc"


def preprocess(mcu, include, source, *flags):
    cmd = [CC, "-mmcu=" + mcu, "-isystem", include, "-E", *flags, "-x", "c", "-"]
    try:
        result = subprocess.run(cmd, input=source, capture_output=True, text=True)
    except OSError as e:
        raise SystemExit("cannot run %s: %s" % (CC, e.strerror))
    if result.returncode != 0:
        raise Skip("%s -mmcu=%s failed: %s" % (CC, mcu, result.stderr.strip().splitlines()[-1:]))
    return result.stdout


def definitions(mcu, include):
    """(file, name, body) for every #define, in the order the preprocessor meets them."""
    out = preprocess(mcu, include, "#include <avr/io.h>\n", "-dD")
    current = None
    found = []
    for line in out.splitlines():
        marker = re.match(r'# \d+ "([^"]+)"', line)
        if marker:
            current = os.path.basename(marker.group(1))
            continue
        m = re.match(r"#define (\w+)(?:\s+(.*))?$", line)
        if m:
            found.append((current, m.group(1), (m.group(2) or "").strip()))
    return found


def evaluate(mcu, include, names):
    """Expands the macros with the real preprocessor and evaluates them as C would."""
    # Each macro goes on a line of its own behind a numbered marker, which no
    # macro can expand.
    source = "#include <avr/io.h>\n" + "".join("@%d@ %s\n" % (i, n) for i, n in enumerate(names))
    values = {}
    for line in preprocess(mcu, include, source, "-P").splitlines():
        m = re.match(r"@(\d+)@ (.*)$", line)
        if not m:
            continue
        name = names[int(m.group(1))]
        text = m.group(2).replace("(unsigned char)", "0xFF&")
        text = re.sub(r"\b(0[xX][0-9A-Fa-f]+|\d+)[uUlL]+\b", r"\1", text)
        if not re.fullmatch(r"[0-9A-Fa-fxX\s()~&|<>+*-]+", text):
            raise Skip("cannot evaluate %s = %s" % (name, m.group(2)))
        values[name] = eval(text, {"__builtins__": {}})  # only numbers and operators
    lost = [n for n in names if n not in values]
    if lost:
        raise Skip("the preprocessor gave no value for %s" % ", ".join(lost))
    return values


def same_as_header(what, overrides, header_value):
    """The override's value; one that only repeats the header is refused, as the checker refuses it."""
    value = overrides[what][0]
    if value == header_value:
        raise Skip("override %s repeats the header's value; drop it from OVERRIDES" % what)
    return value


def same_memory(entry, include, signature, values):
    """Refuses an entry whose later parts' headers give another Flash or page size.

    A later part whose header gives another signature is only named: avr-libc has copied
    the signature of a sibling into some headers (ATmega329PA has the ATmega329's), and
    the file follows the first part's documented signature."""
    facts = ["FLASHEND", "SPM_PAGESIZE"]
    for part in parts(entry)[1:]:
        try:
            theirs = evaluate(part.lower(), include, facts + ["SIGNATURE_0", "SIGNATURE_1", "SIGNATURE_2"])
        except Skip:
            continue  # no usable header of its own: the datasheet's word that it shares the signature stands
        for fact in facts:
            if fact in values and theirs[fact] != values[fact]:
                raise Skip("%s gives %s = %#x, but %s %#x" % (part, fact, theirs[fact], parts(entry)[0], values[fact]))
        theirs_sig = tuple(theirs["SIGNATURE_%d" % n] & 0xFF for n in range(3))
        if theirs_sig != tuple(signature):
            print("note %s: avr-libc gives the %s the signature %s; the file has %s" % (
                entry, part, " ".join("%02X" % b for b in theirs_sig), " ".join("%02X" % b for b in signature)),
                file=sys.stderr)


def describe(entry, include):
    name = parts(entry)[0]
    overrides = {what: (value, source) for what, value, source in OVERRIDES.get(name, [])}
    mcu = name.lower()
    defs = definitions(mcu, include)
    defined = {n for _, n, _ in defs}
    device_headers = [f for f, _, _ in defs if f and f.startswith("io") and f != "io.h"]
    if not device_headers:
        raise Skip("avr/io.h selects no device header for -mmcu=%s" % mcu)
    header = device_headers[0]

    groups = {}
    pending = []
    for file, macro, _ in defs:
        if not (file and file.startswith("io") and file != "io.h"):
            continue
        if macro in DEFAULT_MACROS:
            groups[DEFAULT_MACROS[macro]] = pending
            pending = []
        elif macro.startswith("FUSE_") and macro != "FUSE_MEMORY_SIZE":
            pending.append(macro)
    if pending:
        raise Skip("fuse bits %s are followed by no xFUSE_DEFAULT" % ", ".join(pending))

    facts = ["SIGNATURE_0", "SIGNATURE_1", "SIGNATURE_2", "SPM_PAGESIZE", "FLASHEND", "LOCKBITS_DEFAULT"]
    if "SPM_PAGESIZE" not in defined and "Page" in overrides:
        facts.remove("SPM_PAGESIZE")
    if "SIGNATURE_0" not in defined and "Signature" in overrides:
        facts = facts[3:]
    missing = [f for f in facts if f not in defined]
    if missing:
        raise Skip("%s defines no %s" % (header, ", ".join(missing)))
    bit_macros = [m for bits in groups.values() for m in bits]
    default_for = {prefix: macro for macro, prefix in DEFAULT_MACROS.items()}
    eeprom = [m for m in ("E2END", "E2PAGESIZE") if m in defined]
    values = evaluate(mcu, include, facts + eeprom + bit_macros + [default_for[p] for p in groups])

    if "SIGNATURE_0" in values:
        signature = tuple(values["SIGNATURE_%d" % n] & 0xFF for n in range(3))
        if "Signature" in overrides:
            signature = same_as_header("Signature", overrides, signature)
    else:
        signature = overrides["Signature"][0]
    page = values.get("SPM_PAGESIZE")
    same_memory(entry, include, signature, values)
    if "Page" in overrides:
        page = same_as_header("Page", overrides, page)

    fuse_lines = []
    named_bits = {}
    factory = {}
    for prefix in ("Low_", "High_", "Ext_"):
        if prefix not in groups:
            continue
        reference = values[default_for[prefix]] & 0xFF
        what = prefix[:-1]
        if what in overrides:
            reference = same_as_header(what, overrides, reference)
        names = {}
        for macro in groups[prefix]:
            cleared = ~values[macro] & 0xFF
            if cleared == 0 or cleared & (cleared - 1):
                raise Skip("%s does not clear exactly one bit" % macro)
            bit = cleared.bit_length() - 1
            if bit in names:
                raise Skip("%s and %s share a bit" % (names[bit], macro))
            names[bit] = macro[len("FUSE_"):]
        for bit in sorted(names):
            fuse_lines.append("%s%d=%s|%s" % (prefix, bit, names[bit], "U" if reference >> bit & 1 else "P"))
        named_bits[what] = names
        factory[what] = reference

    lock_lines = []
    lock_default = values["LOCKBITS_DEFAULT"]
    bit = 0
    for macro, pair in LOCK_MACROS:
        for lock_name in pair:
            if macro in defined and not (lock_name.startswith("BLB") and "Bootlock" in overrides):
                lock_lines.append("Lock_%d=%s|%s" % (bit, lock_name, "U" if lock_default >> bit & 1 else "P"))
                named_bits.setdefault("Lock", {})[bit] = lock_name
            bit += 1
    factory["Lock"] = lock_default & 0xFF

    if "Bootlock" in overrides and not any(m in defined for m, _ in LOCK_MACROS[1:]):
        raise Skip("override Bootlock, but %s lists no boot lock bits" % header)
    notes = ["; datasheet: %s (%s)" % (note_line(what, value), source)
             for what, value, source in OVERRIDES.get(name, [])]

    extra_config = []
    if "E2END" in values:
        extra_config.append("EEPROM_Size=%d" % (values["E2END"] + 1))
        extra_config.append("EEPROM_Page_Size=%d" % values.get("E2PAGESIZE", 0))
    atdf_part = FIELD_SOURCE.get(name, FIELD_STAND_IN.get(name, name))
    atdf = FIELD_FACTS["parts"].get(atdf_part)
    memory_note = "; EEPROM: avr-libc's E2END and E2PAGESIZE"
    if atdf is not None and atdf.get("osccal") is not None:
        extra_config.append("Calibration_Size=%d" % atdf["osccal"])
        memory_note += "; Calibration_Size: the ATDF's osccal address space (%s)" % atdf["atdf"]["path"]
    elif CALIBRATION.get(name) is not None:
        extra_config.append("Calibration_Size=%d" % CALIBRATION[name])
        memory_note += "; Calibration_Size: the calibration memory of avrdude's part list (avrdude.conf)"
    if name in NO_STANDARD_BOARD:
        extra_config.append("Standard_Board=no")
        notes.append("; standard board: no, %s" % NO_STANDARD_BOARD[name])
    field_section = []
    if atdf is not None:
        field_note, field_section = field_lines(atdf_part, FIELD_FACTS, named_bits, factory)
        if name in FIELD_SOURCE:
            field_note += ("; the %s has no device description of its own, the %s (same datasheet) stands in"
                           % (name, atdf_part))
        elif atdf_part != name:
            field_note += ("; the %s's own device description was not read, the %s's (same datasheet) stands in"
                           % (name, atdf_part))
        notes.append(field_note)
        notes.append("; [field-N]: Byte (Low, High, Ext, Lock), Mask, Caption and Value_XX=name, XX the field's "
                     "bits packed right-aligned in hex (one bit: 00 programmed, 01 not); a value without a "
                     "line has no name; [bit-descriptions]: what each bit does")
    elif name in NO_FIELDS:
        notes.append("; fuse fields: none, %s" % NO_FIELDS[name])
    notes.append(memory_note)

    return "\n".join([
        "; %s: device facts from avr-libc's avr/%s (written by tools/cpugen.py, checked by tools/cpucheck.py)"
        % (name, header) + ("; the datasheet lines below override it" if OVERRIDES.get(name) else ""),
        *notes,
        *(["; stands for the %s, which carry the same signature" % " and the ".join(parts(entry))]
          if len(parts(entry)) > 1 else []),
        "[configuration]",
        "Signature_000=$%02X" % signature[0],
        "Signature_001=$%02X" % signature[1],
        "Signature_002=$%02X" % signature[2],
        "CPU_Name=%s" % entry,
        "Page_Size=%d" % page,
        "Flash_Size=%d" % (values["FLASHEND"] + 1),
        *extra_config,
        "",
        "[fuse-bits]",
        *fuse_lines,
        "",
        "[lock-bits]",
        *lock_lines,
        *field_section,
        "",
    ])


def main():
    global CC
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default=os.path.join(here, os.pardir, "cpu"), help="device file folder")
    parser.add_argument("--include", default="/usr/lib/avr/include", help="avr-libc include folder")
    parser.add_argument("--cc", default=CC, help="the AVR compiler whose preprocessor reads the headers")
    parser.add_argument("--fields", default=FUSEFIELDS, help="the ATDF facts (fuse fields, osccal) as JSON")
    parser.add_argument("--avrdude-conf", default="/etc/avrdude.conf",
                        help="avrdude's part list, for calibration byte counts the ATDF facts lack")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; fail unless the folder holds exactly the files that would be written")
    args = parser.parse_args()
    CC = args.cc
    global FIELD_FACTS, CALIBRATION
    FIELD_FACTS = load_fields(args.fields)
    CALIBRATION = avrdude_calibration(args.avrdude_conf)
    written = 0
    differ = 0
    expected = set()
    def attempt(name):
        try:
            return describe(name, args.include), None
        except Skip as e:
            return None, e

    # Each device costs a few runs of the compiler, which wait on their own processes.
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(2, os.cpu_count() or 1)) as pool:
        results = list(pool.map(attempt, DEVICES))
    for name, (text, skipped) in zip(DEVICES, results):
        if skipped:
            print("skipped %s: %s" % (name, skipped), file=sys.stderr)
            continue
        path = os.path.join(args.out, file_name(name))
        expected.add(file_name(name))
        if args.check:
            try:
                with open(path, "rb") as f:
                    same = f.read() == text.encode("ascii")
            except OSError:
                same = False
            if not same:
                differ += 1
                print("differs: %s" % path)
            continue
        with open(path, "w", newline="\n") as f:
            f.write(text)
        written += 1
        print("wrote %s.ini" % name)
    if args.check:
        for stray in sorted(f for f in os.listdir(args.out) if f.endswith(".ini") and f not in expected):
            differ += 1
            print("not generated: %s" % os.path.join(args.out, stray))
        print("%d device files compared, %d differ" % (len(expected), differ))
        return 1 if differ else 0
    print("%d device files written" % written)
    return 0


if __name__ == "__main__":
    sys.exit(main())
