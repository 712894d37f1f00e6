// SPDX-License-Identifier: GPL-3.0-or-later
/* High-voltage parallel programming of the target in the socket. */
#ifndef HVPP_H
#define HVPP_H

#include "devices.h"
#include <stdint.h>

/* The family of the chip in the socket, valid while hvpp_active(). */
extern struct device hvpp_dev;

/* Powers the target up, enters programming mode, reads the signature into sig[3] and
 * looks it up; re-enters with the family's own entry where another way got in first.
 * Returns hvpp_served(). */
uint8_t hvpp_begin(uint8_t sig[3]);
/* The chip in the socket may be written: it is in the table, this board serves it, and it
 * was entered its own way. The write functions below do nothing otherwise. */
uint8_t hvpp_served(void);
/* Takes 12 V off, then VCC, and leaves every line low so that the chip can be swapped. */
void hvpp_end(void);
uint8_t hvpp_active(void);

/* Fuse and lock bytes in the order Low, High, Extended, Lock; FF for a missing extended fuse. */
void hvpp_read_fuses(uint8_t out[4]);
void hvpp_write_fuses(uint8_t low, uint8_t high, uint8_t ext);
void hvpp_write_lock(uint8_t lock);
void hvpp_chip_erase(void);

/* One Flash word at a word address (up to 128 K words). */
uint16_t hvpp_read_word(uint32_t word_address);
/* Loads a whole physical page from data[] and programs it at the page holding word_address. */
void hvpp_program_page(uint32_t word_address, const uint8_t *data);

#endif
