// SPDX-License-Identifier: GPL-3.0-or-later
/* What the adapter knows of each target, found by signature after entry. Families differ
 * only in data here, so that more of them are table rows, not code. */
#ifndef DEVICES_H
#define DEVICES_H

#include <stdint.h>

/* Family facts. */
#define DEV_EXT_FUSE 0x01   /* has an extended fuse byte (written with BS2 high) */
#define DEV_ENTRY_OLD 0x02  /* own entry: VCC, 100 us, six XTAL1 pulses, then 12 V */
#define DEV_ADDR_EXT 0x04   /* more than 64 K words: the load-address step takes an extended byte */
#define DEV_NOT_SERVED 0x08 /* this board must not program it (see the README): read, never written */
#define DEV_SLOW_WRITES 0x10 /* the ATmega163's longer write times (tWLRH_FLASH, tWLRH_CE) */

struct device {
    uint8_t sig1, sig2;      /* the first signature byte is always 1E */
    uint8_t page_log2;       /* physical Flash page, bytes, as a power of two (5..8) */
    uint16_t flash_kb;       /* Flash size in KB (2..256; the ATmega406 has 40) */
    uint8_t flags;
    uint8_t ee_64;           /* EEPROM size in units of 64 bytes (1..128) */
    uint8_t ee_page;         /* EEPROM page buffer in bytes (4, 8); 0: none, written byte by byte */
    uint8_t cal;             /* calibration bytes in the signature row (1, 2, 4) */
};

#define DEVICE_NONE 0xFF
#define DEVICE_ROWS_MAX 128

/* Looks the signature up; returns the row's index and fills *out, or returns DEVICE_NONE
 * and fills *out with a default that only reads (128-byte pages, an extended fuse byte,
 * not served, no EEPROM). */
uint8_t device_find(uint8_t sig0, uint8_t sig1, uint8_t sig2, struct device *out);

#endif
