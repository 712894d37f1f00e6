// SPDX-License-Identifier: GPL-3.0-or-later
// Motorola S-record: reading S0 to S9, and writing an image as avr-objcopy writes one.
#include "readers.h"

#include <algorithm>

namespace image::detail {

namespace {

// Address bytes per record type S0 to S9; 0 marks S4, which has no meaning.
constexpr std::size_t addressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

class SRecordReader {
public:
    explicit SRecordReader(Placement &placement) : placement_(placement) {}
    std::string run(std::string_view text);

private:
    std::string record(std::string_view line);

    Placement &placement_;
    std::uint64_t dataRecords_ = 0;  // S1 to S3 so far, which S5 and S6 count
    bool ended_ = false;
};

std::string SRecordReader::run(std::string_view text)
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
               + ": input ends without a termination record (S7, S8 or S9)";
    }
    return {};
}

std::string SRecordReader::record(std::string_view line)
{
    if (line.front() != 'S')
        return "record does not start with 'S'";
    if (line.size() < 2)
        return "record too short to hold a type";
    if (line[1] < '0' || line[1] > '9' || line[1] == '4')
        return "unknown record type " + (line[1] == '4' ? std::string("S4") : describeChar(line[1]));
    const int type = line[1] - '0';
    if (std::string reason = checkDigits(line, 2); !reason.empty())
        return reason;
    const std::size_t digits = line.size() - 2;
    if (digits < 2)
        return "record too short to hold a byte count";
    const std::size_t count = byteAt(line, 2, 0);  // address, data and checksum bytes
    const std::size_t expected = 2 * (count + 1);
    if (digits < expected)
        return "record shorter than its byte count 0x" + hex(count, 2) + " says";
    if (digits > expected)
        return "record longer than its byte count 0x" + hex(count, 2) + " says";
    const std::size_t width = addressBytes[type];
    if (count < width + 1) {
        return "record type S" + std::to_string(type) + " needs byte count 0x" + hex(width + 1, 2)
               + " at least, not 0x" + hex(count, 2);
    }

    std::uint8_t bytes[256];
    unsigned sum = 0;
    for (std::size_t n = 0; n <= count; ++n) {
        bytes[n] = byteAt(line, 2, n);
        sum += bytes[n];
    }
    // The checksum is the ones' complement of the sum of the other bytes.
    if ((sum & 0xFF) != 0xFF) {
        const unsigned given = bytes[count];
        return "bad checksum 0x" + hex(given, 2) + ", the record's bytes give 0x" + hex(~(sum - given) & 0xFF, 2);
    }
    std::uint64_t address = 0;
    for (std::size_t n = 1; n <= width; ++n)
        address = address << 8 | bytes[n];
    const std::uint8_t *data = bytes + 1 + width;
    const std::size_t size = count - 1 - width;
    auto wrongLength = [&] {
        return "record type S" + std::to_string(type) + " needs byte count 0x" + hex(width + 1, 2) + ", not 0x"
               + hex(count, 2);
    };
    switch (type) {
    case 0:  // a header: free text
        return {};
    case 1:
    case 2:
    case 3:
        ++dataRecords_;
        return placement_.place(address, data, size);
    case 5:
    case 6:
        if (size != 0)
            return wrongLength();
        // A count that disagrees means records were lost or added on the way.
        if (address != dataRecords_) {
            return "record S" + std::to_string(type) + " counts " + std::to_string(address)
                   + " data records, the file has " + std::to_string(dataRecords_) + " before it";
        }
        return {};
    default:  // S7 to S9; the start address means nothing for a memory image
        if (size != 0)
            return wrongLength();
        ended_ = true;
        return {};
    }
}

void appendRecord(std::string &out, int type, std::uint32_t address, const std::uint8_t *data, std::size_t count)
{
    const std::size_t width = addressBytes[type];
    const auto length = static_cast<std::uint8_t>(width + count + 1);
    unsigned sum = length;
    out += 'S';
    out += char('0' + type);
    out += hex(length, 2);
    for (std::size_t n = width; n-- > 0;) {
        const auto b = static_cast<std::uint8_t>(address >> (8 * n));
        out += hex(b, 2);
        sum += b;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out += hex(data[i], 2);
        sum += data[i];
    }
    out += hex(~sum & 0xFF, 2);
    out += "\r\n";
}

}  // namespace

std::string readSRecord(std::string_view text, Placement &placement)
{
    return SRecordReader(placement).run(text);
}

std::string writeSRecord(std::span<const std::uint8_t> bytes, int leastType, std::string_view header)
{
    const std::size_t last = bytes.empty() ? 0 : bytes.size() - 1;
    const int needed = last <= 0xFFFF ? 1 : last <= 0xFFFFFF ? 2 : 3;
    const int type = std::clamp(std::max(needed, leastType), 1, 3);
    std::string out;
    out.reserve(bytes.size() / 16 * (48 + 2 * type) + 128);
    header = header.substr(0, 40);  // avr-objcopy's limit for the name it puts there
    appendRecord(out, 0, 0, reinterpret_cast<const std::uint8_t *>(header.data()), header.size());
    for (std::size_t where = 0; where < bytes.size(); where += 16) {
        const std::size_t count = std::min<std::size_t>(16, bytes.size() - where);
        appendRecord(out, type, std::uint32_t(where), bytes.data() + where, count);
    }
    appendRecord(out, 10 - type, 0, nullptr, 0);
    return out;
}

}  // namespace image::detail
