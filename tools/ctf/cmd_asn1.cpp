// `ctf asn1`: a readable dump of a DER (or PEM) file, one line per element,
// or a JSON tree.
#include <cstdio>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/oid.h"
#include "cli.h"
#include "sample.h"
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

ctf::DemoRegistrar demo({10, "ASN.1 structure of the sample certificate", [](ctf::Context& ctx) {
                             return DumpDer(ctf::SampleCertificate(), ctx.json, false, "sample certificate");
                         }});

}  // namespace
