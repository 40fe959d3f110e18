// Placeholders for the store backings until their own files land; removed
// when they do. Property 2 is kept in a simple form of its own meanwhile.
#include <cstring>

#include "capi/store_backing.h"

namespace capi::store {

std::unique_ptr<Backing> OpenFileBacking(const std::string&, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

std::unique_ptr<Backing> OpenSystemBacking(const std::u16string&, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

bool ParseSerialized(const BYTE*, size_t, std::vector<Element>&, size_t*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

std::vector<BYTE> WriteSerialized(const std::vector<Element>&) { return {}; }
std::vector<BYTE> WritePkcs7Bundle(const std::vector<Element>&) { return {}; }

namespace {
void Put(std::vector<BYTE>& out, const void* p, size_t n) {
    const auto* b = static_cast<const BYTE*>(p);
    out.insert(out.end(), b, b + n);
}
void PutText(std::vector<BYTE>& out, const std::u16string& s) {
    DWORD n = static_cast<DWORD>(s.size());
    Put(out, &n, 4);
    Put(out, s.data(), n * 2);
}
bool Get(const BYTE*& p, size_t& n, void* out, size_t k) {
    if (n < k) return false;
    std::memcpy(out, p, k);
    p += k;
    n -= k;
    return true;
}
bool GetText(const BYTE*& p, size_t& n, std::u16string& s) {
    DWORD k = 0;
    if (!Get(p, n, &k, 4) || n / 2 < k) return false;
    s.resize(k);
    return Get(p, n, s.data(), k * 2);
}
}  // namespace

bool DecodeKeyProvInfo(const BYTE* p, size_t n, KeyProvInfo& out) {
    KeyProvInfo k;
    DWORD count = 0;
    if (!GetText(p, n, k.container) || !GetText(p, n, k.provider) || !Get(p, n, &k.provType, 4) ||
        !Get(p, n, &k.flags, 4) || !Get(p, n, &k.keySpec, 4) || !Get(p, n, &count, 4))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        DWORD id = 0, size = 0;
        if (!Get(p, n, &id, 4) || !Get(p, n, &size, 4) || n < size) return false;
        k.params.emplace_back(id, std::vector<BYTE>(p, p + size));
        p += size;
        n -= size;
    }
    out = std::move(k);
    return n == 0;
}

std::vector<BYTE> EncodeKeyProvInfo(const KeyProvInfo& info) {
    std::vector<BYTE> out;
    PutText(out, info.container);
    PutText(out, info.provider);
    Put(out, &info.provType, 4);
    Put(out, &info.flags, 4);
    Put(out, &info.keySpec, 4);
    DWORD count = static_cast<DWORD>(info.params.size());
    Put(out, &count, 4);
    for (const auto& [id, value] : info.params) {
        DWORD size = static_cast<DWORD>(value.size());
        Put(out, &id, 4);
        Put(out, &size, 4);
        Put(out, value.data(), value.size());
    }
    return out;
}

}  // namespace capi::store
