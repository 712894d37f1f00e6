// SPDX-License-Identifier: GPL-3.0-or-later
// Memory images and the files that hold them: Intel HEX, Motorola S-record, ELF and raw, read
// into an image with holes, and an image written out as HEX, S-record or raw. Standard C++
// only, so that the converter program carries no toolkit; image.h adds the file handling on Qt Core.
//
// Reading. A file is read for one memory of a given size: every byte it gives must lie below
// that size, or the file is refused with the first address outside named. Two records giving
// different bytes for one address are refused too (a broken or badly merged file); the same
// bytes given twice are not. Holes read as FFh, the erased state.
//  - Intel HEX: record types 00 to 05, each checksum checked, an end record (01) required;
//    lines end at LF, CR LF or a lone CR, blank lines are skipped, nothing after the end
//    record is read. A data record may not run past offset FFFF of its 64 KiB segment.
//  - S-record: S1/S2/S3 data, S0 header, S5/S6 counts (checked against the data records before
//    them), S7/S8/S9 termination (required; nothing after it is read); checksums checked.
//  - ELF: 32-bit little-endian AVR executables as avr-gcc links them. Like avr-objcopy, every
//    allocated section with contents is taken at its load address: the file offset within
//    its PT_LOAD program header moved to that header's physical address, or the section's
//    own address when no header holds it. Flash takes the sections loaded below 0x800000, so
//    .data comes at its Flash address after the code; EEPROM takes those from 0x810000 to
//    0x81FFFF (.eeprom), less 0x810000. Fuse, lock and signature sections (0x820000 on) and
//    anything loaded into SRAM belong to neither.
//  - Raw: byte n of the file is byte n of the memory.
//
// Writing. Intel HEX and S-record are laid out as avr-objcopy lays out an image read as one
// binary section from address 0, so that the two tools' files compare byte for byte: 16 data
// bytes a record, upper-case digits, CR LF line ends. HEX switches 64 KiB segments with
// extended segment address records (02) below 1 MiB and with extended linear address records
// (04) above it, and ends with :00000001FF. S-record starts with an S0 naming the file, uses
// S1 records while every address fits in 16 bits, S2 while it fits in 24, S3 beyond, and ends
// with the matching S9, S8 or S7 record at address 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace image {

enum class Format { Raw, IntelHex, SRecord, Elf };
enum class Memory { Flash, Eeprom };

// "Flash" or "EEPROM", as the messages name them.
const char *memoryName(Memory memory);

// No image is larger: far more than any AVR memory, and a stray address record cannot ask
// for gigabytes.
inline constexpr std::size_t maxImageSize = 0x1000000;
// Largest HEX, S-record or ELF file read: a 16 MiB image written one byte per HEX record with
// CR LF ends (15 characters a byte), with its address records, stays below this.
inline constexpr std::size_t maxFileSize = 16 * maxImageSize;

// avr-gcc's ELF address space: SRAM from 0x800000 (where .data lives while the program runs),
// EEPROM from 0x810000, fuses from 0x820000.
inline constexpr std::uint64_t elfSramBase = 0x800000;
inline constexpr std::uint64_t elfEepromBase = 0x810000;
inline constexpr std::uint64_t elfFuseBase = 0x820000;

// A run of addresses the file gave bytes for.
struct Span {
    std::size_t start = 0;
    std::size_t size = 0;
    bool operator==(const Span &) const = default;
};

struct Decoded {
    bool ok = false;
    std::string error;                // one line, no final stop: where ("line 12", "section
                                      // .far", an offset), then what; empty when ok
    std::vector<std::uint8_t> bytes;  // from address 0 to the last byte given; holes FFh
    std::vector<Span> spans;          // where bytes were given: ascending, apart, merged
};

// How a file is read. By name, ASCII case ignored: .hex, .ihex and .eep are Intel HEX; .srec,
// .s19, .s28 and .s37 S-record; .elf is ELF; .bin is raw. Any other name is ELF when head (the
// file's first bytes) starts with the ELF magic 7Fh 'E' 'L' 'F' (avr-gcc's a.out, .out), raw
// otherwise. Contents never make a text format: a raw image can start with any bytes, and one
// read as HEX would be programmed wrong.
Format formatToRead(std::string_view name, std::string_view head);

// How a file is written, by name as above: Intel HEX or S-record, raw for every other name.
Format formatToWrite(std::string_view name);

// The image a file's content gives for memory, which holds memorySize bytes (at most
// maxImageSize). An ELF file without anything for that memory gives an empty image.
Decoded decode(std::string_view content, Format format, Memory memory, std::size_t memorySize);

// Intel HEX as the converter program reads it: for no particular memory, images up to
// maxImageSize, refusals worded as that program has always worded them.
Decoded decodeConverterHex(std::string_view text);

struct Encoding {
    Format format = Format::Raw;  // IntelHex or SRecord; anything else writes the bytes as they are
    bool trimTrailingFF = false;  // HEX and S-record: leave out the FFh bytes at the end
    int sRecordType = 1;          // the least data record type (1 to 3); larger when addresses need it
    std::string header;           // the S0 record's text, at most its first 40 bytes; avr-objcopy
                                  // writes the output file's name there
};

// The encoding a file's name asks for: its format; for .s28 and .s37 at least S2 or S3 records
// (.s19 and .srec take the least that fits, so a large image named .s19 still gets S2 records
// rather than be refused); the name without its folder as the S0 text.
Encoding encodingForName(std::string_view path, bool trimTrailingFF);

// The file's bytes for an image.
std::string encode(std::span<const std::uint8_t> bytes, const Encoding &encoding);

}  // namespace image
