// Demo step: the sample CA into the user's "Root"; the sample certificate
// into a store file opened twice (one store behind both), its issuer found
// and checked, the store exported as PKCS #7 and read back.
#include <cstdio>
#include <string>

#include "cert/certstore.h"
#include "cert/sysapi.h"
#include "cli.h"
#include "sample.h"

namespace {

int Fail(const char* what) {
    std::printf("  %s: 0x%08X\n", what, GetLastError());
    return ctf::kFailure;
}

int Run(ctf::Context&) {
    const ctf::ByteSpan sample = ctf::SampleCertificate();
    const CCTFCertContext cert(IdentObj(sample.data(), static_cast<DWORD>(sample.size())));
    if (!cert.IsInitialized()) return Fail("the sample does not load");

    CCTFCertStorage root(CCTFString("Root"), CERT_STORE_PROV_SYSTEM_A, CERT_SYSTEM_STORE_CURRENT_USER, 0, nullptr);
    if (!root.IsOpen() || !root.AddCertificate(cert)) return Fail("cannot add the sample CA to the user's Root");
    std::printf("the sample CA is in the user's \"Root\"\n");

    const std::string path = cert::platform::CertHome() + "/demo-store.sst";
    {
        CCTFCertStorage first(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_FILE_STORE_COMMIT_ENABLE_FLAG,
                              0, nullptr);
        CCTFCertStorage second(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_FILE_STORE_COMMIT_ENABLE_FLAG,
                               0, nullptr);
        if (!first.IsOpen() || !second.IsOpen()) return Fail("cannot open the store file");
        if (!first.AddCertificate(cert)) return Fail("cannot add the certificate");
        CCTFCertInfo byKey;
        byKey.m_serialNumber = IdentObj(cert.GetContext()->pCertInfo->SerialNumber);
        std::list<CCTFCertContext> found;
        second.FindCertList(found, CERT_FIND_SUBJECT_CERT, &byKey);
        std::printf("%s opened twice: added through one, %zu found by serial through the other\n", path.c_str(),
                    found.size());

        CCTFCertContext issuer;
        CCTFCRLContext crl;
        unsigned long flags = 0;
        const int got = root.FindIssuerCertificate(cert, issuer, &flags, &crl);
        std::printf("issuer in \"Root\": %s, flags 0x%05lX (0x10000: no CRL to check against)\n",
                    got ? "found" : "not found", flags);
        if (!first.CloseStorage() || !second.CloseStorage()) return Fail("the store file was not saved");
    }

    CCTFCertStorage reread(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_STORE_OPEN_EXISTING_FLAG, 0,
                           nullptr);
    if (!reread.IsOpen()) return Fail("cannot read the store file back");
    const std::string p7b = cert::platform::CertHome() + "/demo-store.p7b";
    if (!CertSaveStore(reread.GetHandle(), CAPI_ENCODING, CERT_STORE_SAVE_AS_PKCS7, CERT_STORE_SAVE_TO_FILENAME_A,
                       const_cast<char*>(p7b.c_str()), 0))
        return Fail("cannot export the store");
    CCTFCertStorage bundle(CCTFString(p7b.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_STORE_OPEN_EXISTING_FLAG, 0,
                           nullptr);
    std::list<CCTFCertContext> all;
    if (!bundle.IsOpen() || !bundle.FindCertList(all, CERT_FIND_ANY, nullptr)) return Fail("cannot read the export");
    std::printf("exported as PKCS #7 (%s) and read back: %zu certificate(s), %s\n", p7b.c_str(), all.size(),
                all.size() == 1 && all.front() == cert ? "the same bytes" : "NOT the same");
    return all.size() == 1 && all.front() == cert ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({60, "stores: the user's Root, a store file shared by two openings, issuer, export", Run});

}  // namespace
