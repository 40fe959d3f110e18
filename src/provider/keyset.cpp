// Key sets on disk: the folder of each, the container files in it, its
// lock and its own secret. A container comes into being whole and only
// once: it is written to a work file of an unpredictable name and linked
// to its name, which fails when another process was first.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <mutex>

#include "cert/frame.h"
#include "platform/lockfile.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace store {

std::string EncodeName(const std::string& name) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_' || (c == '.' && !out.empty()))
            out += char(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
bool DecodeName(const std::string& enc, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < enc.size(); ++i) {
        if (enc[i] != '%') {
            name += enc[i];
            continue;
        }
        int high = i + 2 < enc.size() ? cert::platform::HexDigitValue(enc[i + 1]) : -1;
        int low = i + 2 < enc.size() ? cert::platform::HexDigitValue(enc[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        name += char(high * 16 + low);
        i += 2;
    }
    return true;
}

namespace {

// An exclusive lock on the key set for read-modify-write cycles.
class KeySetLock {
public:
    explicit KeySetLock(bool machine) : m_lock(KeySetFolder(machine) + "/.lock") {}
    DWORD Error() const { return m_lock.Error(); }

private:
    cert::platform::LockFile m_lock;
};

bool WriteAll(int fd, gost::ByteView data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

void SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

DWORD Write(const Container& c) {
    IdentObj file = Encode(c);
    std::string path = ContainerPath(c.name, c.machine);
    DWORD rc = cert::platform::WriteFileAtomic(path, file.data(), file.size(), 0600);
    if (rc == ERROR_PATH_NOT_FOUND || rc == ERROR_FILE_NOT_FOUND) {
        // The folder went away since it was made: make it again.
        if (!cert::platform::MakeFolders(path.substr(0, path.rfind('/')), 0700)) return GetLastError();
        rc = cert::platform::WriteFileAtomic(path, file.data(), file.size(), 0600);
    }
    return rc;
}

}  // namespace

// Makes `path` hold `data` unless it exists: 0, NTE_EXISTS, or the error.
// The work file is created exclusively under a random name, never through
// a link, with its final mode, synced, and linked to `path`; link(2) does
// not replace, so of several writers exactly one succeeds and `path`
// never shows a part of the data.
DWORD CreateWhole(const std::string& path, gost::ByteView data) {
    std::string folder = path.substr(0, path.rfind('/'));
    for (int attempt = 0; attempt < 8; ++attempt) {
        gost::Bytes r = gost::RandomBytes(8);
        std::string work = folder + "/.work-" + TOOBin2HexStr(r.data(), r.size());
        int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return cert::platform::ErrnoToWinError(errno);
        bool written = WriteAll(fd, data) && ::fsync(fd) == 0;
        int writeErr = errno;
        ::close(fd);
        if (!written) {
            ::unlink(work.c_str());
            return writeErr == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        }
        int linked = ::link(work.c_str(), path.c_str());
        int linkErr = errno;
        ::unlink(work.c_str());
        if (linked != 0) return linkErr == EEXIST ? NTE_EXISTS : cert::platform::ErrnoToWinError(linkErr);
        SyncFolder(folder);
        return 0;
    }
    return NTE_FAIL;
}

bool ReadWhole(const std::string& path, IdentObj& out, DWORD& err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = cert::platform::ErrnoToWinError(errno);
        return false;
    }
    out.Empty();
    BYTE buf[8192];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            err = cert::platform::ErrnoToWinError(errno);
            ::close(fd);
            return false;
        }
        if (r == 0) break;
        out.AddData(buf, DWORD(r));
    }
    ::close(fd);
    return true;
}

// The secret file, straight into wiping memory: 0 or the open error.
DWORD ReadSecretFile(const std::string& path, Secret& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return cert::platform::ErrnoToWinError(errno);
    Secret s(64);
    std::size_t have = 0;
    while (have < s.size()) {
        ssize_t n = ::read(fd, s.data() + have, s.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += std::size_t(n);
    }
    ::close(fd);
    s.Resize(have);
    out = std::move(s);
    return 0;
}

std::string KeySetFolder(bool machine) {
    // Every key call asks for the folder; work it out once per home.
    static std::mutex mu;
    static std::map<std::string, std::string> known;
    std::string id = (machine ? "m|" : "u|") + cert::platform::CertHome();
    std::lock_guard<std::mutex> lock(mu);
    auto it = known.find(id);
    if (it != known.end()) return it->second;
    char path[MAX_PATH];
    if (!GetCommonPath(machine ? 3 : 2, path, sizeof path, true)) Throw(NTE_BAD_KEYSET);
    std::string f = cert::platform::NativePath(path);
    if (!cert::platform::MakeFolders(f, 0700)) Throw(GetLastError());
    known[id] = f;
    return f;
}

std::string UserProviderFolder() {
    char path[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, path, CSIDL_LOCAL_APPDATA, TRUE))
        Throw(GetLastError() ? GetLastError() : NTE_FAIL);
    return std::string(path) + "/Varnok/Telvar CSP";
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name.find('\0') == std::string::npos;
}

std::string ContainerPath(const std::string& name, bool machine) {
    return KeySetFolder(machine) + "/" + EncodeName(name) + ".key";
}

bool Exists(const std::string& name, bool machine) {
    struct stat st;
    return ::stat(ContainerPath(name, machine).c_str(), &st) == 0;
}

std::string Stamp(const std::string& name, bool machine) {
    struct stat st;
    if (::stat(ContainerPath(name, machine).c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::vector<std::string> List(bool machine) {
    std::vector<std::string> names;
    std::string folder = KeySetFolder(machine);
    DIR* d = ::opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string f = e->d_name;
        // Dot files are the lock, the secret and work files.
        if (f.size() < 5 || f[0] == '.' || f.compare(f.size() - 4, 4, ".key") != 0) continue;
        std::string name;
        if (DecodeName(f.substr(0, f.size() - 4), name)) names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

DWORD Load(const std::string& name, bool machine, Container& out) {
    if (!ValidName(name)) return NTE_BAD_KEYSET;
    IdentObj file;
    DWORD err = 0;
    if (!ReadWhole(ContainerPath(name, machine), file, err))
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? NTE_BAD_KEYSET : err;
    Container c;
    if (DWORD rc = Decode(file, c)) return rc;
    if (c.name != name) return NTE_KEYSET_ENTRY_BAD;
    c.machine = machine;
    out = std::move(c);
    return 0;
}

DWORD Create(const std::string& name, bool machine) {
    if (!ValidName(name)) return NTE_BAD_KEYSET_PARAM;
    KeySetLock lock(machine);
    if (DWORD rc = lock.Error()) return rc;
    Container c;
    c.name = name;
    c.machine = machine;
    GetSystemTimeAsFileTime(&c.created);
    IdentObj file = Encode(c);
    return CreateWhole(ContainerPath(name, machine), gost::View(file));
}

DWORD Remove(const std::string& name, bool machine, bool onlyIfEmpty) {
    if (!ValidName(name)) return NTE_BAD_KEYSET;
    KeySetLock lock(machine);
    if (DWORD rc = lock.Error()) return rc;
    if (onlyIfEmpty) {
        Container c;
        if (Load(name, machine, c) == 0 && !c.keys.empty()) return NTE_EXISTS;
    }
    if (::unlink(ContainerPath(name, machine).c_str()) != 0)
        return errno == ENOENT ? NTE_BAD_KEYSET : cert::platform::ErrnoToWinError(errno);
    return 0;
}

DWORD Update(const std::string& name, bool machine, const std::function<DWORD(Container&)>& change) {
    KeySetLock lock(machine);
    if (DWORD rc = lock.Error()) return rc;
    Container c;
    if (DWORD rc = Load(name, machine, c)) return rc;
    if (DWORD rc = change(c)) return rc;
    return Write(c);
}

Secret KeySetSecret(bool machine) {
    std::string path = KeySetFolder(machine) + "/.secret";
    Secret s;
    DWORD rc = ReadSecretFile(path, s);
    if (rc == ERROR_FILE_NOT_FOUND) {
        // First use: whoever links first makes the secret; the others read it.
        rc = CreateWhole(path, gost::RandomSecret(32).view());
        if (rc != 0 && rc != NTE_EXISTS) Throw(rc);
        rc = ReadSecretFile(path, s);
    }
    if (rc) Throw(rc);
    if (s.size() != 32) Throw(NTE_KEYSET_ENTRY_BAD);
    return s;
}

}  // namespace store
}  // namespace vrk
