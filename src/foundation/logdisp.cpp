#include "cert/logdisp.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

CLogDisp* pLogDisp = nullptr;

namespace {
std::atomic<CLogDisp*> g_default{nullptr};
}

void SetDefaultLogDisp(CLogDisp* disp) { g_default.store(disp); }

CLogDisp* CurrentLogDisp() { return pLogDisp ? pLogDisp : g_default.load(); }

CLogDisp::CLogDisp(const char* name, const char* path, unsigned long reportLevel, unsigned long) try
    : m_name(name ? name : ""), m_level(reportLevel), m_on(path && *path) {
    if (path) m_path = cert::platform::NativePath(path);
} catch (...) {
    TOORethrowAsStatus("CLogDisp");
}

CLogDisp::~CLogDisp() {
    if (m_fd >= 0) ::close(m_fd);
}

void CLogDisp::SetFullPathName(const char* path) try {
    std::lock_guard<std::mutex> g(m_mutex);
    std::string p = path ? cert::platform::NativePath(path) : std::string();
    if (p == m_path) return;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path = p;
} catch (...) {
    TOORethrowAsStatus("CLogDisp::SetFullPathName");
}

std::string CLogDisp::GetFullPathName() const try {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_path;
} catch (...) {
    TOORethrowAsStatus("CLogDisp::GetFullPathName");
}

void CLogDisp::Flag(bool on) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_on = on;
}

bool CLogDisp::Flag() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_on && !m_path.empty();
}

unsigned long CLogDisp::GetReportLevel() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_level;
}

void CLogDisp::SetReportLevel(unsigned long level) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_level = level;
}

void CLogDisp::Put(const char* text) { Write("", text, ""); }

void CLogDisp::Put(const char* text, const char* header) { Write(header, text, ""); }

void CLogDisp::Put(const char* text, long number) try { Write("", text, std::to_string(number).c_str()); } catch (...) {
    return;
}

// A line that cannot be made or written is dropped, as the header says.
void CLogDisp::Write(const char* header, const char* text, const char* tail) try {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    struct tm tm {};
    ::localtime_r(&tv.tv_sec, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d %u:%u ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000),
                  static_cast<unsigned>(::getpid()), static_cast<unsigned>(GetCurrentThreadId()));
    std::string line = stamp;
    line += header ? header : "";
    line += text ? text : "";
    line += tail;
    line += '\n';

    std::lock_guard<std::mutex> g(m_mutex);
    if (!m_on || m_path.empty()) return;
    if (m_fd < 0) m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) return;
    while (::write(m_fd, line.data(), line.size()) < 0 && errno == EINTR) {
    }
} catch (...) {
    return;
}

CLogObject::CLogObject(const char* name) try : m_name(name ? name : "") {
    if (CLogDisp* d = CurrentLogDisp(); d && d->Flag()) d->Put(m_name.c_str(), "> ");
} catch (...) {
    TOORethrowAsStatus("CLogObject");
}

CLogObject::~CLogObject() {
    if (CLogDisp* d = CurrentLogDisp(); d && d->Flag()) d->Put(m_name.c_str(), "< ");
}

int LogReport(int level, const char* text, const char* sourceFile, int line) try {
    CLogDisp* d = CurrentLogDisp();
    if (!d || !d->Flag() || static_cast<unsigned long>(level) < d->GetReportLevel()) return 0;
    char header[32];
    std::snprintf(header, sizeof header, "[%d] ", level);
    std::string body = text ? text : "";
    body += " (";
    body += sourceFile ? sourceFile : "?";
    body += ":" + std::to_string(line) + ")";
    d->Put(body.c_str(), header);
    return 1;
} catch (...) {
    return 0;
}
