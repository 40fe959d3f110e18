// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/tools.h"

namespace certtest {

// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Every test gets its own $CERT_HOME: derive fixtures from this.
class HomeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TempDir home_;
};

// The exit statuses of ctf (docs/CLI.md).
constexpr int kExitOk = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs a shell command line; stdout and stderr are captured separately.
RunResult Run(const std::string& commandLine, const std::string& stdinText = "");
// Runs the ctf tool built alongside the tests.
RunResult Ctf(const std::string& arguments, const std::string& stdinText = "");
std::string CtfPath();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Appends `text` in one write (O_APPEND, so that what processes append at
// once does not mix), making the file when missing.
void AppendFile(const std::string& path, const std::string& text);
// Waits up to 20 seconds for `path` to exist.
bool WaitForFile(const std::string& path);
// Quotes a path for a shell command line.
std::string Sh(const std::string& s);

// Hex of bytes (upper case unless asked), and bytes of hex text (either
// case; spaces and line breaks between pairs are skipped). FromHex throws
// std::invalid_argument on anything else.
std::string Hex(std::span<const std::uint8_t> bytes, bool upper = true);
std::string Hex(const std::string& bytes, bool upper = true);
std::string Hex(const IdentObj& bytes, bool upper = true);
std::vector<std::uint8_t> FromHex(const std::string& hex);
IdentObj BlobFromHex(const std::string& hex);

// Reading what openssl prints. OpensslTime: "Dec  7 02:28:15 2026 GMT"
// (the -dates and -lastupdate form). Field: the value after "label=" in
// one-line output, empty when absent. LineAfter: the line after the one
// holding `heading` in -text output, trimmed. ColonHex: bytes as -text
// prints them ("0A:1B").
FILETIME OpensslTime(const std::string& text);
std::string Field(const std::string& out, const std::string& label);
std::string LineAfter(const std::string& text, const std::string& heading);
std::string ColonHex(const std::string& bytes);
std::string ColonHex(const IdentObj& bytes);

// Checks that `text` is one JSON value (RFC 8259, valid UTF-8) with only
// blanks around it; every object key found is added to `keys` when given.
// False with the reason in `why`.
bool ParseJson(const std::string& text, std::string* why = nullptr, std::vector<std::string>* keys = nullptr);

// Runs every file of a kept fuzz corpus (a folder) through a fuzz body,
// expecting true of each; returns how many there were.
int ReplayCorpus(const std::string& folder, bool (*run)(const std::uint8_t* data, std::size_t size));

// openssl with the GOST engine available (empty when the engine is missing).
bool HaveGostEngine();

// Runs `body` where file permissions bind: directly for an ordinary user, in
// a child process as nobody when the tests run as root (root passes every
// permission check). `body` returns a bitmask (below 128) of the checks that
// failed; the result is that mask, or 128 when the child could not drop its
// rights or did not end normally. The folders `body` works in must be open
// to others (a TempDir is 0700 until chmod'ed).
int AsUnprivileged(const std::function<int()>& body);

// A forked child runs `body` and ends with its result (100 when it throws);
// nothing of gtest runs there. ExitOf waits for a child: its exit code, or
// -1 when it did not end normally.
pid_t ForkChild(const std::function<int()>& body);
int ExitOf(pid_t pid);

}  // namespace certtest
