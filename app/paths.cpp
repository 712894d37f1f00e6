// SPDX-License-Identifier: GPL-3.0-or-later
#include "paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const QString kSettingsName = QStringLiteral("config.txt");

// Variables that name folders count only when absolute; anything else is ignored.
bool usable(const QString &path)
{
    return !path.isEmpty() && QDir::isAbsolutePath(path);
}

// Judged by its text alone, the same on every system: C:\... or \\server\share\...
bool usableWindowsPath(const QString &path)
{
    static const QRegularExpression absolute(
        QStringLiteral("^(?:[A-Za-z]:[\\\\/]|[\\\\/]{2}[^\\\\/]+[\\\\/]+[^\\\\/]+)"));
    return absolute.match(path).hasMatch();
}

QString windowsConfigFolder(const QString &appData)
{
    if (!usableWindowsPath(appData))
        return QString();
    QString folder = appData;
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder + QStringLiteral("/tarvane");
}

UserFolders environmentFolders()
{
    return {qEnvironmentVariable("XDG_CONFIG_HOME"), qEnvironmentVariable("HOME"), qEnvironmentVariable("APPDATA")};
}

constexpr PathConvention kThisSystem =
#ifdef Q_OS_WIN
    PathConvention::Windows;
#else
    PathConvention::Xdg;
#endif

}  // namespace

QString userConfigFolder(PathConvention convention, const UserFolders &folders)
{
    if (convention == PathConvention::Windows)
        return windowsConfigFolder(folders.appData);
    if (usable(folders.xdgConfigHome))
        return QDir::cleanPath(folders.xdgConfigHome + QStringLiteral("/tarvane"));
    if (usable(folders.home))
        return QDir::cleanPath(folders.home + QStringLiteral("/.config/tarvane"));
    return QString();
}

QString userConfigFolder(const QString &xdgConfigHome, const QString &home)
{
    return userConfigFolder(PathConvention::Xdg, {xdgConfigHome, home, QString()});
}

QString userDeviceFolder(PathConvention convention, const UserFolders &folders)
{
    const QString folder = userConfigFolder(convention, folders);
    return folder.isEmpty() ? folder : folder + QStringLiteral("/cpu");
}

QString userDeviceFolder(const QString &xdgConfigHome, const QString &home)
{
    return userDeviceFolder(PathConvention::Xdg, {xdgConfigHome, home, QString()});
}

QString settingsFilePath(const QString &baseDir, bool baseDirWritable, PathConvention convention,
                         const UserFolders &folders)
{
    const QString beside = QDir(baseDir).filePath(kSettingsName);
    if (baseDirWritable)
        return beside;
    const QString folder = userConfigFolder(convention, folders);
    return folder.isEmpty() ? beside : folder + QLatin1Char('/') + kSettingsName;
}

QString settingsFilePath(const QString &baseDir, bool baseDirWritable, const QString &xdgConfigHome,
                         const QString &home)
{
    return settingsFilePath(baseDir, baseDirWritable, PathConvention::Xdg, {xdgConfigHome, home, QString()});
}

bool folderWritable(const QString &dir)
{
#ifdef Q_OS_WIN
    QFile probe(QDir(dir).filePath(QStringLiteral(".tarvane-write-test-%1").arg(QCoreApplication::applicationPid())));
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
#else
    return QFileInfo(dir).isWritable();
#endif
}

QString settingsFilePath(const QString &baseDir)
{
    const bool writable = folderWritable(baseDir);
    const QString path = settingsFilePath(baseDir, writable, kThisSystem, environmentFolders());
    if (!writable)
        QDir().mkpath(QFileInfo(path).absolutePath());
    return path;
}

QString userDeviceFolder()
{
    return userDeviceFolder(kThisSystem, environmentFolders());
}
