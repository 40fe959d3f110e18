// `ctf p7 show` over what OpenSSL signs: streamed, by key identifier, without
// attributes, PEM, and a content type that is no signed data.
#include <gtest/gtest.h>

#include <algorithm>

#include "testsupport.h"

namespace {

using certtest::Sh;

class P7Show : public ::testing::Test {
protected:
    void SetUp() override {
        Openssl("req -x509 -newkey rsa:2048 -nodes -keyout k.key -out c.pem -subj /CN=signer -days 30");
        certtest::WriteFile(dir_ / "content", std::string(100000, 'x'));
    }
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("cd " + Sh(dir_.path()) + " && openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    certtest::RunResult Show(const std::string& file, bool json = true) {
        return certtest::Ctf(std::string(json ? "--json " : "") + "p7 show " + Sh(dir_ / file));
    }
    certtest::TempDir dir_;
};

TEST_F(P7Show, ReadsWhatOpensslSigns) {
    const std::string serial = certtest::Field(Openssl("x509 -in c.pem -noout -serial"), "serial");
    Openssl("cms -sign -binary -in content -signer c.pem -inkey k.key -nodetach -stream -outform DER -out streamed");
    auto r = Show("streamed");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> keys;
    EXPECT_TRUE(certtest::ParseJson(r.out, nullptr, &keys)) << r.out;
    for (const char* k : {"contentSize", "digestAlgorithms", "certificates", "crls", "signers", "serial",
                          "digestAlgorithm", "signatureAlgorithm", "signedAttributes", "signingTime"})
        EXPECT_NE(std::find(keys.begin(), keys.end(), k), keys.end()) << k;
    for (const std::string& part :
         {std::string("\"detached\": false, \"contentSize\": 100000"), "\"serial\": \"" + serial + "\"",
          std::string("\"digestAlgorithms\": [\"2.16.840.1.101.3.4.2.1\"]"),
          // Attribute types in the order the signer wrote them.
          std::string("\"signedAttributes\": [\"1.2.840.113549.1.9.3\", \"1.2.840.113549.1.9.5\", "
                      "\"1.2.840.113549.1.9.4\""),
          std::string("\"certificateCarried\": true")})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    EXPECT_NE(Show("streamed", false).out.find("content:      100000 bytes of 1.2.840.113549.1.7.1"),
              std::string::npos);

    // Detached, by key identifier, no attributes, no certificate, PEM: each shows.
    Openssl("cms -sign -binary -in content -signer c.pem -inkey k.key -keyid -noattr -nocerts -outform PEM -out bare");
    r = Show("bare");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* part : {"\"detached\": true, \"digestAlgorithms\"", "\"keyId\": \"", "\"signedAttributes\": [], ",
                             "\"certificates\": [], ", "\"certificateCarried\": false"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    EXPECT_EQ(r.out.find("\"serial\""), std::string::npos);
    EXPECT_EQ(r.out.find("\"signingTime\""), std::string::npos);
}

TEST_F(P7Show, AnEnvelopedTypeIsTheStatusAndPlaceWithExitTwo) {
    Openssl("cms -sign -binary -in content -signer c.pem -inkey k.key -outform DER -out sig");
    std::string enveloped = certtest::ReadFile(dir_ / "sig");
    enveloped[enveloped.find(std::string("\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 9)) + 8] = 3;
    certtest::WriteFile(dir_ / "enveloped", enveloped);
    const auto r = Show("enveloped", false);
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("206"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("place: "), std::string::npos) << r.err;
}

}  // namespace
