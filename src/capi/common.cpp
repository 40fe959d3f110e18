// The pieces several structures share: algorithm identifiers, public keys,
// names kept whole, serial numbers, bit strings, times, extensions and
// alternative-name entries, both ways.
#include <algorithm>
#include <bit>

#include "capi/codec.h"

namespace cert::capi {

namespace {

// The GeneralName choices the structures carry.
constexpr std::uint32_t kOtherName = 0, kRfc822 = 1, kDns = 2, kX400 = 3, kDirectory = 4, kEdiParty = 5, kUrl = 6,
                        kIpAddress = 7, kRegisteredId = 8;

std::u16string WidenAscii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

// A zero-terminated UTF-16 text that must be IA5.
std::string Ia5Of(LPCWSTR text) {
    if (!text) Throw(E_INVALIDARG);
    std::string out;
    for (const char16_t* p = text; *p; ++p) {
        if (*p >= 0x80) Throw(CRYPT_E_INVALID_IA5_STRING);
        out.push_back(static_cast<char>(*p));
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading.

asn::Element TakeAny(asn::Reader& r) {
    if (r.AtEnd()) Throw(CRYPT_E_ASN1_EOD);
    return r.Next();
}

asn::Element Take(asn::Reader& r, std::uint32_t tag) {
    asn::Element e = TakeAny(r);
    if (!e.IsUniversal(tag)) Throw(CRYPT_E_ASN1_BADTAG);
    return e;
}

asn::Element TakeContext(asn::Reader& r, std::uint32_t n, bool constructed) {
    asn::Element e = TakeAny(r);
    if (!e.IsContext(n)) Throw(CRYPT_E_ASN1_BADTAG);
    if (e.constructed != constructed) Throw(CRYPT_E_ASN1_CORRUPT);
    return e;
}

bool Has(asn::Reader& r, std::uint32_t tag, std::uint8_t cls) { return r.NextIs(cls, tag); }

std::size_t Count(asn::Reader r) {
    std::size_t n = 0;
    for (; !r.AtEnd(); ++n) r.Next();
    return n;
}

DWORD SmallUnsigned(const asn::Element& e) {
    std::int64_t v = asn::DecodeInteger(e.content, e.ContentOffset());
    if (v < 0) Throw(CRYPT_E_ASN1_CORRUPT);
    if (v > 0xFFFFFFFF) Throw(CRYPT_E_ASN1_LARGE);
    return static_cast<DWORD>(v);
}

void SerialOut(Arena& a, CRYPT_INTEGER_BLOB& out, const asn::Element& integer) {
    asn::Bytes c = asn::DecodeIntegerBytes(integer.content, integer.ContentOffset());
    a.Bytes(out, c);
    std::reverse(out.pbData, out.pbData + out.cbData);
}

void BitsOut(Arena& a, CRYPT_BIT_BLOB& out, const asn::Element& bits) {
    asn::BitString b = asn::DecodeBitString(bits.content, {}, bits.ContentOffset());
    out.cbData = static_cast<DWORD>(b.bytes.size());
    a.Link(out.pbData, a.Copy(b.bytes));
    out.cUnusedBits = b.unusedBits;
}

void OidOut(asn::Reader& r, Arena& a, LPSTR& field) {
    asn::Element e = Take(r, asn::kOid);
    a.Text(field, asn::DecodeOid(e.content, e.ContentOffset()));
}

void AlgorithmOut(asn::Reader& r, Arena& a, CRYPT_ALGORITHM_IDENTIFIER& out) {
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    OidOut(s, a, out.pszObjId);
    if (!s.AtEnd()) a.Bytes(out.Parameters, TakeAny(s).encoded);
    s.Finish();
}

void PublicKeyInfoOut(asn::Reader& r, Arena& a, CERT_PUBLIC_KEY_INFO& out) {
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    AlgorithmOut(s, a, out.Algorithm);
    BitsOut(a, out.PublicKey, Take(s, asn::kBitString));
    s.Finish();
}

void NameOut(asn::Reader& r, Arena& a, CERT_NAME_BLOB& out) { a.Bytes(out, Take(r, asn::kSequence).encoded); }

FILETIME TimeOut(asn::Reader& r) {
    asn::Element e = TakeAny(r);
    if (!e.IsUniversal(asn::kUtcTime) && !e.IsUniversal(asn::kGeneralizedTime)) Throw(CRYPT_E_ASN1_BADTAG);
    return asn::DecodeTime(e.tag, e.content, {}, e.ContentOffset());
}

void ExtensionsOut(asn::Reader& r, Arena& a, DWORD& count, CERT_EXTENSION*& list) {
    CERT_EXTENSION* x = ArrayOut(r, a, count, list);
    for (DWORD i = 0; i < count; ++i) {
        asn::Reader s = r.Enter(Take(r, asn::kSequence));
        OidOut(s, a, x[i].pszObjId);
        if (Has(s, asn::kBoolean)) {
            asn::Element b = Take(s, asn::kBoolean);
            x[i].fCritical = asn::DecodeBoolean(b.content, {}, b.ContentOffset()) ? TRUE : FALSE;
        }
        a.Bytes(x[i].Value, Take(s, asn::kOctetString).content);
        s.Finish();
    }
}

void AltNamesOut(asn::Reader& r, Arena& a, CERT_ALT_NAME_INFO& out) {
    CERT_ALT_NAME_ENTRY* e = ArrayOut(r, a, out.cAltEntry, out.rgAltEntry);
    for (DWORD i = 0; i < out.cAltEntry; ++i) AltNameOut(r, a, e[i]);
}

void AltNameOut(asn::Reader& r, Arena& a, CERT_ALT_NAME_ENTRY& out) {
    asn::Element e = TakeAny(r);
    if (e.cls != asn::kContext || e.tag > kRegisteredId) Throw(CRYPT_E_ASN1_BADTAG);
    if (e.tag == kX400 || e.tag == kEdiParty) Throw(CRYPT_E_ASN1_CHOICE);
    const bool constructed = e.tag == kOtherName || e.tag == kDirectory;
    if (e.constructed != constructed) Throw(CRYPT_E_ASN1_CORRUPT);
    out.dwAltNameChoice = e.tag + 1;
    switch (e.tag) {
        case kOtherName: {
            asn::Reader s = r.Enter(e);
            auto* other = a.New<CERT_OTHER_NAME>();
            a.Link(out.pOtherName, other);
            OidOut(s, a, other->pszObjId);
            asn::Reader v = s.Enter(TakeContext(s, 0, true));
            a.Bytes(other->Value, TakeAny(v).encoded);
            v.Finish();
            s.Finish();
            return;
        }
        case kRfc822:
        case kDns:
        case kUrl: {
            LPWSTR& text = e.tag == kRfc822 ? out.pwszRfc822Name : e.tag == kDns ? out.pwszDNSName : out.pwszURL;
            a.Wide(text, WidenAscii(asn::DecodeString(asn::kIA5String, e.content, e.ContentOffset())));
            return;
        }
        case kDirectory: {
            asn::Reader s = r.Enter(e);
            NameOut(s, a, out.DirectoryName);
            s.Finish();
            return;
        }
        case kIpAddress:
            a.Bytes(out.IPAddress, e.content);
            return;
        default:  // kRegisteredId
            a.Text(out.pszRegisteredID, asn::DecodeOid(e.content, e.ContentOffset()));
    }
}

// ---------------------------------------------------------------------------
// Writing.

asn::Bytes View(const CRYPTOAPI_BLOB& b) {
    if (b.cbData && !b.pbData) Throw(E_INVALIDARG);
    return asn::View(b.pbData, b.cbData);
}

void PutOid(asn::Writer& w, const char* oid) {
    if (!oid) Throw(E_INVALIDARG);
    std::vector<std::uint8_t> content;
    if (!asn::EncodeOid(oid, content)) Throw(CRYPT_E_OID_FORMAT);
    w.Primitive(asn::kOid, asn::Bytes(content.data(), content.size()));
}

void PutAlgorithm(asn::Writer& w, const CRYPT_ALGORITHM_IDENTIFIER& alg) {
    auto m = w.BeginSequence();
    PutOid(w, alg.pszObjId);
    if (alg.Parameters.cbData) PutEncoded(w, alg.Parameters);
    w.End(m);
}

void PutPublicKeyInfo(asn::Writer& w, const CERT_PUBLIC_KEY_INFO& info) {
    auto m = w.BeginSequence();
    PutAlgorithm(w, info.Algorithm);
    PutBits(w, info.PublicKey, false);
    w.End(m);
}

namespace {

// The element `b` holds, checked to be exactly one.
asn::Element OneElement(const CRYPTOAPI_BLOB& b) {
    try {
        asn::Reader r(View(b));
        asn::Element e = r.Next();
        r.Finish();
        return e;
    } catch (const asn::Error&) {
        Throw(CRYPT_E_BAD_ENCODE);
    }
}

}  // namespace

void PutEncoded(asn::Writer& w, const CRYPTOAPI_BLOB& b) { w.Raw(OneElement(b).encoded); }

void PutSequence(asn::Writer& w, const CRYPTOAPI_BLOB& b) {
    asn::Element e = OneElement(b);
    if (!e.IsUniversal(asn::kSequence)) Throw(CRYPT_E_BAD_ENCODE);
    w.Raw(e.encoded);
}

void PutName(asn::Writer& w, const CERT_NAME_BLOB& name) {
    if (name.cbData)
        PutSequence(w, name);
    else
        w.End(w.BeginSequence());
}

void PutSerial(asn::Writer& w, const CRYPT_INTEGER_BLOB& serial, std::uint8_t cls, std::uint32_t tag) {
    asn::Bytes b = View(serial);
    if (b.empty()) Throw(E_INVALIDARG);
    std::vector<std::uint8_t> content(b.rbegin(), b.rend());
    w.Element(cls, false, tag, asn::Bytes(content.data(), content.size()));
}

void PutTime(asn::Writer& w, const FILETIME& t) {
    constexpr ULONGLONG kTicksPerSecond = 10000000;
    ULONGLONG ticks = cert::platform::FileTimeToU64(t);
    w.Time(cert::platform::U64ToFileTime(ticks - ticks % kTicksPerSecond));
}

void PutBits(asn::Writer& w, const CRYPT_BIT_BLOB& bits, bool named, std::uint8_t cls, std::uint32_t tag) {
    if (bits.cbData && !bits.pbData) Throw(E_INVALIDARG);
    if (bits.cUnusedBits > 7 || (!bits.cbData && bits.cUnusedBits)) Throw(E_INVALIDARG);
    std::vector<std::uint8_t> v(bits.pbData, bits.pbData + bits.cbData);
    unsigned unused = bits.cUnusedBits;
    if (!v.empty()) v.back() &= static_cast<std::uint8_t>(0xFF << unused);
    if (named) {
        while (!v.empty() && v.back() == 0) v.pop_back();
        unused = v.empty() ? 0 : static_cast<unsigned>(std::countr_zero(v.back()));
    }
    v.insert(v.begin(), static_cast<std::uint8_t>(unused));
    w.Element(cls, false, tag, asn::Bytes(v.data(), v.size()));
}

void PutExtensions(asn::Writer& w, DWORD count, const CERT_EXTENSION* list) {
    PutSequenceOf(w, list, count, [&](const CERT_EXTENSION& x) {
        auto e = w.BeginSequence();
        PutOid(w, x.pszObjId);
        if (x.fCritical) w.Boolean(true);
        w.OctetString(View(x.Value));
        w.End(e);
    });
}

void PutAltNames(asn::Writer& w, const CERT_ALT_NAME_INFO& names, std::uint8_t cls, std::uint32_t tag) {
    auto m = w.Begin(cls, true, tag);
    for (const CERT_ALT_NAME_ENTRY& e : Items(names.rgAltEntry, names.cAltEntry)) PutAltName(w, e);
    w.End(m);
}

void PutAltName(asn::Writer& w, const CERT_ALT_NAME_ENTRY& name) {
    if (name.dwAltNameChoice < 1 || name.dwAltNameChoice > 9) Throw(E_INVALIDARG);
    const std::uint32_t tag = name.dwAltNameChoice - 1;
    switch (tag) {
        case kOtherName: {
            if (!name.pOtherName) Throw(E_INVALIDARG);
            auto m = w.BeginContext(kOtherName);
            PutOid(w, name.pOtherName->pszObjId);
            auto v = w.BeginContext(0);
            PutEncoded(w, name.pOtherName->Value);
            w.End(v);
            w.End(m);
            return;
        }
        case kRfc822:
        case kDns:
        case kUrl: {
            std::string text = Ia5Of(tag == kRfc822 ? name.pwszRfc822Name
                                     : tag == kDns  ? name.pwszDNSName
                                                    : name.pwszURL);
            w.Element(asn::kContext, false, tag, asn::View(text.data(), text.size()));
            return;
        }
        case kDirectory: {
            auto m = w.BeginContext(kDirectory);
            PutName(w, name.DirectoryName);
            w.End(m);
            return;
        }
        case kIpAddress:
            w.Element(asn::kContext, false, tag, View(name.IPAddress));
            return;
        case kRegisteredId: {
            if (!name.pszRegisteredID) Throw(E_INVALIDARG);
            std::vector<std::uint8_t> content;
            if (!asn::EncodeOid(name.pszRegisteredID, content)) Throw(CRYPT_E_OID_FORMAT);
            w.Element(asn::kContext, false, tag, asn::Bytes(content.data(), content.size()));
            return;
        }
        default:  // X.400 addresses and EDI party names are not carried
            Throw(E_INVALIDARG);
    }
}

}  // namespace cert::capi
