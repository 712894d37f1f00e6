// SPDX-License-Identifier: GPL-3.0-or-later
// Getting a Flash stream back on its feet after a lost reply.
//
// A cmdReadWord or cmdReadBlock names no address: the adapter answers with "the next" bytes
// and advances by what it sent. When a reply is lost (a scheduling stall, a USB hiccup), the
// adapter has most likely advanced while the program has not, and the only way back to a
// known address is to close the stream and stream again from Flash byte 0.
//
// Contract for a Flash verify or read loop:
//
//   StreamRecovery recovery;                 // one per operation
//   for each data command, at stream offset `address` (bytes from Flash byte 0 at which
//   its reply starts: 2 x n for the n-th cmdReadWord, 128 x n for the n-th cmdReadBlock):
//       for (;;) {
//           prepare the command as usual (a verify sets PageBuffer bytes 0 and 1 to 00);
//           if (exchangeCommand(state, pageSize, quietReporter)) break;   // reply complete
//           if (!recovery.recover(state, pageSize, address)) {
//               report the lost reply once and abort, as without recovery;
//           }
//       }
//   after the loop: recovery.retries() > 0 means the final status names that count.
//
// recover():
//   - counts the failed attempt at `address`. After kMaxAttempts failed attempts at one
//     address it sends nothing and returns false: the caller gives up.
//   - otherwise sends cmdEnd (bytes 1 to 7 as CmdBlock holds them) and takes every byte the
//     adapter sends until the `owed` bytes of the lost reply and the cmdEnd's 8 have come and
//     the line is quiet (at most about 2 s):
//     a reply that was late rather than lost arrives then and cannot be mistaken later for
//     the reply of another command. Then it streams again from Flash byte 0 up to `address`: cmdReadBlock while 128 bytes or
//     more remain, cmdReadWord for the rest (an address is always even). A reply lost during
//     this counts as another failed attempt at `address` and the re-stream starts over.
//   - returns true once the adapter's stream stands at `address` again: the caller repeats
//     its lost command, which then gets the reply it lost.
//   - leaves CmdBlock and PageBuffer exactly as it found them, so the repeated command goes
//     out with the very bytes of the lost one, and a later closing cmdEnd carries what it
//     would have carried without the loss.
//   - reports nothing: failures of its own exchanges are the caller's lost reply, told once.
//   - page writes are never recovered this way: an adapter that missed page data is in an
//     unknown state.
#pragma once

#include "protocol.h"

#include <cstdint>

namespace avrlink {

class StreamRecovery {
public:
    static constexpr int kMaxAttempts = 3;  // failed attempts at one address before giving up

    // owed: bytes of the lost reply that did not come (its size less what arrived); the
    // cmdEnd's answer is awaited only after that many more have come or the catch-up time ran out.
    bool recover(LinkState &state, int pageSize, std::uint32_t address, int owed = 0);

    // Re-streams done so far in this operation, for the final status text.
    int retries() const { return retries_; }

private:
    std::uint32_t failedAddress_ = 0;
    int failures_ = 0;  // failed attempts at failedAddress_
    int retries_ = 0;
};

}  // namespace avrlink
