// SPDX-License-Identifier: GPL-3.0-or-later
// The adapter firmware end to end: the unchanged window and link against the firmware
// running in simulation (hvsim) with a modelled chip in the socket. Every test also
// asks the chip model whether a datasheet rule was broken.
#include "chiplist.h"
#include "exchange.h"
#include "hvrig.h"
#include "loader.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>

#include <fcntl.h>
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

}  // namespace

class TestFirmware : public QObject {
    Q_OBJECT

    static void write(Rig &r, const QByteArray &image)
    {
        QVERIFY(writeFile(r.path("image.bin"), image));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        QVERIFY(r.w->btWriteFlash->isEnabled());
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
    }

private slots:
    // Every device file of the catalogue: its chip in the socket, Read Chip through the
    // window, and the signature, the name and the factory fuse bytes come back; then one
    // Flash page in pieces of 128 and a fuse write through the link, which show that the
    // firmware knows the chip's page size and whether it has an extended fuse (a chip the
    // firmware does not know still reads, but gets 128-byte pages and an extended fuse).
    // One board and one window for all: the adapter powers the target down after each
    // command, so the chip is swapped between commands as a user would swap it.
    void wholeCatalogue()
    {
        Rig r("ATmega328P");
        const auto records = loadDeviceFolder(r.path("cpu"));
        QVERIFY(records.size() >= 98);
        int ownEntries = 0, pages = 0;
        QSet<QString> families;
        for (const auto &record : records) {
            const hvsim::Family *family = familyOf(record->Signature);
            QVERIFY2(family, qPrintable("no model of " + record->Name));
            QVERIFY2(family->pageBytes == record->PageSize && family->flashBytes == record->FlashSize,
                     qPrintable(record->Name));
            families << QString::fromStdString(family->name);
            const hvsim::Chip fresh = hvsim::freshChip(*family);
            r.sim->setChip(fresh);
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
            if (family->ownEntry)
                ++ownEntries;
            // The older parts are entered their own way once the signature says what they are.
            QVERIFY2(r.sim->stats().ownEntries == ownEntries, qPrintable(record->Name));

            Link link(r.port());
            const QByteArray image = pattern(256, int(s[2]));
            QVERIFY(link.write(image, 128));
            pages += 256 / family->pageBytes;
            QTRY_VERIFY2_WITH_TIMEOUT(r.sim->stats().pagesProgrammed == pages, qPrintable(record->Name), 2000);
            QVERIFY2(bytes(r.sim->chip().flash, 256) == image, qPrintable(record->Name));
            const std::uint8_t ext = family->extFuse ? std::uint8_t(fresh.extFuse ^ 0x01) : 0xFE;
            link.state.CmdBlock = {avrlink::cmdWriteFuses, 0, 0, 0, std::uint8_t(fresh.lowFuse ^ 0x80),
                                   std::uint8_t(fresh.highFuse ^ 0x08), ext, 0xFF};
            QVERIFY(avrlink::exchangeCommand(link.state, 0, link.messages));
            const hvsim::Chip chip = r.sim->chip();
            QCOMPARE(hex(chip.lowFuse), hex(fresh.lowFuse ^ 0x80));
            QCOMPARE(hex(chip.highFuse), hex(fresh.highFuse ^ 0x08));
            QVERIFY2(chip.extFuse == (family->extFuse ? ext : 0xFF), qPrintable(record->Name));
            QCOMPARE(link.messages.texts, QStringList{});
            QVERIFY2(r.sim->ruleBreaks().empty(), qPrintable(record->Name + ": " + r.breaks()));
            QCOMPARE(r.sim->stats().ownEntries, ownEntries + (family->ownEntry ? 2 : 0));
            ownEntries = r.sim->stats().ownEntries;
        }
        QCOMPARE(families.size(), int(records.size()));  // one model row per device file
        QCOMPARE(int(hvsim::families().size()), int(records.size()));
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
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
                              "ATmega64C1", "ATmega406", "ATmega16HVB", "ATmega32U2", "ATmega32U4", "AT90USB162",
                              "AT90PWM2B", "AT90PWM81", "ATmega64RFR2", "ATtiny88", "ATtiny167", "ATtiny828",
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
        QCOMPARE(r.w->statusText(), QString("Device erased."));
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
    // commands; each is identified afresh and entered its own way.
    void chipSwap()
    {
        Rig r("ATmega328P");
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATmega328P"));
        r.sim->setChip(hvrig::fresh("ATmega8"));
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATmega8/8A"));
        QCOMPARE(r.sim->stats().ownEntries, 1);
        r.sim->setChip(hvrig::fresh("ATtiny2313"));
        r.w->btRead->click();
        QCOMPARE(r.w->statusText(), QString("Found device: ATtiny2313/2313A"));
        QCOMPARE(r.sim->stats().ownEntries, 1);
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
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
