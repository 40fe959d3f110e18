// Key sets on disk: the folder of each, the container files in it, its
// lock and its own secret. A container comes into being whole and only
// once: it is written to a work file of an unpredictable name and linked
// to its name, which fails when another process was first.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

#include "cert/frame.h"
#include "platform/files.h"
#include "platform/lockfile.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace store {

std::string EncodeName(const std::string& name) {
    // A leading dot would hide the file among the key set's own.
    return cert::platform::PercentEscape(
        name,
        [](unsigned c, std::size_t at) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                               c == '_' || (c == '.' && at > 0);
            return !plain;
        },
        true);
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

DWORD CreateWhole(const std::string& path, gost::ByteView data) {
    cert::platform::OutputFile out;
    DWORD rc = out.Open(path, 0600, true);
    if (rc == ERROR_SUCCESS) rc = out.Write(data.data(), data.size());
    if (rc == ERROR_SUCCESS) rc = out.Commit();
    return rc == ERROR_FILE_EXISTS ? NTE_EXISTS : rc;
}

DWORD ReadWhole(const std::string& path, std::string& out) {
    return cert::platform::ReadWholeFile(path, out, kMaxStoreFile);
}

DWORD ReadSecretFile(const std::string& path, Secret& out) {
    cert::platform::FileReader in;
    if (DWORD rc = in.Open(path, false)) return rc;
    Secret s;
    std::size_t have = 0;
    if (DWORD rc = in.ReadToEnd(have, kKeySetSecretSize, [&](std::size_t n) {
            s.Resize(n);
            return s.data();
        }))
        return rc;
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
    // The reason the home cannot hold it (not a folder, no access) is what
    // the caller must hear, not "no such container".
    if (!GetCommonPath(machine ? 3 : 2, path, sizeof path, true))
        Throw(GetLastError() ? GetLastError() : NTE_BAD_KEYSET);
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
    // An unreadable key set is not an empty one.
    if (!d) Throw(cert::platform::ErrnoToWinError(errno));
    while (dirent* e = ::readdir(d)) {
        std::string f = e->d_name;
        // Dot files are the lock, the secret and work files.
        if (f.size() < 5 || f[0] == '.' || f.compare(f.size() - 4, 4, ".key") != 0) continue;
        // Only the names EncodeName makes: another spelling of a name would
        // list a container that opens a different file.
        const std::string stem = f.substr(0, f.size() - 4);
        std::string name;
        if (cert::platform::PercentUnescape(stem, name) && EncodeName(name) == stem) names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

DWORD Load(const std::string& name, bool machine, Container& out) {
    if (!ValidName(name)) return NTE_BAD_KEYSET;
    std::string file;
    if (DWORD err = ReadWhole(ContainerPath(name, machine), file))
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? NTE_BAD_KEYSET : err;
    Container c;
    if (DWORD rc = Decode(gost::View(file), c)) return rc;
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
        rc = CreateWhole(path, gost::RandomSecret(kKeySetSecretSize).view());
        if (rc != 0 && rc != NTE_EXISTS) Throw(rc);
        rc = ReadSecretFile(path, s);
    }
    if (rc == ERROR_FILE_TOO_LARGE || (rc == 0 && s.size() != kKeySetSecretSize)) Throw(NTE_KEYSET_ENTRY_BAD);
    if (rc) Throw(rc);
    return s;
}

}  // namespace store
}  // namespace vrk
