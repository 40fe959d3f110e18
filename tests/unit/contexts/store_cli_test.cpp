// `ctf store` against openssl: issuer checks that agree with `openssl
// verify -crl_check`, exports that openssl reads back byte for byte, and
// store files that are refused and left alone.
#include <filesystem>

#include "pki.h"

namespace {

using certtest::Ctf;
using certtest::Sh;

class StoreCli : public certtest::HomeTest {
protected:
    std::string F(const std::string& name) const { return home_ / name; }
    // "--json ARGS" puts the global option before the command.
    certtest::RunResult Store(std::string args) {
        std::string json;
        if (args.rfind("--json ", 0) == 0) {
            json = "--json ";
            args = args.substr(7);
        }
        return Ctf(json + "--home " + Sh(home_.path()) + " store " + args);
    }
};

TEST_F(StoreCli, IssuerAgreesWithOpensslVerify) {
    for (const auto& k : pki::kKinds) {
        if (k.gost && !certtest::HaveGostEngine()) continue;
        SCOPED_TRACE(k.name);
        const std::string dir = F(k.name);
        std::filesystem::create_directories(dir);
        std::string why;
        ASSERT_TRUE(pki::Make(dir, k, why)) << why;
        const std::string store = Sh(dir + "/s.sst");
        auto add = Store("add --file " + store + " " + Sh(dir + "/ca.der") + " " + Sh(dir + "/crl.pem"));
        ASSERT_EQ(add.exitCode, certtest::kExitOk) << add.err;
        for (const char* n : {"good", "expired", "revoked", "altered"}) {
            const std::string engine = k.gost ? "-engine gost " : "";
            const auto ossl = certtest::Run("openssl verify " + engine + "-crl_check -CAfile " + Sh(dir + "/ca.pem") +
                                            " -CRLfile " + Sh(dir + "/crl.pem") + " " + Sh(dir + "/" + n + ".pem"));
            const auto ours = Store("issuer --file " + store + " " + Sh(dir + "/" + n + ".der"));
            EXPECT_EQ(ours.exitCode == 0, ossl.exitCode == 0) << n << ": " << ours.out << ours.err << ossl.out;
            EXPECT_NE(ours.exitCode, certtest::kExitUsage) << ours.err;
        }
        // Only the revocation asked for: the expired certificate passes.
        EXPECT_EQ(Store("issuer --file " + store + " " + Sh(dir + "/expired.der") + " --checks revocation").exitCode,
                  certtest::kExitOk);
        auto json = Store("--json issuer --file " + store + " " + Sh(dir + "/revoked.der"));
        EXPECT_NE(json.out.find("\"found\": true, \"flags\": 4"), std::string::npos) << json.out;
    }
}

TEST_F(StoreCli, ExportsReadBackByteForByte) {
    const pki::Kind& k = pki::kKinds[0];
    std::string why;
    ASSERT_TRUE(pki::Make(home_.path(), k, why)) << why;
    ASSERT_EQ(Store("add --store Root " + Sh(F("ca.pem")) + " " + Sh(F("crl.der"))).exitCode, certtest::kExitOk);
    // Nothing new the second time.
    EXPECT_EQ(Store("add --store ROOT " + Sh(F("ca.der"))).exitCode, certtest::kExitCheckFailed);

    ASSERT_EQ(Store("export --store root --format pem --out " + Sh(F("out.pem"))).exitCode, certtest::kExitOk);
    ASSERT_EQ(certtest::Run("openssl x509 -in " + Sh(F("out.pem")) + " -outform DER -out " + Sh(F("x.der"))).exitCode,
              0);
    ASSERT_EQ(certtest::Run("openssl crl -in " + Sh(F("out.pem")) + " -outform DER -out " + Sh(F("c.der"))).exitCode,
              0);
    EXPECT_EQ(certtest::ReadFile(F("x.der")), certtest::ReadFile(F("ca.der")));
    EXPECT_EQ(certtest::ReadFile(F("c.der")), certtest::ReadFile(F("crl.der")));

    ASSERT_EQ(Store("export --store root --format p7b --out " + Sh(F("out.p7b"))).exitCode, certtest::kExitOk);
    const auto printed = certtest::Run("openssl pkcs7 -inform DER -in " + Sh(F("out.p7b")) + " -print_certs");
    ASSERT_EQ(printed.exitCode, 0) << printed.err;
    const auto caPem = certtest::Run("openssl x509 -in " + Sh(F("ca.der")) + " -inform DER").out;
    const auto crlPem = certtest::Run("openssl crl -in " + Sh(F("crl.der")) + " -inform DER").out;
    EXPECT_NE(printed.out.find(caPem), std::string::npos) << printed.out;
    EXPECT_NE(printed.out.find(crlPem), std::string::npos) << printed.out;

    // The PKCS #7 and serialized exports open as file stores again; PEM is
    // no store form, but `add` takes it back.
    ASSERT_EQ(Store("export --store root --out " + Sh(F("out.sst"))).exitCode, certtest::kExitOk);
    auto readd = Store("add --file " + Sh(F("again.sst")) + " " + Sh(F("out.pem")));
    ASSERT_EQ(readd.exitCode, certtest::kExitOk) << readd.err;
    EXPECT_NE(readd.out.find("1 certificates and 1 CRLs"), std::string::npos) << readd.out;
    for (const char* f : {"again.sst", "out.p7b", "out.sst"}) {
        auto listed = Store("--json list --file " + Sh(F(f)));
        ASSERT_EQ(listed.exitCode, certtest::kExitOk) << f << listed.err;
        EXPECT_TRUE(certtest::ParseJson(listed.out)) << listed.out;
        EXPECT_NE(listed.out.find("\"subject\": \"CN=Test CA,O=Wrap\""), std::string::npos) << f << listed.out;
    }
}

TEST_F(StoreCli, FindRemoveAndBadStoreFiles) {
    std::string why;
    ASSERT_TRUE(pki::Make(home_.path(), pki::kKinds[0], why)) << why;
    const std::string store = Sh(F("s.sst"));
    ASSERT_EQ(Store("add --file " + store + " " + Sh(F("good.pem")) + " " + Sh(F("revoked.der"))).exitCode, 0);
    const std::string serial = certtest::Run("openssl x509 -in " + Sh(F("good.pem")) + " -noout -serial").out.substr(7);
    auto found = Store("--json find --file " + store + " --serial " + serial.substr(0, serial.size() - 1));
    EXPECT_EQ(found.exitCode, certtest::kExitOk) << found.err;
    EXPECT_NE(found.out.find("\"subject\": \"CN=good\""), std::string::npos) << found.out;
    EXPECT_EQ(Store("find --file " + store + " --subject CN=nobody").exitCode, certtest::kExitCheckFailed);
    EXPECT_EQ(Store("find --file " + store + " --subject CN=revoked").exitCode, certtest::kExitOk);

    EXPECT_EQ(Store("remove --file " + store + " " + Sh(F("good.der"))).exitCode, certtest::kExitOk);
    EXPECT_EQ(Store("remove --file " + store + " " + Sh(F("good.der"))).exitCode, certtest::kExitCheckFailed);

    // A store file in none of the forms is refused and never written.
    const std::string junk = std::string("\0\0\0\0CERT\x20\0\0\0\x01\0\0\0\xFF\xFF\0\0", 20);
    certtest::WriteFile(F("bad.sst"), junk);
    auto bad = Store("add --file " + Sh(F("bad.sst")) + " " + Sh(F("ca.der")));
    EXPECT_EQ(bad.exitCode, certtest::kExitUsage) << bad.err;
    EXPECT_EQ(certtest::ReadFile(F("bad.sst")), junk);
}

}  // namespace
