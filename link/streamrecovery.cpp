// SPDX-License-Identifier: GPL-3.0-or-later
#include "streamrecovery.h"

#include "exchange.h"
#include "serialline.h"

#include <algorithm>
#include <chrono>

namespace avrlink {

namespace {

// The re-stream's own failures are the caller's one lost reply.
struct Quiet : Reporter {
    void information(const QString &) override {}
};

// How long the adapter may take to catch up with replies it still owes, and how long the line
// must then stay quiet for its last reply to count as complete.
constexpr int kCatchUpMs = kAckTimeoutMs;
constexpr int kQuietAfterReplyMs = 20;
constexpr int kQuietWithoutReplyMs = 100;

// Sends cmdEnd and takes every byte the adapter sends until it has answered it. A reply that
// was only late, not lost, comes in now, before the cmdEnd's own reply: were it left on the
// line, a later command could take it for its own. The adapter answers in order, so once the
// bytes it still owed of the lost reply and the 8 of the cmdEnd's have come and the line is
// quiet, it has closed the stream and owes nothing. Counting the owed bytes matters: the rest
// of a late block alone can be 8 bytes or more, and a pause after it is no answer to cmdEnd.
bool closeStream(const QString &portName, const Block &block, int owed)
{
    Quiet quiet;
    CommandLine command(portName);
    if (!command.open(quiet))
        return false;
    command.line().drain();
    Block end = block;
    end[0] = cmdEnd;
    SerialLine &line = command.line();
    if (!line.write(end.data(), kBlockSize))
        return false;
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(kCatchUpMs + line.latencyMs());
    const int answered = owed + kBlockSize;
    int got = 0;
    for (;;) {
        if (line.waitForCharacter(got >= answered ? kQuietAfterReplyMs : kQuietWithoutReplyMs)) {
            ++got;
            // An adapter that never stops sending must not hold the operation for ever: still
            // sending when the catch-up time is over, it has not closed the stream.
            if (Clock::now() >= until)
                return false;
            continue;
        }
        // Quiet after the answer: done. Quiet before it: the adapter may still be catching up,
        // or it is one that answers cmdEnd with nothing; wait until the catch-up time is over.
        if (got >= answered || Clock::now() >= until)
            return true;
    }
}

}  // namespace

bool StreamRecovery::recover(LinkState &state, int pageSize, std::uint32_t address, int owed)
{
    if (failures_ == 0 || address != failedAddress_) {
        failedAddress_ = address;
        failures_ = 0;
    }
    const Block block = state.CmdBlock;
    const Page page = state.PageBuffer;
    Quiet quiet;
    bool ok = false;
    while (!ok && ++failures_ < kMaxAttempts) {
        ++retries_;
        ok = closeStream(state.PortName, block, owed);
        std::uint32_t at = 0;
        while (ok && at < address) {
            state.CmdBlock = block;
            const bool wholeBlock = address - at >= std::uint32_t(kReadBlockSize);
            state.CmdBlock[0] = wholeBlock ? cmdReadBlock : cmdReadWord;
            const int size = wholeBlock ? kReadBlockSize : kReadWordSize;
            const ExchangeResult result = exchange(state, pageSize, quiet);
            ok = result.done();
            // What a re-stream reply still owes is taken in by the next cmdEnd.
            owed = ok ? 0 : std::max(0, size - result.received);
            at += size;
        }
    }
    state.CmdBlock = block;
    state.PageBuffer = page;
    return ok;
}

}  // namespace avrlink
