// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program keeps the files that belong to its user: the settings file, and the
// user's own device files. Qt Core only, so every front end can share it.
#pragma once

#include <QString>

// The settings file. Beside the program while its folder is writable, so a copy unpacked
// anywhere keeps its settings with it. Otherwise (installed system-wide) in the user's
// configuration folder: $XDG_CONFIG_HOME/tarvane/config.txt, or ~/.config/tarvane/config.txt
// when XDG_CONFIG_HOME is unset, empty or relative. Without a usable home either, the file
// stays beside the program, where saving it then fails and says so.
QString settingsFilePath(const QString &baseDir, bool baseDirWritable, const QString &xdgConfigHome,
                         const QString &home);

// The user's configuration folder ($XDG_CONFIG_HOME/tarvane or ~/.config/tarvane), or an
// empty string when neither variable holds an absolute path.
QString userConfigFolder(const QString &xdgConfigHome, const QString &home);

// The user's own device files: "cpu" inside the user's configuration folder, or empty.
QString userDeviceFolder(const QString &xdgConfigHome, const QString &home);

// The same for this process: its environment and the folder's real permissions. When the
// settings go to the user's folder, that folder is created so the first save succeeds.
QString settingsFilePath(const QString &baseDir);
QString userDeviceFolder();
