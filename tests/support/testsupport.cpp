#include "testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cert/asn.h"
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

RunResult Ctf(const std::string& arguments, const std::string& stdinText) {
    return Run(Sh(CtfPath()) + " " + arguments, stdinText);
}

std::string Hex(std::span<const std::uint8_t> bytes, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string Hex(const std::string& bytes, bool upper) {
    return Hex(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), upper);
}

std::string Hex(const IdentObj& bytes, bool upper) {
    return Hex(std::span<const std::uint8_t>(bytes.data(), bytes.size()), upper);
}

FILETIME OpensslTime(const std::string& text) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::istringstream in(text);
    std::string mon;
    int day, h, m, s, year;
    char colon;
    in >> mon >> day >> h >> colon >> m >> colon >> s >> year;
    EXPECT_FALSE(in.fail()) << text;
    return asn::MakeFileTime(year, int(months.find(mon) / 3) + 1, day, h, m, s);
}

std::string Field(const std::string& out, const std::string& label) {
    const auto at = out.find(label + "=");
    if (at == std::string::npos) return "";
    return out.substr(at + label.size() + 1, out.find('\n', at) - at - label.size() - 1);
}

std::string LineAfter(const std::string& text, const std::string& heading) {
    const auto at = text.find(heading);
    if (at == std::string::npos) return "";
    std::istringstream in(text.substr(text.find('\n', at) + 1));
    std::string line;
    std::getline(in, line);
    return line.substr(line.find_first_not_of(' '));
}

std::string ColonHex(const std::string& bytes) {
    const std::string h = Hex(bytes);
    std::string out;
    for (std::size_t i = 0; i < h.size(); i += 2) out += (i ? ":" : "") + h.substr(i, 2);
    return out;
}

std::string ColonHex(const IdentObj& bytes) { return ColonHex(std::string(bytes.view())); }

IdentObj BlobFromHex(const std::string& hex) {
    const std::vector<std::uint8_t> b = FromHex(hex);
    return IdentObj(b.data(), static_cast<DWORD>(b.size()));
}

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            if (high >= 0) throw std::invalid_argument("odd hex digit before a blank");
            continue;
        }
        const int v = cert::platform::HexDigitValue(c);
        if (v < 0) throw std::invalid_argument(std::string("not a hex digit: ") + c);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

namespace {

// A strict recursive-descent reader of one JSON text.
class JsonReader {
public:
    JsonReader(const std::string& t, std::vector<std::string>* keys) : t_(t), keys_(keys) {}
    bool Whole(std::string& why) {
        try {
            Value(0);
            Blank();
            if (i_ != t_.size()) Fail("text after the value");
            return true;
        } catch (const std::runtime_error& e) {
            why = std::string(e.what()) + " at offset " + std::to_string(i_);
            return false;
        }
    }

private:
    [[noreturn]] void Fail(const char* what) { throw std::runtime_error(what); }
    char Peek() const { return i_ < t_.size() ? t_[i_] : '\0'; }
    bool Take(char c) { return Peek() == c && c && ++i_; }
    void Expect(char c) {
        if (!Take(c)) Fail("unexpected character");
    }
    void Blank() {
        while (Peek() && std::string_view(" \n\r\t").find(Peek()) != std::string_view::npos) ++i_;
    }
    bool Digits() {
        const std::size_t start = i_;
        while (Peek() >= '0' && Peek() <= '9') ++i_;
        return i_ > start;
    }
    void Value(int depth) {
        Blank();
        if (depth > 64) Fail("nested too deep");
        const char c = Peek();
        if (c == '{' || c == '[') return Members(depth, c == '{');
        if (c == '"') return void(String());
        for (const char* word : {"true", "false", "null"}) {
            if (c != word[0]) continue;
            for (const char* p = word; *p; ++p) Expect(*p);
            return;
        }
        Take('-');
        if (!Take('0') && !Digits()) Fail("not a value");
        if (Take('.') && !Digits()) Fail("bad fraction");
        if ((Take('e') || Take('E')) && ((void)(Take('+') || Take('-')), !Digits())) Fail("bad exponent");
    }
    // An object's members or an array's elements.
    void Members(int depth, bool object) {
        ++i_;
        Blank();
        if (Take(object ? '}' : ']')) return;
        do {
            if (object) {
                Blank();
                const std::string k = String();
                if (keys_) keys_->push_back(k);
                Blank();
                Expect(':');
            }
            Value(depth + 1);
            Blank();
        } while (Take(','));
        Expect(object ? '}' : ']');
    }
    // The string's text (escapes kept as written; keys need no more).
    std::string String() {
        Expect('"');
        std::string s;
        for (;;) {
            if (i_ >= t_.size()) Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(t_[i_]);
            if (c == '"') return ++i_, s;
            if (c < 0x20) Fail("control character in a string");
            std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            if (c == '\\') {
                const char e = i_ + 1 < t_.size() ? t_[i_ + 1] : '\0';
                n = e == 'u' ? 6 : 2;
                for (std::size_t k = 2; k < n; ++k)
                    if (i_ + k >= t_.size() || cert::platform::HexDigitValue(t_[i_ + k]) < 0) Fail("bad \\u escape");
                if (n == 2 && (!e || std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos))
                    Fail("bad escape");
            } else {
                if (n == 0 || i_ + n > t_.size()) Fail("not UTF-8");
                for (std::size_t k = 1; k < n; ++k)
                    if ((static_cast<unsigned char>(t_[i_ + k]) & 0xC0) != 0x80) Fail("not UTF-8");
                if (n == 2 && c < 0xC2) Fail("overlong UTF-8");
            }
            s.append(t_, i_, n);
            i_ += n;
        }
    }

    const std::string& t_;
    std::vector<std::string>* keys_;
    std::size_t i_ = 0;
};

}  // namespace

bool ParseJson(const std::string& text, std::string* why, std::vector<std::string>* keys) {
    std::string reason;
    const bool ok = JsonReader(text, keys).Whole(reason);
    if (why) *why = reason;
    return ok;
}

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

void AppendFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    if (::write(fd, text.data(), text.size()) < 0) {
    }
    ::close(fd);
}

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 20000; ++i) {
        if (::access(path.c_str(), F_OK) == 0) return true;
        ::usleep(1000);
    }
    return false;
}

int ReplayCorpus(const std::string& folder, bool (*run)(const std::uint8_t* data, std::size_t size)) {
    EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string bytes = ReadFile(entry.path());
        EXPECT_TRUE(run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            << folder << "/" << entry.path().filename().string();
        ++count;
    }
    return count;
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

pid_t ForkChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 100;
        try {
            rc = body();
        } catch (...) {
        }
        ::_exit(rc);
    }
    return pid;
}

int ExitOf(pid_t pid) {
    int st = 0;
    if (::waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace certtest
