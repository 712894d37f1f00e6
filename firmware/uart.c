// SPDX-License-Identifier: GPL-3.0-or-later
#include "uart.h"

#include "board.h"
#include "clock.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>

/* 115200 from 16 MHz: -3.5 % without U2X, +2.1 % with it. setbaud.h picks U2X above 3 %;
 * the check below refuses anything off by more than 2.5 %, which an 8N1 frame tolerates
 * with room for the host's own error. */
#define BAUD_TOL 3
#include <util/setbaud.h>

#if !USE_2X
#error "115200 baud needs U2X at this clock"
#endif
#define BAUD_ACTUAL (F_CPU / (8UL * (UBRR_VALUE + 1)))
#if BAUD_ACTUAL * 1000UL > BAUD * 1025UL || BAUD_ACTUAL * 1000UL < BAUD * 975UL
#error "UART baud rate off by more than 2.5 %"
#endif

/* 1,000,000 baud with U2X: F_CPU / 8 / (UBRR + 1), exact at 16 MHz. */
#define FAST_BAUD 1000000UL
#define FAST_UBRR (F_CPU / 8 / FAST_BAUD - 1)
#if F_CPU % (8 * FAST_BAUD) != 0
#error "1,000,000 baud is not exact at this clock"
#endif

/* While a Flash page programs (tWLRH, 4.5 ms) the host may already send the next block and
 * its page: 8 + 256 bytes, and a little more. A power of two keeps the index arithmetic
 * short. */
#define RING_SIZE 512
static volatile uint8_t ring[RING_SIZE];
static volatile uint16_t head, tail;
static uint8_t fast;
static uint8_t sent; /* a byte went out since the last rate change: wait for TXC0 */

/* At 1,000,000 baud a byte comes every 160 cycles: this handler takes about 50 of them.
 * A frame with a framing error (a byte sent at another rate, noise) is not taken. */
ISR(USART_RX_vect)
{
    const uint8_t status = UCSR0A;
    const uint8_t byte = UDR0;
    if (status & _BV(FE0))
        return;
    const uint16_t next = (head + 1) & (RING_SIZE - 1);
    if (next != tail) {
        ring[head] = byte;
        head = next;
    }
}

static void set_rate(uint16_t ubrr)
{
    /* U2X before the divider: simavr takes the rate from both when UBRR is written. */
    UCSR0A = _BV(U2X0);
    UBRR0H = (uint8_t)(ubrr >> 8);
    UBRR0L = (uint8_t)ubrr;
}

void uart_init(void)
{
    set_rate(UBRR_VALUE);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8N1 */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

uint8_t uart_wait(uint16_t timeout_ms)
{
    const uint16_t start = clock_ms();
    for (;;) {
        cli();
        if (head != tail) {
            sei();
            return 1;
        }
        if ((uint16_t)(clock_ms() - start) >= timeout_ms) {
            sei();
            return 0;
        }
        /* Sleep until the next byte or tick; sei takes effect after sleep is reached. */
        set_sleep_mode(SLEEP_MODE_IDLE);
        sleep_enable();
        sei();
        sleep_cpu();
        sleep_disable();
    }
}

uint8_t uart_get(uint8_t *byte, uint16_t timeout_ms)
{
    /* A byte already there is taken without the wait's clock reads: at 1,000,000 baud the
     * loops that take page data have 160 cycles a byte. The 16-bit indices are shared with
     * the interrupt, so they are read and written with it held off. */
    const uint16_t t = tail;
    cli();
    const uint16_t h = head;
    sei();
    if (t == h && !uart_wait(timeout_ms))
        return 0;
    *byte = ring[t];
    cli();
    tail = (t + 1) & (RING_SIZE - 1);
    sei();
    return 1;
}

void uart_put(uint8_t byte)
{
    while (!(UCSR0A & _BV(UDRE0)))
        ;
    /* TXC0 is cleared by writing it one; U2X0 stays. */
    UCSR0A = _BV(U2X0) | _BV(TXC0);
    UDR0 = byte;
    sent = 1;
}

void uart_set_fast(uint8_t on)
{
    /* The last byte has left once the data register is empty and the shift register done. */
    if (sent) {
        while (!(UCSR0A & _BV(UDRE0)) || !(UCSR0A & _BV(TXC0)))
            ;
        sent = 0;
    }
    set_rate(on ? FAST_UBRR : UBRR_VALUE);
    fast = on;
}

uint8_t uart_fast(void)
{
    return fast;
}
