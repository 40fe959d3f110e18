#include "cert/ipc.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <unistd.h>

namespace IPC {

namespace {

constexpr const char* kPlace = "IPC::CReadWriteLock";

std::uint64_t Fnv1a64(const std::string& s) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

[[noreturn]] void ThrowErrno(int err) {
    throw XTOOStatus(WinErr2ToolsErr(cert::platform::ErrnoToWinError(err)), kPlace);
}

}  // namespace

std::string LockFilePath(const char* name) try {
    const std::string n = name ? name : "";
    std::string file = cert::platform::PercentEscape(n, [](unsigned c, std::size_t) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        return !plain;
    });
    // Cut to a length every file system takes, never inside an escape; the
    // hash keeps names that share the first part apart.
    std::size_t cut = std::min<std::size_t>(file.size(), 64);
    if (cut >= 1 && file[cut - 1] == '%')
        cut -= 1;
    else if (cut >= 2 && file[cut - 2] == '%')
        cut -= 2;
    file.resize(cut);
    char hash[24];
    std::snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(Fnv1a64(n)));
    return cert::platform::CertHome() + "/common/locks/" + file + hash + ".lock";
} catch (...) {
    TOORethrowAsStatus(kPlace);
}

int FileLock(int fd, int type, bool wait) {
    struct flock fl {};
    fl.l_type = static_cast<short>(type);
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// One per lock name and process (or per unnamed lock object). The thread side
// is a recursive reader/writer lock; the process side is one OFD lock held on
// behalf of every thread of this process that holds the lock.
struct CReadWriteLock::State {
    std::string path;  // empty: threads only

    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    int writeDepth = 0;
    int ownerReads = 0;  // shared requests nested inside the exclusive hold
    std::unordered_map<std::thread::id, int> readers;
    int writersWaiting = 0;
    bool upgrading = false;

    // Taken after `m` when both are needed, never the other way round.
    std::mutex fdMutex;
    int fd = -1;
    pid_t fdPid = 0;
    int procReaders = 0;
    bool readOnlyFd = false;

    ~State() {
        if (fd >= 0) ::close(fd);
    }

    // Under fdMutex. A child of fork() must not use the parent's descriptor:
    // it would share the parent's open file description and so its locks.
    int OpenFd() {
        if (fd >= 0 && fdPid == ::getpid()) return 0;
        if (fd >= 0) ::close(fd);
        fd = -1;
        std::string dir = path.substr(0, path.rfind('/'));
        if (!cert::platform::MakeFolders(dir, 0755)) return errno ? errno : EACCES;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        readOnlyFd = false;
        // A lock file that only lets us read still carries the shared side;
        // the exclusive side then is access denied.
        if (fd < 0 && errno == EACCES) {
            fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            readOnlyFd = fd >= 0;
            if (fd < 0) errno = EACCES;
        }
        if (fd < 0) return errno;
        fdPid = ::getpid();
        return 0;
    }

    void AcquireShared() {
        std::lock_guard<std::mutex> g(fdMutex);
        if (procReaders == 0) {
            int err = OpenFd();
            if (err == 0) err = FileLock(fd, F_RDLCK);
            if (err != 0) ThrowErrno(err);
        }
        ++procReaders;
    }
    void ReleaseShared() {
        std::lock_guard<std::mutex> g(fdMutex);
        if (procReaders > 0 && --procReaders == 0) FileLock(fd, F_UNLCK);
    }
    void AcquireExclusive() {
        std::lock_guard<std::mutex> g(fdMutex);
        int err = OpenFd();
        if (err == 0) err = readOnlyFd ? EACCES : FileLock(fd, F_WRLCK);
        if (err != 0) ThrowErrno(err);
    }
    // Going back from exclusive to nothing, or to shared after an upgrade
    // (a downgrade never waits).
    void ReleaseExclusive(bool stillReader) {
        std::lock_guard<std::mutex> g(fdMutex);
        FileLock(fd, stillReader ? F_RDLCK : F_UNLCK);
        procReaders = stillReader ? 1 : 0;
    }
};

namespace {

std::mutex& RegistryMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::map<std::string, std::weak_ptr<CReadWriteLock::State>>& Registry() {
    static auto* r = new std::map<std::string, std::weak_ptr<CReadWriteLock::State>>;
    return *r;
}

}  // namespace

CReadWriteLock::CReadWriteLock(const char* name) try : m_name(name ? name : "") {
    if (m_name.empty()) {
        m_state = std::make_shared<State>();
        return;
    }
    std::string path = LockFilePath(m_name.c_str());
    std::lock_guard<std::mutex> g(RegistryMutex());
    auto& reg = Registry();
    auto it = reg.find(path);
    if (it != reg.end()) m_state = it->second.lock();
    if (!m_state) {
        m_state = std::make_shared<State>();
        m_state->path = path;
        reg[path] = m_state;
    }
} catch (...) {
    TOORethrowAsStatus(kPlace);
}

CReadWriteLock::~CReadWriteLock() {
    if (m_state && !m_state->path.empty()) {
        std::lock_guard<std::mutex> g(RegistryMutex());
        auto& reg = Registry();
        auto it = reg.find(m_state->path);
        m_state.reset();
        if (it != reg.end() && it->second.expired()) reg.erase(it);
    }
}

void CReadWriteLock::LockRead() try {
    State& s = *m_state;
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.owner == me) {
        ++s.ownerReads;
        return;
    }
    if (auto it = s.readers.find(me); it != s.readers.end()) {
        ++it->second;
        return;
    }
    s.cv.wait(lk, [&] { return s.owner == std::thread::id() && s.writersWaiting == 0; });
    s.readers[me] = 1;
    if (s.path.empty()) return;
    lk.unlock();
    try {
        s.AcquireShared();
    } catch (...) {
        lk.lock();
        s.readers.erase(me);
        s.cv.notify_all();
        throw;
    }
} catch (...) {
    TOORethrowAsStatus(kPlace);
}

void CReadWriteLock::UnlockRead() {
    State& s = *m_state;
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.owner == me && s.ownerReads > 0) {
        --s.ownerReads;
        return;
    }
    auto it = s.readers.find(me);
    if (it == s.readers.end()) return;
    if (--it->second > 0) return;
    // The process side goes before the thread side so that a writer of this
    // process that gets in next finds the OFD lock already given back.
    if (s.owner != me && !s.path.empty()) {
        lk.unlock();
        s.ReleaseShared();
        lk.lock();
    }
    s.readers.erase(me);
    s.cv.notify_all();
}

void CReadWriteLock::LockWrite() try {
    State& s = *m_state;
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.owner == me) {
        ++s.writeDepth;
        return;
    }
    const bool upgrade = s.readers.count(me) != 0;
    if (upgrade) {
        if (s.upgrading) throw XTOOStatus(TOOERR_LOCKED, kPlace);
        s.upgrading = true;
    }
    ++s.writersWaiting;
    const std::size_t others = upgrade ? 1 : 0;
    s.cv.wait(lk, [&] { return s.owner == std::thread::id() && s.readers.size() == others; });
    --s.writersWaiting;
    if (upgrade) s.upgrading = false;
    s.owner = me;
    s.writeDepth = 1;
    s.ownerReads = 0;
    if (s.path.empty()) return;
    lk.unlock();
    try {
        s.AcquireExclusive();
    } catch (...) {
        lk.lock();
        s.owner = std::thread::id();
        s.writeDepth = 0;
        s.cv.notify_all();
        throw;
    }
} catch (...) {
    TOORethrowAsStatus(kPlace);
}

void CReadWriteLock::UnlockWrite() {
    State& s = *m_state;
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.owner != me) return;
    if (--s.writeDepth > 0) return;
    // Shared requests still open (released out of order) become plain reads.
    // An unlock must not throw (lockers call it from their destructors):
    // without memory for the entry they are dropped, and their later
    // unlocks find nothing to release.
    if (s.ownerReads > 0) {
        try {
            s.readers[me] += s.ownerReads;
        } catch (...) {
        }
    }
    s.ownerReads = 0;
    const bool stillReader = s.readers.count(me) != 0;
    if (!s.path.empty()) s.ReleaseExclusive(stillReader);
    s.owner = std::thread::id();
    s.cv.notify_all();
}

}  // namespace IPC
