// SPDX-License-Identifier: GPL-3.0-or-later
// How a Flash or EEPROM operation reaches the chip, chosen once at its start.
//
// - Fast transfers off: the original program's commands, exactly (the plain lane).
// - Fast transfers on: the operation first asks the adapter whether it is our board (cmdEnd
//   with a challenge, link/board.h). Any other adapter then gets the plain lane's commands,
//   Flash verified by blocks. Our board gets addressed reads and writes that carry a CRC-16 in
//   both directions, on a line moved to 1,000,000 baud for the operation where the port and
//   the bridge carry it (115200 otherwise).
//
// On the addressed lane a reply that is lost or fails its CRC is asked for again at its own
// address (3 attempts at one address, then the operation ends as with a lost reply), and a page
// whose data arrived damaged ('E') is sent again. Nothing of a damaged reply is ever kept.
#pragma once

#include "chipops.h"

#include <cstdint>

namespace core {

struct Lane {
    bool addressed = false;          // our board's addressed commands
    std::uint8_t capabilities = 0;   // what our board said it can do
    int rate = 115200;               // the line's rate now
    int retries = 0;                 // addressed commands asked again, for the final status
};

// Chooses the lane (see above). False when the port could not be had (reported) or our board
// stopped answering while the line was moved; the operation then ends.
bool openLane(Session &session, const Faces &faces, Lane &lane);
// Puts the line back to 115200 where the lane moved it.
void closeLane(Session &session, const Faces &faces, Lane &lane);

// count bytes (up to 256) of memory at address, asked again where lost or damaged. False after
// 3 failed attempts at one address (told once through faces), or a refusal.
bool readAddressed(Session &session, const Faces &faces, Lane &lane, std::uint8_t memory, std::uint32_t address,
                   int count, std::uint8_t *out);
// count bytes (up to 256) to memory at address, sent again where their data arrived damaged.
bool writeAddressed(Session &session, const Faces &faces, Lane &lane, std::uint8_t memory, std::uint32_t address,
                    int count, const std::uint8_t *data);

}  // namespace core
