/* The device table, from the parallel programming chapters of the datasheets. */
#include "devices.h"

#include <avr/pgmspace.h>
#include <string.h>

/* Programming times: every family in the table gives tWLRH 4.5 ms and tWLRH_CE 9 ms worst case. */
#define T_WLRH 4500
#define T_WLRH_CE 9000

#define NEW (DEV_EXT_FUSE)                                      /* 20..60 us entry window */
#define OLD (DEV_ENTRY_XTAL)                                    /* ATmega8/16/32 style */
#define TINY (DEV_EXT_FUSE | DEV_BS2_ON_XA1 | DEV_PAGEL_ON_BS1) /* 20-pin tinies */
#define ROW(s1, s2, page, kb, fl) {s1, s2, page, kb, fl, T_WLRH, T_WLRH_CE}

static const struct device table[] PROGMEM = {
    ROW(0x92, 0x05, 6, 2, NEW),  /* ATmega48 */
    ROW(0x92, 0x0A, 6, 2, NEW),  /* ATmega48P/PA */
    ROW(0x93, 0x0A, 6, 3, NEW),  /* ATmega88 */
    ROW(0x93, 0x0F, 6, 3, NEW),  /* ATmega88P/PA */
    ROW(0x94, 0x06, 7, 4, NEW),  /* ATmega168 */
    ROW(0x94, 0x0B, 7, 4, NEW),  /* ATmega168P/PA */
    ROW(0x95, 0x14, 7, 5, NEW),  /* ATmega328 */
    ROW(0x95, 0x0F, 7, 5, NEW),  /* ATmega328P */
    ROW(0x93, 0x07, 6, 3, OLD),  /* ATmega8 */
    ROW(0x94, 0x03, 7, 4, OLD),  /* ATmega16 */
    ROW(0x95, 0x02, 7, 5, OLD),  /* ATmega32 */
    ROW(0x93, 0x06, 6, 3, OLD),  /* ATmega8515 */
    ROW(0x93, 0x08, 6, 3, OLD),  /* ATmega8535 */
    ROW(0x94, 0x04, 7, 4, OLD | DEV_EXT_FUSE), /* ATmega162 */
    ROW(0x96, 0x02, 8, 6, OLD | DEV_EXT_FUSE), /* ATmega64 */
    ROW(0x97, 0x02, 8, 7, OLD | DEV_EXT_FUSE), /* ATmega128 */
    ROW(0x91, 0x0A, 5, 1, TINY), /* ATtiny2313 */
    ROW(0x92, 0x0D, 6, 2, TINY), /* ATtiny4313 */
    ROW(0x91, 0x09, 5, 1, DEV_ENTRY_XTAL | DEV_BS2_ON_XA1 | DEV_PAGEL_ON_BS1), /* ATtiny26 */
    ROW(0x91, 0x0C, 5, 1, TINY), /* ATtiny261 */
    ROW(0x92, 0x08, 6, 2, TINY), /* ATtiny461 */
    ROW(0x93, 0x0D, 6, 3, TINY), /* ATtiny861 */
    ROW(0x94, 0x0A, 7, 4, NEW),  /* ATmega164P */
    ROW(0x94, 0x0F, 7, 4, NEW),  /* ATmega164A */
    ROW(0x95, 0x08, 7, 5, NEW),  /* ATmega324P */
    ROW(0x95, 0x15, 7, 5, NEW),  /* ATmega324A */
    ROW(0x95, 0x11, 7, 5, NEW),  /* ATmega324PA */
    ROW(0x96, 0x09, 8, 6, NEW),  /* ATmega644 */
    ROW(0x96, 0x0A, 8, 6, NEW),  /* ATmega644P */
    ROW(0x97, 0x06, 8, 7, NEW),  /* ATmega1284 */
    ROW(0x97, 0x05, 8, 7, NEW),  /* ATmega1284P */
    ROW(0x96, 0x08, 8, 6, NEW),  /* ATmega640 */
    ROW(0x97, 0x03, 8, 7, NEW),  /* ATmega1280 */
    ROW(0x97, 0x04, 8, 7, NEW),  /* ATmega1281 */
    ROW(0x98, 0x01, 8, 8, NEW | DEV_ADDR_EXT), /* ATmega2560 */
    ROW(0x98, 0x02, 8, 8, NEW | DEV_ADDR_EXT), /* ATmega2561 */
};

uint8_t device_find(uint8_t sig0, uint8_t sig1, uint8_t sig2, struct device *out)
{
    if (sig0 == 0x1E) {
        for (uint8_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
            if (pgm_read_byte(&table[i].sig1) == sig1 && pgm_read_byte(&table[i].sig2) == sig2) {
                memcpy_P(out, &table[i], sizeof *out);
                return 1;
            }
        }
    }
    const struct device fallback = {sig1, sig2, 7, 8, NEW, T_WLRH, T_WLRH_CE};
    *out = fallback;
    return 0;
}
