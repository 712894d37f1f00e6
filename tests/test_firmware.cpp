// The adapter firmware end to end: the unchanged window and link against the firmware
// running in simulation (hvsim) with a modelled chip in the socket. Every test also
// asks the chip model whether a datasheet rule was broken.
#include "chiplist.h"
#include "exchange.h"
#include "hvrig.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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
    void readChipEveryFamily_data()
    {
        QTest::addColumn<QString>("family");
        for (const hvsim::Family &f : hvsim::families())
            QTest::newRow(f.name.c_str()) << QString::fromStdString(f.name);
    }
    void readChipEveryFamily()
    {
        QFETCH(QString, family);
        Rig r(family, [](hvsim::Chip &c) { c.lock = 0xFC; });
        const hvsim::Chip chip = r.sim->chip();
        QVERIFY(r.w->btRead->isEnabled());
        r.w->btRead->click();
        QCOMPARE(r.w->leSignature->text(),
                 hex(chip.signature[0]) + " " + hex(chip.signature[1]) + " " + hex(chip.signature[2]));
        // Parts that share a signature share a catalogue entry ("ATmega8/8A").
        const QString found = r.w->statusText();
        QVERIFY2(found.startsWith("Found device: ") && deviceNameMatches(found.mid(14), family), qPrintable(found));
        QCOMPARE(r.w->lbLowByte->text(), hex(chip.lowFuse));
        QCOMPARE(r.w->lbHighByte->text(), hex(chip.highFuse));
        QCOMPARE(r.w->lbExtendedByte->text(), hex(chip.extFuse));
        QCOMPARE(r.w->lbLockBits->text(), hex(0xFC));
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
        // The older parts are entered their own way once the signature says what they are.
        const hvsim::Stats stats = r.sim->stats();
        QCOMPARE(stats.ownEntries, hvsim::findFamily(family.toStdString())->ownEntry ? 1 : 0);
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

    // Physical pages of 256 bytes written in pieces of 128 at the stream address land in
    // Flash as whole pages would; beyond 128 KB the load-address step takes an extended byte.
    void widePages_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("size");
        QTest::newRow("ATmega644P") << "ATmega644P" << 4096 + 300;
        QTest::newRow("ATmega1284P") << "ATmega1284P" << 4096;
        QTest::newRow("ATmega2560, past 128 KB") << "ATmega2560" << 128 * 1024 + 1024;
    }
    void widePages()
    {
        QFETCH(QString, family);
        QFETCH(int, size);
        Rig r(family);
        Link link(r.port());
        QVERIFY(link.command(avrlink::cmdReadChip));
        const QByteArray image = pattern(size, 9);
        QVERIFY(link.write(image, 128));
        QTest::qWait(50);
        const hvsim::Chip chip = r.sim->chip();
        QByteArray expected = image + QByteArray(qsizetype(chip.flash.size()) - size, char(0xFF));
        QVERIFY(bytes(chip.flash) == expected);
        QCOMPARE(r.sim->stats().pagesProgrammed, (size + 255) / 256);
        const int tail = 4096;  // read back the last part only: reading goes from address 0
        QVERIFY(link.read(size).right(tail) == image.right(tail));
        QCOMPARE(link.messages.texts, QStringList{});
        QCOMPARE(r.breaks(), QString());
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
