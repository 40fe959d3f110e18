// Names and name values, and the text of a value (CertRDNValueToStrA/W).
#include <cstring>

#include "capi/codec.h"

namespace cert::capi {

namespace {

// The string types of attribute values and how the structures hold them:
// `width` 1 as the content bytes, 2 as UTF-16, 4 as 32-bit code points.
struct StringType {
    DWORD valueType;
    std::uint32_t tag;
    unsigned width;
};
constexpr StringType kStringTypes[] = {
    {CERT_RDN_NUMERIC_STRING, asn::kNumericString, 1},
    {CERT_RDN_PRINTABLE_STRING, asn::kPrintableString, 1},
    {CERT_RDN_TELETEX_STRING, asn::kT61String, 1},
    {CERT_RDN_VIDEOTEX_STRING, asn::kVideotexString, 1},
    {CERT_RDN_IA5_STRING, asn::kIA5String, 1},
    {CERT_RDN_GRAPHIC_STRING, asn::kGraphicString, 1},
    {CERT_RDN_VISIBLE_STRING, asn::kVisibleString, 1},
    {CERT_RDN_GENERAL_STRING, asn::kGeneralString, 1},
    {CERT_RDN_UNIVERSAL_STRING, asn::kUniversalString, 4},
    {CERT_RDN_BMP_STRING, asn::kBmpString, 2},
    {CERT_RDN_UTF8_STRING, asn::kUtf8String, 2},
};

const StringType* ByTag(std::uint32_t tag) {
    for (const auto& t : kStringTypes)
        if (t.tag == tag) return &t;
    return nullptr;
}

const StringType* ByValueType(DWORD type) {
    for (const auto& t : kStringTypes)
        if (t.valueType == type) return &t;
    return nullptr;
}

// The alphabets values are checked against, both ways: PrintableString may
// hold any visible ASCII character ('@', '*', '&' stand in names in the
// field), the other restricted types their own.
constexpr asn::Options kFieldAlphabets{.ber = true};

DWORD StringError(std::uint32_t tag) {
    switch (tag) {
        case asn::kNumericString:
            return CRYPT_E_INVALID_NUMERIC_STRING;
        case asn::kPrintableString:
            return CRYPT_E_INVALID_PRINTABLE_STRING;
        case asn::kIA5String:
            return CRYPT_E_INVALID_IA5_STRING;
        default:
            return CRYPT_E_INVALID_X500_STRING;
    }
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

std::uint32_t BigEndian(const std::uint8_t* p, unsigned width) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t v, unsigned width) {
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// One attribute value as the structures hold it.
void ValueOut(Arena& a, DWORD& type, CERT_RDN_VALUE_BLOB& value, const asn::Element& e) {
    const StringType* t = e.cls == asn::kUniversal ? ByTag(e.tag) : nullptr;
    if (e.IsUniversal(asn::kOctetString)) {
        type = CERT_RDN_OCTET_STRING;
        a.Bytes(value, e.content);
        return;
    }
    if (!t) {
        type = CERT_RDN_ENCODED_BLOB;
        a.Bytes(value, e.encoded);
        return;
    }
    const std::string utf8 = asn::DecodeString(e.tag, e.content, e.ContentOffset(), kFieldAlphabets);
    type = t->valueType;
    if (t->width == 1) {
        a.Bytes(value, e.content, 1);
    } else if (t->tag == asn::kUtf8String) {
        std::u16string text;
        if (!TOOUtf8ToUtf16(utf8, text)) Throw(CRYPT_E_ASN1_CORRUPT);
        a.Bytes(value, asn::View(text.data(), text.size() * 2), 2);
    } else if (t->width == 2) {
        std::u16string text;
        for (std::size_t i = 0; i < e.content.size(); i += 2)
            text.push_back(static_cast<char16_t>(BigEndian(&e.content[i], 2)));
        a.Bytes(value, asn::View(text.data(), text.size() * 2), 2);
    } else {
        std::vector<std::uint32_t> points;
        for (std::size_t i = 0; i < e.content.size(); i += 4) points.push_back(BigEndian(&e.content[i], 4));
        a.Bytes(value, asn::View(points.data(), points.size() * 4), 4);
    }
}

void PutValue(asn::Writer& w, DWORD type, const CERT_RDN_VALUE_BLOB& value) {
    asn::Bytes b = View(value);
    if (type == CERT_RDN_ENCODED_BLOB) return PutEncoded(w, value);
    if (type == CERT_RDN_OCTET_STRING) return void(w.OctetString(b));
    const StringType* t = ByValueType(type);
    if (!t || b.size() % t->width) Throw(E_INVALIDARG);
    std::vector<std::uint8_t> content;
    if (t->width == 1) {
        try {
            asn::DecodeString(t->tag, b, 0, kFieldAlphabets);
        } catch (const asn::Error&) {
            Throw(StringError(t->tag));
        }
        content.assign(b.begin(), b.end());
    } else if (t->tag == asn::kUtf8String) {
        std::u16string text(b.size() / 2, u'\0');
        std::memcpy(text.data(), b.data(), b.size());
        std::string utf8;
        if (!TOOUtf16ToUtf8(text, utf8)) Throw(CRYPT_E_INVALID_X500_STRING);
        content.assign(utf8.begin(), utf8.end());
    } else {
        for (std::size_t i = 0; i < b.size(); i += t->width) {
            char32_t c = 0;
            std::memcpy(&c, &b[i], t->width);
            if (IsSurrogate(c) || c > 0x10FFFF) Throw(CRYPT_E_INVALID_X500_STRING);
            PutBigEndian(content, c, t->width);
        }
    }
    w.Primitive(t->tag, asn::Bytes(content.data(), content.size()));
}

// The text of a value, empty when it is no text of its type.
std::u16string ValueText(DWORD type, const CERT_RDN_VALUE_BLOB* value) {
    if (!value || (value->cbData && !value->pbData)) return {};
    const asn::Bytes b(value->pbData, value->cbData);
    std::u16string out;
    auto hex = [&](asn::Bytes bytes) {
        std::string h = "#" + TOOBin2HexStr(bytes.data(), bytes.size());
        return std::u16string(h.begin(), h.end());
    };
    if (type == CERT_RDN_ENCODED_BLOB) return hex(b);
    if (type == CERT_RDN_OCTET_STRING) return hex(asn::View(asn::Encode(asn::kUniversal, false, asn::kOctetString, b)));
    const StringType* t = ByValueType(type);
    if (!t) return {};
    for (std::size_t i = 0; i + t->width <= b.size(); i += t->width) {
        char32_t c = 0;
        std::memcpy(&c, &b[i], t->width);
        if (t->width == 4 && (IsSurrogate(c) || c > 0x10FFFF)) return {};
        AppendUtf16(out, c);
    }
    return out;
}

// How much of `text` fits in `room` units with a terminator: never half of
// a character.
template <class C>
std::size_t Fitting(const std::basic_string<C>& text, DWORD room) {
    std::size_t n = std::min<std::size_t>(text.size(), room - 1);
    if (n < text.size()) {
        if constexpr (sizeof(C) == 1) {
            while (n && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
        } else {
            if (n && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        }
    }
    return n;
}

template <class C>
DWORD PutText(const std::basic_string<C>& text, C* psz, DWORD csz) {
    if (!psz || !csz) return static_cast<DWORD>(text.size() + 1);
    std::size_t n = Fitting(text, csz);
    std::memcpy(psz, text.data(), n * sizeof(C));
    psz[n] = 0;
    return static_cast<DWORD>(n + 1);
}

}  // namespace

void DecodeNameValue(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_NAME_VALUE>();
    ValueOut(a, out->dwValueType, out->Value, TakeAny(r));
}

void EncodeNameValue(asn::Writer& w, const void* info) {
    const auto& in = *static_cast<const CERT_NAME_VALUE*>(info);
    PutValue(w, in.dwValueType, in.Value);
}

void DecodeName(asn::Reader& r, Arena& a, DWORD) {
    auto* out = a.New<CERT_NAME_INFO>();
    asn::Reader s = r.Enter(Take(r, asn::kSequence));
    CERT_RDN* rdns = ArrayOut(s, a, out->cRDN, out->rgRDN);
    for (DWORD i = 0; i < out->cRDN; ++i) {
        asn::Reader set = s.Enter(Take(s, asn::kSet));
        CERT_RDN_ATTR* attrs = ArrayOut(set, a, rdns[i].cRDNAttr, rdns[i].rgRDNAttr);
        for (DWORD j = 0; j < rdns[i].cRDNAttr; ++j) {
            asn::Reader attr = set.Enter(Take(set, asn::kSequence));
            OidOut(attr, a, attrs[j].pszObjId);
            ValueOut(a, attrs[j].dwValueType, attrs[j].Value, TakeAny(attr));
            attr.Finish();
        }
    }
}

void EncodeName(asn::Writer& w, const void* info) {
    const auto& in = *static_cast<const CERT_NAME_INFO*>(info);
    PutSequenceOf(w, in.rgRDN, in.cRDN, [&](const CERT_RDN& rdn) {
        auto set = w.BeginSet();
        for (const CERT_RDN_ATTR& attr : Items(rdn.rgRDNAttr, rdn.cRDNAttr)) {
            auto seq = w.BeginSequence();
            PutOid(w, attr.pszObjId);
            PutValue(w, attr.dwValueType, attr.Value);
            w.End(seq);
        }
        w.End(set);
    });
}

}  // namespace cert::capi

using namespace cert::capi;

DWORD CertRDNValueToStrA(DWORD dwValueType, const CERT_RDN_VALUE_BLOB* pValue, LPSTR psz, DWORD csz) {
    try {
        std::string text;
        if (!TOOUtf16ToUtf8(ValueText(dwValueType, pValue), text)) text.clear();
        return PutText(text, psz, csz);
    } catch (...) {
        return PutText(std::string(), psz, csz);
    }
}

DWORD CertRDNValueToStrW(DWORD dwValueType, const CERT_RDN_VALUE_BLOB* pValue, LPWSTR psz, DWORD csz) {
    try {
        return PutText(ValueText(dwValueType, pValue), psz, csz);
    } catch (...) {
        return PutText(std::u16string(), psz, csz);
    }
}
