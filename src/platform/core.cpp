#include "cert/platform.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
thread_local DWORD t_lastError = 0;

std::mutex g_homeMutex;
std::string g_homeOverride;
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

namespace cert::platform {

DWORD ErrnoToWinError(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EISDIR:
            return ERROR_DIRECTORY;
        case ELOOP:  // O_NOFOLLOW met a link
            return ERROR_STOPPED_ON_SYMLINK;
        case EBUSY:
            return ERROR_BUSY;
        case EAGAIN:
            return ERROR_LOCK_VIOLATION;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EIO:
            return ERROR_READ_FAULT;
        case ECANCELED:
            return ERROR_CANCELLED;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

DWORD SetLastErrorFromErrno() { return SetLastErrorFromErrno(errno); }

DWORD SetLastErrorFromErrno(int err) {
    DWORD e = ErrnoToWinError(err);
    SetLastError(e);
    return e;
}

bool PercentUnescape(std::string_view s, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        const int h = i + 1 < s.size() ? HexDigitValue(s[i + 1]) : -1;
        const int l = i + 2 < s.size() ? HexDigitValue(s[i + 2]) : -1;
        if (h < 0 || l < 0) return false;
        out += static_cast<char>(h * 16 + l);
        i += 2;
    }
    return true;
}

std::string NativePath(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string CertHome() {
    {
        std::lock_guard<std::mutex> lock(g_homeMutex);
        if (!g_homeOverride.empty()) return g_homeOverride;
    }
    if (const char* h = std::getenv("CERT_HOME"); h && *h) return NativePath(h);
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return NativePath(x) + "/cert";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/cert";
}

void SetCertHome(const std::string& home) {
    std::lock_guard<std::mutex> lock(g_homeMutex);
    g_homeOverride = NativePath(home);
    while (g_homeOverride.size() > 1 && g_homeOverride.back() == '/') g_homeOverride.pop_back();
}

std::string TempFolder() {
    std::string t;
    if (const char* d = std::getenv("TMPDIR"); d && *d)
        t = NativePath(d);
    else
        t = "/tmp";
    while (t.size() > 1 && t.back() == '/') t.pop_back();
    return t;
}

bool MakeFolders(const std::string& pathIn, unsigned mode) try {
    std::string path = NativePath(pathIn);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            SetLastErrorFromErrno();
            return false;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return true;
} catch (...) {
    return ExceptionToLastError(false);
}

DWORD WinErrorOfCurrentException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::system_error& e) {
        // Filesystem and thread errors carry errno in one of these two.
        const std::error_category& c = e.code().category();
        if ((c == std::generic_category() || c == std::system_category()) && e.code().value() != 0)
            return ErrnoToWinError(e.code().value());
        return ERROR_INTERNAL_ERROR;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

FILETIME UnixToFileTime(std::int64_t seconds, std::uint32_t nanoseconds) {
    ULONGLONG ticks = static_cast<ULONGLONG>(seconds * 10000000LL + nanoseconds / 100) + kUnixEpochTicks;
    return U64ToFileTime(ticks);
}

std::int64_t FileTimeToUnix(const FILETIME& ft) {
    return (static_cast<std::int64_t>(FileTimeToU64(ft)) - static_cast<std::int64_t>(kUnixEpochTicks)) / 10000000LL;
}

}  // namespace cert::platform

using namespace cert::platform;

BOOL SHGetSpecialFolderPathA(HWND, char* path, int csidl, BOOL create) try {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    path[0] = 0;
    std::string folder;
    switch (csidl & ~CSIDL_FLAG_CREATE) {
        case CSIDL_COMMON_APPDATA:
            folder = CertHome() + "/common";
            break;
        case CSIDL_LOCAL_APPDATA:
            folder = CertHome() + "/local";
            break;
        case CSIDL_APPDATA:
            folder = CertHome() + "/roaming";
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    if (folder.size() + 1 > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if ((create || (csidl & CSIDL_FLAG_CREATE)) && !MakeFolders(folder, 0700)) return FALSE;
    if (!create && !(csidl & CSIDL_FLAG_CREATE)) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0) {
            SetLastErrorFromErrno();
            return FALSE;
        }
    }
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
} catch (...) {
    return ExceptionToLastError(FALSE);
}

namespace cert::platform {
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[m - 1] + (m == 2 && IsLeapYear(y) ? 1 : 0);
}
}  // namespace cert::platform

namespace {

std::int64_t LocalOffsetSeconds(std::int64_t unixSeconds) {
    time_t t = static_cast<time_t>(unixSeconds);
    struct tm lt {};
    if (!localtime_r(&t, &lt)) return 0;
    return lt.tm_gmtoff;
}
}  // namespace

void GetSystemTimeAsFileTime(FILETIME* ft) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    *ft = UnixToFileTime(ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec));
}

void GetSystemTime(SYSTEMTIME* st) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, st);
}

void GetLocalTime(SYSTEMTIME* st) {
    FILETIME ft, lft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToLocalFileTime(&ft, &lft);
    FileTimeToSystemTime(&lft, st);
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
    if (!ft || !st) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG ticks = FileTimeToU64(*ft);
    if (ticks >= 0x8000000000000000ull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONGLONG kDayTicks = 864000000000ull;
    std::int64_t days1601 = static_cast<std::int64_t>(ticks / kDayTicks);
    ULONGLONG rest = ticks % kDayTicks;
    int y, m, d;
    CivilFromDays(days1601 - kDays1601To1970, y, m, d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>((days1601 + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<WORD>(rest / 36000000000ull);
    rest %= 36000000000ull;
    st->wMinute = static_cast<WORD>(rest / 600000000ull);
    rest %= 600000000ull;
    st->wSecond = static_cast<WORD>(rest / 10000000ull);
    rest %= 10000000ull;
    st->wMilliseconds = static_cast<WORD>(rest / 10000ull);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
    if (!st || !ft || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (st->wDay > DaysInMonth(st->wYear, st->wMonth)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDays1601To1970;
    ULONGLONG ticks = static_cast<ULONGLONG>(days) * 864000000000ull + st->wHour * 36000000000ull +
                      st->wMinute * 600000000ull + st->wSecond * 10000000ull + st->wMilliseconds * 10000ull;
    *ft = U64ToFileTime(ticks);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
    if (!utc || !local) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::int64_t off = LocalOffsetSeconds(FileTimeToUnix(*utc));
    *local = U64ToFileTime(FileTimeToU64(*utc) + static_cast<ULONGLONG>(off * 10000000LL));
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
    if (!utc || !local) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::int64_t guess = FileTimeToUnix(*local);
    std::int64_t off = LocalOffsetSeconds(guess - LocalOffsetSeconds(guess));
    *utc = U64ToFileTime(FileTimeToU64(*local) - static_cast<ULONGLONG>(off * 10000000LL));
    return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    ULONGLONG x = FileTimeToU64(*a), y = FileTimeToU64(*b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

ULONGLONG GetTickCount64() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000ull + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000ull;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
