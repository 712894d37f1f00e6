// SPDX-License-Identifier: GPL-3.0-or-later
// File choice for the Flash operations: dialog filters and the HEX conversion step.
#pragma once

#include <QString>
#include <QStringList>

// The open dialog's three entries and the save dialog's one. The patterns ride behind the
// descriptions (hidden in the dialog); upper-case masks stand in for the case-blind
// matching that the masks get on Windows.
QStringList openDialogFilters();
QStringList saveDialogFilters();

// The extension of a path: from its last "." on, provided no path separator or ":" follows.
QString fileExtension(const QString &path);
bool isHexFileName(const QString &path);

struct ConversionResult {
    bool ok = false;
    QString binaryName;
};

// Runs the converter on hexPath (as an argument list, no shell) and waits for it, at most
// timeoutMs. Success only when it exits with status 0 and has written its output file (an
// older file under that name, left unchanged, does not count).
ConversionResult convertHexFile(const QString &converter, const QString &hexPath, int timeoutMs = 30000);

// The converter beside the program.
QString converterPath(const QString &baseDir);
