// X500NameParser::X500NameEncoder: name text to elements, elements to DER.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "cert/asn.h"
#include "cert/frame.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "model/name_internal.h"

using namespace cert::names;

namespace X500NameParser {

namespace {

using KeywordTable = std::map<std::string, std::u16string>;

const struct {
    const char* keyword;  // upper case, UTF-8
    const char* oid;
} kKeywords[] = {
    {"O", cert::oids::kOrganizationName},
    {"C", cert::oids::kCountryName},
    {"L", cert::oids::kLocalityName},
    {"E", cert::oids::kEmailAddress},
    {"EMAIL", cert::oids::kEmailAddress},
    {"S", cert::oids::kStateOrProvinceName},
    {"T", cert::oids::kTitle},
    {"TITLE", cert::oids::kTitle},
    {"CN", cert::oids::kCommonName},
    {"OU", cert::oids::kOrganizationalUnitName},
    {"SERIALNUMBER", cert::oids::kSerialNumber},
    {"POSTALADDRESS", cert::oids::kPostalAddress},
    {"PSEUDONYM", cert::oids::kPseudonym},
    {"DEPARTMENT", cert::oids::kDepartment},
    {"UNSTRUCTUREDNAME", cert::oids::kUnstructuredName},
    {"UNSTRUCTUREDADDRESS", cert::oids::kUnstructuredAddress},
    {"INN", cert::oids::kInn},
    {"OGRN", cert::oids::kOgrn},
    {"OGRNIP", cert::oids::kOgrnip},
    {"SNILS", cert::oids::kSnils},
    {"CODE DIVISION FSS", cert::oids::kFssDivisionCode},
    {"REGISTRATION NUMBER FSS", cert::oids::kFssRegistrationNumber},
    {"DNQUALIFIER", cert::oids::kDnQualifier},
    {"X21ADDRESS", cert::oids::kX121Address},
    {"POBOX", cert::oids::kPostOfficeBox},
    {"POSTALCODE", cert::oids::kPostalCode},
    {"DESCRIPTION", cert::oids::kDescription},
    {"PHONE", cert::oids::kTelephoneNumber},
    {"DC", cert::oids::kDomainComponent},
    {"I", cert::oids::kInitials},
    {"G", cert::oids::kGivenName},
    {"SN", cert::oids::kSurname},
    {"ИНН", cert::oids::kInn},
    {"ОГРН", cert::oids::kOgrn},
    {"ОГРНИП", cert::oids::kOgrnip},
    {"СНИЛС", cert::oids::kSnils},
};

// The table lives in the frame's slot, so that it goes at unload in its
// place among the library's objects; it is filled whole before anyone sees
// it, under this lock, and only read afterwards.
constinit std::mutex g_fillMutex;

const KeywordTable& SharedTable() {
    constexpr auto slot = CertDll::LibrarySlot::NameParserTable;
    if (void* t = CertDll::LibraryObject(slot)) return *static_cast<const KeywordTable*>(t);
    std::lock_guard<std::mutex> lock(g_fillMutex);
    if (void* t = CertDll::LibraryObject(slot)) return *static_cast<const KeywordTable*>(t);
    auto* table = new KeywordTable;
    try {
        X500NameEncoder::Fill(*table);
    } catch (...) {
        delete table;
        throw;
    }
    return *static_cast<const KeywordTable*>(
        CertDll::InstallLibraryObject(slot, table, [](void* p) { delete static_cast<KeywordTable*>(p); }));
}

// The character sets values are checked against before they are encoded:
// the dialect's own, not ASN.1's (its PrintableString has no '=').
constexpr std::u16string_view kNumeric = u"0123456789 ";
constexpr std::u16string_view kPrintable =
    u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789()+,-./:? '\r\n";
constexpr std::u16string_view kIa5 =
    u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!\"#$%&*<>=;@[]{}^_`|()+,-./:? ~'\r\n\\";

bool AllIn(std::u16string_view text, std::u16string_view set) {
    return std::all_of(text.begin(), text.end(), [&](char16_t c) { return set.find(c) != set.npos; });
}

std::u16string_view CharacterSet(DWORD type) {
    switch (type) {
        case CERT_RDN_NUMERIC_STRING:
            return kNumeric;
        case CERT_RDN_PRINTABLE_STRING:
            return kPrintable;
        default:
            return kIa5;
    }
}

bool IsOid(std::u16string_view text) {
    std::string ascii;
    std::vector<std::uint8_t> content;
    return Narrow(text, ascii) && asn::EncodeOid(ascii, content);
}

bool PlatformEncode(LPCSTR type, const void* info, IdentObj& out) {
    DWORD need = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, info, nullptr, &need)) return false;
    IdentObj buffer;
    buffer.Alloc(need);
    DWORD got = need;
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, info, buffer.data(), &got)) return false;
    buffer.Realloc(got);
    out = std::move(buffer);
    return true;
}

// One string as a name value of the given type.
bool EncodeString(DWORD type, const std::u16string& text, IdentObj& out) {
    CERT_NAME_VALUE value{type, {}};
    std::string bytes;
    switch (type) {
        case CERT_RDN_NUMERIC_STRING:
        case CERT_RDN_PRINTABLE_STRING:
        case CERT_RDN_IA5_STRING:
            if (!AllIn(text, CharacterSet(type)) || !Narrow(text, bytes)) return false;
            value.Value = {static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
            break;
        case CERT_RDN_BMP_STRING:
        case CERT_RDN_UTF8_STRING:
            value.Value = {static_cast<DWORD>(text.size() * 2),
                           reinterpret_cast<BYTE*>(const_cast<char16_t*>(text.data()))};
            break;
        default:
            return false;
    }
    return PlatformEncode(X509_NAME_VALUE, &value, out);
}

// Stable, by display rank from the highest to the lowest.
void Reorder(std::vector<std::pair<X500NameEncoder::X500NAME_ELEM, DWORD>>& elements) {
    std::stable_sort(elements.begin(), elements.end(), [](const auto& a, const auto& b) {
        std::string oa, ob;
        Narrow(a.first.oid, oa);
        Narrow(b.first.oid, ob);
        return CCTFSimpleRDN::GetDisplayRank(oa.c_str()) > CCTFSimpleRDN::GetDisplayRank(ob.c_str());
    });
}

}  // namespace

X500NameEncoder::X500NameEncoder() {
    try {
        SharedTable();
    } catch (...) {
        // Out of memory: the lookups try again and fail on their own.
    }
}

X500NameEncoder::~X500NameEncoder() = default;

void X500NameEncoder::Fill(std::map<std::string, std::u16string>& table) try {
    for (const auto& k : kKeywords) table.emplace(k.keyword, Widen(k.oid));
} catch (...) {
    TOORethrowAsStatus("X500NameEncoder::Fill");
}

bool X500NameEncoder::FindOid(std::string keyword, std::u16string& oid) try {
    std::u16string wide;
    if (!ToUtf16(keyword, wide) || !ToUtf8(Upper(wide), keyword)) return false;
    const KeywordTable& table = SharedTable();
    const auto it = table.find(keyword);
    if (it == table.end()) return false;
    oid = it->second;
    return true;
} catch (...) {
    return false;
}

// ---------------------------------------------------------------------------
// Parsing

bool X500NameEncoder::Parse(const std::u16string& text) {
    m_text = Trim(text);
    m_pos = 0;
    m_tokenStart = 0;
    m_token = kNone;
    m_tokenText.clear();
    m_elem = {};
    m_elems.clear();
    m_elemStarts.clear();
    if (m_text.empty()) return true;
    if (Parse_NameElems()) return true;
    // The fault is where the token that did not fit began.
    m_pos = m_tokenStart;
    return false;
}

// A type may be followed by nothing, or an equals sign by nothing: both
// give an element with an empty value, which the encoding then refuses, so
// that a text cut short parses into what was written and fails where the
// value is missing.
bool X500NameEncoder::GetToken() {
    m_token = kNone;
    m_tokenText.clear();
    m_tokenQuoted = false;
    const std::size_t n = m_text.size();
    auto atEnd = [&] { return m_pos >= n || m_text[m_pos] == 0; };
    auto isDelimiter = [&](char16_t c) {
        const DWORD only = m_options & (kCommaOnly | kSemicolonOnly | kLineBreakOnly);
        if (!only) return c == u',' || c == u';' || c == u'\r' || c == u'\n';
        return ((only & kCommaOnly) && c == u',') || ((only & kSemicolonOnly) && c == u';') ||
               ((only & kLineBreakOnly) && (c == u'\r' || c == u'\n'));
    };
    while (!atEnd() && m_text[m_pos] == u' ') ++m_pos;
    m_tokenStart = m_pos;
    if (atEnd()) {
        m_token = kEnd;
        return true;
    }
    if (isDelimiter(m_text[m_pos])) {
        while (!atEnd() && isDelimiter(m_text[m_pos])) ++m_pos;
        m_token = atEnd() ? kEnd : kDelimiter;
        return true;
    }
    if (m_text[m_pos] == u'=') {
        ++m_pos;
        m_token = kEquals;
        return true;
    }
    const std::size_t start = m_pos;
    if (m_elem.oid.empty()) {
        while (!atEnd() && m_text[m_pos] != u'=') ++m_pos;
        m_tokenText = m_text.substr(start, m_pos - start);
        m_token = kType;
        return true;
    }
    if (m_text[m_pos] == u'"') {
        // To the matching mark: "" is one mark, delimiters are characters.
        m_tokenQuoted = true;
        for (++m_pos; !atEnd(); ++m_pos) {
            if (m_text[m_pos] == u'"') {
                if (m_pos + 1 >= n || m_text[m_pos + 1] != u'"') {
                    ++m_pos;
                    break;
                }
                ++m_pos;
            }
            m_tokenText += m_text[m_pos];
        }
    } else {
        while (!atEnd() && !isDelimiter(m_text[m_pos])) ++m_pos;
        m_tokenText = m_text.substr(start, m_pos - start);
    }
    m_token = kValue;
    return true;
}

bool X500NameEncoder::Parse_NameElems() {
    for (;;) {
        if (!Parse_ElemComponents()) return false;
        m_elems.push_back(std::move(m_elem));
        m_elem = {};
        if (!GetToken()) return false;
        if (m_token == kEnd) return true;
        if (m_token != kDelimiter) return false;
    }
}

bool X500NameEncoder::Parse_ElemComponents() {
    if (!GetToken() || m_token != kType) return false;
    m_elemStarts.push_back(m_tokenStart);
    if (!Parse_ElemType()) return false;
    if (!GetToken()) return false;
    if (m_token == kEnd) return true;
    if (m_token != kEquals || !GetToken()) return false;
    if (m_token == kEnd) return true;
    return m_token == kValue && Parse_ElemValue();
}

bool X500NameEncoder::Parse_ElemType() {
    std::u16string typed = Trim(m_tokenText);
    if (Upper(typed.substr(0, 4)) == u"OID.") typed.erase(0, 4);
    if (typed.empty()) return false;
    const char16_t first = typed[0];
    const bool letter = (first >= u'A' && first <= u'Z') || (first >= u'a' && first <= u'z') || first >= 0x80;
    if (!letter) {
        if (!IsOid(typed)) return false;
        m_elem.oid = typed;
        return true;
    }
    // The registry's names of name attributes first (any case), then the
    // keyword table.
    PCCRYPT_OID_INFO row =
        vrkscapi::vrkcspexfun::FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, typed.c_str(), CRYPT_RDN_ATTR_OID_GROUP_ID);
    if (row && row->pszOID && *row->pszOID) {
        m_elem.oid = Widen(row->pszOID);
        return true;
    }
    std::string keyword;
    return ToUtf8(typed, keyword) && FindOid(keyword, m_elem.oid);
}

// A value between quotation marks is kept as written, blanks at its ends
// included: the decoder quotes a value for exactly that reason.
bool X500NameEncoder::Parse_ElemValue() {
    const std::u16string v = m_tokenQuoted ? m_tokenText : Trim(m_tokenText);
    m_elem.value.clear();
    for (std::size_t i = 0; i < v.size(); ++i) {
        const bool lineBreak = v[i] == u'$' && i + 1 < v.size() && v[i + 1] == u'$';
        m_elem.value += lineBreak ? u'\n' : v[i];
        i += lineBreak;
    }
    return true;
}

bool X500NameEncoder::DevideIntoElements(const std::u16string& text, std::list<X500NAME_ELEM>& elements) try {
    elements.clear();
    if (!Parse(text)) return false;
    elements = m_elems;
    return true;
} catch (...) {
    elements.clear();
    return false;
}

// ---------------------------------------------------------------------------
// Encoding

DWORD X500NameEncoder::DetermineTargetType(const X500NAME_ELEM& elem) const {
    if (elem.oid.empty() || elem.value.empty()) return 0;
    std::string oid;
    Narrow(elem.oid, oid);
    using namespace cert::oids;
    if (oid == kEmailAddress) return CERT_RDN_IA5_STRING;
    if (oid == kSerialNumber || oid == kCountryName) return CERT_RDN_PRINTABLE_STRING;
    if (oid == kInn || oid == kOgrn || oid == kOgrnip || oid == kSnils) return CERT_RDN_NUMERIC_STRING;
    if ((m_options & kUtf8NotBmp) && (m_options & kUtf8Always)) return CERT_RDN_UTF8_STRING;
    if (AllIn(elem.value, kPrintable)) return CERT_RDN_PRINTABLE_STRING;
    return (m_options & kUtf8NotBmp) ? CERT_RDN_UTF8_STRING : CERT_RDN_BMP_STRING;
}

bool X500NameEncoder::EncodeElemData(const X500NAME_ELEM& elem, IdentObj& value) const {
    const DWORD type = DetermineTargetType(elem);
    if (!type) return false;
    if (elem.oid != Widen(cert::oids::kPostalAddress)) return EncodeString(type, elem.value, value);
    // A postal address is a SEQUENCE of its lines.
    asn::Writer w;
    const auto seq = w.BeginSequence();
    std::size_t lines = 0;
    for (std::size_t b = 0; b <= elem.value.size();) {
        std::size_t e = elem.value.find_first_of(u"\r\n", b);
        if (e == elem.value.npos) e = elem.value.size();
        if (e > b) {
            IdentObj line;
            if (!EncodeString(type, elem.value.substr(b, e - b), line)) return false;
            w.Raw(line);
            ++lines;
        }
        b = e + 1;
    }
    if (!lines) return false;
    w.End(seq);
    value = w.Take();
    return true;
}

bool X500NameEncoder::EncodeElements(const std::vector<std::vector<X500NAME_ELEM>>& rdns, IdentObj& name,
                                     std::size_t* failed) {
    // The values are encoded one by one, so that the one that fails is
    // known; the platform then writes the name (a multi-valued RDN's SET
    // in DER order).
    std::vector<std::string> oids;
    std::vector<IdentObj> values;
    std::size_t index = 0;
    for (const auto& rdn : rdns) {
        for (const auto& elem : rdn) {
            std::string oid;
            IdentObj value;
            if (!Narrow(elem.oid, oid) || !IsOid(elem.oid) || !EncodeElemData(elem, value)) {
                if (failed) *failed = index;
                return false;
            }
            oids.push_back(std::move(oid));
            values.push_back(std::move(value));
            ++index;
        }
    }
    std::vector<CERT_RDN_ATTR> attrs(values.size());
    std::vector<CERT_RDN> list(rdns.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        attrs[i] = CERT_RDN_ATTR{oids[i].data(), CERT_RDN_ENCODED_BLOB, values[i].blob()};
    std::size_t at = 0;
    for (std::size_t r = 0; r < rdns.size(); ++r) {
        list[r] = CERT_RDN{static_cast<DWORD>(rdns[r].size()), attrs.data() + at};
        at += rdns[r].size();
    }
    const CERT_NAME_INFO info{static_cast<DWORD>(list.size()), list.data()};
    if (failed) *failed = index;
    return PlatformEncode(X509_NAME, &info, name);
}

bool X500NameEncoder::Encode(const std::u16string& text, IdentObj& name, bool reorder) try {
    name.Empty();
    if (!Parse(text) || m_elems.empty()) return false;
    std::vector<std::pair<X500NAME_ELEM, DWORD>> elements;
    auto start = m_elemStarts.begin();
    for (const auto& e : m_elems) elements.emplace_back(e, *start++);
    if (reorder) Reorder(elements);
    std::vector<std::vector<X500NAME_ELEM>> rdns;
    for (const auto& e : elements) rdns.push_back({e.first});
    std::size_t failed = 0;
    if (EncodeElements(rdns, name, &failed)) return true;
    m_pos = failed < elements.size() ? elements[failed].second : static_cast<DWORD>(m_text.size());
    name.Empty();
    return false;
} catch (...) {
    name.Empty();
    return false;
}

bool X500NameEncoder::Encode(const CERT_NAME_INFO& info, IdentObj& name) try {
    name.Empty();
    if (info.cRDN && !info.rgRDN) return false;
    std::vector<std::vector<X500NAME_ELEM>> rdns(info.cRDN);
    for (DWORD i = 0; i < info.cRDN; ++i) {
        const CERT_RDN& rdn = info.rgRDN[i];
        if (rdn.cRDNAttr && !rdn.rgRDNAttr) return false;
        for (DWORD j = 0; j < rdn.cRDNAttr; ++j)
            if (!ConvToX500NameElem(rdn.rgRDNAttr[j], rdns[i].emplace_back())) return false;
    }
    return EncodeElements(rdns, name);
} catch (...) {
    name.Empty();
    return false;
}

bool X500NameEncoder::Encode(const std::list<std::list<CCTFRDNAttr>>& list, IdentObj& name) try {
    name.Empty();
    std::vector<std::vector<X500NAME_ELEM>> rdns;
    for (const auto& rdn : list) {
        auto& elems = rdns.emplace_back();
        for (const auto& attr : rdn)
            if (!ConvToX500NameElem(attr, elems.emplace_back())) return false;
    }
    return EncodeElements(rdns, name);
} catch (...) {
    name.Empty();
    return false;
}

bool X500NameEncoder::Encode(const std::list<CCTFSimpleRDN>& list, IdentObj& name, bool reorder) try {
    name.Empty();
    std::vector<std::pair<X500NAME_ELEM, DWORD>> elements;
    for (const auto& r : list) {
        X500NAME_ELEM e;
        if (!ToUtf16(r.oid.str(), e.oid) || !ToUtf16(r.value.str(), e.value)) return false;
        elements.emplace_back(std::move(e), 0);
    }
    if (reorder) Reorder(elements);
    std::vector<std::vector<X500NAME_ELEM>> rdns;
    for (const auto& e : elements) rdns.push_back({e.first});
    return EncodeElements(rdns, name);
} catch (...) {
    name.Empty();
    return false;
}

bool X500NameEncoder::ConvToX500NameElem(const CERT_RDN_ATTR& attr, X500NAME_ELEM& elem) try {
    elem = {};
    if (!attr.pszObjId || (attr.Value.cbData && !attr.Value.pbData)) return false;
    if (!ToUtf16(attr.pszObjId, elem.oid)) return false;
    const auto* p = attr.Value.pbData;
    const DWORD n = attr.Value.cbData;
    switch (attr.dwValueType) {
        case CERT_RDN_NUMERIC_STRING:
        case CERT_RDN_PRINTABLE_STRING:
        case CERT_RDN_IA5_STRING:
            return ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n), elem.value);
        case CERT_RDN_BMP_STRING:
        case CERT_RDN_UTF8_STRING:
            // Both are UTF-16 in the structures.
            if (n % 2) return false;
            elem.value.resize(n / 2);
            if (n) std::memcpy(elem.value.data(), p, n);
            return true;
        default:
            return false;
    }
} catch (...) {
    return false;
}

bool X500NameEncoder::ConvToX500NameElem(const CCTFRDNAttr& attr, X500NAME_ELEM& elem) {
    return ConvToX500NameElem(attr.GetAttr(), elem);
}

}  // namespace X500NameParser
