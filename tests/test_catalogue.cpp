// SPDX-License-Identifier: GPL-3.0-or-later
// Device files: the number rule, the INI reader, bit entries, the loader, list order, identification.
#include "chiplist.h"
#include "inifile.h"
#include "loader.h"
#include "support/child.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray deviceIni(const QByteArray &name, const QByteArray &sig, int flash)
{
    return "[configuration]\nSignature_000=$" + sig.left(2) + "\nSignature_001=$" + sig.mid(2, 2)
           + "\nSignature_002=$" + sig.mid(4, 2) + "\nCPU_Name=" + name + "\nPage_Size=64\nFlash_Size="
           + QByteArray::number(flash) + "\n";
}

}  // namespace

class TestCatalogue : public QObject {
    Q_OBJECT

private slots:
    void numberRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("value");
        QTest::newRow("dollar") << "$1E" << true << 0x1E;
        QTest::newRow("0x") << "0x1E" << true << 0x1E;
        QTest::newRow("0X") << "0X40" << true << 64;
        QTest::newRow("x lower") << "x1e" << true << 0x1E;
        QTest::newRow("X upper") << "X1E" << true << 0x1E;
        QTest::newRow("decimal") << "30" << true << 30;
        QTest::newRow("leading zero is not octal") << "08" << true << 8;
        QTest::newRow("hex without marker") << "1E" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("minus one") << "-1" << true << -1;
        QTest::newRow("plus") << "+64" << true << 64;
        QTest::newRow("256") << "256" << true << 256;
        QTest::newRow("$1FF") << "$1FF" << true << 0x1FF;
        QTest::newRow("max int") << "2147483647" << true << 2147483647;
        QTest::newRow("min int") << "-2147483648" << true << int(-2147483648LL);
        QTest::newRow("one above max") << "2147483648" << false << 0;
        QTest::newRow("one below min") << "-2147483649" << false << 0;
        QTest::newRow("$FFFFFFFF") << "$FFFFFFFF" << true << -1;
        QTest::newRow("-$FFFFFFFF") << "-$FFFFFFFF" << true << 1;
        QTest::newRow("hex leading zeros") << "$000000000040" << true << 64;
        QTest::newRow("hex too big") << "$100000000" << false << 0;
        QTest::newRow("leading spaces") << "   64" << true << 64;
        QTest::newRow("leading tab") << "\t64" << false << 0;
        QTest::newRow("trailing blank") << "64 " << false << 0;
        QTest::newRow("trailing word") << "64 bytes" << false << 0;
        QTest::newRow("blank after sign") << "- 1" << false << 0;
        QTest::newRow("two signs") << "--1" << false << 0;
        QTest::newRow("sign only") << "-" << false << 0;
        QTest::newRow("marker only") << "$" << false << 0;
        QTest::newRow("0x only") << "0x" << false << 0;
        QTest::newRow("sign before marker") << "-$10" << true << -16;
        QTest::newRow("hex digit in decimal") << "1F" << false << 0;
        QTest::newRow("space inside") << "6 4" << false << 0;
    }
    void numberRule()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, value);
        const auto parsed = parseIniNumber(text);
        QCOMPARE(parsed.has_value(), valid);
        if (valid)
            QCOMPARE(*parsed, value);
    }

    void signatureBytes_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("byte");
        QTest::newRow("$1E") << QByteArray("$1E") << 0x1E;
        QTest::newRow("0x1E") << QByteArray("0x1E") << 0x1E;
        QTest::newRow("x1e") << QByteArray("x1e") << 0x1E;
        QTest::newRow("30") << QByteArray("30") << 0x1E;
        QTest::newRow("1E") << QByteArray("1E") << 0;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("-1") << QByteArray("-1") << 0xFF;
        QTest::newRow("256") << QByteArray("256") << 0;
        QTest::newRow("$1FF") << QByteArray("$1FF") << 0xFF;
    }
    void signatureBytes()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, byte);
        QTemporaryDir dir;
        const QString path = dir.filePath("d.ini");
        writeFile(path, "[configuration]\nSignature_000=" + value + "\nSignature_002=" + value + "\n");
        const auto device = loadDeviceFile(path);
        QCOMPARE(int(device->Signature[0]), byte);
        QCOMPARE(int(device->Signature[1]), 0);  // missing key
        QCOMPARE(int(device->Signature[2]), byte);
    }

    void iniReader()
    {
        IniFile ini;
        ini.parse("; comment\r\n[Configuration]\r\n  CPU_NAME  =  ATmega8  \r\nPage_Size=$40\r\n"
                  "page_size=128\r\nQuoted=\"a b\"\r\n[configuration]\r\nFlash_Size=1\r\n"
                  "[lock-bits]\nLock_0=LB1|U\n");
        QCOMPARE(ini.readText("configuration", "cpu_name", "x"), QString("ATmega8"));
        QCOMPARE(ini.readNumber("CONFIGURATION", "Page_Size", 0), 64);  // first of repeated keys
        QCOMPARE(ini.readText("configuration", "Quoted", ""), QString("a b"));
        QCOMPARE(ini.readNumber("configuration", "Flash_Size", 7), 7);  // repeated section is not read
        QCOMPARE(ini.readText("Lock-Bits", "LOCK_0", ""), QString("LB1|U"));
        QCOMPARE(ini.readText("missing", "key", "dflt"), QString("dflt"));

        ini.parse("[s]\nlong=" + QByteArray(3000, 'a') + "\n");
        QCOMPARE(ini.readText("s", "long", "").size(), 2047);

        QVERIFY(!ini.load("/nonexistent/file.ini"));
        QCOMPARE(ini.readText("s", "long", "gone"), QString("gone"));
    }

    void bitEntries_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("reference");
        QTest::newRow("U") << QByteArray("CKSEL0|U") << "CKSEL0" << true;
        QTest::newRow("P") << QByteArray("CKSEL0|P") << "CKSEL0" << false;
        QTest::newRow("no flag") << QByteArray("CKSEL0") << "CKSEL0" << false;
        QTest::newRow("lower u") << QByteArray("CKSEL0|u") << "CKSEL0" << false;
        QTest::newRow("blank before U") << QByteArray("CKSEL0| U") << "CKSEL0" << false;
        QTest::newRow("U|P") << QByteArray("CKSEL0|U|P") << "CKSEL0" << false;
        QTest::newRow("empty flag") << QByteArray("CKSEL0|") << "CKSEL0" << false;
        QTest::newRow("trailing blank in name") << QByteArray("CKSEL0 | U") << "CKSEL0 " << false;
        QTest::newRow("no name") << QByteArray("|U") << "" << true;
        QTest::newRow("blank inside name") << QByteArray("BOOT SZ|U") << "BOOT SZ" << true;
        QTest::newRow("quoted") << QByteArray("\"CKSEL0|U\"") << "CKSEL0" << true;
        QTest::newRow("empty quotes") << QByteArray("\"\"") << "" << false;
        QTest::newRow("one quote") << QByteArray("\"") << "\"" << false;
    }
    void bitEntries()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, name);
        QFETCH(bool, reference);
        IniFile ini;
        ini.parse("[fuse-bits]\nHigh_5=" + value + "\nHigh_8=X|U\n");
        TBitGroup group;
        group.Reference = 0xAA;  // rebuilt from scratch
        ReadBitGroup(ini, "fuse-bits", "High_", group);
        QCOMPARE(group.Names[5], name);
        QCOMPARE(group.Reference, std::uint8_t(reference ? 0x20 : 0x00));
        for (int n : {0, 1, 2, 3, 4, 6, 7})
            QVERIFY(group.Names[std::size_t(n)].isEmpty());
    }

    void setBitStates()
    {
        std::uint8_t v = 0x0F;
        SetBit(v, 7, 1);
        QCOMPARE(v, std::uint8_t(0x8F));
        SetBit(v, 0, 0);
        QCOMPARE(v, std::uint8_t(0x8E));
        SetBit(v, 1, 2);
        SetBit(v, 6, 255);
        QCOMPARE(v, std::uint8_t(0x8E));
        QVERIFY(IsBitSet(v, 7));
        QVERIFY(!IsBitSet(v, 0));
    }

    void defaultsForEmptyFile()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("empty.ini"), "garbage without sections\n");
        const auto d = loadDeviceFile(dir.filePath("empty.ini"));
        QCOMPARE(d->Name, QString("unknown"));
        QCOMPARE(d->PageSize, 0);
        QCOMPARE(d->FlashSize, 0);
        QVERIFY((d->Signature == std::array<std::uint8_t, 3>{0, 0, 0}));
        for (const TBitGroup &g : d->Groups) {
            QCOMPARE(g.Reference, std::uint8_t(0));
            for (const QString &n : g.Names)
                QVERIFY(n.isEmpty());
        }
        writeFile(dir.filePath("emptyname.ini"), "[configuration]\nCPU_Name=\n");
        QCOMPARE(loadDeviceFile(dir.filePath("emptyname.ini"))->Name, QString());
        // Quotes around a value are dropped, as the profile reader drops them.
        writeFile(dir.filePath("quoted.ini"), "[configuration]\nCPU_Name=\"\"\nPage_Size=\"64\"\n");
        QCOMPARE(loadDeviceFile(dir.filePath("quoted.ini"))->Name, QString());
        QCOMPARE(loadDeviceFile(dir.filePath("quoted.ini"))->PageSize, 64);
    }

    void folderLoading()
    {
        QTemporaryDir dir;
        const QString cpu = dir.filePath("cpu");
        QVERIFY(loadDeviceFolder(cpu).empty());  // no folder at all
        QVERIFY(QDir().mkpath(cpu));
        QVERIFY(loadDeviceFolder(cpu).empty());
        writeFile(cpu + "/a.ini", deviceIni("ATmega8", "1E9307", 8192));
        writeFile(cpu + "/.hidden.ini", deviceIni("Hidden", "1E9307", 8192));
        writeFile(cpu + "/ro.ini", deviceIni("ReadOnly", "1E9406", 16384));
        QFile(cpu + "/ro.ini").setPermissions(QFileDevice::ReadOwner);
        writeFile(cpu + "/notes.txt", deviceIni("Text", "000000", 1));
        writeFile(cpu + "/noname.ini", "[configuration]\n");
        writeFile(cpu + "/noname2.ini", "");
        QVERIFY(QDir().mkpath(cpu + "/sub.ini"));
        writeFile(cpu + "/sub.ini/inner.ini", deviceIni("Inner", "000000", 1));

        QStringList names;
        for (const auto &d : loadDeviceFolder(cpu))
            names << d->Name;
        names.sort();
        QCOMPARE(names, QStringList({"ATmega8", "Hidden", "ReadOnly", "unknown", "unknown"}));
    }

    // Only regular files are device files; a FIFO would block the loader at its open.
    void onlyRegularFiles()
    {
        QTemporaryDir dir;
        const QString cpu = dir.filePath("cpu");
        QVERIFY(QDir().mkpath(cpu));
        writeFile(cpu + "/a.ini", deviceIni("ATmega8", "1E9307", 8192));
        QCOMPARE(mkfifo(QFile::encodeName(cpu + "/fifo.ini").constData(), 0600), 0);
        QVERIFY(QFile::link("/dev/null", cpu + "/null.ini"));
        QVERIFY(QFile::link(cpu + "/a.ini", cpu + "/link.ini"));  // a link to a file is a file
        const int found = runInChild([&] {
            const auto devices = loadDeviceFolder(cpu);
            int result = int(devices.size());
            for (const auto &d : devices)
                result += d->Name == "ATmega8" ? 10 : 100;
            if (IniFile().load(cpu + "/fifo.ini") || IniFile().load(cpu + "/null.ini"))
                result += 1000;
            return result;
        }, 10);
        QCOMPARE(found, 2 + 2 * 10);
    }

    // A file over the bound is read in part, up to its last whole line within the bound.
    void oversizedFileReadInPart()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("big.ini");
        const QByteArray head = "[configuration]\nPage_Size=64\n";
        QByteArray pad;
        while (head.size() + pad.size() < IniFile::kMaxFileSize - 10)
            pad += ";" + QByteArray(99, 'x') + "\n";
        pad.truncate(IniFile::kMaxFileSize - 10 - head.size());
        pad += "\n";
        // The bound falls inside the name's line; that line and all after it are not read.
        writeFile(path, head + pad + "CPU_Name=ABCDEFGHIJKLMNOP\nFlash_Size=8192\n" + QByteArray(2 << 20, '\n'));
        const auto d = loadDeviceFile(path);
        QCOMPARE(d->PageSize, 64);
        QCOMPARE(d->Name, QString("unknown"));
        QCOMPARE(d->FlashSize, 0);
    }

    // A case-only difference does not order names: equal texts keep the order they came in.
    void caseOnlyDifference_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("sorted");
        QTest::newRow("lower first") << QStringList{"atmega8", "ATmega8"} << QStringList{"atmega8", "ATmega8"};
        QTest::newRow("upper first") << QStringList{"ATmega8", "atmega8"} << QStringList{"ATmega8", "atmega8"};
        QTest::newRow("a before B") << QStringList{"B", "a"} << QStringList{"a", "B"};
        QTest::newRow("at before AU") << QStringList{"AU", "at"} << QStringList{"at", "AU"};
    }
    void caseOnlyDifference()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, sorted);
        QStringList ordered;
        for (const std::size_t i : chipListOrder(names))
            ordered << names[qsizetype(i)];
        QCOMPARE(ordered, sorted);
        QStringList list{kAutoEntry};
        for (const QString &n : names)
            list.insert(sortedInsertIndex(list, n), n);
        QCOMPARE(list, QStringList{kAutoEntry} + sorted);
    }

    // The catalogue is ordered in n log n comparisons, whatever order the files come in.
    void orderingComparisons_data()
    {
        QTest::addColumn<int>("shape");
        QTest::newRow("ascending") << 0;
        QTest::newRow("descending") << 1;
        QTest::newRow("all equal") << 2;
        QTest::newRow("shuffled") << 3;
    }
    void orderingComparisons()
    {
        QFETCH(int, shape);
        const int n = 10000;
        QStringList names;
        for (int i = 0; i < n; ++i) {
            const int k = shape == 0 ? i : shape == 1 ? n - i : shape == 2 ? 0 : (i * 7919) % n;
            names << QStringLiteral("ATmega%1").arg(k, 5, 10, QLatin1Char('0'));
        }
        std::size_t comparisons = 0;
        const auto order = chipListOrder(names, [&](const QString &a, const QString &b) {
            ++comparisons;
            return compareChipNames(a, b);
        });
        QCOMPARE(order.size(), std::size_t(n));
        for (std::size_t i = 1; i < order.size(); ++i) {
            const int c = compareChipNames(names[qsizetype(order[i - 1])], names[qsizetype(order[i])]);
            QVERIFY(c < 0 || (c == 0 && order[i - 1] < order[i]));
        }
        // n log2 n is about 133,000 for 10,000 names; one insertion after another took up to 50 million.
        QVERIFY2(comparisons < std::size_t(n) * 30, QByteArray::number(qulonglong(comparisons)).constData());
    }

    void listOrder()
    {
        QStringList list{kAutoEntry};
        auto add = [&](const QString &name) { list.insert(sortedInsertIndex(list, name), name); };
        for (const char *n : {"ATtiny26", "atmega8", "ATmega16", "", "!first", "ATmega16", "unknown", "0day"})
            add(n);
        QCOMPARE(list, QStringList({kAutoEntry, "", "!first", "0day", "ATmega16", "ATmega16", "atmega8", "ATtiny26",
                                    "unknown"}));
        QCOMPARE(sortedInsertIndex({}, kAutoEntry), 0);
    }

    void sharedNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("single") << "ATmega2560" << QStringList{"ATmega2560"};
        QTest::newRow("digits") << "ATmega8/8A" << QStringList{"ATmega8", "ATmega8A"};
        QTest::newRow("letters") << "ATmega169/P/PA" << QStringList{"ATmega169", "ATmega169P", "ATmega169PA"};
        QTest::newRow("digits after letters") << "AT90USB1286/1287" << QStringList{"AT90USB1286", "AT90USB1287"};
        QTest::newRow("letter and digit") << "AT90PWM2B/3B" << QStringList{"AT90PWM2B", "AT90PWM3B"};
        QTest::newRow("empty piece") << "ATtiny26/" << QStringList{"ATtiny26"};
    }

    void sharedNames()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, parts);
        QCOMPARE(partNames(name), parts);
        for (const QString &p : parts) {
            QVERIFY(deviceNameMatches(name, p.toLower()));
            QVERIFY(!deviceNameMatches(name, p + "X"));
        }
        QVERIFY(deviceNameMatches(name, name.toUpper()));
        QVERIFY(!deviceNameMatches(name, QString()));
    }

    void identification_data()
    {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("found");
        // List: 0 Unknown (00 00 00, Flash 0), 1 A 1E9307/8192, 2 B 1E9307/0, 3 C 1E9406/16384,
        //       4 D 1E9406/16384, 5 E 000000/0, 6 F 1E950F/0
        QTest::newRow("later match wins even without Flash") << QByteArray("1E9307") << 2 << false;
        QTest::newRow("later of two devices") << QByteArray("1E9406") << 4 << true;
        QTest::newRow("no match") << QByteArray("112233") << 0 << false;
        QTest::newRow("zeros match unknown and E") << QByteArray("000000") << 5 << false;
        QTest::newRow("only a Flash-0 record") << QByteArray("1E950F") << 6 << false;
    }
    void identification()
    {
        QFETCH(QByteArray, signature);
        QFETCH(int, index);
        QFETCH(bool, found);
        auto make = [](std::array<std::uint8_t, 3> sig, int flash) {
            TDevice d;
            d.Signature = sig;
            d.FlashSize = flash;
            return d;
        };
        const TDevice devices[] = {make({0, 0, 0}, 0),          make({0x1E, 0x93, 0x07}, 8192),
                                   make({0x1E, 0x93, 0x07}, 0), make({0x1E, 0x94, 0x06}, 16384),
                                   make({0x1E, 0x94, 0x06}, 16384), make({0, 0, 0}, 0),
                                   make({0x1E, 0x95, 0x0F}, 0)};
        std::vector<const TDevice *> records;
        for (const TDevice &d : devices)
            records.push_back(&d);
        const QByteArray raw = QByteArray::fromHex(signature);
        const auto id = identifySignature(records, {std::uint8_t(raw[0]), std::uint8_t(raw[1]), std::uint8_t(raw[2])});
        QCOMPARE(id.index, index);
        QCOMPARE(id.found, found);

        // A zero signature is identified when the last zero record describes a device.
        TDevice zero = make({0, 0, 0}, 4096);
        records.push_back(&zero);
        QVERIFY(identifySignature(records, {0, 0, 0}).found);
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"
