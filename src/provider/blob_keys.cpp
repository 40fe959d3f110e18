// Key blobs: export and import of public keys (type 6), session keys
// wrapped for transport (simple blob, type 1) and private keys wrapped by a
// protection key (type 7). Layouts in docs/FORMATS.md, "Key blobs and key
// transport".
#include "cert/asn.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace {

constexpr std::size_t kUkm = 8, kWrappedKey = 32, kWrapMac = 4;

// Simple blob (type 1): a session key wrapped for transport.
struct SimpleBlob : KeyBlobHead {
    ALG_ID wrapAlg = 0;
    gost::ByteView ukm, encryptedKey, mac;
    gost::ByteView tail;  // the parameter set, DER

    static SimpleBlob Parse(gost::ByteView blob) {
        return ParseKeyBlob<SimpleBlob>(blob, [](le::Reader& r, SimpleBlob& b) {
            b.wrapAlg = r.U32();
            b.ukm = r.Take(kUkm);
            b.encryptedKey = r.Take(kWrappedKey);
            b.mac = r.Take(kWrapMac);
            b.tail = r.Rest();
        });
    }
    IdentObj Encode() const {
        return EncodeKeyBlob(*this,
                             [&](le::Writer& w) { w.U32(wrapAlg).Put(ukm).Put(encryptedKey).Put(mac).Put(tail); });
    }
};

// Private-key blob (type 7): a key pair wrapped by a symmetric key.
struct PrivateKeyBlob : KeyBlobHead {
    ALG_ID wrapAlg = 0;
    gost::ByteView ukm;
    DWORD spec = 0;
    DWORD flags = 0;  // bit 0: exportable
    DWORD clearLength = 0;
    gost::ByteView mac, encrypted;

    static PrivateKeyBlob Parse(gost::ByteView blob) {
        return ParseKeyBlob<PrivateKeyBlob>(blob, [](le::Reader& r, PrivateKeyBlob& b) {
            b.wrapAlg = r.U32();
            b.ukm = r.Take(kUkm);
            b.spec = r.U32();
            b.flags = r.U32();
            b.clearLength = r.U32();
            b.mac = r.Take(kWrapMac);
            b.encrypted = r.Rest();
        });
    }
    IdentObj Encode() const {
        return EncodeKeyBlob(*this, [&](le::Writer& w) {
            w.U32(wrapAlg).Put(ukm).U32(spec).U32(flags).U32(clearLength).Put(mac).Put(encrypted);
        });
    }
};

// The KEK to wrap under `exp`: an agreement key gives VKO with the UKM, a
// symmetric key its own bytes (diversified by the UKM when wrapping).
Secret KekFor(KeyObj& exp, gost::ByteView ukm) {
    if (exp.cls != AlgClass::Cipher) Throw(NTE_BAD_KEY);
    if (exp.agreePrivate) return AgreementKek(exp, ukm);
    if (exp.secret.size() != 32) Throw(NTE_BAD_KEY);
    return exp.secret;
}

IdentObj UkmFor(KeyObj& exp) {
    if (exp.ukm.size() == kUkm) return exp.ukm;
    if (exp.agreePrivate) {
        std::lock_guard<std::mutex> lock(exp.agreePrivate->mu);
        if (exp.agreePrivate->ukm.size() == kUkm) return exp.agreePrivate->ukm;
    }
    return gost::ToIdent(gost::RandomBytes(kUkm));
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
    gost::WrappedKey wrapped =
        gost::WrapKey(gost::KeyWrap::Diversified, KekFor(exp, gost::View(ukm)), key.sbox, gost::View(ukm), key.secret);
    // Every key sent to one recipient goes with the same UKM.
    if (exp.agreePrivate) exp.ukm = ukm;
    asn::Writer t;
    auto m = t.BeginSequence();
    t.Oid(key.sbox);
    t.End(m);
    SimpleBlob b;
    b.header = BLOBHEADER{SIMPLEBLOB, VRK_SIMPLE_BLOB_VERSION, 0, key.alg};
    b.magic = VRK_SIMPLEBLOB_MAGIC;
    b.wrapAlg = CALG_GOST_28147;
    b.ukm = gost::View(ukm);
    b.encryptedKey = wrapped.encryptedKey;
    b.mac = wrapped.mac;
    b.tail = t.view();
    return b.Encode();
}

std::shared_ptr<KeyObj> ImportSimple(gost::ByteView blob, KeyObj& imp) {
    SimpleBlob b = SimpleBlob::Parse(blob);
    if (b.header.bVersion != VRK_SIMPLE_BLOB_VERSION) Throw(NTE_BAD_VER);
    if (b.magic != VRK_SIMPLEBLOB_MAGIC) Throw(NTE_BAD_TYPE);
    const AlgInfo* info = FindAlg(b.header.aiKeyAlg);
    if (!info || info->cls != AlgClass::Cipher || b.wrapAlg != CALG_GOST_28147) Throw(NTE_BAD_ALGID);
    std::string sbox = SboxFromTail(b.tail);
    auto k = std::make_shared<KeyObj>();
    k->secret = gost::UnwrapKey(gost::KeyWrap::Diversified, KekFor(imp, b.ukm), sbox, b.ukm, b.encryptedKey, b.mac);
    k->alg = b.header.aiKeyAlg;
    k->cls = AlgClass::Cipher;
    k->sbox = sbox;
    k->iv.Alloc(8);
    k->exportable = true;
    return k;
}

// The clear content of a private-key blob, DER:
//   SEQUENCE { paramSet UTF8String, hashParamSet UTF8String,
//              publicKey OCTET STRING, privateKey OCTET STRING }
// built in the writer's wiping buffer.
Secret PrivateKeyContent(const KeyObj& key) {
    Secret priv = key.key.IsGost() ? gost::PrivateKeyToRaw(key.key) : gost::ExportPrivateKeyDer(key.key);
    asn::Writer w;
    auto m = w.BeginSequence();
    w.String(asn::kUtf8String, key.paramSet).String(asn::kUtf8String, key.hashParamSet);
    w.OctetString(key.publicRaw).OctetString(priv.view());
    w.End(m);
    return w.TakeSecret();
}

IdentObj ExportPrivate(KeyObj& key, KeyObj& exp) {
    if (!IsAsymmetric(key.cls) || !key.key || !key.key.HasPrivate()) Throw(NTE_BAD_KEY);
    if (exp.cls != AlgClass::Cipher || exp.secret.size() != 32) Throw(NTE_BAD_KEY);
    Secret clear = PrivateKeyContent(key);
    gost::Bytes ukm = gost::RandomBytes(kUkm);
    Secret kek = gost::DiversifyKek(exp.secret, exp.sbox, ukm);
    gost::Bytes mac = gost::ComputeMac(kek, exp.sbox, ukm, clear, kWrapMac);
    gost::Bytes enc = gost::Encrypt(gost::CipherMode::Cfb, kek, exp.sbox, ukm, clear, false);
    PrivateKeyBlob b;
    b.header = BLOBHEADER{PRIVATEKEYBLOB, VRK_SIMPLE_BLOB_VERSION, 0, key.alg};
    b.magic = VRK_PRIVATEKEY_MAGIC;
    b.wrapAlg = exp.alg;
    b.ukm = ukm;
    b.spec = key.spec;
    b.flags = key.exportable ? 1 : 0;
    b.clearLength = static_cast<DWORD>(clear.size());
    b.mac = mac;
    b.encrypted = enc;
    return b.Encode();
}

std::shared_ptr<KeyObj> ImportPrivate(gost::ByteView blob, KeyObj& imp) {
    PrivateKeyBlob b = PrivateKeyBlob::Parse(blob);
    if (b.header.bVersion != VRK_SIMPLE_BLOB_VERSION) Throw(NTE_BAD_VER);
    if (b.magic != VRK_PRIVATEKEY_MAGIC) Throw(NTE_BAD_TYPE);
    const AlgInfo* info = FindAlg(b.header.aiKeyAlg);
    if (!info || !IsAsymmetric(info->cls) || info->cls == AlgClass::Ephemeral) Throw(NTE_BAD_ALGID);
    if (imp.cls != AlgClass::Cipher || imp.secret.size() != 32) Throw(NTE_BAD_KEY);
    if (b.clearLength != b.encrypted.size()) Throw(NTE_BAD_LEN);
    if (b.spec != AT_KEYEXCHANGE && b.spec != AT_SIGNATURE) Throw(NTE_BAD_DATA);
    Secret kek = gost::DiversifyKek(imp.secret, imp.sbox, b.ukm);
    Secret clear(b.encrypted.size());
    gost::Cipher(gost::CipherMode::Cfb, false, kek, imp.sbox, b.ukm, false)
        .Update(b.encrypted.data(), b.encrypted.size(), clear.data());
    if (!cert::SameBytes(gost::ComputeMac(kek, imp.sbox, b.ukm, clear, kWrapMac), b.mac)) Throw(NTE_BAD_DATA);
    auto k = std::make_shared<KeyObj>();
    k->alg = b.header.aiKeyAlg;
    k->cls = info->cls;
    k->spec = b.spec;
    k->exportable = b.flags & 1;
    try {
        asn::Reader top(clear.view());
        asn::Reader r = top.EnterSequence();
        k->paramSet = r.ReadString();
        k->hashParamSet = r.ReadString();
        IdentObj pub = r.ReadOctetString();
        // Taken in place: the private key stays in the wiping buffer.
        asn::Element priv = r.Expect(asn::kOctetString);
        if (priv.constructed) r.ThrowAt(priv.offset, "constructed private key");
        gost::KeyAlg ka = KeyAlgOf(k->alg);
        k->key = ka == gost::KeyAlg::Rsa ? gost::ImportPrivateKeyDer(priv.content)
                                         : gost::PrivateKeyFromRaw(ka, k->paramSet, priv.content);
        k->publicRaw = k->key.IsGost() ? gost::ToIdent(gost::PublicKeyToRaw(k->key)) : pub;
        if (k->publicRaw != pub) Throw(NTE_BAD_DATA);
    } catch (const ProviderError&) {
        throw;
    } catch (const XTOOStatus&) {
        Throw(NTE_BAD_DATA);
    }
    return k;
}

// A GOST 28147-89 key in clear (type 8): the header, u32 32, the 32 key
// bytes. Only symmetric keys come this way (a MAC key that a trust list is
// protected with); such keys are never exported in clear.
std::shared_ptr<KeyObj> ImportPlain(gost::ByteView blob) {
    BLOBHEADER header{};
    gost::ByteView key;
    try {
        le::Reader r(blob);
        header = ReadBlobHeader(r);
        if (r.U32() != 32) Throw(NTE_BAD_LEN);
        key = r.Take(32);
        r.Finish();
    } catch (const le::Error&) {
        Throw(NTE_BAD_LEN);
    }
    if (header.bVersion != CUR_BLOB_VERSION) Throw(NTE_BAD_VER);
    if (header.aiKeyAlg != CALG_GOST_28147 && header.aiKeyAlg != CALG_VRK_KEY_Z && header.aiKeyAlg != CALG_VRK_KEY_A)
        Throw(NTE_BAD_ALGID);
    auto k = std::make_shared<KeyObj>();
    k->alg = header.aiKeyAlg;
    k->cls = AlgClass::Cipher;
    k->secret.Assign(key.data(), key.size());
    k->sbox = DefaultSboxOf(header.aiKeyAlg);
    k->iv.Alloc(8);
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
        gost::ByteView b(blob, size);
        std::shared_ptr<KeyObj> imp = hImpKey ? GetKey(hImpKey) : nullptr;
        switch (BlobTypeOf(b)) {
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
            case PLAINTEXTKEYBLOB:
                *phKey = Keys().Add(ImportPlain(b));
                return;
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}
