// `ctf list ...`: exit statuses, what is written and what is left alone.
#include <regex>
#include <sstream>

#include "cert/toofile.h"
#include "testsupport.h"

namespace {

using certtest::kExitCheckFailed;
using certtest::kExitOk;
using certtest::kExitUsage;
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
    std::string F(const std::string& n) const { return Sh(home_ / n); }
    // `ctf list` with file names taken from the home ("m.lst" stands for
    // its path there).
    certtest::RunResult List(const std::string& args) {
        static const std::regex file(R"([a-z.]+\.(lst|pem|crl|der|p7b|key))");
        std::string line;
        std::istringstream words(args);
        for (std::string w; words >> w;) line += " " + (std::regex_match(w, file) ? F(w) : w);
        return certtest::Ctf("list" + line);
    }
};

TEST_F(ListCli, MacListsAreMadeCheckedAndKeptWhole) {
    ASSERT_EQ(List("new m.lst --record --mac a --mac-key mac.key --user-id ops a.pem").exitCode, kExitOk);
    EXPECT_EQ(List("check m.lst --mac-key mac.key").exitCode, kExitOk);
    EXPECT_EQ(List("check m.lst").exitCode, kExitUsage);
    EXPECT_EQ(List("add m.lst b.pem").exitCode, kExitUsage);
    ASSERT_EQ(List("add m.lst b.pem --mac-key mac.key").exitCode, kExitOk);

    const auto shown = List("show m.lst --mac-key mac.key --json");
    ASSERT_EQ(shown.exitCode, kExitOk) << shown.err;
    std::vector<std::string> keys;
    std::string why;
    EXPECT_TRUE(certtest::ParseJson(shown.out, &why, &keys)) << why;
    for (const auto& k : keys) EXPECT_TRUE(k.find('_') == std::string::npos && !std::isupper(k[0])) << k;
    EXPECT_NE(shown.out.find("\"certificateCount\": 2"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\"meaning\": \"verified\""), std::string::npos) << shown.out;

    // One changed byte: the load succeeds, the check fails with 7.
    std::string bytes = ReadFile(home_ / "m.lst");
    bytes[bytes.size() - 30] ^= 1;
    certtest::WriteFile(home_ / "changed.lst", bytes);
    const auto bad = List("check changed.lst --mac-key mac.key --json");
    EXPECT_EQ(bad.exitCode, kExitCheckFailed);
    EXPECT_NE(bad.out.find("\"status\": 7"), std::string::npos) << bad.out;

    // A list that does not load is refused and left byte for byte.
    const std::string cut = ReadFile(home_ / "m.lst").substr(0, 60);
    certtest::WriteFile(home_ / "cut.lst", cut);
    EXPECT_EQ(List("add cut.lst b.pem --mac-key mac.key").exitCode, kExitUsage);
    EXPECT_EQ(ReadFile(home_ / "cut.lst"), cut);
    EXPECT_EQ(List("show cut.lst").exitCode, kExitUsage);

    // Removing: by serial or certificate; nothing matched changes nothing.
    const std::string before = ReadFile(home_ / "m.lst");
    EXPECT_EQ(List("remove m.lst --serial 01 --mac-key mac.key").exitCode, kExitCheckFailed);
    EXPECT_EQ(ReadFile(home_ / "m.lst"), before);
    EXPECT_EQ(List("remove m.lst a.pem --mac-key mac.key").exitCode, kExitOk);
    EXPECT_NE(List("show m.lst").out.find("certificates: 1"), std::string::npos);
}

TEST_F(ListCli, UsageFaultsAndPkcs7Lists) {
    certtest::WriteFile(home_ / "short.key", "abc");
    for (const char* args : {"new x.lst --record --mac 1.2.643.2.2.9 --mac-key mac.key", "new x.lst --record --pkcs7",
                             "new x.lst --record a.crl", "new x.lst --record --mac z --mac-key short.key"})
        EXPECT_EQ(List(args).exitCode, kExitUsage) << args;
    EXPECT_FALSE(CTOOFile::IsExists((home_ / "x.lst").c_str()));

    // An empty plain list, and a PKCS #7 list that holds the CRL too.
    ASSERT_EQ(List("new empty.lst --record --purpose ASSK --version 0x11").exitCode, kExitOk);
    EXPECT_NE(List("show empty.lst").out.find("purpose:      ASSK"), std::string::npos);
    EXPECT_EQ(List("check empty.lst").exitCode, kExitCheckFailed);  // not protected
    ASSERT_EQ(List("new p.p7b --pkcs7 a.pem a.crl").exitCode, kExitOk);
    EXPECT_NE(List("show p.p7b").out.find("crls:         1"), std::string::npos);
    EXPECT_EQ(List("check p.p7b").exitCode, kExitCheckFailed);  // unsigned: 140
    // A list is an input of another list, unless it carries a CRL.
    EXPECT_EQ(List("new q.lst --record p.p7b b.pem --user-id x").exitCode, kExitUsage);
    EXPECT_EQ(List("new q.lst --record empty.lst b.pem").exitCode, kExitOk);

    EXPECT_EQ(List("crl a.crl.der --issuer-cert a.pem").exitCode, kExitOk);
    EXPECT_EQ(List("crl a.crl.der --issuer-cert b.pem").exitCode, kExitCheckFailed);
    EXPECT_EQ(List("crl a.crl.der").exitCode, kExitCheckFailed);
    EXPECT_EQ(List("crl a.pem").exitCode, kExitUsage);
}

}  // namespace
