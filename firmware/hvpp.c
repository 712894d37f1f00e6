// SPDX-License-Identifier: GPL-3.0-or-later
/* High-voltage parallel programming, as the parallel programming chapters of the
 * datasheets give it. No pin is left for RDY/BSY, so every write waits its worst case. */
#include "hvpp.h"

#include "board.h"
#include "clock.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/delay.h>

/* The line helpers below are inlined: at 1,000,000 baud a Flash word read has 320 cycles
 * for its two bytes, and calls would take a third of them. */

/* Busy-waits at least ns nanoseconds, rounded up to whole CPU cycles. */
#define WAIT_NS(ns) __builtin_avr_delay_cycles((((ns) * (F_CPU / 1000000UL)) + 999) / 1000)

/* Parallel programming characteristics (minimums unless marked max). */
#define T_DVXH_NS 67  /* data and control valid before XTAL1 high */
#define T_XHXL_NS 150 /* XTAL1 pulse width high */
#define T_XLXH_NS 300 /* XTAL1 low to XTAL1 high (200 ns in most tables, 300 ns in DS40002070A);
                       * covers tXLDX (67 ns hold after XTAL1 low) */
#define T_BVPH_NS 67  /* BS1 valid before PAGEL high */
#define T_PHPL_NS 200 /* PAGEL pulse width high (150 ns in most tables, 200 ns in DS40002070A) */
#define T_PLBX_NS 67  /* BS1 hold after PAGEL low */
#define T_PLXH_NS 150 /* PAGEL low to XTAL1 high */
#define T_BVWL_NS 67  /* BS1 and BS2 valid to WR low; also tPLWL, PAGEL low to WR low */
#define T_WLWH_NS 150 /* WR pulse width low; covers tWLBX (67 ns BS hold after WR low) */
/* The read times grew from 250 ns in the older tables to 350 ns (48PB/88PB/168PB) and
 * 500 ns (DS40002070A): the longest serves all. */
#define T_OLDV_NS 500 /* OE low to DATA valid, max */
#define T_BVDV_NS 500 /* BS1 valid to DATA valid, max */
#define T_OHDZ_NS 500 /* OE high to DATA tri-stated, max: only then may the adapter drive */

/* Worst-case programming times (no RDY/BSY pin): tWLRH 4.5 ms for a page, fuse or lock
 * byte; tWLRH_CE 12 ms for a chip erase (9 ms in the older tables, 10.5 ms for the PB
 * parts, 12 ms in DS40002070A). */
#define T_WLRH_US 4500
#define T_WLRH_CE_US 12000
/* tWLRH_EE, an EEPROM page (or byte): the tables' notes make tWLRH valid for Write EEPROM
 * too (e.g. ATmega48A/PA/88A/PA/168A/PA/328/P, ATmega64A 8160E, ATmega644A 42716C: 4.5 ms max;
 * the PB parts 3.4 ms). */
#define T_WLRH_EE_US 4500
/* The ATmega163's own table (its datasheet, "Parallel Programming Characteristics"):
 * tWLRH_FLASH 15 ms for a Flash page, tWLRH_CE 30 ms, and tWLRH 1.9 ms for EEPROM, fuse and
 * lock bytes (its fuse and lock writes wait the 4.5 ms of the others all the same). */
#define T_WLRH_FLASH_SLOW_US 15000
#define T_WLRH_CE_SLOW_US 30000
#define T_WLRH_EE_SLOW_US 1900

/* Entry into programming mode. Every control line stays low from before VCC until
 * T_HV_PE_US after 12 V (on some parts WR is a Prog_enable pin too), the XTAL1 pulses of
 * the entry aside. */
#define T_VCC_HV_US 40  /* power-up entry: 12 V within 20..60 us after VCC, the middle */
#define T_VCC_XTAL_US 20 /* ... the XTAL1 pulses once VCC is up (1.8 V within 20 us) */
#define T_HV_PE_US 10   /* Prog_enable pins unchanged 10 us after 12 V, so it is latched */
#define T_HV_CMD_US 300 /* wait before the first parallel programming command (older: 50, alternative: 100) */
#define T_VCC_XTAL_OLD_US 100 /* own entry of the older parts: VCC settles first */
#define ENTRY_XTAL_PULSES 6 /* RESET low and XTAL1 toggled at least six times before 12 V */
#define T_PE_HV_NS 100  /* Prog_enable pins set 100 ns before 12 V (and held 100 ns after) */
#define T_XTAL_TOGGLE_US 1 /* half period of those pulses: the clock is slow before entry */

/* The ways into programming mode, tried in this order of need. */
#define ENTRY_POWERUP 0  /* 12 V 20..60 us after VCC, six XTAL1 pulses before it */
#define ENTRY_OLD 1      /* VCC, 100 us, six XTAL1 pulses, 12 V: ATmega8/16/32 and their era */
#define ENTRY_TOGETHER 2 /* the older parts' alternative for a clock that stops XTAL1: VCC and 12 V at once */

/* XA1:XA0 actions of an XTAL1 pulse. */
#define XA_ADDRESS 0
#define XA_DATA 1
#define XA_COMMAND 2

#define CMD_NOP 0x00
#define CMD_CHIP_ERASE 0x80
#define CMD_WRITE_FUSE 0x40
#define CMD_WRITE_LOCK 0x20
#define CMD_WRITE_FLASH 0x10
#define CMD_READ_SIGNATURE 0x08
#define CMD_READ_FUSE_LOCK 0x04
#define CMD_READ_FLASH 0x02
#define CMD_WRITE_EEPROM 0x11
#define CMD_READ_EEPROM 0x03

struct device hvpp_dev;
static uint8_t active;
static uint8_t known;      /* the chip is in the table and was entered its own way */
static uint8_t served;     /* ... and this board serves it */
static uint8_t entry_first = ENTRY_POWERUP; /* the entry of the chip last identified */
static uint8_t cur_cmd;    /* last command loaded, 0xFF when none */
static int16_t cur_high;   /* address high byte loaded since the command, -1 when none */
static int16_t cur_ext;    /* extended address byte loaded, -1 when none */

static inline __attribute__((always_inline)) void set_d(uint8_t bit, uint8_t on)
{
    if (on)
        PORTD |= _BV(bit);
    else
        PORTD &= (uint8_t)~_BV(bit);
}

static inline __attribute__((always_inline)) void set_c(uint8_t bit, uint8_t on)
{
    if (on)
        PORTC |= _BV(bit);
    else
        PORTC &= (uint8_t)~_BV(bit);
}

static inline __attribute__((always_inline)) void set_xa(uint8_t xa)
{
    set_d(XA1_BIT, xa & 2);
    set_d(XA0_BIT, xa & 1);
}

static inline __attribute__((always_inline)) void set_bs1(uint8_t on)
{
    set_d(BS1_BIT, on);
}

/* BS2 on its own line and on XA1 alike: on the parts where BS2 shares its pin with XA1
 * the socket wires that pin to XA1, and elsewhere XA1 counts only at an XTAL1 pulse, which
 * never comes while BS2 is high here. So one waveform serves both wirings. */
static void set_bs2(uint8_t on)
{
    set_c(BS2_BIT, on);
    set_d(XA1_BIT, on);
}

static inline __attribute__((always_inline)) void bus_drive(uint8_t value)
{
    PORTB = (PORTB & (uint8_t)~DATA_B_MASK) | (value & DATA_B_MASK);
    PORTD = (PORTD & (uint8_t)~DATA_D_MASK) | (value & DATA_D_MASK);
    DDRB |= DATA_B_MASK;
    DDRD |= DATA_D_MASK;
}

/* The target drives DATA while OE is low: inputs, and no pull-ups fighting it. */
static inline __attribute__((always_inline)) void bus_release(void)
{
    DDRB &= (uint8_t)~DATA_B_MASK;
    DDRD &= (uint8_t)~DATA_D_MASK;
    PORTB &= (uint8_t)~DATA_B_MASK;
    PORTD &= (uint8_t)~DATA_D_MASK;
}

static inline __attribute__((always_inline)) uint8_t bus_sample(void)
{
    return (uint8_t)((PINB & DATA_B_MASK) | (PIND & DATA_D_MASK));
}

static inline __attribute__((always_inline)) void oe_low(void)
{
    bus_release();
    PORTC &= (uint8_t)~_BV(OE_BIT);
    WAIT_NS(T_OLDV_NS);
}

static inline __attribute__((always_inline)) void oe_high(void)
{
    PORTC |= _BV(OE_BIT);
    WAIT_NS(T_OHDZ_NS);
}

/* One XTAL1 pulse that loads value as a command, an address or a data byte. */
static inline __attribute__((always_inline)) void xtal_load(uint8_t xa, uint8_t bs1, uint8_t value)
{
    set_xa(xa);
    set_bs1(bs1);
    bus_drive(value);
    WAIT_NS(T_DVXH_NS);
    PORTD |= _BV(XTAL1_BIT);
    WAIT_NS(T_XHXL_NS);
    PORTD &= (uint8_t)~_BV(XTAL1_BIT);
    WAIT_NS(T_XLXH_NS);
}

static void load_command(uint8_t cmd)
{
    xtal_load(XA_COMMAND, 0, cmd);
    cur_cmd = cmd;
    cur_high = -1;
    cur_ext = -1;
}

/* Extended and high address bytes only when they change since the command was loaded.
 * The extended byte is Flash's only (above 64 K words). */
static void load_address(uint32_t word, uint8_t flash)
{
    if (flash && (hvpp_dev.flags & DEV_ADDR_EXT)) {
        const uint8_t ext = (uint8_t)(word >> 16);
        if (cur_ext != ext) {
            set_c(BS2_BIT, 1); /* on the BS2 line only: XA1:XA0 must be 00 here */
            xtal_load(XA_ADDRESS, 0, ext);
            set_c(BS2_BIT, 0);
            cur_ext = ext;
        }
    }
    const uint8_t high = (uint8_t)(word >> 8);
    if (cur_high != high) {
        xtal_load(XA_ADDRESS, 1, high);
        cur_high = high;
    }
    xtal_load(XA_ADDRESS, 0, (uint8_t)word);
}

/* Latches the loaded data word into the page buffer, once. BS1 is high from loading the
 * high byte. Where PAGEL has a pin of its own, a positive pulse on it latches; where PAGEL
 * is the BS1 pin (the socket wires it to BS1), the time BS1 stays high for the high byte is
 * that pulse, and BS1 going low ends it. The PAGEL line is unconnected there, and BS1 going
 * low is the next step anyway elsewhere: one waveform, one latch per word on both. */
static void pagel_latch(void)
{
    WAIT_NS(T_BVPH_NS);
    PORTC |= _BV(PAGEL_BIT);
    WAIT_NS(T_PHPL_NS);
    PORTC &= (uint8_t)~_BV(PAGEL_BIT);
    WAIT_NS(T_PLBX_NS);
    set_bs1(0);
    WAIT_NS(T_PLXH_NS);
}

/* A negative WR pulse, then the write's worst-case busy time (tWLRH or tWLRH_CE). */
static void wr_pulse(uint16_t busy_us)
{
    WAIT_NS(T_BVWL_NS);
    PORTC &= (uint8_t)~_BV(WR_BIT);
    WAIT_NS(T_WLWH_NS);
    PORTC |= _BV(WR_BIT);
    clock_sleep_us(busy_us);
}

/* Every control line low and DATA released: nothing feeds an unpowered target through
 * its pins, and a chip that enters programming mode with OE low may drive DATA. */
static void lines_low(void)
{
    PORTC &= (uint8_t)~(CTRL_C_MASK & ~(_BV(HV_BIT) | _BV(VCC_BIT)));
    PORTD &= (uint8_t)~CTRL_D_MASK;
    bus_release();
}

/* Timer1 counts 4 us steps from 0 to 249 and starts again each millisecond (clock.c). */
static uint8_t ticks_since(uint8_t from)
{
    const uint8_t now = TCNT1L;
    return (uint8_t)(now >= from ? now - from : now + 250 - from);
}

static void entry_pulses(void)
{
    for (uint8_t i = 0; i < ENTRY_XTAL_PULSES; ++i) {
        PORTD |= _BV(XTAL1_BIT);
        _delay_us(T_XTAL_TOGGLE_US);
        PORTD &= (uint8_t)~_BV(XTAL1_BIT);
        _delay_us(T_XTAL_TOGGLE_US);
    }
}

/* From power-down (VCC and RESET at 0 V for T_VCC_OFF_US) into programming mode. */
static void enter(uint8_t how)
{
    lines_low(); /* Prog_enable pins at 0000, RESET at 0 V */
    if (how == ENTRY_TOGETHER) {
        PORTC |= _BV(VCC_BIT) | _BV(HV_BIT);
    } else {
        PORTC |= _BV(VCC_BIT);
        if (how == ENTRY_OLD) {
            clock_sleep_us(T_VCC_XTAL_OLD_US);
            entry_pulses();
            WAIT_NS(T_PE_HV_NS);
        } else {
            /* The older editions of these datasheets want the pulses, the newer the window.
             * The window has an end, and at 1,000,000 baud the receive interrupt takes half
             * the CPU: the times are measured on Timer1 (4 us steps) rather than counted in
             * cycles, and the last 20 us run with interrupts held off, which the UART's
             * two-byte buffer bridges. */
            const uint8_t t0 = TCNT1L;
            while (ticks_since(t0) < T_VCC_XTAL_US / 4 + 1)
                ;
            cli();
            entry_pulses();
            while (ticks_since(t0) < T_VCC_HV_US / 4)
                ;
            PORTC |= _BV(HV_BIT);
            sei();
        }
        if (how == ENTRY_OLD)
            PORTC |= _BV(HV_BIT);
    }
    _delay_us(T_HV_PE_US);
    PORTC |= _BV(WR_BIT) | _BV(OE_BIT); /* inactive; the chip stops driving DATA tOHDZ later */
    clock_sleep_us(T_HV_CMD_US);
    active = 1;
    cur_cmd = 0xFF;
    cur_high = -1;
    cur_ext = -1;
}

static uint8_t read_signature_byte(uint8_t index)
{
    if (cur_cmd != CMD_READ_SIGNATURE)
        load_command(CMD_READ_SIGNATURE);
    xtal_load(XA_ADDRESS, 0, index);
    set_bs1(0);
    oe_low();
    const uint8_t value = bus_sample();
    oe_high();
    return value;
}

static void read_signature(uint8_t sig[3])
{
    for (uint8_t i = 0; i < 3; ++i)
        sig[i] = read_signature_byte(i);
}

uint8_t hvpp_begin(uint8_t sig[3])
{
    /* Entries exclude each other: the power-up entry's 12 V comes within 60 us of VCC, the
     * older parts' at least 100 us after it. The board knows the chip only by its signature,
     * so it first enters the way of the chip it last identified (the power-up way after
     * start-up), then the other way when no signature answers, and only then the older
     * parts' alternative of VCC and 12 V together. A chip that did not enter simply leaves
     * reset with 12 V on RESET, and the board powers it down again. */
    served = 0;
    known = 0;
    device_find(0, 0, 0, &hvpp_dev); /* reads only, until the chip is known */
    uint8_t how = entry_first;
    for (uint8_t attempt = 0;; ++attempt) {
        enter(how);
        read_signature(sig);
        if (sig[0] == 0x1E || attempt == 2)
            break;
        hvpp_end();
        how = attempt == 1 ? ENTRY_TOGETHER : how == ENTRY_OLD ? ENTRY_POWERUP : ENTRY_OLD;
    }
    if (device_find(sig[0], sig[1], sig[2], &hvpp_dev) == DEVICE_NONE)
        return 0;
    const uint8_t own = (hvpp_dev.flags & DEV_ENTRY_OLD) ? ENTRY_OLD : ENTRY_POWERUP;
    if (how != own && !(how == ENTRY_TOGETHER && own == ENTRY_OLD)) {
        /* In by another family's way: again its own way, and the signature must agree. */
        uint8_t again[3];
        hvpp_end();
        enter(own);
        read_signature(again);
        if (again[0] != sig[0] || again[1] != sig[1] || again[2] != sig[2]) {
            sig[0] = again[0];
            sig[1] = again[1];
            sig[2] = again[2];
            device_find(0, 0, 0, &hvpp_dev);
            return 0;
        }
    }
    entry_first = own;
    known = 1;
    served = !(hvpp_dev.flags & DEV_NOT_SERVED);
    return served;
}

uint8_t hvpp_served(void)
{
    return active && served;
}

uint8_t hvpp_known(void)
{
    return active && known;
}

void hvpp_end(void)
{
    if (!active)
        return;
    if (cur_cmd == CMD_WRITE_FLASH)
        load_command(CMD_NOP); /* ends page programming */
    PORTC &= (uint8_t)~_BV(HV_BIT); /* RESET to 0 V: the target leaves programming mode */
    lines_low();
    PORTC &= (uint8_t)~_BV(VCC_BIT);
    active = 0;
    served = 0;
    known = 0;
    clock_sleep_us(T_VCC_OFF_US);
}

uint8_t hvpp_active(void)
{
    return active;
}

void hvpp_read_fuses(uint8_t out[4])
{
    load_command(CMD_READ_FUSE_LOCK);
    set_bs2(0);
    set_bs1(0);
    oe_low();
    out[0] = bus_sample();
    set_bs2(1);
    set_bs1(1);
    WAIT_NS(T_BVDV_NS);
    out[1] = bus_sample();
    set_bs1(0);
    WAIT_NS(T_BVDV_NS);
    out[2] = (hvpp_dev.flags & DEV_EXT_FUSE) ? bus_sample() : 0xFF;
    set_bs2(0);
    set_bs1(1);
    WAIT_NS(T_BVDV_NS);
    out[3] = bus_sample();
    oe_high();
    set_bs1(0);
}

static void write_fuse_byte(uint8_t value, uint8_t bs1, uint8_t bs2)
{
    load_command(CMD_WRITE_FUSE);
    xtal_load(XA_DATA, 0, value);
    set_bs1(bs1);
    set_bs2(bs2);
    wr_pulse(T_WLRH_US);
    set_bs1(0);
    set_bs2(0);
}

void hvpp_write_fuses(uint8_t low, uint8_t high, uint8_t ext)
{
    if (!hvpp_served())
        return;
    write_fuse_byte(low, 0, 0);
    write_fuse_byte(high, 1, 0);
    if (hvpp_dev.flags & DEV_EXT_FUSE)
        write_fuse_byte(ext, 0, 1);
}

void hvpp_write_lock(uint8_t lock)
{
    if (!hvpp_served())
        return;
    load_command(CMD_WRITE_LOCK);
    xtal_load(XA_DATA, 0, lock);
    set_bs1(0);
    wr_pulse(T_WLRH_US);
}

void hvpp_chip_erase(void)
{
    if (!hvpp_served())
        return;
    load_command(CMD_CHIP_ERASE);
    set_bs1(0);
    wr_pulse((hvpp_dev.flags & DEV_SLOW_WRITES) ? T_WLRH_CE_SLOW_US : T_WLRH_CE_US);
    cur_cmd = 0xFF;
}

uint16_t hvpp_read_word(uint32_t word)
{
    if (cur_cmd != CMD_READ_FLASH)
        load_command(CMD_READ_FLASH);
    load_address(word, 1);
    set_bs1(0);
    oe_low();
    const uint8_t low = bus_sample();
    set_bs1(1);
    WAIT_NS(T_BVDV_NS);
    const uint8_t high = bus_sample();
    oe_high();
    set_bs1(0);
    return (uint16_t)(high << 8 | low);
}

void hvpp_program_page(uint32_t word, const uint8_t *data)
{
    if (!hvpp_served())
        return;
    const uint16_t words = (uint16_t)1 << (hvpp_dev.page_log2 - 1);
    const uint32_t base = word & ~(uint32_t)(words - 1);
    load_command(CMD_WRITE_FLASH);
    for (uint16_t i = 0; i < words; ++i) {
        xtal_load(XA_ADDRESS, 0, (uint8_t)(base + i));
        xtal_load(XA_DATA, 0, data[2 * i]);
        xtal_load(XA_DATA, 1, data[2 * i + 1]);
        pagel_latch();
    }
    /* The page's high (and extended) address, then WR programs the whole page. */
    if (hvpp_dev.flags & DEV_ADDR_EXT) {
        set_c(BS2_BIT, 1);
        xtal_load(XA_ADDRESS, 0, (uint8_t)(base >> 16));
        set_c(BS2_BIT, 0);
    }
    xtal_load(XA_ADDRESS, 1, (uint8_t)(base >> 8));
    set_bs1(0);
    wr_pulse((hvpp_dev.flags & DEV_SLOW_WRITES) ? T_WLRH_FLASH_SLOW_US : T_WLRH_US);
}

uint8_t hvpp_read_signature(uint8_t index)
{
    return read_signature_byte(index);
}

/* The signature row with BS1 high: "Reading the Calibration Byte". */
uint8_t hvpp_read_calibration(uint8_t index)
{
    if (cur_cmd != CMD_READ_SIGNATURE)
        load_command(CMD_READ_SIGNATURE);
    xtal_load(XA_ADDRESS, 0, index);
    set_bs1(1);
    oe_low();
    const uint8_t value = bus_sample();
    oe_high();
    set_bs1(0);
    return value;
}

uint8_t hvpp_read_eeprom(uint16_t address)
{
    if (cur_cmd != CMD_READ_EEPROM)
        load_command(CMD_READ_EEPROM);
    load_address(address, 0);
    set_bs1(0);
    oe_low();
    const uint8_t value = bus_sample();
    oe_high();
    return value;
}

/* "Programming the EEPROM": command 11h, address high byte, then per byte its low address
 * and data, latched into the EEPROM page buffer with PAGEL (BS1 high, as for the Flash
 * latch), and WR programs the page. A page that the range covers only in part is filled
 * with what the EEPROM holds there, read first, so the page is written whole whatever the
 * chip does with bytes not latched. Without a page buffer (ATmega163) each byte is
 * written by itself. */
void hvpp_write_eeprom(uint16_t address, const uint8_t *data, uint16_t count)
{
    if (!hvpp_served())
        return;
    const uint16_t busy = (hvpp_dev.flags & DEV_SLOW_WRITES) ? T_WLRH_EE_SLOW_US : T_WLRH_EE_US;
    const uint8_t size = hvpp_dev.ee_page;
    const uint16_t end = address + count;
    if (!size) {
        for (uint16_t at = address; at != end; ++at) {
            if (cur_cmd != CMD_WRITE_EEPROM)
                load_command(CMD_WRITE_EEPROM);
            load_address(at, 0);
            xtal_load(XA_DATA, 0, data[at - address]);
            wr_pulse(busy);
        }
        return;
    }
    for (uint16_t base = address & (uint16_t)~(size - 1); base < end; base += size) {
        uint8_t bytes[8];
        for (uint8_t i = 0; i < size; ++i) {
            const uint16_t at = base + i;
            bytes[i] = at >= address && at < end ? data[at - address] : hvpp_read_eeprom(at);
        }
        load_command(CMD_WRITE_EEPROM);
        for (uint8_t i = 0; i < size; ++i) {
            load_address(base + i, 0);
            xtal_load(XA_DATA, 0, bytes[i]);
            set_bs1(1);
            pagel_latch();
        }
        wr_pulse(busy);
    }
}
