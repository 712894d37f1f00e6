// SPDX-License-Identifier: GPL-3.0-or-later
#include "serials.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QList>
#include <QLockFile>
#include <QSaveFile>
#include <memory>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace production {

namespace {

bool processAlive(long pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#else
    // Without a cheap test a reservation counts as held: a number left by a run that died is
    // skipped, never handed out twice.
    return pid > 0;
#endif
}

long currentProcess()
{
#ifdef Q_OS_UNIX
    return long(::getpid());
#else
    return long(QCoreApplication::applicationPid());
#endif
}

bool toNumber(const QByteArray &text, std::uint64_t &out)
{
    bool ok = false;
    out = text.trimmed().toULongLong(&ok);
    return ok;
}

// The lock that orders all runs sharing one file: flock on a file of its own beside it, since the
// numbers file itself is replaced by a rename and a lock on it would go with the old one.
class Lock {
public:
    explicit Lock(const QString &path)
    {
#ifdef Q_OS_UNIX
        fd_ = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
#else
        // No flock here: a lock file of Qt's, waited for as flock waits.
        lock_ = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        lock_->setStaleLockTime(0);
        fd_ = lock_->lock() ? 0 : -1;
#endif
    }
    ~Lock()
    {
#ifdef Q_OS_UNIX
        if (fd_ >= 0)
            ::close(fd_);
#endif
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
#ifndef Q_OS_UNIX
    std::unique_ptr<QLockFile> lock_;
#endif
};

}  // namespace

std::optional<SerialState> parseSerials(const QByteArray &text)
{
    SerialState state;
    bool sawNext = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            return std::nullopt;
        const QByteArray key = line.left(eq);
        const QList<QByteArray> values = line.mid(eq + 1).simplified().split(' ');
        std::uint64_t number = 0;
        if (!toNumber(values.value(0), number))
            return std::nullopt;
        if (key == "next" && values.size() == 1) {
            state.next = number;
            sawNext = true;
        } else if (key == "used" && values.size() == 1) {
            state.used.insert(number);
        } else if (key == "reserved" && values.size() == 2) {
            bool ok = false;
            const long pid = values[1].toLong(&ok);
            if (!ok)
                return std::nullopt;
            state.reserved[number] = pid;
        } else {
            return std::nullopt;
        }
    }
    if (!sawNext)
        return std::nullopt;
    return state;
}

QByteArray formatSerials(const SerialState &state)
{
    QByteArray out = "# tarvane-cli program: serial numbers\n";
    out += "next=" + QByteArray::number(qulonglong(state.next)) + "\n";
    for (std::uint64_t n : state.used)
        out += "used=" + QByteArray::number(qulonglong(n)) + "\n";
    for (const auto &[n, pid] : state.reserved)
        out += "reserved=" + QByteArray::number(qulonglong(n)) + " " + QByteArray::number(qlonglong(pid)) + "\n";
    return out;
}

std::uint64_t reserveNumber(SerialState &state, std::uint64_t start, long process)
{
    // A number held by a run that is gone is free again.
    for (auto it = state.reserved.begin(); it != state.reserved.end();)
        it = processAlive(it->second) ? std::next(it) : state.reserved.erase(it);
    std::uint64_t n = std::max(state.next, start);
    while (state.used.count(n) || state.reserved.count(n))
        ++n;
    state.reserved[n] = process;
    return n;
}

void commitNumber(SerialState &state, std::uint64_t number)
{
    state.reserved.erase(number);
    state.used.insert(number);
    while (state.used.count(state.next))
        state.used.erase(state.next++);
    // Numbers below next are used by definition.
    state.used.erase(state.used.begin(), state.used.lower_bound(state.next));
}

void releaseNumber(SerialState &state, std::uint64_t number)
{
    state.reserved.erase(number);
}

QString defaultSerialFile(const QString &logFile)
{
    const QString folder = logFile.isEmpty() ? QDir::currentPath() : QFileInfo(logFile).absolutePath();
    return QDir(folder).filePath(QStringLiteral("serial.txt"));
}

SerialFile::SerialFile(QString path) : path_(std::move(path)) {}

template <typename Change>
bool SerialFile::change(Change &&change)
{
    const Lock lock(path_);
    if (!lock.held()) {
        error_ = QStringLiteral("cannot lock %1.lock: %2").arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    std::optional<SerialState> state;
    if (QFileInfo::exists(path_)) {
        QFile file(path_);
        if (!file.open(QIODevice::ReadOnly)) {
            error_ = QStringLiteral("cannot read %1: %2").arg(path_, file.errorString());
            return false;
        }
        state = parseSerials(file.read(1024 * 1024));
        if (!state) {
            error_ = QStringLiteral("%1 is not a serial number file").arg(path_);
            return false;
        }
    }
    SerialState s = state.value_or(SerialState{});
    change(s, !state.has_value());
    QSaveFile out(path_);
    const QByteArray text = formatSerials(s);
    // The flush is asked for on its own: a write that fails only as the buffer goes out (a full
    // disk) is not seen by commit(), which would put an empty file in place of the numbers.
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush() || !out.commit()) {
        error_ = QStringLiteral("cannot write %1: %2").arg(path_, out.errorString());
        return false;
    }
    return true;
}

bool SerialFile::reserve(std::uint64_t start, std::uint64_t &number)
{
    return change([&](SerialState &s, bool fresh) {
        if (fresh)
            s.next = start;
        number = reserveNumber(s, start, currentProcess());
    });
}

bool SerialFile::commit(std::uint64_t number)
{
    return change([&](SerialState &s, bool) { commitNumber(s, number); });
}

bool SerialFile::release(std::uint64_t number)
{
    return change([&](SerialState &s, bool) { releaseNumber(s, number); });
}

bool serialBytes(std::uint64_t number, int count, QByteArray &bytes)
{
    if (count < 1 || count > 8 || (count < 8 && number >> (8 * count)) != 0)
        return false;
    bytes.clear();
    for (int i = 0; i < count; ++i)
        bytes.append(char((number >> (8 * i)) & 0xFF));
    return true;
}

}  // namespace production
