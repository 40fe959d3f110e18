// The command framework of `ctf`: each command lives in its own cmd_*.cpp
// and registers itself with a static ctf::Registrar.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cert/tools.h"

namespace ctf {

enum Exit : int {
    kOk = 0,
    kCheckFailed = 1,  // a check ran and failed (bad signature, untrusted)
    kUsage = 2,        // bad usage or unreadable input
    kFailure = 3,      // any other failure
};

struct Context {
    std::string home;          // --home, empty when $CERT_HOME rules
    std::string transportDir;  // --transport-dir
    bool json = false;         // --json
};

// Thrown for bad usage and unreadable input: exit 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Command-line arguments of one command: options are "--name value" or
// "--name=value", flags "--name"; the rest are positionals in order.
class Args {
public:
    Args(std::vector<std::string> argv, std::vector<std::string> flagNames);
    std::optional<std::string> Option(const std::string& name);
    std::string Required(const std::string& name);
    bool Flag(const std::string& name);
    std::vector<std::string> Positionals();
    // Exactly one expected; the count is checked by Done(), so call Done()
    // before using the value.
    std::string Positional(const std::string& what);
    // Fails on options and arguments no one asked for.
    void Done();
    bool WantsHelp() const { return help_; }

private:
    std::map<std::string, std::string> options_;
    std::map<std::string, bool> flags_;
    std::vector<std::string> positionals_;
    std::vector<std::string> used_;
    std::string expectOne_;
    bool help_ = false;
};

struct Command {
    std::string name;
    std::string summary;
    std::string usage;               // full help text after the name
    std::vector<std::string> flags;  // option names that take no value
    std::function<int(Context&, Args&)> run;
};

struct Registrar {
    explicit Registrar(Command c);
};

const std::map<std::string, Command>& Commands();

// One step of `ctf demo`; steps run in `order`, each in the demo's home.
struct DemoStep {
    int order;
    std::string title;
    std::function<int(Context&)> run;  // returns an exit code
};
struct DemoRegistrar {
    explicit DemoRegistrar(DemoStep s);
};
const std::vector<DemoStep>& DemoSteps();

// Reads a whole input file; PEM (any armour label) is turned into its DER
// bytes, anything else is taken as it is. UsageError when unreadable.
IdentObj ReadInput(const std::string& path, std::string* pemLabel = nullptr);
std::string ReadFileBytes(const std::string& path);

// A password kept in a file: its bytes without the trailing line break.
std::string ReadSecretFile(const std::string& path);
// The container password: from --password-file when given, else asked on the
// terminal without echo; UsageError when neither is possible.
std::string ReadPassword(Args& args, const std::string& prompt);

// Prints a status with its explanation and place on stderr; returns 3.
int ReportStatus(const XTOOStatus& st);
// The explanation text used for a status; later layers may improve it.
using ExplainFn = std::string (*)(int status);
void SetExplainer(ExplainFn fn);
std::string Explain(int status);

// JSON string literal.
std::string JsonQuote(const std::string& s);

}  // namespace ctf
