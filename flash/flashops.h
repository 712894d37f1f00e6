// SPDX-License-Identifier: GPL-3.0-or-later
// Flash write, verify and read without a window, and the step that turns a chosen HEX file
// into an image. They work on a Session and the device in force and report through Faces.
#pragma once

#include "chipops.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>
#include <memory>
#include <optional>

namespace core {

inline const QString kAborted = QStringLiteral("Operation aborted.");
inline const QString kTooLarge = QStringLiteral("File size is greater than size of Flash for target device.\r\n"
                                                "Operation aborted. Please select correct file.");

// The piece of a page that one page command carries: the whole page up to 128 bytes; larger
// pages go in pieces of 128, which the adapter stores one after another. 0 when the device's
// page size cannot be written (below 1, or above 128 and not a multiple of 128).
int pieceSize(int pageSize);

// A final status text with the lost replies that were recovered on the way: " Retries: N."
// appended when there were any, the text unchanged otherwise.
QString withRetries(const QString &status, int retries);

// The information text when a page acknowledgement never came.
QString noAcknowledgementText(const QString &port);

// Opens an image for Write FLASH or Verify FLASH. Only a regular file will do: a FIFO would
// block at open, a device node never ends, and a file of /proc holds other than its size
// says. Reports "Can`t open file." (with the reason, where the front end shows one) and
// returns false.
bool openImage(const QString &name, QFile &file, const Faces &faces);
// The image named, for Write FLASH or Verify FLASH: a raw file opened as openImage does, or an
// Intel HEX, S-record or ELF file (by its name, or ELF by its first bytes) read whole into a
// memory image with holes FFh. A file that cannot be read, or that puts data outside Flash, is
// reported with the reason and the address; nothing then.
std::unique_ptr<QIODevice> openFlashImage(const QString &name, const TDevice &device, const Faces &faces);
// Whether a dump could take the target's place, asked before the adapter is: a temporary file
// beside it, or the file itself when it is writable in a folder that takes no new file. Tells
// "Cannot create file" when not.
bool canReplace(const QString &name, const Faces &faces);
// Puts a dump in place of the target: written to a temporary file beside it that replaces it
// only once every byte is on disk, or in place for a writable file in a folder that takes no
// new file. False after the failure was told.
bool saveDump(const QString &name, const QByteArray &dump, const Faces &faces);
// Whether an open file's size from stat and the bytes it holds agree; leaves it at its start.
bool sizeHoldsContents(QFile &file);

// Flash write of the file named (empty: the error box missing, "Incorrect file name."). With
// verifyAfter ("Verify after writing") a verify of the same image follows, closed by that Read
// Chip; its result is the operation's: "Flash programming completed. Verified." or "Flash
// verifying failed: N errors.".
Result writeFlash(Session &session, const Faces &faces, const TDevice &device, const QString &name,
                  const QString &missing = QStringLiteral("Input file name for Flash programming."),
                  const ReadChipStep &verifyAfter = {});
// The same from an image already open (a file, or an image converted in memory).
Result writeFlashImage(Session &session, const Faces &faces, const TDevice &device, QIODevice &image);

// A verify or a read that loses a reply closes the stream, streams again from Flash byte 0 up
// to the lost address and repeats the lost command, quietly; after 3 failed attempts at one
// address it aborts with the link's message, once. retries counts the re-streams, which the
// final status names. Page writes are never repeated.
struct VerifyResult {
    Result result = Result::Aborted;
    std::int32_t errors = 0;
    int retries = 0;
};
// Flash verify; the closing Read Chip runs after the stream is closed.
VerifyResult verifyFlash(Session &session, const Faces &faces, const TDevice &device, const QString &name,
                         const ReadChipStep &closingRead,
                         const QString &missing = QStringLiteral("Input file name to verify Flash."));
VerifyResult verifyFlashImage(Session &session, const Faces &faces, const TDevice &device, QIODevice &image,
                              const ReadChipStep &closingRead);

struct ReadResult {
    Result result = Result::Aborted;
    int retries = 0;
};
// Flash read into the file named: Intel HEX for names ending .hex, .ihex or .eep, S-record for
// .srec, .s19, .s28 or .s37, raw otherwise; trailing FFh left out of HEX and S-record only when
// trimTrailingFF is set. The target is replaced only once every block is in and written; a
// target that is not a regular file is refused.
ReadResult readFlash(Session &session, const Faces &faces, const TDevice &device, const QString &name,
                     const ReadChipStep &closingRead, bool trimTrailingFF = false);

// A file chosen for Write FLASH: a HEX file is converted beside itself by the converter
// program and the image's name returned; any other name comes back as it is. Nothing on failure
// (reported: "Error converting HEX to BIN.", "Error convert.").
std::optional<QString> takeChosenImage(const QString &chosen, const QString &converter, const Faces &faces);

}  // namespace core
