// Moving and copying a container's keys: TransferKeys and CTFCopyKeys take
// both keys with their certificates, refuse what they must, and leave
// nothing behind when they fail.
#include "user_test_util.h"

namespace {

using usertest::CertFor;
using usertest::KeysIn;
using usertest::MakeKey;
using usertest::Prompt;

class TransferTest : public certtest::HomeTest {
protected:
    // A container with both keys under `password`, each with a certificate.
    void MakeBoundPair(const std::string& name, const std::string& password) {
        CCTFUser user;
        ASSERT_NO_FATAL_FAILURE(MakeKey(user, name, cert::oids::kGostR3410_2012_256, password));
        signCert_ = CertFor(user.GetPublicKey(), name, AT_SIGNATURE, "CN=Sign");
        ASSERT_NO_FATAL_FAILURE(MakeKey(user, name, cert::oids::kGostR3410_2012_256, password, true));
        exchCert_ = CertFor(user.GetPublicKey(), name, AT_KEYEXCHANGE, "CN=Exchange");
        int status = 0;
        ASSERT_NE(user.PutCertificate(signCert_, &status), 0);
        ASSERT_NE(user.PutCertificate(exchCert_, &status), 0);
    }

    // Both certificates are bound in `name` and their keys open with
    // `password` and prove themselves.
    void ExpectBoundPair(const std::string& name, const std::string& password) {
        CCTFUser user;
        ASSERT_EQ(user.LogInUser(name.c_str(), password, password, nullptr, false, true, false), 0) << name;
        std::list<CCTFCertContext> list;
        int status = 0;
        CTOOString place;
        ASSERT_NE(user.GetCertificateList(list, &status, &place), 0) << status << place.str();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list.front(), signCert_);
        EXPECT_EQ(list.back(), exchCert_);
        for (const auto& c : list) EXPECT_NE(user.CheckSignKeys(c, &status, &place), 0) << status << place.str();
    }

    CCTFCertContext signCert_, exchCert_;
};

TEST_F(TransferTest, TransferKeysMovesBothKeysAndOpensTheDestination) {
    ASSERT_NO_FATAL_FAILURE(MakeBoundPair("old", "pw"));
    CCTFUser user;
    ASSERT_EQ(user.LogInUser("old", "pw", "pw", nullptr, false, true, false), 0);
    int status = 0;
    ASSERT_NE(user.GetUserKey(AT_SIGNATURE, nullptr, &status), 0u);
    VRKSCApi::CryptProvider verify;
    VRKSCApi::CryptKey wrap;
    ASSERT_TRUE(VRKAcquireContext(&verify, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(VRKGenKey(verify, CALG_GOST_28147, CRYPT_EXPORTABLE, &wrap));

    EXPECT_FALSE(user.TransferKeys("old", "new pin", wrap, &status));
    EXPECT_EQ(status, TOOERR_NOT_NEWER);
    // An existing destination is refused and kept.
    CCTFUser taken;
    ASSERT_NO_FATAL_FAILURE(MakeKey(taken, "taken", cert::oids::kGostR3410_2012_256, "other"));
    EXPECT_FALSE(user.TransferKeys("taken", "new pin", wrap, &status));
    EXPECT_EQ(status, WinErr2ToolsErr(NTE_EXISTS));
    EXPECT_EQ(KeysIn("taken"), 1u);
    EXPECT_EQ(KeysIn("old"), 2u);

    ASSERT_TRUE(user.TransferKeys("moved", "new pin", wrap, &status)) << status;
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(usertest::ContainerExists("old"));
    EXPECT_EQ(user.GetPath().str(), "moved");
    EXPECT_TRUE(user.CheckPassword());
    ASSERT_NO_FATAL_FAILURE(ExpectBoundPair("moved", "new pin"));
    CCTFUser oldPassword;
    ASSERT_EQ(oldPassword.LogInUser("moved", "pw", "pw", nullptr, false, true, false), 0);
    EXPECT_FALSE(oldPassword.CheckPassword());

    CCTFUser nobody;
    EXPECT_FALSE(nobody.TransferKeys("anywhere", "", wrap, &status));
    EXPECT_EQ(status, 42);
}

TEST_F(TransferTest, TransferKeysRemovesTheDestinationWhenACopyFails) {
    ASSERT_NO_FATAL_FAILURE(MakeBoundPair("src", "pw"));
    CCTFUser user;
    ASSERT_EQ(user.LogInUser("src", "pw", "pw", nullptr, false, true, false), 0);
    // The user's key as the wrap key: the provider refuses to wrap with it.
    int status = 0;
    const HCRYPTKEY notAWrapKey = user.GetUserKey(AT_SIGNATURE, nullptr, &status);
    ASSERT_NE(notAWrapKey, 0u);
    EXPECT_FALSE(user.TransferKeys("dst", "", notAWrapKey, &status));
    EXPECT_NE(status, 0);
    EXPECT_FALSE(usertest::ContainerExists("dst"));
    EXPECT_EQ(KeysIn("src"), 2u);
    EXPECT_THROW(user.TransferKeys("dst", "", notAWrapKey, nullptr), XTOOStatus);
}

TEST_F(TransferTest, CopyKeysTakesBothKeysCertificatesAndTheSourcePassword) {
    ASSERT_NO_FATAL_FAILURE(MakeBoundPair("orig", "pw"));
    std::string made;
    {
        // No prompt: the source's keys cannot be opened, nothing is left.
        EXPECT_EQ(CTFCopyKeys("orig", "copy", false, &made), WinErr2ToolsErr(ERROR_CANCELLED));
        EXPECT_FALSE(usertest::ContainerExists("copy"));
    }
    {
        // A wrong password fails the copy after the destination was made.
        Prompt wrong("wrong");
        EXPECT_EQ(CTFCopyKeys("orig", "copy", false, &made), WinErr2ToolsErr(VRK_E_WRONG_PASSWORD));
        EXPECT_EQ(wrong.opens, 1);
        EXPECT_FALSE(usertest::ContainerExists("copy"));
    }
    Prompt prompt("pw");
    EXPECT_EQ(CTFCopyKeys("missing", "copy", false, &made), WinErr2ToolsErr(NTE_BAD_KEYSET));
    EXPECT_FALSE(usertest::ContainerExists("copy"));
    ASSERT_EQ(CTFCopyKeys("orig", "copy", false, &made), 0);
    EXPECT_EQ(made, "\\\\.\\local\\copy");
    EXPECT_EQ(prompt.opens, 1) << "asked once for the source";
    EXPECT_EQ(prompt.news, 1) << "asked once for the copy";
    ASSERT_NO_FATAL_FAILURE(ExpectBoundPair("copy", "pw"));
    ASSERT_NO_FATAL_FAILURE(ExpectBoundPair("orig", "pw"));

    // An existing destination is refused and left as it was.
    CCTFUser other;
    ASSERT_NO_FATAL_FAILURE(MakeKey(other, "other", cert::oids::kGostR3410_2012_512, "x"));
    const std::string before = certtest::Hex(other.GetPublicKey().m_publicKey);
    EXPECT_EQ(CTFCopyKeys("orig", "other", false, &made), WinErr2ToolsErr(NTE_EXISTS));
    EXPECT_EQ(KeysIn("other"), 1u);
    CCTFUser again;
    ASSERT_EQ(again.LogInUser("other", "x", "x", nullptr, false, true, false), 0);
    VRKSCApi::CryptKey key;
    ASSERT_TRUE(VRKGetUserKey(again.GetProvider(), AT_SIGNATURE, &key));
    CCTFCertPublicKeyInfo after;
    ASSERT_TRUE(CTFExportPKInfo(again.GetProvider(), key, after));
    EXPECT_EQ(certtest::Hex(after.m_publicKey), before);

    // Without a name the provider names the copy.
    ASSERT_EQ(CTFCopyKeys("orig", "", false, &made), 0);
    EXPECT_EQ(made.rfind("\\\\.\\local\\cont-", 0), 0u) << made;
    EXPECT_EQ(KeysIn(made.substr(std::string("\\\\.\\local\\").size())), 2u);
}

TEST_F(TransferTest, CopyKeysGivesTheCopyTheNewPasswordTheMachineSetAndUnprotectedKeys) {
    CCTFUser user;
    ASSERT_EQ(user.LogInUser("plain", "", "", nullptr, true, true, true), 0);
    int status = 0;
    ASSERT_NE(user.CreateNewKeys(cert::oids::kGostR3410_2001, "", &status), 0) << status;
    // A key under no password opens without a prompt; the copy's password
    // is whatever the prompt gives for new keys.
    Prompt prompt("fresh");
    std::string made;
    ASSERT_EQ(CTFCopyKeys("plain", "guarded", true, &made), 0);
    EXPECT_EQ(made, "\\\\.\\common\\guarded");
    EXPECT_EQ(prompt.opens, 0);
    EXPECT_EQ(prompt.news, 1);
    EXPECT_FALSE(usertest::ContainerExists("guarded", false));
    CCTFUser none, right;
    ASSERT_EQ(none.LogInUser("guarded", "", "", nullptr, false, true, true), 0);
    prompt.password_.clear();
    EXPECT_FALSE(none.CheckPassword());
    ASSERT_EQ(right.LogInUser("guarded", "fresh", "", nullptr, false, true, true), 0);
    EXPECT_TRUE(right.CheckPassword());
}

}  // namespace
