// SPDX-License-Identifier: GPL-3.0-or-later
#include "clock.h"

#include "board.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <util/atomic.h>

static volatile uint16_t ticks;
static volatile uint8_t alarm;

ISR(TIMER2_COMPA_vect)
{
    alarm = 1;
}

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

/* Timer2 counts 4 us steps (prescaler 64); one compare covers up to 1024 us. The prescaler
 * runs on between waits, so it is reset as the timer starts: else the first step could end
 * at any point of its 4 us and the wait one step short. */
void clock_sleep_us(uint16_t us)
{
    while (us) {
        const uint16_t chunk = us > 1024 ? 1024 : us;
        us -= chunk;
        TCCR2B = 0;
        TCNT2 = 0;
        OCR2A = (uint8_t)((chunk + 3) / 4 - 1);
        TIFR2 = _BV(OCF2A);
        alarm = 0;
        TIMSK2 = _BV(OCIE2A);
        TCCR2A = _BV(WGM21);            /* CTC */
        GTCCR = _BV(PSRASY);            /* prescaler from zero (cleared by the hardware) */
        TCCR2B = _BV(CS22);             /* 16 MHz / 64 */
        set_sleep_mode(SLEEP_MODE_IDLE);
        for (;;) {
            cli();
            if (alarm)
                break;
            sleep_enable();
            sei();
            sleep_cpu();
            sleep_disable();
        }
        sei();
        TCCR2B = 0;
        TIMSK2 = 0;
    }
}
