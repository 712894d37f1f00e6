// SPDX-License-Identifier: GPL-3.0-or-later
// What fuse and lock bytes mean, field by field, in the names the device file gives.
// Pure functions of a device record and byte values: no files, no state. A value the file
// does not name is reported as such, never guessed.
#pragma once

#include "device.h"

#include <QStringList>
#include <array>
#include <cstdint>
#include <vector>

// The four bytes in GroupIndex order: Low, High, Extended, Lock.
using FuseBytes = std::array<std::uint8_t, 4>;

// The factory bytes the device file gives (each group's Reference).
FuseBytes factoryBytes(const TDevice &device);

// The bits of mask in byte, packed right-aligned: mask $06 on byte $04 gives 2.
int fieldValue(std::uint8_t mask, std::uint8_t byte);

// A field value as the field's bits, most significant first: "0010" for 2 in a 4-bit field.
QString fieldBits(const TFuseField &field, int value);

// The file's name for a value, or "bits 0001, not named in the device file".
QString valueMeaning(const TFuseField &field, int value);

struct FieldReading {
    const TFuseField *Field = nullptr;  // into the device's Fields
    int Value = 0;                      // the field's bits, packed right-aligned
    bool Named = false;                 // the file names this value
    QString Meaning;                    // valueMeaning(*Field, Value)
};

// Every field of the device with its value in bytes, in the file's order.
std::vector<FieldReading> decodeFields(const TDevice &device, const FuseBytes &bytes);

// One line per field: "<Caption>: <meaning>", e.g. "Boot size: 256 words from word address $3F00".
QStringList describeFields(const TDevice &device, const FuseBytes &bytes);

struct FieldChange {
    const TFuseField *Field = nullptr;
    FieldReading Before;
    FieldReading After;
};

// The fields whose value differs between before and after, in the file's order.
std::vector<FieldChange> fieldChanges(const TDevice &device, const FuseBytes &before, const FuseBytes &after);

// One line per changed field, "<Caption>: <before> -> <after>" (where both values carry the same
// name, each is followed by its bits: "... (bits 01) -> ... (bits 10)"), then one line per changed bit
// that no field covers: "<byte> bit <n> (<name>): 1 -> 0, in no field of the device file".
QStringList describeChanges(const TDevice &device, const FuseBytes &before, const FuseBytes &after);
