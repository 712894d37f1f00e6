#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The catalogue checker's rules for shared names, run on device files made for the purpose."""

import os
import re
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tools"))
import cpucheck  # noqa: E402
import cpugen  # noqa: E402

INCLUDE = os.environ.get("TARVANE_AVR_INCLUDE", "/usr/lib/avr/include")
CPU = os.path.join(HERE, os.pardir, "cpu")


class NameParts(unittest.TestCase):
    def test_names(self):
        cases = {
            "ATmega8": ["ATmega8"],
            "ATmega8/8A": ["ATmega8", "ATmega8A"],
            "ATmega164P/PA": ["ATmega164P", "ATmega164PA"],
            "ATmega169/P/PA": ["ATmega169", "ATmega169P", "ATmega169PA"],
            "AT90USB1286/1287": ["AT90USB1286", "AT90USB1287"],
            "ATtiny1634/1634R": ["ATtiny1634", "ATtiny1634R"],
            "ATmega8/": None,
            "ATmega8//8A": None,
            "ATmega8/8a": None,
            "ATmega": None,
            "PIC16F84": None,
        }
        for name, expected in cases.items():
            with self.subTest(name=name):
                self.assertEqual(cpucheck.name_parts(name), expected)

    def test_generator_and_checker_read_names_alike(self):
        for entry in cpugen.DEVICES:
            with self.subTest(entry=entry):
                self.assertEqual(cpugen.parts(entry), cpucheck.name_parts(entry))
                self.assertEqual(cpugen.file_name(entry), entry.replace("/", "_") + ".ini")
                for part in cpugen.parts(entry):
                    self.assertIn(part, cpucheck.PARALLEL_DEVICES)


@unittest.skipUnless(os.path.isfile(os.path.join(INCLUDE, "avr", "io.h")), "avr-libc not installed")
class SharedFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def problems(self, source, name=None, file_name=None, edit=None):
        with open(os.path.join(CPU, source)) as f:
            text = f.read()
        if name is not None:
            text = re.sub(r"(?m)^CPU_Name=.*$", "CPU_Name=" + name, text)
        if edit:
            text = edit(text)
        path = os.path.join(self.dir, file_name or source)
        with open(path, "w") as f:
            f.write(text)
        return cpucheck.check_file(path, INCLUDE)

    def test_shipped_file_is_clean(self):
        problems, notes = self.problems("ATmega8_8A.ini")
        self.assertEqual(problems, [])

    def test_file_name_follows_the_shared_name(self):
        problems, _ = self.problems("ATmega8_8A.ini", file_name="ATmega8.ini")
        self.assertTrue(any("does not match the file name" in p for p in problems), problems)

    def test_every_part_must_have_a_parallel_mode(self):
        problems, _ = self.problems("ATtiny861_861A.ini", name="ATtiny861/85", file_name="ATtiny861_85.ini")
        self.assertTrue(any("ATtiny85 is not in the list" in p for p in problems), problems)

    def test_parts_sharing_a_file_share_flash_and_page(self):
        problems, _ = self.problems("ATmega644_644A.ini", name="ATmega644/1284", file_name="ATmega644_1284.ini")
        self.assertTrue(any("ATmega1284's header gives FLASHEND" in p for p in problems), problems)

    def test_a_sibling_with_another_signature_is_noted(self):
        problems, notes = self.problems("ATmega329P_PA.ini")
        self.assertEqual(problems, [])
        self.assertTrue(any("ATmega329PA's header gives the signature 1E 95 03" in n for n in notes), notes)

    def test_a_part_named_twice(self):
        problems, _ = self.problems("ATmega8_8A.ini", name="ATmega8/8", file_name="ATmega8_8.ini")
        self.assertTrue(any("names a part twice" in p for p in problems), problems)


class ValueNames(unittest.TestCase):
    """The rules that shorten the ATDF captions keep every fact of them."""
    def test_names(self):
        cases = {
            "Int. RC Osc. 8 MHz; Start-up time PWRDWN/RESET: 6 CK/14 CK + 65 ms; default value":
                "internal RC oscillator 8 MHz; start-up (power-down/reset) 6 CK/14 CK + 65 ms",
            "Int. RC Osc. 1 MHz; Start-up time: 6 CK + 64 ms; default value":
                "internal RC oscillator 1 MHz; start-up 6 CK + 64 ms",
            "Ext. Crystal Osc. 8.0-    MHz; Start-up time: 1K CK + 0 ms":
                "external crystal from 8.0 MHz; start-up 1K CK + 0 ms",
            "Boot Flash size=256 words start address=$3F00": "256 words from word address $3F00",
            "Boot Flash size=512 words Boot address=$0E00": "512 words from word address $0E00",
            "No lock on SPM and LPM in Application Section": "no lock",
            "Start-up time 14 CK + 512 ms": "start-up 14 CK + 512 ms",
            "Start-up time: 14 CK + 62.5 ms": "start-up 14 CK + 62.5 ms",
            # The AT90PWM81's captions end in the bits of two fields, one of them without its bracket.
            "RC8 MHz; PLLin: RC8; SUT: 6CK/14CK+65 ms;  [CKSEL=0010 SUT=10]": "RC8 MHz; PLLin: RC8; SUT: 6CK/14CK+65 ms",
            "XOSC3-8MHz; PLLin: XOSC; SUT: 1KCK/14CK+65 ms;  [CKSEL=1101 SUT=00":
                "XOSC3-8MHz; PLLin: XOSC; SUT: 1KCK/14CK+65 ms",
        }
        for caption, name in cases.items():
            with self.subTest(caption=caption):
                self.assertEqual(cpugen.value_name(caption), name)

    def test_bit_captions(self):
        cases = {
            "Divide clock by 8 internally; [CKDIV8=0]": "Divide clock by 8 internally",
            "Reset Disabled (Enable PC6 as i/o pin)]": "Reset Disabled (Enable PC6 as i/o pin)",
            "Brown-out  Detector trigger level": "Brown-out Detector trigger level",
        }
        for caption, text in cases.items():
            with self.subTest(caption=caption):
                self.assertEqual(cpugen.bit_caption(caption), text)

    def test_every_value_of_the_data_gets_a_name(self):
        facts = cpugen.load_fields()
        for group, values in facts["values"].items():
            for value, caption in values:
                with self.subTest(group=group, value=value):
                    self.assertTrue(cpugen.value_name(caption))


@unittest.skipUnless(os.path.isfile(os.path.join(INCLUDE, "avr", "io.h")), "avr-libc not installed")
class NewFacts(unittest.TestCase):
    """EEPROM, calibration, standard board and the fuse fields, on a copy of a shipped file."""
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def problems(self, edit=None, source="ATmega328P.ini"):
        with open(os.path.join(CPU, source)) as f:
            text = f.read()
        if edit:
            changed = edit(text)
            self.assertNotEqual(changed, text, "the edit changed nothing")
            text = changed
        path = os.path.join(self.dir, source)
        with open(path, "w") as f:
            f.write(text)
        return cpucheck.check_file(path, INCLUDE)[0]

    def assertProblem(self, fragment, edit, source="ATmega328P.ini"):
        problems = self.problems(edit, source)
        self.assertTrue(any(fragment in p for p in problems), problems)

    def test_shipped_file_is_clean(self):
        for source in ("ATmega328P.ini", "ATmega8_8A.ini", "ATmega128RFA1.ini", "ATmega165P_PA.ini", "ATmega163.ini",
                       "AT90USB646_647.ini"):
            with self.subTest(source=source):
                self.assertEqual(self.problems(source=source), [])

    def test_unnamed_value_fails(self):
        self.assertProblem("[field-2] SUT_CKSEL: Value_02 has no name",
                           lambda t: re.sub(r"(?m)^Value_02=internal RC oscillator 8 MHz.*$", "Value_02=", t))

    def test_factory_value_without_name_fails(self):
        edit = lambda t: re.sub(r"(?m)^Value_22=.*\n", "", t)
        self.assertProblem("[field-2] SUT_CKSEL: the factory value 100010", edit)
        self.assertProblem("the ATDF value 0x22 has no name in the file", edit)

    def test_value_not_in_the_atdf_fails(self):
        self.assertProblem("Value_01 is no value of the ATDF",
                           lambda t: t.replace("Value_00=external clock; start-up (power-down/reset) 6 CK/14 CK + 0 ms\n",
                                               "Value_00=external clock; start-up (power-down/reset) 6 CK/14 CK + 0 ms\n"
                                               "Value_01=made up\n"))

    def test_value_outside_the_field_fails(self):
        self.assertProblem("Value_04 lies outside a field of 2 bits",
                           lambda t: t.replace("Value_03=256 words from word address $3F00\n",
                                               "Value_03=256 words from word address $3F00\nValue_04=more\n"))

    def test_two_values_with_one_name_fail(self):
        self.assertProblem("[field-8] BOOTSZ: two values share the name '512 words from word address $3E00'",
                           lambda t: t.replace("Value_03=256 words from word address $3F00",
                                               "Value_03=512 words from word address $3E00"))

    def test_generator_keeps_values_with_one_caption_apart(self):
        # The ATtiny2313's ATDF gives its crystal settings only the reset delay, so captions repeat.
        with open(os.path.join(CPU, "ATtiny2313_2313A.ini")) as f:
            text = f.read()
        self.assertIn("Value_08=external crystal 0.4-0.9 MHz; start-up 14 CK + 4.1 ms (bits 001000)", text)
        self.assertIn("Value_38=external crystal 0.4-0.9 MHz; start-up 14 CK + 4.1 ms (bits 111000)", text)

    def test_mask_over_an_unnamed_bit_fails(self):
        self.assertProblem("covers bit 3 of the Ext byte, which the file does not name",
                           lambda t: t.replace("Name=BODLEVEL\nByte=Ext\nMask=$07", "Name=BODLEVEL\nByte=Ext\nMask=$0F"))

    def test_overlapping_fields_fail(self):
        self.assertProblem("both cover bit 5 of the Low byte",
                           lambda t: t.replace("Name=CKOUT\nByte=Low\nMask=$40", "Name=CKOUT\nByte=Low\nMask=$20"))

    def test_field_moved_from_the_atdf_fails(self):
        self.assertProblem("the ATDF puts CKOUT at Low mask 0x40",
                           lambda t: t.replace("Name=CKOUT\nByte=Low\nMask=$40", "Name=CKOUT\nByte=High\nMask=$40"))

    def test_single_bit_needs_both_names(self):
        self.assertProblem("[field-0] CKDIV8: a single bit needs a name for 0 and for 1",
                           lambda t: t.replace("Caption=Divide clock by 8\nValue_00=yes\nValue_01=no\n",
                                               "Caption=Divide clock by 8\nValue_00=yes\n"))

    def test_gap_in_the_numbering_fails(self):
        self.assertProblem("field sections are numbered", lambda t: t.replace("[field-13]", "[field-14]"))

    def test_field_without_its_source_fails(self):
        self.assertProblem("fuse fields without a '; fuse fields: <source and address>' line",
                           lambda t: re.sub(r"(?m)^; fuse fields: .*\n", "", t))

    def test_bit_description_of_an_unnamed_bit_fails(self):
        self.assertProblem("[bit-descriptions] Ext_3 describes a bit the file does not name",
                           lambda t: t.replace("Ext_2=Brown-out", "Ext_3=nothing\nExt_2=Brown-out"))

    def test_field_left_out_must_be_listed(self):
        # avr-libc names no RSTDISBL for the ATmega165P, so its field is left out and listed as such.
        self.assertProblem("RSTDISBL is neither in the file nor listed as left out",
                           lambda t: re.sub(r"; left out: [^\n]*", "", t),
                           source="ATmega165P_PA.ini")

    def test_file_without_fields_must_say_why(self):
        self.assertProblem("no fuse fields, and no '; fuse fields: none, <reason>' line",
                           lambda t: re.sub(r"(?m)^; fuse fields: none, .*\n", "", t), source="ATmega163.ini")
        self.assertProblem("no fuse fields, and no '; fuse fields: none, <reason>' line",
                           lambda t: re.sub(r"(?m)^; fuse fields: none, .*$", "; fuse fields: none, unknown", t),
                           source="ATmega163.ini")

    def test_fields_and_none_contradict(self):
        self.assertProblem("fuse fields, but also a '; fuse fields: none, ...' line",
                           lambda t: "; fuse fields: none, no device description was read for the part\n" + t)

    def test_boot_section_must_end_at_the_end_of_flash(self):
        # The ATmega328P has 16K words: 2048 words of boot section start at $3800, not at $1800.
        self.assertProblem("[field-8] BOOTSZ: value 0, 2048 words from word address $1800, does not end at the end "
                           "of the 16384-word Flash",
                           lambda t: t.replace("Value_00=2048 words from word address $3800",
                                               "Value_00=2048 words from word address $1800"))

    @unittest.skipUnless(shutil.which(cpugen.CC), "no AVR compiler for the generator")
    def test_generator_withholds_the_boot_sizes_that_contradict_the_part(self):
        # Written with its ATDF's BOOTSZ values, each of these files would fail the boot section rule.
        cpugen.FIELD_FACTS = cpugen.load_fields()
        withheld = dict(cpugen.FIELD_WITHHELD)
        for entry in ("AT90USB646/647", "AT90USB82", "AT90PWM161"):
            with self.subTest(entry=entry):
                path = os.path.join(self.dir, cpugen.file_name(entry))
                for held, expect in ((withheld, False), ({}, True)):
                    cpugen.FIELD_WITHHELD = held
                    try:
                        text = cpugen.describe(entry, INCLUDE)
                    finally:
                        cpugen.FIELD_WITHHELD = withheld
                    with open(path, "w") as f:
                        f.write(text)
                    problems = cpucheck.check_file(path, INCLUDE)[0]
                    self.assertEqual(any("does not end at the end of the" in p for p in problems), expect, problems)
                    self.assertEqual("left out: BOOTSZ (" in text, not expect)

    def test_wrong_eeprom_size_fails(self):
        self.assertProblem("EEPROM_Size=2048 but the header's E2END + 1 is 1024",
                           lambda t: t.replace("EEPROM_Size=1024", "EEPROM_Size=2048"))

    def test_wrong_eeprom_page_fails(self):
        self.assertProblem("EEPROM_Page_Size=8 but the header's E2PAGESIZE is 4",
                           lambda t: t.replace("EEPROM_Page_Size=4", "EEPROM_Page_Size=8"))

    @unittest.skipUnless(os.path.isfile(cpucheck.AVRDUDE_CONF), "no avrdude part list")
    def test_wrong_calibration_size_fails(self):
        self.assertProblem("Calibration_Size=4 but avrdude's part list gives the ATmega328P 1 calibration bytes",
                           lambda t: t.replace("Calibration_Size=1", "Calibration_Size=4"))

    def test_standard_board_needs_its_reason(self):
        self.assertProblem("Standard_Board=no without a '; standard board: no, <reason and source>' line",
                           lambda t: t.replace("Calibration_Size=1\n", "Calibration_Size=1\nStandard_Board=no\n"))
        self.assertProblem("Standard_Board=no without",
                           lambda t: re.sub(r"(?m)^; standard board: no, .*\n", "", t), source="ATmega128RFA1.ini")

    def test_standard_board_is_yes_or_no(self):
        self.assertProblem("Standard_Board=0 should be yes or no",
                           lambda t: t.replace("Calibration_Size=1\n", "Calibration_Size=1\nStandard_Board=0\n"))

    def test_generator_lists_the_parts_the_board_must_not_power(self):
        self.assertEqual(sorted(cpugen.NO_STANDARD_BOARD),
                         sorted(["ATmega128RFA1", "ATmega64RFR2", "ATmega128RFR2", "ATmega256RFR2", "ATmega644RFR2",
                                 "ATmega1284RFR2", "ATmega2564RFR2", "ATmega406", "ATmega16HVB", "ATmega32HVB"]))


if __name__ == "__main__":
    unittest.main()
