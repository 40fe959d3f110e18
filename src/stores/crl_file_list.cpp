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
        unsigned long verdict = CTF_CRLFILE_NO_ISSUER;
        const std::vector<CCTFCertContext> candidates = CrlIssuerCandidates(m_info, storage);
        if (!candidates.empty()) {
            int err = 0;
            verdict = CheckSign(candidates.front(), &err, nullptr) ? CTF_CRLFILE_VERIFIED : CTF_CRLFILE_BAD_SIGNATURE;
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

std::vector<CCTFCertContext> cert::lists::CrlIssuerCandidates(const CCTF_CRL_Info& crl,
                                                              const CCTFCertStorage& storage) {
    CCTFIssuerPublicKeyID aki;
    if (const CCTFCertExtension* e = crl.m_extensions.Find("2.5.29.35"))
        aki = CCTFIssuerPublicKeyID(*e);
    else if (const CCTFCertExtension* e1 = crl.m_extensions.Find("2.5.29.1"))
        aki = CCTFIssuerPublicKeyID(*e1);
    std::vector<CCTFCertContext> certs;
    for (const auto& c : StoreCertificates(storage)) {
        CCTFCertContext cert(c);
        if (cert.IsInitialized()) certs.push_back(std::move(cert));
    }
    std::vector<CCTFCertContext> out;
    const auto pick = [&](auto&& match) {
        for (const CCTFCertContext& cert : certs)
            if (match(cert)) out.push_back(cert);
    };
    if (!aki.GetSerialNumber().IsEmpty())
        // The identifier names the CA's certificate by its issuer and
        // serial; without the issuer's name the CRL's stands in, which only
        // a self-issued CA matches.
        pick([&](const CCTFCertContext& cert) {
            IdentObj serial;
            const CCTFX509Name& issuer = aki.GetIssuerName().IsEmpty() ? crl.m_issuer : aki.GetIssuerName();
            return cert.GetSubjectSerialNumber(serial) && serial == aki.GetSerialNumber() &&
                   cert.GetIssuerName() == issuer;
        });
    if (out.empty() && !aki.GetKeyID().IsEmpty())
        pick([&](const CCTFCertContext& cert) { return cert.GetSubjectKeyId() == aki.GetKeyID(); });
    if (out.empty() && aki.GetSerialNumber().IsEmpty() && aki.GetKeyID().IsEmpty())
        pick([&](const CCTFCertContext& cert) { return cert.GetSubjectName() == crl.m_issuer; });
    return out;
}

int CCTFCRLFileList::SaveFile() {
    try {
        IdentObj der = GetEncodetObject();
        return WriteListFile(m_fileName.str(), std::string(der.view()));
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}
