// `ctf demo`: walks the system on the embedded sample data, in a home folder
// of its own so that nothing of the user's is touched.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "cli.h"
#include "io.h"
#include "text.h"

namespace {

// Runs a step with standard output going to a temporary file, for --json:
// the step's text becomes one field of the report. Standard output comes
// back on every path.
std::string Captured(const std::function<int()>& step, int& rc) {
    std::fflush(stdout);
    std::FILE* tmp = std::tmpfile();
    if (!tmp) throw ctf::Error(ctf::kFailure, "cannot make a temporary file for the step's output");
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(tmp), STDOUT_FILENO);
    struct Restore {
        int saved;
        std::FILE* tmp;
        ~Restore() {
            std::fflush(stdout);
            ::dup2(saved, STDOUT_FILENO);
            ::close(saved);
        }
    };
    {
        Restore back{saved, tmp};
        rc = step();
    }
    std::string text;
    std::rewind(tmp);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) text.append(buf, n);
    std::fclose(tmp);
    return text;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    const bool keep = args.Flag("keep");
    args.Done();
    std::string home = ctx.home;
    const bool own = home.empty();
    if (own) {
        std::string tmpl = cert::platform::TempFolder() + "/ctf-demo-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            ctf::ThrowWinError(cert::platform::SetLastErrorFromErrno(), "cannot make a home for the demo");
        home = tmpl;
    }
    cert::platform::SetCertHome(home);
    const bool json = ctx.json;
    ctx.json = false;  // the steps print text; --json wraps it
    ctx.home = home;
    if (!json) std::printf("demo home: %s\n", home.c_str());
    std::vector<ctf::DemoStep> steps = ctf::DemoSteps();
    std::stable_sort(steps.begin(), steps.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
    int rc = ctf::kOk;
    std::vector<std::string> done;
    for (const auto& s : steps) {
        int r = ctf::kOk;
        if (json) {
            const std::string text = Captured([&] { return s.run(ctx); }, r);
            done.push_back(
                ctf::JsonObject().Add("title", s.title).Add("exit", std::uint32_t(r)).Add("output", text).str());
        } else {
            std::printf("\n== %s\n", s.title.c_str());
            std::fflush(stdout);
            r = s.run(ctx);
            if (r != ctf::kOk) std::printf("-- step failed (exit %d)\n", r);
        }
        if (r != ctf::kOk) {
            rc = r;
            break;
        }
    }
    if (own && !keep) {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    ctx.json = json;
    if (json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("home", home)
                                .Add("kept", !own || keep)
                                .AddJson("steps", ctf::JsonArray(done))
                                .Add("finished", rc == ctf::kOk)
                                .str()
                                .c_str());
    else
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
