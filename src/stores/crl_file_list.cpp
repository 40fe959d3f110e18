// CCTFCRLFileList: one CRL file and the verdict on its signature.
#include "cert/capi.h"
#include <sys/stat.h>

#include "cert/platform.h"
#include "stores/list_internal.h"

using namespace cert::lists;

CCTFCRLFileList::CCTFCRLFileList(const CTOOString& path, CCTFCertStorage& storage, XTOOStatus* status)
    : m_fileName(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) LoadFile(path, storage, status);
}

CCTFCRLFileList::~CCTFCRLFileList() = default;

bool CCTFCRLFileList::LoadFile(const CTOOString& path, CCTFCertStorage& storage, XTOOStatus* status) {
    try {
        m_fileName = path;
        std::string bytes;
        int st = ReadListFile(path.str(), bytes);
        if (st == 0 && bytes.empty()) st = TOOERR_NOFILE;
        if (st) throw XTOOStatus(st, path.c_str());
        IdentObj der(bytes);
        CCTFCRLContext context;
        if (!context.CreateCRLContext(der)) throw XTOOStatus(LastErrorStatus(), path.c_str());
        DecodeObject(der);
        if (!storage.IsOpen()) {
            m_status = CTF_CRLFILE_NO_ISSUER;
            return true;
        }
        CCTFIssuerPublicKeyID aki;
        if (const CCTFCertExtension* e = m_info.m_extensions.Find("2.5.29.35"))
            aki = CCTFIssuerPublicKeyID(*e);
        else if (const CCTFCertExtension* e1 = m_info.m_extensions.Find("2.5.29.1"))
            aki = CCTFIssuerPublicKeyID(*e1);
        unsigned long verdict = CTF_CRLFILE_NO_ISSUER;
        for (const auto& c : StoreCertificates(storage)) {
            CCTFCertContext cert(c);
            if (!cert.IsInitialized()) continue;
            bool match;
            if (!aki.GetSerialNumber().IsEmpty()) {
                // As written, the certificate's own issuer is compared with
                // the CRL's: only a self-issued CA is found this way.
                IdentObj serial;
                match = cert.GetSubjectSerialNumber(serial) && serial == aki.GetSerialNumber() &&
                        cert.GetIssuerName() == m_info.m_issuer;
            } else if (!aki.GetKeyID().IsEmpty()) {
                match = cert.GetSubjectKeyId() == aki.GetKeyID();
            } else {
                match = cert.GetSubjectName() == m_info.m_issuer;
            }
            if (!match) continue;
            int err = 0;
            verdict = CheckSign(cert, &err, nullptr) ? CTF_CRLFILE_VERIFIED : CTF_CRLFILE_BAD_SIGNATURE;
            break;
        }
        m_status = verdict;
        return true;
    } catch (...) {
        CTOOString place;
        int st = TOOStatusOfCurrentException(&place);
        if (!status) throw XTOOStatus(st, path.c_str());
        *status = XTOOStatus(st, path.c_str());
        return false;
    }
}

int CCTFCRLFileList::SaveFile() {
    try {
        IdentObj der = GetEncodetObject();
        return WriteListFile(m_fileName.str(), std::string(der.view()));
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}
