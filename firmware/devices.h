// SPDX-License-Identifier: GPL-3.0-or-later
/* What the adapter knows of each target, found by signature after entry. Families differ
 * only in data here, so that more of them are table rows, not code. */
#ifndef DEVICES_H
#define DEVICES_H

#include <stdint.h>

/* Family waveform quirks and facts. */
#define DEV_EXT_FUSE 0x01   /* has an extended fuse byte (written with BS2 high) */
#define DEV_ENTRY_XTAL 0x02 /* own entry: VCC, 100 us, six XTAL1 pulses, then 12 V */
#define DEV_BS2_ON_XA1 0x04 /* BS2 shares the target pin with XA1 (socket wires it to XA1) */
#define DEV_PAGEL_ON_BS1 0x08 /* PAGEL shares the target pin with BS1 (socket wires it to BS1) */
#define DEV_ADDR_EXT 0x10   /* more than 64 K words: the load-address step takes an extended byte */

struct device {
    uint8_t sig1, sig2;      /* the first signature byte is always 1E */
    uint8_t page_log2;       /* physical Flash page, bytes, as a power of two (5..8) */
    uint16_t flash_kb;       /* Flash size in KB (2..256; the ATmega406 has 40) */
    uint8_t flags;
    uint16_t t_wlrh_us;      /* tWLRH: worst case of a Flash page, fuse or lock write */
    uint16_t t_wlrh_ce_us;   /* tWLRH_CE: worst case of a chip erase */
};

/* Looks the signature up; returns 0 and fills *out with a cautious default (128-byte
 * pages, extended fuse, newer entry) when the chip is not in the table. */
uint8_t device_find(uint8_t sig0, uint8_t sig1, uint8_t sig2, struct device *out);

#endif
