// SPDX-License-Identifier: GPL-3.0-or-later
#include "hexconv.h"

#include <string_view>
#include <utility>

namespace hexconv {

namespace {

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
    image::Decoded decoded = image::decodeConverterHex(hexText);
    Result result;
    result.ok = decoded.ok;
    result.error = std::move(decoded.error);
    result.image = std::move(decoded.bytes);
    return result;
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
