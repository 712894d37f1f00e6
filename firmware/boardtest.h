// SPDX-License-Identifier: GPL-3.0-or-later
/* The board's self-test, for its first power-up with the socket empty. */
#ifndef BOARDTEST_H
#define BOARDTEST_H

/* Drives every line towards the socket high in turn, slowly enough to follow with an LED or
 * a meter, and sends each line's name as a line of text ("VCC\n", "12V\n", "XTAL1\n", ...)
 * as it goes; ends with both supplies off and "END\n". A byte from the host ends it at once
 * (supplies off, no "END"), and is left for the command loop. Call with the target powered
 * down. */
void boardtest_run(void);

#endif
