// What the name classes and the name parser share: text helpers and the
// platform decoding of a name. Internal to the library.
//
// Text is UTF-8 in 8 bits and UTF-16 in wide strings; the helpers return
// false (never throw, except std::bad_alloc) on text that does not convert.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cert/x500name.h"

namespace cert::names {

bool ToUtf16(std::string_view in, std::u16string& out);
bool ToUtf8(std::u16string_view in, std::string& out);
// The text as UTF-16; a dotted OID or other ASCII text only.
std::u16string Widen(std::string_view ascii);
// The ASCII text of UTF-16; false when a character is not ASCII.
bool Narrow(std::u16string_view in, std::string& out);

// Upper case of ASCII and Cyrillic letters; anything else as it is.
char16_t Upper(char16_t c);
std::u16string Upper(std::u16string s);
// Removes CR, LF, tab and blank from both ends.
std::u16string Trim(std::u16string_view s);
bool IsTrimmed(char16_t c);

// The platform's decoding of a name into aligned memory of its own.
class DecodedName {
public:
    // False when the name does not decode (the empty blob decodes to no RDN).
    bool Decode(const IdentObj& der);
    const CERT_NAME_INFO& Info() const { return *reinterpret_cast<const CERT_NAME_INFO*>(m_mem.data()); }

private:
    std::vector<std::uint64_t> m_mem;
};

// The simple RDN of an RDN's first attribute.
CCTFSimpleRDN SimpleRdnOf(const CERT_RDN_ATTR& attr);

// The status a name class throws: `code` with flag 1.
[[noreturn]] void ThrowNameStatus(int code, const char* place);

// Runs the body of a name class's method: an XTOOStatus goes on as it is,
// any other exception becomes one (out of memory 16) with `place`.
template <class F>
auto Reporting(const char* place, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        TOORethrowAsStatus(place);
    }
}

}  // namespace cert::names
