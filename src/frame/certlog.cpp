// The library log and the diagnostics entry point.
#include "cert/certlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "cert/errtext.h"
#include "cert/frame.h"
#include "cert/logdisp.h"
#include "cert/tools.h"
#include "frame/frame_internal.h"

void CertPutLogFormatted(const char* text, const char* source, int level) try {
    CLogDisp* disp = CertDll::GetLogDisp();
    if (!disp || !disp->Flag()) return;
    if (static_cast<unsigned>(level) < static_cast<unsigned>(disp->GetReportLevel())) return;
    CertDll::detail::PrepareLogDispFolder();
    const char mark = level == 0 ? '.' : level == 1 ? '+' : level == 2 ? '#' : '?';
    std::string header = std::string(1, mark) + " " + (source ? source : "") + ": ";
    disp->Put(text ? text : "", header.c_str());
} catch (...) {
    return;
}

namespace CertDll {

namespace {

// The host executable's name without folder and extension.
std::string HostBaseName() {
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "unknown";
    std::string path(exe, static_cast<std::size_t>(n));
    std::string name = path.substr(path.rfind('/') + 1);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Cuts a message to the buffer without splitting a UTF-8 sequence.
void CutMessage(std::string& s) {
    const std::size_t max = Log::kMessageBuffer - 1;
    if (s.size() <= max) return;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
}

}  // namespace

const char* LogLevelLabel(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return "Debug: ";
        case LogLevel::Info:
            return "Info:  ";
        case LogLevel::Warn:
            return "Warn:  ";
        case LogLevel::Error:
            return "Error: ";
        case LogLevel::Fatal:
            return "Fatal: ";
    }
    return "Info:  ";
}

Log::Log(const char* name, int useTempFolder, bool enabled) : enabled_(enabled), useTempFolder_(useTempFolder) {
    try {
        name_ = name ? name : "";
    } catch (...) {
        enabled_ = false;  // a log without its name writes nothing
    }
}

Log::~Log() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    Close();
}

void Log::SetEnabled(bool enabled) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    enabled_ = enabled;
}

bool Log::Enabled() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return enabled_;
}

std::string Log::FullPath() const try {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return fullPath_;
} catch (...) {
    return {};
}

bool Log::Open() {
    if (file_ >= 0) return true;
    if (fullPath_.empty()) {
        std::string folder;
        const char* dir = std::getenv("CERT_LOG_DIR");
        if (useTempFolder_)
            folder = cert::platform::TempFolder();
        else if (dir && *dir)
            folder = cert::platform::NativePath(dir);
        else
            folder = FolderOf(ModulePath().empty() ? std::string("./x") : ModulePath());
        fullPath_ = folder + "/" + HostBaseName() + "." + name_;
    }
    // The temporary folder is shared: another user may have taken the name
    // first, with a link to a file of theirs (or of the system's) or a file
    // they can read. Records go into a regular file of our own or nowhere.
    int fd = ::open(fullPath_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return false;
    }
    // Others may read the file while it is open, but only one writer at a
    // time may have it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    file_ = fd;
    return true;
}

void Log::Close() {
    if (file_ < 0) return;
    ::close(file_);
    file_ = -1;
}

void Log::WriteMessage(const char* message, LogLevel level, const char* place) {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    const DWORD tid = GetCurrentThreadId();
    char stamp[64], thread[48];
    std::snprintf(stamp, sizeof stamp, " [%d/%d/%d-%02d:%02d:%02d.%03d] ", t.wDay, t.wMonth, t.wYear, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    std::snprintf(thread, sizeof thread, " 0x%04X(%5u) ", tid, tid);
    std::string record;
    record.reserve(std::strlen(message) + 160);
    record += stamp;
    record += thread;
    record += ' ';
    record += place ? place : "";
    record += ' ';
    record += LogLevelLabel(level);
    record += "\r\n\t";
    record += message;
    record += "\r\n\r\n";

    const char* p = record.data();
    std::size_t left = record.size();
    while (left > 0) {
        ssize_t n = ::write(file_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::fsync(file_);

    struct stat st {};
    if (::fstat(file_, &st) == 0 && st.st_size >= kRotateSize) {
        Close();
        // A failed rename leaves the file where it is; the next record
        // appends to it.
        (void)::rename(fullPath_.c_str(), (fullPath_ + ".old").c_str());
    }
}

// Records that cannot be made or written are lost silently: nothing leaves
// the writing calls.
void Log::Write(const std::string& format, LogLevel level, const char* place, ...) try {
    if (level == LogLevel::Debug) return;
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (!enabled_ || !Open()) return;
    char message[kMessageBuffer];
    va_list args;
    va_start(args, place);
    std::vsnprintf(message, sizeof message, format.c_str(), args);
    va_end(args);
    WriteMessage(message, level, place);
} catch (...) {
    return;
}

void Log::WriteWide(const std::u16string& format, LogLevel level, const char* place, ...) try {
    if (level == LogLevel::Debug) return;
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (!enabled_ || !Open()) return;
    va_list args;
    va_start(args, place);
    std::string message;
    try {
        message = detail::FormatWide(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    CutMessage(message);
    WriteMessage(message.c_str(), level, place);
} catch (...) {
    return;
}

void Log::WriteLastError(const std::string& format, LogLevel level, const char* place, ...) {
    const DWORD code = GetLastError();
    if (level == LogLevel::Debug) return;
    char formatted[kMessageBuffer];
    va_list args;
    va_start(args, place);
    std::vsnprintf(formatted, sizeof formatted, format.c_str(), args);
    va_end(args);
    try {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (!enabled_ || !Open()) return;
        std::string text;
        GetWin32ErrorText(code, text);
        std::string message = "Last error: " + text + " " + formatted;
        CutMessage(message);
        WriteMessage(message.c_str(), level, place);
    } catch (...) {
        // Lost, as a record that cannot be written is.
    }
    SetLastError(code);
}

}  // namespace CertDll
