// SPDX-License-Identifier: GPL-3.0-or-later
#include "hexconv.h"

#include <string_view>
#include <utility>

namespace hexconv {

namespace {

std::string hexDigits(std::uint64_t value, int digits)
{
    static const char digitChars[] = "0123456789ABCDEF";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = digitChars[value & 0xF];
        value >>= 4;
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Shows an offending character without putting control bytes into a one-line message.
std::string describeChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u <= 0x7E)
        return std::string("'") + c + "'";
    return "0x" + hexDigits(u, 2);
}

// Lines holding only blanks or tabs count as blank: editors leave them behind.
bool isBlank(std::string_view line)
{
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

class Converter {
public:
    Result run(std::string_view text);

private:
    // Each returns an empty string on success, otherwise the reason without the line prefix.
    std::string record(std::string_view line);
    std::string placeData(std::uint32_t offset, const std::uint8_t *data, std::size_t count);

    std::vector<std::uint8_t> image_;
    std::vector<bool> written_;
    std::uint64_t base_ = 0;  // from the last type 02 or 04 record
    bool ended_ = false;
};

Result Converter::run(std::string_view text)
{
    Result result;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size() && !ended_) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        // CR LF is one line end; a lone CR or LF is one too.
        pos = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
        ++lineNo;
        if (isBlank(line))
            continue;
        const std::string reason = record(line);
        if (!reason.empty()) {
            result.error = "line " + std::to_string(lineNo) + ": " + reason;
            return result;
        }
    }
    if (!ended_) {
        result.error = "line " + std::to_string(lineNo == 0 ? 1 : lineNo)
                       + ": input ends without an end-of-file record (type 01)";
        return result;
    }
    result.ok = true;
    result.image = std::move(image_);
    return result;
}

std::string Converter::record(std::string_view line)
{
    if (line.front() != ':')
        return "record does not start with ':'";
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (hexValue(line[i]) < 0)
            return "bad hex digit " + describeChar(line[i]) + " in column " + std::to_string(i + 1);
    }
    const std::size_t digits = line.size() - 1;
    if (digits < 2)
        return "record too short to hold a byte count";

    std::uint8_t bytes[255 + 5];
    auto byteAt = [&](std::size_t n) {
        return static_cast<std::uint8_t>(hexValue(line[1 + 2 * n]) * 16 + hexValue(line[2 + 2 * n]));
    };
    const std::size_t count = byteAt(0);
    const std::size_t expected = 2 * (count + 5);  // count, address (2), type, data, checksum
    if (digits < expected)
        return "record shorter than its byte count 0x" + hexDigits(count, 2) + " says";
    if (digits > expected)
        return "record longer than its byte count 0x" + hexDigits(count, 2) + " says";

    unsigned sum = 0;
    for (std::size_t n = 0; n < count + 5; ++n) {
        bytes[n] = byteAt(n);
        sum += bytes[n];
    }
    if ((sum & 0xFF) != 0) {
        const unsigned given = bytes[count + 4];
        const unsigned wanted = (0x100 - ((sum - given) & 0xFF)) & 0xFF;
        return "bad checksum 0x" + hexDigits(given, 2) + ", the record's bytes give 0x" + hexDigits(wanted, 2);
    }

    const std::uint32_t offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    const unsigned type = bytes[3];
    const std::uint8_t *data = bytes + 4;
    // The address field of types 01 to 05 carries no meaning (conventionally 0000) and is ignored.
    auto wrongLength = [&](std::size_t wanted) {
        return "record type 0x" + hexDigits(type, 2) + " needs byte count 0x" + hexDigits(wanted, 2)
               + ", not 0x" + hexDigits(count, 2);
    };
    switch (type) {
    case 0x00:
        return placeData(offset, data, count);
    case 0x01:
        if (count != 0)
            return wrongLength(0);
        ended_ = true;
        return {};
    case 0x02:
        if (count != 2)
            return wrongLength(2);
        base_ = static_cast<std::uint64_t>(data[0] << 8 | data[1]) * 16;
        return {};
    case 0x04:
        if (count != 2)
            return wrongLength(2);
        base_ = static_cast<std::uint64_t>(data[0] << 8 | data[1]) << 16;
        return {};
    case 0x03:  // start addresses mean nothing for a Flash image
    case 0x05:
        if (count != 4)
            return wrongLength(4);
        return {};
    default:
        return "unknown record type 0x" + hexDigits(type, 2);
    }
}

std::string Converter::placeData(std::uint32_t offset, const std::uint8_t *data, std::size_t count)
{
    // Readers disagree on a record running past offset FFFF: some wrap to 0000 of the same
    // segment, some carry on into the next one. No tool writes such records, so refuse one
    // rather than pick a meaning.
    if (offset + count > 0x10000)
        return "data record at offset 0x" + hexDigits(offset, 4) + " runs past the end of its 64 KiB segment";
    const std::uint64_t address = base_ + offset;
    if (address + count > maxImageSize)
        return "data at 0x" + hexDigits(address, 8) + " lies beyond 16 MiB";
    if (count == 0)
        return {};
    const auto first = static_cast<std::size_t>(address);
    if (first + count > image_.size()) {
        image_.resize(first + count, 0xFF);
        written_.resize(first + count, false);
    }
    // Two records giving different bytes for one address means a broken or badly merged file;
    // letting the later one win would hide that. Repeating the same bytes is harmless.
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t a = first + i;
        if (written_[a] && image_[a] != data[i])
            return "data for address 0x" + hexDigits(a, 8) + " differs from an earlier record";
        image_[a] = data[i];
        written_[a] = true;
    }
    return {};
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// Where an unquoted program path that ends in name finishes, or npos. The name must start the
// line or follow a separator and be followed by a blank or the end of the line.
std::size_t endOfProgram(std::string_view line, std::string_view name)
{
    if (name.empty())
        return std::string_view::npos;
    for (std::size_t i = 0; i + name.size() <= line.size(); ++i) {
        const bool startsName = i == 0 || line[i - 1] == '\\' || line[i - 1] == '/' || line[i - 1] == ':';
        const std::size_t end = i + name.size();
        if (!startsName || (end < line.size() && !isSpace(line[end])))
            continue;
        bool same = true;
        for (std::size_t k = 0; k < name.size() && same; ++k)
            same = asciiLower(line[i + k]) == asciiLower(name[k]);
        if (same)
            return end;
    }
    return std::string_view::npos;
}

}  // namespace

Result convert(const std::string &hexText)
{
    return Converter().run(hexText);
}

std::FILE *openNew(const std::string &path)
{
    return std::fopen(path.c_str(), "wbx");
}

std::string binaryNameFor(const std::string &hexPath)
{
    const auto dot = hexPath.find_last_of('.');
    if (dot != std::string::npos && hexPath.find_first_of("/\\:", dot) == std::string::npos)
        return hexPath.substr(0, dot) + ".bin";
    return hexPath + ".bin";
}


std::string pathFromCommandLine(const std::string &commandLine, const std::string &programName)
{
    std::string_view line = commandLine;
    while (!line.empty() && isSpace(line.front()))
        line.remove_prefix(1);
    std::size_t pos;
    if (!line.empty() && line.front() == '"') {
        pos = line.find('"', 1);
        pos = pos == std::string_view::npos ? line.size() : pos + 1;
    } else {
        pos = endOfProgram(line, programName);
        const auto dot = programName.find_last_of('.');
        if (pos == std::string_view::npos && dot != std::string::npos)
            pos = endOfProgram(line, std::string_view(programName).substr(0, dot));  // started without ".exe"
        if (pos == std::string_view::npos) {
            pos = 0;
            while (pos < line.size() && !isSpace(line[pos]))
                ++pos;
        }
    }
    line.remove_prefix(pos);
    while (!line.empty() && isSpace(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && isSpace(line.back()))
        line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '"' && line.back() == '"')
        line = line.substr(1, line.size() - 2);
    return std::string(line);
}

}  // namespace hexconv
