// Keys: container keys, generation, derivation, parameters, signatures and
// 28147-89 encryption.
#include <cstring>

#include "cert/asn.h"
#include "cert/oids.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace {

std::string OpenedKey(const Target& t, DWORD spec) {
    return std::string(t.machine ? "m|" : "u|") + t.name + "|" + std::to_string(spec);
}

bool IsAlgorithmOid(const std::string& oid) {
    return oid == cert::oids::kGostR3410_2001 || oid == cert::oids::kGostR3410_2001DH ||
           oid == cert::oids::kGostR3410_2012_256 || oid == cert::oids::kGostR3410_2012_512 ||
           oid == cert::oids::kGostR3410_2012_256DH || oid == cert::oids::kGostR3410_2012_512DH;
}

std::string ChooseParamSet(gost::KeyAlg alg, const std::string& asked) {
    if (alg == gost::KeyAlg::Rsa) return {};
    if (asked.empty() || IsAlgorithmOid(asked)) return gost::DefaultParamset(alg);
    if (gost::IsParamsetFor(alg, asked)) return asked;
    // A set of another key size (callers derive exchange sets from signature
    // sets by a table made for 256-bit keys) gives way to the default.
    for (gost::KeyAlg other : {gost::KeyAlg::Gost2001, gost::KeyAlg::Gost2012_256, gost::KeyAlg::Gost2012_512})
        if (gost::IsParamsetFor(other, asked)) return gost::DefaultParamset(alg);
    Throw(NTE_BAD_ALGID);
}

// The key algorithm a generated signature or exchange key gets.
gost::KeyAlg GenKeyAlg(const ProvObj& p, ALG_ID& alg, DWORD bits) {
    if (alg == AT_KEYEXCHANGE || alg == AT_SIGNATURE) {
        gost::KeyAlg ka = gost::KeyAlg::Gost2001;
        if (p.type == VRK_PROV_TYPE_GOST_2012_256 || bits == 256) ka = gost::KeyAlg::Gost2012_256;
        if (p.type == VRK_PROV_TYPE_GOST_2012_512 || bits == 512) ka = gost::KeyAlg::Gost2012_512;
        if (p.type == VRK_PROV_TYPE_GOST && bits == 256) ka = gost::KeyAlg::Gost2001;
        alg = alg == AT_SIGNATURE ? SignAlgOf(ka) : ExchangeAlgOf(ka);
        return ka;
    }
    const AlgInfo* info = FindAlg(alg);
    return info && IsAsymmetric(info->cls) ? KeyAlgOf(alg) : gost::KeyAlg::Gost2001;
}

void FillPublic(KeyObj& k) {
    if (k.key.IsGost()) {
        k.paramSet = k.key.Paramset();
        gost::Bytes raw = gost::PublicKeyToRaw(k.key);
        k.publicRaw = gost::ToIdent(raw);
    } else {
        gost::Bytes der = gost::ExportPublicKeyDer(k.key);
        k.publicRaw = gost::ToIdent(der);
    }
}

Secret PrivateBytes(const KeyObj& k) {
    return k.key.IsGost() ? gost::PrivateKeyToRaw(k.key) : gost::ExportPrivateKeyDer(k.key);
}

// The key algorithm an ephemeral key takes from the digest parameter set it
// is told (the recipient's).
gost::KeyAlg EphemeralKeyAlg(const KeyObj& k) {
    if (k.hashParamSet == cert::oids::kGostR3411_2012_512 || k.paramSet.rfind("1.2.643.7.1.2.1.2.", 0) == 0)
        return gost::KeyAlg::Gost2012_512;
    if (k.hashParamSet == cert::oids::kGostR3411_2012_256) return gost::KeyAlg::Gost2012_256;
    // TC26 256-bit sets exist for 2012 keys only.
    if (!k.paramSet.empty() && !gost::IsParamsetFor(gost::KeyAlg::Gost2001, k.paramSet) &&
        gost::IsParamsetFor(gost::KeyAlg::Gost2012_256, k.paramSet))
        return gost::KeyAlg::Gost2012_256;
    return KeyAlgOf(k.alg);
}

void GenerateAsymmetric(KeyObj& k, gost::KeyAlg ka) {
    if (ka == gost::KeyAlg::Rsa) {
        k.key = gost::GenerateRsaKey(2048);
    } else {
        k.paramSet = ChooseParamSet(ka, k.paramSet);
        k.key = gost::GenerateKey(ka, k.paramSet);
        if (k.hashParamSet.empty()) k.hashParamSet = DefaultHashParamSet(ka);
        if (k.cls == AlgClass::Ephemeral) k.alg = EphemeralAlgOf(ka);
    }
    FillPublic(k);
    k.pending = false;
}

DWORD ReadDword(const IdentObj& v) {
    try {
        le::Reader r(v);
        DWORD x = r.U32();
        r.Finish();
        return x;
    } catch (const le::Error&) {
        Throw(NTE_BAD_DATA);
    }
}

std::shared_ptr<ProvObj> ProvOfHash(HashObj& h) {
    auto p = h.prov.lock();
    if (!p) Throw(NTE_BAD_UID);
    return p;
}

void CheckDigestFor(const KeyObj& k, const IdentObj& digest) {
    if (!k.key.IsGost()) return;
    if (digest.size() != gost::GostKeyBytes(k.key.alg())) Throw(NTE_BAD_HASH);
}

gost::HashAlg RsaHashOf(ALG_ID alg) {
    if (alg == CALG_SHA1) return gost::HashAlg::Sha1;
    if (alg == CALG_SHA_256) return gost::HashAlg::Sha256;
    Throw(NTE_BAD_HASH);
}

}  // namespace

void ForgetOpened(ProvObj& p) { p.opened.clear(); }

std::shared_ptr<KeyObj> OpenContainerKey(ProvObj& p, DWORD spec) { return CopyKey(*OpenedContainerKey(p, spec)); }

std::shared_ptr<KeyObj> OpenedContainerKey(ProvObj& p, DWORD spec) {
    Target t = CurrentContainer(p);
    if (spec > AT_SIGNATURE) Throw(NTE_BAD_KEY);
    // A key opened before stays good while the file is the same one.
    std::string stamp = store::Stamp(t.name, t.machine);
    const DWORD order[2] = {spec ? spec : AT_SIGNATURE, AT_KEYEXCHANGE};
    for (int i = 0; i < (spec ? 1 : 2); ++i) {
        auto it = p.opened.find(OpenedKey(t, order[i]));
        if (it != p.opened.end() && !stamp.empty() && it->second.first == stamp) return it->second.second;
        if (!spec && it == p.opened.end()) break;  // the default key is found through the file
    }
    Container c;
    if (DWORD rc = store::Load(t.name, t.machine, c)) Throw(rc);
    const StoredKey* sk = spec ? c.Find(spec) : c.Default();
    if (!sk) Throw(NTE_NO_KEY);
    std::string cacheKey = OpenedKey(t, sk->spec);
    Secret savedHolder;
    const Secret* pw = PasswordFor(p, sk->spec, savedHolder);
    Secret secret;
    DWORD rc = store::Unseal(*sk, t.machine, pw, secret);
    if (rc == ERROR_CANCELLED) {
        Secret asked;
        if (AskPassword(p, t, sk->spec, VRK_PROMPT_OPEN_KEY, asked) == Prompted::Given) {
            rc = store::Unseal(*sk, t.machine, &asked, secret);
            if (!rc) KeepPromptedPassword(p, t, sk->spec, asked);
        }
    }
    if (rc) Throw(rc);
    auto k = std::make_shared<KeyObj>();
    k->alg = sk->alg;
    const AlgInfo* info = FindAlg(sk->alg);
    if (!info || !IsAsymmetric(info->cls)) Throw(NTE_KEYSET_ENTRY_BAD);
    k->cls = info->cls;
    k->spec = sk->spec;
    k->exportable = sk->exportable != 0;
    k->container = t.name;
    k->machine = t.machine;
    k->paramSet = sk->paramSet;
    k->hashParamSet = sk->hashParamSet;
    k->certificate = sk->certificate;
    try {
        gost::KeyAlg ka = KeyAlgOf(sk->alg);
        k->key = ka == gost::KeyAlg::Rsa ? gost::ImportPrivateKeyDer(secret.view())
                                         : gost::PrivateKeyFromRaw(ka, sk->paramSet, secret.view());
    } catch (...) {
        Throw(NTE_KEYSET_ENTRY_BAD);
    }
    FillPublic(*k);
    if (k->publicRaw != sk->publicKey) Throw(NTE_KEYSET_ENTRY_BAD);
    if (p.savePassword && pw && pw != &savedHolder && t.name == p.container)
        store::SavePassword(t.name, t.machine, *pw);
    p.opened[cacheKey] = {stamp, k};
    return k;
}

void StoreContainerKey(ProvObj& p, KeyObj& k, bool replace) {
    Target t = CurrentContainer(p);
    if (p.verify && t.name.empty()) Throw(NTE_BAD_KEYSET);
    StoredKey sk;
    sk.spec = k.spec;
    sk.alg = k.alg;
    sk.paramSet = k.paramSet;
    sk.hashParamSet = k.hashParamSet;
    sk.publicKey = k.publicRaw;
    sk.certificate = k.certificate;
    sk.exportable = k.exportable ? 1 : 0;
    GetSystemTimeAsFileTime(&sk.created);
    // Keys are made for a year and three months, the longest a certificate
    // for them runs.
    sk.notAfter = cert::platform::U64ToFileTime(cert::platform::FileTimeToU64(sk.created) +
                                                ULONGLONG(456) * 24 * 3600 * 10000000ull);
    Secret savedHolder;
    const Secret* pw = PasswordFor(p, k.spec, savedHolder);
    if (pw && pw->empty()) pw = nullptr;
    Secret asked;
    if (!pw) {
        switch (AskPassword(p, t, k.spec, VRK_PROMPT_NEW_KEY, asked)) {
            case Prompted::Cancelled:
                Throw(ERROR_CANCELLED);
            case Prompted::Given:
                if (!asked.empty()) pw = &asked;
                break;
            case Prompted::NoPrompt:
                break;
        }
    }
    store::Seal(sk, t.machine, pw, PrivateBytes(k).view());
    DWORD rc = store::Update(t.name, t.machine, [&](Container& c) -> DWORD {
        if (StoredKey* old = c.Find(sk.spec)) {
            if (!replace) return NTE_EXISTS;
            *old = sk;
        } else {
            c.keys.push_back(sk);
        }
        return 0;
    });
    if (rc) Throw(rc);
    if (pw == &asked) KeepPromptedPassword(p, t, k.spec, asked);
    ForgetOpened(p);
    k.container = t.name;
    k.machine = t.machine;
}

std::shared_ptr<KeyObj> CopyKey(const KeyObj& k) {
    auto d = std::make_shared<KeyObj>();
    d->alg = k.alg;
    d->cls = k.cls;
    d->spec = k.spec;
    d->exportable = k.exportable;
    d->container = k.container;
    d->machine = k.machine;
    d->key = k.key;
    d->paramSet = k.paramSet;
    d->hashParamSet = k.hashParamSet;
    d->publicRaw = k.publicRaw;
    d->pending = k.pending;
    d->ukm = k.ukm;
    d->certificate = k.certificate;
    d->agreePrivate = k.agreePrivate;
    d->agreePeer = k.agreePeer;
    d->secret = k.secret;
    d->sbox = k.sbox;
    d->iv = k.iv;
    d->meshing = k.meshing;
    return d;
}

Secret AgreementKek(KeyObj& a, gost::ByteView ukm) {
    if (!a.agreePrivate || !a.agreePeer) Throw(NTE_BAD_KEY);
    if (ukm.size() != 8) Throw(NTE_BAD_KEY_STATE);
    std::lock_guard<std::mutex> lock(a.agreePrivate->mu);
    return gost::Vko(a.agreePrivate->key, a.agreePeer, ukm);
}

}  // namespace vrk

using namespace vrk;

BOOL VRKGetUserKey(HCRYPTPROV hProv, DWORD keySpec, HCRYPTKEY* phKey) {
    return Guard([&] {
        if (!phKey) Throw(ERROR_INVALID_PARAMETER);
        *phKey = 0;
        auto p = GetProv(hProv);
        std::lock_guard<std::mutex> lock(p->mu);
        *phKey = Keys().Add(OpenContainerKey(*p, keySpec));
    });
}

BOOL VRKGenKey(HCRYPTPROV hProv, ALG_ID alg, DWORD flags, HCRYPTKEY* phKey) {
    return Guard([&] {
        if (!phKey) Throw(ERROR_INVALID_PARAMETER);
        *phKey = 0;
        auto p = GetProv(hProv);
        std::lock_guard<std::mutex> lock(p->mu);
        DWORD bits = flags >> 16;
        auto k = std::make_shared<KeyObj>();
        k->exportable = (flags & CRYPT_EXPORTABLE) != 0;
        gost::KeyAlg ka = GenKeyAlg(*p, alg, bits);
        const AlgInfo* info = FindAlg(alg);
        if (!info) Throw(NTE_BAD_ALGID);
        k->alg = alg;
        k->cls = info->cls;
        switch (info->cls) {
            case AlgClass::Sign:
            case AlgClass::Exchange:
            case AlgClass::RsaSign:
            case AlgClass::RsaExchange: {
                if (p->verify) Throw(NTE_BAD_KEYSET);
                if (ka != gost::KeyAlg::Rsa && bits && bits != 8 * gost::GostKeyBytes(ka)) Throw(NTE_BAD_FLAGS);
                bool sign = info->cls == AlgClass::Sign || info->cls == AlgClass::RsaSign;
                k->spec = sign ? AT_SIGNATURE : AT_KEYEXCHANGE;
                k->paramSet = sign ? p->signParamSet : p->exchangeParamSet;
                GenerateAsymmetric(*k, ka);
                StoreContainerKey(*p, *k);
                break;
            }
            case AlgClass::Ephemeral:
                k->pending = true;
                if (!(flags & CRYPT_PREGEN)) GenerateAsymmetric(*k, EphemeralKeyAlg(*k));
                break;
            case AlgClass::Cipher:
                k->secret = gost::RandomSecret(32);
                k->sbox = DefaultSboxOf(alg);
                k->iv = gost::ToIdent(gost::RandomBytes(8));
                break;
            default:
                Throw(NTE_BAD_ALGID);
        }
        *phKey = Keys().Add(std::move(k));
    });
}

BOOL VRKDeriveKey(HCRYPTPROV hProv, ALG_ID alg, HCRYPTHASH hBaseData, DWORD flags, HCRYPTKEY* phKey) {
    return Guard([&] {
        if (!phKey) Throw(ERROR_INVALID_PARAMETER);
        *phKey = 0;
        GetProv(hProv);
        const AlgInfo* info = FindAlg(alg);
        if (!info || info->cls != AlgClass::Cipher) Throw(NTE_BAD_ALGID);
        auto h = GetHash(hBaseData);
        Secret value;
        {
            std::lock_guard<std::mutex> lock(h->mu);
            const IdentObj& v = HashValue(*h);
            value.Assign(v.data(), v.size());
        }
        auto k = std::make_shared<KeyObj>();
        k->alg = alg;
        k->cls = AlgClass::Cipher;
        k->exportable = (flags & CRYPT_EXPORTABLE) != 0;
        // The key is the Streebog-256 digest of the hash value, whatever its length.
        gost::Hash derive(gost::HashAlg::Streebog256);
        derive.Update(value.view());
        k->secret.Resize(derive.size());
        derive.Final(k->secret.data());
        k->sbox = DefaultSboxOf(alg);
        k->iv.Alloc(8);
        *phKey = Keys().Add(std::move(k));
    });
}

BOOL VRKDuplicateKey(HCRYPTKEY hKey, HCRYPTKEY* phKey) {
    return Guard([&] {
        if (!phKey) Throw(ERROR_INVALID_PARAMETER);
        *phKey = 0;
        auto k = GetKey(hKey);
        std::lock_guard<std::mutex> lock(k->mu);
        *phKey = Keys().Add(CopyKey(*k));
    });
}

BOOL VRKDestroyKey(HCRYPTKEY hKey) {
    return Guard([&] {
        if (!Keys().Remove(hKey)) Throw(NTE_BAD_KEY);
    });
}

BOOL VRKGetKeyParam(HCRYPTKEY hKey, DWORD param, IdentObj& out, DWORD flags) {
    return Guard([&] {
        auto k = GetKey(hKey);
        if (flags) Throw(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> lock(k->mu);
        out.Empty();
        switch (param) {
            case KP_ALGID:
                out = U32Value(k->alg);
                return;
            case KP_KEYLEN:
                out = U32Value(k->cls == AlgClass::Cipher ? 256 : k->key ? DWORD(k->key.Bits()) : 0);
                return;
            case KP_IV:
                out = k->cls == AlgClass::Cipher && !k->agreePrivate ? k->iv : k->ukm;
                return;
            case KP_CERTIFICATE:
                if (k->certificate.IsEmpty()) Throw(NTE_NOT_FOUND);
                out = k->certificate;
                return;
            case VRK_KP_MESHING:
                out = U32Value(k->meshing);
                return;
            case VRK_KP_HASH_PARAMSET:
                out.Assign(k->hashParamSet.data(), DWORD(k->hashParamSet.size()));
                return;
            case VRK_KP_PUBKEY_PARAMSET:
                out.Assign(k->paramSet.data(), DWORD(k->paramSet.size()));
                return;
            case VRK_KP_CIPHER_PARAMSET:
                if (k->cls != AlgClass::Cipher) Throw(NTE_BAD_TYPE);
                out.Assign(k->sbox.data(), DWORD(k->sbox.size()));
                return;
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}

BOOL VRKSetKeyParam(HCRYPTKEY hKey, DWORD param, const IdentObj& value, DWORD flags) {
    return Guard([&] {
        auto k = GetKey(hKey);
        if (flags) Throw(NTE_BAD_FLAGS);
        std::lock_guard<std::mutex> lock(k->mu);
        switch (param) {
            case KP_IV:
                if (value.size() != 8) Throw(NTE_BAD_DATA);
                if (k->cls == AlgClass::Cipher && !k->agreePrivate) {
                    k->iv = value;
                    k->stream.reset();
                } else {
                    k->ukm = value;
                    if (k->agreePrivate) {  // the KEK follows the UKM
                        k->secret.Clear();
                        k->stream.reset();
                    }
                }
                return;
            case KP_CERTIFICATE: {
                if (!IsAsymmetric(k->cls) || k->container.empty()) Throw(NTE_BAD_KEY);
                DWORD rc = store::Update(k->container, k->machine, [&](Container& c) -> DWORD {
                    StoredKey* sk = c.Find(k->spec);
                    if (!sk || sk->publicKey != k->publicRaw) return NTE_NO_KEY;
                    sk->certificate = value;
                    return 0;
                });
                if (rc) Throw(rc);
                k->certificate = value;
                return;
            }
            case VRK_KP_MESHING:
                k->meshing = ReadDword(value);
                k->stream.reset();
                return;
            case VRK_KP_HASH_PARAMSET:
            case VRK_KP_PUBKEY_PARAMSET:
                if (!k->pending) Throw(NTE_BAD_KEY_STATE);
                (param == VRK_KP_HASH_PARAMSET ? k->hashParamSet : k->paramSet) = OidText(value);
                return;
            case VRK_KP_CIPHER_PARAMSET: {
                if (k->cls != AlgClass::Cipher) Throw(NTE_BAD_TYPE);
                std::string oid = OidText(value);
                if (!gost::IsCipherParamset(oid)) Throw(NTE_BAD_ALGID);
                k->sbox = oid;
                k->stream.reset();
                return;
            }
            case KP_X:
                if (!k->pending) Throw(NTE_BAD_KEY_STATE);
                GenerateAsymmetric(*k, EphemeralKeyAlg(*k));
                return;
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}

namespace {

BOOL Crypt(bool encrypt, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL final, const void* data, DWORD size, IdentObj& out) {
    return Guard([&] {
        auto k = GetKey(hKey);
        if (!data && size) Throw(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(k->mu);
        if (k->cls != AlgClass::Cipher) Throw(NTE_BAD_KEY);
        if (k->agreePrivate && k->secret.empty()) k->secret = AgreementKek(*k, gost::View(k->ukm));
        if (k->stream && k->streamEncrypt != encrypt) Throw(NTE_BAD_KEY_STATE);
        if (!k->stream) {
            k->stream = std::make_unique<gost::Cipher>(gost::CipherMode::Cfb, encrypt, k->secret, k->sbox,
                                                       gost::View(k->iv), k->meshing == 1);
            k->streamEncrypt = encrypt;
        }
        out.Alloc(size);
        if (size) k->stream->Update(static_cast<const BYTE*>(data), size, out.data());
        if (hHash && !VRKHashData(hHash, encrypt ? static_cast<const BYTE*>(data) : out.data(), size))
            Throw(GetLastError());
        if (final) k->stream.reset();
    });
}

}  // namespace

BOOL VRKEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL final, const void* data, DWORD size, IdentObj& out) {
    return Crypt(true, hKey, hHash, final, data, size, out);
}

BOOL VRKDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL final, const void* data, DWORD size, IdentObj& out) {
    return Crypt(false, hKey, hHash, final, data, size, out);
}

BOOL VRKSignHash(HCRYPTHASH hHash, DWORD keySpec, DWORD flags, IdentObj& signature) {
    return Guard([&] {
        auto h = GetHash(hHash);
        if (flags) Throw(NTE_BAD_FLAGS);
        std::shared_ptr<KeyObj> k = h->signKey;
        if (!k || (keySpec && k->spec && keySpec != k->spec)) {
            auto p = ProvOfHash(*h);
            std::lock_guard<std::mutex> lock(p->mu);
            k = OpenedContainerKey(*p, keySpec);  // only read from here on
        }
        IdentObj digest;
        {
            std::lock_guard<std::mutex> lock(h->mu);
            digest = HashValue(*h);
        }
        gost::Bytes sig;
        if (k->key.IsGost()) {
            CheckDigestFor(*k, digest);
            sig = gost::SignDigest(k->key, gost::View(digest));
        } else {
            sig = gost::RsaSignDigest(k->key, RsaHashOf(h->alg), gost::View(digest));
        }
        gost::Bytes rev = gost::ReverseBytes(sig);
        signature = gost::ToIdent(rev);
    });
}

BOOL VRKVerifySignature(HCRYPTHASH hHash, const IdentObj& signature, HCRYPTKEY hPubKey, DWORD flags) {
    return Guard([&] {
        auto h = GetHash(hHash);
        if (flags) Throw(NTE_BAD_FLAGS);
        auto k = GetKey(hPubKey);
        IdentObj digest;
        {
            std::lock_guard<std::mutex> lock(h->mu);
            digest = HashValue(*h);
        }
        std::lock_guard<std::mutex> lock(k->mu);
        if (!k->key) Throw(NTE_BAD_KEY);
        gost::Bytes sig = gost::ReverseBytes(gost::View(signature));
        bool ok;
        if (k->key.IsGost()) {
            CheckDigestFor(*k, digest);
            ok = gost::VerifyDigest(k->key, gost::View(digest), sig);
        } else {
            ok = gost::RsaVerifyDigest(k->key, RsaHashOf(h->alg), gost::View(digest), sig);
        }
        if (!ok) Throw(NTE_BAD_SIGNATURE);
    });
}
