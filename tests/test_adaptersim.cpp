// SPDX-License-Identifier: GPL-3.0-or-later
// The adapter simulator on a real pseudo-terminal, talked to through plain POSIX calls
// the way the program does it: the port opened, purged and closed for every command.
#include "adaptersim.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
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
QByteArray exchange(const QString &path, const QByteArray &block, qsizetype replySize, int waitMs = 5000)
{
    Line line(path);
    if (!line.isOpen() || !line.send(block))
        return "port not usable";
    return line.receive(replySize, waitMs);
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
    void adapterTakesInputWhileTheBridgeHolds();
    void bridgeCountsPortHandling();
    void commandLineFaultAndBridge();
    // Our board.
    void crc_data();
    void crc();
    void identification_data();
    void identification();
    void identificationAndStream_data();
    void identificationAndStream();
    void plainNeverIdentifies_data();
    void plainNeverIdentifies();
    void noiseGuard_data();
    void noiseGuard();
    void extReadMemories_data();
    void extReadMemories();
    void extWriteMemories_data();
    void extWriteMemories();
    void extWriteReadBack();
    void eepromWrites_data();
    void eepromWrites();
    void eesaveAcrossErase_data();
    void eesaveAcrossErase();
    void pagePipelining();
    void acceptedBeforeProgrammed();
    void lineRate_data();
    void lineRate();
    void lineFallsBack_data();
    void lineFallsBack();
    void garbledReplies();
    void boardTest_data();
    void boardTest();
    void boardTestAborted_data();
    void boardTestAborted();
    void extensionLog();
    void commandLineOurs();
    // Faults for either kind.
    void ignoredCommand_data();
    void ignoredCommand();
    void severalFaults_data();
    void severalFaults();
    void faultOnExtRead();
    void strayBytes_data();
    void strayBytes();
    void sysfsLatency_data();
    void sysfsLatency();
    void sysfsRefused();
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
    QTest::newRow("ignore not a code") << QStringList({"--ignore", "erase"});
    QTest::newRow("too many stray bytes") << QStringList({"--stray", "65"});
    QTest::newRow("five calibration bytes") << QStringList({"--calibration", "0102030405"});
    QTest::newRow("calibration, odd digits") << QStringList({"--calibration", "ABC"});
    QTest::newRow("no calibration bytes") << QStringList({"--calibration", ""});
    QTest::newRow("max-baud 0") << QStringList({"--max-baud", "0"});
    QTest::newRow("EEPROM too large") << QStringList({"--eeprom-size", "70000"});
    QTest::newRow("EEPROM page too large") << QStringList({"--eeprom-page", "257"});
    QTest::newRow("capabilities too long") << QStringList({"--capabilities", "11F"});
    QTest::newRow("EEPROM image larger than EEPROM") << QStringList({"--eeprom-size", "8", "--eeprom-load", "@image"});
    QTest::newRow("EEPROM image missing") << QStringList({"--eeprom-load", "@missing"});
    QTest::newRow("device file, calibration count 5") << QStringList({"--device", "@calibration5"});
    QTest::newRow("device file, EEPROM size not a number") << QStringList({"--device", "@eepromword"});
    QTest::newRow("sysfs root over a file") << QStringList({"--bridge", "ftdi-1ms", "--sysfs", "@image"});
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
    const char *const head = "[configuration]\nSignature_000=$1E\nSignature_001=$93\nSignature_002=$07\n"
                             "Page_Size=64\nFlash_Size=8192\n";
    for (const auto &[name, keys] : {std::pair{"calibration5", "Calibration_Size=5\n"},
                                     std::pair{"eepromword", "EEPROM_Size=512 bytes\n"}}) {
        QFile f(dir.filePath(QString(name) + ".ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(head) + keys);
        arguments.replaceInStrings(QString("@") + name, f.fileName());
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

void TestAdapterSim::adapterTakesInputWhileTheBridgeHolds()
{
    // A page's data sent at once behind its block: the first acknowledgement waits in the
    // bridge for its timer while the adapter takes the data and acknowledges it too, so both
    // leave in one packet. An adapter that stalled on its held reply would send the second a
    // whole timer later.
    Options options;
    options.chip = patternChip();
    options.bridge.latencyUs = 400000;
    options.bridge.packet = 62;
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    QVERIFY(line.send(pageBlock(4) + hex("05060708")));
    QCOMPARE(line.receive(1, 10000), ack);
    QCOMPARE(line.receive(1, 150), ack);
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

// ---- Our board ------------------------------------------------------------------------

namespace {

// CRC-16/CCITT-FALSE as a shift register fed one bit at a time: another way to the same
// numbers than the simulator's, pinned by the catalogue check value below.
quint16 crcOracle(const QByteArray &data, quint16 crc = 0xFFFF)
{
    for (const char c : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = (uchar(c) >> bit) & 1;
            const bool top = crc & 0x8000;
            crc = quint16(crc << 1);
            if (in != top)
                crc ^= 0x1021;
        }
    }
    return crc;
}

QByteArray littleEndian(quint16 value)
{
    return QByteArray(1, char(value & 0xFF)) + QByteArray(1, char(value >> 8));
}

// The identification reply the contract asks for: 54h, signature, 01h, capabilities, answer.
QByteArray idReply(const QByteArray &signature, const QByteArray &challenge, quint8 capabilities = 0x1F)
{
    const QByteArray middle = hex("01") + QByteArray(1, char(capabilities));
    return hex("54") + signature + middle + littleEndian(crcOracle("TARVANE" + challenge + middle));
}

// Whether a reply passes the host's rule for `challenge`.
bool identifies(const QByteArray &reply, const QByteArray &challenge)
{
    return reply.size() == 8 && uchar(reply[0]) == 0x54
           && reply.mid(6) == littleEndian(crcOracle("TARVANE" + challenge + reply.mid(4, 2)));
}

QByteArray extRead(int memory, int address, int count)
{
    QByteArray block = hex("12");
    block += char(memory);
    block += char(address & 0xFF);
    block += char((address >> 8) & 0xFF);
    block += char((address >> 16) & 0xFF);
    block += char(count & 0xFF);
    return block + hex("0000");
}

// A cmdExtWrite block with its data; `crcError` spoils the CRC.
QByteArray extWrite(int memory, int address, const QByteArray &data, bool crcError = false)
{
    QByteArray head;
    head += char(memory);
    head += char(address & 0xFF);
    head += char((address >> 8) & 0xFF);
    head += char((address >> 16) & 0xFF);
    head += char(data.size() & 0xFF);
    quint16 crc = crcOracle(head + data);
    if (crcError)
        crc ^= 0x0100;
    return hex("13") + head + littleEndian(crc) + data;
}

// What a good cmdExtRead reply for that block and data is.
QByteArray readReply(const QByteArray &block, const QByteArray &data)
{
    return data + littleEndian(crcOracle(block.mid(1, 5) + data));
}

Options ours()
{
    Options options;
    options.ours = true;
    return options;
}

QByteArray ramp(int size, int step = 1, int offset = 0)
{
    QByteArray data;
    for (int i = 0; i < size; ++i)
        data.append(char((i * step + offset) & 0xFF));
    return data;
}

bool setSpeed(const QString &port, speed_t speed)
{
    // The speed belongs to the tty, not to one open: the program's next open finds it.
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios tio{};
    const bool done = ::tcgetattr(fd, &tio) == 0 && ::cfsetispeed(&tio, speed) == 0
                      && ::cfsetospeed(&tio, speed) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
    ::close(fd);
    return done;
}

// One opening at whatever speed the tty has: Line's constructor would set 115200.
QByteArray exchangeAsIs(const QString &port, const QByteArray &block, qsizetype replySize, int waitMs = 5000)
{
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "port not usable";
    ::tcflush(fd, TCIOFLUSH);
    if (::write(fd, block.constData(), size_t(block.size())) != block.size()) {
        ::close(fd);
        return "port not usable";
    }
    QByteArray got;
    QDeadlineTimer deadline(waitMs);
    while (got.size() < replySize && !deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime()))) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, size_t(qMin<qsizetype>(replySize - got.size(), sizeof buffer)));
        if (n > 0)
            got.append(buffer, n);
    }
    ::close(fd);
    return got;
}

QByteArray boardTestText()
{
    QByteArray text;
    for (const char *name : adaptersim::boardTestLines)
        text += QByteArray(name) + "\n";
    return text + "END\n";
}

}  // namespace

void TestAdapterSim::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<quint16>("crc");

    // The check value of CRC-16/CCITT-FALSE, and Python's binascii.crc_hqx(data, 0xFFFF).
    QTest::newRow("check value") << QByteArray("123456789") << quint16(0x29B1);
    QTest::newRow("challenge 00000000") << "TARVANE" + hex("00000000 01 1F") << quint16(0x3307);
    QTest::newRow("challenge 12345678") << "TARVANE" + hex("12345678 01 1F") << quint16(0x0420);
    QTest::newRow("challenge FFFFFFFF") << "TARVANE" + hex("FFFFFFFF 01 1F") << quint16(0xB9D7);
    QTest::newRow("challenge DEADBEEF") << "TARVANE" + hex("DEADBEEF 01 1F") << quint16(0xC385);
    QTest::newRow("capabilities 03") << "TARVANE" + hex("A5A5A5A5 01 03") << quint16(0x4BFF);
    QTest::newRow("nothing") << QByteArray() << quint16(0xFFFF);
}

void TestAdapterSim::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(quint16, crc);
    QCOMPARE(crcOracle(data), crc);
    QCOMPARE(adaptersim::crc16(reinterpret_cast<const std::uint8_t *>(data.constData()), std::size_t(data.size())), crc);
    // Continued in two pieces as the replies compute it.
    const auto half = data.size() / 2;
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data.constData());
    QCOMPARE(adaptersim::crc16(bytes + half, std::size_t(data.size() - half), adaptersim::crc16(bytes, std::size_t(half))), crc);
}

void TestAdapterSim::identification_data()
{
    QTest::addColumn<QByteArray>("before");     // blocks sent first, each answered with 8 bytes
    QTest::addColumn<QByteArray>("signature");  // the chip's from here on (empty: as it is)
    QTest::addColumn<int>("capabilities");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("reply");      // a literal: from Python's binascii.crc_hqx

    const QByteArray none;
    QTest::newRow("fresh board, zero challenge") << none << none << 0x1F << hex("00 00 00 00 00000000")
                                                 << hex("54 000000 01 1F 07 33");
    QTest::newRow("fresh board, challenge 12345678") << none << none << 0x1F << hex("00 00 00 00 12345678")
                                                     << hex("54 000000 01 1F 20 04");
    QTest::newRow("after Read Chip") << readChip << none << 0x1F << hex("00 00 1E 93 FFFFFFFF")
                                     << hex("54 1E9307 01 1F D7 B9");
    QTest::newRow("carried bytes 1 to 3 do not matter") << readChip << none << 0x1F << hex("00 AA BB CC DEADBEEF")
                                                        << hex("54 1E9307 01 1F 85 C3");
    QTest::newRow("a chip swapped in unread: the last one read") << readChip << hex("1E950F") << 0x1F
                                                                 << hex("00 00 00 00 12345678")
                                                                 << hex("54 1E9307 01 1F 20 04");
    QTest::newRow("read after the swap") << QByteArray() << hex("1E950F") << 0x1F << hex("00 00 00 00 12345678")
                                         << hex("54 1E950F 01 1F 20 04");
    QTest::newRow("a fuse write reads the chip too") << hex("02 000000 E1D9FF FF") << hex("1E950F") << 0x1F
                                                     << hex("00 00 00 00 00000000") << hex("54 1E9307 01 1F 07 33");
    QTest::newRow("capabilities 03") << none << none << 0x03 << hex("00 00 00 00 A5A5A5A5")
                                     << hex("54 000000 01 03 FF 4B");
    QTest::newRow("cmdExtPing") << readChip << none << 0x1F << hex("11 00 00 00 12345678")
                                << hex("54 1E9307 01 1F 20 04");
    QTest::newRow("cmdExtLine, R = 0") << none << none << 0x1F << hex("10 00 00 00 FFFFFFFF")
                                       << hex("54 000000 01 1F D7 B9");
}

void TestAdapterSim::identification()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, signature);
    QFETCH(int, capabilities);
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, reply);

    Options options = ours();
    options.capabilities = std::uint8_t(capabilities);
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);
    for (qsizetype at = 0; at < before.size(); at += 8)
        QCOMPARE(exchange(port, before.mid(at, 8), 8).size(), 8);
    if (!signature.isEmpty()) {
        Chip chip = sim.chip();
        std::copy(signature.begin(), signature.end(), chip.signature.begin());
        sim.setChip(chip);
        if (before.isEmpty())
            QCOMPARE(exchange(port, readChip, 8), hex("01") + signature + hex("E1D9FFFF"));
    }
    QCOMPARE(exchange(port, block, 8), reply);
    QVERIFY(identifies(reply, block.mid(4)));
    QCOMPARE(reply, idReply(reply.mid(1, 3), block.mid(4), quint8(capabilities)));
    QCOMPARE(exchange(port, readChip, 8).size(), 8);  // and nothing more came
}

// cmdEnd still closes the stream on our board; cmdExtPing and cmdExtLine do not.
void TestAdapterSim::identificationAndStream_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("next");  // the word read after it
    QTest::newRow("cmdEnd closes") << endStream << hex("0001");
    QTest::newRow("cmdExtPing does not") << hex("11 00 00 00 01020304") << hex("0203");
    QTest::newRow("cmdExtLine does not") << hex("10 00 00 00 01020304") << hex("0203");
}

void TestAdapterSim::identificationAndStream()
{
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, next);
    Options options = ours();
    options.chip = patternChip();
    options.ours = true;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);
    QCOMPARE(exchange(port, readWord, 2), hex("0001"));
    QVERIFY(identifies(exchange(port, block, 8), block.mid(4)));
    QCOMPARE(exchange(port, readWord, 2), next);
}

void TestAdapterSim::plainNeverIdentifies_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("reply");  // as the plain adapter always answered

    for (const char *challenge : {"00000000", "12345678", "FFFFFFFF", "54545454"}) {
        const QByteArray k = hex(challenge);
        QTest::addRow("cmdEnd %s", challenge) << hex("00 00 00 00") + k << hex("00") + defaultState;
        QTest::addRow("cmdEnd, carried, %s", challenge) << hex("00 54 1E 93") + k << hex("00") + defaultState;
        QTest::addRow("cmdExtPing %s", challenge) << hex("11 00 00 00") + k << hex("11") + defaultState;
        QTest::addRow("cmdExtLine %s", challenge) << hex("10 01 00 00") + k << hex("10") + defaultState;
    }
    QTest::newRow("cmdExtBoardTest") << hex("14 00 00 00 00000000") << hex("14") + defaultState;
}

void TestAdapterSim::plainNeverIdentifies()
{
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, reply);
    Simulator sim;  // the plain adapter
    START(sim);
    const QString port = path(sim);
    QCOMPARE(exchange(port, readChip, 8), hex("01") + defaultState);
    const QByteArray got = exchange(port, block, 8);
    QCOMPARE(got, reply);
    QVERIFY(!identifies(got, block.mid(4)));
    // The line stays at 115200 and nothing else follows.
    QCOMPARE(exchange(port, readChip, 9, 200), hex("01") + defaultState);
    QCOMPARE(sim.lineState().boardBaud, 115200);
}

void TestAdapterSim::noiseGuard_data()
{
    QTest::addColumn<bool>("isOurs");
    QTest::addColumn<bool>("unknownChip");
    QTest::addColumn<QByteArray>("signature");  // the chip's
    QTest::addColumn<QByteArray>("before");     // 8-byte blocks, each answered with 8 bytes
    QTest::addColumn<QByteArray>("carried");    // block bytes 1 to 3
    QTest::addColumn<bool>("carriedOut");

    const QByteArray atmega8 = hex("1E9307");
    const QByteArray none;
    QTest::newRow("zeros, fresh host") << true << false << atmega8 << none << hex("000000") << true;
    QTest::newRow("the signature read") << true << false << atmega8 << readChip << atmega8 << true;
    QTest::newRow("the signature, never sent") << true << false << atmega8 << none << atmega8 << false;
    QTest::newRow("another signature") << true << false << atmega8 << readChip << hex("1E9308") << false;
    QTest::newRow("noise") << true << false << atmega8 << readChip << hex("5AA53C") << false;
    QTest::newRow("FF FF FF") << true << false << atmega8 << readChip << hex("FFFFFF") << false;
    QTest::newRow("a signature sent by cmdExtRead") << true << false << atmega8 << extRead(3, 0, 3) << atmega8 << true;
    QTest::newRow("part of the signature by cmdExtRead") << true << false << atmega8 << extRead(3, 0, 2) << atmega8
                                                         << false;
    QTest::newRow("the identification carried on") << true << false << atmega8 << readChip + endStream
                                                    << atmega8 << true;
    QTest::newRow("chip not in the table") << true << true << atmega8 << readChip << atmega8 << false;
    QTest::newRow("chip not in the table, zeros") << true << true << atmega8 << none << hex("000000") << false;
    QTest::newRow("empty socket") << true << false << hex("000000") << readChip << hex("000000") << false;
    QTest::newRow("chip not answering") << true << false << hex("FFFFFF") << readChip << hex("FFFFFF") << false;
    QTest::newRow("plain adapter: noise") << false << false << atmega8 << none << hex("5AA53C") << true;
    QTest::newRow("plain adapter: no chip") << false << false << hex("FFFFFF") << none << hex("123456") << true;
}

void TestAdapterSim::noiseGuard()
{
    QFETCH(bool, isOurs);
    QFETCH(bool, unknownChip);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, carried);
    QFETCH(bool, carriedOut);

    for (const int code : {2, 3, 4}) {
        Options options;
        options.ours = isOurs;
        options.unknownChip = unknownChip;
        options.chip = patternChip();
        std::copy(signature.begin(), signature.end(), options.chip.signature.begin());
        options.chip.lock = 0xFC;
        options.chip.eeprom.assign(512, 0x00);
        Simulator sim(options);
        START(sim);
        const QString port = path(sim);
        for (qsizetype at = 0; at < before.size(); at += 8) {
            // cmdExtRead answers N bytes and a CRC; the rest 8.
            const QByteArray b = before.mid(at, 8);
            const int size = b[0] == 0x12 ? b[5] + 2 : 8;
            QCOMPARE(exchange(port, b, size).size(), size);
        }
        const QByteArray block = QByteArray(1, char(code)) + carried + hex("E4 D8 FD 00");
        const Chip was = sim.chip();
        const QByteArray reply = exchange(port, block, 8);
        const Chip now = sim.chip();
        // Carried out or not, the reply shows the chip as it is afterwards.
        QCOMPARE(reply, QByteArray(1, char(code)) + signature
                            + QByteArray(1, char(now.lowFuse)) + char(now.highFuse) + char(now.extFuse) + char(now.lock));
        const bool changed = code == 2   ? now.lowFuse != was.lowFuse
                             : code == 3 ? now.lock != was.lock
                                         : now.flash != was.flash || now.eeprom != was.eeprom;
        QVERIFY2(changed == carriedOut, qPrintable(QString("code %1").arg(code)));
        if (!carriedOut)
            QCOMPARE(now.flash, was.flash);
    }
}

void TestAdapterSim::extReadMemories_data()
{
    QTest::addColumn<int>("memory");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");  // 0: 256
    QTest::addColumn<QString>("chip");  // "" the default, or a variant
    QTest::addColumn<QByteArray>("data");  // empty: refused

    // Flash holds i & FF, EEPROM (512 bytes) i * 3 + 1, calibration A6 A9 AD B2.
    const QByteArray flash = ramp(8192);
    const QByteArray eeprom = ramp(512, 3, 1);
    const QByteArray refused;
    QTest::newRow("Flash from 0") << 0 << 0 << 16 << "" << flash.left(16);
    QTest::newRow("Flash, 256 bytes") << 0 << 0x1F00 << 0 << "" << flash.mid(0x1F00, 256);
    QTest::newRow("Flash, its last bytes") << 0 << 8192 - 5 << 5 << "" << flash.right(5);
    QTest::newRow("Flash, past its end") << 0 << 8192 - 5 << 6 << "" << refused;
    QTest::newRow("Flash, all three address bytes") << 0 << 0x1FF80 << 128 << "128K" << ramp(128, 7, 0x80 * 7);
    QTest::newRow("EEPROM") << 1 << 0 << 4 << "" << eeprom.left(4);
    QTest::newRow("EEPROM, its last byte") << 1 << 511 << 1 << "" << eeprom.right(1);
    QTest::newRow("EEPROM, past its end") << 1 << 510 << 4 << "" << refused;
    QTest::newRow("EEPROM, a chip without") << 1 << 0 << 1 << "no EEPROM" << refused;
    QTest::newRow("EEPROM, not offered") << 1 << 0 << 4 << "capabilities 1B" << refused;
    QTest::newRow("calibration bytes") << 2 << 0 << 4 << "" << hex("A6A9ADB2");
    QTest::newRow("calibration, the third") << 2 << 2 << 1 << "" << hex("AD");
    QTest::newRow("calibration, five") << 2 << 0 << 5 << "" << refused;
    QTest::newRow("calibration, one-byte part") << 2 << 0 << 1 << "one calibration byte" << hex("9C");
    QTest::newRow("calibration, one-byte part, two") << 2 << 0 << 2 << "one calibration byte" << refused;
    QTest::newRow("calibration, not offered") << 2 << 0 << 1 << "capabilities 17" << refused;
    QTest::newRow("signature") << 3 << 0 << 3 << "" << hex("1E9307");
    QTest::newRow("signature, middle byte") << 3 << 1 << 1 << "" << hex("93");
    QTest::newRow("signature, four") << 3 << 0 << 4 << "" << refused;
    QTest::newRow("memory 4") << 4 << 0 << 1 << "" << refused;
    QTest::newRow("chip not in the table") << 0 << 0 << 16 << "unknown" << refused;
    QTest::newRow("no chip") << 3 << 0 << 3 << "FFFFFF" << refused;
}

void TestAdapterSim::extReadMemories()
{
    QFETCH(int, memory);
    QFETCH(int, address);
    QFETCH(int, count);
    QFETCH(QString, chip);
    QFETCH(QByteArray, data);

    Options options = ours();
    options.chip = patternChip(chip == "128K" ? 0x20000 : 8192);
    if (chip == "128K")
        for (std::size_t i = 0x1FF80; i < 0x20000; ++i)
            options.chip.flash[i] = std::uint8_t((i - 0x1FF80) * 7 + 0x80 * 7);
    for (std::size_t i = 0; i < options.chip.eeprom.size(); ++i)
        options.chip.eeprom[i] = std::uint8_t(i * 3 + 1);
    if (chip == "no EEPROM")
        options.chip.eeprom.clear();
    if (chip == "one calibration byte")
        options.chip.calibration = {0x9C};
    if (chip.startsWith("capabilities"))
        options.capabilities = std::uint8_t(chip.mid(13).toUInt(nullptr, 16));
    options.unknownChip = chip == "unknown";
    if (chip == "FFFFFF")
        options.chip.signature = {0xFF, 0xFF, 0xFF};
    Simulator sim(options);
    START(sim);

    const QByteArray block = extRead(memory, address, count);
    const int size = count == 0 ? 256 : count;
    Line line(path(sim));
    QVERIFY(line.send(block + readWord));
    const QByteArray reply = line.receive(size + 2);
    if (data.isEmpty()) {
        // N bytes of FFh and a CRC that does not match them.
        QCOMPARE(reply.left(size), QByteArray(size, char(0xFF)));
        QCOMPARE(reply.size(), size + 2);
        QVERIFY(reply != readReply(block, reply.left(size)));
    } else {
        QCOMPARE(reply, readReply(block, data));
    }
    // The stream address is left alone.
    QCOMPARE(line.receive(2), hex("0001"));
    QCOMPARE(logOf(sim).first(), QString::fromLatin1(block.toHex(' ').toUpper()).prepend("block "));
}

void TestAdapterSim::extWriteMemories_data()
{
    QTest::addColumn<int>("memory");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("crcError");
    QTest::addColumn<QString>("chip");
    QTest::addColumn<char>("status");

    const QByteArray page = ramp(64, 5, 3);
    QTest::newRow("Flash page 0") << 0 << 0 << page << false << "" << 'K';
    QTest::newRow("Flash page 127") << 0 << 127 * 64 << page << false << "" << 'K';
    QTest::newRow("Flash, 256-byte page") << 0 << 256 << ramp(256, 3) << false << "256" << 'K';
    QTest::newRow("Flash, bad CRC") << 0 << 0 << page << true << "" << 'E';
    QTest::newRow("Flash, not aligned") << 0 << 32 << page << false << "" << 'R';
    QTest::newRow("Flash, half a page") << 0 << 64 << page.left(32) << false << "" << 'R';
    QTest::newRow("Flash, two pages") << 0 << 0 << page + page << false << "" << 'R';
    QTest::newRow("Flash, past its end") << 0 << 8192 << page << false << "" << 'R';
    QTest::newRow("Flash, byte-wise part") << 0 << 0 << page << false << "page 0" << 'R';
    QTest::newRow("EEPROM, one page") << 1 << 8 << hex("11223344") << false << "" << 'K';
    QTest::newRow("EEPROM, across pages") << 1 << 3 << ramp(10, 1, 0x40) << false << "" << 'K';
    QTest::newRow("EEPROM, its last bytes") << 1 << 510 << hex("5AA5") << false << "" << 'K';
    QTest::newRow("EEPROM, 256 bytes") << 1 << 256 << ramp(256, 11) << false << "" << 'K';
    QTest::newRow("EEPROM, past its end") << 1 << 511 << hex("5AA5") << false << "" << 'R';
    QTest::newRow("EEPROM, bad CRC") << 1 << 0 << hex("01") << true << "" << 'E';
    QTest::newRow("EEPROM, a part without") << 1 << 0 << hex("01") << false << "no EEPROM" << 'R';
    QTest::newRow("EEPROM, not offered") << 1 << 0 << hex("01") << false << "capabilities 1B" << 'R';
    QTest::newRow("calibration") << 2 << 0 << hex("80") << false << "" << 'R';
    QTest::newRow("signature") << 3 << 0 << hex("1E9307") << false << "" << 'R';
    QTest::newRow("memory 9") << 9 << 0 << hex("00") << false << "" << 'R';
    QTest::newRow("chip not in the table") << 1 << 0 << hex("01") << false << "unknown" << 'R';
    QTest::newRow("refused and bad CRC: the CRC first") << 2 << 0 << hex("80") << true << "" << 'E';
}

void TestAdapterSim::extWriteMemories()
{
    QFETCH(int, memory);
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QFETCH(bool, crcError);
    QFETCH(QString, chip);
    QFETCH(char, status);

    Options options = ours();
    // Programmed before: Flash can only lose bits, EEPROM bytes are written whole.
    options.chip.flash.assign(8192, 0xF7);
    options.chip.eeprom.assign(512, 0x00);
    if (chip == "256") {
        options.chip.pageSize = 256;
        options.chip.flash.assign(1024, 0xF7);
    }
    if (chip == "page 0")
        options.chip.pageSize = 0;
    if (chip == "no EEPROM")
        options.chip.eeprom.clear();
    if (chip.startsWith("capabilities"))
        options.capabilities = std::uint8_t(chip.mid(13).toUInt(nullptr, 16));
    options.unknownChip = chip == "unknown";
    Simulator sim(options);
    START(sim);
    const Chip was = sim.chip();

    // The status, then the next block is a block again: the data was taken whole.
    Line line(path(sim));
    QVERIFY(line.send(extWrite(memory, address, data, crcError) + readChip));
    QCOMPARE(line.receive(9), QByteArray(1, status) + hex("01") + defaultState);

    Chip expected = was;
    if (status == 'K') {
        for (int i = 0; i < data.size(); ++i) {
            if (memory == 0)
                expected.flash[std::size_t(address + i)] &= std::uint8_t(data[i]);
            else
                expected.eeprom[std::size_t(address + i)] = std::uint8_t(data[i]);
        }
    }
    QCOMPARE(bytes(sim.chip().flash), bytes(expected.flash));
    QCOMPARE(bytes(sim.chip().eeprom), bytes(expected.eeprom));
    QCOMPARE(logOf(sim), QStringList({"block " + QString::fromLatin1(extWrite(memory, address, data, crcError).left(8).toHex(' ').toUpper()),
                                      "data " + QString::fromLatin1(data.toHex(' ').toUpper()),
                                      "block 01 00 00 00 00 00 00 00"}));
}

// What was written reads back over the wire, with a CRC that matches.
void TestAdapterSim::extWriteReadBack()
{
    Options options = ours();
    options.chip.pageSize = 128;
    options.chip.flash.assign(16384, 0xFF);
    options.chip.eeprom.assign(512, 0xFF);
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    const QByteArray pages = ramp(256, 13, 7);
    for (int at = 0; at < 256; at += 128)
        QCOMPARE(exchange(port, extWrite(0, 0x1000 + at, pages.mid(at, 128)), 1), QByteArray("K"));
    const QByteArray eeprom = ramp(100, 29, 1);
    QCOMPARE(exchange(port, extWrite(1, 200, eeprom), 1), QByteArray("K"));

    QCOMPARE(exchange(port, extRead(0, 0x1000, 0), 258), readReply(extRead(0, 0x1000, 0), pages));
    QCOMPARE(exchange(port, extRead(1, 200, 100), 102), readReply(extRead(1, 200, 100), eeprom));
    // The plain stream sees the same Flash.
    QCOMPARE(exchange(port, readBlock, 128).size(), 128);
    QCOMPARE(exchange(port, endStream, 8).size(), 8);
}

void TestAdapterSim::eepromWrites_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");
    QTest::addColumn<long>("writes");

    QTest::newRow("page buffer of 4, one page") << 4 << 0 << 4 << 1L;
    QTest::newRow("page buffer of 4, two pages") << 4 << 0 << 8 << 2L;
    QTest::newRow("page buffer of 4, straddling") << 4 << 2 << 4 << 2L;
    QTest::newRow("page buffer of 4, one byte") << 4 << 3 << 1 << 1L;
    QTest::newRow("page buffer of 8") << 8 << 0 << 8 << 1L;
    QTest::newRow("page buffer of 8, 256 bytes") << 8 << 256 << 256 << 32L;
    QTest::newRow("byte by byte") << 0 << 0 << 8 << 8L;
    QTest::newRow("byte by byte, one") << 0 << 511 << 1 << 1L;
}

// Each page (or byte) write takes Options::eepromWriteUs; the time before the next block is
// the count of writes the part needs. Only a lower bound can be checked here: the benchmark
// is where the time itself is measured.
void TestAdapterSim::eepromWrites()
{
    QFETCH(int, pageSize);
    QFETCH(int, address);
    QFETCH(int, count);
    QFETCH(long, writes);

    Options options = ours();
    options.chip.eepromPageSize = std::size_t(pageSize);
    options.eepromWriteUs = 20000;
    Simulator sim(options);
    START(sim);

    const QByteArray data = ramp(count, 3, 9);
    QElapsedTimer timer;
    Line line(path(sim));
    QVERIFY(line.send(extWrite(1, address, data) + readChip));
    timer.start();
    QCOMPARE(line.receive(9, 20000), QByteArray("K") + hex("01") + defaultState);
    QVERIFY2(timer.elapsed() >= writes * 20 - 5, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(bytes(sim.chip().eeprom).mid(address, count), data);
    QCOMPARE(sim.eepromWrites(), writes);
}

void TestAdapterSim::eesaveAcrossErase_data()
{
    QTest::addColumn<bool>("isOurs");
    QTest::addColumn<int>("eesaveFuse");
    QTest::addColumn<int>("eesaveBit");
    QTest::addColumn<QByteArray>("fuses");  // Low High Extended
    QTest::addColumn<bool>("kept");

    for (const bool isOurs : {false, true}) {
        const char *kind = isOurs ? "our board" : "plain";
        QTest::addRow("%s: ATmega8, EESAVE programmed", kind) << isOurs << 1 << 3 << hex("E1 D1 FF") << true;
        QTest::addRow("%s: ATmega8, EESAVE not programmed", kind) << isOurs << 1 << 3 << hex("E1 D9 FF") << false;
        QTest::addRow("%s: other high bits programmed", kind) << isOurs << 1 << 3 << hex("00 08 00") << false;
        QTest::addRow("%s: EESAVE in the low byte, bit 6", kind) << isOurs << 0 << 6 << hex("BF FF FF") << true;
        QTest::addRow("%s: EESAVE in the extended byte", kind) << isOurs << 2 << 0 << hex("FF FF FE") << true;
        QTest::addRow("%s: a part without EESAVE", kind) << isOurs << -1 << 3 << hex("00 00 00") << false;
    }
}

void TestAdapterSim::eesaveAcrossErase()
{
    QFETCH(bool, isOurs);
    QFETCH(int, eesaveFuse);
    QFETCH(int, eesaveBit);
    QFETCH(QByteArray, fuses);
    QFETCH(bool, kept);

    Options options;
    options.ours = isOurs;
    options.chip = patternChip();
    options.chip.eesaveFuse = eesaveFuse;
    options.chip.eesaveBit = eesaveBit;
    options.chip.lowFuse = std::uint8_t(fuses[0]);
    options.chip.highFuse = std::uint8_t(fuses[1]);
    options.chip.extFuse = std::uint8_t(fuses[2]);
    const QByteArray eeprom = ramp(512, 5, 2);
    std::copy(eeprom.begin(), eeprom.end(), options.chip.eeprom.begin());
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);

    QCOMPARE(exchange(port, hex("04 00 00 00 00 00 00 00"), 8), hex("04 1E9307") + fuses + hex("FF"));
    QCOMPARE(bytes(sim.chip().flash), QByteArray(8192, char(0xFF)));
    QCOMPARE(bytes(sim.chip().eeprom), kept ? eeprom : QByteArray(512, char(0xFF)));
    if (isOurs) {
        const QByteArray block = extRead(1, 0, 0);
        QCOMPARE(exchange(port, block, 258), readReply(block, kept ? eeprom.left(256) : QByteArray(256, char(0xFF))));
    }
}

// 'K' as soon as the data is in; the page programs after it, and the next block waits for it.
void TestAdapterSim::pagePipelining()
{
    Options options = ours();
    options.pageWriteUs = 30000;
    Simulator sim(options);
    std::mutex mutex;
    QStringList seen;  // each block as it was taken, with what Flash held then
    sim.setLogHandler([&](const std::string &line) {
        if (line.rfind("block", 0) != 0)
            return;
        const QByteArray flash = bytes(sim.chip().flash);
        std::lock_guard lock(mutex);
        seen << QString::fromStdString(line).left(8) + " " + QString::number(flash.indexOf(char(0x11)))
                    + " " + QString::number(flash.indexOf(char(0x22)));
    });
    START(sim);

    Line line(path(sim));
    QVERIFY(line.send(extWrite(0, 0, QByteArray(64, char(0x11)))));
    QCOMPARE(line.receive(1), QByteArray("K"));
    QVERIFY(line.send(extWrite(0, 64, QByteArray(64, char(0x22)))));
    QCOMPARE(line.receive(1), QByteArray("K"));
    QVERIFY(line.send(endStream));
    QCOMPARE(line.receive(8).left(1), hex("54"));
    std::lock_guard lock(mutex);
    // The second page's block came only once the first page was in Flash; cmdEnd only once
    // the second was.
    QCOMPARE(seen, QStringList({"block 13 -1 -1", "block 13 0 -1", "block 00 0 64"}));
}

// The 'K' leaves before the page is programmed: with a programming time longer than any
// test, the 'K' still comes and Flash stays as it was.
void TestAdapterSim::acceptedBeforeProgrammed()
{
    Options options = ours();
    options.pageWriteUs = INT_MAX;
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    QVERIFY(line.send(extWrite(0, 0, QByteArray(64, char(0x11)))));
    QCOMPARE(line.receive(1), QByteArray("K"));
    QVERIFY(line.send(readChip));
    QCOMPARE(line.receive(1, 300), QByteArray());  // not taken while the page programs
    sim.stop();
    QCOMPARE(bytes(sim.chip().flash), QByteArray(8192, char(0xFF)));
}

void TestAdapterSim::lineRate_data()
{
    QTest::addColumn<int>("maxBaud");
    QTest::addColumn<QList<int>>("steps");  // the test's rate for each step below
    QTest::addColumn<QList<bool>>("answered");

    // Step 0: cmdExtLine R = 1 at 115200. Then, each at its rate: cmdExtPing, cmdReadChip,
    // cmdExtLine R = 0, cmdReadChip.
    QTest::newRow("both switch") << 1000000 << QList<int>{115200, 1000000, 1000000, 1000000, 115200}
                                 << QList<bool>{true, true, true, true, true};
    QTest::newRow("the host stays at 115200") << 1000000 << QList<int>{115200, 115200, 115200, 115200, 115200}
                                              << QList<bool>{true, false, false, false, false};
    QTest::newRow("the bridge stops at 921600") << 921600 << QList<int>{115200, 1000000, 1000000, 1000000, 1000000}
                                                << QList<bool>{true, false, false, false, false};
    QTest::newRow("the host switches back too early") << 1000000 << QList<int>{115200, 1000000, 115200, 115200, 115200}
                                                      << QList<bool>{true, true, false, false, false};
    QTest::newRow("the host at another rate altogether") << 1000000 << QList<int>{9600, 9600, 9600, 9600, 9600}
                                                         << QList<bool>{false, false, false, false, false};
}

void TestAdapterSim::lineRate()
{
    QFETCH(int, maxBaud);
    QFETCH(QList<int>, steps);
    QFETCH(QList<bool>, answered);

    Options options = ours();
    options.maxBaud = maxBaud;
    options.lineIdleUs = 60000000;  // no return to 115200 while the test runs, however slow
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);
    const QList<QByteArray> blocks = {hex("10 01 00 00 01020304"), hex("11 00 00 00 05060708"), readChip,
                                      hex("10 00 00 00 090A0B0C"), readChip};
    long lost = 0;
    for (int i = 0; i < blocks.size(); ++i) {
        const speed_t speed = steps[i] == 1000000 ? B1000000 : steps[i] == 9600 ? B9600 : B115200;
        QVERIFY(setSpeed(port, speed));
        const QByteArray reply = exchangeAsIs(port, blocks[i], 8, answered[i] ? 5000 : 300);
        if (answered[i]) {
            QVERIFY2(blocks[i][0] == 1 ? reply == hex("01") + defaultState : identifies(reply, blocks[i].mid(4)),
                     qPrintable(QString("step %1: %2").arg(i).arg(QString::fromLatin1(reply.toHex()))));
        } else {
            // A block garbled on its way in gets no answer at all.
            QVERIFY2(reply.isEmpty(), qPrintable(QString("step %1").arg(i)));
            lost += 8;
        }
    }
    QCOMPARE(sim.lineState().garbledIn, lost);
    QCOMPARE(sim.lineState().garbledOut, 0L);
    // Only what was carried is logged.
    QCOMPARE(qsizetype(sim.log().size()), answered.count(true));
}

// Back to 115200 after the idle time, and the board's own bytes garbled while the rates differ.
void TestAdapterSim::lineFallsBack_data()
{
    QTest::addColumn<bool>("hostSwitches");  // to 1,000,000 after the switch
    QTest::addColumn<bool>("waits");         // longer than the idle time before the next block
    QTest::addColumn<speed_t>("then");       // the rate of that block
    QTest::addColumn<bool>("answered");

    QTest::newRow("after the idle time, at 115200") << false << true << speed_t(B115200) << true;
    QTest::newRow("after the idle time, still at 1,000,000") << true << true << speed_t(B1000000) << false;
}

void TestAdapterSim::lineFallsBack()
{
    QFETCH(bool, hostSwitches);
    QFETCH(bool, waits);
    QFETCH(speed_t, then);
    QFETCH(bool, answered);

    Simulator sim(ours());  // the board's own 500 ms
    START(sim);
    const QString port = path(sim);
    QVERIFY(identifies(exchange(port, hex("10 01 00 00 01020304"), 8), hex("01020304")));
    QCOMPARE(sim.lineState().boardBaud, 1000000);
    if (hostSwitches)
        QVERIFY(setSpeed(port, B1000000));
    if (waits)
        QTRY_COMPARE(sim.lineState().boardBaud, 115200);
    QVERIFY(setSpeed(port, then));
    const QByteArray reply = exchangeAsIs(port, readChip, 8, answered ? 5000 : 300);
    QCOMPARE(reply, answered ? hex("01") + defaultState : QByteArray());
}

// A reply that leaves while the host has moved to another rate arrives as FFh bytes.
void TestAdapterSim::garbledReplies()
{
    Simulator sim(ours());
    QString port;
    // The host changes its rate after the block is taken and before the reply leaves.
    sim.setLogHandler([&port](const std::string &) { setSpeed(port, B9600); });
    START(sim);
    port = path(sim);
    Line line(port);
    QVERIFY(line.send(readChip));
    QCOMPARE(line.receive(8), QByteArray(8, char(0xFF)));
    QCOMPARE(sim.lineState().garbledOut, 8L);
    QCOMPARE(sim.lineState().garbledIn, 0L);
}

void TestAdapterSim::boardTest_data()
{
    QTest::addColumn<int>("capabilities");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("offered") << 0x1F << idReply(hex("000000"), hex("00000000")) + boardTestText();
    QTest::newRow("not offered: an unknown code") << 0x0F << hex("14") + defaultState;
}

void TestAdapterSim::boardTest()
{
    QFETCH(int, capabilities);
    QFETCH(QByteArray, expected);
    Options options = ours();
    options.capabilities = std::uint8_t(capabilities);
    options.boardTestLineUs = 1000;
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    QVERIFY(line.send(hex("14 00 00 00 00 00 00 00")));
    QCOMPARE(line.receive(expected.size()), expected);
    QCOMPARE(line.receive(1, 100), QByteArray());
    // The board listens again.
    QVERIFY(line.send(readChip));
    QCOMPARE(line.receive(8), hex("01") + defaultState);
}

// Any byte from the host ends the test at once, without "END"; a whole block sent to end it
// is taken as a block.
void TestAdapterSim::boardTestAborted_data()
{
    QTest::addColumn<QByteArray>("interrupt");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<QByteArray>("reply");  // to the interrupt

    QTest::newRow("a block") << readChip << speed_t(B115200) << hex("01") + defaultState;
    QTest::newRow("a byte, which starts a block that is dropped") << hex("00") << speed_t(B115200) << QByteArray();
    QTest::newRow("a garbled byte") << hex("55") << speed_t(B9600) << QByteArray();
}

void TestAdapterSim::boardTestAborted()
{
    QFETCH(QByteArray, interrupt);
    QFETCH(speed_t, speed);
    QFETCH(QByteArray, reply);

    Options options = ours();
    options.boardTestLineUs = 300000;
    Simulator sim(options);
    START(sim);
    const QString port = path(sim);
    Line line(port);
    QVERIFY(line.send(hex("14 00 00 00 00 00 00 00")));
    QCOMPARE(line.receive(12), idReply(hex("000000"), hex("00000000")) + "VCC\n");
    QVERIFY(setSpeed(port, speed));
    QVERIFY(line.send(interrupt));
    // A slow test may see a line or two more that went before the interrupt; after it, nothing.
    QByteArray got = line.receive(4096, 1000);
    QVERIFY2(got.endsWith(reply), got.toHex().constData());
    got.chop(reply.size());
    if (speed == B115200)
        QVERIFY2(boardTestText().mid(4).startsWith(got) && !got.contains("END"), got.constData());
    QCOMPARE(line.receive(1, 1000), QByteArray());
    QVERIFY(setSpeed(port, B115200));
    QVERIFY(line.send(readChip));
    QCOMPARE(line.receive(9, 500), hex("01") + defaultState);
}

void TestAdapterSim::ignoredCommand_data()
{
    QTest::addColumn<bool>("isOurs");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");

    for (const bool isOurs : {false, true}) {
        const char *kind = isOurs ? "our board" : "plain";
        QTest::addRow("%s: fuse write", kind) << isOurs << 2 << hex("02 000000 E4 D8 FD FF") << hex("02") + defaultState;
        QTest::addRow("%s: lock write", kind) << isOurs << 3 << hex("03 000000 E1 D9 FF FC") << hex("03") + defaultState;
        QTest::addRow("%s: chip erase", kind) << isOurs << 4 << hex("04 000000 00 00 00 00") << hex("04") + defaultState;
        QTest::addRow("%s: page write", kind) << isOurs << 5 << pageBlock(4) + hex("00000000") << ack + ack;
    }
    QTest::newRow("our board: cmdExtWrite") << true << 0x13 << extWrite(1, 0, hex("00000000")) << QByteArray("K");
    QTest::newRow("our board: cmdExtWrite of Flash") << true << 0x13 << extWrite(0, 64, QByteArray(64, 0)) << QByteArray("K");
}

void TestAdapterSim::ignoredCommand()
{
    QFETCH(bool, isOurs);
    QFETCH(int, code);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reply);

    Options options;
    options.ours = isOurs;
    options.ignoreCode = code;
    options.chip = patternChip();
    options.chip.eeprom.assign(512, 0x77);
    options.eraseUs = 1000;
    Simulator sim(options);
    START(sim);
    const Chip was = sim.chip();
    Line line(path(sim));
    QVERIFY(line.send(input + readWord));
    QCOMPARE(line.receive(reply.size() + 2), reply + (code == 5 ? hex("0405") : hex("0001")));
    const Chip now = sim.chip();
    QCOMPARE(bytes(now.flash), bytes(was.flash));
    QCOMPARE(bytes(now.eeprom), bytes(was.eeprom));
    QCOMPARE(now.lowFuse, was.lowFuse);
    QCOMPARE(now.lock, was.lock);
    QCOMPARE(sim.log().size(), std::size_t(input.size() > 8 ? 3 : 2));  // logged as usual

    // The same command is carried out once the option is off.
    options = sim.options();
    options.ignoreCode = -1;
    sim.setOptions(options);
    QVERIFY(line.send(input + readChip));  // which ends the loading of a page, too
    QCOMPARE(line.receive(reply.size() + 8).size(), reply.size() + 8);
    QVERIFY(QTest::qWaitFor([&] { return bytes(sim.chip().flash) != bytes(was.flash)
                                         || bytes(sim.chip().eeprom) != bytes(was.eeprom)
                                         || sim.chip().lowFuse != was.lowFuse || sim.chip().lock != was.lock; }));
}

void TestAdapterSim::severalFaults_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<long>>("addresses");
    QTest::addColumn<QList<long>>("arrived");  // the addresses whose replies come, first pass

    QTest::newRow("blocks at 128, 256, 384") << 6 << QList<long>{128, 256, 384} << QList<long>{0, 512};
    QTest::newRow("first and last") << 6 << QList<long>{0, 512} << QList<long>{128, 256, 384};
    QTest::newRow("one") << 6 << QList<long>{256} << QList<long>{0, 128, 384, 512};
    QTest::newRow("an address never reached") << 6 << QList<long>{4096} << QList<long>{0, 128, 256, 384, 512};
    QTest::newRow("another code") << 7 << QList<long>{128} << QList<long>{0, 128, 256, 384, 512};
}

void TestAdapterSim::severalFaults()
{
    QFETCH(int, code);
    QFETCH(QList<long>, addresses);
    QFETCH(QList<long>, arrived);

    Options options;
    options.chip = patternChip();
    for (const long address : addresses) {
        adaptersim::ReplyFault fault;
        fault.code = code;
        fault.address = address;
        options.faults.push_back(fault);
    }
    Simulator sim(options);
    START(sim);
    const QByteArray flash = bytes(options.chip.flash);
    const QByteArray marker = hex("0A 00 00 00 00 00 00 00");
    const QByteArray markerReply = hex("0A") + defaultState;

    // Each fault hits once: the second pass brings every block.
    for (int pass = 0; pass < 2; ++pass) {
        QByteArray expected;
        for (long at = 0; at <= 512; at += 128)
            if (pass == 1 || arrived.contains(at))
                expected += flash.mid(int(at), 128);
        Line line(path(sim));
        QVERIFY(line.send(readBlock.repeated(5) + marker));
        QCOMPARE(line.receive(expected.size() + 8), expected + markerReply);
        QCOMPARE(line.receive(1, 100), QByteArray());
        QCOMPARE(exchange(path(sim), endStream, 8).size(), 8);
    }
}

// Faults on the addressed commands pick by the block's address.
void TestAdapterSim::faultOnExtRead()
{
    Options options = ours();
    options.chip = patternChip();
    for (const long address : {0x100L, 0x300L}) {
        adaptersim::ReplyFault fault;
        fault.code = 0x12;
        fault.address = address;
        options.faults.push_back(fault);
    }
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    for (const int address : {0x000, 0x100, 0x200, 0x300})
        QVERIFY(line.send(extRead(0, address, 0)));
    QVERIFY(line.send(readChip));
    const QByteArray flash = bytes(options.chip.flash);
    QCOMPARE(line.receive(2 * 258 + 8),
             readReply(extRead(0, 0, 0), flash.mid(0, 256)) + readReply(extRead(0, 0x200, 0), flash.mid(0x200, 256))
                 + hex("01") + defaultState);
}

void TestAdapterSim::strayBytes_data()
{
    QTest::addColumn<bool>("isOurs");
    QTest::addColumn<int>("stray");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray two = hex("00FF");
    QTest::newRow("Read Chip") << false << 2 << readChip << two + hex("01") + defaultState;
    QTest::newRow("Read Chip, three") << false << 3 << readChip << hex("00FF00 01") + defaultState;
    QTest::newRow("Read Chip, none") << false << 0 << readChip << hex("01") + defaultState;
    QTest::newRow("a block of Flash") << false << 2 << readBlock << two + ramp(128);
    QTest::newRow("two words") << false << 2 << readWord + readWord << two + hex("0001") + two + hex("0203");
    QTest::newRow("page write") << false << 2 << pageBlock(2) + hex("AAAA") << two + ack + two + ack;
    QTest::newRow("cut reply: strays still") << false << 1 << hex("0B 00 00 00 00000000") << hex("00 0B 1E");
    QTest::newRow("identification") << true << 2 << endStream << two + idReply(hex("000000"), hex("00000000"));
    QTest::newRow("cmdExtWrite status") << true << 2 << extWrite(1, 0, hex("12")) << two + "K";
    QTest::newRow("cmdExtRead") << true << 1 << extRead(3, 0, 3)
                                << hex("00") + readReply(extRead(3, 0, 3), hex("1E9307"));
}

void TestAdapterSim::strayBytes()
{
    QFETCH(bool, isOurs);
    QFETCH(int, stray);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    Options options;
    options.ours = isOurs;
    options.chip = patternChip();
    options.strayBytes = stray;
    options.shortCode = 0x0B;
    options.shortCount = 2;
    Simulator sim(options);
    START(sim);
    Line line(path(sim));
    QVERIFY(line.send(input));
    QCOMPARE(line.receive(expected.size()), expected);
    QCOMPARE(line.receive(1, 100), QByteArray());
}

void TestAdapterSim::sysfsLatency_data()
{
    QTest::addColumn<int>("latencyUs");
    QTest::addColumn<QByteArray>("content");  // empty: no file

    QTest::newRow("ftdi-16ms") << 16000 << QByteArray("16\n");
    QTest::newRow("ftdi-1ms") << 1000 << QByteArray("1\n");
    QTest::newRow("2.4 ms") << 2400 << QByteArray("2\n");
    QTest::newRow("no bridge") << 0 << QByteArray();
}

void TestAdapterSim::sysfsLatency()
{
    QFETCH(int, latencyUs);
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Something of another tty already there stays.
    QVERIFY(QDir(dir.path()).mkpath("class/tty/ttyUSB9/device"));
    Options options;
    options.bridge.latencyUs = latencyUs;
    options.sysfsRoot = dir.path().toStdString();
    Simulator sim(options);
    START(sim);
    const QString name = QFileInfo(QFileInfo(path(sim)).canonicalFilePath()).fileName();
    QVERIFY(!name.isEmpty());
    const QString timer = dir.filePath("class/tty/" + name + "/device/latency_timer");
    QFile file(timer);
    if (content.isEmpty()) {
        QVERIFY(!file.exists());
    } else {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
        file.close();
    }
    sim.stop();
    QVERIFY(!QFileInfo::exists(timer));
    QVERIFY(!QFileInfo::exists(dir.filePath("class/tty/" + name)));
    QVERIFY(QFileInfo::exists(dir.filePath("class/tty/ttyUSB9/device")));
}

// A sysfs root that cannot be written stops the start, and nothing is left behind.
void TestAdapterSim::sysfsRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        QFile blocker(dir.filePath("class"));  // a file where the folder should go
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    Options options;
    options.bridge.latencyUs = 1000;
    options.sysfsRoot = dir.path().toStdString();
    Simulator sim(options);
    std::string error;
    QVERIFY(!sim.start(&error));
    QVERIFY(!error.empty());
    QVERIFY(sim.devicePath().empty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"class"}));
}

void TestAdapterSim::extensionLog()
{
    Simulator sim(ours());
    START(sim);
    const QString port = path(sim);
    QCOMPARE(exchange(port, hex("11 00 00 00 0A0B0C0D"), 8).size(), 8);
    QCOMPARE(exchange(port, extRead(2, 1, 2), 4).size(), 4);
    QCOMPARE(exchange(port, extWrite(1, 0x1FE, hex("C0DE")), 1), QByteArray("K"));
    QCOMPARE(exchange(port, hex("10 00 00 00 01020304"), 8).size(), 8);
    const QString crc = QString::fromLatin1(extWrite(1, 0x1FE, hex("C0DE")).mid(6, 2).toHex(' ').toUpper());
    QCOMPARE(logOf(sim), QStringList({"block 11 00 00 00 0A 0B 0C 0D", "block 12 02 01 00 00 02 00 00",
                                      "block 13 01 FE 01 00 02 " + crc, "data C0 DE",
                                      "block 10 00 00 00 01 02 03 04"}));
}

// --ours, the EEPROM files and the device file's new keys through the adapter-sim program.
void TestAdapterSim::commandLineOurs()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyAdapter");
    const QString device = dir.filePath("ATtiny2313.ini");
    const QString eepromIn = dir.filePath("in.bin");
    const QString eepromOut = dir.filePath("out.bin");
    const QString sysfs = dir.filePath("sys");
    {
        // EESAVE where no default puts it, and programmed at the factory.
        QFile f(device);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[configuration]\nSignature_000=$1E\nSignature_001=$91\nSignature_002=$0A\n"
                "Page_Size=32\nFlash_Size=2048\nEEPROM_Size=128\nEEPROM_Page_Size=0\nCalibration_Size=2\n\n"
                "[fuse-bits]\nLow_7=CKDIV8|P\nHigh_6=EESAVE|P\nExt_0=SELFPRGEN|U\n");
        QFile e(eepromIn);
        QVERIFY(e.open(QIODevice::WriteOnly));
        e.write(ramp(100, 3));
    }
    QProcess sim;
    sim.start(program(), {"--ours", "--link", link, "--device", device, "--calibration", "5A6B",
                          "--eeprom-load", eepromIn, "--eeprom-dump", eepromOut, "--ignore", "3",
                          "--drop-reply", "6@0", "--drop-reply", "6@256", "--bridge", "ftdi-1ms",
                          "--sysfs", sysfs, "--max-baud", "921600"});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    QDeadlineTimer deadline(10000);
    while (!sim.canReadLine() && !deadline.hasExpired())
        sim.waitForReadyRead(100);
    QVERIFY(QString::fromLocal8Bit(sim.readLine()).startsWith("adapter-sim: serving on /dev/"));
    const QString name = QFileInfo(QFileInfo(link).canonicalFilePath()).fileName();
    QFile timer(sysfs + "/class/tty/" + name + "/device/latency_timer");
    QVERIFY(timer.open(QIODevice::ReadOnly));
    QCOMPARE(timer.readAll(), QByteArray("1\n"));

    const QByteArray state = hex("1E910A 7F BF FF FF");
    QCOMPARE(exchange(link, readChip, 8), hex("01") + state);
    QVERIFY(identifies(exchange(link, hex("00 00 1E 91 11223344"), 8), hex("11223344")));
    // The device file's sizes, the calibration bytes given, the EEPROM loaded.
    QCOMPARE(exchange(link, extRead(1, 0, 128), 130), readReply(extRead(1, 0, 128), ramp(100, 3) + QByteArray(28, char(0xFF))));
    QCOMPARE(exchange(link, extRead(1, 1, 128), 130).left(128), QByteArray(128, char(0xFF)));
    QCOMPARE(exchange(link, extRead(2, 0, 2), 4), readReply(extRead(2, 0, 2), hex("5A6B")));
    QCOMPARE(exchange(link, extRead(0, 2048 - 32, 32), 34), readReply(extRead(0, 2048 - 32, 32), QByteArray(32, char(0xFF))));
    QCOMPARE(exchange(link, extWrite(0, 128, ramp(32)), 1), QByteArray("K"));  // a page of 32
    QCOMPARE(exchange(link, extWrite(1, 4, hex("C0DE")), 1), QByteArray("K"));
    // The lock write is ignored; the noise guard stops a fuse write with noise in it.
    QCOMPARE(exchange(link, hex("03 1E910A 7F BF FF FC"), 8), hex("03") + state);
    QCOMPARE(exchange(link, hex("02 5AA55A 00 00 00 FF"), 8), hex("02") + state);
    // Two lost replies in one read.
    QCOMPARE(exchange(link, readBlock, 128, 300), QByteArray());
    QCOMPARE(exchange(link, readBlock, 128), ramp(32) + QByteArray(96, char(0xFF)));
    QCOMPARE(exchange(link, readBlock, 128, 300), QByteArray());
    // EESAVE as the file has it: programmed, so the erase keeps the EEPROM.
    QCOMPARE(exchange(link, hex("04 1E910A 7F BF FF FF"), 8), hex("04") + state);
    QVERIFY(exchange(link, endStream, 8).size() == 8);
    QFile dumped(eepromOut);
    QVERIFY(dumped.open(QIODevice::ReadOnly));
    QByteArray eeprom = ramp(100, 3) + QByteArray(28, char(0xFF));
    eeprom[4] = char(0xC0);
    eeprom[5] = char(0xDE);
    QCOMPARE(dumped.readAll(), eeprom);
    // The line cannot carry 1,000,000.
    QVERIFY(identifies(exchange(link, hex("10 01 00 00 01020304"), 8), hex("01020304")));
    QVERIFY(setSpeed(link, B1000000));
    QCOMPARE(exchangeAsIs(link, hex("11 00 00 00 01020304"), 8, 300), QByteArray());

    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!timer.exists());
}

QTEST_GUILESS_MAIN(TestAdapterSim)
#include "test_adaptersim.moc"
