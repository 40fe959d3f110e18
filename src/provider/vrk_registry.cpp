// The installed providers as the registry lists them under
// HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Cryptography\Defaults\Provider".
//
// Until the registry emulation is available to this layer the rows are kept
// here, in the order the registry would enumerate its subkeys (by name).
#include <algorithm>
#include <cstring>

#include "provider/vrk_internal.h"

namespace {

struct ProviderRow {
    const char* name;
    DWORD type;
};

const std::vector<ProviderRow>& Rows() {
    static const std::vector<ProviderRow> rows = [] {
        std::vector<ProviderRow> r = {
            {VRK_PROV_MS_BASE, VRK_PROV_TYPE_RSA_FULL},
            {VRK_PROV_MS_DSS, VRK_PROV_TYPE_DSS},
            {VRK_PROV_GOST, VRK_PROV_TYPE_GOST},
            {VRK_PROV_GOST_2012_256, VRK_PROV_TYPE_GOST_2012_256},
            {VRK_PROV_GOST_2012_512, VRK_PROV_TYPE_GOST_2012_512},
        };
        std::sort(r.begin(), r.end(), [](const ProviderRow& a, const ProviderRow& b) {
            return strcasecmp(a.name, b.name) < 0;
        });
        return r;
    }();
    return rows;
}

}  // namespace

int CCTFEnumProviders(unsigned long index, unsigned long* error, unsigned long /*reserved*/, unsigned long* type,
                      char* name, unsigned long* nameLength) {
    const auto& rows = Rows();
    if (error) *error = 0;
    if (!nameLength) {
        if (error) *error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (!name) {
        std::size_t longest = 0;
        for (const auto& r : rows) longest = std::max(longest, std::strlen(r.name));
        *nameLength = static_cast<unsigned long>(longest + 1);
        return index < rows.size() ? 1 : 0;
    }
    if (index >= rows.size()) {
        if (error) *error = ERROR_NO_MORE_ITEMS;
        return 0;
    }
    const std::size_t len = std::strlen(rows[index].name);
    if (*nameLength < len + 1) {
        *nameLength = static_cast<unsigned long>(len + 1);
        if (error) *error = ERROR_MORE_DATA;
        return 0;
    }
    std::memcpy(name, rows[index].name, len + 1);
    *nameLength = static_cast<unsigned long>(len + 1);
    if (type) *type = rows[index].type;
    return 1;
}

bool CCTFIsProviderReg(const char* name, unsigned long* type) {
    if (!name) return false;
    for (const auto& r : Rows()) {
        if (strcasecmp(r.name, name) == 0) {
            if (type) *type = r.type;
            return true;
        }
    }
    return false;
}
