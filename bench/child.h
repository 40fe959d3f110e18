// A command timed as a process of its own: its CPU time and peak resident
// size from wait4, so the heap a side needs shows as it is, and the time
// the caller waits for it beside them.
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

extern char** environ;

namespace bench {

struct Child {
    bool ok = false;
    double cpu = 0;      // user + system seconds, all threads
    double elapsed = 0;  // what the caller waits
    double peakMiB = 0;  // ru_maxrss
};

// Runs `command` under /bin/sh and waits for it alone.
inline Child RunChild(const std::string& command) {
    Child c;
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return c;
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid) return c;
    c.elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    c.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    c.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    c.peakMiB = double(ru.ru_maxrss) / 1024.0;
    return c;
}

// A shell word.
inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

}  // namespace bench
