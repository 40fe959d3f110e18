// Our side of bench_chain.
#include "chain_side.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "cert/chain.h"
#include "cert/transdir.h"
#include "pem.h"
#include "pki.h"

namespace benchchain {

namespace {

void Write(const std::string& path, const IdentObj& der) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), std::streamsize(der.size()));
}

IdentObj Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return IdentObj(s.str());
}

}  // namespace

const Files& Make(int certificates, int crlEntries, int revokedEvery) {
    static const Files files = [&] {
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
        crl.revoked.reserve(std::size_t(crlEntries));
        for (int i = 0; i < certificates; ++i) {
            certpki::CertSpec spec;
            spec.subject = "CN=Bench User " + std::to_string(i) + ", O=Bench, C=RU";
            spec.key = "bench-user";
            spec.keyUsage = 0x80;
            const certpki::Cert cert = certpki::Issue(ca, spec);
            f.certs.push_back(f.dir + "/user" + std::to_string(i) + ".der");
            Write(f.certs.back(), cert.der);
            if (i % revokedEvery == 0) crl.revoked.push_back({cert.Serial(), {}, 0});
        }
        // The other entries: 16-byte serials no certificate here has.
        std::mt19937_64 rng(1);
        while (crl.revoked.size() < std::size_t(crlEntries)) {
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
        Write(f.ca, ca.der);
        std::ofstream(f.ca + ".pem") << certtest::Pem(ca.der, "CERTIFICATE");
        Write(f.crl, crlDer);
        return f;
    }();
    return files;
}

Verdicts VerifyAll(const Files& f) {
    Verdicts v;
    CCTFCertStorage root(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 7, nullptr);
    root.AddEncodetCertificate(Read(f.ca));
    root.AddEncodetCRL(Read(f.crl));
    CTFLoadRootStorage(root, CTOOString(f.dir.c_str()), 0);
    for (const std::string& path : f.certs) {
        CERT_TRUST_STATUS status{0, 0};
        CTFVerifyCertificate(CCTFCertContext(Read(path)), status);
        if (status.dwErrorStatus == 0)
            ++v.clean;
        else if (status.dwErrorStatus == CERT_TRUST_IS_REVOKED)
            ++v.revoked;
        else
            ++v.other;
    }
    CTFFreeRootStorage();
    return v;
}

}  // namespace benchchain
