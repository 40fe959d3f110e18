// Key containers: creation, enumeration, passwords, the container
// information record and damaged files.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include <cstring>
#include <fstream>

#include <openssl/sha.h>

#include "cert/asnkeys.h"
#include "cert/lecursor.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "provider/gost.h"
#include "testsupport.h"

namespace {

namespace gost = cert::gost;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

std::string Text(const IdentObj& b) { return std::string(reinterpret_cast<const char*>(b.data())); }

class ContainerTest : public certtest::HomeTest {
protected:
    // A container with a signature key under `password` (none when empty).
    void MakeContainer(const char* name, const char* password, ALG_ID alg = CALG_GOST_R3410_2001, DWORD flags = 0,
                       bool machine = false, ALG_ID second = 0) {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, name, VRK_PROV_GOST, VRK_PROV_TYPE_GOST,
                                      CRYPT_NEWKEYSET | CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0)))
            << std::hex << GetLastError();
        if (password) {
            ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, password, 0));
        }
        CryptKey k;
        ASSERT_TRUE(VRKGenKey(p, alg, flags, &k)) << std::hex << GetLastError();
        if (second) {
            ASSERT_TRUE(VRKGenKey(p, second, flags, &k));
        }
    }
    std::string ContainerFile(const std::string& name, bool machine = false) {
        return home_.path() + (machine ? "/common" : "/local") + "/Varnok/Containers/" + name + ".key";
    }
    DWORD OpenKey(const char* name, const char* password, DWORD spec = AT_SIGNATURE) {
        CryptProvider p;
        if (!VRKAcquireContext(&p, name, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_SILENT)) return GetLastError();
        if (password && !VRKSetProvParam(p, PP_SIGNATURE_PIN, password, 0)) return GetLastError();
        CryptKey k;
        return VRKGetUserKey(p, spec, &k) ? 0 : GetLastError();
    }
    void SavePassword(const char* name, const char* password, DWORD flags = 0) {
        CryptProvider p;
        CryptKey k;
        ASSERT_TRUE(VRKAcquireContext(&p, name, nullptr, VRK_PROV_TYPE_GOST, flags) &&
                    VRKSetProvParam(p, PP_SIGNATURE_PIN, password, VRK_SAVE_PASSWORD) && VRKGetUserKey(p, 0, &k));
    }
    int Saved(const char* name, DWORD flags = 0) {
        int saved = -1;
        EXPECT_TRUE(VRKIsPasswordSaved(name, flags, &saved));
        return saved;
    }
    ASNContainerInfo Info(const char* name) {
        CryptProvider p;
        IdentObj der;
        ASNContainerInfo info;
        EXPECT_TRUE(VRKAcquireContext(&p, name, nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) &&
                    VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, der, 0) && info.Decode(der));
        return info;
    }
    // A container file written as docs/FORMATS.md lays it out, holding one
    // signature key sealed under `password` with PBKDF2 of `iterations`
    // rounds; `kdfField` (kind, log2 N, r, p) is written when given.
    void WriteContainer(const std::string& name, const char* password, DWORD iterations,
                        std::vector<DWORD> kdfField = {}) {
        const char* ps = cert::oids::kSign2001ParamSetA;
        gost::Key key = gost::GenerateKey(gost::KeyAlg::Gost2001, ps);
        gost::Bytes pub = gost::PublicKeyToRaw(key);
        gost::Bytes salt = gost::RandomBytes(16), nonce = gost::RandomBytes(12);
        cert::Secret d = gost::Pbkdf2Sha256(gost::View(password), salt, iterations ? iterations : 1, 48);
        IdentObj aad = le::Writer().U32(AT_SIGNATURE).U32(CALG_GOST_R3410_2001).Put(gost::ByteView(pub)).Take();
        gost::Bytes sealed =
            gost::AesGcmSeal(d.view().first(32), nonce, gost::View(aad), gost::PrivateKeyToRaw(key).view());
        auto field = [](le::Writer& w, WORD tag, gost::ByteView v) {
            w.U16(tag).U32(static_cast<DWORD>(v.size())).Put(v);
        };
        auto u32 = [](le::Writer& w, WORD tag, DWORD v) { w.U16(tag).U32(4).U32(v); };
        le::Writer k;
        u32(k, 1, AT_SIGNATURE);
        u32(k, 2, CALG_GOST_R3410_2001);
        field(k, 3, gost::View(ps));
        field(k, 4, gost::View(cert::oids::kHash94ParamSet));
        field(k, 5, pub);
        u32(k, 7, VRK_PROTECT_PASSWORD);
        field(k, 8, salt);
        u32(k, 9, iterations);
        if (!kdfField.empty()) {
            k.U16(16).U32(static_cast<DWORD>(4 * kdfField.size()));
            for (DWORD v : kdfField) k.U32(v);
        }
        field(k, 10, d.view().subspan(32));
        field(k, 11, nonce);
        field(k, 12, sealed);
        le::Writer f;
        f.Code("VRKC").U32(1);
        field(f, 1, gost::View(name));
        f.U16(2).U32(8).U64(0);
        field(f, 3, k.view());
        BYTE digest[32];
        SHA256(f.view().data(), f.size(), digest);
        field(f, 0xFFFF, gost::ByteView(digest, 32));
        IdentObj file = f.Take();
        ASSERT_TRUE(cert::platform::MakeFolders(home_.path() + "/local/Varnok/Containers", 0700));
        certtest::WriteFile(ContainerFile(name), std::string(file.view()));
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
    EXPECT_FALSE(VRKAcquireContext(&p, "alpha", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), NTE_EXISTS);
    // 0x200 with create opens an existing container.
    EXPECT_TRUE(VRKAcquireContext(&p, "alpha", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER));
    EXPECT_FALSE(VRKAcquireContext(&p, "beta", nullptr, VRK_PROV_TYPE_GOST, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    // Machine key sets are apart.
    EXPECT_FALSE(VRKAcquireContext(&p, "alpha", nullptr, VRK_PROV_TYPE_GOST, CRYPT_MACHINE_KEYSET));

    HCRYPTPROV none = 1;
    EXPECT_TRUE(VRKAcquireContext(&none, "alpha", VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    EXPECT_EQ(none, 0u);
    EXPECT_NE(stat(ContainerFile("alpha").c_str(), &st), 0);
    EXPECT_FALSE(VRKAcquireContext(&none, "alpha", VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

// A container's file is named by a form that must never drift: key sets
// written before are found by it.
TEST_F(ContainerTest, ContainerFileNamesKeepTheirForm) {
    const std::pair<std::string, std::string> names[] = {
        {"plain-Name_1", "plain-Name_1"},
        {"a.b.", "a.b."},
        {".hidden", "%2ehidden"},
        {"with space", "with%20space"},
        {"x/y:z", "x%2fy%3az"},
        {"50%", "50%25"},
        {"\xD0\x9A\xD0\xB5\xD0\xB9", "%d0%9a%d0%b5%d0%b9"},
    };
    std::vector<std::string> made;
    for (const auto& [name, file] : names) {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, name.c_str(), nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT))
            << name;
        struct stat st;
        EXPECT_EQ(stat(ContainerFile(file.c_str()).c_str(), &st), 0) << name;
        made.push_back(name);
    }
    // Another spelling of a name is no container: it would open another file.
    certtest::WriteFile(ContainerFile("%70lain-Name_1"), certtest::ReadFile(ContainerFile("plain-Name_1")));
    std::vector<vrk::ContainerKeyRow> rows;
    ASSERT_TRUE(vrk::ListContainerKeys(false, rows));
    std::vector<std::string> listed;
    for (const auto& r : rows) listed.push_back(r.name);
    std::sort(made.begin(), made.end());
    EXPECT_EQ(listed, made);
}

TEST_F(ContainerTest, ProviderChoosesTheContainerWhenNoneIsNamed) {
    CryptProvider p;
    EXPECT_FALSE(VRKAcquireContext(&p, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER));
    IdentObj made, opened;
    ASSERT_TRUE(VRKGetProvParam(p, PP_CONTAINER, made, 0));
    EXPECT_EQ(Text(made).rfind("cont-", 0), 0u);
    CryptProvider again;
    ASSERT_TRUE(VRKAcquireContext(&again, nullptr, nullptr, VRK_PROV_TYPE_GOST, VRK_CHOOSE_CONTAINER));
    ASSERT_TRUE(VRKGetProvParam(again, PP_CONTAINER, opened, 0));
    EXPECT_EQ(Text(opened), Text(made));

    // Machine containers keep their saved passwords apart from the user's.
    MakeContainer("both", "m", CALG_GOST_R3410_2001, 0, true);
    SavePassword("both", "m", CRYPT_MACHINE_KEYSET);
    EXPECT_EQ(Saved("both", CRYPT_MACHINE_KEYSET), 1);
    EXPECT_EQ(Saved("both"), 0);
}

TEST_F(ContainerTest, EnumerationWalksTheKeySetAndMovesTheCurrentContainer) {
    MakeContainer("one", nullptr);
    MakeContainer("two", nullptr, CALG_GOST_R3410_2001_DH);
    MakeContainer("mach", nullptr, CALG_GOST_R3410_2001, 0, true);

    CryptProvider v;
    ASSERT_TRUE(VRKAcquireContext(&v, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    std::vector<std::string> names;
    IdentObj out;
    for (DWORD f = CRYPT_FIRST | CRYPT_UNIQUE; VRKGetProvParam(v, PP_ENUMCONTAINERS, out, f); f = 0)
        names.push_back(Text(out));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));

    CryptProvider m;
    ASSERT_TRUE(
        VRKAcquireContext(&m, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET));
    ASSERT_TRUE(VRKGetProvParam(m, PP_ENUMCONTAINERS, out, CRYPT_FIRST | CRYPT_UNIQUE | CRYPT_FQCN));
    EXPECT_EQ(Text(out), "\\\\.\\common\\mach");
    // A fully qualified name opens from any key set.
    CryptProvider fq;
    EXPECT_TRUE(VRKAcquireContext(&fq, Text(out).c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, 0))
        << std::hex << GetLastError();

    // On a container context the walk covers that container and those
    // below it, and makes each the one key calls address.
    MakeContainer("one\\sub", nullptr, CALG_GOST_R3410_2001_DH);
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "one", VRK_PROV_GOST, VRK_PROV_TYPE_GOST, 0));
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
        ASSERT_TRUE(VRKAcquireContext(&p, "pw", nullptr, VRK_PROV_TYPE_GOST, 0));
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
    EXPECT_EQ(Saved("sv"), 0);
    SavePassword("sv", "pass");
    EXPECT_EQ(Saved("sv"), 1);
    EXPECT_EQ(OpenKey("sv", nullptr), 0u);
    // Not in clear anywhere under the home.
    EXPECT_EQ(certtest::Run("grep -rl pass " + certtest::Sh(home_.path() + "/local")).out, "");
    ASSERT_TRUE(VRKRemoveSavedPassword("sv", 0));
    EXPECT_EQ(Saved("sv"), 0);
    EXPECT_EQ(OpenKey("sv", nullptr), ERROR_CANCELLED);
}

TEST_F(ContainerTest, ContainerInformationRecord) {
    MakeContainer("info", "pw", CALG_GOST_R3410_2012_256, 256 << 16);
    ASNContainerInfo info = Info("info");
    EXPECT_EQ(info.name, "info");
    EXPECT_EQ(info.keyInfo.dwKeySpec, AT_SIGNATURE);
    EXPECT_EQ(info.keyInfo.algId, CALG_GOST_R3410_2012_256);
    EXPECT_EQ(info.keyInfo.dwFlags & 3, VRK_KEYINFO_SIGNATURE);
    EXPECT_EQ(info.keyInfo.keyId.size(), 20u);
    EXPECT_EQ(info.keyInfo.publicKey.size(), 64u);
    EXPECT_TRUE(info.protectionKeyInfo.dwFlags & VRK_PROTECT_PASSWORD);  // bit 10: may be changed
    ASSERT_EQ(info.keys.size(), 1u);
    EXPECT_EQ(info.keys[0], info.keyInfo);

    // The certificate stored with the key comes back with it and shows in the record.
    CryptProvider p;
    CryptKey k, again;
    ASSERT_TRUE(VRKAcquireContext(&p, "info", nullptr, VRK_PROV_TYPE_GOST, 0) &&
                VRKSetProvParam(p, PP_SIGNATURE_PIN, "pw", 0) && VRKGetUserKey(p, 0, &k));
    IdentObj cert;
    EXPECT_FALSE(VRKGetKeyParam(k, KP_CERTIFICATE, cert));
    ASSERT_TRUE(VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj("\x30\x03\x02\x01\x05", 5)));
    ASSERT_TRUE(VRKGetUserKey(p, AT_SIGNATURE, &again));
    ASSERT_TRUE(VRKGetKeyParam(again, KP_CERTIFICATE, cert));
    EXPECT_EQ(cert.size(), 5u);
    EXPECT_TRUE(Info("info").keyInfo.dwFlags & VRK_KEYINFO_CERTIFICATE);
}

TEST_F(ContainerTest, DamagedContainerIsRefusedAndLeftAlone) {
    MakeContainer("dmg", nullptr);
    std::string good = certtest::ReadFile(ContainerFile("dmg"));
    // A changed byte at the start, middle or end, or a cut file (at 0).
    for (std::size_t at : {std::size_t(2), good.size() / 2, good.size() - 1, std::size_t(0)}) {
        std::string bad = at ? good : good.substr(0, 20);
        if (at) bad[at] ^= 0x40;
        certtest::WriteFile(ContainerFile("dmg"), bad);
        CryptProvider p;
        EXPECT_FALSE(VRKAcquireContext(&p, "dmg", nullptr, VRK_PROV_TYPE_GOST, 0));
        EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD) << at;
        EXPECT_EQ(certtest::ReadFile(ContainerFile("dmg")), bad);
    }
}

TEST_F(ContainerTest, KeyGenerationChoosesAlgorithmAndParameterSet) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "gen", nullptr, VRK_PROV_TYPE_GOST_2012_512, CRYPT_NEWKEYSET));
    CryptKey k;
    ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0, &k));
    IdentObj v;
    ASSERT_TRUE(VRKGetKeyParam(k, KP_ALGID, v));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(v.data()), CALG_GOST_R3410_2012_512);
    ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_EXCHANGE_PARAMSET, cert::oids::kExchange2001ParamSetB, 0));
    ASSERT_TRUE(VRKGenKey(p, CALG_GOST_R3410_2001_DH, 0, &k));
    ASSERT_TRUE(VRKGetKeyParam(k, VRK_KP_PUBKEY_PARAMSET, v));
    EXPECT_EQ(v.view(), cert::oids::kExchange2001ParamSetB);
    // The signature key is still there beside the exchange key.
    CryptKey s;
    EXPECT_TRUE(VRKGetUserKey(p, AT_SIGNATURE, &s));
    EXPECT_FALSE(VRKGenKey(p, CALG_GOST_R3410_2012_512, 256 << 16, &k));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_FALSE(VRKGenKey(p, 0x1234, 0, &k));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    // A 256-bit set asked for a 512-bit key gives way to the default one.
    ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_EXCHANGE_PARAMSET, cert::oids::kExchange2001ParamSetA, 0));
    ASSERT_TRUE(VRKGenKey(p, AT_KEYEXCHANGE, 512 << 16, &k));
    ASSERT_TRUE(VRKGetKeyParam(k, VRK_KP_PUBKEY_PARAMSET, v));
    EXPECT_EQ(v.view(), cert::oids::kSign2012_512ParamSetA);
    ASSERT_TRUE(VRKSetProvParam(p, VRK_PP_SIGN_PARAMSET, "1.2.3.4", 0));
    EXPECT_FALSE(VRKGenKey(p, CALG_GOST_R3410_2001, 0, &k));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
}

TEST_F(ContainerTest, ConcurrentUpdatesKeepTheFileWhole) {
    MakeContainer("shared", nullptr, AT_SIGNATURE, 0, false, AT_KEYEXCHANGE);
    // Each thread stores certificates with one of the keys, on its own context.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE, AT_SIGNATURE, AT_KEYEXCHANGE}) {
        threads.emplace_back([spec, &failures] {
            CryptProvider p;
            if (!VRKAcquireContext(&p, "shared", nullptr, VRK_PROV_TYPE_GOST, 0)) return void(++failures);
            CryptKey k;
            if (!VRKGetUserKey(p, spec, &k)) return void(++failures);
            for (int i = 0; i < 20; ++i)
                if (!VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj(std::string(10 + i, char('a' + spec))))) ++failures;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "shared", nullptr, VRK_PROV_TYPE_GOST, 0));
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        CryptKey k;
        ASSERT_TRUE(VRKGetUserKey(p, spec, &k));
        IdentObj cert;
        ASSERT_TRUE(VRKGetKeyParam(k, KP_CERTIFICATE, cert));
        EXPECT_EQ(cert.view(), std::string(29, char('a' + spec)));
    }
}

TEST_F(ContainerTest, ForeignProviderHashesButKnowsNoGost) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, VRK_PROV_MS_DSS, VRK_PROV_TYPE_DSS, CRYPT_VERIFYCONTEXT));
    VRKSCApi::CryptHash h;
    ASSERT_TRUE(VRKCreateHash(p, CALG_SHA1, 0, &h, 0));
    ASSERT_TRUE(VRKHashData(h, "abc", 3));
    IdentObj v;
    ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, v));
    EXPECT_EQ(TOOBin2HexStr(v.data(), v.size()), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_FALSE(VRKCreateHash(p, CALG_GOST_R3411_94, 0, &h, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
}

TEST_F(ContainerTest, PasswordKeysUseScryptAndOlderKeysStillOpen) {
    // A container written before: PBKDF2 of 20000 rounds, no KDF field.
    WriteContainer("old", "pw", 20000);
    EXPECT_EQ(OpenKey("old", "wrong"), VRK_E_WRONG_PASSWORD);
    EXPECT_EQ(OpenKey("old", "pw"), 0u);
    ASNContainerInfo info = Info("old");
    EXPECT_EQ(info.protectionKeyInfo.kdf, cert::oids::kPbkdf2);
    EXPECT_EQ(info.protectionKeyInfo.iterations, 20000u);

    // Re-sealed under a new password it moves to scrypt, at the cost the
    // test setting asks for (N = 2^10).
    {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "old", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) &&
                    VRKSetProvParam(p, PP_SIGNATURE_PIN, "pw", 0) &&
                    VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, "new", 0));
    }
    info = Info("old");
    EXPECT_EQ(info.protectionKeyInfo.kdf, "1.3.6.1.4.1.11591.4.11");
    EXPECT_EQ(info.protectionKeyInfo.iterations, 1024u);
    EXPECT_EQ(OpenKey("old", "pw"), VRK_E_WRONG_PASSWORD);
    EXPECT_EQ(OpenKey("old", "new"), 0u);

    // Without the test setting a password key costs N = 2^15.
    certtest::WriteFile(home_.path() + "/pw", "secret\n");
    auto r = certtest::Run("env -u CERT_TEST_SCRYPT_LOG2N " + certtest::Sh(certtest::CtfPath()) + " --home " +
                           certtest::Sh(home_.path()) + " key new --container full --alg gost2001 --password-file " +
                           certtest::Sh(home_.path() + "/pw"));
    ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    info = Info("full");
    EXPECT_EQ(info.protectionKeyInfo.kdf, "1.3.6.1.4.1.11591.4.11");
    EXPECT_EQ(info.protectionKeyInfo.iterations, 32768u);
    EXPECT_EQ(OpenKey("full", "secret"), 0u);
}

TEST_F(ContainerTest, CostsOutOfRangeAreADamagedFile) {
    // kind, log2 N, r, p: N beyond 2^20, no r, memory beyond 256 MiB.
    const std::vector<DWORD> forged[] = {{2, 31, 8, 1}, {2, 10, 0, 1}, {2, 20, 8, 1}};
    for (const auto& kdf : forged) {
        SCOPED_TRACE(kdf[1]);
        WriteContainer("forged", "pw", 0, kdf);
        EXPECT_EQ(OpenKey("forged", "pw"), NTE_KEYSET_ENTRY_BAD);
    }
    // A derivation this version does not know is a damaged file from the start.
    WriteContainer("unknown", "pw", 0, {7, 10, 8, 1});
    CryptProvider p;
    EXPECT_FALSE(VRKAcquireContext(&p, "unknown", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT));
    EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
    // A PBKDF2 key of no rounds likewise.
    WriteContainer("none", "pw", 0);
    EXPECT_EQ(OpenKey("none", "pw"), NTE_KEYSET_ENTRY_BAD);
}

// Every exported function of the provider reports by its rule when the key
// set cannot be reached; none lets an internal exception out.
TEST_F(ContainerTest, AnUnusableHomeIsReportedNotThrown) {
    const std::string file = home_.path() + "/not-a-folder";
    certtest::WriteFile(file, "x");
    cert::platform::SetCertHome(file);
    auto calls = [&] {
        std::vector<vrk::ContainerKeyRow> rows;
        EXPECT_FALSE(vrk::ListContainerKeys(false, rows));
        EXPECT_NE(GetLastError(), 0u);
        EXPECT_TRUE(vrk::ListContainerKeys(true).empty());
        EXPECT_NE(GetLastError(), 0u);
        CryptProvider p;
        EXPECT_FALSE(VRKAcquireContext(&p, "c", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
        EXPECT_NE(GetLastError(), 0u);
        cert::Secret pem;
        EXPECT_NE(vrk::ExportPkcs8("c", false, AT_SIGNATURE, "", "", pem), 0u);
        EXPECT_NE(vrk::ImportPkcs8("c", false, IdentObj("junk", 4), "", AT_SIGNATURE, ""), 0u);
        int saved = 0;
        EXPECT_FALSE(VRKIsPasswordSaved("c", 0, &saved));
        unsigned long err = 0, len = 0;
        EXPECT_EQ(CCTFEnumProviders(0, &err, 0, nullptr, nullptr, &len), 0);
        EXPECT_NE(err, 0u);
        EXPECT_FALSE(CCTFIsProviderReg(VRK_PROV_GOST, nullptr));
    };
    EXPECT_NO_THROW(calls());
}

}  // namespace
