// SPDX-License-Identifier: GPL-3.0-or-later
#include "exchange.h"

#include "serialline.h"

namespace avrlink {

QString hexByte(std::uint8_t value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper() + QLatin1Char('h');
}

QString noAnswerText(const QString &port)
{
    return QStringLiteral("No answer from programmer on ") + port + QStringLiteral(" port.");
}

ExchangeResult exchange(LinkState &state, int pageSize, Reporter &reporter)
{
    const QString port = state.PortName;
    const std::uint8_t code = state.CmdBlock[0];
    const bool sendsPage = code == cmdWritePage && state.CmdBlock[1] != 0;
    // The page buffer holds 128 bytes and the block carries the size in one byte:
    // anything else would send a wrong page, so it never leaves.
    if (sendsPage && (pageSize < 1 || pageSize > kPageBufferSize)) {
        reporter.information(QStringLiteral("Page size of the selected device is not supported for Flash programming."));
        return {Outcome::PortFailure, 0};
    }

    SerialLine line;
    switch (line.open(port)) {
    case SerialLine::OpenResult::Ok:
        break;
    case SerialLine::OpenResult::CantOpen:
        reporter.information(QStringLiteral("Can`t open ") + port + QStringLiteral(" port.") + line.failureHelp());
        return {Outcome::PortFailure, 0};
    case SerialLine::OpenResult::CantReadStatus:
        reporter.information(QStringLiteral("Can`t read status of ") + port + QStringLiteral(" port.") + line.failureHelp());
        return {Outcome::PortFailure, 0};
    case SerialLine::OpenResult::CantSetup:
        reporter.information(QStringLiteral("Can`t setup ") + port + QStringLiteral(" port.") + line.failureHelp());
        return {Outcome::PortFailure, 0};
    }
    line.purge();

    ExchangeResult result;
    if (!line.write(state.CmdBlock.data(), kBlockSize)) {
        result.outcome = Outcome::NotSent;
    } else {
        switch (code) {
        case cmdWritePage: {
            bool ok = line.waitForCharacter(kAckTimeoutMs);
            if (ok && sendsPage)
                ok = line.write(state.PageBuffer.data(), pageSize) && line.waitForCharacter(kAckTimeoutMs);
            if (!ok)
                result.outcome = Outcome::NoAcknowledgement;
            break;
        }
        case cmdReadBlock:
            result.received = line.read(state.PageBuffer.data(), kReadBlockSize);
            if (result.received != kReadBlockSize)
                result.outcome = Outcome::ShortReply;
            break;
        case cmdReadWord:
            result.received = line.read(state.PageBuffer.data(), kReadWordSize);
            if (result.received != kReadWordSize)
                result.outcome = Outcome::ShortReply;
            break;
        default:
            result.received = line.read(state.CmdBlock.data(), kBlockSize);
            if (result.received != kBlockSize)
                result.outcome = Outcome::ShortReply;
            break;
        }
    }
    line.close();
    return result;
}

bool exchangeCommand(LinkState &state, int pageSize, Reporter &reporter)
{
    const std::uint8_t code = state.CmdBlock[0];
    const ExchangeResult result = exchange(state, pageSize, reporter);
    switch (result.outcome) {
    case Outcome::Done:
        return true;
    case Outcome::PortFailure:
        return false;
    case Outcome::ShortReply:
        // Replies to the chip commands carry no status and may be missing altogether.
        if (code != cmdWritePage && code != cmdReadBlock && code != cmdReadWord)
            return true;
        break;
    case Outcome::NotSent:
    case Outcome::NoAcknowledgement:
        break;
    }
    reporter.information(noAnswerText(state.PortName));
    return false;
}

}  // namespace avrlink
