// CRLs for the CRL file tests: built through the model with a made-up
// signature (a CRL file never checks one), so that many issuers cost nothing.
#pragma once

#include <string>

#include "cert/crlmodel.h"
#include "cert/oids.h"
#include "cert/signeddata.h"
#include "cert/tootime.h"

namespace crlfiletest {

// The CRL of `issuer` under the authority key `keyId` (none when empty),
// with a CRL number when `number` is given and one revoked `serial`.
inline IdentObj MakeCrl(const std::string& issuer, const std::string& keyId, const std::string& number = "",
                        const std::string& serial = "\x01\x02") {
    CCTF_CRL_List crl;
    crl.m_info.m_issuer = CCTFX509Name(issuer.c_str());
    crl.m_info.m_signatureAlgorithm = CCTFAlgorithmIdentifier("1.2.643.7.1.1.3.2");
    crl.m_signatureAlgorithm = crl.m_info.m_signatureAlgorithm;
    crl.m_info.m_thisUpdate = CTOOFileTime::FromUnix(1800000000).GetFileTime();
    const FILETIME at = crl.m_info.m_thisUpdate;
    crl.m_info.AddEntry(IdentObj(serial), 1, &at);
    if (!keyId.empty()) {
        const IdentObj id(keyId);
        crl.m_info.m_extensions.push_back(CCTFIssuerPublicKeyID(&id, nullptr, nullptr));
    }
    if (!number.empty())
        crl.SetSerial(reinterpret_cast<const unsigned char*>(number.data()), static_cast<DWORD>(number.size()));
    crl.m_signature = CTOOCryptBitBlob(IdentObj(std::string(64, '\x5A')));
    return crl.GetEncodetObject();
}

// The CRLs a CRL file holds, in order.
inline std::list<IdentObj> CrlsIn(const std::string& bytes) {
    CCTFSignData data;
    int error = 0;
    if (!data.ReadObject(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()),
                         &error))
        return {};
    return data.m_crls;
}

}  // namespace crlfiletest
