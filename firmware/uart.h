// SPDX-License-Identifier: GPL-3.0-or-later
/* UART0, 8N1 with U2X, at 115200 or 1,000,000 baud; received bytes queue in a ring filled by
 * the interrupt. */
#ifndef UART_H
#define UART_H

#include <stdint.h>

void uart_init(void);
/* Takes the next received byte; waits (sleeping) at most timeout_ms. Returns 0 on time-out. */
uint8_t uart_get(uint8_t *byte, uint16_t timeout_ms);
/* Waits (sleeping) at most timeout_ms for a byte and leaves it to uart_get. Returns 0 on time-out. */
uint8_t uart_wait(uint16_t timeout_ms);
void uart_put(uint8_t byte);
/* The line's rate: 0 for 115200 baud, 1 for 1,000,000. Waits until every byte sent so far has
 * left at the old rate. */
void uart_set_fast(uint8_t fast);
uint8_t uart_fast(void);

#endif
