/* A millisecond tick from Timer1, for time-outs; its interrupt also wakes the idle CPU. */
#ifndef CLOCK_H
#define CLOCK_H

#include <stdint.h>

void clock_init(void);
uint16_t clock_ms(void);

#endif
