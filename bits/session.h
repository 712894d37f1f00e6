// SPDX-License-Identifier: GPL-3.0-or-later
// The link state an operation works on: the owner's CmdBlock, PageBuffer and PortName.
#pragma once

#include "exchange.h"
#include "protocol.h"
#include "streamrecovery.h"

#include <QString>

namespace core {

struct Session {
    avrlink::Block &CmdBlock;
    avrlink::Page &PageBuffer;
    const QString &PortName;
    // "Fast transfers": one open of the port per operation, Flash verified by blocks, the
    // erase checked, and the extensions of our own board where it proves itself. Off: the
    // original program's exact command sequences, the port opened for every command.
    bool fast = false;

    // One exchange on these buffers. Port failures go to reporter; the rest is the caller's.
    avrlink::ExchangeResult exchange(int pageSize, avrlink::Reporter &reporter)
    {
        avrlink::LinkState state{CmdBlock, PageBuffer, PortName};
        const avrlink::ExchangeResult result = avrlink::exchange(state, pageSize, reporter);
        CmdBlock = state.CmdBlock;
        PageBuffer = state.PageBuffer;
        return result;
    }

    // The same without a word to the user: closing a stream after a failure already reported.
    avrlink::ExchangeResult exchangeQuietly(int pageSize)
    {
        struct : avrlink::Reporter {
            void information(const QString &) override {}
        } quiet;
        return exchange(pageSize, quiet);
    }

    // After a lost reply to a cmdReadWord or cmdReadBlock whose reply starts at stream offset
    // address: closes the stream and streams again up to address, so the lost command can be
    // repeated. owed: the bytes of the lost reply that did not come. False when the attempts
    // at this address are used up (nothing then sent).
    bool recover(avrlink::StreamRecovery &recovery, std::uint32_t address, int owed)
    {
        avrlink::LinkState state{CmdBlock, PageBuffer, PortName};
        const bool ok = recovery.recover(state, 0, address, owed);
        CmdBlock = state.CmdBlock;
        PageBuffer = state.PageBuffer;
        return ok;
    }
};

}  // namespace core
