// SPDX-License-Identifier: GPL-3.0-or-later
/* UART0 at 115200 8N1 with U2X; received bytes queue in a ring filled by the interrupt. */
#ifndef UART_H
#define UART_H

#include <stdint.h>

void uart_init(void);
/* Takes the next received byte; waits (sleeping) at most timeout_ms. Returns 0 on time-out. */
uint8_t uart_get(uint8_t *byte, uint16_t timeout_ms);
/* Waits (sleeping) at most timeout_ms for a byte and leaves it to uart_get. Returns 0 on time-out. */
uint8_t uart_wait(uint16_t timeout_ms);
void uart_put(uint8_t byte);

#endif
