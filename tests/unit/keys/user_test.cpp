// CCTFUser: logging in, the key cache and the key of a certificate, the
// proof of a key pair, passwords, copies, key generation, stored
// certificates.
#include <cstring>
#include <filesystem>

#include "user_test_util.h"

namespace {

using usertest::CertFor;
using usertest::MakeKey;
using usertest::Prompt;

class UserTest : public certtest::HomeTest {};

std::string ProviderName(HCRYPTPROV prov) {
    IdentObj name;
    EXPECT_TRUE(VRKGetProvParam(prov, PP_NAME, name, 0));
    return std::string(reinterpret_cast<const char*>(name.data()));
}

void ForgetPasswords(HCRYPTPROV prov) {
    ASSERT_TRUE(VRKSetProvParam(prov, PP_SIGNATURE_PIN, nullptr, 0));
    ASSERT_TRUE(VRKSetProvParam(prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
}

TEST_F(UserTest, LogInUserPassesItsFlagsAndChoosesTheProviderType) {
    CCTFUser user;
    EXPECT_EQ(user.LogInUser("missing", "pw", "pw", nullptr, false, true, false), WinErr2ToolsErr(NTE_BAD_KEYSET));
    EXPECT_FALSE(usertest::ContainerExists("missing"));
    // 0x8 makes it; 0x20 in the machine's key set only.
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "alice", cert::oids::kGostR3410_2012_256, "pw"));
    EXPECT_EQ(user.GetProviderType(), VRK_PROV_TYPE_GOST_2012_256);
    EXPECT_EQ(ProviderName(user.GetProvider()), VRK_PROV_GOST_2012_256);
    CCTFUser machine;
    ASSERT_EQ(machine.LogInUser("boxed", "pw", "", nullptr, true, true, true), 0);
    EXPECT_TRUE(usertest::ContainerExists("boxed", true));
    EXPECT_FALSE(usertest::ContainerExists("boxed", false));

    // Types follow the 2012 OIDs, and any other algorithm keeps the last.
    ASSERT_EQ(user.LogInUser("alice", "pw", "", cert::oids::kGostR3410_2012_512, false, true, false), 0);
    EXPECT_EQ(user.GetProviderType(), VRK_PROV_TYPE_GOST_2012_512);
    ASSERT_EQ(user.LogInUser("alice", "pw", "", cert::oids::kGostR3410_2001, false, true, false), 0);
    EXPECT_EQ(user.GetProviderType(), VRK_PROV_TYPE_GOST_2012_512);
    EXPECT_EQ(ProviderName(user.GetProvider()), VRK_PROV_GOST_2012_512);

    // Silent: a key that wants a password fails at once, the prompt unasked.
    Prompt prompt("pw");
    ASSERT_NO_FATAL_FAILURE(ForgetPasswords(user.GetProvider()));
    int status = 0;
    EXPECT_EQ(user.GetUserKey(AT_SIGNATURE, nullptr, &status), 0u);
    EXPECT_EQ(status, WinErr2ToolsErr(ERROR_CANCELLED));
    EXPECT_EQ(prompt.opens, 0);
    // Not silent: the prompt is asked.
    CCTFUser loud;
    ASSERT_EQ(loud.LogInUser("alice", "pw", "", nullptr, false, false, false), 0);
    ASSERT_NO_FATAL_FAILURE(ForgetPasswords(loud.GetProvider()));
    EXPECT_NE(loud.GetUserKey(AT_SIGNATURE, nullptr, &status), 0u);
    EXPECT_EQ(prompt.opens, 1);
    // Neither password nor PIN: 0x200 and `silent` ignored, so the prompt
    // is asked; an empty path lets the provider choose a container.
    CCTFUser chosen;
    ASSERT_EQ(chosen.LogInUser("", "", "", nullptr, false, true, false), 0);
    EXPECT_NE(chosen.GetUserKey(AT_SIGNATURE, nullptr, &status), 0u) << status;
    EXPECT_EQ(prompt.opens, 2);
    IdentObj name;
    ASSERT_TRUE(VRKGetProvParam(chosen.GetProvider(), PP_CONTAINER, name, 0));
    EXPECT_STREQ(reinterpret_cast<const char*>(name.data()), "alice");

    // OpenProvider with 0x200 keeps the provider's unique name as the path.
    CCTFUser opened;
    ASSERT_EQ(opened.OpenProvider("alice", nullptr, VRK_PROV_TYPE_GOST, VRK_CHOOSE_CONTAINER | CRYPT_SILENT), 0);
    EXPECT_EQ(opened.GetPath().str(), "\\\\.\\local\\alice");
    ASSERT_EQ(opened.OpenProvider("alice", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT), 0);
    EXPECT_EQ(opened.GetPath().str(), "alice");
}

TEST_F(UserTest, GetUserKeyCursorCachedWalkContainerWalkAndNoMatch) {
    CCTFUser user;
    int status = -1;
    CTOOString place;
    EXPECT_EQ(user.GetUserKey(AT_SIGNATURE, nullptr, &status, &place), 0u);
    EXPECT_EQ(status, 42);
    EXPECT_EQ(place.str(), "CCTFUser::GetUserKey()");
    EXPECT_THROW(user.GetUserKey(AT_SIGNATURE, nullptr, nullptr), XTOOStatus);

    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "bob", cert::oids::kGostR3410_2012_256, "pw"));
    const CCTFCertPublicKeyInfo signPub = user.GetPublicKey();
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "bob", cert::oids::kGostR3410_2012_256, "pw", true));
    const CCTFCertPublicKeyInfo exchPub = user.GetPublicKey();

    // Without a certificate: the cursor's key, whatever spec is asked.
    const HCRYPTKEY first = user.GetUserKey(AT_SIGNATURE, nullptr, &status);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(user.GetUserKey(AT_KEYEXCHANGE, nullptr, &status), first);
    // The exchange key's certificate takes that key, which becomes the cursor.
    const CCTFCertContext exchCert = CertFor(exchPub, "bob", AT_KEYEXCHANGE);
    const HCRYPTKEY exch = user.GetUserKey(0, &exchCert, &status);
    ASSERT_NE(exch, 0u) << status;
    EXPECT_NE(exch, first);
    EXPECT_EQ(user.GetUserKey(AT_SIGNATURE, nullptr, &status), exch);
    // The signature key's certificate finds the cached key in the walk.
    const CCTFCertContext signCert = CertFor(signPub, "bob", AT_SIGNATURE);
    EXPECT_EQ(user.GetUserKey(0, &signCert, &status), first);
    EXPECT_EQ(user.GetUserKey(AT_KEYEXCHANGE, nullptr, &status), first);

    // A key of a container below the user's is found by the walk of the
    // provider's containers; an unrelated container's is not.
    CCTFUser below, other;
    ASSERT_NO_FATAL_FAILURE(MakeKey(below, "bob\\renewed", cert::oids::kGostR3410_2012_256, "pw"));
    ASSERT_NO_FATAL_FAILURE(MakeKey(other, "carol", cert::oids::kGostR3410_2012_256, "pw"));
    const CCTFCertContext belowCert = CertFor(below.GetPublicKey(), "bob", AT_SIGNATURE);
    const HCRYPTKEY found = user.GetUserKey(0, &belowCert, &status, &place);
    ASSERT_NE(found, 0u) << status << " " << place.str();
    EXPECT_NE(found, first);
    EXPECT_NE(user.CheckSignKeys(belowCert, &status, &place), 0) << status << " " << place.str();
    // The walk left the context on its own container.
    IdentObj name;
    ASSERT_TRUE(VRKGetProvParam(user.GetProvider(), PP_CONTAINER, name, 0));
    EXPECT_STREQ(reinterpret_cast<const char*>(name.data()), "bob");

    const CCTFCertContext foreign = CertFor(other.GetPublicKey(), "bob", AT_SIGNATURE);
    EXPECT_EQ(user.GetUserKey(0, &foreign, &status, &place), 0u);
    EXPECT_EQ(status, TOOERR_NOKEY_FOR_CERT);
    EXPECT_EQ(place.str(), "CCTFUser::GetUserKey ");
    // A certificate without a key spec: the provider refuses the key.
    CCTFCertContext bare(signCert.GetEncoded());
    CCTFUser fresh;
    ASSERT_EQ(fresh.LogInUser("bob", "pw", "pw", nullptr, false, true, false), 0);
    EXPECT_EQ(fresh.GetUserKey(0, &bare, &status), 0u);
    EXPECT_NE(status, 0);
}

TEST_F(UserTest, CheckSignKeysProvesEachKeySize) {
    const struct {
        const char* oid;
        DWORD keyFlag;
        DWORD bits;
    } sizes[] = {{cert::oids::kGostR3410_2001, 0, 512},
                 {cert::oids::kGostR3410_2012_256, 0x1000000, 512},
                 {cert::oids::kGostR3410_2012_512, 0x2000000, 1024}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(s.oid);
        CCTFUser user, stranger;
        const std::string name = std::string("size-") + s.oid;
        ASSERT_NO_FATAL_FAILURE(MakeKey(user, name, s.oid, "pw"));
        EXPECT_EQ(user.GetKeyFlag(), s.keyFlag);
        EXPECT_EQ(user.GetPublicKey().GetKeyLength(), s.bits);
        ASSERT_NO_FATAL_FAILURE(MakeKey(stranger, name + "-other", s.oid, "pw"));
        int status = -1;
        CTOOString place;
        EXPECT_NE(user.CheckSignKeys(CertFor(user.GetPublicKey(), name, AT_SIGNATURE), &status, &place), 0)
            << status << " " << place.str();
        EXPECT_EQ(status, 0);
        EXPECT_EQ(user.CheckSignKeys(CertFor(stranger.GetPublicKey(), name, AT_SIGNATURE), &status, &place), 0);
        EXPECT_EQ(status, TOOERR_NOKEY_FOR_CERT);
    }
    CCTFUser none;
    int status = 0;
    CTOOString place;
    CCTFUser keyed;
    ASSERT_NO_FATAL_FAILURE(MakeKey(keyed, "keyed", cert::oids::kGostR3410_2012_256, "pw"));
    EXPECT_EQ(none.CheckSignKeys(CertFor(keyed.GetPublicKey(), "keyed", AT_SIGNATURE), &status, &place), 0);
    EXPECT_EQ(status, 42);
    EXPECT_EQ(place.str(), "CCTFUser");
}

TEST_F(UserTest, CheckSignKeysProvesAnRsaKeyWithSha256) {
    const auto made = certtest::Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 2>/dev/null");
    if (made.exitCode != 0 || made.out.empty()) GTEST_SKIP() << "openssl makes no RSA key here";
    ASSERT_EQ(vrk::ImportPkcs8("rsa", false, IdentObj(made.out), cert::Secret(), AT_SIGNATURE, cert::Secret()), 0u);
    CCTFUser user;
    ASSERT_EQ(user.LogInUser("rsa", "", "", nullptr, false, true, false), 0);
    VRKSCApi::CryptKey key;
    ASSERT_TRUE(VRKGetUserKey(user.GetProvider(), AT_SIGNATURE, &key));
    CCTFCertPublicKeyInfo pub;
    ASSERT_TRUE(CTFExportPKInfo(user.GetProvider(), key, pub));
    EXPECT_EQ(pub.m_algorithm.GetOID().str(), cert::oids::kRsa);
    int status = -1;
    CTOOString place;
    EXPECT_NE(user.CheckSignKeys(CertFor(pub, "rsa", AT_SIGNATURE), &status, &place), 0)
        << status << " " << place.str();
}

TEST_F(UserTest, CheckPasswordFallsBackToTheExchangeKeyExceptAfterACancel) {
    // An exchange key under no password, a signature key under one.
    CCTFUser maker;
    ASSERT_EQ(maker.LogInUser("dave", "", "", nullptr, true, true, false), 0);
    int status = -1;
    maker.CreateNewKeys(1, "", &status);
    ASSERT_EQ(status, 0);
    maker.SetPassword("secret");
    maker.CreateNewKeys(cert::oids::kGostR3410_2001, "", &status);
    ASSERT_EQ(status, 0);

    CCTFUser right, wrong, none;
    ASSERT_EQ(right.LogInUser("dave", "secret", "", nullptr, false, true, false), 0);
    EXPECT_TRUE(right.CheckPassword());
    // A wrong password fails the signature key and the exchange key opens.
    ASSERT_EQ(wrong.LogInUser("dave", "wrong", "", nullptr, false, true, false), 0);
    EXPECT_TRUE(wrong.CheckPassword());
    // No password: the signature key's open is cancelled (1223) and the
    // exchange key, which would open, is not tried.
    ASSERT_EQ(none.LogInUser("dave", "", "", nullptr, false, true, false), 0);
    EXPECT_FALSE(none.CheckPassword());
    VRKSCApi::CryptKey exchange;
    EXPECT_TRUE(VRKGetUserKey(none.GetProvider(), AT_KEYEXCHANGE, &exchange));
    {
        Prompt cancel("");
        EXPECT_FALSE(none.CheckPassword());
        EXPECT_EQ(cancel.opens, 1);
    }
    Prompt answer("secret");
    EXPECT_TRUE(none.CheckPassword());
    EXPECT_FALSE(CCTFUser().CheckPassword());
}

TEST_F(UserTest, ACopyTakesPathPasswordsAndProviderButNeverTheCache) {
    CCTFUser user;
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "erin", cert::oids::kGostR3410_2012_256, "pw"));
    int status = 0;
    const HCRYPTKEY mine = user.GetUserKey(AT_SIGNATURE, nullptr, &status);
    ASSERT_NE(mine, 0u);
    HCRYPTKEY theirs = 0;
    {
        CCTFUser copy(user);
        EXPECT_EQ(copy.GetPath().str(), "erin");
        EXPECT_EQ(copy.GetProvider(), user.GetProvider());
        theirs = copy.GetUserKey(AT_SIGNATURE, nullptr, &status);
        ASSERT_NE(theirs, 0u);
        EXPECT_NE(theirs, mine);
        CCTFUser assigned;
        ASSERT_NO_FATAL_FAILURE(MakeKey(assigned, "frank", cert::oids::kGostR3410_2012_256, "pw"));
        const HCRYPTKEY dropped = assigned.GetUserKey(AT_SIGNATURE, nullptr, &status);
        assigned = user;
        EXPECT_EQ(assigned.GetPath().str(), "erin");
        IdentObj blob;
        EXPECT_FALSE(VRKExportKey(dropped, 0, PUBLICKEYBLOB, 0, blob)) << "the old cache was destroyed";
        EXPECT_EQ(assigned.GetPublicKey().GetKeyLength(), 0u);
        EXPECT_TRUE(assigned.CheckPassword()) << "the password came along";
    }
    // The copy destroyed its own keys only.
    IdentObj blob;
    EXPECT_TRUE(VRKExportKey(mine, 0, PUBLICKEYBLOB, 0, blob));
    EXPECT_FALSE(VRKExportKey(theirs, 0, PUBLICKEYBLOB, 0, blob));
    EXPECT_EQ(user.GetUserKey(AT_SIGNATURE, nullptr, &status), mine);
}

TEST_F(UserTest, MakeContainerNameCompletesADevicePathOnly) {
    EXPECT_EQ(CCTFUser::MakeContainerName("\\\\.\\DISK\\keys\\", 1).str(), "\\\\.\\DISK\\keys\\sgn_cont");
    EXPECT_EQ(CCTFUser::MakeContainerName("//./DISK/keys/", 1).str(), "\\\\.\\DISK\\keys\\sgn_cont");
    EXPECT_EQ(CCTFUser::MakeContainerName("\\\\.\\DISK", 1).str(), "\\\\.\\DISK\\sgn_cont");
    EXPECT_EQ(CCTFUser::MakeContainerName("\\\\.\\DISK\\keys\\mine", 1).str(), "\\\\.\\DISK\\keys\\mine");
    EXPECT_EQ(CCTFUser::MakeContainerName("plain", 1).str(), "plain");
    EXPECT_EQ(CCTFUser::MakeContainerName("\\\\.\\DISK\\keys\\", 0).str(), "\\\\.\\DISK\\keys\\");
    EXPECT_EQ(CCTFUser::MakeContainerName("\\\\.\\\\bad\\", 1).str(), "\\\\.\\\\bad\\");
    EXPECT_EQ(CCTFUser::MakeContainerName(nullptr, 1).str(), "");
}

TEST_F(UserTest, CreateNewKeysAndDefenceKeyReportTheirStatuses) {
    CCTFUser user;
    int status = 0;
    CTOOString place;
    EXPECT_EQ(user.CreateNewKeys(cert::oids::kGostR3410_2001, "", &status, &place), 0);
    EXPECT_EQ(status, 42);
    EXPECT_EQ(place.str(), "CCTFUser::CreateNewKeys");
    EXPECT_EQ(user.SetDefenceKey(0), 28);
    EXPECT_EQ(user.SetDefenceKey(7), 42);
    ASSERT_EQ(user.LogInUser("gina", "", "", nullptr, true, true, false), 0);
    EXPECT_EQ(user.CreateNewKeys("1.2.3.4", "", &status, &place), 0);
    EXPECT_EQ(status, TOOERR_UNKNOWN_ALG);
    // The exchange key's parameter set follows the signature set's table.
    ASSERT_NE(user.CreateNewKeys(1, "1.2.643.2.2.35.3", &status, &place), 0) << status << place.str();
    VRKSCApi::CryptKey exchange;
    ASSERT_TRUE(VRKGetUserKey(user.GetProvider(), AT_KEYEXCHANGE, &exchange));
    IdentObj set;
    ASSERT_TRUE(VRKGetKeyParam(exchange, VRK_KP_PUBKEY_PARAMSET, set));
    EXPECT_EQ(std::string(set.view()), "1.2.643.2.2.36.1");
    // A wrap key for private-key blobs goes to the provider by address.
    VRKSCApi::CryptProvider verify;
    VRKSCApi::CryptKey wrap;
    ASSERT_TRUE(VRKAcquireContext(&verify, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(VRKGenKey(verify, CALG_GOST_28147, CRYPT_EXPORTABLE, &wrap));
    EXPECT_EQ(user.SetDefenceKey(wrap), 0);
    EXPECT_EQ(user.SetDefenceKey(exchange), WinErr2ToolsErr(NTE_BAD_KEY));
}

TEST_F(UserTest, StoredCertificatesAreFoundListedAndBoundToTheirKey) {
    CCTFUser user;
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "hugo", cert::oids::kGostR3410_2012_256, "pw"));
    const CCTFCertPublicKeyInfo signPub = user.GetPublicKey();
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "hugo", cert::oids::kGostR3410_2012_256, "pw", true));
    const CCTFCertPublicKeyInfo exchPub = user.GetPublicKey();
    std::list<CCTFCertContext> list;
    int status = 0;
    CTOOString place;
    EXPECT_EQ(user.GetCertificateList(list, &status, &place), 0);
    EXPECT_EQ(status, TOOERR_NO_CERTIFICATE);
    EXPECT_EQ(place.str(), "GetCertificateList ");
    CCTFCertContext none;
    EXPECT_EQ(user.FindCertificate(none), 0);

    // Bound to the key whose public key it carries, whatever spec it names.
    const CCTFCertContext exchCert = CertFor(exchPub, "hugo", AT_SIGNATURE, "CN=Exchange");
    ASSERT_NE(user.PutCertificate(exchCert, &status, &place), 0) << status << place.str();
    VRKSCApi::CryptKey exchange;
    ASSERT_TRUE(VRKGetUserKey(user.GetProvider(), AT_KEYEXCHANGE, &exchange));
    IdentObj stored;
    ASSERT_TRUE(VRKGetKeyParam(exchange, KP_CERTIFICATE, stored));
    EXPECT_EQ(stored, exchCert.GetEncoded());
    CCTFUser stranger;
    ASSERT_NO_FATAL_FAILURE(MakeKey(stranger, "ivan", cert::oids::kGostR3410_2012_256, "pw"));
    EXPECT_EQ(user.PutCertificate(CertFor(stranger.GetPublicKey(), "hugo", AT_SIGNATURE), &status, &place), 0);
    EXPECT_EQ(status, TOOERR_NOKEY_FOR_CERT);
    EXPECT_EQ(place.str(), "PutCertificate");

    const CCTFCertContext signCert = CertFor(signPub, "hugo", AT_SIGNATURE, "CN=Signature");
    ASSERT_NE(user.PutCertificate(signCert, &status, &place), 0);
    ASSERT_NE(user.GetCertificateList(list, &status, &place), 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front(), signCert);
    EXPECT_EQ(list.front().GetPrivateKeyType(), DWORD(AT_SIGNATURE));
    EXPECT_EQ(list.back(), exchCert);
    EXPECT_EQ(list.back().GetPrivateKeyType(), DWORD(AT_KEYEXCHANGE));
    EXPECT_EQ(list.back().GetContainer().str(), "\\\\.\\local\\hugo");
    EXPECT_EQ(list.back().GetProviderName().str(), VRK_PROV_GOST);

    // The iterator: one certificate per container, then the end.
    CCTFCertContext it;
    ASSERT_EQ(user.FindCertificate(it), 1);
    EXPECT_EQ(it, signCert);
    EXPECT_EQ(user.FindCertificate(it), 0);
    EXPECT_FALSE(it.IsInitialized());
}

TEST_F(UserTest, ThePromptAnswersForNewKeysOnlyInContextsThatMayAsk) {
    Prompt cancel("");
    {
        VRKSCApi::CryptProvider loud;
        ASSERT_TRUE(VRKAcquireContext(&loud, "asked", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
        VRKSCApi::CryptKey key;
        EXPECT_FALSE(VRKGenKey(loud, AT_SIGNATURE, 0, &key));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CANCELLED));
        EXPECT_EQ(cancel.news, 1);
        EXPECT_EQ(usertest::KeysIn("asked"), 0u) << "a cancelled key is not stored";
    }
    VRKSCApi::CryptProvider quiet;
    ASSERT_TRUE(VRKAcquireContext(&quiet, "quiet", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
    VRKSCApi::CryptKey key;
    EXPECT_TRUE(VRKGenKey(quiet, AT_SIGNATURE, 0, &key));
    EXPECT_EQ(cancel.news, 1) << "a silent context never asks";
    // A password the prompt gave opens the key again; its other key takes
    // it without asking twice.
    Prompt answer("given");
    VRKSCApi::CryptProvider loud;
    ASSERT_TRUE(VRKAcquireContext(&loud, "answered", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    VRKSCApi::CryptKey sign, exchange;
    ASSERT_TRUE(VRKGenKey(loud, AT_SIGNATURE, 0, &sign));
    ASSERT_TRUE(VRKGenKey(loud, AT_KEYEXCHANGE, 0, &exchange));
    EXPECT_EQ(answer.news, 1);
    CCTFUser user;
    ASSERT_EQ(user.LogInUser("answered", "given", "", nullptr, false, true, false), 0);
    EXPECT_TRUE(user.CheckPassword());
}

TEST_F(UserTest, GetCertificateListEndsAtAContainerThatCannotBeRead) {
    CCTFUser user, below;
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "jan", cert::oids::kGostR3410_2012_256, "pw"));
    ASSERT_NO_FATAL_FAILURE(MakeKey(below, "jan\\old", cert::oids::kGostR3410_2012_256, "pw"));
    std::string file;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home_.path()))
        if (e.path().filename().string().find("old.key") != std::string::npos) file = e.path().string();
    ASSERT_FALSE(file.empty());
    certtest::WriteFile(file, "damaged");
    std::list<CCTFCertContext> list;
    int status = 0;
    CTOOString place;
    EXPECT_EQ(user.GetCertificateList(list, &status, &place), 0);
    EXPECT_EQ(status, CTFERR_NO_CONTAINER_INFO);
    EXPECT_EQ(place.str(), "VRKGetUserKey");
    // What was listed before it stands.
    const CCTFCertContext cert = CertFor(user.GetPublicKey(), "jan", AT_SIGNATURE);
    ASSERT_NE(user.PutCertificate(cert, &status, &place), 0) << status << place.str();
    ASSERT_NE(user.GetCertificateList(list, &status, &place), 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front(), cert);
}

}  // namespace
