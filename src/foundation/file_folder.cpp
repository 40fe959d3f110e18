// Folder enumeration, folder helpers, file-name parts, temporary folders.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cert/toofile.h"
#include "file_internal.h"

using cert::platform::NativePath;

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(const std::string& s) {
    std::string o(s);
    for (char& c : o) c = Fold(c);
    return o;
}

}  // namespace

bool CTOOFindFile::MatchMask(const char* name, const char* mask) {
    if (!name || !mask) return false;
    if (std::string_view(mask) == "*.*") mask = "*";
    // Greedy match with one back-track point: the last '*' seen.
    const char *n = name, *m = mask, *starM = nullptr, *starN = nullptr;
    while (*n) {
        if (*m == '*') {
            starM = ++m;
            starN = n;
        } else if (*m == '?' || (*m && Fold(*m) == Fold(*n))) {
            ++m;
            ++n;
        } else if (starM) {
            m = starM;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (*m == '*') ++m;
    return *m == 0;
}

bool CTOOFindFile::Get(const char* pathMask) try {
    std::string p = NativePath(pathMask ? pathMask : "");
    std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return Get(".", p.empty() ? "*" : p.c_str());
    std::string mask = p.substr(slash + 1);
    return Get(slash == 0 ? "/" : p.substr(0, slash).c_str(), mask.empty() ? "*" : mask.c_str());
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFindFile::Get(const char* folder, const char* mask) try {
    m_entries.clear();
    m_index = 0;
    m_folder = NativePath(folder && *folder ? folder : ".");
    while (m_folder.size() > 1 && m_folder.back() == '/') m_folder.pop_back();
    DIR* dir = ::opendir(m_folder.c_str());
    if (!dir) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : cert::platform::ErrnoToWinError(errno));
        return false;
    }
    const char* want = mask && *mask ? mask : "*";
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || !MatchMask(name.c_str(), want)) continue;
        struct stat st {};
        const std::string full = m_folder + "/" + name;
        if (::stat(full.c_str(), &st) != 0 && ::lstat(full.c_str(), &st) != 0) continue;  // vanished meanwhile
        m_entries.push_back(
            Entry{name, cert::foundation::AttributesOf(st, name),
                  S_ISDIR(st.st_mode) ? 0 : static_cast<ULONGLONG>(st.st_size),
                  cert::platform::UnixToFileTime(st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec))});
    }
    ::closedir(dir);
    std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) {
        std::string fa = Folded(a.name), fb = Folded(b.name);
        return fa != fb ? fa < fb : a.name < b.name;
    });
    if (m_entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFindFile::GetLast() {
    if (m_index < m_entries.size()) ++m_index;
    if (m_index >= m_entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    return true;
}

const char* CTOOFindFile::Name() const { return IsValid() ? m_entries[m_index].name.c_str() : ""; }

CTOOString CTOOFindFile::FullName() const try {
    if (!IsValid()) return CTOOString();
    return CTOOString(m_folder == "/" ? "/" + m_entries[m_index].name : m_folder + "/" + m_entries[m_index].name);
} catch (...) {
    TOORethrowAsStatus("CTOOFindFile::FullName");
}

DWORD CTOOFindFile::Attributes() const { return IsValid() ? m_entries[m_index].attributes : 0; }

ULONGLONG CTOOFindFile::Size() const { return IsValid() ? m_entries[m_index].size : 0; }

FILETIME CTOOFindFile::LastWriteTime() const { return IsValid() ? m_entries[m_index].writeTime : FILETIME{0, 0}; }

// --- folders -----------------------------------------------------------------

bool CTOOFolder::MakeFolder(const char* path) try {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string p = NativePath(path);
    if (::mkdir(p.c_str(), 0755) != 0) {
        int err = errno;
        struct stat st {};
        if (err == EEXIST && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_SUCCESS);
            return true;
        }
        SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : cert::platform::ErrnoToWinError(err));
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFolder::Create(const char* path) try {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return cert::platform::MakeFolders(NativePath(path));
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFolder::IsExists(const char* path) try {
    if (!path || !*path) return false;
    struct stat st {};
    return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

bool CTOOFolder::UnLink(const char* path, bool recursive) try {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string p = NativePath(path);
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : cert::platform::ErrnoToWinError(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    if (recursive) {
        std::error_code ec;
        std::filesystem::remove_all(p, ec);  // does not follow links inside
        if (ec) {
            cert::platform::SetLastErrorFromErrno(ec.value());
            return false;
        }
    } else if (::rmdir(p.c_str()) != 0) {
        cert::platform::SetLastErrorFromErrno();
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
} catch (...) {
    return cert::platform::ExceptionToLastError(false);
}

CTOOString CTOOFolder::UniqueFileName(const char* folder, const char* prefix, const char* extension) try {
    static std::atomic<unsigned> counter{0};
    std::string dir = NativePath(folder && *folder ? folder : ".");
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string ext = extension ? extension : "";
    if (!ext.empty() && ext[0] != '.') ext = "." + ext;
    std::mt19937 rng(std::random_device{}() ^ (static_cast<unsigned>(::getpid()) << 16) ^ counter++);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char num[16];
        std::snprintf(num, sizeof num, "%08X", static_cast<unsigned>(rng()));
        std::string full = (dir == "/" ? "" : dir) + "/" + (prefix ? prefix : "") + num + ext;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0 && errno == ENOENT) return CTOOString(full);
    }
    SetLastError(ERROR_FILE_EXISTS);
    return CTOOString();
} catch (...) {
    return cert::platform::ExceptionToLastError(CTOOString());
}

// --- names -------------------------------------------------------------------

namespace TOO {

namespace {
std::size_t NameStart(const std::string& p) {
    std::size_t s = p.find_last_of("/\\");
    return s == std::string::npos ? 0 : s + 1;
}

// Position of the extension's dot within `name`, npos without one (a
// leading dot starts a name, not an extension).
std::size_t ExtDot(const std::string& name) {
    std::size_t d = name.rfind('.');
    return (d == std::string::npos || d == 0) ? std::string::npos : d;
}
}  // namespace

CTOOString FILENAME::ExtractFileName(const char* path) try {
    std::string p = path ? path : "";
    return CTOOString(p.substr(NameStart(p)));
} catch (...) {
    TOORethrowAsStatus("TOO::FILENAME::ExtractFileName");
}

CTOOString FILENAME::ExtractFilePath(const char* path) try {
    std::string p = path ? path : "";
    return CTOOString(p.substr(0, NameStart(p)));
} catch (...) {
    TOORethrowAsStatus("TOO::FILENAME::ExtractFilePath");
}

CTOOString FILENAME::ExtractFileTitle(const char* path) try {
    std::string name = ExtractFileName(path).str();
    std::size_t d = ExtDot(name);
    return CTOOString(d == std::string::npos ? name : name.substr(0, d));
} catch (...) {
    TOORethrowAsStatus("TOO::FILENAME::ExtractFileTitle");
}

CTOOString FILENAME::ExtractFileExt(const char* path) try {
    std::string name = ExtractFileName(path).str();
    std::size_t d = ExtDot(name);
    return CTOOString(d == std::string::npos ? std::string() : name.substr(d));
} catch (...) {
    TOORethrowAsStatus("TOO::FILENAME::ExtractFileExt");
}

TEMPFOLDER::TEMPFOLDER(const char* parent, const char* prefix) {
    // Failure shows as !IsValid() and the last error.
    std::string made;
    try {
        std::string base = parent && *parent ? NativePath(parent) : cert::platform::TempFolder();
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        std::string tmpl = base + "/" + (prefix && *prefix ? prefix : "cert") + "-XXXXXX";
        if (!::mkdtemp(tmpl.data())) {
            cert::platform::SetLastErrorFromErrno();
            return;
        }
        made.swap(tmpl);
        m_path = made;
    } catch (...) {
        if (!made.empty()) (void)::rmdir(made.c_str());
        cert::platform::ExceptionToLastError(0);
    }
}

TEMPFOLDER::~TEMPFOLDER() {
    if (m_path.IsEmpty()) return;
    std::error_code ec;
    try {
        std::filesystem::remove_all(m_path.str(), ec);
    } catch (...) {
        // Out of memory for the path: the folder stays behind.
    }
}

CTOOString TEMPFOLDER::operator/(const char* name) const try { return m_path + "/" + (name ? name : ""); } catch (...) {
    TOORethrowAsStatus("TOO::TEMPFOLDER");
}

}  // namespace TOO
