#include "io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "cert/asn.h"
#include "cert/platform.h"

namespace ctf {

namespace {

constexpr std::size_t kHeadBytes = 16;

std::string SystemReason(int err) { return std::strerror(err); }

// An input that cannot be opened or read is the user's to fix (exit 2);
// the status keeps the system's reason for the explanation line.
[[noreturn]] void ThrowUnreadable(const std::string& path, int err) {
    if (err == EISDIR) throw UsageError(path + ": is a folder");
    throw UsageError("cannot read " + path + ": " + SystemReason(err),
                     WinErr2ToolsErr(cert::platform::ErrnoToWinError(err)));
}

class Fd {
public:
    explicit Fd(int fd, bool own) : fd_(fd), own_(own) {}
    ~Fd() {
        if (own_ && fd_ >= 0) ::close(fd_);
    }
    Fd(Fd&& o) noexcept : fd_(o.fd_), own_(o.own_) { o.own_ = false; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
    bool own_;
};

// Opens an input and refuses a folder; `st` gets what fstat says of it.
Fd OpenInput(const std::string& path, struct stat& st) {
    const bool standardInput = path == "-";
    Fd fd(standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY), !standardInput);
    if (fd.get() < 0) ThrowUnreadable(path, errno);
    if (::fstat(fd.get(), &st) != 0) ThrowUnreadable(path, errno);
    if (S_ISDIR(st.st_mode)) ThrowUnreadable(path, EISDIR);
    return fd;
}

// Reads up to `n` bytes; fewer only at the end of the input.
std::size_t ReadUpTo(int fd, std::uint8_t* p, std::size_t n, const std::string& path) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) ThrowUnreadable(path, errno);
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

[[noreturn]] void ThrowTooLarge(const std::string& path, std::size_t limit) {
    throw UsageError(path + ": is larger than " + std::to_string(limit) + " bytes");
}

// Wipes a buffer on the way out unless it was handed on.
struct WipeUnlessKept {
    IdentObj& b;
    bool keep = false;
    ~WipeUnlessKept() {
        if (!keep) b.Wipe();
    }
};

IdentObj ReadRegular(int fd, const std::string& path, std::uint64_t size, std::size_t limit, const HeadCheck& atHead) {
    if (size > limit) ThrowTooLarge(path, limit);
    IdentObj buf;
    WipeUnlessKept guard{buf};
    buf.Alloc(static_cast<DWORD>(size));
    const std::size_t head = ReadUpTo(fd, buf.data(), std::min<std::size_t>(kHeadBytes, size), path);
    if (atHead) atHead(ByteSpan(buf.data(), head), size);
    const std::size_t rest = head + ReadUpTo(fd, buf.data() + head, size - head, path);
    // A file that shrank while it was read is not what fstat described.
    if (rest != size) ThrowUnreadable(path, EIO);
    guard.keep = true;
    return buf;
}

IdentObj ReadStream(int fd, const std::string& path, std::size_t limit, const HeadCheck& atHead) {
    IdentObj buf;
    WipeUnlessKept guard{buf};
    buf.Alloc(static_cast<DWORD>(std::min<std::size_t>(limit + 1, 1 << 16)));
    std::size_t used = 0;
    bool headSeen = !atHead;
    for (;;) {
        if (used == buf.size()) {
            if (used > limit) ThrowTooLarge(path, limit);
            IdentObj bigger;
            bigger.Alloc(static_cast<DWORD>(std::min<std::size_t>(limit + 1, 2 * used)));
            std::memcpy(bigger.data(), buf.data(), used);
            buf.Wipe();
            buf = std::move(bigger);
        }
        const std::size_t want = headSeen ? buf.size() - used : std::min(buf.size() - used, kHeadBytes - used);
        const std::size_t got = ReadUpTo(fd, buf.data() + used, want, path);
        used += got;
        if (!headSeen && (used >= kHeadBytes || got < want)) {
            headSeen = true;
            atHead(ByteSpan(buf.data(), used), kUnknownSize);
        }
        if (got < want) break;
    }
    if (used > limit) ThrowTooLarge(path, limit);
    buf.Realloc(static_cast<DWORD>(used));
    guard.keep = true;
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

// The first PEM block of `text`, which starts with "-----BEGIN ".
EncodedInput DecodePem(std::string_view text, const std::string& path, bool ber) {
    const std::string_view kBegin = "-----BEGIN ";
    const auto labelEnd = text.find("-----", kBegin.size());
    const auto lineEnd = text.find('\n');
    if (labelEnd == std::string_view::npos || lineEnd == std::string_view::npos || labelEnd > lineEnd)
        throw UsageError(path + ": broken PEM armour", TOOERR_BADFORMAT);
    EncodedInput in;
    in.encoding = Encoding::Pem;
    in.pemLabel = std::string(text.substr(kBegin.size(), labelEnd - kBegin.size()));
    const std::string endLine = "-----END " + in.pemLabel + "-----";
    const auto end = text.find(endLine, lineEnd);
    if (end == std::string_view::npos)
        throw UsageError(path + ": PEM block '" + in.pemLabel + "' has no END line", TOOERR_BADFORMAT);
    std::string_view body = text.substr(lineEnd + 1, end - lineEnd - 1);
    // Headers (Proc-Type: ...) mean an encrypted block, which no command reads.
    if (body.find(':') != std::string_view::npos)
        throw UsageError(path + ": PEM block '" + in.pemLabel + "' has headers (encrypted PEM is not read)",
                         TOOERR_BADFORMAT);
    if (!TOO::Base64Decode(body.data(), body.size(), in.bytes))
        throw UsageError(path + ": PEM block '" + in.pemLabel + "' is not valid Base64", TOOERR_BADFORMAT);
    if (in.bytes.size()) {
        CheckOuterHeader(Span(in.bytes).first(std::min<std::size_t>(kHeadBytes, in.bytes.size())), in.bytes.size(), ber,
                         path);
    }
    return in;
}

bool StartsWith(ByteSpan b, std::string_view prefix) {
    return b.size() >= prefix.size() && std::memcmp(b.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

IdentObj ReadInputFile(const std::string& path, std::size_t limit, const HeadCheck& atHead) {
    struct stat st {};
    Fd fd = OpenInput(path, st);
    if (S_ISREG(st.st_mode)) return ReadRegular(fd.get(), path, static_cast<std::uint64_t>(st.st_size), limit, atHead);
    return ReadStream(fd.get(), path, limit, atHead);
}

void StreamInputFile(const std::string& path, const std::function<void(ByteSpan)>& chunk) {
    struct stat st {};
    Fd fd = OpenInput(path, st);
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
        const std::size_t got = ReadUpTo(fd.get(), buf.data(), buf.size(), path);
        if (got) chunk(ByteSpan(buf.data(), got));
        if (got < buf.size()) return;
    }
}

EncodedInput ReadEncodedInput(const std::string& path, const InputRules& rules) {
    static constexpr std::string_view kPem = "-----BEGIN ";
    Encoding kind = Encoding::Other;
    IdentObj bytes = ReadInputFile(path, rules.limit, [&](ByteSpan head, std::uint64_t size) {
        if (head.empty()) throw UsageError(path + ": is empty");
        if (head[0] == 0x30) {
            kind = Encoding::Der;
            CheckOuterHeader(head, size, rules.ber, path);
        } else if (StartsWith(head, kPem.substr(0, std::min(head.size(), kPem.size())))) {
            kind = Encoding::Pem;  // confirmed below, once the whole start is there
        } else if (!rules.ownFormat) {
            throw UsageError(path + ": is neither DER (first byte 0x30) nor PEM (\"-----BEGIN\")", TOOERR_BADFORMAT);
        }
    });
    if (kind == Encoding::Pem) {
        if (StartsWith(Span(bytes), kPem)) return DecodePem(bytes.view(), path, rules.ber);
        if (!rules.ownFormat)
            throw UsageError(path + ": is neither DER (first byte 0x30) nor PEM (\"-----BEGIN\")", TOOERR_BADFORMAT);
        kind = Encoding::Other;
    }
    EncodedInput in;
    in.encoding = kind;
    in.bytes = std::move(bytes);
    return in;
}

void WriteOutputFile(const std::string& path, ByteSpan bytes, unsigned mode) {
    if (path == "-") return WriteStandardOutput(bytes);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            throw UsageError(path + ": is a symbolic link; name the file itself (ctf does not write through links)");
        if (S_ISDIR(st.st_mode)) throw UsageError(path + ": is a folder");
        if (!S_ISREG(st.st_mode)) {
            // A device or FIFO takes the bytes where it is.
            Fd fd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW), true);
            if (fd.get() < 0)
                ThrowWinError(cert::platform::ErrnoToWinError(errno),
                              "cannot write " + path + ": " + SystemReason(errno));
            std::size_t done = 0;
            while (done < bytes.size()) {
                ssize_t w = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0)
                    throw Error(kFailure, "cannot write " + path + ": " + SystemReason(w < 0 ? errno : EIO),
                                WinErr2ToolsErr(cert::platform::ErrnoToWinError(w < 0 ? errno : EIO)));
                done += static_cast<std::size_t>(w);
            }
            return;
        }
    }
    if (DWORD rc = cert::platform::WriteFileAtomic(path, bytes.data(), bytes.size(), mode))
        ThrowWinError(rc, "cannot write " + path);
}

void WriteStandardOutput(ByteSpan bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

bool FinishStandardOutput(std::string& failure) {
    errno = 0;
    bool bad = std::fflush(stdout) != 0 || std::ferror(stdout);
    int err = errno;
    if (std::fclose(stdout) != 0 && !bad) {
        bad = true;
        err = errno;
    }
    if (bad) failure = "cannot write to standard output" + (err ? ": " + SystemReason(err) : std::string());
    return !bad;
}

// ---------------------------------------------------------------------------
Secret::Secret(std::string_view bytes) : b_(bytes.size() + 1, '\0'), size_(bytes.size()) {
    std::memcpy(b_.data(), bytes.data(), bytes.size());
}

Secret::Secret(IdentObj& from) : Secret(from.view()) { from.Wipe(); }

Secret::~Secret() { Wipe(); }

Secret::Secret(Secret&& o) noexcept : b_(std::move(o.b_)), size_(o.size_) { o.size_ = 0; }

Secret& Secret::operator=(Secret&& o) noexcept {
    if (this != &o) {
        Wipe();
        b_ = std::move(o.b_);
        size_ = o.size_;
        o.size_ = 0;
    }
    return *this;
}

void Secret::Wipe() {
    volatile char* p = b_.data();
    for (std::size_t i = 0; i < b_.size(); ++i) p[i] = 0;
    size_ = 0;
}

Secret Secret::WithCapacity(std::size_t capacity) {
    Secret s;
    s.b_.assign(capacity + 1, '\0');
    return s;
}

bool Secret::Append(char c) {
    if (size_ + 1 >= b_.size()) return false;
    b_[size_++] = c;
    return true;
}

void WipeString(std::string& s) {
    volatile char* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

Secret ReadPasswordFile(const std::string& path) {
    IdentObj raw = ReadInputFile(path, kMaxPasswordFile);
    WipeUnlessKept guard{raw};
    if (raw.IsEmpty()) throw UsageError(path + ": the password file is empty (--no-password asks for none)");
    if (std::memchr(raw.data(), 0, raw.size())) throw UsageError(path + ": the password file holds a NUL byte");
    std::string_view pw = raw.view();
    while (!pw.empty() && (pw.back() == '\n' || pw.back() == '\r')) pw.remove_suffix(1);
    if (pw.empty())
        throw UsageError(path + ": the password file holds only a line break (--no-password asks for none)");
    return Secret(pw);
}

namespace {

// Reads one line from the terminal with echo off; the echo comes back on
// every path.
Secret ReadTerminalLine(int tty, const std::string& prompt) {
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
    if (::write(tty, shown.data(), shown.size()) < 0) ThrowUnreadable("the terminal", errno);
    Secret line = Secret::WithCapacity(kMaxPasswordFile);
    for (;;) {
        char c;
        ssize_t r = ::read(tty, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) ThrowUnreadable("the terminal", errno);
        if (r == 0 || c == '\n') break;
        if (c == '\r') continue;
        if (c == '\0') throw UsageError("a password cannot hold a NUL byte");
        if (!line.Append(c)) throw UsageError("the password is longer than 4096 bytes");
    }
    return line;
}

}  // namespace

Secret AskPassword(const std::string& prompt, bool isNew) {
    Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC), true);
    if (tty.get() < 0)
        throw UsageError("no terminal to ask for the password: give --password-file FILE, or --no-password for none");
    Secret first = ReadTerminalLine(tty.get(), prompt);
    if (first.empty()) throw UsageError("no password typed (--no-password asks for none)");
    if (isNew && !(ReadTerminalLine(tty.get(), "Again") == first)) throw UsageError("the two passwords typed differ");
    return first;
}

}  // namespace ctf
