// SPDX-License-Identifier: GPL-3.0-or-later
#include "lane.h"

#include "board.h"
#include "porthold.h"

namespace core {

namespace {

constexpr int kAttempts = 3;

QString refusedText(std::uint8_t memory, std::uint32_t address)
{
    return QStringLiteral("The adapter refused to %1 at address 0x%2.")
        .arg(memory == avrlink::memEeprom ? QStringLiteral("write EEPROM") : QStringLiteral("write Flash"))
        .arg(address, 0, 16);
}

}  // namespace

bool openLane(Session &session, const Faces &faces, Lane &lane)
{
    lane = Lane{};
    if (!session.fast)
        return true;
    avrlink::LinkState state{session.CmdBlock, session.PageBuffer, session.PortName};
    avrlink::ExchangeResult result;
    const avrlink::BoardInfo board = avrlink::identifyBoard(state, faces.messages, &result);
    session.CmdBlock = state.CmdBlock;
    if (result.outcome == avrlink::Outcome::PortFailure)
        return false;
    if (!board.ours || !(board.capabilities & avrlink::capAddressed))
        return true;
    lane.addressed = true;
    lane.capabilities = board.capabilities;
    if (board.capabilities & avrlink::capFastLine) {
        lane.rate = avrlink::switchLine(state, avrlink::kFastBaud, faces.messages);
        if (lane.rate == 0) {
            faces.information(avrlink::noAnswerText(session.PortName));
            return false;
        }
    }
    return true;
}

void closeLane(Session &session, const Faces &faces, Lane &lane)
{
    if (lane.rate == avrlink::kPlainBaud || lane.rate == 0)
        return;
    avrlink::LinkState state{session.CmdBlock, session.PageBuffer, session.PortName};
    lane.rate = avrlink::switchLine(state, avrlink::kPlainBaud, faces.messages);
}

bool readAddressed(Session &session, const Faces &faces, Lane &lane, std::uint8_t memory, std::uint32_t address,
                   int count, std::uint8_t *out)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        switch (avrlink::extRead(session.PortName, memory, address, count, out, faces.messages)) {
        case avrlink::ExtStatus::Ok:
            return true;
        case avrlink::ExtStatus::PortFailure:
            return false;
        case avrlink::ExtStatus::Refused:
        case avrlink::ExtStatus::BadCrc:
        case avrlink::ExtStatus::NoAnswer:
            if (attempt + 1 < kAttempts)
                ++lane.retries;
            break;
        }
    }
    faces.information(avrlink::noAnswerText(session.PortName));
    return false;
}

bool writeAddressed(Session &session, const Faces &faces, Lane &lane, std::uint8_t memory, std::uint32_t address,
                    int count, const std::uint8_t *data)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        switch (avrlink::extWrite(session.PortName, memory, address, count, data, faces.messages)) {
        case avrlink::ExtStatus::Ok:
            return true;
        case avrlink::ExtStatus::PortFailure:
            return false;
        case avrlink::ExtStatus::Refused:
            faces.information(refusedText(memory, address));
            return false;
        case avrlink::ExtStatus::BadCrc:
        case avrlink::ExtStatus::NoAnswer:
            // Writing the same page or bytes again is harmless: the address travels with them.
            if (attempt + 1 < kAttempts)
                ++lane.retries;
            break;
        }
    }
    faces.information(avrlink::noAnswerText(session.PortName));
    return false;
}

}  // namespace core
