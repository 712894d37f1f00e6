// SPDX-License-Identifier: GPL-3.0-or-later
// EEPROM write, verify and read, and the chip's calibration bytes: extensions of our own
// adapter board, without a window.
//
// The original protocol has no EEPROM commands. These operations run only with Fast transfers
// on, and only on an adapter that proves, at the operation's start, that it is our board with
// EEPROM among its capabilities (link/board.h). Any other adapter has received nothing but
// that question (a cmdEnd) when the operation says "This adapter cannot program EEPROM. The
// open AVR Tarvane board can."; with Fast transfers off nothing at all is sent.
//
// Files: Intel HEX for names ending .eep, .hex or .ihex (avr-objcopy's .eep output), S-record
// for .srec/.s19/.s28/.s37, ELF (its .eeprom section), raw bytes otherwise; a dump is written
// in the format its name says.
#pragma once

#include "chipops.h"
#include "image.h"
#include "porthold.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace core {

inline const QString kNoEepromAdapter =
    QStringLiteral("This adapter cannot program EEPROM. The open AVR Tarvane board can.");

struct EepromResult {
    Result result = Result::Aborted;
    std::int32_t errors = 0;  // bytes that differ (verify, and the read-back of a write)
    int retries = 0;
    bool notOurBoard = false;  // refused before anything but the question was sent
};

// EEPROM write from the file named, read back and compared: "EEPROM programming completed." or
// "EEPROM verifying failed: N errors.".
EepromResult writeEeprom(Session &session, const Faces &faces, const TDevice &device, const QString &name);
// The same from an image in memory: the bytes of its spans are written and read back.
EepromResult writeEepromImage(Session &session, const Faces &faces, const TDevice &device, const image::Loaded &image);
// EEPROM against the file named: "EEPROM verifying completed. No errors." or "... failed: N errors.".
EepromResult verifyEeprom(Session &session, const Faces &faces, const TDevice &device, const QString &name);
// The whole EEPROM into the file named, replaced only once every byte is in: "EEPROM reading
// completed.".
EepromResult readEeprom(Session &session, const Faces &faces, const TDevice &device, const QString &name);

// Whether the adapter is our board, and what it offers. The question (a cmdEnd with a challenge,
// which every adapter takes) is sent only where the operation holding the port has not asked it
// yet, and never without Fast transfers; CmdBlock is left as it was.
avrlink::BoardInfo askBoard(Session &session);

// The chip's oscillator calibration bytes (as many as the device file says, 1 to 4), read by our
// board after a Read Chip; nothing on any other adapter, without Fast transfers, or when the
// device names none. Sends a question to the adapter only where this operation has not asked
// it yet; CmdBlock is left as the Read Chip left it.
std::optional<std::vector<std::uint8_t>> readCalibration(Session &session, const Faces &faces, const TDevice &device);
// "Calibration: 9Ch" or "Calibration: 9Ch A0h A5h B2h".
QString calibrationText(const std::vector<std::uint8_t> &bytes);

// What Chip Erase does to the EEPROM, from EESAVE in the bytes of the last Read Chip: true when
// the erase will clear it, false when EESAVE keeps it, nothing when the device names no EESAVE
// or no chip has been read.
std::optional<bool> eraseClearsEeprom(const TDevice &device, const std::optional<ChipBytes> &read);
// The line the erase's question shows about it.
QString eraseEepromText(const std::optional<bool> &clears);

}  // namespace core
