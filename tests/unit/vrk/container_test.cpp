// Key containers: creation, enumeration, passwords, the container
// information record and damaged files.
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include <cstring>
#include <fstream>

#include "cert/asnkeys.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

std::string Text(const IdentObj& b) { return std::string(reinterpret_cast<const char*>(b.data())); }

class ContainerTest : public certtest::HomeTest {
protected:
    // A container with a signature key under `password` (none when empty).
    void MakeContainer(const char* name, const char* password, ALG_ID alg = CALG_GOST_R3410_2001, DWORD flags = 0,
                       bool machine = false) {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, name, VRK_PROV_GOST, 2,
                                      CRYPT_NEWKEYSET | CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0)))
            << std::hex << GetLastError();
        if (password) {
            ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, password, 0));
        }
        CryptKey k;
        ASSERT_TRUE(VRKGenKey(p, alg, flags, &k)) << std::hex << GetLastError();
    }
    std::string ContainerFile(const char* name, bool machine = false) {
        return home_.path() + (machine ? "/common" : "/local") + "/Varnok/Containers/" + name + ".key";
    }
    DWORD OpenKey(const char* name, const char* password, DWORD spec = AT_SIGNATURE) {
        CryptProvider p;
        if (!VRKAcquireContext(&p, name, VRK_PROV_GOST, 2, CRYPT_SILENT)) return GetLastError();
        if (password && !VRKSetProvParam(p, PP_SIGNATURE_PIN, password, 0)) return GetLastError();
        CryptKey k;
        return VRKGetUserKey(p, spec, &k) ? 0 : GetLastError();
    }
};

TEST_F(ContainerTest, CreateOpenDeleteAndTheFileIsPrivate) {
    MakeContainer("alpha", "secret");
    struct stat st;
    ASSERT_EQ(stat(ContainerFile("alpha").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The password is nowhere in the file.
    EXPECT_EQ(certtest::ReadFile(ContainerFile("alpha")).find("secret"), std::string::npos);

    CryptProvider p;
    EXPECT_FALSE(VRKAcquireContext(&p, "alpha", nullptr, 2, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), NTE_EXISTS);
    // 0x200 with create opens an existing container.
    EXPECT_TRUE(VRKAcquireContext(&p, "alpha", nullptr, 2, CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER));
    EXPECT_FALSE(VRKAcquireContext(&p, "beta", nullptr, 2, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    // Machine key sets are apart.
    EXPECT_FALSE(VRKAcquireContext(&p, "alpha", nullptr, 2, CRYPT_MACHINE_KEYSET));

    HCRYPTPROV none = 1;
    EXPECT_TRUE(VRKAcquireContext(&none, "alpha", VRK_PROV_GOST, 2, CRYPT_DELETEKEYSET));
    EXPECT_EQ(none, 0u);
    EXPECT_NE(stat(ContainerFile("alpha").c_str(), &st), 0);
    EXPECT_FALSE(VRKAcquireContext(&none, "alpha", VRK_PROV_GOST, 2, CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

TEST_F(ContainerTest, ProviderChoosesTheContainerWhenNoneIsNamed) {
    CryptProvider p;
    EXPECT_FALSE(VRKAcquireContext(&p, nullptr, nullptr, 2, CRYPT_SILENT));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, nullptr, 2, CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER));
    IdentObj made, opened;
    ASSERT_TRUE(VRKGetProvParam(p, PP_CONTAINER, made, 0));
    EXPECT_EQ(Text(made).rfind("cont-", 0), 0u);
    CryptProvider again;
    ASSERT_TRUE(VRKAcquireContext(&again, nullptr, nullptr, 2, VRK_CHOOSE_CONTAINER));
    ASSERT_TRUE(VRKGetProvParam(again, PP_CONTAINER, opened, 0));
    EXPECT_EQ(Text(opened), Text(made));

    // Machine containers keep their saved passwords apart from the user's.
    MakeContainer("both", "m", CALG_GOST_R3410_2001, 0, true);
    CryptProvider m;
    ASSERT_TRUE(VRKAcquireContext(&m, "both", nullptr, 2, CRYPT_MACHINE_KEYSET));
    ASSERT_TRUE(VRKSetProvParam(m, PP_SIGNATURE_PIN, "m", VRK_SAVE_PASSWORD));
    CryptKey k;
    ASSERT_TRUE(VRKGetUserKey(m, 0, &k));
    int saved = 0;
    ASSERT_TRUE(VRKIsPasswordSaved("both", CRYPT_MACHINE_KEYSET, &saved));
    EXPECT_EQ(saved, 1);
    ASSERT_TRUE(VRKIsPasswordSaved("both", 0, &saved));
    EXPECT_EQ(saved, 0);
}

TEST_F(ContainerTest, EnumerationWalksTheKeySetAndMovesTheCurrentContainer) {
    MakeContainer("one", nullptr);
    MakeContainer("two", nullptr, CALG_GOST_R3410_2001_DH);
    MakeContainer("mach", nullptr, CALG_GOST_R3410_2001, 0, true);

    CryptProvider v;
    ASSERT_TRUE(VRKAcquireContext(&v, nullptr, VRK_PROV_GOST, 2, CRYPT_VERIFYCONTEXT));
    std::vector<std::string> names;
    IdentObj out;
    for (DWORD f = 9; VRKGetProvParam(v, PP_ENUMCONTAINERS, out, f); f = 0) names.push_back(Text(out));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));

    CryptProvider m;
    ASSERT_TRUE(VRKAcquireContext(&m, nullptr, VRK_PROV_GOST, 2, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET));
    ASSERT_TRUE(VRKGetProvParam(m, PP_ENUMCONTAINERS, out, 25));
    EXPECT_EQ(Text(out), "\\\\.\\common\\mach");
    // A fully qualified name opens from any key set.
    CryptProvider fq;
    EXPECT_TRUE(VRKAcquireContext(&fq, Text(out).c_str(), VRK_PROV_GOST, 2, 0)) << std::hex << GetLastError();

    // On a container context the walk covers that container and those
    // below it, and makes each the one key calls address.
    MakeContainer("one\\sub", nullptr, CALG_GOST_R3410_2001_DH);
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "one", VRK_PROV_GOST, 2, 0));
    names.clear();
    for (DWORD f = CRYPT_FIRST; VRKGetProvParam(p, PP_ENUMCONTAINERS, out, f); f = 0) names.push_back(Text(out));
    EXPECT_EQ(names, (std::vector<std::string>{"one", "one\\sub"}));
    ASSERT_TRUE(VRKGetProvParam(p, PP_ENUMCONTAINERS, out, CRYPT_FIRST));
    ASSERT_TRUE(VRKGetProvParam(p, PP_ENUMCONTAINERS, out, 0));
    EXPECT_EQ(Text(out), "one\\sub");
    CryptKey k;
    ASSERT_TRUE(VRKGetUserKey(p, 0, &k));
    IdentObj alg;
    ASSERT_TRUE(VRKGetKeyParam(k, KP_ALGID, alg));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(alg.data()), CALG_GOST_R3410_2001_DH);
    ASSERT_TRUE(VRKGetProvParam(p, PP_UNIQUE_CONTAINER, out, 0));
    EXPECT_EQ(Text(out), "\\\\.\\local\\one\\sub");
    EXPECT_FALSE(VRKGetProvParam(p, PP_ENUMCONTAINERS, out, 0));
    ASSERT_TRUE(VRKGetProvParam(p, PP_CONTAINER, out, 0));
    EXPECT_EQ(Text(out), "one");
}

TEST_F(ContainerTest, PasswordsAreCheckedAndNeverGuessed) {
    MakeContainer("pw", "right");
    EXPECT_EQ(OpenKey("pw", nullptr), ERROR_CANCELLED);
    EXPECT_EQ(OpenKey("pw", "wrong"), VRK_E_WRONG_PASSWORD);
    EXPECT_EQ(OpenKey("pw", "right"), 0u);
    EXPECT_EQ(OpenKey("pw", "right", AT_KEYEXCHANGE), NTE_NO_KEY);

    // Changing it needs the old one and leaves the old one useless.
    std::string before = certtest::ReadFile(ContainerFile("pw"));
    {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "pw", nullptr, 2, 0));
        EXPECT_FALSE(VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, "new", 0));
        EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
        ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, "bad", 0));
        EXPECT_FALSE(VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, "new", 0));
        EXPECT_EQ(certtest::ReadFile(ContainerFile("pw")), before);
        ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, "right", 0));
        ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, "new", 0));
    }
    EXPECT_EQ(OpenKey("pw", "right"), VRK_E_WRONG_PASSWORD);
    EXPECT_EQ(OpenKey("pw", "new"), 0u);
}

TEST_F(ContainerTest, SavedPasswordsServeOnlyThisUser) {
    MakeContainer("sv", "pass");
    int saved = -1;
    ASSERT_TRUE(VRKIsPasswordSaved("sv", 0, &saved));
    EXPECT_EQ(saved, 0);
    {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "sv", nullptr, 2, 0));
        ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, "pass", VRK_SAVE_PASSWORD));
        CryptKey k;
        ASSERT_TRUE(VRKGetUserKey(p, AT_SIGNATURE, &k));
    }
    ASSERT_TRUE(VRKIsPasswordSaved("sv", 0, &saved));
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(OpenKey("sv", nullptr), 0u);
    // Not in clear anywhere under the home.
    EXPECT_EQ(certtest::Run("grep -rl pass " + certtest::Sh(home_.path() + "/local")).out, "");
    ASSERT_TRUE(VRKRemoveSavedPassword("sv", 0));
    ASSERT_TRUE(VRKIsPasswordSaved("sv", 0, &saved));
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(OpenKey("sv", nullptr), ERROR_CANCELLED);
}

TEST_F(ContainerTest, ContainerInformationRecord) {
    MakeContainer("info", "pw", CALG_GOST_R3410_2012_256, 256 << 16);
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "info", nullptr, 2, 0));
    IdentObj der;
    ASSERT_TRUE(VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, der, 0));
    ASNContainerInfo info;
    ASSERT_TRUE(info.Decode(der));
    EXPECT_EQ(info.name, "info");
    EXPECT_EQ(info.keyInfo.dwKeySpec, AT_SIGNATURE);
    EXPECT_EQ(info.keyInfo.algId, CALG_GOST_R3410_2012_256);
    EXPECT_EQ(info.keyInfo.dwFlags & 3, VRK_KEYINFO_SIGNATURE);
    EXPECT_EQ(info.keyInfo.keyId.size(), 20u);
    EXPECT_EQ(info.keyInfo.publicKey.size(), 64u);
    EXPECT_TRUE(info.protectionKeyInfo.dwFlags & VRK_PROTECT_PASSWORD);  // bit 10: may be changed
    ASSERT_EQ(info.keys.size(), 1u);
    EXPECT_EQ(info.keys[0], info.keyInfo);
    EXPECT_EQ(ASNContainerInfo().Encode().size() > 0, true);
    ASNContainerInfo again;
    ASSERT_TRUE(again.Decode(info.Encode()));
    EXPECT_EQ(again.keyInfo, info.keyInfo);

    // The certificate stored with the key comes back with it and shows in the record.
    CryptKey k;
    ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, "pw", 0));
    ASSERT_TRUE(VRKGetUserKey(p, 0, &k));
    IdentObj cert;
    EXPECT_FALSE(VRKGetKeyParam(k, KP_CERTIFICATE, cert));
    ASSERT_TRUE(VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj("\x30\x03\x02\x01\x05", 5)));
    CryptKey again2;
    ASSERT_TRUE(VRKGetUserKey(p, AT_SIGNATURE, &again2));
    ASSERT_TRUE(VRKGetKeyParam(again2, KP_CERTIFICATE, cert));
    EXPECT_EQ(cert.size(), 5u);
    ASSERT_TRUE(VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, der, 0));
    ASSERT_TRUE(info.Decode(der));
    EXPECT_TRUE(info.keyInfo.dwFlags & VRK_KEYINFO_CERTIFICATE);

    int status = 0;
    EXPECT_FALSE(info.Decode(IdentObj("\x30\x01\x02", 3), &status));
    EXPECT_NE(status, 0);
}

TEST_F(ContainerTest, DamagedContainerIsRefusedAndLeftAlone) {
    MakeContainer("dmg", nullptr);
    std::string good = certtest::ReadFile(ContainerFile("dmg"));
    for (std::size_t at : {std::size_t(2), good.size() / 2, good.size() - 1}) {
        std::string bad = good;
        bad[at] ^= 0x40;
        certtest::WriteFile(ContainerFile("dmg"), bad);
        CryptProvider p;
        EXPECT_FALSE(VRKAcquireContext(&p, "dmg", nullptr, 2, 0));
        EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD) << at;
        EXPECT_EQ(certtest::ReadFile(ContainerFile("dmg")), bad);
    }
    certtest::WriteFile(ContainerFile("dmg"), good.substr(0, 20));
    CryptProvider p;
    EXPECT_FALSE(VRKAcquireContext(&p, "dmg", nullptr, 2, 0));
    EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
}

TEST_F(ContainerTest, KeyGenerationChoosesAlgorithmAndParameterSet) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "gen", nullptr, 78, CRYPT_NEWKEYSET));
    CryptKey k;
    ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0, &k));
    IdentObj v;
    ASSERT_TRUE(VRKGetKeyParam(k, KP_ALGID, v));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(v.data()), CALG_GOST_R3410_2012_512);
    ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_EXCHANGE_PARAMSET, "1.2.643.2.2.36.1", 0));
    ASSERT_TRUE(VRKGenKey(p, CALG_GOST_R3410_2001_DH, 0, &k));
    ASSERT_TRUE(VRKGetKeyParam(k, VRK_KP_PUBKEY_PARAMSET, v));
    EXPECT_EQ(v.view(), "1.2.643.2.2.36.1");
    // The signature key is still there beside the exchange key.
    CryptKey s;
    EXPECT_TRUE(VRKGetUserKey(p, AT_SIGNATURE, &s));
    EXPECT_FALSE(VRKGenKey(p, CALG_GOST_R3410_2012_512, 256 << 16, &k));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_FALSE(VRKGenKey(p, 0x1234, 0, &k));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    // A 256-bit set asked for a 512-bit key gives way to the default one.
    ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_EXCHANGE_PARAMSET, "1.2.643.2.2.36.0", 0));
    ASSERT_TRUE(VRKGenKey(p, AT_KEYEXCHANGE, 512 << 16, &k));
    ASSERT_TRUE(VRKGetKeyParam(k, VRK_KP_PUBKEY_PARAMSET, v));
    EXPECT_EQ(v.view(), "1.2.643.7.1.2.1.2.1");
    ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_SIGN_PARAMSET, "1.2.3.4", 0));
    EXPECT_FALSE(VRKGenKey(p, CALG_GOST_R3410_2001, 0, &k));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
}

}  // namespace

namespace {

class ContainerSharing : public certtest::HomeTest {};

TEST_F(ContainerSharing, ConcurrentUpdatesKeepTheFileWhole) {
    {
        VRKSCApi::CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "shared", nullptr, 2, CRYPT_NEWKEYSET));
        VRKSCApi::CryptKey s, x;
        ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0, &s));
        ASSERT_TRUE(VRKGenKey(p, AT_KEYEXCHANGE, 0, &x));
    }
    // Each thread stores certificates with one of the keys, on its own context.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE, AT_SIGNATURE, AT_KEYEXCHANGE}) {
        threads.emplace_back([spec, &failures] {
            VRKSCApi::CryptProvider p;
            if (!VRKAcquireContext(&p, "shared", nullptr, 2, 0)) return void(++failures);
            VRKSCApi::CryptKey k;
            if (!VRKGetUserKey(p, spec, &k)) return void(++failures);
            for (int i = 0; i < 20; ++i)
                if (!VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj(std::string(10 + i, char('a' + spec))))) ++failures;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    VRKSCApi::CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "shared", nullptr, 2, 0));
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        VRKSCApi::CryptKey k;
        ASSERT_TRUE(VRKGetUserKey(p, spec, &k));
        IdentObj cert;
        ASSERT_TRUE(VRKGetKeyParam(k, KP_CERTIFICATE, cert));
        EXPECT_EQ(cert.view(), std::string(29, char('a' + spec)));
    }
}

TEST_F(ContainerSharing, ForeignProviderHashesButKnowsNoGost) {
    VRKSCApi::CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, VRK_PROV_MS_DSS, 3, CRYPT_VERIFYCONTEXT));
    VRKSCApi::CryptHash h;
    ASSERT_TRUE(VRKCreateHash(p, CALG_SHA1, 0, &h, 0));
    ASSERT_TRUE(VRKHashData(h, "abc", 3));
    IdentObj v;
    ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, v));
    EXPECT_EQ(TOOBin2HexStr(v.data(), v.size()), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_FALSE(VRKCreateHash(p, CALG_GOST_R3411_94, 0, &h, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
}

}  // namespace
