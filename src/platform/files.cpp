// Whole-file reads and writes, and the work copies that replace files.
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
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

namespace {

// The reading loop of FileReader::ReadToEnd and ReadAllFromFd; see there.
DWORD ReadToEndOf(int fd, std::uint64_t knownSize, std::size_t& have, std::size_t limit,
                  const std::function<std::uint8_t*(std::size_t)>& resize) {
    // Room for one byte past the limit tells "too large" without a wrap.
    limit = std::min<std::size_t>(limit, PTRDIFF_MAX - 1);
    if (have > limit) return ERROR_FILE_TOO_LARGE;
    std::size_t room = have;
    std::uint8_t* buf = nullptr;
    auto grow = [&](std::size_t n) {
        buf = resize(n);
        if (!buf && n) throw std::bad_alloc();
        room = n;
    };
    if (knownSize != FileReader::kUnknownSize) {
        if (knownSize > limit - have) return ERROR_FILE_TOO_LARGE;
        // One byte beyond what fstat said: reading 0 there tells the end
        // without growing the buffer.
        grow(have + static_cast<std::size_t>(knownSize) + 1);
    }
    for (;;) {
        if (have == room) {
            if (have > limit) return ERROR_FILE_TOO_LARGE;
            grow(std::min(std::max<std::size_t>(have * 2, 4096), limit + 1));
        }
        ssize_t n = ::read(fd, buf + have, room - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoToWinError(errno);
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    if (have > limit) return ERROR_FILE_TOO_LARGE;
    resize(have);
    return ERROR_SUCCESS;
}

// A string that grows without leaving its old bytes in freed memory.
std::uint8_t* ResizeWiping(std::string& s, std::size_t n) {
    if (n > s.capacity()) {
        std::string bigger(n, '\0');
        std::memcpy(bigger.data(), s.data(), s.size());
        Wipe(s);
        s.swap(bigger);
    } else {
        s.resize(n);
    }
    return reinterpret_cast<std::uint8_t*>(s.data());
}

// What a read to the end gives, as a string: all its bytes, or nothing
// (and nothing left in freed memory) when it failed.
template <class ReadToEnd>
DWORD IntoString(std::string& out, ReadToEnd&& read) {
    out.clear();
    std::string buf;
    std::size_t have = 0;
    const DWORD e = read(have, [&](std::size_t n) { return ResizeWiping(buf, n); });
    if (e != ERROR_SUCCESS) {
        Wipe(buf);
        return e;
    }
    out.swap(buf);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ReadAllFromFd(int fd, std::string& out, std::size_t limit, std::size_t sizeHint) {
    return IntoString(
        out, [&](std::size_t& have, const auto& resize) { return ReadToEndOf(fd, sizeHint, have, limit, resize); });
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

DWORD ReadWholeFile(const std::string& path, std::string& out, std::size_t limit) {
    return Reported([&] {
        out.clear();
        FileReader in;
        if (DWORD e = in.Open(path)) return e;
        return IntoString(out,
                          [&](std::size_t& have, const auto& resize) { return in.ReadToEnd(have, limit, resize); });
    });
}

FileReader::~FileReader() { Close(); }

void FileReader::Close() noexcept {
    if (m_own && m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_own = false;
    m_size = kUnknownSize;
    m_taken = 0;
}

namespace {
// What is left of an open file: a regular file's bytes from where it
// stands (standard input may have been read from before), else unknown.
DWORD Describe(int fd, std::uint64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return ErrnoToWinError(errno);
    if (S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    size = FileReader::kUnknownSize;
    if (S_ISREG(st.st_mode)) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        size = static_cast<std::uint64_t>(st.st_size - std::clamp<off_t>(at, 0, st.st_size));
    }
    return ERROR_SUCCESS;
}
}  // namespace

DWORD FileReader::Open(const std::string& pathIn, bool followLinks) noexcept {
    return Reported([&] {
        Close();
        const std::string path = NativePath(pathIn);
        if (path.empty()) return ERROR_INVALID_PARAMETER;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
        if (fd < 0) return PathError(errno, path);
        m_fd = fd;
        m_own = true;
        const DWORD e = Describe(m_fd, m_size);
        if (e != ERROR_SUCCESS) Close();
        return e;
    });
}

DWORD FileReader::OpenInput(const std::string& path) noexcept {
    if (path != "-") return Open(path);
    return Reported([&] {
        Close();
        m_fd = STDIN_FILENO;
        const DWORD e = Describe(m_fd, m_size);
        if (e != ERROR_SUCCESS) Close();
        return e;
    });
}

DWORD FileReader::Read(void* buffer, std::size_t size, std::size_t& got) noexcept {
    got = 0;
    return Reported([&] {
        if (m_fd < 0) return ERROR_INVALID_HANDLE;
        if (!buffer && size) return ERROR_INVALID_PARAMETER;
        auto* p = static_cast<std::uint8_t*>(buffer);
        while (got < size) {
            ssize_t n = ::read(m_fd, p + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return ErrnoToWinError(errno);
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
            m_taken += static_cast<std::size_t>(n);
        }
        return ERROR_SUCCESS;
    });
}

DWORD FileReader::ReadToEnd(std::size_t& have, std::size_t limit,
                            const std::function<std::uint8_t*(std::size_t)>& resize) noexcept {
    return Reported([&] {
        if (m_fd < 0) return ERROR_INVALID_HANDLE;
        // What fstat told at the open, less what Read took since.
        const std::uint64_t left = m_size == kUnknownSize ? kUnknownSize : m_size - std::min(m_size, m_taken);
        return ReadToEndOf(m_fd, left, have, limit, resize);
    });
}

std::string OnDiskSpelling(const std::string& folder, const std::string& name) {
    const std::string dir = folder.empty() ? "." : folder;
    struct stat st {};
    if (::lstat((dir + "/" + name).c_str(), &st) == 0) return name;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return name;
    std::string found = name;
    while (dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name.c_str()) == 0) {
            found = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

std::string ResolveNoCase(const std::string& base, const std::string& relative) {
    std::string out = base;
    while (out.size() > 1 && (out.back() == '/' || out.back() == '\\')) out.pop_back();
    bool missing = false;
    std::size_t at = 0;
    while (at <= relative.size()) {
        std::size_t end = relative.find_first_of("/\\", at);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        const std::string spelled = missing ? part : OnDiskSpelling(out, part);
        struct stat st {};
        const std::string next = out.empty() ? spelled : (out == "/" ? "/" + spelled : out + "/" + spelled);
        if (!missing && ::lstat(next.c_str(), &st) != 0) missing = true;
        out = next;
    }
    return out;
}

}  // namespace cert::platform
