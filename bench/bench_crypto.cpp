// Hashing, signing and verifying through the provider's VRK* interface,
// beside the same work done directly on OpenSSL's GOST engine: what the
// handle layer, the key container and the byte-order changes cost.
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/objects.h>

#include "bench_support.h"
#include "cert/oids.h"
#include "cert/platform.h"
#include "cert/vrkscapi.h"

namespace {

struct Family {
    const char* name;
    DWORD provType;
    ALG_ID keyAlg;
    ALG_ID hashAlg;
    const char* paramsetOid;  // the same curve on both sides
    int keyNid;
    int hashNid;
};
const Family kFamilies[] = {
    {"gost2001", VRK_PROV_TYPE_GOST, CALG_GOST_R3410_2001, CALG_GOST_R3411_94, cert::oids::kSign2001ParamSetA,
     NID_id_GostR3410_2001, NID_id_GostR3411_94},
    {"gost2012_256", VRK_PROV_TYPE_GOST_2012_256, CALG_GOST_R3410_2012_256, CALG_GOST_R3411_2012_256,
     cert::oids::kSign2012_256ParamSetA, NID_id_GostR3410_2012_256, NID_id_GostR3411_2012_256},
    {"gost2012_512", VRK_PROV_TYPE_GOST_2012_512, CALG_GOST_R3410_2012_512, CALG_GOST_R3411_2012_512,
     cert::oids::kSign2012_512ParamSetA, NID_id_GostR3410_2012_512, NID_id_GostR3411_2012_512},
};

// One container per family in a home of the benchmark's own.
struct Containers {
    HCRYPTPROV prov[3] = {};
    HCRYPTKEY key[3] = {};
    bool ok = true;
    Containers() {
        char tmpl[] = "/tmp/bench-crypto-XXXXXX";
        const char* home = mkdtemp(tmpl);
        cert::platform::SetCertHome(home ? home : "/tmp");
        for (int i = 0; i < 3; ++i) {
            const Family& f = kFamilies[i];
            std::string name = std::string("bench-") + f.name;
            ok = ok && VRKAcquireContext(&prov[i], name.c_str(), nullptr, f.provType, CRYPT_NEWKEYSET) &&
                 VRKSetProvParam(prov[i], VRK_PP_SIGN_PARAMSET, f.paramsetOid, 0) &&
                 VRKGenKey(prov[i], f.keyAlg, 0, &key[i]);
        }
    }
};
Containers& C() {
    static Containers c;
    return c;
}

EVP_PKEY* EngineKey(const Family& f) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(f.keyNid, bench::GostEngine());
    EVP_PKEY* key = nullptr;
    if (ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "A") > 0)
        EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

std::vector<unsigned char> EngineDigest(const Family& f, const void* data, std::size_t n) {
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    const EVP_MD* md = ENGINE_get_digest(bench::GostEngine(), f.hashNid);
    EVP_Digest(data, n, out.data(), &len, md, bench::GostEngine());
    out.resize(len);
    return out;
}

bool Ready(benchmark::State& state) {
    if (!bench::GostEngine()) {
        state.SkipWithError("the GOST engine is not installed");
        return false;
    }
    if (!C().ok) {
        state.SkipWithError("the benchmark's containers could not be made");
        return false;
    }
    return true;
}

// 64 MiB in 64 KiB pieces, as a caller streaming a file would.
void BM_Hash(benchmark::State& state) {
    const Family& f = kFamilies[state.range(0)];
    if (!Ready(state)) return;
    state.SetLabel(f.name);
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> v(64u << 20);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
        return v;
    }();
    const std::size_t piece = 1 << 16;
    const EVP_MD* md = ENGINE_get_digest(bench::GostEngine(), f.hashNid);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            HCRYPTHASH h = 0;
            VRKCreateHash(C().prov[state.range(0)], f.hashAlg, 0, &h);
            for (std::size_t off = 0; off < data.size(); off += piece) VRKHashData(h, data.data() + off, piece);
            IdentObj value;
            VRKGetHashParam(h, HP_HASHVAL, value);
            VRKDestroyHash(h);
            benchmark::DoNotOptimize(value.data());
        });
        outside += bench::Seconds([&] {
            unsigned char out[EVP_MAX_MD_SIZE];
            unsigned len = 0;
            EVP_DigestInit_ex(ctx, md, bench::GostEngine());
            for (std::size_t off = 0; off < data.size(); off += piece) EVP_DigestUpdate(ctx, data.data() + off, piece);
            EVP_DigestFinal_ex(ctx, out, &len);
            benchmark::DoNotOptimize(out);
        });
    }
    EVP_MD_CTX_free(ctx);
    bench::Report(state, ours, outside, 64.0 * double(state.iterations()), "MiBps");
}

constexpr int kOpsPerRound = 25;

// What both signature benches start from: our hash of a short message in
// the family's provider, and the engine's key and digest of the same bytes.
struct SignInputs {
    HCRYPTHASH h = 0;
    EVP_PKEY* key = nullptr;
    std::vector<unsigned char> digest;

    SignInputs(benchmark::State& state, int i, const Family& f) {
        state.SetLabel(f.name);
        VRKCreateHash(C().prov[i], f.hashAlg, 0, &h);
        VRKHashData(h, "bench", 5);
        key = EngineKey(f);
        digest = EngineDigest(f, "bench", 5);
    }
    ~SignInputs() {
        EVP_PKEY_free(key);
        VRKDestroyHash(h);
    }
    SignInputs(const SignInputs&) = delete;
    SignInputs& operator=(const SignInputs&) = delete;
};

void BM_Sign(benchmark::State& state) {
    const int i = int(state.range(0));
    const Family& f = kFamilies[i];
    if (!Ready(state)) return;
    const SignInputs in(state, i, f);
    const HCRYPTHASH h = in.h;
    EVP_PKEY* key = in.key;
    const std::vector<unsigned char>& digest = in.digest;
    double ours = 0, outside = 0;
    bool ok = key != nullptr;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            IdentObj sig;
            for (int n = 0; n < kOpsPerRound; ++n) ok &= VRKSignHash(h, AT_SIGNATURE, 0, sig) != FALSE;
        });
        outside += bench::Seconds([&] {
            for (int n = 0; n < kOpsPerRound; ++n) {
                EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, bench::GostEngine());
                unsigned char sig[128];
                size_t len = sizeof sig;
                ok &= EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_sign(ctx, sig, &len, digest.data(), digest.size()) > 0;
                EVP_PKEY_CTX_free(ctx);
            }
        });
    }
    if (!ok) state.SkipWithError("a signature failed");
    bench::Report(state, ours, outside, double(kOpsPerRound) * double(state.iterations()), "ops");
}

void BM_Verify(benchmark::State& state) {
    const int i = int(state.range(0));
    const Family& f = kFamilies[i];
    if (!Ready(state)) return;
    const SignInputs in(state, i, f);
    const HCRYPTHASH h = in.h;
    EVP_PKEY* key = in.key;
    const std::vector<unsigned char>& digest = in.digest;
    IdentObj ourSig;
    bool ok = VRKSignHash(h, AT_SIGNATURE, 0, ourSig) != FALSE;
    unsigned char sig[128];
    size_t sigLen = sizeof sig;
    EVP_PKEY_CTX* sctx = EVP_PKEY_CTX_new(key, bench::GostEngine());
    ok &= sctx && EVP_PKEY_sign_init(sctx) > 0 && EVP_PKEY_sign(sctx, sig, &sigLen, digest.data(), digest.size()) > 0;
    EVP_PKEY_CTX_free(sctx);
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            for (int n = 0; n < kOpsPerRound; ++n) ok &= VRKVerifySignature(h, ourSig, C().key[i], 0) != FALSE;
        });
        outside += bench::Seconds([&] {
            for (int n = 0; n < kOpsPerRound; ++n) {
                EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, bench::GostEngine());
                ok &= EVP_PKEY_verify_init(ctx) > 0 &&
                      EVP_PKEY_verify(ctx, sig, sigLen, digest.data(), digest.size()) == 1;
                EVP_PKEY_CTX_free(ctx);
            }
        });
    }
    if (!ok) state.SkipWithError("a verification failed");
    bench::Report(state, ours, outside, double(kOpsPerRound) * double(state.iterations()), "ops");
}

// 0: 2001, 1: 2012-256, 2: 2012-512.
BENCHMARK(BM_Hash)->DenseRange(0, 2)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sign)->DenseRange(0, 2)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Verify)->DenseRange(0, 2)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
