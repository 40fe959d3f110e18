// Certificates the GOST engine's CA issues for a container's key bind with
// `ctf key set-cert`: one made with -force_pubkey from the public key the
// container gives, one from a request signed with the container's exported
// key; a certificate of another key with the same subject is refused.
#include "cert/certmodel.h"
#include "cert/ctfuser.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

certtest::RunResult Ctf(const std::string& args) { return certtest::Run(Sh(CERT_CTF_PATH) + " " + args); }

struct Family {
    const char* ctfAlg;     // ctf key new --alg
    const char* engineKey;  // openssl -newkey
    const char* md;         // openssl digest option
};
const Family kFamilies[] = {
    {"gost2001", "gost2001 -pkeyopt paramset:A", "-md_gost94"},
    {"gost12-256", "gost2012_256 -pkeyopt paramset:A", "-md_gost12_256"},
    {"gost12-512", "gost2012_512 -pkeyopt paramset:A", "-md_gost12_512"},
};

class UserInterop : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "openssl has no GOST engine";
        pw_ = F("pw.txt");
        certtest::WriteFile(pw_, "interop\n");
        // Extensions make the certificates version 3, which the model reads.
        certtest::WriteFile(F("leaf.cnf"), "basicConstraints=CA:FALSE\nsubjectKeyIdentifier=hash\n");
    }
    std::string F(const std::string& name) { return home_ / name; }
    void Ok(const std::string& cmd) {
        auto r = certtest::Run("cd " + Sh(home_.path()) + " && " + cmd);
        ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
    }
    // The container's signature key as a SubjectPublicKeyInfo (DER).
    std::string PublicKeyDer(const std::string& container) {
        CCTFUser user;
        EXPECT_EQ(user.LogInUser(container.c_str(), "interop", "interop", nullptr, false, true, false), 0);
        VRKSCApi::CryptKey key;
        EXPECT_TRUE(VRKGetUserKey(user.GetProvider(), AT_SIGNATURE, &key));
        CCTFCertPublicKeyInfo info;
        EXPECT_TRUE(CTFExportPKInfo(user.GetProvider(), key, info));
        const IdentObj der = info.WriteData();
        return std::string(der.view());
    }
    certtest::RunResult SetCert(const std::string& container, const std::string& cert) {
        return Ctf("key set-cert --container " + container + " --password-file " + Sh(pw_) + " " + Sh(F(cert)));
    }
    std::string pw_;
};

TEST_F(UserInterop, EngineIssuedCertificatesBindToTheirContainerKeyOnly) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.ctfAlg);
        const std::string c = std::string("user-") + f.ctfAlg, eng = " -engine gost ";
        auto r = Ctf("key new --container " + c + " --alg " + f.ctfAlg + " --password-file " + Sh(pw_));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        certtest::WriteFile(F(c + ".pub.der"), PublicKeyDer(c));
        // The engine reads the container's public key as the key it is.
        ASSERT_NO_FATAL_FAILURE(
            Ok("openssl pkey -pubin" + eng + "-inform DER -in " + c + ".pub.der -out " + c + ".pub.pem 2>/dev/null"));
        ASSERT_NO_FATAL_FAILURE(Ok("openssl req -x509" + eng + "-newkey " + f.engineKey + " -nodes -keyout " + c +
                                   ".ca.key -out " + c + ".ca.pem -days 30 -subj /CN=Interop-CA " + f.md +
                                   " 2>/dev/null"));
        // A request of another key with the user's subject: certified as it
        // is, and with the container's key forced in.
        ASSERT_NO_FATAL_FAILURE(Ok("openssl req -new" + eng + "-newkey " + f.engineKey + " -nodes -keyout " + c +
                                   ".other.key -out " + c + ".csr -subj /CN=Interop-User " + f.md + " 2>/dev/null"));
        const std::string sign =
            " -CA " + c + ".ca.pem -CAkey " + c + ".ca.key -days 30 -extfile leaf.cnf " + f.md + eng;
        ASSERT_NO_FATAL_FAILURE(Ok("openssl x509 -req -in " + c + ".csr" + sign + "-set_serial 2 -force_pubkey " + c +
                                   ".pub.pem -out " + c + ".forced.pem 2>/dev/null"));
        ASSERT_NO_FATAL_FAILURE(
            Ok("openssl x509 -req -in " + c + ".csr" + sign + "-set_serial 3 -out " + c + ".other.pem 2>/dev/null"));
        // A request signed with the container's own key, exported.
        r = Ctf("key export --container " + c + " --password-file " + Sh(pw_) + " --out " + Sh(F(c + ".key.pem")));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_NO_FATAL_FAILURE(Ok("openssl req -new" + eng + "-key " + c + ".key.pem -out " + c +
                                   ".own.csr -subj /CN=Interop-User " + f.md + " 2>/dev/null"));
        ASSERT_NO_FATAL_FAILURE(
            Ok("openssl x509 -req -in " + c + ".own.csr" + sign + "-set_serial 4 -out " + c + ".own.pem 2>/dev/null"));

        r = SetCert(c, c + ".other.pem");
        EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed) << r.err;
        EXPECT_NE(r.err.find("32"), std::string::npos) << r.err;
        r = SetCert(c, c + ".forced.pem");
        EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;
        r = SetCert(c, c + ".other.pem");
        EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed) << r.err;
        r = SetCert(c, c + ".own.pem");
        EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;

        // The binding is the last good one: the certificate from the request.
        CCTFUser user;
        ASSERT_EQ(user.LogInUser(c.c_str(), "interop", "interop", nullptr, false, true, false), 0);
        std::list<CCTFCertContext> list;
        int status = 0;
        ASSERT_NE(user.GetCertificateList(list, &status), 0) << status;
        ASSERT_EQ(list.size(), 1u);
        auto der = certtest::Run("openssl x509 -in " + Sh(F(c + ".own.pem")) + " -outform DER");
        EXPECT_EQ(std::string(list.front().GetEncoded().view()), der.out);
    }
}

}  // namespace
