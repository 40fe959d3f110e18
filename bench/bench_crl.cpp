// A CRL of 1,000,000 entries (16-byte serials, a reason on every fourth):
// decoded by the CRL model beside OpenSSL's d2i_X509_CRL in this process
// and as `ctf crl show` beside `openssl crl -noout`, both run as processes, and one lookup by
// serial in it beside X509_CRL_get0_by_serial.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include "bench_support.h"
#include "crl_side.h"

namespace {

constexpr int kEntries = 1000000;

struct Sample {
    benchcrl::Made made;
    std::string path;  // the CRL as a file, for the process
};

const Sample& Crl() {
    static const Sample sample = [] {
        Sample s{benchcrl::MakeCrl(kEntries), {}};
        const char* tmp = std::getenv("TMPDIR");
        s.path = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_crl_" + std::to_string(::getpid()) + ".der";
        if (FILE* f = std::fopen(s.path.c_str(), "wb")) {
            std::fwrite(s.made.der.data(), 1, s.made.der.size(), f);
            std::fclose(f);
        }
        return s;
    }();
    return sample;
}

double Wall(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Decoding in this process: the model's fields against OpenSSL's X509_CRL.
void BM_DecodeCrl(benchmark::State& state) {
    const benchcrl::Bytes& der = Crl().made.der;
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            if (benchcrl::Decode(der) != std::size_t(kEntries)) state.SkipWithError("entries lost");
        });
        outside += bench::Seconds([&] {
            const unsigned char* p = der.data();
            X509_CRL* c = d2i_X509_CRL(nullptr, &p, long(der.size()));
            if (!c) state.SkipWithError("d2i_X509_CRL refused the CRL");
            X509_CRL_free(c);
        });
    }
    bench::Report(state, ours, outside, double(kEntries) * double(state.iterations()), "entries_per_s");
    state.SetLabel(std::to_string(der.size() >> 20) + " MiB, " + std::to_string(kEntries) + " entries");
}
BENCHMARK(BM_DecodeCrl)->Iterations(3)->Unit(benchmark::kMillisecond);

// Against `openssl crl -noout` as a process: `ctf crl show` as a process
// too (both read the file, decode it and free it in a fresh heap), wall
// clock around each run.
void BM_DecodeCrlVsProcess(benchmark::State& state) {
    const Sample& s = Crl();
    const std::string ours_ = std::string(CERT_CTF_PATH) + " crl show '" + s.path + "' >/dev/null";
    const std::string theirs = "openssl crl -inform DER -noout -in '" + s.path + "'";
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += Wall([&] {
            if (std::system(ours_.c_str()) != 0) state.SkipWithError("ctf crl show failed");
        });
        outside += Wall([&] {
            if (std::system(theirs.c_str()) != 0) state.SkipWithError("openssl crl failed");
        });
    }
    bench::Report(state, ours, outside, double(kEntries) * double(state.iterations()), "entries_per_s");
}
BENCHMARK(BM_DecodeCrlVsProcess)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// One lookup by serial: the model's index (built on the first lookup, timed
// apart) against OpenSSL's search, which sorts on its first call.
void BM_LookupCrl(benchmark::State& state) {
    const Sample& s = Crl();
    constexpr std::size_t kBatch = 4096;
    std::vector<benchcrl::Bytes> picked;
    for (std::size_t i = 0; i < kBatch; ++i) picked.push_back(s.made.serials[(i * 7919) % s.made.serials.size()]);
    benchcrl::Lookup ours_(s.made.der, picked);
    const double build = ours_.BuildIndex();
    const unsigned char* p = s.made.der.data();
    X509_CRL* c = d2i_X509_CRL(nullptr, &p, long(s.made.der.size()));
    std::vector<ASN1_INTEGER*> theirs;
    for (const auto& be : picked) {
        ASN1_INTEGER* n = ASN1_INTEGER_new();
        ASN1_STRING_set(n, be.data(), int(be.size()));
        theirs.push_back(n);
    }
    X509_REVOKED* r = nullptr;
    X509_CRL_get0_by_serial(c, &r, theirs[0]);
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            for (std::size_t i = 0; i < kBatch; ++i)
                if (!ours_.Find(i)) state.SkipWithError("a serial was not found");
        });
        outside += bench::Seconds([&] {
            for (std::size_t i = 0; i < kBatch; ++i)
                if (X509_CRL_get0_by_serial(c, &r, theirs[i]) != 1) state.SkipWithError("OpenSSL missed a serial");
        });
    }
    for (auto* n : theirs) ASN1_INTEGER_free(n);
    X509_CRL_free(c);
    bench::Report(state, ours, outside, double(kBatch) * double(state.iterations()), "lookups_per_s");
    state.counters["ours_ns_per_lookup"] = ours * 1e9 / (double(kBatch) * double(state.iterations()));
    state.counters["index_build_ms"] = build * 1e3;
}
BENCHMARK(BM_LookupCrl)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
