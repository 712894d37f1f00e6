// SPDX-License-Identifier: GPL-3.0-or-later
// ELF: the sections of an avr-gcc executable that a memory takes, at their load addresses.
// Every field is read through a bounds check: the file may be cut short or made up.
#include "readers.h"

namespace image::detail {

namespace {

constexpr std::size_t kHeaderSize = 52;         // ELF32 file header
constexpr std::size_t kProgramHeaderSize = 32;  // the least an Elf32_Phdr takes
constexpr std::size_t kSectionHeaderSize = 40;  // the least an Elf32_Shdr takes
constexpr unsigned kClass32 = 1;
constexpr unsigned kLittleEndian = 1;
constexpr unsigned kExecutable = 2;  // ET_EXEC
constexpr unsigned kMachineAvr = 83;  // EM_AVR
constexpr std::uint32_t kLoad = 1;  // PT_LOAD
constexpr std::uint32_t kNoBits = 8;  // SHT_NOBITS: .bss, .noinit
constexpr std::uint32_t kAlloc = 2;  // SHF_ALLOC

class Elf {
public:
    explicit Elf(std::string_view file) : file_(file) {}

    std::uint32_t u16(std::uint64_t at) const { return byte(at) | byte(at + 1) << 8; }
    std::uint32_t u32(std::uint64_t at) const { return u16(at) | u16(at + 2) << 16; }
    bool holds(std::uint64_t offset, std::uint64_t size) const { return offset + size <= file_.size(); }
    std::string pastEnd() const { return "past the end of the file (" + std::to_string(file_.size()) + " bytes)"; }
    const std::uint8_t *at(std::uint64_t offset) const
    {
        return reinterpret_cast<const std::uint8_t *>(file_.data()) + offset;
    }
    // The section's name from the name table, or its number when the table does not give one.
    std::string sectionName(std::uint32_t index, std::uint32_t nameOffset) const;

    std::uint64_t sectionTable = 0, sectionEntry = 0, sections = 0;
    std::uint64_t programTable = 0, programEntry = 0, programs = 0;
    std::uint64_t nameTable = 0, nameTableSize = 0;

private:
    std::uint32_t byte(std::uint64_t at) const { return static_cast<unsigned char>(file_[at]); }
    std::string_view file_;
};

std::string Elf::sectionName(std::uint32_t index, std::uint32_t nameOffset) const
{
    std::string name;
    for (std::uint64_t i = nameOffset; i < nameTableSize && name.size() < 64; ++i) {
        const char c = static_cast<char>(*at(nameTable + i));
        if (c == '\0')
            return "section " + name;
        name += c > 0x20 && c < 0x7F ? c : '?';
    }
    return "section " + std::to_string(index);
}

std::string readHeader(std::string_view file, Elf &elf)
{
    if (file.substr(0, 4) != "\x7f" "ELF")
        return "not an ELF file: it does not start with 7Fh 'E' 'L' 'F'";
    if (file.size() < kHeaderSize)
        return "ELF header: the file ends at offset 0x" + hex(file.size(), 2) + ", inside the 52-byte header";
    const unsigned elfClass = static_cast<unsigned char>(file[4]);
    const unsigned encoding = static_cast<unsigned char>(file[5]);
    if (elfClass != kClass32)
        return "ELF header: class " + std::to_string(elfClass) + ", not 32-bit (1)";
    if (encoding != kLittleEndian)
        return "ELF header: data encoding " + std::to_string(encoding) + ", not little-endian (1)";
    if (elf.u16(16) != kExecutable)
        return "ELF header: file type " + std::to_string(elf.u16(16)) + ", not an executable (2)";
    if (elf.u16(18) != kMachineAvr)
        return "ELF header: machine " + std::to_string(elf.u16(18)) + ", not AVR (83)";
    elf.programTable = elf.u32(28);
    elf.sectionTable = elf.u32(32);
    elf.programEntry = elf.u16(42);
    elf.programs = elf.u16(44);
    elf.sectionEntry = elf.u16(46);
    elf.sections = elf.u16(48);
    // avr-objcopy takes sections; a file stripped of their headers is not worth a second way.
    if (elf.sections == 0)
        return "ELF header: the file has no section headers";
    if (elf.sectionEntry < kSectionHeaderSize)
        return "ELF header: section headers of " + std::to_string(elf.sectionEntry) + " bytes, fewer than 40";
    if (elf.programs != 0 && elf.programEntry < kProgramHeaderSize)
        return "ELF header: program headers of " + std::to_string(elf.programEntry) + " bytes, fewer than 32";
    if (!elf.holds(elf.programTable, elf.programs * elf.programEntry))
        return "ELF program headers at offset 0x" + hex(elf.programTable, 2) + " run " + elf.pastEnd();
    if (!elf.holds(elf.sectionTable, elf.sections * elf.sectionEntry))
        return "ELF section headers at offset 0x" + hex(elf.sectionTable, 2) + " run " + elf.pastEnd();
    // Names serve messages only: a broken name table leaves sections numbered instead.
    const std::uint64_t names = elf.u16(50);
    if (names < elf.sections) {
        const std::uint64_t header = elf.sectionTable + names * elf.sectionEntry;
        if (elf.holds(elf.u32(header + 16), elf.u32(header + 20))) {
            elf.nameTable = elf.u32(header + 16);
            elf.nameTableSize = elf.u32(header + 20);
        }
    }
    return {};
}

// Where a section is loaded, as avr-objcopy has it: the PT_LOAD header that holds the
// section's bytes and addresses places them at its physical address, which for .data is in
// Flash after the code; a section no such header holds loads at its own address.
std::uint64_t loadAddress(const Elf &elf, std::uint64_t offset, std::uint64_t address, std::uint64_t size)
{
    for (std::uint64_t i = 0; i < elf.programs; ++i) {
        const std::uint64_t p = elf.programTable + i * elf.programEntry;
        if (elf.u32(p) != kLoad)
            continue;
        const std::uint64_t fileOffset = elf.u32(p + 4), virtualAddress = elf.u32(p + 8);
        if (offset >= fileOffset && offset - fileOffset + size <= elf.u32(p + 16) && address >= virtualAddress
            && address - virtualAddress + size <= elf.u32(p + 20))
            return elf.u32(p + 12) + (offset - fileOffset);
    }
    return address;
}

}  // namespace

std::string readElf(std::string_view file, Memory memory, Placement &placement)
{
    Elf elf(file);
    if (std::string reason = readHeader(file, elf); !reason.empty())
        return reason;
    for (std::uint64_t i = 0; i < elf.sections; ++i) {
        const std::uint64_t s = elf.sectionTable + i * elf.sectionEntry;
        const std::uint64_t offset = elf.u32(s + 16), size = elf.u32(s + 20);
        // Contents only: .bss and .noinit take room at run time but have no bytes to program.
        if (!(elf.u32(s + 8) & kAlloc) || elf.u32(s + 4) == kNoBits || size == 0)
            continue;
        const std::string name = elf.sectionName(std::uint32_t(i), elf.u32(s));
        if (!elf.holds(offset, size))
            return name + ": its " + std::to_string(size) + " bytes at offset 0x" + hex(offset, 2) + " run "
                   + elf.pastEnd();
        const std::uint64_t lma = loadAddress(elf, offset, elf.u32(s + 12), size);
        std::uint64_t address;
        if (memory == Memory::Flash) {
            if (lma >= elfSramBase)
                continue;
            address = lma;
        } else {
            if (lma < elfEepromBase || lma >= elfFuseBase)
                continue;
            address = lma - elfEepromBase;
        }
        if (std::string reason = placement.place(address, elf.at(offset), size); !reason.empty())
            return name + ": " + reason;
    }
    return {};
}

}  // namespace image::detail
