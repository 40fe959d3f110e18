// Signing: the steps every signature shares, CTFSignData and
// CTFSignTrustList.
#include <algorithm>
#include <memory>

#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/verify.h"
#include "messages/signing_internal.h"
#include "messages/file_ranges.h"

namespace cert::signing {

namespace {

constexpr std::size_t kPiece = 1u << 20;

[[noreturn]] void FailLast(const char* place) {
    const DWORD e = GetLastError();
    throw XTOOStatus(e ? WinErr2ToolsErr(e) : TOOERR_EXCEPTION, place);
}

bool IsGost(const std::string& oid) { return oid.rfind("1.2.643.", 0) == 0; }

// A key-agreement algorithm has no signature rows; its key signs as the
// matching signature algorithm.
ALG_ID SigningAlgOf(ALG_ID keyAlg) {
    switch (keyAlg) {
        case CALG_RSA_KEYX:
            return CALG_RSA_SIGN;
        case CALG_GOST_R3410_2001_DH:
            return CALG_GOST_R3410_2001;
        case CALG_GOST_R3410_2012_256_DH:
            return CALG_GOST_R3410_2012_256;
        case CALG_GOST_R3410_2012_512_DH:
            return CALG_GOST_R3410_2012_512;
        default:
            return keyAlg;
    }
}

std::string KeyOid(const CCTFCertContext& c) {
    return c.GetContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
}

IdentObj HashValue(HCRYPTHASH h, const char* place) {
    IdentObj v;
    if (!VRKGetHashParam(h, HP_HASHVAL, v)) FailLast(place);
    return v;
}

IdentObj Encode(const asn::Writer& w) { return IdentObj(w.view().data(), static_cast<DWORD>(w.view().size())); }

CCTFAttributesSet Attribute(const char* type, const IdentObj& value) {
    CCTFAttributesSet s;
    s.m_type = type;
    s.m_values.push_back(value);
    return s;
}

IdentObj OidValue(const char* oid) {
    asn::Writer w;
    w.Oid(oid);
    return Encode(w);
}

IdentObj DigestValue(const IdentObj& digest) {
    asn::Writer w;
    w.OctetString(digest);
    return Encode(w);
}

IdentObj TimeValue() {
    asn::Writer w;
    w.UtcTime(CTOOFileTime::now().GetFileTime());
    return Encode(w);
}

}  // namespace

// GOST identifiers go without parameters, the others with NULL, as their
// verifiers expect.
CCTFAlgorithmIdentifier Algorithm(const CTOOString& oid) {
    static const BYTE kNull[] = {0x05, 0x00};
    return IsGost(oid.str()) ? CCTFAlgorithmIdentifier(oid.c_str())
                             : CCTFAlgorithmIdentifier(oid.c_str(), IdentObj(kNull, sizeof kNull));
}

// The signed attributes as a universal SET: the bytes that are signed.
CCTFAttributesList SignedAttributes(const char* contentType, const IdentObj* digest, AttributeOrder order) {
    CCTFAttributesList l;
    l.m_tag = asn::kSet;
    l.m_universal = true;
    l.m_sets.push_back(Attribute(kOidContentTypeAttr, OidValue(contentType)));
    if (order == AttributeOrder::TimeFirst) l.m_sets.push_back(Attribute(kOidSigningTimeAttr, TimeValue()));
    if (digest) l.m_sets.push_back(Attribute(kOidMessageDigestAttr, DigestValue(*digest)));
    if (order == AttributeOrder::DigestFirst) l.m_sets.push_back(Attribute(kOidSigningTimeAttr, TimeValue()));
    return l;
}

// The signer named by issuer and serial number, or by key identifier.
void NameSigner(CCTFMessageSignerInfo& si, const CCTFCertContext& signer, bool byKeyId) {
    if (byKeyId) {
        si.m_keyId = signer.GetSubjectKeyId();
        if (si.m_keyId.IsEmpty()) throw XTOOStatus(TOOERR_BADARG, "CTFFillMsgSignerInfo");
        si.m_version = 3;
        return;
    }
    const CCTFCertInfo info(*signer.GetContext());
    IdentObj serial = info.m_serialNumber;  // held least significant byte first
    std::reverse(serial.data(), serial.data() + serial.size());
    si.m_issuer = info.m_issuer;
    si.m_serialNumber = serial;
    si.m_version = 1;
}

void AddDigestAlgorithm(CCTFSignData& data, const CCTFAlgorithmIdentifier& alg) {
    std::vector<std::pair<IdentObj, CCTFAlgorithmIdentifier>> all;
    for (const auto& a : data.m_digestAlgorithms) all.emplace_back(a.GetEncoded(nullptr), a);
    all.emplace_back(alg.GetEncoded(nullptr), alg);
    std::stable_sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.first.Compare(y.first) < 0; });
    std::list<CCTFAlgorithmIdentifier> out;
    const IdentObj* last = nullptr;
    for (const auto& [enc, a] : all) {
        if (last && *last == enc) continue;
        out.push_back(a);
        last = &enc;
    }
    data.m_digestAlgorithms = std::move(out);
}

void AddCertificate(CCTFSignData& data, const IdentObj& der) {
    if (std::find(data.m_certificates.begin(), data.m_certificates.end(), der) == data.m_certificates.end())
        data.m_certificates.push_back(der);
}

HashChoice ChooseHash(const CCTFCertContext& signer, const CTOOString* hashOid, const char* place) {
    HashChoice c;
    if (hashOid && !hashOid->IsEmpty()) {
        c.oid = *hashOid;
    } else {
        const std::list<CTOOString> supported = CTFGetSupportedHashOIDS(&signer);
        if (supported.empty()) throw XTOOStatus(TOOERR_UNKNOWN_ALG, place);
        c.oid = supported.front();
    }
    unsigned alg = 0, extra = 0;
    if (!GetAlgIDFromOID(c.oid.c_str(), static_cast<unsigned long>(c.oid.str().size()), alg, extra) ||
        GET_ALG_CLASS(alg) != ALG_CLASS_HASH)
        throw XTOOStatus(TOOERR_UNKNOWN_ALG, place);
    c.alg = alg;
    return c;
}

CTOOString SignatureOid(ALG_ID hash, const CCTFCertContext& signer) {
    const std::string keyOid = KeyOid(signer);
    unsigned keyAlg = 0, extra = 0;
    if (GetAlgIDFromOID(keyOid.c_str(), static_cast<unsigned long>(keyOid.size()), keyAlg, extra)) {
        IdentObj oid;
        if (GetOIDFromAlgID(oid, hash, SigningAlgOf(keyAlg)) && !oid.IsEmpty())
            return CTOOString(std::string(oid.view()));
    }
    return CTOOString(keyOid);
}

void HashBytes(HCRYPTHASH hash, const void* data, std::uint64_t size, const char* place) {
    const auto* p = static_cast<const BYTE*>(data);
    do {
        const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>(size, kPiece));
        if (!VRKHashData(hash, p, n)) FailLast(place);
        p += n;
        size -= n;
    } while (size);
}

std::uint64_t Total(const std::vector<ByteRange>& ranges) {
    std::uint64_t sum = 0;
    for (const ByteRange& r : ranges) sum += r.length;
    return sum;
}

void HashFileRanges(HCRYPTHASH hash, const std::string& path, const std::vector<ByteRange>& ranges, const char* place) {
    if (ranges.empty()) HashBytes(hash, "", 0, place);
    cert::messages::ReadFileRanges(path, ranges,
                                   [&](const std::uint8_t* p, std::size_t n) { HashBytes(hash, p, n, place); });
}

std::vector<ByteRange> FileRange(const std::string& path, std::uint64_t start, std::uint64_t end) {
    const LONGLONG len = CTOOFile::Length(path.c_str());
    if (len < 0) throw XTOOStatus(TOOERR_NOFILE, path.c_str());
    if (end == 0xFFFFFFFFu) end = static_cast<std::uint64_t>(len);
    if (end < start || end > static_cast<std::uint64_t>(len)) throw XTOOStatus(TOOERR_SHORTREAD, path.c_str());
    if (end == start) return {};
    return {ByteRange{start, end - start}};
}

bool HasSigner(const CCTFSignData& data, const CCTFCertContext& signer) {
    const CCTFCertInfo info(*signer.GetContext());
    IdentObj serial = info.m_serialNumber;
    std::reverse(serial.data(), serial.data() + serial.size());
    IdentObj keyId;
    for (const auto& raw : data.m_signerInfos) {
        CCTFMessageSignerInfo si;
        si.ReadData(raw.data(), raw.size(), nullptr);
        if (!si.m_keyId.IsEmpty()) {
            if (keyId.IsEmpty()) keyId = signer.GetSubjectKeyId();
            if (si.m_keyId == keyId) return true;
        } else if (si.m_serialNumber == serial && si.m_issuer == info.m_issuer) {
            return true;
        }
    }
    return false;
}

void AddSignature(CCTFSignData& data, const SignRequest& request, const std::function<void(HCRYPTHASH)>& feed) {
    const CCTFCertContext& signer = *request.signer;
    const char* place = request.place;
    DWORD spec = signer.GetPrivateKeyType();
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) spec = AT_SIGNATURE;
    int status = 0;
    CTOOString where;
    const HCRYPTKEY key = request.user->GetUserKey(spec, &signer, &status, &where);
    if (!key) throw XTOOStatus(status ? status : TOOERR_NOKEY_FOR_CERT, "CCTFUser ");
    if (!CTFCanSignByCert(signer, false, CTOOFileTime())) {
        const DWORD why = GetLastError();
        throw XTOOStatus(why ? static_cast<int>(why) : 106, place);
    }
    const HashChoice hash = ChooseHash(signer, request.hashOid, place);
    const HCRYPTPROV prov = request.user->GetProvider();
    VRKSCApi::CryptHash h;
    if (!VRKCreateHash(prov, hash.alg, key, &h)) FailLast(place);
    feed(h);

    CCTFMessageSignerInfo si;
    if (!(request.options & kSignNoAttributes)) {
        const bool chained = hash.alg == CALG_VRK_HASH;  // its attributes are hashed on after the data
        const IdentObj digest = chained ? IdentObj() : HashValue(h, "VRKGetHashParam ");
        CCTFAttributesList attrs = SignedAttributes(kOidData, chained ? nullptr : &digest, request.order);
        const IdentObj encoded = attrs.WriteData(nullptr);
        if (!chained) {
            if (!VRKCreateHash(prov, hash.alg, key, &h)) FailLast(place);
        }
        HashBytes(h, encoded.data(), encoded.size(), "VRKHashData ()");
        si.m_signedAttributes = std::move(attrs);
    }
    IdentObj signature;
    if (!VRKSignHash(h, spec, 0, signature)) FailLast("VRKSignHash ");

    NameSigner(si, signer, (request.options & kSignByKeyId) != 0);
    const CCTFAlgorithmIdentifier digestAlg = Algorithm(hash.oid);
    si.m_digestAlgorithm = digestAlg;
    si.m_signatureAlgorithm = Algorithm(SignatureOid(hash.alg, signer));
    si.m_signature = std::move(signature);
    data.m_signerInfos.push_back(si.WriteData(nullptr));
    AddDigestAlgorithm(data, digestAlg);
    AddCertificate(data, signer.GetEncoded());
}

}  // namespace cert::signing

using namespace cert::signing;

bool CTFSignData(const CCTFUser& user, const CCTFCertContext& signer, const WhatToSignStruct& data, IdentObj* signature,
                 const CTOOString* hashOid, int* error) {
    return Reported("CTFSignData", error, [&] {
        if (!signer.IsInitialized() || !signature) throw XTOOStatus(TOOERR_BADARG, "CTFSignData");
        const bool previous = (data.options & kSignPreviousContent) != 0;
        if (previous && !signature->IsEmpty() && data.data)
            throw XTOOStatus(TOOERR_BADARG,
                             "CTFSignData: Impassible to have previous attached signature and signing data as "
                             "parameters.");
        if (!previous && !data.data && data.end != 0xFFFFFFFFu) throw XTOOStatus(TOOERR_BADARG, "WhatToSignStruct ");
        if (!previous && data.data && !(data.flags & kWhatToSignFile) && data.end < data.start)
            throw XTOOStatus(TOOERR_BADARG, "WhatToSignStruct ");

        CCTFSignData sd;
        if (!signature->IsEmpty()) sd.ReadObject(signature->data(), signature->size(), nullptr);
        if ((data.options & kSignCheckPrevious) && HasSigner(sd, signer))
            throw XTOOStatus(TOOERR_EXISTS, "CTFSignData");
        // The content passed along must be there to be signed.
        if (previous && sd.m_content.GetParameters().IsEmpty()) throw XTOOStatus(TOOERR_BADARG, "WhatToSignStruct ");

        SignRequest request;
        request.user = &user;
        request.signer = &signer;
        request.options = data.options;
        request.hashOid = hashOid;
        AddSignature(sd, request, [&](HCRYPTHASH h) {
            if (previous) {
                const IdentObj& content = sd.m_content.GetParameters();
                HashBytes(h, content.data(), content.size(), "VRKHashData ()");
            } else if (!data.data) {
                HashBytes(h, "", 0, "VRKHashData ()");
            } else if (data.flags & kWhatToSignFile) {
                const std::vector<cert::ByteRange> ranges = FileRange(data.data, data.start, data.end);
                cert::messages::ProgressScope progress(Total(ranges));
                HashFileRanges(h, data.data, ranges, "VRKHashData ()");
            } else {
                HashBytes(h, data.data + data.start, data.end - data.start, "VRKHashData ()");
            }
        });
        IdentObj out = sd.WriteObject(nullptr);
        *signature = std::move(out);
    });
}

void CTFSignTrustList(CCTFProvider& provider, unsigned long keySpec, const CCTFCertContext& signer,
                      CCTFSignData& trustList) {
    static const char kPlace[] = "CTFSignTrustList";
    try {
        if (!signer.IsInitialized() || keySpec == 0) throw XTOOStatus(TOOERR_BADARG, kPlace);
        const CCTFCertInfo info(*signer.GetContext());
        bool authority = false;
        IdentObj decoded;
        if (const CCTFCertExtension* bc = info.m_extensions.Find(cert::oids::kBasicConstraints))
            authority = bc->DecodeData(decoded, cert::oids::kBasicConstraints) &&
                        reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(decoded.data())->fCA;
        if (!authority) {
            if (const CCTFCertExtension* bc = info.m_extensions.Find(cert::oids::kBasicConstraintsOld)) {
                if (bc->DecodeData(decoded, cert::oids::kBasicConstraintsOld)) {
                    const auto* old = reinterpret_cast<const CERT_BASIC_CONSTRAINTS_INFO*>(decoded.data());
                    authority = old->SubjectType.cbData && (old->SubjectType.pbData[0] & CERT_CA_SUBJECT_FLAG);
                }
            }
        }
        if (!authority) {
            if (const CCTFCertExtension* eku = info.m_extensions.Find(cert::oids::kExtKeyUsage)) {
                if (eku->DecodeData(decoded, cert::oids::kExtKeyUsage)) {
                    const auto* u = reinterpret_cast<const CERT_ENHKEY_USAGE*>(decoded.data());
                    for (DWORD i = 0; i < u->cUsageIdentifier && !authority; ++i)
                        authority = std::string(u->rgpszUsageIdentifier[i]) == "1.3.6.1.4.1.311.10.3.1";
                }
            }
        }
        if (!authority) throw XTOOStatus(106, kPlace);

        const HCRYPTPROV prov = provider.GetProviderHandle();
        VRKSCApi::CryptHash h;
        if (!VRKCreateHash(prov, CALG_GOST_R3411_94, 0, &h)) FailLast(kPlace);
        for (const auto& c : trustList.m_certificates) HashBytes(h, c.data(), c.size(), kPlace);
        const IdentObj digest = HashValue(h, kPlace);
        CCTFAttributesList attrs;
        attrs.m_tag = asn::kSet;
        attrs.m_universal = true;
        attrs.m_sets.push_back(Attribute(kOidContentTypeAttr, OidValue("1.3.6.1.4.1.40321.2.3.1")));
        attrs.m_sets.push_back(Attribute(kOidMessageDigestAttr, DigestValue(digest)));
        attrs.m_sets.push_back(Attribute(kOidSigningTimeAttr, TimeValue()));
        const IdentObj encoded = attrs.WriteData(nullptr);
        VRKSCApi::CryptHash signed_;
        if (!VRKCreateHash(prov, CALG_GOST_R3411_94, 0, &signed_)) FailLast(kPlace);
        HashBytes(signed_, encoded.data(), encoded.size(), kPlace);
        IdentObj signature;
        if (!VRKSignHash(signed_, static_cast<DWORD>(keySpec), 0, signature)) FailLast("VRKSignHash ");

        CCTFMessageSignerInfo si;
        NameSigner(si, signer, false);
        const CCTFAlgorithmIdentifier digestAlg(cert::oids::kGostR3411_94);
        si.m_digestAlgorithm = digestAlg;
        si.m_signatureAlgorithm = Algorithm(SignatureOid(CALG_GOST_R3411_94, signer));
        si.m_signedAttributes = std::move(attrs);
        si.m_signature = std::move(signature);
        const IdentObj raw = si.WriteData(nullptr);
        trustList.m_signerInfos.push_back(raw);
        AddDigestAlgorithm(trustList, digestAlg);
    } catch (...) {
        TOORethrowAsStatus(kPlace);
    }
}
