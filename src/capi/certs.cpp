// Signed content, the to-be-signed certificate and CRL, and the public key
// information.
#include <algorithm>

#include "capi/codec.h"

namespace cert::capi {

namespace {

bool NextIsTime(asn::Reader& r) { return Has(r, asn::kUtcTime) || Has(r, asn::kGeneralizedTime); }

// The contents of the to-be-signed part the input holds: the input itself
// or, as Windows reads these types unless told otherwise, the first element
// of signed content around it. Signed content is SEQUENCE { SEQUENCE,
// AlgorithmIdentifier, BIT STRING }; no to-be-signed certificate or CRL has
// a BIT STRING third.
asn::Reader EnterToBeSigned(asn::Reader& r, DWORD flags) {
    asn::Reader probe = r;
    asn::Reader outer = probe.Enter(Take(probe, asn::kSequence));
    bool isSigned = false;
    if (!(flags & CRYPT_DECODE_TO_BE_SIGNED_FLAG) && Has(outer, asn::kSequence)) {
        outer.Next();
        if (!outer.AtEnd()) {
            outer.Next();
            isSigned = Has(outer, asn::kBitString);
        }
    }
    if (isSigned) {
        asn::Reader whole = r;
        Arena scratch;
        DecodeSignedContent(whole, scratch, flags);  // the envelope must be sound too
    }
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    return isSigned ? s.Enter(Take(s, asn::kSequence)) : s;
}

// [n] EXPLICIT SEQUENCE OF Extension.
void TaggedExtensionsOut(asn::Reader& r, std::uint32_t n, Arena& a, DWORD& count, CERT_EXTENSION*& list) {
    asn::Reader tagged = r.Enter(TakeContext(r, n, true));
    asn::Reader seq = tagged.Enter(Take(tagged, asn::kSequence));
    tagged.Finish();
    ExtensionsOut(seq, a, count, list);
}

void PutTaggedExtensions(asn::Writer& w, std::uint32_t n, DWORD count, const CERT_EXTENSION* list) {
    auto m = w.BeginContext(n);
    PutExtensions(w, count, list);
    w.End(m);
}

}  // namespace

void DecodeSignedContent(asn::Reader& r, Arena& a, DWORD flags) {
    auto* out = a.New<CERT_SIGNED_CONTENT_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    a.Bytes(out->ToBeSigned, Take(s, asn::kSequence).encoded);
    AlgorithmOut(s, a, out->SignatureAlgorithm);
    BitsOut(a, out->Signature, Take(s, asn::kBitString));
    if (!(flags & CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG))
        std::reverse(out->Signature.pbData, out->Signature.pbData + out->Signature.cbData);
    s.Finish();
}

void EncodeSignedContent(asn::Writer& w, const void* info) {
    const auto& in = *static_cast<const CERT_SIGNED_CONTENT_INFO*>(info);
    auto m = w.BeginSequence();
    PutSequence(w, in.ToBeSigned);
    PutAlgorithm(w, in.SignatureAlgorithm);
    asn::Bytes sig = View(CRYPTOAPI_BLOB{in.Signature.cbData, in.Signature.pbData});
    std::vector<std::uint8_t> reversed(sig.rbegin(), sig.rend());
    PutBits(w, CRYPT_BIT_BLOB{in.Signature.cbData, reversed.data(), in.Signature.cUnusedBits}, false);
    w.End(m);
}

void DecodeCertInfo(asn::Reader& r, Arena& a, DWORD flags) {
    auto* out = a.New<CERT_INFO>();
    asn::Reader s = EnterToBeSigned(r, flags);
    if (Has(s, 0, asn::kContext)) {
        asn::Reader v = s.Enter(TakeContext(s, 0, true));
        out->dwVersion = SmallUnsigned(Take(v, asn::kInteger));
        v.Finish();
    }
    SerialOut(a, out->SerialNumber, Take(s, asn::kInteger));
    AlgorithmOut(s, a, out->SignatureAlgorithm);
    NameOut(s, a, out->Issuer);
    asn::Reader validity = s.Enter(Take(s, asn::kSequence));
    out->NotBefore = TimeOut(validity);
    out->NotAfter = TimeOut(validity);
    validity.Finish();
    NameOut(s, a, out->Subject);
    PublicKeyInfoOut(s, a, out->SubjectPublicKeyInfo);
    if (Has(s, 1, asn::kContext)) BitsOut(a, out->IssuerUniqueId, TakeContext(s, 1, false));
    if (Has(s, 2, asn::kContext)) BitsOut(a, out->SubjectUniqueId, TakeContext(s, 2, false));
    if (Has(s, 3, asn::kContext)) TaggedExtensionsOut(s, 3, a, out->cExtension, out->rgExtension);
    s.Finish();
}

void EncodeCertInfo(asn::Writer& w, const void* info) {
    const auto& in = *static_cast<const CERT_INFO*>(info);
    auto m = w.BeginSequence();
    if (in.dwVersion != CERT_V1) {
        auto v = w.BeginContext(0);
        w.Integer(in.dwVersion);
        w.End(v);
    }
    PutSerial(w, in.SerialNumber);
    PutAlgorithm(w, in.SignatureAlgorithm);
    PutName(w, in.Issuer);
    auto validity = w.BeginSequence();
    PutTime(w, in.NotBefore);
    PutTime(w, in.NotAfter);
    w.End(validity);
    PutName(w, in.Subject);
    PutPublicKeyInfo(w, in.SubjectPublicKeyInfo);
    if (in.IssuerUniqueId.cbData) PutBits(w, in.IssuerUniqueId, false, asn::kContext, 1);
    if (in.SubjectUniqueId.cbData) PutBits(w, in.SubjectUniqueId, false, asn::kContext, 2);
    if (in.cExtension) PutTaggedExtensions(w, 3, in.cExtension, in.rgExtension);
    w.End(m);
}

void DecodeCrlInfo(asn::Reader& r, Arena& a, DWORD flags) {
    auto* out = a.New<CRL_INFO>();
    asn::Reader s = EnterToBeSigned(r, flags);
    if (Has(s, asn::kInteger)) out->dwVersion = SmallUnsigned(Take(s, asn::kInteger));
    AlgorithmOut(s, a, out->SignatureAlgorithm);
    NameOut(s, a, out->Issuer);
    out->ThisUpdate = TimeOut(s);
    if (NextIsTime(s)) out->NextUpdate = TimeOut(s);
    if (Has(s, asn::kSequence)) {
        asn::Reader list = s.Enter(Take(s, asn::kSequence));
        CRL_ENTRY* entries = ArrayOut(list, a, out->cCRLEntry, out->rgCRLEntry);
        for (DWORD i = 0; i < out->cCRLEntry; ++i) {
            asn::Reader e = list.Enter(Take(list, asn::kSequence));
            SerialOut(a, entries[i].SerialNumber, Take(e, asn::kInteger));
            entries[i].RevocationDate = TimeOut(e);
            if (!e.AtEnd()) {
                asn::Reader x = e.Enter(Take(e, asn::kSequence));
                ExtensionsOut(x, a, entries[i].cExtension, entries[i].rgExtension);
            }
            e.Finish();
        }
    }
    if (Has(s, 0, asn::kContext)) TaggedExtensionsOut(s, 0, a, out->cExtension, out->rgExtension);
    s.Finish();
}

void EncodeCrlInfo(asn::Writer& w, const void* info) {
    const auto& in = *static_cast<const CRL_INFO*>(info);
    auto m = w.BeginSequence();
    if (in.dwVersion != CRL_V1) w.Integer(in.dwVersion);
    PutAlgorithm(w, in.SignatureAlgorithm);
    PutName(w, in.Issuer);
    PutTime(w, in.ThisUpdate);
    if (in.NextUpdate.dwLowDateTime || in.NextUpdate.dwHighDateTime) PutTime(w, in.NextUpdate);
    if (in.cCRLEntry) {
        PutSequenceOf(w, in.rgCRLEntry, in.cCRLEntry, [&](const CRL_ENTRY& e) {
            auto entry = w.BeginSequence();
            PutSerial(w, e.SerialNumber);
            PutTime(w, e.RevocationDate);
            if (e.cExtension) PutExtensions(w, e.cExtension, e.rgExtension);
            w.End(entry);
        });
    }
    if (in.cExtension) PutTaggedExtensions(w, 0, in.cExtension, in.rgExtension);
    w.End(m);
}

void DecodePublicKeyInfo(asn::Reader& r, Arena& a, DWORD) { PublicKeyInfoOut(r, a, *a.New<CERT_PUBLIC_KEY_INFO>()); }

void EncodePublicKeyInfo(asn::Writer& w, const void* info) {
    PutPublicKeyInfo(w, *static_cast<const CERT_PUBLIC_KEY_INFO*>(info));
}

}  // namespace cert::capi
