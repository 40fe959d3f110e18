// Verifying 10,000 end-user certificates of one CA against its CRL of
// 1,000,000 entries (36 MiB): our chain engine over a root storage loaded
// once, beside one `openssl verify -crl_check` over the same files.
//
// OpenSSL checks the CRL's signature again for every certificate it
// verifies, a Streebog hash over the whole CRL each time, so one run over
// all 10,000 certificates would take about an hour. Its side is therefore
// two runs over the same files, one certificate and a sample of them, which
// separate its one-time load from its cost per certificate; the figure for
// 10,000 is that load plus 10,000 times that cost. Both sizes are printed.
// Ours verifies every certificate; its load (reading and decoding the files,
// filling the storage) is counted too. Time is CPU time: this thread's for
// ours, the children's for the openssl processes.
//
// Every hundredth certificate is revoked: both sides must find exactly
// those, so that no check can be skipped unnoticed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "cert/chain.h"
#include "cert/convert.h"
#include "cert/transdir.h"
#include "pki.h"

namespace {

constexpr int kCertificates = 10000;
constexpr int kCrlEntries = 1000000;
constexpr int kRevokedEvery = 100;
constexpr int kOpensslSample = 8;

struct Files {
    std::string dir;
    std::vector<std::string> certs;  // DER, with a PEM beside each (".pem")
    std::string ca, crl;             // DER, PEM beside
    std::size_t crlBytes = 0;
};

void Write(const std::string& path, const IdentObj& der, const char* label) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), std::streamsize(der.size()));
    std::ofstream(path + ".pem") << "-----BEGIN " << label << "-----\n"
                                 << TOO_MIMEBase64Encode(der.data(), der.size(), 64) << "\n-----END " << label
                                 << "-----\n";
}

IdentObj Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return IdentObj(s.str());
}

// The CA, its certificates and its CRL: made once, in a folder removed at
// exit.
const Files& Made() {
    static const Files files = [] {
        Files f;
        std::string pattern = (std::filesystem::temp_directory_path() / "bench_chain.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        f.dir = pattern;
        static std::string removeAtExit = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removeAtExit, ec);
        });

        const certpki::Cert ca = certpki::SelfSigned(certpki::CaSpec("CN=Bench Chain CA, O=Bench, C=RU"));
        certpki::CrlSpec crl;
        crl.revoked.reserve(kCrlEntries);
        for (int i = 0; i < kCertificates; ++i) {
            certpki::CertSpec spec;
            spec.subject = "CN=Bench User " + std::to_string(i) + ", O=Bench, C=RU";
            spec.key = "bench-user";
            spec.keyUsage = 0x80;
            const certpki::Cert cert = certpki::Issue(ca, spec);
            f.certs.push_back(f.dir + "/user" + std::to_string(i) + ".der");
            Write(f.certs.back(), cert.der, "CERTIFICATE");
            if (i % kRevokedEvery == 0) crl.revoked.push_back({cert.Serial(), {}, 0});
        }
        // The rest of the entries: 16-byte serials no certificate here has.
        std::mt19937_64 rng(1);
        while (crl.revoked.size() < std::size_t(kCrlEntries)) {
            unsigned char serial[16];
            for (int j = 0; j < 16; j += 8) {
                const std::uint64_t r = rng();
                for (int k = 0; k < 8; ++k) serial[j + k] = static_cast<unsigned char>(r >> (8 * k));
            }
            serial[15] = static_cast<unsigned char>((serial[15] & 0x7F) | 0x01);  // positive, minimal
            crl.revoked.push_back({IdentObj(serial, sizeof serial), {}, 0});
        }
        const IdentObj crlDer = certpki::MakeCrl(ca, crl).GetEncoded();
        f.crlBytes = crlDer.size();
        f.ca = f.dir + "/ca.der";
        f.crl = f.dir + "/crl.der";
        Write(f.ca, ca.der, "CERTIFICATE");
        Write(f.crl, crlDer, "X509 CRL");
        return f;
    }();
    return files;
}

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// One `openssl verify -crl_check` over the first `count` certificates: its
// CPU seconds; `revoked` gets how many it found revoked, `ok` how many
// passed.
double OpensslRun(const Files& f, int count, int& ok, int& revoked) {
    std::string cmd = "openssl verify -engine gost -crl_check -CAfile '" + f.ca + ".pem' -CRLfile '" + f.crl + ".pem'";
    for (int i = 0; i < count; ++i) cmd += " '" + f.certs[std::size_t(i)] + ".pem'";
    cmd += " 2>&1";
    const double t0 = ChildrenCpu();
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    const double spent = ChildrenCpu() - t0;
    ok = revoked = 0;
    for (std::size_t at = 0; (at = out.find(": OK\n", at)) != std::string::npos; ++at) ++ok;
    for (std::size_t at = 0; (at = out.find("error 23 at", at)) != std::string::npos; ++at) ++revoked;
    return spent;
}

int RevokedAmong(int count) { return (count + kRevokedEvery - 1) / kRevokedEvery; }

void BM_VerifyAgainstMillionEntryCrl(benchmark::State& state) {
    if (!bench::GostEngine()) {
        state.SkipWithError("no GOST engine");
        return;
    }
    const Files& f = Made();
    double ours = 0, outside = 0, opensslLoad = 0, opensslPerCert = 0;
    for (auto _ : state) {
        int clean = 0, revoked = 0;
        ours += bench::Seconds([&] {
            CCTFCertStorage root(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 7, nullptr);
            root.AddEncodetCertificate(Read(f.ca));
            root.AddEncodetCRL(Read(f.crl));
            CTFLoadRootStorage(root, CTOOString(f.dir.c_str()), 0);
            for (const std::string& path : f.certs) {
                CERT_TRUST_STATUS status{0, 0};
                CTFVerifyCertificate(CCTFCertContext(Read(path)), status);
                if (status.dwErrorStatus == 0)
                    ++clean;
                else if (status.dwErrorStatus == CERT_TRUST_IS_REVOKED)
                    ++revoked;
            }
            CTFFreeRootStorage();
        });
        if (revoked != RevokedAmong(kCertificates) || clean + revoked != kCertificates)
            state.SkipWithError("our verdicts are not the expected ones");

        int ok1 = 0, rev1 = 0, okN = 0, revN = 0;
        const double one = OpensslRun(f, 1, ok1, rev1);
        const double sample = OpensslRun(f, kOpensslSample, okN, revN);
        if (rev1 != 1 || revN != RevokedAmong(kOpensslSample) || okN + revN != kOpensslSample)
            state.SkipWithError("openssl's verdicts are not the expected ones");
        opensslPerCert = (sample - one) / (kOpensslSample - 1);
        opensslLoad = one - opensslPerCert;
        outside += opensslLoad + kCertificates * opensslPerCert;
    }
    bench::Report(state, ours, outside, double(kCertificates) * double(state.iterations()), "certs_per_s");
    state.counters["openssl_load_s"] = opensslLoad;
    state.counters["openssl_ms_per_cert"] = opensslPerCert * 1e3;
    state.counters["ours_ms_per_cert"] = ours * 1e3 / (double(kCertificates) * double(state.iterations()));
    state.SetLabel(std::to_string(kCertificates) + " certificates, CRL of " + std::to_string(kCrlEntries) +
                   " entries (" + std::to_string(f.crlBytes >> 20) + " MiB); openssl runs over 1 and " +
                   std::to_string(kOpensslSample) + " of them");
}
BENCHMARK(BM_VerifyAgainstMillionEntryCrl)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
