// SPDX-License-Identifier: GPL-3.0-or-later
// board-test: the open AVR Tarvane board drives each of its lines in turn, slowly enough to
// follow with an LED or a meter, and names each one here; it ends with both supplies off. For
// our board only: any other adapter gets nothing but the question whether it is ours.
#include "context.h"

#include "board.h"
#include "porthold.h"

namespace cli {

int boardTest(Context &c)
{
    if (!c.arguments.isEmpty()) {
        printErr(QStringLiteral("board-test takes no argument."));
        return kUsage;
    }
    if (!c.session.fast) {
        printErr(QStringLiteral("board-test is for the open AVR Tarvane board only, and asks it with Fast transfers "
                                "on: run it without --compatible."));
        return kLinkFailure;
    }
    const avrlink::PortHold hold(c.PortName, true);
    avrlink::LinkState state{c.CmdBlock, c.PageBuffer, c.PortName};
    avrlink::ExchangeResult asked;
    const avrlink::BoardInfo board = avrlink::identifyBoard(state, c.terminal, &asked);
    if (asked.outcome == avrlink::Outcome::PortFailure)
        return kLinkFailure;
    if (!board.ours || !(board.capabilities & avrlink::capBoardTest)) {
        printErr(QStringLiteral("This adapter is not the open AVR Tarvane board: board-test is for that board only, "
                                "and nothing was sent to test it."));
        return kLinkFailure;
    }
    printOut(QStringLiteral("Board self-test: each line is driven high in turn, the socket must be empty. "
                            "Ctrl+C ends it."));
    const bool done = avrlink::boardTest(
        state, c.terminal, [](const QString &line) { printOut(QStringLiteral("  ") + line); }, [] { return interrupted(); });
    if (!done) {
        printErr(avrlink::noAnswerText(c.PortName));
        return kLinkFailure;
    }
    if (interrupted()) {
        printErr(QStringLiteral("Board self-test stopped; both supplies are off."));
        return kInterrupted;
    }
    printOut(QStringLiteral("Board self-test completed; both supplies are off."));
    return kDone;
}

}  // namespace cli
