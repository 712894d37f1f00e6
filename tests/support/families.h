// SPDX-License-Identifier: GPL-3.0-or-later
// One shipped device file per family of the catalogue, for the tests that go through them all.
#pragma once

#include "adaptersim.h"
#include "device.h"

#include <QStringList>

namespace rig {

inline QStringList familyFiles()
{
    return {"ATmega48PB.ini",      "ATmega163.ini",         "AT90CAN128.ini",        "ATmega169_P_PA.ini",
            "ATmega6490P.ini",     "ATmega32M1.ini",        "ATmega64C1.ini",        "ATmega406.ini",
            "ATmega16HVB.ini",     "ATmega32U2.ini",        "ATmega32U4.ini",        "AT90USB1286_1287.ini",
            "AT90PWM2B_3B.ini",    "AT90PWM81.ini",         "ATmega128RFA1.ini",     "ATmega256RFR2.ini",
            "ATtiny88.ini",        "ATtiny167.ini",         "ATtiny828_828R.ini",    "ATtiny1634_1634R.ini",
            "ATtiny43U.ini"};
}

// A factory-fresh chip as the device file describes it: its reference bits where it names
// a bit, 1 (unprogrammed) where it names none.
inline adaptersim::Chip factoryChip(const TDevice &d)
{
    std::uint8_t bytes[4];
    for (std::size_t g = 0; g < 4; ++g) {
        bytes[g] = d.Groups[g].Reference;
        for (std::size_t bit = 0; bit < 8; ++bit)
            if (d.Groups[g].Names[bit].isEmpty())
                bytes[g] |= std::uint8_t(1 << bit);
    }
    adaptersim::Chip c;
    c.signature = d.Signature;
    c.lowFuse = bytes[0];
    c.highFuse = bytes[1];
    c.extFuse = bytes[2];
    c.lock = bytes[3];
    c.flash.assign(std::size_t(d.FlashSize), 0xFF);
    c.pageSize = std::size_t(d.PageSize);
    return c;
}

}  // namespace rig
