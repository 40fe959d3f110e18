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

using bench::Quote;
using bench::RunChild;

// A home with the key and its certificate, the key also as PKCS #8 PEM for
// OpenSSL, and the 256 MiB input; removed when the program ends.
struct Setup : bench::KeyHome {
    std::string input, keyPem;

    Setup() : KeyHome("bench-sign") {
        input = dir + "/input";
        keyPem = dir + "/key.pem";
        Steps({ctf + "key export --container bench --no-password --out " + Quote(keyPem) + " >/dev/null 2>&1"});
        if (error.empty() && !bench::WriteInput(input, kSize)) error = "cannot write the input";
    }
    std::string Ours(bool detached) const {
        return ctf + "sign --container bench --no-password --cert " + Quote(certDer) +
               (detached ? " --detached " : " ") + Quote(input) + " -o " +
               Quote(dir + (detached ? "/ours.sig" : "/ours.p7s")) + " >/dev/null";
    }
    std::string Theirs(bool detached) const {
        return "openssl cms -sign -binary -engine gost " + std::string(detached ? "" : "-nodetach -stream ") +
               "-signer " + Quote(certPem) + " -inkey " + Quote(keyPem) + " -in " + Quote(input) +
               " -outform DER -out " + Quote(dir + (detached ? "/theirs.sig" : "/theirs.p7s")) + " 2>/dev/null";
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
            if (!RunChild(s.Ours(false)).ok) return state.SkipWithError("ctf sign failed");
            if (!RunChild("openssl cms -verify -engine gost -binary -inform DER -noverify -in " +
                          Quote(s.dir + "/ours.p7s") + " -out /dev/null 2>/dev/null")
                     .ok)
                return state.SkipWithError("openssl cms -verify refused our 256 MiB signature");
        }
    }
    bench::Sides sides;
    for (auto _ : state) {
        bool ourFailed = false;
        if (!sides.Run(s.Ours(detached), s.Theirs(detached), ourFailed))
            return state.SkipWithError(ourFailed ? "ctf sign failed" : "openssl cms -sign failed");
    }
    // Elapsed beside CPU: we read the next piece while hashing this one, which
    // shortens the wait and not the work.
    sides.Report(state, double(kSize >> 20) * double(state.iterations()));
    state.SetLabel(detached ? "256 MiB detached vs cms -sign -binary"
                            : "256 MiB attached vs cms -sign -binary -nodetach -stream");
}

void BM_SignAttached(benchmark::State& state) { Sign(state, false); }
void BM_SignDetached(benchmark::State& state) { Sign(state, true); }

BENCHMARK(BM_SignAttached)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignDetached)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
