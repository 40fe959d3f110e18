// `ctf list ...`: exit statuses, what is written and what is left alone.
#include "testsupport.h"

namespace {

using certtest::Ctf;
using certtest::ReadFile;
using certtest::Sh;

class ListCli : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        const auto r = certtest::Run(
            "cd " + Sh(home_.path()) +
            " && for n in a b; do openssl req -x509 -newkey rsa:2048 -nodes -keyout $n.key"
            " -out $n.pem -days 30 -subj /CN=$n >/dev/null 2>&1 || exit 1; done &&"
            " printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=idx\\ncrlnumber=num\\ndefault_md=sha256\\n"
            "default_crl_days=30\\n[x]\\nauthorityKeyIdentifier=keyid\\n' > ca.cnf && touch idx && echo 01 > num &&"
            " openssl ca -config ca.cnf -gencrl -crlexts x -cert a.pem -keyfile a.key -out a.crl 2>/dev/null &&"
            " openssl crl -in a.crl -outform DER -out a.crl.der &&"
            " printf '%064d' 7 > mac.key");
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    std::string F(const std::string& n) const { return home_ / n; }
    certtest::RunResult List(const std::string& args) { return Ctf("list " + args); }
};

TEST_F(ListCli, MacListsAreMadeCheckedAndKeptWhole) {
    ASSERT_EQ(List("new " + Sh(F("m.lst")) + " --record --mac a --mac-key " + Sh(F("mac.key")) + " --user-id ops " +
                   Sh(F("a.pem")))
                  .exitCode,
              certtest::kExitOk);
    EXPECT_EQ(List("check " + Sh(F("m.lst")) + " --mac-key " + Sh(F("mac.key"))).exitCode, certtest::kExitOk);
    EXPECT_EQ(List("check " + Sh(F("m.lst"))).exitCode, certtest::kExitUsage);
    EXPECT_EQ(List("add " + Sh(F("m.lst")) + " " + Sh(F("b.pem"))).exitCode, certtest::kExitUsage);
    ASSERT_EQ(List("add " + Sh(F("m.lst")) + " " + Sh(F("b.pem")) + " --mac-key " + Sh(F("mac.key"))).exitCode,
              certtest::kExitOk);

    const auto shown = List("show " + Sh(F("m.lst")) + " --mac-key " + Sh(F("mac.key")) + " --json");
    ASSERT_EQ(shown.exitCode, certtest::kExitOk) << shown.err;
    std::vector<std::string> keys;
    std::string why;
    EXPECT_TRUE(certtest::ParseJson(shown.out, &why, &keys)) << why;
    for (const auto& k : keys) EXPECT_TRUE(k.find('_') == std::string::npos && !std::isupper(k[0])) << k;
    EXPECT_NE(shown.out.find("\"certificateCount\": 2"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\"meaning\": \"verified\""), std::string::npos) << shown.out;

    // One changed byte: the load succeeds, the check fails with 7.
    std::string bytes = ReadFile(F("m.lst"));
    bytes[bytes.size() - 30] ^= 1;
    certtest::WriteFile(F("changed.lst"), bytes);
    const auto bad = List("check " + Sh(F("changed.lst")) + " --mac-key " + Sh(F("mac.key")) + " --json");
    EXPECT_EQ(bad.exitCode, certtest::kExitCheckFailed);
    EXPECT_NE(bad.out.find("\"status\": 7"), std::string::npos) << bad.out;

    // A list that does not load is refused and left byte for byte.
    const std::string cut = ReadFile(F("m.lst")).substr(0, 60);
    certtest::WriteFile(F("cut.lst"), cut);
    EXPECT_EQ(List("add " + Sh(F("cut.lst")) + " " + Sh(F("b.pem")) + " --mac-key " + Sh(F("mac.key"))).exitCode,
              certtest::kExitUsage);
    EXPECT_EQ(ReadFile(F("cut.lst")), cut);
    EXPECT_EQ(List("show " + Sh(F("cut.lst"))).exitCode, certtest::kExitUsage);

    // Removing: by serial or certificate; nothing matched changes nothing.
    const std::string before = ReadFile(F("m.lst"));
    EXPECT_EQ(List("remove " + Sh(F("m.lst")) + " --serial 01 --mac-key " + Sh(F("mac.key"))).exitCode,
              certtest::kExitCheckFailed);
    EXPECT_EQ(ReadFile(F("m.lst")), before);
    EXPECT_EQ(List("remove " + Sh(F("m.lst")) + " " + Sh(F("a.pem")) + " --mac-key " + Sh(F("mac.key"))).exitCode,
              certtest::kExitOk);
    EXPECT_NE(List("show " + Sh(F("m.lst"))).out.find("certificates: 1"), std::string::npos);
}

TEST_F(ListCli, UsageFaultsAndPkcs7Lists) {
    EXPECT_EQ(List("new " + Sh(F("x.lst")) + " --record --mac 1.2.643.2.2.9 --mac-key " + Sh(F("mac.key"))).exitCode,
              certtest::kExitUsage);
    EXPECT_EQ(List("new " + Sh(F("x.lst")) + " --record --pkcs7").exitCode, certtest::kExitUsage);
    EXPECT_EQ(List("new " + Sh(F("x.lst")) + " --record " + Sh(F("a.crl"))).exitCode, certtest::kExitUsage);
    certtest::WriteFile(F("short.key"), "abc");
    EXPECT_EQ(List("new " + Sh(F("x.lst")) + " --record --mac z --mac-key " + Sh(F("short.key"))).exitCode,
              certtest::kExitUsage);
    EXPECT_EQ(certtest::Run("ls " + Sh(F("x.lst"))).exitCode, 2);

    // An empty plain list, and a PKCS #7 list that holds the CRL too.
    ASSERT_EQ(List("new " + Sh(F("empty.lst")) + " --record --purpose ASSK --version 0x11").exitCode,
              certtest::kExitOk);
    const auto empty = List("show " + Sh(F("empty.lst")));
    EXPECT_NE(empty.out.find("purpose:      ASSK"), std::string::npos) << empty.out;
    EXPECT_EQ(List("check " + Sh(F("empty.lst"))).exitCode, certtest::kExitCheckFailed);  // not protected
    ASSERT_EQ(List("new " + Sh(F("p.p7b")) + " --pkcs7 " + Sh(F("a.pem")) + " " + Sh(F("a.crl"))).exitCode,
              certtest::kExitOk);
    const auto p7 = List("show " + Sh(F("p.p7b")));
    EXPECT_NE(p7.out.find("crls:         1"), std::string::npos) << p7.out;
    EXPECT_EQ(List("check " + Sh(F("p.p7b"))).exitCode, certtest::kExitCheckFailed);  // unsigned: 140
    // The list is an input of another list.
    ASSERT_EQ(
        List("new " + Sh(F("q.lst")) + " --record " + Sh(F("p.p7b")) + " " + Sh(F("b.pem")) + " --user-id x").exitCode,
        certtest::kExitUsage);  // it carries a CRL
    ASSERT_EQ(List("new " + Sh(F("q.lst")) + " --record " + Sh(F("empty.lst")) + " " + Sh(F("b.pem"))).exitCode,
              certtest::kExitOk);

    EXPECT_EQ(List("crl " + Sh(F("a.crl.der")) + " --issuer-cert " + Sh(F("a.pem"))).exitCode, certtest::kExitOk);
    EXPECT_EQ(List("crl " + Sh(F("a.crl.der")) + " --issuer-cert " + Sh(F("b.pem"))).exitCode,
              certtest::kExitCheckFailed);
    EXPECT_EQ(List("crl " + Sh(F("a.crl.der"))).exitCode, certtest::kExitCheckFailed);
    EXPECT_EQ(List("crl " + Sh(F("a.pem"))).exitCode, certtest::kExitUsage);
}

}  // namespace
