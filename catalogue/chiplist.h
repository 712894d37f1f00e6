// SPDX-License-Identifier: GPL-3.0-or-later
// The order of the chip list and identification of a chip by its signature.
#pragma once

#include "device.h"

#include <QString>
#include <QStringList>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

inline const QString kAutoEntry = QStringLiteral("* AUTO *");

// The list's collation: alphabetical without regard to case; below 0 when a comes first.
int compareChipNames(const QString &a, const QString &b);

// Where a new entry goes in a list whose entry 0 is "* AUTO *": after every entry whose
// text sorts before or equal to it. "* AUTO *" itself keeps index 0 whatever the names are.
int sortedInsertIndex(const QStringList &texts, const QString &name);

using ChipNameCompare = std::function<int(const QString &, const QString &)>;

// The positions of names in list order: sorted by compare, names that compare equal in the
// order given, so an entry added later stands after its equals. Sorting the whole catalogue
// at once takes n log n comparisons; inserting one entry after another took n squared.
std::vector<std::size_t> chipListOrder(const QStringList &names, const ChipNameCompare &compare = compareChipNames);

struct Identification {
    int index = 0;       // the entry whose record matched last (0 when none did)
    bool found = false;  // that record describes a device (its Flash size is not 0)
};

// Every entry, entry 0 included, is compared; of several matches the last in list order wins.
Identification identifySignature(const std::vector<const TDevice *> &records,
                                 const std::array<std::uint8_t, 3> &signature);

// The parts a shared device name stands for: "ATmega8/8A" is ATmega8 and ATmega8A,
// "ATmega169/P/PA" is ATmega169, ATmega169P and ATmega169PA. A part after "/" that starts
// with a digit replaces the first name's part number ("AT90USB1286/1287"); one that starts with a
// letter is a suffix to the first name. A name without "/" stands for itself.
QStringList partNames(const QString &deviceName);

// Whether a name the user typed names this device: the whole name or one of its parts,
// without regard to case.
bool deviceNameMatches(const QString &deviceName, const QString &typed);
