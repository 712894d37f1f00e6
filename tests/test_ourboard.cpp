// SPDX-License-Identifier: GPL-3.0-or-later
// Our own board's extensions from the host's side, against the simulated adapter playing our
// board or a plain adapter of the original protocol, on a real pty: how an operation asks, the
// fast lane with its CRCs, EEPROM and calibration bytes, and that a plain adapter never
// receives a command code above 7.
#include "board.h"
#include "corebench.h"
#include "eepromops.h"
#include "flashops.h"
#include "image.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QTest>

using rig::Bench;

namespace {

adaptersim::Options ours()
{
    adaptersim::Options o;
    o.ours = true;
    return o;
}

QByteArray pattern(int size, int seed = 1)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + seed * 7 + i / 256) & 0xFF);
    return data;
}

QByteArray bytesOf(const std::vector<std::uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

// The command codes the adapter received.
QList<int> codes(const Bench &b)
{
    QList<int> out;
    for (const QString &line : b.blocks())
        out << line.mid(6, 2).toInt(nullptr, 16);
    return out;
}

// An EEPROM file written as avr-objcopy writes a .eep (Intel HEX) or raw.
QString eepromFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    rig::writeFile(path, image::encode(bytes, path, false));
    return path;
}

}  // namespace

class TestOurBoard : public QObject {
    Q_OBJECT

private slots:
    // --- The question -------------------------------------------------------------------

    void identification_data()
    {
        QTest::addColumn<bool>("ours");
        QTest::addColumn<int>("capabilities");
        QTest::newRow("our board") << true << 0x1F;
        QTest::newRow("our board without EEPROM") << true << 0x1B;
        QTest::newRow("a plain adapter") << false << 0;
    }
    void identification()
    {
        QFETCH(bool, ours);
        QFETCH(int, capabilities);
        adaptersim::Options o;
        o.ours = ours;
        o.capabilities = std::uint8_t(capabilities);
        Bench b(o);
        avrlink::LinkState state{b.CmdBlock, b.PageBuffer, b.PortName};
        const avrlink::BoardInfo first = avrlink::identifyBoard(state, b.user);
        QCOMPARE(first.ours, ours);
        QCOMPARE(int(first.capabilities), capabilities);
        // Each question carries a fresh challenge.
        avrlink::identifyBoard(state, b.user);
        const QStringList wire = b.blocks();
        QCOMPARE(wire.size(), 2);
        QVERIFY(wire[0].startsWith("block 00 00 ") && wire[1].startsWith("block 00 00 "));
        QVERIFY(wire[0].mid(18) != wire[1].mid(18));
    }

    void echoAndStaleRepliesDoNotIdentify()
    {
        // An adapter that echoes the block, and a reply to an earlier challenge: neither passes.
        avrlink::Block sent{0, 0, 0x93, 0x07, 0x11, 0x22, 0x33, 0x44};
        QVERIFY(!avrlink::identifies(sent, sent));
        avrlink::Block reply{avrlink::kIdentityMark, 0x1E, 0x93, 0x07, 1, 0x1F, 0, 0};
        const std::uint16_t answer = avrlink::challengeAnswer(sent, 1, 0x1F);
        reply[6] = std::uint8_t(answer);
        reply[7] = std::uint8_t(answer >> 8);
        QVERIFY(avrlink::identifies(sent, reply));
        avrlink::Block other = sent;
        other[7] = 0x45;  // another challenge: the old reply no longer answers it
        QVERIFY(!avrlink::identifies(other, reply));
        reply[0] = 0;  // an echo's first byte
        QVERIFY(!avrlink::identifies(sent, reply));
        // CRC-16/CCITT-FALSE, checked against its standard check value.
        const QByteArray check = "123456789";
        QCOMPARE(avrlink::crc16(reinterpret_cast<const std::uint8_t *>(check.constData()), 9), std::uint16_t(0x29B1));
    }

    // --- The fast lane --------------------------------------------------------------------

    void fastLane_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("write") << "write";
        QTest::newRow("verify") << "verify";
        QTest::newRow("read") << "read";
    }
    void fastLane()
    {
        // The operation asks, moves the line to 1,000,000 baud and checks it, then addressed
        // commands with CRCs only; at the end the stream is closed and the line goes back.
        QFETCH(QString, operation);
        Bench b(ours());
        b.session.fast = true;
        const QByteArray data = pattern(8192, 3);
        auto chip = b.sim.chip();
        if (operation != "write")
            chip.flash.assign(data.begin(), data.end());
        b.sim.setChip(chip);
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        core::Faces f = b.user.faces();
        QTemporaryDir dir;
        QByteArray image = data.left(1000);
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        if (operation == "write") {
            QCOMPARE(core::writeFlashImage(b.session, f, mega8, buffer), core::Result::Done);
            QCOMPARE(bytesOf(b.sim.chip().flash).left(1000), image);
            QCOMPARE(bytesOf(b.sim.chip().flash).mid(1000, 24), QByteArray(24, char(0xFF)));  // the page's rest
        } else if (operation == "verify") {
            QCOMPARE(core::verifyFlashImage(b.session, f, mega8, buffer, b.closing()).result, core::Result::Done);
        } else {
            QCOMPARE(core::readFlash(b.session, f, mega8, dir.filePath("dump.bin"), b.closing()).result, core::Result::Done);
            QCOMPARE(rig::readFile(dir.filePath("dump.bin")), data);
        }
        const QStringList wire = b.blocks();
        QVERIFY2(QRegularExpression("^block 00 00 ").match(wire[0]).hasMatch(), qPrintable(wire.join('\n')));
        QVERIFY2(wire[1].startsWith("block 10 01 00 00 "), qPrintable(wire[1]));  // to 1,000,000 baud
        QVERIFY2(wire[2].startsWith("block 11 00 00 00 "), qPrintable(wire[2]));  // and checked there
        const QString addressedFlash = operation == "write" ? "block 13 00 " : "block 12 00 ";
        const int expected = operation == "write" ? 16 : operation == "verify" ? 4 : 32;  // 64-byte pages; 256-byte reads
        QCOMPARE(int(wire.filter(QRegularExpression("^" + addressedFlash)).size()), expected);
        QVERIFY(!codes(b).contains(avrlink::cmdReadBlock) && !codes(b).contains(avrlink::cmdWritePage));
        qsizetype back = -1;
        for (qsizetype i = 0; i < wire.size(); ++i)
            if (wire[i].startsWith("block 10 00 "))
                back = i;
        QVERIFY2(back > 3, qPrintable(wire.mid(wire.size() - 4).join('\n')));
        QVERIFY(wire[back - 1].startsWith("block 00 "));  // after the stream is closed
        QCOMPARE(b.sim.lineState().boardBaud, 115200);
        QCOMPARE(b.sim.lineState().garbledIn, 0L);
    }

    void lineThatCannotCarryTheFastRate()
    {
        // A bridge that stops at 921,600 baud: the check at 1,000,000 gets no answer, both sides
        // go back to 115200, and the operation completes on the addressed commands there.
        adaptersim::Options o = ours();
        o.maxBaud = 921600;
        Bench b(o);
        b.session.fast = true;
        const QByteArray data = pattern(8192, 5);
        auto chip = b.sim.chip();
        chip.flash.assign(data.begin(), data.end());
        b.sim.setChip(chip);
        QTemporaryDir dir;
        core::Faces f = b.user.faces();
        const core::ReadResult r =
            core::readFlash(b.session, f, b.catalogue.named("TestMega8"), dir.filePath("dump.bin"), b.closing());
        QCOMPARE(r.result, core::Result::Done);
        QCOMPARE(rig::readFile(dir.filePath("dump.bin")), data);
        QVERIFY(b.sim.lineState().garbledIn > 0);  // the check at the fast rate never arrived
        QCOMPARE(b.sim.lineState().boardBaud, 115200);
        QVERIFY(codes(b).contains(0x12));
    }

    void damagedRepliesNeverCount_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("read") << "read";
        QTest::newRow("verify") << "verify";
        QTest::newRow("write") << "write";
    }
    void damagedRepliesNeverCount()
    {
        // Two stray bytes in front of every reply, from the first addressed command on: on the
        // plain lane that would be a shifted image nobody could see; on our board's lane every
        // reply fails its CRC (or its status), and the operation ends without a result it did
        // not have.
        QFETCH(QString, operation);
        Bench b(ours());
        b.session.fast = true;
        b.sim.setLogHandler([&b](const std::string &line) {
            if (line.rfind("block 12", 0) == 0 || line.rfind("block 13", 0) == 0) {
                auto o = b.sim.options();
                o.strayBytes = 2;
                b.sim.setOptions(o);
            }
        });
        QTemporaryDir dir;
        QVERIFY(rig::writeFile(dir.filePath("dump.bin"), "old"));
        QByteArray image = pattern(512);
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        core::Faces f = b.user.faces();
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        core::Result r;
        if (operation == "read")
            r = core::readFlash(b.session, f, mega8, dir.filePath("dump.bin"), b.closing()).result;
        else if (operation == "verify")
            r = core::verifyFlashImage(b.session, f, mega8, buffer, b.closing()).result;
        else
            r = core::writeFlashImage(b.session, f, mega8, buffer);
        b.sim.setLogHandler({});
        QCOMPARE(r, core::Result::Aborted);
        QCOMPARE(b.user.lastStatus(), QString("Operation aborted."));
        QCOMPARE(rig::readFile(dir.filePath("dump.bin")), QByteArray("old"));
    }

    void lostReplyAskedAgain()
    {
        // One addressed read lost: asked again at its own address, the final status counts it.
        adaptersim::Options o = ours();
        o.fault.code = 0x12;
        o.fault.address = 512;
        Bench b(o);
        b.session.fast = true;
        const QByteArray data = pattern(8192, 7);
        auto chip = b.sim.chip();
        chip.flash.assign(data.begin(), data.end());
        b.sim.setChip(chip);
        QTemporaryDir dir;
        core::Faces f = b.user.faces();
        const core::ReadResult r =
            core::readFlash(b.session, f, b.catalogue.named("TestMega8"), dir.filePath("dump.bin"), b.closing());
        QVERIFY2(r.result == core::Result::Done, qPrintable(b.blocks().join('\n') + "\n" + b.user.texts("information").join('\n')));
        QCOMPARE(rig::readFile(dir.filePath("dump.bin")), data);
        QCOMPARE(b.user.lastStatus(), QString("Flash reading completed. Retries: 1."));
    }

    // --- A plain adapter ------------------------------------------------------------------

    void plainAdapterNeverGetsAnExtension()
    {
        // Every operation with Fast transfers on, against an adapter of the original protocol:
        // the question (a cmdEnd) is all it gets beyond the original commands.
        Bench b;
        b.session.fast = true;
        core::Faces f = b.user.faces();
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        QTemporaryDir dir;
        const QString eep = eepromFile(dir, "cal.eep", pattern(64));
        QVERIFY(b.readChip().identified);
        QVERIFY(!core::readCalibration(b.session, f, mega8));
        b.user.answers << true << true << true << true;
        core::writeFuses(b.session, f, mega8, 0xE1, 0xD9, 0xFF, std::nullopt, b.closing());
        core::writeLocks(b.session, f, mega8, 0xFF, std::nullopt, b.closing());
        core::chipErase(b.session, f, mega8, b.closing());
        QByteArray image = pattern(300);
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        core::writeFlashImage(b.session, f, mega8, buffer);
        buffer.open(QIODevice::ReadOnly);
        core::verifyFlashImage(b.session, f, mega8, buffer, b.closing());
        core::readFlash(b.session, f, mega8, dir.filePath("dump.bin"), b.closing());
        const int before = int(b.blocks().size());
        for (const auto &operation : {core::writeEeprom, core::verifyEeprom, core::readEeprom}) {
            b.user.calls.clear();
            const core::EepromResult r = operation(b.session, f, mega8, operation == core::readEeprom
                                                                              ? dir.filePath("back.eep") : eep);
            QVERIFY(r.notOurBoard);
            QCOMPARE(r.result, core::Result::Aborted);
            QCOMPARE(b.user.texts("information"), QStringList{core::kNoEepromAdapter});
        }
        for (int code : codes(b))
            QVERIFY2(code <= 7, qPrintable(QString::number(code, 16)));
        const QStringList eepromWire = b.blocks().mid(before);
        QCOMPARE(eepromWire.size(), 3);  // one question each, nothing more
        for (const QString &line : eepromWire)
            QVERIFY(line.startsWith("block 00 00 "));
        QVERIFY(!QFile::exists(dir.filePath("back.eep")));
    }

    void eepromWithoutFastTransfersSendsNothing()
    {
        Bench b(ours());
        core::Faces f = b.user.faces();
        QTemporaryDir dir;
        const core::EepromResult r =
            core::writeEeprom(b.session, f, b.catalogue.named("TestMega8"), eepromFile(dir, "a.eep", pattern(16)));
        QCOMPARE(r.result, core::Result::Aborted);
        QVERIFY(b.sim.log().empty());
    }

    // --- EEPROM -------------------------------------------------------------------------

    void eepromRoundTrip_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("page");     // the chip's EEPROM page buffer, 0: byte by byte
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");     // of the file
        QTest::newRow("pages, .eep") << "TestMega8" << 4 << "e.eep" << 512;
        QTest::newRow("pages, raw, part of it") << "TestMega8" << 4 << "e.bin" << 77;
        QTest::newRow("bytes, .hex") << "TestBig" << 0 << "e.hex" << 1024;
        QTest::newRow("bytes, raw") << "TestBig" << 0 << "e.bin" << 300;
    }
    void eepromRoundTrip()
    {
        // Written, read back as part of the write, verified, and read into a file of the same
        // kind: the same bytes every way.
        QFETCH(QString, device);
        QFETCH(int, page);
        QFETCH(QString, file);
        QFETCH(int, size);
        Bench b(ours());
        b.session.fast = true;
        const TDevice &d = b.catalogue.named(device);
        auto chip = b.sim.chip();
        chip.eeprom.assign(std::size_t(d.EepromSize), 0xFF);
        chip.eepromPageSize = std::size_t(page);
        b.sim.setChip(chip);
        QTemporaryDir dir;
        const QByteArray data = pattern(size, 9);
        const QString name = eepromFile(dir, file, data);
        core::Faces f = b.user.faces();
        QCOMPARE(core::writeEeprom(b.session, f, d, name).result, core::Result::Done);
        QCOMPARE(b.user.lastStatus(), QString("EEPROM programming completed."));
        QCOMPARE(bytesOf(b.sim.chip().eeprom).left(size), data);
        QCOMPARE(bytesOf(b.sim.chip().eeprom).mid(size), QByteArray(d.EepromSize - size, char(0xFF)));
        QCOMPARE(core::verifyEeprom(b.session, f, d, name).result, core::Result::Done);
        QCOMPARE(b.user.lastStatus(), QString("EEPROM verifying completed. No errors."));
        const QString back = dir.filePath("back." + QFileInfo(file).suffix());
        QCOMPARE(core::readEeprom(b.session, f, d, back).result, core::Result::Done);
        QCOMPARE(b.user.lastStatus(), QString("EEPROM reading completed."));
        const image::Loaded read = image::load(back, d.EepromSize, image::Memory::Eeprom);
        QVERIFY(read.ok);
        QCOMPARE(read.bytes.left(size), data);
        QCOMPARE(read.bytes.size(), qsizetype(d.EepromSize));
        // Page by page where the part has a page buffer, byte by byte where not.
        QCOMPARE(b.sim.eepromWrites(), long(page > 0 ? (size + page - 1) / page : size));
    }

    void eepromDifferencesCounted()
    {
        Bench b(ours());
        b.session.fast = true;
        auto chip = b.sim.chip();
        const QByteArray data = pattern(100, 2);
        std::copy(data.begin(), data.end(), chip.eeprom.begin());
        b.sim.setChip(chip);
        QByteArray file = data;
        file[0] = char(~file[0]);
        file[50] = char(~file[50]);
        file[99] = char(~file[99]);
        QTemporaryDir dir;
        core::Faces f = b.user.faces();
        const core::EepromResult r =
            core::verifyEeprom(b.session, f, b.catalogue.named("TestMega8"), eepromFile(dir, "v.bin", file));
        QCOMPARE(r.result, core::Result::Failed);
        QCOMPARE(r.errors, 3);
        QCOMPARE(b.user.texts("status").filter("Verifying EEPROM"),
                 QStringList({"Verifying EEPROM. Errors: 0", "Verifying EEPROM. Errors: 1", "Verifying EEPROM. Errors: 2",
                              "Verifying EEPROM. Errors: 3"}));
        QCOMPARE(b.user.lastStatus(), QString("EEPROM verifying failed: 3 errors."));
    }

    void eesaveAcrossErase_data()
    {
        QTest::addColumn<int>("high");    // TestMega8's high fuse: EESAVE is bit 3
        QTest::addColumn<bool>("clears");
        QTest::newRow("EESAVE unprogrammed") << 0xD9 << true;
        QTest::newRow("EESAVE programmed") << 0xD1 << false;
    }
    void eesaveAcrossErase()
    {
        QFETCH(int, high);
        QFETCH(bool, clears);
        Bench b(ours());
        b.session.fast = true;
        auto chip = b.sim.chip();
        chip.highFuse = std::uint8_t(high);
        const QByteArray data = pattern(512, 4);
        chip.eeprom.assign(data.begin(), data.end());
        b.sim.setChip(chip);
        const core::ChipRead read = b.readChip();
        const TDevice &mega8 = b.catalogue.named("TestMega8");
        const std::optional<bool> says = core::eraseClearsEeprom(mega8, read.bytes());
        QCOMPARE(says, std::optional<bool>(clears));
        b.user.answers << true << true;
        core::Faces f = b.user.faces();
        QCOMPARE(core::chipErase(b.session, f, mega8, b.closing(), {}, false, core::eraseEepromText(says)),
                 core::Result::Done);
        QCOMPARE(b.user.calls.first().details, clears ? QString("EESAVE is unprogrammed: the erase also clears the EEPROM.")
                                                      : QString("EESAVE is programmed: the EEPROM is kept."));
        QCOMPARE(bytesOf(b.sim.chip().eeprom), clears ? QByteArray(512, char(0xFF)) : data);
        QCOMPARE(core::eraseClearsEeprom(mega8, std::nullopt), std::optional<bool>());
    }

    void calibrationBytes_data()
    {
        QTest::addColumn<bool>("ours");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<QString>("text");  // empty: none
        QTest::newRow("our board") << true << true << "Calibration: A6h A9h ADh B2h";
        QTest::newRow("our board, the original way") << true << false << "";
        QTest::newRow("a plain adapter") << false << true << "";
    }
    void calibrationBytes()
    {
        QFETCH(bool, ours);
        QFETCH(bool, fast);
        QFETCH(QString, text);
        adaptersim::Options o;
        o.ours = ours;
        Bench b(o);
        b.session.fast = fast;
        const core::ChipRead read = b.readChip();
        const avrlink::Block reply = b.CmdBlock;
        core::Faces f = b.user.faces();
        const auto cal = core::readCalibration(b.session, f, *read.device);
        QCOMPARE(cal ? core::calibrationText(*cal) : QString(), text);
        // The block still holds the Read Chip's reply, which the next command carries.
        QCOMPARE(rig::hexBytes(b.CmdBlock.data(), 8), rig::hexBytes(reply.data(), 8));
        if (!fast)
            QCOMPARE(b.blocks(), QStringList{"block 01 00 00 00 00 00 00 00"});
    }
};

QTEST_MAIN(TestOurBoard)
#include "test_ourboard.moc"
