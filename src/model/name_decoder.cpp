// X500NameParser::X500NameDecoder and CertNameInfoWrapper: DER of a name to
// its text form, to (key, lines) pairs and to the platform structure.
#include <cstring>

#include "cert/asn.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "model/name_internal.h"

using namespace cert::names;

namespace X500NameParser {

namespace {

// The keys the text form uses when the OID registry names no attribute.
const struct {
    const char* oid;
    const char16_t* key;
} kDecoderKeys[] = {
    {cert::oids::kCommonName, u"cn"},
    {cert::oids::kSerialNumber, u"serialNumber"},
    {cert::oids::kCountryName, u"c"},
    {cert::oids::kLocalityName, u"l"},
    {cert::oids::kStateOrProvinceName, u"st"},
    {cert::oids::kOrganizationName, u"o"},
    {cert::oids::kOrganizationalUnitName, u"ou"},
    {cert::oids::kTitle, u"t"},
    {cert::oids::kPostalAddress, u"postalAddress"},
    {cert::oids::kPseudonym, u"pseudonym"},
    {cert::oids::kEmailAddress, u"e"},
    {cert::oids::kDepartment, u"department"},
};

struct Rdn {
    std::string oid;
    asn::Element value;
};

// The RDNs of a name in encoded order; false for a multi-valued RDN.
// Malformed DER throws asn::Error.
bool SplitName(const IdentObj& name, std::vector<Rdn>& rdns) {
    asn::Reader r(name.data(), name.size());
    asn::Reader seq = r.EnterSequence();
    r.Finish();
    while (!seq.AtEnd()) {
        asn::Reader set = seq.EnterSet();
        const asn::Element attribute = set.Expect(asn::kSequence);
        if (!set.AtEnd()) return false;
        asn::Reader a = set.Enter(attribute);
        Rdn rdn;
        rdn.oid = a.ReadOid();
        rdn.value = a.Next();
        a.Finish();
        rdns.push_back(std::move(rdn));
    }
    return true;
}

bool HasNul(std::u16string_view s) { return s.find(u'\0') != s.npos; }

bool ValueText(const asn::Element& e, bool hex, std::u16string& text, int depth = 0);

// The texts of the elements of a SEQUENCE value, empty ones left out;
// false when its content is no sequence of elements.
bool SequenceLines(const asn::Element& e, std::list<std::u16string>& lines, int depth) {
    if (!e.IsUniversal(asn::kSequence) || !e.constructed || depth >= asn::kMaxDepth) return false;
    try {
        asn::Reader r(e.content, {}, e.ContentOffset());
        std::list<std::u16string> out;
        std::u16string line;
        while (!r.AtEnd()) {
            ValueText(r.Next(), true, line, depth + 1);
            if (!line.empty()) out.push_back(std::move(line));
        }
        lines.splice(lines.end(), out);
        return true;
    } catch (const asn::Error&) {
        return false;
    }
}

// The characters of a string value; false when it is none or holds a NUL
// (which would end the text).
bool StringText(const asn::Element& e, std::u16string& text) {
    if (e.cls != asn::kUniversal || e.constructed) return false;
    switch (e.tag) {
        case asn::kUtf8String:
        case asn::kNumericString:
        case asn::kPrintableString:
        case asn::kT61String:
        case asn::kIA5String:
        case asn::kVisibleString:
            return ToUtf16(std::string_view(reinterpret_cast<const char*>(e.content.data()), e.content.size()), text) &&
                   !HasNul(text);
        case asn::kBmpString: {
            DWORD need = 0;
            const auto size = static_cast<DWORD>(e.encoded.size());
            if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME_VALUE, e.encoded.data(), size, 0, nullptr, &need))
                return false;
            std::vector<std::uint64_t> mem(need / sizeof(std::uint64_t) + 1);
            DWORD got = need;
            if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME_VALUE, e.encoded.data(), size, 0, mem.data(), &got))
                return false;
            const auto& v = *reinterpret_cast<const CERT_NAME_VALUE*>(mem.data());
            if (v.dwValueType != CERT_RDN_BMP_STRING) return false;
            text.resize(v.Value.cbData / 2);
            if (!text.empty()) std::memcpy(text.data(), v.Value.pbData, text.size() * 2);
            return !HasNul(text);
        }
        default:
            return false;
    }
}

// The text of a value, or false when it is none: strings as their
// characters, a SEQUENCE as the texts of its elements on lines of their
// own, anything else as hex when `hex` allows.
bool ValueText(const asn::Element& e, bool hex, std::u16string& text, int depth) {
    text.clear();
    if (StringText(e, text)) return true;
    std::list<std::u16string> lines;
    if (SequenceLines(e, lines, depth)) {
        text.clear();
        for (const auto& l : lines) text += (text.empty() ? u"" : u"\n") + l;
        return true;
    }
    text.clear();
    if (!hex) return false;
    X500NameDecoder::BlobToString(IdentObj(e.encoded.data(), static_cast<DWORD>(e.encoded.size())), text);
    return true;
}

// The lines of a value for the (key, lines) form.
void ValueLines(const asn::Element& e, std::list<std::u16string>& lines) {
    if (SequenceLines(e, lines, 0)) return;
    std::u16string text;
    ValueText(e, true, text);
    lines.push_back(std::move(text));
}

std::u16string Quoted(const std::u16string& v) {
    std::u16string q = u"\"";
    for (char16_t c : v) {
        if (c == u'"') q += u'"';
        q += c;
    }
    return q + u'"';
}

// A value as the text form writes it: quoted where it would not read back
// as it is, with "$$" for each line break.
std::u16string Escaped(const std::u16string& value) {
    if (value.empty() || value.find(u'\'') != value.npos) return Quoted(value);
    // A '$' in a value of several lines would make "$$" ambiguous ("$$$"
    // reads as a line break and a '$'): such a value keeps its line breaks
    // between quotation marks.
    if (value.find(u'\n') != value.npos && value.find(u'$') != value.npos) return Quoted(value);
    std::u16string v;
    for (char16_t c : value) {
        if (c == u'\n')
            v += u"$$";
        else
            v += c;
    }
    const bool special = v.find_first_of(u"#;,+\"\\=<>\r\n") != v.npos || IsTrimmed(v.front()) || IsTrimmed(v.back());
    return special ? Quoted(v) : v;
}

// The key of an attribute type in `mode`: empty in mode 1; in mode 3 the
// registry's name, else the fall-back key, else the dotted OID; otherwise
// the dotted OID.
std::u16string KeyOf(const std::string& oid, DWORD mode) {
    if (mode == kModeValues) return {};
    if (mode == kModeKeywords) {
        PCCRYPT_OID_INFO row =
            vrkscapi::vrkcspexfun::FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid.c_str(), CRYPT_RDN_ATTR_OID_GROUP_ID);
        if (row && row->pwszName && *row->pwszName) return row->pwszName;
        for (const auto& k : kDecoderKeys)
            if (oid == k.oid) return k.key;
    }
    return Widen(oid);
}

}  // namespace

X500NameDecoder::~X500NameDecoder() = default;

bool X500NameDecoder::Decode(const IdentObj& name, std::u16string& text, DWORD modeAndOptions) try {
    text.clear();
    if (name.IsEmpty()) return false;
    m_mode = modeAndOptions & 0xFFFF;
    std::u16string separator = u",";
    if (m_mode != kModeValues) {
        if (m_options & kLineBreakOnly)
            separator = u"\r\n";
        else if (m_options & kSemicolonOnly)
            separator = u";";
    }
    std::vector<Rdn> rdns;
    if (!SplitName(name, rdns)) return false;
    std::u16string out, value;
    for (const Rdn& rdn : rdns) {
        ValueText(rdn.value, true, value);
        std::u16string element = Escaped(value);
        if (m_mode != kModeValues) element = KeyOf(rdn.oid, m_mode) + u"=" + element;
        if (!out.empty()) out += separator;
        out += element;
    }
    text = std::move(out);
    return true;
} catch (...) {
    text.clear();
    return false;
}

bool X500NameDecoder::Decode(const IdentObj& name,
                             std::list<std::pair<std::u16string, std::list<std::u16string>>>& elements,
                             DWORD mode) try {
    elements.clear();
    if (name.IsEmpty()) return false;
    m_mode = mode & 0xFFFF;
    std::vector<Rdn> rdns;
    if (!SplitName(name, rdns)) return false;
    std::list<std::pair<std::u16string, std::list<std::u16string>>> out;
    for (const Rdn& rdn : rdns) {
        auto& entry = out.emplace_back(KeyOf(rdn.oid, m_mode), std::list<std::u16string>());
        ValueLines(rdn.value, entry.second);
    }
    elements = std::move(out);
    return true;
} catch (...) {
    elements.clear();
    return false;
}

bool X500NameDecoder::Decode(const IdentObj& name, CertNameInfoWrapper& info) try {
    info.Clean();
    if (name.IsEmpty()) return false;
    std::vector<Rdn> rdns;
    if (!SplitName(name, rdns)) return false;
    std::u16string text;
    for (const Rdn& rdn : rdns) {
        const bool ok =
            ValueText(rdn.value, false, text)
                ? info.AddRdn(rdn.oid, CERT_RDN_BMP_STRING, text.data(), static_cast<DWORD>(text.size() * 2))
                : info.AddRdn(rdn.oid, CERT_RDN_ENCODED_BLOB, rdn.value.encoded.data(),
                              static_cast<DWORD>(rdn.value.encoded.size()));
        if (!ok) {
            info.Clean();
            return false;
        }
    }
    return true;
} catch (...) {
    info.Clean();
    return false;
}

void X500NameDecoder::BlobToString(const IdentObj& blob, std::u16string& text) {
    text.clear();
    if (blob.IsEmpty()) {
        text = u"\"\"";
        return;
    }
    for (DWORD i = 0; i < blob.size(); ++i) {
        if (i) text += u' ';
        text += ToHex(blob.data()[i]);
    }
}

std::u16string X500NameDecoder::ToHex(unsigned char byte) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    return {kDigits[byte >> 4], kDigits[byte & 0xF]};
}

// ---------------------------------------------------------------------------
// CertNameInfoWrapper

struct CertNameInfoWrapper::Storage {
    std::vector<CERT_RDN> rdns;
    std::list<CERT_RDN_ATTR> attrs;  // list: the RDNs point at their attribute
    std::list<std::string> oids;
    std::list<std::vector<BYTE>> values;
};

CertNameInfoWrapper::CertNameInfoWrapper() = default;

CertNameInfoWrapper::~CertNameInfoWrapper() { Clean(); }

void CertNameInfoWrapper::Clean() {
    delete m_storage;
    m_storage = nullptr;
    m_info = CERT_NAME_INFO{};
}

bool CertNameInfoWrapper::AddRdn(const std::string& oid, DWORD valueType, const void* value, DWORD size) try {
    if (!m_storage) m_storage = new Storage;
    auto& s = *m_storage;
    auto& o = s.oids.emplace_back(oid);
    const auto* bytes = static_cast<const BYTE*>(value);
    auto& v = s.values.emplace_back(bytes, bytes + size);
    auto& a = s.attrs.emplace_back(CERT_RDN_ATTR{o.data(), valueType, {size, v.data()}});
    s.rdns.push_back(CERT_RDN{1, &a});
    m_info = CERT_NAME_INFO{static_cast<DWORD>(s.rdns.size()), s.rdns.data()};
    return true;
} catch (...) {
    return false;
}

bool CertNameInfoWrapper::SetValue(DWORD rdn, DWORD attr, DWORD valueType, const void* value, DWORD size) try {
    if (!m_storage || rdn >= m_info.cRDN || attr >= m_info.rgRDN[rdn].cRDNAttr) return false;
    const auto* bytes = static_cast<const BYTE*>(value);
    auto& v = m_storage->values.emplace_back(bytes, bytes + size);
    CERT_RDN_ATTR& a = m_storage->rdns[rdn].rgRDNAttr[attr];
    a.dwValueType = valueType;
    a.Value = CRYPTOAPI_BLOB{size, v.data()};
    return true;
} catch (...) {
    return false;
}

}  // namespace X500NameParser
