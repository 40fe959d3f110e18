// Certificate and CRL contexts: decoding faults, and properties with the sizing call.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "store_test_util.h"

namespace {

using namespace storetest;

std::string Prop(PCCERT_CONTEXT c, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, id, nullptr, &size)) return "<" + std::to_string(GetLastError()) + ">";
    std::string out(size, '\0');
    EXPECT_TRUE(CertGetCertificateContextProperty(c, id, out.data(), &size));
    out.resize(size);
    return out;
}

TEST(Contexts, RefuseWhatIsNoSignedCertificateOrCrl) {
    Der cert = MakeCert({}), crl = MakeCrl({});
    struct Case {
        Der bytes;
        DWORD error;
    } cases[] = {
        {{}, CRYPT_E_ASN1_EOD},
        {Der(cert.begin(), cert.end() - 1), CRYPT_E_ASN1_EOD},
        {[&] {
             Der d = cert;
             d.push_back(0);
             return d;
         }(),
         CRYPT_E_ASN1_NOEOD},
        {{0x30, 0x03, 0x02, 0x01, 0x01}, CRYPT_E_ASN1_BADTAG},
        {crl, CRYPT_E_ASN1_BADTAG},  // a CRL is no certificate
    };
    for (const Case& k : cases) {
        SetLastError(0);
        EXPECT_EQ(CertCreateCertificateContext(CAPI_ENCODING, k.bytes.data(), DWORD(k.bytes.size())), nullptr);
        EXPECT_EQ(GetLastError(), k.error) << std::hex << GetLastError() << " for " << k.bytes.size() << " bytes";
    }
    EXPECT_EQ(CertCreateCertificateContext(PKCS_7_ASN_ENCODING, cert.data(), DWORD(cert.size())), nullptr);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);

    PCCRL_CONTEXT c = CertCreateCRLContext(CAPI_ENCODING, crl.data(), DWORD(crl.size()));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->pCrlInfo->dwVersion, CRL_V2);
    EXPECT_EQ(CertVerifyCRLTimeValidity(nullptr, c->pCrlInfo), 0);
    for (const auto& [year, side] : {std::pair{2023, -1}, {2031, 1}, {2030, 0}}) {
        FILETIME at = Year(year);
        EXPECT_EQ(CertVerifyCRLTimeValidity(&at, c->pCrlInfo), side) << year;
    }
    CertFreeCRLContext(c);
    EXPECT_EQ(CertCreateCRLContext(CAPI_ENCODING, cert.data(), DWORD(cert.size())), nullptr);
}

TEST(Contexts, PropertiesBySizingCall) {
    Der der = MakeCert({});
    PCCERT_CONTEXT c = CertCreateCertificateContext(CAPI_ENCODING, der.data(), DWORD(der.size()));
    ASSERT_TRUE(c);
    der.assign(der.size(), 0);  // the context keeps its own copy

    // 3 is computed when asked; other ids are missing until set.
    EXPECT_EQ(Prop(c, CERT_SHA1_HASH_PROP_ID).size(), 20u);
    EXPECT_EQ(Prop(c, CERT_FRIENDLY_NAME_PROP_ID), "<" + std::to_string(CRYPT_E_NOT_FOUND) + ">");
    EXPECT_EQ(Prop(c, CERT_KEY_SPEC_PROP_ID), "<" + std::to_string(CRYPT_E_NOT_FOUND) + ">");

    std::string friendly = "friendly";
    CRYPT_DATA_BLOB name = Blob(friendly);
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
    DWORD size = 3;
    char small[3];
    EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, small, &size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(Prop(c, CERT_FRIENDLY_NAME_PROP_ID), "friendly");

    // Property 2 comes back as one blob; 6 follows its key spec until set.
    char16_t container[] = u"\\\\.\\HDIMAGE\\keys", provider[] = u"Some Provider";
    BYTE paramBytes[] = {7, 8, 9};
    CRYPT_KEY_PROV_PARAM param{42, paramBytes, 3, 0};
    CRYPT_KEY_PROV_INFO info{container, provider, 75, 0, 1, &param, 2};
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<std::uint64_t> mem(size / 8 + 1);
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, mem.data(), &size));
    const auto& got = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(mem.data());
    auto inBlob = [&](const void* p) {
        return p >= static_cast<const void*>(mem.data()) &&
               p < static_cast<const void*>(reinterpret_cast<const char*>(mem.data()) + size);
    };
    EXPECT_EQ(std::u16string(got.pwszContainerName), container);
    EXPECT_EQ(std::u16string(got.pwszProvName), provider);
    EXPECT_TRUE(inBlob(got.pwszContainerName) && inBlob(got.pwszProvName) && inBlob(got.rgProvParam));
    EXPECT_EQ(got.dwProvType, 75u);
    ASSERT_EQ(got.cProvParam, 1u);
    EXPECT_EQ(got.rgProvParam[0].dwParam, 42u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got.rgProvParam[0].pbData), 3), "\x07\x08\x09");
    EXPECT_EQ(Prop(c, CERT_KEY_SPEC_PROP_ID), std::string("\x02\0\0\0", 4));
    DWORD spec = 1;  // the exchange key
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_SPEC_PROP_ID, 0, &spec));
    EXPECT_EQ(Prop(c, CERT_KEY_SPEC_PROP_ID), std::string("\x01\0\0\0", 4));

    const DWORD order[] = {0, CERT_KEY_PROV_INFO_PROP_ID, CERT_KEY_SPEC_PROP_ID, CERT_FRIENDLY_NAME_PROP_ID, 0};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(CertEnumCertificateContextProperties(c, order[i]), order[i + 1]) << i;

    // Null deletes; ids beyond 16 bits are refused.
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr));
    EXPECT_EQ(Prop(c, CERT_FRIENDLY_NAME_PROP_ID), "<" + std::to_string(CRYPT_E_NOT_FOUND) + ">");
    EXPECT_FALSE(CertSetCertificateContextProperty(c, 0x10000, 0, &name));
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    CertFreeCertificateContext(c);
}

}  // namespace
