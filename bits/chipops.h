// SPDX-License-Identifier: GPL-3.0-or-later
// The chip operations without a window: Read Chip, Write Fuses, Write Lock Bits, Chip Erase.
// They work on a Session (the link state) and the device in force, and tell their user
// everything through Faces.
#pragma once

#include "device.h"
#include "faces.h"
#include "session.h"

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace core {

// The four bytes of a chip in group order: Low, High, Extended, Lock.
using ChipBytes = std::array<std::uint8_t, 4>;

// What a Read Chip found.
struct ChipRead {
    bool complete = false;            // all eight reply bytes came
    bool identified = false;          // and their signature names a device with Flash
    const TDevice *device = nullptr;  // the device in force after it
    avrlink::Block reply{};

    ChipBytes bytes() const { return {reply[4], reply[5], reply[6], reply[7]}; }
};

// The closing step of a write or an erase: a complete Read Chip, run the way its owner runs
// one (the window clicks its Read Chip button).
using ReadChipStep = std::function<ChipRead()>;

enum class Result {
    Done,       // carried out and, where it can be, read back as intended
    Cancelled,  // the user said No; nothing was sent (or a transfer was stopped on request)
    Aborted,    // the link failed (the read-back included); the operation stopped
    Failed,     // carried out, but the chip does not read back as intended (or a file failed)
};

inline const QString kChipNotRead = QStringLiteral("Can`t read chip.");
inline const QStringList kGroupCaptions = {QStringLiteral("Low Byte"), QStringLiteral("High Byte"),
                                           QStringLiteral("Extended Byte"), QStringLiteral("Lock Bits")};

// A part the standard adapter board must never power (Standard_Board=no in its device file:
// the low-voltage RFA1/RFR2 parts, the battery-management parts whose entry is unconfirmed).
QString unservedText(const TDevice &device);
// Every operation on such a device is refused before anything is sent: told once, and true.
bool refuseUnserved(const TDevice &device, const Faces &faces);

// "1Eh 93h 07h": reply bytes 1 to 3.
QString signatureText(const avrlink::Block &reply);

// Read Chip's exchange: the block 01 00 00 00 00 00 00 00 and its 8-byte reply over CmdBlock.
// A reply short of eight bytes is a failure: it is reported once as the link's information,
// and the caller must take nothing from CmdBlock. Returns whether the whole reply came.
bool readChip(Session &session, const Faces &faces);

// Identification of reply bytes 1 to 3 among records in list order (entry 0 the Unknown device).
ChipRead identifyReply(const std::vector<const TDevice *> &records, const avrlink::Block &reply);

// The named bits of a group: bit n counts when the device gives it a name.
std::uint8_t namedMask(const TDevice &device, int group);

// The confirmation's informative text for writing groups (0 to 3) of sent: what changes against
// before (the last Read Chip under this device), or, without it, that every bit is written as
// shown; then what the fields mean (writeMeaning, rescue.h); then one line per warning.
QString describeWrite(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                      const std::optional<ChipBytes> &before);
// The warnings alone, one line each: changes that lock the user out of something.
QStringList writeWarnings(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                          const std::optional<ChipBytes> &before);

// What differs between sent and read in the named bits of groups, as "High Byte reads D9h,
// sent 99h"; empty when every named bit reads back as sent.
QString readBackDifference(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                           const ChipBytes &read);

// Writes and erases are done only when the closing Read Chip shows the device's own signature
// and the bits as written.
// Write Fuses: block 02, bytes 4 to 6 low, high, extended; bytes 1 to 3 and 7 carried over.
Result writeFuses(Session &session, const Faces &faces, const TDevice &device, std::uint8_t low,
                  std::uint8_t high, std::uint8_t extended, const std::optional<ChipBytes> &before,
                  const ReadChipStep &closingRead);

// Write Lock Bits: block 03, byte 7 the lock byte; bytes 1 to 6 carried over.
Result writeLocks(Session &session, const Faces &faces, const TDevice &device, std::uint8_t lock,
                  const std::optional<ChipBytes> &before, const ReadChipStep &closingRead);

// Chip Erase: block 04, every other byte carried over; two questions. processEvents runs
// between the erase and its Read Chip (the window lets pending messages through there). With
// fast transfers the first Flash block is read after the erase and must be blank.
// asked: the user has said Yes to an erase already (before a Flash write, or on the command
// line): the two questions are not asked again.
// informative goes below the first question (what the erase does to the EEPROM).
Result chipErase(Session &session, const Faces &faces, const TDevice &device, const ReadChipStep &closingRead,
                 const std::function<void()> &processEvents = {}, bool asked = false,
                 const QString &informative = QString());

}  // namespace core
