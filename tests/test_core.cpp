// SPDX-License-Identifier: GPL-3.0-or-later
// The operations without a window: against the simulated adapter, told to a recorder.
#include "adaptersim.h"
#include "chiplist.h"
#include "chipops.h"
#include "devices.h"
#include "flashops.h"
#include "loader.h"
#include "recordingfaces.h"
#include "corebench.h"

#include <QBuffer>
#include <QFileInfo>
#include <atomic>
#include "porthold.h"
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using core::ChipBytes;
using rig::Bench;
using rig::Catalogue;

namespace {

// A chip whose Flash differs from byte to byte, so that a stream that restarts at the wrong
// address shows in the data.
adaptersim::Chip patternedChip()
{
    adaptersim::Chip chip;
    for (std::size_t i = 0; i < chip.flash.size(); ++i)
        chip.flash[i] = std::uint8_t(i * 13 + i / 256);
    return chip;
}

// The blocks of a verify or read whose reply at Flash offset lost went missing once: the
// stream up to the lost command, cmdEnd with the stream's bytes, the stream again from Flash
// byte 0 up to that offset (blocks of 128, then words), the lost command again, the rest,
// the closing cmdEnd and the closing Read Chip.
QStringList recoveredStream(int code, int commands, int lost, const QString &rest, const QString &closing)
{
    const int size = code == avrlink::cmdReadWord ? avrlink::kReadWordSize : avrlink::kReadBlockSize;
    const QString command = QStringLiteral("block %1 ").arg(code, 2, 10, QLatin1Char('0')) + rest;
    QStringList out;
    for (int n = 0; n <= lost / size; ++n)
        out << command;
    out << "block 00 " + rest;
    for (int at = 0; at < lost;) {
        const bool whole = lost - at >= avrlink::kReadBlockSize;
        out << (whole ? "block 06 " : "block 07 ") + rest;
        at += whole ? avrlink::kReadBlockSize : avrlink::kReadWordSize;
    }
    for (int n = lost / size; n < commands; ++n)
        out << command;
    out << closing << "block 01 00 00 00 00 00 00 00";
    return out;
}

TDevice withLockNames()
{
    TDevice d;
    d.Name = "Boot";
    d.FlashSize = 8192;
    d.Groups[grLock].Names = {"LB1", "LB2", "BLB01", "BLB02", "", "", "", ""};
    d.Groups[grLock].Reference = 0xFF;
    return d;
}

}  // namespace

class TestCore : public QObject {
    Q_OBJECT

private slots:
    void readChipIdentifies()
    {
        Bench b;
        const core::ChipRead read = b.readChip();
        QVERIFY(read.complete);
        QVERIFY(read.identified);
        QCOMPARE(read.device->Name, QString("TestMega8"));
        QCOMPARE(core::signatureText(read.reply), QString("1Eh 93h 07h"));
        QCOMPARE(read.bytes(), (ChipBytes{0xE1, 0xD9, 0xFF, 0xFF}));
        QVERIFY(b.user.calls.isEmpty());
    }

    void shortReplyIsAFailure_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("none") << 0;
        QTest::newRow("4 of 8") << 4;
        QTest::newRow("7 of 8") << 7;
    }
    void shortReplyIsAFailure()
    {
        QFETCH(int, count);
        Bench b;
        auto o = b.sim.options();
        o.shortCode = 1;
        o.shortCount = count;
        b.sim.setOptions(o);
        core::Faces f = b.user.faces();
        QVERIFY(!core::readChip(b.session, f));
        QCOMPARE(b.user.texts("information"), QStringList{"No answer from programmer on " + b.PortName + " port."});
        QCOMPARE(b.user.calls.size(), 1);
    }

    void declinedWritesSendNothing_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("block");
        QTest::newRow("fuses") << "fuses" << "Fuses programming is canceled." << "02 00 00 00 F1 D1 FF 00";
        QTest::newRow("locks") << "locks" << "Lock Bits programming is canceled." << "03 00 00 00 00 00 00 FC";
        QTest::newRow("erase") << "erase" << "Device erasing is canceled." << "04 00 00 00 00 00 00 00";
    }
    void declinedWritesSendNothing()
    {
        QFETCH(QString, operation);
        QFETCH(QString, status);
        QFETCH(QString, block);
        Bench b;
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        core::Faces f = b.user.faces();
        core::Result result;
        if (operation == "fuses")
            result = core::writeFuses(b.session, f, mega8, 0xF1, 0xD1, 0xFF, std::nullopt, b.closing());
        else if (operation == "locks")
            result = core::writeLocks(b.session, f, mega8, 0xFC, std::nullopt, b.closing());
        else
            result = core::chipErase(b.session, f, mega8, b.closing());
        QCOMPARE(result, core::Result::Cancelled);
        QCOMPARE(b.user.lastStatus(), status);
        QCOMPARE(b.user.texts("confirm").size(), 1);
        QVERIFY(b.sim.log().empty());
        QCOMPARE(b.closingReads, 0);
        QCOMPARE(rig::hexBytes(b.CmdBlock.data(), 8), block);  // filled before the question
    }

    void writeReadsBack()
    {
        Bench b;
        b.readChip();
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        core::Faces f = b.user.faces();
        b.user.answers << true;
        const auto result =
            core::writeFuses(b.session, f, mega8, 0xE1, 0x99, 0xFF, ChipBytes{0xE1, 0xD9, 0xFF, 0xFF}, b.closing());
        QCOMPARE(result, core::Result::Done);
        QCOMPARE(b.closingReads, 1);
        QCOMPARE(b.blocks().mid(1), QStringList({"block 02 1E 93 07 E1 99 FF FF", "block 01 00 00 00 00 00 00 00"}));
        QCOMPARE(b.user.lastStatus(), QString("Fuses programming completed."));
        const auto confirm = b.user.calls.first();
        QCOMPARE(confirm.text, QString("Are you sure want to write Fuses ?"));
        QCOMPARE(confirm.details, QString("Changes against the last Read Chip:\n"
                                          "High Byte D9h -> 99h: WDTON programmed.\n"
                                          "Warning: WDTON programmed: the watchdog is always on and cannot be stopped."));
    }

    void describeWrite_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("locks");    // the lock byte, else the three fuse bytes
        QTest::addColumn<QString>("before");  // empty: no chip read under this device
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("text");
        const QString noRead = "No chip has been read since the device was chosen: every bit is written as shown.\n";
        const QString changes = "Changes against the last Read Chip:\n";
        const QString clock = " away from the factory value: the chip needs a different clock in its circuit.";
        QTest::newRow("no read, factory values") << "TestMega8" << false << "" << "E1 D9 FF"
                                                 << noRead + "Low Byte E1h, High Byte D9h, Extended Byte FFh.";
        QTest::newRow("no read, all programmed")
            << "TestMega8" << false << "" << "00 00 FF"
            << noRead + "Low Byte 00h, High Byte 00h, Extended Byte FFh.\n"
                        "Warning: RSTDISBL programmed: the reset pin becomes an I/O pin, serial programming stops, "
                        "and only high-voltage programming recovers the chip.\n"
                        "Warning: WDTON programmed: the watchdog is always on and cannot be stopped.\n"
                        "Warning: CKSEL0, SUT1" + clock;
        QTest::newRow("no change") << "TestMega8" << false << "E1 D9 FF" << "E1 D9 FF"
                                   << "No bit changes against the last Read Chip.";
        QTest::newRow("an unnamed bit only") << "TestMega8" << true << "FF" << "7F"
                                             << "No bit changes against the last Read Chip.";
        QTest::newRow("SPIEN") << "TestMega8" << false << "E1 D9 FF" << "E1 F9 FF"
                               << changes + "High Byte D9h -> F9h: SPIEN unprogrammed.\n"
                                            "Warning: SPIEN unprogrammed: serial programming stops; only "
                                            "high-voltage programming enables it again.";
        QTest::newRow("RSTDISBL") << "TestMega8" << false << "E1 D9 FF" << "E1 59 FF"
                                  << changes + "High Byte D9h -> 59h: RSTDISBL programmed.\n"
                                               "Warning: RSTDISBL programmed: the reset pin becomes an I/O pin, "
                                               "serial programming stops, and only high-voltage programming "
                                               "recovers the chip.";
        QTest::newRow("clock away") << "TestMega8" << false << "E1 D9 FF" << "E4 D9 FF"
                                    << changes + "Low Byte E1h -> E4h: CKSEL2 unprogrammed, CKSEL0 programmed.\n"
                                                 "Warning: CKSEL0, CKSEL2" + clock;
        QTest::newRow("start-up time away") << "TestMega8" << false << "E1 D9 FF" << "F1 D9 FF"
                                            << changes + "Low Byte E1h -> F1h: SUT0 unprogrammed.\n"
                                                         "Warning: SUT0" + clock;
        QTest::newRow("clock back to factory") << "TestMega8" << false << "E4 D9 FF" << "E1 D9 FF"
                                               << changes + "Low Byte E4h -> E1h: CKSEL2 programmed, CKSEL0 unprogrammed.";
        QTest::newRow("WDTON unprogrammed again") << "TestMega8" << false << "E1 99 FF" << "E1 D9 FF"
                                                  << changes + "High Byte 99h -> D9h: WDTON unprogrammed.";
        QTest::newRow("DWEN") << "TestBig" << false << "FF FF FF" << "FF BF FF"
                              << changes + "High Byte FFh -> BFh: DWEN programmed.\n"
                                           "Warning: DWEN programmed: debugWIRE takes the reset pin and serial "
                                           "programming stops.";
        QTest::newRow("lock bits") << "TestMega8" << true << "FF" << "FC"
                                   << changes + "Lock Bits FFh -> FCh: LB2 programmed, LB1 programmed.\n"
                                                "Warning: LB1, LB2 programmed: Flash can no longer be read or "
                                                "verified until a Chip Erase.";
        QTest::newRow("boot lock bit") << "Boot" << true << "FF" << "FB"
                                       << changes + "Lock Bits FFh -> FBh: BLB01 programmed.\n"
                                                    "Warning: BLB01 programmed: only a Chip Erase unprograms it again.";
        QTest::newRow("no read, lock programmed")
            << "TestMega8" << true << "" << "FE"
            << noRead + "Lock Bits FEh.\nWarning: LB1 programmed: Flash can no longer be read or verified until a "
                        "Chip Erase.";
    }
    void describeWrite()
    {
        QFETCH(QString, device);
        QFETCH(bool, locks);
        QFETCH(QString, before);
        QFETCH(QString, sent);
        QFETCH(QString, text);
        Catalogue catalogue;
        const TDevice boot = withLockNames();
        const TDevice &d = device == "Boot" ? boot : catalogue.named(device);
        const auto bytes = [locks](const QString &hex) {
            const QByteArray b = QByteArray::fromHex(hex.toLatin1());
            return locks ? ChipBytes{0xFF, 0xFF, 0xFF, std::uint8_t(b[0])}
                         : ChipBytes{std::uint8_t(b[0]), std::uint8_t(b[1]), std::uint8_t(b[2]), 0xFF};
        };
        const std::vector<int> groups = locks ? std::vector<int>{grLock} : std::vector<int>{grLow, grHigh, grExtended};
        const std::optional<ChipBytes> was = before.isEmpty() ? std::nullopt : std::optional<ChipBytes>(bytes(before));
        QCOMPARE(core::describeWrite(d, groups, bytes(sent), was), text);
    }

    void readBackDifference_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("read");
        QTest::addColumn<QString>("difference");
        QTest::newRow("equal") << "E1 99 FF FC" << "E1 99 FF FC" << "";
        QTest::newRow("unnamed bits differ") << "E1 99 00 3C" << "E1 99 FF FC" << "";
        QTest::newRow("high") << "E1 99 FF FF" << "E1 D9 FF FF" << "High Byte reads D9h, sent 99h";
        QTest::newRow("low and lock") << "E1 D9 FF FC" << "E0 D9 FF FD"
                                      << "Low Byte reads E0h, sent E1h; Lock Bits reads FDh, sent FCh";
    }
    void readBackDifference()
    {
        QFETCH(QString, sent);
        QFETCH(QString, read);
        QFETCH(QString, difference);
        Catalogue catalogue;
        const auto bytes = [](const QString &hex) {
            const QByteArray b = QByteArray::fromHex(hex.toLatin1());
            return ChipBytes{std::uint8_t(b[0]), std::uint8_t(b[1]), std::uint8_t(b[2]), std::uint8_t(b[3])};
        };
        QCOMPARE(core::readBackDifference(catalogue.named("TestMega8"), {grLow, grHigh, grExtended, grLock},
                                          bytes(sent), bytes(read)),
                 difference);
    }

    void writeImageInPieces()
    {
        // An image in memory, a device with 256-byte pages: pieces of 128, the page filled up.
        Bench b;
        b.readChip();
        const TDevice &page256 = b.catalogue.named("Page256");
        QByteArray data(300, 0);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7);
        QBuffer image(&data);
        QVERIFY(image.open(QIODevice::ReadOnly));
        core::Faces f = b.user.faces();
        b.sim.clearLog();
        QCOMPARE(core::writeFlashImage(b.session, f, page256, image), core::Result::Done);
        QCOMPARE(b.blocks().size(), 5);
        QCOMPARE(b.blocks().first(), QString("block 05 80 93 07 E1 D9 FF FF"));
        QCOMPARE(b.user.texts("start"), QStringList{"428/128"});
        QCOMPARE(b.user.steps, 4);
        QCOMPARE(b.user.texts("status"), QStringList({"Programming Flash...", "Flash programming completed."}));
        const auto flash = b.sim.chip().flash;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), 300), data);
        QVERIFY(!image.isOpen());

        // and back, word by word, closed by a Read Chip
        QVERIFY(image.open(QIODevice::ReadOnly));
        const core::VerifyResult verified = core::verifyFlashImage(b.session, f, page256, image, b.closing());
        QCOMPARE(verified.result, core::Result::Done);
        QCOMPARE(verified.errors, 0);
        QCOMPARE(b.closingReads, 1);
    }

    // --- A lost reply on the verify and read streams ------------------------------------

    void lostReplyRecovered_data()
    {
        QTest::addColumn<int>("code");     // cmdReadWord (verify) or cmdReadBlock (read)
        QTest::addColumn<int>("lost");     // Flash offset of the reply that goes wrong
        QTest::addColumn<int>("before");   // bytes of it that come in time
        QTest::addColumn<int>("holdMs");   // -1: the rest is dropped; else it comes this late
        // The verify compares 300 bytes (150 words), the read takes 7 blocks (Flash1000).
        QTest::newRow("verify, start, dropped") << 7 << 0 << 0 << -1;
        QTest::newRow("verify, middle, dropped") << 7 << 150 << 0 << -1;
        QTest::newRow("verify, end, dropped") << 7 << 298 << 0 << -1;
        QTest::newRow("verify, middle, one byte of two") << 7 << 150 << 1 << -1;
        QTest::newRow("verify, middle, late") << 7 << 150 << 0 << 300;  // over the word's 30 ms
        QTest::newRow("read, start, dropped") << 6 << 0 << 0 << -1;
        QTest::newRow("read, middle, dropped") << 6 << 384 << 0 << -1;
        QTest::newRow("read, end, dropped") << 6 << 768 << 0 << -1;
        QTest::newRow("read, middle, cut short") << 6 << 384 << 100 << -1;
        QTest::newRow("read, middle, late") << 6 << 384 << 0 << 1600;  // over the block's 1290 ms
    }
    void lostReplyRecovered()
    {
        QFETCH(int, code);
        QFETCH(int, lost);
        QFETCH(int, before);
        QFETCH(int, holdMs);
        Bench b;
        const adaptersim::Chip chip = patternedChip();
        b.sim.setChip(chip);
        b.readChip();
        QTemporaryDir dir;
        const QByteArray flash(reinterpret_cast<const char *>(chip.flash.data()), qsizetype(chip.flash.size()));
        const QString image = dir.filePath("image.bin");
        QVERIFY(rig::writeFile(image, flash.left(300)));
        QVERIFY(rig::writeFile(dir.filePath("dump.bin"), "old contents"));
        auto o = b.sim.options();
        o.fault.code = code;
        o.fault.address = lost;
        o.fault.before = before;
        o.fault.holdUs = holdMs < 0 ? -1 : holdMs * 1000;
        b.sim.setOptions(o);
        b.sim.clearLog();
        core::Faces f = b.user.faces();

        int retries = 0;
        QString status;
        QString closing;
        int commands = 0;
        if (code == avrlink::cmdReadWord) {
            const core::VerifyResult v = core::verifyFlash(b.session, f, b.catalogue.named("TestMega8"), image, b.closing());
            QCOMPARE(v.result, core::Result::Done);
            QCOMPARE(v.errors, 0);
            retries = v.retries;
            status = "Flash verifying completed. No errors.";
            closing = "block 00 00 93 07 E1 D9 FF FF";
            commands = 150;
        } else {
            const core::ReadResult r =
                core::readFlash(b.session, f, b.catalogue.named("Flash1000"), dir.filePath("dump.bin"), b.closing());
            QCOMPARE(r.result, core::Result::Done);
            QCOMPARE(rig::readFile(dir.filePath("dump.bin")), flash.left(896));
            retries = r.retries;
            status = "Flash reading completed.";
            closing = "block 00 1E 93 07 E1 D9 FF FF";
            commands = 7;
        }
        QVERIFY(b.user.texts("information").isEmpty());  // recovered: no box
        QCOMPARE(b.closingReads, 1);
        // The count the status names is the count of re-streams on the wire.
        const QStringList wire = b.blocks();
        const int restreams = int(wire.filter(QRegularExpression("^block 00 ")).size()) - 1;
        QVERIFY(retries >= 1);
        QCOMPARE(retries, restreams);
        QCOMPARE(b.user.lastStatus(), status + QStringLiteral(" Retries: %1.").arg(retries));
        // A machine under load may miss a 30 ms window of its own; the data and the count must
        // hold then too, but the wire is no longer the one below.
        if (retries != 1) {
            qWarning("%d retries: a further reply was lost to the machine's load", retries);
            return;
        }
        QCOMPARE(wire, recoveredStream(code, commands, lost, "1E 93 07 E1 D9 FF FF", closing));
    }

    void lostReplyGivesUp_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("lost");
        QTest::newRow("verify, start") << 7 << 0;
        QTest::newRow("verify, middle") << 7 << 150;
        QTest::newRow("read, middle") << 6 << 384;
    }
    void lostReplyGivesUp()
    {
        // Three replies lost at one address: the third failure ends the transfer as a link
        // failure does, told once, the stream closed, no Read Chip.
        QFETCH(int, code);
        QFETCH(int, lost);
        Bench b;
        b.sim.setChip(patternedChip());
        b.readChip();
        QTemporaryDir dir;
        const QString image = dir.filePath("image.bin");
        QVERIFY(rig::writeFile(image, QByteArray(300, char(0xFF))));
        QVERIFY(rig::writeFile(dir.filePath("dump.bin"), "old contents"));
        auto o = b.sim.options();
        o.fault.code = code;
        o.fault.address = lost;
        o.fault.times = 3;
        b.sim.setOptions(o);
        b.sim.clearLog();
        core::Faces f = b.user.faces();
        core::Result result;
        int retries = 0;
        if (code == avrlink::cmdReadWord) {
            const core::VerifyResult v = core::verifyFlash(b.session, f, b.catalogue.named("TestMega8"), image, b.closing());
            result = v.result;
            retries = v.retries;
        } else {
            const core::ReadResult r =
                core::readFlash(b.session, f, b.catalogue.named("Flash1000"), dir.filePath("dump.bin"), b.closing());
            result = r.result;
            retries = r.retries;
            QCOMPARE(rig::readFile(dir.filePath("dump.bin")), QByteArray("old contents"));
        }
        QCOMPARE(result, core::Result::Aborted);
        QCOMPARE(retries, 2);
        QCOMPARE(b.user.texts("information"), QStringList{"No answer from programmer on " + b.PortName + " port."});
        QCOMPARE(b.user.lastStatus(), QString("Operation aborted."));
        QCOMPARE(b.user.calls.last().kind, QString("status"));
        QCOMPARE(b.user.texts("reset").size(), 1);
        QCOMPARE(b.closingReads, 0);
        // The stream three times up to the lost command, each loss closed by a cmdEnd.
        const int size = code == avrlink::cmdReadWord ? 2 : 128;
        const QString command = QStringLiteral("block %1 1E 93 07 E1 D9 FF FF").arg(code, 2, 10, QLatin1Char('0'));
        const QStringList wire = b.blocks();
        QCOMPARE(int(wire.count("block 00 1E 93 07 E1 D9 FF FF") + wire.count("block 00 00 93 07 E1 D9 FF FF")), 3);
        QCOMPARE(wire.last().left(9), QString("block 00 "));
        // Of the lost command's kind: the stream up to it, then twice the re-stream and it again.
        const int again = code == avrlink::cmdReadWord ? lost % 128 / 2 : lost / 128;
        QCOMPARE(int(wire.count(command)), lost / size + 1 + 2 * (again + 1));
    }

    void pieceSizes_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("piece");
        QTest::newRow("0") << 0 << 0;
        QTest::newRow("-1") << -1 << 0;
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("64") << 64 << 64;
        QTest::newRow("128") << 128 << 128;
        QTest::newRow("200") << 200 << 0;
        QTest::newRow("256") << 256 << 128;
        QTest::newRow("512") << 512 << 128;
    }
    void pieceSizes()
    {
        QFETCH(int, page);
        QFETCH(int, piece);
        QCOMPARE(core::pieceSize(page), piece);
    }

    // --- Fast transfers --------------------------------------------------------------------

    void blockVerify_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("differ");  // file offsets whose byte differs from the chip's
        QTest::newRow("empty file") << 0 << QList<int>{};
        QTest::newRow("one byte, equal") << 1 << QList<int>{};
        QTest::newRow("first byte") << 1000 << QList<int>{0};
        QTest::newRow("middle, across a block border") << 1000 << QList<int>{127, 128, 500};
        QTest::newRow("last byte, odd size") << 1001 << QList<int>{1000};
        QTest::newRow("last byte of a whole block") << 256 << QList<int>{255};
        QTest::newRow("every byte of a short last block") << 130 << QList<int>{128, 129};
        QTest::newRow("whole Flash") << 8192 << QList<int>{8191};
    }
    void blockVerify()
    {
        // Flash comes in blocks of 128 bytes: as many as the file needs, then cmdEnd and Read
        // Chip. Bytes are counted, live and at the end; bytes past the file's end are not compared.
        QFETCH(int, size);
        QFETCH(QList<int>, differ);
        Bench b;
        b.session.fast = true;
        const adaptersim::Chip chip = patternedChip();
        b.sim.setChip(chip);
        QByteArray image(reinterpret_cast<const char *>(chip.flash.data()), size);
        for (int at : differ)
            image[at] = char(~image[at]);
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        core::Faces f = b.user.faces();
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        const core::VerifyResult r = core::verifyFlashImage(b.session, f, mega8, buffer, b.closing());
        QCOMPARE(r.errors, int(differ.size()));
        QCOMPARE(r.result, differ.isEmpty() ? core::Result::Done : core::Result::Failed);
        QStringList live;
        for (int n = 0; n <= differ.size(); ++n)
            live << "Verifying Flash. Errors: " + QString::number(n);
        QCOMPARE(b.user.texts("status").filter("Verifying"), live);
        QCOMPARE(b.user.lastStatus(), differ.isEmpty() ? QString("Flash verifying completed. No errors.")
                                                       : QString("Flash verifying failed: %1 errors.").arg(differ.size()));
        const QStringList wire = b.blocks();
        const int blocks = (size + 127) / 128;
        QCOMPARE(wire.size(), 1 + blocks + 2);
        QVERIFY2(QRegularExpression("^block 00 00 00 00 [0-9A-F ]{11}$").match(wire[0]).hasMatch(), qPrintable(wire[0]));
        for (int i = 1; i <= blocks; ++i)
            QVERIFY2(wire[i].startsWith("block 06 "), qPrintable(wire[i]));
        QVERIFY(wire[blocks + 1].startsWith("block 00 00 "));
        QCOMPARE(wire[blocks + 2], QString("block 01 00 00 00 00 00 00 00"));
    }

    void verifyWithoutFastTransfersIsByWords()
    {
        // The original program's way: one cmdReadWord per two bytes, no question to the adapter.
        Bench b;
        const adaptersim::Chip chip = patternedChip();
        b.sim.setChip(chip);
        QByteArray image(reinterpret_cast<const char *>(chip.flash.data()), 5);
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        core::Faces f = b.user.faces();
        core::verifyFlashImage(b.session, f, b.catalogue.named("TestMega8"), buffer, b.closing());
        QCOMPARE(b.blocks(), QStringList({"block 07 00 00 00 00 00 00 00", "block 07 00 00 00 00 00 00 00",
                                          "block 07 00 00 00 00 00 00 00", "block 00 00 00 00 00 00 00 00",
                                          "block 01 00 00 00 00 00 00 00"}));
    }

    void oneOpenPerOperation_data()
    {
        QTest::addColumn<bool>("fast");
        QTest::addColumn<int>("opens");  // of a 1000-byte verify: 1 with fast transfers, one per command without
        QTest::newRow("fast transfers") << true << 1;
        // One per command (an event of the pty's watcher may stand for two opens that came
        // together, so at least 500 is what is certain).
        QTest::newRow("the original way") << false << 500;
    }
    void oneOpenPerOperation()
    {
        QFETCH(bool, fast);
        QFETCH(int, opens);
        adaptersim::Options options;
        options.bridge.openUs = 1;  // makes the bridge model count the opens
        Bench b(options);
        b.session.fast = fast;
        QByteArray image(1000, char(0xFF));
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        core::Faces f = b.user.faces();
        const long before = b.sim.bridgeCounts().opens;
        core::verifyFlashImage(b.session, f, b.catalogue.named("TestMega8"), buffer, b.closing());
        QCOMPARE(b.user.lastStatus(), QString("Flash verifying completed. No errors."));
        const long seen = b.sim.bridgeCounts().opens - before;
        if (fast)
            QCOMPARE(seen, long(opens));
        else
            QVERIFY2(seen >= opens, qPrintable(QString::number(seen)));
    }

    void lostErase()
    {
        // The adapter drops the erase; the lock bits were unprogrammed before, so they read as
        // after an erase. The first Flash block, read after it, shows the truth.
        Bench b;
        b.session.fast = true;
        b.sim.setChip(patternedChip());
        b.sim.setLogHandler([&b](const std::string &line) {
            if (line.rfind("block 06", 0) == 0) {  // the erase never happened: Flash as it was
                auto chip = b.sim.chip();
                chip.flash = patternedChip().flash;
                b.sim.setChip(chip);
            }
        });
        b.user.answers << true << true;
        core::Faces f = b.user.faces();
        b.readChip();
        const core::Result r = core::chipErase(b.session, f, b.catalogue.named("TestMega8"), b.closing());
        b.sim.setLogHandler({});
        QCOMPARE(r, core::Result::Failed);
        QCOMPARE(b.user.lastStatus(), QString("Device erasing failed: Flash byte 0 reads %1 after the erase, not FFh.")
                                          .arg(avrlink::hexByte(patternedChip().flash[0])));
        const QStringList wire = b.blocks();
        QCOMPARE(wire.mid(1), QStringList({"block 04 1E 93 07 E1 D9 FF FF", "block 06 1E 93 07 E1 D9 FF FF",
                                           "block 01 00 00 00 00 00 00 00"}));  // one command more than the original way
    }

    void blockThatNeverLeftIsNoWrite()
    {
        // The port goes away between the Read Chip and the write (fast transfers: it stays
        // open): the write's block cannot leave. Nothing may be read back as if it had.
        Bench b;
        b.session.fast = true;
        core::Faces f = b.user.faces();
        b.user.answers << true;
        avrlink::PortHold hold(b.PortName, true);
        QVERIFY(b.readChip().identified);
        b.sim.stop();
        const core::Result r = core::writeFuses(b.session, f, b.catalogue.named("TestMega8"), 0xE1, 0x99, 0xFF,
                                                std::nullopt, b.closing());
        QCOMPARE(r, core::Result::Aborted);
        QCOMPARE(b.user.lastStatus(), QString("Operation aborted."));
        QCOMPARE(b.closingReads, 0);
    }

    void lossesAtSeveralAddresses()
    {
        // One lost reply at each of three addresses: three attempts are allowed per address, not
        // per operation.
        Bench b;
        b.session.fast = true;
        const adaptersim::Chip chip = patternedChip();
        b.sim.setChip(chip);
        auto o = b.sim.options();
        o.fault.code = avrlink::cmdReadBlock;
        o.fault.address = 128;
        b.sim.setOptions(o);
        std::atomic<int> hits{0}, ends{0};
        b.sim.setLogHandler([&](const std::string &line) {
            // Each recovery closes the stream: the fault moves on from 128 to 256 and 384. (The
            // first cmdEnd is the question whether the adapter is our board.)
            if (line.rfind("block 00 ", 0) == 0 && ++ends > 1 && hits < 3) {
                auto next = b.sim.options();
                next.fault.address = 128 * (++hits + 1);
                b.sim.setOptions(next);
            }
        });
        QTemporaryDir dir;
        core::Faces f = b.user.faces();
        const core::ReadResult r =
            core::readFlash(b.session, f, b.catalogue.named("TestMega8"), dir.filePath("dump.bin"), b.closing());
        b.sim.setLogHandler({});
        QCOMPARE(r.result, core::Result::Done);
        QVERIFY2(r.retries >= 3, qPrintable(b.blocks().join('\n')));
        QCOMPARE(rig::readFile(dir.filePath("dump.bin")), QByteArray(reinterpret_cast<const char *>(chip.flash.data()), 8192));
    }

    void bridgeLatency_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("write") << "write";
        QTest::newRow("verify") << "verify";
        QTest::newRow("read") << "read";
    }
    void bridgeLatency()
    {
        // An FTDI bridge left at its 16 ms latency timer (the low-latency request refused): its
        // latency_timer in sysfs widens every reply window, and every operation completes.
        QFETCH(QString, operation);
        adaptersim::Options options;
        QVERIFY(adaptersim::bridgeModel("ftdi-16ms", &options.bridge));
        options.wirePaced = true;
        Bench b(options);
        b.session.fast = true;
        QTemporaryDir sysfs;
        const QString name = QFileInfo(QFileInfo(b.PortName).canonicalFilePath()).fileName();
        QVERIFY(QDir().mkpath(sysfs.filePath("class/tty/" + name + "/device")));
        QVERIFY(rig::writeFile(sysfs.filePath("class/tty/" + name + "/device/latency_timer"), "16\n"));
        qputenv("TARVANE_SYSFS_ROOT", QFile::encodeName(sysfs.path()));
        const adaptersim::Chip chip = patternedChip();
        b.sim.setChip(chip);
        QByteArray image(reinterpret_cast<const char *>(chip.flash.data()), 2048);
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        core::Faces f = b.user.faces();
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        QTemporaryDir dir;
        core::Result r;
        if (operation == "write")
            r = core::writeFlashImage(b.session, f, mega8, buffer);
        else if (operation == "verify")
            r = core::verifyFlashImage(b.session, f, mega8, buffer, b.closing()).result;
        else
            r = core::readFlash(b.session, f, mega8, dir.filePath("dump.bin"), b.closing()).result;
        qunsetenv("TARVANE_SYSFS_ROOT");
        QCOMPARE(r, core::Result::Done);
        QVERIFY2(!b.user.lastStatus().contains("Retries"), qPrintable(b.user.lastStatus()));
        QVERIFY(b.user.texts("information").isEmpty());
    }
};

QTEST_MAIN(TestCore)
#include "test_core.moc"
