// The primitive layer beside the same work done directly through the
// engine's EVP calls, in the same program. Each benchmark runs both sides
// interleaved and reports their rates and the ratio ours/direct (1.0 means
// the layer costs nothing).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <ctime>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "provider/gost.h"

using namespace cert::gost;

namespace {

// Thread CPU time: the machine is shared, wall time would measure the
// neighbours.
double CpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <class F>
double Seconds(F&& f) {
    double t0 = CpuNow();
    f();
    return CpuNow() - t0;
}

const std::vector<uint8_t>& Data() {
    static std::vector<uint8_t> d = [] {
        std::vector<uint8_t> v(64u << 20);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
        return v;
    }();
    return d;
}

void Report(benchmark::State& state, double ours, double direct, double work, const char* unit) {
    state.counters[std::string("ours_") + unit] = work / ours;
    state.counters[std::string("direct_") + unit] = work / direct;
    state.counters["ratio"] = direct / ours;
}

void BM_Hash(benchmark::State& state, HashAlg alg, int nid) {
    if (!EngineAvailable()) {
        state.SkipWithError("no GOST engine");
        return;
    }
    const auto& data = Data();
    const EVP_MD* md = ENGINE_get_digest(Engine(), nid);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    uint8_t out[64];
    double ours = 0, direct = 0;
    const std::size_t chunk = 1 << 16;  // as a caller streaming a file would
    for (auto _ : state) {
        ours += Seconds([&] {
            Hash h(alg);
            for (std::size_t off = 0; off < data.size(); off += chunk) h.Update(data.data() + off, chunk);
            h.Final(out);
        });
        benchmark::DoNotOptimize(out);
        direct += Seconds([&] {
            unsigned len = 0;
            EVP_DigestInit_ex(ctx, md, Engine());
            for (std::size_t off = 0; off < data.size(); off += chunk) EVP_DigestUpdate(ctx, data.data() + off, chunk);
            EVP_DigestFinal_ex(ctx, out, &len);
        });
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    double mib = 64.0 * static_cast<double>(state.iterations());
    Report(state, ours, direct, mib, "MiBps");
}

BENCHMARK_CAPTURE(BM_Hash, gost94, HashAlg::Gost94, NID_id_GostR3411_94)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Hash, streebog256, HashAlg::Streebog256, NID_id_GostR3411_2012_256)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Hash, streebog512, HashAlg::Streebog512, NID_id_GostR3411_2012_512)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

constexpr int kOpsPerRound = 25;

Bytes DirectSign(EVP_PKEY* pkey, const Bytes& digest) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, Engine());
    Bytes sig(128);
    size_t len = sig.size();
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_sign(ctx, sig.data(), &len, digest.data(), digest.size());
    EVP_PKEY_CTX_free(ctx);
    sig.resize(len);
    return sig;
}

bool DirectVerify(EVP_PKEY* pkey, const Bytes& digest, const Bytes& sig) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, Engine());
    EVP_PKEY_verify_init(ctx);
    int r = EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size());
    EVP_PKEY_CTX_free(ctx);
    return r == 1;
}

void BM_Sign(benchmark::State& state, KeyAlg alg) {
    if (!EngineAvailable()) {
        state.SkipWithError("no GOST engine");
        return;
    }
    Key key = GenerateKey(alg, DefaultParamset(alg));
    Bytes digest = Digest(SignHashFor(alg), View("bench"));
    double ours = 0, direct = 0;
    for (auto _ : state) {
        ours += Seconds([&] {
            for (int i = 0; i < kOpsPerRound; ++i) benchmark::DoNotOptimize(SignDigest(key, digest));
        });
        direct += Seconds([&] {
            for (int i = 0; i < kOpsPerRound; ++i) benchmark::DoNotOptimize(DirectSign(key.get(), digest));
        });
    }
    Report(state, ours, direct, double(kOpsPerRound) * static_cast<double>(state.iterations()), "ops");
}

void BM_Verify(benchmark::State& state, KeyAlg alg) {
    if (!EngineAvailable()) {
        state.SkipWithError("no GOST engine");
        return;
    }
    Key key = GenerateKey(alg, DefaultParamset(alg));
    Key pub = PublicPart(key);
    Bytes digest = Digest(SignHashFor(alg), View("bench"));
    Bytes sig = SignDigest(key, digest);
    double ours = 0, direct = 0;
    bool ok = true;
    for (auto _ : state) {
        ours += Seconds([&] {
            for (int i = 0; i < kOpsPerRound; ++i) ok &= VerifyDigest(pub, digest, sig);
        });
        direct += Seconds([&] {
            for (int i = 0; i < kOpsPerRound; ++i) ok &= DirectVerify(pub.get(), digest, sig);
        });
    }
    if (!ok) state.SkipWithError("verification failed");
    Report(state, ours, direct, double(kOpsPerRound) * static_cast<double>(state.iterations()), "ops");
}

BENCHMARK_CAPTURE(BM_Sign, gost2001, KeyAlg::Gost2001)->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sign, gost2012_256, KeyAlg::Gost2012_256)->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sign, gost2012_512, KeyAlg::Gost2012_512)->Iterations(4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Verify, gost2001, KeyAlg::Gost2001)->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Verify, gost2012_256, KeyAlg::Gost2012_256)->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Verify, gost2012_512, KeyAlg::Gost2012_512)->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
