// Whole-file reads and writes, and the work copies that replace files.
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cert::platform {

namespace {

// Runs a function of this file's public face: the code it returns, or the
// one of an exception it threw, becomes the last error too.
template <class F>
DWORD Reported(F&& body) noexcept {
    DWORD e;
    try {
        e = body();
    } catch (...) {
        e = WinErrorOfCurrentException();
    }
    SetLastError(e);
    return e;
}

void Wipe(std::string& s) {
    explicit_bzero(s.data(), s.size());
    s.clear();
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename or link is only durable once the folder holding it is synced.
// Best effort: the file is in place already, and some file systems cannot
// sync a folder.
void SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

// 16 hex digits from the kernel's random source.
bool RandomHex(std::string& out) {
    unsigned char bytes[8];
    std::size_t have = 0;
    while (have < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + have, sizeof bytes - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    out.clear();
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return true;
}

// A write to a pipe whose reader went away must not end the host with
// SIGPIPE: the signal is blocked for this thread while writing, and one that
// the write raised is taken back before the mask is restored.
int WriteAllNoSigpipe(int fd, const void* data, std::size_t size) {
    sigset_t pipeOnly, old, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    int err = WriteAll(fd, data, size);
    if (err == EPIPE && !pendingBefore) {
        const struct timespec now {};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return err;
}

}  // namespace

DWORD PathError(int err, const std::string& path) {
    if (err != ENOENT) return ErrnoToWinError(err);
    const std::string folder = FolderOf(path);
    struct stat st {};
    return folder == "." || folder == "/" || ::stat(folder.c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND
                                                                              : ERROR_PATH_NOT_FOUND;
}

int WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

DWORD ReadAllFromFd(int fd, std::string& out, std::size_t limit, std::size_t sizeHint) {
    out.clear();
    std::string buf;
    limit = std::min(limit, buf.max_size() - 1);
    // One byte beyond what fstat said: reading 0 there tells the end without
    // growing the buffer.
    buf.resize(std::min(limit, sizeHint) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == buf.size()) {
            if (have > limit) {
                Wipe(buf);
                return ERROR_FILE_TOO_LARGE;
            }
            std::string bigger(std::min(std::max<std::size_t>(have * 2, 4096), limit + 1), '\0');
            std::memcpy(bigger.data(), buf.data(), have);
            Wipe(buf);
            buf.swap(bigger);
        }
        ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            Wipe(buf);
            return err == EISDIR ? ERROR_DIRECTORY : ErrnoToWinError(err);
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    if (have > limit) {
        Wipe(buf);
        return ERROR_FILE_TOO_LARGE;
    }
    buf.resize(have);
    out.swap(buf);
    return ERROR_SUCCESS;
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_work.empty()) ::unlink(m_work.c_str());
    m_work.clear();
}

DWORD OutputFile::Open(const std::string& path, unsigned mode, bool mustNotExist) {
    Discard();
    m_path = path;
    m_inPlace = false;
    m_mustNotExist = mustNotExist;
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    bool exact = mode != kModeAsBefore;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (mustNotExist) return ERROR_FILE_EXISTS;
        if (S_ISLNK(st.st_mode)) return ERROR_STOPPED_ON_SYMLINK;
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode)) return OpenInPlace();
        if (S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
        if (!S_ISREG(st.st_mode)) return ERROR_NOT_SUPPORTED;
        if (!exact) {
            mode = st.st_mode & 0777;
            exact = true;
        }
    } else if (errno != ENOENT) {
        return PathError(errno, path);
    } else if (!exact) {
        mode = 0644;
    }
    return CreateWork(mode, exact);
}

DWORD OutputFile::OpenInPlace() {
    int fd = ::open(m_path.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return PathError(errno, m_path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode)) {
        // Swapped for a regular file since we looked: writing over part of
        // it would leave neither the old nor the new content.
        const DWORD e = S_ISREG(st.st_mode) ? ERROR_SHARING_VIOLATION : ErrnoToWinError(errno);
        ::close(fd);
        return e;
    }
    m_fd = fd;
    m_inPlace = true;
    return ERROR_SUCCESS;
}

DWORD OutputFile::CreateWork(unsigned mode, bool exactMode) {
    const std::size_t slash = m_path.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    // Hidden, and ending in ".work" so that masks on the target's extension
    // never list it; the target's name is cut so the whole stays short.
    const std::string stem = m_path.substr(0, nameAt) + "." + m_path.substr(nameAt, 64) + ".";
    // Created owner-only (or narrower), so nobody else can open it before
    // its mode is final.
    const unsigned createMode = exactMode ? (mode & 0600) : (mode & 0777);
    std::string random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!RandomHex(random)) return ErrnoToWinError(errno ? errno : EIO);
        std::string work = stem + random + ".work";
        int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return PathError(errno, work);
        m_fd = fd;
        m_work = std::move(work);
        if (exactMode && ::fchmod(m_fd, mode & 07777) != 0) {
            const int err = errno;
            Discard();
            return ErrnoToWinError(err);
        }
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_EXISTS;
}

DWORD OutputFile::Write(const void* data, std::size_t size) {
    if (m_fd < 0) return ERROR_INVALID_HANDLE;
    if (!data && size) return ERROR_INVALID_PARAMETER;
    const int err = m_inPlace ? WriteAllNoSigpipe(m_fd, data, size) : WriteAll(m_fd, data, size);
    if (err == 0) return ERROR_SUCCESS;
    Discard();
    return ErrnoToWinError(err);
}

DWORD OutputFile::Commit() {
    if (m_fd < 0) return ERROR_INVALID_HANDLE;
    struct stat st {};
    int err = 0;
    // Character devices and FIFOs have nothing to sync.
    if (!m_inPlace || (::fstat(m_fd, &st) == 0 && S_ISBLK(st.st_mode)))
        if (::fsync(m_fd) != 0) err = errno;
    if (::close(m_fd) != 0 && err == 0 && errno != EINTR) err = errno;
    m_fd = -1;
    if (err == 0 && !m_inPlace) {
        if (!m_mustNotExist) {
            if (::rename(m_work.c_str(), m_path.c_str()) == 0)
                m_work.clear();
            else
                err = errno;
        } else if (::link(m_work.c_str(), m_path.c_str()) != 0) {
            // link() refuses an existing name: no race between the check
            // in Open and this.
            err = errno;
        }
    }
    Discard();
    if (err == EEXIST) return ERROR_FILE_EXISTS;
    if (err != 0) return ErrnoToWinError(err);
    if (!m_inPlace) SyncFolder(FolderOf(m_path));
    return ERROR_SUCCESS;
}

namespace {
DWORD WriteWhole(const std::string& path, const void* data, std::size_t size, unsigned mode) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    OutputFile out;
    if (DWORD e = out.Open(NativePath(path), mode)) return e;
    if (DWORD e = out.Write(data, size)) return e;
    return out.Commit();
}
}  // namespace

DWORD WriteFileAtomic(const std::string& path, const void* data, std::size_t size, unsigned mode) {
    return Reported([&] { return WriteWhole(path, data, size, mode); });
}

DWORD WriteOutputFile(const std::string& path, const void* data, std::size_t size, unsigned mode) {
    return Reported([&] {
        if (path != "-") return WriteWhole(path, data, size, mode);
        if (!data && size) return ERROR_INVALID_PARAMETER;
        return ErrnoToWinError(WriteAllNoSigpipe(STDOUT_FILENO, data, size));
    });
}

DWORD ReadWholeFile(const std::string& pathIn, std::string& out, std::size_t limit) {
    return Reported([&] {
        out.clear();
        const std::string path = NativePath(pathIn);
        if (path.empty()) return ERROR_INVALID_PARAMETER;
        int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return PathError(errno, path);
        struct stat st {};
        DWORD e = ERROR_SUCCESS;
        if (::fstat(fd, &st) != 0)
            e = ErrnoToWinError(errno);
        else if (S_ISDIR(st.st_mode))
            e = ERROR_DIRECTORY;
        else if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > limit)
            e = ERROR_FILE_TOO_LARGE;
        else
            e = ReadAllFromFd(fd, out, limit, S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
        ::close(fd);
        return e;
    });
}

}  // namespace cert::platform
