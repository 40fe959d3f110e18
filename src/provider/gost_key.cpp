// GOST R 34.10 keys through the engine (generation, raw forms, DER/PEM,
// signatures, VKO) and RSA keys through the default provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <cstring>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "provider/gost.h"
#include "provider/gost_internal.h"
#include "cert/oids.h"

namespace cert::gost {

namespace {

struct KeyAlgInfo {
    KeyAlg alg;
    const char* name;
    const char* oid;
    int nid;
    std::size_t bytes;
    HashAlg hash;
};

const KeyAlgInfo kKeyAlgs[] = {
    {KeyAlg::Gost2001, "gost2001", cert::oids::kGostR3410_2001, NID_id_GostR3410_2001, 32, HashAlg::Gost94},
    {KeyAlg::Gost2012_256, "gost12-256", cert::oids::kGostR3410_2012_256, NID_id_GostR3410_2012_256, 32,
     HashAlg::Streebog256},
    {KeyAlg::Gost2012_512, "gost12-512", cert::oids::kGostR3410_2012_512, NID_id_GostR3410_2012_512, 64,
     HashAlg::Streebog512},
    {KeyAlg::Rsa, "rsa", cert::oids::kRsa, NID_rsaEncryption, 0, HashAlg::Sha256},
};

const KeyAlgInfo& AlgInfo(KeyAlg alg) {
    for (const auto& a : kKeyAlgs)
        if (a.alg == alg) return a;
    throw Error(NTE_BAD_ALGID, "key algorithm");
}

struct ParamsetInfo {
    const char* oid;
    const char* shortName;
    bool k256;  // usable with 256-bit keys (2001 and 2012-256)
    bool listed;
};

const ParamsetInfo kParamsets[] = {
    {cert::oids::kSign2001ParamSetA, "A", true, true},
    {cert::oids::kSign2001ParamSetB, "B", true, true},
    {cert::oids::kSign2001ParamSetC, "C", true, true},
    {cert::oids::kExchange2001ParamSetA, "XA", true, true},
    {cert::oids::kExchange2001ParamSetB, "XB", true, true},
    {cert::oids::kSign2012_256ParamSetA, "TCA", true, true},
    {cert::oids::kSign2012_256ParamSetB, "TCB", true, true},
    {cert::oids::kSign2012_256ParamSetC, "TCC", true, true},
    {cert::oids::kSign2012_256ParamSetD, "TCD", true, true},
    {cert::oids::kSign2012_512ParamSetA, "A", false, true},
    {cert::oids::kSign2012_512ParamSetB, "B", false, true},
    {cert::oids::kSign2012_512ParamSetC, "C", false, true},
    {cert::oids::kSign2001ParamSetTest, "TEST", true, false},
    {cert::oids::kSign2012_512ParamSetTest, "TEST", false, false},
};

bool ParamsetFits(KeyAlg alg, const ParamsetInfo& p) {
    switch (alg) {
        case KeyAlg::Gost2001:  // the TC26 256-bit curves serve 2001 keys too
        case KeyAlg::Gost2012_256:
            return p.k256;
        case KeyAlg::Gost2012_512:
            return !p.k256;
        default:
            return false;
    }
}

// The engine takes the TC26 256-bit sets only by its short names, the test
// sets only by OID.
std::string EngineParamsetName(std::string_view oid) {
    for (const auto& p : kParamsets)
        if (oid == p.oid && p.listed) return p.shortName;
    return std::string(oid);
}

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using PointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

EC_KEY* EcOf(const Key& key, const char* place) {
    if (!key || !key.IsGost()) throw Error(NTE_BAD_KEY, place);
    auto* ec = static_cast<EC_KEY*>(const_cast<void*>(EVP_PKEY_get0(key.get())));
    if (!ec || !EC_KEY_get0_group(ec)) throw Error(NTE_BAD_KEY, place);
    return ec;
}

int ParamsetNid(KeyAlg alg, std::string_view oid) {
    if (!IsParamsetFor(alg, oid)) throw Error(NTE_BAD_ALGID, "GOST key parameter set");
    int nid = OBJ_txt2nid(std::string(oid).c_str());
    if (nid == NID_undef) throw Error(NTE_BAD_ALGID, "GOST key parameter set");
    return nid;
}

CtxPtr GostCtx(KeyAlg alg) {
    CtxPtr ctx(EVP_PKEY_CTX_new_id(AlgInfo(alg).nid, Engine()));
    if (!ctx) detail::ThrowOpenSsl(NTE_BAD_ALGID, "EVP_PKEY_CTX_new_id");
    return ctx;
}

CtxPtr CtxFor(const Key& key, const char* place) {
    if (!key) throw Error(NTE_BAD_KEY, place);
    CtxPtr ctx(EVP_PKEY_CTX_new(key.get(), key.IsGost() ? Engine() : nullptr));
    if (!ctx) detail::ThrowOpenSsl(NTE_BAD_KEY, place);
    return ctx;
}

// A key of the parameter set with neither private nor public part yet.
PkeyPtr EmptyGostKey(KeyAlg alg, std::string_view paramsetOid) {
    ParamsetNid(alg, paramsetOid);
    CtxPtr ctx = GostCtx(alg);
    detail::CheckOpenSsl(EVP_PKEY_paramgen_init(ctx.get()), NTE_FAIL, "EVP_PKEY_paramgen_init");
    detail::CheckOpenSsl(EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", EngineParamsetName(paramsetOid).c_str()),
                         NTE_BAD_ALGID, "GOST key parameter set");
    EVP_PKEY* p = nullptr;
    detail::CheckOpenSsl(EVP_PKEY_paramgen(ctx.get(), &p), NTE_FAIL, "EVP_PKEY_paramgen");
    return PkeyPtr(p);
}

BnPtr LeToBn(ByteView b) {
    BnPtr bn(BN_lebin2bn(b.data(), static_cast<int>(b.size()), nullptr));
    if (!bn) detail::ThrowOpenSsl(NTE_NO_MEMORY, "BN_lebin2bn");
    return bn;
}

void BnToLe(const BIGNUM* bn, uint8_t* out, std::size_t n, const char* place) {
    if (BN_bn2lebinpad(bn, out, static_cast<int>(n)) != static_cast<int>(n)) detail::ThrowOpenSsl(NTE_BAD_KEY, place);
}

KeyAlg AlgFromNid(int nid) {
    for (const auto& a : kKeyAlgs)
        if (a.nid == nid) return a.alg;
    throw Error(NTE_BAD_KEY, "key type not supported");
}

}  // namespace

// ---------------------------------------------------------------------------
std::size_t GostKeyBytes(KeyAlg alg) {
    std::size_t n = AlgInfo(alg).bytes;
    if (!n) throw Error(NTE_BAD_ALGID, "not a GOST key algorithm");
    return n;
}
const char* KeyAlgName(KeyAlg alg) { return AlgInfo(alg).name; }
const char* KeyAlgOid(KeyAlg alg) { return AlgInfo(alg).oid; }
HashAlg SignHashFor(KeyAlg alg) { return AlgInfo(alg).hash; }

bool KeyAlgFromName(std::string_view name, KeyAlg& out) {
    for (const auto& a : kKeyAlgs)
        if (name == a.name) {
            out = a.alg;
            return true;
        }
    return false;
}

std::vector<std::string> Paramsets(KeyAlg alg) {
    std::vector<std::string> out;
    for (const auto& p : kParamsets)
        if (p.listed && ParamsetFits(alg, p)) out.emplace_back(p.oid);
    return out;
}

std::string DefaultParamset(KeyAlg alg) {
    if (alg == KeyAlg::Gost2012_512) return cert::oids::kSign2012_512ParamSetA;
    if (alg == KeyAlg::Rsa) throw Error(NTE_BAD_ALGID, "not a GOST key algorithm");
    return cert::oids::kSign2001ParamSetA;
}

bool IsParamsetFor(KeyAlg alg, std::string_view oid) {
    for (const auto& p : kParamsets)
        if (oid == p.oid) return ParamsetFits(alg, p);
    return false;
}

std::string ParamsetOidFromName(KeyAlg alg, std::string_view nameOrOid) {
    std::string up(nameOrOid);
    for (auto& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& p : kParamsets)
        if (ParamsetFits(alg, p) && (nameOrOid == p.oid || (p.listed && up == p.shortName))) return p.oid;
    throw Error(NTE_BAD_ALGID, "GOST key parameter set");
}

std::string ParamsetName(std::string_view oid) {
    for (const auto& p : kParamsets)
        if (oid == p.oid) return p.shortName;
    return std::string(oid);
}

// ---------------------------------------------------------------------------
Key::Key(EVP_PKEY* pkey) : m_pkey(pkey) {}
Key::Key(const Key& other) : m_pkey(other.m_pkey) {
    if (m_pkey) EVP_PKEY_up_ref(m_pkey);
}
Key::Key(Key&& other) noexcept : m_pkey(other.m_pkey) { other.m_pkey = nullptr; }
Key& Key::operator=(Key other) noexcept {
    std::swap(m_pkey, other.m_pkey);
    return *this;
}
Key::~Key() { EVP_PKEY_free(m_pkey); }

EVP_PKEY* Key::release() {
    EVP_PKEY* p = m_pkey;
    m_pkey = nullptr;
    return p;
}

KeyAlg Key::alg() const {
    if (!m_pkey) throw Error(NTE_BAD_KEY, "empty key");
    return AlgFromNid(EVP_PKEY_get_base_id(m_pkey));
}

bool Key::IsGost() const {
    if (!m_pkey) return false;
    int id = EVP_PKEY_get_base_id(m_pkey);
    return id == NID_id_GostR3410_2001 || id == NID_id_GostR3410_2012_256 || id == NID_id_GostR3410_2012_512;
}

std::string Key::Paramset() const {
    if (!IsGost()) return {};
    int nid = EC_GROUP_get_curve_name(EC_KEY_get0_group(EcOf(*this, "key parameter set")));
    char buf[80];
    if (nid == NID_undef || OBJ_obj2txt(buf, sizeof buf, OBJ_nid2obj(nid), 1) <= 0) return {};
    return buf;
}

bool Key::HasPrivate() const {
    if (!m_pkey) return false;
    if (IsGost()) return EC_KEY_get0_private_key(EcOf(*this, "key")) != nullptr;
    BIGNUM* d = nullptr;
    bool has = EVP_PKEY_get_bn_param(m_pkey, OSSL_PKEY_PARAM_RSA_D, &d) == 1 && d;
    BN_clear_free(d);
    ERR_clear_error();
    return has;
}

std::size_t Key::Bits() const {
    if (!m_pkey) return 0;
    if (IsGost()) return GostKeyBytes(alg()) * 8;
    return static_cast<std::size_t>(EVP_PKEY_get_bits(m_pkey));
}

// ---------------------------------------------------------------------------
Key GenerateKey(KeyAlg alg, std::string_view paramsetOid) {
    if (alg == KeyAlg::Rsa) return GenerateRsaKey();
    ParamsetNid(alg, paramsetOid);
    CtxPtr ctx = GostCtx(alg);
    detail::CheckOpenSsl(EVP_PKEY_keygen_init(ctx.get()), NTE_FAIL, "EVP_PKEY_keygen_init");
    detail::CheckOpenSsl(EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", EngineParamsetName(paramsetOid).c_str()),
                         NTE_BAD_ALGID, "GOST key parameter set");
    EVP_PKEY* p = nullptr;
    detail::CheckOpenSsl(EVP_PKEY_keygen(ctx.get(), &p), NTE_FAIL, "EVP_PKEY_keygen");
    return Key(p);
}

Key GenerateRsaKey(unsigned bits) {
    EVP_PKEY* p = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
    if (!p) detail::ThrowOpenSsl(NTE_FAIL, "RSA key generation");
    return Key(p);
}

Key PrivateKeyFromRaw(KeyAlg alg, std::string_view paramsetOid, ByteView scalarLE) {
    if (scalarLE.size() != GostKeyBytes(alg)) throw Error(NTE_BAD_KEY, "private key length");
    PkeyPtr pkey = EmptyGostKey(alg, paramsetOid);
    auto* ec = static_cast<EC_KEY*>(const_cast<void*>(EVP_PKEY_get0(pkey.get())));
    const EC_GROUP* g = EC_KEY_get0_group(ec);
    BnPtr d = LeToBn(scalarLE);
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(g)) >= 0)
        throw Error(NTE_BAD_KEY, "private key out of range");
    BnCtxPtr bnctx(BN_CTX_new());
    PointPtr q(EC_POINT_new(g));
    if (!bnctx || !q) detail::ThrowOpenSsl(NTE_NO_MEMORY, "private key");
    detail::CheckOpenSsl(EC_POINT_mul(g, q.get(), d.get(), nullptr, nullptr, bnctx.get()), NTE_FAIL, "EC_POINT_mul");
    detail::CheckOpenSsl(EC_KEY_set_private_key(ec, d.get()), NTE_BAD_KEY, "EC_KEY_set_private_key");
    detail::CheckOpenSsl(EC_KEY_set_public_key(ec, q.get()), NTE_BAD_KEY, "EC_KEY_set_public_key");
    return Key(pkey.release());
}

Secret PrivateKeyToRaw(const Key& key) {
    EC_KEY* ec = EcOf(key, "private key");
    const BIGNUM* d = EC_KEY_get0_private_key(ec);
    if (!d) throw Error(NTE_NO_KEY, "no private key");
    Secret out(GostKeyBytes(key.alg()));
    BnToLe(d, out.data(), out.size(), "private key");
    return out;
}

Key PublicKeyFromRaw(KeyAlg alg, std::string_view paramsetOid, ByteView xyLE) {
    std::size_t n = GostKeyBytes(alg);
    if (xyLE.size() != 2 * n) throw Error(NTE_BAD_PUBLIC_KEY, "public key length");
    PkeyPtr pkey = EmptyGostKey(alg, paramsetOid);
    auto* ec = static_cast<EC_KEY*>(const_cast<void*>(EVP_PKEY_get0(pkey.get())));
    const EC_GROUP* g = EC_KEY_get0_group(ec);
    BnPtr x = LeToBn(xyLE.first(n)), y = LeToBn(xyLE.subspan(n));
    BnCtxPtr bnctx(BN_CTX_new());
    PointPtr q(EC_POINT_new(g));
    if (!bnctx || !q) detail::ThrowOpenSsl(NTE_NO_MEMORY, "public key");
    if (EC_POINT_set_affine_coordinates(g, q.get(), x.get(), y.get(), bnctx.get()) != 1 ||
        EC_POINT_is_on_curve(g, q.get(), bnctx.get()) != 1)
        detail::ThrowOpenSsl(NTE_BAD_PUBLIC_KEY, "public key not on the curve");
    detail::CheckOpenSsl(EC_KEY_set_public_key(ec, q.get()), NTE_BAD_PUBLIC_KEY, "EC_KEY_set_public_key");
    return Key(pkey.release());
}

Bytes PublicKeyToRaw(const Key& key) {
    EC_KEY* ec = EcOf(key, "public key");
    const EC_POINT* q = EC_KEY_get0_public_key(ec);
    if (!q) throw Error(NTE_BAD_PUBLIC_KEY, "no public key");
    std::size_t n = GostKeyBytes(key.alg());
    BnPtr x(BN_new()), y(BN_new());
    if (!x || !y) detail::ThrowOpenSsl(NTE_NO_MEMORY, "public key");
    detail::CheckOpenSsl(EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), q, x.get(), y.get(), nullptr),
                         NTE_BAD_KEY, "public key");
    Bytes out(2 * n);
    BnToLe(x.get(), out.data(), n, "public key");
    BnToLe(y.get(), out.data() + n, n, "public key");
    return out;
}

Key PublicPart(const Key& key) {
    if (key.IsGost()) return PublicKeyFromRaw(key.alg(), key.Paramset(), PublicKeyToRaw(key));
    return ImportPublicKeyDer(ExportPublicKeyDer(key));
}

// ---------------------------------------------------------------------------
namespace {
using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, Deleter<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;

P8Ptr PrivateKeyInfo(const Key& key) {
    if (!key) throw Error(NTE_BAD_KEY, "export private key");
    if (key.IsGost()) Engine();
    P8Ptr p8(EVP_PKEY2PKCS8(key.get()));
    if (!p8) detail::ThrowOpenSsl(NTE_BAD_KEY, "EVP_PKEY2PKCS8");
    return p8;
}
}  // namespace

Secret ExportPrivateKeyDer(const Key& key) {
    P8Ptr p8 = PrivateKeyInfo(key);
    unsigned char* der = nullptr;
    int len = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der);
    if (len <= 0) detail::ThrowOpenSsl(NTE_BAD_KEY, "i2d_PKCS8_PRIV_KEY_INFO");
    Secret out(der, static_cast<std::size_t>(len));
    OPENSSL_clear_free(der, static_cast<size_t>(len));  // OpenSSL's own copy
    return out;
}

Key ImportPrivateKeyDer(ByteView der) {
    EngineAvailable();  // registers the GOST key formats when present
    const unsigned char* p = der.data();
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size()));
    EVP_PKEY* pkey = nullptr;
    if (p8) {
        pkey = EVP_PKCS82PKEY(p8);
        PKCS8_PRIV_KEY_INFO_free(p8);
    } else {
        p = der.data();
        pkey = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
    }
    if (!pkey) detail::ThrowOpenSsl(NTE_BAD_DATA, "private key DER");
    return Key(pkey);
}

Key ImportPrivateKeyPem(std::string_view pem) {
    EngineAvailable();
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) detail::ThrowOpenSsl(NTE_NO_MEMORY, "BIO_new_mem_buf");
    char empty[] = "";
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, empty);
    if (!pkey) detail::ThrowOpenSsl(NTE_BAD_DATA, "private key PEM");
    return Key(pkey);
}

Secret ExportPrivateKeyPem(const Key& key) {
    P8Ptr p8 = PrivateKeyInfo(key);
    // A memory BIO on the secure heap clears every buffer it lets go.
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PKCS8_PRIV_KEY_INFO(bio.get(), p8.get()) != 1)
        detail::ThrowOpenSsl(NTE_FAIL, "PEM_write_bio_PKCS8_PRIV_KEY_INFO");
    char* text = nullptr;
    long n = BIO_get_mem_data(bio.get(), &text);
    if (n <= 0 || !text) detail::ThrowOpenSsl(NTE_FAIL, "PEM private key");
    return Secret(text, static_cast<std::size_t>(n));
}

Bytes ExportPublicKeyDer(const Key& key) {
    if (!key) throw Error(NTE_BAD_KEY, "export public key");
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key.get(), &der);
    if (len <= 0) detail::ThrowOpenSsl(NTE_BAD_KEY, "i2d_PUBKEY");
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

Key ImportPublicKeyDer(ByteView spki) {
    EngineAvailable();
    const unsigned char* p = spki.data();
    EVP_PKEY* pkey = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
    if (!pkey) detail::ThrowOpenSsl(NTE_BAD_PUBLIC_KEY, "SubjectPublicKeyInfo");
    return Key(pkey);
}

// ---------------------------------------------------------------------------
Bytes SignDigest(const Key& key, ByteView digest) {
    std::size_t n = GostKeyBytes(key.alg());
    if (digest.size() != n) throw Error(NTE_BAD_HASH, "digest length for the key");
    if (!key.HasPrivate()) throw Error(NTE_NO_KEY, "no private key");
    CtxPtr ctx = CtxFor(key, "SignDigest");
    detail::CheckOpenSsl(EVP_PKEY_sign_init(ctx.get()), NTE_BAD_KEY, "EVP_PKEY_sign_init");
    Bytes sig(2 * n);
    size_t len = sig.size();
    detail::CheckOpenSsl(EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()), NTE_FAIL,
                         "EVP_PKEY_sign");
    sig.resize(len);
    return sig;
}

bool VerifyDigest(const Key& key, ByteView digest, ByteView signature) {
    std::size_t n = GostKeyBytes(key.alg());
    if (digest.size() != n || signature.size() != 2 * n) return false;
    CtxPtr ctx = CtxFor(key, "VerifyDigest");
    detail::CheckOpenSsl(EVP_PKEY_verify_init(ctx.get()), NTE_BAD_KEY, "EVP_PKEY_verify_init");
    int r = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
    ERR_clear_error();
    return r == 1;
}

namespace {

CtxPtr RsaCtx(const Key& key, HashAlg alg, ByteView digest, bool sign) {
    if (!key || key.IsGost() || key.alg() != KeyAlg::Rsa) throw Error(NTE_BAD_KEY, "not an RSA key");
    if (alg != HashAlg::Sha1 && alg != HashAlg::Sha256) throw Error(NTE_BAD_ALGID, "RSA signature hash");
    if (digest.size() != HashSize(alg)) throw Error(NTE_BAD_HASH, "digest length");
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx) detail::ThrowOpenSsl(NTE_BAD_KEY, "RSA key");
    detail::CheckOpenSsl(sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get()), NTE_BAD_KEY,
                         "RSA init");
    detail::CheckOpenSsl(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), NTE_FAIL, "RSA padding");
    detail::CheckOpenSsl(EVP_PKEY_CTX_set_signature_md(ctx.get(), detail::HashMd(alg)), NTE_FAIL, "RSA digest");
    return ctx;
}

}  // namespace

Bytes RsaSignDigest(const Key& key, HashAlg alg, ByteView digest) {
    CtxPtr ctx = RsaCtx(key, alg, digest, true);
    size_t len = 0;
    detail::CheckOpenSsl(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()), NTE_FAIL,
                         "EVP_PKEY_sign");
    Bytes sig(len);
    detail::CheckOpenSsl(EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()), NTE_FAIL,
                         "EVP_PKEY_sign");
    sig.resize(len);
    return sig;
}

bool RsaVerifyDigest(const Key& key, HashAlg alg, ByteView digest, ByteView signature) {
    CtxPtr ctx = RsaCtx(key, alg, digest, false);
    int r = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
    ERR_clear_error();
    return r == 1;
}

// ---------------------------------------------------------------------------
namespace {

void CheckAgreement(const Key& priv, const Key& peer, ByteView ukm) {
    if (!priv.IsGost() || !peer.IsGost()) throw Error(NTE_BAD_KEY, "VKO needs GOST keys");
    if (!priv.HasPrivate()) throw Error(NTE_NO_KEY, "VKO: no private key");
    if (priv.alg() != peer.alg() || priv.Paramset() != peer.Paramset())
        throw Error(NTE_BAD_PUBLIC_KEY, "VKO: keys on different parameter sets");
    if (ukm.empty() || ukm.size() > 16) throw Error(NTE_BAD_DATA, "VKO: UKM length");
}

// The agreement through the engine: 2001 keys give GOST R 34.11-94 of the
// point, 2012 keys Streebog-256 of it (8-byte UKM only).
Secret EngineVko(const Key& priv, const Key& peer, ByteView ukm8) {
    CtxPtr ctx = CtxFor(priv, "VKO");
    detail::CheckOpenSsl(EVP_PKEY_derive_init(ctx.get()), NTE_BAD_KEY, "EVP_PKEY_derive_init");
    detail::CheckOpenSsl(EVP_PKEY_derive_set_peer(ctx.get(), peer.get()), NTE_BAD_PUBLIC_KEY,
                         "EVP_PKEY_derive_set_peer");
    detail::CheckOpenSsl(EVP_PKEY_CTX_ctrl(ctx.get(), -1, EVP_PKEY_OP_DERIVE, EVP_PKEY_CTRL_SET_IV,
                                           static_cast<int>(ukm8.size()), const_cast<uint8_t*>(ukm8.data())),
                         NTE_FAIL, "VKO UKM");
    Secret out(32);
    size_t len = out.size();
    detail::CheckOpenSsl(EVP_PKEY_derive(ctx.get(), out.data(), &len), NTE_FAIL, "EVP_PKEY_derive");
    if (len != 32) detail::ThrowOpenSsl(NTE_FAIL, "EVP_PKEY_derive");
    return out;
}

}  // namespace

Secret VkoPoint(const Key& priv, const Key& peerPublic, ByteView ukm) {
    CheckAgreement(priv, peerPublic, ukm);
    EC_KEY* ec = EcOf(priv, "VKO");
    const EC_GROUP* g = EC_KEY_get0_group(ec);
    const EC_POINT* q = EC_KEY_get0_public_key(EcOf(peerPublic, "VKO"));
    if (!q) throw Error(NTE_BAD_PUBLIC_KEY, "VKO: no peer public key");
    BnCtxPtr bnctx(BN_CTX_new());
    BnPtr t = LeToBn(ukm), h(BN_new());
    PointPtr k(EC_POINT_new(g));
    if (!bnctx || !h || !k) detail::ThrowOpenSsl(NTE_NO_MEMORY, "VKO");
    if (BN_is_zero(t.get())) BN_one(t.get());
    const BIGNUM* order = EC_GROUP_get0_order(g);
    // (cofactor * UKM * d) mod q, times the peer's point.
    bool ok = EC_GROUP_get_cofactor(g, h.get(), bnctx.get()) == 1 &&
              BN_mod_mul(t.get(), t.get(), EC_KEY_get0_private_key(ec), order, bnctx.get()) == 1 &&
              BN_mod_mul(t.get(), t.get(), h.get(), order, bnctx.get()) == 1 &&
              EC_POINT_mul(g, k.get(), nullptr, q, t.get(), bnctx.get()) == 1;
    if (!ok || EC_POINT_is_at_infinity(g, k.get())) detail::ThrowOpenSsl(NTE_BAD_PUBLIC_KEY, "VKO point");
    std::size_t n = GostKeyBytes(priv.alg());
    BnPtr x(BN_new()), y(BN_new());
    if (!x || !y || EC_POINT_get_affine_coordinates(g, k.get(), x.get(), y.get(), bnctx.get()) != 1)
        detail::ThrowOpenSsl(NTE_FAIL, "VKO point");
    Secret out(2 * n);
    BnToLe(x.get(), out.data(), n, "VKO point");
    BnToLe(y.get(), out.data() + n, n, "VKO point");
    return out;
}

Secret Vko2001(const Key& priv, const Key& peerPublic, ByteView ukm8) {
    CheckAgreement(priv, peerPublic, ukm8);
    if (priv.alg() != KeyAlg::Gost2001) throw Error(NTE_BAD_KEY, "VKO 2001 needs 2001 keys");
    if (ukm8.size() != 8) throw Error(NTE_BAD_DATA, "VKO: UKM length");
    return EngineVko(priv, peerPublic, ukm8);
}

Secret Vko2012(const Key& priv, const Key& peerPublic, ByteView ukm, std::size_t outBytes) {
    CheckAgreement(priv, peerPublic, ukm);
    if (priv.alg() == KeyAlg::Gost2001) throw Error(NTE_BAD_KEY, "VKO 2012 needs 2012 keys");
    if (outBytes != 32 && outBytes != 64) throw Error(NTE_BAD_LEN, "VKO 2012 output length");
    if (outBytes == 32 && ukm.size() == 8) return EngineVko(priv, peerPublic, ukm);
    Secret point = VkoPoint(priv, peerPublic, ukm);
    Hash h(outBytes == 32 ? HashAlg::Streebog256 : HashAlg::Streebog512);
    h.Update(point.view());
    Secret out(outBytes);
    h.Final(out.data());
    return out;
}

Secret Vko(const Key& priv, const Key& peer, ByteView ukm8) {
    return priv.alg() == KeyAlg::Gost2001 ? Vko2001(priv, peer, ukm8) : Vko2012(priv, peer, ukm8, 32);
}

}  // namespace cert::gost
