// SPDX-License-Identifier: GPL-3.0-or-later
// The serial line through the Windows serial services: CreateFile with share mode 0 (the
// port is exclusive while open), the port's own DCB with only the line format changed, and
// COMMTIMEOUTS that make ReadFile either return at once or wait for the first byte.
#include "portdevice.h"
#include "portdevice_list.h"

#ifndef NOMINMAX  // std::min and std::max, not the macros of windows.h
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <vector>

namespace avrlink {

namespace {

// ReadFile hands over what the driver holds and returns at once.
constexpr COMMTIMEOUTS kNoWait = {MAXDWORD, 0, 0, 0, SerialLine::kWriteTimeoutMs};

// A read of one byte returns as soon as it is there, or after ms with none. (Windows also
// offers "return at the first byte of a longer read" with MAXDWORD in the first two fields;
// Wine waits the whole time there, so the wait asks for one byte only.)
COMMTIMEOUTS oneByteWithin(int ms)
{
    return {0, 0, DWORD(std::clamp(ms, 1, 0x7fffffff)), 0, SerialLine::kWriteTimeoutMs};
}

bool sameTimeouts(const COMMTIMEOUTS &a, const COMMTIMEOUTS &b)
{
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout
           && a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier
           && a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant
           && a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier
           && a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

void fail(SerialLine::OpenReport &report, SerialLine::OpenResult result, SerialLine::OpenStep step, DWORD error)
{
    report.result = result;
    report.failedStep = step;
    report.savedErrno = int(error);
}

class WindowsPortDevice : public PortDevice {
public:
    ~WindowsPortDevice() override { close(); }

    // A COM port opened with share mode 0 is the lock: a second opener, of this process or
    // another, gets ERROR_ACCESS_DENIED, so takeLock changes nothing here.
    void open(const QString &path, bool, SerialLine::OpenReport &report) override
    {
        handle_ = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            // COM ports answer a second opener with "access denied"; the sharing violation is
            // what a port that is held through another path gives.
            const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
            fail(report, SerialLine::OpenResult::CantOpen,
                 held ? SerialLine::OpenStep::Lock : SerialLine::OpenStep::Open, error);
            return;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_, &dcb)) {
            fail(report, SerialLine::OpenResult::CantReadStatus, SerialLine::OpenStep::ReadStatus, ::GetLastError());
            close();
            return;
        }
        // Only the line format changes; flow control and the DTR and RTS lines stay as the
        // port had them, and a port already set up is not written to again (a USB bridge
        // pays a round trip for each).
        DCB wanted = dcb;
        wanted.BaudRate = CBR_115200;
        wanted.ByteSize = 8;
        wanted.Parity = NOPARITY;
        wanted.StopBits = ONESTOPBIT;
        wanted.fNull = FALSE;
        if (dcb.BaudRate != wanted.BaudRate || dcb.ByteSize != wanted.ByteSize || dcb.Parity != wanted.Parity
            || dcb.StopBits != wanted.StopBits || dcb.fNull) {
            if (!::SetCommState(handle_, &wanted)) {
                fail(report, SerialLine::OpenResult::CantSetup, SerialLine::OpenStep::Setup, ::GetLastError());
                close();
                return;
            }
            report.lineSetUp = true;
        }
        // Room for the longest reply of the fast lane; a driver may take this as a hint only.
        ::SetupComm(handle_, 4096, 4096);
        haveTimeouts_ = false;
        if (!setTimeouts(kNoWait)) {
            fail(report, SerialLine::OpenResult::CantSetup, SerialLine::OpenStep::Setup, ::GetLastError());
            close();
            return;
        }
    }
    void close() override
    {
        if (handle_ == INVALID_HANDLE_VALUE)
            return;
        ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        pending_.clear();
    }
    bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
    void purge() override
    {
        pending_.clear();
        ::PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    void drainInput() override
    {
        pending_.clear();
        ::PurgeComm(handle_, PURGE_RXCLEAR);
        std::uint8_t junk[256];
        while (readDriver(junk, int(sizeof junk), kNoWait) > 0) {
        }
    }
    bool waitSent(int timeoutMs) override
    {
        // The output queue empties as the bytes leave; polled, since FlushFileBuffers has no
        // time limit.
        const ULONGLONG until = ::GetTickCount64() + ULONGLONG(std::max(timeoutMs, 0));
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(handle_, &errors, &status))
                return false;
            if (status.cbOutQue == 0)
                return true;
            if (::GetTickCount64() >= until)
                return false;
            ::Sleep(1);
        }
    }
    bool setRate(int baud) override
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (baud <= 0 || !::GetCommState(handle_, &dcb))
            return false;
        dcb.BaudRate = DWORD(baud);
        if (!::SetCommState(handle_, &dcb))
            return false;
        DCB now{};
        now.DCBlength = sizeof now;
        return ::GetCommState(handle_, &now) && now.BaudRate == DWORD(baud);
    }
    int writeSome(const std::uint8_t *data, int count) override
    {
        DWORD written = 0;
        if (!::WriteFile(handle_, data, DWORD(count), &written, nullptr)) {
            clearLineError();
            return -1;
        }
        // The write time-out ran out with the bytes not all taken.
        if (written == 0 && count > 0)
            return -1;
        return int(written);
    }
    bool waitWritable(int) override { return true; }
    int readSome(std::uint8_t *target, int count) override
    {
        int got = std::min(count, int(pending_.size()));
        std::copy_n(pending_.begin(), got, target);
        pending_.erase(pending_.begin(), pending_.begin() + got);
        if (got < count) {
            const int more = readDriver(target + got, count - got, kNoWait);
            if (more > 0)
                got += more;
        }
        return got;
    }
    bool waitReadable(int timeoutMs) override
    {
        if (!pending_.empty())
            return true;
        // The byte that ends the wait is kept for the next readSome: the wait cannot leave it
        // unread.
        std::uint8_t first = 0;
        const int n = readDriver(&first, 1, timeoutMs > 0 ? oneByteWithin(timeoutMs) : kNoWait);
        if (n <= 0)
            return false;
        pending_.push_back(first);
        return true;
    }

private:
    bool setTimeouts(const COMMTIMEOUTS &timeouts)
    {
        if (haveTimeouts_ && sameTimeouts(timeouts, timeouts_))
            return true;
        COMMTIMEOUTS copy = timeouts;
        if (!::SetCommTimeouts(handle_, &copy)) {
            haveTimeouts_ = false;
            return false;
        }
        timeouts_ = timeouts;
        haveTimeouts_ = true;
        return true;
    }
    // -1 on an error of the port.
    int readDriver(std::uint8_t *target, int count, const COMMTIMEOUTS &timeouts)
    {
        if (count <= 0 || !setTimeouts(timeouts))
            return count <= 0 ? 0 : -1;
        DWORD got = 0;
        if (!::ReadFile(handle_, target, DWORD(count), &got, nullptr)) {
            clearLineError();
            return -1;
        }
        return int(got);
    }
    // A port set to abort on errors (fAbortOnError, kept as found) refuses every read and write
    // after a framing or overrun error until the error is fetched.
    void clearLineError()
    {
        DWORD errors = 0;
        ::ClearCommError(handle_, &errors, nullptr);
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::vector<std::uint8_t> pending_;
    COMMTIMEOUTS timeouts_{};
    bool haveTimeouts_ = false;
};

}  // namespace

std::unique_ptr<PortDevice> makeWindowsPortDevice()
{
    return std::make_unique<WindowsPortDevice>();
}

QList<PortListing> listSerialPorts()
{
    QList<PortListing> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = DWORD(std::size(name));
        wchar_t data[256];
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE *>(data), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataBytes / sizeof(wchar_t)] = L'\0';
        const QString port = QString::fromWCharArray(data);
        if (!port.isEmpty())
            ports.append(windowsPortListing(QString::fromWCharArray(name, int(nameLength)), port));
    }
    ::RegCloseKey(key);
    return portsInOfferOrder(ports);
}

}  // namespace avrlink
