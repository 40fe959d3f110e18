// URL canonicalisation, comparison and unescaping.
#include "cert/url.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

bool IsAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// The length of "scheme:" at the start, or 0. One letter is a drive, not a
// scheme.
std::size_t SchemeLength(const std::u16string& u) {
    if (u.empty() || !IsAlpha(u[0])) return 0;
    std::size_t i = 1;
    while (i < u.size() && (IsAlpha(u[i]) || IsDigit(u[i]) || u[i] == u'+' || u[i] == u'-' || u[i] == u'.')) ++i;
    if (i < 2 || i >= u.size() || u[i] != u':') return 0;
    return i + 1;
}

// "." and ".." segments of an absolute path resolved.
std::u16string RemoveDotSegments(const std::u16string& path) {
    std::vector<std::u16string> segments, out;
    std::size_t pos = 1;
    while (true) {
        std::size_t next = path.find(u'/', pos);
        segments.push_back(path.substr(pos, next == std::u16string::npos ? std::u16string::npos : next - pos));
        if (next == std::u16string::npos) break;
        pos = next + 1;
    }
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const bool last = i + 1 == segments.size();
        if (segments[i] == u"." || segments[i] == u"..") {
            if (segments[i] == u".." && !out.empty()) out.pop_back();
            if (last) out.emplace_back();
        } else {
            out.push_back(segments[i]);
        }
    }
    std::u16string r;
    for (std::size_t i = 0; i < out.size(); ++i) r += u"/" + out[i];
    return r.empty() ? u"/" : r;
}

bool Unsafe(char16_t c) {
    return c <= 0x20 || c == 0x7F || c == u'"' || c == u'<' || c == u'>' || c == u'^' || c == u'`' || c == u'{' ||
           c == u'|' || c == u'}';
}

std::u16string Escape(const std::u16string& s) {
    return cert::platform::PercentEscape<char16_t>(s, [](unsigned c, std::size_t) { return Unsafe(char16_t(c)); });
}

std::u16string Canonical(const std::u16string& url) {
    const std::size_t schemeLen = SchemeLength(url);
    std::u16string scheme;
    for (std::size_t i = 0; i < schemeLen; ++i) scheme += Lower(url[i]);
    std::u16string rest = url.substr(schemeLen);
    if (schemeLen == 0 || rest.size() < 2 || rest[0] != u'/' || rest[1] != u'/') return scheme + Escape(rest);

    // Hierarchical: //authority/path?query#fragment.
    std::size_t tailStart = rest.find_first_of(u"?#");
    std::u16string tail = tailStart == std::u16string::npos ? u"" : rest.substr(tailStart);
    std::u16string head = rest.substr(2, tailStart == std::u16string::npos ? std::u16string::npos : tailStart - 2);
    for (auto& c : head)
        if (c == u'\\') c = u'/';
    const std::size_t slash = head.find(u'/');
    std::u16string authority = head.substr(0, slash);
    std::u16string path = slash == std::u16string::npos ? u"" : head.substr(slash);
    // The host is case-insensitive; user information is not.
    const std::size_t at = authority.rfind(u'@');
    for (std::size_t i = at == std::u16string::npos ? 0 : at + 1; i < authority.size(); ++i)
        authority[i] = Lower(authority[i]);
    if (!path.empty()) path = RemoveDotSegments(path);
    return scheme + u"//" + Escape(authority) + Escape(path) + Escape(tail);
}

// The HRESULT of an exception that ended a call.
HRESULT ExceptionResult() noexcept {
    return static_cast<HRESULT>(HRESULT_FROM_WIN32(cert::platform::WinErrorOfCurrentException()));
}

}  // namespace

HRESULT UrlCanonicalizeW(const char16_t* url, char16_t* out, DWORD* outLength, DWORD /*flags*/) try {
    if (!url || !out || !outLength || *outLength == 0) return static_cast<HRESULT>(E_INVALIDARG);
    const std::u16string r = Canonical(url);
    if (r.size() + 1 > *outLength) {
        *outLength = static_cast<DWORD>(r.size() + 1);
        return static_cast<HRESULT>(E_POINTER);
    }
    std::memcpy(out, r.c_str(), (r.size() + 1) * sizeof(char16_t));
    *outLength = static_cast<DWORD>(r.size());
    return static_cast<HRESULT>(S_OK);
} catch (...) {
    return ExceptionResult();
}

int UrlCompareW(const char16_t* a, const char16_t* b, BOOL ignoreSlash) {
    std::u16string_view x = a ? a : u"", y = b ? b : u"";
    if (ignoreSlash) {
        if (!x.empty() && x.back() == u'/') x.remove_suffix(1);
        if (!y.empty() && y.back() == u'/') y.remove_suffix(1);
    }
    const int c = x.compare(y);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

HRESULT UrlUnescapeA(char* url, char* out, DWORD* outLength, DWORD flags) try {
    if (!url) return static_cast<HRESULT>(E_INVALIDARG);
    const bool inPlace = (flags & URL_UNESCAPE_INPLACE) != 0;
    if (!inPlace && (!out || !outLength)) return static_cast<HRESULT>(E_INVALIDARG);
    std::string r;
    bool extra = false;
    for (const char* p = url; *p; ++p) {
        if ((flags & URL_DONT_UNESCAPE_EXTRA_INFO) && (*p == '?' || *p == '#')) extra = true;
        int hi, lo;
        // Lenient, as the platform's unescaping is: a '%' without two hex
        // digits stands as it is.
        if (!extra && *p == '%' && (hi = cert::platform::HexDigitValue(p[1])) >= 0 &&
            (lo = cert::platform::HexDigitValue(p[2])) >= 0) {
            r += static_cast<char>(hi * 16 + lo);
            p += 2;
        } else {
            r += *p;
        }
    }
    if (inPlace) {
        std::memcpy(url, r.c_str(), r.size() + 1);  // never longer than the input
        if (outLength) *outLength = static_cast<DWORD>(r.size());
        return static_cast<HRESULT>(S_OK);
    }
    if (r.size() + 1 > *outLength) {
        *outLength = static_cast<DWORD>(r.size() + 1);
        return static_cast<HRESULT>(E_POINTER);
    }
    std::memcpy(out, r.c_str(), r.size() + 1);
    *outLength = static_cast<DWORD>(r.size());
    return static_cast<HRESULT>(S_OK);
} catch (...) {
    return ExceptionResult();
}
