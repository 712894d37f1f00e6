// SPDX-License-Identifier: GPL-3.0-or-later
// The production log: one CSV line per chip, appended and flushed at once, with a header line
// when the file is new. Several runs may append to one log: each line goes out in one write
// under an exclusive lock, so lines never mix.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace production {

// The steps of a run, in the order they run; each ends "ok", "failed" or "skipped" (not asked
// for, or not reached after a failure).
inline const QStringList kSteps = {QStringLiteral("identify"), QStringLiteral("erase"), QStringLiteral("flash"),
                                   QStringLiteral("eeprom"),   QStringLiteral("fuses"), QStringLiteral("lock")};

// time (ISO 8601 with the offset from UTC), port, signature, device, serial number, each step's
// result, retries, seconds.
QStringList logColumns();

// One CSV line (RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes
// doubled), ended by CR LF.
QByteArray csvLine(const QStringList &fields);
// The fields of CSV text, line by line (for tests and tools that read the log back).
QList<QStringList> parseCsv(const QByteArray &text);

// Appends one line (header first when the file is new or empty). False with error set when the
// log cannot be opened, locked or written.
bool appendLogLine(const QString &path, const QStringList &fields, QString *error);

}  // namespace production
