#include "cli.h"

#include <algorithm>
#include <cctype>

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

bool Among(const std::vector<std::string>& names, const std::string& n) {
    return std::find(names.begin(), names.end(), n) != names.end();
}
}  // namespace

Registrar::Registrar(Command c) { CommandTable()[c.name] = std::move(c); }
const std::map<std::string, Command>& Commands() { return CommandTable(); }

DemoRegistrar::DemoRegistrar(DemoStep s) { DemoTable().push_back(std::move(s)); }
const std::vector<DemoStep>& DemoSteps() { return DemoTable(); }

Error::Error(int exitCode, std::string message, int status, std::string place)
    : exitCode_(exitCode), message_(std::move(message)), status_(status), place_(std::move(place)) {}

int ExitForStatus(int status) {
    switch (status) {
        case TOOERR_NOFILE:
        case TOOERR_BADNAME:
        case TOOERR_BADFORMAT:
        case TOOERR_UNKNOWN_ALG:
        case TOOERR_BADENCODING:
        case TOOERR_DER_FORMAT:
        case TOOERR_DER_DEPTH:
        case TOOERR_DER_LIMIT:
        case TOOERR_NOTFOUND:
            return kUsage;
    }
    switch (ToolsErr2WinErr(status)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case NTE_BAD_KEYSET:
        case NTE_KEYSET_NOT_DEF:
        case NTE_BAD_KEYSET_PARAM:
        case ERROR_CANCELLED:  // a password was wanted and none given
        case NTE_BAD_ALGID:
        case NTE_BAD_DATA:
        case NTE_NO_KEY:
        case NTE_EXISTS:
            return kUsage;
    }
    return kFailure;
}

void ThrowWinError(DWORD winError, const std::string& message) {
    const int status = WinErr2ToolsErr(winError);
    throw Error(ExitForStatus(status), message, status);
}

bool TakeGlobalOption(const std::vector<std::string>& argv, std::size_t& i, Context& ctx, std::string& fault) {
    const std::string& a = argv[i];
    if (a == "--json" || a.rfind("--json=", 0) == 0) {
        if (a != "--json" && fault.empty()) fault = "--json takes no value";
        ctx.json = true;
        return true;
    }
    for (auto [name, target] : {std::pair{"--home", &ctx.home}, std::pair{"--transport-dir", &ctx.transportDir}}) {
        const std::string n = name;
        if (a == n) {
            if (i + 1 >= argv.size()) {
                if (fault.empty()) fault = n + " needs a value";
                return true;
            }
            *target = argv[++i];
            return true;
        }
        if (a.rfind(n + "=", 0) == 0) {
            *target = a.substr(n.size() + 1);
            return true;
        }
    }
    return false;
}

Args::Args(std::vector<std::string> argv, std::vector<std::string> flagNames, Context& ctx,
           std::vector<std::string> listNames) {
    auto fault = [&](const std::string& f) {
        if (fault_.empty()) fault_ = f;
    };
    bool onlyPositionals = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        // "-2146893818" is a negative number, not an option; "-" is standard input.
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
        if (TakeGlobalOption(argv, i, ctx, fault_)) continue;
        std::string name, val;
        bool hasValue = false;
        if (a == "-o") {
            name = "out";
        } else if (a.rfind("--", 0) == 0) {
            name = a.substr(2);
            if (auto eq = name.find('='); eq != std::string::npos) {
                val = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasValue = true;
            }
        } else {
            fault("unknown option " + a);
            continue;
        }
        if (Among(flagNames, name)) {
            if (hasValue) fault("--" + name + " takes no value");
            flags_[name] = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argv.size()) {
                fault("--" + name + " needs a value");
                continue;
            }
            val = argv[++i];
        }
        if (Among(listNames, name)) {
            lists_[name].push_back(val);
            continue;
        }
        if (options_.count(name)) fault("--" + name + " is given twice");
        options_[name] = val;
    }
}

void Args::Check() const {
    if (!fault_.empty()) throw UsageError(fault_);
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

std::vector<std::string> Args::Options(const std::string& name) {
    used_.push_back(name);
    auto it = lists_.find(name);
    return it == lists_.end() ? std::vector<std::string>() : it->second;
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
    Check();
    for (const auto& [k, v] : options_)
        if (!Among(used_, k)) throw UsageError("unknown option --" + k);
    for (const auto& [k, v] : flags_)
        if (!Among(used_, k)) throw UsageError("unknown option --" + k);
    for (const auto& [k, v] : lists_)
        if (!Among(used_, k)) throw UsageError("unknown option --" + k);
    if (!positionals_.empty() && !Among(used_, "")) throw UsageError("unexpected argument " + positionals_[0]);
    if (!expectOne_.empty() && positionals_.size() > 1) throw UsageError("unexpected argument " + positionals_[1]);
    if (!expectOne_.empty() && positionals_.empty()) throw UsageError("expected one " + expectOne_);
}

DWORD NumberArgument(const std::string& option, const std::string& text, DWORD max) {
    // Decimal even with leading zeros (never octal), hex only after 0x.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    std::size_t used = 0;
    unsigned long long n = 0;
    try {
        n = std::stoull(digits, &used, hex ? 16 : 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (digits.empty() || used != digits.size() || !std::isxdigit(static_cast<unsigned char>(digits[0])) || n > max)
        throw UsageError("--" + option + " takes a number from 0 to " + std::to_string(max) + ", not \"" + text + "\"");
    return static_cast<DWORD>(n);
}

}  // namespace ctf
