// Throughput of the ASN.1 codec on a certificate-sized input.
#include <benchmark/benchmark.h>

#include "cert/asn.h"

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
    w.Oid("1.2.643.7.1.1.3.2").End(alg);
    for (int n = 0; n < 2; ++n) {
        auto name = w.BeginSequence();
        const char* attrs[][2] = {{"2.5.4.6", "RU"}, {"2.5.4.10", "Организация"}, {"2.5.4.3", "Иванов Иван"}};
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
    w.Oid("1.2.643.7.1.1.1.1");
    auto par = w.BeginSequence();
    w.Oid("1.2.643.7.1.2.1.1.1").End(par).End(ka);
    std::uint8_t key[67] = {0x04, 0x40};
    w.BitString(asn::Bytes(key, sizeof key)).End(spki);
    auto ext = w.BeginContext(3);
    auto exts = w.BeginSequence();
    for (const char* oid : {"2.5.29.14", "2.5.29.35", "2.5.29.15", "2.5.29.19", "2.5.29.31", "2.5.29.32"}) {
        auto e = w.BeginSequence();
        std::uint8_t body[24] = {0x04, 0x16};
        w.Oid(oid).OctetString(asn::Bytes(body, sizeof body)).End(e);
    }
    w.End(exts).End(ext).End(tbs);
    auto sa = w.BeginSequence();
    w.Oid("1.2.643.7.1.1.3.2").End(sa);
    std::uint8_t sig[64] = {};
    w.BitString(asn::Bytes(sig, sizeof sig)).End(cert);
    return w.Take();
}

void BM_ValidateCertificate(benchmark::State& state) {
    IdentObj c = SampleCertificate();
    for (auto _ : state) asn::Validate(asn::View(c));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * c.size());
}
BENCHMARK(BM_ValidateCertificate);

void BM_GetSequence(benchmark::State& state) {
    IdentObj c = SampleCertificate();
    std::vector<IdentObj> items;
    for (auto _ : state) benchmark::DoNotOptimize(ASNTGetSequence(c, items));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * c.size());
}
BENCHMARK(BM_GetSequence);

void BM_WriteCertificate(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(SampleCertificate());
}
BENCHMARK(BM_WriteCertificate);

void BM_OidRoundTrip(benchmark::State& state) {
    std::vector<std::uint8_t> enc;
    for (auto _ : state) {
        asn::EncodeOid("1.2.643.7.1.1.3.2", enc);
        benchmark::DoNotOptimize(asn::DecodeOid(asn::Bytes(enc.data(), enc.size())));
    }
}
BENCHMARK(BM_OidRoundTrip);

}  // namespace

BENCHMARK_MAIN();
