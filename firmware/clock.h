// SPDX-License-Identifier: GPL-3.0-or-later
/* A millisecond tick from Timer1, for time-outs; its interrupt also wakes the idle CPU. */
#ifndef CLOCK_H
#define CLOCK_H

#include <stdint.h>

void clock_init(void);
uint16_t clock_ms(void);
/* Waits at least us microseconds, the CPU asleep in between: a waiting adapter costs
 * nothing, on the board and in simulation alike. Resolution 4 us, rounded up. */
void clock_sleep_us(uint16_t us);

#endif
