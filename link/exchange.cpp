// SPDX-License-Identifier: GPL-3.0-or-later
#include "exchange.h"

#include "porthold.h"

namespace avrlink {

namespace {

// How long the line must stay silent after a broken reply before the next command goes out,
// and how long at most the waiting for it may take.
constexpr int kQuietMs = 100;
constexpr int kQuietCapMs = 2000;
// A latency from which the page data no longer waits for the first acknowledgement.
constexpr int kEarlyDataLatencyMs = 2;

}  // namespace

CommandLine::CommandLine(const QString &portName)
    : portName_(portName), hold_(PortHold::active(portName))
{
}

CommandLine::~CommandLine()
{
    if (own_)
        own_->close();
}

bool CommandLine::open(Reporter &reporter)
{
    if (line_)
        return true;
    if (hold_) {
        if (!hold_->take(reporter))
            return false;
        line_ = hold_->line();
        if (line_)
            return true;
    }
    own_ = std::make_unique<SerialLine>();
    const auto locking = hold_ ? SerialLine::Locking::HeldByOperation : SerialLine::Locking::Take;
    if (own_->open(portName_, locking) != SerialLine::OpenResult::Ok) {
        reporter.information(openFailureText(portName_, own_->lastOpen()));
        own_.reset();
        return false;
    }
    if (hold_)
        hold_->adopt(*own_);
    own_->purge();
    line_ = own_.get();
    return true;
}

void CommandLine::prepare()
{
    if (hold_ && hold_->takeQuietDue())
        line_->waitQuiet(kQuietMs + line_->latencyMs(), kQuietCapMs);
    else if (own_)
        return;  // just opened and purged
    line_->drain();
}

void CommandLine::noteReply(int got, int count)
{
    if (hold_ && got > 0 && got < count)
        hold_->replyBroken();
}

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

    CommandLine command(port);
    if (!command.open(reporter))
        return {Outcome::PortFailure, 0};
    command.prepare();
    SerialLine &line = command.line();

    ExchangeResult result;
    if (!line.write(state.CmdBlock.data(), kBlockSize)) {
        result.outcome = Outcome::NotSent;
    } else {
        switch (code) {
        case cmdWritePage: {
            // Behind a bridge that holds short replies for its latency timer, waiting for the
            // first acknowledgement before the data would cost that time twice a page. The
            // adapter is ready again once it has acknowledged the page before, and buffers what
            // follows its block: with fast transfers the data goes out at once, and both
            // acknowledgements are awaited after it.
            const bool early = sendsPage && command.hold() && command.hold()->fast() && line.latencyMs() >= kEarlyDataLatencyMs;
            bool ok = true;
            if (early)
                ok = line.write(state.PageBuffer.data(), pageSize);
            ok = ok && line.waitForCharacter(kAckTimeoutMs);
            if (ok && sendsPage)
                ok = (early || line.write(state.PageBuffer.data(), pageSize)) && line.waitForCharacter(kAckTimeoutMs);
            if (!ok)
                result.outcome = Outcome::NoAcknowledgement;
            break;
        }
        case cmdReadBlock:
        case cmdReadWord:
        default: {
            const int size = code == cmdReadBlock ? kReadBlockSize : code == cmdReadWord ? kReadWordSize : kBlockSize;
            std::uint8_t *target = code == cmdReadBlock || code == cmdReadWord ? state.PageBuffer.data()
                                                                                : state.CmdBlock.data();
            result.received = line.read(target, size);
            if (result.received != size)
                result.outcome = Outcome::ShortReply;
            command.noteReply(result.received, size);
            break;
        }
        }
    }
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
