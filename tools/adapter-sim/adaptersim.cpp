// SPDX-License-Identifier: GPL-3.0-or-later
#include "adaptersim.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
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

// The memories of cmdExtRead and cmdExtWrite.
constexpr int memFlash = 0;
constexpr int memEeprom = 1;
constexpr int memCalibration = 2;
constexpr int memSignature = 3;
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

// The rate a speed_t stands for; 0 for one the simulator does not know (BOTHER, say), which
// then never matches the board's.
int baudOf(speed_t speed)
{
    switch (speed) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
#ifdef B460800
    case B460800: return 460800;
#endif
#ifdef B500000
    case B500000: return 500000;
#endif
#ifdef B576000
    case B576000: return 576000;
#endif
#ifdef B921600
    case B921600: return 921600;
#endif
#ifdef B1000000
    case B1000000: return 1000000;
#endif
#ifdef B1152000
    case B1152000: return 1152000;
#endif
#ifdef B1500000
    case B1500000: return 1500000;
#endif
#ifdef B2000000
    case B2000000: return 2000000;
#endif
    default: return 0;
    }
}

// A chip the board's device table holds: no row has the signature of an empty socket or of
// a chip that did not answer.
bool inTable(const Chip &chip, bool unknownChip)
{
    const auto &s = chip.signature;
    const bool blank = (s[0] == 0x00 && s[1] == 0x00 && s[2] == 0x00) || (s[0] == 0xFF && s[1] == 0xFF && s[2] == 0xFF);
    return !unknownChip && !blank;
}

// EESAVE programmed (0) keeps the EEPROM through a Chip Erase (ATmega8 datasheet, "Chip
// Erase": "The EEPROM memory is preserved during chip erase if the EESAVE Fuse is programmed").
bool eesaveProgrammed(const Chip &chip)
{
    if (chip.eesaveFuse < 0 || chip.eesaveFuse > 2 || chip.eesaveBit < 0 || chip.eesaveBit > 7)
        return false;
    const std::uint8_t fuses[] = {chip.lowFuse, chip.highFuse, chip.extFuse};
    return !(fuses[chip.eesaveFuse] >> chip.eesaveBit & 1);
}

// The EEPROM writes a range takes: one per page touched on parts with a page buffer, one per
// byte elsewhere.
std::size_t eepromWritesFor(std::size_t address, std::size_t count, std::size_t pageSize)
{
    if (count == 0)
        return 0;
    if (pageSize == 0)
        return count;
    return (address + count - 1) / pageSize - address / pageSize + 1;
}

std::size_t blockAddress(const std::array<std::uint8_t, 8> &block)
{
    return std::size_t(block[2]) | std::size_t(block[3]) << 8 | std::size_t(block[4]) << 16;
}

std::size_t blockCount(const std::array<std::uint8_t, 8> &block)
{
    return block[5] == 0 ? 256 : block[5];
}

}  // namespace

std::uint16_t crc16(const std::uint8_t *bytes, std::size_t count, std::uint16_t crc)
{
    // As avr-libc's _crc_xmodem_update, one byte at a time.
    for (std::size_t i = 0; i < count; ++i) {
        crc = std::uint16_t(crc ^ (std::uint16_t(bytes[i]) << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

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
    int eepromWriteUs = 0;
    ReplyFault fault;      // the fault that hits this command's reply, once `faulted`
    std::vector<ReplyFault> faults;
    bool faulted = false;
    int ignoreCode = -1;
    int strayBytes = 0;
    Bridge bridge;
    bool ours = false;
    std::uint8_t capabilities = capAll;
    bool unknownChip = false;
    int boardTestLineUs = 0;

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
    // Whether this board takes `code` as the extension command it is.
    bool offers(std::uint8_t code) const
    {
        if (!ours)
            return false;
        switch (code) {
        case cmdExtLine: return capabilities & capFastLine;
        case cmdExtPing: return true;
        case cmdExtRead:
        case cmdExtWrite: return capabilities & capAddressed;
        case cmdExtBoardTest: return capabilities & capBoardTest;
        default: return false;
        }
    }
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
        faultsHits_.assign(options_.faults.size(), 0);
        bridgeCounts_ = {};
    }
    {
        std::string why;
        if (!writeSysfs(&why))
            return fail(why);
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
    boardBaud_ = baseBaud;
    garbledIn_ = 0;
    garbledOut_ = 0;
    eepromWrites_ = 0;
    lastHeard_ = Clock::now();
    lastSignature_ = {};
    sentSignatures_.clear();
    testing_ = false;
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
    // Only what start() made, newest first: a directory someone else has filled stays.
    for (auto it = sysfsMade_.rbegin(); it != sysfsMade_.rend(); ++it)
        ::remove(it->c_str());
    sysfsMade_.clear();
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    closeFd(inotify_);
    packetMode_ = false;
    closeFd(slaveHold_);
    closeFd(master_);
}

bool Simulator::writeSysfs(std::string *error)
{
    const Options o = options();
    if (o.sysfsRoot.empty() || o.bridge.latencyUs <= 0)
        return true;
    // The program finds the tty by the name of the file its port resolves to.
    char resolved[PATH_MAX];
    if (!::realpath(devicePath().c_str(), resolved)) {
        *error = systemError(devicePath());
        return false;
    }
    const std::string name = std::strrchr(resolved, '/') + 1;
    std::string dir = o.sysfsRoot;
    const std::string parts[] = {"", "/class", "/tty", "/" + name, "/device"};
    for (const std::string &part : parts) {
        dir += part;
        if (::mkdir(dir.c_str(), 0755) == 0)
            sysfsMade_.push_back(dir);
        else if (errno != EEXIST) {
            *error = systemError(dir);
            return false;
        }
    }
    const std::string file = dir + "/latency_timer";
    std::ofstream out(file, std::ios::trunc);
    // ftdi_sio shows whole milliseconds, 1 to 255.
    out << std::clamp((o.bridge.latencyUs + 500) / 1000, 1, 255) << '\n';
    out.close();
    sysfsMade_.push_back(file);
    if (!out) {
        *error = "cannot write " + file;
        return false;
    }
    return true;
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
    faultsHits_.assign(options_.faults.size(), 0);
}

long Simulator::eepromWrites() const
{
    return eepromWrites_;
}

LineState Simulator::lineState() const
{
    LineState state;
    state.boardBaud = boardBaud_;
    state.garbledIn = garbledIn_;
    state.garbledOut = garbledOut_;
    return state;
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
    b.eepromWriteUs = options_.eepromWriteUs;
    b.fault = options_.fault;
    b.faults = options_.faults;
    b.ignoreCode = options_.ignoreCode;
    b.strayBytes = options_.strayBytes;
    b.bridge = options_.bridge;
    b.ours = options_.ours;
    b.capabilities = options_.capabilities;
    b.unknownChip = options_.unknownChip;
    b.boardTestLineUs = options_.boardTestLineUs;
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

std::array<std::uint8_t, 8> Simulator::chipReply(std::uint8_t code)
{
    std::array<std::uint8_t, 8> reply;
    {
        std::lock_guard lock(mutex_);
        const Chip &c = options_.chip;
        reply = {code, c.signature[0], c.signature[1], c.signature[2], c.lowFuse, c.highFuse, c.extFuse, c.lock};
    }
    // The board read this signature and sends it: the identification and the noise guard
    // remember it.
    lastSignature_ = {reply[1], reply[2], reply[3]};
    sentSignatures_.insert(lastSignature_);
    return reply;
}

std::array<std::uint8_t, 8> Simulator::identification(const std::uint8_t *challenge) const
{
    std::uint8_t capabilities;
    {
        std::lock_guard lock(mutex_);
        capabilities = options_.capabilities;
    }
    std::array<std::uint8_t, 8> reply = {idMagic, lastSignature_[0], lastSignature_[1], lastSignature_[2],
                                         idVersion, capabilities, 0, 0};
    // The answer: CRC-16 over "TARVANE", the challenge and reply bytes 4 and 5.
    std::uint8_t text[13] = {'T', 'A', 'R', 'V', 'A', 'N', 'E'};
    std::copy(challenge, challenge + 4, text + 7);
    text[11] = reply[4];
    text[12] = reply[5];
    const std::uint16_t answer = crc16(text, sizeof text);
    reply[6] = std::uint8_t(answer & 0xFF);
    reply[7] = std::uint8_t(answer >> 8);
    return reply;
}

bool Simulator::chipKnown(const Behaviour &b) const
{
    std::lock_guard lock(mutex_);
    return inTable(options_.chip, b.unknownChip);
}

bool Simulator::guardAccepts(const std::array<std::uint8_t, 8> &block, const Behaviour &b) const
{
    const std::array<std::uint8_t, 3> carried = {block[1], block[2], block[3]};
    const bool fresh = carried == std::array<std::uint8_t, 3>{};  // a host fresh from its start-up
    return chipKnown(b) && (fresh || sentSignatures_.count(carried) != 0);
}

bool Simulator::waitUntil(Clock::time_point when)
{
    // A bridge sends what it holds when its timer runs out, whatever the adapter is doing.
    while (!bridgeHeld_.empty() && bridgeFlushAt_ <= when) {
        if (!waitPlain(bridgeFlushAt_) || !flushBridge())
            return false;
    }
    return waitPlain(when);
}

bool Simulator::flushBridge()
{
    std::vector<std::uint8_t> packet;
    packet.swap(bridgeHeld_);
    return packet.empty() || sendNow(packet.data(), packet.size(), false);
}

bool Simulator::waitPlain(Clock::time_point when)
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

int Simulator::hostBaud() const
{
    termios tio{};
    if (::tcgetattr(slaveHold_, &tio) != 0)
        return 0;
    return baudOf(::cfgetospeed(&tio));
}

bool Simulator::lineCarries() const
{
    int maxBaud;
    {
        std::lock_guard lock(mutex_);
        maxBaud = options_.maxBaud;
    }
    const int board = boardBaud_;
    return board <= maxBaud && hostBaud() == board;
}

void Simulator::checkIdle(Clock::time_point now)
{
    int idleUs;
    {
        std::lock_guard lock(mutex_);
        idleUs = options_.lineIdleUs;
    }
    if (boardBaud_ != baseBaud && now - lastHeard_ >= std::chrono::microseconds(idleUs))
        boardBaud_ = baseBaud;
}

std::chrono::nanoseconds Simulator::byteTime() const
{
    // 10 bits a byte: start bit, 8 data bits, stop bit.
    const long long baud = std::max(1, boardBaud_.load());
    return std::chrono::nanoseconds((10'000'000'000LL + baud / 2) / baud);
}

bool Simulator::send(const std::uint8_t *bytes, std::size_t count, const Behaviour &b)
{
    if (count == 0)
        return running_;
    std::vector<std::uint8_t> garbled;
    if (!lineCarries()) {
        garbled.assign(count, 0xFF);
        bytes = garbled.data();
        garbledOut_ += static_cast<long>(count);
    }
    const bool sent = sendThrough(bytes, count, b);
    lastHeard_ = Clock::now();
    return sent;
}

bool Simulator::sendThrough(const std::uint8_t *bytes, std::size_t count, const Behaviour &b)
{
    const Bridge &bridge = b.bridge;
    if (bridge.latencyUs <= 0)
        return sendNow(bytes, count, b.wirePaced);
    // The bytes reach the bridge at wire speed (or at once); a packet goes on when it is
    // full, the rest when the latency timer, started by the first byte held, runs out. The
    // adapter does not wait for that: it goes on taking input meanwhile, as the bridge's own
    // buffer lets a real one.
    const std::size_t packet = static_cast<std::size_t>(std::max(bridge.packet, 1));
    const auto byteTime = this->byteTime();
    const auto latency = std::chrono::microseconds(bridge.latencyUs);
    Clock::time_point at = std::max(Clock::now(), lineFreeAt_);
    for (std::size_t i = 0; i < count; ++i) {
        if (b.wirePaced)
            at += byteTime;
        const Clock::time_point arrives = b.wirePaced ? at : Clock::now();
        if (!bridgeHeld_.empty() && bridgeFlushAt_ < arrives) {
            if (!waitUntil(bridgeFlushAt_))  // the timer ran out before this byte came
                return false;
        }
        if (bridgeHeld_.empty())
            bridgeFlushAt_ = arrives + latency;
        bridgeHeld_.push_back(bytes[i]);
        if (bridgeHeld_.size() == packet && (!waitPlain(arrives) || !flushBridge()))
            return false;
    }
    if (b.wirePaced)
        lineFreeAt_ = at;
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

bool Simulator::sendAnswer(const std::uint8_t *bytes, std::size_t count, std::size_t allowed, const Behaviour &b)
{
    if (std::min(allowed, count) > 0 && b.strayBytes > 0) {
        std::vector<std::uint8_t> stray(static_cast<std::size_t>(b.strayBytes));
        for (std::size_t i = 0; i < stray.size(); ++i)
            stray[i] = i % 2 ? 0xFF : 0x00;
        if (!send(stray.data(), stray.size(), b))
            return false;
    }
    return sendReply(bytes, count, allowed, b);
}

bool Simulator::sendAck(const Behaviour &b)
{
    // No reply fault touches an acknowledgement; stray bytes do.
    Behaviour ack = b;
    ack.faulted = false;
    return sendAnswer(&ackChar, 1, 1, ack);
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
    const auto byteTime = this->byteTime();
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

bool Simulator::takeBlock(const std::array<std::uint8_t, 8> &block, const Behaviour &b, std::size_t *dataCount)
{
    using namespace std::chrono;
    const std::uint8_t code = block[0];
    *dataCount = 0;
    // Any command but a further page write ends the loading of the page buffer.
    if (code != cmdWritePage)
        programLatch();

    if (code == cmdWritePage) {
        if (b.acknowledgements() >= 1 && !sendAck(b))
            return false;
        *dataCount = block[1];
        return true;
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
        return sendAnswer(out.data(), size, b.sent(code, size), b);
    }

    if (b.offers(code)) {
        switch (code) {
        case cmdExtLine: {
            const auto reply = identification(&block[4]);
            if (!sendAnswer(reply.data(), reply.size(), b.sent(code, reply.size()), b))
                return false;
            // The reply has left at the old rate; any other R keeps the rate.
            if (block[1] == 0)
                boardBaud_ = baseBaud;
            else if (block[1] == 1)
                boardBaud_ = fastBaud;
            return true;
        }
        case cmdExtPing: {
            const auto reply = identification(&block[4]);
            return sendAnswer(reply.data(), reply.size(), b.sent(code, reply.size()), b);
        }
        case cmdExtRead:
            return extRead(block, b);
        case cmdExtWrite:
            *dataCount = blockCount(block);
            return true;
        case cmdExtBoardTest: {
            const std::uint8_t none[4] = {};
            const auto reply = identification(none);
            if (!sendAnswer(reply.data(), reply.size(), b.sent(code, reply.size()), b))
                return false;
            testing_ = !b.silent;
            testLine_ = 0;
            testSince_ = testNextAt_ = Clock::now();
            testLineUs_ = b.boardTestLineUs;
            return true;
        }
        default:
            break;
        }
    }

    // Chip commands, cmdEnd and every code this adapter does not know.
    const bool chipWrite = code == cmdWriteFuses || code == cmdWriteLocks || code == cmdChipErase;
    const bool refused = b.ours && chipWrite && !guardAccepts(block, b);
    const bool carriedOut = !refused && code != b.ignoreCode;
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
            if (carriedOut) {
                c.lowFuse = block[4];
                c.highFuse = block[5];
                c.extFuse = block[6];
            }
            programUs = b.fuseWriteUs;
            break;
        case cmdWriteLocks:
            // Lock bits can only be programmed; an erase is the way back.
            if (carriedOut)
                c.lock &= block[7];
            programUs = b.fuseWriteUs;
            break;
        case cmdChipErase:
            if (carriedOut) {
                std::fill(c.flash.begin(), c.flash.end(), std::uint8_t{0xFF});
                c.lock = 0xFF;
                if (!eesaveProgrammed(c))
                    std::fill(c.eeprom.begin(), c.eeprom.end(), std::uint8_t{0xFF});
            }
            programUs = b.eraseUs;
            break;
        default:
            break;  // cmdReadChip and unknown codes only read
        }
    }
    if (refused)
        programUs = 0;  // nothing is written
    if (streamEnd)
        streamEnd(chip());
    if (programUs > 0 && !waitUntil(Clock::now() + microseconds(programUs)))
        return false;
    const auto reply = code == cmdEnd && b.ours ? identification(&block[4]) : chipReply(code);
    return sendAnswer(reply.data(), reply.size(), b.sent(code, reply.size()), b);
}

bool Simulator::extRead(const std::array<std::uint8_t, 8> &block, const Behaviour &b)
{
    const int memory = block[1];
    const std::size_t address = blockAddress(block);
    const std::size_t count = blockCount(block);
    std::vector<std::uint8_t> out(count + 2, 0xFF);
    bool done = false;
    std::array<std::uint8_t, 3> signature{};
    {
        std::lock_guard lock(mutex_);
        const Chip &c = options_.chip;
        signature = c.signature;
        const std::vector<std::uint8_t> signatureRow(c.signature.begin(), c.signature.end());
        const std::vector<std::uint8_t> *bytes = nullptr;
        if (memory == memFlash)
            bytes = &c.flash;
        else if (memory == memEeprom && (b.capabilities & capEeprom))
            bytes = &c.eeprom;
        else if (memory == memCalibration && (b.capabilities & capCalibration))
            bytes = &c.calibration;
        else if (memory == memSignature)
            bytes = &signatureRow;
        done = bytes && inTable(c, b.unknownChip) && address + count <= bytes->size();
        if (done)
            std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(address), count, out.begin());
    }
    std::uint16_t crc = crc16(out.data(), count, crc16(&block[1], 5));
    if (!done)
        crc = std::uint16_t(~crc);  // a refusal: the program counts it as a lost reply
    out[count] = std::uint8_t(crc & 0xFF);
    out[count + 1] = std::uint8_t(crc >> 8);
    if (done && memory == memSignature && count == 3)
        sentSignatures_.insert(signature);
    return sendAnswer(out.data(), out.size(), b.sent(cmdExtRead, out.size()), b);
}

bool Simulator::extWrite(const std::vector<std::uint8_t> &data, const Behaviour &b)
{
    using namespace std::chrono;
    const auto &block = writeBlock_;
    const int memory = block[1];
    const std::size_t address = blockAddress(block);
    const std::size_t count = data.size();
    const std::uint16_t expected = std::uint16_t(block[6] | block[7] << 8);
    std::uint8_t status = extCrcWrong;
    long programUs = 0;
    long writes = 0;
    if (crc16(data.data(), count, crc16(&block[1], 5)) == expected) {
        std::lock_guard lock(mutex_);
        const Chip &c = options_.chip;
        bool fits = false;
        if (memory == memFlash) {
            // Exactly one physical page.
            fits = c.pageSize > 0 && address % c.pageSize == 0 && count == c.pageSize
                   && address + count <= c.flash.size();
            programUs = b.pageWriteUs;
        } else if (memory == memEeprom && (b.capabilities & capEeprom)) {
            fits = address + count <= c.eeprom.size();
            writes = static_cast<long>(eepromWritesFor(address, count, c.eepromPageSize));
            programUs = long(b.eepromWriteUs) * writes;
        }
        status = fits && inTable(c, b.unknownChip) ? extAccepted : extRefused;
    }
    // The status goes as soon as the data is in; the board programs after it, and takes the
    // next block only when that is done.
    if (!sendAnswer(&status, 1, b.sent(cmdExtWrite, 1), b))
        return false;
    if (status != extAccepted)
        return true;
    if (programUs > 0 && !waitUntil(Clock::now() + microseconds(programUs)))
        return false;
    if (b.ignoreCode == cmdExtWrite)
        return true;
    eepromWrites_ += writes;
    std::lock_guard lock(mutex_);
    Chip &c = options_.chip;
    auto &bytes = memory == memFlash ? c.flash : c.eeprom;
    for (std::size_t i = 0; i < count && address + i < bytes.size(); ++i) {
        // Flash programming can only clear bits; an EEPROM write erases the byte first.
        if (memory == memFlash)
            bytes[address + i] &= data[i];
        else
            bytes[address + i] = data[i];
    }
    return true;
}

bool Simulator::boardTestStep()
{
    const Behaviour b = behaviour();
    std::string text;
    if (testLine_ < boardTestLines.size()) {
        text = std::string(boardTestLines[testLine_++]) + "\n";
        testNextAt_ = Clock::now() + std::chrono::microseconds(testLineUs_);
    } else {
        text = "END\n";  // both supplies are off
        testing_ = false;
    }
    return send(reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), b);
}

void Simulator::serve()
{
    using namespace std::chrono;
#ifdef __linux__
    // Paced bytes are a byte time (86.8 us) apart; the default timer slack of 50 us would
    // stretch every wait by most of that.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
#endif

    enum class Taking { block, pageData, writeData };
    std::vector<std::uint8_t> part;       // the block or data being collected
    std::size_t need = blockSize;         // its length
    Taking taking = Taking::block;
    Behaviour held;                       // the options of the block whose data is taken
    Clock::time_point firstAt{};          // arrival of the first byte of `part`
    Clock::time_point lastAt{};           // arrival of the latest input taken
    Clock::time_point heardAt{};          // arrival of the latest input, garbled or not
    std::deque<std::uint8_t> backlog;     // received, not yet taken into `part`

    const auto fresh = [&] {
        part.clear();
        need = blockSize;
        taking = Taking::block;
    };

    while (running_) {
        if (!bridgeHeld_.empty() && Clock::now() >= bridgeFlushAt_ && !flushBridge())
            break;
        checkIdle(Clock::now());
        if (testing_) {
            // Any byte from the program ends the board test at once.
            if (!backlog.empty() || heardAt > testSince_) {
                testing_ = false;
                continue;
            }
            if (Clock::now() >= testNextAt_) {
                if (!boardTestStep())
                    break;
                continue;
            }
        }

        while (!backlog.empty() && part.size() < need) {
            if (part.empty())
                firstAt = lastAt;
            part.push_back(backlog.front());
            backlog.pop_front();
        }

        if (part.size() == need && taking != Taking::block) {
            if (held.wirePaced && !waitUntil(firstAt + need * byteTime()))
                break;
            addLog(hexLine("data", part.data(), part.size()));
            if (taking == Taking::writeData) {
                const std::vector<std::uint8_t> data = part;
                fresh();
                if (!extWrite(data, held))
                    break;
                continue;
            }
            if (held.ignoreCode != cmdWritePage)
                loadPage(part.data(), part.size());
            address_ += part.size();
            fresh();
            if (!waitUntil(Clock::now() + microseconds(held.pageWriteUs)))
                break;
            if (held.acknowledgements() >= 2 && !sendAck(held))
                break;
            continue;
        }

        if (part.size() == need) {
            long owed = 0;
            // Fixed before the line is logged: whoever sees the line may change the options
            // for the next block without touching this one.
            Behaviour b = behaviour();
            if (b.wirePaced && !waitUntil(firstAt + blockSize * byteTime()))
                break;
            std::array<std::uint8_t, blockSize> block{};
            std::copy(part.begin(), part.end(), block.begin());
            const std::uint8_t code = block[0];
            // Where the reply's first byte comes from: the block's own address on the
            // addressed commands, the stream's otherwise.
            const std::size_t at = b.offers(code) && (code == cmdExtRead || code == cmdExtWrite)
                                        ? blockAddress(block) : address_;
            {
                std::lock_guard lock(mutex_);
                const auto hits = [&](const ReplyFault &f, int *count) {
                    if (f.block >= 0)
                        return f.block == blocksSeen_;
                    if (f.code < 0 || f.code != code || *count >= f.times
                        || (f.address >= 0 && static_cast<std::size_t>(f.address) != at))
                        return false;
                    ++*count;
                    return true;
                };
                b.faulted = hits(b.fault, &faultHits_);
                faultsHits_.resize(b.faults.size());
                for (std::size_t i = 0; !b.faulted && i < b.faults.size(); ++i) {
                    if (hits(b.faults[i], &faultsHits_[i])) {
                        b.faulted = true;
                        b.fault = b.faults[i];
                    }
                }
                owed = owedUs_;
                owedUs_ = 0;
            }
            ++blocksSeen_;
            // What the bridge spent on the program's open, set-up and purge delays the block.
            if (owed > 0 && !waitUntil(Clock::now() + microseconds(owed)))
                break;
            addLog(hexLine("block", block.data(), block.size()));
            fresh();
            std::size_t dataCount = 0;
            if (!takeBlock(block, b, &dataCount))
                break;
            if (dataCount > 0) {
                need = dataCount;
                taking = code == cmdWritePage ? Taking::pageData : Taking::writeData;
                held = b;
                writeBlock_ = block;
            }
            continue;
        }

        // Sleep until input comes, stop() is called, or one of these is due: the drop of an
        // incomplete input, the board test's next line, the board's return to 115200.
        Clock::time_point due = Clock::time_point::max();
        if (!part.empty())
            due = lastAt + resyncGap;
        if (testing_)
            due = std::min(due, testNextAt_);
        if (boardBaud_ != baseBaud)
            due = std::min(due, lastHeard_ + microseconds(options().lineIdleUs));
        if (!bridgeHeld_.empty())
            due = std::min(due, bridgeFlushAt_);
        // To the microsecond: a bridge's 1 ms timer rounded up to whole milliseconds would
        // cost a page write a millisecond or two for each acknowledgement.
        timespec timeout{};
        const timespec *wait = nullptr;
        if (due != Clock::time_point::max()) {
            const auto left = due - Clock::now();
            if (left <= Clock::duration::zero()) {
                if (!part.empty() && Clock::now() >= lastAt + resyncGap)
                    fresh();
                continue;
            }
            const auto us = std::min<long long>(ceil<microseconds>(left).count(), 1000LL * 1000 * 1000 * 1000);
            timeout.tv_sec = static_cast<time_t>(us / 1000000);
            timeout.tv_nsec = static_cast<long>(us % 1000000) * 1000;
            wait = &timeout;
        }
        pollfd fds[3] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        const int ready = ::ppoll(fds, inotify_ >= 0 ? 3 : 2, wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (ready == 0)
            continue;  // time-out: whatever was due is done above
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
            const std::uint8_t *data = buffer;
            std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
            if (n > 0 && packetMode_) {
                // Packet mode: a status byte alone, or TIOCPKT_DATA followed by data.
                if (buffer[0] != TIOCPKT_DATA) {
                    takeBridgeEvents(buffer, false, 1);
                    continue;
                }
                ++data;
                --count;
            }
            if (count > 0) {
                const auto now = Clock::now();
                checkIdle(now);
                // The rate is the one the program has set by the time its bytes are read.
                if (lineCarries()) {
                    lastAt = now;
                    backlog.insert(backlog.end(), data, data + count);
                } else {
                    garbledIn_ += static_cast<long>(count);
                }
                heardAt = lastHeard_ = now;
                continue;
            }
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
                continue;
        }
        // A hang-up or error on the master, which holding the slave should rule out: do not
        // spin on it.
        if (!waitUntil(Clock::now() + milliseconds(10)))
            break;
    }
}

}  // namespace adaptersim
