// The installed providers as the registry lists them under
// HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Cryptography\Defaults\Provider".
// Our providers (and the platform's two foreign ones we stand in for) are
// entered there on first use, as an installation would have done.
#include <algorithm>
#include <cstring>
#include <vector>

#include "cert/sysapi.h"
#include "provider/vrk_internal.h"

namespace {

constexpr const char* kProviders = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

struct ProviderRow {
    const char* name;
    DWORD type;
};
constexpr ProviderRow kRows[] = {
    {VRK_PROV_GOST, VRK_PROV_TYPE_GOST},
    {VRK_PROV_GOST_2012_256, VRK_PROV_TYPE_GOST_2012_256},
    {VRK_PROV_GOST_2012_512, VRK_PROV_TYPE_GOST_2012_512},
    {VRK_PROV_MS_BASE, VRK_PROV_TYPE_RSA_FULL},
    {VRK_PROV_MS_DSS, VRK_PROV_TYPE_DSS},
};

// Each row is written only when missing, so a hive someone edited keeps
// their values.
void EnsureRegistered() {
    for (const auto& r : kRows) {
        std::string path = std::string(kProviders) + "\\" + r.name;
        DWORD type = 0;
        if (cert::platform::Registry::GetDword(HKEY_LOCAL_MACHINE, path, "Type", type)) continue;
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            continue;
        RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&r.type), sizeof r.type);
        RegCloseKey(key);
    }
}

class ProvidersKey {
public:
    ProvidersKey() {
        EnsureRegistered();
        m_rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviders, 0, KEY_READ, &m_key);
    }
    ~ProvidersKey() {
        if (m_rc == ERROR_SUCCESS) RegCloseKey(m_key);
    }
    ProvidersKey(const ProvidersKey&) = delete;
    ProvidersKey& operator=(const ProvidersKey&) = delete;
    LONG rc() const { return m_rc; }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
    LONG m_rc;
};

bool ReadType(HKEY parent, const char* name, unsigned long* type) {
    HKEY sub = nullptr;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) return false;
    DWORD value = 0, size = sizeof value, kind = 0;
    LONG rc = RegQueryValueExA(sub, "Type", nullptr, &kind, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(sub);
    if (rc != ERROR_SUCCESS || kind != REG_DWORD) return false;
    if (type) *type = value;
    return true;
}

int EnumProviders(unsigned long index, unsigned long* error, unsigned long* type, char* name,
                  unsigned long* nameLength) {
    if (!nameLength) {
        *error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    ProvidersKey key;
    if ((*error = key.rc()) != ERROR_SUCCESS) return 0;
    if (!name) {
        DWORD subKeys = 0, longest = 0;
        LONG rc = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, &longest, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
        if ((*error = rc) != ERROR_SUCCESS) return 0;
        *nameLength = longest + 1;
        return index < subKeys ? 1 : 0;
    }
    DWORD len = static_cast<DWORD>(*nameLength);
    LONG rc = RegEnumKeyExA(key.get(), static_cast<DWORD>(index), name, &len, nullptr, nullptr, nullptr, nullptr);
    if ((*error = rc) != ERROR_SUCCESS) return 0;
    *nameLength = len + 1;
    unsigned long t = 0;
    if (!ReadType(key.get(), name, &t)) {
        *error = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    if (type) *type = t;
    return 1;
}

bool IsProviderReg(const char* name, unsigned long* type) {
    if (!name || !*name) return false;
    ProvidersKey key;
    if (key.rc() != ERROR_SUCCESS) return false;
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key.get(), name, 0, KEY_READ, &sub) != ERROR_SUCCESS) return false;
    RegCloseKey(sub);
    return !type || ReadType(key.get(), name, type);
}

}  // namespace

int CCTFEnumProviders(unsigned long index, unsigned long* error, unsigned long /*reserved*/, unsigned long* type,
                      char* name, unsigned long* nameLength) {
    unsigned long dummy = 0;
    if (!error) error = &dummy;
    *error = 0;
    try {
        return EnumProviders(index, error, type, name, nameLength);
    } catch (...) {
        *error = vrk::CurrentExceptionWinError();
        return 0;
    }
}

bool CCTFIsProviderReg(const char* name, unsigned long* type) {
    try {
        return IsProviderReg(name, type);
    } catch (...) {
        SetLastError(vrk::CurrentExceptionWinError());
        return false;
    }
}
