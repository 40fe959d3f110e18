// `ctf explain`: the texts the library gives for an error code or a set of
// chain trust bits; also makes them the tool's explanations of failures.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cert/errtext.h"
#include "cli.h"

namespace {

// Decimal or 0x hex, optionally negative: a code as a signed 32-bit HRESULT
// or widened to 64 bits keeps its meaning.
unsigned long ParseCode(const std::string& s) {
    if (s.empty()) throw ctf::UsageError("empty code");
    const bool negative = s[0] == '-';
    const std::string digits = negative ? s.substr(1) : s;
    const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (digits.empty() || digits[0] == '-' || digits[0] == '+') throw ctf::UsageError("bad code " + s);
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno || !end || *end || end == digits.c_str()) throw ctf::UsageError("bad code " + s);
    if (negative) {
        if (v > 0x80000000ull) throw ctf::UsageError("code out of range: " + s);
        return static_cast<unsigned long>(-static_cast<long long>(v));
    }
    return static_cast<unsigned long>(v);
}

std::string Hex(unsigned long v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%08lX", v);
    return b;
}

std::string SystemText(unsigned long code) {
    std::string t;
    CertDll::GetWin32ErrorText(code, t);
    return t;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    auto bits = args.Option("bits");
    const bool json = ctx.json || args.Flag("json");
    std::vector<std::string> pos = args.Positionals();
    args.Done();
    if (bits) {
        if (!pos.empty()) throw ctf::UsageError("give either CODE or --bits MASK");
        const unsigned long mask = ParseCode(*bits) & 0xFFFFFFFFul;
        const unsigned long err = CTFCertFlags2WinErr(mask);
        const std::string text = CTFGetCertTotalBitMaskExplaination(mask).str();
        const std::string errText = CTFGetWinErrorExplaination(err).str();
        if (json) {
            std::printf("{\"bits\": %s, \"text\": %s, \"error\": %s, \"errorText\": %s}\n",
                        ctf::JsonQuote(Hex(mask)).c_str(), ctf::JsonQuote(text).c_str(),
                        ctf::JsonQuote(Hex(err)).c_str(), ctf::JsonQuote(errText).c_str());
        } else {
            std::printf("%s: %s\nerror %s: %s\n", Hex(mask).c_str(), text.c_str(), Hex(err).c_str(), errText.c_str());
        }
        return ctf::kOk;
    }
    if (pos.size() != 1) throw ctf::UsageError("expected one CODE");
    const unsigned long code = ParseCode(pos[0]);
    const DWORD normal = WinErrNormalize(static_cast<std::int64_t>(code));
    const std::string text = CTFGetWinErrorExplaination(code).str();
    const std::string system = SystemText(code);
    const bool known = CTFHasWinErrorExplaination(code);
    if (json) {
        std::printf("{\"code\": %s, \"text\": %s, \"known\": %s, \"system\": %s}\n",
                    ctf::JsonQuote(Hex(normal)).c_str(), ctf::JsonQuote(text).c_str(), known ? "true" : "false",
                    ctf::JsonQuote(system).c_str());
    } else {
        std::printf("%s: %s\n", Hex(normal).c_str(), text.c_str());
        if (!system.empty()) std::printf("system: %s\n", system.c_str());
    }
    return ctf::kOk;
}

// Failures of the tool: Windows codes carried in a status get the library's
// own explanation, or the system text when it has none.
std::string ExplainStatus(int status) {
    const DWORD win = ToolsErr2WinErr(status);
    if (!win) return {};
    if (CTFHasWinErrorExplaination(win)) return CTFGetWinErrorExplaination(win).str();
    return SystemText(win);
}

struct InstallExplainer {
    InstallExplainer() { ctf::SetExplainer(&ExplainStatus); }
} g_installExplainer;

ctf::Registrar reg({"explain",
                    "explain an error code or a set of chain trust bits",
                    "CODE | --bits MASK [--json]\n\n"
                    "CODE is decimal or 0x hex; negative and sign-extended HRESULTs are accepted\n"
                    "(-2146893818, 0x80090006 and 0xFFFFFFFF80090006 are the same code).\n"
                    "  --bits MASK  chain trust error bits: their text and the error code they give\n"
                    "  --json       print a JSON object",
                    {"json"},
                    Run});

}  // namespace
