// `ctf sign`: attached, a signer added in place, detached and added to, and
// the refusals that leave the output as it was.
#include <gtest/gtest.h>

#include <filesystem>

#include "testsupport.h"

namespace {

using certtest::Sh;

class SignTool : public certtest::HomeTest {
protected:
    void SetUp() override {
        certtest::HomeTest::SetUp();
        for (const char* c : {"me", "other"}) {
            ASSERT_EQ(Ctf(std::string("key new --container ") + c + " --alg gost12-256 --no-password").exitCode, 0);
            ASSERT_EQ(Ctf(std::string("cert new --container ") + c + " --no-password --subject CN=" + c + " --out " +
                          Sh(F(std::string(c) + ".der")))
                          .exitCode,
                      0);
        }
        certtest::WriteFile(F("content"), std::string(70000, 'c'));
    }
    certtest::RunResult Ctf(const std::string& args) {
        return certtest::Ctf("--home " + Sh(home_.path()) + " " + args);
    }
    std::string F(const std::string& n) const { return home_ / n; }
    std::string Show(const std::string& file) {
        auto r = Ctf("--json p7 show " + Sh(F(file)));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }
    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    void Verify(const std::string& file, const std::string& content = "") {
        if (!certtest::HaveGostEngine()) return;
        auto r = certtest::Run("openssl cms -verify -engine gost -binary -noverify -inform DER -in " + Sh(F(file)) +
                               (content.empty() ? "" : " -content " + Sh(F(content))) + " -out /dev/null 2>&1");
        EXPECT_NE(r.out.find("CMS Verification successful"), std::string::npos) << file << "\n" << r.out;
    }
    const std::string me = " --container me --no-password --cert ";
};

TEST_F(SignTool, AttachedDetachedAndAddedSigners) {
    auto r = Ctf("sign" + me + Sh(F("me.der")) + " " + Sh(F("content")) + " -o " + Sh(F("a.p7s")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("attached signature, 1 signer"), std::string::npos) << r.out;
    std::string shown = Show("a.p7s");
    EXPECT_NE(shown.find("\"detached\": false, \"contentSize\": 70000"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\"digestAlgorithm\": \"1.2.643.7.1.1.2.2\""), std::string::npos);
    EXPECT_NE(shown.find("\"certificateCarried\": true"), std::string::npos);
    Verify("a.p7s");

    // One more signer over the carried content, written over the input.
    r = Ctf("--json sign --container other --no-password --cert " + Sh(F("other.der")) + " --by-key-id " +
            Sh(F("a.p7s")) + " -o " + Sh(F("a.p7s")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"signers\": 2"), std::string::npos) << r.out;
    shown = Show("a.p7s");
    EXPECT_EQ(Count(shown, "\"certificateCarried\": true"), 2u) << shown;
    EXPECT_EQ(Count(shown, "\"keyId\""), 1u);
    EXPECT_NE(shown.find("\"contentSize\": 70000"), std::string::npos);
    Verify("a.p7s");

    // Detached with the certificate bound to the key, then another signer
    // added to that signature.
    ASSERT_EQ(Ctf("key set-cert --container me --no-password " + Sh(F("me.der"))).exitCode, 0);
    r = Ctf("sign --container me --no-password --detached --no-attrs --hash gost12-256 " + Sh(F("content")) + " -o " +
            Sh(F("d.sig")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Ctf("sign --container other --no-password --cert " + Sh(F("other.der")) + " --detached --add " +
            Sh(F("d.sig")) + " " + Sh(F("content")) + " -o " + Sh(F("d.sig")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    shown = Show("d.sig");
    EXPECT_NE(shown.find("\"detached\": true"), std::string::npos) << shown;
    EXPECT_EQ(Count(shown, "\"issuer\""), 2u);
    EXPECT_NE(shown.find("\"signedAttributes\": [], "), std::string::npos);
    Verify("d.sig", "content");
}

TEST_F(SignTool, RsaKeysSignWithSha256) {
    ASSERT_EQ(
        certtest::Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + Sh(F("rsa.pem"))).exitCode,
        0);
    ASSERT_EQ(Ctf("key import --container rsa --no-password --in " + Sh(F("rsa.pem"))).exitCode, 0);
    ASSERT_EQ(Ctf("cert new --container rsa --no-password --subject CN=rsa --out " + Sh(F("rsa.der"))).exitCode, 0);
    auto r = Ctf("sign --container rsa --no-password --cert " + Sh(F("rsa.der")) + " " + Sh(F("content")) + " -o " +
                 Sh(F("r.p7s")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string shown = Show("r.p7s");
    EXPECT_NE(shown.find("\"digestAlgorithm\": \"2.16.840.1.101.3.4.2.1\""), std::string::npos) << shown;
    r = certtest::Run("openssl cms -verify -binary -noverify -inform DER -in " + Sh(F("r.p7s")) + " -out /dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(SignTool, RefusalsLeaveTheOutputAsItWas) {
    certtest::WriteFile(F("pw"), "right\n");
    ASSERT_EQ(Ctf("key new --container locked --alg gost12-256 --password-file " + Sh(F("pw"))).exitCode, 0);
    ASSERT_EQ(Ctf("cert new --container locked --password-file " + Sh(F("pw")) + " --subject CN=locked --out " +
                  Sh(F("locked.der")))
                  .exitCode,
              0);
    certtest::WriteFile(F("wrong"), "wrong\n");
    // An expired certificate of the same key: the validity's years moved
    // back, lengths unchanged (the period is checked before any signature).
    std::string expired = certtest::ReadFile(F("me.der"));
    const auto validity = expired.find("\x30\x1e\x17\x0d");
    ASSERT_NE(validity, std::string::npos);
    expired.replace(validity + 4, 2, "19");
    expired.replace(validity + 4 + 15, 2, "20");
    certtest::WriteFile(F("expired.der"), expired);
    certtest::WriteFile(F("out"), "as it was");

    struct Case {
        std::string args;
        int status;
    } cases[] = {
        {"sign" + me + Sh(F("other.der")) + " " + Sh(F("content")), 32},
        {"sign" + me + Sh(F("expired.der")) + " " + Sh(F("content")), 203},
        {"sign --container locked --password-file " + Sh(F("wrong")) + " --cert " + Sh(F("locked.der")) + " " +
             Sh(F("content")),
         0},
        {"sign" + me + Sh(F("me.der")) + " --detached --add " + Sh(F("content")) + " " + Sh(F("content")), 0},
        {"sign" + me + Sh(F("me.der")) + " " + Sh(F("missing")), 0},
        {"sign" + me + Sh(F("me.der")) + " --hash nohash " + Sh(F("content")), 0},
        {"sign" + me + Sh(F("me.der")) + " --add " + Sh(F("content")) + " " + Sh(F("content")), 0},
    };
    for (const auto& c : cases) {
        auto r = Ctf("--json " + c.args + " -o " + Sh(F("out")));
        EXPECT_EQ(r.exitCode, certtest::kExitUsage) << c.args << "\n" << r.err;
        if (c.status) {
            EXPECT_NE(r.err.find("\"code\": " + std::to_string(c.status)), std::string::npos) << r.err;
        }
        EXPECT_EQ(certtest::ReadFile(F("out")), "as it was") << c.args;
    }
}

}  // namespace
