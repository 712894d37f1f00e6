// SPDX-License-Identifier: GPL-3.0-or-later
/* Tarvane adapter: speaks the 8-byte command block protocol on the UART and programs
 * the chip in the socket in high-voltage parallel mode. */
#include "board.h"
#include "boardtest.h"
#include "clock.h"
#include "hvpp.h"
#include "uart.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <string.h>
#include <util/crc16.h>

#define CMD_END 0
#define CMD_READ_CHIP 1
#define CMD_WRITE_FUSES 2
#define CMD_WRITE_LOCKS 3
#define CMD_CHIP_ERASE 4
#define CMD_WRITE_PAGE 5
#define CMD_READ_BLOCK 6
#define CMD_READ_WORD 7
/* Extensions of this board (firmware/README.md); codes 10h and up. */
#define CMD_EXT_FIRST 0x10
#define CMD_EXT_LINE 0x10
#define CMD_EXT_PING 0x11
#define CMD_EXT_READ 0x12
#define CMD_EXT_WRITE 0x13
#define CMD_EXT_BOARD_TEST 0x14

/* The identification reply to cmdEnd. */
#define IDENT_MARK 0x54 /* 'T' */
#define EXT_VERSION 0x01
#define CAP_LINE 0x01       /* cmdExtLine */
#define CAP_ADDRESSED 0x02  /* cmdExtRead, cmdExtWrite */
#define CAP_EEPROM 0x04     /* memory 1 */
#define CAP_CALIBRATION 0x08 /* memory 2 */
#define CAP_BOARD_TEST 0x10 /* cmdExtBoardTest */
#define CAPABILITIES (CAP_LINE | CAP_ADDRESSED | CAP_EEPROM | CAP_CALIBRATION | CAP_BOARD_TEST)

/* Memories of cmdExtRead and cmdExtWrite, and the status byte of a write. */
#define MEM_FLASH 0
#define MEM_EEPROM 1
#define MEM_CALIBRATION 2
#define MEM_SIGNATURE 3
#define STATUS_OK 'K'
#define STATUS_BAD_CRC 'E'
#define STATUS_REFUSED 'R'

#define ACK_CHAR '!'
#define READ_BLOCK_SIZE 128
/* The host writes a block in one go: a gap this long means it is not a block (a stray byte,
 * noise, a host that gave up), and what came so far is dropped so that the next byte starts
 * a fresh block. Short, so that a stray byte cannot join the host's next block. */
#define BLOCK_GAP_MS 10
/* Data after a block (page data, cmdExtWrite's bytes) may follow a little later: a host
 * that writes the block and its data in two calls. */
#define DATA_GAP_MS 50
/* The first byte of page data follows the host's reaction to the acknowledgement: wait
 * as long as the host waits for an acknowledgement itself. */
#define DATA_WAIT_MS 2000
/* A stream idle this long is closed and the target powered down, so a chip can be swapped;
 * the fast line goes back to 115200 baud after as long without a byte. */
#define IDLE_MS 500

static uint8_t block[8];
static uint32_t stream;   /* byte address of the open stream */
static uint8_t page[256]; /* the physical page being filled from the stream */
static uint8_t page_dirty;
static uint8_t last_sig[3]; /* the signature as last read; 00 00 00 until then */
/* A bit per table row: its signature has gone out in a reply since start-up. The noise
 * guard accepts only these (or zeros) in the carried-over bytes of a write command. */
static uint8_t sent[(DEVICE_ROWS_MAX + 7) / 8];

/* Enters programming mode and reads the signature; returns hvpp_served(). */
static uint8_t session(uint8_t sig[3])
{
    const uint8_t served = hvpp_begin(sig);
    memcpy(last_sig, sig, sizeof last_sig);
    return served;
}

/* Sends an 8-byte reply whose bytes 1 to 3 are a signature, and notes that signature. */
static void send_reply(const uint8_t reply[8])
{
    struct device d;
    const uint8_t row = device_find(reply[1], reply[2], reply[3], &d);
    if (row != DEVICE_NONE)
        sent[row >> 3] |= (uint8_t)(1 << (row & 7));
    for (uint8_t i = 0; i < 8; ++i)
        uart_put(reply[i]);
}

/* The plain protocol has no checksum. Carried-over bytes 1 to 3 of a write command hold
 * zeros in a host fresh from its start-up, and otherwise the signature of a reply of this
 * board: random bytes pass with a chance of about 2^-24. */
static uint8_t guard_passes(void)
{
    if (!(block[1] | block[2] | block[3]))
        return 1;
    struct device d;
    const uint8_t row = device_find(block[1], block[2], block[3], &d);
    return row != DEVICE_NONE && (sent[row >> 3] >> (row & 7) & 1);
}

/* The reply to cmdEnd: 'T', the last signature, version, capabilities and the answer to
 * the challenge in block bytes 4 to 7, a CRC-16/CCITT-FALSE (little-endian) over "TARVANE",
 * the challenge and reply bytes 4 and 5. */
static void send_identity(void)
{
    static const char tag[] PROGMEM = "TARVANE";
    uint8_t reply[8] = {IDENT_MARK, last_sig[0], last_sig[1], last_sig[2], EXT_VERSION, CAPABILITIES, 0, 0};
    uint16_t crc = 0xFFFF;
    for (uint8_t i = 0; i < sizeof tag - 1; ++i)
        crc = _crc_xmodem_update(crc, pgm_read_byte(&tag[i]));
    for (uint8_t i = 4; i < 8; ++i)
        crc = _crc_xmodem_update(crc, block[i]);
    crc = _crc_xmodem_update(crc, reply[4]);
    crc = _crc_xmodem_update(crc, reply[5]);
    reply[6] = (uint8_t)crc;
    reply[7] = (uint8_t)(crc >> 8);
    send_reply(reply);
}

static uint16_t page_bytes(void)
{
    return (uint16_t)1 << hvpp_dev.page_log2;
}

/* Enters programming mode unless a session is open (the stream's or the addressed
 * commands'). */
static void begin_stream(void)
{
    if (!hvpp_active()) {
        uint8_t sig[3];
        session(sig);
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
        if (!uart_get(&byte, i == 0 ? DATA_WAIT_MS : DATA_GAP_MS)) {
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
 * as it is afterwards: code, signature, Low, High, Extended fuse, lock byte. A write that
 * the noise guard or the chip refuses writes nothing: the reply then shows the chip as it
 * was, and the host's read-back reports it. */
static void chip_command(void)
{
    uint8_t reply[8];
    close_stream();
    const uint8_t writes = session(&reply[1]) && guard_passes();
    switch (writes ? block[0] : CMD_READ_CHIP) {
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
    send_reply(reply);
    hvpp_end(); /* after the reply: the host need not wait for the supply to discharge */
}

static uint8_t rest_is_zero(void)
{
    for (uint8_t i = 1; i < 8; ++i)
        if (block[i])
            return 0;
    return 1;
}

static uint16_t count_of(uint8_t n)
{
    return n ? n : 256;
}

static uint32_t address_of(void)
{
    return block[2] | (uint32_t)block[3] << 8 | (uint32_t)block[4] << 16;
}

/* The size of memory m of the chip in the socket; 0 when the chip is not in the table or
 * has no such memory. */
static uint32_t memory_size(uint8_t m)
{
    if (!hvpp_known())
        return 0;
    switch (m) {
    case MEM_FLASH:
        return (uint32_t)hvpp_dev.flash_kb << 10;
    case MEM_EEPROM:
        return (uint16_t)hvpp_dev.ee_64 << 6;
    case MEM_CALIBRATION:
        return hvpp_dev.cal;
    case MEM_SIGNATURE:
        return 3;
    default:
        return 0;
    }
}

static uint8_t in_memory(uint8_t m, uint32_t a, uint16_t n)
{
    const uint32_t size = memory_size(m);
    return a < size && n <= size - a;
}

/* The CRC of an addressed command starts with its block bytes 1 to 5. */
static uint16_t block_crc(void)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t i = 1; i <= 5; ++i)
        crc = _crc_xmodem_update(crc, block[i]);
    return crc;
}

/* cmdExtRead: N bytes and the CRC. A refused read sends FFh bytes and a CRC that does not
 * match them, which the host counts as a lost reply. Words are read while the UART sends
 * the byte before: the line, not the chip, sets the pace. */
static void ext_read(void)
{
    const uint8_t m = block[1];
    const uint32_t a = address_of();
    const uint16_t n = count_of(block[5]);
    begin_stream();
    flush_page(); /* a pending page of the stream reads back as written */
    const uint8_t ok = in_memory(m, a, n);
    uint16_t crc = block_crc();
    uint16_t word = 0;
    for (uint16_t i = 0; i < n; ++i) {
        const uint32_t at = a + i;
        uint8_t byte = 0xFF;
        if (ok) {
            switch (m) {
            case MEM_FLASH:
                if (i == 0 || !(at & 1))
                    word = hvpp_read_word(at >> 1);
                byte = (at & 1) ? (uint8_t)(word >> 8) : (uint8_t)word;
                break;
            case MEM_EEPROM:
                byte = hvpp_read_eeprom((uint16_t)at);
                break;
            case MEM_CALIBRATION:
                byte = hvpp_read_calibration((uint8_t)at);
                break;
            default:
                byte = hvpp_read_signature((uint8_t)at);
                break;
            }
        }
        crc = _crc_xmodem_update(crc, byte);
        uart_put(byte);
    }
    if (!ok)
        crc = (uint16_t)~crc;
    uart_put((uint8_t)crc);
    uart_put((uint8_t)(crc >> 8));
}

/* Whether cmdExtWrite may write N bytes of memory m at a: a chip this board serves, Flash
 * one whole physical page at its start, EEPROM anywhere inside it. */
static uint8_t write_allowed(uint8_t m, uint32_t a, uint16_t n)
{
    if (!hvpp_served() || !in_memory(m, a, n))
        return 0;
    if (m == MEM_FLASH)
        return n == page_bytes() && !(a & (page_bytes() - 1));
    return m == MEM_EEPROM;
}

/* cmdExtWrite: the data into the page buffer, its CRC checked, then one status byte. 'K'
 * goes out as soon as the data is in, and the page programs while the host sends the next
 * block and page into the receive ring; the next command is taken when it is done. */
static void ext_write(void)
{
    const uint8_t m = block[1];
    const uint32_t a = address_of();
    const uint16_t n = count_of(block[5]);
    begin_stream();
    flush_page(); /* the stream's page buffer is free from here */
    uint16_t crc = block_crc();
    for (uint16_t i = 0; i < n; ++i) {
        if (!uart_get(&page[i], DATA_GAP_MS))
            return; /* the host gave up: nothing written, no status */
        crc = _crc_xmodem_update(crc, page[i]);
    }
    if (crc != (block[6] | (uint16_t)block[7] << 8)) {
        uart_put(STATUS_BAD_CRC);
        return;
    }
    if (!write_allowed(m, a, n)) {
        uart_put(STATUS_REFUSED);
        return;
    }
    uart_put(STATUS_OK);
    if (m == MEM_FLASH)
        hvpp_program_page(a >> 1, page);
    else
        hvpp_write_eeprom((uint16_t)a, page, n);
}

/* Codes 10h and up: this board's extensions. A block that is not laid out as the command's
 * (noise) is answered like an unknown code. */
static void ext_command(void)
{
    switch (block[0]) {
    case CMD_EXT_LINE:
        if (block[1] <= 1 && !(block[2] | block[3])) {
            send_identity(); /* at the old rate: the switch waits until it has left */
            uart_set_fast(block[1]);
            return;
        }
        break;
    case CMD_EXT_PING:
        if (!(block[1] | block[2] | block[3])) {
            send_identity();
            return;
        }
        break;
    case CMD_EXT_READ:
        ext_read();
        return;
    case CMD_EXT_WRITE:
        ext_write();
        return;
    case CMD_EXT_BOARD_TEST:
        if (rest_is_zero()) { /* exactly the block the host sends: noise never starts it */
            close_stream();
            send_identity();
            boardtest_run();
            return;
        }
        break;
    default:
        break;
    }
    chip_command();
}

/* Waits for a whole block; a partial one is dropped after BLOCK_GAP_MS without a byte. */
static void receive_block(void)
{
    for (;;) {
        const uint16_t idle_from = clock_ms();
        while (!uart_get(&block[0], 10)) {
            if ((uint16_t)(clock_ms() - idle_from) >= IDLE_MS) {
                if (hvpp_active())
                    close_stream();
                if (uart_fast())
                    uart_set_fast(0);
            }
        }
        uint8_t n = 1;
        while (n < 8 && uart_get(&block[n], BLOCK_GAP_MS))
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
        if (block[0] >= CMD_EXT_FIRST) {
            ext_command();
            continue;
        }
        switch (block[0]) {
        case CMD_END:
            close_stream();
            send_identity();
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
