// SPDX-License-Identifier: GPL-3.0-or-later
// program: one run per chip, for production. The steps run in a fixed, safe order: identify;
// erase; Flash with its verify; EEPROM (with the serial number) with its verify; fuses, read back;
// lock bits last. The run stops at the first failure with that step's exit code, so no lock step
// ever follows a failed one. The serial number advances only after a chip has passed every step,
// and the log gets one CSV line per chip.
#include "context.h"

#include "eepromops.h"
#include "flashops.h"
#include "image.h"
#include "porthold.h"
#include "rescue.h"
#include "runlog.h"
#include "serials.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>

namespace cli {

namespace {

struct Plan {
    bool erase = false;
    std::optional<QString> flash, eeprom;
    bool fuses = false, fusesFactory = false;
    std::optional<std::uint8_t> low, high, ext;
    bool lock = false, lockFactory = false;
    std::uint8_t lockByte = 0xFF;
    std::optional<std::uint64_t> serialStart;
    std::optional<std::uint64_t> serialAt;
    int serialBytes = 4;
    QString serialFile;
    QString log;
};

std::optional<std::uint64_t> parseNumber(const QString &text)
{
    bool ok = false;
    const std::uint64_t value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                    ? text.mid(2).toULongLong(&ok, 16)
                                    : text.toULongLong(&ok, 10);
    return ok && !text.startsWith(QLatin1Char('+')) ? std::optional<std::uint64_t>(value) : std::nullopt;
}

// Reads the options; an empty text when they make a plan, else what is wrong with them.
QString parsePlan(Context &c, Plan &plan)
{
    QStringList a = c.arguments;
    const auto value = [&]() -> std::optional<QString> {
        if (a.isEmpty())
            return std::nullopt;
        return a.takeFirst();
    };
    const auto file = [&](int index) { return fileArgument(c, index); };
    int index = 0;  // of the next argument in c.arguments, for the raw bytes of file names
    while (!a.isEmpty()) {
        const QString option = a.takeFirst();
        ++index;
        if (option == QLatin1String("--erase")) {
            plan.erase = true;
        } else if (option == QLatin1String("--flash") || option == QLatin1String("--eeprom")) {
            if (a.isEmpty())
                return option + QStringLiteral(" needs a FILE.");
            const std::optional<QString> name = file(index);
            if (!name)
                return QStringLiteral("@file");  // told already
            a.takeFirst();
            ++index;
            (option == QLatin1String("--flash") ? plan.flash : plan.eeprom) = *name;
        } else if (option == QLatin1String("--fuses")) {
            plan.fuses = true;
            if (!a.isEmpty() && a.first() == QLatin1String("factory")) {
                plan.fusesFactory = true;
                a.takeFirst();
                ++index;
                continue;
            }
            plan.low = a.isEmpty() ? std::nullopt : parseByte(a.first());
            if (plan.low) {
                a.takeFirst();
                ++index;
            }
            plan.high = a.isEmpty() ? std::nullopt : parseByte(a.first());
            if (plan.high) {
                a.takeFirst();
                ++index;
            }
            if (!plan.low || !plan.high)
                return QStringLiteral("--fuses takes LOW HIGH [EXT], or factory.");
            plan.ext = a.isEmpty() ? std::nullopt : parseByte(a.first());
            if (plan.ext) {
                a.takeFirst();
                ++index;
            }
        } else if (option == QLatin1String("--lock")) {
            const std::optional<QString> v = value();
            ++index;
            plan.lock = true;
            if (v == QStringLiteral("factory")) {
                plan.lockFactory = true;
            } else if (const auto b = v ? parseByte(*v) : std::nullopt) {
                plan.lockByte = *b;
            } else {
                return QStringLiteral("--lock takes a BYTE, or factory.");
            }
        } else if (option == QLatin1String("--serial") || option == QLatin1String("--serial-at")
                   || option == QLatin1String("--serial-bytes")) {
            const std::optional<QString> v = value();
            ++index;
            const std::optional<std::uint64_t> n = v ? parseNumber(*v) : std::nullopt;
            if (!n)
                return option + QStringLiteral(" takes a number.");
            if (option == QLatin1String("--serial"))
                plan.serialStart = *n;
            else if (option == QLatin1String("--serial-at"))
                plan.serialAt = *n;
            else if (*n < 1 || *n > 8)
                return QStringLiteral("--serial-bytes takes 1 to 8.");
            else
                plan.serialBytes = int(*n);
        } else if (option == QLatin1String("--serial-file") || option == QLatin1String("--log")) {
            if (a.isEmpty())
                return option + QStringLiteral(" needs a FILE.");
            const std::optional<QString> name = file(index);
            if (!name)
                return QStringLiteral("@file");
            a.takeFirst();
            ++index;
            (option == QLatin1String("--log") ? plan.log : plan.serialFile) = *name;
        } else {
            return QStringLiteral("program does not know %1.").arg(option);
        }
    }
    if (plan.serialStart.has_value() != plan.serialAt.has_value())
        return QStringLiteral("--serial and --serial-at go together.");
    if (!plan.erase && !plan.flash && !plan.eeprom && !plan.fuses && !plan.lock && !plan.serialStart)
        return QStringLiteral("program needs at least one step: --erase, --flash, --eeprom, --fuses, --lock or --serial.");
    if (plan.serialStart && plan.serialFile.isEmpty())
        plan.serialFile = production::defaultSerialFile(plan.log);
    return {};
}

int retriesIn(const QString &status)
{
    static const QRegularExpression retries(QStringLiteral(" Retries: (\\d+)\\.$"));
    const QRegularExpressionMatch m = retries.match(status);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

}  // namespace

int program(Context &c)
{
    Plan plan;
    if (const QString problem = parsePlan(c, plan); !problem.isEmpty()) {
        if (problem == QLatin1String("@file"))
            return kFileError;
        printErr(problem);
        return kUsage;
    }
    QElapsedTimer clock;
    clock.start();
    QStringList results(production::kSteps.size(), QStringLiteral("skipped"));
    int retries = 0;
    QString signature, deviceName, serialText;
    std::optional<std::uint64_t> serial;
    std::optional<production::SerialFile> serials;
    const core::Faces f = c.terminal.faces();
    // One operation on the port throughout: no other run can come between two steps.
    const avrlink::PortHold hold(c.PortName, c.session.fast);

    // Writes the log line and hands the serial number back or makes it used; the run's exit.
    const auto finishRun = [&](int exit) {
        if (serial && serials) {
            if (!(exit == kDone ? serials->commit(*serial) : serials->release(*serial))) {
                printErr(QStringLiteral("Serial numbers: ") + serials->error() + QLatin1Char('.'));
                exit = exit == kDone ? kFileError : exit;
            }
        }
        if (!plan.log.isEmpty()) {
            // With its offset from UTC: logs of machines in other zones, and lines either side of a
            // clock change, still say when they were written.
            const QDateTime now = QDateTime::currentDateTime();
            QStringList fields{now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate), c.PortName, signature,
                               deviceName, serialText};
            fields << results << QString::number(retries) << QString::number(clock.elapsed() / 1000.0, 'f', 2);
            QString error;
            if (!production::appendLogLine(plan.log, fields, &error)) {
                printErr(QStringLiteral("Log: ") + error + QLatin1Char('.'));
                exit = exit == kDone ? kFileError : exit;
            }
        }
        if (exit == kDone)
            printOut(QStringLiteral("Chip passed every step") + (serialText.isEmpty() ? QString() : QStringLiteral(": serial number ") + serialText) + QLatin1Char('.'));
        return exit;
    };
    // One step's end: its status line, its result, and whether the run goes on.
    const auto step = [&](int index, int exit) {
        results[index] = exit == kDone ? QStringLiteral("ok") : QStringLiteral("failed");
        retries += retriesIn(c.terminal.lastStatus);
        return exit == kDone;
    };
    const auto finishStep = [&](int index, core::Result result) {
        const int exit = c.finish(result);
        return step(index, exit) ? kDone : exit;
    };

    // The images, and the EEPROM's with the serial number in it, are known before the chip is
    // touched.
    image::Loaded eeprom;
    const TDevice *device = nullptr;
    std::optional<core::ChipRead> read;
    // 1: identify.
    if (const int exit = c.deviceInForce(device, &read)) {
        results[0] = QStringLiteral("failed");
        return finishRun(exit);
    }
    results[0] = QStringLiteral("ok");
    signature = core::signatureText(read->reply);
    deviceName = device->Name;
    if (core::refuseUnserved(*device, f)) {
        results[0] = QStringLiteral("failed");
        return finishRun(kLinkFailure);
    }
    // The Flash image is read now too: a wrong file must not cost the chip its erase.
    if (plan.flash) {
        const std::unique_ptr<QIODevice> image = core::openFlashImage(*plan.flash, *device, f);
        if (!image || image->size() > qint64(device->FlashSize)) {
            if (image)
                f.error(core::kTooLarge);
            results[2] = QStringLiteral("failed");
            return finishRun(kFileError);
        }
    }
    if (plan.eeprom) {
        eeprom = image::load(*plan.eeprom, device->EepromSize, image::Memory::Eeprom);
        if (!eeprom.ok) {
            printErr(QStringLiteral("Can`t read file \"%1\": %2.").arg(*plan.eeprom, eeprom.error));
            results[3] = QStringLiteral("failed");
            return finishRun(kFileError);
        }
    }
    if (plan.serialStart) {
        QByteArray bytes;
        // Compared so that no sum can wrap: an address near the top of the number range must
        // be refused, not taken for one near 0.
        const std::uint64_t size = std::uint64_t(std::max(device->EepromSize, 0));
        if (*plan.serialAt > size || size - *plan.serialAt < std::uint64_t(plan.serialBytes)) {
            printErr(QStringLiteral("The serial number at %1 does not fit the EEPROM of %2 (%3 bytes).")
                         .arg(qulonglong(*plan.serialAt))
                         .arg(device->Name)
                         .arg(device->EepromSize));
            results[3] = QStringLiteral("failed");
            return finishRun(kUsage);
        }
        serials.emplace(plan.serialFile);
        std::uint64_t number = 0;
        if (!serials->reserve(*plan.serialStart, number)) {
            printErr(QStringLiteral("Serial numbers: ") + serials->error() + QLatin1Char('.'));
            serials.reset();
            results[3] = QStringLiteral("failed");  // the number is the EEPROM step's
            return finishRun(kFileError);
        }
        serial = number;
        serialText = QString::number(qulonglong(number));
        if (!production::serialBytes(number, plan.serialBytes, bytes)) {
            printErr(QStringLiteral("Serial number %1 does not fit %2 bytes.").arg(serialText).arg(plan.serialBytes));
            results[3] = QStringLiteral("failed");
            return finishRun(kUsage);
        }
        // Into the image, as little-endian bytes at their address; the rest as the file gives it.
        const qsizetype end = qsizetype(*plan.serialAt) + bytes.size();
        if (eeprom.bytes.size() < end)
            eeprom.bytes.append(QByteArray(end - eeprom.bytes.size(), char(0xFF)));
        eeprom.bytes.replace(qsizetype(*plan.serialAt), bytes.size(), bytes);
        eeprom.spans.push_back({std::size_t(*plan.serialAt), std::size_t(bytes.size())});
        eeprom.ok = true;
    }
    // Ctrl+C ends the step under way (a transfer at its next page or block, any other step
    // whole); no further step begins, above all no lock write.
    const auto stopped = [&](int index) {
        if (!interrupted())
            return false;
        printErr(QStringLiteral("Programming stopped before the %1 step.").arg(production::kSteps[index]));
        return true;
    };
    // 2: erase.
    if (plan.erase) {
        if (stopped(1))
            return finishRun(kInterrupted);
        if (const int exit = finishStep(1, core::chipErase(c.session, f, *device, c.closingRead(), {}, true)))
            return finishRun(exit);
    }
    // 3: Flash, verified.
    if (plan.flash) {
        if (stopped(2))
            return finishRun(kInterrupted);
        if (const int exit = finishStep(2, core::writeFlash(c.session, f, *device, *plan.flash,
                                                            QStringLiteral("Input file name for Flash programming."),
                                                            c.closingRead())))
            return finishRun(exit);
    }
    // 4: EEPROM, read back.
    if (eeprom.ok) {
        if (stopped(3))
            return finishRun(kInterrupted);
        if (const int exit = finishStep(3, core::writeEepromImage(c.session, f, *device, eeprom).result))
            return finishRun(exit);
    }
    // 5: fuses, read back.
    if (plan.fuses) {
        if (stopped(4))
            return finishRun(kInterrupted);
        const core::ChipBytes now = read->bytes();
        std::uint8_t low, high, ext;
        if (plan.fusesFactory) {
            const core::ChipBytes factory = core::factoryWriteBytes(*device);
            low = factory[grLow];
            high = factory[grHigh];
            ext = factory[grExtended];
        } else {
            low = *plan.low;
            high = *plan.high;
            ext = plan.ext ? *plan.ext : now[grExtended];
        }
        if (const int exit = finishStep(4, core::writeFuses(c.session, f, *device, low, high, ext, now, c.closingRead())))
            return finishRun(exit);
    }
    // 6: lock bits, last of all.
    if (plan.lock) {
        if (stopped(5))
            return finishRun(kInterrupted);
        const std::uint8_t lock = plan.lockFactory ? core::factoryWriteBytes(*device)[grLock] : plan.lockByte;
        if (const int exit = finishStep(5, core::writeLocks(c.session, f, *device, lock, read->bytes(), c.closingRead())))
            return finishRun(exit);
    }
    return finishRun(kDone);
}

}  // namespace cli
