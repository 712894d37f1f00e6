#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Our tables against avrdude's part list (/etc/avrdude.conf from Debian's avrdude package,
installed as test data): for every device file with a parallel mode, the catalogue's
signature, Flash size and page size; the firmware table's row (page, Flash, entry); the
hvsim model's pins (BS2 on XA1, PAGEL on a line of its own) against the part's
pp_controlstack. avrdude's facts come from Microchip's device descriptions, not from our
beliefs. Every disagreement is either mended or listed below with the datasheet that
decides it; a part avrdude does not know is listed with the reason.

Exits 77 (a skip for CTest) when avrdude.conf is not installed."""

import glob
import os
import re
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, os.pardir)
sys.path.insert(0, os.path.join(TOP, "tools"))
import avrdudeconf  # noqa: E402
import cpucheck  # noqa: E402

CONF = os.environ.get("TARVANE_AVRDUDE_CONF", avrdudeconf.DEFAULT_PATH)
SKIP_CODE = 77

# Parts of our catalogue that avrdude 7.1's list does not hold, and what decides them instead.
NOT_IN_AVRDUDE = {
    "AT90PWM81": "AT90PWM81/161 datasheet: signature 1E 93 88, 8 KB, 64-byte pages, the power-up entry",
    "AT90PWM161": "AT90PWM81/161 datasheet: signature 1E 94 8B, 16 KB, 128-byte pages, the power-up entry",
    "ATmega16M1": "ATmega16M1/32M1/64M1 datasheet: signature 1E 94 84, 16 KB, 128-byte pages",
    "ATmega32C1": "ATmega32C1/64C1 datasheet: signature 1E 95 86, 32 KB, 128-byte pages",
    "ATmega64C1": "ATmega32C1/64C1 datasheet: signature 1E 96 86, 64 KB, 256-byte pages",
    "ATmega16HVB": "not served by this board (no datasheet at hand confirms its entry or supply pin)",
    "ATmega32HVB": "not served by this board (no datasheet at hand confirms its entry or supply pin)",
}

# The firmware enters these with the power-up entry (12 V 20..60 us after VCC, six XTAL1
# pulses before it), which needs the chip freshly powered up; avrdude gives them no power
# toggle (togglevtg) for its STK500, which enters them by the pulses alone.
POWER_UP_WITHOUT_TOGGLE = {
    "ATmega644": "DS40002070A (ATmega164A..1284P), Enter Programming Mode: 12 V 20..60 us after VCC; "
                 "avrdude toggles the siblings 164A/324A/1284 of the same datasheet",
    "ATmega644A": "DS40002070A, as the ATmega644",
    "ATmega644P": "DS40002070A, as the ATmega644",
    "ATmega644PA": "DS40002070A, as the ATmega644",
    "ATmega406": "not served by this board; no datasheet at hand",
}

# Parts without the STK500 entry parameters in avrdude's list.
NO_HV_PARAMETERS = {
    "ATmega163": "ATmega163: avrdude lists no XTAL1 latch cycles; the firmware gives it the ATmega16's own "
                 "entry with six pulses (no datasheet at hand)",
    "ATmega406": "not served by this board",
    "ATtiny1634": "ATtiny1634: avrdude lists no XTAL1 latch cycles; it enters by the power-up window, "
                  "where the firmware's six pulses change nothing",
}
NO_HV_PARAMETERS["ATtiny1634R"] = NO_HV_PARAMETERS["ATtiny1634"]

# Where the model's pins differ from what the part's control stack says.
PIN_EXCEPTIONS = {
    "ATtiny1634": "the desk review of the ATtiny1634 datasheet gives it PAGEL and BS2 pins of their own, like "
                  "the ATtiny828; avrdude 7.1's control stack shares them with BS1 and XA1 as on the "
                  "ATtiny2313. The firmware's waveform serves both wirings, and test_firmware tries both",
}
PIN_EXCEPTIONS["ATtiny1634R"] = PIN_EXCEPTIONS["ATtiny1634"]


def read_catalogue():
    """Device files: name -> (parts, signature, page size, Flash size)."""
    files = {}
    for path in sorted(glob.glob(os.path.join(TOP, "cpu", "*.ini"))):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        value = lambda key: re.search(r"(?m)^%s=(.*)$" % key, text).group(1).strip()  # noqa: E731
        name = value("CPU_Name")
        signature = tuple(int(value("Signature_%03d" % i).lstrip("$"), 16) for i in range(3))
        files[name] = (cpucheck.name_parts(name), signature, int(value("Page_Size")), int(value("Flash_Size")))
    return files


FIRMWARE_ROW = re.compile(r"ROW\((0x[0-9A-Fa-f]{2}), (0x[0-9A-Fa-f]{2}), (\d+), (\d+), ([^)]*)\),\s*/\*\s*([^:*]+)")


def read_firmware():
    """The firmware's device table: signature -> row facts and the parts its comment names."""
    with open(os.path.join(TOP, "firmware", "devices.c"), encoding="utf-8") as f:
        text = f.read()
    rows = {}
    for m in FIRMWARE_ROW.finditer(text):
        flags = m.group(5)
        rows[(0x1E, int(m.group(1), 16), int(m.group(2), 16))] = {
            "page": 1 << int(m.group(3)),
            "flash": int(m.group(4)) * 1024,
            "old": "OLD" in flags,
            "ext": "EXT" in flags,
            "addr_ext": "DEV_ADDR_EXT" in flags,
            "served": "NOT_SERVED" not in flags,
            "names": m.group(6).strip(),
        }
    return rows


MODEL_ROW = re.compile(r'\{"(\w+)", (0x[0-9A-F]{2}), (0x[0-9A-F]{2}), (\d+), (\d+), (true|false), Entry::(\w+), '
                       r"(true|false), (true|false), (true|false),")


def read_model():
    """The hvsim model's own table: signature -> its entry and pins."""
    with open(os.path.join(TOP, "tools", "hvsim", "model.cpp"), encoding="utf-8") as f:
        text = f.read()
    rows = {}
    for m in MODEL_ROW.finditer(text):
        rows[(0x1E, int(m.group(2), 16), int(m.group(3), 16))] = {
            "name": m.group(1),
            "entry": m.group(7),
            "bs2_on_xa1": m.group(9) == "true",
            "pagel_on_bs1": m.group(10) == "true",
        }
    return rows


class AgainstAvrdude(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.parts = avrdudeconf.by_desc(avrdudeconf.load(CONF))
        cls.catalogue = read_catalogue()
        cls.firmware = read_firmware()
        cls.model = read_model()

    def each_part(self):
        """(device file, part, avrdude part or None) for every part of every device file."""
        for name, (parts, _, _, _) in self.catalogue.items():
            self.assertIsNotNone(parts, name)
            for part in parts:
                yield name, part, self.parts.get(part)

    def test_the_tables_are_read_whole(self):
        self.assertGreaterEqual(len(self.catalogue), 98)
        self.assertEqual(len(self.firmware), len({s for _, s, _, _ in self.catalogue.values()}))
        self.assertEqual(len(self.model), len(self.firmware))
        self.assertGreater(len(self.parts), 200)

    def test_every_part_is_known_or_listed(self):
        for name, part, known in self.each_part():
            with self.subTest(part=part):
                if known is None:
                    self.assertIn(part, NOT_IN_AVRDUDE, "%s (%s) is not in avrdude's list" % (part, name))
                else:
                    self.assertNotIn(part, NOT_IN_AVRDUDE, "%s is in avrdude's list now" % part)
                    self.assertTrue(known.has_parallel, "%s: avrdude gives it no parallel mode" % part)

    def test_catalogue_signature_and_sizes(self):
        for name, part, known in self.each_part():
            if known is None:
                continue
            _, signature, page, flash = self.catalogue[name]
            with self.subTest(part=part):
                self.assertEqual(known.signature, signature, "%s: signature" % part)
                self.assertEqual(known.flash_size, flash, "%s: Flash size" % part)
                self.assertEqual(known.flash_page, page, "%s: page size" % part)

    def test_firmware_rows(self):
        for name, part, known in self.each_part():
            row = self.firmware.get(self.catalogue[name][1])
            with self.subTest(part=part):
                self.assertIsNotNone(row, "%s: no firmware row" % name)
                if known is None:
                    continue
                self.assertEqual(row["page"], known.flash_page, "%s: page size" % part)
                self.assertEqual(row["flash"], known.flash_size, "%s: Flash size" % part)
                self.assertEqual(row["addr_ext"], known.flash_size > 128 * 1024, "%s: extended address" % part)
                self.assertEqual(row["ext"], known.memory("efuse") is not None, "%s: extended fuse" % part)

    def test_firmware_comments_name_the_right_parts(self):
        for signature, row in self.firmware.items():
            parts = cpucheck.name_parts(row["names"])
            with self.subTest(row=row["names"]):
                self.assertIsNotNone(parts, row["names"])
                for part in parts:
                    known = self.parts.get(part)
                    if known is None:
                        self.assertIn(part, NOT_IN_AVRDUDE)
                    else:
                        self.assertEqual(known.signature, signature, "%s: the comment's signature" % part)

    def test_entry_style(self):
        """A power-up part needs a fresh power-up (avrdude's togglevtg); an older part's own
        entry pulses XTAL1 (avrdude's latchcycles), and the firmware's six pulses are at
        least as many as avrdude gives, for every served part."""
        for name, part, known in self.each_part():
            if known is None:
                continue
            row = self.firmware[self.catalogue[name][1]]
            toggle = known.number("togglevtg", 0)
            latch = known.number("latchcycles", 0)
            with self.subTest(part=part):
                if not row["old"] and not toggle:
                    self.assertIn(part, POWER_UP_WITHOUT_TOGGLE, "%s: power-up entry, but no power toggle" % part)
                elif part in POWER_UP_WITHOUT_TOGGLE:
                    self.fail("%s is listed as power-up without a toggle, but is not" % part)
                if row["served"] and not latch:
                    self.assertIn(part, NO_HV_PARAMETERS, "%s: avrdude gives no XTAL1 latch cycles" % part)
                self.assertLessEqual(latch, 6, "%s: more XTAL1 pulses than the firmware gives" % part)

    def test_model_pins_against_the_control_stack(self):
        for name, part, known in self.each_part():
            if known is None:
                continue
            model = self.model[self.catalogue[name][1]]
            pins = avrdudeconf.pp_pins(known.numbers("pp_controlstack"))
            with self.subTest(part=part):
                self.assertIsNotNone(pins, "%s: no pp_controlstack" % part)
                bs2_on_xa1, pagel_own_line = pins
                agrees = model["bs2_on_xa1"] == bs2_on_xa1 and model["pagel_on_bs1"] == (not pagel_own_line)
                if part in PIN_EXCEPTIONS:
                    self.assertFalse(agrees, "%s agrees now: drop its exception" % part)
                else:
                    self.assertTrue(agrees, "%s: the model's BS2/PAGEL pins against avrdude's control stack" % part)

    def test_not_served_parts(self):
        """The low-voltage RFA1/RFR2 and the battery-management parts are never written."""
        for signature, row in self.firmware.items():
            model = self.model[signature]
            with self.subTest(part=model["name"]):
                self.assertEqual(row["served"], model["entry"] not in ("LowVoltage", "Unconfirmed"))


class ControlStack(unittest.TestCase):
    """The control-stack reading on the three patterns of avrdude's list."""

    def test_patterns(self):
        own = [0x0E, 0x1E, 0x0F, 0x1F, 0x2E, 0x3E, 0x2F, 0x3F, 0x4E, 0x5E, 0x4F, 0x5F, 0x6E, 0x7E, 0x6F, 0x7F,
               0x66, 0x76, 0x67, 0x77, 0x6A, 0x7A, 0x6B, 0x7B, 0xBE, 0xFD, 0x00, 0x01, 0, 0, 0, 0]
        tiny2313 = [0x0E, 0x1E, 0x0E, 0x1E, 0x2E, 0x3E, 0x2E, 0x3E, 0x4E, 0x5E, 0x4E, 0x5E, 0x6E, 0x7E, 0x6E, 0x7E,
                    0x26, 0x36, 0x66, 0x76, 0x2A, 0x3A, 0x6A, 0x7A, 0x2E, 0xFD, 0x00, 0x01, 0, 0, 0, 0]
        tiny26 = [0xC4, 0xE4, 0xC4, 0xE4, 0xCC, 0xEC, 0xCC, 0xEC, 0xD4, 0xF4, 0xD4, 0xF4, 0xDC, 0xFC, 0xDC, 0xFC,
                  0xC8, 0xE8, 0xD8, 0xF8, 0x4C, 0x6C, 0x5C, 0x7C, 0xEC, 0xBC, 0x00, 0x06, 0, 0, 0, 0]
        self.assertEqual(avrdudeconf.pp_pins(own), (False, True))
        self.assertEqual(avrdudeconf.pp_pins(tiny2313), (True, False))
        self.assertEqual(avrdudeconf.pp_pins(tiny26), (True, False))
        self.assertIsNone(avrdudeconf.pp_pins(None))


class Parser(unittest.TestCase):
    """The reader on a small file of its own: parents, memories, NULL, expressions."""

    TEXT = '''
# a comment with "quotes"
avrdude_conf_version = "7.1";
programmer
    id = "x", "y";
    type = "serbb";
;
part
    desc = "Base";
    id = "b";
    prog_modes = PM_ISP | PM_HVPP;
    signature = 0x1e 0x95 0x0f;
    latchcycles = 5;
    pp_controlstack = 0x0e, 0x1e;
    memory "flash"
        size = 32 * 1024;
        page_size = 128;
    ;
    memory "efuse"
        size = 1;
    ;
;
part parent "b"
    desc = "Child";
    id = "c";
    signature = 0x1e 0x94 0x0b;
    memory "flash"
        size = 0x4000;
        alias "code";
    ;
    memory "efuse" = NULL;
;
'''

    def test_inheritance(self):
        parts = avrdudeconf.parse(self.TEXT)
        base, child = parts["b"], parts["c"]
        self.assertEqual(base.flash_size, 32768)
        self.assertEqual(child.flash_size, 16384)
        self.assertEqual(child.flash_page, 128)
        self.assertEqual(child.signature, (0x1E, 0x94, 0x0B))
        self.assertEqual(child.number("latchcycles"), 5)
        self.assertTrue(child.has_parallel)
        self.assertIsNotNone(base.memory("efuse"))
        self.assertIsNone(child.memory("efuse"))
        self.assertEqual(avrdudeconf.by_desc(parts)["Child"].id, "c")


if __name__ == "__main__":
    if not os.path.isfile(CONF):
        print("test_avrdude: %s is not installed (Debian's avrdude package; scripts/setup.sh installs it): "
              "skipped" % CONF)
        sys.exit(SKIP_CODE)
    unittest.main()
