// Signing 256 MiB with one GOST R 34.10-2012 (256-bit) key: `ctf sign`
// beside `openssl cms -sign` with the GOST engine, attached (OpenSSL
// streaming) and detached. Both sides are processes on the same file with
// the same key and certificate; each child's own CPU time and peak resident
// size come from wait4, so the heap each side needs for 256 MiB shows as it
// is, and the time waited for it beside them. Our attached output is checked once by `openssl cms -verify`.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "child.h"

namespace {

constexpr std::size_t kSize = 256u << 20;

using bench::Child;
Child Run(const std::string& command) { return bench::RunChild(command); }

std::string Q(const std::string& s) { return "'" + s + "'"; }

// A home with the key and its certificate, the key also as PKCS #8 PEM for
// OpenSSL, and the 256 MiB input; removed when the program ends.
struct Setup : bench::KeyHome {
    std::string input, keyPem;

    Setup() : KeyHome("bench-sign") {
        input = dir + "/input";
        keyPem = dir + "/key.pem";
        Steps({ctf + "key export --container bench --no-password --out " + Q(keyPem) + " >/dev/null 2>&1"});
        if (error.empty() && !bench::WriteInput(input, kSize)) error = "cannot write the input";
    }
    std::string Ours(bool detached) const {
        return ctf + "sign --container bench --no-password --cert " + Q(certDer) + (detached ? " --detached " : " ") +
               Q(input) + " -o " + Q(dir + (detached ? "/ours.sig" : "/ours.p7s")) + " >/dev/null";
    }
    std::string Theirs(bool detached) const {
        return "openssl cms -sign -binary -engine gost " + std::string(detached ? "" : "-nodetach -stream ") +
               "-signer " + Q(certPem) + " -inkey " + Q(keyPem) + " -in " + Q(input) + " -outform DER -out " +
               Q(dir + (detached ? "/theirs.sig" : "/theirs.p7s")) + " 2>/dev/null";
    }
};

Setup& Shared() {
    static Setup s;
    return s;
}

void Sign(benchmark::State& state, bool detached) {
    Setup& s = Shared();
    if (!bench::GostEngine()) return state.SkipWithError("the GOST engine is not installed");
    if (!s.error.empty()) return state.SkipWithError(s.error.c_str());
    if (!detached) {
        static bool checked = false;
        if (!checked) {
            checked = true;
            if (!Run(s.Ours(false)).ok) return state.SkipWithError("ctf sign failed");
            if (!Run("openssl cms -verify -engine gost -binary -inform DER -noverify -in " + Q(s.dir + "/ours.p7s") +
                     " -out /dev/null 2>/dev/null")
                     .ok)
                return state.SkipWithError("openssl cms -verify refused our 256 MiB signature");
        }
    }
    double ours = 0, outside = 0, ourWait = 0, theirWait = 0, ourPeak = 0, theirPeak = 0;
    for (auto _ : state) {
        const Child a = Run(s.Ours(detached));
        const Child b = Run(s.Theirs(detached));
        if (!a.ok || !b.ok) return state.SkipWithError(a.ok ? "openssl cms -sign failed" : "ctf sign failed");
        ours += a.cpu;
        outside += b.cpu;
        ourWait += a.elapsed;
        theirWait += b.elapsed;
        ourPeak = std::max(ourPeak, a.peakMiB);
        theirPeak = std::max(theirPeak, b.peakMiB);
    }
    const double mib = double(kSize >> 20) * double(state.iterations());
    bench::Report(state, ours, outside, mib, "MiB_per_s");
    // Elapsed beside CPU: we read the next piece while hashing this one, which
    // shortens the wait and not the work.
    state.counters["ours_elapsed_MiB_per_s"] = mib / ourWait;
    state.counters["openssl_elapsed_MiB_per_s"] = mib / theirWait;
    state.counters["ratio_elapsed"] = theirWait / ourWait;
    state.counters["ours_peak_rss_MiB"] = ourPeak;
    state.counters["openssl_peak_rss_MiB"] = theirPeak;
    state.SetLabel(detached ? "256 MiB detached vs cms -sign -binary"
                            : "256 MiB attached vs cms -sign -binary -nodetach -stream");
}

void BM_SignAttached(benchmark::State& state) { Sign(state, false); }
void BM_SignDetached(benchmark::State& state) { Sign(state, true); }

BENCHMARK(BM_SignAttached)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignDetached)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
