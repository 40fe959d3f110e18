// Makes the sample transport directory at build time: `make_sample_tdir
// DIR`. The keys live in a home of their own for the time it takes; the
// directory appears whole or not at all, so a failed run never leaves a
// half-made sample that the next build would take as done.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "../cli.h"
#include "../sample_tdir.h"
#include "cert/platform.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample_tdir DIR\n");
        return 2;
    }
    const fs::path out(argv[1]);
    std::string home = cert::platform::TempFolder() + "/sample-tdir-home-XXXXXX";
    if (!mkdtemp(home.data())) {
        std::perror("make_sample_tdir: cannot make a home for the keys");
        return 3;
    }
    int rc = 0;
    const fs::path work = out.string() + ".work";
    std::error_code ec;
    try {
        cert::platform::SetCertHome(home);
        fs::remove_all(work, ec);
        ctf::MakeSampleTransportDir(work.string());
        fs::remove_all(out, ec);
        fs::rename(work, out);
    } catch (const ctf::Error& e) {
        std::fprintf(stderr, "make_sample_tdir: %s (status %d %s)\n", e.Message().c_str(), e.Status(),
                     e.Place().c_str());
        rc = 3;
    } catch (const XTOOStatus& e) {
        std::fprintf(stderr, "make_sample_tdir: status %d at %s\n", e.Status(), e.Place() ? e.Place() : "");
        rc = 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_sample_tdir: %s\n", e.what());
        rc = 3;
    }
    fs::remove_all(work, ec);
    fs::remove_all(home, ec);
    return rc;
}
