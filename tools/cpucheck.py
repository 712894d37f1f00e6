#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Check the shipped device files (cpu/*.ini) against the avr-libc device headers.

Every fact is read afresh from the headers: the device header is found the way
a compiler finds it, by running avr/io.h with __AVR_<device>__ defined, and
the conditionals of the headers are evaluated here rather than assumed.  The
generator (cpugen.py) is not used, so a fault in it cannot hide here.

Where avr-libc is wrong or silent, a file may carry a "; datasheet:" note that
puts the documented fact in place of the header's (a fuse default, the
signature, the absence of boot lock bits, the page size).  A note counts only
with its source (title and address); each applied note is printed as a
"note" line, and everything the note does not cover is still checked against
the header.

The extensions the program's loader reads as optional are checked too: the
EEPROM size and page size against the header's E2END and E2PAGESIZE, the
calibration byte count against avrdude's part list (avrdude.conf), the
Standard_Board key, and the fuse fields ([field-N], [bit-descriptions]):
each field lies on bits the file names, fields do not overlap, every value
line carries a name, and the factory value of every field is named; a file
without fields must say why on a "; fuse fields: none, <reason>" line.

Output: one line per problem and per note, "ok <file>" for each clean file,
and a summary.
Exit status 0 only when no file has a problem and at least MIN_FILES files
were checked; 1 on any problem; 2 when the headers cannot be read at all.
"""

import argparse
import json
import os
import re
import sys

MIN_FILES = 80

# Only chips that have a high-voltage parallel programming mode belong in the
# catalogue: the programmer adapter speaks nothing else.  Devices with
# high-voltage serial programming only (ATtiny13, ATtiny25/45/85, ATtiny24/44/84,
# ATtiny441/841, ...) and the AT90S parts, which program Flash a byte at a time
# rather than by pages, are deliberately absent.  Taken from the devices'
# datasheets (avrdude.conf marks the same parts with PM_HVPP).
PARALLEL_DEVICES = set("""
    ATmega8 ATmega8A ATmega16 ATmega16A ATmega32 ATmega32A ATmega64 ATmega64A ATmega128 ATmega128A
    ATmega8515 ATmega8535 ATmega162 ATmega163
    ATmega48 ATmega48A ATmega48P ATmega48PA ATmega48PB ATmega88 ATmega88A ATmega88P ATmega88PA ATmega88PB
    ATmega168 ATmega168A ATmega168P ATmega168PA ATmega168PB ATmega328 ATmega328P
    ATmega164A ATmega164P ATmega164PA ATmega324A ATmega324P ATmega324PA
    ATmega644 ATmega644A ATmega644P ATmega644PA ATmega1284 ATmega1284P
    ATmega640 ATmega1280 ATmega1281 ATmega2560 ATmega2561
    ATmega165 ATmega165A ATmega165P ATmega165PA ATmega169 ATmega169A ATmega169P ATmega169PA
    ATmega325 ATmega325A ATmega325P ATmega325PA ATmega3250 ATmega3250A ATmega3250P ATmega3250PA
    ATmega329 ATmega329A ATmega329P ATmega329PA ATmega3290 ATmega3290A ATmega3290P ATmega3290PA
    ATmega645 ATmega645A ATmega645P ATmega6450 ATmega6450A ATmega6450P
    ATmega649 ATmega649A ATmega649P ATmega6490 ATmega6490A ATmega6490P
    ATmega16M1 ATmega32M1 ATmega64M1 ATmega32C1 ATmega64C1 ATmega406 ATmega16HVB ATmega32HVB
    ATmega8U2 ATmega16U2 ATmega32U2 ATmega16U4 ATmega32U4
    ATmega128RFA1 ATmega64RFR2 ATmega128RFR2 ATmega256RFR2 ATmega644RFR2 ATmega1284RFR2 ATmega2564RFR2
    AT90CAN32 AT90CAN64 AT90CAN128 AT90USB82 AT90USB162 AT90USB646 AT90USB647 AT90USB1286 AT90USB1287
    AT90PWM2B AT90PWM3B AT90PWM216 AT90PWM316 AT90PWM81 AT90PWM161
    ATtiny26 ATtiny261 ATtiny261A ATtiny461 ATtiny461A ATtiny861 ATtiny861A ATtiny2313 ATtiny2313A
    ATtiny4313 ATtiny48 ATtiny88 ATtiny87 ATtiny167 ATtiny828 ATtiny828R ATtiny1634 ATtiny1634R ATtiny43U
""".split())

# A device name: one part, or several that share a signature, the later ones
# written without the family prefix ("ATmega8/8A" stands for ATmega8 and
# ATmega8A), or with only the letters after the number ("ATmega164P/PA" stands
# for ATmega164P and ATmega164PA).
_DEVICE_NAME = re.compile(r"(AT(?:mega|tiny|90(?:CAN|USB|PWM)))([0-9]+)([A-Z0-9]*)((?:/[0-9A-Z][A-Z0-9]*)*)")


def name_parts(name):
    """The parts a CPU_Name stands for, or None when it is not a device name."""
    m = _DEVICE_NAME.fullmatch(name)
    if not m:
        return None
    family, number = m.group(1), m.group(2)
    return [family + number + m.group(3)] + [family + (p if p[0].isdigit() else number + p)
                                              for p in m.group(4).split("/")[1:]]


# Fuse bytes in file order: heading in the device header, key prefix in the
# device file, name of the default macro.
FUSE_BYTES = (
    ("low", "Low_", "LFUSE_DEFAULT"),
    ("high", "High_", "HFUSE_DEFAULT"),
    ("extended", "Ext_", "EFUSE_DEFAULT"),
)
DATASHEET_NAMES = {"low": "Low", "high": "High", "extended": "Ext"}

# avr/lock.h turns each of the device header's lock switches into a set of
# mode macros; the presence of the mode macro tells which lock bits exist.
LOCK_GROUPS = (
    ("LB_MODE_1", ((0, "LB1"), (1, "LB2"))),
    ("BLB0_MODE_1", ((2, "BLB01"), (3, "BLB02"))),
    ("BLB1_MODE_1", ((4, "BLB11"), (5, "BLB12"))),
)

SECTIONS = {
    "configuration": {"Signature_000", "Signature_001", "Signature_002",
                      "CPU_Name", "Page_Size", "Flash_Size",
                      "EEPROM_Size", "EEPROM_Page_Size", "Calibration_Size", "Standard_Board"},
    "fuse-bits": {prefix + str(n) for _, prefix, _ in FUSE_BYTES for n in range(8)},
    "lock-bits": {"Lock_" + str(n) for n in range(8)},
    "bit-descriptions": {prefix + str(n) for prefix in ("Low_", "High_", "Ext_", "Lock_") for n in range(8)},
}
# [field-0], [field-1], ...: one fuse or lock field each.
_FIELD_SECTION = re.compile(r"field-(0|[1-9][0-9]*)")
FIELD_KEYS = {"Name", "Byte", "Mask", "Caption"} | {"Value_%02X" % v for v in range(256)}
FIELD_BYTES = {"Low": ("fuse-bits", "Low_"), "High": ("fuse-bits", "High_"), "Ext": ("fuse-bits", "Ext_"),
               "Lock": ("lock-bits", "Lock_")}


def section_keys(section):
    return FIELD_KEYS if _FIELD_SECTION.fullmatch(section) else SECTIONS[section]


class HeaderError(Exception):
    """The headers could not be read the way this checker understands them."""


# ---------------------------------------------------------------------------
# Preprocessor expressions

_TOKEN = re.compile(r"""\s*(?:
    (?P<num>0[xX][0-9A-Fa-f]+|\d+)(?P<suffix>[uUlL]*)(?![\w])
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<op>&&|\|\||==|!=|<=|>=|<<|>>|[-+*/%()<>!~&|^?:,])
)""", re.X)


def tokenize(text):
    tokens = []
    pos = 0
    text = text.rstrip()
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m or m.end() == pos:
            raise HeaderError("cannot read expression %r" % text)
        pos = m.end()
        if m.group("num") is not None:
            digits = m.group("num")
            if digits[:2] in ("0x", "0X"):
                value = int(digits, 16)
            elif len(digits) > 1 and digits[0] == "0":
                value = int(digits, 8)
            else:
                value = int(digits)
            tokens.append(("num", value))
        elif m.group("ident") is not None:
            tokens.append(("ident", m.group("ident")))
        else:
            tokens.append(("op", m.group("op")))
    return tokens


_BINARY = {
    "||": 1, "&&": 2, "|": 3, "^": 4, "&": 5, "==": 6, "!=": 6,
    "<": 7, "<=": 7, ">": 7, ">=": 7, "<<": 8, ">>": 8,
    "+": 9, "-": 9, "*": 10, "/": 10, "%": 10,
}


class Expression:
    """Evaluates a C preprocessor expression over object-like macros.

    In a conditional (strict=False) an unknown identifier counts as 0, as the
    preprocessor does; when reading a fact (strict=True) it is an error.
    """

    def __init__(self, macros, strict):
        self.macros = macros
        self.strict = strict

    def evaluate(self, text):
        self.tokens = self.expand(tokenize(text), set())
        self.pos = 0
        value = self.parse(0)
        if self.pos != len(self.tokens):
            raise HeaderError("trailing text in expression %r" % text)
        return value

    def expand(self, tokens, active):
        out = []
        i = 0
        while i < len(tokens):
            kind, value = tokens[i]
            if kind == "ident" and value == "defined":
                i += 1
                paren = i < len(tokens) and tokens[i] == ("op", "(")
                if paren:
                    i += 1
                if i >= len(tokens) or tokens[i][0] != "ident":
                    raise HeaderError("bad use of defined")
                out.append(("num", 1 if tokens[i][1] in self.macros else 0))
                i += 1
                if paren:
                    if i >= len(tokens) or tokens[i] != ("op", ")"):
                        raise HeaderError("bad use of defined")
                    i += 1
                continue
            if kind == "ident":
                macro = self.macros.get(value)
                if macro is not None and macro[0] is None and value not in active:
                    out.extend(self.expand(tokenize(macro[1]), active | {value}))
                elif macro is not None and macro[0] is not None:
                    raise HeaderError("function-like macro %s in expression" % value)
                elif self.strict:
                    raise HeaderError("unknown name %s in expression" % value)
                else:
                    out.append(("num", 0))
                i += 1
                continue
            out.append(tokens[i])
            i += 1
        return out

    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else ("end", None)

    def take(self, op):
        if self.peek() != ("op", op):
            raise HeaderError("expected %r in expression" % op)
        self.pos += 1

    def parse(self, min_prec):
        """Precedence climbing; the conditional operator binds loosest of all."""
        left = self.unary()
        while True:
            kind, op = self.peek()
            prec = _BINARY.get(op) if kind == "op" else None
            if prec is None or prec < min_prec:
                break
            self.pos += 1
            left = self.apply(op, left, self.parse(prec + 1))
        if min_prec == 0 and self.peek() == ("op", "?"):
            self.pos += 1
            yes = self.parse(0)
            self.take(":")
            no = self.parse(0)
            left = yes if left else no
        return left

    @staticmethod
    def apply(op, a, b):
        if op in ("/", "%") and b == 0:
            raise HeaderError("division by zero in expression")
        return {
            "||": lambda: int(bool(a) or bool(b)), "&&": lambda: int(bool(a) and bool(b)),
            "|": lambda: a | b, "^": lambda: a ^ b, "&": lambda: a & b,
            "==": lambda: int(a == b), "!=": lambda: int(a != b),
            "<": lambda: int(a < b), "<=": lambda: int(a <= b),
            ">": lambda: int(a > b), ">=": lambda: int(a >= b),
            "<<": lambda: a << b, ">>": lambda: a >> b,
            "+": lambda: a + b, "-": lambda: a - b, "*": lambda: a * b,
            "/": lambda: int(a / b), "%": lambda: a - int(a / b) * b,
        }[op]()

    def unary(self):
        kind, value = self.peek()
        if kind == "num":
            self.pos += 1
            return value
        if kind == "op" and value in ("!", "~", "-", "+"):
            self.pos += 1
            operand = self.unary()
            return {"!": int(not operand), "~": ~operand, "-": -operand, "+": operand}[value]
        if kind == "op" and value == "(":
            self.pos += 1
            inner = self.parse(0)
            self.take(")")
            return inner
        raise HeaderError("unexpected %r in expression" % (value,))


# ---------------------------------------------------------------------------
# Header reading

def logical_lines(text):
    """Yields (line number, code, comments, whole-line comment) per logical line.

    Backslash-newline joins lines; a comment counts as a blank in the code, and
    a comment that spans lines keeps its line going, as in C.
    """
    text = text.replace("\r\n", "\n").replace("\\\n", "")
    i, n, line_no = 0, len(text), 1
    code, comments, start = [], [], 1
    while i <= n:
        c = text[i] if i < n else "\n"
        if c == "/" and text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                raise HeaderError("unterminated comment at line %d" % line_no)
            comments.append(text[i + 2:end])
            line_no += text.count("\n", i, end)
            code.append(" ")
            i = end + 2
            continue
        if c == "/" and text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            comments.append(text[i + 2:end])
            i = end
            continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            code.append(text[i:j + 1])
            i = j + 1
            continue
        if c == "\n":
            joined = "".join(code)
            yield start, joined, comments, bool(comments) and not joined.strip()
            if i >= n:
                return
            line_no += 1
            code, comments, start = [], [], line_no
            i += 1
            continue
        code.append(c)
        i += 1


class DeviceHeaders:
    """The macros and the ordered definitions that avr/io.h yields for one device."""

    def __init__(self, include_dir, device):
        self.include_dir = include_dir
        self.macros = {"__AVR_%s__" % device: (None, "1")}
        self.events = []          # (file, line, kind, ...) from device headers, in order
        self.device_headers = []  # device header files read, in order
        self.read_lock_h = False
        self.process(os.path.join(include_dir, "avr", "io.h"), 0)

    def follows(self, path):
        # Only the device headers and avr/lock.h carry device facts; the other
        # headers that avr/io.h pulls in (sfr_defs.h, common.h, ...) are skipped.
        name = os.path.basename(path)
        in_avr = os.path.dirname(os.path.abspath(path)) == os.path.abspath(
            os.path.join(self.include_dir, "avr"))
        return in_avr and (name == "lock.h" or (name.startswith("io") and name != "io.h"))

    def process(self, path, depth):
        if depth > 8:
            raise HeaderError("includes nested too deeply at %s" % path)
        try:
            with open(path, encoding="latin-1") as f:
                text = f.read()
        except OSError as e:
            raise HeaderError("cannot read %s: %s" % (path, e.strerror))
        name = os.path.basename(path)
        is_device = name.startswith("io") and name != "io.h"
        if is_device:
            self.device_headers.append(name)
        if name == "lock.h":
            self.read_lock_h = True
        stack = []  # (was active before, a branch was taken, this branch active)
        active = True
        for line, code, comments, whole in logical_lines(text):
            stripped = code.strip()
            if not stripped.startswith("#"):
                if active and is_device:
                    for comment in comments:
                        self.events.append((name, line, "comment", comment.strip(), whole))
                continue
            m = re.match(r"#\s*(\w*)\s*(.*)$", stripped, re.S)
            directive, rest = m.group(1), m.group(2).strip()
            if directive in ("if", "ifdef", "ifndef"):
                if not active:
                    stack.append((False, True, False))
                    continue
                if directive == "if":
                    taken = bool(Expression(self.macros, False).evaluate(rest))
                else:
                    ident = re.match(r"[A-Za-z_]\w*", rest)
                    if not ident:
                        raise HeaderError("%s:%d: bad #%s" % (name, line, directive))
                    taken = (ident.group(0) in self.macros) == (directive == "ifdef")
                stack.append((True, taken, taken))
                active = taken
            elif directive == "elif":
                if not stack:
                    raise HeaderError("%s:%d: #elif without #if" % (name, line))
                outer, done, _ = stack.pop()
                taken = outer and not done and bool(Expression(self.macros, False).evaluate(rest))
                stack.append((outer, done or taken, taken))
                active = taken
            elif directive == "else":
                if not stack:
                    raise HeaderError("%s:%d: #else without #if" % (name, line))
                outer, done, _ = stack.pop()
                stack.append((outer, True, outer and not done))
                active = outer and not done
            elif directive == "endif":
                if not stack:
                    raise HeaderError("%s:%d: #endif without #if" % (name, line))
                stack.pop()
                active = stack[-1][2] if stack else True
            elif not active:
                continue
            elif directive == "define":
                m = re.match(r"([A-Za-z_]\w*)(\(([^)]*)\))?\s*(.*)$", rest, re.S)
                if not m:
                    raise HeaderError("%s:%d: bad #define" % (name, line))
                params = m.group(3) if m.group(2) else None
                body = " ".join(m.group(4).split())
                self.macros[m.group(1)] = (params, body)
                if is_device:
                    self.events.append((name, line, "define", m.group(1), body))
            elif directive == "undef":
                self.macros.pop(rest.split()[0] if rest else "", None)
            elif directive == "include":
                m = re.match(r'(?:<([^>]+)>|"([^"]+)")', rest)
                if not m:
                    raise HeaderError("%s:%d: computed #include %s is not supported" % (name, line, rest))
                if m.group(1):
                    target = os.path.join(self.include_dir, m.group(1))
                else:
                    target = os.path.join(os.path.dirname(path), m.group(2))
                if self.follows(target):
                    self.process(target, depth + 1)
            elif directive == "error":
                raise HeaderError("%s:%d: #error %s" % (name, line, rest))
            # #warning, #pragma and empty directives carry no facts.
        if stack:
            raise HeaderError("%s: unterminated #if" % name)

    def number(self, name):
        macro = self.macros.get(name)
        if macro is None:
            return None
        if macro[0] is not None:
            raise HeaderError("%s is a function-like macro" % name)
        return Expression(self.macros, True).evaluate(macro[1])


# "Low Fuse Byte", or "LFUSE Byte" as the ATmega128RFA1's header has it.
_HEADING = re.compile(r"^(low|high|extended|[lhe])\s*fuse\s+byte$", re.I)
_HEADING_BYTE = {"l": "low", "h": "high", "e": "extended"}
# A few headers (ATmega128RFA1, ATtiny88's SELFPRGEN) leave out the cast; the bit is the same.
_FUSE_BIT = re.compile(r"^(?:\(unsigned char\)\s*)?~\s*_BV\(\s*([0-7])\s*\)$")


def fuse_layout(headers):
    """Maps every FUSE_ macro to its byte and bit from the device header's layout.

    avr-libc groups the definitions under the headings "Low Fuse Byte", "High
    Fuse Byte" and "Extended Fuse Byte" and closes each group with its
    xFUSE_DEFAULT.  A name belongs to the byte whose heading it stands under;
    the default of each byte must stand under the same heading and name only
    bits of that byte, so a header laid out any other way is reported rather
    than guessed at.  Returns ({byte: {bit: name}}, {byte: default text or
    None}, problems).
    """
    problems = []
    bits, defaults = {}, {}
    current = None
    seen_names = {}
    default_macros = {macro: key for key, _, macro in FUSE_BYTES}
    for file, line, kind, *rest in headers.events:
        where = "%s:%d" % (file, line)
        if kind == "comment":
            text, whole = rest
            m = _HEADING.match(" ".join(text.split()))
            if m and whole:
                current = _HEADING_BYTE.get(m.group(1).lower(), m.group(1).lower())
                if current in bits:
                    problems.append("%s: second heading for the %s fuse byte" % (where, current))
                bits.setdefault(current, {})
            continue
        name, body = rest
        if name == "FUSE_MEMORY_SIZE":
            continue
        if name in default_macros:
            byte = default_macros[name]
            if current != byte:
                problems.append("%s: %s stands outside the %s fuse byte's group" % (where, name, byte))
            defaults[byte] = body
            continue
        if not name.startswith("FUSE_"):
            continue
        m = _FUSE_BIT.match(body)
        if not m:
            problems.append("%s: %s is not of the form (unsigned char)~_BV(n) or ~_BV(n): %s" % (where, name, body))
            continue
        if current is None:
            problems.append("%s: %s stands under no fuse byte heading" % (where, name))
            continue
        bit = int(m.group(1))
        short = name[len("FUSE_"):]
        if short in seen_names:
            problems.append("%s: %s defined twice" % (where, name))
            continue
        seen_names[short] = (current, bit)
        if bit in bits[current]:
            problems.append("%s: %s and %s share bit %d of the %s fuse byte"
                            % (where, "FUSE_" + bits[current][bit], name, bit, current))
            continue
        bits[current][bit] = short
    size = headers.number("FUSE_MEMORY_SIZE")
    if size is None:
        problems.append("the device header defines no FUSE_MEMORY_SIZE")
    elif not 2 <= size <= 3:
        problems.append("FUSE_MEMORY_SIZE %d is not a Low/High(/Extended) layout" % size)
    else:
        expected = [key for key, _, _ in FUSE_BYTES[:size]]
        if sorted(bits) != sorted(expected):
            problems.append("FUSE_MEMORY_SIZE is %d but the header has fuse byte groups %s"
                            % (size, ", ".join(k for k, _, _ in FUSE_BYTES if k in bits) or "none"))
    for key, _, macro in FUSE_BYTES:
        if key in defaults and key not in bits:
            problems.append("%s present without a %s fuse byte" % (macro, key))
    return bits, defaults, problems


def default_value(text, byte_bits, macro):
    """Evaluates an xFUSE_DEFAULT: a byte literal or an AND of that byte's FUSE_ bits."""
    inner = text.strip()
    while inner.startswith("(") and inner.endswith(")") and balanced(inner[1:-1]):
        inner = inner[1:-1].strip()
    if re.fullmatch(r"(0[xX][0-9A-Fa-f]+|[0-9]+)[uU]?", inner):
        value = tokenize(inner)[0][1]
        if value > 0xFF:
            raise HeaderError("%s = %s is not a byte" % (macro, text))
        return value
    by_name = {name: bit for bit, name in byte_bits.items()}
    value = 0xFF
    for part in inner.split("&"):
        part = part.strip()
        if not part.startswith("FUSE_") or part[len("FUSE_"):] not in by_name:
            raise HeaderError("%s names %r, which is not a bit of its own fuse byte" % (macro, part))
        value &= ~(1 << by_name[part[len("FUSE_"):]]) & 0xFF
    return value


def balanced(text):
    depth = 0
    for c in text:
        depth += {"(": 1, ")": -1}.get(c, 0)
        if depth < 0:
            return False
    return depth == 0


# ---------------------------------------------------------------------------
# Device files

def program_number(text):
    """The number rule of the program's device-file loader; None where it gives its fallback."""
    m = re.fullmatch(r" *([+-]?)(?:(\$|0[xX]|[xX])([0-9A-Fa-f]+)|([0-9]+))", text)
    if not m:
        return None
    negative = m.group(1) == "-"
    if m.group(2):
        value = int(m.group(3), 16)
        if value > 0xFFFFFFFF:
            return None
        if negative:
            value = (-value) & 0xFFFFFFFF
        return value - (1 << 32) if value & 0x80000000 else value
    value = int(m.group(4))
    value = -value if negative else value
    return value if -2147483648 <= value <= 2147483647 else None


class DeviceFile:
    def __init__(self, path):
        self.path = path
        self.values = {}       # (section, key) -> value
        self.comments = []     # comment lines, without the ";"
        self.sections = set()  # the sections read, lower case
        self.problems = []
        self.read()

    def read(self):
        try:
            with open(self.path, "rb") as f:
                raw = f.read()
        except OSError as e:
            self.problems.append("cannot read: %s" % e.strerror)
            return
        try:
            text = raw.decode("ascii")
        except UnicodeDecodeError:
            self.problems.append("contains bytes that are not ASCII")
            text = raw.decode("latin-1")
        section = None
        sections_seen = self.sections
        for number, line in enumerate(text.split("\n"), 1):
            line = line.strip()
            if not line:
                continue
            if line.startswith(";"):
                self.comments.append(line[1:].strip())
                continue
            if line.startswith("["):
                m = re.fullmatch(r"\[([^\]]*)\]", line)
                written = m.group(1) if m else line
                # The program matches names without regard to case.
                name = next((s for s in SECTIONS if s == written.lower()), None)
                if name is None and _FIELD_SECTION.fullmatch(written.lower()):
                    name = written.lower()
                section = None
                if name is None:
                    self.problems.append("line %d: unknown section %s" % (number, line))
                elif name in sections_seen:
                    self.problems.append("line %d: section [%s] appears twice; the program reads "
                                         "only the first" % (number, name))
                else:
                    if written != name:
                        self.problems.append("line %d: section [%s] should be spelt [%s]" % (number, written, name))
                    sections_seen.add(name)
                    section = name
                continue
            if "=" not in line:
                self.problems.append("line %d: neither section, key nor comment: %s" % (number, line))
                continue
            written, value = (part.strip() for part in line.split("=", 1))
            if section is None:
                self.problems.append("line %d: key %s outside a known section" % (number, written))
                continue
            key = next((k for k in section_keys(section) if k.lower() == written.lower()), None)
            if key is None:
                self.problems.append("line %d: unknown key %s in [%s]" % (number, written, section))
            elif (section, key) in self.values:
                self.problems.append("line %d: key %s given twice; the program reads only the first"
                                     % (number, key))
            else:
                if written != key:
                    self.problems.append("line %d: key %s should be spelt %s" % (number, written, key))
                self.values[(section, key)] = value

    def get(self, section, key):
        return self.values.get((section, key))


# A datasheet note puts a fact from the device's own documentation in place of
# the header's, where the two disagree or the header is silent:
#   ; datasheet: Low default $62 (<title>, <url>)
#   ; datasheet: Signature 1E 94 0F (<title>, <url>)
#   ; datasheet: no boot lock bits (<title>, <url>)
#   ; datasheet: Page size 32 (<title>, <url>)
# The source in parentheses must name the document and give its address, so
# that every departure from avr-libc can be traced by whoever reads the file.
_NOTE = re.compile(r"^datasheet:\s*(?P<fact>.+?)(?:\s+\((?P<source>.*)\))?$")
_NOTE_FACTS = (
    ("fuse", re.compile(r"(Low|High|Ext) default \$([0-9A-F]{2})")),
    ("signature", re.compile(r"Signature ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2})")),
    ("bootlock", re.compile(r"no boot lock bits")),
    ("page", re.compile(r"Page size ([1-9][0-9]*)")),
)
NOTE_FORMS = ("'datasheet: Low|High|Ext default $XX (<source>)', 'datasheet: Signature XX XX XX (<source>)', "
              "'datasheet: no boot lock bits (<source>)' or 'datasheet: Page size N (<source>)'")
_URL = re.compile(r"https?://[^\s,;()]+[^\s,;().]")


def source_fault(source):
    """Why a note's source does not identify a document, or None when it does."""
    if source is None or not source.strip():
        return "has no source; give the document's title and address in parentheses"
    if not _URL.search(source):
        return "names no address (http:// or https://) in its source"
    if len(re.findall(r"[A-Za-z]{3,}", _URL.sub(" ", source))) < 2:
        return "gives an address but no title in its source"
    return None


def datasheet_notes(comments, problems):
    """{key: (value, source)} from the file's datasheet notes; key is Low/High/Ext,
    signature, bootlock or page.  A malformed note, or one without a source, is a
    problem and is not applied."""
    declared = {}
    for comment in comments:
        if not comment.lower().startswith("datasheet"):
            continue
        m = _NOTE.match(comment)
        fact = m.group("fact") if m else ""
        for kind, pattern in _NOTE_FACTS:
            f = pattern.fullmatch(fact)
            if f:
                break
        else:
            problems.append("datasheet note not of the form %s: %s" % (NOTE_FORMS, comment))
            continue
        fault = source_fault(m.group("source"))
        if fault:
            problems.append("datasheet note %r %s" % (fact, fault))
            continue
        if kind == "fuse":
            key, value = f.group(1), int(f.group(2), 16)
        elif kind == "signature":
            key, value = kind, tuple(int(g, 16) for g in f.groups())
        elif kind == "page":
            key, value = kind, int(f.group(1))
        else:
            key, value = kind, True
        if key in declared:
            problems.append("datasheet note %r given twice" % fact)
            continue
        declared[key] = (value, m.group("source"))
    return declared


def hex_bytes(values):
    return " ".join("%02X" % v for v in values)


def check_file(path, include_dir):
    problems = []
    notes = []
    ini = DeviceFile(path)
    problems.extend(ini.problems)
    stem = os.path.splitext(os.path.basename(path))[0]

    name = ini.get("configuration", "CPU_Name")
    if name is None:
        problems.append("CPU_Name missing")
        return problems, notes
    # A "/" cannot stand in a file name: "ATmega8/8A" lives in ATmega8_8A.ini.
    if name.replace("/", "_") != stem:
        problems.append("CPU_Name %s does not match the file name %s" % (name, os.path.basename(path)))
    device_parts = name_parts(name)
    if device_parts is None:
        problems.append("CPU_Name %r is not a device name" % name)
        return problems, notes
    name = device_parts[0]

    try:
        headers = DeviceHeaders(include_dir, name)
    except HeaderError as e:
        problems.append("reading the avr-libc headers for %s: %s" % (name, e))
        return problems, notes
    if not headers.device_headers:
        problems.append("unknown device %s: avr/io.h maps no header to __AVR_%s__" % (name, name))
        return problems, notes
    for part in device_parts:
        if part not in PARALLEL_DEVICES:
            problems.append("%s is not in the list of devices with high-voltage parallel programming" % part)
    if len(set(device_parts)) != len(device_parts):
        problems.append("CPU_Name names a part twice")
    if not headers.read_lock_h:
        problems.append("avr/io.h did not include avr/lock.h")

    declared = datasheet_notes(ini.comments, problems)
    try:
        # Signature and sizes.
        header_sig = [headers.number("SIGNATURE_%d" % n) for n in range(3)]
        signature = [(value, "the header's SIGNATURE_%d" % n) for n, value in enumerate(header_sig)]
        if "signature" in declared:
            sig = declared["signature"][0]
            if None in header_sig:
                notes.append("Signature %s from datasheet, header has none" % hex_bytes(sig))
            elif tuple(header_sig) == sig:
                problems.append("datasheet note repeats the header's signature %s; drop it" % hex_bytes(sig))
            else:
                notes.append("Signature %s from datasheet, header says %s" % (hex_bytes(sig), hex_bytes(header_sig)))
            signature = [(value, "the datasheet's signature byte %d" % n) for n, value in enumerate(sig)]
        for n, (expected, source) in enumerate(signature):
            key = "Signature_%03d" % n
            check_number(ini, key, expected, source, "the header gives no SIGNATURE_%d" % n,
                         r"\$[0-9A-F]{2}", "$ and two upper-case hex digits", lambda v: v & 0xFF, problems)
        page = headers.number("SPM_PAGESIZE")
        page_source = "the header's SPM_PAGESIZE"
        if "page" in declared:
            value = declared["page"][0]
            if page is None:
                notes.append("Page size %d from datasheet, header has no SPM_PAGESIZE" % value)
            elif page == value:
                problems.append("datasheet note repeats the header's page size %d; drop it" % value)
            else:
                notes.append("Page size %d from datasheet, header says %d" % (value, page))
            page, page_source = value, "the datasheet's page size"
        check_number(ini, "Page_Size", page, page_source,
                     "the header gives no SPM_PAGESIZE and the file gives no datasheet note for it",
                     r"[1-9][0-9]*", "decimal", None, problems)
        flashend = headers.number("FLASHEND")
        check_number(ini, "Flash_Size", None if flashend is None else flashend + 1, "the header's FLASHEND + 1",
                     "the header gives no FLASHEND", r"[1-9][0-9]*", "decimal", None, problems)

        # The other parts the file stands for must be the same chip to the programmer.
        for part in device_parts[1:]:
            check_sibling(include_dir, part, name, [value for value, _ in signature],
                          flashend, headers.number("SPM_PAGESIZE"), problems, notes)

        # Fuse bytes.
        layout, defaults, layout_problems = fuse_layout(headers)
        problems.extend(layout_problems)
        for byte, prefix, macro in FUSE_BYTES:
            byte_bits = layout.get(byte, {})
            tag = DATASHEET_NAMES[byte]
            if byte not in layout:
                if tag in declared:
                    problems.append("datasheet note for the %s fuse byte, which the device does not have" % byte)
                reference = None
            elif tag in declared:
                reference = declared[tag][0]
                if defaults.get(byte) is None:
                    notes.append("%s default $%02X from datasheet, header has no %s" % (tag, reference, macro))
                else:
                    header_value = default_value(defaults[byte], byte_bits, macro)
                    if header_value == reference:
                        problems.append("datasheet note repeats the header's %s $%02X; drop it"
                                        % (macro, reference))
                    else:
                        notes.append("%s default $%02X from datasheet, header says $%02X"
                                     % (tag, reference, header_value))
            elif defaults.get(byte) is not None:
                reference = default_value(defaults[byte], byte_bits, macro)
            else:
                problems.append("the header has no %s and the file gives no datasheet note for it" % macro)
                reference = None
            check_bits(ini, "fuse-bits", prefix, byte_bits, reference, "the %s fuse byte" % byte, problems)

        # Lock byte.
        lock_bits = {}
        for macro, members in LOCK_GROUPS:
            if macro in headers.macros:
                lock_bits.update(dict(members))
        if "bootlock" in declared:
            boot = [lock_name for bit, lock_name in sorted(lock_bits.items()) if lock_name.startswith("BLB")]
            if boot:
                notes.append("no boot lock bits from datasheet, header lists %s" % ", ".join(boot))
                lock_bits = {bit: n for bit, n in lock_bits.items() if not n.startswith("BLB")}
            else:
                problems.append("datasheet note removes boot lock bits, but the header lists none; drop it")
        lock_default = headers.number("LOCKBITS_DEFAULT")
        if lock_default is None and lock_bits:
            problems.append("avr/lock.h gives no LOCKBITS_DEFAULT")
        check_bits(ini, "lock-bits", "Lock_", lock_bits, lock_default, "the lock byte", problems)

        # The extensions: EEPROM, calibration bytes, the standard board, the fuse fields.
        check_eeprom(ini, headers, problems)
        check_calibration(ini, name, problems, notes)
        check_standard_board(ini, problems)
        check_fields(ini, problems)
        check_fields_source(ini, problems)
    except HeaderError as e:
        problems.append("reading the avr-libc headers for %s: %s" % (name, e))
    return problems, notes


def check_eeprom(ini, headers, problems):
    """EEPROM_Size and EEPROM_Page_Size against the header's E2END and E2PAGESIZE."""
    e2end = headers.number("E2END")
    if e2end is None:
        for key in ("EEPROM_Size", "EEPROM_Page_Size"):
            if ini.get("configuration", key) is not None:
                problems.append("%s given, but the header defines no E2END" % key)
        return
    check_number(ini, "EEPROM_Size", e2end + 1, "the header's E2END + 1", "", r"[1-9][0-9]*", "decimal",
                 None, problems)
    page = headers.number("E2PAGESIZE")
    # A header without E2PAGESIZE, or with 0, describes EEPROM written a byte at a time.
    check_number(ini, "EEPROM_Page_Size", page or 0, "the header's E2PAGESIZE", "", r"0|[1-9][0-9]*",
                 "decimal", None, problems)


AVRDUDE_CONF = "/etc/avrdude.conf"


def avrdude_parts(path):
    """{description: {memory name: size}} from avrdude's part list, each part's parents resolved."""
    try:
        with open(path, encoding="latin-1") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    parts, current, memory = {}, None, None
    for line in lines:
        stripped = line.split("#", 1)[0].strip()
        m = re.match(r'part(?:\s+parent\s+"([^"]+)")?$', stripped)
        if m and not line.startswith(" "):
            current = {"parent": m.group(1), "id": None, "desc": None, "memory": {}}
            memory = None
            continue
        if current is None:
            continue
        m = re.match(r'memory\s+"([^"]+)"$', stripped)
        if m:
            memory = current["memory"].setdefault(m.group(1), {})
            continue
        if stripped == ";":
            if memory is not None:
                memory = None
            else:
                if current["id"]:
                    parts[current["id"]] = current
                current = None
            continue
        m = re.match(r'(\w+)\s*=\s*(.*?);?$', stripped)
        if m:
            key, value = m.group(1), m.group(2).strip().rstrip(";").strip()
            if memory is not None:
                memory[key] = value
            elif key in ("id", "desc"):
                current[key] = value.strip('"')

    def memory_size(part, name, depth=0):
        if name in part["memory"] and "size" in part["memory"][name]:
            return int(part["memory"][name]["size"], 0)
        parent = parts.get(part["parent"])
        return memory_size(parent, name, depth + 1) if parent and depth < 8 else None
    return {p["desc"]: {"calibration": memory_size(p, "calibration")} for p in parts.values() if p["desc"]}


_AVRDUDE = {}


def set_avrdude_conf(path):
    global AVRDUDE_CONF
    AVRDUDE_CONF = path
    _AVRDUDE.clear()


def check_calibration(ini, name, problems, notes):
    """Calibration_Size against the calibration memory of avrdude's part list."""
    text = ini.get("configuration", "Calibration_Size")
    if text is None:
        return
    value = program_number(text)
    if value is None or not re.fullmatch(r"[0-9]+", text):
        problems.append("Calibration_Size=%s should be a decimal number" % text)
        return
    if "parts" not in _AVRDUDE:
        _AVRDUDE["parts"] = avrdude_parts(AVRDUDE_CONF)
    known = _AVRDUDE["parts"]
    if known is None:
        notes.append("Calibration_Size not checked: no avrdude part list at %s" % AVRDUDE_CONF)
        return
    expected = (known.get(name) or {}).get("calibration")
    if expected is None:
        notes.append("Calibration_Size %d not checked: avrdude's part list has no calibration memory for the %s"
                     % (value, name))
    elif expected != value:
        problems.append("Calibration_Size=%s but avrdude's part list gives the %s %d calibration bytes"
                        % (text, name, expected))


def check_standard_board(ini, problems):
    text = ini.get("configuration", "Standard_Board")
    if text is None:
        return
    if text not in ("yes", "no"):
        problems.append("Standard_Board=%s should be yes or no" % text)
    elif text == "no" and not any(c.startswith("standard board: no, ") and len(c) > 30 for c in ini.comments):
        problems.append("Standard_Board=no without a '; standard board: no, <reason and source>' line")


def named_bits(ini, section, prefix):
    """{bit: (name, factory bit)} of one byte as the file names it."""
    found = {}
    for bit in range(8):
        text = ini.get(section, prefix + str(bit))
        if text is not None and "|" in text and text.split("|")[0]:
            name, flag = text.split("|", 1)
            found[bit] = (name, 1 if flag == "U" else 0)
    return found


def check_fields(ini, problems):
    """The fuse fields: where they lie, that they do not overlap, and that their values are named."""
    numbers = sorted(int(s.split("-")[1]) for s in ini.sections if _FIELD_SECTION.fullmatch(s))
    if numbers != list(range(len(numbers))):
        problems.append("field sections are numbered %s; the program reads them from [field-0] to the first gap"
                        % ", ".join(map(str, numbers)))
    if numbers and not any(c.startswith("fuse fields: ") and _URL.search(c) for c in ini.comments):
        problems.append("fuse fields without a '; fuse fields: <source and address>' line")
    # A shipped file says what its bits mean, or why it cannot.
    none = [c for c in ini.comments if c.startswith("fuse fields: none, ")]
    if numbers and none:
        problems.append("fuse fields, but also a '; fuse fields: none, ...' line")
    if not numbers and not any(len(c) > len("fuse fields: none, ") + 20 for c in none):
        problems.append("no fuse fields, and no '; fuse fields: none, <reason>' line")
    covered = {}
    for n in numbers:
        section = "field-%d" % n
        get = lambda key: ini.get(section, key)
        name, byte, mask_text, caption = get("Name"), get("Byte"), get("Mask"), get("Caption")
        where = "[%s] %s" % (section, name or "")
        if not name or not re.fullmatch(r"[A-Z0-9_]+", name):
            problems.append("[%s] has no Name of upper-case letters, digits and _" % section)
        if not caption:
            problems.append("%s has no Caption" % where)
        if byte not in FIELD_BYTES:
            problems.append("%s: Byte=%s should be Low, High, Ext or Lock" % (where, byte))
            continue
        mask = program_number(mask_text) if mask_text is not None else None
        if mask is None or not re.fullmatch(r"\$[0-9A-F]{2}", mask_text) or not 0 < mask <= 0xFF:
            problems.append("%s: Mask=%s should be $ and two upper-case hex digits, not 0" % (where, mask_text))
            continue
        bits = [b for b in range(8) if mask >> b & 1]
        names = named_bits(ini, *FIELD_BYTES[byte])
        for b in bits:
            if b not in names:
                problems.append("%s covers bit %d of the %s byte, which the file does not name" % (where, b, byte))
            elif (byte, b) in covered:
                problems.append("%s and %s both cover bit %d of the %s byte" % (covered[(byte, b)], where, b, byte))
            else:
                covered[(byte, b)] = where
        values = {}
        for key in sorted(k for (s, k) in ini.values if s == section and k.startswith("Value_")):
            value = int(key[len("Value_"):], 16)
            if value >= 1 << len(bits):
                problems.append("%s: %s lies outside a field of %d bits" % (where, key, len(bits)))
            elif not ini.get(section, key):
                problems.append("%s: %s has no name" % (where, key))
            else:
                values[value] = ini.get(section, key)
        if not values:
            problems.append("%s names no value" % where)
        names_given = list(values.values())
        for name in sorted(set(n for n in names_given if names_given.count(n) > 1)):
            problems.append("%s: two values share the name %r" % (where, name))
        if len(bits) == 1 and set(values) != {0, 1}:
            problems.append("%s: a single bit needs a name for 0 and for 1" % where)
        check_boot_sections(ini, where, values, problems)
        if all(b in names for b in bits):
            factory = sum(names[b][1] << k for k, b in enumerate(bits))
            if factory not in values:
                problems.append("%s: the factory value %0*d (bits %s) has no name"
                                % (where, len(bits), int(bin(factory)[2:]), "".join(names[b][0] + " " for b in bits).strip()))
    for (byte, bit), where in sorted(covered.items()):
        if not ini.get("bit-descriptions", FIELD_BYTES[byte][1] + str(bit)):
            problems.append("%s: bit %d of the %s byte has no line in [bit-descriptions]" % (where, bit, byte))
    for (section, key) in ini.values:
        if section == "bit-descriptions":
            byte = next(b for b, (_, prefix) in FIELD_BYTES.items() if key.startswith(prefix))
            if int(key[-1]) not in named_bits(ini, *FIELD_BYTES[byte]):
                problems.append("[bit-descriptions] %s describes a bit the file does not name" % key)


_BOOT_SECTION = re.compile(r"(\d+) words from word address \$([0-9A-F]+)")


def check_boot_sections(ini, where, values, problems):
    """A boot section ends where the Flash ends: size and start address of each named boot size must
    add up to the Flash's words (the ATDFs of some parts carry a sibling's addresses)."""
    flash = program_number(ini.get("configuration", "Flash_Size") or "")
    if not flash:
        return
    for value, name in sorted(values.items()):
        m = _BOOT_SECTION.search(name)
        if m and int(m.group(1)) + int(m.group(2), 16) != flash // 2:
            problems.append("%s: value %d, %s, does not end at the end of the %d-word Flash"
                            % (where, value, m.group(0), flash // 2))


FUSEFIELDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fusefields.json")
_FUSEFIELDS = {}
_ATDF_BYTES = {"LOW": "Low", "HIGH": "High", "EXTENDED": "Ext", "LOCKBIT": "Lock"}


def _packed(raw, mask):
    """The bits of raw under mask, packed right-aligned (the ATDF's values are shifted by the
    mask's lowest bit only, so a mask with a gap keeps the gap in its values)."""
    return sum((raw >> b & 1) << k for k, b in enumerate(b for b in range(8) if mask >> b & 1))


def check_fields_source(ini, problems):
    """Every field and every value the named ATDF gives (as tools/fusefields.json holds it) is in
    the file, with a name; a field of the ATDF missing from the file is listed as left out."""
    note = next((c for c in ini.comments if c.startswith("fuse fields: ")), None)
    if note is None or note.startswith("fuse fields: none, "):
        return
    m = re.search(r"https://github\.com/([^/]+/[^/]+)/blob/([0-9a-f]{40})/(\S+?\.atdf)", note)
    if not m:
        problems.append("the fuse fields line names no ATDF file on GitHub")
        return
    if "facts" not in _FUSEFIELDS:
        try:
            with open(FUSEFIELDS, encoding="ascii") as f:
                _FUSEFIELDS["facts"] = json.load(f)
        except OSError:
            _FUSEFIELDS["facts"] = None
    facts = _FUSEFIELDS["facts"]
    if facts is None:
        return
    source = next((p for p in facts["parts"].values()
                   if (p["atdf"]["repo"], p["atdf"]["commit"], p["atdf"]["path"]) == m.groups()), None)
    if source is None:
        problems.append("%s is not among the ATDF files of %s" % (m.group(3), FUSEFIELDS))
        return
    in_file = {}
    for section in ini.sections:
        if _FIELD_SECTION.fullmatch(section):
            in_file[ini.get(section, "Name")] = section
    left_out = note.split("; left out: ", 1)[1] if "; left out: " in note else ""
    for register in source["registers"]:
        byte = _ATDF_BYTES[register["name"]]
        for field in register["fields"]:
            where = "%s's %s" % (m.group(3), field["name"])
            section = in_file.get(field["name"])
            if section is None:
                if not re.search(r"(^|, )%s \(" % re.escape(field["name"]), left_out):
                    problems.append("%s is neither in the file nor listed as left out" % where)
                continue
            if ini.get(section, "Byte") != byte or program_number(ini.get(section, "Mask") or "") != int(field["mask"], 16):
                problems.append("[%s]: the ATDF puts %s at %s mask %s" % (section, field["name"], byte, field["mask"]))
            if "values" not in field:
                continue
            mask = int(field["mask"], 16)
            wanted = {_packed(int(v, 16) << ((mask & -mask).bit_length() - 1), mask)
                      for v, _ in facts["values"][field["values"]]}
            given = {int(k[len("Value_"):], 16) for (s, k) in ini.values if s == section and k.startswith("Value_")}
            for value in sorted(wanted - given):
                problems.append("[%s] %s: the ATDF value 0x%02X has no name in the file" % (section, field["name"], value))
            for value in sorted(given - wanted):
                problems.append("[%s] %s: Value_%02X is no value of the ATDF" % (section, field["name"], value))


def check_sibling(include_dir, part, first, signature, flashend, page, problems, notes):
    """A part that shares a file with `first`: its header, where it has one, must give the same
    Flash and page size.  A different signature is only noted, since avr-libc has copied a
    sibling's signature into some headers; the file's signature is the first part's."""
    try:
        theirs = DeviceHeaders(include_dir, part)
    except HeaderError as e:
        problems.append("reading the avr-libc headers for %s: %s" % (part, e))
        return
    if not theirs.device_headers:
        notes.append("%s has no header of its own; it shares the file on its datasheet's word" % part)
        return
    for macro, own in (("FLASHEND", flashend), ("SPM_PAGESIZE", page)):
        value = theirs.number(macro)
        if value is not None and own is not None and value != own:
            problems.append("%s's header gives %s %d but %s's %d: they cannot share a file"
                            % (part, macro, value, first, own))
    sig = [theirs.number("SIGNATURE_%d" % n) for n in range(3)]
    if None not in sig and [v & 0xFF for v in sig] != list(signature):
        notes.append("%s's header gives the signature %s; the file keeps %s" % (part, hex_bytes(sig), hex_bytes(signature)))


def check_number(ini, key, expected, source, missing, style, style_text, reduce, problems):
    """source: where the expected value comes from; missing: the problem when it is None."""
    text = ini.get("configuration", key)
    if expected is None:
        problems.append(missing)
        return
    if text is None:
        problems.append("%s missing" % key)
        return
    value = program_number(text)
    if value is None:
        problems.append("%s=%s is not a number the program reads" % (key, text))
        return
    if not re.fullmatch(style, text):
        problems.append("%s=%s should be written %s" % (key, text, style_text))
    if reduce:
        value = reduce(value)
    if value != expected:
        problems.append("%s=%s but %s is %d (0x%X)" % (key, text, source, expected, expected))


def check_bits(ini, section, prefix, names, reference, what, problems):
    """names: {bit: name} from the header; reference: factory byte or None."""
    for bit in range(8):
        key = prefix + str(bit)
        text = ini.get(section, key)
        expected = names.get(bit)
        if expected is None:
            if text is not None:
                problems.append("%s=%s but %s has no bit %d" % (key, text, what, bit))
            continue
        if text is None:
            problems.append("%s missing: %s has %s at bit %d" % (key, what, expected, bit))
            continue
        m = re.fullmatch(r"([A-Za-z0-9_]+)\|([UP])", text)
        if not m:
            problems.append("%s=%s is not NAME|U or NAME|P" % (key, text))
            continue
        if m.group(1) != expected:
            elsewhere = [k for k in SECTIONS[section] if ini.get(section, k) is not None
                         and ini.get(section, k).split("|")[0] == expected and k != key]
            problems.append("%s names %s, but bit %d of %s is %s%s"
                            % (key, m.group(1), bit, what, expected,
                               " (given at %s)" % elsewhere[0] if elsewhere else ""))
        if reference is not None:
            flag = "U" if reference >> bit & 1 else "P"
            if m.group(2) != flag:
                problems.append("%s=%s but the factory value of %s is %s (byte $%02X)"
                                % (key, text, expected, "1, so U" if flag == "U" else "0, so P", reference))


def read_signature(path):
    """The three signature bytes of a device file as the program reads them, or None."""
    values = {}
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            for line in f:
                key, _, value = line.partition("=")
                key = key.strip().lower()
                if key in ("signature_000", "signature_001", "signature_002") and key not in values:
                    values[key] = value.strip()
    except OSError:
        return None
    try:
        return tuple(int(values[k].lstrip("$"), 16) & 0xFF if values[k].startswith("$") else int(values[k]) & 0xFF
                     for k in ("signature_000", "signature_001", "signature_002"))
    except (KeyError, ValueError):
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cpu", required=True, help="folder holding the *.ini device files")
    parser.add_argument("--include", required=True, help="avr-libc include folder (holding avr/io.h)")
    parser.add_argument("--avrdude-conf", default=AVRDUDE_CONF,
                        help="avrdude's part list, for the calibration byte counts")
    args = parser.parse_args()
    set_avrdude_conf(args.avrdude_conf)

    if not os.path.isfile(os.path.join(args.include, "avr", "io.h")):
        print("avr-libc headers not found: no avr/io.h under %s (install avr-libc)" % args.include)
        return 2
    if not os.path.isdir(args.cpu):
        print("device folder %s not found" % args.cpu)
        return 2

    files = sorted(f for f in os.listdir(args.cpu)
                   if f.lower().endswith(".ini") and os.path.isfile(os.path.join(args.cpu, f)))
    failed = 0
    total = 0
    for f in files:
        problems, notes = check_file(os.path.join(args.cpu, f), args.include)
        for note in notes:
            print("note %s: %s" % (f, note))
        for problem in problems:
            print("%s: %s" % (f, problem))
        total += len(problems)
        if problems:
            failed += 1
            print("FAIL %s" % f)
        else:
            print("ok %s" % f)
    # The program identifies a chip by its signature alone, and of several files with one
    # signature the last in list order always wins: the others could never be identified.
    owners = {}
    for f in files:
        signature = read_signature(os.path.join(args.cpu, f))
        if signature is not None:
            owners.setdefault(signature, []).append(f)
    for signature, names in sorted(owners.items()):
        if len(names) > 1:
            print("%s share the signature %s: one file must stand for all of them"
                  % (" and ".join(names), " ".join("%02X" % b for b in signature)))
            total += 1
    if len(files) < MIN_FILES:
        print("only %d device files in %s; the catalogue needs at least %d" % (len(files), args.cpu, MIN_FILES))
        total += 1
    print("%d files, %d failed, %d problems" % (len(files), failed, total))
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
