// Signatures and hashing through the VRK* API beside the same work done
// directly on the engine (gost.h), to show what the handle layer costs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "cert/vrkscapi.h"
#include "provider/gost.h"

namespace {

namespace gost = cert::gost;

struct Family {
    DWORD type;
    ALG_ID key;
    ALG_ID hash;
    gost::KeyAlg alg;
    gost::HashAlg hashAlg;
};
const Family kFamilies[] = {
    {2, CALG_GOST_R3410_2001, CALG_GOST_R3411_94, gost::KeyAlg::Gost2001, gost::HashAlg::Gost94},
    {77, CALG_GOST_R3410_2012_256, CALG_GOST_R3411_2012_256, gost::KeyAlg::Gost2012_256, gost::HashAlg::Streebog256},
    {78, CALG_GOST_R3410_2012_512, CALG_GOST_R3411_2012_512, gost::KeyAlg::Gost2012_512, gost::HashAlg::Streebog512},
};

// One container per key size in a home of the benchmark's own.
struct Fixture {
    HCRYPTPROV prov[3] = {};
    HCRYPTKEY key[3] = {};
    Fixture() {
        char tmpl[] = "/tmp/bench-vrk-XXXXXX";
        const char* home = mkdtemp(tmpl);
        cert::platform::SetCertHome(home ? home : "/tmp");
        for (int i = 0; i < 3; ++i) {
            std::string name = "bench" + std::to_string(i);
            VRKAcquireContext(&prov[i], name.c_str(), nullptr, kFamilies[i].type, CRYPT_NEWKEYSET);
            VRKGenKey(prov[i], kFamilies[i].key, 0, &key[i]);
        }
    }
};
Fixture& F() {
    static Fixture f;
    return f;
}

void VrkSign(benchmark::State& st) {
    int i = int(st.range(0));
    HCRYPTHASH h = 0;
    VRKCreateHash(F().prov[i], kFamilies[i].hash, 0, &h, 0);
    VRKHashData(h, "bench", 5);
    IdentObj sig;
    for (auto _ : st) {
        if (!VRKSignHash(h, AT_SIGNATURE, 0, sig)) st.SkipWithError("VRKSignHash");
    }
    VRKDestroyHash(h);
}

void EngineSign(benchmark::State& st) {
    int i = int(st.range(0));
    gost::Key k = gost::GenerateKey(kFamilies[i].alg, gost::DefaultParamset(kFamilies[i].alg));
    gost::Bytes d = gost::Digest(kFamilies[i].hashAlg, gost::View(std::string_view("bench")));
    for (auto _ : st) {
        gost::Bytes s = gost::ReverseBytes(gost::SignDigest(k, d));
        benchmark::DoNotOptimize(s.data());
    }
}

void VrkVerify(benchmark::State& st) {
    int i = int(st.range(0));
    HCRYPTHASH h = 0;
    VRKCreateHash(F().prov[i], kFamilies[i].hash, 0, &h, 0);
    VRKHashData(h, "bench", 5);
    IdentObj sig;
    VRKSignHash(h, AT_SIGNATURE, 0, sig);
    for (auto _ : st) {
        if (!VRKVerifySignature(h, sig, F().key[i], 0)) st.SkipWithError("VRKVerifySignature");
    }
    VRKDestroyHash(h);
}

void EngineVerify(benchmark::State& st) {
    int i = int(st.range(0));
    gost::Key k = gost::GenerateKey(kFamilies[i].alg, gost::DefaultParamset(kFamilies[i].alg));
    gost::Bytes d = gost::Digest(kFamilies[i].hashAlg, gost::View(std::string_view("bench")));
    gost::Bytes s = gost::SignDigest(k, d);
    for (auto _ : st) {
        gost::Bytes rev = gost::ReverseBytes(gost::ReverseBytes(s));
        if (!gost::VerifyDigest(k, d, rev)) st.SkipWithError("VerifyDigest");
    }
}

void VrkHashMiB(benchmark::State& st) {
    int i = int(st.range(0));
    std::string data(1 << 20, 'h');
    for (auto _ : st) {
        HCRYPTHASH h = 0;
        VRKCreateHash(F().prov[i], kFamilies[i].hash, 0, &h, 0);
        VRKHashData(h, data.data(), DWORD(data.size()));
        IdentObj v;
        VRKGetHashParam(h, HP_HASHVAL, v);
        VRKDestroyHash(h);
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(data.size()));
}

void EngineHashMiB(benchmark::State& st) {
    int i = int(st.range(0));
    std::string data(1 << 20, 'h');
    for (auto _ : st) {
        gost::Bytes v = gost::Digest(kFamilies[i].hashAlg, gost::View(std::string_view(data)));
        benchmark::DoNotOptimize(v.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(data.size()));
}

// 0: 2001, 1: 2012-256, 2: 2012-512.
BENCHMARK(VrkSign)->DenseRange(0, 2);
BENCHMARK(EngineSign)->DenseRange(0, 2);
BENCHMARK(VrkVerify)->DenseRange(0, 2);
BENCHMARK(EngineVerify)->DenseRange(0, 2);
BENCHMARK(VrkHashMiB)->DenseRange(0, 2);
BENCHMARK(EngineHashMiB)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
