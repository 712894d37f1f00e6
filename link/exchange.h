// One complete exchange with the programmer adapter: open, set up, purge, send,
// receive by the rule of the command code, close.
#pragma once

#include "protocol.h"

namespace avrlink {

// Carries CmdBlock (and for a page write the first pageSize bytes of PageBuffer) to the
// adapter and stores the reply where the command code says. Failures are reported through
// reporter once, and the result says whether the exchange worked: a reply to codes 0 to 4
// is not checked, a short block or word reply and a missing page acknowledgement are failures.
bool exchangeCommand(LinkState &state, int pageSize, Reporter &reporter);

}  // namespace avrlink
