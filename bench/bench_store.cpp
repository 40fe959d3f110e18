// Finds in a store among 1,000 and 100,000 certificates: by issuer and
// serial (CERT_FIND_SUBJECT_CERT) beside OpenSSL's
// X509_find_by_issuer_and_serial over a STACK_OF(X509), and by key
// identifier (CERT_FIND_KEY_IDENTIFIER) beside an X509_STORE lookup by
// subject, OpenSSL's own indexed search. Finds are index lookups, so the
// rate at 100,000 stays within a third of the rate at 1,000 ("growth", the
// 1,000 rate over this one, reported at 100,000); a scan's falls a
// hundredfold.
#include <map>
#include <memory>
#include <string>
#include <vector>

// OpenSSL's name type and the platform's structure-type constant share a
// name; OpenSSL's is renamed here (the same type underneath).
#define X509_NAME OSSL_X509_NAME
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#undef X509_NAME
// Declared through macros that paste the renamed type into the names.
extern "C" OSSL_X509_NAME* X509_NAME_dup(const OSSL_X509_NAME*);
extern "C" void X509_NAME_free(OSSL_X509_NAME*);

#include "bench_support.h"
#include "cert/asn.h"
#include "cert/capi.h"
#include "cert/oids.h"

namespace {

constexpr int kIssuers = 16;

std::vector<std::uint8_t> Name(const std::string& cn) {
    asn::Writer w;
    auto name = w.BeginSequence();
    auto set = w.BeginSet();
    auto atv = w.BeginSequence();
    w.Oid(cert::oids::kCommonName).String(asn::kPrintableString, cn).End(atv).End(set).End(name);
    return {w.bytes().begin(), w.bytes().end()};
}

std::vector<std::uint8_t> Serial(int i) {
    return {0x40, std::uint8_t(i >> 16), std::uint8_t(i >> 8), std::uint8_t(i), 0x5A};
}

std::vector<std::uint8_t> KeyId(int i) {
    std::vector<std::uint8_t> id(20, 0x11);
    for (int b = 0; b < 4; ++b) id[b] = std::uint8_t(i >> (8 * b));
    return id;
}

// Certificate i: one of kIssuers issuers, its own serial, subject and key
// identifier; a signature of fixed bytes (finds never verify).
std::vector<std::uint8_t> Certificate(int i) {
    asn::Writer w;
    auto cert = w.BeginSequence();
    auto tbs = w.BeginSequence();
    auto v = w.BeginContext(0);
    w.Integer(2).End(v);
    const std::vector<std::uint8_t> serial = Serial(i);
    w.UnsignedInteger(asn::Bytes(serial.data(), serial.size()));
    auto alg = w.BeginSequence();
    w.Oid("1.2.840.113549.1.1.11").End(alg);
    const std::vector<std::uint8_t> issuer = Name("issuer " + std::to_string(i % kIssuers));
    w.Raw(asn::View(issuer.data(), issuer.size()));
    auto validity = w.BeginSequence();
    w.Time(asn::MakeFileTime(2024, 1, 1, 0, 0, 0)).Time(asn::MakeFileTime(2034, 1, 1, 0, 0, 0)).End(validity);
    const std::vector<std::uint8_t> subject = Name("subject " + std::to_string(i));
    w.Raw(asn::View(subject.data(), subject.size()));
    auto spki = w.BeginSequence();
    auto ka = w.BeginSequence();
    w.Oid("1.2.840.113549.1.1.1").End(ka);
    const std::uint8_t key[] = {0x30, 0x06, 0x02, 0x01, 0x03, 0x02, 0x01, 0x03};
    w.BitString(asn::Bytes(key, sizeof key)).End(spki);
    auto ext = w.BeginContext(3);
    auto exts = w.BeginSequence();
    auto ski = w.BeginSequence();
    const std::vector<std::uint8_t> id = KeyId(i);
    asn::Writer inner;
    inner.OctetString(asn::Bytes(id.data(), id.size()));
    w.Oid(cert::oids::kSubjectKeyIdentifier).OctetString(asn::Bytes(inner.bytes().data(), inner.bytes().size()));
    w.End(ski).End(exts).End(ext).End(tbs);
    auto sa = w.BeginSequence();
    w.Oid("1.2.840.113549.1.1.11").End(sa);
    const std::uint8_t sig[64] = {1, 2, 3};
    w.BitString(asn::Bytes(sig, sizeof sig)).End(cert);
    return {w.bytes().begin(), w.bytes().end()};
}

struct Population {
    HCERTSTORE store = nullptr;
    std::vector<PCCERT_CONTEXT> certs;  // ours, for the find parameters
    STACK_OF(X509) * stack = nullptr;
    X509_STORE* x509store = nullptr;
};

Population& Populate(int n) {
    static std::map<int, Population> made;
    auto at = made.find(n);
    if (at != made.end()) return at->second;
    Population& p = made[n];
    p.store = CertOpenStore(CERT_STORE_PROV_MEMORY, CAPI_ENCODING, 0, 0, nullptr);
    p.stack = sk_X509_new_null();
    p.x509store = X509_STORE_new();
    // Pushed whole and sorted once at the first lookup: X509_STORE_add_cert
    // sorts its table at every add, hours for 100,000.
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(p.x509store);
    for (int i = 0; i < n; ++i) {
        const std::vector<std::uint8_t> der = Certificate(i);
        PCCERT_CONTEXT c = nullptr;
        if (!CertAddEncodedCertificateToStore(p.store, CAPI_ENCODING, der.data(), DWORD(der.size()),
                                              CERT_STORE_ADD_ALWAYS, &c))
            std::abort();
        p.certs.push_back(c);
        const unsigned char* in = der.data();
        X509* x = d2i_X509(nullptr, &in, long(der.size()));
        if (!x) std::abort();
        sk_X509_push(p.stack, x);
        X509_OBJECT* o = X509_OBJECT_new();
        X509_OBJECT_set1_X509(o, x);
        sk_X509_OBJECT_push(objects, o);
    }
    return p;
}

// Our finds per iteration: many more than OpenSSL's scans. Each timed run
// follows as many untimed finds of other certificates, so that it starts
// from the state a store in use is in, not from caches a scan of 100,000
// certificates has just flushed; none of the timed certificates is among
// those warmed.
constexpr int kOursPerIteration = 4096;

// The i-th of `count` lookups spread over the population.
int Pick(int i, int n) { return int((std::uint64_t(i) * 2654435761u) % std::uint64_t(n)); }

// What a caller brings to a find: its own copy of the search fields, as it
// has them from a certificate it just read, and the certificate expected.
// The same number of queries at every population size, packed in one
// buffer, so that what is measured is the store's lookup, not a walk
// through the population to fetch the question.
struct Queries {
    std::vector<BYTE> bytes;
    struct One {
        std::uint32_t serial, serialSize, issuer, issuerSize;
        PCCERT_CONTEXT want;
    };
    std::vector<One> ones;
    // OpenSSL's side: copies of issuer and serial, the expected X509.
    std::vector<OSSL_X509_NAME*> issuers;
    std::vector<ASN1_INTEGER*> serials;
    std::vector<X509*> wants;
};

const Queries& QueriesFor(int n, int count) {
    static std::map<std::pair<int, int>, Queries> made;
    auto at = made.find({n, count});
    if (at != made.end()) return at->second;
    Population& p = Populate(n);
    Queries& q = made[{n, count}];
    for (int i = 0; i < count; ++i) {
        PCCERT_CONTEXT want = p.certs[Pick(i, n)];
        const CERT_INFO& info = *want->pCertInfo;
        Queries::One one{std::uint32_t(q.bytes.size()), info.SerialNumber.cbData, 0, info.Issuer.cbData, want};
        q.bytes.insert(q.bytes.end(), info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData);
        one.issuer = std::uint32_t(q.bytes.size());
        q.bytes.insert(q.bytes.end(), info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
        q.ones.push_back(one);
        X509* x = sk_X509_value(p.stack, Pick(i, n));
        q.issuers.push_back(X509_NAME_dup(X509_get_issuer_name(x)));
        q.serials.push_back(ASN1_INTEGER_dup(X509_get_serialNumber(x)));
        q.wants.push_back(x);
    }
    return q;
}

std::map<std::string, double> g_rateAt1k;

void ReportGrowth(benchmark::State& state, const std::string& name, double oursRate) {
    if (state.range(0) == 1000) g_rateAt1k[name] = oursRate;
    if (state.range(0) == 100000 && g_rateAt1k.count(name)) state.counters["growth"] = g_rateAt1k[name] / oursRate;
}

void BM_FindByIssuerSerial(benchmark::State& state) {
    const int n = int(state.range(0));
    Population& p = Populate(n);
    const int lookups = 64;
    const Queries& q = QueriesFor(n, 2 * kOursPerIteration);
    CERT_INFO info{};
    auto find = [&](int from) {
        for (int i = from; i < from + kOursPerIteration; ++i) {
            const Queries::One& one = q.ones[i];
            info.SerialNumber = {one.serialSize, const_cast<BYTE*>(q.bytes.data() + one.serial)};
            info.Issuer = {one.issuerSize, const_cast<BYTE*>(q.bytes.data() + one.issuer)};
            PCCERT_CONTEXT got =
                CertFindCertificateInStore(p.store, CAPI_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &info, nullptr);
            if (got != one.want) std::abort();
            CertFreeCertificateContext(got);
        }
    };
    double ours = 0, outside = 0, done = 0;
    for (auto _ : state) {
        find(0);
        ours += bench::Seconds([&] { find(kOursPerIteration); });
        outside += bench::Seconds([&] {
            for (int i = 0; i < lookups; ++i) {
                X509* got = X509_find_by_issuer_and_serial(p.stack, q.issuers[i], q.serials[i]);
                if (got != q.wants[i]) std::abort();
            }
        });
        done += lookups;
    }
    // Our time for the same number of finds as OpenSSL's.
    const double oursScaled = ours * lookups / kOursPerIteration;
    bench::Report(state, oursScaled, outside, done, "finds_per_s");
    ReportGrowth(state, "serial", done / oursScaled);
}

void BM_FindByKeyId(benchmark::State& state) {
    const int n = int(state.range(0));
    Population& p = Populate(n);
    const int lookups = 256;
    const Queries& q = QueriesFor(n, 2 * kOursPerIteration);
    std::vector<std::vector<std::uint8_t>> ids;
    std::vector<OSSL_X509_NAME*> subjects;
    for (int i = 0; i < 2 * kOursPerIteration; ++i) ids.push_back(KeyId(Pick(i, n)));
    for (int i = 0; i < lookups; ++i) subjects.push_back(X509_NAME_dup(X509_get_subject_name(q.wants[i])));
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, p.x509store, nullptr, nullptr);
    auto find = [&](int from) {
        for (int i = from; i < from + kOursPerIteration; ++i) {
            CRYPT_HASH_BLOB blob{DWORD(ids[i].size()), ids[i].data()};
            PCCERT_CONTEXT got =
                CertFindCertificateInStore(p.store, CAPI_ENCODING, 0, CERT_FIND_KEY_IDENTIFIER, &blob, nullptr);
            if (got != q.ones[i].want) std::abort();
            CertFreeCertificateContext(got);
        }
    };
    double ours = 0, outside = 0, done = 0;
    for (auto _ : state) {
        find(0);
        ours += bench::Seconds([&] { find(kOursPerIteration); });
        outside += bench::Seconds([&] {
            for (int i = 0; i < lookups; ++i) {
                X509_OBJECT* got = X509_STORE_CTX_get_obj_by_subject(ctx, X509_LU_X509, subjects[i]);
                if (!got || X509_OBJECT_get0_X509(got) != q.wants[i]) std::abort();
                X509_OBJECT_free(got);
            }
        });
        done += lookups;
    }
    X509_STORE_CTX_free(ctx);
    for (OSSL_X509_NAME* s : subjects) X509_NAME_free(s);
    const double oursScaled = ours * lookups / kOursPerIteration;
    bench::Report(state, oursScaled, outside, done, "finds_per_s");
    ReportGrowth(state, "keyid", done / oursScaled);
}

BENCHMARK(BM_FindByIssuerSerial)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindByKeyId)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
