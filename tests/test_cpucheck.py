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


if __name__ == "__main__":
    unittest.main()
