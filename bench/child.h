// A command timed as a process of its own: its CPU time and peak resident
// size from wait4, so the heap a side needs shows as it is, and the time
// the caller waits for it beside them.
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

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

// Our command and the outside tool's, each run once per iteration: their
// CPU, the caller's wait and the larger peak resident size of each side.
struct Sides {
    double ours = 0, outside = 0, ourWait = 0, theirWait = 0, ourPeak = 0, theirPeak = 0;

    // Both commands once; false when either failed (`ourFailed` says which).
    bool Run(const std::string& oursCommand, const std::string& theirsCommand, bool& ourFailed) {
        const Child a = RunChild(oursCommand);
        const Child b = RunChild(theirsCommand);
        ourFailed = !a.ok;
        if (!a.ok || !b.ok) return false;
        ours += a.cpu;
        outside += b.cpu;
        ourWait += a.elapsed;
        theirWait += b.elapsed;
        ourPeak = std::max(ourPeak, a.peakMiB);
        theirPeak = std::max(theirPeak, b.peakMiB);
        return true;
    }

    // CPU rates and their ratio, then the same of the waits, and the peaks.
    void Report(benchmark::State& state, double mib) const {
        bench::Report(state, ours, outside, mib, "MiB_per_s");
        state.counters["ours_elapsed_MiB_per_s"] = mib / ourWait;
        state.counters["openssl_elapsed_MiB_per_s"] = mib / theirWait;
        state.counters["ratio_elapsed"] = theirWait / ourWait;
        state.counters["ours_peak_rss_MiB"] = ourPeak;
        state.counters["openssl_peak_rss_MiB"] = theirPeak;
    }
};

// A shell word.
inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// `size` bytes of a fixed pattern, each MiB marked with its number; false
// when the file cannot be written.
inline bool WriteInput(const std::string& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = char((i * 131 + 7) >> 3);
    for (std::size_t n = 0; n < size; n += block.size()) {
        block[0] = char(n >> 20);
        out.write(block.data(), std::streamsize(block.size()));
    }
    return bool(out);
}

// A temporary folder with a home holding the container "bench" (GOST R
// 34.10-2012, 256-bit, no password) and its self-signed certificate as DER
// and PEM; removed with the object. `error` says what failed.
struct KeyHome {
    std::string dir, home, certDer, certPem, error;
    std::string ctf;  // the tool with this home, ready for a command

    explicit KeyHome(const char* name) {
        std::string tmpl = std::string("/tmp/") + name + "-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            error = "no temporary folder";
            return;
        }
        dir = tmpl;
        home = dir + "/home";
        certDer = dir + "/cert.der";
        certPem = dir + "/cert.pem";
        ctf = std::string(CERT_CTF_PATH) + " --home " + Quote(home) + " ";
        Steps({ctf + "key new --container bench --alg gost12-256 --no-password >/dev/null",
               ctf + "cert new --container bench --no-password --subject CN=Bench --out " + Quote(certDer) +
                   " >/dev/null",
               "openssl x509 -inform DER -in " + Quote(certDer) + " -out " + Quote(certPem)});
    }
    KeyHome(const KeyHome&) = delete;
    KeyHome& operator=(const KeyHome&) = delete;
    ~KeyHome() {
        if (!dir.empty()) std::system(("rm -rf " + Quote(dir)).c_str());
    }

    // Runs the commands in order until one fails (noted in `error`).
    void Steps(const std::vector<std::string>& commands) {
        for (const std::string& c : commands) {
            if (!error.empty()) return;
            if (!RunChild(c).ok) error = "setup failed: " + c;
        }
    }
};

}  // namespace bench
