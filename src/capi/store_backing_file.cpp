// File stores (providers 7 and 8): a store file read whole at open and, at
// a commit, merged with what other processes wrote meanwhile.
//
// Two processes committing at once lose nothing: a commit holds the named
// lock of the file's absolute path (its lock file lives under the home's
// lock folder, never beside the store: that folder may be the transport
// directory), reads the file again and applies only this store's own
// changes since open to what it finds. The lock is named under $CERT_HOME,
// so processes sharing a store file must share the home too. The file is
// replaced through a synced work copy, so a reader (or a process killed
// mid-commit) sees the old store or the new one, never half of either.
#include <deque>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <functional>
#include <optional>
#include <unordered_map>

#include "capi/codec.h"
#include "capi/store_file.h"
#include "cert/certlog.h"
#include "cert/ipc.h"
#include "platform/files.h"

namespace capi::store {
namespace {

// An element's identity in a merge: kind and encoding (duplicates counted).
struct Key {
    DWORD kind;
    const std::vector<BYTE>* bytes;
    std::string_view View() const { return {reinterpret_cast<const char*>(bytes->data()), bytes->size()}; }
    bool operator==(const Key& o) const { return kind == o.kind && View() == o.View(); }
};
struct KeyHash {
    std::size_t operator()(const Key& k) const { return std::hash<std::string_view>{}(k.View()) ^ k.kind; }
};
Key KeyOf(const Element& e) { return Key{e.kind, &e.encoded}; }

using Props = std::vector<std::pair<DWORD, std::vector<BYTE>>>;

// What this store did to one identity since open.
struct Change {
    std::size_t opened = 0, now = 0, current = 0;
    const Element* first = nullptr;  // its first occurrence now
    const Props* before = nullptr;   // its properties at open
};

const std::vector<BYTE>* FindProp(const Props& props, DWORD id) {
    for (const auto& p : props)
        if (p.first == id) return &p.second;
    return nullptr;
}

// Applies the property changes from `before` to `after` onto `target`:
// what another process set on other ids stays.
void ApplyProps(const Props* before, const Props& after, Props& target) {
    if (before)
        for (const auto& [id, value] : *before)
            if (!FindProp(after, id)) std::erase_if(target, [id = id](const auto& p) { return p.first == id; });
    for (const auto& [id, value] : after) {
        const std::vector<BYTE>* old = before ? FindProp(*before, id) : nullptr;
        if (old && *old == value) continue;
        auto it = std::find_if(target.begin(), target.end(), [id = id](const auto& p) { return p.first == id; });
        if (it != target.end())
            it->second = value;
        else
            target.emplace_back(id, value);
    }
}

// The store to write: `current` (the file as it is now) with this store's
// changes from `opened` to `now`: deleted copies removed, properties changed
// in place, additions appended in their order. An addition another process
// made too is not doubled; a deletion of something already gone does
// nothing. Unchanged elements are not copied: `order` points into the
// stores merged, `owned` holds those whose properties changed.
struct Merged {
    ElementRefs order;
    std::deque<Element> owned;
    bool changed = false;  // differs from `current`
};

Merged Merge(const std::vector<Element>& opened, const std::vector<Element>& now, const std::vector<Element>& current) {
    std::unordered_map<Key, Change, KeyHash> changes;
    changes.reserve(now.size());
    for (const Element& e : opened) {
        if (e.readOnly) continue;
        Change& c = changes[KeyOf(e)];
        if (!c.opened++) c.before = &e.props;
    }
    for (const Element& e : now) {
        if (e.readOnly) continue;
        Change& c = changes[KeyOf(e)];
        if (!c.now++) c.first = &e;
    }
    for (const Element& e : current) {
        auto it = changes.find(KeyOf(e));
        if (it != changes.end()) ++it->second.current;
    }
    std::unordered_map<Key, std::size_t, KeyHash> toDelete, toAdd;
    for (const auto& [key, c] : changes) {
        if (c.now < c.opened && c.current) toDelete[key] = std::min(c.opened - c.now, c.current);
        const std::size_t target = c.opened == 0 ? std::max(c.current, c.now) : c.current + (c.now - c.opened);
        if (c.now > c.opened && target > c.current) toAdd[key] = target - c.current;
    }
    Merged out;
    out.order.reserve(current.size() + now.size());
    for (const Element& e : current) {
        auto del = toDelete.find(KeyOf(e));
        if (del != toDelete.end() && del->second) {
            --del->second;
            out.changed = true;
            continue;
        }
        auto it = changes.find(KeyOf(e));
        if (it != changes.end() && it->second.first) {
            Props props = e.props;
            ApplyProps(it->second.before, it->second.first->props, props);
            if (props != e.props) {
                out.owned.push_back(Element{e.kind, e.encoded, std::move(props), false});
                out.order.push_back(&out.owned.back());
                out.changed = true;
                continue;
            }
        }
        out.order.push_back(&e);
    }
    for (const Element& e : now) {
        if (e.readOnly) continue;
        auto add = toAdd.find(KeyOf(e));
        if (add == toAdd.end() || !add->second) continue;
        --add->second;
        out.order.push_back(&e);
        out.changed = true;
    }
    return out;
}

bool SameElements(const std::vector<Element>& a, const std::vector<Element>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameElement);
}

// The path every process names the file by: "\" as a separator, absolute,
// normal, links in its folders resolved.
std::string AbsolutePath(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path p = fs::absolute(fs::path(cert::platform::NativePath(path))).lexically_normal();
    std::error_code ec;
    fs::path folder = fs::weakly_canonical(p.parent_path(), ec);
    if (!ec && p.has_filename()) p = folder / p.filename();
    return p.string();
}

// What tells the bytes of a file apart from its next version without
// keeping them: their size and hash. Inode and times would not do: a
// replaced file's inode number is free for the next work copy, and times
// tick coarser than commits follow each other.
struct Fingerprint {
    std::size_t size = 0;
    std::size_t hash = 0;
    bool operator==(const Fingerprint&) const = default;
};

Fingerprint FingerprintOf(const std::string& bytes) { return {bytes.size(), std::hash<std::string>{}(bytes)}; }

DWORD LockError(const XTOOStatus& e) {
    if (DWORD win = ToolsErr2WinErr(e.Status())) return win;
    return e.Status() == TOOERR_ACCESS ? ERROR_ACCESS_DENIED : ERROR_LOCK_VIOLATION;
}

class FileBacking final : public Backing {
public:
    FileBacking(std::string path, DWORD flags) : m_path(std::move(path)), m_flags(flags) {}

    bool Load(std::vector<Element>& out) override try {
        std::string bytes;
        bool existed = false;
        if (!ReadBytes(bytes, existed)) return false;
        std::vector<Element> elements;
        FileForm form = FileForm::kSerialized;
        if (existed && !Parse(bytes, elements, form)) return false;
        m_form = form;
        m_loaded = FingerprintOf(bytes);
        m_loadedKnown = existed;
        out = std::move(elements);
        return true;
    } catch (...) {
        return cert::platform::ExceptionToLastError(false);
    }

    bool Changed(const Element*, const Element*) override { return true; }

    bool Commit(const std::vector<Element>& opened, const std::vector<Element>& now) override try {
        if ((m_flags & kReadOnly) || SameElements(opened, now)) return true;
        IPC::CReadWriteLock lock(("cert store file " + m_path).c_str());
        std::optional<IPC::CWriteLocker> hold;
        try {
            hold.emplace(lock);
        } catch (const XTOOStatus& e) {
            SetLastError(LockError(e));  // never goes on unlocked
            return false;
        }

        // The file as it is now: what was loaded when its bytes are the same
        // (a store of 100,000 is then not parsed twice).
        std::string bytes;
        bool existed = false;
        if (!ReadBytes(bytes, existed)) return false;
        std::vector<Element> reread;
        const std::vector<Element>* current = &opened;
        FileForm form = m_form;
        if (!existed) {
            current = &reread;
        } else if (!m_loadedKnown || !(FingerprintOf(bytes) == m_loaded)) {
            if (!Parse(bytes, reread, form)) return false;
            current = &reread;
        }
        bytes = std::string();
        const Merged merged = Merge(opened, now, *current);
        if (existed && !merged.changed) return true;
        const std::vector<BYTE> out = WriteStoreFileRefs(merged.order, form);
        m_loadedKnown = false;
        if (DWORD e = cert::platform::WriteFileAtomic(m_path, out.data(), out.size())) {
            SetLastError(e);
            return false;
        }
        return true;
    } catch (const cert::capi::Fail& f) {
        SetLastError(f.code);
        return false;
    } catch (...) {
        return cert::platform::ExceptionToLastError(false);
    }

private:
    // The file's bytes; a missing file is an empty store (unless it must exist).
    bool ReadBytes(std::string& bytes, bool& existed) {
        DWORD e = cert::platform::ReadWholeFile(m_path, bytes, kMaxStoreFile);
        existed = e == ERROR_SUCCESS;
        if ((e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) && !(m_flags & kOpenExisting)) return true;
        if (e) SetLastError(e);
        return e == ERROR_SUCCESS;
    }

    // The elements and form of the file's bytes; a fault is logged with its offset.
    bool Parse(const std::string& bytes, std::vector<Element>& out, FileForm& form) {
        size_t at = 0;
        if (ParseStoreFile(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), out, form, &at)) return true;
        const DWORD err = GetLastError();
        if (err == CRYPT_E_FILE_ERROR) {
            const std::string text =
                "Certificate store file " + m_path + " is damaged or in no store form at offset " + std::to_string(at);
            CertPutLogFormatted(text.c_str(), "CTF", 2);
        }
        SetLastError(err);
        return false;
    }

    std::string m_path;
    DWORD m_flags;
    FileForm m_form = FileForm::kSerialized;
    Fingerprint m_loaded;  // the bytes Load read, when m_loadedKnown
    bool m_loadedKnown = false;
};

}  // namespace

std::unique_ptr<Backing> OpenFileBacking(const std::string& path, DWORD flags) try {
    if (path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string abs = AbsolutePath(path);
    struct stat st {};
    const bool exists = ::lstat(abs.c_str(), &st) == 0;
    if (!ExistenceAllowed(flags, exists)) return nullptr;
    if ((flags & kCreateNew) && !(flags & kReadOnly)) {
        // Made now, exclusively: of two processes creating it, one fails.
        const std::vector<BYTE> empty = WriteSerialized({});
        cert::platform::OutputFile out;
        DWORD e = out.Open(abs, cert::platform::kModeAsBefore, true);
        if (!e) e = out.Write(empty.data(), empty.size());
        if (!e) e = out.Commit();
        if (e) {
            SetLastError(e);
            return nullptr;
        }
    }
    return std::make_unique<FileBacking>(std::move(abs), flags);
} catch (...) {
    return cert::platform::ExceptionToLastError(std::unique_ptr<Backing>());
}

}  // namespace capi::store
