// SPDX-License-Identifier: GPL-3.0-or-later
// read-chip: signature, device, the four bytes, every named bit and what each field means.
#include "context.h"

#include "eepromops.h"
#include "fields.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace cli {

int readChip(Context &c)
{
    const core::ChipRead chip = c.readChip();
    if (!chip.complete) {
        printErr(core::kChipNotRead);
        return kLinkFailure;
    }
    // Bits are named by --device when it is given, as a manual choice names the panel's boxes.
    const TDevice *names = chip.device;
    if (!c.deviceName.isEmpty()) {
        names = c.deviceNamed(c.deviceName);
        if (!names) {
            printErr(QStringLiteral("No device named \"%1\" in the catalogue.").arg(c.deviceName));
            return kUsage;
        }
    }
    const core::ChipBytes bytes = chip.bytes();
    const std::vector<FieldReading> readings = decodeFields(*names, bytes);
    // On our board the chip's calibration bytes come with it.
    const core::Faces f = c.terminal.faces();
    const auto calibration = chip.identified ? core::readCalibration(c.session, f, *chip.device) : std::nullopt;
    static const char *const keys[4] = {"low", "high", "extended", "lock"};
    if (c.json) {
        QJsonObject object;
        object.insert("signature", core::signatureText(chip.reply));
        object.insert("identified", chip.identified);
        // The device whose bits are named below: --device, or the one the signature identified.
        object.insert("device", names != chip.device || chip.identified ? QJsonValue(names->Name) : QJsonValue());
        QJsonObject values, bits;
        for (int g = 0; g < 4; ++g) {
            values.insert(keys[g], avrlink::hexByte(bytes[std::size_t(g)]));
            QJsonObject named;
            for (int n = 7; n >= 0; --n) {
                const QString &name = names->Groups[std::size_t(g)].Names[std::size_t(n)];
                if (!name.isEmpty())
                    named.insert(name, IsBitSet(bytes[std::size_t(g)], n) ? 1 : 0);
            }
            bits.insert(keys[g], named);
        }
        object.insert("bytes", values);
        object.insert("bits", bits);
        QJsonArray fields;
        for (const FieldReading &r : readings) {
            QJsonObject field;
            field.insert("name", r.Field->Name);
            field.insert("caption", r.Field->Caption);
            field.insert("byte", keys[r.Field->Group]);
            field.insert("bits", fieldBits(*r.Field, r.Value));
            field.insert("named", r.Named);
            field.insert("meaning", r.Meaning);
            fields.append(field);
        }
        object.insert("fields", fields);
        if (calibration) {
            QJsonArray cal;
            for (std::uint8_t b : *calibration)
                cal.append(avrlink::hexByte(b));
            object.insert("calibration", cal);
        }
        std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
        std::fputs("\n", stdout);
        if (!chip.identified)
            explainNoChip(chip);
        return chip.identified ? kDone : kLinkFailure;
    }
    printOut(QStringLiteral("Signature: ") + core::signatureText(chip.reply));
    printOut(QStringLiteral("Device: ") + (chip.identified ? chip.device->Name : QStringLiteral("Not found"))
             + (names != chip.device ? QStringLiteral(" (bits named as ") + names->Name + QLatin1Char(')') : QString()));
    if (calibration)
        printOut(core::calibrationText(*calibration));
    for (int g = 0; g < 4; ++g) {
        QStringList named;
        for (int n = 7; n >= 0; --n) {
            const QString &name = names->Groups[std::size_t(g)].Names[std::size_t(n)];
            if (!name.isEmpty())
                named << name + QLatin1Char('=') + QString::number(IsBitSet(bytes[std::size_t(g)], n) ? 1 : 0);
        }
        printOut(core::kGroupCaptions[g] + QStringLiteral(": ") + avrlink::hexByte(bytes[std::size_t(g)])
                 + (named.isEmpty() ? QString() : QStringLiteral("  ") + named.join(QLatin1Char(' '))));
        // Under its byte, each field: "  Clock (SUT_CKSEL=100001): internal RC oscillator 1 MHz; ..."
        for (const FieldReading &r : readings)
            if (r.Field->Group == g)
                printOut(QStringLiteral("  ") + r.Field->Caption + QStringLiteral(" (") + r.Field->Name
                         + QLatin1Char('=') + fieldBits(*r.Field, r.Value) + QStringLiteral("): ") + r.Meaning);
    }
    if (!chip.identified)
        explainNoChip(chip);
    // A signature that identifies nothing is no chip this program knows: as --help says.
    return chip.identified ? kDone : kLinkFailure;
}

}  // namespace cli
