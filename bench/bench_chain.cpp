// Verifying 10,000 end-user certificates of one CA against its CRL of
// 1,000,000 entries (33 MiB): our chain engine over a root storage loaded
// once, beside one `openssl verify -crl_check` over the same files.
//
// OpenSSL checks the CRL's signature again for every certificate it
// verifies, a Streebog hash over the whole CRL each time (0.4 s of CPU per
// certificate here), so one run over all 10,000 certificates would take
// more than an hour. Its side is therefore two runs over the same files,
// one certificate and a sample of them, which separate its one-time load
// from its cost per certificate; the figure for 10,000 is that load plus
// 10,000 times that cost. Both sizes are printed. Ours verifies every
// certificate; its load (reading and decoding the files, filling the
// storage) is counted too. Time is CPU time: this thread's for ours, the
// children's for the openssl processes.
//
// Every hundredth certificate is revoked: both sides must find exactly
// those, so that no check can be skipped unnoticed.
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "chain_side.h"

namespace {

constexpr int kCertificates = 10000;
constexpr int kCrlEntries = 1000000;
constexpr int kRevokedEvery = 100;
constexpr int kOpensslSample = 8;

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// One `openssl verify -crl_check` over the first `count` certificates: its
// CPU seconds; `revoked` gets how many it found revoked, `ok` how many
// passed.
double OpensslRun(const benchchain::Files& f, int count, int& ok, int& revoked) {
    std::string cmd = "openssl verify -engine gost -crl_check -CAfile '" + f.ca + ".pem' -CRLfile '" + f.crl + "'";
    for (int i = 0; i < count; ++i) cmd += " '" + f.certs[std::size_t(i)] + "'";
    cmd += " 2>&1";
    const double t0 = ChildrenCpu();
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    const double spent = ChildrenCpu() - t0;
    ok = revoked = 0;
    for (std::size_t at = 0; (at = out.find(": OK\n", at)) != std::string::npos; ++at) ++ok;
    for (std::size_t at = 0; (at = out.find("error 23 at", at)) != std::string::npos; ++at) ++revoked;
    return spent;
}

int RevokedAmong(int count) { return (count + kRevokedEvery - 1) / kRevokedEvery; }

void BM_VerifyAgainstMillionEntryCrl(benchmark::State& state) {
    if (!bench::GostEngine()) {
        state.SkipWithError("no GOST engine");
        return;
    }
    const benchchain::Files& f = benchchain::Make(kCertificates, kCrlEntries, kRevokedEvery);
    double ours = 0, outside = 0, opensslLoad = 0, opensslPerCert = 0;
    for (auto _ : state) {
        benchchain::Verdicts v;
        ours += bench::Seconds([&] { v = benchchain::VerifyAll(f); });
        if (v.revoked != RevokedAmong(kCertificates) || v.clean + v.revoked != kCertificates)
            state.SkipWithError("our verdicts are not the expected ones");

        int ok1 = 0, rev1 = 0, okN = 0, revN = 0;
        const double one = OpensslRun(f, 1, ok1, rev1);
        const double sample = OpensslRun(f, kOpensslSample, okN, revN);
        if (rev1 != 1 || revN != RevokedAmong(kOpensslSample) || okN + revN != kOpensslSample)
            state.SkipWithError("openssl's verdicts are not the expected ones");
        opensslPerCert = (sample - one) / (kOpensslSample - 1);
        opensslLoad = one - opensslPerCert;
        outside += opensslLoad + kCertificates * opensslPerCert;
    }
    bench::Report(state, ours, outside, double(kCertificates) * double(state.iterations()), "certs_per_s");
    state.counters["openssl_load_s"] = opensslLoad;
    state.counters["openssl_ms_per_cert"] = opensslPerCert * 1e3;
    state.counters["ours_ms_per_cert"] = ours * 1e3 / (double(kCertificates) * double(state.iterations()));
    state.SetLabel(std::to_string(kCertificates) + " certificates, CRL of " + std::to_string(kCrlEntries) +
                   " entries (" + std::to_string(f.crlBytes >> 20) + " MiB); openssl runs over 1 and " +
                   std::to_string(kOpensslSample) + " of them");
}
BENCHMARK(BM_VerifyAgainstMillionEntryCrl)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
