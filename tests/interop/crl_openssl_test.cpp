// CRLs judged by OpenSSL both ways: `openssl crl -verify` accepts the CRLs
// the tool issues with each GOST key and shows their serials and reasons;
// the model reads the CRLs of `openssl ca -gencrl` (GOST, RSA, v1, empty,
// GeneralizedTime), encodes them back byte for byte and checks their
// signatures.
#include <string>

#include <gtest/gtest.h>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

class CrlOpenssl : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine";
        // `openssl crl` takes no -engine: the engine comes from a config file.
        certtest::WriteFile(F("ossl.cnf"),
                            "openssl_conf = init\n[init]\nengines = engines\n[engines]\ngost = gost\n"
                            "[gost]\ndefault_algorithms = ALL\n");
    }
    std::string F(const std::string& name) const { return home_ / name; }
    std::string Ossl(const std::string& args) {
        auto r = certtest::Run("OPENSSL_CONF=" + Sh(F("ossl.cnf")) + " openssl " + args + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.out;
        return r.out;
    }
    std::string Ctf(const std::string& args) {
        auto r = certtest::Ctf("--home " + Sh(home_.path()) + " " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
};

TEST_F(CrlOpenssl, OurCrlsVerifyInOpenssl) {
    for (const std::string alg : {"gost2001", "gost12-256", "gost12-512"}) {
        SCOPED_TRACE(alg);
        const std::string ca = F(alg + ".der"), pem = F(alg + ".pem"), crl = F(alg + ".crl");
        Ctf("key new --container " + alg + " --alg " + alg + " --no-password");
        Ctf("cert new --container " + alg + " --no-password --subject " + Sh("CN=УЦ " + alg + ", C=RU") +
            " --ca --out " + Sh(ca));
        Ctf("crl new --container " + alg + " --no-password --cert " + Sh(ca) +
            " --revoke 01AB:keyCompromise --revoke 8000:superseded --revoke 7F --days 7 -o " + Sh(crl));
        Ossl("x509 -inform DER -in " + Sh(ca) + " -out " + Sh(pem));
        // openssl crl exits 0 whatever the verdict: its words decide.
        const std::string text =
            Ossl("crl -inform DER -in " + Sh(crl) + " -CAfile " + Sh(pem) + " -verify -noout -text");
        EXPECT_NE(text.find("verify OK"), std::string::npos) << text;
        EXPECT_EQ(text.find("verify failure"), std::string::npos);
        for (const char* s :
             {"Serial Number: 01AB", "Key Compromise", "Serial Number: 8000", "Superseded", "Serial Number: 7F"})
            EXPECT_NE(text.find(s), std::string::npos) << s;
        // Signed again: still good, and an altered copy is not.
        Ctf("crl revoke " + Sh(crl) + " --container " + alg + " --no-password --cert " + Sh(ca) + " --remove 7F -o " +
            Sh(crl + "2"));
        EXPECT_NE(
            Ossl("crl -inform DER -in " + Sh(crl + "2") + " -CAfile " + Sh(pem) + " -verify -noout").find("verify OK"),
            std::string::npos);
        std::string bytes = certtest::ReadFile(crl);
        bytes[bytes.size() - 5] ^= 1;
        certtest::WriteFile(crl + "3", bytes);
        EXPECT_NE(Ossl("crl -inform DER -in " + Sh(crl + "3") + " -CAfile " + Sh(pem) + " -verify -noout")
                      .find("verify failure"),
                  std::string::npos);
        EXPECT_EQ(certtest::Ctf("crl show " + Sh(crl + "3") + " --issuer-cert " + Sh(ca)).exitCode,
                  certtest::kExitCheckFailed);
    }
}

TEST_F(CrlOpenssl, OpensslCrlsReadBackByteForByteAndCheck) {
    struct Kind {
        const char* name;
        const char* newkey;  // openssl req -newkey and its options
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
        const std::string n = k.name, key = F(n + ".key"), pem = F(n + ".pem"), der = F(n + ".der");
        Ossl("req -x509 -newkey " + std::string(k.newkey) + " -nodes -keyout " + Sh(key) + " -out " + Sh(pem) +
             " -subj " + Sh("/CN=CA " + n + "/O=Тест") + " -utf8 -days 30");
        Ossl("x509 -in " + Sh(pem) + " -outform DER -out " + Sh(der));
        // The revoked list of `openssl ca`: one entry with a reason, one without.
        certtest::WriteFile(F(n + ".index"),
                            k.entries && k.number
                                ? "R\t301231000000Z\t240101000000Z,keyCompromise\t01AB\tunknown\t/CN=x\n"
                                  "R\t301231000000Z\t240102000000Z\t80\tunknown\t/CN=y\n"
                            : k.entries ? "R\t301231000000Z\t240102000000Z\t80\tunknown\t/CN=y\n"
                                        : "");
        certtest::WriteFile(F(n + ".number"), "1000\n");
        certtest::WriteFile(F(n + ".cnf"), "[ca]\ndefault_ca = d\n[d]\ndatabase = " + F(n + ".index") + "\n" +
                                               (k.number ? "crlnumber = " + F(n + ".number") + "\n" : "") +
                                               "default_md = " + k.md + "\n");
        Ossl("ca -gencrl -config " + Sh(F(n + ".cnf")) + " -keyfile " + Sh(key) + " -cert " + Sh(pem) + " -crldays " +
             k.days + " -out " + Sh(F(n + ".crl.pem")));
        Ossl("crl -in " + Sh(F(n + ".crl.pem")) + " -outform DER -out " + Sh(F(n + ".crl")));
        const IdentObj crl(certtest::ReadFile(F(n + ".crl")));

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
        const CCTFCertContext issuer(IdentObj(certtest::ReadFile(der)));
        int error = 0;
        CTOOString place;
        EXPECT_EQ(model.CheckSign(issuer, &error, &place), 1) << error << " " << place.c_str();
        EXPECT_EQ(certtest::Ctf("crl show " + Sh(F(n + ".crl.pem")) + " --issuer-cert " + Sh(pem)).exitCode,
                  certtest::kExitOk);
    }
}

}  // namespace
