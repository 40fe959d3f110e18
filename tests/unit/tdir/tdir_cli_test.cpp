// `ctf tdir`: exit statuses and the JSON of the storage list.
#include "tdir_test_util.h"

namespace {

using namespace tdirtest;
using certtest::Ctf;
using certtest::Sh;

class TdirCli : public certtest::HomeTest {};

TEST_F(TdirCli, ListsFindsAndInstallsWithTheToolsExitStatuses) {
    const Pki& p = SharedPki();
    const std::string dir = home_ / "t", st = dir + "/d_station";
    WriteList(st + "/0001_trl.p7s", {p.Der("ca.der")});
    WriteList(st + "/0000_trl.p7s", {p.Der("ca.der")});
    WriteStore(st + "/e_users/0007_extu.cer", p.Der("good.der"));
    const std::string t = "--transport-dir " + Sh(dir) + " tdir ";

    auto r = Ctf(t + "ls --flags 0x21 --json");
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_EQ(r.out,
              "[{\"name\": \"0001_trl.p7s\", \"type\": 33, \"certificates\": 1, \"crls\": 0}, "
              "{\"name\": \"0007_extu.cer\", \"type\": 33, \"certificates\": 1, \"crls\": 0}]\n");
    // Two node lists besides the common one need --node.
    WriteList(st + "/0002_trl.p7s", {p.Der("ca.der")});
    EXPECT_EQ(Ctf(t + "ls").exitCode, certtest::kExitUsage);
    EXPECT_EQ(Ctf(t + "ls --node 0003").exitCode, certtest::kExitUsage);
    EXPECT_EQ(Ctf("tdir ls").exitCode, certtest::kExitUsage);  // no transport directory

    IdentObj serial;
    ASSERT_TRUE(CCTFCertContext(p.Der("good.der")).GetSubjectSerialNumber(serial));
    std::string hex = certtest::Hex(serial);
    std::string text;
    for (std::size_t i = hex.size(); i >= 2; i -= 2) text += hex.substr(i - 2, 2);
    r = Ctf(t + "find " + text + " --node 0001 --json");
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_EQ(r.out.rfind("{\"found\": true, ", 0), 0u) << r.out;
    EXPECT_EQ(Ctf(t + "find 0102 --node 0001").exitCode, certtest::kExitCheckFailed);

    certtest::WriteFile(home_ / "forged.crl", certtest::ReadFile(p.path("forged.crl.der")));
    r = Ctf(t + "add-crl " + Sh(home_ / "forged.crl") + " --node 0001");
    EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed);
    EXPECT_NE(r.out.find("issuer is in no trust storage"), std::string::npos) << r.out;
    EXPECT_EQ(Ctf(t + "add-crl " + Sh(p.path("crl.der")) + " --node 0001").exitCode, certtest::kExitOk);
    r = Ctf(t + "add-crl " + Sh(p.path("crl.der")) + " --node 0001 --json");
    EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed);
    EXPECT_NE(r.out.find("\"installed\": false"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"code\": 143"), std::string::npos) << r.out;
    r = Ctf(t + "add-crl " + Sh(p.path("good.der")) + " --node 0001");
    EXPECT_EQ(r.exitCode, certtest::kExitUsage);
    EXPECT_NE(r.err.find("good.der"), std::string::npos) << r.err;
    EXPECT_EQ(CrlsOfList(st + "/0001_trl.p7s"), std::vector<IdentObj>{p.Der("crl.der")});
}

}  // namespace
