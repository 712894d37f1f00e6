// SPDX-License-Identifier: GPL-3.0-or-later
// The command block protocol spoken with the programmer adapter.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace avrlink {

enum Command : std::uint8_t {
    cmdEnd = 0,
    cmdReadChip = 1,
    cmdWriteFuses = 2,
    cmdWriteLocks = 3,
    cmdChipErase = 4,
    cmdWritePage = 5,
    cmdReadBlock = 6,
    cmdReadWord = 7,
};

constexpr int kBlockSize = 8;
constexpr int kPageBufferSize = 128;
constexpr int kReadBlockSize = 128;
constexpr int kReadWordSize = 2;
// The adapter's acknowledgements of a page are bounded so a dead adapter cannot hang the window.
constexpr int kAckTimeoutMs = 2000;

using Block = std::array<std::uint8_t, kBlockSize>;
using Page = std::array<std::uint8_t, kPageBufferSize>;

// What one exchange works on. Both buffers start zeroed and are never cleared:
// bytes a command does not set carry over from whatever the last exchange left.
struct LinkState {
    Block CmdBlock{};
    Page PageBuffer{};
    QString PortName;
};

// Where the exchange reports its failures (an information box in the window).
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void information(const QString &text) = 0;
};

// Byte display used throughout the window: two upper-case hex digits and "h".
QString hexByte(std::uint8_t value);

}  // namespace avrlink
