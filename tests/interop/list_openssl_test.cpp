// List files judged by OpenSSL: the MAC of a trust list is the engine's
// gost-mac (algorithm a) or gost-mac-12 (z) with the same key over the
// certificate records, and a PKCS #7 list is what crl2pkcs7 makes of the
// same certificates and CRL, in the same order; a list that `ctf list sign`
// signed with a GOST 2001 CA verifies in `openssl cms` over its
// certificates concatenated, and not after a byte of them changed.
#include <string>

#include <gtest/gtest.h>

#include "cert/certlist.h"
#include "cert/lecursor.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

class ListOpenssl : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine";
        const auto r = certtest::Run(
            "cd " + Sh(home_.path()) +
            " && for n in a b c; do openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes"
            " -keyout $n.key -out $n.pem -days 30 -subj /CN=$n >/dev/null 2>&1 &&"
            " openssl x509 -in $n.pem -outform DER -out $n.der || exit 1; done &&"
            " printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=idx\\ncrlnumber=num\\ndefault_md=md_gost94\\n"
            "default_crl_days=30\\n' > ca.cnf && touch idx && echo 01 > num &&"
            " openssl ca -engine gost -config ca.cnf -gencrl -cert a.pem -keyfile a.key -out crl.pem 2>/dev/null");
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    std::string F(const std::string& n) const { return home_ / n; }
    IdentObj Der(const std::string& n) const { return IdentObj(certtest::ReadFile(F(n))); }
};

TEST_F(ListOpenssl, TheMacIsTheEnginesOverTheRecords) {
    const std::string key(32, '\0');
    std::string keyBytes;
    for (int i = 0; i < 32; ++i) keyBytes += char(0x10 + 7 * i);
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    le::Writer w;
    w.U8(PLAINTEXTKEYBLOB).U8(CUR_BLOB_VERSION).U16(0).U32(CALG_GOST_28147).U32(32).Put(keyBytes);
    IdentObj blob = w.Take();
    HCRYPTKEY k = 0;
    ASSERT_TRUE(VRKImportKey(prov, blob.data(), blob.size(), 0, 0, &k));

    const std::pair<const char*, const char*> algs[] = {{CTF_OID_LIST_MAC_A, "gost-mac"},
                                                        {CTF_OID_LIST_MAC_Z, "gost-mac-12"}};
    for (const auto& [oid, mac] : algs) {
        for (const char* set : {"a", "a b c"}) {
            const std::string path = F(std::string("list-") + mac + std::to_string(std::string(set).size()));
            CCTFTrustRootCertList l;
            l.SetNewFileName(path.c_str());
            CTOOString alg(oid);
            IdentObj keyId, user;
            l.SetProtectInfo(alg, keyId, user, k);
            std::string records;
            for (char c : std::string(set)) {
                if (c == ' ') continue;
                IdentObj der = Der(std::string(1, c) + ".der");
                ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(der));
                records += std::string(le::Writer().U32(der.size()).Put(der).Take().view());
            }
            ASSERT_EQ(l.WriteFile(nullptr), 0);
            const std::string file = certtest::ReadFile(path);
            ASSERT_GT(file.size(), records.size());
            EXPECT_EQ(file.substr(file.size() - records.size()), records);
            const std::size_t at = file.find("VMAC");
            ASSERT_NE(at, std::string::npos);
            certtest::WriteFile(F("records.bin"), records);
            const auto r = certtest::Run(std::string("openssl dgst -engine gost -mac ") + mac + " -macopt hexkey:" +
                                         certtest::Hex(keyBytes, false) + " " + Sh(F("records.bin")) + " 2>/dev/null");
            ASSERT_EQ(r.exitCode, 0);
            const std::string theirs = r.out.substr(r.out.rfind("= ") + 2, 8);
            EXPECT_EQ(certtest::Hex(file.substr(at + 8, 4), false), theirs) << mac << " " << set;
        }
    }
    VRKDestroyKey(k);
    VRKReleaseContext(prov);
}

TEST_F(ListOpenssl, APkcs7ListIsWhatCrl2pkcs7Makes) {
    const std::string path = F("list.p7b");
    CCTFCertList l(path.c_str());
    l.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    for (const char* n : {"b.der", "a.der", "c.der"}) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(Der(n)));
    ASSERT_TRUE(l.ReturnStorage()->AddEncodetCRL(
        IdentObj(certtest::Run("openssl crl -in " + Sh(F("crl.pem")) + " -outform DER").out)));
    ASSERT_EQ(l.WriteFile(nullptr), 0);
    const auto r = certtest::Run("openssl crl2pkcs7 -certfile " + Sh(F("b.pem")) + " -certfile " + Sh(F("a.pem")) +
                                 " -certfile " + Sh(F("c.pem")) + " -in " + Sh(F("crl.pem")) + " -outform DER");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(certtest::Hex(certtest::ReadFile(path)), certtest::Hex(r.out));
    const auto p = certtest::Run("openssl pkcs7 -inform DER -in " + Sh(path) + " -print_certs -noout");
    EXPECT_EQ(p.exitCode, 0) << p.err;
    EXPECT_NE(p.out.find("CN = b"), std::string::npos);
}

TEST_F(ListOpenssl, ASignedListVerifiesInOpensslOverItsCertificates) {
    auto ctf = [&](const std::string& args) {
        const auto r = certtest::Ctf(args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r;
    };
    ctf("key new --container listca --alg gost2001 --no-password");
    ctf("cert new --container listca --no-password --subject " + Sh("CN=List CA") + " --ca --out " + Sh(F("ca.der")));
    ctf("list new " + Sh(F("roots.p7b")) + " --pkcs7 " + Sh(F("ca.der")) + " " + Sh(F("b.pem")));
    ctf("list sign " + Sh(F("roots.p7b")) + " --container listca --no-password --cert " + Sh(F("ca.der")));
    ASSERT_EQ(certtest::Run("openssl x509 -inform DER -in " + Sh(F("ca.der")) + " -out " + Sh(F("ca.pem"))).exitCode,
              0);

    CCTFSignData sd;
    const std::string list = certtest::ReadFile(F("roots.p7b"));
    ASSERT_TRUE(sd.ReadObject(reinterpret_cast<const unsigned char*>(list.data()), list.size(), nullptr));
    ASSERT_EQ(sd.m_signerInfos.size(), 1u);
    std::string content;
    for (const auto& c : sd.m_certificates) content += std::string(c.view());
    certtest::WriteFile(F("content.bin"), content);
    const std::string verify = "openssl cms -verify -engine gost -binary -inform DER -in " + Sh(F("roots.p7b")) +
                               " -CAfile " + Sh(F("ca.pem")) + " -out /dev/null -content ";
    const auto good = certtest::Run(verify + Sh(F("content.bin")));
    EXPECT_EQ(good.exitCode, 0) << good.err;
    content[content.size() / 2] ^= 1;
    certtest::WriteFile(F("changed.bin"), content);
    EXPECT_NE(certtest::Run(verify + Sh(F("changed.bin"))).exitCode, 0);

    // The check finds the signer in the list; loaded alone its CA anchors
    // nothing, while the tool takes the list as its own root storage.
    CCTFTrustRootCertList l(F("roots.p7b").c_str());
    l.LoadFile();
    EXPECT_EQ(l.GetCheckResult(), CTFERR_LIST_NOT_VALID);
    const auto checked = certtest::Ctf("list check " + Sh(F("roots.p7b")));
    EXPECT_EQ(checked.exitCode, certtest::kExitOk) << checked.out << checked.err;
    // A leaf is no trust-list signer, and a record list is not signed here.
    ctf("key new --container leaf --alg gost2001 --no-password");
    ctf("cert new --container leaf --no-password --subject " + Sh("CN=Leaf") + " --out " + Sh(F("leaf.der")));
    const std::string before = certtest::ReadFile(F("roots.p7b"));
    EXPECT_EQ(
        certtest::Ctf("list sign " + Sh(F("roots.p7b")) + " --container leaf --no-password --cert " + Sh(F("leaf.der")))
            .exitCode,
        certtest::kExitCheckFailed);
    EXPECT_EQ(certtest::ReadFile(F("roots.p7b")), before);
    ctf("list new " + Sh(F("roots.lst")) + " --record " + Sh(F("ca.der")));
    EXPECT_EQ(
        certtest::Ctf("list sign " + Sh(F("roots.lst")) + " --container listca --no-password --cert " + Sh(F("ca.der")))
            .exitCode,
        certtest::kExitUsage);
}

}  // namespace
