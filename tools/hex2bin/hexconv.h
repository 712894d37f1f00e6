// SPDX-License-Identifier: GPL-3.0-or-later
// The converter program's rules, kept free of I/O policy so tests call them directly: its
// reading of Intel HEX (image/'s reader, as this program has always worded its refusals), the
// name of its output, and its command line.
#pragma once

#include "imagecodec.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hexconv {

struct Result {
    bool ok = false;
    std::string error;               // one-line reason when !ok, e.g. "line 3: bad checksum"
    std::vector<std::uint8_t> image; // data placed at its address from 0, gaps FF,
                                     // as long as the highest address used
};

// Highest image size accepted: data may not reach beyond 16 MiB.
inline constexpr std::size_t maxImageSize = image::maxImageSize;

// Largest HEX text accepted; larger input is refused.
inline constexpr std::size_t maxHexTextSize = image::maxFileSize;

// Converts the whole text of an Intel HEX file (record types 00 to 05). Lines end at LF,
// CR LF or a lone CR, as avr-objcopy reads them.
Result convert(const std::string &hexText);

// Creates path for writing only when nothing is there yet, not even a dangling link (C11 "x"
// mode, O_EXCL); nullptr with errno EEXIST otherwise.
std::FILE *openNew(const std::string &path);

// The output name of the converter: the input path with its extension replaced by ".bin".
std::string binaryNameFor(const std::string &hexPath);

// The input path in a raw command line "PROGRAM PATH" as the GUI builds it: PROGRAM is this
// converter's own path, quoted or not (its folder may hold blanks), and PATH is all the rest,
// blanks included, with surrounding quotes dropped. programName is the converter's file name
// ("hex2bin.exe"), used to find where an unquoted PROGRAM ends.
std::string pathFromCommandLine(const std::string &commandLine, const std::string &programName);

}  // namespace hexconv
