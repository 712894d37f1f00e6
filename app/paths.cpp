// SPDX-License-Identifier: GPL-3.0-or-later
#include "paths.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kSettingsName = QStringLiteral("config.txt");

// Variables that name folders count only when absolute; anything else is ignored.
bool usable(const QString &path)
{
    return !path.isEmpty() && QDir::isAbsolutePath(path);
}

}  // namespace

QString userConfigFolder(const QString &xdgConfigHome, const QString &home)
{
    if (usable(xdgConfigHome))
        return QDir::cleanPath(xdgConfigHome + QStringLiteral("/tarvane"));
    if (usable(home))
        return QDir::cleanPath(home + QStringLiteral("/.config/tarvane"));
    return QString();
}

QString userDeviceFolder(const QString &xdgConfigHome, const QString &home)
{
    const QString folder = userConfigFolder(xdgConfigHome, home);
    return folder.isEmpty() ? folder : folder + QStringLiteral("/cpu");
}

QString settingsFilePath(const QString &baseDir, bool baseDirWritable, const QString &xdgConfigHome,
                         const QString &home)
{
    const QString beside = QDir(baseDir).filePath(kSettingsName);
    if (baseDirWritable)
        return beside;
    const QString folder = userConfigFolder(xdgConfigHome, home);
    return folder.isEmpty() ? beside : folder + QLatin1Char('/') + kSettingsName;
}

QString settingsFilePath(const QString &baseDir)
{
    const bool writable = QFileInfo(baseDir).isWritable();
    const QString path = settingsFilePath(baseDir, writable, qEnvironmentVariable("XDG_CONFIG_HOME"),
                                          qEnvironmentVariable("HOME"));
    if (!writable)
        QDir().mkpath(QFileInfo(path).absolutePath());
    return path;
}

QString userDeviceFolder()
{
    return userDeviceFolder(qEnvironmentVariable("XDG_CONFIG_HOME"), qEnvironmentVariable("HOME"));
}
