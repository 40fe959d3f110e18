#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "cert/tools.h"

namespace {
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

struct StringTables {
    std::mutex mutex;
    std::map<std::string, std::pair<const TOOStringResource*, std::size_t>> byModule;
};
StringTables& Tables() {
    static StringTables t;
    return t;
}
std::string ModuleKey(const char* name) {
    std::string k = name ? name : "";
    std::transform(k.begin(), k.end(), k.begin(), LowerAscii);
    return k;
}
}  // namespace

int CTOOString::CompareNoCase(const char* other) const {
    const char* a = m_s.c_str();
    const char* b = other ? other : "";
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(LowerAscii(*a));
        unsigned char y = static_cast<unsigned char>(LowerAscii(*b));
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

CTOOString& CTOOString::Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    FormatV(fmt, ap);
    va_end(ap);
    return *this;
}

CTOOString& CTOOString::FormatV(const char* fmt, va_list args) try {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) {
        m_s.clear();
        return *this;
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<std::size_t>(n));
    m_s = std::move(out);
    return *this;
} catch (...) {
    TOORethrowAsStatus("CTOOString::Format");
}

int CTOOString::Find(char c, int start) const {
    if (start < 0) start = 0;
    auto pos = m_s.find(c, static_cast<std::size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CTOOString::Find(const char* sub, int start) const {
    if (start < 0) start = 0;
    auto pos = m_s.find(sub ? sub : "", static_cast<std::size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CTOOString CTOOString::Left(int n) const try {
    if (n <= 0) return CTOOString();
    return CTOOString(m_s.substr(0, static_cast<std::size_t>(n)));
} catch (...) {
    TOORethrowAsStatus("CTOOString::Left");
}

CTOOString CTOOString::Right(int n) const try {
    if (n <= 0) return CTOOString();
    std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), m_s.size());
    return CTOOString(m_s.substr(m_s.size() - k));
} catch (...) {
    TOORethrowAsStatus("CTOOString::Right");
}

CTOOString CTOOString::Mid(int first, int n) const try {
    if (first < 0) first = 0;
    if (static_cast<std::size_t>(first) >= m_s.size() || n == 0) return CTOOString();
    return CTOOString(
        m_s.substr(static_cast<std::size_t>(first), n < 0 ? std::string::npos : static_cast<std::size_t>(n)));
} catch (...) {
    TOORethrowAsStatus("CTOOString::Mid");
}

CTOOString& CTOOString::MakeUpper() {
    std::transform(m_s.begin(), m_s.end(), m_s.begin(), UpperAscii);
    return *this;
}

CTOOString& CTOOString::MakeLower() {
    std::transform(m_s.begin(), m_s.end(), m_s.begin(), LowerAscii);
    return *this;
}

CTOOString& CTOOString::TrimLeft() {
    std::size_t i = 0;
    while (i < m_s.size() && IsSpace(m_s[i])) ++i;
    m_s.erase(0, i);
    return *this;
}

CTOOString& CTOOString::TrimRight() {
    while (!m_s.empty() && IsSpace(m_s.back())) m_s.pop_back();
    return *this;
}

CTOOString& CTOOString::Strip() { return TrimLeft().TrimRight(); }

CTOOString& CTOOString::Load(const void* bytes, std::size_t n) try {
    if (!bytes) n = 0;
    m_s.assign(static_cast<const char*>(bytes), n);
    return *this;
} catch (...) {
    TOORethrowAsStatus("CTOOString::Load");
}

CTOOString& CTOOString::StrAddSlash() try {
    if (m_s.empty() || m_s.back() != '\\') m_s += '\\';
    return *this;
} catch (...) {
    TOORethrowAsStatus("CTOOString::StrAddSlash");
}

bool CTOOString::LoadStringA(unsigned id, const char* moduleName) try {
    m_s.clear();
    auto& t = Tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.byModule.find(ModuleKey(moduleName));
    if (it == t.byModule.end()) return false;
    const auto [rows, count] = it->second;
    for (std::size_t i = 0; i < count; ++i) {
        if (rows[i].id == id) {
            m_s = rows[i].text ? rows[i].text : "";
            return true;
        }
    }
    return false;
} catch (...) {
    TOORethrowAsStatus("CTOOString::LoadStringA");
}

void TOORegisterStringTable(const char* moduleName, const TOOStringResource* table, std::size_t count) try {
    auto& t = Tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.byModule[ModuleKey(moduleName)] = {table, count};
} catch (...) {
    TOORethrowAsStatus("TOORegisterStringTable");
}

const char* CTFStrStr(const char* text, const char* pattern, int flag) {
    if (!text) return nullptr;
    return CTFStrStr(text, std::strlen(text), pattern, flag);
}

const char* CTFStrStr(const char* region, std::size_t size, const char* pattern, int flag) {
    if (!region || !pattern) return nullptr;
    std::size_t n = std::strlen(pattern);
    if (n > size) return nullptr;
    for (std::size_t at = 0; at + n <= size; ++at) {
        std::size_t i = 0;
        if (flag)
            while (i < n && LowerAscii(region[at + i]) == LowerAscii(pattern[i])) ++i;
        else
            while (i < n && region[at + i] == pattern[i]) ++i;
        if (i == n) return region + at;
    }
    return nullptr;
}
