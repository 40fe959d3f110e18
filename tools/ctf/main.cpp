// `ctf`: takes the global options, finds the command, runs it, and turns
// whatever it throws into one report on standard error and an exit status.
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/platform.h"
#include "cli.h"
#include "io.h"
#include "text.h"

// The build may pass the project's version; this is the one it has now.

namespace {

using ctf::Commands;
using ctf::Context;
using ctf::UsageError;

// The commands of a group ("key" for "key new", "key list", ...).
std::vector<const ctf::Command*> GroupOf(const std::string& word) {
    std::vector<const ctf::Command*> out;
    for (const auto& [name, cmd] : Commands())
        if (name.rfind(word + " ", 0) == 0) out.push_back(&cmd);
    return out;
}

void PrintHelp(std::FILE* f) {
    std::fprintf(f,
                 "usage: ctf [--home DIR] [--transport-dir DIR] [--json] <command> [args]\n\n"
                 "Certificates, keys, signatures and CRLs of the transport directory.\n\n"
                 "commands:\n");
    // Names may hold a blank ("key new"): at least two blanks follow each.
    int width = 0;
    for (const auto& [name, cmd] : Commands()) width = std::max(width, static_cast<int>(name.size()) + 1);
    for (const auto& [name, cmd] : Commands()) std::fprintf(f, "  %-*s %s\n", width, name.c_str(), cmd.summary.c_str());
    std::fprintf(f,
                 "\n`ctf <command> --help` describes one command. The global options may stand\n"
                 "before or after the command; --version prints the version.\n"
                 "Exit status: 0 success, 1 a check failed, 2 bad usage or input, 3 other failure.\n");
}

void PrintUsage(const ctf::Command& cmd) {
    std::printf("usage: ctf %s %s\n", cmd.name.c_str(), cmd.usage.c_str());
    if (cmd.details) std::printf("%s", cmd.details().c_str());
}

std::string Subcommands(const std::vector<const ctf::Command*>& group) {
    std::string s;
    for (const auto* c : group) s += (s.empty() ? "" : ", ") + c->name.substr(c->name.find(' ') + 1);
    return s;
}

int Run(Context& ctx, const std::vector<std::string>& argv) {
    std::size_t i = 0;
    std::string fault;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintHelp(stdout);
            return ctf::kOk;
        }
        if (a == "--version") {
            std::printf("ctf %s\n", CTF_VERSION);
            return ctf::kOk;
        }
        if (ctf::TakeGlobalOption(argv, i, ctx, fault)) continue;
        if (a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a + " (see ctf --help)");
        break;
    }
    if (!fault.empty()) throw UsageError(fault);
    if (i >= argv.size()) {
        PrintHelp(stderr);
        return ctf::kUsage;
    }
    std::string name = argv[i++];
    if (!Commands().count(name)) {
        auto group = GroupOf(name);
        if (group.empty()) throw UsageError("unknown command '" + name + "' (see ctf --help)");
        ctx.command = name;
        if (i < argv.size() && (argv[i] == "--help" || argv[i] == "-h")) {
            for (const auto* c : group) PrintUsage(*c);
            return ctf::kOk;
        }
        if (i >= argv.size()) throw UsageError("expected one of: " + Subcommands(group));
        name += " " + argv[i++];
        if (!Commands().count(name))
            throw UsageError("unknown command '" + name + "' (expected one of: " + Subcommands(group) + ")");
    }
    ctx.command = name;
    const ctf::Command& cmd = Commands().at(name);
    ctf::Args args(std::vector<std::string>(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end()), cmd.flags, ctx,
                   cmd.lists);
    if (!ctx.home.empty()) cert::platform::SetCertHome(ctx.home);
    if (args.WantsHelp()) {
        PrintUsage(cmd);
        return ctf::kOk;
    }
    args.Check();
    return cmd.run(ctx, args);
}

// Whatever a command threw, as one error with the exit status it deserves.
ctf::Error Translate(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const ctf::Error& e) {
        return e;
    } catch (const asn::Error& e) {
        return ctf::Error(ctf::kUsage, "malformed DER at offset " + std::to_string(e.Offset()) + ": " + e.Reason(),
                          e.Status());
    } catch (const XTOOStatus& st) {
        std::string place = st.Place() ? st.Place() : "";
        return ctf::Error(ctf::ExitForStatus(st.Status()), place.empty() ? "failed" : place + " failed", st.Status(),
                          place);
    } catch (const std::bad_alloc&) {
        return ctf::Error(ctf::kFailure, "out of memory");
    } catch (const std::exception& e) {
        return ctf::Error(ctf::kFailure, std::string("internal error: ") + e.what());
    } catch (...) {
        return ctf::Error(ctf::kFailure, "internal error of an unknown kind");
    }
}

int Report(const Context& ctx, const ctf::Error& e) {
    const std::string who = ctx.command.empty() ? "ctf" : "ctf " + ctx.command;
    const bool explained = e.Status() != 0;
    const ctf::Explanation x = explained ? ctf::ExplainStatus(e.Status()) : ctf::Explanation{};
    if (ctx.json) {
        ctf::JsonObject err;
        err.Add("code", std::uint64_t(x.code))
            .Add("text", e.Message())
            .Add("place", e.Place().empty() ? who : e.Place());
        if (explained) err.Add("explanation", x.text);
        std::fprintf(stderr, "%s\n", ctf::JsonObject().AddJson("error", err.str()).str().c_str());
        return e.ExitCode();
    }
    std::fprintf(stderr, "%s: %s\n", who.c_str(), e.Message().c_str());
    if (explained)
        for (const auto& line : x.Lines()) std::fprintf(stderr, "%s\n", line.c_str());
    if (!e.Place().empty() && e.Message().find(e.Place()) == std::string::npos)
        std::fprintf(stderr, "place: %s\n", e.Place().c_str());
    return e.ExitCode();
}

}  // namespace

int main(int argc, char** argv) {
    Context ctx;
    int rc;
    try {
        rc = Run(ctx, std::vector<std::string>(argv + 1, argv + argc));
    } catch (...) {
        rc = Report(ctx, Translate(std::current_exception()));
    }
    std::string failure;
    if (!ctf::FinishStandardOutput(failure) && rc < ctf::kUsage) rc = Report(ctx, ctf::Error(ctf::kFailure, failure));
    return rc;
}
