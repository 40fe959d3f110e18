// What the check of a signed trust list asks of the storage list, signature
// verification and the chain engine.
#include <list>

#include "cert/certlist.h"
#include "cert/chain.h"
#include "cert/errtext.h"
#include "cert/transdir.h"
#include "cert/verify.h"
#include "stores/list_internal.h"

namespace {

// A signer whose chain could not be built at all is as untrusted as one
// that ends nowhere.
constexpr int kNoChain = static_cast<int>(0x800B010Au);

class LayerVerifier final : public CertDll::TrustListVerifier {
public:
    int GetStorages(std::list<CCTFCertStorage>& out) override {
        try {
            out = CTFGetStorageList(CTF_SL_TRUST, nullptr);
            return 0;
        } catch (const XTOOStatus& e) {
            return e.Status();
        } catch (...) {
            return TOOERR_EXCEPTION;
        }
    }

    int VerifySignedData(const IdentObj& file, CCTFCertStorage& signers, int* signerStatus,
                         CCTFCertContext& signer) override {
        try {
            std::list<CCTFWholeSignatureCheck> results;
            // A list carries no content: its digest runs over its certificates.
            WhatToSignStruct none;
            none.end = 0xFFFFFFFFu;
            int error = 0;
            if (!CTFVerifySignedData(&results, none, file, &signers, &error)) return error ? error : TOOERR_EXCEPTION;
            if (results.empty()) return CTFERR_LIST_NO_RESULT;
            const CCTFWholeSignatureCheck& first = results.front();
            if (signerStatus) *signerStatus = static_cast<int>(first.m_status);
            signer = first.m_certificate.IsEmpty() ? CCTFCertContext() : CCTFCertContext(first.m_certificate);
            return 0;
        } catch (const XTOOStatus& e) {
            return e.Status();
        } catch (...) {
            return TOOERR_EXCEPTION;
        }
    }

    int VerifyCertificate(const CCTFCertContext& cert) override {
        try {
            if (!cert.IsInitialized()) return kNoChain;
            CERT_TRUST_STATUS status{};
            if (!CTFVerifyCertificate(cert, status)) return kNoChain;
            return static_cast<int>(CTFCertFlags2WinErr(status.dwErrorStatus));
        } catch (...) {
            return kNoChain;
        }
    }
};

}  // namespace

CertDll::TrustListVerifier* cert::lists::LayerTrustListVerifier() {
    static LayerVerifier verifier;
    return &verifier;
}
