// 28147-89 modes, key meshing, MAC and key wrap.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <string>

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/evp.h>

#include "gost_test_util.h"

using namespace cert::gost;
using namespace gosttest;

namespace {

Bytes Pattern(std::size_t n, int seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + seed * 7 + (i >> 8));
    return b;
}

const Bytes kKey = Pattern(32, 3);
const Bytes kIv = Hex("0102030405060708");

// The engine's own cipher of a mode (used only as the reference here).
Bytes EngineRun(int nid, const std::string& sbox, const Bytes& data) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(c, ENGINE_get_cipher(Engine(), nid), Engine(), nullptr, nullptr, 1);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_SET_SBOX, 0, const_cast<char*>(sbox.c_str()));
    EVP_CipherInit_ex(c, nullptr, nullptr, kKey.data(), kIv.data(), 1);
    EVP_CIPHER_CTX_set_padding(c, 0);
    Bytes out(data.size());
    int len = 0;
    EXPECT_EQ(EVP_CipherUpdate(c, out.data(), &len, data.data(), static_cast<int>(data.size())), 1);
    EVP_CIPHER_CTX_free(c);
    return out;
}

// CFB with the RFC 4357 key meshing written out on top of our ECB.
Bytes ReferenceMeshedCfb(const std::string& sbox, const Bytes& data) {
    static const Bytes kC = Hex("6900722264C904238D3ADB9646E92AC418FEAC9400ED0712C086DCC2EF4CA92B");
    Bytes key = kKey, reg = kIv, out;
    for (std::size_t off = 0; off < data.size(); off += 8) {
        if (off && off % 1024 == 0) {
            key = Decrypt(CipherMode::Ecb, key, sbox, {}, kC);
            reg = Encrypt(CipherMode::Ecb, key, sbox, {}, reg);
        }
        Bytes gamma = Encrypt(CipherMode::Ecb, key, sbox, {}, reg);
        for (std::size_t i = 0; i < 8 && off + i < data.size(); ++i) out.push_back(data[off + i] ^ gamma[i]);
        reg.assign(out.end() - 8, out.end());
    }
    return out;
}

}  // namespace

TEST(Gost89, ModesAgreeWithTheEngine) {
    REQUIRE_GOST_ENGINE();
    Bytes data = Pattern(3000);
    // CFB with meshing is the engine's; our ECB must reproduce it.
    for (const char* sbox : {kSboxA, kSboxTc26Z}) {
        SCOPED_TRACE(sbox);
        EXPECT_EQ(Encrypt(CipherMode::Cfb, kKey, sbox, kIv, data), ReferenceMeshedCfb(sbox, data));
        // CBC without meshing equals the engine's CBC.
        EXPECT_EQ(Encrypt(CipherMode::Cbc, kKey, sbox, kIv, data, false), EngineRun(NID_gost89_cbc, sbox, data));
    }
    // The engine's counter mode always uses set A with meshing; ours must
    // give the same stream.
    Bytes cnt = Pattern(2500);
    EXPECT_EQ(Encrypt(CipherMode::Cnt, kKey, kSboxA, kIv, cnt), EngineRun(NID_gost89_cnt, kSboxA, cnt));
    // Meshing changes the output exactly from byte 1024 on.
    Bytes a = Encrypt(CipherMode::Cbc, kKey, kSboxA, kIv, data, true);
    Bytes b = Encrypt(CipherMode::Cbc, kKey, kSboxA, kIv, data, false);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 1024, b.begin()));
    EXPECT_FALSE(std::equal(a.begin() + 1024, a.begin() + 1032, b.begin() + 1024));
}

TEST(Gost89, RoundTripsInPiecesForEveryModeAndParamset) {
    REQUIRE_GOST_ENGINE();
    Bytes data = Pattern(2600);
    for (const auto& sbox : CipherParamsets()) {
        for (CipherMode mode : {CipherMode::Ecb, CipherMode::Cbc, CipherMode::Cfb, CipherMode::Cnt}) {
            for (bool mesh : {false, true}) {
                SCOPED_TRACE(sbox + " mode " + std::to_string(int(mode)) + (mesh ? " meshed" : ""));
                Bytes whole = Encrypt(mode, kKey, sbox, kIv, data, mesh);
                EXPECT_NE(whole, data);
                // Stream pieces (whole blocks for the block modes), in place.
                bool blocks = mode == CipherMode::Ecb || mode == CipherMode::Cbc;
                Cipher enc(mode, true, kKey, sbox, kIv, mesh);
                Bytes pieces = data;
                std::size_t sizes[] = {blocks ? 8u : 1u, blocks ? 1016u : 1023u, blocks ? 16u : 5u};
                std::size_t off = 0;
                for (std::size_t i = 0; off < pieces.size(); ++i) {
                    std::size_t n = std::min(sizes[i % 3], pieces.size() - off);
                    enc.Update(pieces.data() + off, n, pieces.data() + off);
                    off += n;
                }
                EXPECT_EQ(pieces, whole);
                EXPECT_EQ(Decrypt(mode, kKey, sbox, kIv, whole, mesh), data);
            }
        }
    }
    // Different S-boxes give different ciphertext.
    EXPECT_NE(Encrypt(CipherMode::Ecb, kKey, kSboxA, {}, data), Encrypt(CipherMode::Ecb, kKey, kSboxTc26Z, {}, data));
}

TEST(Gost89, BadInputIsAClearStatus) {
    REQUIRE_GOST_ENGINE();
    EXPECT_EQ(StatusOf([] { Encrypt(CipherMode::Ecb, kKey, kSboxA, {}, Bytes(7)); }), NTE_BAD_LEN);
    EXPECT_EQ(StatusOf([] { Encrypt(CipherMode::Cfb, Bytes(31), kSboxA, kIv, Bytes(8)); }), NTE_BAD_KEY);
    EXPECT_EQ(StatusOf([] { Encrypt(CipherMode::Cfb, kKey, "1.2.3", kIv, Bytes(8)); }), NTE_BAD_ALGID);
    EXPECT_EQ(StatusOf([] { Encrypt(CipherMode::Cbc, kKey, kSboxA, Bytes(4), Bytes(8)); }), NTE_BAD_DATA);
    EXPECT_EQ(StatusOf([] { Mac(kKey, kSboxA).Final(); }), NTE_BAD_LEN);
}

TEST(Gost89, MacStreamsAndDependsOnIvAndParamset) {
    REQUIRE_GOST_ENGINE();
    Bytes data = Pattern(1500);
    for (const Bytes& iv : {Bytes{}, kIv}) {
        Bytes whole = ComputeMac(kKey, kSboxA, iv, data);
        EXPECT_EQ(whole.size(), 4u);
        Mac m(kKey, kSboxA, iv);
        m.Update(data.data(), 3);
        m.Update(data.data() + 3, 9);
        m.Update(data.data() + 12, data.size() - 12);
        EXPECT_EQ(m.Final(), whole);
    }
    EXPECT_NE(ComputeMac(kKey, kSboxA, kIv, data), ComputeMac(kKey, kSboxA, {}, data));
    EXPECT_NE(ComputeMac(kKey, kSboxA, {}, data), ComputeMac(kKey, kSboxTc26Z, {}, data));
    // A short message with an IV: every byte still counts.
    EXPECT_NE(ComputeMac(kKey, kSboxA, kIv, Bytes{1, 2, 3}), ComputeMac(kKey, kSboxA, kIv, Bytes{1, 2, 4}));
}

TEST(KeyWrap, RoundTripAndEveryDamageIsBadData) {
    REQUIRE_GOST_ENGINE();
    Bytes kek = Pattern(32, 9), cek = Pattern(32, 5), ukm = Hex("a1b2c3d4e5f60718");
    for (const auto& sbox : CipherParamsets()) {
        for (KeyWrap kind : {KeyWrap::Plain, KeyWrap::Diversified}) {
            SCOPED_TRACE(sbox + (kind == KeyWrap::Plain ? " plain" : " diversified"));
            WrappedKey w = WrapKey(kind, kek, sbox, ukm, cek);
            ASSERT_EQ(w.encryptedKey.size(), 32u);
            ASSERT_EQ(w.mac.size(), 4u);
            EXPECT_EQ(UnwrapKey(kind, kek, sbox, ukm, w.encryptedKey, w.mac), cek);
            Bytes badKey = w.encryptedKey, badMac = w.mac, badUkm = ukm, badKek = kek;
            badKey[31] ^= 1;
            badMac[0] ^= 1;
            badUkm[7] ^= 1;
            badKek[0] ^= 1;
            EXPECT_EQ(StatusOf([&] { UnwrapKey(kind, kek, sbox, ukm, badKey, w.mac); }), NTE_BAD_DATA);
            EXPECT_EQ(StatusOf([&] { UnwrapKey(kind, kek, sbox, ukm, w.encryptedKey, badMac); }), NTE_BAD_DATA);
            EXPECT_EQ(StatusOf([&] { UnwrapKey(kind, kek, sbox, badUkm, w.encryptedKey, w.mac); }), NTE_BAD_DATA);
            EXPECT_EQ(StatusOf([&] { UnwrapKey(kind, badKek, sbox, ukm, w.encryptedKey, w.mac); }), NTE_BAD_DATA);
            EXPECT_EQ(StatusOf([&] { UnwrapKey(kind, kek, sbox, ukm, Bytes(31), w.mac); }), NTE_BAD_DATA);
        }
        // The diversified wrap must not be the plain one under another name.
        EXPECT_NE(WrapKey(KeyWrap::Diversified, kek, sbox, ukm, cek).encryptedKey,
                  WrapKey(KeyWrap::Plain, kek, sbox, ukm, cek).encryptedKey);
    }
}
