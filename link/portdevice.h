// The few port operations the serial line is built on, by backend.
#pragma once

#include "serialline.h"

namespace avrlink {

class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual SerialLine::OpenResult open(const QString &path) = 0;
    virtual void close() = 0;
    virtual void purge() = 0;
    // Hands up to count bytes to the port without blocking; returns how many it took, -1 on error.
    virtual int writeSome(const std::uint8_t *data, int count) = 0;
    // Waits at most timeoutMs until more can be written.
    virtual bool waitWritable(int timeoutMs) = 0;
    // Takes what has arrived, up to count bytes, without blocking.
    virtual int readSome(std::uint8_t *target, int count) = 0;
    // Waits at most timeoutMs until something has arrived.
    virtual bool waitReadable(int timeoutMs) = 0;
};

std::unique_ptr<PortDevice> makeQtPortDevice();
std::unique_ptr<PortDevice> makePosixPortDevice();  // nullptr where there is no POSIX

}  // namespace avrlink
