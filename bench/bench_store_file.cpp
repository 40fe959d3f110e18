// A file store of 100,000 certificates: opened (read and parsed whole) and
// committed (merged under its lock, written through a synced work copy),
// beside OpenSSL writing the same certificates as one synced PEM file.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "bench_support.h"
#include "serial_variants.h"
#include "capi/store_backing.h"
#include "cert/platform.h"

namespace {

constexpr std::size_t kCount = 100000;

// One signed certificate, then copies that differ in their serial.
struct Fixture {
    std::vector<capi::store::Element> elements;
    std::vector<X509*> x509;
    std::string folder;

    Fixture() {
        for (std::vector<BYTE>& der : bench::SerialVariants(kCount)) {
            const unsigned char* p = der.data();
            x509.push_back(d2i_X509(nullptr, &p, long(der.size())));
            elements.push_back({capi::store::kCert, std::move(der), {}, false});
        }
        char tmpl[] = "/tmp/bench-store-XXXXXX";
        folder = mkdtemp(tmpl);
        cert::platform::SetCertHome(folder + "/home");
    }
    ~Fixture() {
        for (X509* x : x509) X509_free(x);
        std::system(("rm -rf '" + folder + "'").c_str());
    }
};

Fixture& Shared() {
    static Fixture f;
    return f;
}

// What OpenSSL does to keep the same certificates on disk: PEM, synced.
void OpensslWritePem(const Fixture& f, const std::string& path) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    BIO* bio = BIO_new_fp(fp, BIO_NOCLOSE);
    for (X509* x : f.x509) PEM_write_bio_X509(bio, x);
    BIO_flush(bio);
    BIO_free(bio);
    std::fflush(fp);
    ::fsync(fileno(fp));
    std::fclose(fp);
}

// A new store committed whole.
void BM_CommitNewStore(benchmark::State& state) {
    Fixture& f = Shared();
    double ours = 0, outside = 0;
    for (auto _ : state) {
        const std::string path = f.folder + "/new.sst";
        ::unlink(path.c_str());
        ours += bench::Seconds([&] {
            auto b = capi::store::OpenFileBacking(path, 0x10000);
            if (!b || !b->Commit({}, f.elements)) state.SkipWithError("commit failed");
        });
        outside += bench::Seconds([&] { OpensslWritePem(f, f.folder + "/new.pem"); });
    }
    bench::Report(state, ours, outside, double(kCount) * double(state.iterations()), "certs");
}
BENCHMARK(BM_CommitNewStore)->Iterations(3)->Unit(benchmark::kMillisecond);

// The store reopened, one certificate added, committed: the open reads and
// parses it all, the commit reads it again under the lock and writes it.
void BM_OpenAndCommit(benchmark::State& state) {
    Fixture& f = Shared();
    const std::string path = f.folder + "/open.sst";
    {
        auto b = capi::store::OpenFileBacking(path, 0x10000);
        if (!b || !b->Commit({}, f.elements)) state.SkipWithError("setup failed");
    }
    double ours = 0, outside = 0;
    std::uint32_t next = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            auto b = capi::store::OpenFileBacking(path, 0x10000);
            std::vector<capi::store::Element> opened;
            if (!b || !b->Load(opened)) return state.SkipWithError("open failed");
            auto now = opened;
            now.push_back({capi::store::kCrl, {0x30, 0x02, 0x04, BYTE(next++)}, {}, false});
            if (!b->Commit(opened, now)) state.SkipWithError("commit failed");
        });
        outside += bench::Seconds([&] { OpensslWritePem(f, f.folder + "/open.pem"); });
    }
    bench::Report(state, ours, outside, double(kCount) * double(state.iterations()), "certs");
}
BENCHMARK(BM_OpenAndCommit)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
