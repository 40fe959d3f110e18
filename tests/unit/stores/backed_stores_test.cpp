// Stores over what lies below them: a serialized blob, a file committed at
// the last close (or never, read-only), and CertSaveStore's two forms read
// back.
#include <string>

#include "store_test_util.h"
#include "testsupport.h"

namespace {

using namespace storetest;

class BackedStores : public certtest::HomeTest {};

std::string SaveAs(HCERTSTORE s, DWORD form) {
    CRYPT_DATA_BLOB blob{0, nullptr};
    EXPECT_TRUE(CertSaveStore(s, CAPI_ENCODING, form, CERT_STORE_SAVE_TO_MEMORY, &blob, 0))
        << std::hex << GetLastError();
    std::string out(blob.cbData, '\0');
    blob.pbData = reinterpret_cast<BYTE*>(out.data());
    blob.cbData = 1;
    EXPECT_FALSE(CertSaveStore(s, CAPI_ENCODING, form, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(blob.cbData, out.size());
    EXPECT_TRUE(CertSaveStore(s, CAPI_ENCODING, form, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    return out;
}

TEST_F(BackedStores, FileStoreCommitsAtLastCloseUnlessReadOnly) {
    const std::string path = home_ / "certs.sst";
    const DWORD commit = CERT_FILE_STORE_COMMIT_ENABLE_FLAG;
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_FILENAME_A, CAPI_ENCODING, 0, commit, path.c_str());
    ASSERT_TRUE(s) << std::hex << GetLastError();
    PCCERT_CONTEXT a = AddCert(s, MakeCert({.serial = "A"}));
    std::string name = "alice";
    CRYPT_DATA_BLOB friendly = Blob(name);
    ASSERT_TRUE(CertSetCertificateContextProperty(a, CERT_FRIENDLY_NAME_PROP_ID, 0, &friendly));
    CertFreeCertificateContext(a);
    Der crl = MakeCrl({});
    ASSERT_TRUE(CertAddEncodedCRLToStore(s, CAPI_ENCODING, crl.data(), DWORD(crl.size()), CERT_STORE_ADD_NEW, nullptr));
    HCERTSTORE dup = CertDuplicateStore(s);
    ASSERT_TRUE(CertCloseStore(s, 0));
    EXPECT_EQ(certtest::ReadFile(path), "");  // one handle still open: nothing written yet
    ASSERT_TRUE(CertCloseStore(dup, 0));
    const std::string written = certtest::ReadFile(path);
    ASSERT_FALSE(written.empty());

    // Read-only: adds stay in memory, the file is never written.
    s = CertOpenStore(CERT_STORE_PROV_FILENAME_W, CAPI_ENCODING, 0, commit | CERT_STORE_READONLY_FLAG,
                      (u"" + std::u16string(path.begin(), path.end())).c_str());
    ASSERT_TRUE(s) << std::hex << GetLastError();
    EXPECT_EQ(Serials(s), "A");
    PCCERT_CONTEXT first = CertEnumCertificatesInStore(s, nullptr);
    EXPECT_EQ(Friendly(first), "alice");
    CertFreeCertificateContext(first);
    CertFreeCertificateContext(AddCert(s, MakeCert({.serial = "B"})));
    EXPECT_EQ(Serials(s), "AB");
    ASSERT_TRUE(CertCloseStore(s, 0));
    EXPECT_EQ(certtest::ReadFile(path), written);

    // The saved serialized form opens as provider 6 with the same elements
    // and properties; the PKCS #7 form carries the encodings.
    s = CertOpenStore(CERT_STORE_PROV_FILENAME_A, CAPI_ENCODING, 0, CERT_STORE_OPEN_EXISTING_FLAG, path.c_str());
    ASSERT_TRUE(s);
    std::string sst = SaveAs(s, CERT_STORE_SAVE_AS_STORE);
    EXPECT_EQ(sst, written);
    EXPECT_FALSE(SaveAs(s, CERT_STORE_SAVE_AS_PKCS7).empty());
    CRYPT_DATA_BLOB blob = Blob(sst);
    HCERTSTORE copy = CertOpenStore(CERT_STORE_PROV_SERIALIZED, CAPI_ENCODING, 0, 0, &blob);
    ASSERT_TRUE(copy);
    EXPECT_EQ(Serials(copy), "A");
    PCCRL_CONTEXT c = CertEnumCRLsInStore(copy, nullptr);
    EXPECT_TRUE(c);
    CertFreeCRLContext(c);
    CertCloseStore(copy, 0);
    const std::string out = home_ / "saved.p7b";
    ASSERT_TRUE(CertSaveStore(s, CAPI_ENCODING, CERT_STORE_SAVE_AS_PKCS7, CERT_STORE_SAVE_TO_FILENAME_A,
                              const_cast<char*>(out.c_str()), 0));
    CertCloseStore(s, 0);
    s = CertOpenStore(CERT_STORE_PROV_FILENAME_A, CAPI_ENCODING, 0, CERT_STORE_OPEN_EXISTING_FLAG, out.c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(Serials(s), "A");
    CertCloseStore(s, 0);

    // Bytes in none of the forms: the open fails and nothing is written.
    std::string junk = "\x01\x02\x03 not a store";
    CRYPT_DATA_BLOB bad = Blob(junk);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SERIALIZED, CAPI_ENCODING, 0, 0, &bad), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
    certtest::WriteFile(home_ / "junk.sst", junk);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_FILENAME_A, CAPI_ENCODING, 0, commit, (home_ / "junk.sst").c_str()),
              nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
    EXPECT_EQ(certtest::ReadFile(home_ / "junk.sst"), junk);
}

}  // namespace
