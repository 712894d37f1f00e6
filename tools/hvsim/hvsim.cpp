// SPDX-License-Identifier: GPL-3.0-or-later
#include "hvsim.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

extern "C" {
#include <avr_extint.h>
#include <avr_ioport.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
}

namespace hvsim {

namespace {

constexpr std::uint32_t frequency = 16000000;
// The firmware drops a partial block after 10 ms without a byte, and data that stops for
// 50 ms; the log does the same.
constexpr auto blockGap = std::chrono::milliseconds(10);
constexpr auto dataGap = std::chrono::milliseconds(50);
// Time the firmware has, after a cmdEnd arrives, to program a pending page.
constexpr std::uint64_t streamEndCycles = frequency / 1000 * 30;

// Data-space addresses of the ATmega328P's port registers, and of the two registers that
// start Timer2 (TCCR2B) and reset its prescaler (GTCCR, bit PSRASY).
constexpr std::uint16_t pinB = 0x23, pinD = 0x29;
// UART0: UCSR0A (bit U2X0) and the rate divider UBRR0.
constexpr std::uint16_t ucsr0a = 0xC0, ubrr0l = 0xC4, ubrr0h = 0xC5;
constexpr std::uint8_t u2x0 = 0x02;
constexpr std::uint16_t gtccr = 0x43, tccr2b = 0xB1;
constexpr std::uint8_t psrasy = 0x02, timer2Clock = 0x07;
enum Port { B, C, D };

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

std::string hexLine(const char *tag, const std::uint8_t *bytes, std::size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string line(tag);
    for (std::size_t i = 0; i < count; ++i) {
        line += ' ';
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0x0F];
    }
    return line;
}

struct Frame {
    std::uint8_t value;
    bool framingError;
    double at;  // cycles from the first start bit to the stop bit's sample
};

// A UART receiver at one rate on a line driven at another. The sender's frames (start bit,
// eight data bits from bit 0, stop bit) follow each other without a gap, the line is high
// before and after. The receiver finds a start bit at a falling edge, checks it at its middle
// (a high level there is a false start), samples the data bits and the stop bit at their
// middles; a low stop bit is a framing error. After the stop bit's sample it waits for the
// next falling edge. Times in cycles from the first start bit; at equal rates (and within a
// UART's tolerance, about 4 %) the bytes come out as they went in.
std::vector<Frame> resample(const std::vector<std::uint8_t> &bytes, double senderBit, double receiverBit)
{
    const std::size_t cells = bytes.size() * 10;
    const auto cellLevel = [&](std::size_t cell) {
        if (cell >= cells)
            return true;
        const std::size_t bit = cell % 10;
        return bit == 9 || (bit > 0 && (bytes[cell / 10] >> (bit - 1) & 1));
    };
    const auto level = [&](double t) { return t < 0 || cellLevel(std::size_t(t / senderBit)); };
    // The first falling edge at or after t: only cell boundaries can fall.
    const auto nextFall = [&](double t) -> double {
        for (std::size_t cell = t <= 0 ? 0 : std::size_t(std::ceil(t / senderBit)); cell < cells; ++cell)
            if (!cellLevel(cell) && (cell == 0 || cellLevel(cell - 1)))
                return double(cell) * senderBit;
        return -1;
    };
    std::vector<Frame> out;
    double t = 0;
    for (;;) {
        const double start = nextFall(t);
        if (start < 0)
            break;
        if (level(start + 0.5 * receiverBit)) {
            t = start + senderBit * 0.5;
            continue;
        }
        std::uint8_t value = 0;
        for (int i = 0; i < 8; ++i)
            if (level(start + (1.5 + i) * receiverBit))
                value = std::uint8_t(value | 1 << i);
        const double stop = start + 9.5 * receiverBit;
        out.push_back({value, !level(stop), stop});
        t = stop;
    }
    return out;
}

// The rate of a termios speed; 0 for one this table does not know.
int baudOf(speed_t speed)
{
    static const std::pair<speed_t, int> rates[] = {
        {B1200, 1200},       {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
        {B38400, 38400},     {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
        {B500000, 500000},   {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000},
    };
    for (const auto &[s, baud] : rates)
        if (s == speed)
            return baud;
    return 0;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool addFlags(int fd, int getCmd, int setCmd, int flags)
{
    const int old = ::fcntl(fd, getCmd);
    return old >= 0 && ::fcntl(fd, setCmd, old | flags) == 0;
}

void noSleep(avr_t *, avr_cycle_count_t) {}

// simavr's own chatter (what it loaded, traces) stays quiet; its errors go to stderr, and a
// dropped received byte is counted (countOverrun, set below).
void (*countOverrun)() = nullptr;

void quietLogger(avr_t *, const int level, const char *format, va_list args)
{
    if (level > LOG_ERROR)
        return;
    if (std::strstr(format, "RX buffer overrun") && countOverrun)
        countOverrun();
    std::vfprintf(stderr, format, args);
}

}  // namespace

std::string defaultFirmware()
{
    if (const char *path = std::getenv("TARVANE_FIRMWARE"); path && *path)
        return path;
    if (const char *dir = std::getenv("TARVANE_BIN_DIR"); dir && *dir)
        return std::string(dir) + "/tarvane-adapter.elf";
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<std::size_t>(n));
        return path.substr(0, path.rfind('/') + 1) + "tarvane-adapter.elf";
    }
    return "tarvane-adapter.elf";
}

// The simulated board: the AVR, its port registers as the target sees them, the model.
struct Simulator::Board {
    avr_t *avr = nullptr;
    Target target;
    std::uint8_t port[3] = {0, 0, 0};
    std::uint8_t ddr[3] = {0, 0, 0};
    avr_irq_t *uartIn = nullptr;
    avr_uart_t *uart = nullptr;
    // What the UART sent, not yet on the pty: each byte with the cycle it started at and the
    // bit time it went out with.
    struct Sent {
        std::uint8_t value;
        std::uint64_t cycle;
        std::uint32_t bitCycles;
    };
    std::vector<Sent> output;
    int rxOverruns = 0;  // bytes simavr's receiver dropped
    bool prescalerReset = false;  // PSRASY written since Timer2 last started
    bool timer2Running = false;
    int timer2Starts = 0, timer2StartsUnreset = 0;

    struct Hook {
        Board *board;
        int port;
        int kind;
    };
    Hook hooks[8];

    explicit Board(Chip chip) : target(std::move(chip)) {}
    ~Board()
    {
        if (avr) {
            avr_terminate(avr);
            std::free(avr);
        }
    }

    double ns() const { return double(avr->cycle) * 1e9 / frequency; }

    bool out(int p, int bit) const { return (ddr[p] >> bit & 1) && (port[p] >> bit & 1); }

    Lines lines() const
    {
        Lines l;
        l.vcc = out(C, 5);
        l.hv = out(C, 4);
        l.xtal1 = out(D, 2);
        l.xa0 = out(D, 3);
        l.xa1 = out(D, 4);
        l.bs1 = out(D, 5);
        l.bs2 = out(C, 0);
        l.pagel = out(C, 1);
        l.wr = out(C, 2);
        l.oe = out(C, 3);
        l.data = std::uint8_t((port[B] & 0x3F) | (port[D] & 0xC0));
        l.dataDriven = std::uint8_t((ddr[B] & 0x3F) | (ddr[D] & 0xC0));
        l.anyHigh = (port[C] & ddr[C] & 0x0F) || (port[D] & ddr[D] & 0xFC) || (port[B] & ddr[B] & 0x3F);
        return l;
    }

    // Puts what the chip drives into the PIN registers; the firmware reads them there.
    void applyDrive()
    {
        const double t = ns();
        const Target::Drive d = target.drive(t);
        if (!d.mask)
            return;
        const bool valid = t >= d.validAt;
        const std::uint8_t v = valid ? d.value : std::uint8_t(~d.value);
        avr->data[pinB] = std::uint8_t((avr->data[pinB] & ~0x3F) | (v & 0x3F));
        avr->data[pinD] = std::uint8_t((avr->data[pinD] & ~0xC0) | (v & 0xC0));
        if (!valid) {
            const auto cycles = static_cast<avr_cycle_count_t>((d.validAt - t) * frequency / 1e9) + 1;
            avr_cycle_timer_register(avr, cycles, &Board::driveTimer, this);
        }
    }

    static avr_cycle_count_t driveTimer(avr_t *, avr_cycle_count_t, void *param)
    {
        static_cast<Board *>(param)->applyDrive();
        return 0;
    }

    static void onIrq(avr_irq_t *, uint32_t value, void *param)
    {
        auto *h = static_cast<Hook *>(param);
        Board &b = *h->board;
        switch (h->kind) {
        case IOPORT_IRQ_REG_PORT:
            b.port[h->port] = std::uint8_t(value);
            break;
        case IOPORT_IRQ_DIRECTION_ALL:
            b.ddr[h->port] = std::uint8_t(value);
            break;
        case IOPORT_IRQ_REG_PIN:
            b.target.sample(b.ns());
            return;
        default:
            return;
        }
        b.target.update(b.ns(), b.lines());
        b.applyDrive();
    }

    static void onGtccr(avr_irq_t *, uint32_t value, void *param)
    {
        if (value & psrasy)
            static_cast<Board *>(param)->prescalerReset = true;
    }

    static void onTccr2b(avr_irq_t *, uint32_t value, void *param)
    {
        auto *b = static_cast<Board *>(param);
        const bool running = value & timer2Clock;
        if (running && !b->timer2Running) {
            ++b->timer2Starts;
            if (!b->prescalerReset)
                ++b->timer2StartsUnreset;
            b->prescalerReset = false;
        }
        b->timer2Running = running;
    }

    // The bit time the firmware set: UBRR0 and U2X0, 8 or 16 cycles per divider step.
    std::uint32_t bitCycles() const
    {
        const std::uint32_t ubrr = avr->data[ubrr0l] | std::uint32_t(avr->data[ubrr0h] & 0x0F) << 8;
        return (ubrr + 1) * ((avr->data[ucsr0a] & u2x0) ? 8 : 16);
    }

    static void onUartOut(avr_irq_t *, uint32_t value, void *param)
    {
        auto *b = static_cast<Board *>(param);
        b->output.push_back({std::uint8_t(value), b->avr->cycle, b->bitCycles()});
    }

    // simavr counts a parity bit in every frame (11 bit times for 8N1), so its receiver takes
    // a byte only every 11 bit times and its transmitter sends one as slowly, while the wire
    // brings one every 10: a long burst overran its receive FIFO ("RX buffer overrun"). The
    // byte time is set to the frame's 10 bits after every write of the divider.
    static void onUbrr(avr_irq_t *, uint32_t, void *param)
    {
        auto *b = static_cast<Board *>(param);
        if (b->uart)
            b->uart->cycles_per_byte = 10 * b->bitCycles();
    }

    bool load(const std::string &path, std::string *error)
    {
        avr_global_logger_set(quietLogger);
        countOverrun = [] {
            if (Board::current)
                ++Board::current->rxOverruns;
        };
        auto fw = std::make_unique<elf_firmware_t>();
        std::memset(fw.get(), 0, sizeof *fw);
        if (::access(path.c_str(), R_OK) != 0 || elf_read_firmware(path.c_str(), fw.get()) != 0) {
            *error = "cannot read the firmware " + path;
            return false;
        }
        avr = avr_make_mcu_by_name("atmega328p");
        if (!avr) {
            *error = "simavr has no atmega328p";
            return false;
        }
        avr_init(avr);
        avr->log = LOG_ERROR;
        avr_load_firmware(avr, fw.get());
        std::free(fw->flash);
        std::free(fw->eeprom);
        std::free(fw->fuse);
        std::free(fw->lockbits);
#if ELF_SYMBOLS
        for (std::uint32_t i = 0; i < fw->symbolcount; ++i)
            std::free(fw->symbol[i]);
        std::free(fw->symbol);
#endif
        avr->frequency = frequency;
        // Our own pacing replaces simavr's sleeping in real time while the CPU sleeps.
        avr->sleep = noSleep;
        // INT0/INT1 would otherwise be polled as level interrupts on PD2/PD3 (XTAL1, XA0)
        // at every cycle, which makes the simulation several times slower.
        avr_extint_set_strict_lvl_trig(avr, 0, 0);
        avr_extint_set_strict_lvl_trig(avr, 1, 0);
        // No 1 us host sleep on every idle status poll, no echo of the UART to stdout.
        std::uint32_t flags = 0;
        avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
        flags &= ~std::uint32_t(AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO);
        avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);

        const char names[3] = {'B', 'C', 'D'};
        int n = 0;
        for (int p = 0; p < 3; ++p) {
            for (int kind : {IOPORT_IRQ_REG_PORT, IOPORT_IRQ_DIRECTION_ALL}) {
                hooks[n] = {this, p, kind};
                avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ(names[p]), kind), &Board::onIrq,
                                        &hooks[n]);
                ++n;
            }
        }
        for (int p : {B, D}) {
            hooks[n] = {this, p, IOPORT_IRQ_REG_PIN};
            avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ(names[p]), IOPORT_IRQ_REG_PIN),
                                    &Board::onIrq, &hooks[n]);
            ++n;
        }
        avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), &Board::onUartOut,
                                this);
        // Every write, also of an unchanged value: a prescaler reset is written the same each time.
        for (auto [addr, handler] : {std::pair{gtccr, &Board::onGtccr}, std::pair{tccr2b, &Board::onTccr2b}}) {
            avr_irq_t *irq = avr_iomem_getirq(avr, addr, nullptr, AVR_IOMEM_IRQ_ALL);
            irq->flags &= ~IRQ_FLAG_FILTERED;
            avr_irq_register_notify(irq, handler, this);
        }
        uartIn = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
        for (avr_io_t *io = avr->io_port; io; io = io->next)
            if (io->irq_ioctl_get == AVR_IOCTL_UART_GETIRQ('0'))
                uart = reinterpret_cast<avr_uart_t *>(io);
        for (std::uint16_t addr : {ubrr0l, ubrr0h}) {
            avr_irq_t *irq = avr_iomem_getirq(avr, addr, nullptr, AVR_IOMEM_IRQ_ALL);
            irq->flags &= ~IRQ_FLAG_FILTERED;
            avr_irq_register_notify(irq, &Board::onUbrr, this);
        }
        return true;
    }

    // The host's bytes as they came from the pty: each read with the host's rate then and the
    // cycle it may start on the wire.
    std::deque<Chunk> *chunks = nullptr;
    // What the UART receives of the chunk on the wire: value (with simavr's framing error
    // flag) and the cycle it is complete.
    std::deque<std::pair<std::uint16_t, std::uint64_t>> frames;
    std::uint64_t wireFree = 0;  // the host's line is busy until then
    bool feeding = false;

    // The next chunk onto the wire, as the UART receives it at the rate the firmware has set
    // when the chunk's first start bit comes.
    void nextChunk()
    {
        while (frames.empty() && !chunks->empty()) {
            const Chunk chunk = std::move(chunks->front());
            chunks->pop_front();
            const std::uint64_t start = std::max({chunk.at, wireFree, std::uint64_t(avr->cycle)});
            const double senderBit = chunk.hostBaud > 0 ? double(frequency) / chunk.hostBaud : 1e12;
            for (const Frame &f : resample(chunk.bytes, senderBit, bitCycles()))
                frames.emplace_back(std::uint16_t(f.value | (f.framingError ? UART_INPUT_FE : 0)),
                                    start + std::uint64_t(std::ceil(f.at)));
            wireFree = start + std::uint64_t(std::ceil(chunk.bytes.size() * 10 * senderBit));
        }
    }

    // Received bytes enter the UART from a cycle timer at their times on the wire: the timer
    // also ends a sleep of the simulated CPU, which would otherwise skip past them.
    static avr_cycle_count_t feedTimer(avr_t *avr, avr_cycle_count_t, void *param)
    {
        auto *b = static_cast<Board *>(param);
        for (;;) {
            if (b->frames.empty()) {
                if (b->chunks->empty()) {
                    b->feeding = false;
                    return 0;
                }
                // Decoded when its first start bit comes, at the rate the UART has then.
                const std::uint64_t start = std::max(b->chunks->front().at, b->wireFree);
                if (start > avr->cycle)
                    return start;
                b->nextChunk();
                continue;
            }
            if (b->frames.front().second > avr->cycle)
                return b->frames.front().second;
            avr_raise_irq(b->uartIn, b->frames.front().first);
            b->frames.pop_front();
        }
    }

    // Runs until the cycle `until`. What the UART sends meanwhile goes to the pty in one
    // write afterwards, so that a reply made ahead of time reaches the host without gaps.
    // False if the firmware stopped.
    bool run(std::uint64_t until, std::deque<Chunk> &pending)
    {
        chunks = &pending;
        if (!feeding && (!frames.empty() || !chunks->empty())) {
            feeding = true;
            avr_cycle_timer_register(avr, 1, &Board::feedTimer, this);
        }
        current = this;
        while (avr->cycle < until) {
            const int state = avr_run(avr);
            if (state == cpu_Done || state == cpu_Crashed) {
                current = nullptr;
                return false;
            }
        }
        current = nullptr;
        return true;
    }

    static std::vector<std::uint8_t> toHost(const std::vector<Sent> &sent, const Host &host);

    static thread_local Board *current;  // the board running on this thread, for the logger
};

thread_local Simulator::Board *Simulator::Board::current = nullptr;

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(std::string *error, const std::string &linkPath)
{
    std::string reason;
    const auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    if (thread_.joinable())
        return fail("the simulator is already running");
    board_ = std::make_unique<Board>(options_.chip);
    if (!board_->load(options_.firmware.empty() ? defaultFirmware() : options_.firmware, &reason))
        return fail(reason);

    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        return fail(systemError("posix_openpt"));
    if (!addFlags(master_, F_GETFD, F_SETFD, FD_CLOEXEC) || !addFlags(master_, F_GETFL, F_SETFL, O_NONBLOCK))
        return fail(systemError("fcntl"));
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return fail(systemError("grantpt"));
    const char *name = ::ptsname(master_);
    if (!name)
        return fail(systemError("ptsname"));
    const std::string path = name;
    // Held open for the board's whole life: the program opens and closes the port for
    // every command, and without a slave left open the master would see a hang-up.
    slaveHold_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0)
        return fail(systemError(path));
    termios tio{};
    if (::tcgetattr(slaveHold_, &tio) != 0)
        return fail(systemError("tcgetattr"));
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(slaveHold_, TCSANOW, &tio) != 0)
        return fail(systemError("tcsetattr"));
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(systemError("pipe"));
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    {
        std::lock_guard lock(mutex_);
        devicePath_ = path;
    }
    if (!linkPath.empty()) {
        struct stat st{};
        if (::lstat(linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return fail(linkPath + ": exists and is not a symbolic link");
            ::unlink(linkPath.c_str());
        }
        if (::symlink(path.c_str(), linkPath.c_str()) != 0)
            return fail(systemError(linkPath));
        linkPath_ = linkPath;
    }
    running_ = true;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void Simulator::stop()
{
    if (running_.exchange(false) && wakeWrite_ >= 0) {
        const char c = 'x';
        [[maybe_unused]] auto ignored = ::write(wakeWrite_, &c, 1);
    }
    if (thread_.joinable())
        thread_.join();
    if (!linkPath_.empty())
        ::unlink(linkPath_.c_str());
    linkPath_.clear();
    closeFd(master_);
    closeFd(slaveHold_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
}

std::string Simulator::devicePath() const
{
    std::lock_guard lock(mutex_);
    return devicePath_;
}

std::vector<std::string> Simulator::log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

void Simulator::clearLog()
{
    std::lock_guard lock(mutex_);
    log_.clear();
}

Chip Simulator::chip() const
{
    std::lock_guard lock(mutex_);
    return board_ ? board_->target.chip() : options_.chip;
}

void Simulator::setChip(const Chip &chip)
{
    std::lock_guard lock(mutex_);
    options_.chip = chip;
    if (board_)
        board_->target.setChip(chip);
}

std::vector<std::string> Simulator::ruleBreaks() const
{
    std::lock_guard lock(mutex_);
    return board_ ? board_->target.breaks() : std::vector<std::string>{};
}

void Simulator::clearRuleBreaks()
{
    std::lock_guard lock(mutex_);
    if (board_)
        board_->target.clearBreaks();
}

Stats Simulator::stats() const
{
    std::lock_guard lock(mutex_);
    Stats s;
    if (board_ && board_->avr) {
        s.simulatedSeconds = double(board_->avr->cycle) / frequency;
        const Target &t = board_->target;
        s.ownEntries = t.ownEntries();
        s.newEntries = t.newEntries();
        s.fallbackEntries = t.fallbackEntries();
        s.refusedEntries = t.refusedEntries();
        s.linesHighAtHv = t.linesHighAtHv();
        s.pagesProgrammed = t.pagesProgrammed();
        s.eepromWrites = t.eepromWrites();
        s.rxOverruns = board_->rxOverruns;
        s.boardBaud = int(frequency / board_->bitCycles());
        s.hostBaud = host().baud;
        s.wordsLatched = t.wordsLatched();
        s.timer2Starts = board_->timer2Starts;
        s.timer2StartsUnreset = board_->timer2StartsUnreset;
        s.lineRises = t.rises();
        s.vccOn = t.lines().vcc;
        s.hvOn = t.lines().hv;
        s.worstLagMs = worstLagMs_;
    }
    return s;
}

void Simulator::setLogHandler(std::function<void(const std::string &)> handler)
{
    logHandler_ = std::move(handler);
}

void Simulator::setStreamEndHandler(std::function<void(const Chip &)> handler)
{
    streamEndHandler_ = std::move(handler);
}

void Simulator::addLog(std::string line)
{
    {
        std::lock_guard lock(mutex_);
        log_.push_back(line);
    }
    if (logHandler_)
        logHandler_(line);
}

// The host's side of the pty: its output rate and input flags (the pty's termios is one for
// all its openers, so the descriptor held here sees what the host set).
Simulator::Host Simulator::host() const
{
    Host h;
    termios tio{};
    if (slaveHold_ >= 0 && ::tcgetattr(slaveHold_, &tio) == 0) {
        h.baud = baudOf(::cfgetospeed(&tio));
        h.iflag = unsigned(tio.c_iflag);
        if (options_.bridgeMaxBaud > 0 && h.baud > options_.bridgeMaxBaud)
            h.baud = options_.bridgeMaxBaud;
    }
    return h;
}

// Cuts the host's bytes into blocks and data for the log, as the firmware does: a cmdWritePage
// block's page data, a cmdExtWrite block's N bytes.
void Simulator::takeInput(const std::uint8_t *bytes, std::size_t count, std::uint64_t at)
{
    const auto now = std::chrono::steady_clock::now();
    // Page data may follow its acknowledgement after up to 2 s, as in the firmware.
    const auto gap = dataLeft_ && data_.empty() && dataAfterAck_ ? std::chrono::milliseconds(2000)
                     : dataLeft_                                 ? dataGap
                                                                 : blockGap;
    if ((!part_.empty() || dataLeft_) && now - lastInput_ > gap) {
        part_.clear();
        data_.clear();
        dataLeft_ = 0;
    }
    lastInput_ = now;
    input_.push_back({std::vector<std::uint8_t>(bytes, bytes + count), host().baud, at});
    for (std::size_t i = 0; i < count; ++i) {
        if (dataLeft_) {
            data_.push_back(bytes[i]);
            if (--dataLeft_ == 0) {
                addLog(hexLine("data", data_.data(), data_.size()));
                data_.clear();
            }
            continue;
        }
        part_.push_back(bytes[i]);
        if (part_.size() < 8)
            continue;
        addLog(hexLine("block", part_.data(), part_.size()));
        dataAfterAck_ = part_[0] == 5;
        if (part_[0] == 5)
            dataLeft_ = part_[1];
        if (part_[0] == 0x13)
            dataLeft_ = part_[5] ? part_[5] : 256;
        if (part_[0] == 0) {
            std::lock_guard lock(mutex_);
            endsAt_.push_back(board_->avr->cycle + streamEndCycles);
        }
        part_.clear();
    }
}

// What the host's UART makes of the board's bytes: sampled at the host's rate (resample), and
// a byte with a framing error passed on as Linux's line discipline does: as it came without
// INPCK, else dropped (IGNPAR), marked FF 00 (PARMRK) or as 00.
std::vector<std::uint8_t> Simulator::Board::toHost(const std::vector<Sent> &sent, const Host &host)
{
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i < sent.size()) {
        // A run of bytes sent back to back at one rate.
        std::size_t j = i + 1;
        while (j < sent.size() && sent[j].bitCycles == sent[i].bitCycles
               && sent[j].cycle <= sent[j - 1].cycle + 11 * sent[j].bitCycles)
            ++j;
        std::vector<std::uint8_t> bytes;
        for (std::size_t k = i; k < j; ++k)
            bytes.push_back(sent[k].value);
        const double hostBit = host.baud > 0 ? double(frequency) / host.baud : 1e12;
        for (const Frame &f : resample(bytes, sent[i].bitCycles, hostBit)) {
            if (!f.framingError || !(host.iflag & INPCK)) {
                out.push_back(f.value);
            } else if (host.iflag & IGNPAR) {
            } else if (host.iflag & PARMRK) {
                out.insert(out.end(), {0xFF, 0x00, f.value});
            } else {
                out.push_back(0x00);
            }
        }
        i = j;
    }
    return out;
}

void Simulator::serve()
{
    using Clock = std::chrono::steady_clock;
    // Best effort: a board that keeps its pace matters more than a build beside it. The
    // lowest real-time priority where that is allowed (the thread sleeps between its
    // steps, and the kernel's real-time throttling bounds it anyway), else a nicer nice.
    const sched_param realtime{1};
    if (::pthread_setschedparam(::pthread_self(), SCHED_RR, &realtime) != 0)
        [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, 0, -5);
#ifdef __linux__
    // Its waits are 100 us steps: Linux's default timer slack of 50 us would stretch them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    // Simulated time is anchored to the wall clock. When the host sends while the board
    // is ahead, the anchor moves to now, so that the answer can again run up to aheadUs
    // ahead: it is then made in one burst, and a stall of this process does not open a gap.
    auto wallAnchor = Clock::now();
    std::uint64_t cycleAnchor;
    {
        std::lock_guard lock(mutex_);
        cycleAnchor = board_->avr->cycle;
    }
    const auto paced = [&](Clock::time_point at) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at - wallAnchor).count();
        return cycleAnchor + std::uint64_t(double(std::max<std::int64_t>(ns, 0)) * frequency / 1e9);
    };
    std::vector<std::uint8_t> pending;  // UART output the pty has not taken yet
    bool alive = true;
    while (running_) {
        std::uint8_t buf[512];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                break;
            const auto now = Clock::now();
            if (board_->avr->cycle > paced(now)) {
                wallAnchor = now;
                cycleAnchor = board_->avr->cycle;
            }
            // On the wire from now on; a board that lags behind the wall clock meets the bytes
            // at their time, not all at once as it catches up.
            takeInput(buf, static_cast<std::size_t>(n), std::max<std::uint64_t>(board_->avr->cycle, paced(now)));
        }

        const std::uint64_t target = paced(Clock::now()) + std::uint64_t(options_.aheadUs) * (frequency / 1000000);
        std::vector<Chip> ended;
        bool caughtUp;
        {
            std::lock_guard lock(mutex_);
            const std::uint64_t due = paced(Clock::now());
            if (board_->avr->cycle < due)
                worstLagMs_ = std::max(worstLagMs_, double(due - board_->avr->cycle) * 1e3 / frequency);
            if (alive)
                alive = board_->run(target, input_);
            caughtUp = !alive || board_->avr->cycle >= target;
            // A byte reaches the host once its stop bit has left, not as the firmware writes it
            // to the UART: a host that reacts to a reply meets the board as it is after it.
            auto &out = board_->output;
            std::size_t done = 0;
            while (done < out.size() && out[done].cycle + 10ull * out[done].bitCycles <= board_->avr->cycle)
                ++done;
            if (done) {
                const std::vector<Board::Sent> leaving(out.begin(), out.begin() + std::ptrdiff_t(done));
                const std::vector<std::uint8_t> sent = Board::toHost(leaving, host());
                pending.insert(pending.end(), sent.begin(), sent.end());
                out.erase(out.begin(), out.begin() + std::ptrdiff_t(done));
            }
            while (!endsAt_.empty() && endsAt_.front() <= board_->avr->cycle) {
                endsAt_.erase(endsAt_.begin());
                ended.push_back(board_->target.chip());
            }
        }
        if (!pending.empty()) {
            const ssize_t n = ::write(master_, pending.data(), pending.size());
            if (n > 0)
                pending.erase(pending.begin(), pending.begin() + n);
        }
        for (const Chip &c : ended)
            if (streamEndHandler_)
                streamEndHandler_(c);
        if (caughtUp) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
            const timespec step{0, 100000};
            ::ppoll(fds, 2, &step, nullptr);
        }
    }
}

}  // namespace hvsim
