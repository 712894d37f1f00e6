// SPDX-License-Identifier: GPL-3.0-or-later
// Production runs on their own: the serial numbers (their file, the number each run gets, what a
// pass and a failure leave behind, several processes at once) and the CSV log (its lines, read
// back here and by Python's csv module).
#include "runlog.h"
#include "serials.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using production::SerialState;
using Numbers = QList<qulonglong>;

Q_DECLARE_METATYPE(production::SerialState)

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// A process that cannot exist: above the highest number the kernel hands out.
long deadProcess()
{
    const long max = readFile("/proc/sys/kernel/pid_max").trimmed().toLong();
    return (max > 0 ? max : 4194304) + 1;
}

SerialState state(qulonglong next, const Numbers &used = {}, const Numbers &live = {}, const Numbers &dead = {})
{
    SerialState s;
    s.next = next;
    for (qulonglong n : used)
        s.used.insert(n);
    for (qulonglong n : live)
        s.reserved[n] = long(::getppid());
    for (qulonglong n : dead)
        s.reserved[n] = deadProcess();
    return s;
}

Numbers usedOf(const SerialState &s)
{
    return Numbers(s.used.begin(), s.used.end());
}

Numbers reservedOf(const SerialState &s)
{
    Numbers out;
    for (const auto &[n, pid] : s.reserved)
        out << n;
    return out;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Python's csv module, which shares nothing with the log's code: runs script with the input on
// its standard input and returns its standard output; nothing when Python cannot be run.
std::optional<QByteArray> python(const QString &script, const QByteArray &input)
{
    const QString exe = QStandardPaths::findExecutable("python3");
    if (exe.isEmpty())
        return std::nullopt;
    QProcess p;
    p.start(exe, {"-c", script});
    if (!p.waitForStarted(30000))
        return std::nullopt;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return std::nullopt;
    return p.readAllStandardOutput();
}

}  // namespace

class TestProduction : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // --- The serial number file -------------------------------------------------------

    void parseSerials_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qulonglong>("next");
        QTest::addColumn<Numbers>("used");
        QTest::addColumn<Numbers>("reserved");
        QTest::addColumn<long>("process");  // of the first reservation
        QTest::newRow("next alone") << QByteArray("next=1000\n") << true << 1000ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("every kind, in the header's words")
            << QByteArray("# serial numbers\nnext=1005\nused=1007\nreserved=1006 4711\n") << true << 1005ull
            << Numbers{1007} << Numbers{1006} << 4711L;
        QTest::newRow("blank lines, blanks and CR LF")
            << QByteArray("\r\n  next=7  \r\n\r\nused=9\r\nused=12\r\nreserved=8   99\r\n") << true << 7ull
            << Numbers{9, 12} << Numbers{8} << 99L;
        QTest::newRow("no final line break") << QByteArray("used=3\nnext=2") << true << 2ull << Numbers{3} << Numbers{}
                                             << 0L;
        QTest::newRow("largest number") << QByteArray("next=18446744073709551615\n") << true
                                        << 18446744073709551615ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("empty") << QByteArray() << false << 0ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("no next") << QByteArray("used=5\n") << false << 0ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("not a number") << QByteArray("next=ten\n") << false << 0ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("next empty") << QByteArray("next=\n") << false << 0ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("negative") << QByteArray("next=-1\n") << false << 0ull << Numbers{} << Numbers{} << 0L;
        QTest::newRow("past 64 bits") << QByteArray("next=18446744073709551616\n") << false << 0ull << Numbers{}
                                      << Numbers{} << 0L;
        QTest::newRow("two numbers used") << QByteArray("next=1\nused=2 3\n") << false << 0ull << Numbers{}
                                          << Numbers{} << 0L;
        QTest::newRow("reserved without its process") << QByteArray("next=1\nreserved=2\n") << false << 0ull
                                                      << Numbers{} << Numbers{} << 0L;
        QTest::newRow("reserved by no number") << QByteArray("next=1\nreserved=2 me\n") << false << 0ull
                                               << Numbers{} << Numbers{} << 0L;
        QTest::newRow("unknown key") << QByteArray("next=1\nlast=2\n") << false << 0ull << Numbers{} << Numbers{}
                                     << 0L;
        QTest::newRow("line without =") << QByteArray("next=1\n1002\n") << false << 0ull << Numbers{} << Numbers{}
                                        << 0L;
        QTest::newRow("another program's file") << QByteArray("<html>\n") << false << 0ull << Numbers{} << Numbers{}
                                                << 0L;
    }
    void parseSerials()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(qulonglong, next);
        QFETCH(Numbers, used);
        QFETCH(Numbers, reserved);
        QFETCH(long, process);
        const std::optional<SerialState> s = production::parseSerials(text);
        QCOMPARE(s.has_value(), valid);
        if (!valid)
            return;
        QCOMPARE(qulonglong(s->next), next);
        QCOMPARE(usedOf(*s), used);
        QCOMPARE(reservedOf(*s), reserved);
        if (!reserved.isEmpty())
            QCOMPARE(s->reserved.begin()->second, process);
    }

    void formatSerials_data()
    {
        QTest::addColumn<qulonglong>("next");
        QTest::addColumn<Numbers>("used");
        QTest::addColumn<Numbers>("reserved");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("fresh") << 1000ull << Numbers{} << Numbers{} << QStringList{"next=1000"};
        QTest::newRow("every kind") << 1005ull << Numbers{1007, 1009} << Numbers{1006}
                                    << QStringList{"next=1005", "used=1007", "used=1009", "reserved=1006 4711"};
        QTest::newRow("largest") << 18446744073709551615ull << Numbers{} << Numbers{}
                                 << QStringList{"next=18446744073709551615"};
    }
    void formatSerials()
    {
        // The file is read by people too: the lines the header of serials.h shows, and back.
        QFETCH(qulonglong, next);
        QFETCH(Numbers, used);
        QFETCH(Numbers, reserved);
        QFETCH(QStringList, lines);
        SerialState s;
        s.next = next;
        for (qulonglong n : used)
            s.used.insert(n);
        for (qulonglong n : reserved)
            s.reserved[n] = 4711;
        const QByteArray text = production::formatSerials(s);
        QStringList got;
        for (const QByteArray &line : text.split('\n'))
            if (!line.isEmpty() && !line.startsWith('#'))
                got << QString::fromLatin1(line);
        QCOMPARE(got, lines);
        QVERIFY(text.endsWith('\n'));
        const std::optional<SerialState> back = production::parseSerials(text);
        QVERIFY(back);
        QCOMPARE(qulonglong(back->next), next);
        QCOMPARE(usedOf(*back), used);
        QCOMPARE(reservedOf(*back), reserved);
    }

    void reserveNumber_data()
    {
        QTest::addColumn<SerialState>("before");
        QTest::addColumn<qulonglong>("start");
        QTest::addColumn<qulonglong>("number");
        QTest::addColumn<Numbers>("reservedAfter");
        QTest::newRow("the next one") << state(1000) << 1000ull << 1000ull << Numbers{1000};
        QTest::newRow("start above next") << state(1000) << 5000ull << 5000ull << Numbers{5000};
        QTest::newRow("next above start") << state(1042) << 1000ull << 1042ull << Numbers{1042};
        QTest::newRow("used out of turn: passed over") << state(1000, {1000, 1001, 1003}) << 1000ull << 1002ull
                                                       << Numbers{1002};
        QTest::newRow("held by a running program: passed over")
            << state(1000, {}, {1000, 1001}) << 1000ull << 1002ull << Numbers{1000, 1001, 1002};
        QTest::newRow("held by a program that is gone: free again")
            << state(1000, {}, {1001}, {1000}) << 1000ull << 1000ull << Numbers{1000, 1001};
        QTest::newRow("every dead reservation dropped")
            << state(1000, {}, {}, {1000, 1001, 1002}) << 1000ull << 1000ull << Numbers{1000};
        QTest::newRow("start within used numbers") << state(10, {20, 21}) << 20ull << 22ull << Numbers{22};
    }
    void reserveNumber()
    {
        QFETCH(SerialState, before);
        QFETCH(qulonglong, start);
        QFETCH(qulonglong, number);
        QFETCH(Numbers, reservedAfter);
        SerialState s = before;
        const long me = long(::getpid());
        QCOMPARE(qulonglong(production::reserveNumber(s, start, me)), number);
        QCOMPARE(reservedOf(s), reservedAfter);
        QCOMPARE(s.reserved.at(number), me);
        QCOMPARE(s.next, before.next);  // only a pass moves it
        QCOMPARE(s.used, before.used);
    }

    // Reservations by no process at all (0 or less, as a file may hold after an edit) hold
    // nothing: kill() would take 0 and -1 for a whole process group and every process.
    void reservationOfNoProcess()
    {
        for (const long pid : {0L, -1L}) {
            SerialState s = state(1000);
            s.reserved[1000] = pid;
            QCOMPARE(qulonglong(production::reserveNumber(s, 1000, long(::getpid()))), 1000ull);
        }
    }

    void commitNumber_data()
    {
        QTest::addColumn<SerialState>("before");
        QTest::addColumn<qulonglong>("number");
        QTest::addColumn<qulonglong>("next");
        QTest::addColumn<Numbers>("used");
        QTest::addColumn<Numbers>("reserved");
        QTest::newRow("in turn") << state(1000, {}, {1000}) << 1000ull << 1001ull << Numbers{} << Numbers{};
        QTest::newRow("out of turn: kept as used") << state(1000, {}, {1000, 1001}) << 1001ull << 1000ull
                                                   << Numbers{1001} << Numbers{1000};
        QTest::newRow("in turn past the used ones")
            << state(1000, {1001, 1002, 1004}, {1000}) << 1000ull << 1003ull << Numbers{1004} << Numbers{};
        QTest::newRow("above a start far ahead") << state(1000, {}, {5000}) << 5000ull << 1000ull << Numbers{5000}
                                                 << Numbers{};
        QTest::newRow("used numbers below next dropped") << state(1000, {3, 999}, {1000}) << 1000ull << 1001ull
                                                         << Numbers{} << Numbers{};
    }
    void commitNumber()
    {
        QFETCH(SerialState, before);
        QFETCH(qulonglong, number);
        QFETCH(qulonglong, next);
        QFETCH(Numbers, used);
        QFETCH(Numbers, reserved);
        SerialState s = before;
        production::commitNumber(s, number);
        QCOMPARE(qulonglong(s.next), next);
        QCOMPARE(usedOf(s), used);
        QCOMPARE(reservedOf(s), reserved);
    }

    void releaseNumber()
    {
        SerialState s = state(1000, {1003}, {1000, 1001});
        production::releaseNumber(s, 1000);
        QCOMPARE(qulonglong(s.next), 1000ull);
        QCOMPARE(usedOf(s), Numbers{1003});
        QCOMPARE(reservedOf(s), Numbers{1001});
        // and the number goes to the next run
        QCOMPARE(qulonglong(production::reserveNumber(s, 1000, long(::getpid()))), 1000ull);
    }

    // Three runs side by side, passing and failing in any order: every chip that passed has its
    // own number, and a failed run's number goes to the next chip.
    void runsSideBySide()
    {
        const long me = long(::getpid());
        SerialState s = state(1000);
        const std::uint64_t a = production::reserveNumber(s, 1000, me);
        const std::uint64_t b = production::reserveNumber(s, 1000, me);
        const std::uint64_t c = production::reserveNumber(s, 1000, me);
        QCOMPARE(Numbers({a, b, c}), Numbers({1000, 1001, 1002}));
        production::commitNumber(s, c);   // the third passes first
        production::releaseNumber(s, a);  // the first fails
        QCOMPARE(production::reserveNumber(s, 1000, me), std::uint64_t(1000));  // the fourth takes the first's
        production::commitNumber(s, 1000);
        QCOMPARE(qulonglong(s.next), 1001ull);
        production::commitNumber(s, b);
        QCOMPARE(qulonglong(s.next), 1003ull);
        QVERIFY(s.used.empty());
        QVERIFY(s.reserved.empty());
    }

    void defaultSerialFile()
    {
        QCOMPARE(production::defaultSerialFile("/var/log/line1/chips.csv"), QString("/var/log/line1/serial.txt"));
        QCOMPARE(production::defaultSerialFile(""), QDir::current().filePath("serial.txt"));
        QCOMPARE(production::defaultSerialFile("chips.csv"), QDir::current().filePath("serial.txt"));
    }

    void serialBytes_data()
    {
        QTest::addColumn<qulonglong>("number");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("bytes");  // empty: refused
        QTest::newRow("4 bytes, little-endian") << 0x01020304ull << 4 << "04 03 02 01";
        QTest::newRow("1000 in 4") << 1000ull << 4 << "E8 03 00 00";
        QTest::newRow("1 byte, largest") << 255ull << 1 << "FF";
        QTest::newRow("1 byte, one too many") << 256ull << 1 << "";
        QTest::newRow("2 bytes, one too many") << 65536ull << 2 << "";
        QTest::newRow("3 bytes") << 0xABCDEFull << 3 << "EF CD AB";
        QTest::newRow("4 bytes, largest") << 0xFFFFFFFFull << 4 << "FF FF FF FF";
        QTest::newRow("4 bytes, one too many") << 0x100000000ull << 4 << "";
        QTest::newRow("7 bytes, one too many") << 0x100000000000000ull << 7 << "";
        QTest::newRow("8 bytes") << 0x0123456789ABCDEFull << 8 << "EF CD AB 89 67 45 23 01";
        QTest::newRow("8 bytes, largest") << 18446744073709551615ull << 8 << "FF FF FF FF FF FF FF FF";
        QTest::newRow("0 in 2") << 0ull << 2 << "00 00";
        QTest::newRow("no bytes") << 0ull << 0 << "";
        QTest::newRow("9 bytes") << 1ull << 9 << "";
        QTest::newRow("negative count") << 1ull << -1 << "";
    }
    void serialBytes()
    {
        QFETCH(qulonglong, number);
        QFETCH(int, count);
        QFETCH(QString, bytes);
        QByteArray out;
        QCOMPARE(production::serialBytes(number, count, out), !bytes.isEmpty());
        if (!bytes.isEmpty())
            QCOMPARE(hex(out), bytes);
    }

    // --- SerialFile: the numbers kept on disk -------------------------------------------

    void serialFileRun()
    {
        const QString path = dir.filePath("run/serial.txt");
        QVERIFY(QDir().mkpath(dir.filePath("run")));
        production::SerialFile file(path);
        std::uint64_t n = 0;
        QVERIFY2(file.reserve(1000, n), qPrintable(file.error()));
        QCOMPARE(n, std::uint64_t(1000));
        // Reserved on disk, by this process, before the chip is touched.
        std::optional<SerialState> s = production::parseSerials(readFile(path));
        QVERIFY(s);
        QCOMPARE(qulonglong(s->next), 1000ull);
        QCOMPARE(s->reserved.at(1000), long(::getpid()));
        QVERIFY(file.release(n));
        s = production::parseSerials(readFile(path));
        QCOMPARE(qulonglong(s->next), 1000ull);
        QVERIFY(s->reserved.empty());
        // A failed chip's number goes to the next; a pass moves on.
        QVERIFY(file.reserve(1000, n));
        QCOMPARE(n, std::uint64_t(1000));
        QVERIFY(file.commit(n));
        QVERIFY(file.reserve(1000, n));
        QCOMPARE(n, std::uint64_t(1001));
        QVERIFY(file.commit(n));
        s = production::parseSerials(readFile(path));
        QCOMPARE(qulonglong(s->next), 1002ull);
        QVERIFY(s->reserved.empty() && s->used.empty());
        // Only serial.txt and its lock file: no temporary file left behind.
        QCOMPARE(QDir(dir.filePath("run")).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList({"serial.txt", "serial.txt.lock"}));
    }

    void serialFileRefused_data()
    {
        QTest::addColumn<QByteArray>("content");  // empty: no file
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("error");
        QTest::newRow("not a serial number file") << QByteArray("chip,serial\n1,2\n") << "serial.txt"
                                                  << "is not a serial number file";
        QTest::newRow("no such folder") << QByteArray() << "missing/serial.txt" << "cannot lock";
    }
    void serialFileRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, name);
        QFETCH(QString, error);
        QTemporaryDir here;
        const QString path = here.filePath(name);
        if (!content.isEmpty())
            QVERIFY(writeFile(path, content));
        production::SerialFile file(path);
        std::uint64_t n = 0;
        QVERIFY(!file.reserve(1000, n));
        QVERIFY2(file.error().contains(error), qPrintable(file.error()));
        QVERIFY2(file.error().contains(path), qPrintable(file.error()));
        QCOMPARE(readFile(path), content);  // left as it was
    }

    void serialFileDiskFull_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::newRow("full disk") << QByteArray("TARVANE_FAULT_ENOSPC");
        QTest::newRow("rename fails") << QByteArray("TARVANE_FAULT_RENAME");
    }
    void serialFileDiskFull()
    {
        // The file is replaced whole or not at all: a failed write leaves the numbers as they
        // were, and no piece of a file beside them.
        QFETCH(QByteArray, variable);
        QTemporaryDir here;
        const QString path = here.filePath("serial.txt");
        production::SerialFile file(path);
        std::uint64_t n = 0;
        QVERIFY(file.reserve(1000, n));
        QVERIFY(file.commit(n));
        const QByteArray before = readFile(path);
        ::setenv(variable.constData(), QFile::encodeName(variable.endsWith("RENAME") ? path : here.path() + "/").constData(), 1);
        const bool reserved = file.reserve(1000, n);
        const bool committed = file.commit(1001);
        ::unsetenv(variable.constData());
        QCOMPARE(readFile(path), before);
        QVERIFY(!reserved);
        QVERIFY(!committed);
        QVERIFY2(file.error().startsWith("cannot write " + path), qPrintable(file.error()));
        QCOMPARE(QDir(here.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList({"serial.txt", "serial.txt.lock"}));
    }

    void serialFileProcessGone()
    {
        // A run that died with a number reserved (killed, a power cut): the next run gets it.
        const QString path = dir.filePath("gone.txt");
        const pid_t child = fork();
        if (child == 0) {
            production::SerialFile file(path);
            std::uint64_t n = 0;
            _exit(file.reserve(1000, n) && n == 1000 ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(production::parseSerials(readFile(path))->reserved.at(1000), long(child));
        production::SerialFile file(path);
        std::uint64_t n = 0;
        QVERIFY(file.reserve(1000, n));
        QCOMPARE(n, std::uint64_t(1000));
    }

    void serialFileManyProcesses()
    {
        // Eight processes each take a number and keep it until all have one, then pass: eight
        // numbers, none twice, and the file counts on after the last.
        constexpr int kRuns = 8;
        const QString path = dir.filePath("many.txt");
        int results[2], go[2];
        QCOMPARE(::pipe(results), 0);
        QCOMPARE(::pipe(go), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kRuns; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                alarm(60);
                ::close(results[0]);
                ::close(go[1]);
                production::SerialFile file(path);
                std::uint64_t n = 0;
                if (!file.reserve(500, n))
                    _exit(1);
                if (::write(results[1], &n, sizeof n) != ssize_t(sizeof n))
                    _exit(2);
                char c;
                if (::read(go[0], &c, 1) != 1)
                    _exit(3);
                _exit(file.commit(n) ? 0 : 4);
            }
            children.push_back(child);
        }
        ::close(results[1]);
        ::close(go[0]);
        std::set<std::uint64_t> numbers;
        for (int i = 0; i < kRuns; ++i) {
            std::uint64_t n = 0;
            QCOMPARE(::read(results[0], &n, sizeof n), ssize_t(sizeof n));
            numbers.insert(n);
        }
        // Every process holds its number now.
        const std::optional<SerialState> held = production::parseSerials(readFile(path));
        QVERIFY(held);
        QCOMPARE(int(held->reserved.size()), kRuns);
        QCOMPARE(::write(go[1], "gogogogo", kRuns), ssize_t(kRuns));
        ::close(go[1]);
        ::close(results[0]);
        for (pid_t child : children) {
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        QCOMPARE(numbers, (std::set<std::uint64_t>{500, 501, 502, 503, 504, 505, 506, 507}));
        const std::optional<SerialState> after = production::parseSerials(readFile(path));
        QCOMPARE(qulonglong(after->next), 508ull);
        QVERIFY(after->reserved.empty() && after->used.empty());
    }

    // --- The CSV log ----------------------------------------------------------------------

    void csvLine_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("plain") << QStringList{"a", "b c", "1.5"} << QByteArray("a,b c,1.5\r\n");
        QTest::newRow("empty fields") << QStringList{"", "x", ""} << QByteArray(",x,\r\n");
        QTest::newRow("comma") << QStringList{"COM3,1", "x"} << QByteArray("\"COM3,1\",x\r\n");
        QTest::newRow("quote") << QStringList{"say \"hi\"", "x"} << QByteArray("\"say \"\"hi\"\"\",x\r\n");
        QTest::newRow("only a quote") << QStringList{"\""} << QByteArray("\"\"\"\"\r\n");
        QTest::newRow("line feed") << QStringList{"a\nb"} << QByteArray("\"a\nb\"\r\n");
        QTest::newRow("carriage return") << QStringList{"a\rb", "c"} << QByteArray("\"a\rb\",c\r\n");
        QTest::newRow("CR LF") << QStringList{"a\r\nb"} << QByteArray("\"a\r\nb\"\r\n");
        QTest::newRow("blanks kept as they are") << QStringList{" a ", "b"} << QByteArray(" a ,b\r\n");
        QTest::newRow("not ASCII, as UTF-8") << QStringList{"/dev/ttyÄ"} << QByteArray("/dev/tty\xC3\x84\r\n");
    }
    void csvLine()
    {
        QFETCH(QStringList, fields);
        QFETCH(QByteArray, line);
        QCOMPARE(production::csvLine(fields), line);
        // and back
        QCOMPARE(production::parseCsv(line), QList<QStringList>{fields});
    }

    void parseCsv_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::newRow("two lines, LF") << QByteArray("a,b\nc,d\n") << QList<QStringList>{{"a", "b"}, {"c", "d"}};
        QTest::newRow("CR LF, no final break") << QByteArray("a,b\r\nc,d")
                                               << QList<QStringList>{{"a", "b"}, {"c", "d"}};
        QTest::newRow("blank lines skipped") << QByteArray("a\r\n\r\n\nb\r\n") << QList<QStringList>{{"a"}, {"b"}};
        QTest::newRow("line break in quotes") << QByteArray("\"a\r\nb\",c\r\nd\r\n")
                                              << QList<QStringList>{{"a\r\nb", "c"}, {"d"}};
        QTest::newRow("empty quoted field") << QByteArray("\"\",x\r\n") << QList<QStringList>{{"", "x"}};
        QTest::newRow("a line of one empty quoted field") << QByteArray("\"\"\r\n") << QList<QStringList>{{""}};
        QTest::newRow("trailing comma") << QByteArray("a,\r\n") << QList<QStringList>{{"a", ""}};
        QTest::newRow("doubled quotes") << QByteArray("\"\"\"\",\"a\"\"b\"\r\n")
                                        << QList<QStringList>{{"\"", "a\"b"}};
    }
    void parseCsv()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<QStringList>, rows);
        QCOMPARE(production::parseCsv(text), rows);
    }

    // The log opened by other programs: what Python's csv module reads from our lines, and what
    // it writes that we read.
    void csvAgainstPython()
    {
        const QList<QStringList> rows = {
            production::logColumns(),
            {"2025-03-01T10:00:00+01:00", "/dev/ttyUSB0", "1Eh 93h 07h", "ATmega8/8A", "1000", "ok", "ok", "ok", "ok",
             "ok", "ok", "0", "1.25"},
            {"a,b", "say \"hi\"", "two\nlines", "cr\rhere", "", " blank ", "\"", ",", "x\r\ny"},
        };
        QByteArray ours;
        for (const QStringList &row : rows)
            ours += production::csvLine(row);
        // Python reads ours, one JSON array a row.
        const std::optional<QByteArray> read = python(
            "import csv, io, json, sys\n"
            "for row in csv.reader(io.TextIOWrapper(sys.stdin.buffer, encoding='utf-8', newline='')):\n"
            "    print(json.dumps(row))\n",
            ours);
        if (!read)
            QSKIP("python3 is not at hand");
        const QList<QByteArray> lines = read->trimmed().split('\n');
        QCOMPARE(lines.size(), rows.size());
        for (int i = 0; i < rows.size(); ++i) {
            QStringList fields;
            const QByteArray json = "{\"r\":" + lines[i] + "}";
            for (const QJsonValue &v : QJsonDocument::fromJson(json).object().value("r").toArray())
                fields << v.toString();
            QCOMPARE(fields, rows[i]);
        }
        // Python writes the same rows (its own quoting, CR LF), and we read them.
        QByteArray input;
        for (const QStringList &row : rows)
            input += QJsonDocument(QJsonArray::fromStringList(row)).toJson(QJsonDocument::Compact) + "\n";
        const std::optional<QByteArray> written = python(
            "import csv, json, sys\n"
            "w = csv.writer(sys.stdout)\n"
            "for line in sys.stdin:\n"
            "    w.writerow(json.loads(line))\n",
            input);
        QVERIFY(written);
        QCOMPARE(production::parseCsv(*written), rows);
    }

    void logColumns()
    {
        QCOMPARE(production::logColumns(),
                 QStringList({"time", "port", "signature", "device", "serial", "identify", "erase", "flash", "eeprom",
                              "fuses", "lock", "retries", "seconds"}));
    }

    void appendLogLine()
    {
        const QString path = dir.filePath("log.csv");
        QString error;
        QVERIFY2(production::appendLogLine(path, {"1", "a,b"}, &error), qPrintable(error));
        QVERIFY(production::appendLogLine(path, {"2", "c"}, &error));
        QCOMPARE(readFile(path), production::csvLine(production::logColumns()) + "1,\"a,b\"\r\n2,c\r\n");
        // A file that is there but empty gets its header too.
        const QString empty = dir.filePath("empty.csv");
        QVERIFY(writeFile(empty, QByteArray()));
        QVERIFY(production::appendLogLine(empty, {"3"}, &error));
        QCOMPARE(readFile(empty), production::csvLine(production::logColumns()) + "3\r\n");
    }

    void appendLogLineRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<QString>("error");
        QTest::newRow("no such folder") << "missing/log.csv" << false << "No such file or directory";
        QTest::newRow("a folder") << "folder" << false << "Is a directory";
        QTest::newRow("full disk") << "log.csv" << true << "No space left on device";
    }
    void appendLogLineRefused()
    {
        QFETCH(QString, name);
        QFETCH(bool, diskFull);
        QFETCH(QString, error);
        QTemporaryDir here;
        QVERIFY(QDir(here.path()).mkdir("folder"));
        const QString path = here.filePath(name);
        if (diskFull)
            ::setenv("TARVANE_FAULT_ENOSPC", QFile::encodeName(here.path() + "/").constData(), 1);
        QString message;
        const bool ok = production::appendLogLine(path, {"1"}, &message);
        ::unsetenv("TARVANE_FAULT_ENOSPC");
        QVERIFY(!ok);
        QVERIFY2(message.contains(path) && message.contains(error), qPrintable(message));
    }

    void logFromManyProcesses()
    {
        // Eight processes append 100 lines each to a new log at once: one header, and every
        // line whole.
        constexpr int kRuns = 8, kLines = 100;
        const QString path = dir.filePath("many.csv");
        int go[2];
        QCOMPARE(::pipe(go), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kRuns; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                alarm(60);
                ::close(go[1]);
                char c;
                if (::read(go[0], &c, 1) != 0)  // all start when the pipe closes
                    _exit(3);
                QString error;
                for (int l = 0; l < kLines; ++l) {
                    const QString text = QString("run %1 line %2, with a \"quote\"").arg(i).arg(l);
                    if (!production::appendLogLine(path, {QString::number(i), QString::number(l), text}, &error))
                        _exit(1);
                }
                _exit(0);
            }
            children.push_back(child);
        }
        ::close(go[0]);
        ::close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        const QList<QStringList> rows = production::parseCsv(readFile(path));
        QCOMPARE(rows.size(), 1 + kRuns * kLines);
        QCOMPARE(rows.first(), production::logColumns());
        std::set<QString> seen;
        for (qsizetype r = 1; r < rows.size(); ++r) {
            const QStringList &row = rows[r];
            QCOMPARE(row.size(), 3);
            QCOMPARE(row[2], QString("run %1 line %2, with a \"quote\"").arg(row[0], row[1]));
            seen.insert(row[0] + "/" + row[1]);
        }
        QCOMPARE(int(seen.size()), kRuns * kLines);
    }
};

QTEST_MAIN(TestProduction)
#include "test_production.moc"
