#include "cert/storedev.h"

#include <string>
#include <string_view>

namespace storedev {

namespace {

constexpr std::string_view kPrefix = "\\\\.\\";

std::string Backslashes(const char* path) {
    std::string s = path ? path : "";
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

bool DeviceChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Offset just past the device name of a device path, 0 when not one or bad.
std::size_t DeviceEnd(std::string_view s) {
    if (s.substr(0, kPrefix.size()) != kPrefix) return 0;
    std::size_t i = kPrefix.size();
    while (i < s.size() && DeviceChar(s[i])) ++i;
    if (i == kPrefix.size() || (i < s.size() && s[i] != '\\')) return 0;
    return i;
}

bool IsDevicePath(std::string_view s) { return s.substr(0, kPrefix.size()) == kPrefix; }

}  // namespace

CTOOString GetStorageName(const char* path) try {
    std::string s = Backslashes(path);
    std::size_t end = DeviceEnd(s);
    return end ? CTOOString(s.substr(kPrefix.size(), end - kPrefix.size())) : CTOOString();
} catch (...) {
    TOORethrowAsStatus("storedev::GetStorageName");
}

bool ParseFullPath(const char* path, bool* onDevice, CTOOString* folder, CTOOString* container) try {
    if (onDevice) *onDevice = false;
    if (folder) folder->Empty();
    if (container) container->Empty();
    std::string s = Backslashes(path);
    if (!IsDevicePath(s)) {
        if (container) *container = path ? path : "";
        return true;
    }
    std::size_t end = DeviceEnd(s);
    if (end == 0) return false;
    std::size_t last = s.rfind('\\');
    if (last < end) last = s.size();  // the device alone
    // Every folder part between the device and the container is non-empty.
    for (std::size_t i = end; i < last; ++i)
        if (s[i] == '\\' && i + 1 < last && s[i + 1] == '\\') return false;
    if (last > end && s[last - 1] == '\\') return false;
    if (onDevice) *onDevice = true;
    if (folder) *folder = s.substr(0, last);
    if (container && last < s.size()) *container = s.substr(last + 1);
    return true;
} catch (...) {
    TOORethrowAsStatus("storedev::ParseFullPath");
}

bool MakeFullPath(CTOOString& out, const char* folder, const char* container, const char* extra) try {
    out.Empty();
    std::string f = Backslashes(folder);
    while (f.size() > kPrefix.size() && f.back() == '\\') f.pop_back();
    bool onDevice = false;
    CTOOString parsedFolder, parsedContainer;
    // The storage part must read back as device + folders, which it does
    // when it parses as a folder with an empty container after a "\".
    if (!ParseFullPath((f + "\\").c_str(), &onDevice, &parsedFolder, &parsedContainer) || !onDevice) return false;
    std::string c = container ? container : "";
    std::string x = extra ? extra : "";
    if (c.find_first_of("\\/") != std::string::npos || x.find_first_of("\\/") != std::string::npos) return false;
    if (c.empty() && !x.empty()) return false;
    std::string r = f + "\\" + c;
    if (!x.empty()) r += "\\" + x;
    out = r;
    return true;
} catch (...) {
    TOORethrowAsStatus("storedev::MakeFullPath");
}

}  // namespace storedev
