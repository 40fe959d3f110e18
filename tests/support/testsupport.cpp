#include "testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "cert/platform.h"

namespace certtest {

namespace {
// Password-protected keys are sealed with scrypt at N = 2^15 (tens of
// milliseconds each); the suite seals hundreds, so it asks for the cost the
// provider's test setting allows. Set before any test runs, and inherited by
// the ctf processes the tests start.
const bool g_cheapPasswordSealing = [] { return ::setenv("CERT_TEST_SCRYPT_LOG2N", "10", 0) == 0; }();
}  // namespace

TempDir::TempDir() {
    std::string tmpl = cert::platform::TempFolder() + "/certtest-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void HomeTest::SetUp() {
    setenv("CERT_HOME", home_.path().c_str(), 1);
    cert::platform::SetCertHome(home_.path());
}

void HomeTest::TearDown() { cert::platform::SetCertHome(""); }

std::string Sh(const std::string& s) {
    std::string o = "'";
    for (char c : s) {
        if (c == '\'')
            o += "'\\''";
        else
            o += c;
    }
    return o + "'";
}

RunResult Run(const std::string& commandLine, const std::string& stdinText) {
    TempDir io;
    WriteFile(io / "in", stdinText);
    std::string cmd = "(" + commandLine + ") <" + Sh(io / "in") + " >" + Sh(io / "out") + " 2>" + Sh(io / "err");
    int rc = std::system(cmd.c_str());
    RunResult r;
    r.exitCode = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = ReadFile(io / "out");
    r.err = ReadFile(io / "err");
    return r;
}

std::string CtfPath() {
#ifdef CERT_CTF_PATH
    return CERT_CTF_PATH;
#else
    return "ctf";
#endif
}

RunResult Ctf(const std::string& arguments) { return Run(Sh(CtfPath()) + " " + arguments); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool HaveGostEngine() {
    static int have = -1;
    if (have < 0) have = Run("openssl engine gost -c").exitCode == 0 ? 1 : 0;
    return have == 1;
}

int AsUnprivileged(const std::function<int()>& body) {
    if (::geteuid() != 0) return body();
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return 128;
    if (pid == 0) {
        // Nothing may leave the child but its exit status: an escaping
        // exception would run the rest of the test program a second time.
        int result = 128;
        try {
            if (::setgid(65534) == 0 && ::setuid(65534) == 0) result = body() & 127;
        } catch (...) {
        }
        _exit(result);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 128;
    return WEXITSTATUS(status);
}

}  // namespace certtest
