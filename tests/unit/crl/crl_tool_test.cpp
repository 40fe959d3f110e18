#include <filesystem>

#include <gtest/gtest.h>

#include "cert/crlmodel.h"
#include "cert/toofile.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

class CrlTool : public certtest::HomeTest {
protected:
    certtest::RunResult Ctf(const std::string& args) {
        return certtest::Ctf("--home " + Sh(home_.path()) + " " + args);
    }
    std::string F(const std::string& n) const { return home_ / n; }
};

TEST_F(CrlTool, IssueRevokeCheckAndRefuse) {
    ASSERT_EQ(Ctf("key new --container ca --alg gost12-256 --no-password").exitCode, 0);
    ASSERT_EQ(Ctf("key new --container other --alg gost12-256 --no-password").exitCode, 0);
    ASSERT_EQ(Ctf("cert new --container ca --no-password --subject CN=CA --ca --out " + Sh(F("ca.der"))).exitCode, 0);
    const std::string key = " --container ca --no-password --cert " + Sh(F("ca.der"));
    auto r = Ctf("--json crl new" + key +
                 " --list-id 0x1234 --revoke 01:AB:CD --revoke 0A:9 --revoke 80:keyCompromise -o " + Sh(F("a.crl")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"listId\": 4660"), std::string::npos) << r.out;

    r = Ctf("--json crl show " + Sh(F("a.crl")) + " --entries --issuer-cert " + Sh(F("ca.der")));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> keys;
    EXPECT_TRUE(certtest::ParseJson(r.out, nullptr, &keys)) << r.out;
    for (const char* k : {"number", "listId", "counter", "time", "keyId", "count", "entries", "date", "reason"})
        EXPECT_NE(std::find(keys.begin(), keys.end(), k), keys.end()) << k;
    EXPECT_NE(r.out.find("\"reason\": \"privilegeWithdrawn\""), std::string::npos);
    EXPECT_NE(r.out.find("\"signature\": \"good\""), std::string::npos);

    EXPECT_EQ(Ctf("crl check " + Sh(F("a.crl")) + " 02 03").exitCode, certtest::kExitOk);
    r = Ctf("--json crl check " + Sh(F("a.crl")) + " 02 01abcd");
    EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed);
    EXPECT_NE(r.out.find("{\"serial\": \"01ABCD\", \"revoked\": true"), std::string::npos) << r.out;

    ASSERT_EQ(Ctf("crl revoke " + Sh(F("a.crl")) + key + " --remove 80 -o " + Sh(F("b.crl"))).exitCode, 0);
    EXPECT_NE(Ctf("--json crl show " + Sh(F("b.crl"))).out.find("\"listId\": 4660, \"counter\": 1"), std::string::npos);

    // Refused, nothing written: another key, an entry not there, bad input.
    for (const std::string& bad :
         {"crl new --container other --no-password --cert " + Sh(F("ca.der")) + " -o " + Sh(F("x.crl")),
          "crl revoke " + Sh(F("a.crl")) + key + " --remove 77 -o " + Sh(F("x.crl")),
          "crl new" + key + " --revoke 12:noSuchReason -o " + Sh(F("x.crl")),
          "crl revoke " + Sh(F("ca.der")) + key + " -o " + Sh(F("x.crl"))}) {
        r = Ctf(bad);
        EXPECT_EQ(r.exitCode, certtest::kExitUsage) << bad << "\n" << r.err;
        EXPECT_FALSE(std::filesystem::exists(F("x.crl"))) << bad;
    }
    certtest::WriteFile(F("junk.crl"), std::string("\x30\x05\x30\x03\x02\x01\x01", 7));
    r = Ctf("crl show " + Sh(F("junk.crl")));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage);
    EXPECT_NE(r.err.find("CCTF_CRL_Info::DecodeData()"), std::string::npos) << r.err;
    // An unknown signature algorithm: the status, exit 2.
    std::string unknown = certtest::ReadFile(F("a.crl"));
    const std::string oid("\x2a\x85\x03\x07\x01\x01\x03\x02", 8);
    for (auto at = unknown.find(oid); at != std::string::npos; at = unknown.find(oid, at)) unknown[at + 7] = 0x7F;
    certtest::WriteFile(F("unknown.crl"), unknown);
    r = Ctf("crl show " + Sh(F("unknown.crl")) + " --issuer-cert " + Sh(F("ca.der")));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage);
    EXPECT_NE(r.err.find("73"), std::string::npos) << r.err;

    // The model's file forms: two CRLs one after the other, read in turn.
    CCTF_CRL_List a, b;
    const IdentObj da(certtest::ReadFile(F("a.crl"))), db(certtest::ReadFile(F("b.crl")));
    ASSERT_EQ(a.ReadData(da.data(), da.size()), da.size());
    ASSERT_EQ(b.ReadData(db.data(), db.size()), db.size());
    {
        CTOOFile out(F("two.bin").c_str(), "wb");
        EXPECT_EQ(a.WriteData(out, 0), da.size());
        EXPECT_EQ(b.WriteData(out, 0xFFFFFFFFu), db.size());
        EXPECT_EQ(b.WriteData(out, 100000), 0u);  // beyond the end
    }
    CTOOFile in(F("two.bin").c_str(), "rb");
    CCTF_CRL_List r1, r2;
    EXPECT_EQ(r1.ReadData(in, 0), da.size());
    EXPECT_EQ(r2.ReadData(in, 0xFFFFFFFFu), db.size());
    EXPECT_EQ(r2.m_encoded, db);
    EXPECT_EQ(r2.ReadData(in, 100000), 0u);
    std::vector<BYTE> small(10);
    EXPECT_EQ(a.WriteData(small.data(), DWORD(small.size())), 0u);
}

// `crl merge` makes and fills a CRL file, `crl show` lists it, `crl delete`
// removes by key id or number; a miss is exit 1 and bad input exit 2, the
// file untouched either way.
TEST_F(CrlTool, MergeShowAndDeleteInACrlFile) {
    for (const char* c : {"ca", "cb"}) {
        ASSERT_EQ(Ctf(std::string("key new --container ") + c + " --alg gost12-256 --no-password").exitCode, 0);
        ASSERT_EQ(Ctf(std::string("cert new --container ") + c + " --no-password --subject CN=" + c + " --ca --out " +
                      Sh(F(std::string(c) + ".der")))
                      .exitCode,
                  0);
    }
    auto issue = [&](const char* c, const std::string& out, const std::string& more) {
        auto r = Ctf(std::string("crl new --container ") + c + " --no-password --cert " +
                     Sh(F(std::string(c) + ".der")) + " " + more + " -o " + Sh(F(out)));
        ASSERT_EQ(r.exitCode, 0) << r.err;
    };
    issue("ca", "a1.crl", "--revoke 01");
    issue("ca", "a2.crl", "--list-id 7 --revoke 01 --revoke 02");
    issue("cb", "b.crl", "--revoke 03");
    const std::string file = Sh(F("crls.p7"));

    auto r = Ctf("--json crl merge " + file + " " + Sh(F("a1.crl")) + " " + Sh(F("b.crl")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"count\": 2"), std::string::npos) << r.out;
    // The same issuer and key: a2 takes a1's place.
    ASSERT_EQ(Ctf("crl merge " + file + " " + Sh(F("a2.crl"))).exitCode, 0);
    r = Ctf("--json crl show " + file + " --entries --issuer-cert " + Sh(F("ca.der")));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(certtest::ParseJson(r.out, nullptr, nullptr)) << r.out;
    EXPECT_NE(r.out.find("\"count\": 2, \"crls\": ["), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"listId\": 7"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"signature\": \"good\""), std::string::npos) << r.out;

    // Junk to merge or as the file is exit 2, a miss exit 1; the file stays byte for byte
    // (the library's own tests take the other failures).
    const std::string before = certtest::ReadFile(F("crls.p7"));
    certtest::WriteFile(F("junk"), std::string("\x30\x03\x02\x01\x01", 5));
    EXPECT_EQ(Ctf("crl merge " + file + " " + Sh(F("junk"))).exitCode, certtest::kExitUsage);
    EXPECT_EQ(Ctf("crl merge " + Sh(F("junk")) + " " + Sh(F("b.crl"))).exitCode, certtest::kExitUsage);
    EXPECT_EQ(Ctf("crl delete " + file + " --like " + Sh(F("a1.crl")) + " --by-number").exitCode,
              certtest::kExitCheckFailed);
    EXPECT_EQ(certtest::ReadFile(F("crls.p7")), before);

    ASSERT_EQ(Ctf("crl delete " + file + " --like " + Sh(F("a2.crl")) + " --by-number").exitCode, 0);
    r = Ctf("--json crl delete " + file + " --like " + Sh(F("b.crl")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"count\": 0"), std::string::npos) << r.out;
}

}  // namespace
