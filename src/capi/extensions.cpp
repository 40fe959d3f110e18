// The extension structures: authority key identifiers (both forms), basic
// constraints (both forms), key usage, extended key usage, CRL distribution
// points, authority information access, and the small values (key
// identifier, CRL reason, CRL number).
#include <limits>

#include "capi/codec.h"

namespace cert::capi {

namespace {

template <class T>
const T& As(const void* info) {
    return *static_cast<const T*>(info);
}

// [0] IMPLICIT OCTET STRING key identifier, when the next element is one.
void KeyIdOut(asn::Reader& s, Arena& a, CRYPT_DATA_BLOB& out) {
    if (Has(s, 0, asn::kContext)) a.Bytes(out, TakeContext(s, 0, false).content);
}

void PutKeyId(asn::Writer& w, const CRYPT_DATA_BLOB& keyId) {
    if (keyId.cbData) w.Element(asn::kContext, false, 0, View(keyId));
}

// [2] IMPLICIT INTEGER serial, when the next element is one.
void IssuerSerialOut(asn::Reader& s, Arena& a, CRYPT_INTEGER_BLOB& out) {
    if (Has(s, 2, asn::kContext)) SerialOut(a, out, TakeContext(s, 2, false));
}

void PutIssuerSerial(asn::Writer& w, const CRYPT_INTEGER_BLOB& serial) {
    if (serial.cbData) PutSerial(w, serial, asn::kContext, 2);
}

}  // namespace

// AuthorityKeyId ::= SEQUENCE { keyIdentifier [0] OCTET STRING OPTIONAL,
//   certIssuer [1] Name OPTIONAL, certSerialNumber [2] INTEGER OPTIONAL };
// Name being a CHOICE, its tag is explicit.
void DecodeAuthorityKeyId(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_AUTHORITY_KEY_ID_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    KeyIdOut(s, a, out->KeyId);
    if (Has(s, 1, asn::kContext)) {
        asn::Reader issuer = s.Enter(TakeContext(s, 1, true));
        NameOut(issuer, a, out->CertIssuer);
        issuer.Finish();
    }
    IssuerSerialOut(s, a, out->CertSerialNumber);
    s.Finish();
}

void EncodeAuthorityKeyId(asn::Writer& w, const void* info) {
    const auto& in = As<CERT_AUTHORITY_KEY_ID_INFO>(info);
    auto m = w.BeginSequence();
    PutKeyId(w, in.KeyId);
    if (in.CertIssuer.cbData) {
        auto issuer = w.BeginContext(1);
        PutName(w, in.CertIssuer);
        w.End(issuer);
    }
    PutIssuerSerial(w, in.CertSerialNumber);
    w.End(m);
}

// AuthorityKeyIdentifier ::= SEQUENCE { keyIdentifier [0] OPTIONAL,
//   authorityCertIssuer [1] GeneralNames OPTIONAL,
//   authorityCertSerialNumber [2] OPTIONAL }, implicit tags.
void DecodeAuthorityKeyId2(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_AUTHORITY_KEY_ID2_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    KeyIdOut(s, a, out->KeyId);
    if (Has(s, 1, asn::kContext)) {
        asn::Reader names = s.Enter(TakeContext(s, 1, true));
        AltNamesOut(names, a, out->AuthorityCertIssuer);
    }
    IssuerSerialOut(s, a, out->AuthorityCertSerialNumber);
    s.Finish();
}

void EncodeAuthorityKeyId2(asn::Writer& w, const void* info) {
    const auto& in = As<CERT_AUTHORITY_KEY_ID2_INFO>(info);
    auto m = w.BeginSequence();
    PutKeyId(w, in.KeyId);
    if (in.AuthorityCertIssuer.cAltEntry) PutAltNames(w, in.AuthorityCertIssuer, asn::kContext, 1);
    PutIssuerSerial(w, in.AuthorityCertSerialNumber);
    w.End(m);
}

// BasicConstraintsSyntax ::= SEQUENCE { subjectType BIT STRING,
//   pathLenConstraint INTEGER OPTIONAL, subtreesConstraint SEQUENCE OF Name
//   OPTIONAL }.
void DecodeBasicConstraints(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_BASIC_CONSTRAINTS_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    BitsOut(a, out->SubjectType, Take(s, asn::kBitString));
    if (Has(s, asn::kInteger)) {
        out->fPathLenConstraint = TRUE;
        out->dwPathLenConstraint = SmallUnsigned(Take(s, asn::kInteger));
    }
    if (Has(s, asn::kSequence)) {
        asn::Reader subtrees = s.Enter(Take(s, asn::kSequence));
        CERT_NAME_BLOB* names = ArrayOut(subtrees, a, out->cSubtreesConstraint, out->rgSubtreesConstraint);
        for (DWORD i = 0; i < out->cSubtreesConstraint; ++i) NameOut(subtrees, a, names[i]);
    }
    s.Finish();
}

void EncodeBasicConstraints(asn::Writer& w, const void* info) {
    const auto& in = As<CERT_BASIC_CONSTRAINTS_INFO>(info);
    auto m = w.BeginSequence();
    PutBits(w, in.SubjectType, true);
    if (in.fPathLenConstraint) w.Integer(in.dwPathLenConstraint);
    if (in.cSubtreesConstraint)
        PutSequenceOf(w, in.rgSubtreesConstraint, in.cSubtreesConstraint,
                      [&](const CERT_NAME_BLOB& name) { PutName(w, name); });
    w.End(m);
}

// BasicConstraints ::= SEQUENCE { cA BOOLEAN DEFAULT FALSE,
//   pathLenConstraint INTEGER OPTIONAL }.
void DecodeBasicConstraints2(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_BASIC_CONSTRAINTS2_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    if (Has(s, asn::kBoolean)) {
        asn::Element b = Take(s, asn::kBoolean);
        out->fCA = asn::DecodeBoolean(b.content, {}, b.ContentOffset()) ? TRUE : FALSE;
    }
    if (Has(s, asn::kInteger)) {
        out->fPathLenConstraint = TRUE;
        out->dwPathLenConstraint = SmallUnsigned(Take(s, asn::kInteger));
    }
    s.Finish();
}

void EncodeBasicConstraints2(asn::Writer& w, const void* info) {
    const auto& in = As<CERT_BASIC_CONSTRAINTS2_INFO>(info);
    auto m = w.BeginSequence();
    if (in.fCA) w.Boolean(true);
    if (in.fPathLenConstraint) w.Integer(in.dwPathLenConstraint);
    w.End(m);
}

void DecodeKeyUsage(asn::Reader& r, Arena& a, DWORD) { BitsOut(a, *a.New<CRYPT_BIT_BLOB>(), Take(r, asn::kBitString)); }

void EncodeKeyUsage(asn::Writer& w, const void* info) { PutBits(w, As<CRYPT_BIT_BLOB>(info), true); }

// ExtKeyUsageSyntax ::= SEQUENCE OF KeyPurposeId.
void DecodeEnhancedKeyUsage(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_ENHKEY_USAGE>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    LPSTR* oids = ArrayOut(s, a, out->cUsageIdentifier, out->rgpszUsageIdentifier);
    for (DWORD i = 0; i < out->cUsageIdentifier; ++i) OidOut(s, a, oids[i]);
}

void EncodeEnhancedKeyUsage(asn::Writer& w, const void* info) {
    const auto& in = As<CERT_ENHKEY_USAGE>(info);
    PutSequenceOf(w, in.rgpszUsageIdentifier, in.cUsageIdentifier, [&](LPSTR oid) { PutOid(w, oid); });
}

// CRLDistributionPoints ::= SEQUENCE OF DistributionPoint;
// DistributionPoint ::= SEQUENCE { distributionPoint [0] DistributionPointName
//   OPTIONAL, reasons [1] ReasonFlags OPTIONAL, cRLIssuer [2] GeneralNames
//   OPTIONAL }; DistributionPointName ::= CHOICE { fullName [0] GeneralNames,
//   nameRelativeToCRLIssuer [1] RelativeDistinguishedName }.
void DecodeCrlDistPoints(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CRL_DIST_POINTS_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    CRL_DIST_POINT* points = ArrayOut(s, a, out->cDistPoint, out->rgDistPoint);
    for (DWORD i = 0; i < out->cDistPoint; ++i) {
        CRL_DIST_POINT& p = points[i];
        asn::Reader d = s.Enter(Take(s, asn::kSequence));
        if (Has(d, 0, asn::kContext)) {
            asn::Reader name = d.Enter(TakeContext(d, 0, true));
            if (Has(name, 1, asn::kContext)) Throw(CRYPT_E_ASN1_CHOICE);
            asn::Reader full = name.Enter(TakeContext(name, 0, true));
            name.Finish();
            p.DistPointName.dwDistPointNameChoice = CRL_DIST_POINT_FULL_NAME;
            AltNamesOut(full, a, p.DistPointName.FullName);
        }
        if (Has(d, 1, asn::kContext)) BitsOut(a, p.ReasonFlags, TakeContext(d, 1, false));
        if (Has(d, 2, asn::kContext)) {
            asn::Reader issuer = d.Enter(TakeContext(d, 2, true));
            AltNamesOut(issuer, a, p.CRLIssuer);
        }
        d.Finish();
    }
}

void EncodeCrlDistPoints(asn::Writer& w, const void* info) {
    const auto& in = As<CRL_DIST_POINTS_INFO>(info);
    PutSequenceOf(w, in.rgDistPoint, in.cDistPoint, [&](const CRL_DIST_POINT& p) {
        auto d = w.BeginSequence();
        switch (p.DistPointName.dwDistPointNameChoice) {
            case CRL_DIST_POINT_NO_NAME:
                break;
            case CRL_DIST_POINT_FULL_NAME: {
                auto name = w.BeginContext(0);
                PutAltNames(w, p.DistPointName.FullName, asn::kContext, 0);
                w.End(name);
                break;
            }
            default:
                Throw(E_INVALIDARG);
        }
        if (p.ReasonFlags.cbData) PutBits(w, p.ReasonFlags, true, asn::kContext, 1);
        if (p.CRLIssuer.cAltEntry) PutAltNames(w, p.CRLIssuer, asn::kContext, 2);
        w.End(d);
    });
}

// AuthorityInfoAccessSyntax ::= SEQUENCE OF AccessDescription;
// AccessDescription ::= SEQUENCE { accessMethod OID, accessLocation GeneralName }.
void DecodeAuthorityInfoAccess(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_AUTHORITY_INFO_ACCESS>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    CERT_ACCESS_DESCRIPTION* list = ArrayOut(s, a, out->cAccDescr, out->rgAccDescr);
    for (DWORD i = 0; i < out->cAccDescr; ++i) {
        asn::Reader d = s.Enter(Take(s, asn::kSequence));
        OidOut(d, a, list[i].pszAccessMethod);
        AltNameOut(d, a, list[i].AccessLocation);
        d.Finish();
    }
}

void EncodeAuthorityInfoAccess(asn::Writer& w, const void* info) {
    const auto& in = As<CERT_AUTHORITY_INFO_ACCESS>(info);
    PutSequenceOf(w, in.rgAccDescr, in.cAccDescr, [&](const CERT_ACCESS_DESCRIPTION& d) {
        auto seq = w.BeginSequence();
        PutOid(w, d.pszAccessMethod);
        PutAltName(w, d.AccessLocation);
        w.End(seq);
    });
}

void DecodeOctetString(asn::Reader& r, Arena& a, DWORD) {
    a.Bytes(*a.New<CRYPT_DATA_BLOB>(), Take(r, asn::kOctetString).content);
}

void EncodeOctetString(asn::Writer& w, const void* info) { w.OctetString(View(As<CRYPT_DATA_BLOB>(info))); }

void DecodeEnumerated(asn::Reader& r, Arena& a, DWORD) {
    int* out = a.New<int>();
    asn::Element e = Take(r, asn::kEnumerated);
    std::int64_t v = asn::DecodeInteger(e.content, e.ContentOffset());
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) Throw(CRYPT_E_ASN1_LARGE);
    *out = static_cast<int>(v);
}

void EncodeEnumerated(asn::Writer& w, const void* info) { w.Enumerated(As<int>(info)); }

// A CRL number keeps the INTEGER content in its encoded order.
void DecodeCrlNumber(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CRYPT_INTEGER_BLOB>();
    asn::Element e = Take(r, asn::kInteger);
    a.Bytes(*out, asn::DecodeIntegerBytes(e.content, e.ContentOffset()));
}

void EncodeCrlNumber(asn::Writer& w, const void* info) {
    asn::Bytes b = View(As<CRYPT_INTEGER_BLOB>(info));
    if (b.empty()) Throw(E_INVALIDARG);
    w.Primitive(asn::kInteger, b);
}

}  // namespace cert::capi
