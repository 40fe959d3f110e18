// File, store and record helpers of the list classes.
#include <algorithm>
#include <cstring>

#include "cert/capi.h"
#include "cert/platform.h"
#include "stores/list_internal.h"

namespace cert::lists {

bool FindRecord(const unsigned char* data, std::uint64_t size, std::uint64_t from, const char (&code)[5],
                bool withValue, Record& out) {
    if (from > size || size - from < 4) return false;
    const unsigned char* begin = data + from;
    const unsigned char* end = data + size;
    const unsigned char* hit = std::search(begin, end, code, code + 4);
    if (hit == end) return false;
    out.at = std::uint64_t(hit - data);
    out.after = out.at + 4;
    out.value = 0;
    if (withValue) {
        if (size - out.after < 4) throw XTOOStatus(TOOERR_LISTFORMAT, "list header: record cut short");
        const unsigned char* v = data + out.after;
        out.value =
            std::uint32_t(v[0]) | std::uint32_t(v[1]) << 8 | std::uint32_t(v[2]) << 16 | std::uint32_t(v[3]) << 24;
        out.after += 4;
    }
    return true;
}

int ReadListFile(const std::string& path, std::string& out) {
    DWORD e = cert::platform::ReadWholeFile(path, out, kMaxListFile);
    switch (e) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return TOOERR_NOFILE;
        case ERROR_FILE_TOO_LARGE:
            return CTFERR_LIST_NOLENGTH;
        default:
            return TOOERR_OPEN;
    }
}

int WriteListFile(const std::string& path, const std::string& bytes) {
    DWORD e = cert::platform::WriteFileAtomic(path, bytes.data(), bytes.size());
    switch (e) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_DIRECTORY:
        case ERROR_STOPPED_ON_SYMLINK:
        case ERROR_NOT_SUPPORTED:
            return TOOERR_OPEN;
        default:
            return TOOERR_WRITE;
    }
}

std::vector<IdentObj> StoreCertificates(const CCTFCertStorage& s) {
    std::vector<IdentObj> out;
    if (!s.IsOpen()) return out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s.GetHandle(), c)) != nullptr)
        out.emplace_back(c->pbCertEncoded, c->cbCertEncoded);
    return out;
}

std::vector<IdentObj> StoreCrls(const CCTFCertStorage& s) {
    std::vector<IdentObj> out;
    if (!s.IsOpen()) return out;
    PCCRL_CONTEXT c = nullptr;
    while ((c = CertEnumCRLsInStore(s.GetHandle(), c)) != nullptr) out.emplace_back(c->pbCrlEncoded, c->cbCrlEncoded);
    return out;
}

bool ResetStore(CCTFCertStorage& s) {
    CCTFString name = s.GetName();
    return s.OpenStorage(name, CERT_STORE_PROV_MEMORY, 0, 0, nullptr) != 0;
}

int LastErrorStatus() {
    int st = WinErr2ToolsErr(GetLastError());
    return st ? st : TOOERR_EXCEPTION;
}

}  // namespace cert::lists
