// Signature verification.
#include "cert/verify.h"

#include "cert/tools.h"

CCTFWholeSignatureCheck::~CCTFWholeSignatureCheck() = default;

int CCTFWholeSignatureCheck::Compare(const CCTFWholeSignatureCheck& o) const {
    if (const int c = m_signerInfo.Compare(o.m_signerInfo)) return c;
    if (m_certificate != o.m_certificate) return m_certificate < o.m_certificate ? -1 : 1;
    if (m_blob != o.m_blob) return m_blob < o.m_blob ? -1 : 1;
    if (m_status != o.m_status) return m_status < o.m_status ? -1 : 1;
    if (m_text != o.m_text) return m_text < o.m_text ? -1 : 1;
    return 0;
}

bool CTFVerifySignedData(std::list<CCTFWholeSignatureCheck>*, const WhatToSignStruct&, const IdentObj&,
                         const CCTFCertStorage*, int* error) {
    TOOReport(TOOERR_NO_CONTAINER_INFO, "CTFVerifySignedData", error);
    return false;
}

bool CTFVerifySignatureOnFile(std::list<CCTFWholeSignatureCheck>&, const char*, const IdentObj*, const CCTFCertStorage*,
                              int* error) {
    TOOReport(TOOERR_NO_CONTAINER_INFO, "CTFVerifySignatureOnFile", error);
    return false;
}

bool CTFRemoveSignaturesFromFile(const char*, const char*, IdentObj*, int* error) {
    TOOReport(TOOERR_NO_CONTAINER_INFO, "CTFRemoveSignaturesFromFile", error);
    return false;
}

unsigned long CTFGetSignaturesSizes(const CCTFCertContext&, unsigned long, CCTFSignData*, unsigned long, const char*,
                                    int* error) {
    TOOReport(TOOERR_NO_CONTAINER_INFO, "CTFGetSignaturesSizes", error);
    return 0;
}

unsigned long CTFGetSignaturesSizes(const IdentObj&, unsigned long, CCTFSignData*, unsigned long, const char*,
                                    int* error) {
    TOOReport(TOOERR_NO_CONTAINER_INFO, "CTFGetSignaturesSizes", error);
    return 0;
}
