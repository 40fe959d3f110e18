// `ctf verify` and `ctf unsign` over the sample transport directory's letters
// signed by a good, a revoked and an expired user.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "sample_tdir_test.h"
#include "testsupport.h"

namespace {

using certtest::kExitCheckFailed;
using certtest::kExitOk;
using certtest::kExitUsage;
using certtest::Sh;

constexpr unsigned kRevoked = 0x4, kUntrustedRoot = 0x20;
constexpr unsigned long kDigestMismatch = 0x80090005, kNoSignerCert = 0x80096002;

class VerifyTool : public certtest::SampleTdirTest {
protected:
    static std::string Trusted() { return " --trust " + F("root.cer") + " --crl " + F("root.crl"); }

    // The first number after each "key": in the output, in order.
    static std::vector<unsigned long> Numbers(const std::string& json, const std::string& key) {
        std::vector<unsigned long> out;
        const std::regex re("\"" + key + "\": ([0-9]+)");
        for (std::sregex_iterator it(json.begin(), json.end(), re), end; it != end; ++it)
            out.push_back(std::stoul((*it)[1]));
        return out;
    }
};

TEST_F(VerifyTool, EachSignerGetsItsSignatureAndItsChain) {
    certtest::TempDir d;
    std::string tampered = certtest::ReadFile(Path("good.p7s"));
    const std::size_t at = tampered.find("A letter");
    ASSERT_NE(at, std::string::npos);
    tampered[at] = 'B';
    certtest::WriteFile(d / "tampered.p7s", tampered);

    struct Case {
        std::string sig;
        int exit;
        unsigned long status;
        std::vector<unsigned long> chainErrors;  // the chain's, then each element's
    };
    const Case cases[] = {
        {F("good.p7s"), kExitOk, 0, {0, 0, 0}},
        {Sh(d / "tampered.p7s"), kExitCheckFailed, kDigestMismatch, {0, 0, 0}},
        {F("revoked.p7s"), kExitCheckFailed, 0, {kRevoked, kRevoked, 0}},
    };
    for (const Case& c : cases) {
        // The transport directory is the trust as the files are.
        for (const std::string& trust : {Trusted(), " --node 0001 --transport-dir " + Sh(Tdir())}) {
            const auto r = certtest::Ctf("--json verify " + c.sig + trust);
            EXPECT_EQ(r.exitCode, c.exit) << c.sig << "\n" << r.out << r.err;
            std::vector<std::string> keys;
            ASSERT_TRUE(certtest::ParseJson(r.out, nullptr, &keys)) << r.out;
            for (const char* k : {"signers", "subject", "serial", "signingTime", "status", "text", "chain", "elements"})
                EXPECT_NE(std::find(keys.begin(), keys.end(), k), keys.end()) << k << "\n" << r.out;
            EXPECT_EQ(Numbers(r.out, "status"), std::vector<unsigned long>{c.status}) << c.sig << "\n" << r.out;
            EXPECT_EQ(Numbers(r.out, "error"), c.chainErrors) << c.sig << "\n" << r.out;
        }
    }
    // The expired user signed when it still could: the time it claims is
    // the one shown.
    const auto expired = certtest::Ctf("--json verify " + F("expired.p7s") + Trusted());
    const auto good = certtest::Ctf("--json verify " + F("good.p7s") + Trusted());
    EXPECT_LT(expired.out.substr(expired.out.find("signingTime")), good.out.substr(good.out.find("signingTime")));

    // The text form: a line per signer with its verdict, the status
    // explained.
    const auto text = certtest::Ctf("verify " + Sh(d / "tampered.p7s") + Trusted());
    EXPECT_EQ(text.exitCode, kExitCheckFailed);
    EXPECT_NE(text.out.find("CN=Good user"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("0x80090005"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("NOT VALID"), std::string::npos) << text.out;

    // Without trust the signature still holds, the chain does not.
    const auto untrusted =
        certtest::Ctf("--json verify " + F("good.p7s") + " --untrusted " + F("root.cer") + " --crl " + F("root.crl"));
    EXPECT_EQ(untrusted.exitCode, kExitCheckFailed);
    EXPECT_EQ(Numbers(untrusted.out, "status"), std::vector<unsigned long>{0});
    EXPECT_EQ(Numbers(untrusted.out, "error").at(0), kUntrustedRoot) << untrusted.out;
}

TEST_F(VerifyTool, UnsignGivesTheContentAndADetachedSignatureThatVerifies) {
    certtest::TempDir d;
    auto r = certtest::Ctf("unsign " + F("good.p7s") + " -o " + Sh(d / "letter.txt") + " --detached-out " +
                           Sh(d / "letter.sig"));
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(certtest::ReadFile(d / "letter.txt"), certtest::ReadFile(Path("letter.txt")));

    // The detached signature wants its content, and holds only for it.
    const std::string sig = Sh(d / "letter.sig");
    r = certtest::Ctf("verify " + sig + Trusted());
    EXPECT_EQ(r.exitCode, kExitUsage);
    EXPECT_NE(r.err.find("--content"), std::string::npos) << r.err;
    EXPECT_EQ(certtest::Ctf("verify " + sig + " --content " + Sh(d / "letter.txt") + Trusted()).exitCode, kExitOk);
    certtest::WriteFile(d / "other.txt", "another letter\n");
    r = certtest::Ctf("--json verify " + sig + " --content " + Sh(d / "other.txt") + Trusted());
    EXPECT_EQ(r.exitCode, kExitCheckFailed);
    EXPECT_EQ(Numbers(r.out, "status"), std::vector<unsigned long>{kDigestMismatch}) << r.out;
    // An attached one carries its own content.
    EXPECT_EQ(certtest::Ctf("verify " + F("good.p7s") + " --content " + Sh(d / "letter.txt")).exitCode, kExitUsage);
    // A detached one has no content to take out.
    EXPECT_EQ(certtest::Ctf("unsign " + sig + " -o " + Sh(d / "none.txt")).exitCode, kExitUsage);

    if (certtest::HaveGostEngine()) {
        const auto o = certtest::Run("openssl cms -verify -engine gost -binary -noverify -inform DER -in " + sig +
                                     " -content " + Sh(d / "letter.txt") + " -out /dev/null");
        EXPECT_EQ(o.exitCode, 0) << o.err;
    }
}

TEST_F(VerifyTool, InputThatIsNoSignedDataExits2NamingIt) {
    certtest::TempDir d;
    const std::string good = certtest::ReadFile(Path("good.p7s"));
    certtest::WriteFile(d / "notes.txt", "not a signature\n");
    certtest::WriteFile(d / "cut.p7s", good.substr(0, good.size() - 40));
    certtest::WriteFile(d / "empty.p7s", "");
    for (const char* bad : {"notes.txt", "cut.p7s", "empty.p7s", "missing.p7s"}) {
        for (const std::string& cmd :
             {"verify " + Sh(d / bad) + Trusted(), "unsign " + Sh(d / bad) + " -o " + Sh(d / "out.txt")}) {
            const auto r = certtest::Ctf(cmd);
            EXPECT_EQ(r.exitCode, kExitUsage) << cmd << "\n" << r.out << r.err;
            EXPECT_NE(r.err.find(bad), std::string::npos) << cmd << "\n" << r.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(d / "out.txt"));
    // A certificate where a signed data is wanted; trust that is no
    // certificate.
    EXPECT_EQ(certtest::Ctf("verify " + F("good.cer")).exitCode, kExitUsage);
    EXPECT_EQ(certtest::Ctf("verify " + F("good.p7s") + " --trust " + Sh(d / "notes.txt")).exitCode, kExitUsage);
}

TEST_F(VerifyTool, SignerWhoseCertificateIsNotCarriedHasNoChainUnlessGiven) {
    // The revoked user's certificate in its signed data swapped for the
    // expired user's (names of the same length, so the encoding's lengths
    // stay right): the signer's own is nowhere.
    certtest::TempDir d;
    std::string sig = certtest::ReadFile(Path("revoked.p7s"));
    const std::string revoked = certtest::ReadFile(Path("revoked.cer")),
                      expired = certtest::ReadFile(Path("expired.cer"));
    ASSERT_EQ(revoked.size(), expired.size());
    const std::size_t at = sig.find(revoked);
    ASSERT_NE(at, std::string::npos);
    sig.replace(at, revoked.size(), expired);
    certtest::WriteFile(d / "swapped.p7s", sig);

    auto r = certtest::Ctf("--json verify " + Sh(d / "swapped.p7s") + Trusted());
    EXPECT_EQ(r.exitCode, kExitCheckFailed);
    EXPECT_EQ(Numbers(r.out, "status"), std::vector<unsigned long>{kNoSignerCert}) << r.out;
    EXPECT_NE(r.out.find("\"chain\": null"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"subject\": null"), std::string::npos) << r.out;
    // Given by the caller, it is found: the signature holds, the chain is
    // the revoked one's.
    r = certtest::Ctf("--json verify " + Sh(d / "swapped.p7s") + Trusted() + " --untrusted " + F("revoked.cer"));
    EXPECT_EQ(r.exitCode, kExitCheckFailed);
    EXPECT_EQ(Numbers(r.out, "status"), std::vector<unsigned long>{0}) << r.out;
    EXPECT_EQ(Numbers(r.out, "error").at(0), kRevoked) << r.out;
}

}  // namespace
