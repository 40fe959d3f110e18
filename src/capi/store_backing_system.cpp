// System stores (providers 9 and 10): a folder per store under the user's
// or the machine's application data, one serialized-store file per element
// named by the SHA-1 of its encoding.
//
// Every add, delete and property change writes or removes that one file at
// once (through a synced work copy), so processes changing different
// elements never meet, and two changing one element leave one of the two
// whole. Store names ignore case: the folder is the name in upper case.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <set>
#include <unistd.h>

#include "capi/store_file.h"
#include "cert/certlog.h"
#include "cert/tools.h"

namespace capi::store {
namespace {

constexpr DWORD kLocationMask = 0x00FF0000;
constexpr DWORD kCurrentUser = 0x00010000;
constexpr DWORD kLocalMachine = 0x00020000;

constexpr const char* kPredefined[] = {"MY", "ROOT", "CA", "ADDRESSBOOK"};

bool IsElementFileName(const std::string& name) {
    return name.size() == 40 && std::all_of(name.begin(), name.end(), [](char c) { return std::isxdigit(uint8_t(c)); });
}

// Where the stores of a location live: the special folder (made when
// missing, as any user of the home would) + SystemCertificates.
bool StoresFolder(bool machine, std::string& out) {
    char base[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, base, machine ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA, TRUE))
        return false;
    out = std::string(base) + "/SystemCertificates";
    return true;
}

class SystemBacking final : public Backing {
public:
    SystemBacking(std::string folder, std::string shown, bool readOnly)
        : m_folder(std::move(folder)), m_shown(std::move(shown)), m_readOnly(readOnly) {}

    bool Load(std::vector<Element>& out) override try {
        std::vector<Element> elements;
        std::set<std::string> names;
        if (!ReadFolder(m_folder, false, elements, names)) return false;
        if (!m_shown.empty() && !ReadFolder(m_shown, true, elements, names)) return false;
        out = std::move(elements);
        return true;
    } catch (...) {
        return cert::platform::ExceptionToLastError(false);
    }

    bool Changed(const Element* before, const Element* after) override try {
        if (m_readOnly) return true;
        // The machine's elements shown here are not this store's to change or
        // delete; one replaced by an element of its own lands in this store.
        if ((after && after->readOnly) || (before && before->readOnly && !after)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (after) {
            if (!cert::platform::MakeFolders(m_folder)) return false;
            const std::vector<BYTE> bytes = WriteSerialized({*after});
            if (DWORD e = cert::platform::WriteFileAtomic(FileOf(*after), bytes.data(), bytes.size())) {
                SetLastError(e);
                return false;
            }
        }
        if (before && !before->readOnly && (!after || before->encoded != after->encoded)) return Remove(*before);
        return true;
    } catch (...) {
        return cert::platform::ExceptionToLastError(false);
    }

    bool Commit(const std::vector<Element>&, const std::vector<Element>&) override { return true; }

private:
    std::string FileOf(const Element& e) const { return m_folder + "/" + Sha1Hex(e.encoded); }

    // Removes the element's file, in whichever case of hex it was written.
    bool Remove(const Element& e) {
        std::string name = Sha1Hex(e.encoded);
        for (int pass = 0; pass < 2; ++pass) {
            if (::unlink((m_folder + "/" + name).c_str()) != 0 && errno != ENOENT) {
                SetLastError(cert::platform::ErrnoToWinError(errno));
                return false;
            }
            std::transform(name.begin(), name.end(), name.begin(), [](char c) { return char(std::tolower(c)); });
        }
        return true;
    }

    // The elements of one folder in name order; a name seen before (the
    // user's copy of a machine's element) is not shown twice.
    bool ReadFolder(const std::string& folder, bool readOnly, std::vector<Element>& out, std::set<std::string>& seen) {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(folder.c_str())) {
            while (dirent* ent = ::readdir(d))
                if (IsElementFileName(ent->d_name)) names.emplace_back(ent->d_name);
            ::closedir(d);
        } else if (errno != ENOENT) {
            SetLastError(cert::platform::ErrnoToWinError(errno));
            return false;
        }
        std::sort(names.begin(), names.end());
        for (std::string& name : names) {
            std::string bytes;
            const std::string path = folder + "/" + name;
            DWORD e = cert::platform::ReadWholeFile(path, bytes, kMaxStoreFile);
            if (e == ERROR_FILE_NOT_FOUND) continue;  // deleted since the listing
            if (e) {
                SetLastError(e);
                return false;
            }
            std::vector<Element> one;
            size_t at = 0;
            const auto* p = reinterpret_cast<const BYTE*>(bytes.data());
            if (!ParseSerialized(p, bytes.size(), one, &at) || one.size() != 1) {
                if (one.size() > 1) at = 0;
                const std::string text = "System store file " + path + " is damaged at offset " + std::to_string(at);
                CertPutLogFormatted(text.c_str(), "CTF", 2);
                SetLastError(CRYPT_E_FILE_ERROR);
                return false;
            }
            std::transform(name.begin(), name.end(), name.begin(), [](char c) { return char(std::toupper(c)); });
            if (!seen.insert(name).second) continue;
            one[0].readOnly = readOnly;
            out.push_back(std::move(one[0]));
        }
        return true;
    }

    std::string m_folder;  // the store's own
    std::string m_shown;   // the machine's store shown in the user's Root and CA, or empty
    bool m_readOnly;
};

}  // namespace

std::unique_ptr<Backing> OpenSystemBacking(const std::u16string& name, DWORD flags) try {
    std::string folderName;
    if (name.empty() || name.find_first_of(u"/\\") != std::u16string::npos ||
        name.find(u"..") != std::u16string::npos || name.find(u'\0') != std::u16string::npos ||
        !TOOUtf16ToUtf8(name, folderName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::transform(folderName.begin(), folderName.end(), folderName.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; });
    const DWORD location = flags & kLocationMask;
    if (location != 0 && location != kCurrentUser && location != kLocalMachine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool machine = location == kLocalMachine;
    std::string stores;
    if (!StoresFolder(machine, stores)) return nullptr;
    const std::string folder = stores + "/" + folderName;
    const bool predefined =
        std::find(std::begin(kPredefined), std::end(kPredefined), folderName) != std::end(kPredefined);
    const bool exists = predefined || ::access(folder.c_str(), F_OK) == 0;
    if (!ExistenceAllowed(flags, exists)) return nullptr;
    const bool readOnly = flags & kReadOnly;
    if (!readOnly && !cert::platform::MakeFolders(folder)) return nullptr;
    std::string shown;
    if (!machine && (folderName == "ROOT" || folderName == "CA")) {
        if (!StoresFolder(true, shown)) return nullptr;
        shown += "/" + folderName;
    }
    return std::make_unique<SystemBacking>(folder, shown, readOnly);
} catch (...) {
    return cert::platform::ExceptionToLastError(std::unique_ptr<Backing>());
}

}  // namespace capi::store
