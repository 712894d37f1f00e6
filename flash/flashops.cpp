// SPDX-License-Identifier: GPL-3.0-or-later
#include "flashops.h"

#include "filechoice.h"
#include "hexconv.h"
#include "image.h"
#include "lane.h"
#include "board.h"
#include "porthold.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace core {

namespace {

bool nameGiven(const QString &name, const QString &missing, const Faces &faces)
{
    if (!name.isEmpty())
        return true;
    faces.error(missing);
    faces.status(QStringLiteral("Incorrect file name."));
    return false;
}

bool fitsFlash(QIODevice &image, const TDevice &device, const Faces &faces)
{
    if (image.size() <= qint64(device.FlashSize))
        return true;
    image.close();
    faces.error(kTooLarge);
    faces.status(QStringLiteral("Incorrect file size."));
    return false;
}

void endStream(Session &session, bool clearByte1)
{
    session.CmdBlock[0] = avrlink::cmdEnd;
    if (clearByte1)
        session.CmdBlock[1] = 0;
}

// A transfer that cannot go on: its image is closed, the adapter's stream closed quietly (the
// failure has been told once already), the progress bar emptied.
Result abortTransfer(Session &session, const Faces &faces, QIODevice *image, bool clearByte1)
{
    endStream(session, clearByte1);
    if (image)
        image->close();
    faces.progress.reset();
    session.exchangeQuietly(0);
    faces.status(kAborted);
    return Result::Aborted;
}

bool streamClosed(Session &session, const Faces &faces, bool clearByte1);

// A transfer stopped on the user's request: the stream is closed as at its normal end.
Result stopTransfer(Session &session, const Faces &faces, QIODevice *image, bool clearByte1, const QString &text)
{
    if (image)
        image->close();
    faces.progress.reset();
    const bool closed = streamClosed(session, faces, clearByte1);
    faces.status(closed ? text : kAborted);
    return closed ? Result::Cancelled : Result::Aborted;
}

// A data command's exchange went wrong: say why, once.
void reportFailure(Session &session, const Faces &faces, avrlink::Outcome outcome)
{
    if (outcome == avrlink::Outcome::NoAcknowledgement)
        faces.information(noAcknowledgementText(session.PortName));
    else if (outcome != avrlink::Outcome::PortFailure)
        faces.information(avrlink::noAnswerText(session.PortName));
}

// One data command of a verify or a read. A reply that does not come whole was lost on the
// way: the stream is closed and read again up to address (the offset at which this command's
// reply starts), and the command goes out again with the very same bytes. A recovered loss is
// no failure of the operation, so no box; the final status counts it. A port that fails or a
// block that will not go out is no lost reply: told once, and the transfer ends.
bool streamCommand(Session &session, const Faces &faces, avrlink::StreamRecovery &recovery, std::uint32_t address)
{
    const bool word = session.CmdBlock[0] == avrlink::cmdReadWord;
    for (;;) {
        if (word)
            session.PageBuffer[0] = session.PageBuffer[1] = 0;
        const avrlink::ExchangeResult result = session.exchange(0, faces.messages);
        if (result.done())
            return true;
        const int owed = (word ? avrlink::kReadWordSize : avrlink::kReadBlockSize) - result.received;
        if (result.outcome != avrlink::Outcome::ShortReply || !session.recover(recovery, address, owed)) {
            reportFailure(session, faces, result.outcome);
            return false;
        }
    }
}

// The closing cmdEnd of a write or a verify; its reply is not examined.
bool streamClosed(Session &session, const Faces &faces, bool clearByte1)
{
    endStream(session, clearByte1);
    const avrlink::Outcome outcome = session.exchange(0, faces.messages).outcome;
    if (outcome == avrlink::Outcome::NotSent)
        faces.information(avrlink::noAnswerText(session.PortName));
    return outcome != avrlink::Outcome::PortFailure && outcome != avrlink::Outcome::NotSent;
}

QString withoutTrailingStops(QString reason)
{
    reason = reason.trimmed();
    while (reason.endsWith(QLatin1Char('.')) || reason.endsWith(QLatin1Char(' ')))
        reason.chop(1);
    return reason;
}

// What the system said when a write or a commit failed. A failure seen only when buffered
// bytes are flushed leaves Qt with "Unknown error"; the errno of that moment says more (a full
// disk: "No space left on device").
QString fileErrorReason(const QFileDevice &file, int savedErrno)
{
    QString reason = withoutTrailingStops(file.errorString());
    if ((reason.isEmpty() || reason == QLatin1String("Unknown error")) && savedErrno != 0)
        reason = QString::fromLocal8Bit(std::strerror(savedErrno));
    return reason;
}

}  // namespace

bool canReplace(const QString &name, const Faces &faces)
{
    QSaveFile probe(name);
    if (probe.open(QIODevice::WriteOnly)) {
        probe.cancelWriting();
        return true;
    }
    const QFileInfo target(name);
    if (target.isFile() && target.isWritable())
        return true;
    faces.messages.applicationError(QStringLiteral("Cannot create file \"%1\". %2.")
                                        .arg(target.absoluteFilePath(), withoutTrailingStops(probe.errorString())));
    return false;
}

int pieceSize(int pageSize)
{
    if (pageSize >= 1 && pageSize <= avrlink::kPageBufferSize)
        return pageSize;
    if (pageSize > avrlink::kPageBufferSize && pageSize % avrlink::kPageBufferSize == 0)
        return avrlink::kPageBufferSize;
    return 0;
}

QString withRetries(const QString &status, int retries)
{
    return retries > 0 ? status + QStringLiteral(" Retries: %1.").arg(retries) : status;
}

QString noAcknowledgementText(const QString &port)
{
    return QStringLiteral("No acknowledgement of a page from programmer on ") + port
           + QStringLiteral(" port. The programmer may take the next command as page data: reset it "
                            "(power it off and on) before the next operation.");
}

bool openImage(const QString &name, QFile &file, const Faces &faces)
{
    file.setFileName(name);
    const QFileInfo info(name);
    QString reason;
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    // Unbuffered: the image is taken from the file page by page, as it stands at that moment.
    if (!info.exists())
        reason = QStringLiteral("No such file or directory");
    else if (!info.isFile())
        reason = QStringLiteral("not a regular file");
    else if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        reason = file.errorString();
    else if (file.isSequential())
        reason = QStringLiteral("not a regular file");
    else if (!sizeHoldsContents(file))
        reason = QStringLiteral("its size on disk does not match its contents (a file of /proc or /sys?)");
    if (reason.isEmpty())
        return true;
    file.close();
    faces.fileError(QStringLiteral("Can`t open file."), name, reason);
    faces.status(kAborted);
    return false;
}

std::unique_ptr<QIODevice> openFlashImage(const QString &name, const TDevice &device, const Faces &faces)
{
    const QByteArray head = [&] {
        QFile probe(name);
        return QFileInfo(name).isFile() && probe.open(QIODevice::ReadOnly) ? probe.read(4) : QByteArray();
    }();
    if (image::formatToRead(name.toStdString(), head.toStdString()) == image::Format::Raw) {
        auto file = std::make_unique<QFile>();
        if (!openImage(name, *file, faces))
            return nullptr;
        return file;
    }
    // Intel HEX, S-record and ELF are read whole into a memory image, holes FFh.
    const image::Loaded loaded = image::load(name, std::max<qint64>(device.FlashSize, 0), image::Memory::Flash);
    if (!loaded.ok) {
        faces.error(QStringLiteral("Can`t read file \"%1\": %2.").arg(QFileInfo(name).absoluteFilePath(), loaded.error));
        faces.status(loaded.error.contains(QLatin1String("lies outside")) ? QStringLiteral("Incorrect file size.")
                                                                          : kAborted);
        return nullptr;
    }
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(loaded.bytes);
    buffer->open(QIODevice::ReadOnly);
    return buffer;
}

bool sizeHoldsContents(QFile &file)
{
    // Files of /proc and /sys say 0 or 4096 bytes and hold something else: the last byte the
    // size promises must be there, and nothing after it.
    const qint64 size = file.size();
    char probe[2];
    bool ok = true;
    if (size > 0)
        ok = file.seek(size - 1) && file.read(probe, 2) == 1;
    else
        ok = file.read(probe, 1) == 0;
    return file.seek(0) && ok;
}

// --- Flash write -----------------------------------------------------------------------

Result writeFlash(Session &session, const Faces &faces, const TDevice &device, const QString &name,
                  const QString &missing, const ReadChipStep &verifyAfter)
{
    if (refuseUnserved(device, faces))
        return Result::Aborted;
    if (!nameGiven(name, missing, faces))
        return Result::Aborted;
    const int piece = pieceSize(device.PageSize);
    session.CmdBlock[0] = avrlink::cmdWritePage;
    session.CmdBlock[1] = std::uint8_t((piece != 0 ? piece : device.PageSize) & 0xFF);
    const std::unique_ptr<QIODevice> image = openFlashImage(name, device, faces);
    if (!image)
        return Result::Aborted;
    // The write and its verify are one operation on the port.
    const avrlink::PortHold hold(session.PortName, session.fast);
    const Result written = writeFlashImage(session, faces, device, *image);
    if (written != Result::Done || !verifyAfter)
        return written;
    if (!image->open(QIODevice::ReadOnly)) {
        faces.fileError(QStringLiteral("Can`t open file."), name, image->errorString());
        faces.status(kAborted);
        return Result::Aborted;
    }
    const VerifyResult verified = verifyFlashImage(session, faces, device, *image, verifyAfter);
    if (verified.result == Result::Done)
        faces.status(withRetries(QStringLiteral("Flash programming completed. Verified."), verified.retries));
    return verified.result;
}

namespace {

// The end of a transfer on the addressed lane: the stream closed (which on our board also waits
// for the last page to be programmed), the line back at 115200. Quietly after a failure that
// has been told already.
bool closeAddressed(Session &session, const Faces &faces, Lane &lane, bool clearByte1, bool quietly = false)
{
    bool closed = false;
    if (quietly) {
        endStream(session, clearByte1);
        session.exchangeQuietly(0);
    } else {
        closed = streamClosed(session, faces, clearByte1);
    }
    closeLane(session, faces, lane);
    return closed;
}

// Flash write on our board: one whole physical page a command, its address and a CRC with it.
Result writeAddressedImage(Session &session, const Faces &faces, const TDevice &device, QIODevice &image, Lane &lane)
{
    const int page = device.PageSize;
    const int steps = std::max(1, page / std::max(1, pieceSize(page)));
    const qint64 length = image.size();
    std::vector<std::uint8_t> buffer(std::size_t(std::max(page, 1)));
    const auto fail = [&](const QString &text) {
        if (!text.isEmpty())
            faces.error(text);
        image.close();
        faces.progress.reset();
        closeAddressed(session, faces, lane, true, true);
        faces.status(kAborted);
        return Result::Aborted;
    };
    if (page < 1 || page > 256)
        return fail(QStringLiteral("Page size of the selected device is not supported for Flash programming."));
    qint64 at = 0;
    do {
        std::fill(buffer.begin(), buffer.end(), std::uint8_t(0xFF));
        const qint64 got = image.read(reinterpret_cast<char *>(buffer.data()), page);
        if (got < 0 || (got == 0 && image.pos() < length))
            return fail(QStringLiteral("Can`t read file."));
        if (!writeAddressed(session, faces, lane, avrlink::memFlash, std::uint32_t(at), page, buffer.data()))
            return fail(QString());
        at += page;
        for (int i = 0; i < steps; ++i)
            faces.progress.step();
        if (faces.progress.stopRequested() && image.pos() < length) {
            image.close();
            faces.progress.reset();
            const bool closed = closeAddressed(session, faces, lane, true);
            faces.status(closed ? QStringLiteral("Flash programming stopped.") : kAborted);
            return closed ? Result::Cancelled : Result::Aborted;
        }
    } while (image.pos() < length);
    const bool closed = closeAddressed(session, faces, lane, true);
    image.close();
    faces.progress.reset();
    faces.status(closed ? withRetries(QStringLiteral("Flash programming completed."), lane.retries) : kAborted);
    return closed ? Result::Done : Result::Aborted;
}

}  // namespace

Result writeFlashImage(Session &session, const Faces &faces, const TDevice &device, QIODevice &image)
{
    if (refuseUnserved(device, faces))
        return Result::Aborted;
    const int pageSize = device.PageSize;
    const int piece = pieceSize(pageSize);
    session.CmdBlock[0] = avrlink::cmdWritePage;
    session.CmdBlock[1] = std::uint8_t((piece != 0 ? piece : pageSize) & 0xFF);
    if (!fitsFlash(image, device, faces))
        return Result::Aborted;
    // Each piece travels in the 128-byte buffer with its size in one byte of the block.
    if (device.FlashSize != 0 && piece == 0) {
        image.close();
        faces.error(QStringLiteral("Page size of the selected device is not supported for Flash programming."));
        faces.status(kAborted);
        return Result::Aborted;
    }
    const qint64 length = image.size();
    const avrlink::PortHold hold(session.PortName, session.fast);
    faces.status(QStringLiteral("Programming Flash..."));
    faces.progress.start(length + pageSize / 2, piece != 0 ? piece : pageSize);
    image.seek(0);
    Lane lane;
    if (!openLane(session, faces, lane)) {
        image.close();
        faces.progress.reset();
        faces.status(kAborted);
        return Result::Aborted;
    }
    if (lane.addressed)
        return writeAddressedImage(session, faces, device, image, lane);
    // The question to the adapter left its own block behind.
    session.CmdBlock[0] = avrlink::cmdWritePage;
    session.CmdBlock[1] = std::uint8_t((piece != 0 ? piece : pageSize) & 0xFF);
    // The last page is completed with FF, piece by piece up to the end of the page.
    const qint64 page = std::max(pageSize, 1);
    qint64 sent = 0;
    do {
        std::fill_n(session.PageBuffer.begin(), piece, std::uint8_t(0xFF));
        const qint64 got = piece > 0 ? image.read(reinterpret_cast<char *>(session.PageBuffer.data()), piece) : 0;
        if (got < 0 || (got == 0 && piece > 0 && image.pos() < length)) {
            faces.error(QStringLiteral("Can`t read file."));
            return abortTransfer(session, faces, &image, true);
        }
        const avrlink::ExchangeResult result = session.exchange(piece, faces.messages);
        if (result.outcome == avrlink::Outcome::NoAcknowledgement) {
            // The adapter may still be waiting for page data and would take a cmdEnd as such:
            // the stream is left as it is, and the user is told to reset the adapter.
            reportFailure(session, faces, result.outcome);
            image.close();
            faces.progress.reset();
            faces.status(kAborted);
            return Result::Aborted;
        }
        if (!result.done()) {
            reportFailure(session, faces, result.outcome);
            return abortTransfer(session, faces, &image, true);
        }
        sent += piece;
        faces.progress.step();
        // A stop asked for ends the write between two pages, never inside one.
        if (faces.progress.stopRequested() && (piece == 0 || sent % page == 0))
            return stopTransfer(session, faces, &image, true, QStringLiteral("Flash programming stopped."));
    } while (image.pos() < length || (piece > 0 && sent % page != 0));
    const bool closed = streamClosed(session, faces, true);
    image.close();
    faces.progress.reset();
    faces.status(closed ? QStringLiteral("Flash programming completed.") : kAborted);
    return closed ? Result::Done : Result::Aborted;
}

// --- Flash verify ----------------------------------------------------------------------

VerifyResult verifyFlash(Session &session, const Faces &faces, const TDevice &device, const QString &name,
                         const ReadChipStep &closingRead, const QString &missing)
{
    if (refuseUnserved(device, faces))
        return {};
    if (!nameGiven(name, missing, faces))
        return {};
    session.CmdBlock[0] = avrlink::cmdReadWord;
    const std::unique_ptr<QIODevice> image = openFlashImage(name, device, faces);
    if (!image)
        return {};
    return verifyFlashImage(session, faces, device, *image, closingRead);
}

VerifyResult verifyFlashImage(Session &session, const Faces &faces, const TDevice &device, QIODevice &image,
                              const ReadChipStep &closingRead)
{
    if (refuseUnserved(device, faces))
        return {};
    session.CmdBlock[0] = avrlink::cmdReadWord;
    if (!fitsFlash(image, device, faces))
        return {};
    const avrlink::PortHold hold(session.PortName, session.fast);
    const QString live = QStringLiteral("Verifying Flash. Errors: ");
    faces.status(live + QStringLiteral("0"));
    const qint64 length = image.size();
    VerifyResult out;
    Lane lane;
    if (!openLane(session, faces, lane)) {
        image.close();
        faces.status(kAborted);
        return out;
    }
    // With fast transfers Flash comes in blocks of 128 bytes, one round trip each, instead of
    // one per word: a USB bridge makes every round trip cost a frame at least. Our board sends
    // 256 bytes an addressed command.
    const bool blocks = session.fast;
    const int chunk = lane.addressed ? 256 : blocks ? avrlink::kReadBlockSize : avrlink::kReadWordSize;
    if (blocks)
        session.CmdBlock[0] = avrlink::cmdReadBlock;
    faces.progress.start(length + 2, chunk);
    image.seek(0);
    avrlink::StreamRecovery recovery;
    // Closes the stream: quietly after a failure that has been told already.
    const auto end = [&](bool quietly) {
        image.close();
        faces.progress.reset();
        bool closed = false;
        if (quietly) {
            endStream(session, true);
            session.exchangeQuietly(0);
        } else {
            closed = streamClosed(session, faces, true);
        }
        closeLane(session, faces, lane);
        return closed;
    };
    // Words: at least one, as the original program sends. Blocks: as many as the file needs.
    for (bool first = true; blocks ? image.pos() < length : (first || image.pos() < length); first = false) {
        const std::uint32_t address = std::uint32_t(image.pos());
        std::uint8_t chip[256];
        bool came;
        if (lane.addressed) {
            came = readAddressed(session, faces, lane, avrlink::memFlash, address,
                                 int(std::min<qint64>(chunk, length - address)), chip);
        } else {
            came = streamCommand(session, faces, recovery, address);
            std::copy_n(session.PageBuffer.begin(), chunk, chip);
        }
        out.retries = recovery.retries() + lane.retries;
        if (!came) {
            end(true);
            faces.status(kAborted);
            return out;
        }
        std::uint8_t expected[256];
        const qint64 got = image.read(reinterpret_cast<char *>(expected), chunk);
        if (got < 0 || (got == 0 && image.pos() < length)) {
            faces.error(QStringLiteral("Can`t read file."));
            end(true);
            faces.status(kAborted);
            return out;
        }
        // Bytes past the end of the file are not compared.
        for (qint64 i = 0; i < got; ++i) {
            if (expected[i] != chip[i]) {
                ++out.errors;
                faces.status(live + QString::number(out.errors));
            }
        }
        faces.progress.step();
        if (faces.progress.stopRequested() && image.pos() < length) {
            const bool closed = end(false);
            faces.status(closed ? QStringLiteral("Flash verifying stopped.") : kAborted);
            out.result = closed ? Result::Cancelled : Result::Aborted;
            return out;
        }
    }
    if (!end(false)) {
        faces.status(kAborted);
        return out;
    }
    closingRead();
    if (out.errors != 0) {
        faces.status(withRetries(QStringLiteral("Flash verifying failed: ") + QString::number(out.errors)
                                     + QStringLiteral(" errors."),
                                 out.retries));
        out.result = Result::Failed;
    } else {
        faces.status(withRetries(QStringLiteral("Flash verifying completed. No errors."), out.retries));
        out.result = Result::Done;
    }
    return out;
}

// --- Flash read ------------------------------------------------------------------------

// Puts a dump in place of the target. The bytes go to a temporary file beside it, which
// replaces it only once all are written: a failed write never destroys the file it was to
// replace. A writable file in a folder that takes no new file is written in place instead, now
// that every byte is in memory. False after the failure was told.
bool saveDump(const QString &name, const QByteArray &dump, const Faces &faces)
{
    const QString path = QFileInfo(name).absoluteFilePath();
    QSaveFile saved(name);
    // Unbuffered: a write that fails says why at once.
    if (saved.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        errno = 0;
        if (saved.write(dump) == dump.size() && saved.commit())
            return true;
        const QString reason = fileErrorReason(saved, errno);
        saved.cancelWriting();
        faces.error(QStringLiteral("Can`t write file \"%1\": %2. The old file is kept as it was.").arg(path, reason));
        return false;
    }
    const QString reason = saved.errorString();
    const QFileInfo target(name);
    QFile direct(name);
    if (!target.isFile() || !direct.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        faces.messages.applicationError(
            QStringLiteral("Cannot create file \"%1\". %2.").arg(path, withoutTrailingStops(reason)));
        return false;
    }
    errno = 0;
    if (direct.write(dump) == dump.size() && direct.flush()) {
        direct.close();
        if (direct.error() == QFileDevice::NoError)
            return true;
    }
    faces.error(QStringLiteral("Can`t write file \"%1\": %2. The file may be cut short.").arg(path, fileErrorReason(direct, errno)));
    return false;
}


ReadResult readFlash(Session &session, const Faces &faces, const TDevice &device, const QString &name,
                     const ReadChipStep &closingRead, bool trimTrailingFF)
{
    if (refuseUnserved(device, faces))
        return {};
    if (!nameGiven(name, QStringLiteral("Input file name to save Flash."), faces))
        return {};
    session.CmdBlock[0] = avrlink::cmdReadBlock;
    faces.status(QStringLiteral("Reading Flash..."));
    const std::int32_t flashSize = device.FlashSize;
    faces.progress.start(flashSize, avrlink::kReadBlockSize);

    const QFileInfo target(name);
    // A FIFO or a device node is no dump: replacing it would destroy what it is.
    if (target.exists() && !target.isFile()) {
        faces.messages.applicationError(
            QStringLiteral("Cannot create file \"%1\". Not a regular file.").arg(target.absoluteFilePath()));
        faces.progress.reset();
        faces.status(kAborted);
        return {};
    }
    // Whether the target can be had is known before the adapter is asked for anything: a
    // folder that takes no file and a file that cannot be written end the read here.
    if (!canReplace(name, faces)) {
        faces.progress.reset();
        faces.status(kAborted);
        return {};
    }

    const avrlink::PortHold hold(session.PortName, session.fast);
    ReadResult out;
    Lane lane;
    if (!openLane(session, faces, lane)) {
        faces.progress.reset();
        faces.status(kAborted);
        return out;
    }
    session.CmdBlock[0] = avrlink::cmdReadBlock;  // the question to the adapter left its own block
    avrlink::StreamRecovery recovery;
    QByteArray dump;
    // Whole blocks of 128 bytes, as the original program reads; our board sends two at once.
    const std::int32_t total = flashSize / avrlink::kReadBlockSize * avrlink::kReadBlockSize;
    const int chunk = lane.addressed ? 256 : avrlink::kReadBlockSize;
    for (std::int32_t at = 0; at < total; at += chunk) {
        const int count = int(std::min<std::int32_t>(chunk, total - at));
        std::uint8_t data[256];
        bool came;
        if (lane.addressed) {
            came = readAddressed(session, faces, lane, avrlink::memFlash, std::uint32_t(at), count, data);
        } else {
            came = streamCommand(session, faces, recovery, std::uint32_t(at));
            std::copy_n(session.PageBuffer.begin(), count, data);
        }
        out.retries = recovery.retries() + lane.retries;
        if (!came) {
            abortTransfer(session, faces, nullptr, false);
            closeLane(session, faces, lane);
            return out;
        }
        dump.append(reinterpret_cast<const char *>(data), count);
        for (int i = 0; i < count / avrlink::kReadBlockSize; ++i)
            faces.progress.step();
        if (faces.progress.stopRequested() && at + count < total) {
            stopTransfer(session, faces, nullptr, false, QStringLiteral("Flash reading stopped. The file is left as it was."));
            closeLane(session, faces, lane);
            out.result = Result::Cancelled;
            return out;
        }
    }
    const bool closed = streamClosed(session, faces, false);
    closeLane(session, faces, lane);
    if (!closed) {
        faces.progress.reset();
        faces.status(kAborted);
        return out;
    }
    faces.progress.reset();
    // Intel HEX or S-record by the file's name, raw otherwise.
    if (!saveDump(name, image::encode(dump, name, trimTrailingFF), faces)) {
        faces.status(kAborted);
        return out;
    }
    closingRead();
    faces.status(withRetries(QStringLiteral("Flash reading completed."), out.retries));
    out.result = Result::Done;
    return out;
}

// --- File choice -----------------------------------------------------------------------

std::optional<QString> takeChosenImage(const QString &chosen, const QString &converter, const Faces &faces)
{
    if (!isHexFileName(chosen))
        return chosen;
    // An image left from an earlier conversion does not count as this one's output.
    const QString binary = QString::fromStdString(hexconv::binaryNameFor(chosen.toStdString()));
    const QFileInfo old(binary);
    const bool existed = old.exists();
    const QDateTime oldTime = old.lastModified();
    ConversionResult converted = convertHexFile(converter, chosen);
    if (converted.ok && existed) {
        const QFileInfo now(converted.binaryName);
        converted.ok = now.lastModified() != oldTime;
    }
    if (!converted.ok) {
        faces.error(QStringLiteral("Error converting HEX to BIN."));
        faces.status(QStringLiteral("Error convert."));
        return std::nullopt;
    }
    faces.status(QStringLiteral("Converted ") + QFileInfo(chosen).fileName() + QStringLiteral(" to ")
                 + QFileInfo(converted.binaryName).fileName() + QStringLiteral(" successfuly."));
    return converted.binaryName;
}

}  // namespace core
