// The file object over stdio on a descriptor we open ourselves, so the
// mode text, the error mapping and write-through stay under our control.
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cert/lecursor.h"
#include "cert/toofile.h"
#include "file_internal.h"
#include "platform/files.h"

using cert::platform::ErrnoToWinError;
using cert::platform::NativePath;

XTOOFile::XTOOFile(int status, DWORD winError, const char* fileName, const char* operation)
    : XTOOStatus(status, (CTOOString(operation) + " " + CTOOString(fileName)).c_str()),
      m_winError(winError),
      m_fileName(fileName),
      m_operation(operation) {}

namespace cert::foundation {

DWORD AttributesOf(const struct stat& st, const std::string& name) {
    DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.') a |= FILE_ATTRIBUTE_HIDDEN;
    return a;
}

}  // namespace cert::foundation

using cert::platform::PathError;

CTOOFile::CTOOFile(const char* name, const char* mode, bool throwErrors) { Open(name, mode, throwErrors); }

CTOODirectFile::CTOODirectFile(const char* name, const char* mode, bool throwErrors) { Open(name, mode, throwErrors); }

CTOOFile::~CTOOFile() {
    m_throw = false;
    Close();
}

CTOOFile::CTOOFile(CTOOFile&& o) noexcept { *this = std::move(o); }

CTOOFile& CTOOFile::operator=(CTOOFile&& o) noexcept {
    if (this == &o) return *this;
    m_throw = false;
    Close();
    m_file = o.m_file;
    m_name = std::move(o.m_name);
    m_mode = std::move(o.m_mode);
    m_throw = o.m_throw;
    m_canRead = o.m_canRead;
    m_canWrite = o.m_canWrite;
    m_append = o.m_append;
    m_commit = o.m_commit;
    m_lastOp = o.m_lastOp;
    m_error = o.m_error;
    o.m_file = nullptr;
    return *this;
}

bool CTOOFile::ReportError(DWORD winError, const char* operation, int status) const {
    SetLastError(winError);
    m_error = XTOOFile(status ? status : WinErr2ToolsErr(winError), winError, m_name.c_str(), operation);
    if (m_throw) throw m_error;
    return false;
}

bool CTOOFile::ReportException(const char* operation) const {
    try {
        throw;
    } catch (const XTOOFile&) {
        throw;
    } catch (...) {
    }
    const int status = TOOStatusOfCurrentException();
    return ReportError(status == TOOERR_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : cert::platform::WinErrorOfCurrentException(),
                       operation, status);
}

bool CTOOFile::Succeed() const {
    if (m_error.IsError()) m_error = XTOOFile();
    return true;
}

bool CTOOFile::Open(const char* name, const char* mode, bool throwErrors) try {
    if (m_file) {
        bool keep = m_throw;
        m_throw = false;
        Close();
        m_throw = keep;
    }
    m_throw = throwErrors;
    m_name = name ? name : "";
    m_mode = mode ? mode : "";
    m_canRead = m_canWrite = m_append = m_commit = false;
    m_lastOp = 0;
    if (!name || !*name || !mode) return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Open", TOOERR_BADARG);

    int flags = 0;
    bool plus = false, exclusive = false;
    const char kind = mode[0];
    for (const char* m = mode + 1; *m && *m != ','; ++m) {
        switch (*m) {
            case '+':
                plus = true;
                break;
            case 'c':
                m_commit = true;
                break;
            case 'n':
                m_commit = false;
                break;
            case 'x':
                exclusive = true;
                break;
            case 'b':
            case 't':
            case 'S':
            case 'R':
            case 'T':
            case 'D':
            case 'N':
            case 'e':
                break;
            default:
                return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Open", TOOERR_BADARG);
        }
    }
    const char* stdioMode;
    switch (kind) {
        case 'r':
            flags = plus ? O_RDWR : O_RDONLY;
            stdioMode = plus ? "r+" : "r";
            break;
        case 'w':
            flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
            stdioMode = plus ? "w+" : "w";
            break;
        case 'a':
            flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            stdioMode = plus ? "a+" : "a";
            m_append = true;
            break;
        default:
            return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Open", TOOERR_BADARG);
    }
    if (exclusive) {
        if (kind == 'r') return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Open", TOOERR_BADARG);
        flags |= O_EXCL;
    }
    const std::string path = NativePath(name);
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return ReportError(PathError(errno, path), "CTOOFile::Open");
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EACCES : errno;
        ::close(fd);
        return ReportError(ErrnoToWinError(err), "CTOOFile::Open");
    }
    m_file = ::fdopen(fd, stdioMode);
    if (!m_file) {
        int err = errno;
        ::close(fd);
        return ReportError(ErrnoToWinError(err), "CTOOFile::Open");
    }
    m_canRead = kind == 'r' || plus;
    m_canWrite = kind != 'r' || plus;
    return Succeed();
} catch (...) {
    return ReportException("CTOOFile::Open");
}

bool CTOOFile::SyncToDisk() {
    if (::fdatasync(::fileno(m_file)) != 0 && errno != EINVAL && errno != EROFS)
        return ReportError(ErrnoToWinError(errno), "CTOOFile::Flush");
    return true;
}

bool CTOOFile::Close() try {
    if (!m_file) return Succeed();
    int err = 0;
    if (m_canWrite && std::fflush(m_file) != 0) err = errno;
    if (err == 0 && m_canWrite && (m_commit || DirectWrites()) && ::fdatasync(::fileno(m_file)) != 0 &&
        errno != EINVAL && errno != EROFS)
        err = errno;
    if (std::fclose(m_file) != 0 && err == 0) err = errno;
    m_file = nullptr;
    m_lastOp = 0;
    if (err) return ReportError(ErrnoToWinError(err), "CTOOFile::Close");
    return Succeed();
} catch (...) {
    return ReportException("CTOOFile::Close");
}

bool CTOOFile::PrepareRead() const {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::Read", TOOERR_BADARG);
    if (!m_canRead) return ReportError(ERROR_ACCESS_DENIED, "CTOOFile::Read", TOOERR_ACCESS);
    if (m_lastOp == 2 && std::fseek(m_file, 0, SEEK_CUR) != 0)
        return ReportError(ErrnoToWinError(errno), "CTOOFile::Read");
    m_lastOp = 1;
    return true;
}

bool CTOOFile::PrepareWrite() {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::Write", TOOERR_BADARG);
    if (!m_canWrite) return ReportError(ERROR_ACCESS_DENIED, "CTOOFile::Write", TOOERR_READONLY);
    if (m_lastOp == 1 && std::fseek(m_file, 0, SEEK_CUR) != 0)
        return ReportError(ErrnoToWinError(errno), "CTOOFile::Write");
    m_lastOp = 2;
    return true;
}

DWORD CTOOFile::Read(void* buffer, DWORD size) const try {
    if (!PrepareRead()) return 0;
    if (size == 0) return Succeed(), 0;
    if (!buffer) return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Read", TOOERR_BADARG), 0;
    std::size_t n = std::fread(buffer, 1, size, m_file);
    if (n < size && std::ferror(m_file)) {
        int err = errno;
        std::clearerr(m_file);
        ReportError(err ? ErrnoToWinError(err) : ERROR_READ_FAULT, "CTOOFile::Read");
        return 0;
    }
    std::clearerr(m_file);
    Succeed();
    return static_cast<DWORD>(n);
} catch (...) {
    return ReportException("CTOOFile::Read"), 0;
}

bool CTOOFile::ReadExact(void* buffer, DWORD size) const try {
    DWORD n = Read(buffer, size);
    if (n == size) return true;
    if (m_error.IsError()) return false;
    return ReportError(ERROR_HANDLE_EOF, "CTOOFile::Read", TOOERR_SHORTREAD);
} catch (...) {
    return ReportException("CTOOFile::Read");
}

DWORD CTOOFile::Write(const void* buffer, DWORD size) try {
    if (!PrepareWrite()) return 0;
    if (size == 0) return Succeed(), 0;
    if (!buffer) return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Write", TOOERR_BADARG), 0;
    std::size_t n = std::fwrite(buffer, 1, size, m_file);
    if (n == size && DirectWrites() && std::fflush(m_file) != 0) n = 0;
    if (n < size) {
        int err = errno;
        std::clearerr(m_file);
        ReportError(err ? ErrnoToWinError(err) : ERROR_WRITE_FAULT, "CTOOFile::Write");
        return 0;
    }
    Succeed();
    return size;
} catch (...) {
    return ReportException("CTOOFile::Write"), 0;
}

bool CTOOFile::Seek(LONGLONG offset, int origin) const try {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::Seek", TOOERR_BADARG);
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END)
        return ReportError(ERROR_INVALID_PARAMETER, "CTOOFile::Seek", TOOERR_BADARG);
    if (::fseeko(m_file, static_cast<off_t>(offset), origin) != 0)
        return ReportError(ErrnoToWinError(errno), "CTOOFile::Seek");
    m_lastOp = 0;
    return Succeed();
} catch (...) {
    return ReportException("CTOOFile::Seek");
}

LONGLONG CTOOFile::CurPos() const try {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::CurPos", TOOERR_BADARG), -1;
    off_t pos = ::ftello(m_file);
    if (pos < 0) return ReportError(ErrnoToWinError(errno), "CTOOFile::CurPos"), -1;
    Succeed();
    return pos;
} catch (...) {
    return ReportException("CTOOFile::CurPos"), -1;
}

LONGLONG CTOOFile::Length() const try {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::Length", TOOERR_BADARG), -1;
    if (m_lastOp == 2 && std::fflush(m_file) != 0) return ReportError(ErrnoToWinError(errno), "CTOOFile::Length"), -1;
    struct stat st {};
    if (::fstat(::fileno(m_file), &st) != 0) return ReportError(ErrnoToWinError(errno), "CTOOFile::Length"), -1;
    Succeed();
    return st.st_size;
} catch (...) {
    return ReportException("CTOOFile::Length"), -1;
}

bool CTOOFile::Flush() try {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::Flush", TOOERR_BADARG);
    if (!m_canWrite) return Succeed();
    if (std::fflush(m_file) != 0) return ReportError(ErrnoToWinError(errno), "CTOOFile::Flush");
    if ((m_commit || DirectWrites()) && !SyncToDisk()) return false;
    return Succeed();
} catch (...) {
    return ReportException("CTOOFile::Flush");
}

bool CTOOFile::Truncate(ULONGLONG length) try {
    if (!m_file) return ReportError(ERROR_INVALID_HANDLE, "CTOOFile::Truncate", TOOERR_BADARG);
    if (!m_canWrite) return ReportError(ERROR_ACCESS_DENIED, "CTOOFile::Truncate", TOOERR_READONLY);
    if (std::fflush(m_file) != 0) return ReportError(ErrnoToWinError(errno), "CTOOFile::Truncate");
    off_t pos = ::ftello(m_file);
    if (pos < 0 || ::ftruncate(::fileno(m_file), static_cast<off_t>(length)) != 0)
        return ReportError(ErrnoToWinError(errno), "CTOOFile::Truncate");
    // Drops whatever stdio still buffers of the old contents.
    if (::fseeko(m_file, pos, SEEK_SET) != 0) return ReportError(ErrnoToWinError(errno), "CTOOFile::Truncate");
    m_lastOp = 0;
    return Succeed();
} catch (...) {
    return ReportException("CTOOFile::Truncate");
}

bool CTOOFile::Truncate() {
    LONGLONG pos = CurPos();
    if (pos < 0) return false;
    return Truncate(static_cast<ULONGLONG>(pos));
}

// --- operations on names ----------------------------------------------------

bool CTOOFile::IsExists(const char* name) try {
    if (!name || !*name) return false;
    struct stat st {};
    if (::stat(NativePath(name).c_str(), &st) == 0) return true;
    SetLastError(PathError(errno, NativePath(name)));
    return false;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

LONGLONG CTOOFile::Length(const char* name) try {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const std::string path = NativePath(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetLastError(PathError(errno, path));
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return st.st_size;
} catch (...) {
    return cert::platform::ExceptionToLastError(LONGLONG(-1));
}

namespace {

// Streams the open `in` into `out`, then gives a work copy the source's
// write time.
DWORD CopyInto(int in, const struct stat& st, cert::platform::OutputFile& out) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoToWinError(errno);
        if (n == 0) break;
        if (DWORD e = out.Write(buf, static_cast<std::size_t>(n))) return e;
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!out.InPlace() && ::futimens(out.Fd(), times) != 0) return ErrnoToWinError(errno);
    return ERROR_SUCCESS;
}

}  // namespace

bool CTOOFile::CopyFileA(const char* from, const char* to, bool failIfExists) try {
    if (!from || !to || !*from || !*to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string src = NativePath(from), dst = NativePath(to);
    int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        SetLastError(PathError(errno, src));
        return false;
    }
    struct stat st {};
    DWORD e = ::fstat(in, &st) != 0 ? ErrnoToWinError(errno) : S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : 0;
    cert::platform::OutputFile out;
    if (e == ERROR_SUCCESS) e = out.Open(dst, st.st_mode & 0777, failIfExists);
    if (e == ERROR_SUCCESS) e = CopyInto(in, st, out);
    ::close(in);
    if (e == ERROR_SUCCESS) e = out.Commit();
    // A folder in the way is access denied, as the platform's copy says.
    SetLastError(e == ERROR_DIRECTORY ? ERROR_ACCESS_DENIED : e);
    return e == ERROR_SUCCESS;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFile::MoveFileA(const char* from, const char* to) try {
    if (!from || !to || !*from || !*to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string src = NativePath(from), dst = NativePath(to);
    // A device, FIFO or link in the target's place is never renamed over:
    // the copy writes a device in place and refuses a link.
    struct stat dst_st {};
    const bool special = ::lstat(dst.c_str(), &dst_st) == 0 && !S_ISREG(dst_st.st_mode) && !S_ISDIR(dst_st.st_mode);
    if (!special && ::rename(src.c_str(), dst.c_str()) == 0) {
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    int err = special ? EXDEV : errno;
    if (err != EXDEV) {
        struct stat st {};
        SetLastError(::lstat(src.c_str(), &st) != 0 ? PathError(errno, src)
                     : err == EISDIR                ? ERROR_ACCESS_DENIED
                                                    : PathError(err, dst));
        return false;
    }
    if (!CopyFileA(from, to, false)) return false;
    if (::unlink(src.c_str()) != 0) {
        cert::platform::SetLastErrorFromErrno();
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFile::DeleteFileA(const char* name) try {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string path = NativePath(name);
    if (::unlink(path.c_str()) != 0) {
        SetLastError(errno == EISDIR ? ERROR_ACCESS_DENIED : PathError(errno, path));
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFile::LastWriteTime(const char* name, FILETIME& time) try {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string path = NativePath(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetLastError(PathError(errno, path));
        return false;
    }
    time = cert::platform::UnixToFileTime(st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec));
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFile::SetLastWriteTime(const char* name, const FILETIME& time) try {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string path = NativePath(name);
    const auto ticks = static_cast<LONGLONG>(cert::platform::FileTimeToU64(time)) -
                       static_cast<LONGLONG>(cert::platform::kUnixEpochTicks);
    LONGLONG sec = ticks / 10000000, rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --sec;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(sec);
    times[1].tv_nsec = static_cast<long>(rest * 100);
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        SetLastError(PathError(errno, path));
        return false;
    }
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

DWORD CTOOFile::GetAttributes(const char* name) try {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<DWORD>(-1);
    }
    const std::string path = NativePath(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetLastError(PathError(errno, path));
        return static_cast<DWORD>(-1);
    }
    std::size_t slash = path.rfind('/');
    return cert::foundation::AttributesOf(st, slash == std::string::npos ? path : path.substr(slash + 1));
} catch (...) {
    return cert::platform::ExceptionToLastError(static_cast<DWORD>(-1));
}

// --- blobs in files ---------------------------------------------------------

bool IdentObj::WriteData(CTOOFile& file) const try {
    IdentObj len = le::Writer().U32(m_dwLength).Take();
    if (file.Write(len.data(), 4) != 4) return false;
    return m_dwLength == 0 || file.Write(m_pData, m_dwLength) == m_dwLength;
} catch (...) {
    return file.ReportException("IdentObj::WriteData");
}

bool IdentObj::ReadData(const CTOOFile& file) try {
    BYTE len[4];
    if (!file.ReadExact(len, 4)) return false;
    const DWORD n = le::Reader(len, 4).U32();
    // A damaged length must not make us allocate gigabytes.
    const LONGLONG pos = file.CurPos(), size = file.Length();
    if (pos < 0 || size < 0) return false;
    if (static_cast<ULONGLONG>(size - pos) < n)
        return file.ReportError(ERROR_HANDLE_EOF, "IdentObj::ReadData", TOOERR_SHORTREAD);
    IdentObj tmp;
    if (n && !file.ReadExact(tmp.Alloc(n), n)) return false;
    *this = std::move(tmp);
    return true;
} catch (...) {
    return file.ReportException("IdentObj::ReadData");
}
