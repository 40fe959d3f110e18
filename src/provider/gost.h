// The primitive layer under the crypto provider: GOST hashes, keys,
// signatures, key agreement, 28147-89 ciphers and MAC, RFC 4357 key wrap,
// random bytes, plus the few foreign algorithms (RSA, SHA-1, SHA-256).
//
// Internal to the library (not exported). The provider's handle layer
// (VRK*) is written on top of it; nothing here knows handles, containers,
// blobs or passwords.
//
// Conventions used throughout:
// - Errors are thrown as cert::gost::Error (an XTOOStatus). Error::WinError()
//   is the platform code (NTE_*) the provider puts in the thread's last
//   error; Status() is WinErr2ToolsErr of it; Place() names the operation.
//   Codes used: NTE_PROVIDER_DLL_FAIL (the GOST engine is not available;
//   foreign algorithms keep working), NTE_BAD_ALGID (unknown algorithm or
//   parameter set OID), NTE_BAD_KEY (key bytes not usable: wrong length,
//   scalar out of range, wrong key type for the operation),
//   NTE_BAD_PUBLIC_KEY (point not on the curve, keys on different parameter
//   sets), NTE_NO_KEY (a private operation on a public key), NTE_BAD_HASH
//   (digest of the wrong size), NTE_BAD_HASH_STATE (use after Final),
//   NTE_BAD_LEN (data length not acceptable to the mode), NTE_BAD_DATA
//   (MAC mismatch on unwrap, bad IV/UKM length, unreadable DER/PEM),
//   NTE_FAIL for an OpenSSL failure that has no better name. A signature
//   that does not verify is not an error: Verify* return false.
// - Byte strings out are std::vector<uint8_t> (Bytes); in are ByteView
//   (std::span<const uint8_t>); View() adapts an IdentObj. Key material
//   (private scalars, KEKs, unwrapped keys, derived keys) comes out as
//   cert::Secret, which wipes itself: nothing here needs wiping by hand.
// - All functions are thread-safe: the engine is loaded once under a
//   std::call_once; no object here is shared between threads unless the
//   caller shares it (a Hash, Cipher or Mac object is used by one thread at
//   a time; a Key may be used from several threads at once for signing,
//   verification and agreement).
//
// Byte orders (the part that breaks interop when wrong):
// - Private key scalars: little-endian, fixed length (32 bytes for 2001 and
//   2012-256, 64 for 2012-512), as in GOST key transport and key blobs.
// - Public keys: X||Y, each little-endian and fixed length (64 or 128
//   bytes): the content of the GOST public key OCTET STRING.
// - Digests: as the hash produces them (the bytes `openssl dgst` prints);
//   the signature functions take the digest in that form.
// - Signatures: SignDigest returns and VerifyDigest takes the engine/DER
//   form: s||r, each big-endian and fixed length (64 or 128 bytes), as in
//   certificates and CMS. The provider's own form (least significant byte
//   first) is exactly this byte string reversed: ReverseBytes().
// - VKO results (KEKs): the bytes of the hash of the shared point as the
//   hash produces them (what `openssl pkeyutl -derive` writes).
// - 28147-89 keys: 32 bytes as in key wrap (K1 is bytes 0..3, little-endian);
//   IVs and UKMs: 8 bytes as they are sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/oids.h"
#include "cert/secret.h"
#include "cert/tools.h"

typedef struct engine_st ENGINE;
typedef struct evp_pkey_st EVP_PKEY;

namespace cert::gost {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline ByteView View(const IdentObj& b) { return ByteView(b.data(), b.size()); }
inline ByteView View(std::string_view s) { return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
inline IdentObj ToIdent(ByteView b) { return IdentObj(b.data(), static_cast<DWORD>(b.size())); }
Bytes ReverseBytes(ByteView b);

class Error : public XTOOStatus {
public:
    Error(DWORD winError, const char* place);
    DWORD WinError() const { return m_win; }

private:
    DWORD m_win;
};

// ---------------------------------------------------------------------------
// Engine. Loaded on first use (by id, else from the engines directory),
// initialised once, never made the default for anything. Every GOST
// operation passes it explicitly; foreign algorithms use the default
// provider. The engine's key-format methods are registered (not made
// default) so that d2i/PEM readers and X509_get_pubkey decode GOST keys.

// The engine, or throws Error(NTE_PROVIDER_DLL_FAIL, "GOST engine not available").
ENGINE* Engine();
bool EngineAvailable() noexcept;

// ---------------------------------------------------------------------------
// Hashes.
enum class HashAlg {
    Gost94,       // GOST R 34.11-94, parameter set 1.2.643.2.2.30.1
    Streebog256,  // GOST R 34.11-2012, 256 bits
    Streebog512,  // GOST R 34.11-2012, 512 bits
    Sha1,
    Sha256,
};
std::size_t HashSize(HashAlg alg);
// "gost94", "gost12-256", "gost12-512", "sha1", "sha256" (the tool's names);
// false when unknown.
bool HashAlgFromName(std::string_view name, HashAlg& out);
const char* HashAlgName(HashAlg alg);
// The hash OID (1.2.643.2.2.9, 1.2.643.7.1.1.2.2, 1.2.643.7.1.1.2.3,
// 1.3.14.3.2.26, 2.16.840.1.101.3.4.2.1).
const char* HashOid(HashAlg alg);

// Streaming hash. GOST R 34.11-94 of the empty message is the standard's
// value (981e5f3c...), not what `openssl dgst -md_gost94` prints for an
// empty file; every other input agrees with it. Update after Final throws NTE_BAD_HASH_STATE; Clone copies
// the running state (before Final), so a caller can read an intermediate
// value and continue.
class Hash {
public:
    explicit Hash(HashAlg alg);
    ~Hash();
    Hash(Hash&&) noexcept;
    Hash& operator=(Hash&&) noexcept;
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    HashAlg alg() const { return m_alg; }
    std::size_t size() const { return HashSize(m_alg); }
    void Update(const void* data, std::size_t n);
    void Update(ByteView data) { Update(data.data(), data.size()); }
    // Writes size() bytes to out.
    void Final(uint8_t* out);
    Bytes Final();
    Hash Clone() const;
    // Starts over with no data (also after Final).
    void Reset();

private:
    struct Impl;
    HashAlg m_alg;
    std::unique_ptr<Impl> m_impl;
    Hash(HashAlg alg, std::unique_ptr<Impl> impl);
};
Bytes Digest(HashAlg alg, ByteView data);

// ---------------------------------------------------------------------------
// Asymmetric keys.
enum class KeyAlg {
    Gost2001,      // GOST R 34.10-2001 (256 bits)
    Gost2012_256,  // GOST R 34.10-2012, 256 bits
    Gost2012_512,  // GOST R 34.10-2012, 512 bits
    Rsa,
};
// Scalar length in bytes of a GOST key (32 or 64).
std::size_t GostKeyBytes(KeyAlg alg);
// "gost2001", "gost12-256", "gost12-512", "rsa"; false when unknown.
bool KeyAlgFromName(std::string_view name, KeyAlg& out);
const char* KeyAlgName(KeyAlg alg);
// The public-key algorithm OIDs: 1.2.643.2.2.19, 1.2.643.7.1.1.1.1,
// 1.2.643.7.1.1.1.2, 1.2.840.113549.1.1.1.
const char* KeyAlgOid(KeyAlg alg);
// The digest that goes with the key in signatures (Gost94, Streebog256,
// Streebog512; Sha256 for RSA).
HashAlg SignHashFor(KeyAlg alg);

// Parameter sets by OID:
//   2001:      A 1.2.643.2.2.35.1, B .35.2, C .35.3, XA 1.2.643.2.2.36.0, XB .36.1
//   2012-256:  the same five plus TC26 A-D 1.2.643.7.1.2.1.1.1 .. .4
//   2012-512:  TC26 A-C 1.2.643.7.1.2.1.2.1 .. .3
// The test parameter sets (1.2.643.2.2.35.0, 1.2.643.7.1.2.1.2.0) are
// accepted for known-answer checks but not listed.
std::vector<std::string> Paramsets(KeyAlg alg);
std::string DefaultParamset(KeyAlg alg);  // A for 2001/2012-256, TC26 A for 512
bool IsParamsetFor(KeyAlg alg, std::string_view oid);
// Accepts an OID or a short name ("A", "B", "C", "XA", "XB", "TCA".."TCD";
// for 512 bits "A".."C" mean the TC26 sets). Throws NTE_BAD_ALGID.
std::string ParamsetOidFromName(KeyAlg alg, std::string_view nameOrOid);
// A short name of a parameter set OID ("A", "XA", "TCA", ...), or the OID.
std::string ParamsetName(std::string_view oid);

// A reference-counted EVP_PKEY: copies share the key. Empty when default
// constructed.
class Key {
public:
    Key() = default;
    // Takes ownership of one reference.
    explicit Key(EVP_PKEY* pkey);
    Key(const Key& other);
    Key(Key&& other) noexcept;
    Key& operator=(Key other) noexcept;
    ~Key();

    explicit operator bool() const { return m_pkey != nullptr; }
    EVP_PKEY* get() const { return m_pkey; }
    // Gives up ownership.
    EVP_PKEY* release();

    KeyAlg alg() const;  // throws NTE_BAD_KEY for other key types
    bool IsGost() const;
    std::string Paramset() const;  // OID; empty for RSA
    bool HasPrivate() const;
    std::size_t Bits() const;  // 256 / 512 / RSA modulus bits

private:
    EVP_PKEY* m_pkey = nullptr;
};

Key GenerateKey(KeyAlg alg, std::string_view paramsetOid);
Key GenerateRsaKey(unsigned bits = 2048);

// Raw forms (byte orders: see the top of this file). FromRaw validates
// (scalar in [1, q-1], point on the curve) and throws NTE_BAD_KEY.
Key PrivateKeyFromRaw(KeyAlg alg, std::string_view paramsetOid, ByteView scalarLE);
// The private key's public point is computed too.
Secret PrivateKeyToRaw(const Key& key);
Key PublicKeyFromRaw(KeyAlg alg, std::string_view paramsetOid, ByteView xyLE);
Bytes PublicKeyToRaw(const Key& key);
// A public-only copy of a key.
Key PublicPart(const Key& key);

// DER/PEM through OpenSSL with the engine's key formats (GOST and RSA).
// Private: unencrypted PKCS#8 PrivateKeyInfo DER (what `openssl genpkey
// -engine gost -outform DER` writes). Import also takes the traditional
// forms d2i_AutoPrivateKey knows. Encrypted PKCS#8 is the caller's to open.
Secret ExportPrivateKeyDer(const Key& key);
Key ImportPrivateKeyDer(ByteView der);
// PEM "PRIVATE KEY" (or any PEM private key OpenSSL reads without a
// password); throws NTE_BAD_DATA when not readable.
Key ImportPrivateKeyPem(std::string_view pem);
Secret ExportPrivateKeyPem(const Key& key);
// SubjectPublicKeyInfo DER.
Bytes ExportPublicKeyDer(const Key& key);
Key ImportPublicKeyDer(ByteView spki);

// ---------------------------------------------------------------------------
// Signatures over a digest (byte orders: see the top).
// GOST: digest of the key's size (32 or 64); signature s||r big-endian.
Bytes SignDigest(const Key& key, ByteView digest);
bool VerifyDigest(const Key& key, ByteView digest, ByteView signature);
// RSA PKCS#1 v1.5 over a SHA-1 or SHA-256 digest (DigestInfo built by
// OpenSSL); signature big-endian as in certificates.
Bytes RsaSignDigest(const Key& key, HashAlg alg, ByteView digest);
bool RsaVerifyDigest(const Key& key, HashAlg alg, ByteView digest, ByteView signature);

// ---------------------------------------------------------------------------
// Key agreement (VKO). Both keys GOST, on the same parameter set.
// 2001 (RFC 4357): 8-byte UKM, 32-byte result = GOST R 34.11-94 of the
// shared point (X||Y little-endian).
Secret Vko2001(const Key& priv, const Key& peerPublic, ByteView ukm8);
// 2012 (RFC 7836): UKM of 1..16 bytes (8 in key transport), result of
// outBytes = 32 (Streebog-256 of the point) or 64 (Streebog-512).
// Works for 2012-256 and 2012-512 keys.
Secret Vko2012(const Key& priv, const Key& peerPublic, ByteView ukm, std::size_t outBytes = 32);
// The appropriate VKO for the key type: 2001 keys -> Vko2001, 2012 keys ->
// Vko2012 with 32 bytes out (what key transport with 28147-89 uses).
Secret Vko(const Key& priv, const Key& peerPublic, ByteView ukm8);
// The shared point itself, X||Y little-endian (cofactor and UKM applied; a
// zero UKM counts as 1): hashing it gives the VKO values above.
Secret VkoPoint(const Key& priv, const Key& peerPublic, ByteView ukm);

// ---------------------------------------------------------------------------
// GOST 28147-89.
// Parameter sets (S-boxes) by OID: A 1.2.643.2.2.31.1, B .31.2,
// C .31.3, D .31.4, TC26 Z 1.2.643.7.1.2.5.1.1.
constexpr const char* kSboxA = cert::oids::kCipherParamSetA;
constexpr const char* kSboxTc26Z = cert::oids::kCipherParamSetZ;
std::vector<std::string> CipherParamsets();
bool IsCipherParamset(std::string_view oid);

enum class CipherMode { Ecb, Cbc, Cfb, Cnt };

// One encryption or decryption stream. ECB and CBC take whole 8-byte
// blocks (NTE_BAD_LEN otherwise); CFB and CNT any length, the stream
// continuing across calls. With meshing, the RFC 4357 key meshing
// (RFC 4357 2.3.2) runs after every 1024 bytes; it changes the key (and for
// CBC, CFB and CNT the IV) exactly as the peers do. ECB takes no IV.
class Cipher {
public:
    Cipher(CipherMode mode, bool encrypt, ByteView key32, std::string_view sboxOid, ByteView iv8 = {},
           bool meshing = true);
    ~Cipher();
    Cipher(Cipher&&) noexcept;
    Cipher& operator=(Cipher&&) noexcept;
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;

    // out may equal in; n bytes are written.
    void Update(const uint8_t* in, std::size_t n, uint8_t* out);
    Bytes Update(ByteView in);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
// One-shot helpers.
Bytes Encrypt(CipherMode mode, ByteView key32, std::string_view sboxOid, ByteView iv8, ByteView data,
              bool meshing = true);
Bytes Decrypt(CipherMode mode, ByteView key32, std::string_view sboxOid, ByteView iv8, ByteView data,
              bool meshing = true);

// 28147-89 MAC (imitovstavka). The IV (empty = zero) is applied as RFC 4357
// does: it is the initial MAC state. macBytes 1..8 (4 is usual). Data must
// not be empty.
class Mac {
public:
    Mac(ByteView key32, std::string_view sboxOid, ByteView iv8 = {});
    ~Mac();
    Mac(Mac&&) noexcept;
    Mac& operator=(Mac&&) noexcept;
    Mac(const Mac&) = delete;
    Mac& operator=(const Mac&) = delete;
    void Update(const void* data, std::size_t n);
    void Update(ByteView data) { Update(data.data(), data.size()); }
    Bytes Final(std::size_t macBytes = 4);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
Bytes ComputeMac(ByteView key32, std::string_view sboxOid, ByteView iv8, ByteView data, std::size_t macBytes = 4);

// ---------------------------------------------------------------------------
// RFC 4357 key wrap of a 32-byte key under a 32-byte KEK with an 8-byte UKM.
// Wrapped form: the 32 encrypted key bytes (ECB) followed by the 4-byte MAC
// (MAC of the clear key, IV = UKM); the UKM travels separately.
enum class KeyWrap {
    Plain,        // GOST 28147-89 key wrap (6.1): KEK used as it is
    Diversified,  // RFC 4357 6.3: KEK diversified by the UKM (6.5)
};
struct WrappedKey {
    Bytes encryptedKey;  // 32
    Bytes mac;           // 4
};
WrappedKey WrapKey(KeyWrap kind, ByteView kek32, std::string_view sboxOid, ByteView ukm8, ByteView cek32);
// Throws Error(NTE_BAD_DATA, "key unwrap: MAC mismatch") when the MAC does
// not match (a wrong KEK or UKM, or damage).
Secret UnwrapKey(KeyWrap kind, ByteView kek32, std::string_view sboxOid, ByteView ukm8, ByteView encryptedKey32,
                 ByteView mac4);
// The KEK diversification alone (6.5).
Secret DiversifyKek(ByteView kek32, std::string_view sboxOid, ByteView ukm8);

// ---------------------------------------------------------------------------
// Sealing under a password or a stored secret (the provider's key
// containers), from OpenSSL's default provider. The derivations throw
// NTE_BAD_DATA for parameters out of range and NTE_NO_MEMORY when scrypt
// cannot have the memory it needs (128 * r * 2^log2N bytes, at most 256 MiB).
Secret Pbkdf2Sha256(ByteView secret, ByteView salt, uint32_t iterations, std::size_t outBytes);
Secret Scrypt(ByteView password, ByteView salt, unsigned log2N, uint32_t r, uint32_t p, std::size_t outBytes);
// AES-256-GCM with a 12-byte nonce; the 16-byte tag follows the cipher text.
Bytes AesGcmSeal(ByteView key32, ByteView nonce12, ByteView aad, ByteView clear);
// Throws Error(NTE_BAD_DATA) when the tag does not match (a wrong key, or
// damage) and gives nothing of the clear text then.
Secret AesGcmOpen(ByteView key32, ByteView nonce12, ByteView aad, ByteView sealed);

// ---------------------------------------------------------------------------
void RandomBytes(uint8_t* out, std::size_t n);
Bytes RandomBytes(std::size_t n);
// Random key material.
Secret RandomSecret(std::size_t n);

}  // namespace cert::gost
