// SPDX-License-Identifier: GPL-3.0-or-later
// Image files against avr-objcopy: firmware built here with avr-gcc, read from its ELF and from
// avr-objcopy's HEX and S-record files, must give avr-objcopy's binary image; images written
// here must read back through avr-objcopy and match its own files where it lays them out alike.

#include "image.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using image::Format;
using image::Memory;
using image::Span;

namespace {

const QString fixtures = QStringLiteral(TARVANE_IMAGE_FIXTURES);

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray fixture(const QString &name)
{
    return readFile(QDir(fixtures).filePath(name));
}

QByteArray ff(int n)
{
    return QByteArray(n, '\xFF');
}

// Bytes that are never FFh, so that data and holes differ.
QByteArray pattern(int n)
{
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i)
        b[i] = char(i * 7 % 251);
    return b;
}

// avr-objcopy run in dir; empty when it succeeded, otherwise what it said.
QByteArray objcopy(const QStringList &arguments, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral(TARVANE_AVR_OBJCOPY), arguments);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return "avr-objcopy " + arguments.join(' ').toUtf8() + ": " + p.readAllStandardError() + p.errorString().toUtf8();
    return {};
}

// One S-record line: type, address, data, and the checksum that makes it good.
QByteArray srec(int type, quint32 address, const QByteArray &data)
{
    const int width = QList<int>{2, 2, 3, 4, 0, 2, 3, 4, 3, 2}[type];
    QByteArray bytes(1, char(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i)
        bytes += char(address >> (8 * i));
    bytes += data;
    int sum = 0;
    for (char c : bytes)
        sum += uchar(c);
    return "S" + QByteArray::number(type) + (bytes + char(~sum)).toHex().toUpper() + '\n';
}

QByteArray ihex(int type, int address, const QByteArray &data)
{
    QByteArray bytes = QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    int sum = 0;
    for (char c : bytes)
        sum += uchar(c);
    return ':' + (bytes + char(-sum)).toHex().toUpper() + '\n';
}

// A small AVR executable laid out as avr-ld lays one out: header, program headers, contents,
// section names, section headers. A section with loadAt >= 0 gets a PT_LOAD header that puts
// it at that physical address.
struct ElfSection {
    QByteArray name;
    quint32 type, flags, address;
    QByteArray data;
    qint64 loadAt = -1;
    quint32 size = 0;    // for SHT_NOBITS, which has no data
    quint32 offset = 0;  // where the contents lie, when not simply next
};

void put(QByteArray &b, int at, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char(value >> (8 * i));
}

QByteArray makeElf(const QList<ElfSection> &sections)
{
    int loads = 0;
    for (const ElfSection &s : sections)
        loads += s.loadAt >= 0;
    QByteArray f(52 + 32 * loads, '\0');
    f.replace(0, 6, QByteArray("\x7f" "ELF\x01\x01"));
    f[6] = 1;
    put(f, 16, 2, 2);   // ET_EXEC
    put(f, 18, 83, 2);  // EM_AVR
    put(f, 28, 52, 4);
    put(f, 42, 32, 2);
    put(f, 44, quint32(loads), 2);
    QByteArray names("\0.shstrtab", 10), headers(40, '\0');
    int phdr = 52;
    for (const ElfSection &s : sections) {
        const quint32 offset = s.offset ? s.offset : quint32(f.size());
        const quint32 size = s.data.isEmpty() ? s.size : quint32(s.data.size());
        QByteArray h(40, '\0');
        put(h, 0, quint32(names.size()), 4);
        put(h, 4, s.type, 4);
        put(h, 8, s.flags, 4);
        put(h, 12, s.address, 4);
        put(h, 16, offset, 4);
        put(h, 20, size, 4);
        headers += h;
        names += s.name + '\0';
        if (s.loadAt >= 0) {
            const quint32 fields[] = {1, offset, s.address, quint32(s.loadAt), quint32(s.data.size()), size};
            for (int i = 0; i < 6; ++i)
                put(f, phdr + 4 * i, fields[i], 4);
            phdr += 32;
        }
        f += s.data;
    }
    QByteArray h(40, '\0');
    put(h, 0, 1, 4);
    put(h, 4, 3, 4);  // SHT_STRTAB
    put(h, 16, quint32(f.size()), 4);
    put(h, 20, quint32(names.size()), 4);
    f += names;
    put(f, 32, quint32(f.size()), 4);
    put(f, 46, 40, 2);
    put(f, 48, quint32(sections.size() + 2), 2);
    put(f, 50, quint32(sections.size() + 1), 2);
    return f + headers + h;
}

enum : quint32 { Progbits = 1, Nobits = 8, Alloc = 2, Write = 1, Exec = 4 };

// .text and .data as avr-gcc places them, a section no program header holds, .bss at a Flash
// address (room, no bytes), an empty section whose offset lies beyond the file, a section that
// is not loaded at all, and .eeprom loaded 2 bytes into EEPROM.
const QList<ElfSection> handMade = {
    {".text", Progbits, Alloc | Exec, 0, pattern(6), 0},
    {".data", Progbits, Alloc | Write, 0x800100, "\x11\x22\x33", 6},
    {".lone", Progbits, Alloc, 0x20, "\x44\x55"},
    {".bss", Nobits, Alloc | Write, 0x30, {}, -1, 8},
    {".empty", Progbits, Alloc, 0x10, {}, -1, 0, 0xFFFFF0},
    {".note", Progbits, 0, 0, "xy"},
    {".eeprom", Progbits, Alloc | Write, 0x810000, "\x66\x77", 0x810002},
};

QByteArray patched(QByteArray elf, int at, quint32 value, int bytes)
{
    put(elf, at, value, bytes);
    return elf;
}

// Section header n of a makeElf file (n = 1 for the first listed section).
int sectionHeader(const QByteArray &elf, int n)
{
    return int(qFromLittleEndian<quint32>(elf.constData() + 32)) + 40 * n;
}

}  // namespace

class TestImage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readsObjcopyFiles_data();
    void readsObjcopyFiles();
    void readsHandMadeElfAsObjcopy();
    void writesWhatObjcopyReads_data();
    void writesWhatObjcopyReads();
    void readsSRecords_data();
    void readsSRecords();
    void refusesDataOutsideMemory_data();
    void refusesDataOutsideMemory();
    void refusesMalformedInput_data();
    void refusesMalformedInput();
    void choosesFormatByName_data();
    void choosesFormatByName();
    void loadReadsOnlyRegularFilesOfBoundedSize();
};

void TestImage::initTestCase()
{
    if (fixtures.isEmpty())
        QSKIP("avr-gcc or avr-objcopy was not found when configuring; install gcc-avr, avr-libc and binutils-avr");
}

void TestImage::readsObjcopyFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("memory");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("files");  // the ELF, then avr-objcopy's HEX and S-record
    QTest::addColumn<QString>("reference");  // avr-objcopy's binary
    QTest::addColumn<int>("lead");           // where the reference starts
    QTest::addColumn<QList<Span>>("farSpans");  // the spans after the first

    QTest::newRow("ATmega328P Flash: .text, .data, a gap, .far")
        << "m328" << int(Memory::Flash) << 0x8000 << QStringList{"m328.elf", "m328.hex", "m328.srec"}
        << "m328.flash.bin" << 0 << QList<Span>{{0x7E00, 40}};
    QTest::newRow("ATmega328P EEPROM") << "m328" << int(Memory::Eeprom) << 1024
                                       << QStringList{"m328.elf", "m328.eep", "m328-eeprom.srec"}
                                       << "m328.eeprom.bin" << 0 << QList<Span>{};
    QTest::newRow("ATmega2560 Flash: .far above 128 KiB")
        << "m2560" << int(Memory::Flash) << 0x40000 << QStringList{"m2560.elf", "m2560.hex", "m2560.srec"}
        << "m2560.flash.bin" << 0 << QList<Span>{{0x3F000, 40}};
    QTest::newRow("ATmega2560 EEPROM from 0x100") << "m2560" << int(Memory::Eeprom) << 4096
                                                  << QStringList{"m2560.elf", "m2560.eep", "m2560-eeprom.srec"}
                                                  << "m2560.eeprom.bin" << 0x100 << QList<Span>{};
}

// Every byte agrees with avr-objcopy's image, holes FFh, and all three files give the same
// spans: code and .data as one run from lead, then the sections placed apart.
void TestImage::readsObjcopyFiles()
{
    QFETCH(int, memory);
    QFETCH(int, size);
    QFETCH(QStringList, files);
    QFETCH(QString, reference);
    QFETCH(int, lead);
    QFETCH(QList<Span>, farSpans);

    const QByteArray expected = ff(lead) + fixture(reference);
    QVERIFY(expected.size() > lead);
    const QList<Format> formats{Format::Elf, Format::IntelHex, Format::SRecord};
    for (int i = 0; i < files.size(); ++i) {
        const image::Loaded l = image::load(QDir(fixtures).filePath(files[i]), size, Memory(memory));
        QVERIFY2(l.ok, qPrintable(files[i] + ": " + l.error));
        QCOMPARE(l.format, formats[i]);
        QCOMPARE(l.bytes.size(), expected.size());
        QVERIFY2(l.bytes == expected, qPrintable(files[i]));
        QCOMPARE(l.spans.size(), std::size_t(farSpans.size() + 1));
        QCOMPARE(l.spans.front().start, std::size_t(lead));
        QVERIFY(std::equal(l.spans.begin() + 1, l.spans.end(), farSpans.begin()));
    }
    // The raw image reads as itself.
    const image::Loaded raw = image::load(QDir(fixtures).filePath(reference), size, Memory(memory));
    QVERIFY(raw.ok);
    QCOMPARE(raw.format, Format::Raw);
    QVERIFY(raw.bytes == fixture(reference));
    QCOMPARE(raw.spans, (std::vector<Span>{{0, std::size_t(raw.bytes.size())}}));
}

void TestImage::readsHandMadeElfAsObjcopy()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath("hand.elf"), makeElf(handMade)));
    QCOMPARE(objcopy({"-O", "binary", "--gap-fill", "0xFF", "-R", ".eeprom", "hand.elf", "flash.bin"}, tmp.path()),
             QByteArray());
    QCOMPARE(objcopy({"-O", "binary", "-j", ".eeprom", "hand.elf", "eeprom.bin"}, tmp.path()), QByteArray());
    const QByteArray flash = pattern(6) + "\x11\x22\x33" + ff(0x20 - 9) + "\x44\x55";
    QCOMPARE(readFile(tmp.filePath("flash.bin")), flash);  // the hand-made file is what it claims
    QCOMPARE(readFile(tmp.filePath("eeprom.bin")), QByteArray("\x66\x77"));

    const image::Loaded f = image::load(tmp.filePath("hand.elf"), 0x22, Memory::Flash);
    QVERIFY2(f.ok, qPrintable(f.error));
    QCOMPARE(f.bytes, flash);
    QCOMPARE(f.spans, (std::vector<Span>{{0, 9}, {0x20, 2}}));
    const image::Loaded e = image::load(tmp.filePath("hand.elf"), 4, Memory::Eeprom);
    QVERIFY2(e.ok, qPrintable(e.error));
    QCOMPARE(e.bytes, ff(2) + "\x66\x77");
}

void TestImage::writesWhatObjcopyReads_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("trim");
    QTest::addColumn<QByteArray>("records");  // how every data line starts
    QTest::addColumn<QStringList>("sameAs");  // avr-objcopy's options that write the same file from the binary

    const QByteArray m2560 = fixture("m2560.flash.bin");  // ends in FFh data
    const QByteArray tail = pattern(0x25) + ff(11);
    const QStringList ihex{"-O", "ihex"}, srec{"-O", "srec"};
    QTest::newRow("HEX, 02 records") << m2560 << "f.hex" << false << QByteArray(":") << ihex;
    QTest::newRow("HEX, trimmed") << m2560 << "f.hex" << true << QByteArray(":") << ihex;
    QTest::newRow("HEX across 1 MiB, 04 records") << pattern(0x100010) << "f.ihex" << false << QByteArray(":") << ihex;
    QTest::newRow("EEPROM .eep, trimmed") << ff(0x100) + fixture("m2560.eeprom.bin") + ff(3) << "e.EEP" << true
                                          << QByteArray(":") << ihex;
    QTest::newRow("S-record, S2") << m2560 << "f.srec" << false << QByteArray("S2") << srec;
    QTest::newRow("S-record, trimmed") << tail << "f.srec" << true << QByteArray("S1") << srec;
    QTest::newRow("S-record, untrimmed") << tail << "f.srec" << false << QByteArray("S1") << srec;
    QTest::newRow("last address FFFF: S1") << pattern(0x10000) << "f.s19" << false << QByteArray("S1") << srec;
    QTest::newRow("last address 10000: S2 even as .s19") << pattern(0x10001) << "f.s19" << false
                                                         << QByteArray("S2") << srec;
    QTest::newRow(".s28 forces S2") << tail << "f.s28" << false << QByteArray("S2") << QStringList{};
    QTest::newRow(".s37 forces S3, S0 name cut at 40") << tail << "a-firmware-name-longer-than-forty-bytes.S37" << true << QByteArray("S3")
                                    << QStringList{"-O", "srec", "--srec-forceS3"};
    QTest::newRow("raw keeps FFh even when asked to trim") << tail << "f.bin" << true << QByteArray() << QStringList{};
}

void TestImage::writesWhatObjcopyReads()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(bool, trim);
    QFETCH(QByteArray, records);
    QFETCH(QStringList, sameAs);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid() && QDir(tmp.path()).mkdir("ours"));
    const QString ours = tmp.filePath("ours/" + name);
    const QByteArray file = image::encode(bytes, ours, trim);
    QVERIFY(writeFile(ours, file));
    if (records.isEmpty()) {
        QVERIFY(file == bytes);
        return;
    }
    QByteArray expected = bytes;
    while (trim && expected.endsWith('\xFF'))
        expected.chop(1);
    QVERIFY(expected.size() < bytes.size() || !trim);
    for (const QByteArray &line : file.split('\n').mid(1, file.count('\n') - 2))
        QVERIFY2(line.startsWith(records) || line.startsWith(":02000002") || line.startsWith(":02000004"), line);

    const QString input = records.startsWith(':') ? "ihex" : "srec";
    QCOMPARE(objcopy({"-I", input, "-O", "binary", "--gap-fill", "0xFF", ours, "back.bin"}, tmp.path()), QByteArray());
    QVERIFY(readFile(tmp.filePath("back.bin")) == expected);
    if (!sameAs.isEmpty()) {
        // avr-objcopy names its output in S0: the same bare name, written in the same folder.
        QVERIFY(writeFile(tmp.filePath("image.bin"), expected));
        QCOMPARE(objcopy(QStringList{"-I", "binary"} + sameAs + QStringList{"image.bin", name}, tmp.path()), QByteArray());
        QCOMPARE(file, readFile(tmp.filePath(name)));
    }
}

void TestImage::readsSRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray end = srec(9, 0, {});
    QTest::newRow("header, S1, S9") << srec(0, 0, "hdr") + srec(1, 2, "\x01\x02") + end << ff(2) + "\x01\x02";
    QTest::newRow("lower-case digits") << (srec(1, 0, "\xAB") + end).toLower().replace('s', 'S') << QByteArray("\xAB");
    QTest::newRow("S2 and S3 mixed, S8 ends") << srec(2, 3, "\x05") + srec(3, 1, "\x06") + srec(8, 0, {})
                                              << QByteArray("\xFF\x06\xFF\x05");
    QTest::newRow("S5 and S6 counts") << srec(1, 0, "\x01") + srec(5, 1, {}) + srec(1, 1, "\x02") + srec(6, 2, {})
                                             + srec(7, 0, {})
                                      << QByteArray("\x01\x02");
    QTest::newRow("CR ends, blank lines, junk after the end")
        << QByteArray("\r \r" + srec(1, 0, "\x07") + end + "junk\n").replace('\n', '\r') << QByteArray("\x07");
    QTest::newRow("S1 running past FFFF carries on") << srec(1, 0xFFFF, "\x08\x09") + end << ff(0xFFFF) + "\x08\x09";
    QTest::newRow("same bytes twice") << srec(1, 0, "\x01\x02") + srec(1, 1, "\x02") + end << QByteArray("\x01\x02");
}

void TestImage::readsSRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    const image::Decoded d = image::decode(text.toStdString(), Format::SRecord, Memory::Flash, 0x20000);
    QVERIFY2(d.ok, d.error.c_str());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(d.bytes.data()), qsizetype(d.bytes.size())), bytes);
}

void TestImage::refusesDataOutsideMemory_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("memory");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("error");  // empty: accepted

    const int hex = int(Format::IntelHex), sr = int(Format::SRecord), raw = int(Format::Raw), elf = int(Format::Elf);
    const int flash = int(Memory::Flash), eeprom = int(Memory::Eeprom);
    const QByteArray hexEnd = ":00000001FF\n", srEnd = srec(9, 0, {});
    QTest::newRow("HEX record at 0x8000")
        << ihex(0, 0, "\x01") + ihex(0, 0x8000, "\x02") + hexEnd << hex << flash << 0x8000
        << "line 2: data at address 0x8000 lies outside Flash (32768 bytes)";
    QTest::newRow("HEX record running out") << ihex(0, 0x7FF8, pattern(16)) + hexEnd << hex << flash << 0x8000
                                            << "line 1: data at address 0x8000 lies outside Flash (32768 bytes)";
    QTest::newRow("HEX record ending at the last byte") << ihex(0, 0x7FF0, pattern(16)) + hexEnd << hex << flash
                                                        << 0x8000 << "";
    QTest::newRow("HEX above 64 KiB") << ihex(2, 0, QByteArray("\x10\x00", 2)) + ihex(0, 0, "\x01") + hexEnd << hex << flash
                                      << 0x10000 << "line 2: data at address 0x10000 lies outside Flash (65536 bytes)";
    QTest::newRow("S-record into EEPROM") << srec(1, 0x400, "\x01") + srEnd << sr << eeprom << 1024
                                          << "line 1: data at address 0x0400 lies outside EEPROM (1024 bytes)";
    QTest::newRow("S-record overlap") << srec(1, 0x10, "\x01\x02") + srec(1, 0x11, "\x03") + srEnd << sr << flash
                                      << 0x100 << "line 2: data for address 0x0011 differs from an earlier record";
    QTest::newRow("raw one byte too long") << pattern(0x8001) << raw << flash << 0x8000
                                           << "data at address 0x8000 lies outside Flash (32768 bytes)";
    QTest::newRow("raw as large as the memory") << pattern(0x8000) << raw << flash << 0x8000 << "";
    QTest::newRow("ELF .far beyond 128 KiB") << fixture("m2560.elf") << elf << flash << 0x20000
                                             << "section .far: data at address 0x3F000 lies outside Flash (131072 bytes)";
    QTest::newRow("ELF .far ending at the last byte") << fixture("m328.elf") << elf << flash << 0x7E28 << "";
    QTest::newRow("ELF .far one byte beyond") << fixture("m328.elf") << elf << flash << 0x7E27
                                              << "section .far: data at address 0x7E27 lies outside Flash (32295 bytes)";
    QTest::newRow("ELF .eeprom beyond 256 bytes") << fixture("m2560.elf") << elf << eeprom << 0x100
                                                  << "section .eeprom: data at address 0x0100 lies outside EEPROM (256 bytes)";
    QByteArray overlapping = makeElf(handMade);
    put(overlapping, 52 + 32 + 12, 4, 4);  // .data loaded over the end of .text
    QTest::newRow("ELF sections overlapping") << overlapping << elf << flash << 0x100
                                              << "section .data: data for address 0x0004 differs from an earlier section";
    QTest::newRow("memory beyond 16 MiB") << QByteArray() << raw << flash << 0x1000001
                                          << "a memory of 16777217 bytes is beyond 16 MiB";
}

void TestImage::refusesDataOutsideMemory()
{
    QFETCH(QByteArray, content);
    QFETCH(int, format);
    QFETCH(int, memory);
    QFETCH(int, size);
    QFETCH(QString, error);
    const image::Decoded d = image::decode(content.toStdString(), Format(format), Memory(memory), std::size_t(size));
    QCOMPARE(QString::fromStdString(d.error), error);
    QCOMPARE(d.ok, error.isEmpty());
    QVERIFY(d.ok || d.bytes.empty());
}

void TestImage::refusesMalformedInput_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("error");

    const int sr = int(Format::SRecord), elf = int(Format::Elf);
    const QByteArray end = srec(9, 0, {}), one = srec(1, 0, "\x01\x02\x03");
    QByteArray badSum = one;
    badSum[badSum.size() - 2] = '0';
    QTest::newRow("S: bad checksum") << one + badSum + end << sr << "line 2: bad checksum 0xF0, the record's bytes give 0xF3";
    QTest::newRow("S: no S") << one.mid(1) + end << sr << "line 1: record does not start with 'S'";
    QTest::newRow("S: no type") << "S\n" + end << sr << "line 1: record too short to hold a type";
    QTest::newRow("S: S4") << "S4030000FC\n" + end << sr << "line 1: unknown record type S4";
    QTest::newRow("S: type X") << "SX030000FC\n" + end << sr << "line 1: unknown record type 'X'";
    QTest::newRow("S: bad digit") << QByteArray(one).replace(6, 1, "G") + end << sr
                                  << "line 1: bad hex digit 'G' in column 7";
    QTest::newRow("S: no byte count") << "S1\n" + end << sr << "line 1: record too short to hold a byte count";
    QTest::newRow("S: count too large") << QByteArray(one).replace(2, 2, "07") + end << sr
                                        << "line 1: record shorter than its byte count 0x07 says";
    QTest::newRow("S: count too small") << QByteArray(one).replace(2, 2, "05") + end << sr
                                        << "line 1: record longer than its byte count 0x05 says";
    QTest::newRow("S: S1 without room for its address") << "S10200FD\n" + end << sr
                                                        << "line 1: record type S1 needs byte count 0x03 at least, not 0x02";
    QTest::newRow("S: S3 without room for its address") << "S304000000FB\n" + end << sr
                                                        << "line 1: record type S3 needs byte count 0x05 at least, not 0x04";
    QTest::newRow("S: S5 counts wrong") << one + one + srec(5, 3, {}) + end << sr
                                        << "line 3: record S5 counts 3 data records, the file has 2 before it";
    QTest::newRow("S: S5 with data") << one + srec(5, 1, QByteArray(1, 0)) + end << sr
                                     << "line 2: record type S5 needs byte count 0x03, not 0x04";
    QTest::newRow("S: S9 with data") << one + srec(9, 0, QByteArray(1, 0)) << sr
                                     << "line 2: record type S9 needs byte count 0x03, not 0x04";
    QTest::newRow("S: no termination") << one + "\n" + one << sr
                                       << "line 3: input ends without a termination record (S7, S8 or S9)";
    QTest::newRow("S: empty") << QByteArray() << sr << "line 1: input ends without a termination record (S7, S8 or S9)";
    QTest::newRow("HEX: checksum") << QByteArray(":0100000001FF\n:00000001FF\n") << int(Format::IntelHex)
                                   << "line 1: bad checksum 0xFF, the record's bytes give 0xFE";

    const QByteArray good = makeElf(handMade);
    const int shoff = sectionHeader(good, 0);
    QTest::newRow("ELF: not ELF") << QByteArray("\x7f" "ELG") + good.mid(4) << elf
                                  << "not an ELF file: it does not start with 7Fh 'E' 'L' 'F'";
    QTest::newRow("ELF: cut in the header") << good.left(40) << elf
                                            << "ELF header: the file ends at offset 0x28, inside the 52-byte header";
    QTest::newRow("ELF: 64-bit") << patched(good, 4, 2, 1) << elf << "ELF header: class 2, not 32-bit (1)";
    QTest::newRow("ELF: big-endian") << patched(good, 5, 2, 1) << elf
                                     << "ELF header: data encoding 2, not little-endian (1)";
    QTest::newRow("ELF: object file") << patched(good, 16, 1, 2) << elf
                                      << "ELF header: file type 1, not an executable (2)";
    QTest::newRow("ELF: x86") << patched(good, 18, 3, 2) << elf << "ELF header: machine 3, not AVR (83)";
    QTest::newRow("ELF: no section headers") << patched(good, 48, 0, 2) << elf
                                             << "ELF header: the file has no section headers";
    QTest::newRow("ELF: short section headers") << patched(good, 46, 39, 2) << elf
                                                << "ELF header: section headers of 39 bytes, fewer than 40";
    QTest::newRow("ELF: short program headers") << patched(good, 42, 31, 2) << elf
                                                << "ELF header: program headers of 31 bytes, fewer than 32";
    const auto pastEnd = [](const QString &what, int offset, qsizetype size) {
        return QString("%1 at offset 0x%2 run past the end of the file (%3 bytes)")
            .arg(what, QString::number(offset, 16).toUpper())
            .arg(size);
    };
    QTest::newRow("ELF: program headers beyond the end") << patched(good, 28, quint32(good.size() - 95), 4) << elf
                                                         << pastEnd("ELF program headers", int(good.size() - 95), good.size());
    QTest::newRow("ELF: cut in the section headers") << good.chopped(1) << elf
                                                     << pastEnd("ELF section headers", shoff, good.size() - 1);
    QTest::newRow("ELF: contents beyond the end")
        << patched(good, sectionHeader(good, 3) + 16, quint32(good.size() - 1), 4) << elf
        << "section .lone: its 2 bytes" + pastEnd("", int(good.size() - 1), good.size());
    QTest::newRow("ELF: no name table, sections by number")
        << patched(patched(good, 50, 99, 2), sectionHeader(good, 3) + 16, quint32(good.size()), 4) << elf
        << "section 3: its 2 bytes" + pastEnd("", int(good.size()), good.size());
    QTest::newRow("avr-gcc's ELF cut short") << fixture("m328.elf").left(1000) << elf
                                             << "ELF section headers at offset 0x";
}

void TestImage::refusesMalformedInput()
{
    QFETCH(QByteArray, content);
    QFETCH(int, format);
    QFETCH(QString, error);
    const image::Decoded d = image::decode(content.toStdString(), Format(format), Memory::Flash, 0x8000);
    QVERIFY(!d.ok);
    QVERIFY(d.bytes.empty());
    QVERIFY2(QString::fromStdString(d.error).startsWith(error), d.error.c_str());
    QVERIFY(d.error.find('\n') == std::string::npos);
}

void TestImage::choosesFormatByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("read");
    QTest::addColumn<int>("written");

    const QByteArray magic("\x7f" "ELF\x01");
    const int hex = int(Format::IntelHex), sr = int(Format::SRecord), raw = int(Format::Raw), elf = int(Format::Elf);
    QTest::newRow(".hex") << "/fw/blink.hex" << magic << hex << hex;
    QTest::newRow(".IHEX") << "BLINK.IHEX" << QByteArray() << hex << hex;
    QTest::newRow(".eep") << "blink.eep" << QByteArray() << hex << hex;
    QTest::newRow(".srec") << "blink.srec" << magic << sr << sr;
    QTest::newRow(".S19") << "BLINK.S19" << QByteArray() << sr << sr;
    QTest::newRow(".s28") << "blink.s28" << QByteArray() << sr << sr;
    QTest::newRow(".s37") << "blink.s37" << QByteArray() << sr << sr;
    QTest::newRow(".elf without magic is still ELF") << "blink.Elf" << QByteArray("\x0c\x94") << elf << raw;
    QTest::newRow(".bin with magic stays raw") << "dump.BIN" << magic << raw << raw;
    QTest::newRow("a.out with magic") << "a.out" << magic << elf << raw;
    QTest::newRow("no extension, no magic") << "firmware" << QByteArray("\x7f" "EL") << raw << raw;
    QTest::newRow("extension of a folder") << "dir.hex/firmware" << QByteArray(":10") << raw << raw;
    QTest::newRow("hex and more") << "blink.hex.txt" << QByteArray(":10") << raw << raw;
}

void TestImage::choosesFormatByName()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, head);
    QFETCH(int, read);
    QFETCH(int, written);
    QCOMPARE(int(image::formatToRead(name.toStdString(), head.toStdString())), read);
    QCOMPARE(int(image::formatToWrite(name)), written);
}

void TestImage::loadReadsOnlyRegularFilesOfBoundedSize()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QCOMPARE(mkfifo(QFile::encodeName(tmp.filePath("pipe.hex")).constData(), 0600), 0);
    QVERIFY(QFile::link("/dev/zero", tmp.filePath("zero.bin")));
    for (const char *name : {"pipe.hex", "zero.bin"}) {
        const image::Loaded l = image::load(tmp.filePath(name), 0x8000, Memory::Flash);
        QVERIFY(!l.ok);
        QCOMPARE(l.error, QString("not a regular file, refused"));
    }
    QCOMPARE(image::load(tmp.filePath("absent.hex"), 0x8000, Memory::Flash).error,
             QString("cannot open the file: it does not exist"));
    QFile huge(tmp.filePath("huge.srec"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(image::maxFileSize) + 1));
    huge.close();
    QCOMPARE(image::load(huge.fileName(), 0x8000, Memory::Flash).error,
             QString("larger than 256 MiB, more than the file of any 16 MiB image takes; refused"));
    // A header naming the file, as avr-objcopy writes it: the name without its folder.
    QVERIFY(image::encode({}, R"(C:\fw\dump.s37)", false).startsWith(srec(0, 0, "dump.s37").trimmed() + "\r\n"));
    QCOMPARE(image::encode(ff(40), "dump.hex", true), QByteArray(":00000001FF\r\n"));
}

QTEST_GUILESS_MAIN(TestImage)
#include "test_image.moc"
