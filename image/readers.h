// SPDX-License-Identifier: GPL-3.0-or-later
// Inside the codec: the image being filled, text line and digit handling, and one reader per
// format. Each reader returns an empty string on success, otherwise the reason with its place.
#pragma once

#include "imagecodec.h"

#include <string>
#include <string_view>
#include <vector>

namespace image::detail {

// Formats value as upper-case hex digits, at least digits of them.
std::string hex(std::uint64_t value, int digits);

// The image being filled: bytes given are kept with their addresses, holes stay FFh.
class Placement {
public:
    // Data may lie at addresses below limit. memory names the memory in refusals; without one
    // the converter's wording is used. unit is what the file gives data in ("record").
    Placement(std::size_t limit, const char *memory, const char *unit);

    // Empty on success, otherwise the reason.
    std::string place(std::uint64_t address, const std::uint8_t *data, std::size_t count);
    Decoded finish();

private:
    std::string address(std::uint64_t value) const;

    std::size_t limit_;
    const char *memory_;
    const char *unit_;
    std::vector<std::uint8_t> bytes_;
    std::vector<bool> given_;
};

// Text split at LF, CR LF or a lone CR, as avr-objcopy reads it; lines count from 1.
class Lines {
public:
    explicit Lines(std::string_view text) : text_(text) {}
    // The next line that holds more than blanks and tabs (editors leave such lines behind).
    bool next(std::string_view &line);
    std::size_t number() const { return number_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
};

// Checks that line holds only hex digits from column from (counted from 0) on.
std::string checkDigits(std::string_view line, std::size_t from);
// Byte n of the digits that start at column from.
std::uint8_t byteAt(std::string_view line, std::size_t from, std::size_t n);
// Shows a character without putting control bytes into a one-line message.
std::string describeChar(char c);

std::string readIntelHex(std::string_view text, Placement &placement);
std::string readSRecord(std::string_view text, Placement &placement);
std::string readElf(std::string_view file, Memory memory, Placement &placement);

std::string writeIntelHex(std::span<const std::uint8_t> bytes);
std::string writeSRecord(std::span<const std::uint8_t> bytes, int leastType, std::string_view header);

}  // namespace image::detail
