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

#include <algorithm>
#include <array>
#include <numeric>
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
        return "avr-objcopy " + arguments.join(' ').toUtf8() + ": " + p.readAllStandardError()
            + p.errorString().toUtf8();
    return {};
}

int sum(const QByteArray &bytes)
{
    return std::accumulate(bytes.begin(), bytes.end(), 0, [](int a, char c) { return a + uchar(c); });
}

// One S-record or HEX line: type, address, data, and the checksum that makes it good.
QByteArray srec(int type, quint32 address, const QByteArray &data)
{
    const int width = QList<int>{2, 2, 3, 4, 0, 2, 3, 4, 3, 2}[type];
    QByteArray bytes(1, char(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i)
        bytes += char(address >> (8 * i));
    bytes += data;
    return "S" + QByteArray::number(type) + (bytes + char(~sum(bytes))).toHex().toUpper() + '\n';
}

QByteArray ihex(int type, int address, const QByteArray &data)
{
    const QByteArray bytes = QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    return ':' + (bytes + char(-sum(bytes))).toHex().toUpper() + '\n';
}

// A small AVR executable laid out as avr-ld lays one out: header, program headers, contents,
// section names, section headers. A section with loadAt >= 0 gets a PT_LOAD header that puts
// it at that physical address.
struct ElfSection {
    QByteArray name;
    quint32 type, flags, address;
    QByteArray data;
    qint64 loadAt = -1;
    quint32 size = 0;  // for SHT_NOBITS, which has no data
    quint32 offset = 0;  // where the contents lie, when not simply next
};

void put(QByteArray &b, int at, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char(value >> (8 * i));
}

QByteArray makeElf(const QList<ElfSection> &sections)
{
    const auto loads = quint32(std::count_if(sections.begin(), sections.end(), [](auto &s) { return s.loadAt >= 0; }));
    QByteArray f(52 + 32 * loads, '\0'), names("\0.shstrtab\0", 11), headers(40, '\0');
    f.replace(0, 7, QByteArray("\177ELF\x01\x01\x01"));
    // ET_EXEC, EM_AVR, program headers at 52 of 32 bytes each.
    for (auto [at, value, bytes] : {std::array{16, 2, 2}, {18, 83, 2}, {28, 52, 4}, {42, 32, 2}, {44, int(loads), 2}})
        put(f, at, quint32(value), bytes);
    int phdr = 52;
    const auto header = [&](quint32 name, quint32 type, quint32 flags, quint32 address, quint32 offset, quint32 size) {
        QByteArray h(40, '\0');
        int at = 0;
        for (quint32 value : {name, type, flags, address, offset, size})
            put(h, (at += 4) - 4, value, 4);
        headers += h;
    };
    for (const ElfSection &s : sections) {
        const quint32 offset = s.offset ? s.offset : quint32(f.size());
        const quint32 size = s.data.isEmpty() ? s.size : quint32(s.data.size());
        header(quint32(names.size()), s.type, s.flags, s.address, offset, size);
        names += s.name + '\0';
        if (s.loadAt >= 0) {
            const quint32 fields[] = {1, offset, s.address, quint32(s.loadAt), quint32(s.data.size()), size};
            for (int i = 0; i < 6; ++i)
                put(f, phdr + 4 * i, fields[i], 4);
            phdr += 32;
        }
        f += s.data;
    }
    header(1, 3, 0, 0, quint32(f.size()), quint32(names.size()));  // .shstrtab
    f += names;
    for (auto [at, value, bytes] : {std::array{32, int(f.size()), 4}, {46, 40, 2}, {48, int(sections.size()) + 2, 2},
             {50, int(sections.size()) + 1, 2}})
        put(f, at, quint32(value), bytes);
    return f + headers;
}

enum : quint32 { Progbits = 1, Nobits = 8, Alloc = 2, Write = 1, Exec = 4 };

// .text and .data as avr-gcc places them; .lone, which no program header holds, at its own
// address; .alias, whose bytes lie in .text's program header but whose address does not, at its
// own address too; .shadow, whose address lies in .data's program header but whose bytes do not,
// at its own address in SRAM; .bss at a Flash address (room, no bytes); an empty section whose
// offset lies beyond the file; a section that is not loaded at all; .eeprom loaded 2 bytes into
// EEPROM.
const QList<ElfSection> handMade = {
    {".text", Progbits, Alloc | Exec, 0, pattern(6), 0},
    {".data", Progbits, Alloc | Write, 0x800100, "\x11\x22\x33", 6},
    {".lone", Progbits, Alloc, 0x20, "\x44\x55"},
    {".bss", Nobits, Alloc | Write, 0x30, {}, -1, 8},
    {".empty", Progbits, Alloc, 0x10, {}, -1, 0, 0xFFFFF0},
    {".note", Progbits, 0, 0, "xy"},
    {".eeprom", Progbits, Alloc | Write, 0x810000, "\x66\x77", 0x810002},
    {".alias", Progbits, Alloc, 0x50, {}, -1, 2, 52 + 3 * 32 + 2},
    {".shadow", Progbits, Alloc, 0x800101, "\x99"},
};
const QByteArray handFlash
    = pattern(6) + "\x11\x22\x33" + ff(0x20 - 9) + "\x44\x55" + ff(0x50 - 0x22) + pattern(6).mid(2, 2);

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

QString pastEnd(const QString &what, qsizetype offset, qsizetype size)
{
    return QString("%1 at offset 0x%2 run past the end of the file (%3 bytes)")
        .arg(what, QString::number(offset, 16).toUpper())
        .arg(size);
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
    void decodes_data();
    void decodes();
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
    QTest::addColumn<int>("lead");  // where the reference starts
    QTest::addColumn<QList<Span>>("laterSpans");  // after the first, which holds code and .data

    const int flash = int(Memory::Flash), eeprom = int(Memory::Eeprom);
    QTest::newRow("ATmega328P Flash: .text, .data, a gap, .far")
        << "m328" << flash << 0x8000 << QStringList{".elf", ".hex", ".srec"} << ".flash.bin" << 0
        << QList<Span>{{0x7E00, 40}};
    QTest::newRow("ATmega328P EEPROM") << "m328" << eeprom << 1024 << QStringList{".elf", ".eep", "-eeprom.srec"}
                                       << ".eeprom.bin" << 0 << QList<Span>{};
    QTest::newRow("ATmega2560 Flash: .far above 128 KiB")
        << "m2560" << flash << 0x40000 << QStringList{".elf", ".hex", ".srec"} << ".flash.bin" << 0
        << QList<Span>{{0x3F000, 40}};
    QTest::newRow("ATmega2560 EEPROM from 0x100")
        << "m2560" << eeprom << 4096 << QStringList{".elf", ".eep", "-eeprom.srec"} << ".eeprom.bin" << 0x100
        << QList<Span>{};
}

// Every byte agrees with avr-objcopy's image, holes FFh, and all three files give the same
// spans; the raw image reads as itself.
void TestImage::readsObjcopyFiles()
{
    QFETCH(QString, name);
    QFETCH(int, memory);
    QFETCH(int, size);
    QFETCH(QStringList, files);
    QFETCH(QString, reference);
    QFETCH(int, lead);
    QFETCH(QList<Span>, laterSpans);

    const QByteArray raw = fixture(name + reference);
    QVERIFY(raw.size() > 0);
    const QList<Format> formats{Format::Elf, Format::IntelHex, Format::SRecord, Format::Raw};
    for (int i = 0; i < formats.size(); ++i) {
        const QString file = name + (i < files.size() ? files[i] : reference);
        const image::Loaded l = image::load(QDir(fixtures).filePath(file), size, Memory(memory));
        QVERIFY2(l.ok, qPrintable(file + ": " + l.error));
        QCOMPARE(l.format, formats[i]);
        if (formats[i] == Format::Raw) {
            QVERIFY(l.bytes == raw);
            QCOMPARE(l.spans, (std::vector<Span>{{0, std::size_t(raw.size())}}));
            break;
        }
        QVERIFY2(l.bytes == ff(lead) + raw, qPrintable(file));
        QCOMPARE(l.spans.size(), std::size_t(laterSpans.size() + 1));
        QCOMPARE(l.spans.front().start, std::size_t(lead));
        QVERIFY(std::equal(l.spans.begin() + 1, l.spans.end(), laterSpans.begin()));
    }
}

void TestImage::readsHandMadeElfAsObjcopy()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid() && writeFile(tmp.filePath("hand.elf"), makeElf(handMade)));
    QCOMPARE(objcopy({"-O", "binary", "--gap-fill", "0xFF", "-R", ".eeprom", "hand.elf", "flash.bin"}, tmp.path()), "");
    QCOMPARE(objcopy({"-O", "binary", "-j", ".eeprom", "hand.elf", "eeprom.bin"}, tmp.path()), "");
    // The hand-made file is what it claims, .shadow in SRAM far above Flash.
    QVERIFY(readFile(tmp.filePath("flash.bin")) == handFlash + ff(0x800101 - handFlash.size()) + "\x99");
    QCOMPARE(readFile(tmp.filePath("eeprom.bin")), QByteArray("\x66\x77"));

    const image::Loaded f = image::load(tmp.filePath("hand.elf"), handFlash.size(), Memory::Flash);
    QVERIFY2(f.ok, qPrintable(f.error));
    QCOMPARE(f.bytes, handFlash);
    QCOMPARE(f.spans, (std::vector<Span>{{0, 9}, {0x20, 2}, {0x50, 2}}));
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
    const QStringList hex{"-O", "ihex"}, srec{"-O", "srec"};
    QTest::newRow("HEX, 02 records") << m2560 << "f.hex" << false << QByteArray(":") << hex;
    QTest::newRow("HEX, trimmed") << m2560 << "f.hex" << true << QByteArray(":") << hex;
    QTest::newRow("HEX across 1 MiB, 04 records") << pattern(0x100010) << "f.ihex" << false << QByteArray(":") << hex;
    QTest::newRow("EEPROM .eep, trimmed")
        << ff(0x100) + fixture("m2560.eeprom.bin") + ff(3) << "e.EEP" << true << QByteArray(":") << hex;
    QTest::newRow("S-record, S2") << m2560 << "f.srec" << false << QByteArray("S2") << srec;
    QTest::newRow("S-record, trimmed") << tail << "f.srec" << true << QByteArray("S1") << srec;
    QTest::newRow("S-record, untrimmed") << tail << "f.srec" << false << QByteArray("S1") << srec;
    QTest::newRow("last address FFFF: S1") << pattern(0x10000) << "f.s19" << false << QByteArray("S1") << srec;
    QTest::newRow("last address 10000: S2 even as .s19")
        << pattern(0x10001) << "f.s19" << false << QByteArray("S2") << srec;
    QTest::newRow(".s28 forces S2") << tail << "f.s28" << false << QByteArray("S2") << QStringList{};
    QTest::newRow(".s37 forces S3, S0 name cut at 40")
        << tail << "a-firmware-name-longer-than-forty-bytes.S37" << true << QByteArray("S3")
        << QStringList{"-O", "srec", "--srec-forceS3"};
    QTest::newRow("raw keeps FFh even when asked to trim") << tail << "f.bin" << true << QByteArray() << QStringList{};
}

// What is written reads back through avr-objcopy as the image (trimmed when asked), and is
// the very file avr-objcopy writes from that image where it lays records out alike.
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

    QVERIFY(writeFile(ours, file));
    const QString input = records.startsWith(':') ? "ihex" : "srec";
    QCOMPARE(objcopy({"-I", input, "-O", "binary", "--gap-fill", "0xFF", ours, "back.bin"}, tmp.path()), "");
    QVERIFY(readFile(tmp.filePath("back.bin")) == expected);
    if (!sameAs.isEmpty()) {
        // avr-objcopy names its output in S0: the same bare name, written in the same folder.
        QVERIFY(writeFile(tmp.filePath("image.bin"), expected));
        QCOMPARE(objcopy(QStringList{"-I", "binary"} + sameAs + QStringList{"image.bin", name}, tmp.path()), "");
        QCOMPARE(file, readFile(tmp.filePath(name)));
    }
}

void TestImage::decodes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("memory");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("error");  // empty: accepted
    QTest::addColumn<QByteArray>("bytes");  // when accepted, if given

    const int hex = int(Format::IntelHex), sr = int(Format::SRecord), raw = int(Format::Raw), elf = int(Format::Elf);
    const int flash = int(Memory::Flash), eeprom = int(Memory::Eeprom);
    const QByteArray hexEnd = ":00000001FF\n", end = srec(9, 0, {});
    QTest::newRow("S: header, S1, S9") << srec(0, 0, "hdr") + srec(1, 2, "\x01\x02") + end << sr << flash << 4 << ""
                                       << ff(2) + "\x01\x02";
    QTest::newRow("S: S2 and S3, S8 ends") << srec(2, 3, "\x05") + srec(3, 1, "\x06") + srec(8, 0, {}) << sr << flash
                                           << 4 << "" << QByteArray("\xFF\x06\xFF\x05");
    const QByteArray counted
        = srec(1, 0, "\x01") + srec(5, 1, {}) + srec(1, 1, "\x02") + srec(6, 2, {}) + srec(7, 0, {});
    QTest::newRow("S: S5 and S6 counts") << counted << sr << flash << 2 << "" << QByteArray("\x01\x02");
    QTest::newRow("S: CR ends, blank lines, junk after the end")
        << QByteArray("\r \r" + srec(1, 0, "\x07") + end + "junk\n").replace('\n', '\r') << sr << flash << 1 << ""
        << QByteArray("\x07");
    QTest::newRow("S: S1 running past FFFF carries on")
        << srec(1, 0xFFFF, "\x08\x09") + end << sr << flash << 0x10001 << "" << ff(0xFFFF) + "\x08\x09";
    QTest::newRow("S: into EEPROM beyond it")
        << srec(1, 0x400, "\x01") + end << sr << eeprom << 1024
        << "line 1: data at address 0x0400 lies outside EEPROM (1024 bytes)" << QByteArray();
    QTest::newRow("S: overlap") << srec(1, 0x10, "\x01\x02") + srec(1, 0x11, "\x03") + end << sr << flash << 0x100
                                << "line 2: data for address 0x0011 differs from an earlier record" << QByteArray();
    QTest::newRow("HEX record at 0x8000")
        << ihex(0, 0, "\x01") + ihex(0, 0x8000, "\x02") + hexEnd << hex << flash << 0x8000
        << "line 2: data at address 0x8000 lies outside Flash (32768 bytes)" << QByteArray();
    QTest::newRow("HEX record running out")
        << ihex(0, 0x7FF8, pattern(16)) + hexEnd << hex << flash << 0x8000
        << "line 1: data at address 0x8000 lies outside Flash (32768 bytes)" << QByteArray();
    QTest::newRow("HEX record ending at the last byte")
        << ihex(0, 0x7FF0, pattern(16)) + hexEnd << hex << flash << 0x8000 << "" << ff(0x7FF0) + pattern(16);
    QTest::newRow("HEX above 64 KiB") << ihex(2, 0, QByteArray("\x10\x00", 2)) + ihex(0, 0, "\x01") + hexEnd << hex
                                      << flash << 0x10000
                                      << "line 2: data at address 0x10000 lies outside Flash (65536 bytes)"
                                      << QByteArray();
    QTest::newRow("raw one byte too long") << pattern(0x8001) << raw << flash << 0x8000
                                           << "data at address 0x8000 lies outside Flash (32768 bytes)" << QByteArray();
    QTest::newRow("raw as large as the memory") << pattern(0x8000) << raw << flash << 0x8000 << "" << pattern(0x8000);
    QTest::newRow("ELF .far beyond 128 KiB")
        << fixture("m2560.elf") << elf << flash << 0x20000
        << "section .far: data at address 0x3F000 lies outside Flash (131072 bytes)" << QByteArray();
    QTest::newRow("ELF .far ending at the last byte")
        << fixture("m328.elf") << elf << flash << 0x7E28 << "" << QByteArray();
    QTest::newRow("ELF .far one byte beyond")
        << fixture("m328.elf") << elf << flash << 0x7E27
        << "section .far: data at address 0x7E27 lies outside Flash (32295 bytes)" << QByteArray();
    QTest::newRow("ELF .eeprom beyond 256 bytes")
        << fixture("m2560.elf") << elf << eeprom << 0x100
        << "section .eeprom: data at address 0x0100 lies outside EEPROM (256 bytes)" << QByteArray();
    // .data loaded over the end of .text
    QTest::newRow("ELF sections overlapping")
        << patched(makeElf(handMade), 52 + 32 + 12, 4, 4) << elf << flash << 0x100
        << "section .data: data for address 0x0004 differs from an earlier section" << QByteArray();
    QTest::newRow("memory beyond 16 MiB")
        << QByteArray() << raw << flash << 0x1000001 << "a memory of 16777217 bytes is beyond 16 MiB" << QByteArray();
}

void TestImage::decodes()
{
    QFETCH(QByteArray, content);
    QFETCH(int, format);
    QFETCH(int, memory);
    QFETCH(int, size);
    QFETCH(QString, error);
    QFETCH(QByteArray, bytes);
    const image::Decoded d = image::decode(content.toStdString(), Format(format), Memory(memory), std::size_t(size));
    QCOMPARE(QString::fromStdString(d.error), error);
    QCOMPARE(d.ok, error.isEmpty());
    QVERIFY(d.ok || d.bytes.empty());
    if (!bytes.isEmpty())
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(d.bytes.data()), qsizetype(d.bytes.size())), bytes);
}

void TestImage::refusesMalformedInput_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("error");

    const int sr = int(Format::SRecord), elf = int(Format::Elf);
    const QByteArray end = srec(9, 0, {}), one = srec(1, 0, "\x01\x02\x03");
    QTest::newRow("S: bad checksum") << one + one.chopped(2) + "0\n" + end << sr
                                     << "line 2: bad checksum 0xF0, the record's bytes give 0xF3";
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
    QTest::newRow("S: S1 without room for its address")
        << "S10200FD\n" + end << sr << "line 1: record type S1 needs byte count 0x03 at least, not 0x02";
    QTest::newRow("S: S3 without room for its address")
        << "S304000000FB\n" + end << sr << "line 1: record type S3 needs byte count 0x05 at least, not 0x04";
    QTest::newRow("S: S5 counts wrong") << one + one + srec(5, 3, {}) + end << sr
                                        << "line 3: record S5 counts 3 data records, the file has 2 before it";
    QTest::newRow("S: S5 with data") << one + srec(5, 1, QByteArray(1, 0)) + end << sr
                                     << "line 2: record type S5 needs byte count 0x03, not 0x04";
    QTest::newRow("S: S9 with data") << one + srec(9, 0, QByteArray(1, 0)) << sr
                                     << "line 2: record type S9 needs byte count 0x03, not 0x04";
    QTest::newRow("S: no termination") << one + "\n" + one << sr
                                       << "line 3: input ends without a termination record (S7, S8 or S9)";
    QTest::newRow("S: empty") << QByteArray() << sr << "line 1: input ends without a termination record (S7, S8 or S9)";

    const QByteArray good = makeElf(handMade);
    const int lone = sectionHeader(good, 3) + 16;  // .lone's offset field
    QTest::newRow("ELF: not ELF") << "\177ELG" + good.mid(4) << elf
                                  << "not an ELF file: it does not start with 7Fh 'E' 'L' 'F'";
    QTest::newRow("ELF: cut in the header")
        << good.left(40) << elf << "ELF header: the file ends at offset 0x28, inside the 52-byte header";
    QTest::newRow("ELF: 64-bit") << patched(good, 4, 2, 1) << elf << "ELF header: class 2, not 32-bit (1)";
    QTest::newRow("ELF: big-endian") << patched(good, 5, 2, 1) << elf
                                     << "ELF header: data encoding 2, not little-endian (1)";
    QTest::newRow("ELF: object file") << patched(good, 16, 1, 2) << elf
                                      << "ELF header: file type 1, not an executable (2)";
    QTest::newRow("ELF: x86") << patched(good, 18, 3, 2) << elf << "ELF header: machine 3, not AVR (83)";
    QTest::newRow("ELF: no section headers")
        << patched(good, 48, 0, 2) << elf << "ELF header: the file has no section headers";
    QTest::newRow("ELF: short section headers")
        << patched(good, 46, 39, 2) << elf << "ELF header: section headers of 39 bytes, fewer than 40";
    QTest::newRow("ELF: short program headers")
        << patched(good, 42, 31, 2) << elf << "ELF header: program headers of 31 bytes, fewer than 32";
    QTest::newRow("ELF: program headers beyond the end")  // 3 of 32 bytes, the last one byte short
        << patched(good, 28, quint32(good.size() - 95), 4) << elf
        << pastEnd("ELF program headers", good.size() - 95, good.size());
    QTest::newRow("ELF: cut in the section headers")
        << good.chopped(1) << elf << pastEnd("ELF section headers", sectionHeader(good, 0), good.size() - 1);
    QTest::newRow("ELF: contents beyond the end") << patched(good, lone, quint32(good.size() - 1),
        4) << elf << "section .lone: its 2 bytes" + pastEnd("", good.size() - 1, good.size());
    QTest::newRow("ELF: no name table, sections by number") << patched(patched(good, 50, 99, 2), lone,
        quint32(good.size()), 4) << elf << "section 3: its 2 bytes" + pastEnd("", good.size(), good.size());
    QTest::newRow("avr-gcc's ELF cut short")
        << fixture("m328.elf").left(1000) << elf << "ELF section headers at offset 0x";
}

void TestImage::refusesMalformedInput()
{
    QFETCH(QByteArray, content);
    QFETCH(int, format);
    QFETCH(QString, error);
    const image::Decoded d = image::decode(content.toStdString(), Format(format), Memory::Flash, 0x8000);
    QVERIFY(!d.ok && d.bytes.empty());
    QVERIFY2(QString::fromStdString(d.error).startsWith(error), d.error.c_str());
    QVERIFY(d.error.find('\n') == std::string::npos);
}

void TestImage::choosesFormatByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("read");
    QTest::addColumn<int>("written");

    const QByteArray magic("\177ELF\x01"), none;
    const int hex = int(Format::IntelHex), sr = int(Format::SRecord), raw = int(Format::Raw), elf = int(Format::Elf);
    QTest::newRow(".hex") << "/fw/blink.hex" << magic << hex << hex;
    QTest::newRow(".IHEX") << "BLINK.IHEX" << none << hex << hex;
    QTest::newRow(".eep") << "blink.eep" << none << hex << hex;
    QTest::newRow(".srec") << "blink.srec" << magic << sr << sr;
    QTest::newRow(".S19") << "BLINK.S19" << none << sr << sr;
    QTest::newRow(".s28") << "blink.s28" << none << sr << sr;
    QTest::newRow(".s37") << "blink.s37" << none << sr << sr;
    QTest::newRow(".elf without magic is still ELF") << "blink.Elf" << QByteArray("\x0c\x94") << elf << raw;
    QTest::newRow(".bin with magic stays raw") << "dump.BIN" << magic << raw << raw;
    QTest::newRow("a.out with magic") << "a.out" << magic << elf << raw;
    QTest::newRow("no extension, three bytes of magic") << "firmware" << QByteArray("\177EL") << raw << raw;
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
    for (const char *name : {"pipe.hex", "zero.bin"})
        QCOMPARE(image::load(tmp.filePath(name), 0x8000, Memory::Flash).error, "not a regular file, refused");
    QCOMPARE(image::load(tmp.filePath("absent.hex"), 0x8000, Memory::Flash).error,
        "cannot open the file: it does not exist");
    QFile huge(tmp.filePath("huge.srec"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(image::maxFileSize) + 1));
    huge.close();
    QCOMPARE(image::load(huge.fileName(), 0x8000, Memory::Flash).error,
        "larger than 256 MiB, more than the file of any 16 MiB image takes; refused");
    // S0 names the file without its folder; a HEX file of FFh alone, trimmed, holds its end record only.
    QVERIFY(image::encode({}, R"(C:\fw\dump.s37)", false).startsWith(srec(0, 0, "dump.s37").trimmed() + "\r\n"));
    QCOMPARE(image::encode(ff(40), "dump.hex", true), QByteArray(":00000001FF\r\n"));
}

QTEST_GUILESS_MAIN(TestImage)
#include "test_image.moc"
