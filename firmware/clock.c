#include "clock.h"

#include "board.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

static volatile uint16_t ticks;

ISR(TIMER1_COMPA_vect)
{
    ++ticks;
}

void clock_init(void)
{
    OCR1A = F_CPU / 64 / 1000 - 1; /* 1 ms at prescaler 64 */
    TCCR1A = 0;
    TCCR1B = _BV(WGM12) | _BV(CS11) | _BV(CS10);
    TIMSK1 = _BV(OCIE1A);
}

uint16_t clock_ms(void)
{
    uint16_t now;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
    {
        now = ticks;
    }
    return now;
}
