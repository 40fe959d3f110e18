// Replays the kept inputs of the list fuzz target through its body, and
// writes the seeds of that corpus (by hand: --gtest_also_run_disabled_tests).
#include "../../fuzz/certlist_fuzz.h"
#include "../contexts/pki.h"
#include "cert/lecursor.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

std::string Corpus() { return std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/certlist"; }

TEST(ListCorpus, SavedInputsStayConsistent) { EXPECT_GE(certtest::ReplayCorpus(Corpus(), listfuzz::RunCertList), 8); }

class ListSeeds : public certtest::HomeTest {};

TEST_F(ListSeeds, DISABLED_WriteSeeds) {
    certtest::TempDir d;
    std::string why;
    ASSERT_TRUE(pki::Make(d.path(), pki::kKinds[1], why)) << why;
    std::vector<IdentObj> certs;
    for (const char* n : {"ca.der", "good.der", "revoked.der"}) certs.emplace_back(certtest::ReadFile(d / n));
    auto fill = [&](CCTFCertList& l, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(certs[i]));
    };
    auto keep = [&](const std::string& name, const std::string& from) {
        certtest::WriteFile(Corpus() + "/" + name, certtest::ReadFile(from));
    };
    for (std::size_t n : {0u, 1u, 3u}) {
        CCTFCertList l((d / "p").c_str());
        l.SetUserId(IdentObj("seed", 4));
        fill(l, n);
        ASSERT_EQ(l.WriteFile(nullptr), 0);
        keep("plain_" + std::to_string(n), d / "p");
        CCTFCertList p7((d / "p7").c_str());
        p7.SetFileVersion(CTF_LIST_VERSION_PKCS7);
        fill(p7, n);
        if (n) {
            ASSERT_TRUE(p7.ReturnStorage()->AddEncodetCRL(IdentObj(certtest::ReadFile(d / "crl.der"))));
        }
        ASSERT_EQ(p7.WriteFile(nullptr), 0);
        keep("pkcs7_" + std::to_string(n), d / "p7");
    }
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    le::Writer w;
    w.U8(PLAINTEXTKEYBLOB).U8(CUR_BLOB_VERSION).U16(0).U32(CALG_GOST_28147).U32(32).Put(std::string(32, 'k'));
    IdentObj blob = w.Take();
    ASSERT_TRUE(VRKImportKey(prov, blob.data(), blob.size(), 0, 0, &key));
    for (const char* alg : {CTF_OID_LIST_MAC_A, CTF_OID_LIST_MAC_Z}) {
        CCTFTrustRootCertList l;
        l.SetNewFileName((d / "m").c_str());
        CTOOString a(alg);
        IdentObj kid("id", 2), user("user", 4);
        l.SetProtectInfo(a, kid, user, key);
        fill(l, 2);
        ASSERT_EQ(l.WriteFile(nullptr), 0);
        keep(std::string("mac_") + alg, d / "m");
    }
    HCRYPTPROV sp = 0;
    HCRYPTKEY sk = 0;
    ASSERT_TRUE(VRKAcquireContext(&sp, "seed", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    ASSERT_TRUE(VRKGenKey(sp, AT_SIGNATURE, 0, &sk));
    CCTFTrustRootCertList s;
    s.SetNewFileName((d / "s").c_str());
    CTOOString a("1.2.643.2.2.9");
    IdentObj kid("sk", 2), user;
    s.SetProtectInfo(a, kid, user, sk);
    s.SetFileVersion(0x10001);
    fill(s, 2);
    ASSERT_EQ(s.WriteFile(nullptr), 0);
    keep("signed_records", d / "s");
}

}  // namespace
