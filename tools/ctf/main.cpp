#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli.h"

namespace {

void PrintHelp() {
    std::printf(
        "usage: ctf [--home DIR] [--transport-dir DIR] [--json] <command> [args]\n\n"
        "Certificates, keys, signatures and CRLs of the transport directory.\n\n"
        "commands:\n");
    for (const auto& [name, cmd] : ctf::Commands()) std::printf("  %-12s %s\n", name.c_str(), cmd.summary.c_str());
    std::printf(
        "\n`ctf <command> --help` describes one command.\n"
        "Exit status: 0 success, 1 a check failed, 2 bad usage or input, 3 other failure.\n");
}

}  // namespace

int main(int argc, char** argv) {
    ctf::Context ctx;
    int i = 1;
    auto value = [&](const char* opt) -> std::string {
        std::string a = argv[i];
        auto eq = a.find('=');
        if (eq != std::string::npos) return a.substr(eq + 1);
        if (i + 1 >= argc) {
            std::fprintf(stderr, "ctf: %s needs a value\n", opt);
            std::exit(ctf::kUsage);
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 0;
        } else if (a.rfind("--home", 0) == 0 && (a.size() == 6 || a[6] == '=')) {
            ctx.home = value("--home");
        } else if (a.rfind("--transport-dir", 0) == 0 && (a.size() == 15 || a[15] == '=')) {
            ctx.transportDir = value("--transport-dir");
        } else if (a == "--json") {
            ctx.json = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "ctf: unknown option %s (see ctf --help)\n", a.c_str());
            return ctf::kUsage;
        } else {
            break;
        }
    }
    if (i >= argc) {
        PrintHelp();
        return ctf::kUsage;
    }
    const auto& cmds = ctf::Commands();
    auto it = cmds.find(argv[i]);
    if (it == cmds.end()) {
        std::fprintf(stderr, "ctf: unknown command '%s' (see ctf --help)\n", argv[i]);
        return ctf::kUsage;
    }
    const ctf::Command& cmd = it->second;
    std::vector<std::string> rest(argv + i + 1, argv + argc);
    if (!ctx.home.empty()) cert::platform::SetCertHome(ctx.home);
    try {
        ctf::Args args(rest, cmd.flags);
        if (args.WantsHelp()) {
            std::printf("usage: ctf %s %s\n", cmd.name.c_str(), cmd.usage.c_str());
            return 0;
        }
        return cmd.run(ctx, args);
    } catch (const ctf::UsageError& e) {
        std::fprintf(stderr, "ctf %s: %s\n", cmd.name.c_str(), e.what());
        return ctf::kUsage;
    } catch (const XTOOStatus& st) {
        return ctf::ReportStatus(st);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ctf %s: %s\n", cmd.name.c_str(), e.what());
        return ctf::kFailure;
    }
}
