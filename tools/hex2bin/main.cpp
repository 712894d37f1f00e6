// SPDX-License-Identifier: GPL-3.0-or-later
// hex2bin FILE.hex: writes the raw Flash image FILE.bin beside its input.
//
// The GUI starts this program with the HEX file's path unquoted after the program name, so a
// path with blanks arrives split into several arguments; the whole rest of the command line is
// therefore taken as one path (on Windows straight from the raw command line). Exit status: 0 done, 1 malformed HEX, 2 usage or file error.
// Every failure prints one line on stderr and leaves no output file behind.

#include "hexconv.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX  // the MinGW C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {

enum ExitStatus { Done = 0, BadHex = 1, Failed = 2 };

// Keeps a message on one line whatever bytes the path holds.
std::string printable(const std::string &s)
{
    std::string out = s;
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return out;
}

int fail(int status, const std::string &message)
{
    std::fprintf(stderr, "hex2bin: %s\n", message.c_str());
    return status;
}

std::string inputPath([[maybe_unused]] int argc, [[maybe_unused]] char **argv)
{
#ifdef _WIN32
    // The raw command line keeps runs of blanks that argument splitting would lose, and an
    // unquoted program folder with blanks would shift every argument.
    char module[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    std::string name = length > 0 && length < MAX_PATH ? std::string(module, length) : std::string();
    const auto slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name.empty())
        name = "hex2bin.exe";
    return hexconv::pathFromCommandLine(GetCommandLineA(), name);
#else
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            path += ' ';
        path += argv[i];
    }
    return path;
#endif
}

// Only a regular file is read, and no more of it than any 16 MiB image needs: a FIFO would
// block the open, and a device such as /dev/zero never ends.
bool readInput(const std::string &path, std::string &text, std::string &reason)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(fs::path(path), ec);
    if (ec) {
        reason = "cannot read " + printable(path) + ": " + ec.message();
        return false;
    }
    if (!fs::is_regular_file(status)) {
        reason = printable(path) + ": not a regular file, refused";
        return false;
    }
    const std::string tooLarge = printable(path) + ": larger than " + std::to_string(hexconv::maxHexTextSize >> 20)
                                 + " MiB, more than the HEX text of any 16 MiB image; refused";
    const auto size = fs::file_size(fs::path(path), ec);
    if (!ec && size > hexconv::maxHexTextSize) {
        reason = tooLarge;
        return false;
    }
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        reason = "cannot read " + printable(path) + ": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    std::size_t n;
    while (text.size() <= hexconv::maxHexTextSize && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    bool ok = !std::ferror(f);
    if (!ok)
        reason = "cannot read " + printable(path) + ": " + std::strerror(errno);
    else if (text.size() > hexconv::maxHexTextSize) {
        reason = tooLarge;  // it grew while being read
        ok = false;
    }
    std::fclose(f);
    return ok;
}

bool sameExtension(const std::string &path, const std::string &lowerExt)
{
    if (path.size() < lowerExt.size())
        return false;
    const std::string tail = path.substr(path.size() - lowerExt.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerExt[i])
            return false;
    }
    return true;
}

// Writes the image under a fresh name beside the target and renames it into place only when
// complete, so a failure never leaves a truncated image where the GUI expects a good one. The
// fresh name is short, whatever the target's length, and created exclusively: a file or link
// that is already there under that name is never written through.
bool writeImage(const std::string &target, const std::vector<std::uint8_t> &image, std::string &reason)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(target).parent_path();
    fs::path temp;
    std::FILE *f = nullptr;
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100 && !f; ++attempt) {
        temp = folder / (".hex2bin-" + std::to_string((stamp + attempt) % 1000000007ULL) + ".tmp");
        f = hexconv::openNew(temp.string());
        if (!f && errno != EEXIST) {
            reason = std::strerror(errno);
            return false;
        }
    }
    if (!f) {
        reason = "no free temporary name";
        return false;
    }
    bool ok = image.empty() || std::fwrite(image.data(), 1, image.size(), f) == image.size();
    ok = std::fflush(f) == 0 && ok;
    if (!ok)
        reason = std::strerror(errno);
    ok = std::fclose(f) == 0 && ok;
    if (ok) {
        std::error_code ec;
        fs::rename(temp, fs::path(target), ec);
        if (ec == std::errc::filename_too_long) {
            reason = "the name is longer than the file system allows";
            ok = false;
        } else if (ec) {
            reason = ec.message();
            ok = false;
        }
    } else if (reason.empty()) {
        reason = std::strerror(errno);
    }
    if (!ok) {
        std::error_code ignored;
        fs::remove(temp, ignored);
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string input = inputPath(argc, argv);
    if (input.empty())
        return fail(Failed, "usage: hex2bin FILE.hex (writes FILE.bin beside it)");
    const std::string output = hexconv::binaryNameFor(input);
    // Converting a file named .bin would replace the very text being converted.
    if (sameExtension(input, ".bin"))
        return fail(Failed, printable(input) + ": input already has the output's name " + printable(output));

    std::string text;
    std::string reason;
    if (!readInput(input, text, reason))
        return fail(Failed, reason);

    const hexconv::Result result = hexconv::convert(text);
    if (!result.ok)
        return fail(BadHex, printable(input) + ": " + result.error);

    if (!writeImage(output, result.image, reason))
        return fail(Failed, "cannot write " + printable(output) + ": " + reason);
    return Done;
}
