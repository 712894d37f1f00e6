// SPDX-License-Identifier: GPL-3.0-or-later
/* Fixture firmware for the HEX converter tests: a LED chaser on PORTB reading its pattern
 * from program memory. With BOOT_STUB defined, a small routine goes into its own section,
 * which the build places far above the program to leave a gap in the image. */
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

static const uint8_t pattern[] PROGMEM = { 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF, 0x00 };

#ifdef BOOT_STUB
__attribute__((section(".boot"), used, noinline)) void boot_stub(void)
{
    PORTD = 0x55;
    for (;;) {
    }
}
#endif

int main(void)
{
    DDRB = 0xFF;
    for (uint8_t i = 0;; i = (uint8_t)((i + 1) % sizeof pattern)) {
        PORTB = pgm_read_byte(&pattern[i]);
        for (volatile uint16_t d = 0; d < 1000; ++d) {
        }
    }
}
