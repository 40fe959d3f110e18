// Contexts, provider parameters, the registry rows and the handle rules.
#include <cstring>

#include "cert/asnkeys.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class ProviderTest : public certtest::HomeTest {};

std::string Text(const IdentObj& b) { return std::string(reinterpret_cast<const char*>(b.data())); }

TEST_F(ProviderTest, RegistryListsOurProvidersWithTheirTypes) {
    unsigned long err = 99, len = 0, type = 0;
    ASSERT_EQ(CCTFEnumProviders(0, &err, 0, &type, nullptr, &len), 1);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(len, std::strlen(VRK_PROV_GOST_2012_512) + 1);  // the longest name
    EXPECT_EQ(CCTFEnumProviders(5, &err, 0, &type, nullptr, &len), 0);

    std::map<std::string, unsigned long> seen;
    for (unsigned long i = 0;; ++i) {
        char name[128];
        len = sizeof name;
        if (!CCTFEnumProviders(i, &err, 0, &type, name, &len)) break;
        EXPECT_EQ(len, std::strlen(name) + 1);
        seen[name] = type;
    }
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[VRK_PROV_GOST], VRK_PROV_TYPE_GOST);
    EXPECT_EQ(seen[VRK_PROV_GOST_2012_256], VRK_PROV_TYPE_GOST_2012_256);
    EXPECT_EQ(seen[VRK_PROV_GOST_2012_512], VRK_PROV_TYPE_GOST_2012_512);

    char small[4];
    len = sizeof small;
    EXPECT_EQ(CCTFEnumProviders(0, &err, 0, &type, small, &len), 0);
    EXPECT_EQ(err, ERROR_MORE_DATA);

    EXPECT_TRUE(CCTFIsProviderReg("varnok cryptographic service provider", &type));
    EXPECT_EQ(type, VRK_PROV_TYPE_GOST);
    EXPECT_FALSE(CCTFIsProviderReg("No Such Provider", &type));
    // The rows live in the machine hive of this home.
    EXPECT_NE(certtest::ReadFile(home_.path() + "/common/registry.txt").find("Varnok GOST 2012/1024"),
              std::string::npos);
}

TEST_F(ProviderTest, VerifyContextsByTypeAndName) {
    const std::pair<DWORD, const char*> byType[] = {{0, VRK_PROV_GOST},
                                                    {VRK_PROV_TYPE_GOST, VRK_PROV_GOST},
                                                    {VRK_PROV_TYPE_GOST_2012_256, VRK_PROV_GOST_2012_256},
                                                    {VRK_PROV_TYPE_GOST_2012_512, VRK_PROV_GOST_2012_512}};
    for (auto [type, name] : byType) {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT)) << type;
        IdentObj out;
        ASSERT_TRUE(VRKGetProvParam(p, PP_NAME, out, 0));
        EXPECT_EQ(Text(out), name);
        EXPECT_FALSE(VRKGetProvParam(p, PP_CONTAINER, out, 0));  // no container
        EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    }
    CryptProvider p;
    EXPECT_FALSE(VRKAcquireContext(&p, nullptr, nullptr, 55, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), NTE_BAD_PROV_TYPE);
    EXPECT_FALSE(VRKAcquireContext(&p, nullptr, "Unknown CSP", VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), NTE_KEYSET_NOT_DEF);
    EXPECT_FALSE(VRKAcquireContext(&p, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, 0x4000));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    ASSERT_TRUE(
        VRKAcquireContext(&p, nullptr, VRK_PROV_MS_BASE, VRK_PROV_TYPE_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
}

TEST_F(ProviderTest, AlgorithmEnumerationStartsWithTheAlgId) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    std::set<ALG_ID> algs;
    IdentObj rec;
    for (DWORD flags = CRYPT_FIRST; VRKGetProvParam(p, PP_ENUMALGS, rec, flags); flags = 0) {
        ASSERT_EQ(rec.size(), sizeof(PROV_ENUMALGS));
        ALG_ID id;
        std::memcpy(&id, rec.data(), 4);
        algs.insert(id);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    for (ALG_ID id : {0x801Eu, 0x8021u, 0x8022u, 0x8029u, 0x802Au, 0x802Bu, 0x801Fu, 0x661Eu, 0x602Du, 0x602Eu, 0x2E23u,
                      0xAA24u, 0xAA25u, 0x2E49u, 0x2E3Du})
        EXPECT_TRUE(algs.count(id)) << std::hex << id;
    // The first call with flag 1 starts over.
    ASSERT_TRUE(VRKGetProvParam(p, PP_ENUMALGS, rec, CRYPT_FIRST));
}

TEST_F(ProviderTest, HandlesAreCheckedAndReleasedOnce) {
    HCRYPTPROV h = 0;
    ASSERT_TRUE(VRKAcquireContext(&h, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(VRKCreateHash(h, CALG_GOST_R3411_2012_256, 0, &hash, 0));
    // A hash handle is not a key handle, nor a provider handle.
    EXPECT_FALSE(VRKDestroyKey(hash));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
    EXPECT_FALSE(VRKReleaseContext(hash));
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
    EXPECT_TRUE(VRKDestroyHash(hash));
    EXPECT_FALSE(VRKDestroyHash(hash));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
    EXPECT_TRUE(VRKReleaseContext(h));
    EXPECT_FALSE(VRKReleaseContext(h));
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);

    // Wrappers release what they hold and keep the caller's last error.
    {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
        h = p;
        CryptHash x;
        ASSERT_TRUE(VRKCreateHash(p, CALG_GOST_R3411_94, 0, &x, 0));
        SetLastError(ERROR_CANCELLED);
    }
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_FALSE(VRKReleaseContext(h));
    CryptProvider kept;
    ASSERT_TRUE(VRKAcquireContext(&kept, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    h = kept.Detach();
    EXPECT_TRUE(VRKReleaseContext(h));
}

TEST_F(ProviderTest, RandomBytes) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    BYTE a[31] = {}, b[31] = {};
    ASSERT_TRUE(VRKGenRandom(p, sizeof a, a));
    ASSERT_TRUE(VRKGenRandom(p, sizeof b, b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    BYTE octet[8] = {};
    EXPECT_EQ(vrkscapi::GetRandomByteOctet(octet, 0, nullptr), 0);
    EXPECT_NE(vrkscapi::GetRandomByteOctet(nullptr, 0, nullptr), 0);
}

}  // namespace
