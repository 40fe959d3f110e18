// Registry emulation: each hive is a text file that every process reads
// again when it changed and rewrites whole (work copy + rename) under an
// exclusive lock on a companion lock file.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cert/sysapi.h"
#include "platform/lockfile.h"
#include "platform/files.h"

namespace {

constexpr int kMachine = 0;
constexpr int kUser = 1;
constexpr const char* kHeader = "cert-registry 1";
// A hive holds settings: a larger file is not one of ours.
constexpr std::size_t kMaxHiveFile = 64u << 20;

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

struct Key {
    std::string path;  // as created, components joined by "\"
    std::vector<Value> values;
};

struct Hive {
    std::string file;
    bool loaded = false;
    struct stat seen {};
    std::map<std::string, Key> keys;  // lower-case path -> key; "" is the root
};

struct OpenKey {
    int hive;
    std::string lower;
    REGSAM sam;
};

std::mutex g_mutex;
Hive g_hives[2];
std::map<std::uint32_t, OpenKey> g_handles;
std::uint32_t g_nextHandle = 0x1000;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Drops empty components so "A\\B\" and "A\B" name the same key.
std::string CleanPath(const char* p) {
    std::string out;
    if (!p) return out;
    std::string part;
    for (const char* c = p;; ++c) {
        if (*c == '\\' || *c == 0) {
            if (!part.empty()) {
                if (!out.empty()) out += '\\';
                out += part;
                part.clear();
            }
            if (*c == 0) break;
        } else {
            part += *c;
        }
    }
    return out;
}

std::string Join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + "\\" + b;
}

// --- text form -------------------------------------------------------------

bool Special(unsigned c) { return c < 0x20 || c == 0x7F || c == '%' || c == '"' || c == ']'; }

std::string Escape(const std::string& s) {
    return cert::platform::PercentEscape(s, [](unsigned c, std::size_t) { return Special(c); });
}

using cert::platform::HexDigitValue;
using cert::platform::PercentUnescape;

bool HexBytes(std::string_view s, std::string& out) {
    out.clear();
    if (s.size() % 2) return false;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        int h = HexDigitValue(s[i]), l = HexDigitValue(s[i + 1]);
        if (h < 0 || l < 0) return false;
        out += static_cast<char>(h * 16 + l);
    }
    return true;
}

std::string Serialize(const Hive& h) {
    static const char* hex = "0123456789abcdef";
    std::string out = std::string(kHeader) + "\n";
    for (const auto& [lower, key] : h.keys) {
        if (!lower.empty() || !key.values.empty()) out += "[" + Escape(key.path) + "]\n";
        for (const Value& v : key.values) {
            out += v.name.empty() ? std::string("@") : "\"" + Escape(v.name) + "\"";
            out += '=';
            const bool text =
                (v.type == REG_SZ) && !v.data.empty() && v.data.back() == 0 && v.data.find('\0') == v.data.size() - 1;
            if (v.type == REG_DWORD && v.data.size() == 4) {
                DWORD d;
                std::memcpy(&d, v.data.data(), 4);
                out += "dword:" + std::to_string(d);
            } else if (text) {
                out += "\"" + Escape(v.data.substr(0, v.data.size() - 1)) + "\"";
            } else {
                out += "hex(" + std::to_string(v.type) + "):";
                for (unsigned char c : v.data) {
                    out += hex[c >> 4];
                    out += hex[c & 15];
                }
            }
            out += '\n';
        }
    }
    return out;
}

// Lines that do not parse are skipped: a damaged line costs that value only.
void Parse(const std::string& text, Hive& h) {
    h.keys.clear();
    h.keys[""] = Key{};
    Key* cur = &h.keys[""];
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string_view line(text.data() + pos, nl - pos);
        pos = nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#' || line[0] == ';' || line == kHeader) continue;
        if (line.front() == '[' && line.back() == ']') {
            std::string raw;
            if (!PercentUnescape(line.substr(1, line.size() - 2), raw)) continue;
            std::string path = CleanPath(raw.c_str());
            // Parents exist implicitly; give them entries so they enumerate.
            std::string lower = Lower(path);
            for (std::size_t i = 0; i <= path.size(); ++i) {
                if (i == path.size() || path[i] == '\\') {
                    auto& k = h.keys[lower.substr(0, i)];
                    if (k.path.empty()) k.path = path.substr(0, i);
                }
            }
            cur = &h.keys[lower];
            continue;
        }
        Value v;
        std::size_t eq;
        if (line[0] == '@') {
            eq = 1;
        } else if (line[0] == '"') {
            std::size_t close = line.find('"', 1);
            if (close == std::string_view::npos || !PercentUnescape(line.substr(1, close - 1), v.name)) continue;
            eq = close + 1;
        } else {
            continue;
        }
        if (eq >= line.size() || line[eq] != '=') continue;
        std::string_view rest = line.substr(eq + 1);
        bool ok = false;
        if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
            v.type = REG_SZ;
            ok = PercentUnescape(rest.substr(1, rest.size() - 2), v.data);
            v.data += '\0';
        } else if (rest.rfind("dword:", 0) == 0) {
            std::string num(rest.substr(6));
            char* end = nullptr;
            errno = 0;
            unsigned long d = std::strtoul(num.c_str(), &end, 0);
            if (!num.empty() && *end == 0 && errno == 0 && d <= 0xFFFFFFFFul) {
                DWORD dw = static_cast<DWORD>(d);
                v.type = REG_DWORD;
                v.data.assign(reinterpret_cast<const char*>(&dw), 4);
                ok = true;
            }
        } else if (rest.rfind("hex(", 0) == 0) {
            std::size_t close = rest.find("):");
            if (close != std::string_view::npos) {
                std::string num(rest.substr(4, close - 4));
                char* end = nullptr;
                unsigned long t = std::strtoul(num.c_str(), &end, 10);
                if (!num.empty() && *end == 0) {
                    v.type = static_cast<DWORD>(t);
                    ok = HexBytes(rest.substr(close + 2), v.data);
                }
            }
        }
        if (!ok) continue;
        auto same = std::find_if(cur->values.begin(), cur->values.end(),
                                 [&](const Value& x) { return Lower(x.name) == Lower(v.name); });
        if (same != cur->values.end())
            *same = std::move(v);
        else
            cur->values.push_back(std::move(v));
    }
}

// --- hives -----------------------------------------------------------------

std::string HiveFile(int hive) {
    return cert::platform::CertHome() + (hive == kMachine ? "/common" : "/local") + "/registry.txt";
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Brings the cached hive up to date with its file. The file is only ever
// replaced whole, so reading it through one descriptor needs no lock.
LONG Refresh(int hive) {
    Hive& h = g_hives[hive];
    std::string file = HiveFile(hive);
    if (file != h.file) {
        h = Hive{};
        h.file = file;
    }
    // Non-blocking: a FIFO in the hive's place must not hang every registry
    // call (only a regular file is read).
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) return static_cast<LONG>(cert::platform::ErrnoToWinError(errno));
        h.keys.clear();
        h.keys[""] = Key{};
        h.loaded = true;
        h.seen = {};
        return ERROR_SUCCESS;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return static_cast<LONG>(cert::platform::ErrnoToWinError(e));
    }
    if (h.loaded && SameFile(st, h.seen)) {
        ::close(fd);
        return ERROR_SUCCESS;
    }
    std::string text;
    DWORD e = S_ISREG(st.st_mode)
                  ? cert::platform::ReadAllFromFd(fd, text, kMaxHiveFile, static_cast<std::size_t>(st.st_size))
                  : ERROR_INVALID_DATA;
    ::close(fd);
    if (e != ERROR_SUCCESS) return static_cast<LONG>(e);
    Parse(text, h);
    h.seen = st;
    h.loaded = true;
    return ERROR_SUCCESS;
}

// Holds the hive's inter-process write lock for a read-modify-write.
class WriteLock {
public:
    explicit WriteLock(int hive) : m_file(HiveFile(hive)) {
        std::string dir = m_file.substr(0, m_file.rfind('/'));
        if (!cert::platform::MakeFolders(dir)) {
            m_error = static_cast<LONG>(GetLastError());
            return;
        }
        m_lock.emplace(m_file + ".lock", 0644);
        m_error = static_cast<LONG>(m_lock->Error());
    }
    LONG Error() const { return m_error; }

private:
    std::string m_file;
    std::optional<cert::platform::LockFile> m_lock;
    LONG m_error = ERROR_SUCCESS;
};

LONG Save(int hive) {
    Hive& h = g_hives[hive];
    std::string text = Serialize(h);
    DWORD saved = GetLastError();
    DWORD e = cert::platform::WriteFileAtomic(h.file, text.data(), text.size());
    SetLastError(saved);
    if (e != ERROR_SUCCESS) {
        h.loaded = false;  // the cache holds the failed change: read the file again
        return static_cast<LONG>(e);
    }
    struct stat st {};
    if (::stat(h.file.c_str(), &st) == 0)
        h.seen = st;
    else
        h.loaded = false;
    return ERROR_SUCCESS;
}

struct Target {
    int hive = -1;
    std::string path;  // as given
    std::string lower;
    REGSAM sam = KEY_ALL_ACCESS;
};

// Resolves key + subkey to a hive and path; the key must still exist.
LONG Resolve(HKEY key, const char* subKey, Target& t) {
    auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    std::string base, baseLower;
    if (key == HKEY_LOCAL_MACHINE) {
        t.hive = kMachine;
    } else if (key == HKEY_CURRENT_USER) {
        t.hive = kUser;
    } else {
        auto it = g_handles.find(id);
        if (it == g_handles.end()) return ERROR_INVALID_HANDLE;
        t.hive = it->second.hive;
        t.sam = it->second.sam;
        baseLower = it->second.lower;
    }
    if (LONG e = Refresh(t.hive); e != ERROR_SUCCESS) return e;
    const Hive& h = g_hives[t.hive];
    auto bk = h.keys.find(baseLower);
    if (bk == h.keys.end()) return ERROR_KEY_DELETED;
    std::string sub = CleanPath(subKey);
    t.path = Join(bk->second.path, sub);
    t.lower = Join(baseLower, Lower(sub));
    return ERROR_SUCCESS;
}

HKEY NewHandle(int hive, const std::string& lower, REGSAM sam) {
    while (g_handles.count(g_nextHandle) || g_nextHandle < 0x1000 || g_nextHandle >= 0x80000000u) {
        g_nextHandle += 4;
        if (g_nextHandle >= 0x80000000u) g_nextHandle = 0x1000;
    }
    std::uint32_t id = g_nextHandle;
    g_nextHandle += 4;
    g_handles[id] = OpenKey{hive, lower, sam};
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(id));
}

// Direct children of `lower`, in map (case-insensitive name) order.
std::vector<const Key*> Children(const Hive& h, const std::string& lower) {
    std::vector<const Key*> out;
    std::string prefix = lower.empty() ? std::string() : lower + "\\";
    for (auto it = h.keys.lower_bound(prefix); it != h.keys.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        if (it->first.size() == prefix.size()) continue;  // the root itself
        if (it->first.find('\\', prefix.size()) != std::string::npos) continue;
        out.push_back(&it->second);
    }
    return out;
}

std::string LastPart(const std::string& path) {
    std::size_t p = path.rfind('\\');
    return p == std::string::npos ? path : path.substr(p + 1);
}

Value* FindValue(Key& k, const char* name) {
    std::string n = Lower(name ? name : "");
    for (Value& v : k.values)
        if (Lower(v.name) == n) return &v;
    return nullptr;
}

LONG CopyOut(const std::string& data, LPBYTE out, LPDWORD size) {
    if (!size) return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD need = static_cast<DWORD>(data.size());
    if (out && *size < need) {
        *size = need;
        return ERROR_MORE_DATA;
    }
    if (out) std::memcpy(out, data.data(), need);
    *size = need;
    return ERROR_SUCCESS;
}

LONG CopyName(const std::string& name, LPSTR out, LPDWORD length) {
    if (!out || !length) return ERROR_INVALID_PARAMETER;
    if (*length < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(out, name.c_str(), name.size() + 1);
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// The code of an exception that ended a registry call. The cached hive may
// hold a change that never reached its file: both are read again.
LONG ExceptionCode() noexcept {
    const DWORD e = cert::platform::WinErrorOfCurrentException();
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (Hive& h : g_hives) h.loaded = false;
    } catch (...) {
    }
    return static_cast<LONG>(e);
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM sam, PHKEY result) try {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, subKey, t); e != ERROR_SUCCESS) return e;
    if (!g_hives[t.hive].keys.count(t.lower)) return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(t.hive, t.lower, sam);
    return ERROR_SUCCESS;
} catch (...) {
    return ExceptionCode();
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM sam, void*, PHKEY result,
                     LPDWORD disposition) try {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, subKey, t); e != ERROR_SUCCESS) return e;
    Hive& h = g_hives[t.hive];
    if (!h.keys.count(t.lower)) {
        if (!(t.sam & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        WriteLock wl(t.hive);
        if (wl.Error() != ERROR_SUCCESS) return wl.Error();
        if (LONG e = Refresh(t.hive); e != ERROR_SUCCESS) return e;
        if (!h.keys.count(t.lower)) {
            for (std::size_t i = 0; i <= t.path.size(); ++i) {
                if (i == t.path.size() || t.path[i] == '\\') {
                    Key& k = h.keys[t.lower.substr(0, i)];
                    if (k.path.empty()) k.path = t.path.substr(0, i);
                }
            }
            if (LONG e = Save(t.hive); e != ERROR_SUCCESS) return e;
            if (disposition) *disposition = REG_CREATED_NEW_KEY;
            *result = NewHandle(t.hive, t.lower, sam);
            return ERROR_SUCCESS;
        }
    }
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *result = NewHandle(t.hive, t.lower, sam);
    return ERROR_SUCCESS;
} catch (...) {
    return ExceptionCode();
}

LONG RegCloseKey(HKEY key) try {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    return g_handles.erase(id) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
} catch (...) {
    return ExceptionCode();
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) try {
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, nullptr, t); e != ERROR_SUCCESS) return e;
    Value* v = FindValue(g_hives[t.hive].keys[t.lower], valueName);
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    return CopyOut(v->data, data, dataSize);
} catch (...) {
    return ExceptionCode();
}

namespace {
// Runs `change` on the key under the write lock against the current file
// and saves; `change` returns ERROR_SUCCESS to have the hive written.
template <class F>
LONG ChangeKey(HKEY key, LPCSTR subKey, REGSAM need, F change) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, subKey, t); e != ERROR_SUCCESS) return e;
    if ((t.sam & need) != need) return ERROR_ACCESS_DENIED;
    WriteLock wl(t.hive);
    if (wl.Error() != ERROR_SUCCESS) return wl.Error();
    if (LONG e = Refresh(t.hive); e != ERROR_SUCCESS) return e;
    Hive& h = g_hives[t.hive];
    if (LONG e = change(h, t); e != ERROR_SUCCESS) return e;
    return Save(t.hive);
}
}  // namespace

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) try {
    if (!data && dataSize) return ERROR_INVALID_PARAMETER;
    return ChangeKey(key, nullptr, KEY_SET_VALUE, [&](Hive& h, const Target& t) -> LONG {
        auto k = h.keys.find(t.lower);
        if (k == h.keys.end()) return ERROR_KEY_DELETED;
        Value nv{valueName ? valueName : "", type, std::string(reinterpret_cast<const char*>(data), dataSize)};
        if (Value* v = FindValue(k->second, valueName))
            *v = std::move(nv);
        else
            k->second.values.push_back(std::move(nv));
        return ERROR_SUCCESS;
    });
} catch (...) {
    return ExceptionCode();
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) try {
    return ChangeKey(key, nullptr, KEY_SET_VALUE, [&](Hive& h, const Target& t) -> LONG {
        auto k = h.keys.find(t.lower);
        if (k == h.keys.end()) return ERROR_KEY_DELETED;
        Value* v = FindValue(k->second, valueName);
        if (!v) return ERROR_FILE_NOT_FOUND;
        k->second.values.erase(k->second.values.begin() + (v - k->second.values.data()));
        return ERROR_SUCCESS;
    });
} catch (...) {
    return ExceptionCode();
}

namespace {
LONG DeleteKey(HKEY key, LPCSTR subKey, bool tree) {
    const bool self = CleanPath(subKey).empty();
    return ChangeKey(key, subKey, 0, [&](Hive& h, const Target& t) -> LONG {
        auto k = h.keys.find(t.lower);
        if (k == h.keys.end()) return ERROR_FILE_NOT_FOUND;
        if (!tree && !Children(h, t.lower).empty()) return ERROR_ACCESS_DENIED;
        const std::string prefix = t.lower.empty() ? std::string() : t.lower + "\\";
        for (auto it = h.keys.lower_bound(prefix);
             it != h.keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
            if (it->first.size() > prefix.size())
                it = h.keys.erase(it);
            else
                ++it;
        }
        // A tree removal without a subkey keeps the key itself, as does the root.
        if ((tree && self) || t.lower.empty())
            h.keys[t.lower].values.clear();
        else
            h.keys.erase(t.lower);
        return ERROR_SUCCESS;
    });
}
}  // namespace

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) try { return DeleteKey(key, subKey, false); } catch (...) {
    return ExceptionCode();
}

LONG RegDeleteTreeA(HKEY key, LPCSTR subKey) try { return DeleteKey(key, subKey, true); } catch (...) {
    return ExceptionCode();
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR keyClass, LPDWORD classLength,
                   FILETIME* lastWriteTime) try {
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, nullptr, t); e != ERROR_SUCCESS) return e;
    auto children = Children(g_hives[t.hive], t.lower);
    if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
    if (LONG e = CopyName(LastPart(children[index]->path), name, nameLength); e != ERROR_SUCCESS) return e;
    if (keyClass && classLength && *classLength) keyClass[0] = 0;
    if (classLength) *classLength = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
} catch (...) {
    return ExceptionCode();
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) try {
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, nullptr, t); e != ERROR_SUCCESS) return e;
    const Key& k = g_hives[t.hive].keys[t.lower];
    if (index >= k.values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = k.values[index];
    if (LONG e = CopyName(v.name, valueName, valueNameLength); e != ERROR_SUCCESS) return e;
    if (type) *type = v.type;
    return CopyOut(v.data, data, dataSize);
} catch (...) {
    return ExceptionCode();
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLength,
                      LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                      LPDWORD securityDescriptor, FILETIME* lastWriteTime) try {
    std::lock_guard<std::mutex> lock(g_mutex);
    Target t;
    if (LONG e = Resolve(key, nullptr, t); e != ERROR_SUCCESS) return e;
    const Hive& h = g_hives[t.hive];
    auto children = Children(h, t.lower);
    const Key& k = h.keys.at(t.lower);
    DWORD maxSub = 0, maxName = 0, maxData = 0;
    for (const Key* c : children) maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(LastPart(c->path).size()));
    for (const Value& v : k.values) {
        maxName = std::max<DWORD>(maxName, static_cast<DWORD>(v.name.size()));
        maxData = std::max<DWORD>(maxData, static_cast<DWORD>(v.data.size()));
    }
    if (keyClass && classLength && *classLength) keyClass[0] = 0;
    if (classLength) *classLength = 0;
    if (subKeys) *subKeys = static_cast<DWORD>(children.size());
    if (maxSubKeyLength) *maxSubKeyLength = maxSub;
    if (maxClassLength) *maxClassLength = 0;
    if (values) *values = static_cast<DWORD>(k.values.size());
    if (maxValueNameLength) *maxValueNameLength = maxName;
    if (maxValueLength) *maxValueLength = maxData;
    if (securityDescriptor) *securityDescriptor = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
} catch (...) {
    return ExceptionCode();
}

namespace cert::platform {

std::string RegistryFile(HKEY hive) {
    if (hive == HKEY_LOCAL_MACHINE) return HiveFile(kMachine);
    if (hive == HKEY_CURRENT_USER) return HiveFile(kUser);
    return {};
}

namespace {
bool GetRaw(HKEY hive, const std::string& keyPath, const std::string& name, DWORD wantType, std::string& out) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(hive, keyPath.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExA(k, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == wantType;
    if (ok) {
        out.assign(size, '\0');
        ok = RegQueryValueExA(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(out.data()), &size) ==
                 ERROR_SUCCESS &&
             type == wantType;
        out.resize(size);
    }
    RegCloseKey(k);
    return ok;
}

LONG SetRaw(HKEY hive, const std::string& keyPath, const std::string& name, DWORD type, const void* p, DWORD n) {
    HKEY k = nullptr;
    LONG e = RegCreateKeyExA(hive, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
    if (e != ERROR_SUCCESS) return e;
    e = RegSetValueExA(k, name.c_str(), 0, type, static_cast<const BYTE*>(p), n);
    RegCloseKey(k);
    return e;
}
}  // namespace

bool Registry::GetString(HKEY hive, const std::string& keyPath, const std::string& name, std::string& value) try {
    std::string raw;
    if (!GetRaw(hive, keyPath, name, REG_SZ, raw)) return false;
    std::size_t nul = raw.find('\0');
    if (nul != std::string::npos) raw.resize(nul);
    value = raw;
    return true;
} catch (...) {
    return false;
}

bool Registry::GetDword(HKEY hive, const std::string& keyPath, const std::string& name, DWORD& value) try {
    std::string raw;
    if (!GetRaw(hive, keyPath, name, REG_DWORD, raw) || raw.size() != 4) return false;
    std::memcpy(&value, raw.data(), 4);
    return true;
} catch (...) {
    return false;
}

LONG Registry::SetString(HKEY hive, const std::string& keyPath, const std::string& name, const std::string& value) try {
    return SetRaw(hive, keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
} catch (...) {
    return ExceptionCode();
}

LONG Registry::SetDword(HKEY hive, const std::string& keyPath, const std::string& name, DWORD value) try {
    return SetRaw(hive, keyPath, name, REG_DWORD, &value, 4);
} catch (...) {
    return ExceptionCode();
}

}  // namespace cert::platform
