// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli program as a script runs it, for the tests against either simulator: the run, the
// images made by avr-objcopy, what each step puts on the wire, the log and the serial file read
// back.
#pragma once

#include "runlog.h"
#include "serials.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>
#include <string>
#include <vector>

namespace programrun {

struct Run {
    int exit = -1;
    QString out;
    QString err;
};

inline QString cliPath()
{
    return qEnvironmentVariable("TARVANE_BIN_DIR") + QStringLiteral("/tarvane-cli");
}

inline void start(QProcess &p, const QStringList &args,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    p.setProgram(cliPath());
    p.setArguments(args);
    p.setProcessEnvironment(env);
    p.start();
}

inline Run finish(QProcess &p, int timeoutMs = 120000)
{
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

inline Run run(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    start(p, args, env);
    return finish(p);
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QString objcopyPath()
{
    return QStringLiteral(TARVANE_OBJCOPY);
}

// bytes as avr-objcopy writes them into an Intel HEX file, placed at address: the images a
// build hands to the programmer, made by a tool we share nothing with.
inline bool hexFile(const QByteArray &bytes, std::size_t address, const QString &path)
{
    QTemporaryDir dir;
    const QString raw = dir.filePath(QStringLiteral("image.bin"));
    if (!writeFile(raw, bytes))
        return false;
    QProcess p;
    p.start(objcopyPath(), {"-I", "binary", "-O", "ihex", "--change-addresses", QString::number(address), raw, path});
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline QByteArray pattern(int size, int seed)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 13 + seed) & 0xFF);
    return data;
}

inline QByteArray bytes(const std::vector<std::uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

// The blocks the adapter received, "block 13 01 20 00 ..." (page data left out).
inline QStringList blocks(const std::vector<std::string> &log)
{
    QStringList out;
    for (const std::string &line : log)
        if (line.rfind("block ", 0) == 0)
            out << QString::fromStdString(line);
    return out;
}

// The steps in the order they run, and the blocks that only each step sends: the writes, which
// a failed step must keep from ever reaching the chip after it. Flash pages go as cmdExtWrite to
// memory 0 on our board and as cmdWritePage elsewhere; EEPROM as cmdExtWrite to memory 1.
inline const QStringList kStepNames = {"identify", "erase", "flash", "eeprom", "fuses", "lock"};
inline const QList<QStringList> kStepWrites = {
    {"block 01"}, {"block 04"}, {"block 13 00", "block 05"}, {"block 13 01"}, {"block 02"}, {"block 03"}};

inline bool sent(const QStringList &wire, int step)
{
    for (const QString &line : wire)
        for (const QString &prefix : kStepWrites[step])
            if (line.startsWith(prefix))
                return true;
    return false;
}

// The serial file as it lies; nothing when it is missing or does not parse.
inline std::optional<production::SerialState> serialState(const QString &path)
{
    if (!QFile::exists(path))
        return std::nullopt;
    return production::parseSerials(readFile(path));
}

}  // namespace programrun
