// SPDX-License-Identifier: GPL-3.0-or-later
// A device as its definition file describes it. Plain records: made at start-up,
// never changed afterwards, alive until the program ends.
#pragma once

#include <QMap>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

using TFuseArray = std::array<QString, 8>;

struct TBitGroup {
    TFuseArray Names;            // Names[n] names bit n; empty: the bit is not used
    std::uint8_t Reference = 0;  // factory value: bit n is 1 where the file says "U"
};

// Groups, always in this order.
enum GroupIndex { grLow = 0, grHigh = 1, grExtended = 2, grLock = 3 };

// One field of a fuse or lock byte as the device file names it ([field-N] sections).
// A field's value is its bits packed right-aligned: mask $06 on the byte 0000 0100 gives 2.
struct TFuseField {
    QString Name;                  // the datasheet's name, e.g. "SUT_CKSEL", "BOOTSZ", "CKDIV8"
    int Group = grLow;             // the byte it lives in (GroupIndex)
    std::uint8_t Mask = 0;         // its bits in that byte, never 0
    QString Caption;               // what it sets, e.g. "Clock", "Boot size"
    QMap<int, QString> Values;     // value -> name; a value not listed has no name
};

struct TDevice {
    std::array<std::uint8_t, 3> Signature{};
    QString Name;
    std::int32_t PageSize = 0;
    std::int32_t FlashSize = 0;
    std::array<TBitGroup, 4> Groups{};
    // Optional facts: a file without them gives these defaults.
    std::int32_t EepromSize = 0;        // bytes; 0: unknown
    std::int32_t EepromPageSize = 0;    // bytes; 0: written byte by byte, or unknown
    std::int32_t CalibrationSize = 0;   // oscillator calibration bytes in the signature row; 0: unknown
    bool StandardBoard = true;          // false: the standard adapter board must never power this part
    std::vector<TFuseField> Fields;     // in file order; empty when the file names none
    std::array<TFuseArray, 4> BitDescriptions{};  // [group][bit]: what the bit does; empty: not described
};

inline bool IsBitSet(std::uint8_t value, int n)
{
    return (value >> n) & 1u;
}

// State 0 clears bit n, 1 sets it, anything else leaves the value alone.
inline void SetBit(std::uint8_t &value, int n, std::uint8_t state)
{
    if (state == 0)
        value = std::uint8_t(value & ~(1u << n));
    else if (state == 1)
        value = std::uint8_t(value | (1u << n));
}
