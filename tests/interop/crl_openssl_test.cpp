// CRLs judged by OpenSSL both ways: `openssl crl -verify` accepts the CRLs
// the tool issues with each GOST key and shows their serials and reasons;
// the model reads the CRLs of `openssl ca -gencrl` (GOST, RSA, v1, empty,
// GeneralizedTime), encodes them back byte for byte and checks their
// signatures.
#include <string>

#include <gtest/gtest.h>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "openssl_home.h"

namespace {

class CrlOpenssl : public interoptest::OpensslHomeTest {
protected:
    void SetUp() override {
        OpensslHomeTest::SetUp();
        // `openssl crl` takes no -engine: the engine comes from a config file.
        Write("ossl.cnf",
              "openssl_conf = init\n[init]\nengines = engines\n[engines]\ngost = gost\n[gost]\ndefault_algorithms = "
              "ALL\n");
    }
    // openssl's output with its standard error, where `crl -verify` speaks.
    std::string Ossl(const std::string& args) { return Ok("OPENSSL_CONF=ossl.cnf openssl " + args + " 2>&1"); }
};

TEST_F(CrlOpenssl, OurCrlsVerifyInOpenssl) {
    for (const interoptest::Kind& k : interoptest::kGost) {
        SCOPED_TRACE(k.name);
        const std::string n = k.name, c = " --container " + n + " --no-password --cert " + n + ".der";
        CtfOk("--home " + certtest::Sh(home_.path()) + " key new --container " + n + " --alg " + n + " --no-password");
        CtfOk("cert new --container " + n + " --no-password --subject " + certtest::Sh("CN=УЦ " + n + ", C=RU") +
              " --ca --out " + n + ".der");
        CtfOk("crl new" + c + " --revoke 01AB:keyCompromise --revoke 8000:superseded --revoke 7F --days 7 -o " + n +
              ".crl");
        Ossl("x509 -inform DER -in " + n + ".der -out " + n + ".pem");
        // openssl crl exits 0 whatever the verdict: its words decide.
        const std::string verify = " -CAfile " + n + ".pem -verify -noout";
        const std::string text = Ossl("crl -inform DER -in " + n + ".crl" + verify + " -text");
        EXPECT_NE(text.find("verify OK"), std::string::npos) << text;
        EXPECT_EQ(text.find("verify failure"), std::string::npos);
        for (const char* s :
             {"Serial Number: 01AB", "Key Compromise", "Serial Number: 8000", "Superseded", "Serial Number: 7F"})
            EXPECT_NE(text.find(s), std::string::npos) << s;
        // Signed again: still good, and an altered copy is not.
        CtfOk("crl revoke " + n + ".crl" + c + " --remove 7F -o " + n + ".crl2");
        EXPECT_NE(Ossl("crl -inform DER -in " + n + ".crl2" + verify).find("verify OK"), std::string::npos);
        std::string bytes = Read(n + ".crl");
        bytes[bytes.size() - 5] ^= 1;
        Write(n + ".crl3", bytes);
        EXPECT_NE(Ossl("crl -inform DER -in " + n + ".crl3" + verify).find("verify failure"), std::string::npos);
        EXPECT_EQ(Ctf("crl show " + n + ".crl3 --issuer-cert " + n + ".der").exitCode, certtest::kExitCheckFailed);
    }
}

TEST_F(CrlOpenssl, OpensslCrlsReadBackByteForByteAndCheck) {
    struct Kind {
        const char* name;
        const char* newkey;
        const char* md;
        bool number;       // a crlnumber file: v2
        bool entries;      // revoked certificates
        const char* days;  // 10000: nextUpdate as GeneralizedTime
    } kinds[] = {
        {"rsa", "rsa:2048", "sha256", true, true, "30"},
        {"rsa-v1", "rsa:2048", "sha256", false, true, "30"},
        {"rsa-empty", "rsa:2048", "sha1", true, false, "30"},
        {"rsa-2050", "rsa:2048", "sha256", true, true, "10000"},
        {"gost2001", "gost2001 -pkeyopt paramset:A", "md_gost94", true, true, "30"},
        {"gost12-256", "gost2012_256 -pkeyopt paramset:A", "md_gost12_256", true, true, "30"},
        {"gost12-512", "gost2012_512 -pkeyopt paramset:A", "md_gost12_512", false, false, "10000"},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        const std::string n = k.name;
        Ossl("req -x509 -newkey " + std::string(k.newkey) + " -nodes -keyout " + n + ".key -out " + n + ".pem -subj " +
             certtest::Sh("/CN=CA " + n + "/O=Тест") + " -utf8 -days 30");
        // The revoked list of `openssl ca`: one entry with a reason, one without.
        Write(n + ".index", std::string(k.entries && k.number
                                            ? "R\t301231000000Z\t240101000000Z,keyCompromise\t01AB\tunknown\t/CN=x\n"
                                            : "") +
                                (k.entries ? "R\t301231000000Z\t240102000000Z\t80\tunknown\t/CN=y\n" : ""));
        Write(n + ".number", "1000\n");
        Write(n + ".cnf", "[ca]\ndefault_ca = d\n[d]\ndatabase = " + n + ".index\n" +
                              (k.number ? "crlnumber = " + n + ".number\n" : "") + "default_md = " + k.md + "\n");
        Ossl("ca -gencrl -config " + n + ".cnf -keyfile " + n + ".key -cert " + n + ".pem -crldays " + k.days +
             " -out " + n + ".crl.pem");
        Ossl("crl -in " + n + ".crl.pem -outform DER -out " + n + ".crl");
        const IdentObj crl(Read(n + ".crl"));

        CCTF_CRL_List model;
        ASSERT_EQ(model.ReadData(crl.data(), crl.size()), crl.size());
        EXPECT_EQ(certtest::Hex(model.m_encoded), certtest::Hex(crl));
        EXPECT_EQ(model.m_info.m_version, k.number ? 1u : 0u);
        EXPECT_EQ(model.m_info.m_entries.size(), k.entries ? (k.number ? 2u : 1u) : 0u);
        if (k.entries && k.number) {
            const CCTF_CRL_Entry* e = model.m_info.m_entries.Find(certtest::BlobFromHex("AB01"));
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->GetReasonCode(), 1u);
            EXPECT_NE(model.m_info.m_entries.Find(certtest::BlobFromHex("8000")), nullptr);  // sign byte kept
        }
        const CCTFCertContext issuer(IdentObj(Ok("OPENSSL_CONF=ossl.cnf openssl x509 -in " + n + ".pem -outform DER")));
        int error = 0;
        CTOOString place;
        EXPECT_EQ(model.CheckSign(issuer, &error, &place), 1) << error << " " << place.c_str();
        EXPECT_EQ(Ctf("crl show " + n + ".crl.pem --issuer-cert " + n + ".pem").exitCode, certtest::kExitOk);
    }
}

}  // namespace
