// The order of the chip list and identification of a chip by its signature.
#pragma once

#include "device.h"

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <vector>

inline const QString kAutoEntry = QStringLiteral("* AUTO *");

// Where a new entry goes in a list whose entry 0 is "* AUTO *": after every entry whose
// text sorts before or equal to it, alphabetically without regard to case. "* AUTO *"
// itself keeps index 0 whatever the names are.
int sortedInsertIndex(const QStringList &texts, const QString &name);

struct Identification {
    int index = 0;       // the entry whose record matched last (0 when none did)
    bool found = false;  // that record describes a device (its Flash size is not 0)
};

// Every entry, entry 0 included, is compared; of several matches the last in list order wins.
Identification identifySignature(const std::vector<const TDevice *> &records,
                                 const std::array<std::uint8_t, 3> &signature);
