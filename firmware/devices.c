// SPDX-License-Identifier: GPL-3.0-or-later
/* The device table, from the parallel programming chapters of the datasheets. */
#include "devices.h"

#include <avr/pgmspace.h>
#include <string.h>

#define NEW 0                       /* the power-up entry: 12 V 20..60 us after VCC */
#define OLD (DEV_ENTRY_OLD)         /* ATmega8/16/32 style: VCC, 100 us, XTAL1 pulses, then 12 V */
#define EXT (DEV_EXT_FUSE)          /* an extended fuse byte */
#define NOT_SERVED (DEV_NOT_SERVED) /* never written by this board */
#define SLOW (DEV_SLOW_WRITES)      /* the ATmega163's write times */
/* EEPROM size and page in bytes (avr-libc's E2END + 1 and E2PAGESIZE; 0: no page buffer, as
 * the ATmega163's datasheet programs its EEPROM byte by byte), calibration bytes (the
 * datasheets' "Reading the Calibration Byte"; avrdude's part list and the ATDF agree). */
#define ROW(s1, s2, page, kb, fl, ee, ee_page, cal) {s1, s2, page, kb, fl, (ee) / 64, ee_page, cal}

/* One row per signature; parts that share a signature share a row. Which of the 20-pin
 * parts share BS2 with XA1 and PAGEL with BS1 is a matter of the socket's wiring: the
 * waveforms in hvpp.c serve both wirings, so the table does not say. */
static const struct device table[] PROGMEM = {
    /* ATmega48/88/168/328 and their P, A and PB variants */
    ROW(0x92, 0x05, 6, 4, NEW | EXT, 256, 4, 1), /* ATmega48/48A */
    ROW(0x92, 0x0A, 6, 4, NEW | EXT, 256, 4, 1), /* ATmega48P/PA */
    ROW(0x92, 0x10, 6, 4, NEW | EXT, 256, 4, 1), /* ATmega48PB */
    ROW(0x93, 0x0A, 6, 8, NEW | EXT, 512, 4, 1), /* ATmega88/88A */
    ROW(0x93, 0x0F, 6, 8, NEW | EXT, 512, 4, 1), /* ATmega88P/PA */
    ROW(0x93, 0x16, 6, 8, NEW | EXT, 512, 4, 1), /* ATmega88PB */
    ROW(0x94, 0x06, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega168/168A */
    ROW(0x94, 0x0B, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega168P/PA */
    ROW(0x94, 0x15, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega168PB */
    ROW(0x95, 0x14, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega328 */
    ROW(0x95, 0x0F, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega328P */
    /* ATmega8/16/32 and their era: the older entry */
    ROW(0x93, 0x07, 6, 8, OLD, 512, 4, 4), /* ATmega8/8A */
    ROW(0x94, 0x03, 7, 16, OLD, 512, 4, 4), /* ATmega16/16A */
    ROW(0x95, 0x02, 7, 32, OLD, 1024, 4, 4), /* ATmega32/32A */
    ROW(0x93, 0x06, 6, 8, OLD, 512, 4, 4), /* ATmega8515 */
    ROW(0x93, 0x08, 6, 8, OLD, 512, 4, 4), /* ATmega8535 */
    ROW(0x94, 0x04, 7, 16, OLD | EXT, 512, 4, 1), /* ATmega162 */
    ROW(0x94, 0x02, 7, 16, OLD | SLOW, 512, 0, 1), /* ATmega163 */
    ROW(0x96, 0x02, 8, 64, OLD | EXT, 2048, 8, 4), /* ATmega64/64A */
    ROW(0x97, 0x02, 8, 128, OLD | EXT, 4096, 8, 4), /* ATmega128/128A */
    /* AT90CAN: ATmega128 derivatives, the older entry */
    ROW(0x95, 0x81, 8, 32, OLD | EXT, 1024, 8, 1), /* AT90CAN32 */
    ROW(0x96, 0x81, 8, 64, OLD | EXT, 2048, 8, 1), /* AT90CAN64 */
    ROW(0x97, 0x81, 8, 128, OLD | EXT, 4096, 8, 1), /* AT90CAN128 */
    /* LCD parts ATmega165..6490: the older entry */
    ROW(0x94, 0x10, 7, 16, OLD | EXT, 512, 4, 1), /* ATmega165/165A: 1E 94 10 by avrdude and avr-libc's iom165a.h
                                        * (avr-libc's iom165.h gives 1E 94 05, the ATmega169's) */
    ROW(0x94, 0x07, 7, 16, OLD | EXT, 512, 4, 1), /* ATmega165P/PA */
    ROW(0x94, 0x05, 7, 16, OLD | EXT, 512, 4, 1), /* ATmega169/P/PA */
    ROW(0x94, 0x11, 7, 16, OLD | EXT, 512, 4, 1), /* ATmega169A */
    ROW(0x95, 0x05, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega325/325A */
    ROW(0x95, 0x0D, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega325P/PA */
    ROW(0x95, 0x06, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega3250/3250A */
    ROW(0x95, 0x0E, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega3250P/PA */
    ROW(0x95, 0x03, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega329/329A */
    ROW(0x95, 0x0B, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega329P/PA */
    ROW(0x95, 0x04, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega3290/3290A */
    ROW(0x95, 0x0C, 7, 32, OLD | EXT, 1024, 4, 1), /* ATmega3290P/PA */
    ROW(0x96, 0x05, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega645/645A */
    ROW(0x96, 0x0D, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega645P */
    ROW(0x96, 0x06, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega6450/6450A */
    ROW(0x96, 0x0E, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega6450P */
    ROW(0x96, 0x03, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega649/649A */
    ROW(0x96, 0x0B, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega649P */
    ROW(0x96, 0x04, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega6490/6490A */
    ROW(0x96, 0x0C, 8, 64, OLD | EXT, 2048, 8, 1), /* ATmega6490P */
    /* ATmega164..1284 */
    ROW(0x94, 0x0F, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega164A */
    ROW(0x94, 0x0A, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega164P/PA */
    ROW(0x95, 0x15, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega324A */
    ROW(0x95, 0x08, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega324P */
    ROW(0x95, 0x11, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega324PA */
    ROW(0x96, 0x09, 8, 64, NEW | EXT, 2048, 8, 1), /* ATmega644/644A */
    ROW(0x96, 0x0A, 8, 64, NEW | EXT, 2048, 8, 1), /* ATmega644P/PA */
    ROW(0x97, 0x06, 8, 128, NEW | EXT, 4096, 8, 1), /* ATmega1284 */
    ROW(0x97, 0x05, 8, 128, NEW | EXT, 4096, 8, 1), /* ATmega1284P */
    /* ATmega640..2561; above 64 K words the extended address byte */
    ROW(0x96, 0x08, 8, 64, NEW | EXT, 4096, 8, 1), /* ATmega640 */
    ROW(0x97, 0x03, 8, 128, NEW | EXT, 4096, 8, 1), /* ATmega1280 */
    ROW(0x97, 0x04, 8, 128, NEW | EXT, 4096, 8, 1), /* ATmega1281 */
    ROW(0x98, 0x01, 8, 256, NEW | EXT | DEV_ADDR_EXT, 4096, 8, 1), /* ATmega2560 */
    ROW(0x98, 0x02, 8, 256, NEW | EXT | DEV_ADDR_EXT, 4096, 8, 1), /* ATmega2561 */
    /* RFA1/RFR2: 1.8..3.6 V parts that enter programming mode without 12 V (ATmega128RFA1
     * 8266A 31.7.1). The board's 5 V and 12 V would damage them: not served. */
    ROW(0xA7, 0x01, 8, 128, NEW | EXT | NOT_SERVED, 4096, 8, 1), /* ATmega128RFA1 */
    ROW(0xA6, 0x02, 8, 64, NEW | EXT | NOT_SERVED, 2048, 8, 1), /* ATmega64RFR2 */
    ROW(0xA6, 0x03, 8, 64, NEW | EXT | NOT_SERVED, 2048, 8, 1), /* ATmega644RFR2 */
    ROW(0xA7, 0x02, 8, 128, NEW | EXT | NOT_SERVED, 4096, 8, 1), /* ATmega128RFR2 */
    ROW(0xA7, 0x03, 8, 128, NEW | EXT | NOT_SERVED, 4096, 8, 1), /* ATmega1284RFR2 */
    ROW(0xA8, 0x02, 8, 256, NEW | EXT | DEV_ADDR_EXT | NOT_SERVED, 8192, 8, 1), /* ATmega256RFR2 */
    ROW(0xA8, 0x03, 8, 256, NEW | EXT | DEV_ADDR_EXT | NOT_SERVED, 8192, 8, 1), /* ATmega2564RFR2 */
    /* USB: U2, U4, AT90USB */
    ROW(0x93, 0x89, 7, 8, NEW | EXT, 512, 4, 1), /* ATmega8U2 */
    ROW(0x94, 0x89, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega16U2 */
    ROW(0x95, 0x8A, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega32U2 */
    ROW(0x94, 0x88, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega16U4 */
    ROW(0x95, 0x87, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega32U4 */
    ROW(0x93, 0x82, 7, 8, NEW | EXT, 512, 4, 1), /* AT90USB82 */
    ROW(0x94, 0x82, 7, 16, NEW | EXT, 512, 4, 1), /* AT90USB162 */
    ROW(0x96, 0x82, 8, 64, NEW | EXT, 2048, 8, 1), /* AT90USB646/647 */
    ROW(0x97, 0x82, 8, 128, NEW | EXT, 4096, 8, 1), /* AT90USB1286/1287 */
    /* Automotive M1/C1 and lighting AT90PWM */
    ROW(0x94, 0x84, 7, 16, NEW | EXT, 512, 4, 1), /* ATmega16M1 */
    ROW(0x95, 0x84, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega32M1 */
    ROW(0x96, 0x84, 8, 64, NEW | EXT, 2048, 8, 1), /* ATmega64M1 */
    ROW(0x95, 0x86, 7, 32, NEW | EXT, 1024, 4, 1), /* ATmega32C1 */
    ROW(0x96, 0x86, 8, 64, NEW | EXT, 2048, 8, 1), /* ATmega64C1 */
    ROW(0x93, 0x83, 6, 8, NEW | EXT, 512, 4, 1), /* AT90PWM2B/3B */
    ROW(0x94, 0x83, 7, 16, NEW | EXT, 512, 4, 1), /* AT90PWM216/316 */
    ROW(0x93, 0x88, 6, 8, NEW | EXT, 512, 4, 1), /* AT90PWM81 */
    ROW(0x94, 0x8B, 7, 16, NEW | EXT, 512, 4, 1), /* AT90PWM161 */
    /* Battery management: ATmega406, HVB; no extended fuse. No datasheet at hand confirms
     * their entry or which pin takes the supply: not served. */
    ROW(0x95, 0x07, 7, 40, NEW | NOT_SERVED, 512, 4, 1), /* ATmega406 */
    ROW(0x94, 0x0D, 7, 16, NEW | NOT_SERVED, 512, 4, 1), /* ATmega16HVB */
    ROW(0x95, 0x10, 7, 32, NEW | NOT_SERVED, 1024, 4, 1), /* ATmega32HVB */
    /* ATtiny with a 28/32-pin parallel interface */
    ROW(0x92, 0x09, 6, 4, NEW | EXT, 64, 4, 1), /* ATtiny48 */
    ROW(0x93, 0x11, 6, 8, NEW | EXT, 64, 4, 1), /* ATtiny88 */
    ROW(0x93, 0x14, 6, 8, NEW | EXT, 256, 4, 1), /* ATtiny828/828R */
    /* 20-pin ATtiny */
    ROW(0x91, 0x0A, 5, 2, NEW | EXT, 128, 4, 2), /* ATtiny2313/2313A */
    ROW(0x92, 0x0D, 6, 4, NEW | EXT, 256, 4, 2), /* ATtiny4313 */
    ROW(0x91, 0x09, 5, 2, OLD, 128, 4, 4), /* ATtiny26 */
    ROW(0x91, 0x0C, 5, 2, NEW | EXT, 128, 4, 1), /* ATtiny261/261A */
    ROW(0x92, 0x08, 6, 4, NEW | EXT, 256, 4, 1), /* ATtiny461/461A */
    ROW(0x93, 0x0D, 6, 8, NEW | EXT, 512, 4, 1), /* ATtiny861/861A */
    ROW(0x92, 0x0C, 6, 4, NEW | EXT, 64, 4, 1), /* ATtiny43U */
    ROW(0x93, 0x87, 7, 8, NEW | EXT, 512, 4, 1), /* ATtiny87 */
    ROW(0x94, 0x87, 7, 16, NEW | EXT, 512, 4, 1), /* ATtiny167 */
    ROW(0x94, 0x12, 5, 16, NEW | EXT, 256, 4, 1), /* ATtiny1634/1634R */
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
    const struct device unknown = {sig1, sig2, 7, 256, EXT | NOT_SERVED, 0, 0, 0};
    *out = unknown;
    return DEVICE_NONE;
}
