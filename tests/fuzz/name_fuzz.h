// Fuzz iterations over distinguished names, shared by the libFuzzer targets
// and the corpus replay test of the normal build: DER to text, to the
// structure and through the name-as-data methods (RunNameDer), and text to
// DER (RunNameText). Each returns false when the name classes disagree with
// themselves: a text that encoded does not read back to the same DER after
// one pass, the text and structure decoders disagree on what they take, a
// name the platform decodes does not compare equal to itself, or an
// exception other than XTOOStatus leaves a name class (a crash or sanitizer
// report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cert/x500name.h"

namespace namefuzz {

using namespace X500NameParser;

// The encoder's delimiter options that read what the decoder wrote with
// `decoderOptions`.
inline DWORD DelimitersFor(DWORD decoderOptions) { return decoderOptions & (kSemicolonOnly | kLineBreakOnly); }

// Encodes `text`; when that works, decodes the DER to the keyword and OID
// forms and checks that each encodes to the same DER again.
inline bool ReadsBack(const std::u16string& text, DWORD options, bool reorder) {
    X500NameEncoder encoder;
    encoder.SetEncoderOptions(options);
    IdentObj der;
    if (!encoder.Encode(text, der, reorder)) return der.IsEmpty();
    const DWORD separator = options & kLineBreakOnly ? kLineBreakOnly : options & kSemicolonOnly ? kSemicolonOnly : 0;
    for (DWORD mode : {kModeKeywords, kModeOids}) {
        X500NameDecoder decoder;
        decoder.SetDecoderOptions(separator);
        std::u16string shown;
        if (!decoder.Decode(der, shown, mode)) return false;
        X500NameEncoder again;
        again.SetEncoderOptions((options & ~(kCommaOnly | kSemicolonOnly | kLineBreakOnly)) | separator);
        IdentObj second;
        if (!again.Encode(shown, second, false) || second != der) return false;
    }
    return true;
}

inline bool RunNameDer(const std::uint8_t* data, std::size_t size) {
    const IdentObj der(data, static_cast<DWORD>(size));
    const CCTFX509Name name(der);
    bool ok = true;

    // The text decoder: every mode and separator takes the same names.
    X500NameDecoder decoder;
    std::u16string keywords;
    const bool decodes = decoder.Decode(der, keywords, kModeKeywords);
    for (DWORD mode : {kModeValues, kModeOids, kModeKeywords}) {
        for (DWORD separator : {0u, kSemicolonOnly, kLineBreakOnly}) {
            decoder.SetDecoderOptions(separator);
            std::u16string text;
            ok = decoder.Decode(der, text, mode | separator) == decodes && ok;
        }
        std::list<std::pair<std::u16string, std::list<std::u16string>>> elements;
        ok = decoder.Decode(der, elements, mode) == decodes && ok;
    }
    // What the decoder wrote, typed again, reads back after one pass (one
    // separator per input: the round trip is the costly part).
    if (decodes) {
        const DWORD separator = size % 3 == 0 ? 0u : size % 3 == 1 ? kSemicolonOnly : kLineBreakOnly;
        decoder.SetDecoderOptions(separator);
        std::u16string text;
        ok = decoder.Decode(der, text, kModeKeywords) &&
             ReadsBack(text, DelimitersFor(separator) | kUtf8NotBmp | kUtf8Always, false) && ok;
    }
    // The structure decoder takes exactly the names the text decoder takes.
    CertNameInfoWrapper info;
    ok = decoder.Decode(der, info) == decodes && ok;
    if (decodes) {
        X500NameEncoder encoder;
        IdentObj back;
        encoder.Encode(info.GetNameInfo(), back);
    }

    // The name as data: only XTOOStatus may leave, and a name that decodes
    // equals itself.
    try {
        std::list<std::list<CCTFRDNAttr>> rdns;
        name.GetNameInfo(rdns);
        ok = (name == name) && ok;
        std::list<CCTFSimpleRDN> simple;
        name.GetSimpleRDNList(simple, true);
        std::string display;
        ok = name.GetCertNameString(display) == !simple.empty() && ok;
        for (bool utf8 : {false, true}) {
            try {
                const CCTFX509Name rebuilt(rdns, utf8);
                (void)(rebuilt == name);
            } catch (const XTOOStatus&) {
            }
        }
        if (!simple.empty()) {
            CCTFX509Name copy(name);
            try {
                copy.SetSimpleRDN(simple.front().oid, "x");
            } catch (const XTOOStatus&) {
            }
        }
    } catch (const XTOOStatus&) {
    } catch (...) {
        ok = false;
    }
    return ok;
}

// The first byte chooses the options and the order; the rest is the text,
// UTF-8 where it is, else its bytes as characters.
inline bool RunNameText(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return true;
    static constexpr DWORD kOptions[] = {0,
                                         kUtf8NotBmp,
                                         kUtf8NotBmp | kUtf8Always,
                                         kCommaOnly,
                                         kSemicolonOnly,
                                         kLineBreakOnly,
                                         kSemicolonOnly | kLineBreakOnly,
                                         kCommaOnly | kUtf8NotBmp | kUtf8Always};
    const DWORD options = kOptions[data[0] % 8];
    const bool reorder = data[0] & 0x80;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::u16string text;
    if (!TOOUtf8ToUtf16(bytes, text)) {
        text.clear();
        for (unsigned char c : bytes) text.push_back(c);
    }

    bool ok = ReadsBack(text, options, reorder);
    // What encodes also parses, one RDN per element, and the platform reads it.
    X500NameEncoder encoder;
    encoder.SetEncoderOptions(options);
    IdentObj der;
    if (encoder.Encode(text, der, reorder)) {
        std::list<X500NameEncoder::X500NAME_ELEM> elements;
        ok = encoder.DevideIntoElements(text, elements) && ok;
        try {
            std::list<std::list<CCTFRDNAttr>> rdns;
            CCTFX509Name(der).GetNameInfo(rdns);
            ok = rdns.size() == elements.size() && ok;
        } catch (...) {
            ok = false;
        }
    }
    try {
        const CCTFX509Name name(bytes.c_str(), options, reorder);
    } catch (const XTOOStatus& s) {
        ok = s.Status() == TOOERR_BADNAME && s.Flag() == 1 && ok;
    } catch (...) {
        ok = false;
    }
    return ok;
}

}  // namespace namefuzz
