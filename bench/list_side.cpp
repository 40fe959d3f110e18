#include "list_side.h"

#include "cert/certlist.h"
#include "cert/platform.h"

namespace listside {

bool WriteLists(const std::vector<std::vector<std::uint8_t>>& certs, const std::string& record,
                const std::string& pkcs7, const std::string& home) {
    cert::platform::SetCertHome(home);
    CCTFCertList r(record.c_str()), p(pkcs7.c_str());
    p.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    for (const auto& c : certs) {
        const IdentObj der(c.data(), DWORD(c.size()));
        if (!r.ReturnStorage()->AddEncodetCertificate(der) || !p.ReturnStorage()->AddEncodetCertificate(der))
            return false;
    }
    return r.WriteFile(nullptr) == 0 && p.WriteFile(nullptr) == 0;
}

long Load(const std::string& path) {
    try {
        CCTFCertList l(path.c_str());
        l.LoadFile();
        CCTFCertStorage* s = l.ReturnStorage();
        long n = 0;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(s->GetHandle(), c)) != nullptr) ++n;
        return n;
    } catch (const XTOOStatus&) {
        return -1;
    }
}

}  // namespace listside
