// SPDX-License-Identifier: GPL-3.0-or-later
#include "board.h"

#include "exchange.h"

#include <QRandomGenerator>
#include <QThread>

namespace avrlink {

namespace {

constexpr char kKey[] = "TARVANE";
// The status byte of a write comes once the board has finished what it was doing (a page
// programming, EEPROM bytes) and taken the block and its data. Every wait on the addressed lane
// stays well inside the board's idle time: a host that waited longer would find the board back
// at 115200 after a lost answer.
constexpr int kStatusTimeoutMs = 400;
constexpr int kReplySlackMs = 30;
// A line of the board's self-test text: each line is driven for about a second.
constexpr int kTestLineTimeoutMs = 5000;

struct Quiet : Reporter {
    void information(const QString &) override {}
};

void putAddress(Block &b, std::uint32_t address)
{
    b[2] = std::uint8_t(address);
    b[3] = std::uint8_t(address >> 8);
    b[4] = std::uint8_t(address >> 16);
}

// The CRC that binds data to the block that asked for it: block bytes 1 to 5, then the data.
std::uint16_t blockCrc(const Block &b, const std::uint8_t *data, int count)
{
    const std::uint16_t head = crc16(b.data() + 1, 5);
    return crc16(data, std::size_t(count), head);
}

// Sends an 8-byte extension block and takes an identification reply to it.
bool identified(SerialLine &line, CommandLine &command, Block &sent)
{
    setChallenge(sent);
    Block reply{};
    if (!line.write(sent.data(), kBlockSize))
        return false;
    const int got = line.read(reply.data(), kBlockSize);
    command.noteReply(got, kBlockSize);
    return got == kBlockSize && identifies(sent, reply);
}

}  // namespace

std::uint16_t crc16(const std::uint8_t *data, std::size_t count, std::uint16_t crc)
{
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= std::uint16_t(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

std::uint16_t challengeAnswer(const Block &sent, std::uint8_t version, std::uint8_t capabilities)
{
    std::uint8_t text[13];
    for (int i = 0; i < 7; ++i)
        text[i] = std::uint8_t(kKey[i]);
    for (int i = 0; i < 4; ++i)
        text[7 + i] = sent[std::size_t(4 + i)];
    text[11] = version;
    text[12] = capabilities;
    return crc16(text, sizeof text);
}

bool identifies(const Block &sent, const Block &reply)
{
    if (reply[0] != kIdentityMark)
        return false;
    const std::uint16_t answer = challengeAnswer(sent, reply[4], reply[5]);
    return reply[6] == std::uint8_t(answer) && reply[7] == std::uint8_t(answer >> 8);
}

void setChallenge(Block &block)
{
    const quint32 challenge = QRandomGenerator::system()->generate();
    for (int i = 0; i < 4; ++i)
        block[std::size_t(4 + i)] = std::uint8_t(challenge >> (8 * i));
}

BoardInfo identifyBoard(LinkState &state, Reporter &reporter, ExchangeResult *result)
{
    state.CmdBlock[0] = cmdEnd;
    state.CmdBlock[1] = 0;
    setChallenge(state.CmdBlock);
    const Block sent = state.CmdBlock;
    const ExchangeResult r = exchange(state, 0, reporter);
    if (result)
        *result = r;
    BoardInfo board;
    board.asked = true;
    if (r.done() && identifies(sent, state.CmdBlock)) {
        board.ours = true;
        board.version = state.CmdBlock[4];
        board.capabilities = state.CmdBlock[5];
    }
    if (PortHold *hold = PortHold::active(state.PortName))
        hold->setBoard(board);
    return board;
}

ExtStatus extRead(const QString &port, std::uint8_t memory, std::uint32_t address, int count, std::uint8_t *out,
                  Reporter &reporter)
{
    CommandLine command(port);
    if (!command.open(reporter))
        return ExtStatus::PortFailure;
    command.prepare();
    SerialLine &line = command.line();
    Block b{cmdExtRead, memory, 0, 0, 0, std::uint8_t(count), 0, 0};
    putAddress(b, address);
    if (!line.write(b.data(), kBlockSize))
        return ExtStatus::NoAnswer;
    std::uint8_t reply[258];
    // The reply's own time at the slowest rate (115200: 87 us a byte), and some slack.
    const int got = line.read(reply, count + 2, kReplySlackMs + (count + 2) * 87 / 1000 + 1);
    command.noteReply(got, count + 2);
    if (got != count + 2)
        return ExtStatus::NoAnswer;
    const std::uint16_t crc = blockCrc(b, reply, count);
    if (reply[count] != std::uint8_t(crc) || reply[count + 1] != std::uint8_t(crc >> 8))
        return ExtStatus::BadCrc;
    std::copy(reply, reply + count, out);
    return ExtStatus::Ok;
}

ExtStatus extWrite(const QString &port, std::uint8_t memory, std::uint32_t address, int count,
                   const std::uint8_t *data, Reporter &reporter)
{
    CommandLine command(port);
    if (!command.open(reporter))
        return ExtStatus::PortFailure;
    command.prepare();
    SerialLine &line = command.line();
    Block b{cmdExtWrite, memory, 0, 0, 0, std::uint8_t(count), 0, 0};
    putAddress(b, address);
    const std::uint16_t crc = blockCrc(b, data, count);
    b[6] = std::uint8_t(crc);
    b[7] = std::uint8_t(crc >> 8);
    if (!line.write(b.data(), kBlockSize) || !line.write(data, count))
        return ExtStatus::NoAnswer;
    const int status = line.readByte(kStatusTimeoutMs);
    switch (status) {
    case 'K':
        return ExtStatus::Ok;
    case 'E':
        return ExtStatus::BadCrc;
    case 'R':
        return ExtStatus::Refused;
    case -1:
        return ExtStatus::NoAnswer;
    default:
        command.noteReply(1, 2);  // something else came: wait for quiet before the next command
        return ExtStatus::BadCrc;
    }
}

int switchLine(LinkState &state, int baud, Reporter &reporter)
{
    CommandLine command(state.PortName);
    if (!command.open(reporter))
        return 0;
    command.prepare();
    SerialLine &line = command.line();
    // A rate the port itself cannot make is never asked of the board.
    if (baud != kPlainBaud) {
        const bool can = line.setRate(baud);
        line.setRate(kPlainBaud);
        if (!can)
            return kPlainBaud;
    }
    Block ask{cmdExtLine, std::uint8_t(baud == kFastBaud ? 1 : 0), 0, 0, 0, 0, 0, 0};
    const bool answered = identified(line, command, ask);
    line.waitSent(100);
    if (answered) {
        line.setRate(baud);
        Block ping{cmdExtPing, 0, 0, 0, 0, 0, 0, 0};
        if (identified(line, command, ping))
            return baud;
    }
    // The rate did not carry (or the board's answer was lost and it may have switched): both
    // sides go back to 115200, the board once it has heard nothing for its idle time.
    line.setRate(kPlainBaud);
    QThread::msleep(std::uint32_t(kBoardIdleMs + 100 + line.latencyMs()));
    line.drain();
    Block ping{cmdExtPing, 0, 0, 0, 0, 0, 0, 0};
    return identified(line, command, ping) ? kPlainBaud : 0;
}

bool boardTest(LinkState &state, Reporter &reporter, const std::function<void(const QString &)> &lineNamed,
               const std::function<bool()> &stop)
{
    CommandLine command(state.PortName);
    if (!command.open(reporter))
        return false;
    command.prepare();
    SerialLine &line = command.line();
    Block b{cmdExtBoardTest, 0, 0, 0, 0, 0, 0, 0};
    Block reply{};
    if (!line.write(b.data(), kBlockSize) || line.read(reply.data(), kBlockSize) != kBlockSize || !identifies(b, reply))
        return false;
    QByteArray text;
    for (;;) {
        if (stop && stop()) {
            const std::uint8_t end = 0;
            line.write(&end, 1);  // any byte ends the test, with both supplies off
            return true;
        }
        const int c = line.readByte(kTestLineTimeoutMs);
        if (c < 0)
            return false;
        if (c != '\n') {
            text += char(c);
            continue;
        }
        if (text == "END")
            return true;
        lineNamed(QString::fromLatin1(text));
        text.clear();
    }
}

}  // namespace avrlink
