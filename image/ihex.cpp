// SPDX-License-Identifier: GPL-3.0-or-later
// Intel HEX: reading records 00 to 05, and writing an image as avr-objcopy writes one.
#include "readers.h"

#include <algorithm>

namespace image::detail {

namespace {

class HexReader {
public:
    explicit HexReader(Placement &placement) : placement_(placement) {}
    std::string run(std::string_view text);

private:
    std::string record(std::string_view line);
    std::string data(std::uint32_t offset, const std::uint8_t *bytes, std::size_t count);

    Placement &placement_;
    std::uint64_t base_ = 0;  // from the last type 02 or 04 record
    bool ended_ = false;
};

std::string HexReader::run(std::string_view text)
{
    Lines lines(text);
    std::string_view line;
    while (!ended_ && lines.next(line)) {
        const std::string reason = record(line);
        if (!reason.empty())
            return "line " + std::to_string(lines.number()) + ": " + reason;
    }
    if (!ended_) {
        return "line " + std::to_string(lines.number() == 0 ? 1 : lines.number())
               + ": input ends without an end-of-file record (type 01)";
    }
    return {};
}

std::string HexReader::record(std::string_view line)
{
    if (line.front() != ':')
        return "record does not start with ':'";
    if (std::string reason = checkDigits(line, 1); !reason.empty())
        return reason;
    const std::size_t digits = line.size() - 1;
    if (digits < 2)
        return "record too short to hold a byte count";

    std::uint8_t bytes[255 + 5];
    const std::size_t count = byteAt(line, 1, 0);
    const std::size_t expected = 2 * (count + 5);  // count, address (2), type, data, checksum
    if (digits < expected)
        return "record shorter than its byte count 0x" + hex(count, 2) + " says";
    if (digits > expected)
        return "record longer than its byte count 0x" + hex(count, 2) + " says";

    unsigned sum = 0;
    for (std::size_t n = 0; n < count + 5; ++n) {
        bytes[n] = byteAt(line, 1, n);
        sum += bytes[n];
    }
    if ((sum & 0xFF) != 0) {
        const unsigned given = bytes[count + 4];
        const unsigned wanted = (0x100 - ((sum - given) & 0xFF)) & 0xFF;
        return "bad checksum 0x" + hex(given, 2) + ", the record's bytes give 0x" + hex(wanted, 2);
    }

    const auto offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    const unsigned type = bytes[3];
    const std::uint8_t *payload = bytes + 4;
    // The address field of types 01 to 05 carries no meaning (conventionally 0000) and is ignored.
    auto wrongLength = [&](std::size_t wanted) {
        return "record type 0x" + hex(type, 2) + " needs byte count 0x" + hex(wanted, 2) + ", not 0x" + hex(count, 2);
    };
    switch (type) {
    case 0x00:
        return data(offset, payload, count);
    case 0x01:
        if (count != 0)
            return wrongLength(0);
        ended_ = true;
        return {};
    case 0x02:
        if (count != 2)
            return wrongLength(2);
        base_ = static_cast<std::uint64_t>(payload[0] << 8 | payload[1]) * 16;
        return {};
    case 0x04:
        if (count != 2)
            return wrongLength(2);
        base_ = static_cast<std::uint64_t>(payload[0] << 8 | payload[1]) << 16;
        return {};
    case 0x03:  // start addresses mean nothing for a memory image
    case 0x05:
        if (count != 4)
            return wrongLength(4);
        return {};
    default:
        return "unknown record type 0x" + hex(type, 2);
    }
}

std::string HexReader::data(std::uint32_t offset, const std::uint8_t *bytes, std::size_t count)
{
    // Readers disagree on a record running past offset FFFF: some wrap to 0000 of the same
    // segment, some carry on into the next one. No tool writes such records, so refuse one
    // rather than pick a meaning.
    if (offset + count > 0x10000)
        return "data record at offset 0x" + hex(offset, 4) + " runs past the end of its 64 KiB segment";
    return placement_.place(base_ + offset, bytes, count);
}

// One record: ':', the bytes in upper-case hex, the checksum that makes them add up to 0.
void appendRecord(std::string &out, unsigned type, std::uint32_t address, const std::uint8_t *data,
                  std::size_t count)
{
    const std::uint8_t head[] = {std::uint8_t(count), std::uint8_t(address >> 8), std::uint8_t(address),
                                 std::uint8_t(type)};
    unsigned sum = 0;
    out += ':';
    for (std::uint8_t b : head) {
        out += hex(b, 2);
        sum += b;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out += hex(data[i], 2);
        sum += data[i];
    }
    out += hex((0x100 - (sum & 0xFF)) & 0xFF, 2);
    out += "\r\n";
}

void appendBase(std::string &out, unsigned type, std::uint32_t value)
{
    const std::uint8_t field[] = {std::uint8_t(value >> 8), std::uint8_t(value)};
    appendRecord(out, type, 0, field, 2);
}

}  // namespace

std::string readIntelHex(std::string_view text, Placement &placement)
{
    return HexReader(placement).run(text);
}

std::string writeIntelHex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() / 16 * 44 + 16);
    std::uint32_t segment = 0;  // base of the last 02 record
    std::uint32_t linear = 0;   // base of the last 04 record
    for (std::size_t where = 0; where < bytes.size(); where += 16) {
        const std::size_t count = std::min<std::size_t>(16, bytes.size() - where);
        if (where > segment + linear + 0xFFFF) {
            // avr-objcopy's choice: segment records while they reach, below 1 MiB; linear ones
            // above, after a 02 record back to 0 so that no reader adds the two bases.
            if (linear == 0 && where <= 0xFFFFF) {
                segment = std::uint32_t(where) & 0xF0000;
                appendBase(out, 0x02, segment >> 4);
            } else {
                if (segment != 0) {
                    segment = 0;
                    appendBase(out, 0x02, 0);
                }
                linear = std::uint32_t(where) & 0xFFFF0000;
                appendBase(out, 0x04, linear >> 16);
            }
        }
        appendRecord(out, 0x00, std::uint32_t(where) - segment - linear, bytes.data() + where, count);
    }
    out += ":00000001FF\r\n";
    return out;
}

}  // namespace image::detail
