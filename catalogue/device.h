// SPDX-License-Identifier: GPL-3.0-or-later
// A device as its definition file describes it. Plain records: made at start-up,
// never changed afterwards, alive until the program ends.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

using TFuseArray = std::array<QString, 8>;

struct TBitGroup {
    TFuseArray Names;            // Names[n] names bit n; empty: the bit is not used
    std::uint8_t Reference = 0;  // factory value: bit n is 1 where the file says "U"
};

// Groups, always in this order.
enum GroupIndex { grLow = 0, grHigh = 1, grExtended = 2, grLock = 3 };

struct TDevice {
    std::array<std::uint8_t, 3> Signature{};
    QString Name;
    std::int32_t PageSize = 0;
    std::int32_t FlashSize = 0;
    std::array<TBitGroup, 4> Groups{};
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
