// `ctf asn1`: a readable dump of a DER (or PEM) file, one line per element,
// or a JSON tree.
#include <cstdio>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/oid.h"
#include "cli.h"
#include "io.h"
#include "text.h"

namespace {

// The OID registry's name of `oid` (algorithms, parameter sets, name
// attributes, extensions, key purposes, content types), empty when it has
// none.
std::string OidName(const std::string& oid) {
    std::string name = CTFGetNameForOID(CTOOString(oid)).str();
    return name == oid ? std::string() : name;
}

const char* UniversalName(std::uint32_t tag) {
    switch (tag) {
        case asn::kEoc:
            return "EOC";
        case asn::kBoolean:
            return "BOOLEAN";
        case asn::kInteger:
            return "INTEGER";
        case asn::kBitString:
            return "BIT STRING";
        case asn::kOctetString:
            return "OCTET STRING";
        case asn::kNull:
            return "NULL";
        case asn::kOid:
            return "OBJECT IDENTIFIER";
        case asn::kObjectDescriptor:
            return "ObjectDescriptor";
        case asn::kExternal:
            return "EXTERNAL";
        case asn::kReal:
            return "REAL";
        case asn::kEnumerated:
            return "ENUMERATED";
        case asn::kEmbeddedPdv:
            return "EMBEDDED PDV";
        case asn::kUtf8String:
            return "UTF8String";
        case asn::kRelativeOid:
            return "RELATIVE-OID";
        case asn::kSequence:
            return "SEQUENCE";
        case asn::kSet:
            return "SET";
        case asn::kNumericString:
            return "NumericString";
        case asn::kPrintableString:
            return "PrintableString";
        case asn::kT61String:
            return "T61String";
        case asn::kVideotexString:
            return "VideotexString";
        case asn::kIA5String:
            return "IA5String";
        case asn::kUtcTime:
            return "UTCTime";
        case asn::kGeneralizedTime:
            return "GeneralizedTime";
        case asn::kGraphicString:
            return "GraphicString";
        case asn::kVisibleString:
            return "VisibleString";
        case asn::kGeneralString:
            return "GeneralString";
        case asn::kUniversalString:
            return "UniversalString";
        case asn::kCharacterString:
            return "CHARACTER STRING";
        case asn::kBmpString:
            return "BMPString";
        default:
            return nullptr;
    }
}

std::string TagName(const asn::Element& e) {
    const std::string n = std::to_string(e.tag);
    switch (e.cls) {
        case asn::kUniversal:
            if (const char* u = UniversalName(e.tag)) return u;
            return "[UNIVERSAL " + n + "]";
        case asn::kApplication:
            return "[APPLICATION " + n + "]";
        case asn::kContext:
            return "[" + n + "]";
        default:
            return "[PRIVATE " + n + "]";
    }
}

const char* ClassName(std::uint8_t cls) {
    switch (cls) {
        case asn::kUniversal:
            return "universal";
        case asn::kApplication:
            return "application";
        case asn::kContext:
            return "context";
        default:
            return "private";
    }
}

using ctf::Hex;

// The printable value of a primitive element: text for the dump line, and
// the decoded value (plus OID name) for JSON. Throws asn::Error on a bad one.
struct Value {
    std::string text;   // for the dump line
    std::string value;  // for JSON, empty when only hex is shown
    std::string oidName;
};

Value Decode(const asn::Element& e, const asn::Reader& r) {
    Value v;
    const std::size_t at = e.ContentOffset();
    if (e.cls != asn::kUniversal) {
        v.text = Hex(e.content);
        return v;
    }
    auto shortHex = [](asn::Bytes b) {
        constexpr std::size_t kMax = 32;
        std::string h = Hex(b.first(std::min(b.size(), kMax)));
        if (b.size() > kMax) h += "...";
        return h;
    };
    switch (e.tag) {
        case asn::kBoolean:
            v.value = v.text = asn::DecodeBoolean(e.content, r.options(), at) ? "TRUE" : "FALSE";
            break;
        case asn::kNull:
            if (!e.content.empty()) r.ThrowAt(e.offset, "NULL with content");
            break;
        case asn::kInteger:
        case asn::kEnumerated:
            asn::DecodeIntegerBytes(e.content, at);
            if (e.content.size() <= 8)
                v.value = v.text = std::to_string(asn::DecodeInteger(e.content, at));
            else
                v.value = v.text = "0x" + Hex(e.content);
            break;
        case asn::kOid:
            v.value = v.text = asn::DecodeOid(e.content, at);
            v.oidName = OidName(v.value);
            if (!v.oidName.empty()) v.text += " (" + v.oidName + ")";
            break;
        case asn::kBitString: {
            asn::BitString b = asn::DecodeBitString(e.content, r.options(), at);
            v.value = Hex(b.bytes);
            v.text = "unused=" + std::to_string(b.unusedBits) + " " + shortHex(b.bytes);
            break;
        }
        case asn::kUtcTime:
        case asn::kGeneralizedTime: {
            FILETIME t = asn::DecodeTime(e.tag, e.content, r.options(), at);
            v.value = ctf::IsoTime(t);
            v.text =
                std::string(reinterpret_cast<const char*>(e.content.data()), e.content.size()) + " (" + v.value + ")";
            break;
        }
        default:
            if (asn::IsStringTag(e.tag)) {
                v.value = asn::DecodeString(e.tag, e.content, at, r.options());
                v.text = ctf::JsonString(v.value);
            } else {
                v.text = shortHex(e.content);
            }
    }
    return v;
}

struct Dumper {
    bool json;
    std::string out;

    void Line(const asn::Element& e, int depth, const std::string& value) {
        char head[64];
        if (e.indefinite)
            std::snprintf(head, sizeof head, "%6zu: d=%-2d hl=%zu l=%-5s ", e.offset, depth, e.headerLen, "inf");
        else
            std::snprintf(head, sizeof head, "%6zu: d=%-2d hl=%zu l=%-5zu ", e.offset, depth, e.headerLen,
                          e.content.size());
        out += head;
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += TagName(e);
        if (!value.empty()) out += "  " + value;
        out += '\n';
    }

    void JsonNode(const asn::Element& e, int depth, bool first) {
        if (!first) out += ',';
        out += "{\"offset\":" + std::to_string(e.offset) + ",\"depth\":" + std::to_string(depth) +
               ",\"headerLength\":" + std::to_string(e.headerLen) +
               ",\"length\":" + (e.indefinite ? std::string("null") : std::to_string(e.content.size())) +
               ",\"class\":\"" + ClassName(e.cls) + "\",\"tag\":" + std::to_string(e.tag) +
               ",\"name\":" + ctf::JsonString(TagName(e)) + ",\"constructed\":" + (e.constructed ? "true" : "false");
    }

    void Walk(asn::Reader& r, int depth) {
        bool first = true;
        while (!r.AtEnd()) {
            asn::Element e = r.Next();
            // Constructed strings (BER) are shown as their segments.
            if (e.constructed) {
                if (json) {
                    JsonNode(e, depth, first);
                    out += ",\"children\":[";
                } else {
                    Line(e, depth, "");
                }
                asn::Reader child = r.Enter(e);
                Walk(child, depth + 1);
                if (json) out += "]}";
            } else {
                Value v = Decode(e, r);
                if (json) {
                    JsonNode(e, depth, first);
                    if (!v.value.empty()) out += ",\"value\":" + ctf::JsonString(v.value);
                    if (!v.oidName.empty()) out += ",\"oidName\":" + ctf::JsonString(v.oidName);
                    out += ",\"hex\":\"" + Hex(e.content) + "\"}";
                } else {
                    Line(e, depth, v.text);
                }
            }
            first = false;
        }
    }
};

// Dumps `der`. Malformed input prints what was read up to the fault (text
// mode) and fails with exit 2 naming the fault's offset.
int DumpDer(ctf::ByteSpan der, bool json, bool ber, const std::string& what) {
    asn::Options opt;
    opt.ber = ber;
    Dumper d{json, {}};
    try {
        if (der.empty()) throw asn::Error(TOOERR_DER_FORMAT, 0, "no data");
        asn::Reader r(asn::Bytes(der.data(), der.size()), opt);
        asn::Element top = r.Peek().value();
        asn::Reader one(top.encoded, opt);
        if (json) d.out += "[";
        d.Walk(one, 0);
        if (json) d.out += "]\n";
        if (top.encoded.size() != der.size())
            throw asn::Error(TOOERR_DER_FORMAT, top.encoded.size(),
                             std::to_string(der.size() - top.encoded.size()) + " bytes after the end of the element");
    } catch (const asn::Error& e) {
        if (!json) std::fputs(d.out.c_str(), stdout);
        throw ctf::UsageError(what + ": malformed ASN.1 at offset " + std::to_string(e.Offset()) + ": " + e.Reason(),
                              e.Status());
    }
    std::fputs(d.out.c_str(), stdout);
    return ctf::kOk;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    const bool ber = args.Flag("ber");
    const std::string path = args.Positional("FILE");
    args.Done();
    ctf::InputRules rules;
    rules.ownFormat = true;  // any BER or DER element, not only SEQUENCEs
    rules.ber = ber;
    const ctf::EncodedInput in = ctf::ReadEncodedInput(path, rules);
    return DumpDer(ctf::Span(in.bytes), ctx.json, ber, path == "-" ? "stdin" : path);
}

ctf::Registrar reg({"asn1",
                    "dump the ASN.1 structure of a DER or PEM file",
                    "FILE [--ber]\n\n"
                    "One line per element: offset, depth, header length, content length, tag and\n"
                    "the value of primitives; nesting is indented.\n"
                    "With --json, a JSON tree instead. FILE is DER or PEM, '-' standard input.\n"
                    "  --ber    accept BER (indefinite lengths, constructed strings)\n"
                    "Malformed input exits 2 naming the byte offset of the fault.",
                    {"ber"},
                    Run});

// A GOST R 34.10-2012 (256-bit) self-signed certificate.
const unsigned char kSampleCert[] = {
    0x30, 0x82, 0x01, 0xe3, 0x30, 0x82, 0x01, 0x8e, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x14, 0x0c, 0x95, 0x6b, 0xf7,
    0x98, 0x88, 0xab, 0x06, 0x92, 0x79, 0x7a, 0x84, 0x94, 0xa1, 0x08, 0x9f, 0x54, 0xc6, 0xbe, 0xb8, 0x30, 0x0c, 0x06,
    0x08, 0x2a, 0x85, 0x03, 0x07, 0x01, 0x01, 0x03, 0x02, 0x05, 0x00, 0x30, 0x42, 0x31, 0x20, 0x30, 0x1e, 0x06, 0x03,
    0x55, 0x04, 0x03, 0x0c, 0x17, 0xd0, 0x9e, 0xd0, 0xb1, 0xd1, 0x80, 0xd0, 0xb0, 0xd0, 0xb7, 0xd0, 0xb5, 0xd1, 0x86,
    0x20, 0xd0, 0x93, 0xd0, 0x9e, 0xd0, 0xa1, 0xd0, 0xa2, 0x31, 0x11, 0x30, 0x0f, 0x06, 0x03, 0x55, 0x04, 0x0a, 0x0c,
    0x08, 0xd0, 0xa2, 0xd0, 0xb5, 0xd1, 0x81, 0xd1, 0x82, 0x31, 0x0b, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x06, 0x13,
    0x02, 0x52, 0x55, 0x30, 0x1e, 0x17, 0x0d, 0x32, 0x36, 0x31, 0x32, 0x30, 0x36, 0x31, 0x39, 0x30, 0x34, 0x35, 0x38,
    0x5a, 0x17, 0x0d, 0x33, 0x36, 0x31, 0x32, 0x30, 0x33, 0x31, 0x39, 0x30, 0x34, 0x35, 0x38, 0x5a, 0x30, 0x42, 0x31,
    0x20, 0x30, 0x1e, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x17, 0xd0, 0x9e, 0xd0, 0xb1, 0xd1, 0x80, 0xd0, 0xb0, 0xd0,
    0xb7, 0xd0, 0xb5, 0xd1, 0x86, 0x20, 0xd0, 0x93, 0xd0, 0x9e, 0xd0, 0xa1, 0xd0, 0xa2, 0x31, 0x11, 0x30, 0x0f, 0x06,
    0x03, 0x55, 0x04, 0x0a, 0x0c, 0x08, 0xd0, 0xa2, 0xd0, 0xb5, 0xd1, 0x81, 0xd1, 0x82, 0x31, 0x0b, 0x30, 0x09, 0x06,
    0x03, 0x55, 0x04, 0x06, 0x13, 0x02, 0x52, 0x55, 0x30, 0x66, 0x30, 0x1f, 0x06, 0x08, 0x2a, 0x85, 0x03, 0x07, 0x01,
    0x01, 0x01, 0x01, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01, 0x06, 0x08, 0x2a, 0x85, 0x03,
    0x07, 0x01, 0x01, 0x02, 0x02, 0x03, 0x43, 0x00, 0x04, 0x40, 0x02, 0x96, 0xeb, 0x37, 0x4f, 0xb2, 0x66, 0x11, 0xe4,
    0x64, 0x78, 0xa7, 0x4f, 0x20, 0x17, 0x6f, 0x91, 0x9d, 0x68, 0xbd, 0x94, 0x88, 0xc4, 0x52, 0xf8, 0x0c, 0xa9, 0x3b,
    0xb0, 0xee, 0xb7, 0xe6, 0x11, 0xfd, 0x5d, 0x02, 0xcf, 0xdc, 0xb0, 0xd9, 0x34, 0xd5, 0x63, 0xa8, 0x2e, 0x5b, 0xc2,
    0x29, 0x16, 0x08, 0x53, 0xad, 0x62, 0xe3, 0xff, 0xe7, 0x6a, 0xce, 0x33, 0x44, 0x53, 0xe0, 0x8d, 0x94, 0xa3, 0x53,
    0x30, 0x51, 0x30, 0x1d, 0x06, 0x03, 0x55, 0x1d, 0x0e, 0x04, 0x16, 0x04, 0x14, 0x41, 0x09, 0xec, 0x53, 0x49, 0xd4,
    0xcb, 0x77, 0x72, 0xa0, 0xdd, 0x03, 0xae, 0x24, 0x25, 0x11, 0xdf, 0x3b, 0xda, 0x3c, 0x30, 0x1f, 0x06, 0x03, 0x55,
    0x1d, 0x23, 0x04, 0x18, 0x30, 0x16, 0x80, 0x14, 0x41, 0x09, 0xec, 0x53, 0x49, 0xd4, 0xcb, 0x77, 0x72, 0xa0, 0xdd,
    0x03, 0xae, 0x24, 0x25, 0x11, 0xdf, 0x3b, 0xda, 0x3c, 0x30, 0x0f, 0x06, 0x03, 0x55, 0x1d, 0x13, 0x01, 0x01, 0xff,
    0x04, 0x05, 0x30, 0x03, 0x01, 0x01, 0xff, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x85, 0x03, 0x07, 0x01, 0x01, 0x03, 0x02,
    0x05, 0x00, 0x03, 0x41, 0x00, 0xdf, 0x25, 0x54, 0x1c, 0xa9, 0x2c, 0x57, 0x82, 0x6b, 0x45, 0x9b, 0xc1, 0x89, 0x8b,
    0x74, 0x0c, 0x50, 0xd8, 0x79, 0xcc, 0x85, 0x91, 0x42, 0x20, 0x5e, 0xb7, 0x79, 0xee, 0xe9, 0x12, 0xf2, 0x39, 0xd4,
    0x89, 0x0a, 0x35, 0x5c, 0x1e, 0x0f, 0x15, 0x33, 0xe5, 0x03, 0xce, 0xd9, 0xc8, 0x05, 0x4f, 0x58, 0x2d, 0x53, 0x53,
    0xdb, 0xde, 0xea, 0x7d, 0x1b, 0x19, 0x04, 0xa6, 0xca, 0xc9, 0xaf, 0x96,
};

ctf::DemoRegistrar demo({10, "ASN.1 structure of the sample certificate", [](ctf::Context& ctx) {
                             return DumpDer(ctf::ByteSpan(kSampleCert, sizeof kSampleCert), ctx.json, false,
                                            "sample certificate");
                         }});

}  // namespace
