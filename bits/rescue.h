// SPDX-License-Identifier: GPL-3.0-or-later
// Getting a chip back: its factory bits, what a write does to each fuse field, and why a
// Read Chip found no chip at all. Pure functions of a device record and bytes.
#pragma once

#include "chipops.h"
#include "device.h"

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace core {

// base with every named bit of the device set to its factory value (the group's Reference);
// the bits the device leaves unnamed keep base's value.
ChipBytes withFactoryBits(const TDevice &device, const ChipBytes &base);

// What "factory" writes: named bits at their factory value, unnamed bits 1.
ChipBytes factoryWriteBytes(const TDevice &device);

// Every field of the device that lies in one of groups, as "<Caption>: <meaning>", in the
// file's order.
QStringList describeGroupFields(const TDevice &device, const std::vector<int> &groups, const ChipBytes &bytes);

// The lines a write's confirmation adds for groups of sent: with before, the meaning before and
// after of each changed field ("Clock: ... -> ..."); without it, the meaning of what is sent.
// Then notes on what the chip refuses: lock bits a write cannot unprogram, and fuses that
// programmed LB1 keeps. Empty when the device names no field and nothing needs a note.
QStringList writeMeaning(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                         const std::optional<ChipBytes> &before);

// A signature of three equal bytes (00 00 00 and FF FF FF among them) is the data bus with
// nothing driving it: no chip answered.
bool isNoChipSignature(const std::array<std::uint8_t, 3> &signature);

struct NoChip {
    QString status;     // one line for the status bar
    QString text;       // what was read and what it means
    QString causes;     // the usual causes, most likely first, and the first thing to check
};

// Why a Read Chip that read signature found no chip; nothing for a signature a chip can have.
std::optional<NoChip> diagnoseSignature(const std::array<std::uint8_t, 3> &signature);

}  // namespace core
