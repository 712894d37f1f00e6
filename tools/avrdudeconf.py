#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Reads avrdude's part list (avrdude.conf) into plain facts per part.

avrdude's list is an outside reference for our tables: its parts come from Microchip's
device descriptions, not from our beliefs. Only its facts are used (numbers, flags,
sizes), never its text. A part that names a parent inherits the parent's settings and
memories, as avrdude itself reads the file: the part's own settings override, its own
memories extend or replace the parent's (`memory "x" = NULL` removes one).

    parts = avrdudeconf.load()                    # by part id ("m328p")
    part = avrdudeconf.by_desc(parts)["ATmega328P"]
    part.signature, part.flash_size, part.flash_page, part.number("latchcycles")
"""

import os
import re

DEFAULT_PATH = "/etc/avrdude.conf"

_TOKEN = re.compile(
    r'"(?:[^"\\]|\\.)*"'        # quoted string
    r"|0[xX][0-9a-fA-F]+"       # hexadecimal number
    r"|\d+(?:\.\d+)?"           # decimal number
    r"|[A-Za-z_][A-Za-z0-9_]*"  # word
    r"|[=;,|&^~+\-*/()<>]")     # punctuation and the operators of simple expressions


def _strip_comments(text):
    """Removes '#' comments outside quoted strings."""
    out = []
    for line in text.splitlines():
        cut = None
        quoted = False
        for i, c in enumerate(line):
            if c == '"':
                quoted = not quoted
            elif c == "#" and not quoted:
                cut = i
                break
        out.append(line if cut is None else line[:cut])
    return "\n".join(out)


def tokenize(text):
    return _TOKEN.findall(_strip_comments(text))


def _number(token):
    if token.startswith(("0x", "0X")):
        return int(token, 16)
    if token.isdigit():
        return int(token)
    return None


def _evaluate(tokens):
    """A value's tokens as a number where they are a simple arithmetic or bitwise
    expression of numbers; None otherwise."""
    parts = []
    for t in tokens:
        if _number(t) is not None:
            parts.append(str(_number(t)))
        elif t in "+-*/()|&^~<>":
            parts.append("//" if t == "/" else t)
        else:
            return None
    expression = " ".join(parts).replace("< <", "<<").replace("> >", ">>")
    if not expression:
        return None
    try:
        return int(eval(expression, {"__builtins__": {}}, {}))  # numbers and operators only
    except (SyntaxError, ValueError, ZeroDivisionError, TypeError):
        return None


class Memory:
    def __init__(self, name, values=None):
        self.name = name
        self.values = dict(values or {})

    def number(self, key, default=None):
        value = self.values.get(key)
        return default if value is None else _evaluate(value)


class Part:
    """One part as avrdude sees it, its parent's settings already merged in."""

    def __init__(self, part_id, parent=None):
        self.id = part_id
        self.parent = parent
        self.values = {}    # key -> list of tokens (commas dropped)
        self.memories = {}  # name -> Memory

    @property
    def desc(self):
        return self.string("desc")

    def string(self, key):
        value = self.values.get(key)
        if not value or not value[0].startswith('"'):
            return None
        return value[0][1:-1]

    def number(self, key, default=None):
        value = self.values.get(key)
        return default if value is None else _evaluate(value)

    def numbers(self, key):
        """A list value (pp_controlstack, signature) as numbers; None if absent or NULL."""
        value = self.values.get(key)
        if not value or value == ["NULL"]:
            return None
        out = [_number(t) for t in value]
        return None if any(n is None for n in out) else out

    @property
    def signature(self):
        s = self.numbers("signature")
        return tuple(s) if s else None

    @property
    def prog_modes(self):
        value = self.values.get("prog_modes") or []
        return {t for t in value if t.startswith("PM_")}

    @property
    def has_parallel(self):
        return "PM_HVPP" in self.prog_modes

    def memory(self, name):
        return self.memories.get(name)

    @property
    def flash_size(self):
        m = self.memory("flash")
        return m.number("size") if m else None

    @property
    def flash_page(self):
        m = self.memory("flash")
        return m.number("page_size") if m else None


def _statement(tokens, i):
    """Reads `key = value ... ;` (or `key value ;`) from tokens[i]; returns (key, value
    tokens, next index)."""
    key = tokens[i]
    j = i + 1
    if j < len(tokens) and tokens[j] == "=":
        j += 1  # `alias "x";` has none
    value = []
    while j < len(tokens) and tokens[j] != ";":
        if tokens[j] != ",":
            value.append(tokens[j])
        j += 1
    return key, value, j + 1


def _block(tokens, i, into_values, into_memories):
    """Reads the statements of a part or programmer up to its closing bare ';'."""
    while i < len(tokens):
        t = tokens[i]
        if t == ";":
            return i + 1
        if t == "memory":
            name = tokens[i + 1].strip('"')
            if tokens[i + 2] == "=":  # memory "x" = NULL;
                into_memories[name] = None
                i += 5 if tokens[i + 4] == ";" else 4
                continue
            memory = into_memories.get(name)
            memory = Memory(name, memory.values if memory else None)
            i += 2
            while tokens[i] != ";":
                key, value, i = _statement(tokens, i)
                memory.values[key] = value
            into_memories[name] = memory
            i += 1
            continue
        key, value, i = _statement(tokens, i)
        into_values[key] = value
    raise ValueError("avrdude.conf: a part or programmer is not closed")


def parse(text):
    """Every part of the file by id, parents merged in."""
    tokens = tokenize(text)
    raw = []
    i = 0
    while i < len(tokens):
        t = tokens[i]
        if t in ("part", "programmer"):
            parent = None
            i += 1
            if i < len(tokens) and tokens[i] == "parent":
                parent = tokens[i + 1].strip('"')
                i += 2
            values, memories = {}, {}
            i = _block(tokens, i, values, memories)
            if t == "part":
                raw.append((parent, values, memories))
        elif i + 1 < len(tokens) and tokens[i + 1] == "=":
            _, _, i = _statement(tokens, i)  # a global setting
        else:
            raise ValueError("avrdude.conf: unexpected %r" % t)

    parts = {}
    for parent, values, memories in raw:
        part_id = values.get("id", ['""'])[0].strip('"')
        part = Part(part_id, parent)
        if parent is not None:
            if parent not in parts:
                raise ValueError("avrdude.conf: %s names the unknown parent %s" % (part_id, parent))
            base = parts[parent]
            part.values = dict(base.values)
            part.memories = {n: Memory(n, m.values) for n, m in base.memories.items()}
        part.values.update(values)
        for name, memory in memories.items():
            if memory is None:
                part.memories.pop(name, None)
            else:
                merged = part.memories.get(name)
                part.memories[name] = Memory(name, dict(merged.values if merged else {}, **memory.values))
        parts[part_id] = part
    return parts


def load(path=DEFAULT_PATH):
    with open(path, encoding="utf-8", errors="replace") as f:
        return parse(f.read())


def by_desc(parts):
    """The parts by their description ("ATmega328P"); the first of a name wins."""
    out = {}
    for part in parts.values():
        if part.desc and part.desc not in out:
            out[part.desc] = part
    return out


def pp_pins(stack):
    """What a part's pp_controlstack says of its BS2 and PAGEL pins, as
    (bs2_on_xa1, pagel_own_line), or None without a stack.

    The stack holds the programmer's control-port patterns: bytes 0 to 15 load an address,
    data or command for each XA1, XA0, BS2, BS1 (index bits 3 to 0), bytes 16 to 23 are the
    OE and WR phases for each BS2, BS1, byte 24 the PAGEL latch. So the XA1 bit is what
    byte 8 adds to byte 0, and BS2 shares the XA1 pin where a data phase with BS2 set adds
    that same bit (byte 18 against byte 16). PAGEL has a line of its own where the latch
    pattern sets a bit that no other pattern uses."""
    if not stack or len(stack) < 26:
        return None
    xa1 = stack[8] ^ stack[0]
    bs2 = stack[18] ^ stack[16]
    used = 0
    for pattern in stack[0:24]:
        used |= pattern
    return bs2 == xa1, bool(stack[24] & ~used & 0xFF)
