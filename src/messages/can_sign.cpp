// Whether a certificate may sign at a given time.
#include "cert/capi.h"
#include "cert/oids.h"
#include "cert/verify.h"

namespace {

constexpr DWORD kNotForSigning = 106;
constexpr DWORD kOutOfPeriod = 203;

// 0 when the certificate may sign at `at`, else the reason.
DWORD Judge(const CCTFCertInfo& info, const CTOOFileTime& at) {
    IdentObj decoded;
    // A constraint that cannot be read cannot be honoured: refuse rather
    // than guess what it said.
    if (const CCTFCertExtension* bc = info.m_extensions.Find(cert::oids::kBasicConstraints)) {
        if (!bc->DecodeData(decoded, cert::oids::kBasicConstraints)) return kNotForSigning;
    }
    if (const CCTFCertExtension* bc = info.m_extensions.Find(cert::oids::kBasicConstraintsOld)) {
        if (!bc->DecodeData(decoded, cert::oids::kBasicConstraintsOld)) return kNotForSigning;
    }
    if (const CCTFCertExtension* ku = info.m_extensions.Find(cert::oids::kKeyUsage)) {
        if (!ku->DecodeData(decoded, cert::oids::kKeyUsage)) return kNotForSigning;
        const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(decoded.data());
        const BYTE first = bits->cbData ? bits->pbData[0] : 0;
        if (!(first & (CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE))) return kNotForSigning;
    }
    const ULONGLONG when = at.IsEmpty() ? CTOOFileTime::now().Ticks() : at.Ticks();
    if (when < CTOOFileTime(info.m_notBefore).Ticks() || when > CTOOFileTime(info.m_notAfter).Ticks())
        return kOutOfPeriod;
    LONGLONG secondsLeft = -1;
    FILETIME end{0, 0};
    if (!CTFIsSignKeyPeriodValid(info, secondsLeft, end, CTOOFileTime(when)))
        return secondsLeft == 0 ? kOutOfPeriod : kNotForSigning;  // -1: the period does not decode
    return 0;
}

}  // namespace

bool CTFCanSignByCert(const CCTFCertContext& certificate, bool /*flag*/, const CTOOFileTime& time) {
    try {
        if (!certificate.IsInitialized()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const DWORD why = Judge(CCTFCertInfo(*certificate.GetContext()), time);
        if (why) SetLastError(why);
        return why == 0;
    } catch (...) {
        SetLastError(kNotForSigning);
        return false;
    }
}
