// SPDX-License-Identifier: GPL-3.0-or-later
// The HEX converter as a library (record handling, error reasons) and as the program the GUI
// starts (output name, no output on failure, paths with blanks), checked against avr-objcopy.

#include "hexconv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <initializer_list>
#include <sys/stat.h>

namespace {

// One record line: ':' + the bytes + the checksum that makes them add up to 0.
QByteArray rawRecord(std::initializer_list<int> bytes)
{
    QByteArray line(":");
    int sum = 0;
    for (int b : bytes) {
        line += QByteArray::number(b & 0xFF, 16).rightJustified(2, '0').toUpper();
        sum += b;
    }
    line += QByteArray::number((0x100 - (sum & 0xFF)) & 0xFF, 16).rightJustified(2, '0').toUpper();
    return line + '\n';
}

QByteArray record(int type, int address, const QByteArray &data)
{
    QByteArray line(":");
    QByteArray bytes;
    bytes += char(data.size());
    bytes += char(address >> 8);
    bytes += char(address & 0xFF);
    bytes += char(type);
    bytes += data;
    int sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes += char((0x100 - (sum & 0xFF)) & 0xFF);
    return line + bytes.toHex().toUpper() + '\n';
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(v);
    return out;
}

QByteArray data(int address, std::initializer_list<int> values)
{
    return record(0x00, address, bytes(values));
}

QByteArray crlf(QByteArray text)
{
    return text.replace("\n", "\r\n");
}

const QByteArray endRecord = ":00000001FF\n";

QByteArray ff(int count)
{
    return QByteArray(count, '\xFF');
}

QByteArray imageBytes(const hexconv::Result &r)
{
    return QByteArray(reinterpret_cast<const char *>(r.image.data()), qsizetype(r.image.size()));
}

QString converterProgram()
{
    QString dir = qEnvironmentVariable("TARVANE_BIN_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(TARVANE_HEX2BIN_DIR);
    return QDir(dir).filePath(QStringLiteral(TARVANE_HEX2BIN_NAME));
}

struct Run {
    int exitCode = -1;
    QByteArray err;
};

Run runConverter(const QStringList &arguments)
{
    QProcess p;
    p.start(converterProgram(), arguments);
    Run r;
    if (!p.waitForStarted(-1)) {
        r.err = "cannot start " + converterProgram().toLocal8Bit();
        return r;
    }
    p.waitForFinished(-1);
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = p.readAllStandardError();
    return r;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QStringList entries(const QString &dir)
{
    return sorted(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::NoSort));
}

// A failure is reported as exactly one non-empty line.
bool isOneLine(const QByteArray &err)
{
    return err.size() > 1 && err.endsWith('\n') && err.count('\n') == 1;
}

// Which record types a HEX text uses, so a fixture is known to exercise what it claims.
QSet<int> recordTypes(const QByteArray &text)
{
    QSet<int> types;
    for (const QByteArray &line : text.split('\n')) {
        if (line.size() >= 9 && line.startsWith(':'))
            types.insert(line.mid(7, 2).toInt(nullptr, 16));
    }
    return types;
}

const QByteArray smallHex = data(0, {0x12, 0x34}) + data(5, {0x56}) + endRecord;
const QByteArray smallImage = bytes({0x12, 0x34, 0xFF, 0xFF, 0xFF, 0x56});

}  // namespace

class TestHexConv : public QObject {
    Q_OBJECT

private slots:
    void binaryName_data();
    void binaryName();
    void pathFromCommandLine_data();
    void pathFromCommandLine();
    void convertsValidInput_data();
    void convertsValidInput();
    void rejectsMalformedInput_data();
    void rejectsMalformedInput();

    void programWritesImageBesideInput_data();
    void programWritesImageBesideInput();
    void programLeavesNoOutputOnBadHex_data();
    void programLeavesNoOutputOnBadHex();
    void programReplacesOlderImage();
    void programWithoutArgument();
    void programWithMissingInput();
    void programWithUnwritableOutput();
    void programRefusesToOverwriteItsInput();
    void programRefusesNonRegularInput();
    void programRefusesOversizedInput();
    void programNamesNearTheLengthLimit();
    void temporaryFileIsCreatedExclusively();

    void agreesWithObjcopy_data();
    void agreesWithObjcopy();
};

void TestHexConv::binaryName_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    QTest::newRow("windows path") << R"(C:\fw\blink.hex)" << R"(C:\fw\blink.bin)";
    QTest::newRow("upper-case extension, new one lower") << R"(C:\fw\BLINK.HEX)" << R"(C:\fw\BLINK.bin)";
    QTest::newRow("mixed-case extension") << R"(C:\fw\Blink.Hex)" << R"(C:\fw\Blink.bin)";
    QTest::newRow("only the last extension") << R"(C:\fw\blink.hex.txt)" << R"(C:\fw\blink.hex.bin)";
    QTest::newRow("bare name") << "BLINK.HEX" << "BLINK.bin";
    QTest::newRow("posix path") << "/home/u/fw/blink.hex" << "/home/u/fw/blink.bin";
    QTest::newRow("dot in a posix directory only") << "/a.b/c" << "/a.b/c.bin";
    QTest::newRow("dot in a windows directory only") << R"(C:\a.b\c)" << R"(C:\a.b\c.bin)";
    QTest::newRow("colon after the dot") << "a.b:c" << "a.b:c.bin";
    QTest::newRow("drive-relative name") << "C:blink.hex" << "C:blink.bin";
    QTest::newRow("no extension") << "blink" << "blink.bin";
    QTest::newRow("trailing dot") << "blink." << "blink.bin";
    QTest::newRow("name that is all extension") << R"(C:\fw\.hex)" << R"(C:\fw\.bin)";
    QTest::newRow("already .bin") << R"(C:\fw\blink.bin)" << R"(C:\fw\blink.bin)";
    QTest::newRow("empty") << "" << ".bin";
    QTest::newRow("blanks in windows path") << R"(C:\My Firmware\blink v2.hex)" << R"(C:\My Firmware\blink v2.bin)";
    QTest::newRow("blanks and dots in posix path") << "/home/u/my fw.d/led. test.hex"
                                                   << "/home/u/my fw.d/led. test.bin";
}

void TestHexConv::binaryName()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(hexconv::binaryNameFor(input.toStdString())), expected);
}

void TestHexConv::pathFromCommandLine_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("path");

    QTest::newRow("as the GUI builds it") << R"(C:\Tarvane\hex2bin.exe C:\fw\blink.hex)" << R"(C:\fw\blink.hex)";
    QTest::newRow("blanks in both folders")
        << R"(C:\Program Files\Tarvane\hex2bin.exe C:\My Firmware\blink v2.hex)" << R"(C:\My Firmware\blink v2.hex)";
    QTest::newRow("runs of blanks kept") << R"(C:\T\hex2bin.exe C:\fw\a  b   c.hex)" << R"(C:\fw\a  b   c.hex)";
    QTest::newRow("quoted program") << R"("C:\Program Files\T\hex2bin.exe" C:\fw\a b.hex)" << R"(C:\fw\a b.hex)";
    QTest::newRow("quoted path") << R"(hex2bin.exe "C:\My Firmware\x.hex")" << R"(C:\My Firmware\x.hex)";
    QTest::newRow("program name in other case") << R"(C:\T\HEX2BIN.EXE C:\fw\x.hex)" << R"(C:\fw\x.hex)";
    QTest::newRow("started without .exe") << R"(C:\T\hex2bin C:\fw\x.hex)" << R"(C:\fw\x.hex)";
    QTest::newRow("tab and extra blanks around") << "hex2bin.exe\t  C:\\x.hex  " << R"(C:\x.hex)";
    QTest::newRow("name ending in the program's name")
        << R"(C:\T\myhex2bin.exe C:\fw\x.hex)" << R"(C:\fw\x.hex)";
    QTest::newRow("path naming the program too") << R"(C:\T\hex2bin.exe C:\fw\hex2bin.exe.hex)"
                                                 << R"(C:\fw\hex2bin.exe.hex)";
    QTest::newRow("no path") << R"(C:\T\hex2bin.exe)" << "";
    QTest::newRow("only blanks after the program") << R"(C:\T\hex2bin.exe   )" << "";
}

void TestHexConv::pathFromCommandLine()
{
    QFETCH(QString, commandLine);
    QFETCH(QString, path);
    QCOMPARE(QString::fromStdString(hexconv::pathFromCommandLine(commandLine.toStdString(), "hex2bin.exe")), path);
}

void TestHexConv::convertsValidInput_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("image");

    QTest::newRow("end record only") << endRecord << QByteArray();
    QTest::newRow("one record at 0") << data(0, {1, 2, 3}) + endRecord << bytes({1, 2, 3});
    QTest::newRow("lower-case digits") << (data(0, {0xAB, 0xCD}) + endRecord).toLower() << bytes({0xAB, 0xCD});
    QTest::newRow("gap filled with FF") << data(0, {1}) + data(4, {2}) + endRecord << bytes({1, 0xFF, 0xFF, 0xFF, 2});
    QTest::newRow("records out of order") << data(4, {2}) + data(0, {1}) + endRecord
                                          << bytes({1, 0xFF, 0xFF, 0xFF, 2});
    QTest::newRow("first data at 0x100") << data(0x100, {0x12}) + endRecord << ff(0x100) + bytes({0x12});
    QTest::newRow("CR LF line ends") << crlf(data(0, {1}) + data(2, {3}) + endRecord)
                                     << bytes({1, 0xFF, 3});
    QTest::newRow("mixed line ends, none at the end") << data(0, {1}) + (data(1, {2}).replace("\n", "\r\n"))
                                                             + ":00000001FF"
                                                      << bytes({1, 2});
    QTest::newRow("CR-only line ends") << QByteArray(data(0, {1}) + data(2, {3}) + endRecord).replace("\n", "\r")
                                       << bytes({1, 0xFF, 3});
    QTest::newRow("CR CR LF: a blank line between") << QByteArray(data(0, {1}) + data(1, {2}) + endRecord).replace("\n", "\r\r\n")
                                                    << bytes({1, 2});
    QTest::newRow("blank lines") << "\n\r\n" + data(0, {1}) + "\n   \t\n\r\n" + data(1, {2}) + "\n" + endRecord + "\n"
                                 << bytes({1, 2});
    QTest::newRow("anything after the end record") << data(0, {1}) + endRecord + data(0x10, {2}) + "junk\n:zz\n"
                                                    << bytes({1});
    QTest::newRow("extended segment address")
        << record(0x02, 0, bytes({0x10, 0x00})) + data(0x10, {0xAA}) + endRecord << ff(0x10010) + bytes({0xAA});
    QTest::newRow("segment base is paragraph x 16")
        << record(0x02, 0, bytes({0x00, 0x01})) + data(0, {0xAA}) + endRecord << ff(0x10) + bytes({0xAA});
    QTest::newRow("extended linear address")
        << record(0x04, 0, bytes({0x00, 0x01})) + data(2, {0x55}) + endRecord << ff(0x10002) + bytes({0x55});
    QTest::newRow("segment record replaces linear base")
        << record(0x04, 0, bytes({0x00, 0x01})) + record(0x02, 0, bytes({0x00, 0x00})) + data(0, {7}) + endRecord
        << bytes({7});
    QTest::newRow("linear record replaces segment base")
        << record(0x02, 0, bytes({0x10, 0x00})) + record(0x04, 0, bytes({0x00, 0x00})) + data(1, {7}) + endRecord
        << bytes({0xFF, 7});
    QTest::newRow("start address records ignored")
        << record(0x03, 0, bytes({0x00, 0x00, 0x18, 0x00})) + data(0, {1})
               + record(0x05, 0, bytes({0x00, 0x12, 0x34, 0x56})) + endRecord
        << bytes({1});
    QTest::newRow("zero-length data record adds nothing") << data(0, {1}) + data(0x5000, {}) + endRecord << bytes({1});
    QTest::newRow("same bytes given twice") << data(0, {1, 2, 3}) + data(1, {2, 3, 4}) + endRecord
                                            << bytes({1, 2, 3, 4});
    QTest::newRow("FF data at the end counts") << data(0, {1}) + data(3, {0xFF}) + endRecord
                                               << bytes({1, 0xFF, 0xFF, 0xFF});
    QTest::newRow("record ending at offset FFFF") << data(0xFFFE, {1, 2}) + endRecord << ff(0xFFFE) + bytes({1, 2});
    QTest::newRow("data ending exactly at 16 MiB")
        << record(0x04, 0, bytes({0x00, 0xFF})) + data(0xFFFF, {0x42}) + endRecord << ff(0xFFFFFF) + bytes({0x42});
    QByteArray full;
    for (int i = 0; i < 255; ++i)
        full += char(i);
    QTest::newRow("255 bytes in one record") << record(0x00, 0, full) + endRecord << full;
    QTest::newRow("end record with an address") << data(0, {1}) + record(0x01, 0x1234, {}) << bytes({1});
}

void TestHexConv::convertsValidInput()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, image);
    const hexconv::Result r = hexconv::convert(text.toStdString());
    QVERIFY2(r.ok, r.error.c_str());
    QVERIFY(r.error.empty());
    QCOMPARE(imageBytes(r).size(), image.size());
    QCOMPARE(imageBytes(r), image);
}

void TestHexConv::rejectsMalformedInput_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");

    QByteArray badSum = data(0, {1, 2, 3});
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    QTest::newRow("bad checksum") << badSum + endRecord << "line 1: bad checksum";
    QByteArray flipped = data(0, {0x10});
    flipped[9] = '2';  // first data digit: the checksum no longer fits
    QTest::newRow("data digit changed") << data(0, {1}) + flipped + endRecord << "line 2: bad checksum";
    QTest::newRow("bad end record checksum") << data(0, {1}) + ":00000001FE\n" << "line 2: bad checksum";
    QTest::newRow("bad hex digit") << QByteArray(":03000000010G03F7\n") + endRecord
                                   << "line 1: bad hex digit 'G' in column 13";
    QTest::newRow("trailing blank") << data(0, {1}).replace("\n", " \n") + endRecord << "line 1: bad hex digit 0x20";
    QTest::newRow("stray NUL") << data(0, {1}).replace("\n", QByteArray("\0\n", 2)) + endRecord
                               << "line 1: bad hex digit 0x00";
    QTest::newRow("checksum numbers") << data(0, {1, 2, 3}).replace("F7\n", "F8\n") + endRecord
                                      << "line 1: bad checksum 0xF8, the record's bytes give 0xF7";
    QTest::newRow("checksum numbers, sum wraps") << data(0, {0xFF, 0xFF}).replace("00\n", "01\n") + endRecord
                                                 << "line 1: bad checksum 0x01, the record's bytes give 0x00";
    QTest::newRow("checksum numbers, end record") << QByteArray(":00000001FE\n")
                                                  << "line 1: bad checksum 0xFE, the record's bytes give 0xFF";
    QTest::newRow("line numbers with CR-only ends") << QByteArray(data(0, {1}) + "\r" + badSum + endRecord).replace("\n", "\r")
                                                    << "line 3: bad checksum";
    QTest::newRow("no colon") << data(0, {1}).mid(1) + endRecord << "line 1: record does not start with ':'";
    QTest::newRow("blank before colon") << " " + endRecord << "line 1: record does not start with ':'";
    QTest::newRow("not a HEX file at all") << QByteArray("\x7f" "ELF\x01\x01\n") << "line 1: record does not start";
    QTest::newRow("colon only") << QByteArray(":\n") + endRecord << "line 1: record too short";
    QTest::newRow("byte count longer than the line") << rawRecord({0x05, 0x00, 0x00, 0x00, 1, 2, 3}) + endRecord
                                                    << "line 1: record shorter than its byte count 0x05 says";
    QTest::newRow("byte count shorter than the line") << rawRecord({0x01, 0x00, 0x00, 0x00, 1, 2, 3}) + endRecord
                                                     << "line 1: record longer than its byte count 0x01 says";
    QTest::newRow("one digit too many") << data(0, {1}).replace("\n", "0\n") + endRecord
                                        << "line 1: record longer than its byte count";
    QTest::newRow("one digit missing") << data(0, {1}).left(10) + "\n" + endRecord
                                       << "line 1: record shorter than its byte count";
    QTest::newRow("end record without checksum") << data(0, {1}) + ":00000001\n"
                                                 << "line 2: record shorter than its byte count 0x00 says";
    QTest::newRow("unknown record type") << data(0, {1}) + record(0x06, 0, {}) + endRecord
                                         << "line 2: unknown record type 0x06";
    QTest::newRow("end record with data") << data(0, {1}) + record(0x01, 0, bytes({0})) + endRecord
                                          << "line 2: record type 0x01 needs byte count 0x00, not 0x01";
    QTest::newRow("short segment record") << record(0x02, 0, bytes({0x10})) + endRecord
                                          << "line 1: record type 0x02 needs byte count 0x02, not 0x01";
    QTest::newRow("long start segment record") << record(0x03, 0, bytes({0, 0, 0, 0, 0})) + endRecord
                                               << "line 1: record type 0x03 needs byte count 0x04, not 0x05";
    QTest::newRow("empty linear record") << record(0x04, 0, {}) + endRecord
                                         << "line 1: record type 0x04 needs byte count 0x02, not 0x00";
    QTest::newRow("short start linear record") << record(0x05, 0, bytes({0, 0})) + endRecord
                                               << "line 1: record type 0x05 needs byte count 0x04, not 0x02";
    QTest::newRow("no end record") << data(0, {1}) + data(1, {2}) << "line 2: input ends without an end-of-file record";
    QTest::newRow("no end record, blank lines after") << data(0, {1}) + "\n\n"
                                                      << "line 3: input ends without an end-of-file record";
    QTest::newRow("empty input") << QByteArray() << "line 1: input ends without an end-of-file record";
    QTest::newRow("data beyond 16 MiB") << record(0x04, 0, bytes({0x01, 0x00})) + data(0, {1}) + endRecord
                                        << "line 2: data at 0x01000000 lies beyond 16 MiB";
    QTest::newRow("data far beyond 16 MiB") << record(0x04, 0, bytes({0xFF, 0xFF})) + data(0xFFF0, {1}) + endRecord
                                            << "line 2: data at 0xFFFFFFF0 lies beyond 16 MiB";
    QTest::newRow("record runs past offset FFFF") << data(0xFFFF, {1, 2}) + endRecord
                                                  << "line 1: data record at offset 0xFFFF runs past the end";
    QTest::newRow("segment record runs past offset FFFF")
        << record(0x02, 0, bytes({0x10, 0x00})) + record(0x00, 0xFFF0, ff(17)) + endRecord
        << "line 2: data record at offset 0xFFF0 runs past the end";
    QTest::newRow("overlap with different bytes") << data(0, {1, 2, 3}) + data(2, {9}) + endRecord
                                                  << "line 2: data for address 0x00000002 differs from an earlier record";
    QTest::newRow("overlap via another base")
        << data(0x10, {1}) + record(0x02, 0, bytes({0x00, 0x01})) + data(0, {2}) + endRecord
        << "line 3: data for address 0x00000010 differs";
    QTest::newRow("line numbers count blank lines and CR LF")
        << "\r\n" + data(0, {1}).replace("\n", "\r\n") + "\r\n\r\n" + badSum + endRecord << "line 5: bad checksum";
    QTest::newRow("error before a good end record") << data(0, {1}) + record(0x07, 0, {}) + endRecord
                                                    << "line 2: unknown record type 0x07";
}

void TestHexConv::rejectsMalformedInput()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    const hexconv::Result r = hexconv::convert(text.toStdString());
    QVERIFY(!r.ok);
    QVERIFY(r.image.empty());
    const QString error = QString::fromStdString(r.error);
    QVERIFY2(error.startsWith(reason), qPrintable(error));
    QVERIFY(!error.contains('\n') && !error.contains('\r'));
}

void TestHexConv::programWritesImageBesideInput_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("unquoted");  // the path arrives split at its blanks
    QTest::addColumn<QString>("output");

    QTest::newRow("plain") << "fw" << "blink.hex" << false << "blink.bin";
    QTest::newRow("upper-case extension") << "fw" << "BLINK.HEX" << false << "BLINK.bin";
    QTest::newRow("no extension") << "fw" << "blink" << false << "blink.bin";
    QTest::newRow("blanks, one argument") << "my firmware" << "blink v2.hex" << false << "blink v2.bin";
    QTest::newRow("blanks, unquoted command line") << "my firmware" << "blink v2 final.hex" << true
                                                   << "blink v2 final.bin";
    QTest::newRow("dotted folder with blanks") << "my fw.d" << "led. test.hex" << true << "led. test.bin";
}

void TestHexConv::programWritesImageBesideInput()
{
    QFETCH(QString, folder);
    QFETCH(QString, file);
    QFETCH(bool, unquoted);
    QFETCH(QString, output);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QDir(tmp.path()).mkdir(folder));
    const QString dir = tmp.filePath(folder);
    const QString input = QDir(dir).filePath(file);
    QVERIFY(writeFile(input, smallHex));

    const Run r = runConverter(unquoted ? input.split(' ') : QStringList{input});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(r.err.isEmpty());
    QCOMPARE(entries(dir), sorted({file, output}));
    QCOMPARE(readFile(QDir(dir).filePath(output)), smallImage);
}

void TestHexConv::programLeavesNoOutputOnBadHex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("olderImage");  // a .bin from an earlier conversion lies there
    QTest::addColumn<QString>("reason");

    QByteArray badSum = data(0, {1});
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    QTest::newRow("bad checksum") << badSum + endRecord << false << "line 1: bad checksum";
    QTest::newRow("bad checksum, older image") << badSum + endRecord << true << "line 1: bad checksum";
    QTest::newRow("no end record, older image") << smallHex.left(smallHex.size() - endRecord.size()) << true
                                                << "line 2: input ends without";
    // Fails only after much data is placed: nothing of it may reach the disk.
    QTest::newRow("late overlap, older image") << smallHex.chopped(endRecord.size()) + data(0, {0x13}) + endRecord
                                              << true << "line 3: data for address";
    QTest::newRow("beyond 16 MiB") << data(0, {1}) + record(0x04, 0, bytes({0x01, 0x00})) + data(0, {1}) + endRecord
                                   << false << "line 3: data at 0x01000000 lies beyond 16 MiB";
}

void TestHexConv::programLeavesNoOutputOnBadHex()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, olderImage);
    QFETCH(QString, reason);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString input = tmp.filePath("my fw.hex");
    const QString output = tmp.filePath("my fw.bin");
    QVERIFY(writeFile(input, text));
    const QByteArray older = "an image from an earlier conversion";
    if (olderImage)
        QVERIFY(writeFile(output, older));
    const QStringList before = entries(tmp.path());

    const Run r = runConverter({input});
    QVERIFY(r.exitCode > 0);
    QVERIFY2(isOneLine(r.err), r.err.constData());
    QVERIFY2(r.err.contains(reason.toUtf8()), r.err.constData());
    QVERIFY2(r.err.contains("my fw.hex"), r.err.constData());
    QCOMPARE(entries(tmp.path()), before);
    if (olderImage)
        QCOMPARE(readFile(output), older);
}

void TestHexConv::programReplacesOlderImage()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString input = tmp.filePath("blink.hex");
    QVERIFY(writeFile(input, smallHex));
    QVERIFY(writeFile(tmp.filePath("blink.bin"), QByteArray(1000, 'x')));  // longer than the new image

    const Run r = runConverter({input});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(readFile(tmp.filePath("blink.bin")), smallImage);
    QCOMPARE(entries(tmp.path()), (QStringList{"blink.bin", "blink.hex"}));
}

void TestHexConv::programWithoutArgument()
{
    const Run r = runConverter({});
    QVERIFY(r.exitCode > 0);
    QVERIFY2(isOneLine(r.err), r.err.constData());
    QVERIFY2(r.err.contains("usage"), r.err.constData());
}

void TestHexConv::programWithMissingInput()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const Run r = runConverter({tmp.filePath("absent.hex")});
    QVERIFY(r.exitCode > 0);
    QVERIFY2(isOneLine(r.err), r.err.constData());
    QVERIFY2(r.err.contains("cannot read") && r.err.contains("absent.hex"), r.err.constData());
    QVERIFY(entries(tmp.path()).isEmpty());
}

void TestHexConv::programWithUnwritableOutput()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString input = tmp.filePath("blink.hex");
    QVERIFY(writeFile(input, smallHex));
    // A folder under the output's name cannot be replaced by a file, whoever runs the test.
    QVERIFY(QDir(tmp.path()).mkdir("blink.bin"));

    const Run r = runConverter({input});
    QVERIFY(r.exitCode > 0);
    QVERIFY2(isOneLine(r.err), r.err.constData());
    QVERIFY2(r.err.contains("cannot write") && r.err.contains("blink.bin"), r.err.constData());
    QCOMPARE(entries(tmp.path()), (QStringList{"blink.bin", "blink.hex"}));
    QVERIFY(QFileInfo(tmp.filePath("blink.bin")).isDir());
    QVERIFY(entries(tmp.filePath("blink.bin")).isEmpty());
}

void TestHexConv::programRefusesToOverwriteItsInput()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString input = tmp.filePath("image.BIN");  // HEX text under the output's own name
    QVERIFY(writeFile(input, smallHex));

    const Run r = runConverter({input});
    QVERIFY(r.exitCode > 0);
    QVERIFY2(isOneLine(r.err), r.err.constData());
    QCOMPARE(readFile(input), smallHex);
    QCOMPARE(entries(tmp.path()), QStringList{"image.BIN"});
}

// A FIFO would block the open and a device never ends: neither is read.
void TestHexConv::programRefusesNonRegularInput()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString fifo = tmp.filePath("pipe.hex");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // A device node: /dev/null, as a device that never ends would fill the memory of a
    // converter that read it.
    const QString device = tmp.filePath("null.hex");
    QVERIFY(QFile::link("/dev/null", device));
    for (const QString &input : {fifo, device}) {
        QProcess p;
        p.start(converterProgram(), {input});
        QVERIFY(p.waitForStarted());
        const bool ended = p.waitForFinished(10000);
        if (!ended) {
            p.kill();
            p.waitForFinished();
        }
        QVERIFY2(ended, qPrintable(input));
        QCOMPARE(p.exitCode(), 2);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(isOneLine(err) && err.contains("not a regular file"), err.constData());
    }
    QCOMPARE(entries(tmp.path()), (QStringList{"null.hex", "pipe.hex"}));
}

// A (sparse) file above the bound is refused before a byte of it is read.
void TestHexConv::programRefusesOversizedInput()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString input = tmp.filePath("huge.hex");
    QFile f(input);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(smallHex) == smallHex.size());
    QVERIFY(f.resize(qint64(hexconv::maxHexTextSize) + 1));
    f.close();
    const Run r = runConverter({input});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(isOneLine(r.err), r.err.constData());
    QVERIFY2(r.err.contains("huge.hex: larger than 256 MiB, more than the HEX text of any 16 MiB image; refused"),
             r.err.constData());
    QCOMPARE(entries(tmp.path()), QStringList{"huge.hex"});

}

// The temporary name does not grow with the target's: a name of the longest length a file
// system takes converts; one beyond it is reported as such.
void TestHexConv::programNamesNearTheLengthLimit()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString longest = QString(251, 'a') + ".hex";  // output: 251 + ".bin", 255 characters
    QVERIFY(writeFile(tmp.filePath(longest), smallHex));
    const Run r = runConverter({tmp.filePath(longest)});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(readFile(tmp.filePath(QString(251, 'a') + ".bin")), smallImage);
    QCOMPARE(entries(tmp.path()).size(), 2);

    QTemporaryDir tmp2;
    const QString tooLong = QString(253, 'b') + ".h";  // output: 253 + ".bin", 257 characters
    QVERIFY(writeFile(tmp2.filePath(tooLong), smallHex));
    const Run r2 = runConverter({tmp2.filePath(tooLong)});
    QCOMPARE(r2.exitCode, 2);
    QVERIFY2(isOneLine(r2.err), r2.err.constData());
    QVERIFY2(r2.err.contains("the name is longer than the file system allows"), r2.err.constData());
    QCOMPARE(entries(tmp2.path()), QStringList{tooLong});
}

// Nothing already under the temporary name is written through, not even a dangling link.
void TestHexConv::temporaryFileIsCreatedExclusively()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString link = tmp.filePath("taken.tmp");
    const QString target = tmp.filePath("elsewhere");
    QVERIFY(QFile::link(target, link));
    errno = 0;
    QVERIFY(hexconv::openNew(link.toStdString()) == nullptr);
    QCOMPARE(errno, EEXIST);
    QVERIFY(!QFileInfo::exists(target));
    std::FILE *f = hexconv::openNew(tmp.filePath("fresh.tmp").toStdString());
    QVERIFY(f != nullptr);
    std::fclose(f);
    QVERIFY(hexconv::openNew(tmp.filePath("fresh.tmp").toStdString()) == nullptr);
}

void TestHexConv::agreesWithObjcopy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("lowest");  // where avr-objcopy's image starts
    QTest::addColumn<QList<int>>("types");

    QTest::newRow("blink") << "blink" << 0 << QList<int>{0x00, 0x01};
    QTest::newRow("gap to boot section, start segment address") << "gap" << 0 << QList<int>{0x00, 0x01, 0x03};
    QTest::newRow("above 64 KiB, segment addresses") << "mega" << 0 << QList<int>{0x00, 0x01, 0x02};
    QTest::newRow("across 1 MiB, linear addresses") << "far" << 0xFFF80 << QList<int>{0x00, 0x01, 0x02, 0x04, 0x05};
}

void TestHexConv::agreesWithObjcopy()
{
    const QString fixtures = QStringLiteral(TARVANE_AVR_FIXTURES);
    if (fixtures.isEmpty())
        QSKIP("avr-gcc or avr-objcopy was not found when configuring; install gcc-avr, avr-libc and binutils-avr");
    QFETCH(QString, name);
    QFETCH(int, lowest);
    QFETCH(QList<int>, types);

    const QString hexPath = QDir(fixtures).filePath(name + ".hex");
    QVERIFY2(QFileInfo::exists(hexPath), qPrintable(hexPath));
    const QByteArray hex = readFile(hexPath);
    const QByteArray reference = readFile(QDir(fixtures).filePath(name + ".ref"));
    QVERIFY(!reference.isEmpty());
    const QSet<int> used = recordTypes(hex);
    for (int t : types)
        QVERIFY2(used.contains(t), qPrintable(QString("fixture lacks record type %1").arg(t)));

    const hexconv::Result r = hexconv::convert(hex.toStdString());
    QVERIFY2(r.ok, r.error.c_str());
    const QByteArray image = imageBytes(r);
    QCOMPARE(image.size(), lowest + reference.size());
    QCOMPARE(image.left(lowest), ff(lowest));
    QVERIFY(image.mid(lowest) == reference);

    // The program gives the same bytes from a copy in a folder with blanks.
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QDir(tmp.path()).mkdir("avr fixtures"));
    const QString input = tmp.filePath("avr fixtures/" + name + " copy.hex");
    QVERIFY(writeFile(input, hex));
    const Run run = runConverter({input});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(readFile(tmp.filePath("avr fixtures/" + name + " copy.bin")) == image);
}

QTEST_GUILESS_MAIN(TestHexConv)
#include "test_hexconv.moc"
