// Public keys: the public-key blob (type 6), SubjectPublicKeyInfo parts and
// importing a certificate's key information.
#include <cstring>

#include "cert/asn.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace {

constexpr std::size_t kPublicHeader = 16;  // BLOBHEADER, "MAG1", bit length

struct OidAlg {
    const char* oid;
    gost::KeyAlg alg;
    bool exchange;
};
constexpr OidAlg kKeyOids[] = {
    {"1.2.643.2.2.19", gost::KeyAlg::Gost2001, false},        {"1.2.643.2.2.98", gost::KeyAlg::Gost2001, true},
    {"1.2.643.7.1.1.1.1", gost::KeyAlg::Gost2012_256, false}, {"1.2.643.7.1.1.6.1", gost::KeyAlg::Gost2012_256, true},
    {"1.2.643.7.1.1.1.2", gost::KeyAlg::Gost2012_512, false}, {"1.2.643.7.1.1.6.2", gost::KeyAlg::Gost2012_512, true},
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
    IdentObj blob;
    BLOBHEADER h{PUBLICKEYBLOB, VRK_PUBLICKEY_BLOB_VERSION, 0, k.alg};
    blob.AddData(&h, sizeof h);
    PutU32(blob, VRK_PUBLICKEY_MAGIC);
    PutU32(blob, k.publicRaw.size() * 8);
    blob.AddData(EncodeGostKeyParams(k.paramSet, k.hashParamSet));
    blob.AddData(k.publicRaw);
    return blob;
}

void ParsePublicKeyBlob(gost::ByteView blob, KeyObj& k) {
    if (blob.size() < kPublicHeader) Throw(NTE_BAD_LEN);
    BLOBHEADER h;
    std::memcpy(&h, blob.data(), sizeof h);
    if (h.bType != PUBLICKEYBLOB) Throw(NTE_BAD_TYPE);
    if (GetU32(blob.data() + 8) != VRK_PUBLICKEY_MAGIC) Throw(NTE_BAD_TYPE);
    const AlgInfo* info = FindAlg(h.aiKeyAlg);
    if (!info || !IsAsymmetric(info->cls) || KeyAlgOf(h.aiKeyAlg) == gost::KeyAlg::Rsa) Throw(NTE_BAD_ALGID);
    DWORD bits = GetU32(blob.data() + 12);
    std::size_t keyBytes = bits / 8;
    if (bits % 8 || keyBytes == 0 || keyBytes > blob.size() - kPublicHeader) Throw(NTE_BAD_LEN);
    gost::ByteView params = blob.subspan(kPublicHeader, blob.size() - kPublicHeader - keyBytes);
    gost::ByteView raw = blob.subspan(blob.size() - keyBytes);
    if (!DecodeGostKeyParams(params, k.paramSet, k.hashParamSet)) Throw(NTE_BAD_DATA);
    // The blob may name a key by its signature id while it travels as a
    // key-agreement key; the size decides between 2012 key lengths.
    gost::KeyAlg ka = KeyAlgOf(h.aiKeyAlg);
    if (keyBytes == 128) ka = gost::KeyAlg::Gost2012_512;
    if (ka == gost::KeyAlg::Gost2001 && k.hashParamSet == "1.2.643.7.1.1.2.2") ka = gost::KeyAlg::Gost2012_256;
    if (keyBytes != 2 * gost::GostKeyBytes(ka)) Throw(NTE_BAD_LEN);
    if (k.hashParamSet.empty()) k.hashParamSet = DefaultHashParamSet(ka);
    k.alg = h.aiKeyAlg;
    k.cls = info->cls;
    k.key = gost::PublicKeyFromRaw(ka, k.paramSet, raw);
    k.publicRaw = gost::ToIdent(raw);
}

}  // namespace vrk

using namespace vrk;

BOOL vrkscapi::vrkcspexfun::VRKEncodePublicKeyAndParametrs(DWORD /*provType*/, const char* oid,
                                                           const IdentObj& publicKeyBlob, IdentObj& encodedKey,
                                                           IdentObj& encodedParams, const char* paramSet) {
    return Guard([&] {
        KeyObj k;
        if (publicKeyBlob.size() >= kPublicHeader && publicKeyBlob.data()[0] == PUBLICKEYBLOB &&
            GetU32(publicKeyBlob.data() + 8) == VRK_PUBLICKEY_MAGIC) {
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
        } else if (std::strcmp(info->Algorithm.pszObjId, "1.2.840.113549.1.1.1") == 0) {
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
