// SPDX-License-Identifier: GPL-3.0-or-later
#include "eepromops.h"

#include "board.h"
#include "flashops.h"
#include "image.h"
#include "lane.h"
#include "porthold.h"

#include <QFileInfo>
#include <algorithm>

namespace core {

namespace {

// An EEPROM write of this many bytes at most per command keeps the board's answer within its
// time: a part without a page buffer takes tWLRH_EE for every byte, and the next command's
// status waits for them.
constexpr int kEepromChunk = 32;
const QString kAbortedText = QStringLiteral("Operation aborted.");

// Where an EEPROM operation may go: Fast transfers on, and our board with EEPROM. False after
// the user was told why not (and with Fast transfers off, nothing at all was sent).
bool eepromLane(Session &session, const Faces &faces, const TDevice &device, Lane &lane, EepromResult &out)
{
    if (refuseUnserved(device, faces))
        return false;
    if (device.EepromSize <= 0) {
        faces.error(QStringLiteral("The device file of %1 gives no EEPROM size.").arg(device.Name));
        faces.status(kAbortedText);
        return false;
    }
    if (!session.fast) {
        out.notOurBoard = true;
        faces.information(kNoEepromAdapter + QStringLiteral("\n\nIts EEPROM commands are used only with Fast "
                                                            "transfers on (File menu; without --compatible)."));
        faces.status(kAbortedText);
        return false;
    }
    if (!openLane(session, faces, lane)) {
        faces.status(kAbortedText);
        return false;
    }
    if (!lane.addressed || !(lane.capabilities & avrlink::capEeprom)) {
        out.notOurBoard = true;
        closeLane(session, faces, lane);
        faces.information(kNoEepromAdapter);
        faces.status(kAbortedText);
        return false;
    }
    return true;
}

// The image of the file named, with the spans it gives bytes for. False after the reason was told.
bool loadEepromFile(const QString &name, const TDevice &device, const Faces &faces, image::Loaded &loaded)
{
    if (name.isEmpty()) {
        faces.error(QStringLiteral("Input file name for EEPROM."));
        faces.status(QStringLiteral("Incorrect file name."));
        return false;
    }
    loaded = image::load(name, device.EepromSize, image::Memory::Eeprom);
    if (!loaded.ok) {
        faces.fileError(QStringLiteral("Can`t read file."), name, loaded.error);
        faces.status(kAbortedText);
        return false;
    }
    return true;
}

// Reads EEPROM where spans say and counts the bytes that differ from expected, live.
bool compareEeprom(Session &session, const Faces &faces, Lane &lane, const image::Loaded &loaded,
                   EepromResult &out)
{
    const QString live = QStringLiteral("Verifying EEPROM. Errors: ");
    faces.status(live + QStringLiteral("0"));
    for (const image::Span &span : loaded.spans) {
        for (std::size_t at = span.start; at < span.start + span.size;) {
            const int count = int(std::min<std::size_t>(256, span.start + span.size - at));
            std::uint8_t chip[256];
            if (!readAddressed(session, faces, lane, avrlink::memEeprom, std::uint32_t(at), count, chip))
                return false;
            for (int i = 0; i < count; ++i) {
                if (chip[i] != std::uint8_t(loaded.bytes[qsizetype(at) + i])) {
                    ++out.errors;
                    faces.status(live + QString::number(out.errors));
                }
            }
            at += std::size_t(count);
            faces.progress.step();
        }
    }
    return true;
}

std::size_t spanBytes(const image::Loaded &loaded)
{
    std::size_t total = 0;
    for (const image::Span &span : loaded.spans)
        total += span.size;
    return total;
}

EepromResult aborted(Session &session, const Faces &faces, Lane &lane, EepromResult out)
{
    closeLane(session, faces, lane);
    faces.progress.reset();
    faces.status(kAbortedText);
    out.result = Result::Aborted;
    return out;
}

EepromResult verified(Session &session, const Faces &faces, Lane &lane, EepromResult out, const QString &done)
{
    closeLane(session, faces, lane);
    faces.progress.reset();
    out.retries = lane.retries;
    if (out.errors != 0) {
        faces.status(withRetries(QStringLiteral("EEPROM verifying failed: %1 errors.").arg(out.errors), out.retries));
        out.result = Result::Failed;
    } else {
        faces.status(withRetries(done, out.retries));
        out.result = Result::Done;
    }
    return out;
}

}  // namespace

EepromResult writeEeprom(Session &session, const Faces &faces, const TDevice &device, const QString &name)
{
    image::Loaded loaded;
    if (!loadEepromFile(name, device, faces, loaded))
        return {};
    return writeEepromImage(session, faces, device, loaded);
}

EepromResult writeEepromImage(Session &session, const Faces &faces, const TDevice &device, const image::Loaded &loaded)
{
    EepromResult out;
    const avrlink::PortHold hold(session.PortName, session.fast);
    Lane lane;
    if (!eepromLane(session, faces, device, lane, out))
        return out;
    faces.status(QStringLiteral("Programming EEPROM..."));
    const qint64 total = qint64(spanBytes(loaded));
    faces.progress.start(2 * total, kEepromChunk);
    // Chunks end at the part's EEPROM page borders, so that the board loads each page once.
    const std::size_t page = std::size_t(device.EepromPageSize > 0 ? device.EepromPageSize : 1);
    const std::size_t chunk = std::max<std::size_t>(page, kEepromChunk / page * page);
    for (const image::Span &span : loaded.spans) {
        for (std::size_t at = span.start; at < span.start + span.size;) {
            const std::size_t border = (at / chunk + 1) * chunk;
            const int count = int(std::min(span.start + span.size, border) - at);
            if (!writeAddressed(session, faces, lane, avrlink::memEeprom, std::uint32_t(at), count,
                                reinterpret_cast<const std::uint8_t *>(loaded.bytes.constData()) + at))
                return aborted(session, faces, lane, out);
            at += std::size_t(count);
            faces.progress.step();
        }
    }
    // Read back: every byte written must read as sent.
    if (!compareEeprom(session, faces, lane, loaded, out))
        return aborted(session, faces, lane, out);
    return verified(session, faces, lane, out, QStringLiteral("EEPROM programming completed."));
}

EepromResult verifyEeprom(Session &session, const Faces &faces, const TDevice &device, const QString &name)
{
    EepromResult out;
    image::Loaded loaded;
    if (!loadEepromFile(name, device, faces, loaded))
        return out;
    const avrlink::PortHold hold(session.PortName, session.fast);
    Lane lane;
    if (!eepromLane(session, faces, device, lane, out))
        return out;
    faces.progress.start(qint64(spanBytes(loaded)), 256);
    if (!compareEeprom(session, faces, lane, loaded, out))
        return aborted(session, faces, lane, out);
    return verified(session, faces, lane, out, QStringLiteral("EEPROM verifying completed. No errors."));
}

EepromResult readEeprom(Session &session, const Faces &faces, const TDevice &device, const QString &name)
{
    EepromResult out;
    if (name.isEmpty()) {
        faces.error(QStringLiteral("Input file name to save EEPROM."));
        faces.status(QStringLiteral("Incorrect file name."));
        return out;
    }
    const QFileInfo target(name);
    if (target.exists() && !target.isFile()) {
        faces.messages.applicationError(
            QStringLiteral("Cannot create file \"%1\". Not a regular file.").arg(target.absoluteFilePath()));
        faces.status(kAbortedText);
        return out;
    }
    if (!canReplace(name, faces)) {
        faces.status(kAbortedText);
        return out;
    }
    const avrlink::PortHold hold(session.PortName, session.fast);
    Lane lane;
    if (!eepromLane(session, faces, device, lane, out))
        return out;
    faces.status(QStringLiteral("Reading EEPROM..."));
    faces.progress.start(device.EepromSize, 256);
    QByteArray dump;
    for (std::int32_t at = 0; at < device.EepromSize; at += 256) {
        const int count = int(std::min<std::int32_t>(256, device.EepromSize - at));
        std::uint8_t data[256];
        if (!readAddressed(session, faces, lane, avrlink::memEeprom, std::uint32_t(at), count, data))
            return aborted(session, faces, lane, out);
        dump.append(reinterpret_cast<const char *>(data), count);
        faces.progress.step();
    }
    closeLane(session, faces, lane);
    faces.progress.reset();
    out.retries = lane.retries;
    if (!saveDump(name, image::encode(dump, name, false), faces)) {
        faces.status(kAbortedText);
        return out;
    }
    faces.status(withRetries(QStringLiteral("EEPROM reading completed."), out.retries));
    out.result = Result::Done;
    return out;
}

avrlink::BoardInfo askBoard(Session &session)
{
    if (!session.fast)
        return {};
    const avrlink::PortHold hold(session.PortName, session.fast);
    avrlink::PortHold *active = avrlink::PortHold::active(session.PortName);
    // The question goes only where this operation has not asked it yet; its reply must not take
    // the place of the Read Chip's in the block, whose bytes the next command carries.
    if (!active->board().asked) {
        const avrlink::Block read = session.CmdBlock;
        avrlink::LinkState state{session.CmdBlock, session.PageBuffer, session.PortName};
        struct : avrlink::Reporter {
            void information(const QString &) override {}
        } quiet;
        avrlink::identifyBoard(state, quiet);
        session.CmdBlock = read;
    }
    return active->board();
}

std::optional<std::vector<std::uint8_t>> readCalibration(Session &session, const Faces &faces, const TDevice &device)
{
    if (!session.fast || device.CalibrationSize <= 0)
        return std::nullopt;
    const avrlink::PortHold hold(session.PortName, session.fast);
    const avrlink::BoardInfo board = askBoard(session);
    if (!board.ours || !(board.capabilities & avrlink::capCalibration))
        return std::nullopt;
    std::vector<std::uint8_t> bytes(std::size_t(std::clamp(device.CalibrationSize, 1, 4)));
    Lane lane;
    lane.addressed = true;
    const bool read = readAddressed(session, faces, lane, avrlink::memCalibration, 0, int(bytes.size()), bytes.data());
    // The read opened a session on the board: closed at once, so that the chip is not left
    // powered in the socket, and the block left as the Read Chip left it.
    const avrlink::Block chipReply = session.CmdBlock;
    session.CmdBlock[0] = avrlink::cmdEnd;
    session.exchangeQuietly(0);
    session.CmdBlock = chipReply;
    if (!read)
        return std::nullopt;
    return bytes;
}

QString calibrationText(const std::vector<std::uint8_t> &bytes)
{
    QStringList parts;
    for (std::uint8_t b : bytes)
        parts << avrlink::hexByte(b);
    return QStringLiteral("Calibration: ") + parts.join(QLatin1Char(' '));
}

std::optional<bool> eraseClearsEeprom(const TDevice &device, const std::optional<ChipBytes> &read)
{
    if (!read)
        return std::nullopt;
    for (int g = grLow; g <= grExtended; ++g) {
        for (int n = 0; n < 8; ++n) {
            if (device.Groups[std::size_t(g)].Names[std::size_t(n)].compare(QLatin1String("EESAVE"), Qt::CaseInsensitive)
                == 0)
                return IsBitSet((*read)[std::size_t(g)], n);  // unprogrammed (1): the erase clears EEPROM
        }
    }
    return std::nullopt;
}

QString eraseEepromText(const std::optional<bool> &clears)
{
    if (!clears)
        return QStringLiteral("Whether the erase also clears the EEPROM is not known: read the chip first.");
    return *clears ? QStringLiteral("EESAVE is unprogrammed: the erase also clears the EEPROM.")
                   : QStringLiteral("EESAVE is programmed: the EEPROM is kept.");
}

}  // namespace core
