// The command framework of `ctf`: each command lives in its own cmd_*.cpp
// and registers itself with a static ctf::Registrar; main.cpp takes the
// global options, finds the command, runs it and turns whatever it throws
// into one report and an exit status. docs/CLI.md states the conventions
// every command keeps.
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <optional>
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
    std::string command;       // "key new": the name every error is reported under
    std::string home;          // --home, empty when $CERT_HOME rules
    std::string transportDir;  // --transport-dir
    bool json = false;         // --json
};

// What a command throws to stop: the exit status and a message in the
// user's terms; when the library gave a status, that status (a foundation
// number, or a Windows code carried as WinErr2ToolsErr gives it) and the
// library's place, which the report adds on a line of their own.
class Error : public std::exception {
public:
    Error(int exitCode, std::string message, int status = 0, std::string place = {});
    const char* what() const noexcept override { return message_.c_str(); }
    int ExitCode() const { return exitCode_; }
    const std::string& Message() const { return message_; }
    int Status() const { return status_; }
    const std::string& Place() const { return place_; }

private:
    int exitCode_;
    std::string message_;
    int status_;
    std::string place_;
};

// Bad usage or unreadable input: exit 2.
class UsageError : public Error {
public:
    explicit UsageError(std::string message, int status = 0) : Error(kUsage, std::move(message), status) {}
};

// The number an option was given, from 0 to `max` (decimal, or hex after
// 0x); anything else is a UsageError naming --`option`.
DWORD NumberArgument(const std::string& option, const std::string& text, DWORD max);

// The exit status a library status deserves when no command said better:
// 2 for those that mean the user's input is wrong or missing (no such
// container, wrong password, unknown algorithm, malformed data), else 3.
int ExitForStatus(int status);
// Throws an Error for a Windows code (GetLastError() after a VRK* call):
// the message first, the code for the explanation line.
[[noreturn]] void ThrowWinError(DWORD winError, const std::string& message);

// Command-line arguments of one command: options are "--name value" or
// "--name=value", flags "--name"; "-o" is "--out"; "-" and the rest are
// positionals in order; "--" ends the options. The global options (--home,
// --transport-dir, --json) are taken wherever they stand and go to the
// context. Nothing throws while parsing: the first fault is kept and thrown
// by Check(), so that --json after the fault still shapes its report.
class Args {
public:
    // `listNames`: options that may be given more than once (Options).
    Args(std::vector<std::string> argv, std::vector<std::string> flagNames, Context& ctx,
         std::vector<std::string> listNames = {});
    // Throws the first parsing fault, if any.
    void Check() const;
    std::optional<std::string> Option(const std::string& name);
    std::string Required(const std::string& name);
    bool Flag(const std::string& name);
    // Every value of an option named as a list, in the order given.
    std::vector<std::string> Options(const std::string& name);
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
    std::map<std::string, std::vector<std::string>> lists_;
    std::vector<std::string> positionals_;
    std::vector<std::string> used_;
    std::string expectOne_;
    std::string fault_;
    bool help_ = false;
};

// Takes one global option at argv[i] (advancing i past its value); false
// when argv[i] is not one. A missing value is kept in `fault`.
bool TakeGlobalOption(const std::vector<std::string>& argv, std::size_t& i, Context& ctx, std::string& fault);

struct Command {
    std::string name;                // one word, or "group word" ("key new")
    std::string summary;             // one line for `ctf --help`
    std::string usage;               // full help text after the name
    std::vector<std::string> flags;  // option names that take no value
    std::function<int(Context&, Args&)> run;
    std::function<std::string()> details = {};  // help computed when asked (lists of the registry)
    std::vector<std::string> lists = {};        // option names that may be given more than once
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

}  // namespace ctf
