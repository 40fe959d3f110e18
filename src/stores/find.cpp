// Searches over the storage list, CRL lists and CRL installation, and the
// certificate searches the lower layers ask of the transport directory.
#include <openssl/sha.h>

#include "cert/certlist.h"
#include "cert/crlmodel.h"
#include "cert/ctfuser.h"
#include "cert/toofile.h"
#include "cert/transdir.h"
#include "stores/collection_internal.h"
#include "stores/list_internal.h"

using namespace cert::stores;

namespace {

// The storage list of `flags`, empty where it needs a trust storage that
// is not loaded.
std::list<CCTFCertStorage> ListOrNone(unsigned long flags) {
    try {
        return CTFGetStorageList(flags, nullptr);
    } catch (const XTOOStatus&) {
        return {};
    }
}

// The CRLs of one file: a PKCS #7 list's CRL set, or one DER CRL.
void CrlsOfFile(const std::string& path, std::list<CCTFCRLContext>& out) {
    try {
        CCTFCertList list(path.c_str());
        list.LoadFile();
        for (const IdentObj& der : cert::lists::StoreCrls(*list.ReturnStorage())) {
            CCTFCRLContext crl(der);
            if (crl.IsInitialized()) out.push_back(std::move(crl));
        }
        return;
    } catch (const XTOOStatus&) {
    }
    std::string bytes;
    if (cert::lists::ReadListFile(path, bytes) != 0 || bytes.empty()) return;
    CCTFCRLContext crl{IdentObj(bytes)};
    if (crl.IsInitialized()) out.push_back(std::move(crl));
}

// The certificate of a container's key: by the key identifier its
// certificate names, else by the SHA-1 of its public key.
bool KeyCertificate(const CCTFUserKeyInfo& key, CCTFCertContext& found) {
    if (key.m_keyId.IsEmpty()) return false;
    for (const CCTFCertStorage& s : ListOrNone(CTF_SL_COMMON | CTF_SL_ALTERNATIVE | CTF_SL_TRUST)) {
        for (const IdentObj& der : cert::lists::StoreCertificates(s)) {
            CCTFCertContext cert(der);
            if (!cert.IsInitialized()) continue;
            const CRYPT_BIT_BLOB& bits = cert.GetContext()->pCertInfo->SubjectPublicKeyInfo.PublicKey;
            unsigned char digest[SHA_DIGEST_LENGTH];
            SHA1(bits.pbData, bits.cbData, digest);
            if (cert.GetSubjectKeyId() == key.m_keyId || IdentObj(digest, sizeof digest) == key.m_keyId) {
                found = cert;
                return true;
            }
        }
    }
    return false;
}

bool CrlEntryCertificate(const IdentObj& serial, DWORD searchFlags, CCTFCertContext& found) {
    found = CTFFindCertificate(serial, searchFlags);
    return found.IsInitialized();
}

// The lower layers find certificates through the transport directory once
// this layer is loaded.
struct RegisterSearches {
    RegisterSearches() {
        CTFSetKeyCertificateSearch(&KeyCertificate);
        CertDll::SetCrlCertificateSearch(&CrlEntryCertificate);
    }
} g_registerSearches;

}  // namespace

CCTFCertContext CTFFindCertificate(const IdentObj& serial, unsigned long flags) {
    try {
        if (serial.IsEmpty()) return {};
        CCTFCertInfo pattern;
        pattern.m_serialNumber = serial;
        const unsigned long kept = flags & (CTF_SL_SYSTEM | CTF_SL_ALTERNATIVE);
        for (unsigned long bit : {CTF_SL_OWN_USERS, CTF_SL_EXT_USERS, CTF_SL_TRUST, CTF_SL_TRUST_OTHER}) {
            if (!(flags & bit)) continue;
            for (const CCTFCertStorage& s : ListOrNone(bit | kept)) {
                std::list<CCTFCertContext> found;
                if (s.FindCertList(found, CERT_FIND_SUBJECT_CERT, &pattern) && !found.empty()) return found.front();
            }
        }
    } catch (...) {
        // Out of memory: as not found.
    }
    return {};
}

CCTFCertContext CTFFindCertificate(const CCTFCRLContext& crl, unsigned long index) {
    if (!crl.IsInitialized()) return {};
    const CRL_INFO* info = crl.GetContext()->pCrlInfo;
    if (index >= info->cCRLEntry) return {};
    const CRYPT_INTEGER_BLOB& serial = info->rgCRLEntry[index].SerialNumber;
    try {
        return CTFFindCertificate(IdentObj(serial.pbData, serial.cbData),
                                  CTF_SL_TRUST | CTF_SL_TRUST_OTHER | CTF_SL_OWN_USERS | CTF_SL_EXT_USERS |
                                      (ApplicationFlag() & CTF_APP_ALTERNATIVE));
    } catch (...) {
        return {};
    }
}

std::list<CCTFCRLContext> CTFGetCRLContextList(const CCTFCertStorage& storage) {
    try {
        return storage.GetCRLList();
    } catch (...) {
        return {};
    }
}

std::list<CCTFCRLContext> CTFGetCRLContextList(const char* folder) {
    std::list<CCTFCRLContext> out;
    try {
        const std::string dir = folder && *folder ? folder : ".";
        for (const char* mask : {"*.p7?", "*.crl"}) {
            CTOOFindFile ff;
            for (bool ok = ff.Get(dir.c_str(), mask); ok; ok = ff.GetLast())
                if (!ff.IsFolder()) CrlsOfFile(ff.FullName().str(), out);
        }
    } catch (...) {
        // Out of memory: what was read so far.
    }
    return out;
}

int CTFUpdateCRLContext(const CCTFCRLContext& crl, int* error, CTOOString* place) {
    bool initialised = false;
    try {
        initialised = CTFGetStorageCollection().IsInit();
    } catch (...) {
        TOOReportCurrentException("CTFUpdateCRLContext", error, place);
        return 0;
    }
    if (!initialised) {
        TOOReport(CTFERR_NO_TRUST_STORAGE, "m_VPN_TrustStorages", error, place);
        return 0;
    }
    // The collection reports by the same rule and lets nothing else escape.
    return CTFGetStorageCollection().UpdateCRLInStorage(crl, error, place) ? 1 : 0;
}
