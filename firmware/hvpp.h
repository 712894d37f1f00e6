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
/* The chip in the socket is in the table and was entered its own way: its memories may be read. */
uint8_t hvpp_known(void);
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

/* Signature byte 0..2, calibration byte 0..3 of the signature row. */
uint8_t hvpp_read_signature(uint8_t index);
uint8_t hvpp_read_calibration(uint8_t index);
/* One EEPROM byte. */
uint8_t hvpp_read_eeprom(uint16_t address);
/* count bytes from data[] into the EEPROM from address on: page by page where the chip has
 * an EEPROM page buffer, byte by byte elsewhere, each write waiting tWLRH_EE. */
void hvpp_write_eeprom(uint16_t address, const uint8_t *data, uint16_t count);

#endif
