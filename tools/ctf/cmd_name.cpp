// `ctf name encode|decode|compare`: distinguished names between their text
// form and DER, through the library's name parser.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/x500name.h"
#include "cli.h"
#include "io.h"
#include "text.h"

namespace {

using namespace X500NameParser;
using ctf::Args;
using ctf::JsonObject;
using ctf::UsageError;

std::u16string Wide(const std::string& utf8, const std::string& what) {
    std::u16string out;
    if (!utf8.empty() && !TOOUtf8ToUtf16(utf8, out)) throw UsageError(what + " is not UTF-8", TOOERR_BADENCODING);
    return out;
}

std::string Narrow(const std::u16string& wide) {
    std::string out;
    if (!wide.empty() && !TOOUtf16ToUtf8(wide, out)) throw ctf::Error(ctf::kFailure, "text that is not UTF-16");
    return out;
}

// The separator option: the option bit of the encoder and decoder.
DWORD SeparatorOption(Args& args) {
    const auto sep = args.Option("sep");
    if (!sep || *sep == "comma") return sep ? kCommaOnly : 0;
    if (*sep == "semicolon") return kSemicolonOnly;
    if (*sep == "newline") return kLineBreakOnly;
    throw UsageError("unknown separator \"" + *sep + "\" (comma, semicolon or newline)");
}

// Characters (code points) in the first `units` UTF-16 units of `text`.
std::size_t Characters(const std::u16string& text, std::size_t units) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < units && i < text.size(); ++i)
        if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++n;
    return n;
}

// Encodes a text as `ctf name encode` does; a failure is exit 2 with the
// encoder's read position, counted in characters of the text as given.
IdentObj EncodeText(const std::string& text, DWORD options, bool reorder) {
    const std::u16string wide = Wide(text, "the name");
    X500NameEncoder encoder;
    encoder.SetEncoderOptions(options);
    IdentObj der;
    if (encoder.Encode(wide, der, reorder)) return der;
    std::size_t lead = 0;
    while (lead < wide.size() &&
           (wide[lead] == u' ' || wide[lead] == u'\t' || wide[lead] == u'\r' || wide[lead] == u'\n'))
        ++lead;
    if (lead == wide.size()) throw UsageError("the name is empty", TOOERR_BADNAME);
    const std::size_t at = lead + encoder.GetReadPosition();
    std::list<X500NameEncoder::X500NAME_ELEM> elements;
    const bool parses = X500NameEncoder(encoder).DevideIntoElements(wide, elements);
    const std::string rest = Narrow(wide.substr(at, 24)) + (wide.size() > at + 24 ? "..." : "");
    const std::string where =
        "at offset " + std::to_string(Characters(wide, at)) + (rest.empty() ? " (the end)" : " (\"" + rest + "\")");
    if (parses)
        throw UsageError(
            "cannot encode the element " + where + ": an empty value, or one its attribute type does not take",
            TOOERR_BADNAME);
    // A type the parser does not know, or text that is no element at all.
    const std::size_t eq = wide.find(u'=', at);
    const std::u16string type = eq == wide.npos ? std::u16string() : wide.substr(at, eq - at);
    std::list<X500NameEncoder::X500NAME_ELEM> probe;
    if (!type.empty() && type.find_first_of(u",;\r\n\"") == type.npos &&
        !X500NameEncoder().DevideIntoElements(type + u"=x", probe))
        throw UsageError("unknown attribute type \"" + Narrow(type) + "\" " + where, TOOERR_BADNAME);
    throw UsageError("the name does not parse " + where + ": expected TYPE=VALUE elements", TOOERR_BADNAME);
}

bool IsHex(const std::string& s) {
    std::size_t digits = 0;
    for (char c : s) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            ++digits;
        else if (c != ' ' && c != ':')
            return false;
    }
    return digits && digits % 2 == 0;
}

bool IsPath(const std::string& s) {
    struct stat st {};
    return s == "-" || ::stat(s.c_str(), &st) == 0;
}

// A name given as a file (DER or PEM, "-" standard input) or as hex; with
// `text` allowed, anything else is a name text.
CCTFX509Name NameOperand(const std::string& arg, bool text) {
    if (!IsPath(arg) && IsHex(arg)) {
        std::string digits;
        for (char c : arg)
            if (c != ' ' && c != ':') digits += c;
        IdentObj der;
        TOOHex2BinStr(digits, der);
        return CCTFX509Name(der);
    }
    if (text && !IsPath(arg)) return CCTFX509Name(EncodeText(arg, 0, false));
    return CCTFX509Name(ctf::ReadEncodedInput(arg).bytes);
}

// Why a name does not decode to text, in the user's terms.
[[noreturn]] void ThrowUndecodable(const CCTFX509Name& name) {
    DWORD need = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, name.data(), name.size(), 0, nullptr, &need)) {
        const DWORD code = GetLastError();
        // Malformed DER is reported at its offset (asn::Error); DER that
        // is no Name by the platform's code.
        asn::Validate(asn::Bytes(name.data(), name.size()));
        throw ctf::Error(ctf::kUsage, "the input is not a DER Name", WinErr2ToolsErr(code));
    }
    std::list<std::list<CCTFRDNAttr>> rdns;
    name.GetNameInfo(rdns);
    std::size_t i = 0;
    for (const auto& rdn : rdns) {
        ++i;
        if (rdn.size() != 1)
            throw UsageError("RDN " + std::to_string(i) + " holds " + std::to_string(rdn.size()) +
                             " attributes: the text form takes single-valued RDNs only");
    }
    throw UsageError("the name cannot be written as text", TOOERR_BADENCODING);
}

// {oid, tag, value} of each RDN as encoded, beside its key and lines.
std::string JsonRdns(const CCTFX509Name& name, DWORD mode) {
    X500NameDecoder decoder;
    std::list<std::pair<std::u16string, std::list<std::u16string>>> elements;
    decoder.Decode(name, elements, mode);
    auto element = elements.begin();
    std::vector<std::string> items;
    asn::Reader r(name.data(), name.size());
    asn::Reader seq = r.EnterSequence();
    while (!seq.AtEnd() && element != elements.end()) {
        asn::Reader set = seq.EnterSet();
        asn::Reader attr = set.EnterSequence();
        const std::string oid = attr.ReadOid();
        const asn::Element value = attr.Next();
        std::vector<std::string> lines;
        for (const auto& l : element->second) lines.push_back(Narrow(l));
        items.push_back(JsonObject()
                            .Add("oid", oid)
                            .Add("key", Narrow(element->first))
                            .Add("tag", std::uint32_t(value.tag))
                            .Add("value", ctf::Hex(value.content))
                            .AddJson("lines", ctf::JsonStrings(lines))
                            .str());
        ++element;
    }
    return ctf::JsonArray(items);
}

int Encode(ctf::Context& ctx, Args& args) {
    const std::string text = args.Positional("TEXT");
    DWORD options = SeparatorOption(args);
    if (args.Flag("utf8")) options |= kUtf8NotBmp;
    const bool reorder = args.Flag("reorder");
    const auto out = args.Option("out");
    args.Done();
    const IdentObj der = EncodeText(text, options, reorder);
    const std::string hex = ctf::Hex(ctf::Span(der));
    if (out) {
        ctf::WriteOutputFile(*out, ctf::Span(der));
        // Standard output carries the DER itself then.
        if (*out == "-") return ctf::kOk;
    }
    if (ctx.json) {
        JsonObject o;
        o.Add("der", hex);
        if (out) o.Add("out", *out).Add("bytes", std::uint32_t(der.size()));
        std::printf("%s\n", o.str().c_str());
    } else if (out) {
        std::printf("%s: %u bytes\n", out->c_str(), unsigned(der.size()));
    } else {
        std::printf("%s\n", hex.c_str());
    }
    return ctf::kOk;
}

int Decode(ctf::Context& ctx, Args& args) {
    const std::string input = args.Positional("HEX-OR-FILE");
    const auto modeText = args.Option("mode");
    const DWORD separator = SeparatorOption(args);
    args.Done();
    DWORD mode = kModeKeywords;
    if (modeText) {
        if (*modeText != "1" && *modeText != "2" && *modeText != "3")
            throw UsageError("unknown mode \"" + *modeText + "\" (1 values, 2 OIDs, 3 keywords)");
        mode = DWORD(std::stoul(*modeText));
    }
    const CCTFX509Name name = NameOperand(input, false);
    X500NameDecoder decoder;
    // The decoder joins with ',' unless told otherwise.
    decoder.SetDecoderOptions(separator & ~kCommaOnly);
    std::u16string text;
    if (!decoder.Decode(name, text, mode)) ThrowUndecodable(name);
    if (ctx.json) {
        std::string display;
        name.GetCertNameString(display);
        std::printf("%s\n", JsonObject()
                                .Add("text", Narrow(text))
                                .Add("display", display)
                                .AddJson("rdns", JsonRdns(name, mode))
                                .str()
                                .c_str());
    } else {
        std::printf("%s\n", Narrow(text).c_str());
    }
    return ctf::kOk;
}

int Compare(ctf::Context& ctx, Args& args) {
    const std::vector<std::string> names = args.Positionals();
    args.Done();
    if (names.size() > 2) throw UsageError("unexpected argument " + names[2]);
    if (names.size() < 2) throw UsageError("expected two names, A and B");
    auto operand = [](const std::string& arg, const char* which) {
        try {
            return NameOperand(arg, true);
        } catch (const ctf::Error& e) {
            throw ctf::Error(e.ExitCode(), std::string(which) + ": " + e.Message(), e.Status(), e.Place());
        }
    };
    const CCTFX509Name a = operand(names[0], "A");
    const CCTFX509Name b = operand(names[1], "B");
    bool equal = false;
    try {
        equal = a == b;
    } catch (const XTOOStatus& s) {
        throw UsageError("a name does not decode", s.Status());
    }
    if (ctx.json)
        std::printf("%s\n", JsonObject().Add("equal", equal).str().c_str());
    else
        std::printf("%s\n", equal ? "equal" : "not equal");
    return equal ? ctf::kOk : ctf::kCheckFailed;
}

const char kSeparators[] = "  --sep S     comma, semicolon or newline: the only separator (default: any)\n";

ctf::Registrar encode({"name encode",
                       "encode a distinguished name from its text form",
                       std::string("TEXT [--utf8] [--reorder] [--sep comma|semicolon|newline] [--out F]\n\n"
                                   "TEXT is TYPE=VALUE elements: CN=Иванов, O=\"Рога и копыта\", C=RU, INN=...\n"
                                   "Prints the DER as hex, or writes it to --out (- is standard output).\n"
                                   "  --utf8      values outside PrintableString as UTF8String, not BMPString\n"
                                   "  --reorder   country first, common name last\n") +
                           kSeparators,
                       {"utf8", "reorder"},
                       Encode});

ctf::Registrar decode({"name decode",
                       "show a DER distinguished name as text",
                       std::string("HEX-OR-FILE [--mode 1|2|3] [--sep comma|semicolon|newline]\n\n"
                                   "The name as hex, or a DER or PEM file (- is standard input).\n"
                                   "  --mode M    1 values only, 2 dotted OIDs, 3 keywords (default)\n") +
                           "  --sep S     the separator written: comma (default), semicolon or newline\n"
                           "With --json: the text, the display name and each RDN (OID, key, tag, value).\n",
                       {},
                       Decode});

ctf::Registrar compare({"name compare",
                        "compare two distinguished names as the library does",
                        "A B\n\n"
                        "Each name is a DER or PEM file, hex, or a name text. Equal (exit 0) when both\n"
                        "hold the same attributes with the same values, in any order and string type;\n"
                        "otherwise exit 1.",
                        {},
                        Compare});

}  // namespace
