// SPDX-License-Identifier: GPL-3.0-or-later
// Image files for the Flash and EEPROM operations: one call reads a file of any format into
// a memory image, one turns an image into the bytes of the file to save. Writing the file
// stays with the caller, which replaces its target only once every byte is on disk.
#pragma once

#include "imagecodec.h"

#include <QByteArray>
#include <QString>
#include <vector>

namespace image {

struct Loaded {
    bool ok = false;
    QString error;                // one line without a final stop, e.g. "line 3: bad checksum
                                  // 0x12, the record's bytes give 0x34"; empty when ok
    Format format = Format::Raw;  // how the file was read (formatToRead)
    QByteArray bytes;             // from address 0 to the last byte given; holes FFh
    std::vector<Span> spans;      // where the file gave bytes
};

// Reads path for memory, which holds memorySize bytes. Only a regular file is read: a FIFO
// would block the open and a device node may never end. A raw file may not be larger than
// the memory, any other no larger than maxFileSize; neither is read beyond that.
Loaded load(const QString &path, qint64 memorySize, Memory memory);

// How a file of this name is written: Intel HEX, S-record or raw.
Format formatToWrite(const QString &path);

// The bytes of the file path names, by its name (encodingForName): HEX or S-record with
// trailing FFh left out when trimTrailingFF is set, raw as given.
QByteArray encode(const QByteArray &bytes, const QString &path, bool trimTrailingFF);

}  // namespace image
