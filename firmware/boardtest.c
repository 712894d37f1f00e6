// SPDX-License-Identifier: GPL-3.0-or-later
#include "boardtest.h"

#include "board.h"
#include "clock.h"
#include "uart.h"

#include <avr/io.h>
#include <avr/pgmspace.h>

/* Long enough for a meter to settle on each line. */
#define STEP_MS 1000

enum { PORT_B, PORT_C, PORT_D };

struct step {
    char name[6];
    uint8_t port, bit;
};

/* VCC first, and it stays on: the target's RESET is then held at 0 V, so a chip left in the
 * socket sits in reset with its pins as inputs while the other lines are driven. 12 V only
 * with VCC, and only for its own step. */
static const struct step steps[] PROGMEM = {
    {"VCC", PORT_C, VCC_BIT},  {"12V", PORT_C, HV_BIT},    {"XTAL1", PORT_D, XTAL1_BIT},
    {"XA0", PORT_D, XA0_BIT},  {"XA1", PORT_D, XA1_BIT},   {"BS1", PORT_D, BS1_BIT},
    {"BS2", PORT_C, BS2_BIT},  {"PAGEL", PORT_C, PAGEL_BIT}, {"WR", PORT_C, WR_BIT},
    {"OE", PORT_C, OE_BIT},    {"DATA0", PORT_B, PB0},     {"DATA1", PORT_B, PB1},
    {"DATA2", PORT_B, PB2},    {"DATA3", PORT_B, PB3},     {"DATA4", PORT_B, PB4},
    {"DATA5", PORT_B, PB5},    {"DATA6", PORT_D, PD6},     {"DATA7", PORT_D, PD7},
};

static volatile uint8_t *port_of(uint8_t port)
{
    return port == PORT_B ? &PORTB : port == PORT_C ? &PORTC : &PORTD;
}

static void put_line(const char *name)
{
    while (*name)
        uart_put((uint8_t)*name++);
    uart_put('\n');
}

static void all_off(void)
{
    PORTC &= (uint8_t)~_BV(HV_BIT);
    PORTC &= (uint8_t)~CTRL_C_MASK;
    PORTD &= (uint8_t)~(CTRL_D_MASK | DATA_D_MASK);
    PORTB &= (uint8_t)~DATA_B_MASK;
}

void boardtest_run(void)
{
    /* DATA as outputs, low, so that each of its lines can be driven on its own. */
    PORTB &= (uint8_t)~DATA_B_MASK;
    PORTD &= (uint8_t)~DATA_D_MASK;
    DDRB |= DATA_B_MASK;
    DDRD |= DATA_D_MASK;
    uint8_t stopped = 0;
    for (uint8_t i = 0; i < sizeof steps / sizeof steps[0] && !stopped; ++i) {
        struct step s;
        memcpy_P(&s, &steps[i], sizeof s);
        put_line(s.name);
        volatile uint8_t *port = port_of(s.port);
        *port |= _BV(s.bit);
        stopped = uart_wait(STEP_MS);
        if (i > 0) /* VCC stays on */
            *port &= (uint8_t)~_BV(s.bit);
    }
    all_off();
    clock_sleep_us(T_VCC_OFF_US);
    if (!stopped)
        put_line("END");
}
