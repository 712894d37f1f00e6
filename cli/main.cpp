// SPDX-License-Identifier: GPL-3.0-or-later
// tarvane-cli: the chip and Flash operations of AVR Tarvane for scripts, on the same device
// catalogue (cpu/ beside the program) and the same port (config.txt beside it).
#include "context.h"
#include "paths.h"

#include "portdevice_diagnosis.h"
#include "porthold.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

namespace {

const char *const kUsageText =
    "Usage: tarvane-cli [--port PORT] [--device NAME] [--json] COMMAND [ARGUMENT]\n"
    "\n"
    "Commands:\n"
    "  read-chip                   signature, device, the four bytes, every named bit and\n"
    "                              what each fuse field means\n"
    "  write-fuses LOW HIGH [EXT]  hex bytes such as E1 or 0xE1 (without EXT the chip's\n"
    "                              extended byte is kept)\n"
    "  write-fuses factory         the device's factory fuse bytes (unnamed bits 1)\n"
    "  write-lock BYTE             the lock byte\n"
    "  write-lock factory          the device's factory lock byte (unnamed bits 1)\n"
    "  erase                       Chip Erase\n"
    "  write-flash [--erase] [--no-verify] FILE\n"
    "                              a raw image, or Intel HEX (.hex, .ihex), S-record\n"
    "                              (.srec, .s19, .s28, .s37) or ELF by its name; with\n"
    "                              --erase a Chip Erase first; verified afterwards\n"
    "  verify-flash FILE           compare Flash with an image of any of those kinds\n"
    "  read-flash [--trim] FILE    the whole Flash into a raw image, or Intel HEX or\n"
    "                              S-record by the name; --trim leaves out the erased\n"
    "                              bytes at the end of a HEX or S-record file\n"
    "  write-eeprom FILE           EEPROM from Intel HEX (.eep, .hex), S-record, ELF or raw,\n"
    "                              read back; on the open AVR Tarvane board only\n"
    "  verify-eeprom FILE          compare EEPROM with such a file\n"
    "  read-eeprom FILE            the whole EEPROM into a file of the kind its name says\n"
    "  board-test                  the open AVR Tarvane board drives each of its lines in\n"
    "                              turn (socket empty); for that board only\n"
    "  program [--erase] [--flash FILE] [--eeprom FILE]\n"
    "          [--fuses LOW HIGH [EXT] | --fuses factory] [--lock BYTE|factory]\n"
    "          [--serial START --serial-at ADDRESS [--serial-bytes N] [--serial-file F]]\n"
    "          [--log FILE.csv]\n"
    "                              one run per chip, in this order: identify, erase, Flash\n"
    "                              (verified), EEPROM with the serial number (read back),\n"
    "                              fuses (read back), lock bits last; it stops at the first\n"
    "                              failure with that step's exit code. The serial number\n"
    "                              (little-endian, N bytes, default 4) advances in F\n"
    "                              (default serial.txt beside the log) only after a chip\n"
    "                              passed; the log gets one CSV line per chip\n"
    "  devices                     the catalogue: name, signature, Flash and page size\n"
    "\n"
    "Options:\n"
    "  --port PORT    serial port (default: the port in the settings file config.txt)\n"
    "  --device NAME  put a catalogue device in force by name; without it the chip is\n"
    "                 identified by its signature, and a chip that cannot be identified\n"
    "                 refuses every command but read-chip and devices\n"
    "  --json         read-chip prints one JSON object\n"
    "  --compatible   the original program's exact command sequences, the port opened for\n"
    "                 every command (Fast transfers off, whatever the settings file says)\n"
    "  --no-verify    no verify after a Flash write (Verify after writing off)\n"
    "  -h, --help     this text\n"
    "\n"
    "Nothing is asked: a fuse or lock write prints its changes and warnings on standard\n"
    "error and goes on. Progress is drawn on standard error while it is a terminal.\n"
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  verify found differences, or a write did not read back as sent\n"
    "  2  usage error\n"
    "  3  port or adapter failure (also a chip that cannot be read or identified, or no\n"
    "     chip at all: a signature of three equal bytes, with the usual causes)\n"
    "  4  file error\n"
    "130  stopped by Ctrl+C (a Flash write ends its page and closes the stream first)\n";

int usage(const QString &problem)
{
    if (!problem.isEmpty())
        cli::printErr(QStringLiteral("tarvane-cli: ") + problem);
    std::fputs(kUsageText, stderr);
    return cli::kUsage;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    cli::Context c;
    c.baseDir = QCoreApplication::applicationDirPath();

    QStringList args = app.arguments().mid(1);
    // The bytes as the system gave them, to tell file names that do not survive the conversion.
    QList<QByteArray> raw;
    for (int i = 1; i < argc; ++i)
        raw << QByteArray(argv[i]);
    QString command;
    std::optional<QString> port;
    bool compatible = false;
    bool noVerify = false;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        const QByteArray rawA = raw.takeFirst();
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            std::fputs(kUsageText, stdout);
            return cli::kDone;
        }
        if (a == QLatin1String("--json")) {
            c.json = true;
        } else if (a == QLatin1String("--compatible")) {
            compatible = true;
        } else if (a == QLatin1String("--no-verify")) {
            noVerify = true;
        } else if (a == QLatin1String("--port") || a == QLatin1String("--device")) {
            if (args.isEmpty())
                return usage(a + QStringLiteral(" needs a value."));
            raw.removeFirst();
            if (a == QLatin1String("--port"))
                port = args.takeFirst();
            else
                c.deviceName = args.takeFirst();
        } else if (a.startsWith(QLatin1String("--port="))) {
            port = a.mid(7);
        } else if (a.startsWith(QLatin1String("--device="))) {
            c.deviceName = a.mid(9);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1 && command.isEmpty()) {
            return usage(QStringLiteral("unknown option ") + a);
        } else if (command.isEmpty()) {
            command = a;
        } else {
            c.arguments << a;
            c.rawArguments << rawA;
        }
    }
    if (c.deviceName.isEmpty() && (app.arguments().contains(QStringLiteral("--device"))
                                   || app.arguments().contains(QStringLiteral("--device="))))
        return usage(QStringLiteral("--device needs a device name."));
    if (command.isEmpty())
        return usage(QStringLiteral("no command given."));
    if (c.json && command != QLatin1String("read-chip"))
        return usage(QStringLiteral("--json belongs to read-chip."));

    SettingsValues values{kDefaultPortName, QString(), QString()};
    readSettingsFile(settingsFilePath(c.baseDir), values);
    c.PortName = port ? *port : values.PortName;
    c.session.fast = values.FastTransfers && !compatible;
    c.verifyAfterWriting = values.VerifyAfterWriting && !noVerify;
    avrlink::setPortChoiceHint(QStringLiteral("with --port, or on line 2 of the settings file ")
                               + QDir::toNativeSeparators(settingsFilePath(c.baseDir)));
    cli::catchInterrupt();
    c.loadCatalogue();
    // The whole run is one operation on the port: no other program's command can come between
    // its commands. The port is taken with the first command.
    const avrlink::PortHold hold(c.PortName, c.session.fast);

    using Command = int (*)(cli::Context &);
    const std::pair<const char *, Command> commands[] = {
        {"read-chip", cli::readChip},     {"write-fuses", cli::writeFuses},   {"write-lock", cli::writeLock},
        {"erase", cli::erase},            {"write-flash", cli::writeFlash},   {"verify-flash", cli::verifyFlash},
        {"read-flash", cli::readFlash},   {"devices", cli::devices},         {"write-eeprom", cli::writeEeprom},
        {"verify-eeprom", cli::verifyEeprom}, {"read-eeprom", cli::readEeprom}, {"board-test", cli::boardTest},
        {"program", cli::program},
    };
    for (const auto &[name, run] : commands) {
        if (command == QLatin1String(name)) {
            if (command == QLatin1String("read-chip") && !c.arguments.isEmpty())
                return usage(QStringLiteral("read-chip takes no argument."));
            return run(c);
        }
    }
    return usage(QStringLiteral("unknown command ") + command);
}
