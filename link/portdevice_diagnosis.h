// SPDX-License-Identifier: GPL-3.0-or-later
// Why a port would not open, in words that name the fix.
#pragma once

#include "portdevice_list.h"
#include "serialline.h"

namespace avrlink {

// The process that holds path by a live UUCP lock file (LCK..name, the convention of Qt
// SerialPort, minicom and others), or 0.
long portLockFileHolder(const QString &path);
// The process that holds path by flock (as this program does during an exchange), or 0.
long portFlockHolder(const QString &path);
// The command name of a process, empty when it is gone.
QString processName(long pid);

// Where the user of this front end names the port, for the advice on a missing port: "in File >
// Options" by default; the command line says "with --port, or on line 2 of <its settings file>".
void setPortChoiceHint(const QString &where);

// The lines that explain a failed open of path at step with the errno it saved, for the
// text below the failure message; ports is what the machine has (for a missing device).
// On Windows the saved code is the system's error code, explained by windowsOpenFailureHelp.
// Empty where nothing useful is known, and on systems other than Linux and Windows.
QString openFailureHelp(const QString &path, SerialLine::OpenStep step, int savedErrno,
                        const QList<PortListing> &ports);

// The Windows causes of a failed open: a port that another program has open (COM ports are
// exclusive), a port that is not there (unplugged, or its USB bridge without a driver), a
// driver in trouble, a device that is no serial port. errorCode is the GetLastError() value of
// the failed step; systemText is what Windows says of that code, used for a code without an
// explanation of its own. Kept free of system calls, so that it is tested on any system.
QString windowsOpenFailureHelp(const QString &path, SerialLine::OpenStep step, unsigned long errorCode,
                               const QList<PortListing> &ports, const QString &systemText);

}  // namespace avrlink
