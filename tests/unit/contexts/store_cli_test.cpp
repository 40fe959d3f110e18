// `ctf store` against openssl: issuer checks that agree with `openssl
// verify -crl_check`, exports that openssl reads back byte for byte, and
// store files that are refused and left alone.
#include <filesystem>

#include "pki.h"

namespace {

using certtest::kExitCheckFailed;
using certtest::kExitOk;
using certtest::kExitUsage;
using certtest::Sh;
constexpr auto npos = std::string::npos;

class StoreCli : public certtest::HomeTest {
protected:
    std::string F(const std::string& name) const { return home_ / name; }
    // Runs `ctf [--json] store ARGS`, expecting `code`.
    std::string Store(int code, std::string args, bool json = false) {
        auto r = certtest::Ctf(std::string(json ? "--json " : "") + "--home " + Sh(home_.path()) + " store " + args);
        EXPECT_EQ(r.exitCode, code) << args << "\n" << r.err;
        return r.out;
    }
    std::string Openssl(const std::string& args) { return certtest::Run("openssl " + args).out; }
};

TEST_F(StoreCli, IssuerAgreesWithOpensslVerify) {
    for (const auto& k : pki::kKinds) {
        if (k.gost && !certtest::HaveGostEngine()) continue;
        SCOPED_TRACE(k.name);
        const std::string dir = F(k.name), store = Sh(dir + "/s.sst");
        std::filesystem::create_directories(dir);
        std::string why;
        ASSERT_TRUE(pki::Make(dir, k, why)) << why;
        Store(kExitOk, "add --file " + store + " " + Sh(dir + "/ca.der") + " " + Sh(dir + "/crl.pem"));
        for (const char* n : {"good", "expired", "revoked", "altered"}) {
            const auto ossl = certtest::Run("openssl verify " + std::string(k.gost ? "-engine gost " : "") +
                                            "-crl_check -CAfile " + Sh(dir + "/ca.pem") + " -CRLfile " +
                                            Sh(dir + "/crl.pem") + " " + Sh(dir + "/" + n + ".pem"));
            Store(ossl.exitCode == 0 ? kExitOk : kExitCheckFailed,
                  "issuer --file " + store + " " + Sh(dir + "/" + n + ".der"));
        }
        // Only the revocation asked for: the expired certificate passes.
        Store(kExitOk, "issuer --file " + store + " " + Sh(dir + "/expired.der") + " --checks revocation");
        const std::string json =
            Store(kExitCheckFailed, "issuer --file " + store + " " + Sh(dir + "/revoked.der"), true);
        EXPECT_NE(json.find("\"found\": true, \"flags\": 4"), npos) << json;
    }
}

TEST_F(StoreCli, ExportsAddFindRemoveAndBadStoreFiles) {
    std::string why;
    ASSERT_TRUE(pki::Make(home_.path(), pki::kKinds[0], why)) << why;
    Store(kExitOk, "add --store Root " + Sh(F("ca.pem")) + " " + Sh(F("crl.der")));
    Store(kExitCheckFailed, "add --store ROOT " + Sh(F("ca.der")));  // nothing new

    // PEM and PKCS #7 exports read back in openssl byte for byte.
    Store(kExitOk, "export --store root --format pem --out " + Sh(F("out.pem")));
    Openssl("x509 -in " + Sh(F("out.pem")) + " -outform DER -out " + Sh(F("x.der")));
    Openssl("crl -in " + Sh(F("out.pem")) + " -outform DER -out " + Sh(F("c.der")));
    EXPECT_EQ(certtest::ReadFile(F("x.der")), certtest::ReadFile(F("ca.der")));
    EXPECT_EQ(certtest::ReadFile(F("c.der")), certtest::ReadFile(F("crl.der")));
    Store(kExitOk, "export --store root --format p7b --out " + Sh(F("out.p7b")));
    const std::string printed = Openssl("pkcs7 -inform DER -in " + Sh(F("out.p7b")) + " -print_certs");
    EXPECT_NE(printed.find(Openssl("x509 -in " + Sh(F("ca.der")) + " -inform DER")), npos) << printed;
    EXPECT_NE(printed.find(Openssl("crl -in " + Sh(F("crl.der")) + " -inform DER")), npos) << printed;
    // The PKCS #7 and serialized exports open as file stores again; PEM is
    // no store form, but `add` takes it back.
    Store(kExitOk, "export --store root --out " + Sh(F("out.sst")));
    EXPECT_NE(
        Store(kExitOk, "add --file " + Sh(F("again.sst")) + " " + Sh(F("out.pem"))).find("1 certificates and 1 CRLs"),
        npos);
    for (const char* f : {"again.sst", "out.p7b", "out.sst"}) {
        const std::string listed = Store(kExitOk, "list --file " + Sh(F(f)), true);
        EXPECT_TRUE(certtest::ParseJson(listed)) << listed;
        EXPECT_NE(listed.find("\"subject\": \"CN=Test CA,O=Wrap\""), npos) << f << listed;
    }

    const std::string store = Sh(F("s.sst"));
    Store(kExitOk, "add --file " + store + " " + Sh(F("good.pem")) + " " + Sh(F("revoked.der")));
    const std::string serial = Openssl("x509 -in " + Sh(F("good.pem")) + " -noout -serial").substr(7);
    const std::string found =
        Store(kExitOk, "find --file " + store + " --serial " + serial.substr(0, serial.size() - 1), true);
    EXPECT_NE(found.find("\"subject\": \"CN=good\""), npos) << found;
    Store(kExitCheckFailed, "find --file " + store + " --subject CN=nobody");
    Store(kExitOk, "find --file " + store + " --subject CN=revoked");
    Store(kExitOk, "remove --file " + store + " " + Sh(F("good.der")));
    Store(kExitCheckFailed, "remove --file " + store + " " + Sh(F("good.der")));

    // A store file in none of the forms is refused and never written.
    const std::string junk = std::string("\0\0\0\0CERT\x20\0\0\0\x01\0\0\0\xFF\xFF\0\0", 20);
    certtest::WriteFile(F("bad.sst"), junk);
    Store(kExitUsage, "add --file " + Sh(F("bad.sst")) + " " + Sh(F("ca.der")));
    EXPECT_EQ(certtest::ReadFile(F("bad.sst")), junk);
}

}  // namespace
