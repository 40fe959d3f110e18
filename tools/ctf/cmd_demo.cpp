// `ctf demo`: walks the system on the embedded sample data, in a home folder
// of its own so that nothing of the user's is touched.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "cli.h"

namespace {

int Run(ctf::Context& ctx, ctf::Args& args) {
    bool keep = args.Flag("keep");
    args.Done();
    std::string home = ctx.home;
    bool own = home.empty();
    if (own) {
        std::string tmpl = cert::platform::TempFolder() + "/ctf-demo-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw XTOOStatus(WinErr2ToolsErr(cert::platform::SetLastErrorFromErrno()), "demo home");
        home = tmpl;
    }
    cert::platform::SetCertHome(home);
    ctx.home = home;
    std::printf("demo home: %s\n", home.c_str());
    std::vector<ctf::DemoStep> steps = ctf::DemoSteps();
    std::stable_sort(steps.begin(), steps.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
    int rc = ctf::kOk;
    for (const auto& s : steps) {
        std::printf("\n== %s\n", s.title.c_str());
        std::fflush(stdout);
        int r = s.run(ctx);
        if (r != ctf::kOk) {
            std::printf("-- step failed (exit %d)\n", r);
            rc = r;
            break;
        }
    }
    if (own && !keep) {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    std::printf("\ndemo %s\n", rc == ctf::kOk ? "finished" : "stopped");
    return rc;
}

ctf::Registrar reg({"demo",
                    "walk the system on the embedded sample data",
                    "[--keep]\n\nRuns every demo step in a fresh temporary home (or --home).\n"
                    "  --keep   leave the temporary home in place",
                    {"keep"},
                    Run});

}  // namespace
