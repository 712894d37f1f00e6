// SPDX-License-Identifier: GPL-3.0-or-later
// adapter-sim: a simulated programmer adapter on a pseudo-terminal, for running the
// program (or a script) against a chip without the hardware.
#include "adaptersim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include <pthread.h>
#include <signal.h>

namespace {

constexpr const char *usage =
    "Usage: adapter-sim [options]\n"
    "Plays the programmer adapter on a pseudo-terminal until SIGINT or SIGTERM.\n"
    "The first line of output names the device to use as the program's port.\n"
    "\n"
    "  --link PATH         also make PATH a symbolic link to the device\n"
    "  --signature HHHHHH  the three signature bytes (default 1E9307)\n"
    "  --fuses HHHHHH      Low, High and Extended fuse bytes (default E1D9FF)\n"
    "  --lock HH           lock byte (default FF)\n"
    "  --device FILE       a device file (cpu/*.ini): its signature, Flash size and\n"
    "                      page size, EEPROM size and page, calibration byte count,\n"
    "                      where EESAVE sits, and its factory fuse and lock bytes;\n"
    "                      options after it override them\n"
    "  --flash-size N      Flash size in bytes (default 8192)\n"
    "  --page N            physical Flash page in bytes (default 64): page data is\n"
    "                      programmed a whole page at a time; 0 programs each byte\n"
    "  --eeprom-size N     EEPROM size in bytes (default 512; 0: none)\n"
    "  --eeprom-page N     EEPROM page buffer in bytes (default 4; 0: byte by byte)\n"
    "  --calibration HEX   the calibration bytes, 1 to 4 (default A6A9ADB2)\n"
    "  --load FILE         raw image loaded into Flash from address 0\n"
    "  --dump FILE         raw Flash image written at every cmdEnd and at exit\n"
    "  --eeprom-load FILE  raw image loaded into EEPROM from address 0\n"
    "  --eeprom-dump FILE  raw EEPROM image written at every cmdEnd and at exit\n"
    "\n"
    "  --ours              play the open Tarvane board: cmdEnd answers its\n"
    "                      identification, the noise guard, the extension commands\n"
    "                      (default: a plain adapter of the original protocol)\n"
    "  --unknown-chip      the board's device table lacks the chip\n"
    "  --capabilities HH   the capability bits the board offers (default 1F)\n"
    "  --max-baud N        the fastest rate the line carries (default 1000000);\n"
    "                      above it every byte is garbled\n"
    "  --line-idle-ms X    back to 115200 after this long without a byte (default 500)\n"
    "  --board-test-ms X   time the board test drives each line (default 1000)\n"
    "\n"
    "  --silent            never send anything\n"
    "  --short CODE:K      send only the first K bytes of the reply to command CODE;\n"
    "                      for code 5, K acknowledgements (0 or 1)\n"
    "  --no-ack            never acknowledge a page write\n"
    "  --wire-speed        pace every byte as 115200 baud 8N1 does\n"
    "  --page-ms X         page programming time in milliseconds (fractions allowed)\n"
    "  --erase-ms X        chip erase time in milliseconds\n"
    "  --fuse-ms X         fuse or lock write time in milliseconds\n"
    "  --eeprom-ms X       time of one EEPROM page (or byte) write in milliseconds\n"
    "  --log FILE          append every block and page of data received to FILE\n"
    "  --drop-reply WHICH  never send the reply WHICH names: #N is the reply to the N-th\n"
    "                      block (0: the first), CODE[@ADDRESS] the first reply to command\n"
    "                      CODE (at that stream address; for codes 12 and 13 hex, the\n"
    "                      block's address)\n"
    "  --delay-reply WHICH:MS    send that reply MS milliseconds late\n"
    "  --reply-gap WHICH:K:MS    send its first K bytes, pause MS milliseconds, then the rest\n"
    "                      (the three may be given several times, each hits once)\n"
    "  --ignore CODE       answer command CODE as usual but do not carry it out\n"
    "  --stray N           send N bytes (00 FF 00 ...) in front of every reply\n"
    "  --bridge NAME       put a modelled USB bridge in between: ftdi-16ms, ftdi-1ms, ch340\n"
    "  --latency-ms X      bridge latency timer (0: none)\n"
    "  --packet N          bridge packet size in data bytes (default 62)\n"
    "  --open-ms X         bridge cost of an open of the port\n"
    "  --setup-ms X        bridge cost of a line set-up\n"
    "  --purge-ms X        bridge cost of a purge\n"
    "  --sysfs DIR         with a bridge latency: write it as ftdi_sio shows it, in\n"
    "                      DIR/class/tty/NAME/device/latency_timer (removed at exit)\n"
    "  --help              show this text\n";

const std::string valueOptions[] = {"--link", "--signature", "--fuses", "--lock",
                                    "--flash-size", "--page", "--device", "--load", "--dump", "--short",
                                    "--page-ms", "--erase-ms", "--fuse-ms", "--log",
                                    "--drop-reply", "--delay-reply", "--reply-gap", "--bridge",
                                    "--latency-ms", "--packet", "--open-ms", "--setup-ms", "--purge-ms",
                                    "--eeprom-size", "--eeprom-page", "--calibration", "--eeprom-load",
                                    "--eeprom-dump", "--capabilities", "--max-baud", "--line-idle-ms",
                                    "--board-test-ms", "--eeprom-ms", "--ignore", "--stray", "--sysfs"};

// Far above any AVR, low enough that a typing error does not eat the memory.
constexpr unsigned long maxFlashSize = 16ul * 1024 * 1024;
constexpr unsigned long maxEepromSize = 64ul * 1024;
// The calibration bytes a part without --calibration gets, as many as it has.
const std::vector<std::uint8_t> defaultCalibration = adaptersim::Chip().calibration;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly `count` bytes written as 2 x `count` hex digits.
bool parseHexBytes(const std::string &text, std::uint8_t *out, std::size_t count)
{
    if (text.size() != 2 * count)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

// A whole number, in decimal or with a 0x prefix in hex.
bool parseUnsigned(const std::string &text, unsigned long max, unsigned long *out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || value > max)
        return false;
    *out = value;
    return true;
}

// Milliseconds, fractions allowed, into whole microseconds.
bool parseMilliseconds(const std::string &text, int *us)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const double ms = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(ms) || ms < 0 || ms > 2.0e6)
        return false;
    *us = static_cast<int>(std::lround(ms * 1000.0));
    return true;
}

// The number rule of the device files: decimal, or hex after "$", "x" or "0x".
bool parseIniNumber(std::string text, long long *out)
{
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        text.erase(0, 1);
    int base = 10;
    for (const char *marker : {"$", "0x", "0X", "x", "X"}) {
        if (text.rfind(marker, 0) == 0) {
            text.erase(0, std::strlen(marker));
            base = 16;
            break;
        }
    }
    if (text.empty() || text.size() > 10)
        return false;
    long long value = 0;
    for (char c : text) {
        const int digit = base == 16 ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0)
            return false;
        value = value * base + digit;
    }
    *out = negative ? -value : value;
    return true;
}

// A device file as the program reads it: sections and keys without regard to case, the
// first of repeated keys. A bit whose entry is not flagged "U" is programmed (0) at the
// factory; bits the file does not name read 1, as unused fuse bits do on the chip.
bool loadDeviceFile(const std::string &path, adaptersim::Chip *chip, unsigned long *flashSize,
                    unsigned long *eepromSize, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    const auto lower = [](std::string t) {
        for (char &c : t)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const auto trim = [](std::string t) {
        const auto first = t.find_first_not_of(" \t\r");
        const auto last = t.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : t.substr(first, last - first + 1);
    };
    std::map<std::string, std::string> values;  // "section/key" -> value
    std::string section, line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            section = lower(trim(line.substr(1, line.find(']') - 1)));
            continue;
        }
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values.emplace(section + "/" + lower(trim(line.substr(0, eq))), trim(line.substr(eq + 1)));
    }
    const auto number = [&](const char *key, long long *out) {
        const auto it = values.find(std::string("configuration/") + key);
        return it != values.end() && parseIniNumber(it->second, out);
    };
    long long sig[3], page = 0, flash = 0;
    if (!number("signature_000", &sig[0]) || !number("signature_001", &sig[1]) ||
        !number("signature_002", &sig[2]) || !number("page_size", &page) || !number("flash_size", &flash) ||
        page < 0 || flash <= 0 || static_cast<unsigned long long>(flash) > maxFlashSize) {
        *error = path + ": no usable Signature_000..002, Page_Size and Flash_Size";
        return false;
    }
    const auto factory = [&](const char *group, const char *prefix) {
        std::uint8_t byte = 0xFF;
        for (int bit = 0; bit < 8; ++bit) {
            const auto it = values.find(std::string(group) + "/" + prefix + char('0' + bit));
            if (it == values.end())
                continue;
            const auto bar = it->second.find('|');
            if (bar == std::string::npos || it->second.substr(bar + 1) != "U")
                byte = std::uint8_t(byte & ~(1u << bit));
        }
        return byte;
    };
    // The EEPROM keys came later: files without them keep the defaults.
    long long eeprom = 0, eepromPage = 0, calibration = 0;
    const bool hasEeprom = values.count("configuration/eeprom_size") != 0;
    const bool hasEepromPage = values.count("configuration/eeprom_page_size") != 0;
    const bool hasCalibration = values.count("configuration/calibration_size") != 0;
    if ((hasEeprom && (!number("eeprom_size", &eeprom) || eeprom < 0 || eeprom > static_cast<long long>(maxEepromSize)))
        || (hasEepromPage && (!number("eeprom_page_size", &eepromPage) || eepromPage < 0 || eepromPage > 256))
        || (hasCalibration && (!number("calibration_size", &calibration) || calibration < 0 || calibration > 4))) {
        *error = path + ": EEPROM_Size, EEPROM_Page_Size or Calibration_Size out of range";
        return false;
    }
    if (hasEeprom)
        *eepromSize = static_cast<unsigned long>(eeprom);
    if (hasEepromPage)
        chip->eepromPageSize = std::size_t(eepromPage);
    if (hasCalibration)
        chip->calibration.assign(defaultCalibration.begin(), defaultCalibration.begin() + calibration);
    // EESAVE where the file names it; a part whose file names none has none.
    chip->eesaveFuse = -1;
    const char *const fuseKeys[] = {"fuse-bits/low_", "fuse-bits/high_", "fuse-bits/ext_"};
    for (int fuse = 0; fuse < 3; ++fuse) {
        for (int bit = 0; bit < 8; ++bit) {
            const auto it = values.find(fuseKeys[fuse] + std::string(1, char('0' + bit)));
            if (it != values.end() && lower(trim(it->second.substr(0, it->second.find('|')))) == "eesave") {
                chip->eesaveFuse = fuse;
                chip->eesaveBit = bit;
            }
        }
    }
    for (int n = 0; n < 3; ++n)
        chip->signature[std::size_t(n)] = std::uint8_t(sig[n]);
    chip->pageSize = std::size_t(page);
    *flashSize = static_cast<unsigned long>(flash);
    chip->lowFuse = factory("fuse-bits", "low_");
    chip->highFuse = factory("fuse-bits", "high_");
    chip->extFuse = factory("fuse-bits", "ext_");
    chip->lock = factory("lock-bits", "lock_");
    return true;
}

bool writeImage(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "adapter-sim: cannot write " << path << "\n";
        return false;
    }
    return true;
}

// "#N", "CODE" or "CODE@ADDRESS", as --drop-reply and its kin take it.
bool parseWhich(const std::string &text, adaptersim::ReplyFault *fault)
{
    unsigned long value = 0;
    if (!text.empty() && text[0] == '#') {
        if (!parseUnsigned(text.substr(1), 1ul << 30, &value))
            return false;
        fault->block = static_cast<long>(value);
        return true;
    }
    const auto at = text.find('@');
    if (!parseUnsigned(text.substr(0, at), 255, &value))
        return false;
    fault->code = static_cast<int>(value);
    if (at != std::string::npos) {
        if (!parseUnsigned(text.substr(at + 1), 1ul << 30, &value))
            return false;
        fault->address = static_cast<long>(value);
    }
    return true;
}

// A raw image into the start of `memory`, which it must fit.
bool loadImage(const std::string &path, const char *what, std::vector<std::uint8_t> *memory)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "adapter-sim: cannot open " << path << "\n";
        return false;
    }
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        std::cerr << "adapter-sim: cannot read " << path << "\n";
        return false;
    }
    if (image.size() > memory->size()) {
        std::cerr << "adapter-sim: " << path << " holds " << image.size() << " bytes, more than the " << what
                  << " size of " << memory->size() << "\n";
        return false;
    }
    std::copy(image.begin(), image.end(), memory->begin());
    return true;
}

int usageError(const std::string &message)
{
    std::cerr << "adapter-sim: " << message << "\n" << "Try 'adapter-sim --help'.\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    adaptersim::Options options;
    std::string linkPath, loadPath, dumpPath, logPath, eepromLoadPath, eepromDumpPath;
    unsigned long flashSize = options.chip.flash.size();
    unsigned long eepromSize = options.chip.eeprom.size();

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&](std::string *out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string arg;
        if (option == "--help") {
            std::cout << usage;
            return 0;
        } else if (option == "--silent") {
            options.silent = true;
        } else if (option == "--no-ack") {
            options.noAck = true;
        } else if (option == "--wire-speed") {
            options.wirePaced = true;
        } else if (option == "--ours") {
            options.ours = true;
        } else if (option == "--unknown-chip") {
            options.unknownChip = true;
        } else if (std::find(std::begin(valueOptions), std::end(valueOptions), option) ==
                   std::end(valueOptions)) {
            return usageError(option.rfind("--", 0) == 0 ? "unknown option " + option
                                                         : "unexpected argument " + option);
        } else if (!value(&arg)) {
            return usageError(option + " needs a value");
        } else if (option == "--link") {
            linkPath = arg;
        } else if (option == "--signature") {
            if (!parseHexBytes(arg, options.chip.signature.data(), 3))
                return usageError("--signature takes three bytes in hex, such as 1E9307");
        } else if (option == "--fuses") {
            std::uint8_t fuses[3];
            if (!parseHexBytes(arg, fuses, 3))
                return usageError("--fuses takes three bytes in hex (Low High Extended), such as E1D9FF");
            options.chip.lowFuse = fuses[0];
            options.chip.highFuse = fuses[1];
            options.chip.extFuse = fuses[2];
        } else if (option == "--lock") {
            if (!parseHexBytes(arg, &options.chip.lock, 1))
                return usageError("--lock takes one byte in hex, such as FF");
        } else if (option == "--flash-size") {
            if (!parseUnsigned(arg, maxFlashSize, &flashSize))
                return usageError("--flash-size takes a number of bytes up to " +
                                  std::to_string(maxFlashSize));
        } else if (option == "--page") {
            unsigned long page = 0;
            if (!parseUnsigned(arg, maxFlashSize, &page))
                return usageError("--page takes a number of bytes, such as 256");
            options.chip.pageSize = page;
        } else if (option == "--device") {
            std::string error;
            if (!loadDeviceFile(arg, &options.chip, &flashSize, &eepromSize, &error)) {
                std::cerr << "adapter-sim: " << error << "\n";
                return 1;
            }
        } else if (option == "--eeprom-size") {
            if (!parseUnsigned(arg, maxEepromSize, &eepromSize))
                return usageError("--eeprom-size takes a number of bytes up to " + std::to_string(maxEepromSize));
        } else if (option == "--eeprom-page") {
            unsigned long page = 0;
            if (!parseUnsigned(arg, 256, &page))
                return usageError("--eeprom-page takes a number of bytes up to 256, such as 4");
            options.chip.eepromPageSize = page;
        } else if (option == "--calibration") {
            std::uint8_t values[4];
            const std::size_t count = arg.size() / 2;
            if (count < 1 || count > 4 || !parseHexBytes(arg, values, count))
                return usageError("--calibration takes 1 to 4 bytes in hex, such as 9C");
            options.chip.calibration.assign(values, values + count);
        } else if (option == "--load") {
            loadPath = arg;
        } else if (option == "--dump") {
            dumpPath = arg;
        } else if (option == "--eeprom-load") {
            eepromLoadPath = arg;
        } else if (option == "--eeprom-dump") {
            eepromDumpPath = arg;
        } else if (option == "--capabilities") {
            if (!parseHexBytes(arg, &options.capabilities, 1))
                return usageError("--capabilities takes one byte in hex, such as 1F");
        } else if (option == "--max-baud") {
            unsigned long baud = 0;
            if (!parseUnsigned(arg, 100000000, &baud) || baud == 0)
                return usageError("--max-baud takes a rate in baud, such as 921600");
            options.maxBaud = static_cast<int>(baud);
        } else if (option == "--ignore") {
            unsigned long code = 0;
            if (!parseUnsigned(arg, 255, &code))
                return usageError("--ignore takes a command code, such as 4");
            options.ignoreCode = static_cast<int>(code);
        } else if (option == "--stray") {
            unsigned long count = 0;
            if (!parseUnsigned(arg, 64, &count))
                return usageError("--stray takes a number of bytes up to 64, such as 2");
            options.strayBytes = static_cast<int>(count);
        } else if (option == "--sysfs") {
            options.sysfsRoot = arg;
        } else if (option == "--short") {
            const auto colon = arg.find(':');
            unsigned long code = 0, count = 0;
            if (colon == std::string::npos || !parseUnsigned(arg.substr(0, colon), 255, &code) ||
                !parseUnsigned(arg.substr(colon + 1), 1000, &count))
                return usageError("--short takes CODE:K, such as 1:3");
            options.shortCode = static_cast<int>(code);
            options.shortCount = static_cast<int>(count);
        } else if (option == "--page-ms") {
            if (!parseMilliseconds(arg, &options.pageWriteUs))
                return usageError("--page-ms takes milliseconds, such as 4.5");
        } else if (option == "--erase-ms") {
            if (!parseMilliseconds(arg, &options.eraseUs))
                return usageError("--erase-ms takes milliseconds, such as 9");
        } else if (option == "--fuse-ms") {
            if (!parseMilliseconds(arg, &options.fuseWriteUs))
                return usageError("--fuse-ms takes milliseconds, such as 4.5");
        } else if (option == "--eeprom-ms") {
            if (!parseMilliseconds(arg, &options.eepromWriteUs))
                return usageError("--eeprom-ms takes milliseconds, such as 9");
        } else if (option == "--line-idle-ms") {
            if (!parseMilliseconds(arg, &options.lineIdleUs))
                return usageError("--line-idle-ms takes milliseconds, such as 500");
        } else if (option == "--board-test-ms") {
            if (!parseMilliseconds(arg, &options.boardTestLineUs))
                return usageError("--board-test-ms takes milliseconds, such as 1000");
        } else if (option == "--log") {
            logPath = arg;
        } else if (option == "--drop-reply") {
            adaptersim::ReplyFault fault;
            if (!parseWhich(arg, &fault))
                return usageError("--drop-reply takes #N, CODE or CODE@ADDRESS, such as 7@64");
            options.faults.push_back(fault);
        } else if (option == "--delay-reply" || option == "--reply-gap") {
            const bool gap = option == "--reply-gap";
            const auto last = arg.rfind(':');
            const auto middle = gap && last != std::string::npos ? arg.rfind(':', last - 1) : last;
            unsigned long before = 0;
            adaptersim::ReplyFault fault;
            if (last == std::string::npos || middle == std::string::npos || middle == 0 ||
                !parseWhich(arg.substr(0, middle), &fault) ||
                (gap && !parseUnsigned(arg.substr(middle + 1, last - middle - 1), 128, &before)) ||
                !parseMilliseconds(arg.substr(last + 1), &fault.holdUs))
                return usageError(gap ? "--reply-gap takes WHICH:K:MS, such as 6:100:50"
                                      : "--delay-reply takes WHICH:MS, such as #3:200");
            fault.before = static_cast<int>(before);
            options.faults.push_back(fault);
        } else if (option == "--bridge") {
            if (!adaptersim::bridgeModel(arg, &options.bridge))
                return usageError("--bridge takes ftdi-16ms, ftdi-1ms or ch340");
        } else if (option == "--packet") {
            unsigned long packet = 0;
            if (!parseUnsigned(arg, 4096, &packet) || packet == 0)
                return usageError("--packet takes a number of bytes from 1 to 4096");
            options.bridge.packet = static_cast<int>(packet);
        } else if (option == "--latency-ms" || option == "--open-ms" || option == "--setup-ms" ||
                   option == "--purge-ms") {
            int *target = option == "--latency-ms" ? &options.bridge.latencyUs
                          : option == "--open-ms"  ? &options.bridge.openUs
                          : option == "--setup-ms" ? &options.bridge.setupUs
                                                   : &options.bridge.purgeUs;
            if (!parseMilliseconds(arg, target))
                return usageError(option + " takes milliseconds, such as 1");
        }
    }

    options.chip.flash.assign(flashSize, 0xFF);
    options.chip.eeprom.assign(eepromSize, 0xFF);
    if (!loadPath.empty() && !loadImage(loadPath, "Flash", &options.chip.flash))
        return 1;
    if (!eepromLoadPath.empty() && !loadImage(eepromLoadPath, "EEPROM", &options.chip.eeprom))
        return 1;

    std::ofstream logFile;
    if (!logPath.empty()) {
        logFile.open(logPath, std::ios::app);
        if (!logFile) {
            std::cerr << "adapter-sim: cannot open " << logPath << "\n";
            return 1;
        }
    }

    // Blocked before the serving thread starts, so that it inherits the mask and the
    // signals reach sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    adaptersim::Simulator simulator(options);
    if (logFile.is_open()) {
        simulator.setLogHandler([&logFile](const std::string &line) {
            logFile << line << '\n';
            logFile.flush();
        });
    }
    if (!dumpPath.empty() || !eepromDumpPath.empty()) {
        simulator.setStreamEndHandler([&dumpPath, &eepromDumpPath](const adaptersim::Chip &chip) {
            if (!dumpPath.empty())
                writeImage(dumpPath, chip.flash);
            if (!eepromDumpPath.empty())
                writeImage(eepromDumpPath, chip.eeprom);
        });
    }

    std::string error;
    if (!simulator.start(&error, linkPath)) {
        std::cerr << "adapter-sim: " << error << "\n";
        return 1;
    }
    std::cout << "adapter-sim: serving on " << simulator.devicePath() << std::endl;

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }

    simulator.stop();
    const adaptersim::Chip chip = simulator.chip();
    bool written = dumpPath.empty() || writeImage(dumpPath, chip.flash);
    written = (eepromDumpPath.empty() || writeImage(eepromDumpPath, chip.eeprom)) && written;
    return written ? 0 : 1;
}
