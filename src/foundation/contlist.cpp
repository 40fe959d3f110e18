#include <sstream>

#include "cert/ipc.h"
#include "cert/structfiles.h"

namespace {

constexpr std::size_t kMaxListFile = 16u << 20;

bool SamePath(const std::string& a, const char* b) { return CTOOString(a).CompareNoCase(b) == 0; }

// 0 and the entries, an empty list for a missing file, or the status.
int ReadList(std::vector<std::string>& out) {
    out.clear();
    std::string text;
    if (DWORD e = cert::platform::ReadWholeFile(CommonContInfoList::FilePath(), text, kMaxListFile))
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : WinErr2ToolsErr(e);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    return 0;
}

int WriteList(const std::vector<std::string>& list) {
    std::string text;
    for (const auto& p : list) text += p + "\n";
    std::string path = CommonContInfoList::FilePath();
    if (!cert::platform::MakeFolders(path.substr(0, path.rfind('/')), 0755)) return WinErr2ToolsErr(GetLastError());
    return WinErr2ToolsErr(cert::platform::WriteFileAtomic(path, text.data(), text.size()));
}

}  // namespace

std::string CommonContInfoList::FilePath() try {
    return cert::platform::CertHome() + "/common/containers.lst";
} catch (...) {
    TOORethrowAsStatus("CommonContInfoList::FilePath");
}

int CommonContInfoList::Add(const char* path) {
    if (!path || !*path) return TOOERR_BADARG;
    for (const char* p = path; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20) return TOOERR_BADARG;
    try {
        IPC::CReadWriteLock lock(kLockName);
        IPC::CWriteLocker hold(lock);
        std::vector<std::string> list;
        if (int rc = ReadList(list)) return rc;
        for (const auto& e : list)
            if (SamePath(e, path)) return 0;
        list.emplace_back(path);
        return WriteList(list);
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}

int CommonContInfoList::Erase(const char* path) {
    if (!path || !*path) return TOOERR_BADARG;
    try {
        IPC::CReadWriteLock lock(kLockName);
        IPC::CWriteLocker hold(lock);
        std::vector<std::string> list;
        if (int rc = ReadList(list)) return rc;
        auto n = std::erase_if(list, [&](const std::string& e) { return SamePath(e, path); });
        if (n == 0) return TOOERR_NOTFOUND;
        return WriteList(list);
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}

const char* CommonContInfoList::GetFirst() {
    m_snapshot.clear();
    m_pos = 0;
    try {
        IPC::CReadWriteLock lock(kLockName);
        IPC::CReadLocker hold(lock);
        if (ReadList(m_snapshot) != 0) m_snapshot.clear();
    } catch (...) {
        m_snapshot.clear();
    }
    return GetNext();
}

const char* CommonContInfoList::GetNext() {
    if (m_pos >= m_snapshot.size()) return nullptr;
    return m_snapshot[m_pos++].c_str();
}
