// SPDX-License-Identifier: GPL-3.0-or-later
// The adapter simulator on a real pseudo-terminal, talked to through plain POSIX calls
// the way the program does it: the port opened, purged and closed for every command.
#include "adaptersim.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using adaptersim::Chip;
using adaptersim::Options;
using adaptersim::Simulator;

namespace {

const QByteArray ack(1, char(adaptersim::ackChar));
const QByteArray readChip = QByteArray::fromHex("0100000000000000");
const QByteArray endStream = QByteArray::fromHex("0000000000000000");
const QByteArray readBlock = QByteArray::fromHex("0600000000000000");
const QByteArray readWord = QByteArray::fromHex("0700000000000000");
// The default chip, as every 8-byte reply shows it after the code.
const QByteArray defaultState = QByteArray::fromHex("1E9307E1D9FFFF");

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);  // blanks between the bytes are skipped
}

QByteArray bytes(const std::vector<std::uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

QStringList logOf(const Simulator &sim)
{
    QStringList lines;
    for (const auto &line : sim.log())
        lines << QString::fromStdString(line);
    return lines;
}

// One opening of the port, as the program makes it for each command.
class Line {
public:
    explicit Line(const QString &path)
    {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(fd_, TCSANOW, &tio);
        ::tcflush(fd_, TCIOFLUSH);
    }
    ~Line()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool isOpen() const { return fd_ >= 0; }

    bool send(const QByteArray &data)
    {
        qsizetype done = 0;
        while (fd_ >= 0 && done < data.size()) {
            const ssize_t n = ::write(fd_, data.constData() + done, size_t(data.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 1000);
            } else if (!(n < 0 && errno == EINTR)) {
                return false;
            }
        }
        return fd_ >= 0;
    }

    // Up to `count` bytes: ends when they are all there or the wait runs out.
    QByteArray receive(qsizetype count, int waitMs = 5000)
    {
        QByteArray got;
        QDeadlineTimer deadline(waitMs);
        while (fd_ >= 0 && got.size() < count && !deadline.hasExpired()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime()))) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(fd_, buffer, size_t(qMin<qsizetype>(count - got.size(), sizeof buffer)));
            if (n > 0)
                got.append(buffer, n);
        }
        return got;
    }

private:
    int fd_ = -1;
};

// A complete command: open, purge, send the block, read the reply, close.
QByteArray exchange(const QString &path, const QByteArray &block, qsizetype replySize)
{
    Line line(path);
    if (!line.isOpen() || !line.send(block))
        return "port not usable";
    return line.receive(replySize);
}

// A complete page write: the block, the first acknowledgement, the data, the second.
QByteArray writePage(const QString &path, const QByteArray &block, const QByteArray &data)
{
    Line line(path);
    if (!line.isOpen() || !line.send(block))
        return "port not usable";
    QByteArray acks = line.receive(1);
    if (!line.send(data))
        return "port not usable";
    return acks + line.receive(1);
}

QByteArray pageBlock(int size)
{
    // Bytes 2 to 7 carry over from an earlier reply and mean nothing.
    return hex("05") + QByteArray(1, char(size)) + hex("1E9307E1D9FF");
}

Chip patternChip(std::size_t flashSize = 8192)
{
    Chip chip;
    chip.flash.resize(flashSize);
    for (std::size_t i = 0; i < flashSize; ++i)
        chip.flash[i] = std::uint8_t(i);
    return chip;
}

QString path(const Simulator &sim)
{
    return QString::fromStdString(sim.devicePath());
}

QString program()
{
    QString dir = qEnvironmentVariable("TARVANE_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + "/../bin";
    return QDir(dir).filePath("adapter-sim");
}

}  // namespace

#define START(sim)                                                                             \
    do {                                                                                       \
        std::string error_;                                                                    \
        QVERIFY2((sim).start(&error_), error_.c_str());                                        \
    } while (false)

class TestAdapterSim : public QObject {
    Q_OBJECT

private slots:
    void replyToChipCommands_data();
    void replyToChipCommands();
    void fuseWrite();
    void lockWriteAndErase();
    void pageWritesAcrossReopen_data();
    void pageWritesAcrossReopen();
    void writeWithoutEraseAnds_data();
    void writeWithoutEraseAnds();
    void pageBeyondFlashEnd();
    void emptyPage();
    void silent();
    void cutReplies_data();
    void cutReplies();
    void logLines();
    void resync_data();
    void resync();
    void symlink_data();
    void symlink();
    void symlinkRefusesOtherFile();
    void stopDuringProgramming();
    void commandLine();
    void commandLineRejects_data();
    void commandLineRejects();
    // The physical page and the wide stream address.
    void piecesFillWidePage_data();
    void piecesFillWidePage();
    void halfPageAtEnd();
    void readsAcross64K();
    void wholeFlashRoundTrip();
    void replyFault_data();
    void replyFault();
    void bridgeHoldsReplies();
    void bridgeCountsPortHandling();
    void commandLineFaultAndBridge();
};

void TestAdapterSim::replyToChipCommands_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<bool>("wirePaced");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray state = hex("1E950F 62 D9 FD CF");
    QTest::newRow("cmdReadChip") << readChip << false << hex("01") + state;
    QTest::newRow("cmdReadChip, carried-over bytes") << hex("01 1E9307 E1D9FF FF") << false
                                                     << hex("01") + state;
    QTest::newRow("cmdReadChip, wire-paced") << readChip << true << hex("01") + state;
    QTest::newRow("cmdEnd") << endStream << false << hex("00") + state;
    QTest::newRow("unknown code 08") << hex("08 11 22 33 44 55 66 77") << false << hex("08") + state;
    QTest::newRow("unknown code FF") << hex("FF 00 00 00 00 00 00 00") << true << hex("FF") + state;
}

void TestAdapterSim::replyToChipCommands()
{
    QFETCH(QByteArray, block);
    QFETCH(bool, wirePaced);
    QFETCH(QByteArray, reply);

    Options options;
    options.chip.signature = {0x1E, 0x95, 0x0F};
    options.chip.lowFuse = 0x62;
    options.chip.highFuse = 0xD9;
    options.chip.extFuse = 0xFD;
    options.chip.lock = 0xCF;
    options.wirePaced = wirePaced;
    Simulator sim(options);
    START(sim);

    QCOMPARE(exchange(path(sim), block, 8), reply);
    // Reading changes nothing.
    QCOMPARE(sim.chip().lock, std::uint8_t(0xCF));
    QCOMPARE(sim.chip().lowFuse, std::uint8_t(0x62));
}

void TestAdapterSim::fuseWrite()
{
    Options options;
    options.fuseWriteUs = 1500;
    Simulator sim(options);
    START(sim);

    // Bytes 1 to 3 and 7 carry over and must not touch signature or lock.
    QCOMPARE(exchange(path(sim), hex("02 AA BB CC E4 D8 FD 00"), 8), hex("02 1E9307 E4 D8 FD FF"));
    QCOMPARE(exchange(path(sim), readChip, 8), hex("01 1E9307 E4 D8 FD FF"));
    // Fuse bits, unlike lock bits, go back to 1 without an erase.
    QCOMPARE(exchange(path(sim), hex("02 00 00 00 FF FF FF 00"), 8), hex("02 1E9307 FF FF FF FF"));
    QCOMPARE(exchange(path(sim), readChip, 8), hex("01 1E9307 FF FF FF FF"));
}

void TestAdapterSim::lockWriteAndErase()
{
    Options options;
    options.chip = patternChip();
    options.chip.lowFuse = 0x3F;
    options.fuseWriteUs = 500;
    options.eraseUs = 1500;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QCOMPARE(exchange(port, hex("03 1E9307 3FD9FF FC"), 8), hex("03 1E9307 3F D9 FF FC"));
    QCOMPARE(exchange(port, hex("03 1E9307 3FD9FF F3"), 8), hex("03 1E9307 3F D9 FF F0"));
    // Programmed lock bits stay programmed.
    QCOMPARE(exchange(port, hex("03 1E9307 3FD9FF FF"), 8), hex("03 1E9307 3F D9 FF F0"));
    QCOMPARE(exchange(port, readChip, 8), hex("01 1E9307 3F D9 FF F0"));

    // Erase: Flash and lock back to FF, fuses kept.
    QCOMPARE(exchange(port, hex("04 1E9307 3FD9FF F0"), 8), hex("04 1E9307 3F D9 FF FF"));
    QCOMPARE(bytes(sim.chip().flash), QByteArray(8192, char(0xFF)));
    QCOMPARE(exchange(port, readBlock, 128), QByteArray(128, char(0xFF)));
    QCOMPARE(exchange(port, endStream, 8), hex("00 1E9307 3F D9 FF FF"));
}

void TestAdapterSim::pageWritesAcrossReopen_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("pages");

    QTest::newRow("1-byte pages") << 1 << 5;
    QTest::newRow("32-byte pages") << 32 << 5;
    QTest::newRow("64-byte pages") << 64 << 3;
    QTest::newRow("128-byte pages") << 128 << 3;
}

void TestAdapterSim::pageWritesAcrossReopen()
{
    QFETCH(int, pageSize);
    QFETCH(int, pages);

    Options options;
    options.pageWriteUs = 300;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QByteArray image;
    for (int i = 0; i < pageSize * pages; ++i)
        image.append(char((i * 7 + 3) & 0xFF));

    // A Read Chip first, as the program does: it must not disturb the stream.
    QCOMPARE(exchange(port, readChip, 8), hex("01") + defaultState);
    for (int p = 0; p < pages; ++p)
        QCOMPARE(writePage(port, pageBlock(pageSize), image.mid(p * pageSize, pageSize)), ack + ack);
    QCOMPARE(exchange(port, hex("00 00 1E9307 E1D9FF"), 8), hex("00") + defaultState);
    QCOMPARE(bytes(sim.chip().flash).left(image.size()), image);

    // Read back from 0: whole blocks, FF after the written part.
    const QByteArray expected = image + QByteArray(128 + 128 - image.size() % 128, char(0xFF));
    QByteArray blocks;
    while (blocks.size() < expected.size())
        blocks += exchange(port, readBlock, 128);
    QCOMPARE(blocks, expected);
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);

    QByteArray words;
    while (words.size() < image.size() + 2)
        words += exchange(port, readWord, 2);
    QCOMPARE(words, expected.left(words.size()));
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);
}

void TestAdapterSim::writeWithoutEraseAnds_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("erased Flash takes the data") << hex("FFFFFFFF") << hex("0C942A00") << hex("0C942A00");
    QTest::newRow("bits are only cleared") << hex("F0F00F0F") << hex("FF0FF000") << hex("F0000000");
    QTest::newRow("zeros stay zero") << hex("00000000") << hex("FFFFFFFF") << hex("00000000");
    QTest::newRow("mixed") << hex("5AA5C33C") << hex("3CC3A55A") << hex("18818118");
}

void TestAdapterSim::writeWithoutEraseAnds()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, after);

    Options options;
    std::copy(before.begin(), before.end(), options.chip.flash.begin());
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QCOMPARE(writePage(port, pageBlock(4), written), ack + ack);
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);
    QByteArray read = exchange(port, readWord, 2);
    read += exchange(port, readWord, 2);
    QCOMPARE(read, after);
    QCOMPARE(bytes(sim.chip().flash).left(6), after + hex("FFFF"));
}

void TestAdapterSim::pageBeyondFlashEnd()
{
    Options options;
    options.chip.flash.assign(6, 0xFF);
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QCOMPARE(writePage(port, pageBlock(4), hex("01020304")), ack + ack);
    QCOMPARE(writePage(port, pageBlock(4), hex("05060708")), ack + ack);  // 07 08 fall off
    QCOMPARE(writePage(port, pageBlock(4), hex("090A0B0C")), ack + ack);  // all off
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);  // programs the page
    QCOMPARE(bytes(sim.chip().flash), hex("010203040506"));
    QCOMPARE(exchange(port, readBlock, 128), hex("010203040506") + QByteArray(122, char(0xFF)));
    QCOMPARE(exchange(port, readBlock, 128), QByteArray(128, char(0xFF)));
}

void TestAdapterSim::emptyPage()
{
    Simulator sim;
    START(sim);

    // One acknowledgement only, and the very next bytes are a block again.
    Line line(path(sim));
    QVERIFY(line.send(pageBlock(0) + readChip));
    QCOMPARE(line.receive(9), ack + hex("01") + defaultState);
    QCOMPARE(logOf(sim), QStringList({"block 05 00 1E 93 07 E1 D9 FF", "block 01 00 00 00 00 00 00 00"}));
}

void TestAdapterSim::silent()
{
    Options options;
    options.silent = true;
    Simulator sim(options);
    START(sim);

    Line line(path(sim));
    QVERIFY(line.send(readChip));
    QVERIFY(line.send(hex("02 00 00 00 E4 D8 FD 00")));
    QTRY_COMPARE(sim.log().size(), std::size_t(2));

    // Speaking again: the first bytes to arrive are the answer to this block, with the
    // fuses that the silent adapter still programmed.
    options = sim.options();
    options.silent = false;
    sim.setOptions(options);
    QVERIFY(line.send(readChip));
    QCOMPARE(line.receive(8), hex("01 1E9307 E4 D8 FD FF"));
}

void TestAdapterSim::cutReplies_data()
{
    QTest::addColumn<int>("shortCode");
    QTest::addColumn<int>("shortCount");
    QTest::addColumn<bool>("noAck");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray page = pageBlock(4) + hex("00000000");
    QByteArray flashStart;
    for (int i = 0; i < 100; ++i)
        flashStart.append(char(i));

    QTest::newRow("cmdReadChip cut to 3") << 1 << 3 << false << readChip << hex("01 1E 93");
    QTest::newRow("cmdReadChip cut to nothing") << 1 << 0 << false << readChip << QByteArray();
    QTest::newRow("cmdEnd cut to 5") << 0 << 5 << false << endStream << hex("00 1E 93 07 E1");
    QTest::newRow("cmdChipErase cut to 1") << 4 << 1 << false << hex("04 00 00 00 00 00 00 00") << hex("04");
    QTest::newRow("cmdReadBlock cut to 100") << 6 << 100 << false << readBlock << flashStart;
    QTest::newRow("cmdReadWord cut to 1") << 7 << 1 << false << readWord << hex("00");
    QTest::newRow("count beyond the reply") << 1 << 20 << false << readChip << hex("01") + defaultState;
    QTest::newRow("another code is not cut") << 2 << 0 << false << readChip << hex("01") + defaultState;
    QTest::newRow("page, no acknowledgement") << 5 << 0 << false << page << QByteArray();
    QTest::newRow("page, first acknowledgement only") << 5 << 1 << false << page << ack;
    QTest::newRow("page, both acknowledgements") << 5 << 2 << false << page << ack + ack;
    QTest::newRow("no-ack page") << -1 << 0 << true << page << QByteArray();
    QTest::newRow("no-ack page, other replies whole") << -1 << 0 << true << readChip
                                                      << hex("01") + defaultState;
}

void TestAdapterSim::cutReplies()
{
    QFETCH(int, shortCode);
    QFETCH(int, shortCount);
    QFETCH(bool, noAck);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    Options options;
    options.chip = patternChip();
    options.shortCode = shortCode;
    options.shortCount = shortCount;
    options.noAck = noAck;
    Simulator sim(options);
    START(sim);

    // A full reply to an unknown code marks the end: whatever came before it is all
    // that the command under test sent, with no need to wait for silence.
    const QByteArray marker = hex("0A 00 00 00 00 00 00 00");
    const QByteArray markerReply = hex("0A 1E 93 07 E1 D9 FF FF");
    Line line(path(sim));
    QVERIFY(line.send(input + marker));
    QCOMPARE(line.receive(expected.size() + markerReply.size()), expected + markerReply);

    if (input.at(0) == 5)  // page data is taken and programmed whether acknowledged or not
        QCOMPARE(bytes(sim.chip().flash).left(4), hex("00000000"));
}

void TestAdapterSim::logLines()
{
    std::mutex mutex;
    std::vector<std::string> handed;
    Simulator sim;
    sim.setLogHandler([&](const std::string &line) {
        std::lock_guard lock(mutex);
        handed.push_back(line);
    });
    START(sim);
    const QString port = path(sim);

    QCOMPARE(exchange(port, readChip, 8).size(), 8);
    QCOMPARE(exchange(port, hex("02 1E9307 E1D9FF FF"), 8).size(), 8);
    QCOMPARE(writePage(port, hex("05 04 1E 93 07 E1 D9 FF"), hex("0c 94 2a 00")), ack + ack);
    QCOMPARE(exchange(port, hex("05 00 1E 93 07 E1 D9 FF"), 1), ack);
    QCOMPARE(exchange(port, hex("07 1E 93 07 E1 D9 FF FF"), 2), hex("FFFF"));  // after the page
    QCOMPARE(exchange(port, hex("00 00 1E 93 07 E1 D9 FF"), 8).size(), 8);

    const QStringList expected = {
        "block 01 00 00 00 00 00 00 00",
        "block 02 1E 93 07 E1 D9 FF FF",
        "block 05 04 1E 93 07 E1 D9 FF",
        "data 0C 94 2A 00",
        "block 05 00 1E 93 07 E1 D9 FF",
        "block 07 1E 93 07 E1 D9 FF FF",
        "block 00 00 1E 93 07 E1 D9 FF",
    };
    QCOMPARE(logOf(sim), expected);
    {
        std::lock_guard lock(mutex);
        QCOMPARE(handed, sim.log());
    }

    sim.clearLog();
    QVERIFY(sim.log().empty());
    QCOMPARE(exchange(port, readChip, 8).size(), 8);
    QCOMPARE(logOf(sim), QStringList({"block 01 00 00 00 00 00 00 00"}));
}

void TestAdapterSim::resync_data()
{
    QTest::addColumn<QByteArray>("lead");
    QTest::addColumn<int>("acks");
    QTest::addColumn<QByteArray>("partial");
    QTest::addColumn<QStringList>("log");

    // 07 07 07 joined to the next block would make a cmdReadWord of it.
    QTest::newRow("partial block") << QByteArray() << 0 << hex("07 07 07")
                                   << QStringList({"block 01 00 00 00 00 00 00 00"});
    QTest::newRow("partial page data") << pageBlock(4) << 1 << hex("AA BB")
                                       << QStringList({"block 05 04 1E 93 07 E1 D9 FF",
                                                       "block 01 00 00 00 00 00 00 00"});
}

void TestAdapterSim::resync()
{
    QFETCH(QByteArray, lead);
    QFETCH(int, acks);
    QFETCH(QByteArray, partial);
    QFETCH(QStringList, log);

    Simulator sim;
    START(sim);
    const QString port = path(sim);
    {
        Line line(port);
        QVERIFY(line.send(lead));
        QCOMPARE(line.receive(acks), ack.repeated(acks));
        QVERIFY(line.send(partial));
    }
    QTest::qSleep(300);  // well past the time after which an incomplete input is dropped
    QCOMPARE(exchange(port, readChip, 8), hex("01") + defaultState);
    QCOMPARE(logOf(sim), log);
    QCOMPARE(bytes(sim.chip().flash).left(4), hex("FFFFFFFF"));

    // Nothing was programmed, so the stream still stands at 0.
    QCOMPARE(writePage(port, pageBlock(2), hex("1234")), ack + ack);
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);
    QCOMPARE(exchange(port, readWord, 2), hex("1234"));
}

void TestAdapterSim::symlink_data()
{
    QTest::addColumn<bool>("stale");
    QTest::newRow("new link") << false;
    QTest::newRow("stale link replaced") << true;
}

void TestAdapterSim::symlink()
{
    QFETCH(bool, stale);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyAdapter");
    if (stale)
        QVERIFY(QFile::link(dir.filePath("gone/pts/99"), link));

    Simulator sim;
    std::string error;
    QVERIFY2(sim.start(&error, link.toStdString()), error.c_str());
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), path(sim));
    QCOMPARE(exchange(link, readChip, 8), hex("01") + defaultState);

    sim.stop();
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));
}

void TestAdapterSim::symlinkRefusesOtherFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("notes");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }

    Simulator sim;
    std::string error;
    QVERIFY(!sim.start(&error, file.toStdString()));
    QVERIFY(!error.empty());
    QVERIFY(sim.devicePath().empty());
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("keep me"));

    // The failed start leaves nothing behind that stands in the way of the next one.
    START(sim);
    QCOMPARE(exchange(path(sim), readChip, 8), hex("01") + defaultState);
}

void TestAdapterSim::stopDuringProgramming()
{
    Options options;
    options.eraseUs = INT_MAX;  // half an hour: stop() must cut the wait short
    Simulator sim(options);
    START(sim);

    Line line(path(sim));
    QVERIFY(line.send(hex("04 00 00 00 00 00 00 00")));
    QTRY_COMPARE(sim.log().size(), std::size_t(1));
    sim.stop();
    QVERIFY(sim.devicePath().empty());
}

void TestAdapterSim::commandLine()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyAdapter");
    const QString image = dir.filePath("image.bin");
    const QString dump = dir.filePath("dump.bin");
    const QString logFile = dir.filePath("blocks.log");
    QByteArray loaded;
    for (int i = 0; i < 16; ++i)
        loaded.append(char(0xF0 | i));
    {
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(loaded);
    }

    QProcess sim;
    sim.start(program(), {"--link", link, "--signature", "1E950F", "--fuses", "62D9FF",
                          "--lock", "3F", "--flash-size", "256", "--load", image,
                          "--dump", dump, "--log", logFile, "--page-ms", "0.5"});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    QDeadlineTimer deadline(10000);
    while (!sim.canReadLine() && !deadline.hasExpired())
        sim.waitForReadyRead(100);
    const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(first.startsWith("adapter-sim: serving on /dev/"), qPrintable(first));
    QCOMPARE(QFileInfo(link).symLinkTarget(), first.mid(int(strlen("adapter-sim: serving on "))));

    QCOMPARE(exchange(link, readChip, 8), hex("01 1E950F 62 D9 FF 3F"));
    QCOMPARE(writePage(link, pageBlock(4), hex("0F0F0F0F")), ack + ack);
    QCOMPARE(exchange(link, hex("00 00 1E950F 62D9FF"), 8), hex("00 1E950F 62 D9 FF 3F"));

    // The image is on disk once cmdEnd is answered.
    QByteArray expected = hex("00010203") + loaded.mid(4) + QByteArray(240, char(0xFF));
    QFile dumped(dump);
    QVERIFY(dumped.open(QIODevice::ReadOnly));
    QCOMPARE(dumped.readAll(), expected);
    dumped.close();
    QVERIFY(dumped.remove());

    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(dumped.open(QIODevice::ReadOnly));  // written again at exit
    QCOMPARE(dumped.readAll(), expected);

    QFile logged(logFile);
    QVERIFY(logged.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(QString::fromLatin1(logged.readAll()).split('\n', Qt::SkipEmptyParts),
             QStringList({"block 01 00 00 00 00 00 00 00", "block 05 04 1E 93 07 E1 D9 FF",
                          "data 0F 0F 0F 0F", "block 00 00 1E 95 0F 62 D9 FF"}));
}

void TestAdapterSim::commandLineRejects_data()
{
    QTest::addColumn<QStringList>("arguments");

    // "@image" stands for a 16-byte file, "@missing" for a name that does not exist.
    QTest::newRow("unknown option") << QStringList({"--bogus"});
    QTest::newRow("stray argument") << QStringList({"COM1"});
    QTest::newRow("value missing") << QStringList({"--link"});
    QTest::newRow("signature too short") << QStringList({"--signature", "1E93"});
    QTest::newRow("fuses not hex") << QStringList({"--fuses", "E1D9FG"});
    QTest::newRow("lock too long") << QStringList({"--lock", "FFF"});
    QTest::newRow("flash size not a number") << QStringList({"--flash-size", "8k"});
    QTest::newRow("short without count") << QStringList({"--short", "5"});
    QTest::newRow("negative time") << QStringList({"--page-ms", "-1"});
    QTest::newRow("image larger than Flash") << QStringList({"--flash-size", "8", "--load", "@image"});
    QTest::newRow("image missing") << QStringList({"--load", "@missing"});
    QTest::newRow("link over a file") << QStringList({"--link", "@image"});
    QTest::newRow("page not a number") << QStringList({"--page", "256 bytes"});
    QTest::newRow("device file missing") << QStringList({"--device", "@missing"});
    QTest::newRow("device file without sizes") << QStringList({"--device", "@image"});
    QTest::newRow("drop-reply not a reply") << QStringList({"--drop-reply", "x"});
    QTest::newRow("delay-reply without time") << QStringList({"--delay-reply", "7"});
    QTest::newRow("reply-gap without time") << QStringList({"--reply-gap", "6:100"});
    QTest::newRow("unknown bridge") << QStringList({"--bridge", "pl2303"});
    QTest::newRow("empty packet") << QStringList({"--packet", "0"});
}

void TestAdapterSim::commandLineRejects()
{
    QFETCH(QStringList, arguments);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image = dir.filePath("image.bin");
    {
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(16, char(0x55)));
    }
    arguments.replaceInStrings("@image", image);
    arguments.replaceInStrings("@missing", dir.filePath("missing.bin"));

    QProcess sim;
    sim.start(program(), arguments);
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    if (!sim.waitForFinished(10000)) {
        sim.kill();
        QFAIL("adapter-sim took the arguments and served");
    }
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QVERIFY(sim.exitCode() != 0);
    QCOMPARE(sim.readAllStandardOutput(), QByteArray());
    QVERIFY(!sim.readAllStandardError().isEmpty());
    QCOMPARE(QFileInfo(image).size(), 16);
}

void TestAdapterSim::piecesFillWidePage_data()
{
    QTest::addColumn<int>("piece");
    QTest::newRow("two pieces of 128") << 128;
    QTest::newRow("four pieces of 64") << 64;
    QTest::newRow("pieces of 96 straddle pages") << 96;
}

// A 256-byte page written in pieces: nothing reaches Flash before the page is whole, then the
// whole page at once, ANDed into what was there, exactly as one write of 256 bytes would.
void TestAdapterSim::piecesFillWidePage()
{
    QFETCH(int, piece);
    Chip chip;
    chip.pageSize = 256;
    chip.flash.assign(1024, 0xFF);
    chip.flash[300] = 0x0F;  // programmed earlier, not erased: the write can only clear bits
    Options options;
    options.chip = chip;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QByteArray image;
    for (int i = 0; i < 768; ++i)
        image.append(char((i * 13 + 5) & 0xFF));
    QByteArray expected = image + QByteArray(256, char(0xFF));
    expected[300] = char(expected[300] & 0x0F);

    int sent = 0;
    while (sent < image.size()) {
        QCOMPARE(writePage(port, pageBlock(piece), image.mid(sent, piece)), ack + ack);
        sent += piece;
        // Pages behind the stream are programmed; the one it is in is still in the buffer.
        const int done = sent / 256 * 256;
        const QByteArray flash = bytes(sim.chip().flash);
        QCOMPARE(flash.left(done), expected.left(done));
        if (sent % 256 != 0)
            QCOMPARE(flash.mid(done, 256), bytes(chip.flash).mid(done, 256));
    }
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);
    QCOMPARE(bytes(sim.chip().flash), expected);
}

// cmdEnd programs a page the stream left half full; the other half stays as it was.
void TestAdapterSim::halfPageAtEnd()
{
    Chip chip;
    chip.pageSize = 256;
    chip.flash.assign(512, 0xFF);
    for (std::size_t i = 384; i < 512; ++i)
        chip.flash[i] = std::uint8_t(0x3C);
    Options options;
    options.chip = chip;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QCOMPARE(writePage(port, pageBlock(128), QByteArray(128, char(0x11))), ack + ack);
    QCOMPARE(writePage(port, pageBlock(128), QByteArray(128, char(0x22))), ack + ack);
    QCOMPARE(writePage(port, pageBlock(128), QByteArray(128, char(0x33))), ack + ack);
    QCOMPARE(bytes(sim.chip().flash).mid(256), bytes(chip.flash).mid(256));  // still in the buffer

    QByteArray atEnd;
    sim.setStreamEndHandler([&atEnd](const Chip &c) { atEnd = bytes(c.flash); });
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);
    const QByteArray expected = QByteArray(128, char(0x11)) + QByteArray(128, char(0x22))
                                + QByteArray(128, char(0x33)) + QByteArray(128, char(0x3C));
    QCOMPARE(bytes(sim.chip().flash), expected);
    QCOMPARE(atEnd, expected);  // the dump at cmdEnd sees the page

    // A new stream starts at 0 with an empty buffer: nothing of the old page is written again.
    QCOMPARE(writePage(port, pageBlock(128), QByteArray(128, char(0xF0))), ack + ack);
    QCOMPARE(exchange(port, readChip, 8), hex("01") + defaultState);  // any command ends the loading
    QByteArray second = expected;
    for (int i = 0; i < 128; ++i)
        second[i] = char(0x11 & 0xF0);
    QCOMPARE(bytes(sim.chip().flash), second);
}

// Devices of 128 KB and more: the stream address goes on past 0xFFFF instead of wrapping.
void TestAdapterSim::readsAcross64K()
{
    Chip chip = patternChip(0x20000);
    for (std::size_t i = 0x10000; i < chip.flash.size(); ++i)
        chip.flash[i] = std::uint8_t(i * 3 + 1);  // unlike the first 64 KB
    Options options;
    options.chip = chip;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QByteArray blocks;
    for (int i = 0; i < 0x10000 / 128 + 2; ++i)
        blocks += exchange(port, readBlock, 128);
    QCOMPARE(blocks, bytes(chip.flash).left(0x10000 + 256));
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);

    // Writes past 64 KB land there too, not at the bottom.
    Chip blank;
    blank.pageSize = 256;
    blank.flash.assign(0x20000, 0xFF);
    sim.setChip(blank);
    for (int i = 0; i < 0x10000 / 128; ++i)
        QCOMPARE(writePage(port, pageBlock(128), QByteArray(128, char(0xFF))), ack + ack);
    QCOMPARE(writePage(port, pageBlock(128), QByteArray(128, char(0x5A))), ack + ack);
    QCOMPARE(exchange(port, endStream, 8), hex("00") + defaultState);
    const QByteArray flash = bytes(sim.chip().flash);
    QCOMPARE(flash.left(0x10000), QByteArray(0x10000, char(0xFF)));
    QCOMPARE(flash.mid(0x10000, 128), QByteArray(128, char(0x5A)));
    QCOMPARE(flash.mid(0x10080), QByteArray(0x20000 - 0x10080, char(0xFF)));
}

// 256 KB (an ATmega2560) through the adapter-sim program: written in pieces of 128 into
// 256-byte pages, dumped at cmdEnd, read back whole.
void TestAdapterSim::wholeFlashRoundTrip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyAdapter");
    const QString dump = dir.filePath("dump.bin");
    const QString device = dir.filePath("ATmega2560.ini");
    constexpr int flashSize = 256 * 1024;
    {
        // The chip comes from a device file, as the catalogue writes them.
        QFile f(device);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("; comment\n[configuration]\nSignature_000=$1E\nsignature_001=0x98\nSignature_002=1\n"
                "CPU_Name=ATmega2560\nPage_Size=256\nFlash_Size=262144\n\n[fuse-bits]\n"
                "Low_0=CKSEL0|P\nLow_1=CKSEL1|U\nLow_2=CKSEL2|P\nLow_3=CKSEL3|P\nLow_4=SUT0|P\nLow_5=SUT1|U\n"
                "Low_6=CKOUT|U\nLow_7=CKDIV8|P\nHigh_0=BOOTRST|U\nHigh_1=BOOTSZ0|P\nHigh_2=BOOTSZ1|P\n"
                "High_3=EESAVE|U\nHigh_4=WDTON|U\nHigh_5=SPIEN|P\nHigh_6=JTAGEN|P\nHigh_7=OCDEN|U\n"
                "Ext_0=BODLEVEL0|U\nExt_1=BODLEVEL1|U\nExt_2=BODLEVEL2|U\n\n[lock-bits]\nLock_0=LB1|U\n"
                "Lock_1=LB2|U\n");
    }

    QProcess sim;
    sim.start(program(), {"--link", link, "--device", device, "--dump", dump});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    QDeadlineTimer deadline(10000);
    while (!sim.canReadLine() && !deadline.hasExpired())
        sim.waitForReadyRead(100);
    QVERIFY(QString::fromLocal8Bit(sim.readLine()).startsWith("adapter-sim: serving on /dev/"));
    // Factory state: every bit the file does not flag U is programmed; unnamed bits read 1.
    QCOMPARE(exchange(link, readChip, 8), hex("01 1E9801 62 99 FF FF"));

    QByteArray image(flashSize, Qt::Uninitialized);
    for (int i = 0; i < flashSize; ++i)
        image[i] = char((i ^ (i >> 8) ^ (i >> 16) * 7) & 0xFF);  // every 64 KB differs
    for (int at = 0; at < flashSize; at += 128)
        QCOMPARE(writePage(link, pageBlock(128), image.mid(at, 128)), ack + ack);
    QVERIFY(exchange(link, endStream, 8).size() == 8);
    QFile dumped(dump);
    QVERIFY(dumped.open(QIODevice::ReadOnly));
    QVERIFY(dumped.readAll() == image);

    QByteArray back;
    back.reserve(flashSize);
    while (back.size() < flashSize) {
        const QByteArray block = exchange(link, readBlock, 128);
        QCOMPARE(block.size(), 128);
        back += block;
    }
    QVERIFY(back == image);
    QVERIFY(exchange(link, endStream, 8).size() == 8);

    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
}

void TestAdapterSim::replyFault_data()
{
    QTest::addColumn<long>("block");     // ReplyFault fields
    QTest::addColumn<int>("code");
    QTest::addColumn<long>("address");
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("holdUs");
    QTest::addColumn<QByteArray>("expected");  // what four cmdReadWord and a marker bring back

    const QByteArray words = hex("0001 0203 0405 0607");
    const QByteArray marker = hex("0A 1E 93 07 E1 D9 FF FF");
    QTest::newRow("block #2 dropped") << 2L << -1 << -1L << 1 << 0 << -1 << hex("0001 0203 0607") + marker;
    QTest::newRow("word at 6 dropped") << -1L << 7 << 6L << 1 << 0 << -1 << hex("0001 0203 0405") + marker;
    QTest::newRow("first word dropped, by code") << -1L << 7 << -1L << 1 << 0 << -1 << hex("0203 0405 0607") + marker;
    QTest::newRow("two words dropped") << -1L << 7 << -1L << 2 << 0 << -1 << hex("0405 0607") + marker;
    QTest::newRow("word at 2 cut to 1") << -1L << 7 << 2L << 1 << 1 << -1 << hex("0001 02 0405 0607") + marker;
    QTest::newRow("word at 4 late") << -1L << 7 << 4L << 1 << 0 << 50000 << words + marker;
    QTest::newRow("word at 4 with a gap") << -1L << 7 << 4L << 1 << 1 << 50000 << words + marker;
    QTest::newRow("other code untouched") << -1L << 6 << -1L << 1 << 0 << -1 << words + marker;
    QTest::newRow("none") << -1L << -1 << -1L << 1 << 0 << -1 << words + marker;
}

void TestAdapterSim::replyFault()
{
    QFETCH(long, block);
    QFETCH(int, code);
    QFETCH(long, address);
    QFETCH(int, times);
    QFETCH(int, before);
    QFETCH(int, holdUs);
    QFETCH(QByteArray, expected);

    Options options;
    options.chip = patternChip();
    options.fault = {block, code, address, times, before, holdUs};
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    QVERIFY(line.send(readWord + readWord + readWord + readWord + hex("0A 00 00 00 00 00 00 00")));
    QCOMPARE(line.receive(expected.size()), expected);
    QCOMPARE(line.receive(1, 100), QByteArray());  // nothing more
}

void TestAdapterSim::bridgeHoldsReplies()
{
    // A timer far longer than the waits below: what comes before it ran out came because a
    // packet was full.
    Options options;
    options.chip = patternChip();
    options.bridge.latencyUs = 3000000;
    options.bridge.packet = 4;
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    QVERIFY(line.send(readChip));
    QCOMPARE(line.receive(8, 2000), hex("01") + defaultState);  // two full packets
    QVERIFY(line.send(readWord));
    QCOMPARE(line.receive(2, 300), QByteArray());               // held: half a packet
    QCOMPARE(line.receive(2, 10000), hex("0001"));               // the timer sends it on
    QVERIFY(line.send(readBlock));
    const QByteArray block = line.receive(128, 300);             // 32 full packets go on at once
    QCOMPARE(block.size(), 128);
    QCOMPARE(block.left(2), hex("0203"));
    options = sim.options();
    options.bridge.packet = 62;
    sim.setOptions(options);
    QVERIFY(line.send(readBlock));
    QCOMPARE(line.receive(128, 300).size(), 124);                // 2 packets; the last 4 bytes wait
    QCOMPARE(line.receive(4, 10000), hex("FEFF 0001"));  // Flash 254 to 257
}

void TestAdapterSim::bridgeCountsPortHandling()
{
    Options options;
    options.bridge.openUs = 1;
    options.bridge.setupUs = 1;
    options.bridge.purgeUs = 1;
    Simulator sim(options);
    START(sim);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(exchange(path(sim), readChip, 8), hex("01") + defaultState);  // open, set-up, purge each
    const auto counts = sim.bridgeCounts();
    QCOMPARE(counts.opens, 3L);
    QCOMPARE(counts.setups, 3L);
    QCOMPARE(counts.purges, 3L);
    // The replies go out whole through packet mode.
    QCOMPARE(exchange(path(sim), readChip + readWord, 10), hex("01") + defaultState + hex("FFFF"));
}

void TestAdapterSim::commandLineFaultAndBridge()
{
    QProcess sim;
    sim.start(program(), {"--flash-size", "64", "--drop-reply", "7@2", "--bridge", "ftdi-1ms"});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    QDeadlineTimer deadline(10000);
    while (!sim.canReadLine() && !deadline.hasExpired())
        sim.waitForReadyRead(100);
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed().mid(int(strlen("adapter-sim: serving on ")));
    Line line(device);
    QVERIFY(line.send(readWord + readWord + readWord + readChip));
    QCOMPARE(line.receive(12), hex("FFFF FFFF 01") + defaultState);  // the word at 2 is lost
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestAdapterSim)
#include "test_adaptersim.moc"
