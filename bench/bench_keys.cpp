// The user's keys: the proof of a key pair (CCTFUser::CheckSignKeys) beside
// a sign and a verify of fresh random through the engine's EVP calls, and
// finding the key of a certificate (GetUserKey) among 1, 10 and 100 cached
// keys beside the engine comparing a key with as many keys.
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include "bench_support.h"
#include "keys_user.h"

namespace {

struct Family {
    const char* name;
    const char* keyOid;
    int keyNid;
    std::size_t digestBytes;  // what the proof signs: 32 bytes, 64 for 512-bit keys
};
const Family kFamilies[] = {
    {"gost2001", "1.2.643.2.2.19", NID_id_GostR3410_2001, 32},
    {"gost2012_256", "1.2.643.7.1.1.1.1", NID_id_GostR3410_2012_256, 32},
    {"gost2012_512", "1.2.643.7.1.1.1.2", NID_id_GostR3410_2012_512, 64},
};

EVP_PKEY* EngineKey(int nid) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(nid, bench::GostEngine());
    EVP_PKEY* key = nullptr;
    if (ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "A") > 0)
        EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

bool Ready(benchmark::State& state) {
    if (!bench::GostEngine()) {
        state.SkipWithError("the GOST engine is not installed");
        return false;
    }
    benchkeys::UseOwnHome();
    return true;
}

constexpr int kOpsPerRound = 10;

void BM_CheckSignKeys(benchmark::State& state) {
    const Family& f = kFamilies[state.range(0)];
    if (!Ready(state)) return;
    state.SetLabel(f.name);
    benchkeys::Proof* proof = benchkeys::MakeProof(f.keyOid);
    EVP_PKEY* key = EngineKey(f.keyNid);
    if (!proof || !key) {
        state.SkipWithError("the keys could not be made");
        benchkeys::FreeProof(proof);
        EVP_PKEY_free(key);
        return;
    }
    // The first proof opens the container's key (its password's key
    // derivation): a login's cost, paid once, as the engine's key is made
    // before its side is timed.
    bool ok = benchkeys::Prove(proof);
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            for (int n = 0; n < kOpsPerRound; ++n) ok &= benchkeys::Prove(proof);
        });
        outside += bench::Seconds([&] {
            for (int n = 0; n < kOpsPerRound; ++n) {
                unsigned char digest[64], sig[128];
                size_t len = sizeof sig;
                RAND_bytes(digest, int(f.digestBytes));
                EVP_PKEY_CTX* s = EVP_PKEY_CTX_new(key, bench::GostEngine());
                ok &= EVP_PKEY_sign_init(s) > 0 && EVP_PKEY_sign(s, sig, &len, digest, f.digestBytes) > 0;
                EVP_PKEY_CTX_free(s);
                EVP_PKEY_CTX* v = EVP_PKEY_CTX_new(key, bench::GostEngine());
                ok &= EVP_PKEY_verify_init(v) > 0 && EVP_PKEY_verify(v, sig, len, digest, f.digestBytes) > 0;
                EVP_PKEY_CTX_free(v);
            }
        });
    }
    benchkeys::FreeProof(proof);
    EVP_PKEY_free(key);
    if (!ok) state.SkipWithError("a proof failed");
    bench::Report(state, ours, outside, double(kOpsPerRound) * double(state.iterations()), "ops");
}

void BM_GetUserKeyWithCertificate(benchmark::State& state) {
    const int n = int(state.range(0));
    if (!Ready(state)) return;
    state.SetLabel(std::to_string(n) + " cached keys");
    benchkeys::Cache* cache = benchkeys::MakeCache(n);
    std::vector<EVP_PKEY*> keys;
    for (int i = 0; i < n; ++i) keys.push_back(EngineKey(NID_id_GostR3410_2012_256));
    bool ok = cache != nullptr && keys.back() != nullptr;
    // The engine's side: a key compared with as many keys, the last one
    // matching, as a search through the whole cache goes.
    EVP_PKEY* want = keys.back();
    double ours = 0, outside = 0;
    for (auto _ : state) {
        if (!ok) break;
        ours += bench::Seconds([&] {
            for (int k = 0; k < kOpsPerRound; ++k) ok &= benchkeys::FindNext(cache);
        });
        outside += bench::Seconds([&] {
            for (int k = 0; k < kOpsPerRound; ++k) {
                int found = 0;
                for (EVP_PKEY* candidate : keys) found += EVP_PKEY_eq(candidate, want) == 1;
                benchmark::DoNotOptimize(found);
            }
        });
    }
    for (EVP_PKEY* k : keys) EVP_PKEY_free(k);
    benchkeys::FreeCache(cache);
    if (!ok) state.SkipWithError("a key was not found");
    bench::Report(state, ours, outside, double(kOpsPerRound) * double(state.iterations()), "ops");
}

BENCHMARK(BM_CheckSignKeys)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetUserKeyWithCertificate)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
