// SPDX-License-Identifier: GPL-3.0-or-later
// hvsim: the adapter board in simulation, for running the program (or a script) against
// the real firmware and a modelled chip without the hardware.
#include "hvsim.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include <pthread.h>
#include <signal.h>

namespace {

constexpr const char *usage =
    "Usage: hvsim [options]\n"
    "Runs the adapter firmware on a simulated ATmega328P at 16 MHz, its UART on a\n"
    "pseudo-terminal and its socket holding a modelled chip, until SIGINT or SIGTERM.\n"
    "The first line of output names the device to use as the program's port.\n"
    "\n"
    "  --chip NAME         the chip in the socket (default ATmega328P); --chips lists them;\n"
    "                      \"empty\" leaves the socket empty, as for the board's self-test\n"
    "  --firmware FILE     the firmware ELF (default tarvane-adapter.elf beside hvsim)\n"
    "  --link PATH         also make PATH a symbolic link to the device\n"
    "  --fuses HHHHHH      Low, High and Extended fuse bytes (default: the factory's)\n"
    "  --lock HH           lock byte (default FF)\n"
    "  --load FILE         raw image loaded into Flash from address 0\n"
    "  --dump FILE         raw Flash image written after every cmdEnd and at exit\n"
    "  --log FILE          append every block and page of data received to FILE\n"
    "  --ahead-ms N        how far simulated time may run ahead of the wall clock (default 20)\n"
    "  --help              show this text\n"
    "At exit every break of the datasheets' rules that the chip model saw is printed;\n"
    "the exit status is 1 if there was any.\n";

bool parseHex(const std::string &text, std::uint8_t *out, std::size_t count)
{
    if (text.size() != 2 * count)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        char *end = nullptr;
        const std::string digits = text.substr(2 * i, 2);
        const long v = std::strtol(digits.c_str(), &end, 16);
        if (*end || digits.find_first_of("+- ") != std::string::npos)
            return false;
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

bool writeImage(const std::string &path, const std::vector<std::uint8_t> &flash)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(flash.data()), static_cast<std::streamsize>(flash.size()));
    return bool(out);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string chipName = "ATmega328P", linkPath, loadPath, dumpPath, logPath, fuses, lock;
    hvsim::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::cout << usage;
            return 0;
        }
        if (option == "--chips") {
            for (const auto &f : hvsim::families())
                std::cout << f.name << "\n";
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "hvsim: unknown option or missing value: " << option << "\n" << usage;
            return 2;
        }
        const std::string arg = argv[++i];
        if (option == "--chip")
            chipName = arg;
        else if (option == "--firmware")
            options.firmware = arg;
        else if (option == "--link")
            linkPath = arg;
        else if (option == "--fuses")
            fuses = arg;
        else if (option == "--lock")
            lock = arg;
        else if (option == "--load")
            loadPath = arg;
        else if (option == "--dump")
            dumpPath = arg;
        else if (option == "--log")
            logPath = arg;
        else if (option == "--ahead-ms")
            options.aheadUs = std::atoi(arg.c_str()) * 1000;
        else {
            std::cerr << "hvsim: unknown option " << option << "\n" << usage;
            return 2;
        }
    }
    const hvsim::Family *family = hvsim::findFamily(chipName);
    if (!family && chipName != "empty") {
        std::cerr << "hvsim: no model of " << chipName << " (--chips lists them)\n";
        return 2;
    }
    options.chip = family ? hvsim::freshChip(*family) : hvsim::emptySocket();
    if (!fuses.empty()) {
        std::uint8_t f[3];
        if (!parseHex(fuses, f, 3)) {
            std::cerr << "hvsim: --fuses wants six hex digits\n";
            return 2;
        }
        options.chip.lowFuse = f[0];
        options.chip.highFuse = f[1];
        options.chip.extFuse = f[2];
    }
    if (!lock.empty() && !parseHex(lock, &options.chip.lock, 1)) {
        std::cerr << "hvsim: --lock wants two hex digits\n";
        return 2;
    }
    if (!loadPath.empty()) {
        std::ifstream in(loadPath, std::ios::binary);
        const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), {}};
        if (!in.good() && !in.eof()) {
            std::cerr << "hvsim: cannot read " << loadPath << "\n";
            return 2;
        }
        if (image.size() > options.chip.flash.size()) {  // the empty socket has none
            std::cerr << "hvsim: " << loadPath << " is larger than the Flash of " << chipName << "\n";
            return 2;
        }
        std::copy(image.begin(), image.end(), options.chip.flash.begin());
    }

    // Block the stop signals before any thread starts, so that they reach sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    hvsim::Simulator simulator(options);
    std::ofstream logFile;
    if (!logPath.empty()) {
        logFile.open(logPath, std::ios::app);
        simulator.setLogHandler([&logFile](const std::string &line) { logFile << line << std::endl; });
    }
    if (!dumpPath.empty())
        simulator.setStreamEndHandler([&dumpPath](const hvsim::Chip &chip) { writeImage(dumpPath, chip.flash); });
    std::string error;
    if (!simulator.start(&error, linkPath)) {
        std::cerr << "hvsim: " << error << "\n";
        return 1;
    }
    std::cout << "hvsim: serving on " << simulator.devicePath() << " with "
              << (family ? family->name : std::string("the socket empty")) << std::endl;
    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    simulator.stop();
    if (!dumpPath.empty())
        writeImage(dumpPath, simulator.chip().flash);
    const auto breaks = simulator.ruleBreaks();
    for (const auto &b : breaks)
        std::cerr << "hvsim: rule broken at " << b << "\n";
    std::cerr << "hvsim: " << breaks.size() << " rule breaks, " << simulator.stats().simulatedSeconds
              << " s simulated\n";
    return breaks.empty() ? 0 : 1;
}
