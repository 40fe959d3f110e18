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
#include "openssl_home.h"

namespace {

class ListOpenssl : public interoptest::OpensslHomeTest {
protected:
    void SetUp() override {
        OpensslHomeTest::SetUp();
        if (IsSkipped()) return;
        Ok("for n in a b c; do openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "
           "$n.key"
           " -out $n.pem -days 30 -subj /CN=$n 2>/dev/null && openssl x509 -in $n.pem -outform DER -out $n.der || exit"
           " 1; done && printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=idx\\ncrlnumber=num\\ndefault_md=md_gost94\\n"
           "default_crl_days=30\\n' > ca.cnf && touch idx && echo 01 > num && openssl ca -engine gost -config ca.cnf"
           " -gencrl -cert a.pem -keyfile a.key -out crl.pem 2>/dev/null");
    }
    IdentObj Der(const std::string& n) const { return IdentObj(Read(n)); }
};

TEST_F(ListOpenssl, TheMacIsTheEnginesOverTheRecords) {
    std::string keyBytes;
    for (int i = 0; i < 32; ++i) keyBytes += char(0x10 + 7 * i);
    VRKSCApi::CryptProvider prov;
    ASSERT_TRUE(VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    const IdentObj blob =
        le::Writer().U8(PLAINTEXTKEYBLOB).U8(CUR_BLOB_VERSION).U16(0).U32(CALG_GOST_28147).U32(32).Put(keyBytes).Take();
    VRKSCApi::CryptKey k;
    ASSERT_TRUE(VRKImportKey(prov, blob.data(), blob.size(), 0, 0, &k));

    const std::pair<const char*, const char*> algs[] = {{CTF_OID_LIST_MAC_A, "gost-mac"},
                                                        {CTF_OID_LIST_MAC_Z, "gost-mac-12"}};
    for (const auto& [oid, mac] : algs) {
        for (const std::string set : {"a", "abc"}) {
            SCOPED_TRACE(std::string(mac) + " " + set);
            const std::string path = F(std::string("list-") + mac + set);
            CCTFTrustRootCertList l;
            l.SetNewFileName(path.c_str());
            CTOOString alg(oid);
            IdentObj keyId, user;
            l.SetProtectInfo(alg, keyId, user, k);
            std::string records;
            for (char c : set) {
                const IdentObj der = Der(std::string(1, c) + ".der");
                ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(der));
                records += std::string(le::Writer().U32(der.size()).Put(der).Take().view());
            }
            ASSERT_EQ(l.WriteFile(nullptr), 0);
            const std::string file = certtest::ReadFile(path);
            ASSERT_GT(file.size(), records.size());
            EXPECT_EQ(file.substr(file.size() - records.size()), records);
            const std::size_t at = file.find("VMAC");
            ASSERT_NE(at, std::string::npos);
            Write("records.bin", records);
            const std::string out = Ok(std::string("openssl dgst -engine gost -mac ") + mac +
                                       " -macopt hexkey:" + certtest::Hex(keyBytes, false) + " records.bin");
            EXPECT_EQ(certtest::Hex(file.substr(at + 8, 4), false), out.substr(out.rfind("= ") + 2, 8));
        }
    }
}

TEST_F(ListOpenssl, APkcs7ListIsWhatCrl2pkcs7Makes) {
    CCTFCertList l(F("list.p7b").c_str());
    l.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    for (const char* n : {"b.der", "a.der", "c.der"}) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(Der(n)));
    ASSERT_TRUE(l.ReturnStorage()->AddEncodetCRL(IdentObj(Ok("openssl crl -in crl.pem -outform DER"))));
    ASSERT_EQ(l.WriteFile(nullptr), 0);
    EXPECT_EQ(certtest::Hex(Read("list.p7b")),
              certtest::Hex(Ok("openssl crl2pkcs7 -certfile b.pem -certfile a.pem -certfile c.pem -in crl.pem "
                               "-outform DER")));
    EXPECT_NE(Ok("openssl pkcs7 -inform DER -in list.p7b -print_certs -noout").find("CN = b"), std::string::npos);
}

TEST_F(ListOpenssl, ASignedListVerifiesInOpensslOverItsCertificates) {
    CtfOk("key new --container listca --alg gost2001 --no-password");
    CtfOk("cert new --container listca --no-password --subject 'CN=List CA' --ca --out ca.der");
    CtfOk("list new roots.p7b --pkcs7 ca.der b.pem");
    CtfOk("list sign roots.p7b --container listca --no-password --cert ca.der");
    Ok("openssl x509 -inform DER -in ca.der -out ca.pem");

    CCTFSignData sd;
    const std::string list = Read("roots.p7b");
    ASSERT_TRUE(sd.ReadObject(reinterpret_cast<const unsigned char*>(list.data()), list.size(), nullptr));
    ASSERT_EQ(sd.m_signerInfos.size(), 1u);
    std::string content;
    for (const auto& c : sd.m_certificates) content += std::string(c.view());
    Write("content.bin", content);
    content[content.size() / 2] ^= 1;
    Write("changed.bin", content);
    const std::string verify =
        "openssl cms -verify -engine gost -binary -inform DER -in roots.p7b -CAfile ca.pem -out "
        "/dev/null -content ";
    Ok(verify + "content.bin");
    EXPECT_NE(In(verify + "changed.bin").exitCode, 0);

    // The check finds the signer in the list; loaded alone its CA anchors
    // nothing, while the tool takes the list as its own root storage.
    CCTFTrustRootCertList l(F("roots.p7b").c_str());
    l.LoadFile();
    EXPECT_EQ(l.GetCheckResult(), CTFERR_LIST_NOT_VALID);
    CtfOk("list check roots.p7b");
    // A leaf is no trust-list signer, and a record list is not signed here.
    CtfOk("key new --container leaf --alg gost2001 --no-password");
    CtfOk("cert new --container leaf --no-password --subject CN=Leaf --out leaf.der");
    EXPECT_EQ(Ctf("list sign roots.p7b --container leaf --no-password --cert leaf.der").exitCode,
              certtest::kExitCheckFailed);
    EXPECT_EQ(Read("roots.p7b"), list);
    CtfOk("list new roots.lst --record ca.der");
    EXPECT_EQ(Ctf("list sign roots.lst --container listca --no-password --cert ca.der").exitCode, certtest::kExitUsage);
}

}  // namespace
