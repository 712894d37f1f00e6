// SPDX-License-Identifier: GPL-3.0-or-later
// System calls that fail on purpose, for a program a test starts with LD_PRELOAD pointing here:
//   TARVANE_FAULT_ENOSPC=text  every write to a file whose path contains text fails with ENOSPC,
//                              as on a full disk (give a folder: a file made with O_TMPFILE has
//                              no name of its own, only its folder's)
//   TARVANE_FAULT_RENAME=text  every rename onto a path containing text fails with EIO
// Without the variables nothing changes.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool fdPathContains(int fd, const char *text)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    return std::strstr(path, text) != nullptr;
}

bool renameFails(const char *target)
{
    const char *text = std::getenv("TARVANE_FAULT_RENAME");
    return text && *text && target && std::strstr(target, text);
}

template <typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void *data, size_t count)
{
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    const char *text = std::getenv("TARVANE_FAULT_ENOSPC");
    if (text && *text && fdPathContains(fd, text)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, data, count);
}

int rename(const char *from, const char *to)
{
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    if (renameFails(to)) {
        errno = EIO;
        return -1;
    }
    return real(from, to);
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    if (renameFails(to)) {
        errno = EIO;
        return -1;
    }
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    static const auto real = next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    if (renameFails(to)) {
        errno = EIO;
        return -1;
    }
    return real(fromDir, from, toDir, to, flags);
}

}  // extern "C"
