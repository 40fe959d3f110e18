// Signature verification: one verdict per signer, the content hashed once
// for all of them.
#include "cert/verify.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "cert/errtext.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/tools.h"
#include "cert/vrkscapi.h"
#include "messages/file_ranges.h"
#include "messages/signing_internal.h"

namespace {

constexpr int kNoDigestForSigner = 131;
constexpr std::size_t kPiece = 65536;

using Sink = std::function<void(const std::uint8_t*, std::size_t)>;
// Gives the content to `sink`, in pieces, once.
using Feed = std::function<void(const Sink&)>;

DWORD LastOr(DWORD fallback) {
    const DWORD e = GetLastError();
    return e ? e : fallback;
}

[[noreturn]] void FailLast(const char* place) {
    const DWORD e = GetLastError();
    throw XTOOStatus(e ? WinErr2ToolsErr(e) : TOOERR_EXCEPTION, place);
}

// One hash per digest algorithm of the signed data.
struct Prepared {
    std::string oid;
    ALG_ID alg = 0;
    VRKSCApi::CryptHash hash;
};

std::string OidOf(const IdentObj& encodedAlgorithm) {
    CCTFAlgorithmIdentifier a;
    if (!a.ReadData(encodedAlgorithm.data(), encodedAlgorithm.size(), nullptr)) return {};
    return a.GetOID().str();
}

ALG_ID HashAlgOf(const std::string& oid) {
    unsigned alg = 0, extra = 0;
    if (!GetAlgIDFromOID(oid.c_str(), static_cast<unsigned long>(oid.size()), alg, extra) ||
        GET_ALG_CLASS(alg) != ALG_CLASS_HASH)
        return 0;
    return alg;
}

// What the verification needs of a signed data, however it was read.
struct Message {
    std::vector<std::string> digestOids;
    std::vector<IdentObj> certificates;
    std::vector<IdentObj> signerInfos;
};

bool Names(const CCTFMessageSignerInfo& si, const CCTFCertContext& c) {
    if (!si.m_keyId.IsEmpty()) return c.GetSubjectKeyId() == si.m_keyId;
    const CCTFCertInfo info(*c.GetContext());
    IdentObj serial = info.m_serialNumber;  // held least significant byte first
    std::reverse(serial.data(), serial.data() + serial.size());
    return serial == si.m_serialNumber && info.m_issuer == si.m_issuer;
}

const CCTFAttributesSet* FindAttribute(const CCTFAttributesList& l, const char* type) {
    for (const auto& s : l.m_sets)
        if (s.m_type.str() == type) return &s;
    return nullptr;
}

// The first value of an attribute read as `tag`'s content; empty when it
// does not read so.
IdentObj AttributeOctets(const CCTFAttributesSet& s) {
    if (s.m_values.empty()) return {};
    try {
        const IdentObj& v = s.m_values.front();
        asn::Reader r(v.data(), v.size());
        return r.ReadOctetString();
    } catch (...) {
        return {};
    }
}

std::string AttributeOid(const CCTFAttributesSet& s) {
    if (s.m_values.empty()) return {};
    try {
        const IdentObj& v = s.m_values.front();
        asn::Reader r(v.data(), v.size());
        return r.ReadOid();
    } catch (...) {
        return {};
    }
}

// Whether a certificate may sign a trust list: a CA whose key usage reads.
bool MaySignTrustList(const CCTFCertContext& c) {
    const CCTFCertInfo info(*c.GetContext());
    IdentObj decoded;
    bool authority = false;
    if (const CCTFCertExtension* bc = info.m_extensions.Find(cert::oids::kBasicConstraints)) {
        authority = bc->DecodeData(decoded, cert::oids::kBasicConstraints) &&
                    reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(decoded.data())->fCA;
    } else if (const CCTFCertExtension* old = info.m_extensions.Find(cert::oids::kBasicConstraintsOld)) {
        if (old->DecodeData(decoded, cert::oids::kBasicConstraintsOld)) {
            const auto* o = reinterpret_cast<const CERT_BASIC_CONSTRAINTS_INFO*>(decoded.data());
            authority = o->SubjectType.cbData && (o->SubjectType.pbData[0] & CERT_CA_SUBJECT_FLAG);
        }
    }
    if (!authority) return false;
    const CCTFCertExtension* ku = info.m_extensions.Find(cert::oids::kKeyUsage);
    return ku && ku->DecodeData(decoded, cert::oids::kKeyUsage);
}

class Verifier {
public:
    Verifier(const Message& m, const CCTFCertStorage* storage, const char* place) : m_msg(m), m_place(place) {
        if (!VRKAcquireContext(&m_prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT))
            FailLast(place);
        for (const IdentObj& der : m.certificates) {
            CCTFCertContext c;
            // A certificate the platform cannot read names no signer.
            if (c.CreateContext(der)) m_certs.push_back(std::move(c));
        }
        if (storage && storage->IsOpen()) {
            std::list<CCTFCertContext> theirs;
            storage->FindCertList(theirs, CERT_FIND_ANY, nullptr);
            for (auto& c : theirs) m_certs.push_back(std::move(c));
        }
        for (const std::string& oid : m.digestOids) {
            if (std::any_of(m_hashes.begin(), m_hashes.end(), [&](const auto& p) { return p->oid == oid; })) continue;
            auto p = std::make_unique<Prepared>();
            p->oid = oid;
            // One the provider does not know is refused with the signer that
            // uses it; the others go on.
            p->alg = HashAlgOf(oid);
            if (!p->alg) continue;
            if (!VRKCreateHash(m_prov, p->alg, 0, &p->hash)) FailLast(place);
            m_hashes.push_back(std::move(p));
        }
    }

    void HashContent(const Feed& feed) {
        feed([&](const std::uint8_t* p, std::size_t n) {
            while (n) {
                const std::size_t k = std::min(n, kPiece);
                for (auto& h : m_hashes)
                    if (!VRKHashData(h->hash, p, static_cast<DWORD>(k))) FailLast(m_place);
                p += k;
                n -= k;
            }
        });
    }

    void Run(std::list<CCTFWholeSignatureCheck>& results) {
        std::list<CCTFWholeSignatureCheck> out;
        for (const IdentObj& raw : m_msg.signerInfos) {
            CCTFWholeSignatureCheck r;
            int st = 0;
            if (!r.m_signerInfo.ReadData(raw.data(), raw.size(), &st)) throw XTOOStatus(st ? st : 206, m_place);
            const std::string digestOid = r.m_signerInfo.m_digestAlgorithm.GetOID().str();
            const auto it =
                std::find_if(m_hashes.begin(), m_hashes.end(), [&](const auto& p) { return p->oid == digestOid; });
            if (it == m_hashes.end()) throw XTOOStatus(kNoDigestForSigner, digestOid.c_str());
            r.m_status = Check(r, **it);
            if (r.m_status) r.m_text = CTFGetWinErrorExplaination(r.m_status);
            out.push_back(std::move(r));
        }
        results.splice(results.end(), out);
    }

private:
    DWORD Check(CCTFWholeSignatureCheck& r, const Prepared& data) {
        const CCTFMessageSignerInfo& si = r.m_signerInfo;
        const CCTFCertContext* signer = nullptr;
        for (const auto& c : m_certs)
            if (Names(si, c)) {
                signer = &c;
                break;
            }
        if (!signer) return kVerifyNoSignerCertificate;
        r.m_certificate = signer->GetEncoded();

        VRKSCApi::CryptHash h;
        if (!VRKDuplicateHash(data.hash, &h)) return LastOr(NTE_BAD_HASH);
        bool trustList = false;
        if (!si.m_signedAttributes.IsEmpty()) {
            const CCTFAttributesList& attrs = si.m_signedAttributes;
            const bool chained = data.alg == CALG_VRK_HASH;
            if (const CCTFAttributesSet* ct = FindAttribute(attrs, kOidContentTypeAttr))
                trustList = AttributeOid(*ct) == cert::oids::kTrustListContent;
            const CCTFAttributesSet* md = FindAttribute(attrs, kOidMessageDigestAttr);
            if (md) {
                IdentObj digest;
                if (trustList) {
                    // The list's digest runs over its certificates, not its content.
                    VRKSCApi::CryptHash t;
                    if (!VRKCreateHash(m_prov, data.alg, 0, &t)) return LastOr(NTE_BAD_ALGID);
                    for (const IdentObj& c : m_msg.certificates)
                        if (!VRKHashData(t, c)) return LastOr(NTE_BAD_HASH);
                    if (!VRKGetHashParam(t, HP_HASHVAL, digest)) return LastOr(NTE_BAD_HASH);
                } else {
                    VRKSCApi::CryptHash v;
                    if (!VRKDuplicateHash(data.hash, &v) || !VRKGetHashParam(v, HP_HASHVAL, digest))
                        return LastOr(NTE_BAD_HASH);
                }
                if (digest != AttributeOctets(*md)) return kVerifyDigestMismatch;
            } else if (!chained) {
                return kVerifyDigestMismatch;
            }
            // What was signed is the attributes as a universal SET.
            IdentObj encoded = attrs.GetEncoded();
            if (encoded.IsEmpty()) encoded = attrs.WriteData(nullptr);
            if (encoded.IsEmpty()) return kVerifyDigestMismatch;
            encoded.data()[0] = 0x31;
            if (!chained) {
                VRKSCApi::CryptHash fresh;
                if (!VRKCreateHash(m_prov, data.alg, 0, &fresh)) return LastOr(NTE_BAD_ALGID);
                h = std::move(fresh);
            }
            if (!VRKHashData(h, encoded)) return LastOr(NTE_BAD_HASH);
        }
        VRKSCApi::CryptKey key;
        const CCTFCertPublicKeyInfo pk(signer->GetContext()->pCertInfo->SubjectPublicKeyInfo);
        if (!CTFIportPKInfo(m_prov, pk, &key)) return LastOr(kVerifyBadSignature);
        // The model keeps the signature least significant byte first, as
        // the provider takes it.
        if (!VRKVerifySignature(h, si.m_signature, key, 0)) return kVerifyBadSignature;
        if (trustList && !MaySignTrustList(*signer)) return kVerifyNotTrustListSigner;
        return 0;
    }

    const Message& m_msg;
    const char* m_place;
    VRKSCApi::CryptProvider m_prov;
    std::vector<CCTFCertContext> m_certs;
    std::vector<std::unique_ptr<Prepared>> m_hashes;
};

Message FromModel(const CCTFSignData& d) {
    Message m;
    for (const auto& a : d.m_digestAlgorithms) m.digestOids.push_back(a.GetOID().str());
    m.certificates.assign(d.m_certificates.begin(), d.m_certificates.end());
    m.signerInfos.assign(d.m_signerInfos.begin(), d.m_signerInfos.end());
    return m;
}

Message FromParts(const cert::SignedDataParts& p) {
    Message m;
    for (const auto& a : p.digestAlgorithms) m.digestOids.push_back(OidOf(a));
    m.certificates = p.certificates;
    m.signerInfos = p.signerInfos;
    return m;
}

void FeedMemory(const Sink& sink, const void* data, std::uint64_t size) {
    if (size) sink(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

void FeedFile(const Sink& sink, const std::string& path, const std::vector<cert::ByteRange>& ranges) {
    cert::messages::ProgressScope progress(cert::signing::Total(ranges));
    cert::messages::ReadFileRanges(path, ranges, sink);
}

}  // namespace

CCTFWholeSignatureCheck::~CCTFWholeSignatureCheck() = default;

int CCTFWholeSignatureCheck::Compare(const CCTFWholeSignatureCheck& o) const {
    if (const int c = m_signerInfo.Compare(o.m_signerInfo)) return c;
    if (const int c = m_certificate.Compare(o.m_certificate)) return c;
    if (const int c = m_blob.Compare(o.m_blob)) return c;
    if (m_status != o.m_status) return m_status < o.m_status ? -1 : 1;
    if (m_text != o.m_text) return m_text < o.m_text ? -1 : 1;
    return 0;
}

bool CTFVerifySignedData(std::list<CCTFWholeSignatureCheck>* results, const WhatToSignStruct& data,
                         const IdentObj& signature, const CCTFCertStorage* storage, int* error) {
    static const char kPlace[] = "CTFVerifySignedData";
    return cert::signing::Reported(kPlace, error, [&] {
        if (signature.IsEmpty()) throw XTOOStatus(TOOERR_BADARG, " CSPVerifySignedData");
        if (!results) throw XTOOStatus(TOOERR_BADARG, kPlace);
        CCTFSignData sd;
        int st = 0;
        if (!sd.ReadObject(signature.data(), signature.size(), &st)) throw XTOOStatus(st ? st : 206, kPlace);
        const Message m = FromModel(sd);
        Verifier v(m, storage, kPlace);
        const IdentObj& attached = sd.m_content.GetParameters();
        if (!attached.IsEmpty()) {
            v.HashContent([&](const Sink& s) { FeedMemory(s, attached.data(), attached.size()); });
        } else if (!data.data) {
            // A null pointer with the end 0xFFFFFFFF says "no content" on
            // purpose (a trust list is judged on its certificates); any
            // other null descriptor is a caller who forgot the data.
            if (data.end != 0xFFFFFFFFu) throw XTOOStatus(TOOERR_BADARG, "WhatToSignStruct ");
        } else if (data.flags & kWhatToSignFile) {
            const auto ranges = cert::signing::FileRange(data.data, data.start, data.end);
            v.HashContent([&](const Sink& s) { FeedFile(s, data.data, ranges); });
        } else {
            if (data.end < data.start) throw XTOOStatus(TOOERR_BADARG, "WhatToSignStruct ");
            v.HashContent([&](const Sink& s) { FeedMemory(s, data.data + data.start, data.end - data.start); });
        }
        v.Run(*results);
    });
}

bool CTFVerifySignatureOnFile(std::list<CCTFWholeSignatureCheck>& results, const char* fileName,
                              const IdentObj* detachedSignature, const CCTFCertStorage* storage, int* error) {
    static const char kPlace[] = "CTFVerifySignatureOnFile";
    return cert::signing::Reported(kPlace, error, [&] {
        if (!fileName || (detachedSignature && detachedSignature->IsEmpty())) throw XTOOStatus(TOOERR_BADARG, kPlace);
        if (CTOOFile::Length(fileName) < 0) throw XTOOStatus(TOOERR_NOFILE, kPlace);
        cert::SignedDataReader reader;
        cert::SignedDataParts parts;
        int st = 0;
        CTOOString where;
        const bool read = detachedSignature ? reader.ReadMemory(detachedSignature->data(), detachedSignature->size(),
                                                                parts, &st, &where)
                                            : reader.ReadFile(fileName, 0, parts, &st, &where);
        if (!read) throw XTOOStatus(st ? st : 206, where.IsEmpty() ? kPlace : where.c_str());
        const Message m = FromParts(parts);
        Verifier v(m, storage, kPlace);
        if (detachedSignature && !parts.detached) {
            // A signature that carries its content is judged on that.
            v.HashContent([&](const Sink& s) {
                for (const auto& r : parts.content) FeedMemory(s, detachedSignature->data() + r.offset, r.length);
            });
        } else if (detachedSignature) {
            const auto ranges = cert::signing::FileRange(fileName, 0, 0xFFFFFFFFu);
            v.HashContent([&](const Sink& s) { FeedFile(s, fileName, ranges); });
        } else if (parts.detached) {
            // The content is elsewhere, and nobody said where.
            throw XTOOStatus(TOOERR_BADARG, kPlace);
        } else {
            v.HashContent([&](const Sink& s) { FeedFile(s, fileName, parts.content); });
        }
        v.Run(results);
    });
}

bool CTFRemoveSignaturesFromFile(const char* signedFile, const char* contentFile, IdentObj* detachedSignature,
                                 int* error) {
    static const char kPlace[] = "CTFRemoveSignaturesFromFile";
    return cert::signing::Reported(kPlace, error, [&] {
        if (!signedFile || !contentFile) throw XTOOStatus(TOOERR_BADARG, kPlace);
        if (CTOOFile::Length(signedFile) < 0) throw XTOOStatus(TOOERR_NOFILE, signedFile);
        CTOOFile file(signedFile, "rb");
        CCTFSignData sd;
        int st = 0;
        if (!sd.ReadObject(file, 0, &st)) throw XTOOStatus(st ? st : 206, signedFile);
        WhatToSignStruct target;
        target.flags = kWhatToSignFile;
        target.data = contentFile;
        if (!sd.DetachData(target, &st)) throw XTOOStatus(st ? st : TOOERR_EXCEPTION, contentFile);
        if (detachedSignature) {
            IdentObj out = sd.WriteObject(nullptr);
            *detachedSignature = std::move(out);
        }
    });
}

namespace {

// The hash a GOST key signs with when the caller names none.
const char* GostHashOf(ALG_ID keyAlg) {
    switch (keyAlg) {
        case CALG_GOST_R3410_2001:
        case CALG_GOST_R3410_2001_DH:
            return cert::oids::kGostR3411_94;
        case CALG_GOST_R3410_2012_256:
        case CALG_GOST_R3410_2012_256_DH:
            return cert::oids::kGostR3411_2012_256;
        case CALG_GOST_R3410_2012_512:
        case CALG_GOST_R3410_2012_512_DH:
            return cert::oids::kGostR3411_2012_512;
        default:
            return nullptr;
    }
}

unsigned long SignatureSize(const IdentObj& certificate, unsigned long flags, CCTFSignData* signedData,
                            unsigned long dataSize, const char* hashOid) {
    static const char kPlace[] = "CTFGetSignaturesSizes";
    if (certificate.IsEmpty()) throw XTOOStatus(TOOERR_BADARG, kPlace);
    CCTFX509Certificate decoded;
    if (!decoded.DecodeCert(certificate)) throw XTOOStatus(TOOERR_DER_FORMAT, kPlace);
    const CCTFCertContext context(certificate);
    if (!context.IsInitialized()) throw XTOOStatus(TOOERR_DER_FORMAT, kPlace);

    CCTFSignData sd;
    if (signedData) {
        sd = *signedData;
    } else if (dataSize) {
        const std::string placeholder(dataSize, '\0');
        WhatToSignStruct content;
        content.data = placeholder.data();
        content.end = dataSize;
        int st = 0;
        if (!sd.AttachData(content, &st)) throw XTOOStatus(st, kPlace);
    }
    if (flags & kSizeWithoutCertificate)
        sd.m_version = 3;
    else
        cert::signing::AddCertificate(sd, certificate);

    const std::string keyOid = context.GetContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    unsigned keyAlg = 0, extra = 0;
    if (!GetAlgIDFromOID(keyOid.c_str(), static_cast<unsigned long>(keyOid.size()), keyAlg, extra))
        throw XTOOStatus(TOOERR_UNKNOWN_ALG, keyOid.c_str());
    // The hash the signature will use: the caller's when named, so that the
    // size is that of the signature to come; else the key's own.
    std::string hash = hashOid && *hashOid ? hashOid : "";
    if (hash.empty()) {
        if (const char* gost = GostHashOf(keyAlg)) {
            hash = gost;
        } else {
            const std::list<CTOOString> supported = CTFGetSupportedHashOIDS(&context);
            if (supported.empty()) throw XTOOStatus(TOOERR_UNKNOWN_ALG, keyOid.c_str());
            hash = supported.front().str();
        }
    }
    const ALG_ID hashAlg = HashAlgOf(hash);
    if (!hashAlg) throw XTOOStatus(TOOERR_UNKNOWN_ALG, hash.c_str());

    // The provider tells the sizes: the digest's, and the key's, of which a
    // GOST signature holds two numbers.
    VRKSCApi::CryptProvider prov;
    if (!VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT))
        FailLast("CryptAcquireContextA");
    VRKSCApi::CryptHash h;
    IdentObj digest;
    if (!VRKCreateHash(prov, hashAlg, 0, &h) || !VRKGetHashParam(h, HP_HASHVAL, digest)) FailLast(hash.c_str());
    DWORD signatureSize = 64;
    VRKSCApi::CryptKey key;
    if (!CTFIportPKInfo(prov, CCTFCertPublicKeyInfo(context.GetContext()->pCertInfo->SubjectPublicKeyInfo), &key))
        FailLast("CryptImportPublicKeyInfo");
    IdentObj bits;
    if (VRKGetKeyParam(key, KP_KEYLEN, bits) && bits.size() == sizeof(DWORD)) {
        DWORD n = 0;
        std::memcpy(&n, bits.data(), sizeof n);
        if (n) signatureSize = GostHashOf(keyAlg) ? 2 * (n / 8) : (n + 7) / 8;
    }

    using cert::signing::Algorithm;
    CCTFMessageSignerInfo si;
    cert::signing::NameSigner(si, context, false);
    si.m_digestAlgorithm = Algorithm(CTOOString(hash));
    si.m_signatureAlgorithm = Algorithm(cert::signing::SignatureOid(hashAlg, context));
    si.m_signature.Alloc(signatureSize);
    // The product's hash chains the attributes onto the data: no digest.
    si.m_signedAttributes = cert::signing::SignedAttributes(
        cert::kOidData, hashAlg != CALG_VRK_HASH ? &digest : nullptr, cert::signing::AttributeOrder::DigestFirst);
    sd.m_signerInfos.push_back(si.WriteData(nullptr));
    cert::signing::AddDigestAlgorithm(sd, Algorithm(CTOOString(hash)));
    return static_cast<unsigned long>(sd.WriteObject(nullptr).size());
}

unsigned long SizeReported(const IdentObj& certificate, unsigned long flags, CCTFSignData* signedData,
                           unsigned long dataSize, const char* hashOid, int* error) {
    return TOOGuarded("CTFGetSignaturesSizes", error, 0ul,
                      [&] { return SignatureSize(certificate, flags, signedData, dataSize, hashOid); });
}

}  // namespace

unsigned long CTFGetSignaturesSizes(const CCTFCertContext& certificate, unsigned long flags, CCTFSignData* signedData,
                                    unsigned long dataSize, const char* hashOid, int* error) {
    return SizeReported(certificate.IsInitialized() ? certificate.GetEncoded() : IdentObj(), flags, signedData,
                        dataSize, hashOid, error);
}

unsigned long CTFGetSignaturesSizes(const IdentObj& certificate, unsigned long flags, CCTFSignData* signedData,
                                    unsigned long dataSize, const char* hashOid, int* error) {
    return SizeReported(certificate, flags, signedData, dataSize, hashOid, error);
}
