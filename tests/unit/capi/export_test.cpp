// CryptExportPublicKeyInfo over the provider's containers.
#include "capi_test_util.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using namespace capitest;

class CapiExport : public certtest::HomeTest {};

TEST_F(CapiExport, RsaKeyLeavesAsOpensslWritesIt) {
    VRKSCApi::CryptProvider prov;
    ASSERT_TRUE(VRKAcquireContext(&prov, "rsa", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    VRKSCApi::CryptKey key;
    ASSERT_TRUE(VRKGenKey(prov, CALG_RSA_SIGN, CRYPT_EXPORTABLE, &key)) << std::hex << GetLastError();

    DWORD size = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
    std::vector<std::uint64_t> buf(size / 8 + 1);
    DWORD small = size - 1;
    EXPECT_FALSE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING,
                                          reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data()), &small));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data()), &size));
    const auto& info = *reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(buf.data());
    EXPECT_STREQ(info.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(Hex(Bytes(info.Algorithm.Parameters)), "05 00");
    auto spki = Encode(X509_PUBLIC_KEY_INFO, &info);
    ASSERT_TRUE(spki);

    std::string pem;
    ASSERT_EQ(vrk::ExportPkcs8("rsa", false, AT_SIGNATURE, "", "", pem), 0u);
    certtest::WriteFile(home_ / "k.pem", pem);
    auto r = certtest::Run("openssl pkey -in " + certtest::Sh(home_ / "k.pem") + " -pubout -outform DER -out " +
                           certtest::Sh(home_ / "pub.der"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Hex(*spki), Hex(certtest::ReadFile(home_ / "pub.der")));
}

TEST_F(CapiExport, OtherKeysAndHandlesFail) {
    VRKSCApi::CryptProvider prov;
    ASSERT_TRUE(VRKAcquireContext(&prov, "gost", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    VRKSCApi::CryptKey key;
    ASSERT_TRUE(VRKGenKey(prov, AT_SIGNATURE, 0, &key));
    DWORD size = 0;
    EXPECT_FALSE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    EXPECT_FALSE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    EXPECT_FALSE(CryptExportPublicKeyInfo(0x7777, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
    EXPECT_EQ(size, 0u);
}

}  // namespace
