// SPDX-License-Identifier: GPL-3.0-or-later
/* Fixture firmware for the image file tests. Code goes to .text; initialised variables to
 * .data, which avr-gcc loads from Flash right after the code; EEPROM contents to .eeprom;
 * fuse and lock bytes to .fuse and .lock, which neither Flash nor EEPROM may take. A table of
 * its own, .far, is placed by the build well above the code; it ends in FFh bytes that are
 * data, not holes. */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <stdint.h>

FUSES = {0xE2, 0xD9, 0xFD};
LOCKBITS = 0xFC;

static uint8_t EEMEM calibration[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
static uint16_t EEMEM serial = 0x1234;
static volatile uint8_t counters[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
static volatile uint8_t scratch[16];  // .bss: room, no bytes
__attribute__((section(".far"), used)) const uint8_t farTable[40] = {0xA5, 0x5A, 0x00, 0x01, [38] = 0xFF, 0xFF};

int main(void)
{
    DDRB = 0xFF;
    for (;;) {
        scratch[PINB & 15] = counters[PIND & 7];
        PORTB = eeprom_read_byte(&calibration[PINC & 3]) + (uint8_t)eeprom_read_word(&serial) + scratch[PIND & 15];
    }
}
