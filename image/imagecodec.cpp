// SPDX-License-Identifier: GPL-3.0-or-later
#include "readers.h"

#include <algorithm>
#include <utility>

namespace image {

namespace detail {

std::string hex(std::uint64_t value, int digits)
{
    static const char digitChars[] = "0123456789ABCDEF";
    std::string out;
    while (value != 0 || int(out.size()) < digits) {
        out.insert(out.begin(), digitChars[value & 0xF]);
        value >>= 4;
    }
    return out;
}

Placement::Placement(std::size_t limit, const char *memory, const char *unit)
    : limit_(limit), memory_(memory), unit_(unit)
{
}

std::string Placement::address(std::uint64_t value) const
{
    return "0x" + hex(value, memory_ ? 4 : 8);
}

std::string Placement::place(std::uint64_t address, const std::uint8_t *data, std::size_t count)
{
    if (address + count > limit_) {
        if (!memory_)
            return "data at " + this->address(address) + " lies beyond 16 MiB";
        // The first address outside: a record may start inside and run out.
        return "data at address " + this->address(std::max<std::uint64_t>(address, limit_)) + " lies outside "
               + memory_ + " (" + std::to_string(limit_) + " bytes)";
    }
    if (count == 0)
        return {};
    const auto first = static_cast<std::size_t>(address);
    if (first + count > bytes_.size()) {
        bytes_.resize(first + count, 0xFF);
        given_.resize(first + count, false);
    }
    // Two records giving different bytes for one address means a broken or badly merged file;
    // letting the later one win would hide that. Repeating the same bytes is harmless.
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t a = first + i;
        if (given_[a] && bytes_[a] != data[i])
            return "data for address " + this->address(a) + " differs from an earlier " + unit_;
        bytes_[a] = data[i];
        given_[a] = true;
    }
    return {};
}

Decoded Placement::finish()
{
    Decoded out;
    out.ok = true;
    for (std::size_t a = 0; a < given_.size(); ++a) {
        if (!given_[a])
            continue;
        if (!out.spans.empty() && out.spans.back().start + out.spans.back().size == a)
            ++out.spans.back().size;
        else
            out.spans.push_back({a, 1});
    }
    out.bytes = std::move(bytes_);
    return out;
}

bool Lines::next(std::string_view &line)
{
    while (pos_ < text_.size()) {
        std::size_t end = text_.find_first_of("\r\n", pos_);
        if (end == std::string_view::npos)
            end = text_.size();
        line = text_.substr(pos_, end - pos_);
        // CR LF is one line end; a lone CR or LF is one too.
        pos_ = end + (text_.substr(end, 2) == "\r\n" ? 2 : 1);
        ++number_;
        if (line.find_first_not_of(" \t") != std::string_view::npos)
            return true;
    }
    return false;
}

namespace {

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

}  // namespace

std::string describeChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u <= 0x7E)
        return std::string("'") + c + "'";
    return "0x" + hex(u, 2);
}

std::string checkDigits(std::string_view line, std::size_t from)
{
    for (std::size_t i = from; i < line.size(); ++i) {
        if (hexValue(line[i]) < 0)
            return "bad hex digit " + describeChar(line[i]) + " in column " + std::to_string(i + 1);
    }
    return {};
}

std::uint8_t byteAt(std::string_view line, std::size_t from, std::size_t n)
{
    return static_cast<std::uint8_t>(hexValue(line[from + 2 * n]) * 16 + hexValue(line[from + 2 * n + 1]));
}

}  // namespace detail

namespace {

bool endsWith(std::string_view name, std::string_view lowerTail)
{
    if (name.size() < lowerTail.size())
        return false;
    const std::string_view tail = name.substr(name.size() - lowerTail.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
        const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? char(tail[i] - 'A' + 'a') : tail[i];
        if (c != lowerTail[i])
            return false;
    }
    return true;
}

bool endsWithAny(std::string_view name, std::initializer_list<std::string_view> tails)
{
    return std::any_of(tails.begin(), tails.end(), [&](std::string_view t) { return endsWith(name, t); });
}

bool isHexName(std::string_view name)
{
    return endsWithAny(name, {".hex", ".ihex", ".eep"});
}

bool isSRecordName(std::string_view name)
{
    return endsWithAny(name, {".srec", ".s19", ".s28", ".s37"});
}

}  // namespace

const char *memoryName(Memory memory)
{
    return memory == Memory::Eeprom ? "EEPROM" : "Flash";
}

Format formatToRead(std::string_view name, std::string_view head)
{
    if (isHexName(name))
        return Format::IntelHex;
    if (isSRecordName(name))
        return Format::SRecord;
    if (endsWith(name, ".elf"))
        return Format::Elf;
    if (endsWith(name, ".bin"))
        return Format::Raw;
    return head.substr(0, 4) == "\x7f" "ELF" ? Format::Elf : Format::Raw;
}

Format formatToWrite(std::string_view name)
{
    if (isHexName(name))
        return Format::IntelHex;
    if (isSRecordName(name))
        return Format::SRecord;
    return Format::Raw;
}

Decoded decode(std::string_view content, Format format, Memory memory, std::size_t memorySize)
{
    Decoded out;
    if (memorySize > maxImageSize) {
        out.error = "a memory of " + std::to_string(memorySize) + " bytes is beyond 16 MiB";
        return out;
    }
    detail::Placement placement(memorySize, memoryName(memory), format == Format::Elf ? "section" : "record");
    switch (format) {
    case Format::IntelHex:
        out.error = detail::readIntelHex(content, placement);
        break;
    case Format::SRecord:
        out.error = detail::readSRecord(content, placement);
        break;
    case Format::Elf:
        out.error = detail::readElf(content, memory, placement);
        break;
    case Format::Raw:
        out.error = placement.place(0, reinterpret_cast<const std::uint8_t *>(content.data()), content.size());
        break;
    }
    return out.error.empty() ? placement.finish() : out;
}

Decoded decodeConverterHex(std::string_view text)
{
    detail::Placement placement(maxImageSize, nullptr, "record");
    Decoded out;
    out.error = detail::readIntelHex(text, placement);
    return out.error.empty() ? placement.finish() : out;
}

Encoding encodingForName(std::string_view path, bool trimTrailingFF)
{
    Encoding e;
    e.format = formatToWrite(path);
    e.trimTrailingFF = trimTrailingFF;
    e.sRecordType = endsWith(path, ".s37") ? 3 : endsWith(path, ".s28") ? 2 : 1;
    const std::size_t slash = path.find_last_of("/\\");
    e.header = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    return e;
}

std::string encode(std::span<const std::uint8_t> bytes, const Encoding &encoding)
{
    std::size_t size = bytes.size();
    if (encoding.format != Format::IntelHex && encoding.format != Format::SRecord)
        return std::string(reinterpret_cast<const char *>(bytes.data()), size);
    if (encoding.trimTrailingFF) {
        while (size > 0 && bytes[size - 1] == 0xFF)
            --size;
    }
    if (encoding.format == Format::IntelHex)
        return detail::writeIntelHex(bytes.first(size));
    return detail::writeSRecord(bytes.first(size), encoding.sRecordType, encoding.header);
}

}  // namespace image
