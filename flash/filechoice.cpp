// SPDX-License-Identifier: GPL-3.0-or-later
#include "filechoice.h"

#include "hexconv.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

QStringList openDialogFilters()
{
    return {QStringLiteral("Файлы прошивок (*.bin; *.hex) (*.bin *.hex *.BIN *.HEX)"),
            QStringLiteral("*.bin (*.bin *.BIN)"), QStringLiteral("*.hex (*.hex *.HEX)")};
}

QStringList saveDialogFilters()
{
    return {QStringLiteral("*.bin (*.bin *.BIN)")};
}

QString fileExtension(const QString &path)
{
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return QString();
    const QString tail = path.mid(dot);
    if (tail.contains(QLatin1Char('\\')) || tail.contains(QLatin1Char('/')) || tail.contains(QLatin1Char(':')))
        return QString();
    return tail;
}

bool isHexFileName(const QString &path)
{
    return fileExtension(path).compare(QLatin1String(".hex"), Qt::CaseInsensitive) == 0;
}

QString converterPath(const QString &baseDir)
{
#ifdef Q_OS_WIN
    return QDir(baseDir).filePath(QStringLiteral("hex2bin.exe"));
#else
    return QDir(baseDir).filePath(QStringLiteral("hex2bin"));
#endif
}

ConversionResult convertHexFile(const QString &converter, const QString &hexPath, int timeoutMs)
{
    ConversionResult result;
    result.binaryName = QString::fromStdString(hexconv::binaryNameFor(hexPath.toStdString()));
    // An image left by an earlier conversion is no proof of this one.
    const QFileInfo before(result.binaryName);
    const bool existed = before.exists();
    const QDateTime oldTime = before.lastModified();
    const qint64 oldSize = before.size();
    QProcess process;
    process.setProgram(converter);
    process.setArguments({hexPath});
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted())
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    const QFileInfo after(result.binaryName);
    const bool written = after.isFile() && (!existed || after.lastModified() != oldTime || after.size() != oldSize);
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && written;
    return result;
}
