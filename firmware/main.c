// SPDX-License-Identifier: GPL-3.0-or-later
/* Tarvane adapter: speaks the 8-byte command block protocol on the UART and programs
 * the chip in the socket in high-voltage parallel mode. */
#include "board.h"
#include "clock.h"
#include "hvpp.h"
#include "uart.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <string.h>

#define CMD_END 0
#define CMD_READ_CHIP 1
#define CMD_WRITE_FUSES 2
#define CMD_WRITE_LOCKS 3
#define CMD_CHIP_ERASE 4
#define CMD_WRITE_PAGE 5
#define CMD_READ_BLOCK 6
#define CMD_READ_WORD 7

#define ACK_CHAR '!'
#define READ_BLOCK_SIZE 128
/* The host writes a block or a page of data in one go: a gap this long means it gave up,
 * and what came so far is dropped so the next byte starts a fresh block. */
#define GAP_MS 50
/* The first byte of page data follows the host's reaction to the acknowledgement: wait
 * as long as the host waits for an acknowledgement itself. */
#define DATA_WAIT_MS 2000
/* A stream idle this long is closed and the target powered down, so a chip can be swapped. */
#define IDLE_MS 500

static uint8_t block[8];
static uint32_t stream;   /* byte address of the open stream */
static uint8_t page[256]; /* the physical page being filled from the stream */
static uint8_t page_dirty;

static uint16_t page_bytes(void)
{
    return (uint16_t)1 << hvpp_dev.page_log2;
}

static void begin_stream(void)
{
    if (!hvpp_active()) {
        uint8_t sig[3];
        hvpp_begin(sig);
    }
}

static void flush_page(void)
{
    if (page_dirty) {
        hvpp_program_page((stream - 1) >> 1, page);
        page_dirty = 0;
    }
}

/* Programs what is pending, forgets the address and powers the target down. */
static void close_stream(void)
{
    if (hvpp_active())
        flush_page();
    page_dirty = 0;
    stream = 0;
    hvpp_end();
}

static void store_byte(uint8_t byte)
{
    const uint16_t mask = page_bytes() - 1;
    if (!page_dirty) {
        memset(page, 0xFF, sizeof page); /* bytes the stream does not bring stay erased */
        page_dirty = 1;
    }
    page[stream & mask] = byte;
    ++stream;
    if ((stream & mask) == 0) {
        hvpp_program_page((stream - 1) >> 1, page);
        page_dirty = 0;
    }
}

static void write_page(uint8_t count)
{
    begin_stream();
    uart_put(ACK_CHAR);
    if (count == 0)
        return;
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t byte;
        if (!uart_get(&byte, i == 0 ? DATA_WAIT_MS : GAP_MS)) {
            /* The host gave up in the middle of the data: start afresh. */
            page_dirty = 0;
            close_stream();
            return;
        }
        store_byte(byte);
    }
    uart_put(ACK_CHAR);
}

static void read_stream(uint8_t count)
{
    begin_stream();
    flush_page();
    uint16_t word = 0;
    for (uint8_t i = 0; i < count; ++i, ++stream) {
        if (i == 0 || !(stream & 1))
            word = hvpp_read_word(stream >> 1);
        uart_put((stream & 1) ? (uint8_t)(word >> 8) : (uint8_t)word);
    }
}

/* Fuse, lock and erase commands run in a session of their own and reply with the chip
 * as it is afterwards: code, signature, Low, High, Extended fuse, lock byte. */
static void chip_command(void)
{
    uint8_t reply[8];
    close_stream();
    hvpp_begin(&reply[1]);
    switch (block[0]) {
    case CMD_WRITE_FUSES:
        hvpp_write_fuses(block[4], block[5], block[6]);
        break;
    case CMD_WRITE_LOCKS:
        hvpp_write_lock(block[7]);
        break;
    case CMD_CHIP_ERASE:
        hvpp_chip_erase();
        break;
    default:
        break;
    }
    hvpp_read_fuses(&reply[4]);
    reply[0] = block[0];
    for (uint8_t i = 0; i < 8; ++i)
        uart_put(reply[i]);
    hvpp_end(); /* after the reply: the host need not wait for the supply to discharge */
}

/* Waits for a whole block; a partial one is dropped after GAP_MS without a byte. */
static void receive_block(void)
{
    for (;;) {
        const uint16_t idle_from = clock_ms();
        while (!uart_get(&block[0], 10)) {
            if (hvpp_active() && (uint16_t)(clock_ms() - idle_from) >= IDLE_MS)
                close_stream();
        }
        uint8_t n = 1;
        while (n < 8 && uart_get(&block[n], GAP_MS))
            ++n;
        if (n == 8)
            return;
    }
}

int main(void)
{
    /* Lines towards the target are outputs, low: the target is unpowered. */
    DDRC = CTRL_C_MASK;
    DDRD = CTRL_D_MASK | DATA_D_MASK;
    DDRB = DATA_B_MASK;
    clock_init();
    uart_init();
    sei();

    for (;;) {
        receive_block();
        switch (block[0]) {
        case CMD_END:
            close_stream();
            for (uint8_t i = 0; i < 8; ++i)
                uart_put(block[i]);
            break;
        case CMD_WRITE_PAGE:
            write_page(block[1]);
            break;
        case CMD_READ_BLOCK:
            read_stream(READ_BLOCK_SIZE);
            break;
        case CMD_READ_WORD:
            read_stream(2);
            break;
        default: /* codes 1 to 4, and unknown codes answered like a Read Chip */
            chip_command();
            break;
        }
    }
}
