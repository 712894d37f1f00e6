#include "exchange.h"

#include "serialline.h"

namespace avrlink {

QString hexByte(std::uint8_t value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper() + QLatin1Char('h');
}

bool exchangeCommand(LinkState &state, int pageSize, Reporter &reporter)
{
    const QString port = state.PortName;
    const std::uint8_t code = state.CmdBlock[0];
    const bool sendsPage = code == cmdWritePage && state.CmdBlock[1] != 0;
    // The page buffer holds 128 bytes and the block carries the size in one byte:
    // anything else would send a wrong page, so it never leaves.
    if (sendsPage && (pageSize < 1 || pageSize > kPageBufferSize)) {
        reporter.information(QStringLiteral("Page size of the selected device is not supported for Flash programming."));
        return false;
    }

    SerialLine line;
    switch (line.open(port)) {
    case SerialLine::OpenResult::Ok:
        break;
    case SerialLine::OpenResult::CantOpen:
        reporter.information(QStringLiteral("Can`t open ") + port + QStringLiteral(" port.") + line.failureHelp());
        return false;
    case SerialLine::OpenResult::CantReadStatus:
        reporter.information(QStringLiteral("Can`t read status of ") + port + QStringLiteral(" port.") + line.failureHelp());
        return false;
    case SerialLine::OpenResult::CantSetup:
        reporter.information(QStringLiteral("Can`t setup ") + port + QStringLiteral(" port.") + line.failureHelp());
        return false;
    }
    line.purge();

    const QString noAnswer = QStringLiteral("No answer from programmer on ") + port + QStringLiteral(" port.");
    bool ok = line.write(state.CmdBlock.data(), kBlockSize);
    if (ok) {
        switch (code) {
        case cmdWritePage:
            ok = line.waitForCharacter(kAckTimeoutMs);
            if (ok && sendsPage)
                ok = line.write(state.PageBuffer.data(), pageSize) && line.waitForCharacter(kAckTimeoutMs);
            break;
        case cmdReadBlock:
            ok = line.read(state.PageBuffer.data(), kReadBlockSize) == kReadBlockSize;
            break;
        case cmdReadWord:
            ok = line.read(state.PageBuffer.data(), kReadWordSize) == kReadWordSize;
            break;
        default:
            // Replies to the chip commands carry no status and may be missing altogether.
            line.read(state.CmdBlock.data(), kBlockSize);
            break;
        }
    }
    line.close();
    if (!ok)
        reporter.information(noAnswer);
    return ok;
}

}  // namespace avrlink
