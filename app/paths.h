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

// Whose conventions name the user's configuration folder.
enum class PathConvention {
    Xdg,      // $XDG_CONFIG_HOME/tarvane, or ~/.config/tarvane (the functions above)
    Windows,  // %APPDATA%\tarvane
};

// What the conventions read from the environment.
struct UserFolders {
    QString xdgConfigHome;  // $XDG_CONFIG_HOME
    QString home;           // $HOME
    QString appData;        // %APPDATA%, such as C:\Users\ann\AppData\Roaming
};

// The same choices for either convention. Under Windows' the folder is %APPDATA%\tarvane
// (written with '/', as Qt takes every path), or empty when APPDATA is not an absolute
// Windows path (a drive letter or \\server\share, then a separator).
QString userConfigFolder(PathConvention convention, const UserFolders &folders);
QString settingsFilePath(const QString &baseDir, bool baseDirWritable, PathConvention convention,
                         const UserFolders &folders);
QString userDeviceFolder(PathConvention convention, const UserFolders &folders);

// The same for this process: the convention of the system it runs on, its environment and
// the folder's real permissions. When the settings go to the user's folder, that folder is
// created so the first save succeeds.
QString settingsFilePath(const QString &baseDir);
QString userDeviceFolder();

// Whether a file can be made in dir. On Windows it is tried: the folder's access rules, which
// keep a user out of Program Files, do not show in its attributes.
bool folderWritable(const QString &dir);
