// Text helpers and the platform decoding shared by the name classes and the
// name parser.
#include <cstring>

#include "model/name_internal.h"

namespace cert::names {

bool ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    return in.empty() || TOOUtf8ToUtf16(in, out);
}

bool ToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    return in.empty() || TOOUtf16ToUtf8(in, out);
}

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

bool Narrow(std::u16string_view in, std::string& out) {
    out.clear();
    for (char16_t c : in) {
        if (c >= 0x80) return false;
        out.push_back(static_cast<char>(c));
    }
    return true;
}

char16_t Upper(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) return static_cast<char16_t>(c - 0x20);  // Latin-1
    if (c >= 0x0430 && c <= 0x044F) return static_cast<char16_t>(c - 0x20);                 // а..я
    if (c >= 0x0450 && c <= 0x045F) return static_cast<char16_t>(c - 0x50);                 // ѐ..џ, ё among them
    return c;
}

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s) c = Upper(c);
    return s;
}

bool IsTrimmed(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::u16string Trim(std::u16string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsTrimmed(s[b])) ++b;
    while (e > b && IsTrimmed(s[e - 1])) --e;
    return std::u16string(s.substr(b, e - b));
}

bool DecodedName::Decode(const IdentObj& der) {
    m_mem.assign(sizeof(CERT_NAME_INFO) / sizeof(std::uint64_t) + 1, 0);
    if (der.IsEmpty()) return true;
    DWORD need = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, der.data(), der.size(), 0, nullptr, &need)) return false;
    m_mem.assign(need / sizeof(std::uint64_t) + 1, 0);
    DWORD got = need;
    return CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, der.data(), der.size(), 0, m_mem.data(), &got);
}

CCTFSimpleRDN SimpleRdnOf(const CERT_RDN_ATTR& attr) {
    CCTFSimpleRDN out;
    out.oid = attr.pszObjId;
    CCTFX509Name::GetRDNAttrValueString(attr, out.value);
    return out;
}

void ThrowNameStatus(int code, const char* place) { throw XTOOStatus(code, place, 1); }

}  // namespace cert::names
