// SPDX-License-Identifier: GPL-3.0-or-later
// The adapter firmware end to end: the unchanged window and link against the firmware
// running in simulation (hvsim) with a modelled chip in the socket. Every test also
// asks the chip model whether a datasheet rule was broken.
#include "board.h"
#include "chiplist.h"
#include "exchange.h"
#include "porthold.h"
#include "hvrig.h"
#include "loader.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>

#include <fcntl.h>
#include <poll.h>
#include <random>
#include <termios.h>
#include <unistd.h>

using hvrig::bytes;
using hvrig::readFile;
using hvrig::Rig;
using hvrig::writeFile;

namespace {

QByteArray pattern(int size, int seed = 0)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + (i >> 8) * 13 + seed) & 0xFF);
    return data;
}

QString hex(std::uint8_t v)
{
    return QStringLiteral("%1h").arg(v, 2, 16, QLatin1Char('0')).toUpper().replace("H", "h");
}

const hvsim::Family *familyOf(const std::array<std::uint8_t, 3> &signature)
{
    for (const hvsim::Family &f : hvsim::families())
        if (f.signature == signature)
            return &f;
    return nullptr;
}

struct Messages : avrlink::Reporter {
    QStringList texts;
    void information(const QString &text) override { texts << text; }
};

// The link on its own, for what the window does not send yet: 256-byte pages in pieces.
struct Link {
    avrlink::LinkState state;
    Messages messages;
    explicit Link(const QString &port) { state.PortName = port; }

    bool command(std::uint8_t code, int pageSize = 0)
    {
        state.CmdBlock[0] = code;
        return avrlink::exchangeCommand(state, pageSize, messages);
    }
    // Writes the image from the stream's start in pieces of `piece` bytes, then cmdEnd.
    bool write(const QByteArray &image, int piece)
    {
        state.CmdBlock[1] = std::uint8_t(piece);
        for (qsizetype at = 0; at < image.size(); at += piece) {
            state.PageBuffer.fill(0xFF);
            std::copy_n(image.constData() + at, std::min<qsizetype>(piece, image.size() - at), state.PageBuffer.begin());
            if (!command(avrlink::cmdWritePage, piece))
                return false;
        }
        state.CmdBlock[1] = 0;
        return command(avrlink::cmdEnd);
    }
    QByteArray read(int size)
    {
        QByteArray out;
        while (out.size() < size) {
            if (!command(avrlink::cmdReadBlock))
                break;
            out.append(reinterpret_cast<const char *>(state.PageBuffer.data()), avrlink::kReadBlockSize);
        }
        command(avrlink::cmdEnd);
        return out.left(size);
    }
};

// CRC-16/CCITT-FALSE, bit by bit: polynomial 1021h, from FFFFh, no reflection.
std::uint16_t crc16(const QByteArray &data)
{
    std::uint16_t crc = 0xFFFF;
    for (char c : data) {
        crc ^= std::uint16_t(std::uint8_t(c) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

// Whether an 8-byte reply to cmdEnd identifies our board for this challenge.
bool identifies(const QByteArray &reply, const QByteArray &challenge)
{
    if (reply.size() != 8 || std::uint8_t(reply[0]) != 0x54)
        return false;
    const std::uint16_t crc = crc16("TARVANE" + challenge + reply.mid(4, 2));
    return std::uint8_t(reply[6]) == (crc & 0xFF) && std::uint8_t(reply[7]) == (crc >> 8);
}

// The pty as a host program without the link: raw bytes out, whatever comes back in.
struct RawPort {
    int fd = -1;
    explicit RawPort(const QString &port)
    {
        fd = ::open(port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    ~RawPort() { ::close(fd); }
    bool write(const QByteArray &data) { return ::write(fd, data.constData(), size_t(data.size())) == data.size(); }
    void setRate(speed_t speed)
    {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    // Reads until `count` bytes came, or nothing came for `quietMs`; more stays for the next read.
    QByteArray read(int count, int quietMs)
    {
        while (pending.size() < count) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0)
                break;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, n);
        }
        const QByteArray out = pending.left(count);
        pending.remove(0, out.size());
        return out;
    }
    QByteArray pending;
};

// Sends raw bytes as a host that stops halfway would, then closes the port.
void sendRaw(const QString &port, const QByteArray &data)
{
    const int fd = ::open(port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    QCOMPARE(::write(fd, data.constData(), size_t(data.size())), ssize_t(data.size()));
    QTest::qWait(20);  // let the acknowledgement come and go unread
    ::close(fd);
}


QByteArray le16(std::uint16_t v)
{
    return QByteArray(1, char(v & 0xFF)) + char(v >> 8);
}

// An addressed command's block: code, memory, address (3 bytes), count (0 for 256), then
// bytes 6 and 7 (zeros for a read, the CRC for a write).
QByteArray extBlock(std::uint8_t code, std::uint8_t memory, std::uint32_t address, int count)
{
    QByteArray b(8, 0);
    b[0] = char(code);
    b[1] = char(memory);
    b[2] = char(address & 0xFF);
    b[3] = char((address >> 8) & 0xFF);
    b[4] = char((address >> 16) & 0xFF);
    b[5] = char(count & 0xFF);
    return b;
}

// cmdExtWrite with its data and CRC-16 over block bytes 1 to 5 and the data.
QByteArray extWrite(std::uint8_t memory, std::uint32_t address, const QByteArray &data)
{
    QByteArray b = extBlock(0x13, memory, address, int(data.size()));
    const std::uint16_t crc = crc16(b.mid(1, 5) + data);
    b[6] = char(crc & 0xFF);
    b[7] = char(crc >> 8);
    return b + data;
}

// What the chip holds of a memory, as the model keeps it.
QByteArray memoryOf(const hvsim::Chip &chip, int memory)
{
    switch (memory) {
    case 0:
        return bytes(chip.flash);
    case 1:
        return bytes(chip.eeprom);
    case 2:
        return QByteArray(reinterpret_cast<const char *>(chip.calibration.data()), 4);
    default:
        return QByteArray(reinterpret_cast<const char *>(chip.signature.data()), 3);
    }
}

// A port held for one operation, as the program holds it with fast transfers.
struct Held {
    Messages messages;
    avrlink::LinkState state;
    avrlink::PortHold hold;
    explicit Held(const QString &port) : hold(port, true)
    {
        state.PortName = port;
        hold.take(messages);
    }
};
}  // namespace

class TestFirmware : public QObject {
    Q_OBJECT

    static void write(Rig &r, const QByteArray &image, const QString &status = "Flash programming completed.")
    {
        QVERIFY(writeFile(r.path("image.bin"), image));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        QVERIFY(r.w->btWriteFlash->isEnabled());
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), status);
    }

private slots:
    // Every device file of the catalogue: its chip in the socket, Read Chip through the
    // window, and the signature, the name and the factory fuse bytes come back; then one
    // Flash page in pieces of 128 and a fuse write through the link, which show that the
    // firmware knows the chip's page size and whether it has an extended fuse. The parts
    // this board does not serve are read and never written. One board and one window for
    // all: the adapter powers the target down after each command, so the chip is swapped
    // between commands as a user would swap it. The model judges every entry: each family
    // must be entered its own way, with every control line low as 12 V rises, and once the
    // board knows the chip it never tries another family's entry on it.
    void wholeCatalogue()
    {
        Rig r("ATmega328P");
        const auto records = loadDeviceFolder(r.path("cpu"));
        QVERIFY(records.size() >= 98);
        int pages = 0;
        QSet<QString> families;
        for (const auto &record : records) {
            const hvsim::Family *family = familyOf(record->Signature);
            QVERIFY2(family, qPrintable("no model of " + record->Name));
            QVERIFY2(family->pageBytes == record->PageSize && family->flashBytes == record->FlashSize,
                     qPrintable(record->Name));
            families << QString::fromStdString(family->name);
            const bool served = family->entry != hvsim::Entry::LowVoltage && family->entry != hvsim::Entry::Unconfirmed;
            const hvsim::Chip fresh = hvsim::freshChip(*family);
            r.sim->setChip(fresh);
            const hvsim::Stats before = r.sim->stats();
            r.w->btRead->click();
            const auto &s = record->Signature;
            QCOMPARE(r.w->leSignature->text(), hex(s[0]) + " " + hex(s[1]) + " " + hex(s[2]));
            QCOMPARE(r.w->statusText(), "Found device: " + record->Name);
            // The factory bytes as the device file gives them: its reference bits where it
            // names a bit, 1 (unprogrammed) where it names none.
            QLabel *labels[3] = {r.w->lbLowByte, r.w->lbHighByte, r.w->lbExtendedByte};
            const std::uint8_t modelled[3] = {fresh.lowFuse, fresh.highFuse, fresh.extFuse};
            for (int g = 0; g < 3; ++g) {
                std::uint8_t factory = record->Groups[g].Reference;
                for (int bit = 0; bit < 8; ++bit)
                    if (record->Groups[g].Names[bit].isEmpty())
                        factory |= std::uint8_t(1 << bit);
                QCOMPARE(labels[g]->text(), hex(modelled[g]));
                QVERIFY2(factory == modelled[g], qPrintable(record->Name + " fuse group " + QString::number(g)));
            }
            QCOMPARE(r.w->lbLockBits->text(), QString("FFh"));
            // At most one foreign entry, when the chip before was of the other kind.
            const hvsim::Stats known = r.sim->stats();
            QVERIFY2(known.refusedEntries - before.refusedEntries <= 1, qPrintable(record->Name));
            QCOMPARE(known.fallbackEntries, 0);

            Link link(r.port());
            const QByteArray image = pattern(256, int(s[2]));
            QVERIFY(link.write(image, 128));
            if (served)
                pages += 256 / family->pageBytes;
            QTRY_VERIFY2_WITH_TIMEOUT(r.sim->stats().pagesProgrammed == pages, qPrintable(record->Name), 2000);
            QVERIFY2(bytes(r.sim->chip().flash, 256) == (served ? image : QByteArray(256, char(0xFF))),
                     qPrintable(record->Name));
            const std::uint8_t ext = family->extFuse ? std::uint8_t(fresh.extFuse ^ 0x01) : 0xFE;
            link.state.CmdBlock = {avrlink::cmdWriteFuses, 0, 0, 0, std::uint8_t(fresh.lowFuse ^ 0x80),
                                   std::uint8_t(fresh.highFuse ^ 0x08), ext, 0xFF};
            QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
            const hvsim::Chip chip = r.sim->chip();
            QCOMPARE(hex(chip.lowFuse), hex(served ? fresh.lowFuse ^ 0x80 : fresh.lowFuse));
            QCOMPARE(hex(chip.highFuse), hex(served ? fresh.highFuse ^ 0x08 : fresh.highFuse));
            QVERIFY2(chip.extFuse == (family->extFuse && served ? ext : fresh.extFuse), qPrintable(record->Name));
            // The reply shows the chip as it is afterwards.
            QCOMPARE(hex(link.state.CmdBlock[4]), hex(chip.lowFuse));
            QCOMPARE(link.messages.texts, QStringList{});
            // Both later sessions entered the chip's own way at once.
            const hvsim::Stats after = r.sim->stats();
            QCOMPARE(after.refusedEntries, known.refusedEntries);
            const int own = after.ownEntries - known.ownEntries, powerUp = after.newEntries - known.newEntries;
            QVERIFY2(family->entry == hvsim::Entry::Old ? own == 2 && powerUp == 0 : own == 0 && powerUp == 2,
                     qPrintable(record->Name));
            QCOMPARE(after.linesHighAtHv, 0);
            if (family->entry == hvsim::Entry::LowVoltage) {
                // 5 V and 12 V on a 1.8..3.6 V part: what this board cannot avoid, and why it
                // refuses to write them.
                for (const auto &b : r.sim->ruleBreaks())
                    QVERIFY2(b.find("5 V on VCC") != std::string::npos
                                 || b.find("12 V on RESET of a part") != std::string::npos,
                             b.c_str());
                QVERIFY(!r.sim->ruleBreaks().empty());
                r.sim->clearRuleBreaks();
            }
            QVERIFY2(r.sim->ruleBreaks().empty(), qPrintable(record->Name + ": " + r.breaks()));
        }
        QCOMPARE(families.size(), int(records.size()));  // one model row per device file
        QCOMPARE(int(hvsim::families().size()), int(records.size()));
        // The parts the standard board must never power are named once each, as they are read.
        QStringList unserved;
        for (const auto &record : records)
            if (!record->StandardBoard)
                unserved << core::unservedText(*record);
        QCOMPARE(r.dialogs.texts("information"), unserved);
        QCOMPARE(r.breaks(), QString());
    }

    void fuseAndLockWritesReadBack_data()
    {
        QTest::addColumn<QString>("family");
        for (const char *f : {"ATmega328P", "ATmega8", "ATtiny2313", "ATtiny26", "ATmega2560"})
            QTest::newRow(f) << QString(f);
    }
    void fuseAndLockWritesReadBack()
    {
        QFETCH(QString, family);
        Rig r(family);
        const hvsim::Chip factory = r.sim->chip();
        r.w->btRead->click();
        // Flip the lowest named bit of each fuse group that the device has.
        std::uint8_t expected[3] = {factory.lowFuse, factory.highFuse, factory.extFuse};
        const char *groups[3] = {"LowByte_Bit", "HighByte_Bit", "ExtendedByte_Bit"};
        for (int g = 0; g < 3; ++g) {
            for (int bit = 0; bit < 8; ++bit) {
                QCheckBox *b = r.box(groups[g] + QString::number(bit));
                if (b->isVisibleTo(r.w.get()) && !b->text().isEmpty()) {
                    b->click();
                    expected[g] ^= std::uint8_t(1 << bit);
                    break;
                }
            }
        }
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        hvsim::Chip chip = r.sim->chip();
        QCOMPARE(hex(chip.lowFuse), hex(expected[0]));
        QCOMPARE(hex(chip.highFuse), hex(expected[1]));
        QCOMPARE(hex(chip.extFuse), hex(expected[2]));
        QCOMPARE(r.w->lbLowByte->text(), hex(expected[0]));  // as read back after the write
        QCOMPARE(r.w->lbHighByte->text(), hex(expected[1]));
        QCOMPARE(r.w->lbExtendedByte->text(), hex(expected[2]));

        r.box("LockByte_Bit1")->click();  // LB2 programmed
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteLocks->click();
        QCOMPARE(r.w->statusText(), QString("Lock Bits programming completed."));
        chip = r.sim->chip();
        QCOMPARE(chip.lock & 0x03, 0x01);
        QCOMPARE(r.w->lbLockBits->text(), hex(chip.lock));
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // One device of each family through the window: Read Chip, a fuse write read back, and
    // a few pages and an odd tail written, verified and read.
    void familyRoundTrip_data()
    {
        QTest::addColumn<QString>("family");
        for (const char *f : {"ATmega48PB", "ATmega163", "AT90CAN32", "ATmega169", "ATmega6490P", "ATmega32M1",
                              "ATmega64C1", "ATmega32U2", "ATmega32U4", "AT90USB162",
                              "AT90PWM2B", "AT90PWM81", "ATtiny88", "ATtiny167", "ATtiny828",
                              "ATtiny1634", "ATtiny43U"})
            QTest::newRow(f) << QString(f);
    }
    void familyRoundTrip()
    {
        QFETCH(QString, family);
        Rig r(family);
        const hvsim::Chip factory = r.sim->chip();
        const hvsim::Family *f = hvsim::findFamily(family.toStdString());
        r.w->btRead->click();
        QVERIFY2(r.w->statusText().startsWith("Found device: ") && deviceNameMatches(r.w->statusText().mid(14), family),
                 qPrintable(r.w->statusText()));
        QCOMPARE(r.w->lbHighByte->text(), hex(factory.highFuse));

        // The highest named bit of the low and of the high fuse, flipped.
        std::uint8_t expected[2] = {factory.lowFuse, factory.highFuse};
        const char *groups[2] = {"LowByte_Bit", "HighByte_Bit"};
        for (int g = 0; g < 2; ++g)
            for (int bit = 7; bit >= 0; --bit) {
                QCheckBox *b = r.box(groups[g] + QString::number(bit));
                if (!b->text().isEmpty()) {
                    b->click();
                    expected[g] ^= std::uint8_t(1 << bit);
                    break;
                }
            }
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        QCOMPARE(r.w->lbLowByte->text(), hex(expected[0]));
        QCOMPARE(r.w->lbHighByte->text(), hex(expected[1]));
        QCOMPARE(hex(r.sim->chip().highFuse), hex(expected[1]));

        const int size = 3 * f->pageBytes + 13;
        const QByteArray image = pattern(size, size);
        write(r, image);
        QTRY_COMPARE_WITH_TIMEOUT(r.sim->stats().pagesProgrammed, 4, 2000);
        const QByteArray expectedFlash = image + QByteArray(f->flashBytes - size, char(0xFF));
        QVERIFY(bytes(r.sim->chip().flash) == expectedFlash);
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        r.w->edWriteToFile->setText(r.path("back.bin"));
        r.w->btReadFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QVERIFY(readFile(r.path("back.bin")) == expectedFlash);
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    void chipErase()
    {
        Rig r("ATmega168", [](hvsim::Chip &c) {
            c.flash.assign(c.flash.size(), 0x00);
            c.lock = 0xFC;
        });
        r.w->btRead->click();
        QCOMPARE(r.w->lbLockBits->text(), QString("FCh"));
        r.dialogs.confirmAnswers << true << true;
        r.w->btChipErase->click();
        QCOMPARE(r.w->statusText(), QString("Device erased. Not checked for blank Flash: Fast transfers are off."));
        const hvsim::Chip chip = r.sim->chip();
        QVERIFY(std::all_of(chip.flash.begin(), chip.flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
        QCOMPARE(int(chip.lock), 0xFF);
        QCOMPARE(r.w->lbLockBits->text(), QString("FFh"));
        QCOMPARE(int(chip.lowFuse), 0x62);  // fuses survive an erase
        QCOMPARE(r.breaks(), QString());
    }

    // Programming only clears bits: what an image cannot clear shows in the verify.
    void writeWithoutEraseOnlyClearsBits()
    {
        Rig r("ATmega88", [](hvsim::Chip &c) { std::fill_n(c.flash.begin(), 64, 0x0F); });
        r.w->btRead->click();
        write(r, QByteArray(64, char(0xF5)));
        QCOMPARE(bytes(r.sim->chip().flash, 64), QByteArray(64, char(0x05)));
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying failed: 64 errors."));
        QCOMPARE(r.breaks(), QString());
    }

    void wholeFlash32K()
    {
        Rig r("ATmega328P");
        r.w->btRead->click();
        const QByteArray image = pattern(32768, 5);
        write(r, image);
        QCOMPARE(bytes(r.sim->chip().flash), image);
        QCOMPARE(r.sim->stats().pagesProgrammed, 256);
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        r.w->edWriteToFile->setText(r.path("back.bin"));
        r.w->btReadFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QCOMPARE(readFile(r.path("back.bin")), image);
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    void edgeSizes_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pages");
        QTest::newRow("empty file") << "ATmega328P" << 0 << 1;
        QTest::newRow("300 bytes, 128-byte pages") << "ATmega328P" << 300 << 3;
        QTest::newRow("1 byte") << "ATmega88" << 1 << 1;
        QTest::newRow("odd, 129 bytes, 64-byte pages") << "ATmega88" << 129 << 3;
        QTest::newRow("odd, 1001 bytes, 32-byte pages, shared pins") << "ATtiny2313" << 1001 << 32;
        QTest::newRow("odd, 333 bytes, ATmega8") << "ATmega8" << 333 << 6;
    }
    void edgeSizes()
    {
        QFETCH(QString, family);
        QFETCH(int, size);
        QFETCH(int, pages);
        Rig r(family);
        r.w->btRead->click();
        const QByteArray image = pattern(size, size);
        write(r, image);
        const hvsim::Chip chip = r.sim->chip();
        QByteArray expected = image;
        expected.append(QByteArray(qsizetype(chip.flash.size()) - size, char(0xFF)));
        QCOMPARE(bytes(chip.flash), expected);
        QCOMPARE(r.sim->stats().pagesProgrammed, pages);
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        QCOMPARE(r.breaks(), QString());
    }

    // The target is powered down after every chip command, so chips can be swapped between
    // commands; each is identified afresh. The board first enters the way of the chip it
    // identified last: a chip of the other kind sees that entry once, does not answer, and
    // is then entered its own way.
    void chipSwap()
    {
        Rig r("ATmega328P");
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATmega328P"));
        QCOMPARE(r.sim->stats().refusedEntries, 0);
        r.sim->setChip(hvrig::fresh("ATmega8"));
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATmega8/8A"));
        QCOMPARE(r.sim->stats().ownEntries, 1);
        QCOMPARE(r.sim->stats().refusedEntries, 1);
        r.w->btRead->click();  // known now: its own entry at once
        QCOMPARE(r.sim->stats().ownEntries, 2);
        QCOMPARE(r.sim->stats().refusedEntries, 1);
        r.sim->setChip(hvrig::fresh("ATtiny2313"));
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATtiny2313/2313A"));
        QCOMPARE(r.sim->stats().ownEntries, 2);
        QCOMPARE(r.sim->stats().refusedEntries, 2);
        QCOMPARE(r.sim->stats().fallbackEntries, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // The stream address lives across port opens and returns to 0 at cmdEnd; a page write
    // of 0 bytes is acknowledged once; unknown codes are answered like Read Chip.
    void protocolCorners()
    {
        const QByteArray flash = pattern(8192, 4);
        Rig r("ATmega88", [&flash](hvsim::Chip &c) { std::copy(flash.begin(), flash.end(), c.flash.begin()); });
        Link link(r.port());
        for (int i = 0; i < 3; ++i) {
            QVERIFY(link.command(avrlink::cmdReadWord));
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(link.state.PageBuffer.data()), 2), flash.mid(2 * i, 2));
        }
        QVERIFY(link.command(avrlink::cmdEnd));
        QVERIFY(link.command(avrlink::cmdReadWord));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(link.state.PageBuffer.data()), 2), flash.left(2));
        QVERIFY(link.command(avrlink::cmdEnd));

        link.state.CmdBlock[1] = 0;
        QVERIFY(link.command(avrlink::cmdWritePage, 0));
        QVERIFY(link.command(avrlink::cmdEnd));
        QCOMPARE(bytes(r.sim->chip().flash), flash);  // nothing programmed

        link.state.CmdBlock = {0x09, 0, 0, 0, 0, 0, 0, 0};
        QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
        QCOMPARE(int(link.state.CmdBlock[1]), 0x1E);
        QCOMPARE(int(link.state.CmdBlock[2]), 0x93);
        QCOMPARE(int(link.state.CmdBlock[3]), 0x0A);
        QCOMPARE(link.messages.texts, QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // A host that stops in the middle of a stream and then writes again from the start.
    void hostGivesUpMidStream()
    {
        Rig r("ATmega328P");
        r.w->btRead->click();
        const QByteArray first = pattern(1024, 1);
        QByteArray second = first;
        for (char &c : second)
            c = char(c & 0x5A);  // only clears bits, so it may go over the first without an erase

        // Three whole pages, and no cmdEnd: after a while without commands the adapter
        // closes the stream and powers the chip down.
        Link link(r.port());
        link.state.CmdBlock[1] = 128;
        for (int page = 0; page < 3; ++page) {
            std::copy_n(first.constData() + page * 128, 128, link.state.PageBuffer.begin());
            QVERIFY(link.command(avrlink::cmdWritePage, 128));
        }
        QTest::qWait(900);
        write(r, second);
        QCOMPARE(bytes(r.sim->chip().flash, 1024), second);

        // A page whose data stops halfway: dropped, and the next write starts afresh.
        sendRaw(r.port(), QByteArray("\x05\x80\0\0\0\0\0\0", 8) + QByteArray(50, char(0x00)));
        QTest::qWait(100);
        write(r, second);
        QCOMPARE(bytes(r.sim->chip().flash, 1024), second);
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));

        // A block cut short is dropped too; the next whole block is answered.
        sendRaw(r.port(), QByteArray("\x01\0\0", 3));
        QTest::qWait(100);
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATmega328P"));
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // Physical pages of 256 bytes, written by the window in pieces of 128 at the stream
    // address, land in Flash as whole pages would, and verify and read back through the
    // window. Verify costs a command per word and Read FLASH reads the whole chip, so the
    // sizes are chosen for the test's time: the ATmega2560's 129 KB image crosses the 64 KB
    // and the 128 KB boundary (the extended address byte) and is read back past 128 KB
    // through the link only.
    void widePagesThroughWindow_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("windowReadBack");
        QTest::newRow("ATmega644P") << "ATmega644P" << 4096 + 300 << true;
        QTest::newRow("ATmega1284P") << "ATmega1284P" << 4096 + 1 << true;
        QTest::newRow("ATmega2560, past 128 KB") << "ATmega2560" << 128 * 1024 + 1024 + 2 << false;
    }
    void widePagesThroughWindow()
    {
        QFETCH(QString, family);
        QFETCH(int, size);
        QFETCH(bool, windowReadBack);
        Rig r(family);
        r.w->btRead->click();
        QCOMPARE(r.w->lbPageSize->text(), QString("256"));
        const QByteArray image = pattern(size, 9);
        write(r, image);
        // The last page is programmed after the reply to cmdEnd.
        QTRY_COMPARE_WITH_TIMEOUT(r.sim->stats().pagesProgrammed, (size + 255) / 256, 2000);
        const hvsim::Chip chip = r.sim->chip();
        const QByteArray expected = image + QByteArray(qsizetype(chip.flash.size()) - size, char(0xFF));
        QVERIFY(bytes(chip.flash) == expected);
        if (windowReadBack) {
            r.w->btVerifyFlash->click();
            QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
            r.w->edWriteToFile->setText(r.path("back.bin"));
            r.w->btReadFlash->click();
            QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
            QVERIFY(readFile(r.path("back.bin")) == expected);
        } else {
            Link link(r.port());
            const int tail = 4096;  // reading goes from address 0; compare what lies past 124 KB
            QVERIFY(link.read(size).right(tail) == image.right(tail));
            QCOMPARE(link.messages.texts, QStringList{});
        }
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        QCOMPARE(r.breaks(), QString());
    }
    // Parts this board must not program: the 1.8..3.6 V RFA1/RFR2 (5 V and 12 V would damage
    // them) and the battery-management parts whose entry no datasheet at hand confirms. They
    // are read, and every write is refused with the chip's unchanged state as the reply, so
    // the window's read-back reports it.
    void notServedPartsAreNeverWritten_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("name");
        QTest::newRow("ATmega128RFA1") << "ATmega128RFA1" << "ATmega128RFA1";
        QTest::newRow("ATmega2564RFR2") << "ATmega2564RFR2" << "ATmega2564RFR2";
        QTest::newRow("ATmega64RFR2") << "ATmega64RFR2" << "ATmega64RFR2";
        QTest::newRow("ATmega406") << "ATmega406" << "ATmega406";
        QTest::newRow("ATmega16HVB") << "ATmega16HVB" << "ATmega16HVB";
        QTest::newRow("ATmega32HVB") << "ATmega32HVB" << "ATmega32HVB";
    }
    void notServedPartsAreNeverWritten()
    {
        QFETCH(QString, family);
        QFETCH(QString, name);
        const QByteArray flash = pattern(4096, 3);
        Rig r(family, [&flash](hvsim::Chip &c) { std::copy(flash.begin(), flash.end(), c.flash.begin()); });
        const hvsim::Chip before = r.sim->chip();
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), "Found device: " + name);
        for (int bit = 0; bit < 8; ++bit) {  // the lowest named bit of the low fuse, flipped
            if (!r.box("LowByte_Bit" + QString::number(bit))->text().isEmpty()) {
                r.box("LowByte_Bit" + QString::number(bit))->click();
                break;
            }
        }
        // The window refuses every write to such a part before anything is sent ...
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        // ... and so does the board when a host sends them all the same (the original program
        // would): the reply is the chip as it is.
        Link link(r.port());
        QVERIFY(link.command(avrlink::cmdReadChip));
        for (std::uint8_t code : {avrlink::cmdWriteFuses, avrlink::cmdWriteLocks, avrlink::cmdChipErase}) {
            link.state.CmdBlock[0] = code;
            link.state.CmdBlock[4] = std::uint8_t(before.lowFuse ^ 0x01);
            link.state.CmdBlock[7] = 0xFC;
            QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
            QCOMPARE(int(link.state.CmdBlock[4]), int(before.lowFuse));
            QCOMPARE(int(link.state.CmdBlock[7]), int(before.lock));
        }
        QVERIFY(link.write(QByteArray(512, char(0x00)), 128));
        QTest::qWait(100);
        const hvsim::Chip after = r.sim->chip();
        QCOMPARE(hex(after.lowFuse), hex(before.lowFuse));
        QCOMPARE(hex(after.highFuse), hex(before.highFuse));
        QCOMPARE(hex(after.lock), hex(before.lock));
        QVERIFY(bytes(after.flash, 4096) == flash);
        QCOMPARE(r.sim->stats().pagesProgrammed, 0);
        r.sim->clearRuleBreaks();  // the RFA1/RFR2's supply breaks: wholeCatalogue checks them
    }

    // A chip whose signature is not in the table: read, never written.
    void unknownChipIsNeverWritten()
    {
        const QByteArray flash = pattern(32768, 8);
        Rig r("ATmega328P", [&flash](hvsim::Chip &c) {
            c.signature = {0x1E, 0x95, 0x77};
            std::copy(flash.begin(), flash.end(), c.flash.begin());
        });
        const hvsim::Chip before = r.sim->chip();
        r.w->btRead->click();
        QCOMPARE(r.w->leSignature->text(), QString("1Eh 95h 77h"));
        Link link(r.port());
        for (std::uint8_t code : {avrlink::cmdWriteFuses, avrlink::cmdWriteLocks, avrlink::cmdChipErase}) {
            link.state.CmdBlock = {code, 0, 0, 0, 0x00, 0x00, 0x00, 0x00};
            QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
            // The reply is the chip as it is: unchanged.
            QCOMPARE(int(link.state.CmdBlock[4]), int(before.lowFuse));
            QCOMPARE(int(link.state.CmdBlock[7]), int(before.lock));
        }
        QVERIFY(link.write(QByteArray(256, char(0x00)), 128));
        QTest::qWait(100);
        const hvsim::Chip after = r.sim->chip();
        QCOMPARE(hex(after.lowFuse), hex(before.lowFuse));
        QCOMPARE(hex(after.highFuse), hex(before.highFuse));
        QCOMPARE(hex(after.extFuse), hex(before.extFuse));
        QCOMPARE(hex(after.lock), hex(before.lock));
        QVERIFY(bytes(after.flash) == flash);
        QCOMPARE(r.breaks(), QString());
    }

    // Every control line low from before VCC until after 12 V: on these parts WR is one of
    // the Prog_enable pins, and a WR held high keeps them out of programming mode.
    void controlLinesLowAsTwelveVoltsRise_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("name");
        QTest::newRow("ATtiny2313") << "ATtiny2313" << "ATtiny2313/2313A";
        QTest::newRow("ATtiny4313") << "ATtiny4313" << "ATtiny4313";
        QTest::newRow("ATtiny87") << "ATtiny87" << "ATtiny87";
        QTest::newRow("ATtiny167") << "ATtiny167" << "ATtiny167";
        QTest::newRow("ATmega328P") << "ATmega328P" << "ATmega328P";
        QTest::newRow("ATmega8") << "ATmega8" << "ATmega8/8A";
    }
    void controlLinesLowAsTwelveVoltsRise()
    {
        QFETCH(QString, family);
        QFETCH(QString, name);
        Rig r(family);
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), "Found device: " + name);
        QCOMPARE(r.sim->stats().linesHighAtHv, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // The parts whose datasheets (one edition or the other) ask for six XTAL1 pulses before
    // Prog_enable and 12 V, and the power-up window: a board fresh from start-up enters them
    // at once, the first time.
    void xtalPulsesInTheWindow_data()
    {
        QTest::addColumn<QString>("family");
        for (const char *f : {"ATmega640", "ATmega2560", "ATmega164A", "ATmega644P", "ATmega1284P", "ATmega8U2",
                              "ATmega32U4", "ATtiny261", "ATtiny861", "ATtiny43U", "ATtiny87", "ATtiny2313"})
            QTest::newRow(f) << QString(f);
    }
    void xtalPulsesInTheWindow()
    {
        QFETCH(QString, family);
        Rig r(family);
        r.w->btRead->click();
        QVERIFY2(deviceNameMatches(r.w->statusText().mid(14), family), qPrintable(r.w->statusText()));
        const hvsim::Stats s = r.sim->stats();
        QCOMPARE(s.newEntries, 1);
        QCOMPARE(s.refusedEntries, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // The older parts: their own entry (VCC, 100 us, XTAL1 pulses, 12 V) once the board knows
    // them, never the power-up window's 12 V after 40 us as if it were theirs, and the
    // alternative of VCC and 12 V together never while their own entry answers.
    void olderPartsEnterTheirOwnWay_data()
    {
        QTest::addColumn<QString>("family");
        for (const char *f : {"ATmega8", "ATmega16", "ATmega32", "ATmega64", "ATmega128", "ATmega8515", "ATmega8535",
                              "ATmega162", "ATmega163", "AT90CAN128", "ATmega169", "ATtiny26"})
            QTest::newRow(f) << QString(f);
    }
    void olderPartsEnterTheirOwnWay()
    {
        QFETCH(QString, family);
        Rig r(family);
        r.w->btRead->click();
        QVERIFY2(deviceNameMatches(r.w->statusText().mid(14), family), qPrintable(r.w->statusText()));
        QCOMPARE(r.sim->stats().ownEntries, 1);
        QCOMPARE(r.sim->stats().refusedEntries, 1);  // the power-up way first: the board knew no chip
        r.w->btRead->click();
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        const hvsim::Stats s = r.sim->stats();
        QCOMPARE(s.ownEntries, 4);  // Read Chip, Write Fuses and its Read Chip
        QCOMPARE(s.refusedEntries, 1);
        QCOMPARE(s.newEntries, 0);
        QCOMPARE(s.fallbackEntries, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // An ATmega8 whose clock fuses select a crystal takes no XTAL1 pulses: only then does the
    // board use the datasheet's alternative (VCC and 12 V together), in which the fuses can
    // be set back.
    void olderPartsAlternativeOnlyWhenTheirOwnFails()
    {
        Rig r("ATmega8", [](hvsim::Chip &c) {
            c.xtalStopped = true;
            c.lowFuse = 0xEF;  // CKSEL 1111: an external crystal
        });
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATmega8/8A"));
        hvsim::Stats s = r.sim->stats();
        QCOMPARE(s.fallbackEntries, 1);
        QCOMPARE(s.refusedEntries, 2);  // the power-up way, then its own: no pulses reach it
        QCOMPARE(s.ownEntries, 0);
        Link link(r.port());
        link.state.CmdBlock = {avrlink::cmdWriteFuses, 0x1E, 0x93, 0x07, 0xE0, 0xD9, 0xFF, 0xFF};
        QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
        QCOMPARE(hex(r.sim->chip().lowFuse), hex(0xE0));  // external clock: repaired
        hvsim::Chip chip = r.sim->chip();
        chip.xtalStopped = false;  // the external clock now takes XTAL1
        r.sim->setChip(chip);
        r.w->btRead->click();
        s = r.sim->stats();
        QCOMPARE(s.ownEntries, 1);
        QCOMPARE(s.fallbackEntries, 2);
        QCOMPARE(r.breaks(), QString());
    }

    // The 20-pin parts where the sources at hand disagree on whether BS2 and PAGEL have pins
    // of their own or share XA1 and BS1: the board's waveform serves either wiring, Flash and
    // every fuse byte land where they belong, and each word is latched once.
    void eitherWiringOfSharedPins_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("wiring");
        for (const char *f : {"ATtiny1634", "AT90PWM81", "AT90PWM161", "ATtiny4313", "ATtiny167"}) {
            QTest::addRow("%s, own lines", f) << QString(f) << int(hvsim::Wiring::OwnLines);
            QTest::addRow("%s, shared pins", f) << QString(f) << int(hvsim::Wiring::SharedPins);
        }
    }
    void eitherWiringOfSharedPins()
    {
        QFETCH(QString, family);
        QFETCH(int, wiring);
        Rig r(family, [wiring](hvsim::Chip &c) { c.wiring = hvsim::Wiring(wiring); });
        const hvsim::Family *f = hvsim::findFamily(family.toStdString());
        const hvsim::Chip factory = r.sim->chip();
        r.w->btRead->click();
        Link link(r.port());
        link.state.CmdBlock = {avrlink::cmdWriteFuses, 0, 0, 0, std::uint8_t(factory.lowFuse ^ 0x01),
                               std::uint8_t(factory.highFuse ^ 0x40), std::uint8_t(factory.extFuse ^ 0x01), 0xFF};
        QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
        const QByteArray image = pattern(2 * f->pageBytes, 11);
        QVERIFY(link.write(image, f->pageBytes));
        QTRY_COMPARE_WITH_TIMEOUT(r.sim->stats().pagesProgrammed, 2, 2000);
        const hvsim::Chip chip = r.sim->chip();
        QCOMPARE(hex(chip.lowFuse), hex(factory.lowFuse ^ 0x01));
        QCOMPARE(hex(chip.highFuse), hex(factory.highFuse ^ 0x40));
        QCOMPARE(hex(chip.extFuse), hex(factory.extFuse ^ 0x01));
        QVERIFY(bytes(chip.flash, std::size_t(image.size())) == image);
        QCOMPARE(r.sim->stats().wordsLatched, f->pageBytes);  // two pages of pageBytes / 2 words
        QCOMPARE(r.breaks(), QString());
    }

    // The timing limits of the newer tables: tXLXH 300 ns, tPHPL 200 ns, reads 500 ns after
    // OE or BS1 (DS40002070A) or 350 ns (PB parts), a chip erase 12 ms or 10.5 ms; and every
    // timed wait starts Timer2 from a reset prescaler.
    void newerTimingTables_data()
    {
        QTest::addColumn<QString>("family");
        for (const char *f : {"ATmega644", "ATmega1284P", "ATmega324A", "ATmega168PB", "ATmega48PB"})
            QTest::newRow(f) << QString(f);
    }
    void newerTimingTables()
    {
        QFETCH(QString, family);
        Rig r(family);
        r.w->btRead->click();
        Link link(r.port());
        const QByteArray image = pattern(1024, 2);
        QVERIFY(link.write(image, 128));
        QVERIFY(link.read(1024) == image);
        link.state.CmdBlock = {avrlink::cmdChipErase, 0, 0, 0, 0, 0, 0, 0};
        QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
        QVERIFY(link.read(256) == QByteArray(256, char(0xFF)));  // the next command waits out the erase
        const hvsim::Stats s = r.sim->stats();
        QVERIFY(s.timer2Starts > 0);
        QCOMPARE(s.timer2StartsUnreset, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // Timer2's prescaler runs between waits: each timed wait resets it (GTCCR PSRASY) as it
    // starts the timer, else the wait could end up to one 4 us step short.
    void timedWaitsResetThePrescaler()
    {
        Rig r("ATmega328P");
        r.w->btRead->click();
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        const hvsim::Stats s = r.sim->stats();
        QVERIFY(s.timer2Starts >= 8);  // entries, three fuse writes, power-downs
        QCOMPARE(s.timer2StartsUnreset, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // The reply to cmdEnd identifies the board: 'T', the last signature read, version 01,
    // the capabilities (the self-test only, so far) and the answer to a fresh challenge. An
    // adapter that echoes the block fails, and so does an answer to another challenge.
    void identificationReply_data()
    {
        QTest::addColumn<QByteArray>("challenge");
        QTest::newRow("zeros") << QByteArray(4, 0);
        QTest::newRow("ones") << QByteArray(4, char(0xFF));
        QTest::newRow("mixed") << QByteArray("\x12\x34\xAB\xCD", 4);
        QTest::newRow("T-like") << QByteArray("TARV", 4);
    }
    void identificationReply()
    {
        QFETCH(QByteArray, challenge);
        QCOMPARE(crc16("123456789"), std::uint16_t(0x29B1));
        Rig r("ATmega328P");
        Link link(r.port());
        auto probe = [&link](const QByteArray &k) {
            link.state.CmdBlock = {avrlink::cmdEnd, 0, 0x5A, 0xA5};
            std::copy(k.begin(), k.end(), link.state.CmdBlock.begin() + 4);
            const QByteArray sent(reinterpret_cast<const char *>(link.state.CmdBlock.data()), 8);
            if (!link.command(avrlink::cmdEnd))
                return std::pair{QByteArray(), sent};
            return std::pair{QByteArray(reinterpret_cast<const char *>(link.state.CmdBlock.data()), 8), sent};
        };
        const auto [fresh, sent] = probe(challenge);
        QCOMPARE(fresh.left(6).toHex(' '), QByteArray("54 00 00 00 01 1f"));
        QVERIFY(identifies(fresh, challenge));
        QVERIFY(!identifies(sent, challenge));  // an echo of the block
        QVERIFY(!identifies(fresh, QByteArray("\x01\x02\x03\x04", 4)));
        QVERIFY(link.command(avrlink::cmdReadChip));
        const QByteArray known = probe(challenge).first;
        QCOMPARE(known.left(6).toHex(' '), QByteArray("54 1e 95 0f 01 1f"));
        QVERIFY(identifies(known, challenge));
        QCOMPARE(link.messages.texts, QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // Noise on the line (a bootloader's greeting, a modem manager's probe) forms blocks at
    // random. It may program Flash bits (a page write carries nothing to check), but it never
    // erases, never changes a fuse or the lock byte, and the board finds its way back.
    void noiseNeverErasesNorChangesFuses_data()
    {
        QTest::addColumn<int>("seed");
        for (int seed : {1, 2, 3, 4, 5, 6, 7, 8})
            QTest::addRow("seed %d", seed) << seed;
    }
    void noiseNeverErasesNorChangesFuses()
    {
        QFETCH(int, seed);
        const QByteArray flash = pattern(32768, seed);
        Rig r("ATmega328P", [&flash](hvsim::Chip &c) {
            std::copy(flash.begin(), flash.end(), c.flash.begin());
            c.lowFuse = 0xE2;
            c.lock = 0xFE;
        });
        const hvsim::Chip before = r.sim->chip();
        std::mt19937 random{std::uint32_t(seed)};
        QByteArray noise(1000, 0);
        for (char &c : noise)
            c = char(random() & 0xFF);
        RawPort port(r.port());
        QVERIFY(port.write(noise));
        port.read(1 << 20, 300);
        // Back in step: a cmdEnd is answered with eight bytes once any page data that the
        // noise announced has timed out.
        bool synced = false;
        for (int i = 0; i < 40 && !synced; ++i) {
            QTest::qWait(60);
            QVERIFY(port.write(QByteArray(8, 0)));
            synced = port.read(8, 200).size() == 8;
        }
        QVERIFY(synced);
        const hvsim::Chip after = r.sim->chip();
        QCOMPARE(hex(after.lowFuse), hex(before.lowFuse));
        QCOMPARE(hex(after.highFuse), hex(before.highFuse));
        QCOMPARE(hex(after.extFuse), hex(before.extFuse));
        QCOMPARE(hex(after.lock), hex(before.lock));
        for (std::size_t i = 0; i < after.flash.size(); ++i)  // programming only clears bits
            QVERIFY2((after.flash[i] & ~before.flash[i]) == 0, qPrintable(QString("Flash byte %1").arg(i)));
        QCOMPARE(r.breaks(), QString());
    }

    // Every sequence of the plain protocol that writes still writes, with the bytes it
    // carries over: a device chosen by hand right after start-up (02 00 00 00), after a Read
    // Chip, a Chip Erase right after a Flash write (carrying the cmdEnd's reply), a Chip Erase
    // after a cancelled lock write, and a fuse write after a Flash read and a verify.
    void plainSequencesStillWrite()
    {
        Rig r("ATmega328P", [](hvsim::Chip &c) { std::fill_n(c.flash.begin(), 4096, 0x00); });
        auto blockOf = [&r](const char *code) {
            for (const auto &line : r.sim->log())
                if (line.rfind(std::string("block ") + code, 0) == 0)
                    return QString::fromStdString(line);
            return QString();
        };
        // Chosen by hand at start-up: the block carries zeros, then the panel's bytes.
        r.choose("ATmega328P");
        for (int bit : {1, 5, 6, 7})
            r.box("LowByte_Bit" + QString::number(bit))->click();  // E2h: 62h with CKDIV8 unprogrammed
        for (int bit : {0, 3, 4, 6, 7})
            r.box("HighByte_Bit" + QString::number(bit))->click();  // D9h
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QVERIFY2(blockOf("02").startsWith("block 02 00 00 00 E2 D9 00"), qPrintable(blockOf("02")));
        QCOMPARE(hex(r.sim->chip().lowFuse), hex(0xE2));
        QCOMPARE(hex(r.sim->chip().extFuse), hex(0x00));
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));

        // After a Read Chip: the signature just read.
        r.sim->clearLog();
        r.w->btRead->click();
        r.box("LockByte_Bit0")->click();
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteLocks->click();
        QVERIFY2(blockOf("03").startsWith("block 03 1E 95 0F"), qPrintable(blockOf("03")));
        QCOMPARE(hex(r.sim->chip().lock), hex(0xFE));

        // A Flash write, then a Chip Erase: its block carries the cmdEnd's reply.
        r.sim->clearLog();
        write(r, QByteArray(300, char(0x11)));
        r.dialogs.confirmAnswers << true << true;
        r.w->btChipErase->click();
        QVERIFY2(blockOf("04").startsWith("block 04 1E 95 0F 01 1F"), qPrintable(blockOf("04")));
        QCOMPARE(r.w->statusText(), QString("Device erased. Not checked for blank Flash: Fast transfers are off."));
        QVERIFY(bytes(r.sim->chip().flash, 4096) == QByteArray(4096, char(0xFF)));
        QCOMPARE(hex(r.sim->chip().lock), hex(0xFF));

        // A lock write cancelled, then a Chip Erase.
        write(r, QByteArray(64, char(0x22)));
        r.w->btRead->click();
        r.box("LockByte_Bit1")->click();
        r.dialogs.confirmAnswers.enqueue(false);
        r.w->btWriteLocks->click();
        r.sim->clearLog();
        r.dialogs.confirmAnswers << true << true;
        r.w->btChipErase->click();
        QVERIFY2(blockOf("04").startsWith("block 04 1E 95 0F"), qPrintable(blockOf("04")));
        QVERIFY(bytes(r.sim->chip().flash, 64) == QByteArray(64, char(0xFF)));

        // After a Flash read and a verify.
        r.w->edWriteToFile->setText(r.path("back.bin"));
        r.w->btReadFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QVERIFY(writeFile(r.path("image.bin"), QByteArray(16, char(0xFF))));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        r.box("HighByte_Bit6")->click();  // EESAVE
        r.dialogs.confirmAnswers.enqueue(true);
        r.w->btWriteFuses->click();
        QCOMPARE(r.w->statusText(), QString("Fuses programming completed."));
        QCOMPARE(hex(r.sim->chip().highFuse), hex(0xD9 ^ 0x40));
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // The board's self-test, with the socket empty as for its first power-up: the
    // identification reply, then each line driven once, its name sent as it goes, both
    // supplies off at the end and "END".
    void boardTestDrivesEachLineOnce()
    {
        hvsim::Options options;
        options.chip = hvsim::emptySocket();
        hvsim::Simulator sim(options);
        std::string error;
        QVERIFY2(sim.start(&error), error.c_str());
        RawPort port(QString::fromStdString(sim.devicePath()));
        QTest::qWait(100);  // the firmware's start-up: bytes before its UART is on are lost
        QVERIFY(port.write(QByteArray("\x14\0\0\0\0\0\0\0", 8)));
        const QByteArray reply = port.read(8, 500);
        QVERIFY2(identifies(reply, QByteArray(4, 0)), reply.toHex(' ').constData());
        QByteArray text;
        while (!text.endsWith("END\n")) {
            const QByteArray more = port.read(1, 1500);
            if (more.isEmpty())
                break;
            text += more;
        }
        QStringList expected;
        for (int i = 0; i < hvsim::kLineCount; ++i)
            expected << hvsim::lineName(i);
        expected << "END";
        QCOMPARE(QString::fromLatin1(text).split('\n', Qt::SkipEmptyParts), expected);
        const hvsim::Stats s = sim.stats();
        for (int i = 0; i < hvsim::kLineCount; ++i)
            QVERIFY2(s.lineRises[std::size_t(i)] == 1, hvsim::lineName(i));
        QVERIFY(!s.vccOn && !s.hvOn);
    }

    // Any byte from the host ends the self-test at once, supplies off, and starts the next block.
    void boardTestEndsAtTheNextBlock()
    {
        hvsim::Options options;
        options.chip = hvsim::emptySocket();
        hvsim::Simulator sim(options);
        std::string error;
        QVERIFY2(sim.start(&error), error.c_str());
        RawPort port(QString::fromStdString(sim.devicePath()));
        QTest::qWait(100);  // the firmware's start-up: bytes before its UART is on are lost
        QVERIFY(port.write(QByteArray("\x14\0\0\0\0\0\0\0", 8)));
        QCOMPARE(port.read(8 + 4 + 4, 1500).mid(8), QByteArray("VCC\n12V\n"));
        QVERIFY(sim.stats().vccOn);
        QVERIFY(port.write(QByteArray("\x01\0\0\0\0\0\0\0", 8)));  // Read Chip
        const QByteArray rest = port.read(8, 1500);
        QCOMPARE(rest.size(), 8);
        QCOMPARE(int(rest[0]), 1);  // answered as a Read Chip: no more line names
        QTest::qWait(50);
        const hvsim::Stats s = sim.stats();
        QVERIFY(!s.vccOn && !s.hvOn);
        QCOMPARE(s.lineRises[hvsim::kVcc], 1 + 3);  // the test's, then the Read Chip's three tries
        QCOMPARE(port.read(1, 1200), QByteArray());
    }

    // cmdExtRead of each memory: the bytes as the chip holds them, then the CRC-16 over block
    // bytes 1 to 5 and the data; the link's extRead takes the same bytes.
    void extReadEachMemory_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("memory");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("count");
        QTest::newRow("328P Flash") << "ATmega328P" << 0 << 0x1F1 << 33;
        QTest::newRow("328P EEPROM, its end") << "ATmega328P" << 1 << 0x3F0 << 16;
        QTest::newRow("328P calibration") << "ATmega328P" << 2 << 0 << 1;
        QTest::newRow("328P signature") << "ATmega328P" << 3 << 0 << 3;
        QTest::newRow("ATmega8 calibration") << "ATmega8" << 2 << 0 << 4;
        QTest::newRow("ATtiny2313 calibration") << "ATtiny2313" << 2 << 1 << 1;
        QTest::newRow("2560 Flash above 64 K words") << "ATmega2560" << 0 << 0x3FF00 << 256;
        QTest::newRow("2560 EEPROM") << "ATmega2560" << 1 << 0xF00 << 256;
    }
    void extReadEachMemory()
    {
        QFETCH(QString, family);
        QFETCH(int, memory);
        QFETCH(int, address);
        QFETCH(int, count);
        Rig r(family, [](hvsim::Chip &c) {
            const QByteArray f = pattern(int(c.flash.size()), 3), e = pattern(int(c.eeprom.size()), 5);
            std::copy(f.begin(), f.end(), c.flash.begin());
            std::copy(e.begin(), e.end(), c.eeprom.begin());
        });
        const QByteArray expected = memoryOf(r.sim->chip(), memory).mid(address, count);
        RawPort port(r.port());
        const QByteArray block = extBlock(0x12, std::uint8_t(memory), std::uint32_t(address), count);
        QVERIFY(port.write(block));
        const QByteArray reply = port.read(count + 2, 500);
        QCOMPARE(reply.left(count).toHex(' '), expected.toHex(' '));
        QCOMPARE(reply.mid(count).toHex(' '), le16(crc16(block.mid(1, 5) + expected)).toHex(' '));
        QVERIFY(port.write(QByteArray(8, 0)));  // cmdEnd
        QCOMPARE(port.read(8, 500).size(), 8);
        Messages m;
        QByteArray viaLink(count, 0);
        QCOMPARE(avrlink::extRead(r.port(), std::uint8_t(memory), std::uint32_t(address), count,
                                  reinterpret_cast<std::uint8_t *>(viaLink.data()), m),
                 avrlink::ExtStatus::Ok);
        QCOMPARE(viaLink, expected);
        QCOMPARE(r.breaks(), QString());
    }

    // What the board refuses: a read gets N bytes of FFh and a CRC that does not match them; a
    // write gets 'R' (or 'E' for a wrong CRC) and nothing is written.
    void extRefusals_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("count");  // read: bytes that come before the CRC; write: -1
        QTest::addColumn<char>("status");
        const QByteArray page(128, char(0x42));
        QTest::newRow("read past the EEPROM") << "ATmega328P" << extBlock(0x12, 1, 0x3F8, 16) << 16 << '-';
        QTest::newRow("read a calibration byte it lacks") << "ATmega328P" << extBlock(0x12, 2, 1, 1) << 1 << '-';
        QTest::newRow("read memory 4") << "ATmega328P" << extBlock(0x12, 4, 0, 4) << 4 << '-';
        QTest::newRow("read past the Flash") << "ATmega328P" << extBlock(0x12, 0, 0x7F80, 0) << 256 << '-';
        QTest::newRow("read from an empty socket") << "" << extBlock(0x12, 3, 0, 3) << 3 << '-';
        QTest::newRow("Flash page not at its start") << "ATmega328P" << extWrite(0, 0x40, page) << -1 << 'R';
        QTest::newRow("Flash, half a page") << "ATmega328P" << extWrite(0, 0x80, page.left(64)) << -1 << 'R';
        QTest::newRow("Flash past its end") << "ATmega328P" << extWrite(0, 0x8000, page) << -1 << 'R';
        QTest::newRow("calibration bytes") << "ATmega328P" << extWrite(2, 0, page.left(1)) << -1 << 'R';
        QTest::newRow("signature") << "ATmega328P" << extWrite(3, 0, page.left(3)) << -1 << 'R';
        QTest::newRow("EEPROM past its end") << "ATmega328P" << extWrite(1, 0x3FC, page.left(8)) << -1 << 'R';
        QTest::newRow("a part not served") << "ATmega16HVB" << extWrite(1, 0, page.left(8)) << -1 << 'R';
        QByteArray wrong = extWrite(1, 0, page.left(8));
        wrong[6] = char(wrong[6] ^ 1);
        QTest::newRow("EEPROM, CRC wrong") << "ATmega328P" << wrong << -1 << 'E';
        QByteArray changed = extWrite(0, 0, page);
        changed[100] = char(0x43);
        QTest::newRow("Flash, data changed") << "ATmega328P" << changed << -1 << 'E';
    }
    void extRefusals()
    {
        QFETCH(QString, family);
        QFETCH(QByteArray, command);
        QFETCH(int, count);
        QFETCH(char, status);
        Rig r(family.isEmpty() ? "ATmega328P" : family);
        if (family.isEmpty())
            r.sim->setChip(hvsim::emptySocket());
        const hvsim::Chip before = r.sim->chip();
        RawPort port(r.port());
        QVERIFY(port.write(command));
        if (count >= 0) {
            const QByteArray reply = port.read(count + 2, 500);
            QCOMPARE(reply.left(count), QByteArray(count, char(0xFF)));
            const std::uint16_t good = crc16(command.mid(1, 5) + QByteArray(count, char(0xFF)));
            QCOMPARE(reply.size(), count + 2);
            QVERIFY(reply.mid(count) != le16(good));
        } else {
            QCOMPARE(port.read(2, 500), QByteArray(1, status));
        }
        QVERIFY(port.write(QByteArray(8, 0)));
        QCOMPARE(port.read(8, 500).size(), 8);
        QTest::qWait(30);
        QVERIFY(r.sim->chip().flash == before.flash);
        QVERIFY(r.sim->chip().eeprom == before.eeprom);
        QCOMPARE(r.sim->stats().pagesProgrammed + r.sim->stats().eepromWrites, 0);
        QCOMPARE(r.breaks(), QString());
    }

    // Flash pages by cmdExtWrite: the next page's block and data may come while a page
    // programs; they wait in the receive ring, each gets its 'K', and the command after the
    // last is answered once it is programmed. The model sees no command while the chip is busy.
    void extWriteFlashPipelined()
    {
        Rig r("ATmega328P");
        const QByteArray image = pattern(128 * 6, 9);
        RawPort port(r.port());
        QByteArray all;
        for (int p = 0; p < 3; ++p)  // three pages in one go: 408 bytes, the ring holds them
            all += extWrite(0, std::uint32_t(p * 128), image.mid(p * 128, 128));
        QVERIFY(port.write(all));
        QCOMPARE(port.read(3, 1000), QByteArray("KKK"));
        for (int p = 3; p < 6; ++p) {  // and as the link sends them: the next after each 'K'
            Messages m;
            QCOMPARE(avrlink::extWrite(r.port(), 0, std::uint32_t(p * 128), 128,
                                       reinterpret_cast<const std::uint8_t *>(image.constData() + p * 128), m),
                     avrlink::ExtStatus::Ok);
        }
        QVERIFY(port.write(QByteArray(8, 0)));
        QCOMPARE(port.read(8, 500).size(), 8);
        QCOMPARE(bytes(r.sim->chip().flash, image.size()), image);
        QCOMPARE(r.sim->stats().pagesProgrammed, 6);
        QCOMPARE(r.breaks(), QString());
    }

    // The fast line made by both sides: cmdExtLine's reply at 115200, then both at 1,000,000
    // baud; 256-byte pages written and read back there; back to 115200 at the end.
    void fastLineBothSides()
    {
        Rig r("ATmega2560");
        Held h(r.port());
        QVERIFY(avrlink::identifyBoard(h.state, h.messages).ours);
        QCOMPARE(r.sim->stats().boardBaud, 117647);
        QCOMPARE(avrlink::switchLine(h.state, avrlink::kFastBaud, h.messages), avrlink::kFastBaud);
        QCOMPARE(r.sim->stats().boardBaud, 1000000);
        QCOMPARE(r.sim->stats().hostBaud, 1000000);
        const QByteArray image = pattern(256 * 8, 4);
        for (int p = 0; p < 8; ++p) {
            const std::uint32_t at = 0x3F800 + std::uint32_t(p * 256);  // the extended address byte
            QCOMPARE(avrlink::extWrite(r.port(), 0, at, 256,
                                       reinterpret_cast<const std::uint8_t *>(image.constData() + p * 256), h.messages),
                     avrlink::ExtStatus::Ok);
        }
        QByteArray back(image.size(), 0);
        for (int p = 0; p < 8; ++p)
            QCOMPARE(avrlink::extRead(r.port(), 0, 0x3F800 + std::uint32_t(p * 256), 256,
                                      reinterpret_cast<std::uint8_t *>(back.data() + p * 256), h.messages),
                     avrlink::ExtStatus::Ok);
        QCOMPARE(back, image);
        QCOMPARE(bytes(r.sim->chip().flash).mid(0x3F800, image.size()), image);
        QCOMPARE(avrlink::switchLine(h.state, avrlink::kPlainBaud, h.messages), avrlink::kPlainBaud);
        QCOMPARE(r.sim->stats().boardBaud, 117647);
        QCOMPARE(r.sim->stats().rxOverruns, 0);
        QCOMPARE(h.messages.texts, QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // A switch the host does not make: the board's rate and the host's differ, a cmdExtPing
    // comes out as something else and its answer does not identify; after 500 ms without a
    // byte the board is back at 115200 and answers.
    void fastLineNotMadeByTheHost()
    {
        Rig r("ATmega328P");
        RawPort port(r.port());
        const QByteArray key("\x21\x43\x65\x87", 4);
        QVERIFY(port.write(QByteArray("\x10\x01\0\0", 4) + key));
        QVERIFY(identifies(port.read(8, 500), key));
        QTest::qWait(20);
        QCOMPARE(r.sim->stats().boardBaud, 1000000);
        QVERIFY(port.write(QByteArray("\x11\0\0\0", 4) + key));
        QVERIFY(!identifies(port.read(8, 300), key));
        QTest::qWait(700);
        port.read(1 << 16, 50);
        QCOMPARE(r.sim->stats().boardBaud, 117647);
        QVERIFY(port.write(QByteArray("\x11\0\0\0", 4) + key));
        QVERIFY(identifies(port.read(8, 500), key));
        QCOMPARE(r.breaks(), QString());
    }

    // A bridge that cannot carry 1,000,000 baud (it takes 921,600): the ping at the new rate is
    // not understood, both sides go back to 115200, and the operation goes on there.
    void fastLineOverABridgeThatCannot()
    {
        hvsim::Options options;
        options.chip = hvrig::fresh("ATmega328P");
        options.bridgeMaxBaud = 921600;
        hvsim::Simulator sim(options);
        std::string error;
        QVERIFY2(sim.start(&error), error.c_str());
        const QString port = QString::fromStdString(sim.devicePath());
        QTest::qWait(100);
        Held h(port);
        QVERIFY(avrlink::identifyBoard(h.state, h.messages).ours);
        QCOMPARE(avrlink::switchLine(h.state, avrlink::kFastBaud, h.messages), avrlink::kPlainBaud);
        QCOMPARE(sim.stats().boardBaud, 117647);
        std::uint8_t sig[3] = {};
        QCOMPARE(avrlink::extRead(port, 3, 0, 3, sig, h.messages), avrlink::ExtStatus::Ok);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(sig), 3).toHex(), QByteArray("1e950f"));
        QVERIFY(sim.ruleBreaks().empty());
    }

    // EEPROM written in pieces that start and end inside pages, verified and read back
    // byte-identical, on parts with EEPROM pages of 4 and 8 bytes (BS1/PAGEL on one pin, or
    // apart) and on the ATmega163, which writes byte by byte. Bytes outside the range keep
    // what they held.
    void eepromRoundTrip_data()
    {
        QTest::addColumn<QString>("family");
        QTest::newRow("ATmega328P, pages of 4") << "ATmega328P";
        QTest::newRow("ATtiny2313, PAGEL on BS1") << "ATtiny2313";
        QTest::newRow("ATmega2560, pages of 8") << "ATmega2560";
        QTest::newRow("ATmega163, byte by byte") << "ATmega163";
    }
    void eepromRoundTrip()
    {
        QFETCH(QString, family);
        Rig r(family, [](hvsim::Chip &c) { std::fill(c.eeprom.begin(), c.eeprom.end(), 0x5A); });
        const int size = int(r.sim->chip().eeprom.size());
        const int from = 3, to = std::min(size, 1024) - 2;
        const QByteArray data = pattern(to - from, 7);
        Held h(r.port());
        for (int at = from; at < to; at += 100) {
            const int n = std::min(100, to - at);
            QCOMPARE(avrlink::extWrite(r.port(), 1, std::uint32_t(at), n,
                                       reinterpret_cast<const std::uint8_t *>(data.constData() + at - from), h.messages),
                     avrlink::ExtStatus::Ok);
        }
        QByteArray back(size, 0);
        for (int at = 0; at < size; at += 256)
            QCOMPARE(avrlink::extRead(r.port(), 1, std::uint32_t(at), std::min(256, size - at),
                                      reinterpret_cast<std::uint8_t *>(back.data() + at), h.messages),
                     avrlink::ExtStatus::Ok);
        QByteArray expected(size, char(0x5A));
        expected.replace(from, data.size(), data);
        QCOMPARE(back.toHex(), expected.toHex());
        QCOMPARE(bytes(r.sim->chip().eeprom), expected);
        QCOMPARE(h.messages.texts, QStringList{});
        QCOMPARE(r.breaks(), QString());
    }

    // A Chip Erase through the plain protocol keeps the EEPROM while EESAVE is programmed and
    // clears it otherwise.
    void eesaveAcrossErase_data()
    {
        QTest::addColumn<int>("high");
        QTest::addColumn<bool>("kept");
        QTest::newRow("EESAVE programmed") << 0xD1 << true;
        QTest::newRow("EESAVE not programmed") << 0xD9 << false;
    }
    void eesaveAcrossErase()
    {
        QFETCH(int, high);
        QFETCH(bool, kept);
        Rig r("ATmega328P", [high](hvsim::Chip &c) {
            c.highFuse = std::uint8_t(high);
            std::fill(c.eeprom.begin(), c.eeprom.end(), 0x77);
            std::fill(c.flash.begin(), c.flash.end(), 0x00);
        });
        Link link(r.port());
        QVERIFY(link.command(avrlink::cmdChipErase));  // 04 00 00 00: a host fresh from start-up
        QVERIFY(bytes(r.sim->chip().flash, 256) == QByteArray(256, char(0xFF)));
        QCOMPARE(bytes(r.sim->chip().eeprom), QByteArray(1024, kept ? char(0x77) : char(0xFF)));
        QCOMPARE(r.breaks(), QString());
    }

    // A stray 02h, 03h or 04h shortly before a host's cmdEnd (00 00 00 00 and a challenge)
    // would make a write block that passes the noise guard; with more than 10 ms between them
    // the stray byte is dropped, and the cmdEnd is answered as one.
    void strayByteBeforeABlock_data()
    {
        QTest::addColumn<char>("stray");
        QTest::newRow("02") << '\x02';
        QTest::newRow("03") << '\x03';
        QTest::newRow("04") << '\x04';
    }
    void strayByteBeforeABlock()
    {
        QFETCH(char, stray);
        Rig r("ATmega328P", [](hvsim::Chip &c) { std::fill_n(c.flash.begin(), 256, 0x00); });
        const hvsim::Chip before = r.sim->chip();
        RawPort port(r.port());
        QVERIFY(port.write(QByteArray(1, stray)));
        QTest::qWait(25);  // well past 10 ms, well inside the 50 ms of before
        const QByteArray key("\x00\x00\x00\x00", 4);
        QVERIFY(port.write(QByteArray(4, 0) + key));
        QVERIFY(identifies(port.read(8, 500), key));
        QTest::qWait(30);
        const hvsim::Chip after = r.sim->chip();
        QVERIFY(after.flash == before.flash);
        QCOMPARE(hex(after.lowFuse), hex(before.lowFuse));
        QCOMPARE(hex(after.highFuse), hex(before.highFuse));
        QCOMPARE(hex(after.lock), hex(before.lock));
        QCOMPARE(r.breaks(), QString());
    }

    // A long burst at the line's rate is taken whole: 3000 bytes of cmdEnd blocks, each
    // answered, and the simulated UART drops none of them.
    void longBurstTakenWhole()
    {
        Rig r("ATmega328P");
        RawPort port(r.port());
        QTest::qWait(100);
        QVERIFY(port.write(QByteArray(3000, 0)));
        const QByteArray replies = port.read(3000, 1000);
        QCOMPARE(replies.size(), 3000);
        QCOMPARE(r.sim->stats().rxOverruns, 0);
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
