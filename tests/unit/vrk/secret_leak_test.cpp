// Freed memory never holds a private key. Every block the C++ runtime gets
// back while a key is exported, imported or stored is searched for the
// key's bytes; the paths that fail half-way are the ones that leaked.
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cert/asn.h"
#include "cert/lecursor.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "provider/gost.h"
#include "testsupport.h"

#if defined(__SANITIZE_ADDRESS__)
#define CERT_TEST_OWN_DELETE 0  // the sanitizer owns operator delete
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CERT_TEST_OWN_DELETE 0
#endif
#endif
#ifndef CERT_TEST_OWN_DELETE
#define CERT_TEST_OWN_DELETE 1
#endif

namespace {
// The private scalar while a search is on; a hit is either half of it.
std::atomic<bool> g_searching{false};
unsigned char g_key[32];
std::atomic<int> g_blocksWithKey{0};

[[maybe_unused]] void Inspect(void* p, std::size_t n) {
    if (!p || !g_searching.load(std::memory_order_relaxed)) return;
    if (::memmem(p, n, g_key, 16) || ::memmem(p, n, g_key + 16, 16)) ++g_blocksWithKey;
}
}  // namespace

#if CERT_TEST_OWN_DELETE
// The library's containers and strings hand their memory back here; the
// runtime's operator new takes it from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    Inspect(p, p ? ::malloc_usable_size(p) : 0);
    std::free(p);
}
void operator delete(void* p, std::size_t n) noexcept {
    Inspect(p, n);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t n) noexcept { operator delete(p, n); }
#pragma GCC diagnostic pop
#endif

namespace {

namespace gost = cert::gost;
using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class SecretLeak : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!CERT_TEST_OWN_DELETE) GTEST_SKIP() << "the sanitizer replaces operator delete";
    }
    void TearDown() override {
        g_searching = false;
        HomeTest::TearDown();
    }
    // Runs `call` with the search on; the number of freed blocks that held
    // the key.
    template <class F>
    int BlocksWithKeyDuring(F&& call) {
        g_blocksWithKey = 0;
        g_searching = true;
        call();
        g_searching = false;
        return g_blocksWithKey.load();
    }
    // A 28147-89 key both sides know: derived from a hash value set by hand.
    void KnownSessionKey(HCRYPTPROV p, CryptKey& k) {
        CryptHash h;
        ASSERT_TRUE(VRKCreateHash(p, CALG_GOST_R3411_2012_256, 0, &h));
        ASSERT_TRUE(VRKSetHashParam(h, HP_HASHVAL, IdentObj(kSeed, 32)));
        ASSERT_TRUE(VRKDeriveKey(p, CALG_GOST_28147, h, CRYPT_EXPORTABLE, &k));
    }
    static constexpr const char* kSeed = "session key seed, 32 bytes long";
};

TEST_F(SecretLeak, FreedMemoryNeverHoldsThePrivateKey) {
    CryptProvider src;
    ASSERT_TRUE(VRKAcquireContext(&src, "src", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
    CryptKey pair;
    ASSERT_TRUE(VRKGenKey(src, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &pair));
    {
        cert::Secret pem;
        ASSERT_EQ(vrk::ExportPkcs8("src", false, AT_KEYEXCHANGE, "", "", pem), 0u);
        cert::Secret raw = gost::PrivateKeyToRaw(gost::ImportPrivateKeyPem(pem.text()));
        ASSERT_EQ(raw.size(), sizeof g_key);
        std::memcpy(g_key, raw.data(), sizeof g_key);
    }
    // The search sees a copy left in freed memory.
    EXPECT_EQ(BlocksWithKeyDuring([] { std::vector<unsigned char> copy(g_key, g_key + sizeof g_key); }), 1);
    CryptKey session;
    KnownSessionKey(src, session);

    // Exporting builds the blob's clear content in the DER writer.
    IdentObj blob;
    EXPECT_EQ(BlocksWithKeyDuring([&] { ASSERT_TRUE(VRKExportKey(pair, session, PRIVATEKEYBLOB, 0, blob)); }), 0);

    // Importing a blob whose public key does not belong to its private key
    // fails inside the parse of the clear content.
    IdentObj forged;
    {
        gost::Key key = gost::PrivateKeyFromRaw(gost::KeyAlg::Gost2001, cert::oids::kSign2001ParamSetA,
                                                gost::ByteView(g_key, sizeof g_key));
        gost::Key other = gost::GenerateKey(gost::KeyAlg::Gost2001, cert::oids::kSign2001ParamSetA);
        asn::Writer w;
        auto m = w.BeginSequence();
        w.String(asn::kUtf8String, cert::oids::kSign2001ParamSetA)
            .String(asn::kUtf8String, cert::oids::kHash94ParamSet);
        w.OctetString(gost::PublicKeyToRaw(other)).OctetString(gost::PrivateKeyToRaw(key));
        w.End(m);
        cert::Secret clear = w.TakeSecret();
        cert::Secret sessionKey(gost::Digest(gost::HashAlg::Streebog256, gost::View(std::string_view(kSeed, 32))));
        gost::Bytes ukm(8, 0x11);
        cert::Secret kek = gost::DiversifyKek(sessionKey, gost::kSboxA, ukm);
        gost::Bytes mac = gost::ComputeMac(kek, gost::kSboxA, ukm, clear, 4);
        gost::Bytes enc = gost::Encrypt(gost::CipherMode::Cfb, kek, gost::kSboxA, ukm, clear, false);
        le::Writer b;
        b.U8(PRIVATEKEYBLOB).U8(VRK_SIMPLE_BLOB_VERSION).U16(0).U32(CALG_GOST_R3410_2001_DH);
        b.U32(VRK_PRIVATEKEY_MAGIC).U32(CALG_GOST_28147).Put(gost::ByteView(ukm));
        b.U32(AT_KEYEXCHANGE).U32(1).U32(static_cast<DWORD>(clear.size())).Put(gost::ByteView(mac));
        b.Put(gost::ByteView(enc));
        forged = b.Take();
    }
    CryptProvider dst;
    ASSERT_TRUE(VRKAcquireContext(&dst, "dst", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
    CryptKey imported, dstSession;
    KnownSessionKey(dst, dstSession);
    EXPECT_EQ(BlocksWithKeyDuring([&] {
                  EXPECT_FALSE(VRKImportKey(dst, forged.data(), forged.size(), dstSession, 0, &imported));
                  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
              }),
              0);

    // A good blob into a key set whose own secret is damaged: the key is in
    // hand when sealing it fails.
    certtest::WriteFile(home_.path() + "/local/Varnok/Containers/.secret", "short");
    EXPECT_EQ(BlocksWithKeyDuring([&] {
                  EXPECT_FALSE(VRKImportKey(dst, blob.data(), blob.size(), dstSession, 0, &imported));
                  EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
              }),
              0);
}

}  // namespace
