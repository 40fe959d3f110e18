// The certificate model's decoder (CCTFX509Certificate::DecodeCert) beside
// OpenSSL's d2i_X509 on the same certificate bytes: a self-signed
// certificate made here by OpenSSL, with a Cyrillic name and the extensions
// a certification authority's certificate carries, for a GOST 2012-256 key
// (when the engine is installed) and an RSA key.
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "bench_support.h"
#include "model_decode.h"

namespace {

EVP_PKEY* GostKey() {
    ENGINE* e = bench::GostEngine();
    if (!e) return nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, e);
    EVP_PKEY* key = nullptr;
    if (ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "A") > 0)
        EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

EVP_PKEY* RsaKey() { return EVP_RSA_gen(2048); }

bool AddExtension(X509* x, X509V3_CTX& ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    const bool ok = ext && X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    return ok;
}

// The DER of a self-signed certificate for `key` hashed with `md`; empty on
// failure.
std::vector<unsigned char> MakeCertificate(EVP_PKEY* key, const EVP_MD* md) {
    std::vector<unsigned char> out;
    X509* x = X509_new();
    X509_NAME* name = X509_NAME_new();
    bool ok = x && name && key && md && X509_set_version(x, X509_VERSION_3) &&
              ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), 0x1234567890ABCDEFull) &&
              X509_gmtime_adj(X509_getm_notBefore(x), 0) && X509_gmtime_adj(X509_getm_notAfter(x), 3650L * 86400);
    const char* attrs[][2] = {{"C", "RU"},
                              {"ST", "Москва"},
                              {"L", "Москва"},
                              {"O", "Удостоверяющий центр"},
                              {"OU", "Отдел сертификатов"},
                              {"CN", "Проверочный центр сертификации"}};
    for (const auto& a : attrs)
        ok = ok && X509_NAME_add_entry_by_txt(name, a[0], MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(a[1]),
                                              -1, -1, 0);
    ok = ok && X509_set_subject_name(x, name) && X509_set_issuer_name(x, name) && X509_set_pubkey(x, key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    ok =
        ok && AddExtension(x, ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:1") &&
        AddExtension(x, ctx, NID_key_usage, "critical,digitalSignature,keyCertSign,cRLSign") &&
        AddExtension(x, ctx, NID_ext_key_usage, "serverAuth,clientAuth") &&
        AddExtension(x, ctx, NID_subject_key_identifier, "hash") &&
        AddExtension(x, ctx, NID_authority_key_identifier, "keyid:always,issuer:always") &&
        AddExtension(x, ctx, NID_crl_distribution_points, "URI:http://ca.example/ca.crl") &&
        AddExtension(x, ctx, NID_info_access, "caIssuers;URI:http://ca.example/ca.cer,OCSP;URI:http://ocsp.example/") &&
        X509_sign(x, key, md) > 0;
    unsigned char* der = nullptr;
    const int n = ok ? i2d_X509(x, &der) : 0;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    X509_NAME_free(name);
    X509_free(x);
    return out;
}

const std::vector<unsigned char>& Certificate(bool gost) {
    static const std::vector<unsigned char> made[2] = {
        [] {
            EVP_PKEY* key = RsaKey();
            std::vector<unsigned char> c = MakeCertificate(key, EVP_sha256());
            EVP_PKEY_free(key);
            return c;
        }(),
        [] {
            EVP_PKEY* key = GostKey();
            const EVP_MD* md =
                bench::GostEngine() ? ENGINE_get_digest(bench::GostEngine(), NID_id_GostR3411_2012_256) : nullptr;
            std::vector<unsigned char> c = MakeCertificate(key, md);
            EVP_PKEY_free(key);
            return c;
        }(),
    };
    return made[gost ? 1 : 0];
}

// One certificate decoded per step on each side, whole: the model's fields,
// OpenSSL's X509 object.
void BM_DecodeCertificate(benchmark::State& state) {
    const std::vector<unsigned char>& der = Certificate(state.range(0) != 0);
    if (der.empty()) {
        state.SkipWithError(state.range(0) ? "no GOST engine or no GOST certificate" : "no RSA certificate");
        return;
    }
    constexpr int kBatch = 200;
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            if (benchmodel::DecodeCertificates(der.data(), der.size(), kBatch) != kBatch)
                state.SkipWithError("DecodeCert refused the certificate");
        });
        outside += bench::Seconds([&] {
            for (int i = 0; i < kBatch; ++i) {
                const unsigned char* p = der.data();
                X509* x = d2i_X509(nullptr, &p, long(der.size()));
                if (!x) state.SkipWithError("d2i_X509 refused the certificate");
                benchmark::DoNotOptimize(x);
                X509_free(x);
            }
        });
    }
    bench::Report(state, ours, outside, double(kBatch) * double(state.iterations()), "certs_per_s");
    state.SetLabel(std::to_string(der.size()) + " bytes");
}
BENCHMARK(BM_DecodeCertificate)->ArgName("gost")->Arg(0)->Arg(1)->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
