// SPDX-License-Identifier: GPL-3.0-or-later
// Builds device records from the definition files in the catalogue folder.
#pragma once

#include "device.h"
#include "inifile.h"

#include <QString>
#include <memory>
#include <vector>

// Reads one group of eight bit entries ("NAME|U", "NAME|P", ...) from an INI section.
void ReadBitGroup(const IniFile &ini, const QString &section, const QString &prefix, TBitGroup &group);

// One record from one file; an unreadable file gives a record made of the defaults.
std::unique_ptr<TDevice> loadDeviceFile(const QString &path);

// Every regular file of folder whose name ends in ".ini", in the folder's own order.
std::vector<std::unique_ptr<TDevice>> loadDeviceFolder(const QString &folder);
