#include "io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "cert/asn.h"
#include "cert/errtext.h"

namespace ctf {

namespace {

constexpr std::size_t kHeadBytes = 16;

}  // namespace

std::string FileErrorText(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "no such file or folder";
        case ERROR_ACCESS_DENIED:
            return "permission denied";
        case ERROR_DISK_FULL:
            return "no space left on the device";
        case ERROR_BROKEN_PIPE:
            return "the reader went away";
        case ERROR_WRITE_PROTECT:
            return "the file system is read-only";
    }
    std::string text;
    if (CertDll::GetWin32ErrorText(e, text)) return text;
    char code[32];
    std::snprintf(code, sizeof code, "error 0x%08X", e);
    return code;
}

namespace {

// An input that cannot be used is the user's to fix (exit 2); the status
// keeps the system's reason for the explanation line.
[[noreturn]] void ThrowUnreadable(const std::string& path, DWORD e, std::size_t limit) {
    if (e == ERROR_DIRECTORY) throw UsageError(path + ": is a folder");
    if (e == ERROR_FILE_TOO_LARGE) throw UsageError(path + ": is larger than " + std::to_string(limit) + " bytes");
    throw UsageError("cannot read " + path + ": " + FileErrorText(e), WinErr2ToolsErr(e));
}

// The buffers an input is read into: both keep their first bytes as they
// grow; a Secret wipes what it gives back.
std::uint8_t* Resize(IdentObj& b, std::size_t n) {
    if (n > UINT32_MAX) throw std::bad_alloc();
    b.Realloc(static_cast<DWORD>(n));
    return b.data();
}
std::uint8_t* Resize(cert::Secret& b, std::size_t n) {
    b.Resize(n);
    return b.data();
}

template <class Buffer>
Buffer ReadWhole(const std::string& path, std::size_t limit, const HeadCheck& atHead) {
    cert::platform::FileReader in;
    if (DWORD e = in.OpenInput(path)) ThrowUnreadable(path, e, limit);
    const std::uint64_t size = in.Size();
    if (size != kUnknownSize && size > limit) ThrowUnreadable(path, ERROR_FILE_TOO_LARGE, limit);
    Buffer buf;
    std::size_t have = 0;
    if (atHead) {
        // A regular file's buffer gets its whole size at once.
        Resize(buf, size != kUnknownSize ? std::max<std::size_t>(size + 1, kHeadBytes) : kHeadBytes);
        if (DWORD e = in.Read(buf.data(), kHeadBytes, have)) ThrowUnreadable(path, e, limit);
        atHead(ByteSpan(buf.data(), have), size);
    }
    if (DWORD e = in.ReadToEnd(have, limit, [&](std::size_t n) { return Resize(buf, n); }))
        ThrowUnreadable(path, e, limit);
    if (size != kUnknownSize && have != size) throw UsageError(path + ": changed while it was read");
    return buf;
}

// The outer DER header must fit the bytes there are: a length that runs past
// the end fails here, with its offset, before anything else is read.
void CheckOuterHeader(ByteSpan head, std::uint64_t size, bool ber, const std::string& path) {
    asn::Options opt;
    opt.ber = ber;
    try {
        asn::Header h = asn::DecodeHeader(asn::Bytes(head.data(), head.size()), opt, 0);
        if (size != kUnknownSize && !h.indefinite && h.headerLen + std::uint64_t(h.length) > size)
            throw UsageError(path + ": malformed DER at offset 0: the header declares " +
                                 std::to_string(h.headerLen + h.length) + " bytes, the input holds " +
                                 std::to_string(size),
                             TOOERR_DER_FORMAT);
    } catch (const asn::Error& e) {
        throw UsageError(path + ": malformed DER at offset " + std::to_string(e.Offset()) + ": " + e.Reason(),
                         e.Status());
    }
}

constexpr std::string_view kPemStart = "-----BEGIN ";

bool StartsWith(ByteSpan b, std::string_view prefix) {
    return b.size() >= prefix.size() && std::memcmp(b.data(), prefix.data(), prefix.size()) == 0;
}

[[noreturn]] void ThrowNeitherDerNorPem(const std::string& path) {
    throw UsageError(path + ": is neither DER (first byte 0x30) nor PEM (\"-----BEGIN\")", TOOERR_BADFORMAT);
}

// What the first bytes of an input make it; PEM is only a guess until the
// whole start line is there.
Encoding Classify(ByteSpan head, std::uint64_t size, const InputRules& rules, const std::string& path) {
    if (head.empty()) throw UsageError(path + ": is empty");
    if (head[0] == 0x30) {
        CheckOuterHeader(head, size, rules.ber, path);
        return Encoding::Der;
    }
    if (StartsWith(head, kPemStart.substr(0, std::min(head.size(), kPemStart.size())))) return Encoding::Pem;
    if (!rules.ownFormat) ThrowNeitherDerNorPem(path);
    return Encoding::Other;
}

// The first PEM block of `text`, which starts with "-----BEGIN ".
template <class Buffer>
Encoded<Buffer> DecodePem(std::string_view text, const std::string& path, bool ber) {
    const auto labelEnd = text.find("-----", kPemStart.size());
    const auto lineEnd = text.find('\n');
    if (labelEnd == std::string_view::npos || lineEnd == std::string_view::npos || labelEnd > lineEnd)
        throw UsageError(path + ": broken PEM armour", TOOERR_BADFORMAT);
    Encoded<Buffer> in;
    in.encoding = Encoding::Pem;
    in.pemLabel = std::string(text.substr(kPemStart.size(), labelEnd - kPemStart.size()));
    const std::string endLine = "-----END " + in.pemLabel + "-----";
    const auto end = text.find(endLine, lineEnd);
    if (end == std::string_view::npos)
        throw UsageError(path + ": PEM block '" + in.pemLabel + "' has no END line", TOOERR_BADFORMAT);
    std::string_view body = text.substr(lineEnd + 1, end - lineEnd - 1);
    // Headers (Proc-Type: ...) mean an encrypted block, which no command reads.
    if (body.find(':') != std::string_view::npos)
        throw UsageError(path + ": PEM block '" + in.pemLabel + "' has headers (encrypted PEM is not read)",
                         TOOERR_BADFORMAT);
    const long long n = TOO::Base64DecodeInto(body, nullptr, 0);
    if (n < 0) throw UsageError(path + ": PEM block '" + in.pemLabel + "' is not valid Base64", TOOERR_BADFORMAT);
    Resize(in.bytes, static_cast<std::size_t>(n));
    TOO::Base64DecodeInto(body, in.bytes.data(), in.bytes.size());
    if (n > 0)
        CheckOuterHeader(ByteSpan(in.bytes.data(), std::min<std::size_t>(kHeadBytes, in.bytes.size())), in.bytes.size(),
                         ber, path);
    return in;
}

template <class Buffer>
Encoded<Buffer> ReadEncoded(const std::string& path, const InputRules& rules) {
    Encoding kind = Encoding::Other;
    Buffer bytes = ReadWhole<Buffer>(
        path, rules.limit, [&](ByteSpan head, std::uint64_t size) { kind = Classify(head, size, rules, path); });
    const ByteSpan all(bytes.data(), bytes.size());
    if (kind == Encoding::Pem) {
        if (StartsWith(all, kPemStart))
            return DecodePem<Buffer>(std::string_view(reinterpret_cast<const char*>(all.data()), all.size()), path,
                                     rules.ber);
        if (!rules.ownFormat) ThrowNeitherDerNorPem(path);
        kind = Encoding::Other;
    }
    Encoded<Buffer> in;
    in.encoding = kind;
    in.bytes = std::move(bytes);
    return in;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

IdentObj ReadInputFile(const std::string& path, std::size_t limit, const HeadCheck& atHead) {
    return ReadWhole<IdentObj>(path, limit, atHead);
}

cert::Secret ReadSecretFile(const std::string& path, std::size_t limit, const HeadCheck& atHead) {
    return ReadWhole<cert::Secret>(path, limit, atHead);
}

void StreamInputFile(const std::string& path, const std::function<void(ByteSpan)>& piece) {
    cert::platform::FileReader in;
    if (DWORD e = in.OpenInput(path)) ThrowUnreadable(path, e, 0);
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
        std::size_t got = 0;
        if (DWORD e = in.Read(buf.data(), buf.size(), got)) ThrowUnreadable(path, e, 0);
        if (got) piece(ByteSpan(buf.data(), got));
        if (got < buf.size()) return;
    }
}

EncodedInput ReadEncodedInput(const std::string& path, const InputRules& rules) {
    return ReadEncoded<IdentObj>(path, rules);
}

EncodedSecret ReadEncodedSecret(const std::string& path, const InputRules& rules) {
    return ReadEncoded<cert::Secret>(path, rules);
}

void WriteOutputFile(const std::string& path, ByteSpan bytes, unsigned mode) {
    const bool standardOutput = path == "-";
    // What the command printed before goes first.
    if (standardOutput && std::fflush(stdout) != 0)
        throw Error(kFailure, std::string("cannot write to standard output: ") + std::strerror(errno));
    const DWORD e = cert::platform::WriteOutputFile(path, bytes.data(), bytes.size(), mode);
    switch (e) {
        case ERROR_SUCCESS:
            return;
        case ERROR_STOPPED_ON_SYMLINK:
            throw UsageError(path + ": is a symbolic link, which could lead anywhere; name the file itself");
        case ERROR_DIRECTORY:
            throw UsageError(path + ": is a folder");
    }
    ThrowWinError(
        e, "cannot write " + (standardOutput ? std::string("to standard output") : path) + ": " + FileErrorText(e));
}

bool FinishStandardOutput(std::string& failure) {
    errno = 0;
    bool bad = std::fflush(stdout) != 0 || std::ferror(stdout);
    int err = errno;
    if (std::fclose(stdout) != 0 && !bad) {
        bad = true;
        err = errno;
    }
    if (bad) failure = "cannot write to standard output" + (err ? std::string(": ") + std::strerror(err) : "");
    return !bad;
}

cert::Secret ReadPasswordFile(const std::string& path) {
    cert::Secret pw = ReadSecretFile(path, kMaxPasswordFile);
    if (pw.empty()) throw UsageError(path + ": the password file is empty (--no-password asks for none)");
    if (std::memchr(pw.data(), 0, pw.size())) throw UsageError(path + ": the password file holds a NUL byte");
    std::size_t n = pw.size();
    while (n && (pw[n - 1] == '\n' || pw[n - 1] == '\r')) --n;
    if (!n) throw UsageError(path + ": the password file holds only a line break (--no-password asks for none)");
    pw.Resize(n);
    return pw;
}

namespace {

[[noreturn]] void ThrowTerminalError(int err) {
    ThrowUnreadable("the terminal", cert::platform::ErrnoToWinError(err), 0);
}

// Reads one line from the terminal with echo off; the echo comes back on
// every path.
cert::Secret ReadTerminalLine(int tty, const std::string& prompt) {
    termios old{};
    const bool restore = ::tcgetattr(tty, &old) == 0;
    if (restore) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    struct Restore {
        int tty;
        bool on;
        termios& old;
        ~Restore() {
            if (on) ::tcsetattr(tty, TCSAFLUSH, &old);
            [[maybe_unused]] auto n = ::write(tty, "\n", 1);
        }
    } back{tty, restore, old};
    // The prompt comes once the echo is off: what is typed after it is kept.
    const std::string shown = prompt + ": ";
    if (::write(tty, shown.data(), shown.size()) < 0) ThrowTerminalError(errno);
    cert::Secret line;
    for (;;) {
        char c;
        ssize_t r = ::read(tty, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) ThrowTerminalError(errno);
        if (r == 0 || c == '\n') break;
        if (c == '\r') continue;
        if (c == '\0') throw UsageError("a password cannot hold a NUL byte");
        if (line.size() == kMaxPasswordFile) throw UsageError("the password is longer than 4096 bytes");
        line.Append(&c, 1);
    }
    return line;
}

}  // namespace

cert::Secret AskPassword(const std::string& prompt, bool isNew) {
    Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0)
        throw UsageError("no terminal to ask for the password: give --password-file FILE, or --no-password for none");
    cert::Secret first = ReadTerminalLine(tty.get(), prompt);
    if (first.empty()) throw UsageError("no password typed (--no-password asks for none)");
    if (isNew && !(ReadTerminalLine(tty.get(), "Again") == first)) throw UsageError("the two passwords typed differ");
    return first;
}

StagedOutput::StagedOutput(const std::string& out, const std::string& name) : out_(out), name_(name) {
    struct stat st {};
    if (out != "-" && ::lstat(out.c_str(), &st) != 0) return;
    if (out != "-" && S_ISLNK(st.st_mode)) throw UsageError(out + ": is a symbolic link; name the file it points to");
    if (out != "-" && S_ISDIR(st.st_mode)) throw UsageError(out + ": is a folder");
    if (out != "-" && S_ISREG(st.st_mode)) return;
    std::string folder = cert::platform::TempFolder() + "/ctf-out-XXXXXX";
    if (!::mkdtemp(folder.data())) ThrowWinError(cert::platform::SetLastErrorFromErrno(), "no work folder");
    folder_ = folder;
}

StagedOutput::~StagedOutput() {
    if (folder_.empty()) return;
    ::unlink(Path().c_str());
    ::rmdir(folder_.c_str());
}

void StagedOutput::Deliver() const {
    if (folder_.empty()) return;
    cert::platform::FileReader from;
    if (const DWORD e = from.Open(Path())) ThrowWinError(e, "cannot read " + Path() + " back");
    const int fd = out_ == "-" ? STDOUT_FILENO : ::open(out_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) ThrowWinError(cert::platform::SetLastErrorFromErrno(), "cannot write " + out_);
    const std::unique_ptr<int, void (*)(int*)> closer(fd == STDOUT_FILENO ? nullptr : new int(fd), [](int* f) {
        if (f) ::close(*f);
        delete f;
    });
    std::unique_ptr<char[]> buf(new char[1 << 20]);
    for (;;) {
        std::size_t got = 0;
        if (const DWORD e = from.Read(buf.get(), 1 << 20, got)) ThrowWinError(e, "cannot read " + Path() + " back");
        if (got == 0) break;
        for (std::size_t at = 0; at < got;) {
            const ssize_t n = ::write(fd, buf.get() + at, got - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ThrowWinError(cert::platform::SetLastErrorFromErrno(), "cannot write " + out_);
            at += static_cast<std::size_t>(n);
        }
    }
}

}  // namespace ctf
