// `ctf sign`: attached, a signer added in place, detached and added to, and
// the refusals that leave the output as it was.
#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using certtest::Ctf;  // the tool finds its home in $CERT_HOME
using certtest::Sh;

class SignTool : public certtest::HomeTest {
protected:
    void SetUp() override {
        certtest::HomeTest::SetUp();
        for (const std::string c : {"me", "other"}) {
            Ok("key new --container " + c + " --alg gost12-256 --no-password");
            Ok("cert new --container " + c + " --no-password --subject CN=" + c + " --out " + F(c + ".der"));
        }
        certtest::WriteFile(home_ / "content", std::string(70000, 'c'));
    }
    std::string Ok(const std::string& args) {
        const auto r = Ctf(args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    std::string F(const std::string& n) const { return Sh(home_ / n); }
    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    void Verify(const std::string& file, const std::string& content = "") {
        if (!certtest::HaveGostEngine()) return;
        auto r = certtest::Run("openssl cms -verify -engine gost -binary -noverify -inform DER -in " + F(file) +
                               (content.empty() ? "" : " -content " + F(content)) + " -out /dev/null 2>&1");
        EXPECT_NE(r.out.find("CMS Verification successful"), std::string::npos) << file << "\n" << r.out;
    }
    const std::string me = " --container me --no-password --cert ";
};

TEST_F(SignTool, AttachedDetachedAndAddedSigners) {
    EXPECT_NE(
        Ok("sign" + me + F("me.der") + " " + F("content") + " -o " + F("a.p7s")).find("attached signature, 1 signer"),
        std::string::npos);
    std::string shown = Ok("--json p7 show " + F("a.p7s"));
    EXPECT_NE(shown.find("\"detached\": false, \"contentSize\": 70000"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\"digestAlgorithm\": \"1.2.643.7.1.1.2.2\""), std::string::npos);
    Verify("a.p7s");

    // One more signer over the carried content, written over the input.
    EXPECT_NE(Ok("--json sign --container other --no-password --cert " + F("other.der") + " --by-key-id " + F("a.p7s") +
                 " -o " + F("a.p7s"))
                  .find("\"signers\": 2"),
              std::string::npos);
    shown = Ok("--json p7 show " + F("a.p7s"));
    EXPECT_EQ(Count(shown, "\"certificateCarried\": true"), 2u) << shown;
    EXPECT_EQ(Count(shown, "\"keyId\""), 1u);
    EXPECT_NE(shown.find("\"contentSize\": 70000"), std::string::npos);
    Verify("a.p7s");

    // Detached with the certificate bound to the key, then another signer
    // added to that signature.
    Ok("key set-cert --container me --no-password " + F("me.der"));
    Ok("sign --container me --no-password --detached --no-attrs --hash gost12-256 " + F("content") + " -o " +
       F("d.sig"));
    Ok("sign --container other --no-password --cert " + F("other.der") + " --detached --add " + F("d.sig") + " " +
       F("content") + " -o " + F("d.sig"));
    shown = Ok("--json p7 show " + F("d.sig"));
    EXPECT_NE(shown.find("\"detached\": true"), std::string::npos) << shown;
    EXPECT_EQ(Count(shown, "\"issuer\""), 2u);
    EXPECT_NE(shown.find("\"signedAttributes\": [], "), std::string::npos);
    Verify("d.sig", "content");
}

TEST_F(SignTool, RefusalsLeaveTheOutputAsItWas) {
    certtest::WriteFile(home_ / "pw", "right\n");
    certtest::WriteFile(home_ / "wrong", "wrong\n");
    Ok("key new --container locked --alg gost12-256 --password-file " + F("pw"));
    Ok("cert new --container locked --password-file " + F("pw") + " --subject CN=locked --out " + F("locked.der"));
    // An expired certificate of the same key: the validity's years moved
    // back, lengths unchanged (the period is checked before any signature).
    std::string expired = certtest::ReadFile(home_ / "me.der");
    const auto validity = expired.find("\x30\x1e\x17\x0d");
    ASSERT_NE(validity, std::string::npos);
    expired.replace(validity + 4, 2, "19");
    expired.replace(validity + 4 + 15, 2, "20");
    certtest::WriteFile(home_ / "expired.der", expired);
    certtest::WriteFile(home_ / "out", "as it was");

    const std::string content = " " + F("content");
    const struct {
        std::string args;
        int status;
    } cases[] = {
        {"sign" + me + F("other.der") + content, 32},
        {"sign" + me + F("expired.der") + content, 203},
        {"sign --container locked --password-file " + F("wrong") + " --cert " + F("locked.der") + content, 0},
        {"sign" + me + F("me.der") + " --detached --add" + content + content, 0},
        {"sign" + me + F("me.der") + " " + F("missing"), 0},
        {"sign" + me + F("me.der") + " --hash nohash" + content, 0},
        {"sign" + me + F("me.der") + " --add" + content + content, 0},
    };
    for (const auto& c : cases) {
        auto r = Ctf("--json " + c.args + " -o " + F("out"));
        EXPECT_EQ(r.exitCode, certtest::kExitUsage) << c.args << "\n" << r.err;
        if (c.status) {
            EXPECT_NE(r.err.find("\"code\": " + std::to_string(c.status)), std::string::npos) << r.err;
        }
        EXPECT_EQ(certtest::ReadFile(home_ / "out"), "as it was") << c.args;
    }
}

}  // namespace
