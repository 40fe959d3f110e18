#include <filesystem>
#include <optional>

#include "cert/ipc.h"
#include "cert/structfiles.h"

namespace {

// Section files hold settings: anything larger is not one.
constexpr std::size_t kMaxSectionFile = 64u << 20;

bool SameName(const CTOOString& a, const char* b) { return a.CompareNoCase(b) == 0; }

enum class Field { Section, Key, Value };

// Escapes what would not survive the line form: the backslash, control
// bytes, bytes that are not UTF-8, blanks at either end (the reader trims
// blanks), and per field the characters that carry meaning there.
std::string Escape(std::string_view s, Field f) {
    static const char* hex = "0123456789ABCDEF";
    std::string o;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = TOOUtf8SequenceLength(s, i);
        bool edge = i == 0 || i + 1 == s.size();
        bool special = c == '\\' || c < 0x20 || c == 0x7F || n == 0 || ((c == ' ') && edge) ||
                       (f == Field::Section && (c == '[' || c == ']')) || (f == Field::Key && c == '=') ||
                       (f == Field::Key && i == 0 && (c == '[' || c == ';' || c == '#'));
        if (!special) {
            o.append(s.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '\\':
                o += "\\\\";
                break;
            case '\n':
                o += "\\n";
                break;
            case '\r':
                o += "\\r";
                break;
            case '\t':
                o += "\\t";
                break;
            default:
                o += "\\x";
                o += hex[c >> 4];
                o += hex[c & 15];
        }
        ++i;
    }
    return o;
}

using cert::platform::HexDigitValue;

bool Unescape(std::string_view s, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) return false;
        switch (s[i]) {
            case '\\':
                out += '\\';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                int h = i + 1 < s.size() ? HexDigitValue(s[i + 1]) : -1;
                int l = i + 2 < s.size() ? HexDigitValue(s[i + 2]) : -1;
                if (h < 0 || l < 0) return false;
                out += static_cast<char>(h * 16 + l);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

CConfigFileSectionListItem* FindSection(CConfigFileSectionList& list, const char* name) {
    for (auto& s : list)
        if (SameName(s.m_Name, name)) return &s;
    return nullptr;
}

std::string LockName(const std::string& file) {
    std::error_code ec;
    auto abs = std::filesystem::absolute(file, ec).lexically_normal();
    return "sections:" + (ec ? file : abs.string());
}

// The file's named lock, held for the object's lifetime when it could be
// taken; a lock that cannot be taken (an unwritable lock folder) is kept as
// a status, so it is reported like any other failure of the file.
template <class Locker>
struct FileLockHold {
    explicit FileLockHold(const std::string& file) : lock(LockName(file).c_str()) {
        try {
            held.emplace(lock);
        } catch (const XTOOStatus& e) {
            status = e.Status() ? e.Status() : TOOERR_LOCKED;
        }
    }
    IPC::CReadWriteLock lock;
    std::optional<Locker> held;
    int status = 0;
};

}  // namespace

std::string CTOOConfigInfoFile::Serialize(const CConfigFileSectionList& sections) try {
    std::string o = "; cert section file\n";
    for (const auto& s : sections) {
        o += "\n[" + Escape(s.m_Name.str(), Field::Section) + "]\n";
        for (const auto& it : s.m_Items)
            o += Escape(it.m_Key.str(), Field::Key) + "=" + Escape(it.m_Value.str(), Field::Value) + "\n";
    }
    return o;
} catch (...) {
    TOORethrowAsStatus("CTOOConfigInfoFile::Serialize");
}

int CTOOConfigInfoFile::Parse(std::string_view text, CConfigFileSectionList& sections, int* faultLine) try {
    sections.clear();
    if (faultLine) *faultLine = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    CConfigFileSectionListItem* current = nullptr;
    int lineNo = 0;
    auto fault = [&](int rc) {
        if (faultLine) *faultLine = lineNo;
        sections.clear();
        return rc;
    };
    while (!text.empty()) {
        ++lineNo;
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        for (std::size_t i = 0; i < line.size();) {
            std::size_t n = TOOUtf8SequenceLength(line, i);
            if (n == 0) return fault(TOOERR_BADENCODING);
            i += n;
        }
        line = Trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        std::string a, b;
        if (line.front() == '[') {
            if (line.size() < 2 || line.back() != ']' || !Unescape(line.substr(1, line.size() - 2), a))
                return fault(TOOERR_BADFORMAT);
            current = FindSection(sections, a.c_str());
            if (!current) current = &sections.emplace_back(CTOOString(a));
            continue;
        }
        if (!current) return fault(TOOERR_BADFORMAT);
        std::size_t eq = 0;
        while (eq < line.size() && line[eq] != '=') eq += line[eq] == '\\' ? 2 : 1;
        if (eq >= line.size()) return fault(TOOERR_BADFORMAT);
        if (!Unescape(Trim(line.substr(0, eq)), a) || !Unescape(Trim(line.substr(eq + 1)), b))
            return fault(TOOERR_BADFORMAT);
        current->m_Items.emplace_back(CTOOString(a), CTOOString(b));
    }
    return TOO_OK;
} catch (...) {
    sections.clear();
    return TOOStatusOfCurrentException();
}

CTOOConfigInfoFile::CTOOConfigInfoFile(const char* fileName, bool raise, unsigned long flags) try
    : m_fileName(fileName ? fileName : ""), m_raise(raise), m_flags(flags) {
} catch (...) {
    TOORethrowAsStatus("CTOOConfigInfoFile");
}

bool CTOOConfigInfoFile::Ok() {
    m_rc = 0;
    m_errText.Empty();
    return true;
}

bool CTOOConfigInfoFile::ReportError(int rc, const CTOOString& text) {
    m_rc = rc;
    m_errText = text;
    if (m_raise) throw XTOOStatus(rc, text.c_str());
    return false;
}

bool CTOOConfigInfoFile::ReportException() {
    try {
        throw;
    } catch (const XTOOStatus&) {
        if (m_raise) throw;
    } catch (...) {
    }
    return ReportError(TOOStatusOfCurrentException(), m_fileName);
}

bool CTOOConfigInfoFile::Load(CConfigFileSectionList& sections) {
    sections.clear();
    if (m_fileName.IsEmpty()) return ReportError(TOOERR_BADARG, "CTOOConfigInfoFile");
    std::string text;
    if (DWORD e = cert::platform::ReadWholeFile(m_fileName.str(), text, kMaxSectionFile)) {
        if ((e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) && !(m_flags & MustExist)) return Ok();
        return ReportError(WinErr2ToolsErr(e), m_fileName);
    }
    int line = 0;
    int rc = Parse(text, sections, &line);
    if (rc != TOO_OK) {
        CTOOString where;
        where.Format("%s:%d", m_fileName.c_str(), line);
        return ReportError(rc, where);
    }
    return Ok();
}

bool CTOOConfigInfoFile::Store(const CConfigFileSectionList& sections) {
    if (m_flags & ReadOnly) return ReportError(TOOERR_READONLY, m_fileName);
    const std::string text = Serialize(sections);
    DWORD e = cert::platform::WriteFileAtomic(m_fileName.str(), text.data(), text.size());
    if (e != ERROR_SUCCESS) return ReportError(WinErr2ToolsErr(e), m_fileName);
    return Ok();
}

bool CTOOConfigInfoFile::Modify(const char* what, const std::function<void(CConfigFileSectionList&)>& change) {
    if (m_flags & ReadOnly) return ReportError(TOOERR_READONLY, m_fileName);
    if (!what) return ReportError(TOOERR_BADARG, m_fileName);
    FileLockHold<IPC::CWriteLocker> hold(m_fileName.str());
    if (hold.status) return ReportError(hold.status, m_fileName);
    CConfigFileSectionList sections;
    // A damaged file is reported, not overwritten with what could be read.
    if (!Load(sections)) return false;
    change(sections);
    return Store(sections);
}

bool CTOOConfigInfoFile::GetAllSections(CConfigFileSectionList* out) try {
    FileLockHold<IPC::CReadLocker> hold(m_fileName.str());
    if (hold.status) return ReportError(hold.status, m_fileName);
    CConfigFileSectionList sections;
    if (!Load(sections)) return false;
    if (out) *out = std::move(sections);
    return true;
} catch (...) {
    return ReportException();
}

bool CTOOConfigInfoFile::GetSection(const char* name, CConfigFileKeyList* items) try {
    if (items) items->clear();
    CConfigFileSectionList sections;
    if (!GetAllSections(&sections)) return false;
    auto* s = FindSection(sections, name ? name : "");
    if (!s) {
        m_rc = TOOERR_NOTFOUND;
        m_errText = m_fileName;
        return false;
    }
    if (items) *items = std::move(s->m_Items);
    return true;
} catch (...) {
    return ReportException();
}

bool CTOOConfigInfoFile::GetValue(const char* section, const char* key, CTOOString& value) try {
    value.Empty();
    CConfigFileKeyList items;
    if (!GetSection(section, &items)) return false;
    for (auto& it : items) {
        if (SameName(it.m_Key, key ? key : "")) {
            value = it.m_Value;
            return true;
        }
    }
    m_rc = TOOERR_NOTFOUND;
    m_errText = m_fileName;
    return false;
} catch (...) {
    return ReportException();
}

bool CTOOConfigInfoFile::PutSection(const char* name, const CConfigFileKeyList& items) try {
    return Modify(name, [&](CConfigFileSectionList& sections) {
        if (auto* s = FindSection(sections, name))
            s->m_Items = items;
        else
            sections.emplace_back(CTOOString(name), items);
    });
} catch (...) {
    return ReportException();
}

bool CTOOConfigInfoFile::DeleteSection(const char* name) try {
    return Modify(name, [&](CConfigFileSectionList& sections) {
        sections.remove_if([&](const CConfigFileSectionListItem& s) { return SameName(s.m_Name, name); });
    });
} catch (...) {
    return ReportException();
}

bool CTOOConfigInfoFile::PutAllSections(const CConfigFileSectionList& sections) try {
    FileLockHold<IPC::CWriteLocker> hold(m_fileName.str());
    if (hold.status) return ReportError(hold.status, m_fileName);
    return Store(sections);
} catch (...) {
    return ReportException();
}
