// `ctf key set-cert` and `ctf key copy` as a user runs them.
#include <filesystem>

#include "user_test_util.h"

namespace {

using certtest::Ctf;
using certtest::Sh;

class UserCliTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        pw_ = home_ / "pw.txt";
        certtest::WriteFile(pw_, "secret\n");
    }
    // A container with a signature key and a self-signed certificate of it.
    std::string KeyAndCert(const std::string& name, const char* alg = "gost12-256") {
        auto r = Ctf("key new --container " + name + " --alg " + alg + " --password-file " + Sh(pw_));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string out = home_ / (name + ".pem");
        r = Ctf("cert new --container " + name + " --password-file " + Sh(pw_) + " --subject 'CN=" + name + "' --out " +
                Sh(out));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return out;
    }
    std::list<CCTFCertContext> Bound(const std::string& name, const std::string& password = "secret") {
        CCTFUser user;
        std::list<CCTFCertContext> list;
        if (user.LogInUser(name.c_str(), password, password, nullptr, false, true, false) == 0) {
            int status = 0;
            user.GetCertificateList(list, &status);
        }
        return list;
    }
    std::string pw_;
};

TEST_F(UserCliTest, SetCertBindsTheRightCertificateAndRefusesOthers) {
    const std::string mine = KeyAndCert("alice"), theirs = KeyAndCert("bob", "gost2001");
    auto r = Ctf("key set-cert --container alice --password-file " + Sh(pw_) + " " + Sh(mine));
    ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    auto bound = Bound("alice");
    ASSERT_EQ(bound.size(), 1u);
    const IdentObj first = bound.front().GetEncoded();

    // Another key's certificate: exit 1, the status and its place, and the
    // earlier binding stays.
    r = Ctf("--json key set-cert --container alice --password-file " + Sh(pw_) + " " + Sh(theirs));
    EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed) << r.err;
    EXPECT_NE(r.err.find("\"code\": 32"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CCTFUser::GetUserKey "), std::string::npos) << r.err;
    bound = Bound("alice");
    ASSERT_EQ(bound.size(), 1u);
    EXPECT_EQ(bound.front().GetEncoded(), first);

    // Not a certificate: exit 2 and nothing changes.
    const std::string garbage = home_ / "garbage.der", truncated = home_ / "truncated.pem";
    certtest::WriteFile(garbage, "not a certificate at all");
    const std::string pem = certtest::ReadFile(mine);
    certtest::WriteFile(truncated, pem.substr(0, pem.size() / 2));
    const std::string key = home_ / "key.pem";
    ASSERT_EQ(Ctf("key export --container bob --password-file " + Sh(pw_) + " --out " + Sh(key)).exitCode, 0);
    for (const std::string& f : {garbage, truncated, key}) {
        r = Ctf("key set-cert --container alice --password-file " + Sh(pw_) + " " + Sh(f));
        EXPECT_EQ(r.exitCode, certtest::kExitUsage) << f << ": " << r.err;
    }
    bound = Bound("alice");
    ASSERT_EQ(bound.size(), 1u);
    EXPECT_EQ(bound.front().GetEncoded(), first);

    // Wrong, missing password and a missing container: exit 2.
    const std::string wrong = home_ / "wrong.txt";
    certtest::WriteFile(wrong, "wrong");
    r = Ctf("key set-cert --container alice --password-file " + Sh(wrong) + " " + Sh(mine));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_NE(r.err.find("wrong password"), std::string::npos) << r.err;
    r = Ctf("key set-cert --container alice --no-password " + Sh(mine));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_NE(r.err.find("wants its password"), std::string::npos) << r.err;
    r = Ctf("key set-cert --container nobody --password-file " + Sh(pw_) + " " + Sh(mine));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_NE(r.err.find("no container"), std::string::npos) << r.err;
    // A damaged container: exit 3.
    std::string file;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home_.path()))
        if (e.path().filename() == "alice.key") file = e.path().string();
    ASSERT_FALSE(file.empty());
    certtest::WriteFile(file, "damaged");
    r = Ctf("key set-cert --container alice --password-file " + Sh(pw_) + " " + Sh(mine));
    EXPECT_EQ(r.exitCode, certtest::kExitFailure) << r.err;
}

TEST_F(UserCliTest, CopyKeepsOrChangesThePasswordAndRefusesAnExistingDestination) {
    const std::string cert = KeyAndCert("src");
    ASSERT_EQ(Ctf("key set-cert --container src --password-file " + Sh(pw_) + " " + Sh(cert)).exitCode, 0);
    auto r = Ctf("--json key copy --container src --to same --password-file " + Sh(pw_));
    ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_TRUE(certtest::ParseJson(r.out)) << r.out;
    ASSERT_EQ(Bound("same").size(), 1u);
    EXPECT_EQ(Bound("same").front().GetEncoded(), Bound("src").front().GetEncoded());

    const std::string pw2 = home_ / "pw2.txt";
    certtest::WriteFile(pw2, "another");
    r = Ctf("key copy --container src --to fresh --password-file " + Sh(pw_) + " --new-password-file " + Sh(pw2));
    ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_EQ(Bound("fresh", "another").size(), 1u);
    EXPECT_TRUE(Bound("fresh", "secret").empty());

    // An existing destination: exit 2, left as it was.
    const std::size_t before = usertest::KeysIn("fresh");
    r = Ctf("key copy --container src --to fresh --password-file " + Sh(pw_));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_NE(r.err.find("exists"), std::string::npos) << r.err;
    EXPECT_EQ(usertest::KeysIn("fresh"), before);
    EXPECT_EQ(Bound("fresh", "another").size(), 1u);

    // A wrong password: exit 2 and no copy left behind.
    const std::string wrong = home_ / "wrong.txt";
    certtest::WriteFile(wrong, "wrong");
    r = Ctf("key copy --container src --to none --password-file " + Sh(wrong));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_FALSE(usertest::ContainerExists("none"));
    r = Ctf("key copy --container ghost --to none --password-file " + Sh(pw_));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage) << r.err;
    EXPECT_FALSE(usertest::ContainerExists("none"));
}

}  // namespace
