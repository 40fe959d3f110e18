// `ctf explain`: the texts the library gives for a code or a set of chain
// trust bits, in the form the tool's error reports print them.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cert/errtext.h"
#include "cli.h"
#include "text.h"

namespace {

struct Number {
    std::uint64_t value = 0;
    bool negative = false;
    bool hex = false;
};

// Decimal or 0x hex, optionally negative; anything else is refused.
Number ParseNumber(const std::string& s, const char* what) {
    Number n;
    n.negative = !s.empty() && s[0] == '-';
    const std::string digits = n.negative ? s.substr(1) : s;
    n.hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const std::string body = n.hex ? digits.substr(2) : digits;
    if (body.empty() || !std::isxdigit(static_cast<unsigned char>(body[0])))
        throw ctf::UsageError(std::string("bad ") + what + " \"" + s + "\"");
    errno = 0;
    char* end = nullptr;
    n.value = std::strtoull(body.c_str(), &end, n.hex ? 16 : 10);
    if (errno == ERANGE) throw ctf::UsageError(std::string(what) + " \"" + s + "\" does not fit in 32 bits");
    if (errno || !end || *end) throw ctf::UsageError(std::string("bad ") + what + " \"" + s + "\"");
    return n;
}

// A code in 32 bits: unsigned up to 0xFFFFFFFF, negative down to -2^31,
// or a negative one sign-extended to 64 bits (0xFFFFFFFF80090006).
std::uint32_t Code32(const std::string& s, bool& hex) {
    const Number n = ParseNumber(s, "code");
    hex = n.hex;
    const bool fits =
        n.negative ? n.value <= 0x80000000ull : n.value <= 0xFFFFFFFFull || (n.value >= 0xFFFFFFFF80000000ull && n.hex);
    if (!fits) throw ctf::UsageError("code \"" + s + "\" does not fit in 32 bits");
    return static_cast<std::uint32_t>(n.negative ? 0 - n.value : n.value);
}

std::uint32_t Mask32(const std::string& s) {
    const Number n = ParseNumber(s, "mask");
    if (n.negative || n.value > 0xFFFFFFFFull) throw ctf::UsageError("mask \"" + s + "\" does not fit in 32 bits");
    return static_cast<std::uint32_t>(n.value);
}

std::string Hex32(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    const auto bits = args.Option("bits");
    const std::vector<std::string> pos = args.Positionals();
    args.Done();
    if (bits) {
        if (!pos.empty()) throw ctf::UsageError("give either CODE or --bits MASK");
        const std::uint32_t mask = Mask32(*bits);
        const auto err = static_cast<std::uint32_t>(CTFCertFlags2WinErr(mask));
        const std::string text = CTFGetCertTotalBitMaskExplaination(mask).str();
        const std::string errText = CTFGetWinErrorExplaination(err).str();
        if (ctx.json)
            std::printf("%s\n", ctf::JsonObject()
                                    .Add("bits", mask)
                                    .Add("text", text)
                                    .Add("error", err)
                                    .Add("errorText", errText)
                                    .str()
                                    .c_str());
        else
            std::printf("%s: %s\nerror %s: %s\n", Hex32(mask).c_str(), text.c_str(), Hex32(err).c_str(),
                        errText.c_str());
        return ctf::kOk;
    }
    if (pos.size() != 1) throw ctf::UsageError(pos.empty() ? "expected one CODE" : "unexpected argument " + pos[1]);
    bool hex = false;
    const std::uint32_t code = Code32(pos[0], hex);
    // Hex is a Windows code; decimal is a status number of the library,
    // where Windows codes stand as WinErr2ToolsErr carries them (an HRESULT
    // as its own negative value).
    const ctf::Explanation x = hex ? ctf::ExplainWinCode(code) : ctf::ExplainStatus(static_cast<int>(code));
    if (ctx.json) {
        ctf::JsonObject o;
        o.Add("code", x.code).Add("windows", x.windows).Add("text", x.text);
        if (x.windows) o.Add("known", CTFHasWinErrorExplaination(x.code)).Add("system", x.system);
        std::printf("%s\n", o.str().c_str());
    } else {
        for (const auto& line : x.Lines()) std::printf("%s\n", line.c_str());
    }
    return ctf::kOk;
}

ctf::Registrar reg({"explain",
                    "explain an error code or a set of chain trust bits",
                    "CODE | --bits MASK\n\n"
                    "CODE in hex (0x80090006) is a Windows code; negative and sign-extended forms are\n"
                    "the same code (-2146893818, 0xFFFFFFFF80090006). CODE in decimal is a status\n"
                    "number of the library (4, 206, ...), which carries a Windows code of its own\n"
                    "(2148073478 is 0x80090006). This is the form error reports print.\n"
                    "  --bits MASK  chain trust error bits: their text and the error code they give\n"
                    "Codes and masks must fit in 32 bits.",
                    {},
                    Run});

}  // namespace
