// Text helpers and the platform decoding shared by the name classes and the
// name parser.
#include <cstring>

#include "model/name_internal.h"

namespace cert::names {

// Names convert many short values; these do it in place, as strictly as
// iconv would (no overlong forms, surrogates or code points above U+10FFFF).
bool ToUtf16(std::string_view in, std::u16string& out) {
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    auto fail = [&] {
        out.clear();
        return false;
    };
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size();) {
        const auto lead = static_cast<unsigned char>(in[i]);
        const std::size_t len = lead < 0x80             ? 1
                                : (lead & 0xE0) == 0xC0 ? 2
                                : (lead & 0xF0) == 0xE0 ? 3
                                : (lead & 0xF8) == 0xF0 ? 4
                                                        : 0;
        if (!len || len > in.size() - i) return fail();
        char32_t cp = len == 1 ? lead : lead & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(in[i + k]);
            if ((c & 0xC0) != 0x80) return fail();
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return fail();
        if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
        i += len;
    }
    return true;
}

bool ToUtf8(std::u16string_view in, std::string& out) {
    auto fail = [&] {
        out.clear();
        return false;
    };
    out.clear();
    out.reserve(in.size() * 2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return fail();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
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
