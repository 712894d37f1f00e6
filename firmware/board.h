// SPDX-License-Identifier: GPL-3.0-or-later
/* The adapter board: an ATmega328P at 16 MHz (an Arduino Uno or Nano) wired to the
 * target socket and to the two supply switches. The simulated board (tools/hvsim)
 * uses the same names. */
#ifndef BOARD_H
#define BOARD_H

#ifndef F_CPU
#define F_CPU 16000000UL
#endif
#define BAUD 115200UL

/* DATA0..DATA5 on PB0..PB5 (D8..D13), DATA6 and DATA7 on PD6 and PD7. */
#define DATA_B_MASK 0x3F
#define DATA_D_MASK 0xC0

/* Control lines towards the target, all outputs. */
#define XTAL1_BIT PD2 /* PORTD */
#define XA0_BIT PD3   /* PORTD */
#define XA1_BIT PD4   /* PORTD */
#define BS1_BIT PD5   /* PORTD */
#define BS2_BIT PC0   /* PORTC */
#define PAGEL_BIT PC1 /* PORTC */
#define WR_BIT PC2    /* PORTC, active low */
#define OE_BIT PC3    /* PORTC, active low */

/* Supply switches: high puts 12 V on the target's RESET, high switches the target's VCC on.
 * With PC4 low the switch pulls RESET to 0 V. */
#define HV_BIT PC4  /* PORTC */
#define VCC_BIT PC5 /* PORTC */

#define CTRL_D_MASK (_BV(XTAL1_BIT) | _BV(XA0_BIT) | _BV(XA1_BIT) | _BV(BS1_BIT))
#define CTRL_C_MASK (_BV(BS2_BIT) | _BV(PAGEL_BIT) | _BV(WR_BIT) | _BV(OE_BIT) | _BV(HV_BIT) | _BV(VCC_BIT))

/* The board discharges the target's VCC through a 1 kOhm bleeder across its 100 nF
 * decoupling (tau 0.1 ms); after 1 ms off the supply is below 0.1 V, so the next
 * power-up starts from 0 V as the entry sequence requires. */
#define T_VCC_OFF_US 1000

#endif
