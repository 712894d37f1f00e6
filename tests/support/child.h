// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a piece of a test in a child process, for what must not touch the test itself: a
// file-size limit (a full disk), or a call that may hang on a FIFO.
#pragma once

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The child's exit status (0 to 255), or minus the signal that ended it. A child that takes
// longer than seconds is ended by SIGALRM. fileSizeLimit, when given, caps every file the
// child writes, and a write beyond it fails with EFBIG as on a full disk.
inline int runInChild(const std::function<int()> &body, unsigned seconds = 20, long fileSizeLimit = -1)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        if (fileSizeLimit >= 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        _exit(body() & 0xFF);
    }
    if (pid < 0)
        return -1000;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}
