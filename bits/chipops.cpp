// SPDX-License-Identifier: GPL-3.0-or-later
#include "chipops.h"

#include "chiplist.h"
#include "porthold.h"
#include "rescue.h"

#include <algorithm>

namespace core {

namespace {

bool programmed(std::uint8_t value, int n)
{
    return !IsBitSet(value, n);  // a fuse or lock bit is programmed when it reads 0
}

// Whether bit n of a group becomes `value` by this write: it is sent so and, when the chip's
// bits are known, it was not so before.
bool becomes(const std::optional<ChipBytes> &before, const ChipBytes &sent, int group, int n, bool value)
{
    const std::size_t g = std::size_t(group);
    if (IsBitSet(sent[g], n) != value)
        return false;
    return !before || IsBitSet((*before)[g], n) != value;
}

// A chip command's exchange: its reply carries no status and may be missing, so only a port
// that failed or would not take the block stops the operation.
bool chipCommandSent(Session &session, const Faces &faces)
{
    const avrlink::Outcome outcome = session.exchange(0, faces.messages).outcome;
    if (outcome == avrlink::Outcome::NotSent)
        faces.information(avrlink::noAnswerText(session.PortName));
    if (outcome == avrlink::Outcome::PortFailure || outcome == avrlink::Outcome::NotSent) {
        faces.status(QStringLiteral("Operation aborted."));
        return false;
    }
    return true;
}

QString finish(const QString &text)
{
    return text.endsWith(QLatin1Char('.')) ? text : text + QLatin1Char('.');
}

}  // namespace

QString unservedText(const TDevice &device)
{
    return QStringLiteral("%1 cannot be programmed on the standard AVR Tarvane board: its 5 V supply and 12 V "
                          "on RESET would damage the chip. Take the chip out of the socket.")
        .arg(device.Name);
}

bool refuseUnserved(const TDevice &device, const Faces &faces)
{
    if (device.StandardBoard)
        return false;
    faces.information(unservedText(device));
    faces.status(QStringLiteral("Operation aborted."));
    return true;
}

QString signatureText(const avrlink::Block &reply)
{
    return avrlink::hexByte(reply[1]) + QLatin1Char(' ') + avrlink::hexByte(reply[2]) + QLatin1Char(' ')
           + avrlink::hexByte(reply[3]);
}

bool readChip(Session &session, const Faces &faces)
{
    const avrlink::PortHold hold(session.PortName, session.fast);
    session.CmdBlock = {avrlink::cmdReadChip, 0, 0, 0, 0, 0, 0, 0};
    const avrlink::ExchangeResult result = session.exchange(0, faces.messages);
    switch (result.outcome) {
    case avrlink::Outcome::Done:
        return true;
    case avrlink::Outcome::PortFailure:
        return false;  // reported by the exchange
    default:
        // Half a reply names no chip and no fuse: nothing of it may be taken for the chip.
        faces.information(avrlink::noAnswerText(session.PortName));
        return false;
    }
}

ChipRead identifyReply(const std::vector<const TDevice *> &records, const avrlink::Block &reply)
{
    ChipRead read;
    read.complete = true;
    read.reply = reply;
    const Identification id = identifySignature(records, {reply[1], reply[2], reply[3]});
    read.identified = id.found;
    read.device = records.empty() ? nullptr : records[std::size_t(id.index)];
    return read;
}

std::uint8_t namedMask(const TDevice &device, int group)
{
    std::uint8_t mask = 0;
    const TFuseArray &names = device.Groups[std::size_t(group)].Names;
    for (int n = 0; n < 8; ++n)
        if (!names[std::size_t(n)].isEmpty())
            SetBit(mask, n, 1);
    return mask;
}

QStringList writeWarnings(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                          const std::optional<ChipBytes> &before)
{
    QStringList readLocks, otherLocks, resetPin, spi, debugWire, watchdog, clock;
    for (int g : groups) {
        const TBitGroup &group = device.Groups[std::size_t(g)];
        for (int n = 0; n < 8; ++n) {
            const QString &name = group.Names[std::size_t(n)];
            if (name.isEmpty())
                continue;
            const QString upper = name.toUpper();
            if (g == grLock) {
                if (becomes(before, sent, g, n, false))
                    (upper.startsWith(QLatin1String("LB")) ? readLocks : otherLocks) << name;
                continue;
            }
            if (upper == QLatin1String("RSTDISBL") && becomes(before, sent, g, n, false))
                resetPin << name;
            else if (upper == QLatin1String("SPIEN") && becomes(before, sent, g, n, true))
                spi << name;
            else if (upper == QLatin1String("DWEN") && becomes(before, sent, g, n, false))
                debugWire << name;
            else if (upper == QLatin1String("WDTON") && becomes(before, sent, g, n, false))
                watchdog << name;
            else if (upper.contains(QLatin1String("CKSEL")) || upper.startsWith(QLatin1String("SUT"))) {
                const bool factory = IsBitSet(group.Reference, n);
                if (becomes(before, sent, g, n, !factory))
                    clock << name;
            }
        }
    }
    QStringList lines;
    const auto add = [&lines](const QStringList &names, const QString &text) {
        if (!names.isEmpty())
            lines << QStringLiteral("Warning: ") + names.join(QStringLiteral(", ")) + text;
    };
    add(readLocks, QStringLiteral(" programmed: Flash can no longer be read or verified until a Chip Erase."));
    add(otherLocks, QStringLiteral(" programmed: only a Chip Erase unprograms it again."));
    add(resetPin, QStringLiteral(" programmed: the reset pin becomes an I/O pin, serial programming stops, "
                                 "and only high-voltage programming recovers the chip."));
    add(spi, QStringLiteral(" unprogrammed: serial programming stops; only high-voltage programming "
                            "enables it again."));
    add(debugWire, QStringLiteral(" programmed: debugWIRE takes the reset pin and serial programming stops."));
    add(watchdog, QStringLiteral(" programmed: the watchdog is always on and cannot be stopped."));
    add(clock, QStringLiteral(" away from the factory value: the chip needs a different clock in its circuit."));
    return lines;
}

QString describeWrite(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                      const std::optional<ChipBytes> &before)
{
    QStringList lines;
    if (!before) {
        lines << QStringLiteral("No chip has been read since the device was chosen: every bit is written as shown.");
        QStringList bytes;
        for (int g : groups)
            bytes << kGroupCaptions[g] + QLatin1Char(' ') + avrlink::hexByte(sent[std::size_t(g)]);
        lines << bytes.join(QStringLiteral(", ")) + QLatin1Char('.');
    } else {
        QStringList changes;
        for (int g : groups) {
            const std::size_t i = std::size_t(g);
            const TFuseArray &names = device.Groups[i].Names;
            QStringList bits;
            for (int n = 7; n >= 0; --n) {
                const QString &name = names[std::size_t(n)];
                if (name.isEmpty() || IsBitSet((*before)[i], n) == IsBitSet(sent[i], n))
                    continue;
                bits << name + (programmed(sent[i], n) ? QStringLiteral(" programmed") : QStringLiteral(" unprogrammed"));
            }
            if (!bits.isEmpty())
                changes << kGroupCaptions[g] + QLatin1Char(' ') + avrlink::hexByte((*before)[i]) + QStringLiteral(" -> ")
                               + avrlink::hexByte(sent[i]) + QStringLiteral(": ") + bits.join(QStringLiteral(", "))
                               + QLatin1Char('.');
        }
        if (changes.isEmpty())
            lines << QStringLiteral("No bit changes against the last Read Chip.");
        else
            lines << QStringLiteral("Changes against the last Read Chip:") << changes;
    }
    lines << writeMeaning(device, groups, sent, before);
    lines << writeWarnings(device, groups, sent, before);
    return lines.join(QLatin1Char('\n'));
}

QString readBackDifference(const TDevice &device, const std::vector<int> &groups, const ChipBytes &sent,
                           const ChipBytes &read)
{
    QStringList parts;
    for (int g : groups) {
        const std::size_t i = std::size_t(g);
        const std::uint8_t mask = namedMask(device, g);
        if ((sent[i] & mask) != (read[i] & mask))
            parts << kGroupCaptions[g] + QStringLiteral(" reads ") + avrlink::hexByte(read[i]) + QStringLiteral(", sent ")
                         + avrlink::hexByte(sent[i]);
    }
    return parts.join(QStringLiteral("; "));
}

namespace {

// Why the closing Read Chip does not show the chip the operation was for, or nothing when it
// does: a chip that could not be read, or another chip in the socket (chosen by hand as another
// device, or swapped since it was identified).
QString notTheChip(const TDevice &device, const ChipRead &read)
{
    if (!read.complete)
        return QStringLiteral("chip could not be read");
    const avrlink::Block &r = read.reply;
    if (r[1] != device.Signature[0] || r[2] != device.Signature[1] || r[3] != device.Signature[2])
        return QStringLiteral("the chip reads signature ") + signatureText(r) + QStringLiteral(", not that of ")
               + device.Name;
    return {};
}

// A chip that could not be read back failed for the link's sake; anything else is a chip that
// does not hold what was written.
Result failed(const ChipRead &read)
{
    return read.complete ? Result::Failed : Result::Aborted;
}

// Sends the write, runs the closing Read Chip and judges the read-back.
Result writeAndCheck(Session &session, const Faces &faces, const TDevice &device, const std::vector<int> &groups,
                     const ChipBytes &sent, const ReadChipStep &closingRead, const QString &what,
                     const QString &completed)
{
    const avrlink::PortHold hold(session.PortName, session.fast);
    if (!chipCommandSent(session, faces))
        return Result::Aborted;
    const ChipRead read = closingRead();
    QString difference = notTheChip(device, read);
    if (difference.isEmpty())
        difference = readBackDifference(device, groups, sent, read.bytes());
    if (!difference.isEmpty()) {
        faces.status(what + QStringLiteral(" programming failed: ") + finish(difference));
        return failed(read);
    }
    faces.status(completed);
    return Result::Done;
}

// After an erase, the first block of Flash must read blank: an adapter that lost the erase
// command still shows lock bits that were unprogrammed before. Reads one cmdReadBlock; the
// closing Read Chip that follows closes the stream it opens. Empty when blank.
QString blankCheck(Session &session, const Faces &faces, const TDevice &device)
{
    session.CmdBlock[0] = avrlink::cmdReadBlock;
    const avrlink::ExchangeResult result = session.exchange(0, faces.messages);
    if (!result.done())
        return QStringLiteral("the first Flash block could not be read.");
    const int count = std::clamp(device.FlashSize, 0, avrlink::kReadBlockSize);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t b = session.PageBuffer[std::size_t(i)];
        if (b != 0xFF)
            return QStringLiteral("Flash byte %1 reads %2 after the erase, not FFh.").arg(i).arg(avrlink::hexByte(b));
    }
    return {};
}

}  // namespace

Result writeFuses(Session &session, const Faces &faces, const TDevice &device, std::uint8_t low,
                  std::uint8_t high, std::uint8_t extended, const std::optional<ChipBytes> &before,
                  const ReadChipStep &closingRead)
{
    if (refuseUnserved(device, faces))
        return Result::Aborted;
    session.CmdBlock[0] = avrlink::cmdWriteFuses;
    session.CmdBlock[4] = low;
    session.CmdBlock[5] = high;
    session.CmdBlock[6] = extended;
    const std::vector<int> groups{grLow, grHigh, grExtended};
    const ChipBytes sent{low, high, extended, 0xFF};
    if (!faces.confirm(QStringLiteral("Are you sure want to write Fuses ?"),
                       describeWrite(device, groups, sent, before))) {
        faces.status(QStringLiteral("Fuses programming is canceled."));
        return Result::Cancelled;
    }
    return writeAndCheck(session, faces, device, groups, sent, closingRead, QStringLiteral("Fuses"),
                         QStringLiteral("Fuses programming completed."));
}

Result writeLocks(Session &session, const Faces &faces, const TDevice &device, std::uint8_t lock,
                  const std::optional<ChipBytes> &before, const ReadChipStep &closingRead)
{
    if (refuseUnserved(device, faces))
        return Result::Aborted;
    session.CmdBlock[0] = avrlink::cmdWriteLocks;
    session.CmdBlock[7] = lock;
    const std::vector<int> groups{grLock};
    const ChipBytes sent{0xFF, 0xFF, 0xFF, lock};
    if (!faces.confirm(QStringLiteral("Are you sure want to write Lock Bits ?"),
                       describeWrite(device, groups, sent, before))) {
        faces.status(QStringLiteral("Lock Bits programming is canceled."));
        return Result::Cancelled;
    }
    return writeAndCheck(session, faces, device, groups, sent, closingRead, QStringLiteral("Lock Bits"),
                         QStringLiteral("Lock Bits programming completed."));
}

Result chipErase(Session &session, const Faces &faces, const TDevice &device, const ReadChipStep &closingRead,
                 const std::function<void()> &processEvents, bool asked, const QString &informative)
{
    if (refuseUnserved(device, faces))
        return Result::Aborted;
    session.CmdBlock[0] = avrlink::cmdChipErase;
    if (!asked && !faces.confirm(QStringLiteral("Are you sure want to erase chip ?"), informative)) {
        faces.status(QStringLiteral("Device erasing is canceled."));
        return Result::Cancelled;
    }
    if (!asked && !faces.confirm(QStringLiteral("Really ?")))
        return Result::Cancelled;
    const avrlink::PortHold hold(session.PortName, session.fast);
    if (!chipCommandSent(session, faces))
        return Result::Aborted;
    if (processEvents)
        processEvents();
    const QString notBlank = session.fast ? blankCheck(session, faces, device) : QString();
    const ChipRead read = closingRead();
    QString failure = notTheChip(device, read);
    if (!failure.isEmpty()) {
        failure = finish(failure);
    } else if (!read.identified || !read.device) {
        failure = QStringLiteral("chip not identified after the erase.");
    } else {
        // An erased chip reads every lock bit unprogrammed.
        const std::uint8_t mask = namedMask(*read.device, grLock);
        const std::uint8_t lock = read.reply[7];
        if ((lock & mask) != mask)
            failure = QStringLiteral("Lock Bits reads ") + avrlink::hexByte(lock) + QStringLiteral(", expected ")
                      + avrlink::hexByte(std::uint8_t(lock | mask)) + QLatin1Char('.');
        else
            failure = notBlank;
    }
    if (!failure.isEmpty()) {
        faces.status(QStringLiteral("Device erasing failed: ") + failure);
        return failed(read);
    }
    faces.status(session.fast ? QStringLiteral("Device erased.")
                              : QStringLiteral("Device erased. Not checked for blank Flash: Fast transfers are off."));
    return Result::Done;
}

}  // namespace core
