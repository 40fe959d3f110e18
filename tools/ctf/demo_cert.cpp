// Demo step: a key, a certificate the model builds with a Cyrillic subject,
// and the certificate shown as `ctf cert show` shows it.
#include <cstdio>

#include "cert/vrkscapi.h"
#include "certs.h"
#include "cli.h"

namespace {

int Run(ctf::Context&) {
    VRKSCApi::CryptProvider p;
    VRKSCApi::CryptKey key;
    if (!VRKAcquireContext(&p, "demo-cert", nullptr, VRK_PROV_TYPE_GOST_2012_256,
                           CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER | CRYPT_SILENT) ||
        !VRKGenKey(p, AT_SIGNATURE, 256 << 16, &key)) {
        std::printf("  no key: 0x%08X\n", GetLastError());
        return ctf::kFailure;
    }
    ctf::NewCertificate what;
    what.subject = CCTFX509Name("CN=Петров Пётр, O=АО \"Вектор\", L=Санкт-Петербург, C=RU, INN=007801234567", 0, true);
    what.months = 24;
    what.extendedUsage = 0x02 | 0x08;
    what.crlUrls = {"http://ca.example.ru/vector.crl"};
    what.ocspUrls = {"http://ocsp.example.ru/"};
    const CCTFX509Certificate cert = ctf::MakeSelfSigned(p, what);
    std::printf("a self-signed certificate of %u bytes, made by the model and signed by the provider:\n%s",
                unsigned(cert.m_encoded.size()), ctf::CertificateText(cert, cert.m_encoded).c_str());
    return ctf::kOk;
}

ctf::DemoRegistrar step({50, "certificates: a key and a model-built certificate with a Cyrillic subject", Run});

}  // namespace
