// SPDX-License-Identifier: GPL-3.0-or-later
// Our own adapter board: how it proves itself, and the extension commands it then takes.
//
// The original adapters know command codes 0 to 7 only, and never receive anything else from
// this program. An operation that could use an extension first sends cmdEnd (which closes any
// stream, a thing every adapter takes) with a fresh random challenge in block bytes 4 to 7. Our
// board answers:
//   byte 0  54h ('T')
//   1..3    the signature it last read (what a plain host carries into its next chip command)
//   4       extension protocol version (1)
//   5       capability bits (Capability)
//   6, 7    CRC-16 (little-endian) over "TARVANE", the challenge and reply bytes 4 and 5
// An adapter that echoes the block fails at byte 0; a reply left over from an earlier probe
// answers another challenge. Only an exact answer counts, and only for the operation it came in.
//
// Extension commands (firmware/README.md has their block layout):
//   cmdExtLine  10h  the line's rate for this operation (1,000,000 baud), or back to 115200
//   cmdExtPing  11h  the identification again, closing nothing
//   cmdExtRead  12h  N bytes of a memory at an address, with a CRC-16
//   cmdExtWrite 13h  a Flash page or EEPROM bytes at an address, with a CRC-16; one status byte
//   cmdExtBoardTest 14h  the board's self-test of its lines
#pragma once

#include "exchange.h"
#include "porthold.h"
#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace avrlink {

enum ExtCommand : std::uint8_t {
    cmdExtLine = 0x10,
    cmdExtPing = 0x11,
    cmdExtRead = 0x12,
    cmdExtWrite = 0x13,
    cmdExtBoardTest = 0x14,
};

enum Capability : std::uint8_t {
    capFastLine = 0x01,
    capAddressed = 0x02,
    capEeprom = 0x04,
    capCalibration = 0x08,
    capBoardTest = 0x10,
};

enum Memory : std::uint8_t { memFlash = 0, memEeprom = 1, memCalibration = 2, memSignature = 3 };

constexpr std::uint8_t kIdentityMark = 0x54;
constexpr int kFastBaud = 1000000;
constexpr int kPlainBaud = 115200;
// The board goes back to 115200 after this long without a byte.
constexpr int kBoardIdleMs = 500;

// CRC-16/CCITT-FALSE: polynomial 1021h, start FFFFh, no reflection, no final XOR.
std::uint16_t crc16(const std::uint8_t *data, std::size_t count, std::uint16_t crc = 0xFFFF);

// The answer our board gives to the challenge in sent bytes 4 to 7, with its version and
// capabilities (reply bytes 4 and 5).
std::uint16_t challengeAnswer(const Block &sent, std::uint8_t version, std::uint8_t capabilities);
// Whether reply is our board's identification for the challenge in sent.
bool identifies(const Block &sent, const Block &reply);

// A fresh challenge: 4 random bytes.
void setChallenge(Block &block);

// Sends cmdEnd with a fresh challenge (byte 1 = 00, bytes 2 and 3 carried) and judges the reply,
// which stays in CmdBlock as every cmdEnd reply does. Its result is kept in the operation's
// hold. result, when given, receives how the exchange went (port failures are reported).
BoardInfo identifyBoard(LinkState &state, Reporter &reporter, ExchangeResult *result = nullptr);

enum class ExtStatus {
    Ok,
    BadCrc,       // the reply came whole but its CRC does not match: as good as lost
    Refused,      // the board said 'R'
    NoAnswer,     // nothing, or too little, came in time
    PortFailure,  // the port could not be had (reported)
};

// cmdExtRead: count bytes (1 to 256) of memory from address into out.
ExtStatus extRead(const QString &port, std::uint8_t memory, std::uint32_t address, int count, std::uint8_t *out,
                  Reporter &reporter);
// cmdExtWrite: count bytes (1 to 256) from data to memory at address. Returns when the status
// byte has come: for Flash the board then programs the page while the host sends the next.
ExtStatus extWrite(const QString &port, std::uint8_t memory, std::uint32_t address, int count,
                   const std::uint8_t *data, Reporter &reporter);

// The line's rate for the rest of the operation. Asks the board (cmdExtLine) only where the
// port can be set to the rate, then checks the new rate with cmdExtPing; a rate the line
// cannot carry leaves both sides at 115200 again (after the board's idle time). Returns the
// rate in force afterwards; 0 when the board no longer answers at all.
int switchLine(LinkState &state, int baud, Reporter &reporter);

// cmdExtBoardTest: the board drives each of its lines in turn. lineNamed is called with each
// line's name as the board sends it; stop() is asked between lines and ends the test when true.
// False when the board did not take the command.
bool boardTest(LinkState &state, Reporter &reporter, const std::function<void(const QString &)> &lineNamed,
               const std::function<bool()> &stop);

}  // namespace avrlink
