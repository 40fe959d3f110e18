// `ctf verify-cert` over the sample transport directory (users good, revoked,
// expired and of an unknown CA), trusting files or the directory itself.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "sample_tdir_test.h"
#include "testsupport.h"

namespace {

using certtest::kExitCheckFailed;
using certtest::kExitOk;
using certtest::kExitUsage;
using certtest::Sh;

constexpr unsigned kTime = 0x1, kRevoked = 0x4, kUntrustedRoot = 0x20, kUnknown = 0x40, kPartial = 0x10000;

class VerifyCert : public certtest::SampleTdirTest {
protected:
    static certtest::RunResult Verify(const std::string& args) { return certtest::Ctf("--json verify-cert " + args); }

    // The "error" numbers of a single chain's JSON: the chain's, then each
    // element's from the certificate to its root.
    static std::vector<unsigned> Errors(const std::string& json) {
        EXPECT_TRUE(certtest::ParseJson(json)) << json;
        std::vector<unsigned> out;
        static const std::regex error("\"error\": ([0-9]+)");
        for (std::sregex_iterator it(json.begin(), json.end(), error), end; it != end; ++it)
            out.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
        return out;
    }

    // A UTC time `days` from now as --at takes it.
    static std::string At(long days) {
        const std::time_t t = std::time(nullptr) + days * 86400;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &tm);
        return buf;
    }
};

// The chain rules themselves are the library's (and the interop corpus's);
// here each way of naming trust, and the output's shape.
TEST_F(VerifyCert, TrustFromFilesOrFromTheTransportDirectory) {
    const std::string trusted = " --trust " + F("root.cer") + " --crl " + F("root.crl");
    const std::string tdir = " --node 0001 --transport-dir " + Sh(Tdir());
    struct Case {
        const char* cert;
        std::string more;
        int exit;
        std::vector<unsigned> errors;  // the chain's, then the elements'
    };
    const Case cases[] = {
        {"good.cer", trusted, kExitOk, {0, 0, 0}},
        {"revoked.cer", trusted, kExitCheckFailed, {kRevoked, kRevoked, 0}},
        {"unknown.cer", trusted, kExitCheckFailed, {kPartial, 0}},
        // The intermediate only helps build the chain; its CRL decides too.
        {"external.cer",
         trusted + " --untrusted " + F("ca0002.cer") + " --crl " + F("ca0002.crl"),
         kExitOk,
         {0, 0, 0, 0}},
        {"good.cer", " --trust " + F("root.cer"), kExitCheckFailed, {kUnknown, kUnknown, 0}},
        {"good.cer", " --trust " + F("root.cer") + " --app-flag 1", kExitOk, {0, 0, 0}},
        // A self-signed certificate that is only untrusted anchors nothing.
        {"good.cer",
         " --untrusted " + F("root.cer") + " --crl " + F("root.crl"),
         kExitCheckFailed,
         {kUntrustedRoot, 0, kUntrustedRoot}},
        {"revoked.cer", tdir, kExitCheckFailed, {kRevoked, kRevoked, 0}},
        // Its CA comes from node 0002's list, loaded when the chain needs it.
        {"external.cer", tdir, kExitOk, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto r = Verify(F(c.cert) + c.more);
        EXPECT_EQ(r.exitCode, c.exit) << c.cert << c.more << "\n" << r.out << r.err;
        EXPECT_EQ(Errors(r.out), c.errors) << c.cert << c.more << "\n" << r.out;
    }

    // Several files: one object each, in order, with the shape promised.
    auto r = Verify(F("good.cer") + " " + F("revoked.cer") + trusted);
    EXPECT_EQ(r.exitCode, kExitCheckFailed);
    std::vector<std::string> keys;
    ASSERT_TRUE(certtest::ParseJson(r.out, nullptr, &keys)) << r.out;
    for (const char* k : {"file", "error", "code", "text", "elements", "subject", "issuer", "serial", "crl"})
        EXPECT_NE(std::find(keys.begin(), keys.end(), k), keys.end()) << k;
    EXPECT_LT(r.out.find("good.cer"), r.out.find("revoked.cer"));
    EXPECT_NE(r.out.find("\"code\": 2148204812"), std::string::npos) << r.out;  // 0x800B010C, revoked
    EXPECT_NE(r.out.find("\"subject\": \"C=RU,O=Sample,CN=Good user\""), std::string::npos) << r.out;
    r = certtest::Ctf("verify-cert " + F("revoked.cer") + tdir);
    EXPECT_NE(r.out.find("0001_trl.p7s (node 0001)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("revoked"), std::string::npos) << r.out;

    // Two node lists besides the common one: which is ours must be said.
    r = certtest::Ctf("--transport-dir " + Sh(Tdir()) + " verify-cert " + F("good.cer"));
    EXPECT_EQ(r.exitCode, kExitUsage);
    EXPECT_NE(r.err.find("--node"), std::string::npos) << r.err;
    EXPECT_EQ(
        certtest::Ctf("--transport-dir " + Sh(Tdir()) + " verify-cert " + F("good.cer") + " --node 0003").exitCode,
        kExitUsage);
}

TEST_F(VerifyCert, AtJudgesTheChainAtThatTime) {
    const std::string trusted = " --trust " + F("root.cer") + " --crl " + F("root.crl");
    // Revoked two days ago, not five; good for a year, not in 400 days.
    EXPECT_EQ(Verify(F("revoked.cer") + trusted + " --at " + At(-5)).exitCode, kExitOk);
    const auto late = Verify(F("good.cer") + trusted + " --at " + At(400));
    EXPECT_EQ(late.exitCode, kExitCheckFailed);
    EXPECT_EQ(Errors(late.out)[0] & kTime, kTime) << late.out;
    // The CRL, current now, has long passed its next update by then: it
    // still decides, and says so.
    EXPECT_NE(late.out.find("\"outOfDate\": true"), std::string::npos) << late.out;
    EXPECT_EQ(Verify(F("good.cer") + trusted).out.find("\"outOfDate\": true"), std::string::npos);
}

TEST_F(VerifyCert, InputThatIsNoCertificateExits2NamingIt) {
    certtest::TempDir d;
    const std::string good = certtest::ReadFile(Path("good.cer"));
    certtest::WriteFile(d / "notes.txt", "not a certificate\n");
    certtest::WriteFile(d / "cut.cer", good.substr(0, good.size() / 2));
    certtest::WriteFile(d / "empty.cer", "");
    for (const char* bad : {"notes.txt", "cut.cer", "empty.cer", "missing.cer"}) {
        for (const std::string& args :
             {Sh(d / bad) + " --trust " + F("root.cer"), F("good.cer") + " --trust " + Sh(d / bad),
              F("good.cer") + " --crl " + Sh(d / bad)}) {
            const auto r = certtest::Ctf("verify-cert " + args);
            EXPECT_EQ(r.exitCode, kExitUsage) << args << "\n" << r.err;
            EXPECT_NE(r.err.find(bad), std::string::npos) << args << "\n" << r.err;
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    // A CRL where a certificate is wanted, a time in another form, a node
    // without a transport directory.
    for (const std::string& args : {F("root.crl"), F("good.cer") + " --at 2026-01-01",
                                    F("good.cer") + " --at 20261301000000Z", F("good.cer") + " --node 0001"})
        EXPECT_EQ(Verify(args).exitCode, kExitUsage) << args;
}

}  // namespace
