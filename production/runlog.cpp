// SPDX-License-Identifier: GPL-3.0-or-later
#include "runlog.h"

#include <QFile>
#include <QLockFile>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace production {

QStringList logColumns()
{
    return QStringList{QStringLiteral("time"), QStringLiteral("port"), QStringLiteral("signature"),
                       QStringLiteral("device"), QStringLiteral("serial")}
           + kSteps + QStringList{QStringLiteral("retries"), QStringLiteral("seconds")};
}

QByteArray csvLine(const QStringList &fields)
{
    QStringList out;
    for (QString f : fields) {
        if (f.contains(QLatin1Char(',')) || f.contains(QLatin1Char('"')) || f.contains(QLatin1Char('\n'))
            || f.contains(QLatin1Char('\r')))
            f = QLatin1Char('"') + f.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
        out << f;
    }
    return out.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QList<QStringList> parseCsv(const QByteArray &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false, any = false;
    const QString s = QString::fromUtf8(text);
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < s.size() && s[i + 1] == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            any = true;
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
            any = true;
        } else if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < s.size() && s[i + 1] == QLatin1Char('\n'))
                ++i;
            if (any || !field.isEmpty()) {
                row << field;
                rows << row;
            }
            row.clear();
            field.clear();
            any = false;
        } else {
            field += c;
            any = true;
        }
    }
    if (any || !field.isEmpty()) {
        row << field;
        rows << row;
    }
    return rows;
}

bool appendLogLine(const QString &path, const QStringList &fields, QString *error)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    bool ok = ::flock(fd, LOCK_EX) == 0;
    struct stat st{};
    ok = ok && ::fstat(fd, &st) == 0;
    QByteArray data;
    if (ok && st.st_size == 0)
        data = csvLine(logColumns());
    data += csvLine(fields);
    // One write: a line of another run can come before or after it, never into it.
    ok = ok && ::write(fd, data.constData(), std::size_t(data.size())) == ssize_t(data.size()) && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok)
        *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(saved)));
    return ok;
#else
    // No flock here: a lock file of Qt's orders the runs that share the log.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.lock()) {
        *error = QStringLiteral("cannot lock %1").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = file.errorString();
        return false;
    }
    QByteArray data = file.size() == 0 ? csvLine(logColumns()) : QByteArray();
    data += csvLine(fields);
    if (file.write(data) != data.size() || !file.flush()) {
        *error = file.errorString();
        return false;
    }
    return true;
#endif
}

}  // namespace production
