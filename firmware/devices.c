// SPDX-License-Identifier: GPL-3.0-or-later
/* The device table, from the parallel programming chapters of the datasheets. */
#include "devices.h"

#include <avr/pgmspace.h>
#include <string.h>

#define NEW 0                       /* the power-up entry: 12 V 20..60 us after VCC */
#define OLD (DEV_ENTRY_OLD)         /* ATmega8/16/32 style: VCC, 100 us, XTAL1 pulses, then 12 V */
#define EXT (DEV_EXT_FUSE)          /* an extended fuse byte */
#define NOT_SERVED (DEV_NOT_SERVED) /* never written by this board */
#define ROW(s1, s2, page, kb, fl) {s1, s2, page, kb, fl}

/* One row per signature; parts that share a signature share a row. Which of the 20-pin
 * parts share BS2 with XA1 and PAGEL with BS1 is a matter of the socket's wiring: the
 * waveforms in hvpp.c serve both wirings, so the table does not say. */
static const struct device table[] PROGMEM = {
    /* ATmega48/88/168/328 and their P, A and PB variants */
    ROW(0x92, 0x05, 6, 4, NEW | EXT), /* ATmega48/48A */
    ROW(0x92, 0x0A, 6, 4, NEW | EXT), /* ATmega48P/PA */
    ROW(0x92, 0x10, 6, 4, NEW | EXT), /* ATmega48PB */
    ROW(0x93, 0x0A, 6, 8, NEW | EXT), /* ATmega88/88A */
    ROW(0x93, 0x0F, 6, 8, NEW | EXT), /* ATmega88P/PA */
    ROW(0x93, 0x16, 6, 8, NEW | EXT), /* ATmega88PB */
    ROW(0x94, 0x06, 7, 16, NEW | EXT), /* ATmega168/168A */
    ROW(0x94, 0x0B, 7, 16, NEW | EXT), /* ATmega168P/PA */
    ROW(0x94, 0x15, 7, 16, NEW | EXT), /* ATmega168PB */
    ROW(0x95, 0x14, 7, 32, NEW | EXT), /* ATmega328 */
    ROW(0x95, 0x0F, 7, 32, NEW | EXT), /* ATmega328P */
    /* ATmega8/16/32 and their era: the older entry */
    ROW(0x93, 0x07, 6, 8, OLD), /* ATmega8/8A */
    ROW(0x94, 0x03, 7, 16, OLD), /* ATmega16/16A */
    ROW(0x95, 0x02, 7, 32, OLD), /* ATmega32/32A */
    ROW(0x93, 0x06, 6, 8, OLD), /* ATmega8515 */
    ROW(0x93, 0x08, 6, 8, OLD), /* ATmega8535 */
    ROW(0x94, 0x04, 7, 16, OLD | EXT), /* ATmega162 */
    ROW(0x94, 0x02, 7, 16, OLD), /* ATmega163 */
    ROW(0x96, 0x02, 8, 64, OLD | EXT), /* ATmega64/64A */
    ROW(0x97, 0x02, 8, 128, OLD | EXT), /* ATmega128/128A */
    /* AT90CAN: ATmega128 derivatives, the older entry */
    ROW(0x95, 0x81, 8, 32, OLD | EXT), /* AT90CAN32 */
    ROW(0x96, 0x81, 8, 64, OLD | EXT), /* AT90CAN64 */
    ROW(0x97, 0x81, 8, 128, OLD | EXT), /* AT90CAN128 */
    /* LCD parts ATmega165..6490: the older entry */
    ROW(0x94, 0x10, 7, 16, OLD | EXT), /* ATmega165/165A: 1E 94 10 by avrdude and avr-libc's iom165a.h
                                        * (avr-libc's iom165.h gives 1E 94 05, the ATmega169's) */
    ROW(0x94, 0x07, 7, 16, OLD | EXT), /* ATmega165P/PA */
    ROW(0x94, 0x05, 7, 16, OLD | EXT), /* ATmega169/P/PA */
    ROW(0x94, 0x11, 7, 16, OLD | EXT), /* ATmega169A */
    ROW(0x95, 0x05, 7, 32, OLD | EXT), /* ATmega325/325A */
    ROW(0x95, 0x0D, 7, 32, OLD | EXT), /* ATmega325P/PA */
    ROW(0x95, 0x06, 7, 32, OLD | EXT), /* ATmega3250/3250A */
    ROW(0x95, 0x0E, 7, 32, OLD | EXT), /* ATmega3250P/PA */
    ROW(0x95, 0x03, 7, 32, OLD | EXT), /* ATmega329/329A */
    ROW(0x95, 0x0B, 7, 32, OLD | EXT), /* ATmega329P/PA */
    ROW(0x95, 0x04, 7, 32, OLD | EXT), /* ATmega3290/3290A */
    ROW(0x95, 0x0C, 7, 32, OLD | EXT), /* ATmega3290P/PA */
    ROW(0x96, 0x05, 8, 64, OLD | EXT), /* ATmega645/645A */
    ROW(0x96, 0x0D, 8, 64, OLD | EXT), /* ATmega645P */
    ROW(0x96, 0x06, 8, 64, OLD | EXT), /* ATmega6450/6450A */
    ROW(0x96, 0x0E, 8, 64, OLD | EXT), /* ATmega6450P */
    ROW(0x96, 0x03, 8, 64, OLD | EXT), /* ATmega649/649A */
    ROW(0x96, 0x0B, 8, 64, OLD | EXT), /* ATmega649P */
    ROW(0x96, 0x04, 8, 64, OLD | EXT), /* ATmega6490/6490A */
    ROW(0x96, 0x0C, 8, 64, OLD | EXT), /* ATmega6490P */
    /* ATmega164..1284 */
    ROW(0x94, 0x0F, 7, 16, NEW | EXT), /* ATmega164A */
    ROW(0x94, 0x0A, 7, 16, NEW | EXT), /* ATmega164P/PA */
    ROW(0x95, 0x15, 7, 32, NEW | EXT), /* ATmega324A */
    ROW(0x95, 0x08, 7, 32, NEW | EXT), /* ATmega324P */
    ROW(0x95, 0x11, 7, 32, NEW | EXT), /* ATmega324PA */
    ROW(0x96, 0x09, 8, 64, NEW | EXT), /* ATmega644/644A */
    ROW(0x96, 0x0A, 8, 64, NEW | EXT), /* ATmega644P/PA */
    ROW(0x97, 0x06, 8, 128, NEW | EXT), /* ATmega1284 */
    ROW(0x97, 0x05, 8, 128, NEW | EXT), /* ATmega1284P */
    /* ATmega640..2561; above 64 K words the extended address byte */
    ROW(0x96, 0x08, 8, 64, NEW | EXT), /* ATmega640 */
    ROW(0x97, 0x03, 8, 128, NEW | EXT), /* ATmega1280 */
    ROW(0x97, 0x04, 8, 128, NEW | EXT), /* ATmega1281 */
    ROW(0x98, 0x01, 8, 256, NEW | EXT | DEV_ADDR_EXT), /* ATmega2560 */
    ROW(0x98, 0x02, 8, 256, NEW | EXT | DEV_ADDR_EXT), /* ATmega2561 */
    /* RFA1/RFR2: 1.8..3.6 V parts that enter programming mode without 12 V (ATmega128RFA1
     * 8266A 31.7.1). The board's 5 V and 12 V would damage them: not served. */
    ROW(0xA7, 0x01, 8, 128, NEW | EXT | NOT_SERVED), /* ATmega128RFA1 */
    ROW(0xA6, 0x02, 8, 64, NEW | EXT | NOT_SERVED), /* ATmega64RFR2 */
    ROW(0xA6, 0x03, 8, 64, NEW | EXT | NOT_SERVED), /* ATmega644RFR2 */
    ROW(0xA7, 0x02, 8, 128, NEW | EXT | NOT_SERVED), /* ATmega128RFR2 */
    ROW(0xA7, 0x03, 8, 128, NEW | EXT | NOT_SERVED), /* ATmega1284RFR2 */
    ROW(0xA8, 0x02, 8, 256, NEW | EXT | DEV_ADDR_EXT | NOT_SERVED), /* ATmega256RFR2 */
    ROW(0xA8, 0x03, 8, 256, NEW | EXT | DEV_ADDR_EXT | NOT_SERVED), /* ATmega2564RFR2 */
    /* USB: U2, U4, AT90USB */
    ROW(0x93, 0x89, 7, 8, NEW | EXT), /* ATmega8U2 */
    ROW(0x94, 0x89, 7, 16, NEW | EXT), /* ATmega16U2 */
    ROW(0x95, 0x8A, 7, 32, NEW | EXT), /* ATmega32U2 */
    ROW(0x94, 0x88, 7, 16, NEW | EXT), /* ATmega16U4 */
    ROW(0x95, 0x87, 7, 32, NEW | EXT), /* ATmega32U4 */
    ROW(0x93, 0x82, 7, 8, NEW | EXT), /* AT90USB82 */
    ROW(0x94, 0x82, 7, 16, NEW | EXT), /* AT90USB162 */
    ROW(0x96, 0x82, 8, 64, NEW | EXT), /* AT90USB646/647 */
    ROW(0x97, 0x82, 8, 128, NEW | EXT), /* AT90USB1286/1287 */
    /* Automotive M1/C1 and lighting AT90PWM */
    ROW(0x94, 0x84, 7, 16, NEW | EXT), /* ATmega16M1 */
    ROW(0x95, 0x84, 7, 32, NEW | EXT), /* ATmega32M1 */
    ROW(0x96, 0x84, 8, 64, NEW | EXT), /* ATmega64M1 */
    ROW(0x95, 0x86, 7, 32, NEW | EXT), /* ATmega32C1 */
    ROW(0x96, 0x86, 8, 64, NEW | EXT), /* ATmega64C1 */
    ROW(0x93, 0x83, 6, 8, NEW | EXT), /* AT90PWM2B/3B */
    ROW(0x94, 0x83, 7, 16, NEW | EXT), /* AT90PWM216/316 */
    ROW(0x93, 0x88, 6, 8, NEW | EXT), /* AT90PWM81 */
    ROW(0x94, 0x8B, 7, 16, NEW | EXT), /* AT90PWM161 */
    /* Battery management: ATmega406, HVB; no extended fuse. No datasheet at hand confirms
     * their entry or which pin takes the supply: not served. */
    ROW(0x95, 0x07, 7, 40, NEW | NOT_SERVED), /* ATmega406 */
    ROW(0x94, 0x0D, 7, 16, NEW | NOT_SERVED), /* ATmega16HVB */
    ROW(0x95, 0x10, 7, 32, NEW | NOT_SERVED), /* ATmega32HVB */
    /* ATtiny with a 28/32-pin parallel interface */
    ROW(0x92, 0x09, 6, 4, NEW | EXT), /* ATtiny48 */
    ROW(0x93, 0x11, 6, 8, NEW | EXT), /* ATtiny88 */
    ROW(0x93, 0x14, 6, 8, NEW | EXT), /* ATtiny828/828R */
    /* 20-pin ATtiny */
    ROW(0x91, 0x0A, 5, 2, NEW | EXT), /* ATtiny2313/2313A */
    ROW(0x92, 0x0D, 6, 4, NEW | EXT), /* ATtiny4313 */
    ROW(0x91, 0x09, 5, 2, OLD), /* ATtiny26 */
    ROW(0x91, 0x0C, 5, 2, NEW | EXT), /* ATtiny261/261A */
    ROW(0x92, 0x08, 6, 4, NEW | EXT), /* ATtiny461/461A */
    ROW(0x93, 0x0D, 6, 8, NEW | EXT), /* ATtiny861/861A */
    ROW(0x92, 0x0C, 6, 4, NEW | EXT), /* ATtiny43U */
    ROW(0x93, 0x87, 7, 8, NEW | EXT), /* ATtiny87 */
    ROW(0x94, 0x87, 7, 16, NEW | EXT), /* ATtiny167 */
    ROW(0x94, 0x12, 5, 16, NEW | EXT), /* ATtiny1634/1634R */
};

#define ROWS (sizeof table / sizeof table[0])
_Static_assert(ROWS <= DEVICE_ROWS_MAX, "a bit per row in main.c's noise guard");

uint8_t device_find(uint8_t sig0, uint8_t sig1, uint8_t sig2, struct device *out)
{
    if (sig0 == 0x1E) {
        for (uint8_t i = 0; i < ROWS; ++i) {
            if (pgm_read_byte(&table[i].sig1) == sig1 && pgm_read_byte(&table[i].sig2) == sig2) {
                memcpy_P(out, &table[i], sizeof *out);
                return i;
            }
        }
    }
    const struct device unknown = {sig1, sig2, 7, 256, EXT | NOT_SERVED};
    *out = unknown;
    return DEVICE_NONE;
}
