#!/usr/bin/env python3
"""Write the shipped device files (cpu/*.ini) from the avr-libc device headers.

The facts come from the AVR compiler's own preprocessor (avr-gcc -E with
-mmcu=<device>), so the headers' conditionals are resolved the way a build
resolves them.  tools/cpucheck.py checks the result with its own reading of
the headers and shares no code with this script.

A device whose header lacks one of the facts is skipped and named on stderr.
"""

import argparse
import os
import re
import subprocess
import sys

# Devices with a high-voltage parallel programming mode (from their datasheets),
# the only kind the programmer adapter can serve.
DEVICES = [
    "ATmega8", "ATmega8A", "ATmega16", "ATmega16A", "ATmega32", "ATmega32A",
    "ATmega48", "ATmega48P", "ATmega48PA", "ATmega88", "ATmega88P", "ATmega88PA",
    "ATmega168", "ATmega168P", "ATmega168PA", "ATmega328", "ATmega328P",
    "ATmega8515", "ATmega8535", "ATmega162", "ATmega164A", "ATmega164P",
    "ATmega324A", "ATmega324P", "ATmega644", "ATmega644P", "ATmega1284P",
    "ATmega64", "ATmega128", "ATmega640", "ATmega1280", "ATmega2560",
    "ATtiny2313", "ATtiny2313A", "ATtiny4313", "ATtiny26", "ATtiny261",
    "ATtiny461", "ATtiny861",
]

# A device header closes the definitions of each fuse byte with that byte's
# default; the bits defined since the previous default belong to it.
DEFAULT_MACROS = {"LFUSE_DEFAULT": "Low_", "HFUSE_DEFAULT": "High_", "EFUSE_DEFAULT": "Ext_"}
LOCK_MACROS = (("LB_MODE_1", ("LB1", "LB2")), ("BLB0_MODE_1", ("BLB01", "BLB02")),
               ("BLB1_MODE_1", ("BLB11", "BLB12")))


class Skip(Exception):
    pass


def preprocess(mcu, include, source, *flags):
    cmd = ["avr-gcc", "-mmcu=" + mcu, "-isystem", include, "-E", *flags, "-x", "c", "-"]
    result = subprocess.run(cmd, input=source, capture_output=True, text=True)
    if result.returncode != 0:
        raise Skip("avr-gcc -mmcu=%s failed: %s" % (mcu, result.stderr.strip().splitlines()[-1:]))
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


def describe(name, include):
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
    missing = [f for f in facts if f not in defined]
    if missing:
        raise Skip("%s defines no %s" % (header, ", ".join(missing)))
    bit_macros = [m for bits in groups.values() for m in bits]
    default_for = {prefix: macro for macro, prefix in DEFAULT_MACROS.items()}
    values = evaluate(mcu, include, facts + bit_macros + [default_for[p] for p in groups])

    fuse_lines = []
    for prefix in ("Low_", "High_", "Ext_"):
        if prefix not in groups:
            continue
        reference = values[default_for[prefix]] & 0xFF
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

    lock_lines = []
    lock_default = values["LOCKBITS_DEFAULT"]
    bit = 0
    for macro, pair in LOCK_MACROS:
        for lock_name in pair:
            if macro in defined:
                lock_lines.append("Lock_%d=%s|%s" % (bit, lock_name, "U" if lock_default >> bit & 1 else "P"))
            bit += 1

    return "\n".join([
        "; %s: device facts from avr-libc's avr/%s (written by tools/cpugen.py, checked by tools/cpucheck.py)"
        % (name, header),
        "[configuration]",
        "Signature_000=$%02X" % values["SIGNATURE_0"],
        "Signature_001=$%02X" % values["SIGNATURE_1"],
        "Signature_002=$%02X" % values["SIGNATURE_2"],
        "CPU_Name=%s" % name,
        "Page_Size=%d" % values["SPM_PAGESIZE"],
        "Flash_Size=%d" % (values["FLASHEND"] + 1),
        "",
        "[fuse-bits]",
        *fuse_lines,
        "",
        "[lock-bits]",
        *lock_lines,
        "",
    ])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default=os.path.join(here, os.pardir, "cpu"), help="device file folder")
    parser.add_argument("--include", default="/usr/lib/avr/include", help="avr-libc include folder")
    args = parser.parse_args()
    written = 0
    for name in DEVICES:
        try:
            text = describe(name, args.include)
        except Skip as e:
            print("skipped %s: %s" % (name, e), file=sys.stderr)
            continue
        with open(os.path.join(args.out, name + ".ini"), "w", newline="\n") as f:
            f.write(text)
        written += 1
        print("wrote %s.ini" % name)
    print("%d device files written" % written)


if __name__ == "__main__":
    main()
