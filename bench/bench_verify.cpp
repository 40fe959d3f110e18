// Verifying a 1 GiB attached signature made by `ctf sign` (GOST R
// 34.10-2012, 256-bit): `ctf verify` beside `openssl cms -verify -binary`
// with the GOST engine, on the same file against the same trusted
// certificate. Both are processes; their CPU time and peak resident size
// come from wait4. Ours reads the signed data as a stream and hashes the
// content in pieces, so its peak stays far under the content's size (the
// bench fails past 64 MiB); OpenSSL's is printed beside it.
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

constexpr std::size_t kSize = 1u << 30;
constexpr double kOurPeakLimitMiB = 64;

using bench::Quote;

// A home with the key and its certificate and the 1 GiB signed file (the
// input it was made from removed at once); all removed when the program
// ends.
struct Setup : bench::KeyHome {
    std::string signedFile;

    Setup() : KeyHome("bench-verify") {
        if (!error.empty()) return;
        signedFile = dir + "/signed.p7s";
        const std::string input = dir + "/input";
        if (!bench::WriteInput(input, kSize)) error = "cannot write the input";
        Steps({ctf + "sign --container bench --no-password --cert " + Quote(certDer) + " " + Quote(input) + " -o " +
               Quote(signedFile) + " >/dev/null"});
        std::remove(input.c_str());
    }
    // The self-signed certificate is the trust; it has no CRL, which the
    // application flag 1 lets pass, as OpenSSL checks none by default.
    std::string Ours() const {
        return ctf + "verify " + Quote(signedFile) + " --trust " + Quote(certDer) + " --app-flag 1 >/dev/null";
    }
    std::string Theirs() const {
        return "openssl cms -verify -binary -engine gost -inform DER -in " + Quote(signedFile) + " -CAfile " +
               Quote(certPem) + " -out /dev/null 2>/dev/null";
    }
};

void BM_VerifyAttached(benchmark::State& state) {
    if (!bench::GostEngine()) return state.SkipWithError("the GOST engine is not installed");
    static Setup s;
    if (!s.error.empty()) return state.SkipWithError(s.error.c_str());
    bench::Sides sides;
    for (auto _ : state) {
        bool ourFailed = false;
        if (!sides.Run(s.Ours(), s.Theirs(), ourFailed))
            return state.SkipWithError(ourFailed ? "ctf verify failed" : "openssl cms -verify failed");
    }
    if (sides.ourPeak >= kOurPeakLimitMiB) return state.SkipWithError("ctf verify's peak resident size reached 64 MiB");
    sides.Report(state, double(kSize >> 20) * double(state.iterations()));
    state.SetLabel("1 GiB attached vs cms -verify -binary");
}

BENCHMARK(BM_VerifyAttached)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
