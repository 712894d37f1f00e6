// SPDX-License-Identifier: GPL-3.0-or-later
#include "adaptersim.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

namespace adaptersim {

namespace {

constexpr std::uint8_t cmdEnd = 0;
constexpr std::uint8_t cmdWriteFuses = 2;
constexpr std::uint8_t cmdWriteLocks = 3;
constexpr std::uint8_t cmdChipErase = 4;
constexpr std::uint8_t cmdWritePage = 5;
constexpr std::uint8_t cmdReadBlock = 6;
constexpr std::uint8_t cmdReadWord = 7;

constexpr std::size_t blockSize = 8;
constexpr std::size_t readBlockSize = 128;
constexpr std::size_t readWordSize = 2;

// One byte at 115200 baud, 8N1: start bit, 8 data bits, stop bit.
constexpr std::chrono::nanoseconds byteTime{86806};
// The program purges the line before each block, so input that stalls this long will
// never be completed: it is dropped and the next byte starts a fresh block.
constexpr std::chrono::milliseconds resyncGap{100};

std::string hexLine(const char *tag, const std::uint8_t *bytes, std::size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string line(tag);
    line.reserve(line.size() + 3 * count);
    for (std::size_t i = 0; i < count; ++i) {
        line += ' ';
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0x0F];
    }
    return line;
}

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

bool setCloseOnExec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

bool bridgeModel(const std::string &name, Bridge *bridge)
{
    // A USB full-speed control transfer is taken to cost 1 ms (one frame).
    Bridge b;
    if (name == "ftdi-16ms" || name == "ftdi-1ms") {
        b.latencyUs = name == "ftdi-16ms" ? 16000 : 1000;
        b.packet = 62;      // 64-byte packets, 2 of them modem status
        b.openUs = 5000;    // ftdi_sio open: reset, baud rate, data format, flow control, DTR/RTS
        b.setupUs = 3000;   // tcsetattr: baud rate, data format, flow control
        b.purgeUs = 0;      // tcflush empties the kernel's buffers only
    } else if (name == "ch340") {
        b.latencyUs = 1000;  // no timer to set; taken as 1 ms
        b.packet = 32;       // 32-byte bulk packets
        b.openUs = 8000;     // ch341 open: version, init, baud rate, line control, handshake ...
        b.setupUs = 3000;    // tcsetattr: baud rate, line control, modem lines
        b.purgeUs = 0;
    } else {
        return false;
    }
    *bridge = b;
    return true;
}

// Everything but the chip: copying the Flash for every block would cost a verify dearly.
struct Simulator::Behaviour {
    bool silent = false;
    int shortCode = -1;
    int shortCount = 0;
    bool noAck = false;
    bool wirePaced = false;
    int pageWriteUs = 0;
    int eraseUs = 0;
    int fuseWriteUs = 0;
    ReplyFault fault;
    bool faulted = false;  // this command's reply is the one the fault hits
    Bridge bridge;

    // How many of the `count` bytes that answer command `code` go out.
    std::size_t sent(std::uint8_t code, std::size_t count) const
    {
        if (silent)
            return 0;
        if (code == shortCode)
            return std::min(count, static_cast<std::size_t>(std::max(shortCount, 0)));
        return count;
    }
    // How many of the two acknowledgements of a page go out.
    std::size_t acknowledgements() const { return noAck ? 0 : sent(cmdWritePage, 2); }
};

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(std::string *error, const std::string &linkPath)
{
    if (thread_.joinable()) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    const auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        cleanUp();
        return false;
    };

    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        return fail(systemError("posix_openpt"));
    if (!setCloseOnExec(master_) || !setNonBlocking(master_))
        return fail(systemError("fcntl"));
    if (::grantpt(master_) != 0)
        return fail(systemError("grantpt"));
    if (::unlockpt(master_) != 0)
        return fail(systemError("unlockpt"));
    const char *name = ::ptsname(master_);
    if (!name)
        return fail(systemError("ptsname"));
    const std::string path = name;

    // Held for the simulator's whole life: the program opens and closes the port for every
    // command, and without a slave left open the master would see a hang-up in between.
    slaveHold_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0)
        return fail(systemError(path));
    termios tio{};
    if (::tcgetattr(slaveHold_, &tio) != 0)
        return fail(systemError("tcgetattr"));
    ::cfmakeraw(&tio);
    tio.c_cflag |= HUPCL;  // as USB serial ports come; a pty starts without it
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(slaveHold_, TCSANOW, &tio) != 0)
        return fail(systemError("tcsetattr"));

    int wake[2];
    if (::pipe(wake) != 0)
        return fail(systemError("pipe"));
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    if (!setCloseOnExec(wakeRead_) || !setCloseOnExec(wakeWrite_) || !setNonBlocking(wakeWrite_))
        return fail(systemError("fcntl"));

    {
        std::lock_guard lock(mutex_);
        devicePath_ = path;
        faultHits_ = 0;
        bridgeCounts_ = {};
    }

    // The bridge's costs need to see the program's opens, set-ups and purges: opens through
    // inotify on the device, set-ups and purges through the master's packet mode, which
    // reports every tcsetattr of the slave while EXTPROC is set, and every flush.
    const Bridge bridge = options().bridge;
    packetMode_ = bridge.setupUs > 0 || bridge.purgeUs > 0;
    if (packetMode_ || bridge.openUs > 0) {
#ifdef __linux__
        if (packetMode_) {
            tio.c_lflag |= EXTPROC;
            if (::tcsetattr(slaveHold_, TCSANOW, &tio) != 0)
                return fail(systemError("tcsetattr"));
            int one = 1;
            if (::ioctl(master_, TIOCPKT, &one) != 0)
                return fail(systemError("TIOCPKT"));
        }
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ < 0 || ::inotify_add_watch(inotify_, path.c_str(), IN_OPEN) < 0)
            return fail(systemError("inotify"));
#else
        return fail("the bridge costs need Linux");
#endif
    }

    if (!linkPath.empty()) {
        struct stat st{};
        if (::lstat(linkPath.c_str(), &st) == 0) {
            // Only a link is ours to replace (a stale one from an earlier run, say).
            if (!S_ISLNK(st.st_mode))
                return fail(linkPath + ": exists and is not a symbolic link");
            if (::unlink(linkPath.c_str()) != 0)
                return fail(systemError(linkPath));
        } else if (errno != ENOENT) {
            return fail(systemError(linkPath));
        }
        if (::symlink(path.c_str(), linkPath.c_str()) != 0)
            return fail(systemError(linkPath));
        linkPath_ = linkPath;
    }

    address_ = 0;
    latchLoaded_ = false;
    lineFreeAt_ = {};
    blocksSeen_ = 0;
    owedUs_ = 0;
    running_ = true;
    try {
        thread_ = std::thread(&Simulator::serve, this);
    } catch (const std::system_error &e) {
        running_ = false;
        return fail(std::string("thread: ") + e.what());
    }
    return true;
}

void Simulator::stop()
{
    if (thread_.joinable()) {
        running_ = false;
        const char wake = 0;
        if (::write(wakeWrite_, &wake, 1) < 0) {
            // The pipe holds at most this one byte; the flag is seen at the next wait anyway.
        }
        thread_.join();
    }
    cleanUp();
}

void Simulator::cleanUp()
{
    std::string path;
    {
        std::lock_guard lock(mutex_);
        path.swap(devicePath_);
    }
    if (!linkPath_.empty()) {
        // Leave the link alone if someone has pointed it elsewhere meanwhile.
        char target[PATH_MAX];
        const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == path)
            ::unlink(linkPath_.c_str());
        linkPath_.clear();
    }
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    closeFd(inotify_);
    packetMode_ = false;
    closeFd(slaveHold_);
    closeFd(master_);
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
    return options_.chip;
}

void Simulator::setChip(const Chip &chip)
{
    std::lock_guard lock(mutex_);
    options_.chip = chip;
}

Options Simulator::options() const
{
    std::lock_guard lock(mutex_);
    return options_;
}

void Simulator::setOptions(const Options &options)
{
    std::lock_guard lock(mutex_);
    options_ = options;
    faultHits_ = 0;
}

BridgeCounts Simulator::bridgeCounts() const
{
    std::lock_guard lock(mutex_);
    return bridgeCounts_;
}

void Simulator::setLogHandler(std::function<void(const std::string &)> handler)
{
    std::lock_guard lock(mutex_);
    logHandler_ = std::move(handler);
}

void Simulator::setStreamEndHandler(std::function<void(const Chip &)> handler)
{
    std::lock_guard lock(mutex_);
    streamEndHandler_ = std::move(handler);
}

Simulator::Behaviour Simulator::behaviour() const
{
    std::lock_guard lock(mutex_);
    Behaviour b;
    b.silent = options_.silent;
    b.shortCode = options_.shortCode;
    b.shortCount = options_.shortCount;
    b.noAck = options_.noAck;
    b.wirePaced = options_.wirePaced;
    b.pageWriteUs = options_.pageWriteUs;
    b.eraseUs = options_.eraseUs;
    b.fuseWriteUs = options_.fuseWriteUs;
    b.fault = options_.fault;
    b.bridge = options_.bridge;
    return b;
}

void Simulator::addLog(std::string line)
{
    std::function<void(const std::string &)> handler;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(line);
        handler = logHandler_;
    }
    if (handler)
        handler(line);
}

std::array<std::uint8_t, 8> Simulator::chipReply(std::uint8_t code) const
{
    std::lock_guard lock(mutex_);
    const Chip &c = options_.chip;
    return {code, c.signature[0], c.signature[1], c.signature[2],
            c.lowFuse, c.highFuse, c.extFuse, c.lock};
}

bool Simulator::waitUntil(Clock::time_point when)
{
    using namespace std::chrono;
    for (;;) {
        if (!running_)
            return false;
        const auto left = when - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        if (left > milliseconds(2)) {
            // Long waits (programming times) must not hold up stop().
            pollfd wake{wakeRead_, POLLIN, 0};
            const auto ms = duration_cast<milliseconds>(left).count() - 1;
            if (::poll(&wake, 1, static_cast<int>(std::min<long long>(ms, INT_MAX))) > 0)
                return false;
        } else {
            std::this_thread::sleep_until(when);
        }
    }
}

bool Simulator::send(const std::uint8_t *bytes, std::size_t count, const Behaviour &b)
{
    const Bridge &bridge = b.bridge;
    if (bridge.latencyUs <= 0 || count == 0)
        return sendNow(bytes, count, b.wirePaced);
    // The bytes reach the bridge at wire speed (or at once); a packet goes on when it is
    // full, the rest when the latency timer, started by the first byte held, runs out.
    const std::size_t packet = static_cast<std::size_t>(std::max(bridge.packet, 1));
    Clock::time_point at = std::max(Clock::now(), lineFreeAt_);
    Clock::time_point heldSince{};
    std::size_t held = 0, start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (b.wirePaced)
            at += byteTime;
        if (held == 0)
            heldSince = b.wirePaced ? at : Clock::now();
        if (++held == packet) {
            if (!waitUntil(at) || !sendNow(bytes + start, held, false))
                return false;
            start += held;
            held = 0;
        }
    }
    if (b.wirePaced)
        lineFreeAt_ = at;
    if (held > 0 && (!waitUntil(heldSince + std::chrono::microseconds(bridge.latencyUs))
                     || !sendNow(bytes + start, held, false)))
        return false;
    return running_;
}

bool Simulator::sendReply(const std::uint8_t *bytes, std::size_t count, std::size_t allowed, const Behaviour &b)
{
    allowed = std::min(allowed, count);
    if (!b.faulted)
        return send(bytes, allowed, b);
    const std::size_t first = std::min(allowed, static_cast<std::size_t>(std::max(b.fault.before, 0)));
    if (!send(bytes, first, b))
        return false;
    if (b.fault.holdUs < 0)
        return running_;  // the rest is lost
    if (!waitUntil(Clock::now() + std::chrono::microseconds(b.fault.holdUs)))
        return false;
    return send(bytes + first, allowed - first, b);
}

void Simulator::takeBridgeEvents(const std::uint8_t *status, bool fromInotify, std::size_t count)
{
    const Bridge bridge = options().bridge;
    std::lock_guard lock(mutex_);
    if (fromInotify) {
        bridgeCounts_.opens += static_cast<long>(count);
        owedUs_ += static_cast<long>(count) * bridge.openUs;
        return;
    }
    // One status byte may stand for several calls made before the simulator read it; the
    // program makes at most one set-up and one purge per command.
    if (*status & TIOCPKT_IOCTL) {
        ++bridgeCounts_.setups;
        owedUs_ += bridge.setupUs;
    }
    // A purge of both directions may come as two status bytes: count the input side only.
    if (*status & TIOCPKT_FLUSHREAD) {
        ++bridgeCounts_.purges;
        owedUs_ += bridge.purgeUs;
    }
}

bool Simulator::sendNow(const std::uint8_t *bytes, std::size_t count, bool wirePaced)
{
    // Paced bytes leave on an absolute schedule, each arriving one byte time after the
    // previous one, so that scheduling delays do not add up.
    Clock::time_point at = std::max(Clock::now(), lineFreeAt_);
    std::size_t done = 0;
    while (done < count) {
        std::size_t chunk = count - done;
        if (wirePaced) {
            at += byteTime;
            if (!waitUntil(at))
                return false;
            chunk = 1;
        }
        const ssize_t n = ::write(master_, bytes + done, chunk);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd fds[2] = {{master_, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return running_;
            if (fds[1].revents)
                return false;
            continue;
        }
        break;  // the line is gone: the rest of the reply is lost, as on a pulled cable
    }
    if (wirePaced)
        lineFreeAt_ = at;
    return running_;
}

void Simulator::loadPage(const std::uint8_t *bytes, std::size_t count)
{
    std::size_t pageSize;
    {
        std::lock_guard lock(mutex_);
        pageSize = options_.chip.pageSize;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = address_ + i;
        if (pageSize == 0) {
            latch_.assign(1, bytes[i]);
            latchedPage_ = at;
            latchLoaded_ = true;
            programLatch();
            continue;
        }
        const std::size_t page = at / pageSize;
        if (latchLoaded_ && page != latchedPage_)
            programLatch();
        if (!latchLoaded_) {
            latch_.assign(pageSize, 0xFF);
            latchedPage_ = page;
            latchLoaded_ = true;
        }
        latch_[at % pageSize] = bytes[i];
        if (at % pageSize == pageSize - 1)
            programLatch();
    }
}

void Simulator::programLatch()
{
    if (!latchLoaded_)
        return;
    latchLoaded_ = false;
    // Programming without erase can only clear bits; past the end nothing sticks.
    std::lock_guard lock(mutex_);
    auto &flash = options_.chip.flash;
    const std::size_t base = latchedPage_ * latch_.size();
    for (std::size_t i = 0; i < latch_.size(); ++i)
        if (base + i < flash.size())
            flash[base + i] &= latch_[i];
}

void Simulator::serve()
{
    using namespace std::chrono;
#ifdef __linux__
    // Paced bytes are a byte time (86.8 us) apart; the default timer slack of 50 us would
    // stretch every wait by most of that.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
#endif

    std::vector<std::uint8_t> part;       // the block or page data being collected
    std::size_t need = blockSize;         // its length
    bool inPage = false;                  // collecting the data of a cmdWritePage
    Behaviour page;                       // the options of that page's block
    Clock::time_point firstAt{};          // arrival of the first byte of `part`
    Clock::time_point lastAt{};           // arrival of the latest input
    std::deque<std::uint8_t> backlog;     // received, not yet taken into `part`

    const auto fresh = [&] {
        part.clear();
        need = blockSize;
        inPage = false;
    };

    while (running_) {
        while (!backlog.empty() && part.size() < need) {
            if (part.empty())
                firstAt = lastAt;
            part.push_back(backlog.front());
            backlog.pop_front();
        }

        if (part.size() == need && inPage) {
            if (page.wirePaced && !waitUntil(firstAt + need * byteTime))
                break;
            addLog(hexLine("data", part.data(), part.size()));
            loadPage(part.data(), part.size());
            address_ += part.size();
            fresh();
            if (!waitUntil(Clock::now() + microseconds(page.pageWriteUs)))
                break;
            if (page.acknowledgements() >= 2 && !send(&ackChar, 1, page))
                break;
            continue;
        }

        if (part.size() == need) {
            long owed = 0;
            // Fixed before the line is logged: whoever sees the line may change the options
            // for the next block without touching this one.
            Behaviour b = behaviour();
            if (b.wirePaced && !waitUntil(firstAt + blockSize * byteTime))
                break;
            std::array<std::uint8_t, blockSize> block{};
            std::copy(part.begin(), part.end(), block.begin());
            {
                std::lock_guard lock(mutex_);
                const ReplyFault &f = b.fault;
                if (f.block >= 0)
                    b.faulted = f.block == blocksSeen_;
                else if (f.code >= 0 && f.code == block[0] && faultHits_ < f.times)
                    b.faulted = f.address < 0 || static_cast<std::size_t>(f.address) == address_;
                if (b.faulted && f.block < 0)
                    ++faultHits_;
                owed = owedUs_;
                owedUs_ = 0;
            }
            ++blocksSeen_;
            // What the bridge spent on the program's open, set-up and purge delays the block.
            if (owed > 0 && !waitUntil(Clock::now() + microseconds(owed)))
                break;
            addLog(hexLine("block", block.data(), block.size()));
            fresh();
            const std::uint8_t code = block[0];
            // Any command but a further page write ends the loading of the page buffer.
            if (code != cmdWritePage)
                programLatch();

            if (code == cmdWritePage) {
                if (b.acknowledgements() >= 1 && !send(&ackChar, 1, b))
                    break;
                if (block[1] != 0) {
                    inPage = true;
                    need = block[1];
                    page = b;
                }
                continue;
            }

            if (code == cmdReadBlock || code == cmdReadWord) {
                const std::size_t size = code == cmdReadBlock ? readBlockSize : readWordSize;
                std::vector<std::uint8_t> out(size, 0xFF);
                {
                    std::lock_guard lock(mutex_);
                    const auto &flash = options_.chip.flash;
                    for (std::size_t i = 0; i < size; ++i)
                        if (address_ + i < flash.size())
                            out[i] = flash[address_ + i];
                }
                address_ += size;
                if (!sendReply(out.data(), size, b.sent(code, size), b))
                    break;
                continue;
            }

            int programUs = 0;
            std::function<void(const Chip &)> streamEnd;
            {
                std::lock_guard lock(mutex_);
                Chip &c = options_.chip;
                switch (code) {
                case cmdEnd:
                    address_ = 0;
                    streamEnd = streamEndHandler_;
                    break;
                case cmdWriteFuses:
                    c.lowFuse = block[4];
                    c.highFuse = block[5];
                    c.extFuse = block[6];
                    programUs = b.fuseWriteUs;
                    break;
                case cmdWriteLocks:
                    // Lock bits can only be programmed; an erase is the way back.
                    c.lock &= block[7];
                    programUs = b.fuseWriteUs;
                    break;
                case cmdChipErase:
                    std::fill(c.flash.begin(), c.flash.end(), std::uint8_t{0xFF});
                    c.lock = 0xFF;
                    programUs = b.eraseUs;
                    break;
                default:
                    break;  // cmdReadChip and unknown codes only read
                }
            }
            if (streamEnd)
                streamEnd(chip());
            if (programUs > 0 && !waitUntil(Clock::now() + microseconds(programUs)))
                break;
            const auto reply = chipReply(code);
            if (!sendReply(reply.data(), reply.size(), b.sent(code, reply.size()), b))
                break;
            continue;
        }

        int timeout = -1;
        if (!part.empty()) {
            const auto left = lastAt + resyncGap - Clock::now();
            if (left <= Clock::duration::zero()) {
                fresh();
                continue;
            }
            timeout = static_cast<int>(ceil<milliseconds>(left).count());
        }
        pollfd fds[3] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        const int ready = ::poll(fds, inotify_ >= 0 ? 3 : 2, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (ready == 0)
            continue;  // time-out: the partial input is dropped above
#ifdef __linux__
        // An open comes before anything the program sends after it: take the opens first.
        if (inotify_ >= 0) {
            alignas(inotify_event) char events[4096];
            ssize_t n;
            while ((n = ::read(inotify_, events, sizeof events)) > 0) {
                std::size_t opens = 0;
                for (ssize_t at = 0; at < n;) {
                    const auto *event = reinterpret_cast<const inotify_event *>(events + at);
                    opens += (event->mask & IN_OPEN) ? 1 : 0;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
                takeBridgeEvents(nullptr, true, opens);
            }
            if (fds[2].revents && !fds[0].revents)
                continue;  // only an open to count: no hang-up to wait out below
        }
#endif
        if (fds[0].revents & POLLIN) {
            std::uint8_t buffer[513];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0 && packetMode_) {
                // Packet mode: a status byte alone, or TIOCPKT_DATA followed by data.
                if (buffer[0] != TIOCPKT_DATA) {
                    takeBridgeEvents(buffer, false, 1);
                } else if (n > 1) {
                    lastAt = Clock::now();
                    backlog.insert(backlog.end(), buffer + 1, buffer + n);
                }
                continue;
            }
            if (n > 0) {
                lastAt = Clock::now();
                backlog.insert(backlog.end(), buffer, buffer + n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        // A hang-up or error on the master, which holding the slave should rule out: do not
        // spin on it.
        if (!waitUntil(Clock::now() + milliseconds(10)))
            break;
    }
}

}  // namespace adaptersim
