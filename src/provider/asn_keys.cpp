// Encoding and decoding of the key container and key transport structures.
#include "cert/asnkeys.h"

#include <cstring>
#include <new>

#include "cert/asn.h"

namespace {

// A time not given (zero) travels as 1970-01-01, which no key is made at.
const FILETIME kNoTime = asn::MakeFileTime(1970, 1, 1, 0, 0, 0);

FILETIME ReadTimeOrZero(asn::Reader& r) {
    FILETIME t = r.ReadTime();
    return t.dwLowDateTime == kNoTime.dwLowDateTime && t.dwHighDateTime == kNoTime.dwHighDateTime ? FILETIME{} : t;
}

void WriteTime(asn::Writer& w, const FILETIME& t) {
    w.GeneralizedTime(t.dwHighDateTime || t.dwLowDateTime ? t : kNoTime);
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Encoders report by a thrown XTOOStatus only: nothing else leaves them.
template <class F>
IdentObj Encoded(const char* place, F&& body) {
    return TOOGuarded(place, nullptr, IdentObj(), std::forward<F>(body));
}

DWORD ReadWord(asn::Reader& r) {
    std::int64_t v = r.ReadInteger();
    if (v < 0 || v > 0xFFFFFFFFll) r.ThrowAt(r.Offset(), "value out of range");
    return static_cast<DWORD>(v);
}

}  // namespace

void ASNKeyInfo::Write(asn::Writer& w) const {
    auto m = w.BeginSequence();
    w.Integer(dwFlags).Integer(dwKeySpec).Integer(algId).OctetString(keyId).OctetString(publicKey);
    if (!paramSet.IsEmpty()) w.Oid(paramSet.str());
    auto v = w.BeginSequence();
    WriteTime(w, notBefore);
    WriteTime(w, notAfter);
    w.End(v);
    if (!certificate.IsEmpty()) {
        auto c = w.BeginContext(0);
        w.Raw(certificate);
        w.End(c);
    }
    w.End(m);
}

void ASNKeyInfo::Read(asn::Reader& outer) {
    asn::Reader r = outer.EnterSequence();
    ASNKeyInfo k;
    k.dwFlags = ReadWord(r);
    k.dwKeySpec = ReadWord(r);
    k.algId = ReadWord(r);
    k.keyId = r.ReadOctetString();
    k.publicKey = r.ReadOctetString();
    if (r.NextIs(asn::kUniversal, asn::kOid)) k.paramSet = r.ReadOid();
    asn::Reader v = r.EnterSequence();
    k.notBefore = ReadTimeOrZero(v);
    k.notAfter = ReadTimeOrZero(v);
    v.Finish();
    if (auto c = r.Optional(0, asn::kContext)) {
        if (!c->constructed) r.ThrowAt(c->offset, "certificate not constructed");
        asn::Reader inner = r.Enter(*c);
        const asn::Element cert = inner.Expect(asn::kSequence);
        inner.Finish();
        k.certificate = IdentObj(cert.encoded.data(), static_cast<DWORD>(cert.encoded.size()));
    }
    r.Finish();
    *this = std::move(k);
}

bool ASNKeyInfo::operator==(const ASNKeyInfo& o) const {
    return dwFlags == o.dwFlags && dwKeySpec == o.dwKeySpec && algId == o.algId && keyId == o.keyId &&
           publicKey == o.publicKey && paramSet == o.paramSet && SameTime(notBefore, o.notBefore) &&
           SameTime(notAfter, o.notAfter) && certificate == o.certificate;
}

void ASNProtectionKeyInfo::Write(asn::Writer& w) const {
    auto m = w.BeginSequence();
    w.Integer(dwFlags).Oid(kdf.str()).Integer(iterations);
    w.End(m);
}

void ASNProtectionKeyInfo::Read(asn::Reader& outer) {
    asn::Reader r = outer.EnterSequence();
    dwFlags = ReadWord(r);
    kdf = r.ReadOid();
    iterations = ReadWord(r);
    r.Finish();
}

bool ASNProtectionKeyInfo::operator==(const ASNProtectionKeyInfo& o) const {
    return dwFlags == o.dwFlags && kdf == o.kdf && iterations == o.iterations;
}

IdentObj ASNContainerInfo::Encode() const {
    return Encoded("ASNContainerInfo", [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        w.Integer(version).String(asn::kUtf8String, name.str());
        keyInfo.Write(w);
        protectionKeyInfo.Write(w);
        auto ks = w.BeginSequence();
        for (const auto& k : keys) k.Write(w);
        w.End(ks);
        w.End(m);
        return w.Take();
    });
}

bool ASNContainerInfo::Decode(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("ASNContainerInfo", pStatus, [&] {
        asn::Reader top(data, size);
        asn::Reader r = top.EnterSequence();
        top.Finish();
        ASNContainerInfo info;
        info.version = ReadWord(r);
        info.name = r.ReadString();
        info.keyInfo.Read(r);
        info.protectionKeyInfo.Read(r);
        asn::Reader ks = r.EnterSequence();
        while (!ks.AtEnd()) {
            ASNKeyInfo k;
            k.Read(ks);
            info.keys.push_back(std::move(k));
        }
        r.Finish();
        version = info.version;
        name = std::move(info.name);
        keyInfo = std::move(info.keyInfo);
        protectionKeyInfo = std::move(info.protectionKeyInfo);
        keys = std::move(info.keys);
    });
}

bool ASNContainerInfo::operator==(const ASNContainerInfo& o) const {
    return version == o.version && name == o.name && keyInfo == o.keyInfo && protectionKeyInfo == o.protectionKeyInfo &&
           keys == o.keys;
}

void CASNEncryptedKey::Write(asn::Writer& w) const {
    auto m = w.BeginSequence();
    w.OctetString(encryptedKey);
    if (!maskKey.IsEmpty()) w.Element(asn::kContext, false, 0, asn::View(maskKey));
    w.OctetString(macKey);
    w.End(m);
}

void CASNEncryptedKey::Read(asn::Reader& outer) {
    asn::Reader r = outer.EnterSequence();
    encryptedKey = r.ReadOctetString();
    maskKey.Empty();
    if (auto e = r.Optional(0, asn::kContext)) maskKey = r.StringContent(*e);
    macKey = r.ReadOctetString();
    r.Finish();
    if (encryptedKey.size() != 32 || macKey.size() < 1 || macKey.size() > 4) r.ThrowAt(r.Offset(), "bad key sizes");
}

IdentObj CASNEncryptedKey::Encode() const {
    return Encoded("CASNEncryptedKey", [&] {
        asn::Writer w;
        Write(w);
        return w.Take();
    });
}

bool CASNEncryptedKey::Decode(const IdentObj& der, int* pStatus) {
    return TOOGuarded("CASNEncryptedKey", pStatus, [&] {
        asn::Reader r(der.data(), der.size());
        Read(r);
        r.Finish();
    });
}

void CASNEphemeralKeyInfo::Write(asn::Writer& w, bool tagged) const {
    auto m = tagged ? w.BeginContext(0) : w.BeginSequence();
    w.Oid(encryptionParamSet.str());
    if (!ephemeralPublicKey.IsEmpty()) {
        // [0] IMPLICIT: the SubjectPublicKeyInfo's content under a new tag.
        asn::Reader spki(ephemeralPublicKey.data(), ephemeralPublicKey.size());
        asn::Element e = spki.Expect(asn::kSequence);
        w.Element(asn::kContext, true, 0, e.content);
    }
    w.OctetString(ukm);
    w.End(m);
}

void CASNEphemeralKeyInfo::ReadContent(asn::Reader& r) {
    encryptionParamSet = r.ReadOid();
    ephemeralPublicKey.Empty();
    if (auto e = r.Optional(0, asn::kContext)) {
        if (!e->constructed) r.ThrowAt(e->offset, "ephemeral key must be constructed");
        ephemeralPublicKey = asn::Encode(asn::kUniversal, true, asn::kSequence, e->content);
    }
    ukm = r.ReadOctetString();
    r.Finish();
    if (ukm.size() != 8) r.ThrowAt(r.Offset(), "UKM must be 8 bytes");
}

IdentObj CASNExportKeyInfo::Encode() const {
    return Encoded("CASNExportKeyInfo", [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        sessionEncryptedKey.Write(w);
        if (hasTransportParameters) transportParameters.Write(w, true);
        w.End(m);
        return w.Take();
    });
}

bool CASNExportKeyInfo::Decode(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("CASNExportKeyInfo", pStatus, [&] {
        asn::Reader top(data, size);
        asn::Reader r = top.EnterSequence();
        top.Finish();
        sessionEncryptedKey.Read(r);
        hasTransportParameters = false;
        if (auto e = r.Optional(0, asn::kContext)) {
            asn::Reader c = r.Enter(*e);
            transportParameters.ReadContent(c);
            hasTransportParameters = true;
        }
        r.Finish();
    });
}
