// GOST 28147-89: the modes with RFC 4357 key meshing, the MAC with an IV,
// RFC 4357 key wrap.
//
// The engine gives CFB with meshing (gost89), CBC without meshing
// (gost89-cbc), a counter mode that ignores the chosen S-box, and no ECB.
// So CFB runs on the engine's cipher as it is; ECB is taken from the
// engine's CBC (feeding each block XORed with the previous output cancels
// the chaining); CBC with meshing and the counter mode are built on that
// ECB, never on a cipher of our own.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "provider/gost.h"
#include "provider/gost_internal.h"
#include "cert/oids.h"

namespace cert::gost {

namespace {

constexpr std::size_t kBlock = 8;
constexpr std::size_t kKey = 32;
constexpr std::size_t kMeshEvery = 1024;

// The constant of the RFC 4357 key meshing.
const uint8_t kMeshConst[32] = {0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB,
                                0x96, 0x46, 0xE9, 0x2A, 0xC4, 0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED,
                                0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};
const uint8_t kZeroIv[kBlock] = {};

void CheckSbox(std::string_view sbox) {
    if (!IsCipherParamset(sbox)) throw Error(NTE_BAD_ALGID, "28147-89 parameter set");
}

void CheckKey(ByteView key) {
    if (key.size() != kKey) throw Error(NTE_BAD_KEY, "28147-89 key length");
}

const EVP_CIPHER* EngineCipher(int nid) {
    const EVP_CIPHER* c = ENGINE_get_cipher(Engine(), nid);
    if (!c) throw Error(NTE_BAD_ALGID, OBJ_nid2sn(nid));
    return c;
}

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = nullptr;
    CipherCtx() {
        ctx = EVP_CIPHER_CTX_new();
        if (!ctx) detail::ThrowOpenSsl(NTE_NO_MEMORY, "EVP_CIPHER_CTX_new");
    }
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
    CipherCtx(const CipherCtx&) = delete;
    CipherCtx& operator=(const CipherCtx&) = delete;

    // The S-box and meshing are set between choosing the cipher and keying
    // it; meshing < 0 leaves the cipher's own behaviour.
    void Init(int nid, const std::string& sbox, const uint8_t* key, const uint8_t* iv, bool enc, int meshing = -1) {
        detail::CheckOpenSsl(EVP_CIPHER_CTX_reset(ctx), NTE_FAIL, "EVP_CIPHER_CTX_reset");
        detail::CheckOpenSsl(EVP_CipherInit_ex(ctx, EngineCipher(nid), Engine(), nullptr, nullptr, enc), NTE_FAIL,
                             "EVP_CipherInit_ex");
        detail::CheckOpenSsl(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_SBOX, 0, const_cast<char*>(sbox.c_str())),
                             NTE_BAD_ALGID, "28147-89 parameter set");
        if (meshing >= 0)
            detail::CheckOpenSsl(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_KEY_MESH, meshing, nullptr), NTE_FAIL,
                                 "key meshing");
        detail::CheckOpenSsl(EVP_CipherInit_ex(ctx, nullptr, nullptr, key, iv, enc), NTE_BAD_KEY, "EVP_CipherInit_ex");
        EVP_CIPHER_CTX_set_padding(ctx, 0);
    }
    void Run(const uint8_t* in, std::size_t n, uint8_t* out) {
        int len = 0;
        detail::CheckOpenSsl(EVP_CipherUpdate(ctx, out, &len, in, static_cast<int>(n)), NTE_FAIL, "EVP_CipherUpdate");
        if (static_cast<std::size_t>(len) != n) detail::ThrowOpenSsl(NTE_FAIL, "EVP_CipherUpdate");
    }
};

// Plain ECB on a keyed CBC context with a zero IV (see the top).
class Ecb {
public:
    void Init(const std::string& sbox, const uint8_t* key, bool enc) {
        m_enc = enc;
        std::memset(m_prev, 0, kBlock);
        m_ctx.Init(NID_gost89_cbc, sbox, key, kZeroIv, enc);
    }
    // n is a multiple of 8; out may equal in.
    void Run(const uint8_t* in, std::size_t n, uint8_t* out) {
        uint8_t b[kBlock];
        for (std::size_t off = 0; off < n; off += kBlock) {
            if (m_enc) {
                for (std::size_t i = 0; i < kBlock; ++i) b[i] = in[off + i] ^ m_prev[i];
                m_ctx.Run(b, kBlock, out + off);
                std::memcpy(m_prev, out + off, kBlock);
            } else {
                std::memcpy(b, in + off, kBlock);
                m_ctx.Run(b, kBlock, out + off);
                for (std::size_t i = 0; i < kBlock; ++i) out[off + i] ^= m_prev[i];
                std::memcpy(m_prev, b, kBlock);
            }
        }
        OPENSSL_cleanse(b, sizeof b);
    }

private:
    CipherCtx m_ctx;
    bool m_enc = true;
    uint8_t m_prev[kBlock] = {};
};

void RawEcb(const std::string& sbox, const uint8_t* key, bool enc, const uint8_t* in, std::size_t n, uint8_t* out) {
    Ecb e;
    e.Init(sbox, key, enc);
    e.Run(in, n, out);
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<std::string> CipherParamsets() {
    return {cert::oids::kCipherParamSetA, cert::oids::kCipherParamSetB, cert::oids::kCipherParamSetC,
            cert::oids::kCipherParamSetD, kSboxTc26Z};
}

bool IsCipherParamset(std::string_view oid) {
    for (const auto& p : CipherParamsets())
        if (oid == p) return true;
    return false;
}

// ---------------------------------------------------------------------------
struct Cipher::Impl {
    CipherMode mode;
    bool enc;
    bool meshing;
    std::string sbox;
    Secret key{kKey};
    uint8_t iv[kBlock];    // CBC: chaining block; CNT: the counter (N3, N4)
    Secret gamma{kBlock};  // CNT: the current gamma block
    std::size_t gammaUsed = kBlock;
    std::size_t count = 0;  // bytes since the key was last meshed
    CipherCtx cfb;          // CFB on the engine cipher
    Ecb ecb;                // ECB, CBC and CNT (always encrypting)
    // The RFC 4357 key meshing: the key becomes the constant decrypted
    // under it; the IV (if any) is encrypted under the new key.
    void Mesh(bool withIv) {
        Secret k(kKey);
        RawEcb(sbox, key.data(), false, kMeshConst, kKey, k.data());
        key = std::move(k);
        if (withIv) RawEcb(sbox, key.data(), true, iv, kBlock, iv);
        ecb.Init(sbox, key.data(), mode == CipherMode::Cnt || enc);  // CFB meshes in the engine
        count = 0;
    }

    void Blocks(const uint8_t* in, std::size_t n, uint8_t* out) {
        while (n) {
            if (meshing && count == kMeshEvery) Mesh(mode == CipherMode::Cbc);
            std::size_t chunk = meshing ? std::min(n, kMeshEvery - count) : n;
            if (mode == CipherMode::Ecb) {
                ecb.Run(in, chunk, out);
            } else {
                uint8_t b[kBlock];
                for (std::size_t off = 0; off < chunk; off += kBlock) {
                    if (enc) {
                        for (std::size_t i = 0; i < kBlock; ++i) b[i] = in[off + i] ^ iv[i];
                        ecb.Run(b, kBlock, out + off);
                        std::memcpy(iv, out + off, kBlock);
                    } else {
                        std::memcpy(b, in + off, kBlock);
                        ecb.Run(b, kBlock, out + off);
                        for (std::size_t i = 0; i < kBlock; ++i) out[off + i] ^= iv[i];
                        std::memcpy(iv, b, kBlock);
                    }
                }
            }
            count += chunk;
            in += chunk;
            out += chunk;
            n -= chunk;
        }
    }

    void NextGamma() {
        if (meshing && count == kMeshEvery) Mesh(true);
        uint32_t n3 = Le32(iv) + 0x01010101u;
        uint32_t n4 = Le32(iv + 4);
        uint32_t s = n4 + 0x01010104u;
        if (s < n4) ++s;  // addition modulo 2^32 - 1
        PutLe32(iv, n3);
        PutLe32(iv + 4, s);
        ecb.Run(iv, kBlock, gamma.data());
        gammaUsed = 0;
        count += kBlock;
    }

    void Counter(const uint8_t* in, std::size_t n, uint8_t* out) {
        for (std::size_t i = 0; i < n; ++i) {
            if (gammaUsed == kBlock) NextGamma();
            out[i] = in[i] ^ gamma[gammaUsed++];
        }
    }
};

Cipher::Cipher(CipherMode mode, bool encrypt, ByteView key32, std::string_view sboxOid, ByteView iv8, bool meshing)
    : m_impl(std::make_unique<Impl>()) {
    CheckKey(key32);
    CheckSbox(sboxOid);
    if (mode != CipherMode::Ecb && iv8.size() != kBlock) throw Error(NTE_BAD_DATA, "28147-89 IV length");
    Impl& m = *m_impl;
    m.mode = mode;
    m.enc = encrypt;
    m.meshing = meshing;
    m.sbox = std::string(sboxOid);
    std::memcpy(m.key.data(), key32.data(), kKey);
    std::memset(m.iv, 0, kBlock);
    if (mode != CipherMode::Ecb) std::memcpy(m.iv, iv8.data(), kBlock);
    switch (mode) {
        case CipherMode::Cfb:
            m.cfb.Init(NID_id_Gost28147_89, m.sbox, m.key.data(), m.iv, encrypt,
                       meshing ? static_cast<int>(kMeshEvery) : 0);
            break;
        case CipherMode::Cnt:
            // The counter starts from the encrypted IV.
            m.ecb.Init(m.sbox, m.key.data(), true);
            m.ecb.Run(m.iv, kBlock, m.iv);
            break;
        default:
            m.ecb.Init(m.sbox, m.key.data(), encrypt);
            break;
    }
}

Cipher::~Cipher() = default;
Cipher::Cipher(Cipher&&) noexcept = default;
Cipher& Cipher::operator=(Cipher&&) noexcept = default;

void Cipher::Update(const uint8_t* in, std::size_t n, uint8_t* out) {
    Impl& m = *m_impl;
    switch (m.mode) {
        case CipherMode::Cfb:
            m.cfb.Run(in, n, out);
            break;
        case CipherMode::Cnt:
            m.Counter(in, n, out);
            break;
        default:
            if (n % kBlock) throw Error(NTE_BAD_LEN, "28147-89 data is not whole blocks");
            m.Blocks(in, n, out);
            break;
    }
}

Bytes Cipher::Update(ByteView in) {
    Bytes out(in.size());
    Update(in.data(), in.size(), out.data());
    return out;
}

Bytes Encrypt(CipherMode mode, ByteView key, std::string_view sbox, ByteView iv, ByteView data, bool meshing) {
    return Cipher(mode, true, key, sbox, iv, meshing).Update(data);
}
Bytes Decrypt(CipherMode mode, ByteView key, std::string_view sbox, ByteView iv, ByteView data, bool meshing) {
    return Cipher(mode, false, key, sbox, iv, meshing).Update(data);
}

// ---------------------------------------------------------------------------
// The engine's MAC starts from a zero state; starting from an IV is the same
// as XORing the IV into the first block, so the first block is held back
// until it is complete (or the data ends).
struct Mac::Impl {
    EVP_MD_CTX* md = nullptr;
    EVP_PKEY* pkey = nullptr;
    uint8_t iv[kBlock] = {};
    Secret first{kBlock};  // the first block may be a key (the MAC of a wrapped key)
    std::size_t firstLen = 0;
    bool firstDone = false;
    bool any = false;
    ~Impl() {
        EVP_MD_CTX_free(md);
        EVP_PKEY_free(pkey);
    }
    void Feed(const uint8_t* p, std::size_t n) {
        detail::CheckOpenSsl(EVP_DigestSignUpdate(md, p, n), NTE_FAIL, "28147-89 MAC");
    }
    void FlushFirst() {
        // A short message is zero-padded by the MAC, so the IV bytes past the
        // data are fed as the padding XOR IV.
        for (std::size_t i = 0; i < kBlock; ++i) first[i] ^= iv[i];
        Feed(first.data(), firstLen == kBlock || !HasIv() ? firstLen : kBlock);
        firstDone = true;
    }
    bool HasIv() const {
        for (uint8_t b : iv)
            if (b) return true;
        return false;
    }
};

Mac::Mac(ByteView key32, std::string_view sboxOid, ByteView iv8) : m_impl(std::make_unique<Impl>()) {
    CheckKey(key32);
    CheckSbox(sboxOid);
    if (!iv8.empty() && iv8.size() != kBlock) throw Error(NTE_BAD_DATA, "28147-89 MAC IV length");
    Impl& m = *m_impl;
    if (!iv8.empty()) std::memcpy(m.iv, iv8.data(), kBlock);
    ENGINE* e = Engine();
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_id(NID_id_Gost28147_89_MAC, e);
    if (!kctx) detail::ThrowOpenSsl(NTE_BAD_ALGID, "28147-89 MAC");
    int ok = EVP_PKEY_keygen_init(kctx) > 0 &&
             EVP_PKEY_CTX_ctrl(kctx, -1, EVP_PKEY_OP_KEYGEN, EVP_PKEY_CTRL_SET_MAC_KEY, static_cast<int>(kKey),
                               const_cast<uint8_t*>(key32.data())) > 0 &&
             EVP_PKEY_CTX_ctrl_str(kctx, "paramset", std::string(sboxOid).c_str()) > 0 &&
             EVP_PKEY_keygen(kctx, &m.pkey) > 0;
    EVP_PKEY_CTX_free(kctx);
    if (!ok) detail::ThrowOpenSsl(NTE_BAD_KEY, "28147-89 MAC key");
    m.md = EVP_MD_CTX_new();
    if (!m.md) detail::ThrowOpenSsl(NTE_NO_MEMORY, "EVP_MD_CTX_new");
    detail::CheckOpenSsl(EVP_DigestSignInit(m.md, nullptr, nullptr, e, m.pkey), NTE_FAIL, "28147-89 MAC");
}

Mac::~Mac() = default;
Mac::Mac(Mac&&) noexcept = default;
Mac& Mac::operator=(Mac&&) noexcept = default;

void Mac::Update(const void* data, std::size_t n) {
    Impl& m = *m_impl;
    if (!m.md) throw Error(NTE_BAD_HASH_STATE, "MAC already finished");
    auto* p = static_cast<const uint8_t*>(data);
    if (n) m.any = true;
    if (!m.firstDone) {
        std::size_t take = std::min(n, kBlock - m.firstLen);
        std::memcpy(m.first.data() + m.firstLen, p, take);
        m.firstLen += take;
        p += take;
        n -= take;
        if (m.firstLen < kBlock) return;
        m.FlushFirst();
    }
    if (n) m.Feed(p, n);
}

Bytes Mac::Final(std::size_t macBytes) {
    Impl& m = *m_impl;
    if (!m.md) throw Error(NTE_BAD_HASH_STATE, "MAC already finished");
    if (!m.any) throw Error(NTE_BAD_LEN, "28147-89 MAC of no data");
    if (macBytes < 1 || macBytes > kBlock) throw Error(NTE_BAD_LEN, "28147-89 MAC length");
    if (!m.firstDone) m.FlushFirst();
    EVP_PKEY_CTX* pctx = EVP_MD_CTX_get_pkey_ctx(m.md);
    std::string size = std::to_string(macBytes);
    if (!pctx || EVP_PKEY_CTX_ctrl_str(pctx, "size", size.c_str()) <= 0)
        detail::ThrowOpenSsl(NTE_FAIL, "28147-89 MAC length");
    uint8_t out[kBlock];
    size_t len = sizeof out;
    detail::CheckOpenSsl(EVP_DigestSignFinal(m.md, out, &len), NTE_FAIL, "28147-89 MAC");
    EVP_MD_CTX_free(m.md);
    m.md = nullptr;
    if (len != macBytes) detail::ThrowOpenSsl(NTE_FAIL, "28147-89 MAC length");
    return Bytes(out, out + len);
}

Bytes ComputeMac(ByteView key, std::string_view sbox, ByteView iv, ByteView data, std::size_t macBytes) {
    Mac m(key, sbox, iv);
    m.Update(data);
    return m.Final(macBytes);
}

// ---------------------------------------------------------------------------
Secret DiversifyKek(ByteView kek32, std::string_view sboxOid, ByteView ukm8) {
    CheckKey(kek32);
    CheckSbox(sboxOid);
    if (ukm8.size() != kBlock) throw Error(NTE_BAD_DATA, "UKM length");
    std::string sbox(sboxOid);
    Secret k(kek32);
    CipherCtx cfb;
    for (std::size_t i = 0; i < kBlock; ++i) {
        uint32_t s1 = 0, s2 = 0;
        for (int j = 0; j < 8; ++j) {
            uint32_t w = Le32(k.data() + 4 * j);
            if (ukm8[i] & (1u << j))
                s1 += w;
            else
                s2 += w;
        }
        uint8_t iv[kBlock];
        PutLe32(iv, s1);
        PutLe32(iv + 4, s2);
        cfb.Init(NID_id_Gost28147_89, sbox, k.data(), iv, true, 0);
        cfb.Run(k.data(), kKey, k.data());
    }
    return k;
}

WrappedKey WrapKey(KeyWrap kind, ByteView kek32, std::string_view sboxOid, ByteView ukm8, ByteView cek32) {
    CheckKey(kek32);
    CheckKey(cek32);
    CheckSbox(sboxOid);
    if (ukm8.size() != kBlock) throw Error(NTE_BAD_DATA, "UKM length");
    Secret kek = kind == KeyWrap::Diversified ? DiversifyKek(kek32, sboxOid, ukm8) : Secret(kek32);
    WrappedKey w;
    w.encryptedKey.resize(kKey);
    RawEcb(std::string(sboxOid), kek.data(), true, cek32.data(), kKey, w.encryptedKey.data());
    w.mac = ComputeMac(kek.view(), sboxOid, ukm8, cek32, 4);
    return w;
}

Secret UnwrapKey(KeyWrap kind, ByteView kek32, std::string_view sboxOid, ByteView ukm8, ByteView encryptedKey32,
                 ByteView mac4) {
    CheckKey(kek32);
    CheckSbox(sboxOid);
    if (ukm8.size() != kBlock) throw Error(NTE_BAD_DATA, "UKM length");
    if (encryptedKey32.size() != kKey || mac4.size() != 4) throw Error(NTE_BAD_DATA, "wrapped key length");
    Secret kek = kind == KeyWrap::Diversified ? DiversifyKek(kek32, sboxOid, ukm8) : Secret(kek32);
    Secret cek(kKey);
    RawEcb(std::string(sboxOid), kek.data(), false, encryptedKey32.data(), kKey, cek.data());
    Bytes mac = ComputeMac(kek.view(), sboxOid, ukm8, cek.view(), 4);
    if (CRYPTO_memcmp(mac.data(), mac4.data(), 4) != 0) throw Error(NTE_BAD_DATA, "key unwrap: MAC mismatch");
    return cek;
}

}  // namespace cert::gost
