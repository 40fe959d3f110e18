#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using certtest::Sh;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

class CertCli : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        certtest::WriteFile(F("pw"), "secret\n");
        ASSERT_EQ(Ctf("key new --container own --alg gost12-256 --password-file " + Sh(F("pw"))).exitCode, kExitOk);
        ASSERT_EQ(Ctf("cert new --container own --password-file " + Sh(F("pw")) +
                      " --subject 'CN=Собственный, C=RU' --ca --out " + Sh(F("own.der")))
                      .exitCode,
                  kExitOk);
        // openssl: a multi-valued RDN, which the text form refuses, and NULL
        // signature parameters.
        Openssl("req -x509 -newkey rsa:2048 -nodes -keyout " + Sh(F("rsa.key")) + " -out " + Sh(F("multi.pem")) +
                " -days 30 -multivalue-rdn -subj '/CN=a+O=b/C=RU'");
    }

    std::string F(const std::string& name) const { return home_ / name; }
    certtest::RunResult Ctf(const std::string& args, const std::string& in = "") {
        return certtest::Ctf("--home " + Sh(home_.path()) + " " + args, in);
    }
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    // The refusal of `args`: exit 2 and the message's start.
    void ExpectRefused(const std::string& args, const std::string& message, const std::string& in = "") {
        auto r = Ctf(args, in);
        EXPECT_EQ(r.exitCode, kExitUsage) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
    }
};

std::vector<std::string> All(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i) found.push_back((*i)[1]);
    return found;
}

TEST_F(CertCli, ShowsEveryCertificateOfTheFile) {
    Openssl("x509 -inform DER -in " + Sh(F("own.der")) + " -out " + Sh(F("own.pem")));
    certtest::WriteFile(F("both.pem"), certtest::ReadFile(F("own.pem")) + certtest::ReadFile(F("multi.pem")));
    auto r = Ctf("--json cert show " + Sh(F("both.pem")));
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    std::string why;
    ASSERT_TRUE(certtest::ParseJson(r.out, &why)) << why << "\n" << r.out;
    const std::string serial = Openssl("x509 -in " + Sh(F("own.pem")) + " -noout -serial").substr(7, 32);
    EXPECT_EQ(All(r.out, R"re("serial": "([0-9A-F]+)")re")[0], serial);
    EXPECT_EQ(All(r.out, R"re("reencodes": (\w+))re"), (std::vector<std::string>{"true", "false"}));
    EXPECT_EQ(All(r.out, R"re("bits": (\d+))re"), (std::vector<std::string>{"512", "2048"}));
    // The first certificate's extensions in order, with what they decode to.
    EXPECT_NE(r.out.find(R"("extensions": [{"oid": "2.5.29.15", "critical": true, "value": "030201C6", )"
                         R"("decoded": {"bits": "C6", "usages": ["digitalSignature", "nonRepudiation", )"
                         R"("keyCertSign", "cRLSign"]}}, {"oid": "2.5.29.19", "critical": true, )"
                         R"("value": "30030101FF", "decoded": {"ca": true}})"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"text\": \"CN=Собственный,C=RU\", \"display\": \"Собственный\""), std::string::npos);
    // The multi-valued RDN has no text form: hex and the status, the rest
    // shown all the same.
    EXPECT_NE(r.out.find(R"("issuer": {"hex": "30)"), std::string::npos);
    EXPECT_EQ(All(r.out, R"re("status": (\d+))re"), (std::vector<std::string>{"134", "134"}));
    // Every attribute as encoded: two in each name of the first (its
    // authority key identifier's too), three in each of the second.
    EXPECT_EQ(All(r.out, R"re(\{"oid": "(2\.5\.4\.\d+)", "tag")re").size(), 2u * 3 + 3u * 2);

    // Text, and DER certificates one after the other.
    certtest::WriteFile(F("two.der"), certtest::ReadFile(F("own.der")) + certtest::ReadFile(F("own.der")));
    r = Ctf("cert show " + Sh(F("two.der")));
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(All(r.out, R"(certificate (\d):\n)"), (std::vector<std::string>{"1", "2"}));
    EXPECT_NE(r.out.find("  extension:    2.5.29.19 critical: CA\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  re-encodes:   yes\n"), std::string::npos);
}

TEST_F(CertCli, RefusesWhatIsNoCertificate) {
    certtest::WriteFile(F("seq.der"), std::string("\x30\x03\x02\x01\x05", 5));
    ExpectRefused("cert show " + Sh(F("seq.der")), "certificate 1: not a certificate: offset 2: ");
    // v1: no version field.
    Openssl("req -new -key " + Sh(F("rsa.key")) + " -subj /CN=v1 -out " + Sh(F("v1.csr")));
    Openssl("x509 -req -in " + Sh(F("v1.csr")) + " -signkey " + Sh(F("rsa.key")) + " -out " + Sh(F("v1.pem")));
    ExpectRefused("cert show " + Sh(F("v1.pem")), "not a certificate: offset 8: no version field");
    // Cut short: at the outer header, and inside a PEM block.
    const std::string own = certtest::ReadFile(F("own.der"));
    certtest::WriteFile(F("short.der"), own.substr(0, 200));
    ExpectRefused("cert show " + Sh(F("short.der")),
                  "malformed DER at offset 0: the header declares " + std::to_string(own.size()));
    certtest::WriteFile(F("short.pem"), "-----BEGIN CERTIFICATE-----\n" + TOO::Base64Encode(own.data(), 200, 64) +
                                            "\n-----END CERTIFICATE-----\n");
    ExpectRefused("cert show " + Sh(F("short.pem")), "(the DER of its PEM): malformed DER at offset 0");
    certtest::WriteFile(F("junk.pem"), "-----BEGIN CERTIFICATE-----\n@@@@\n-----END CERTIFICATE-----\n");
    ExpectRefused("cert show " + Sh(F("junk.pem")), "is not valid PEM");
    certtest::WriteFile(F("notes.txt"), "certificate");
    ExpectRefused("cert show " + Sh(F("notes.txt")), "is neither DER");
    EXPECT_NE(Ctf("--json cert show " + Sh(F("seq.der"))).err.find(R"({"error": {"code": 206, "text": ")"),
              std::string::npos);
}

TEST_F(CertCli, ReencodeWritesWhatTheFieldsEncode) {
    auto r = Ctf("cert reencode " + Sh(F("multi.pem")) + " --out " + Sh(F("multi.der")));
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_NE(r.out.find("different from the input"), std::string::npos);
    // The re-encoding is a fixed point, and goes to standard output whole.
    r = Ctf("cert reencode " + Sh(F("multi.der")) + " --out -");
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.out, certtest::ReadFile(F("multi.der")));
    EXPECT_EQ(Ctf("cert reencode " + Sh(F("own.der")) + " -o " + Sh(F("again.der"))).out,
              std::to_string(certtest::ReadFile(F("own.der")).size()) + " bytes written, identical to the input\n");
    certtest::WriteFile(F("two.der"), certtest::ReadFile(F("own.der")) + certtest::ReadFile(F("own.der")));
    ExpectRefused("cert reencode " + Sh(F("two.der")) + " --out " + Sh(F("x")), "holds 2 certificates");
}

TEST_F(CertCli, NewRefusesBadOptionsAndKeys) {
    const std::string key = "--container own --password-file " + Sh(F("pw")) + " --out " + Sh(F("n.der"));
    ExpectRefused("cert new " + key + " --subject CN", "--subject \"CN\" cannot be encoded");
    ExpectRefused("cert new " + key + " --subject CN=x --months 70000", "--months takes a number from 0 to 65535");
    ExpectRefused("cert new " + key + " --subject CN=x --eku x", "--eku takes a number");
    ExpectRefused("cert new " + key + " --subject CN=x --key-id 123456789", "--key-id takes 1 to 8 hex digits");
    ExpectRefused("cert new " + key + " --subject CN=x --crl 'http://пример/'", "a URL is visible ASCII");
    ExpectRefused("cert new " + key + " --subject CN=x --months 1 --months 2", "--months is given twice");
    certtest::WriteFile(F("wrong"), "wrong\n");
    ExpectRefused(
        "cert new --container own --password-file " + Sh(F("wrong")) + " --subject CN=x --out " + Sh(F("n.der")),
        "wrong password for container \"own\"");
    ExpectRefused("cert new --container none --no-password --subject CN=x --out " + Sh(F("n.der")),
                  "no container \"none\"");
    ASSERT_EQ(Ctf("key new --container exch --alg gost12-256 --spec exchange --no-password").exitCode, kExitOk);
    ExpectRefused("cert new --container exch --no-password --subject CN=x --out " + Sh(F("n.der")),
                  "holds no such key");
    EXPECT_FALSE(std::ifstream(F("n.der")).good());

    // Repeated URLs all go in, in order.
    auto r = Ctf("--json cert new " + key + " --subject CN=x --crl http://a/1.crl --crl http://a/2.crl");
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_NE(r.out.find("\"subject\": \"CN=x\""), std::string::npos) << r.out;
    EXPECT_NE(Ctf("--json cert show " + Sh(F("n.der"))).out.find(R"("urls": ["http://a/1.crl", "http://a/2.crl"])"),
              std::string::npos);
}

}  // namespace
