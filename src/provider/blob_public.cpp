// Public keys: the public-key blob (type 6), SubjectPublicKeyInfo parts and
// importing a certificate's key information.
#include <cstring>

#include "cert/asn.h"
#include "cert/oids.h"
#include "provider/vrk_internal.h"

namespace vrk {

BLOBHEADER ReadBlobHeader(le::Reader& r) {
    BLOBHEADER h;
    h.bType = r.U8();
    h.bVersion = r.U8();
    h.reserved = r.U16();
    h.aiKeyAlg = r.U32();
    return h;
}

void WriteBlobHeader(le::Writer& w, const BLOBHEADER& h) {
    w.U8(h.bType).U8(h.bVersion).U16(h.reserved).U32(h.aiKeyAlg);
}

DWORD BlobTypeOf(gost::ByteView blob) {
    try {
        le::Reader r(blob);
        return ReadBlobHeader(r).bType;
    } catch (const le::Error&) {
        Throw(NTE_BAD_LEN);
    }
}

namespace {

// Public-key blob (type 6): header, "MAG1", the key's bit length, the DER
// of its parameters and the key, which is the last bits/8 bytes.
struct PublicKeyBlob : KeyBlobHead {
    DWORD bits = 0;
    gost::ByteView params, key;

    // The parameters and the key are split after the fields are checked
    // (SplitKey).
    static PublicKeyBlob Parse(gost::ByteView blob) {
        return ParseKeyBlob<PublicKeyBlob>(blob, [](le::Reader& r, PublicKeyBlob& b) {
            b.bits = r.U32();
            b.params = r.Rest();
        });
    }
    // NTE_BAD_LEN when the bit length does not fit what follows.
    void SplitKey() {
        std::size_t keyBytes = bits / 8;
        if (bits % 8 || keyBytes == 0 || keyBytes > params.size()) Throw(NTE_BAD_LEN);
        key = params.last(keyBytes);
        params = params.first(params.size() - keyBytes);
    }
    IdentObj Encode() const {
        return EncodeKeyBlob(*this, [&](le::Writer& w) { w.U32(bits).Put(params).Put(key); });
    }
};

// A public-key blob by its header and magic (its other faults are found
// when it is parsed).
bool IsPublicKeyBlob(gost::ByteView blob) {
    try {
        le::Reader r(blob);
        return ReadBlobHeader(r).bType == PUBLICKEYBLOB && r.U32() == VRK_PUBLICKEY_MAGIC;
    } catch (const le::Error&) {
        return false;
    }
}

struct OidAlg {
    const char* oid;
    gost::KeyAlg alg;
    bool exchange;
};
constexpr OidAlg kKeyOids[] = {
    {cert::oids::kGostR3410_2001, gost::KeyAlg::Gost2001, false},
    {cert::oids::kGostR3410_2001DH, gost::KeyAlg::Gost2001, true},
    {cert::oids::kGostR3410_2012_256, gost::KeyAlg::Gost2012_256, false},
    {cert::oids::kGostR3410_2012_256DH, gost::KeyAlg::Gost2012_256, true},
    {cert::oids::kGostR3410_2012_512, gost::KeyAlg::Gost2012_512, false},
    {cert::oids::kGostR3410_2012_512DH, gost::KeyAlg::Gost2012_512, true},
};

const OidAlg* FindKeyOid(const char* oid) {
    if (!oid) return nullptr;
    for (const auto& o : kKeyOids)
        if (std::strcmp(o.oid, oid) == 0) return &o;
    return nullptr;
}

// The raw key inside a GOST public key's BIT STRING (an OCTET STRING).
gost::Bytes RawFromBits(gost::ByteView bits) {
    asn::Reader r(bits);
    IdentObj raw = r.ReadOctetString();
    r.Finish();
    return gost::Bytes(raw.begin(), raw.end());
}

}  // namespace

IdentObj EncodeGostKeyParams(const std::string& paramSet, const std::string& hashParamSet) {
    asn::Writer w;
    auto m = w.BeginSequence();
    w.Oid(paramSet);
    if (!hashParamSet.empty()) w.Oid(hashParamSet);
    w.End(m);
    return w.Take();
}

bool DecodeGostKeyParams(gost::ByteView der, std::string& paramSet, std::string& hashParamSet) {
    try {
        asn::Reader top(der);
        asn::Reader r = top.EnterSequence();
        top.Finish();
        paramSet = r.ReadOid();
        hashParamSet.clear();
        if (r.NextIs(asn::kUniversal, asn::kOid)) hashParamSet = r.ReadOid();
        return true;
    } catch (const XTOOStatus&) {
        return false;
    }
}

IdentObj MakePublicKeyBlob(const KeyObj& k) {
    if (!k.key || !k.key.IsGost() || k.publicRaw.IsEmpty()) Throw(NTE_BAD_KEY);
    IdentObj params = EncodeGostKeyParams(k.paramSet, k.hashParamSet);
    PublicKeyBlob b;
    b.header = BLOBHEADER{PUBLICKEYBLOB, VRK_PUBLICKEY_BLOB_VERSION, 0, k.alg};
    b.magic = VRK_PUBLICKEY_MAGIC;
    b.bits = k.publicRaw.size() * 8;
    b.params = gost::View(params);
    b.key = gost::View(k.publicRaw);
    return b.Encode();
}

void ParsePublicKeyBlob(gost::ByteView blob, KeyObj& k) {
    PublicKeyBlob b = PublicKeyBlob::Parse(blob);
    if (b.header.bType != PUBLICKEYBLOB || b.magic != VRK_PUBLICKEY_MAGIC) Throw(NTE_BAD_TYPE);
    const AlgInfo* info = FindAlg(b.header.aiKeyAlg);
    if (!info || !IsAsymmetric(info->cls) || KeyAlgOf(b.header.aiKeyAlg) == gost::KeyAlg::Rsa) Throw(NTE_BAD_ALGID);
    b.SplitKey();
    std::size_t keyBytes = b.key.size();
    gost::ByteView raw = b.key;
    std::string paramSet, hashParamSet;
    if (!DecodeGostKeyParams(b.params, paramSet, hashParamSet)) Throw(NTE_BAD_DATA);
    // The blob may name a key by its signature id while it travels as a
    // key-agreement key; the size decides between 2012 key lengths.
    gost::KeyAlg ka = KeyAlgOf(b.header.aiKeyAlg);
    if (keyBytes == 128) ka = gost::KeyAlg::Gost2012_512;
    if (ka == gost::KeyAlg::Gost2001 && hashParamSet == cert::oids::kGostR3411_2012_256)
        ka = gost::KeyAlg::Gost2012_256;
    if (keyBytes != 2 * gost::GostKeyBytes(ka)) Throw(NTE_BAD_LEN);
    if (hashParamSet.empty()) hashParamSet = DefaultHashParamSet(ka);
    gost::Key key = gost::PublicKeyFromRaw(ka, paramSet, raw);
    k.alg = b.header.aiKeyAlg;
    k.cls = info->cls;
    k.paramSet = std::move(paramSet);
    k.hashParamSet = std::move(hashParamSet);
    k.key = std::move(key);
    k.publicRaw = gost::ToIdent(raw);
}

}  // namespace vrk

using namespace vrk;

BOOL vrkscapi::vrkcspexfun::VRKEncodePublicKeyAndParametrs(DWORD /*provType*/, const char* oid,
                                                           const IdentObj& publicKeyBlob, IdentObj& encodedKey,
                                                           IdentObj& encodedParams, const char* paramSet) {
    return Guard([&] {
        KeyObj k;
        if (IsPublicKeyBlob(gost::View(publicKeyBlob))) {
            ParsePublicKeyBlob(gost::View(publicKeyBlob), k);
        } else {
            const OidAlg* o = FindKeyOid(oid);
            if (!o) Throw(NTE_BAD_ALGID);
            if (!paramSet || !*paramSet) Throw(ERROR_INVALID_PARAMETER);
            if (publicKeyBlob.size() != 2 * gost::GostKeyBytes(o->alg)) Throw(NTE_BAD_LEN);
            k.paramSet = paramSet;
            k.hashParamSet = DefaultHashParamSet(o->alg);
            k.publicRaw = publicKeyBlob;
        }
        asn::Writer w;
        w.OctetString(k.publicRaw);
        encodedKey = w.Take();
        encodedParams = EncodeGostKeyParams(k.paramSet, k.hashParamSet);
    });
}

BOOL VRKImportPKInfo(HCRYPTPROV hProv, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* phKey) {
    return Guard([&] {
        if (!phKey || !info || !info->Algorithm.pszObjId) Throw(ERROR_INVALID_PARAMETER);
        *phKey = 0;
        GetProv(hProv);
        auto k = std::make_shared<KeyObj>();
        gost::ByteView bits(info->PublicKey.pbData, info->PublicKey.cbData);
        if (const OidAlg* o = FindKeyOid(info->Algorithm.pszObjId)) {
            gost::ByteView params(info->Algorithm.Parameters.pbData, info->Algorithm.Parameters.cbData);
            if (!DecodeGostKeyParams(params, k->paramSet, k->hashParamSet)) Throw(NTE_BAD_PUBLIC_KEY);
            if (k->hashParamSet.empty()) k->hashParamSet = DefaultHashParamSet(o->alg);
            gost::Bytes raw;
            try {
                raw = RawFromBits(bits);
            } catch (const XTOOStatus&) {
                Throw(NTE_BAD_PUBLIC_KEY);
            }
            k->key = gost::PublicKeyFromRaw(o->alg, k->paramSet, raw);
            k->publicRaw = gost::ToIdent(raw);
            k->alg = o->exchange ? ExchangeAlgOf(o->alg) : SignAlgOf(o->alg);
        } else if (std::strcmp(info->Algorithm.pszObjId, cert::oids::kRsa) == 0) {
            // Rebuild the SubjectPublicKeyInfo for OpenSSL.
            asn::Writer w;
            auto m = w.BeginSequence();
            auto a = w.BeginSequence();
            w.Oid(info->Algorithm.pszObjId);
            if (info->Algorithm.Parameters.cbData)
                w.Raw(asn::View(info->Algorithm.Parameters.pbData, info->Algorithm.Parameters.cbData));
            else
                w.Null();
            w.End(a);
            w.BitString(bits, info->PublicKey.cUnusedBits);
            w.End(m);
            k->key = gost::ImportPublicKeyDer(w.view());
            k->publicRaw = w.Take();
            k->alg = CALG_RSA_KEYX;
        } else {
            Throw(NTE_BAD_ALGID);
        }
        k->cls = FindAlg(k->alg)->cls;
        *phKey = Keys().Add(std::move(k));
    });
}
