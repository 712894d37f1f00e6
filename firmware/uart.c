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

#if USE_2X
#define BAUD_ACTUAL (F_CPU / (8UL * (UBRR_VALUE + 1)))
#else
#define BAUD_ACTUAL (F_CPU / (16UL * (UBRR_VALUE + 1)))
#endif
#if BAUD_ACTUAL * 1000UL > BAUD * 1025UL || BAUD_ACTUAL * 1000UL < BAUD * 975UL
#error "UART baud rate off by more than 2.5 %"
#endif

/* A whole page of data (128 bytes) plus its block fits while the adapter programs. */
static volatile uint8_t ring[256];
static volatile uint8_t head, tail;
ISR(USART_RX_vect)
{
    const uint8_t byte = UDR0;
    const uint8_t next = (uint8_t)(head + 1);
    if (next != tail) {
        ring[head] = byte;
        head = next;
    }
}

void uart_init(void)
{
    /* U2X before the divider: simavr takes the rate from both when UBRR is written. */
#if USE_2X
    UCSR0A = _BV(U2X0);
#else
    UCSR0A = 0;
#endif
    UBRR0H = UBRRH_VALUE;
    UBRR0L = UBRRL_VALUE;
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
    if (!uart_wait(timeout_ms))
        return 0;
    *byte = ring[tail];
    tail = (uint8_t)(tail + 1);
    return 1;
}

void uart_put(uint8_t byte)
{
    while (!(UCSR0A & _BV(UDRE0)))
        ;
    UDR0 = byte;
}
