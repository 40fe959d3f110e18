// `ctf key export --public` against OpenSSL's GOST engine: the public key
// it writes without a password is the key the container holds, as openssl
// reads it from the container's private key.
#include <regex>

#include "testsupport.h"

namespace {

using certtest::Sh;

certtest::RunResult Ctf(const std::string& args) { return certtest::Run(Sh(CERT_CTF_PATH) + " " + args); }

class KeysInterop : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "openssl has no GOST engine";
    }
    std::string F(const std::string& name) { return dir_ / name; }
    // The "Public key:" part of `openssl pkey -text` (X and Y, parameter set).
    std::string PublicPart(const std::string& text) {
        const auto at = text.find("Public key:");
        return at == std::string::npos ? std::string() : text.substr(at);
    }
    certtest::TempDir dir_;
};

TEST_F(KeysInterop, ExportedPublicKeyIsTheContainersKey) {
    certtest::WriteFile(F("pw"), "secret\n");
    for (const char* alg : {"gost2001", "gost12-256", "gost12-512"}) {
        SCOPED_TRACE(alg);
        const std::string c = std::string("c-") + alg;
        const std::string pw = " --password-file " + Sh(F("pw"));
        auto r = Ctf("key new --container " + c + " --alg " + alg + pw);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        // Without a password, as another user of the machine would.
        r = Ctf("key export --public --container " + c + " --out " + Sh(F(c + ".pub")));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        r = Ctf("key export --container " + c + pw + " --out " + Sh(F(c + ".key")));
        ASSERT_EQ(r.exitCode, 0) << r.err;

        auto pub = certtest::Run("openssl pkey -engine gost -pubin -in " + Sh(F(c + ".pub")) + " -noout -text");
        ASSERT_EQ(pub.exitCode, 0) << pub.err;
        auto priv = certtest::Run("openssl pkey -engine gost -in " + Sh(F(c + ".key")) + " -noout -text_pub");
        ASSERT_EQ(priv.exitCode, 0) << priv.err;
        const std::string fromPublic = PublicPart(pub.out), fromPrivate = PublicPart(priv.out);
        // A coordinate of 256 or 512 bits, which openssl prints without
        // its leading zero digits.
        EXPECT_TRUE(std::regex_search(fromPublic, std::regex("X:[0-9A-F]{40,128}(?![0-9A-F])"))) << pub.out;
        EXPECT_EQ(fromPublic, fromPrivate);

        // openssl writes the same key back: the encoding is one it takes as is.
        auto again = certtest::Run("openssl pkey -engine gost -pubin -in " + Sh(F(c + ".pub")) + " -pubout");
        ASSERT_EQ(again.exitCode, 0) << again.err;
        EXPECT_EQ(again.out, certtest::ReadFile(F(c + ".pub")));
    }
}

}  // namespace
