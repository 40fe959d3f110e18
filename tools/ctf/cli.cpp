#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <termios.h>
#include <unistd.h>

namespace ctf {

namespace {
std::map<std::string, Command>& CommandTable() {
    static std::map<std::string, Command> t;
    return t;
}
std::vector<DemoStep>& DemoTable() {
    static std::vector<DemoStep> t;
    return t;
}
ExplainFn g_explainer = nullptr;
}  // namespace

Registrar::Registrar(Command c) { CommandTable()[c.name] = std::move(c); }
const std::map<std::string, Command>& Commands() { return CommandTable(); }

DemoRegistrar::DemoRegistrar(DemoStep s) { DemoTable().push_back(std::move(s)); }
const std::vector<DemoStep>& DemoSteps() { return DemoTable(); }

Args::Args(std::vector<std::string> argv, std::vector<std::string> flagNames) {
    bool onlyPositionals = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        // "-2146893818" is a negative number, not an option.
        bool negativeNumber = a.size() >= 2 && a[0] == '-' && a[1] >= '0' && a[1] <= '9';
        if (onlyPositionals || a.size() < 2 || a[0] != '-' || negativeNumber) {
            positionals_.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPositionals = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            help_ = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) throw UsageError("unknown option " + a);
        std::string name = a.substr(2), val;
        bool hasValue = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            val = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        bool isFlag = false;
        for (const auto& f : flagNames)
            if (f == name) isFlag = true;
        if (isFlag) {
            if (hasValue) throw UsageError("--" + name + " takes no value");
            flags_[name] = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argv.size()) throw UsageError("--" + name + " needs a value");
            val = argv[++i];
        }
        options_[name] = val;
    }
}

std::optional<std::string> Args::Option(const std::string& name) {
    used_.push_back(name);
    auto it = options_.find(name);
    if (it == options_.end()) return std::nullopt;
    return it->second;
}

std::string Args::Required(const std::string& name) {
    auto v = Option(name);
    if (!v) throw UsageError("--" + name + " is required");
    return *v;
}

bool Args::Flag(const std::string& name) {
    used_.push_back(name);
    return flags_.count(name) != 0;
}

std::vector<std::string> Args::Positionals() {
    used_.push_back("");
    return positionals_;
}

std::string Args::Positional(const std::string& what) {
    used_.push_back("");
    // The count is checked in Done(), after the options: "--bogus FILE"
    // should be reported as the unknown option it is, not as a missing FILE.
    expectOne_ = what;
    return positionals_.size() == 1 ? positionals_[0] : std::string();
}

void Args::Done() {
    auto used = [&](const std::string& n) {
        for (const auto& u : used_)
            if (u == n) return true;
        return false;
    };
    for (const auto& [k, v] : options_)
        if (!used(k)) throw UsageError("unknown option --" + k);
    for (const auto& [k, v] : flags_)
        if (!used(k)) throw UsageError("unknown option --" + k);
    if (!positionals_.empty() && !used("")) throw UsageError("unexpected argument " + positionals_[0]);
    if (!expectOne_.empty() && positionals_.size() != 1) throw UsageError("expected one " + expectOne_);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw UsageError("cannot read " + path);
    return ss.str();
}

IdentObj ReadInput(const std::string& path, std::string* pemLabel) {
    std::string raw = ReadFileBytes(path);
    auto begin = raw.find("-----BEGIN ");
    // DER never starts with text; anything with an armour line is PEM.
    if (begin != std::string::npos && (raw.empty() || raw[0] != 0x30 || begin < 64)) {
        auto labelEnd = raw.find("-----", begin + 11);
        if (labelEnd == std::string::npos) throw UsageError(path + ": broken PEM armour");
        std::string label = raw.substr(begin + 11, labelEnd - begin - 11);
        auto bodyStart = raw.find('\n', labelEnd);
        auto end = raw.find("-----END " + label + "-----", labelEnd);
        if (bodyStart == std::string::npos || end == std::string::npos || end < bodyStart)
            throw UsageError(path + ": PEM block '" + label + "' has no END line");
        std::string body = raw.substr(bodyStart + 1, end - bodyStart - 1);
        // RFC 1421 headers (Proc-Type: ...) end with a blank line.
        if (body.find(':') != std::string::npos) {
            auto blank = body.find("\n\n");
            if (blank == std::string::npos) blank = body.find("\r\n\r\n");
            if (blank != std::string::npos) body = body.substr(blank);
        }
        IdentObj der;
        if (!TOO::Base64Decode(body, der)) throw UsageError(path + ": PEM block '" + label + "' is not valid Base64");
        if (pemLabel) *pemLabel = label;
        return der;
    }
    if (pemLabel) pemLabel->clear();
    return IdentObj(raw);
}

std::string ReadSecretFile(const std::string& path) {
    std::string p = ReadFileBytes(path);
    while (!p.empty() && (p.back() == '\n' || p.back() == '\r')) p.pop_back();
    return p;
}

std::string ReadPassword(Args& args, const std::string& prompt) {
    if (auto file = args.Option("password-file")) return ReadSecretFile(*file);
    if (!isatty(STDIN_FILENO)) throw UsageError("no terminal to ask for the password: use --password-file FILE");
    std::fprintf(stderr, "%s: ", prompt.c_str());
    std::fflush(stderr);
    termios old{};
    tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string p;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') p += static_cast<char>(c);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fprintf(stderr, "\n");
    return p;
}

void SetExplainer(ExplainFn fn) { g_explainer = fn; }

std::string Explain(int status) {
    if (g_explainer) {
        std::string s = g_explainer(status);
        if (!s.empty()) return s;
    }
    if (const char* t = TOOStatusText(status)) return t;
    DWORD win = ToolsErr2WinErr(status);
    char buf[64];
    if (win)
        std::snprintf(buf, sizeof buf, "error 0x%08X", win);
    else
        std::snprintf(buf, sizeof buf, "status %d", status);
    return buf;
}

int ReportStatus(const XTOOStatus& st) {
    std::fprintf(stderr, "ctf: %s (status %d", Explain(st.Status()).c_str(), st.Status());
    if (st.Place() && *st.Place()) std::fprintf(stderr, ", at %s", st.Place());
    std::fprintf(stderr, ")\n");
    return kFailure;
}

std::string JsonQuote(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                o += "\\\"";
                break;
            case '\\':
                o += "\\\\";
                break;
            case '\n':
                o += "\\n";
                break;
            case '\r':
                o += "\\r";
                break;
            case '\t':
                o += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char b[8];
                    std::snprintf(b, sizeof b, "\\u%04x", c);
                    o += b;
                } else {
                    o += static_cast<char>(c);
                }
        }
    }
    return o + "\"";
}

}  // namespace ctf
