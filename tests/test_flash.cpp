// SPDX-License-Identifier: GPL-3.0-or-later
// Flash write, verify and read, and the choice of their files, against the simulated adapter.
#include "filechoice.h"
#include "rig.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using rig::hexBytes;
using rig::readFile;
using rig::Rig;
using rig::writeFile;

namespace {

QByteArray pattern(int size, int seed = 0)
{
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + seed) & 0xFF);
    return data;
}

QString binDir()
{
    return qEnvironmentVariable("TARVANE_BIN_DIR");
}

}  // namespace

class TestFlash : public QObject {
    Q_OBJECT

    // Reads the chip so that the block holds a known reply, then names the image.
    static void ready(Rig &r, const QString &device = QString())
    {
        r.w->btRead->click();
        if (!device.isEmpty())
            r.choose(device);
        r.sim->clearLog();
        r.dialogs.shown.clear();
    }

private slots:
    void writePages_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pages");
        QTest::addColumn<int>("maximum");
        QTest::newRow("100 bytes") << 100 << 2 << 132;
        QTest::newRow("128 bytes") << 128 << 2 << 160;
        QTest::newRow("empty") << 0 << 1 << 32;
        QTest::newRow("whole Flash") << 8192 << 128 << 8224;
    }
    void writePages()
    {
        QFETCH(int, size);
        QFETCH(int, pages);
        QFETCH(int, maximum);
        Rig r;
        ready(r);
        const QByteArray image = pattern(size);
        QVERIFY(writeFile(r.path("image.bin"), image));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
        // The one question, the erase first, answered No: the original program's write.
        QCOMPARE(r.dialogs.shown, (QList<ScriptedDialogs::Shown>{{"confirm", "Erase the chip before writing Flash?"}}));
        QCOMPARE(r.w->ProgressBar1->maximum(), maximum);
        QCOMPARE(r.w->ProgressBar1->value(), 0);

        const QStringList wire = r.wire();
        QCOMPARE(wire.size(), 2 * pages + 1);
        QByteArray sent;
        for (int p = 0; p < pages; ++p) {
            QCOMPARE(wire[2 * p], QString("block 05 40 93 07 E1 D9 FF FF"));  // bytes 2-7 carried over
            QVERIFY(wire[2 * p + 1].startsWith("data "));
            sent += QByteArray::fromHex(wire[2 * p + 1].mid(5).toLatin1());
        }
        QCOMPARE(wire.last(), QString("block 00 00 93 07 E1 D9 FF FF"));
        QCOMPARE(sent.size(), pages * 64);
        QCOMPARE(sent.left(size), image);
        QCOMPARE(sent.mid(size), QByteArray(pages * 64 - size, char(0xFF)));  // the last page padded
        const auto flash = r.sim->chip().flash;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), size), image);
        // No Read Chip follows a write.
        QCOMPARE(r.w->leDeviceName->text(), QString("TestMega8"));
    }

    void writeWithPage128()
    {
        // 300 bytes in 128-byte pages: three identical blocks, the last page 44 bytes and 84 FF.
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.signature = {0x1E, 0x95, 0x0F}; c.flash.assign(32768, 0xFF); });
        ready(r);
        QCOMPARE(r.w->CurDevice->Name, QString("TestBig"));
        QVERIFY(writeFile(r.path("300.bin"), pattern(300)));
        r.w->edReadFromFile->setText(r.path("300.bin"));
        r.w->btWriteFlash->click();
        const QStringList blocks = r.blocks();
        QCOMPARE(blocks.size(), 4);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(blocks[i], QString("block 05 80 95 0F E1 D9 FF FF"));
        QCOMPARE(blocks[3], QString("block 00 00 95 0F E1 D9 FF FF"));
        const QString last = r.wire()[5];
        QCOMPARE(last, "data " + hexBytes(pattern(300).mid(256)) + QString(" FF").repeated(84));
    }

    void writeRefusals_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("size");  // -1: no name, -2: missing file
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("status");
        const QString tooLarge = "File size is greater than size of Flash for target device.\r\n"
                                 "Operation aborted. Please select correct file.";
        const QString pageSize = "Page size of the selected device is not supported for Flash programming.";
        QTest::newRow("no name") << "" << -1 << "Input file name for Flash programming." << "Incorrect file name.";
        QTest::newRow("missing file") << "" << -2 << "Can`t open file." << "Operation aborted.";
        QTest::newRow("one byte over") << "" << 8193 << tooLarge << "Incorrect file size.";
        QTest::newRow("unknown device") << "* AUTO *" << 1 << tooLarge << "Incorrect file size.";
        QTest::newRow("page size 0") << "Page0" << 10 << pageSize << "Operation aborted.";
    }
    void writeRefusals()
    {
        QFETCH(QString, device);
        QFETCH(int, size);
        QFETCH(QString, error);
        QFETCH(QString, status);
        Rig r;
        if (device == "* AUTO *") {
            r.choose(device);
            r.sim->clearLog();
        } else {
            ready(r, device);
        }
        const QString file = r.path("image.bin");
        if (size >= 0)
            QVERIFY(writeFile(file, pattern(size)));
        r.w->edReadFromFile->setText(size == -1 ? QString() : file);
        r.w->btWriteFlash->click();
        QCOMPARE(r.dialogs.texts("error"), QStringList{error});
        QCOMPARE(r.w->statusText(), status);
        QVERIFY(r.wire().isEmpty());
        if (size >= 0) {  // closed again: can be replaced at once
            QFile again(file);
            QVERIFY(again.open(QIODevice::ReadWrite));
        }
    }

    void writeInPiecesOf128()
    {
        // A 256-byte page goes as two page commands of 128 bytes, which the adapter stores one
        // after the other; the last page is completed with FF to its end.
        Rig r;
        ready(r, "Page256");
        QVERIFY(writeFile(r.path("300.bin"), pattern(300)));
        r.w->edReadFromFile->setText(r.path("300.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
        QCOMPARE(r.dialogs.texts("confirm"), QStringList{"Erase the chip before writing Flash?"});
        QCOMPARE(r.dialogs.shown.size(), 1);
        const QStringList wire = r.wire();
        QCOMPARE(wire.size(), 9);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(wire[2 * i], QString("block 05 80 93 07 E1 D9 FF FF"));
        QCOMPARE(wire[8], QString("block 00 00 93 07 E1 D9 FF FF"));
        QCOMPARE(wire[5], "data " + hexBytes(pattern(300).mid(256)) + QString(" FF").repeated(84));
        QCOMPARE(wire[7], "data " + hexBytes(QByteArray(128, char(0xFF))));
        const auto flash = r.sim->chip().flash;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), 300), pattern(300));
        QCOMPARE(r.w->ProgressBar1->maximum(), 300 + 128);
    }

    void missingAcknowledgementLeavesStreamAlone()
    {
        // The page went out but its second acknowledgement never came: the adapter may still be
        // taking page data, so no cmdEnd follows, and the user is told to reset it.
        Rig r;
        ready(r);
        r.setOptions([](adaptersim::Options &o) { o.shortCode = 5; o.shortCount = 1; });
        QVERIFY(writeFile(r.path("image.bin"), pattern(200)));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.blocks(), QStringList{"block 05 40 93 07 E1 D9 FF FF"});
        const QStringList boxes = r.dialogs.texts("information");
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].contains("reset it (power it off and on) before the next operation"), qPrintable(boxes[0]));
        QVERIFY(!boxes[0].contains("closed"));
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QCOMPARE(r.w->ProgressBar1->value(), 0);
    }

    void imagesMustBeRegularFiles_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("kind");
        for (const char *b : {"btWriteFlash", "btVerifyFlash"})
            for (const char *k : {"fifo", "/dev/urandom", "/dev/zero", "folder"})
                QTest::newRow(qPrintable(QString("%1 %2").arg(b, k))) << QString(b) << QString(k);
    }
    void imagesMustBeRegularFiles()
    {
        QFETCH(QString, button);
        QFETCH(QString, kind);
        Rig r;
        ready(r);
        QString name = kind;
        std::atomic<bool> done{false};
        std::thread unblock;
        if (kind == "fifo") {
            name = r.path("image.fifo");
            QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0600), 0);
            // Should the open wait for a writer, one comes after a while and goes at once.
            unblock = std::thread([&] {
                for (int i = 0; i < 300 && !done; ++i) {
                    const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0) {
                        ::close(fd);
                        return;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            });
        } else if (kind == "folder") {
            name = r.path("cpu");
        }
        r.w->edReadFromFile->setText(name);
        r.findChild(button)->click();
        done = true;
        if (unblock.joinable())
            unblock.join();
        QCOMPARE(r.dialogs.texts("error"), QStringList{"Can`t open file."});
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QVERIFY(r.wire().isEmpty());
    }

    void hugeFlashProgress_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("write") << "btWriteFlash";
        QTest::newRow("verify") << "btVerifyFlash";
    }
    void hugeFlashProgress()
    {
        // An image as long as a Flash of 2^31 - 1 bytes: the progress maximum must not wrap.
        QFETCH(QString, button);
        Rig r;
        r.choose("Huge");
        const QString image = r.path("huge.bin");
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(2147483647));  // sparse
        f.close();
        r.w->edReadFromFile->setText(image);
        r.w->PortName = "/dev/tarvane-missing";  // ends at the first exchange
        r.findChild(button)->click();
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QVERIFY(r.w->ProgressBar1->maximum() >= 1073741823);
        QCOMPARE(r.w->ProgressBar1->value(), 0);
    }

    void liveErrorCount()
    {
        Rig r;
        const QByteArray chip = pattern(8192, 5);
        r.setChip([&](adaptersim::Chip &c) { c.flash.assign(chip.begin(), chip.end()); });
        ready(r);
        QByteArray image = chip.left(20);
        image[3] = char(~image[3]);
        image[10] = char(~image[10]);
        image[11] = char(~image[11]);
        QVERIFY(writeFile(r.path("v.bin"), image));
        r.w->edReadFromFile->setText(r.path("v.bin"));
        QSignalSpy spy(r.w->StatusBar1, &QStatusBar::messageChanged);
        r.w->btVerifyFlash->click();
        QStringList seen;
        for (const QList<QVariant> &args : spy)
            seen << args.at(0).toString();
        QCOMPARE(seen.filter("Verifying"), QStringList({"Verifying Flash. Errors: 0", "Verifying Flash. Errors: 1",
                                                        "Verifying Flash. Errors: 2", "Verifying Flash. Errors: 3"}));
        QCOMPARE(r.w->statusText(), QString("Flash verifying failed: 3 errors."));
    }

    void readTargetNotRegular()
    {
        // A FIFO named as the dump is refused and stays what it is.
        Rig r;
        ready(r);
        const QString target = r.path("dump.fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
        r.w->edWriteToFile->setText(target);
        r.w->btReadFlash->click();
        QCOMPARE(r.dialogs.texts("application"),
                 QStringList{"Cannot create file \"" + target + "\". Not a regular file."});
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QVERIFY(QFileInfo(target).exists() && !QFileInfo(target).isFile());
        QVERIFY(r.wire().isEmpty());
    }

    void readOntoFullDisk()
    {
        // The disk fills up under the dump (a file size limit plays the full disk): the old file
        // stays whole, and the user is told.
        Rig r;
        ready(r);
        const QString target = r.path("keep.bin");
        QVERIFY(writeFile(target, "old contents"));
        r.w->edWriteToFile->setText(target);
        struct rlimit old {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit small = old;
        small.rlim_cur = 4096;
        ::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        r.w->btReadFlash->click();
        ::setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(readFile(target), QByteArray("old contents"));
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        const QStringList errors = r.dialogs.texts("error");
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith("Can`t write file \"" + target + "\": ") && errors[0].endsWith("The old file is kept as it was."),
                 qPrintable(errors[0]));
        QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files), QStringList{"keep.bin"});
    }

    void readIntoFolderThatCannotBeWritten()
    {
        // A writable dump in a folder nobody may add to is written in place.
        Rig r;
        ready(r);
        const QString folder = r.path("locked");
        QVERIFY(QDir().mkpath(folder));
        const QString target = folder + "/dump.bin";
        QVERIFY(writeFile(target, "old"));
        const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        int flags = 0;
        bool immutable = false;
        if (::geteuid() == 0) {
            // root may write any folder; an immutable one holds its entries even against root
            immutable = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
            const int locked = flags | FS_IMMUTABLE_FL;
            immutable = immutable && ::ioctl(fd, FS_IOC_SETFLAGS, &locked) == 0;
            if (!immutable) {
                ::close(fd);
                QSKIP("cannot make a folder unwritable for root here");
            }
        } else {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
        r.w->edWriteToFile->setText(target);
        r.w->btReadFlash->click();
        if (immutable)
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        else
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ::close(fd);
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QCOMPARE(readFile(target).size(), 8192);
        QCOMPARE(r.dialogs.shown.size(), 0);
    }

    void lineBreakInFileName_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("open dialog") << "btOD";
        QTest::newRow("save dialog") << "btSD";
        QTest::newRow("typed for writing") << "edReadFromFile";
        QTest::newRow("typed for reading") << "edWriteToFile";
    }
    void lineBreakInFileName()
    {
        // A line break would split the name in the line-based settings file.
        QFETCH(QString, how);
        Rig r;
        r.choose("TestMega8");
        r.w->edReadFromFile->setText("before.bin");
        r.w->edWriteToFile->setText("before.bin");
        const QString bad = r.path("two\nlines.bin");
        if (how == "btOD" || how == "btSD") {
            QVERIFY(writeFile(bad, "x"));
            r.dialogs.fileAnswers.enqueue(bad);
            r.findChild(how)->click();
            QVERIFY(!QFile::exists(r.w->ConfigFile));
        } else {
            auto *edit = r.w->findChild<QLineEdit *>(how);
            edit->selectAll();
            edit->insert("two\nlines.bin");
        }
        QCOMPARE(r.dialogs.texts("error"), QStringList{"A file name must not hold a line break."});
        QCOMPARE(r.w->edReadFromFile->text(), QString("before.bin"));
        QCOMPARE(r.w->edWriteToFile->text(), QString("before.bin"));
    }

    void writeEmptyWithUnknownDevice()
    {
        Rig r;
        r.choose("* AUTO *");
        QVERIFY(writeFile(r.path("empty.bin"), QByteArray()));
        r.w->edReadFromFile->setText(r.path("empty.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.wire(), QStringList({"block 05 00 00 00 00 00 00 00", "block 00 00 00 00 00 00 00 00"}));
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
    }

    void verify_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("wrong");  // file offsets that differ from the chip
        QTest::addColumn<int>("words");
        QTest::addColumn<QString>("status");
        QTest::newRow("equal") << 1000 << QList<int>{} << 500 << "Flash verifying completed. No errors.";
        QTest::newRow("5 bytes") << 5 << QList<int>{} << 3 << "Flash verifying completed. No errors.";
        QTest::newRow("odd last byte differs") << 5 << QList<int>{4} << 3 << "Flash verifying failed: 1 errors.";
        QTest::newRow("both bytes of a word") << 6 << QList<int>{2, 3} << 3 << "Flash verifying failed: 2 errors.";
        QTest::newRow("last of even file") << 8 << QList<int>{7} << 4 << "Flash verifying failed: 1 errors.";
        QTest::newRow("empty") << 0 << QList<int>{} << 1 << "Flash verifying completed. No errors.";
    }
    void verify()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, wrong);
        QFETCH(int, words);
        QFETCH(QString, status);
        Rig r;
        const QByteArray chip = pattern(8192, 5);
        r.setChip([&](adaptersim::Chip &c) { c.flash.assign(chip.begin(), chip.end()); });
        ready(r);
        QByteArray image = chip.left(size);
        for (int i : wrong)
            image[i] = char(~image[i]);
        QVERIFY(writeFile(r.path("v.bin"), image));
        r.w->edReadFromFile->setText(r.path("v.bin"));
        r.w->btVerifyFlash->click();
        const QStringList blocks = r.blocks();
        QCOMPARE(blocks.size(), words + 2);
        for (int i = 0; i < words; ++i)
            QCOMPARE(blocks[i], QString("block 07 1E 93 07 E1 D9 FF FF"));
        QCOMPARE(blocks[words], QString("block 00 00 93 07 E1 D9 FF FF"));
        QCOMPARE(blocks[words + 1], QString("block 01 00 00 00 00 00 00 00"));
        QCOMPARE(r.w->statusText(), status);
        QVERIFY(r.dialogs.shown.isEmpty());
        QCOMPARE(r.w->ProgressBar1->maximum(), size + 2);
    }

    void verifyRefusals_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("status");
        QTest::newRow("no name") << -1 << "Input file name to verify Flash." << "Incorrect file name.";
        QTest::newRow("missing") << -2 << "Can`t open file." << "Operation aborted.";
        QTest::newRow("one byte over") << 8193
                                       << "File size is greater than size of Flash for target device.\r\n"
                                          "Operation aborted. Please select correct file."
                                       << "Incorrect file size.";
    }
    void verifyRefusals()
    {
        QFETCH(int, size);
        QFETCH(QString, error);
        QFETCH(QString, status);
        Rig r;
        ready(r);
        if (size >= 0)
            QVERIFY(writeFile(r.path("v.bin"), pattern(size)));
        r.w->edReadFromFile->setText(size == -1 ? QString() : r.path("v.bin"));
        r.w->btVerifyFlash->click();
        QCOMPARE(r.dialogs.texts("error"), QStringList{error});
        QCOMPARE(r.w->statusText(), status);
        QVERIFY(r.wire().isEmpty());
    }

    void read_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("blocks");
        QTest::newRow("8192") << "" << 64;
        QTest::newRow("1000") << "Flash1000" << 7;
        QTest::newRow("200") << "Flash200" << 1;
        QTest::newRow("100") << "Flash100" << 0;
        QTest::newRow("unknown") << "* AUTO *" << 0;
    }
    void read()
    {
        QFETCH(QString, device);
        QFETCH(int, blocks);
        Rig r;
        const QByteArray chip = pattern(8192, 9);
        const bool unknown = device == "* AUTO *";
        r.setChip([&](adaptersim::Chip &c) {
            c.flash.assign(chip.begin(), chip.end());
            if (unknown)
                c.signature = {0x12, 0x34, 0x56};  // identified as nothing: "* AUTO *" is the Unknown device
        });
        ready(r, device);
        QCOMPARE(r.w->CurDevice->Name, unknown ? QString("Unknown") : device.isEmpty() ? QString("TestMega8") : device);
        const QString target = r.path("dump.bin");
        QVERIFY(writeFile(target, QByteArray(10000, 'x')));  // replaced, though longer
        r.w->edWriteToFile->setText(target);
        r.w->btReadFlash->click();
        QCOMPARE(readFile(target), chip.left(blocks * 128));
        const QStringList wire = r.blocks();
        QCOMPARE(wire.size(), blocks + 2);
        const QString carried = unknown ? "12 34 56 E1 D9 FF FF" : "1E 93 07 E1 D9 FF FF";
        for (int i = 0; i < blocks; ++i)
            QCOMPARE(wire[i], "block 06 " + carried);
        QCOMPARE(wire[blocks], "block 00 " + carried);  // byte 1 is not cleared after a read
        QCOMPARE(wire[blocks + 1], QString("block 01 00 00 00 00 00 00 00"));
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QCOMPARE(r.w->cbChips->currentIndex(), 0);  // the closing Read Chip went back to "* AUTO *"
        QVERIFY(r.dialogs.shown.isEmpty());
        QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files), QStringList{"dump.bin"});  // no temporary left
    }

    void readFailures_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("adapter stops answering") << "short";
        QTest::newRow("port missing") << "port";
    }
    void readFailures()
    {
        QFETCH(QString, how);
        Rig r;
        ready(r);
        const QString target = r.path("keep.bin");
        QVERIFY(writeFile(target, "old contents"));
        if (how == "short")
            r.setOptions([](adaptersim::Options &o) { o.shortCode = 6; o.shortCount = 50; });
        else
            r.w->PortName = "/dev/tarvane-missing";
        r.w->edWriteToFile->setText(target);
        r.w->btReadFlash->click();
        QCOMPARE(readFile(target), QByteArray("old contents"));
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QCOMPARE(r.dialogs.texts("information").size(), 1);  // one message, not one per block
        QCOMPARE(r.w->ProgressBar1->value(), 0);
        if (how == "short")  // three attempts at the first block, each loss closing the stream; no Read Chip
            QCOMPARE(r.blocks(), QStringList({"block 06 1E 93 07 E1 D9 FF FF", "block 00 1E 93 07 E1 D9 FF FF",
                                              "block 06 1E 93 07 E1 D9 FF FF", "block 00 1E 93 07 E1 D9 FF FF",
                                              "block 06 1E 93 07 E1 D9 FF FF", "block 00 1E 93 07 E1 D9 FF FF"}));
        QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files), QStringList{"keep.bin"});
    }

    void lostReplyInWindow_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("status");
        QTest::newRow("verify") << "btVerifyFlash" << "Flash verifying failed: 1 errors. Retries: 1.";
        QTest::newRow("read") << "btReadFlash" << "Flash reading completed. Retries: 1.";
    }
    void lostReplyInWindow()
    {
        // A reply lost in the middle of the stream and recovered: no box for it, the result
        // as without the loss, and the final status says there was a retry.
        QFETCH(QString, button);
        QFETCH(QString, status);
        Rig r;
        const QByteArray chip = pattern(8192, 5);
        r.setChip([&](adaptersim::Chip &c) { c.flash.assign(chip.begin(), chip.end()); });
        ready(r, "Flash1000");
        QByteArray image = chip.left(400);
        image[399] = char(~image[399]);  // a difference after the loss still counts once
        QVERIFY(writeFile(r.path("v.bin"), image));
        r.w->edReadFromFile->setText(r.path("v.bin"));
        r.w->edWriteToFile->setText(r.path("dump.bin"));
        const bool verify = button == "btVerifyFlash";
        r.setOptions([&](adaptersim::Options &o) {
            o.fault.code = verify ? 7 : 6;
            o.fault.address = 256;
        });
        r.w->findChild<QPushButton *>(button)->click();
        QVERIFY(r.dialogs.shown.isEmpty());
        QCOMPARE(r.w->ProgressBar1->value(), 0);
        if (!verify)
            QCOMPARE(readFile(r.path("dump.bin")), chip.left(896));
        const QString text = r.w->statusText();
        QVERIFY2(text.startsWith(status.section(" Retries:", 0, 0) + " Retries: "), qPrintable(text));
        if (text != status)  // a further reply was lost to the machine's load: the count says so
            QSKIP(qPrintable(text));
        QCOMPARE(r.blocks().filter(QRegularExpression("^block 00 ")).size(), 2);  // the recovery's and the closing one
    }

    void readRefusals()
    {
        Rig r;
        ready(r);
        r.w->btReadFlash->click();
        QCOMPARE(r.dialogs.texts("error"), QStringList{"Input file name to save Flash."});
        QCOMPARE(r.w->statusText(), QString("Incorrect file name."));

        r.dialogs.shown.clear();
        const QString target = r.path("no/such/folder/dump.bin");
        r.w->edWriteToFile->setText(target);
        r.w->btReadFlash->click();
        const QStringList boxes = r.dialogs.texts("application");
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("Cannot create file \"" + target + "\". "), qPrintable(boxes[0]));
        QVERIFY(boxes[0].endsWith(".") && !boxes[0].endsWith("..") && !boxes[0].endsWith(". ."));
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QVERIFY(r.wire().isEmpty());
    }

    void missingAdapterAbortsEachOperation_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("write") << "btWriteFlash";
        QTest::newRow("verify") << "btVerifyFlash";
        QTest::newRow("read") << "btReadFlash";
    }
    void missingAdapterAbortsEachOperation()
    {
        QFETCH(QString, button);
        Rig r;
        ready(r);
        QVERIFY(writeFile(r.path("image.bin"), pattern(1000)));
        r.w->edReadFromFile->setText(r.path("image.bin"));
        r.w->edWriteToFile->setText(r.path("out.bin"));
        r.w->PortName = "/dev/tarvane-missing";
        r.w->findChild<QPushButton *>(button)->click();
        QCOMPARE(r.dialogs.texts("information").size(), 1);  // below its first line: why, on Linux
        QCOMPARE(r.dialogs.texts("information").first().section('\n', 0, 0), QString("Can`t open /dev/tarvane-missing port."));
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QCOMPARE(r.w->leDeviceName->text(), QString("TestMega8"));  // no closing Read Chip
        QVERIFY(!QFile::exists(r.path("out.bin")));
        QFile again(r.path("image.bin"));
        QVERIFY(again.open(QIODevice::ReadWrite));
    }

    void silentAdapterAbortsVerify()
    {
        Rig r;
        ready(r);
        r.setOptions([](adaptersim::Options &o) { o.silent = true; });
        QVERIFY(writeFile(r.path("v.bin"), pattern(100)));
        r.w->edReadFromFile->setText(r.path("v.bin"));
        r.w->btVerifyFlash->click();
        QCOMPARE(r.dialogs.texts("information"), QStringList{"No answer from programmer on " + r.port() + " port."});
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        // Three attempts at the first word, the stream closed after each; the last closing
        // command is the verify's own.
        QCOMPARE(r.blocks(), QStringList({"block 07 1E 93 07 E1 D9 FF FF", "block 00 1E 93 07 E1 D9 FF FF",
                                          "block 07 1E 93 07 E1 D9 FF FF", "block 00 1E 93 07 E1 D9 FF FF",
                                          "block 07 1E 93 07 E1 D9 FF FF", "block 00 00 93 07 E1 D9 FF FF"}));
    }

    void imageShrinksMidway_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("write") << "btWriteFlash";
        QTest::newRow("verify") << "btVerifyFlash";
    }
    void imageShrinksMidway()
    {
        // Another program cuts the image short while it is being sent: the read position
        // stops short of the length taken at the start, and the operation must end.
        QFETCH(QString, button);
        Rig r;
        ready(r);
        const QString image = r.path("image.bin");
        QVERIFY(writeFile(image, pattern(1000)));
        std::atomic<int> seen{0};
        r.sim->setLogHandler([&](const std::string &) {
            if (++seen == 3)
                QFile::resize(image, 100);
        });
        r.w->edReadFromFile->setText(image);
        r.w->findChild<QPushButton *>(button)->click();
        r.sim->setLogHandler({});
        QCOMPARE(r.dialogs.texts("error"), QStringList{"Can`t read file."});
        QCOMPARE(r.w->statusText(), QString("Operation aborted."));
        QVERIFY(r.blocks().last().startsWith("block 00 00 "));  // the stream is closed
        QCOMPARE(r.w->ProgressBar1->value(), 0);
        QCOMPARE(r.w->leDeviceName->text(), QString("TestMega8"));  // no closing Read Chip
    }

    void roundTrip()
    {
        Rig r;
        r.setChip([](adaptersim::Chip &c) { c.flash.assign(8192, 0x00); });
        ready(r);
        r.dialogs.confirmAnswers << true << true;
        r.w->btChipErase->click();
        QCOMPARE(r.w->statusText(), QString("Device erased. Not checked for blank Flash: Fast transfers are off."));
        const QByteArray image = pattern(5000, 3);
        QVERIFY(writeFile(r.path("fw.bin"), image));
        r.w->edReadFromFile->setText(r.path("fw.bin"));
        r.w->btWriteFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash programming completed."));
        r.w->btVerifyFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash verifying completed. No errors."));
        r.w->edWriteToFile->setText(r.path("back.bin"));
        r.w->btReadFlash->click();
        QCOMPARE(r.w->statusText(), QString("Flash reading completed."));
        QByteArray expected = image;
        expected.append(QByteArray(8192 - 5000, char(0xFF)));
        QCOMPARE(readFile(r.path("back.bin")), expected);
        QCOMPARE(r.dialogs.texts("information"), QStringList{});
    }

    void chooseFiles_data()
    {
        QTest::addColumn<QString>("chosen");  // relative to the test folder
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("status");
        QTest::newRow("blink.hex") << "blink.hex" << "blink.bin" << "Converted blink.hex to blink.bin successfuly.";
        QTest::newRow("BLINK.HEX") << "BLINK.HEX" << "BLINK.bin" << "Converted BLINK.HEX to BLINK.bin successfuly.";
        QTest::newRow("with blanks") << "my fw/a b.Hex" << "my fw/a b.bin" << "Converted a b.Hex to a b.bin successfuly.";
        QTest::newRow("blink.bin") << "blink.bin" << "blink.bin" << "";
        QTest::newRow("blink.hex.txt") << "blink.hex.txt" << "blink.hex.txt" << "";
    }
    void chooseFiles()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, field);
        QFETCH(QString, status);
        if (binDir().isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
        Rig r;
        QVERIFY(QFile::copy(binDir() + "/hex2bin", r.path("hex2bin")));
        r.choose("TestMega8");
        QDir().mkpath(r.path("my fw"));
        QVERIFY(writeFile(r.path(chosen), ":0400000001020304F2\n:00000001FF\n"));
        r.dialogs.fileAnswers.enqueue(r.path(chosen));
        r.w->btOD->click();
        QCOMPARE(r.w->edReadFromFile->text(), r.path(field));
        QCOMPARE(r.w->statusText(), status);
        if (field.endsWith(".bin") && chosen != field)
            QCOMPARE(readFile(r.path(field)), QByteArray("\x01\x02\x03\x04"));
        QVERIFY(readFile(r.w->ConfigFile).split('\n').value(3) == r.path(field).toLocal8Bit() + "\r");  // line 4
        // The dialog offers its own last choice again.
        r.w->btOD->click();
        QCOMPARE(r.dialogs.fileRequests.last().selectedFile, r.path(chosen));
        QCOMPARE(r.dialogs.fileRequests.last().nameFilters.size(), 3);
    }

    void conversionFailures_data()
    {
        QTest::addColumn<QString>("converter");
        QTest::addColumn<QByteArray>("hex");
        QTest::newRow("no converter") << "" << QByteArray(":00000001FF\n");
        QTest::newRow("malformed HEX") << "hex2bin" << QByteArray(":0400000001020304F3\n:00000001FF\n");
        QTest::newRow("converter that fails") << "false" << QByteArray(":00000001FF\n");
        QTest::newRow("converter that writes nothing") << "true" << QByteArray(":00000001FF\n");
        QTest::newRow("nothing written, no old image") << "true, fresh" << QByteArray(":00000001FF\n");
    }
    void conversionFailures()
    {
        QFETCH(QString, converter);
        QFETCH(QByteArray, hex);
        if (binDir().isEmpty())
            QSKIP("TARVANE_BIN_DIR not set");
        Rig r;
        if (converter == "hex2bin")
            QVERIFY(QFile::copy(binDir() + "/hex2bin", r.path("hex2bin")));
        else if (converter == "false")
            QVERIFY(QFile::link("/bin/false", r.path("hex2bin")));
        else if (converter.startsWith("true"))
            QVERIFY(QFile::link("/bin/true", r.path("hex2bin")));
        QVERIFY(writeFile(r.path("bad.hex"), hex));
        r.choose("TestMega8");
        if (!converter.endsWith("fresh"))
            QVERIFY(writeFile(r.path("bad.bin"), "stale"));  // an old image does not count as output
        r.w->edReadFromFile->setText("old.bin");
        r.dialogs.fileAnswers.enqueue(r.path("bad.hex"));
        r.w->btOD->click();
        QCOMPARE(r.dialogs.texts("error"), QStringList{"Error converting HEX to BIN."});
        QCOMPARE(r.w->statusText(), QString("Error convert."));
        QCOMPARE(r.w->edReadFromFile->text(), QString("old.bin"));
        QVERIFY(!QFile::exists(r.w->ConfigFile));
    }

    void hexNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<bool>("hex");
        QTest::newRow("blink.hex") << "C:\\fw\\blink.hex" << ".hex" << true;
        QTest::newRow("BLINK.HEX") << "/fw/BLINK.HEX" << ".HEX" << true;
        QTest::newRow("Hex") << "a.Hex" << ".Hex" << true;
        QTest::newRow("hex.txt") << "/fw/blink.hex.txt" << ".txt" << false;
        QTest::newRow("dot in folder") << "/fw.hex/blink" << "" << false;
        QTest::newRow("dot before backslash") << "C:\\fw.hex\\blink" << "" << false;
        QTest::newRow("drive after dot") << "a.hex:b" << "" << false;
        QTest::newRow("no extension") << "blink" << "" << false;
        QTest::newRow("hexx") << "blink.hexx" << ".hexx" << false;
    }
    void hexNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, extension);
        QFETCH(bool, hex);
        QCOMPARE(fileExtension(path), extension);
        QCOMPARE(isHexFileName(path), hex);
    }

    void dialogFilters()
    {
        // Shown as "Файлы прошивок (*.bin; *.hex)", "*.bin", "*.hex"; the masks ride behind.
        const QStringList open = openDialogFilters();
        QCOMPARE(open.size(), 3);
        QVERIFY(open[0].startsWith("Файлы прошивок (*.bin; *.hex) ("));
        QVERIFY(open[1].startsWith("*.bin ("));
        QVERIFY(open[2].startsWith("*.hex ("));
        QCOMPARE(saveDialogFilters().size(), 1);
        QVERIFY(saveDialogFilters()[0].startsWith("*.bin ("));
    }

    void saveDialog()
    {
        Rig r;
        r.choose("TestMega8");
        r.w->btSD->click();  // cancelled: nothing changes, nothing is saved
        QVERIFY(!QFile::exists(r.w->ConfigFile));
        QCOMPARE(r.dialogs.fileRequests.last().defaultSuffix, QString("bin"));
        r.dialogs.fileAnswers.enqueue(r.path("dump.bin"));
        r.w->btSD->click();
        QCOMPARE(r.w->edWriteToFile->text(), r.path("dump.bin"));
        QVERIFY(readFile(r.w->ConfigFile).contains(r.path("dump.bin").toLocal8Bit()));
        r.w->btSD->click();
        QCOMPARE(r.dialogs.fileRequests.last().selectedFile, r.path("dump.bin"));
    }
};

QTEST_MAIN(TestFlash)
#include "test_flash.moc"
