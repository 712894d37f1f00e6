// The link state an operation works on: the owner's CmdBlock, PageBuffer and PortName.
#pragma once

#include "exchange.h"
#include "protocol.h"

#include <QString>

namespace core {

struct Session {
    avrlink::Block &CmdBlock;
    avrlink::Page &PageBuffer;
    const QString &PortName;

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
};

}  // namespace core
