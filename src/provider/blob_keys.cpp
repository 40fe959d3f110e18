// Key blobs: export and import of public keys (type 6), session keys
// wrapped for transport (simple blob, type 1) and private keys wrapped by a
// protection key (type 7). Layouts in docs/FORMATS.md, "Key blobs and key
// transport".
#include <cstring>

#include <openssl/crypto.h>

#include "cert/asn.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace {

constexpr std::size_t kSimpleFixed = 60;   // up to the parameter-set tail
constexpr std::size_t kPrivateFixed = 40;  // up to the encrypted part

// The KEK to wrap under `exp` (a copy): an agreement key gives VKO with the
// UKM, a symmetric key its own bytes (diversified by the UKM when wrapping).
gost::Bytes KekFor(KeyObj& exp, gost::ByteView ukm) {
    if (exp.cls != AlgClass::Cipher) Throw(NTE_BAD_KEY);
    if (exp.agreePrivate) return AgreementKek(exp, ukm);
    if (exp.secret.size() != 32) Throw(NTE_BAD_KEY);
    return exp.secret;
}

IdentObj UkmFor(KeyObj& exp) {
    if (exp.ukm.size() == 8) return exp.ukm;
    if (exp.agreePrivate) {
        std::lock_guard<std::mutex> lock(exp.agreePrivate->mu);
        if (exp.agreePrivate->ukm.size() == 8) return exp.agreePrivate->ukm;
    }
    return gost::ToIdent(gost::RandomBytes(8));
}

std::string SboxFromTail(gost::ByteView tail) {
    if (tail.empty()) return gost::kSboxA;
    try {
        asn::Reader r(tail);
        std::string oid;
        if (r.NextIs(asn::kUniversal, asn::kOid)) {
            oid = r.ReadOid();
        } else {
            asn::Reader s = r.EnterSequence();
            oid = s.ReadOid();
        }
        if (!gost::IsCipherParamset(oid)) Throw(NTE_BAD_ALGID);
        return oid;
    } catch (const XTOOStatus&) {
        Throw(NTE_BAD_DATA);
    }
}

IdentObj ExportSimple(KeyObj& key, KeyObj& exp) {
    if (key.cls != AlgClass::Cipher || key.secret.size() != 32 || key.agreePrivate) Throw(NTE_BAD_KEY);
    IdentObj ukm = UkmFor(exp);
    gost::Bytes kek = KekFor(exp, gost::View(ukm));
    gost::WrappedKey w = gost::WrapKey(gost::KeyWrap::Diversified, kek, key.sbox, gost::View(ukm), key.secret);
    gost::Cleanse(kek);
    // Every key sent to one recipient goes with the same UKM.
    if (exp.agreePrivate) exp.ukm = ukm;
    IdentObj blob;
    BLOBHEADER h{SIMPLEBLOB, VRK_SIMPLE_BLOB_VERSION, 0, key.alg};
    blob.AddData(&h, sizeof h);
    PutU32(blob, VRK_SIMPLEBLOB_MAGIC);
    PutU32(blob, CALG_GOST_28147);
    blob.AddData(ukm);
    blob.AddData(w.encryptedKey.data(), DWORD(w.encryptedKey.size()));
    blob.AddData(w.mac.data(), DWORD(w.mac.size()));
    asn::Writer t;
    auto m = t.BeginSequence();
    t.Oid(key.sbox);
    t.End(m);
    blob.AddData(t.Take());
    return blob;
}

std::shared_ptr<KeyObj> ImportSimple(gost::ByteView blob, KeyObj& imp) {
    if (blob.size() < kSimpleFixed) Throw(NTE_BAD_LEN);
    BLOBHEADER h;
    std::memcpy(&h, blob.data(), sizeof h);
    if (h.bVersion != VRK_SIMPLE_BLOB_VERSION) Throw(NTE_BAD_VER);
    if (GetU32(blob.data() + 8) != VRK_SIMPLEBLOB_MAGIC) Throw(NTE_BAD_TYPE);
    const AlgInfo* info = FindAlg(h.aiKeyAlg);
    if (!info || info->cls != AlgClass::Cipher || GetU32(blob.data() + 12) != CALG_GOST_28147) Throw(NTE_BAD_ALGID);
    gost::ByteView ukm = blob.subspan(16, 8);
    std::string sbox = SboxFromTail(blob.subspan(kSimpleFixed));
    gost::Bytes kek = KekFor(imp, ukm);
    auto k = std::make_shared<KeyObj>();
    k->secret = gost::UnwrapKey(gost::KeyWrap::Diversified, kek, sbox, ukm, blob.subspan(24, 32), blob.subspan(56, 4));
    gost::Cleanse(kek);
    k->alg = h.aiKeyAlg;
    k->cls = AlgClass::Cipher;
    k->sbox = sbox;
    k->iv.Alloc(8);
    k->exportable = true;
    return k;
}

IdentObj ExportPrivate(KeyObj& key, KeyObj& exp) {
    if (!IsAsymmetric(key.cls) || !key.key || !key.key.HasPrivate()) Throw(NTE_BAD_KEY);
    if (exp.cls != AlgClass::Cipher || exp.secret.size() != 32) Throw(NTE_BAD_KEY);
    gost::Bytes priv = key.key.IsGost() ? gost::PrivateKeyToRaw(key.key) : gost::ExportPrivateKeyDer(key.key);
    asn::Writer p;
    auto m = p.BeginSequence();
    p.String(asn::kUtf8String, key.paramSet).String(asn::kUtf8String, key.hashParamSet);
    p.OctetString(key.publicRaw).OctetString(asn::Bytes(priv.data(), priv.size()));
    p.End(m);
    gost::Cleanse(priv);
    IdentObj clear = p.Take();
    p.Clear();
    gost::Bytes ukm = gost::RandomBytes(8);
    gost::Bytes kek = gost::DiversifyKek(exp.secret, exp.sbox, ukm);
    gost::Bytes mac = gost::ComputeMac(kek, exp.sbox, ukm, gost::View(clear), 4);
    gost::Bytes enc = gost::Encrypt(gost::CipherMode::Cfb, kek, exp.sbox, ukm, gost::View(clear), false);
    gost::Cleanse(kek);
    IdentObj blob;
    BLOBHEADER h{PRIVATEKEYBLOB, VRK_SIMPLE_BLOB_VERSION, 0, key.alg};
    blob.AddData(&h, sizeof h);
    PutU32(blob, VRK_PRIVATEKEY_MAGIC);
    PutU32(blob, exp.alg);
    blob.AddData(ukm.data(), 8);
    PutU32(blob, key.spec);
    PutU32(blob, key.exportable ? 1 : 0);
    PutU32(blob, clear.size());
    blob.AddData(mac.data(), 4);
    blob.AddData(enc.data(), DWORD(enc.size()));
    clear.Wipe();
    return blob;
}

std::shared_ptr<KeyObj> ImportPrivate(gost::ByteView blob, KeyObj& imp) {
    if (blob.size() < kPrivateFixed) Throw(NTE_BAD_LEN);
    BLOBHEADER h;
    std::memcpy(&h, blob.data(), sizeof h);
    if (h.bVersion != VRK_SIMPLE_BLOB_VERSION) Throw(NTE_BAD_VER);
    if (GetU32(blob.data() + 8) != VRK_PRIVATEKEY_MAGIC) Throw(NTE_BAD_TYPE);
    const AlgInfo* info = FindAlg(h.aiKeyAlg);
    if (!info || !IsAsymmetric(info->cls) || info->cls == AlgClass::Ephemeral) Throw(NTE_BAD_ALGID);
    if (imp.cls != AlgClass::Cipher || imp.secret.size() != 32) Throw(NTE_BAD_KEY);
    gost::ByteView ukm = blob.subspan(16, 8);
    DWORD spec = GetU32(blob.data() + 24);
    DWORD flags = GetU32(blob.data() + 28);
    DWORD clearLen = GetU32(blob.data() + 32);
    if (clearLen != blob.size() - kPrivateFixed) Throw(NTE_BAD_LEN);
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) Throw(NTE_BAD_DATA);
    gost::Bytes kek = gost::DiversifyKek(imp.secret, imp.sbox, ukm);
    gost::Bytes clear = gost::Decrypt(gost::CipherMode::Cfb, kek, imp.sbox, ukm, blob.subspan(kPrivateFixed), false);
    gost::Bytes mac = gost::ComputeMac(kek, imp.sbox, ukm, clear, 4);
    gost::Cleanse(kek);
    if (CRYPTO_memcmp(mac.data(), blob.data() + 36, 4) != 0) {
        gost::Cleanse(clear);
        Throw(NTE_BAD_DATA);
    }
    auto k = std::make_shared<KeyObj>();
    k->alg = h.aiKeyAlg;
    k->cls = info->cls;
    k->spec = spec;
    k->exportable = flags & 1;
    try {
        asn::Reader top(clear.data(), clear.size());
        asn::Reader r = top.EnterSequence();
        k->paramSet = r.ReadString();
        k->hashParamSet = r.ReadString();
        IdentObj pub = r.ReadOctetString();
        IdentObj priv = r.ReadOctetString();
        gost::KeyAlg ka = KeyAlgOf(k->alg);
        k->key = ka == gost::KeyAlg::Rsa ? gost::ImportPrivateKeyDer(gost::View(priv))
                                         : gost::PrivateKeyFromRaw(ka, k->paramSet, gost::View(priv));
        priv.Wipe();
        k->publicRaw = k->key.IsGost() ? gost::ToIdent(gost::PublicKeyToRaw(k->key)) : pub;
        if (k->publicRaw != pub) Throw(NTE_BAD_DATA);
    } catch (const XTOOStatus&) {
        gost::Cleanse(clear);
        Throw(NTE_BAD_DATA);
    }
    gost::Cleanse(clear);
    return k;
}

}  // namespace
}  // namespace vrk

using namespace vrk;

BOOL VRKExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD blobType, DWORD flags, IdentObj& blob) {
    return Guard([&] {
        (void)flags;  // 0x20 and the like: the wrap is always the diversified one
        auto k = GetKey(hKey);
        std::shared_ptr<KeyObj> exp = hExpKey ? GetKey(hExpKey) : nullptr;
        std::scoped_lock lock(k->mu);
        switch (blobType) {
            case PUBLICKEYBLOB:
                blob = MakePublicKeyBlob(*k);
                return;
            case SIMPLEBLOB: {
                if (!exp || exp == k) Throw(NTE_BAD_KEY);
                std::lock_guard<std::mutex> l2(exp->mu);
                blob = ExportSimple(*k, *exp);
                return;
            }
            case PRIVATEKEYBLOB: {
                if (!exp || exp == k) Throw(NTE_BAD_KEY);
                std::lock_guard<std::mutex> l2(exp->mu);
                blob = ExportPrivate(*k, *exp);
                return;
            }
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}

BOOL VRKImportKey(HCRYPTPROV hProv, const BYTE* blob, DWORD size, HCRYPTKEY hImpKey, DWORD flags, HCRYPTKEY* phKey) {
    return Guard([&] {
        if (!phKey || (!blob && size)) Throw(ERROR_INVALID_PARAMETER);
        *phKey = 0;
        auto p = GetProv(hProv);
        if (size < sizeof(BLOBHEADER)) Throw(NTE_BAD_LEN);
        gost::ByteView b(blob, size);
        std::shared_ptr<KeyObj> imp = hImpKey ? GetKey(hImpKey) : nullptr;
        switch (blob[0]) {
            case PUBLICKEYBLOB: {
                auto pub = std::make_shared<KeyObj>();
                ParsePublicKeyBlob(b, *pub);
                if (!imp) {
                    *phKey = Keys().Add(std::move(pub));
                    return;
                }
                // Against a private key: the agreement key of the two.
                std::lock_guard<std::mutex> lock(imp->mu);
                if (!imp->key || !imp->key.HasPrivate() || !imp->key.IsGost()) Throw(NTE_BAD_KEY);
                if (imp->pending) Throw(NTE_BAD_KEY_STATE);
                auto a = std::make_shared<KeyObj>();
                a->alg = CALG_GOST_28147;
                a->cls = AlgClass::Cipher;
                a->agreePrivate = CopyKey(*imp);
                a->agreePeer = pub->key;
                a->ukm = imp->ukm;
                a->sbox = gost::kSboxA;
                a->iv.Alloc(8);
                *phKey = Keys().Add(std::move(a));
                return;
            }
            case SIMPLEBLOB: {
                if (!imp) Throw(NTE_BAD_KEY);
                std::lock_guard<std::mutex> lock(imp->mu);
                *phKey = Keys().Add(ImportSimple(b, *imp));
                return;
            }
            case PRIVATEKEYBLOB: {
                std::lock_guard<std::mutex> plock(p->mu);
                if (!imp && p->protectionKey) imp = GetKey(p->protectionKey);
                if (!imp) Throw(NTE_BAD_KEY);
                std::shared_ptr<KeyObj> k;
                {
                    std::lock_guard<std::mutex> lock(imp->mu);
                    k = ImportPrivate(b, *imp);
                }
                if (flags & CRYPT_EXPORTABLE) k->exportable = true;
                StoreContainerKey(*p, *k);
                *phKey = Keys().Add(std::move(k));
                return;
            }
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}
