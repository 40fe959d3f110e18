// The ASN.1 codec on a certificate-sized input, beside OpenSSL's own DER
// reader doing the same walk.
#include <vector>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "bench_support.h"
#include "cert/asn.h"
#include "cert/oids.h"

namespace {

// A certificate-shaped structure: names, validity, key, extensions.
IdentObj SampleCertificate() {
    asn::Writer w;
    auto cert = w.BeginSequence();
    auto tbs = w.BeginSequence();
    auto v = w.BeginContext(0);
    w.Integer(2).End(v);
    const std::uint8_t serial[20] = {0x4F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    w.UnsignedInteger(asn::Bytes(serial, sizeof serial));
    auto alg = w.BeginSequence();
    w.Oid(cert::oids::kGostR3410_2012_256WithR3411).End(alg);
    for (int n = 0; n < 2; ++n) {
        auto name = w.BeginSequence();
        const char* attrs[][2] = {{cert::oids::kCountryName, "RU"},
                                  {cert::oids::kOrganizationName, "Организация"},
                                  {cert::oids::kCommonName, "Иванов Иван"}};
        for (auto& a : attrs) {
            auto set = w.BeginSet();
            auto atv = w.BeginSequence();
            w.Oid(a[0]).String(a[0][6] == '6' ? asn::kPrintableString : asn::kUtf8String, a[1]);
            w.End(atv).End(set);
        }
        w.End(name);
        if (n == 0) {
            auto val = w.BeginSequence();
            w.Time(asn::MakeFileTime(2024, 1, 1, 0, 0, 0)).Time(asn::MakeFileTime(2034, 1, 1, 0, 0, 0));
            w.End(val);
        }
    }
    auto spki = w.BeginSequence();
    auto ka = w.BeginSequence();
    w.Oid(cert::oids::kGostR3410_2012_256);
    auto par = w.BeginSequence();
    w.Oid(cert::oids::kSign2012_256ParamSetA).End(par).End(ka);
    std::uint8_t key[67] = {0x04, 0x40};
    w.BitString(asn::Bytes(key, sizeof key)).End(spki);
    auto ext = w.BeginContext(3);
    auto exts = w.BeginSequence();
    for (const char* oid :
         {cert::oids::kSubjectKeyIdentifier, cert::oids::kAuthorityKeyIdentifier, cert::oids::kKeyUsage,
          cert::oids::kBasicConstraints, cert::oids::kCrlDistributionPoints, cert::oids::kCertificatePolicies}) {
        auto e = w.BeginSequence();
        std::uint8_t body[24] = {0x04, 0x16};
        w.Oid(oid).OctetString(asn::Bytes(body, sizeof body)).End(e);
    }
    w.End(exts).End(ext).End(tbs);
    auto sa = w.BeginSequence();
    w.Oid(cert::oids::kGostR3410_2012_256WithR3411).End(sa);
    std::uint8_t sig[64] = {};
    w.BitString(asn::Bytes(sig, sizeof sig)).End(cert);
    return w.Take();
}

// OpenSSL's own DER walk: every element's header read and checked against
// what remains, constructed elements entered, as asn::Validate does.
bool OpensslWalk(const unsigned char* p, long n, int depth) {
    const unsigned char* end = p + n;
    while (p < end) {
        long len = 0;
        int tag = 0, cls = 0;
        const unsigned char* q = p;
        int r = ASN1_get_object(&q, &len, &tag, &cls, end - p);
        if (r & 0x80) return false;
        if ((r & V_ASN1_CONSTRUCTED) && depth < 64 && !OpensslWalk(q, len, depth + 1)) return false;
        p = q + len;
    }
    return true;
}

void BM_ValidateCertificate(benchmark::State& state) {
    IdentObj c = SampleCertificate();
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            for (int i = 0; i < 1000; ++i) asn::Validate(asn::View(c));
        });
        outside += bench::Seconds([&] {
            for (int i = 0; i < 1000; ++i) benchmark::DoNotOptimize(OpensslWalk(c.data(), long(c.size()), 0));
        });
    }
    bench::Report(state, ours, outside, 1000.0 * double(state.iterations()) * double(c.size()) / (1 << 20), "MiBps");
}
BENCHMARK(BM_ValidateCertificate)->Iterations(200);

// The certificate's top-level elements, each kept as its own blob.
void BM_GetSequence(benchmark::State& state) {
    IdentObj c = SampleCertificate();
    std::vector<IdentObj> items;
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            for (int i = 0; i < 1000; ++i) benchmark::DoNotOptimize(ASNTGetSequence(c, items));
        });
        outside += bench::Seconds([&] {
            for (int i = 0; i < 1000; ++i) {
                const unsigned char* p = c.data();
                long len = 0;
                int tag = 0, cls = 0;
                ASN1_get_object(&p, &len, &tag, &cls, long(c.size()));
                const unsigned char* end = p + len;
                std::vector<IdentObj> parts;
                while (p < end) {
                    const unsigned char* q = p;
                    ASN1_get_object(&q, &len, &tag, &cls, end - p);
                    parts.emplace_back(p, DWORD(q + len - p));
                    p = q + len;
                }
                benchmark::DoNotOptimize(parts.data());
            }
        });
    }
    bench::Report(state, ours, outside, 1000.0 * double(state.iterations()), "ops");
}
BENCHMARK(BM_GetSequence)->Iterations(200);

void BM_OidRoundTrip(benchmark::State& state) {
    std::vector<std::uint8_t> enc;
    double ours = 0, outside = 0;
    for (auto _ : state) {
        ours += bench::Seconds([&] {
            for (int i = 0; i < 1000; ++i) {
                asn::EncodeOid(cert::oids::kGostR3410_2012_256WithR3411, enc);
                benchmark::DoNotOptimize(asn::DecodeOid(asn::Bytes(enc.data(), enc.size())));
            }
        });
        outside += bench::Seconds([&] {
            for (int i = 0; i < 1000; ++i) {
                ASN1_OBJECT* o = OBJ_txt2obj(cert::oids::kGostR3410_2012_256WithR3411, 1);
                char text[64];
                benchmark::DoNotOptimize(OBJ_obj2txt(text, sizeof text, o, 1));
                ASN1_OBJECT_free(o);
            }
        });
    }
    bench::Report(state, ours, outside, 1000.0 * double(state.iterations()), "ops");
}
BENCHMARK(BM_OidRoundTrip)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
