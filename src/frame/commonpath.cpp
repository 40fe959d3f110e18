// The library's fixed paths under the application-data folders.
#include <cstring>
#include <string>

#include "cert/frame.h"

bool GetCommonPath(unsigned id, char* buffer, std::size_t size, bool create, CommonPathError* error) try {
    if (error) std::memset(error, 0, sizeof *error);
    auto fail = [error](std::uint32_t code, std::uint32_t value) {
        if (error) {
            error->code = code;
            error->value = value;
        }
        return false;
    };
    static const char* const kSuffix[] = {
        "\\Varnok",                              // 0
        "\\Varnok\\Telvar CSP",                  // 1
        "\\Varnok\\Containers",                  // 2, local folder
        "\\Varnok\\Containers",                  // 3
        "\\Varnok\\Containers",                  // 4, without a base folder
        "\\Varnok\\seed.bin",                    // 5
        "\\Varnok\\for_rand.key",                // 6
        "\\Varnok",                              // 7
        "\\Varnok\\cont_info.dat",               // 8
        "\\Varnok\\Telvar CSP\\csp_config.ini",  // 9
        "\\Varnok\\device_type_filter.xml",      // 10
    };
    if (!buffer || size == 0 || id >= std::size(kSuffix)) return fail(kCommonPathBadArgument, 0);
    std::string path;
    if (id != 4) {
        const int folder = id == 2 ? CSIDL_LOCAL_APPDATA : CSIDL_COMMON_APPDATA;
        char base[MAX_PATH];
        if (!SHGetSpecialFolderPathA(nullptr, base, folder, create ? TRUE : FALSE))
            return fail(kCommonPathNoFolder, static_cast<std::uint32_t>(folder));
        path = base;
    }
    path += kSuffix[id];
    if (path.size() >= size) return fail(kCommonPathBufferTooSmall, static_cast<std::uint32_t>(path.size() + 1));
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
} catch (...) {
    const DWORD e = cert::platform::WinErrorOfCurrentException();
    SetLastError(e);
    if (error) {
        error->code = kCommonPathSystemError;
        error->value = e;
    }
    return false;
}
