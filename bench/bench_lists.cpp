// Loading a list file of 10,000 certificates in each form, beside OpenSSL
// reading the same file: d2i_PKCS7 of the PKCS #7 form, d2i_X509 of each
// record of the record form (its 4-byte lengths walked by hand).
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "bench_support.h"
#include "serial_variants.h"
#include "list_side.h"

namespace {

constexpr std::size_t kCount = 10000;

struct Fixture {
    std::string folder, record, pkcs7;

    Fixture() {
        char tmpl[] = "/tmp/bench-lists-XXXXXX";
        folder = mkdtemp(tmpl);
        record = folder + "/roots.lst";
        pkcs7 = folder + "/roots.p7b";
        const auto certs = bench::SerialVariants(kCount);
        if (!listside::WriteLists(certs, record, pkcs7, folder + "/home")) std::abort();
    }
    ~Fixture() { std::system(("rm -rf '" + folder + "'").c_str()); }
};

Fixture& Shared() {
    static Fixture f;
    return f;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

long Ours(const std::string& path) {
    const long n = listside::Load(path);
    if (n != long(kCount)) std::abort();
    return n;
}

void BM_LoadPkcs7List(benchmark::State& state) {
    const Fixture& f = Shared();
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] { benchmark::DoNotOptimize(Ours(f.pkcs7)); });
        outside += bench::Seconds([&] {
            const std::string bytes = Slurp(f.pkcs7);
            const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
            PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(bytes.size()));
            if (!p7 || sk_X509_num(p7->d.sign->cert) != int(kCount)) std::abort();
            PKCS7_free(p7);
        });
    }
    bench::Report(state, ours, outside, double(kCount) * double(state.iterations()), "certs_per_s");
}

void BM_LoadRecordList(benchmark::State& state) {
    const Fixture& f = Shared();
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] { benchmark::DoNotOptimize(Ours(f.record)); });
        outside += bench::Seconds([&] {
            const std::string bytes = Slurp(f.record);
            const auto u32 = [&](std::size_t at) {
                const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
                return std::size_t(b[0]) | std::size_t(b[1]) << 8 | std::size_t(b[2]) << 16 | std::size_t(b[3]) << 24;
            };
            std::size_t at = 12 + u32(8), n = 0;
            while (at + 4 <= bytes.size()) {
                const std::size_t len = u32(at);
                const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at + 4;
                X509* x = d2i_X509(nullptr, &p, long(len));
                if (!x) std::abort();
                X509_free(x);
                at += 4 + len;
                ++n;
            }
            if (n != kCount) std::abort();
        });
    }
    bench::Report(state, ours, outside, double(kCount) * double(state.iterations()), "certs_per_s");
}

BENCHMARK(BM_LoadPkcs7List)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LoadRecordList)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
