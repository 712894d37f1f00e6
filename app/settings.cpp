// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

void parseSettings(const QByteArray &content, SettingsValues &values)
{
    QByteArray text = content;
    const qsizetype nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);

    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(text.mid(start));

    if (lines.size() >= 2)
        values.PortName = QString::fromLocal8Bit(lines[1]);
    if (lines.size() >= 3)
        values.WriteToFile = QString::fromLocal8Bit(lines[2]);
    if (lines.size() >= 4)
        values.ReadFromFile = QString::fromLocal8Bit(lines[3]);
    if (values.PortName.isEmpty())
        values.PortName = kDefaultPortName;
    for (qsizetype i = 4; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line == "FastTransfers=on")
            values.FastTransfers = true;
        else if (line == "FastTransfers=off")
            values.FastTransfers = false;
        else if (line == "VerifyAfterWriting=on")
            values.VerifyAfterWriting = true;
        else if (line == "VerifyAfterWriting=off")
            values.VerifyAfterWriting = false;
        else if (line.startsWith("EepromFile="))
            values.EepromFile = QString::fromLocal8Bit(line.mid(11));
    }
}

QByteArray formatSettings(const SettingsValues &values)
{
    QByteArray out;
    for (const QByteArray &line : {kSettingsHeader, values.PortName.toLocal8Bit(), values.WriteToFile.toLocal8Bit(),
                                   values.ReadFromFile.toLocal8Bit(),
                                   QByteArray(values.FastTransfers ? "FastTransfers=on" : "FastTransfers=off"),
                                   QByteArray(values.VerifyAfterWriting ? "VerifyAfterWriting=on" : "VerifyAfterWriting=off"),
                                   "EepromFile=" + values.EepromFile.toLocal8Bit()}) {
        out += line;
        out += "\r\n";
    }
    return out;
}

bool readSettingsFile(const QString &path, SettingsValues &values)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        parseSettings(QByteArray(), values);
        return true;
    }
    // Looked at before it is opened: opening a FIFO would wait for a writer for ever.
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly) || file.isSequential()) {
        parseSettings(QByteArray(), values);
        return false;
    }
    // Four short lines are all it holds; a huge file is read only as far as the bound.
    const QByteArray content = file.read(kMaxSettingsFileSize);
    if (file.error() != QFileDevice::NoError) {
        parseSettings(QByteArray(), values);
        return false;
    }
    parseSettings(content, values);
    return true;
}

bool writeSettingsFile(const QString &path, const SettingsValues &values)
{
    // Something other than a file in its place (a FIFO, a device, a folder) is never replaced.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray data = formatSettings(values);
    // commit() can report success although the buffered last write failed (a full disk),
    // and would then put a cut-short file in place of the old one: the flush is checked here.
    if (file.write(data) != data.size() || !file.flush() || file.error() != QFileDevice::NoError) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
