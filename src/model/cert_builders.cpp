// The builders of a new certificate's information: CreateCertReq,
// AddUsageToReq, AddCRLPoint(s), AddAiaPoints.
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

#include "cert/convert.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "model/cert_internal.h"

using namespace cert::model;

namespace {

// The key purposes of AddUsageToReq's bits, in the order they are written.
const struct {
    DWORD bit;
    const char* oid;
} kPurposes[] = {
    {0x01, cert::oids::kServerAuth},      {0x02, cert::oids::kClientAuth},  {0x04, cert::oids::kCodeSigning},
    {0x08, cert::oids::kEmailProtection}, {0x10, "1.3.6.1.4.1.311.10.3.1"},  // trust list signing
    {0x20, cert::oids::kTimeStamping},
};

// An extension encoded from a platform structure and appended; false when
// it does not encode.
bool Append(CCTFCertInfo& info, const char* oid, BOOL critical, const void* structInfo, LPCSTR structType) {
    CCTFCertExtension ext(oid, critical, IdentObj());
    if (!ext.EncodeData(structInfo, structType)) return false;
    info.m_extensions.push_back(std::move(ext));
    return true;
}

// The same unless the list has an extension of this OID with this value.
bool AppendNew(CCTFCertInfo& info, const char* oid, BOOL critical, const void* structInfo, LPCSTR structType) {
    CCTFCertExtension ext(oid, critical, IdentObj());
    if (!ext.EncodeData(structInfo, structType)) return false;
    for (const auto& e : info.m_extensions)
        if (e.m_oid == ext.m_oid && e.m_value == ext.m_value) return true;
    info.m_extensions.push_back(std::move(ext));
    return true;
}

CERT_ALT_NAME_ENTRY Url(const CCTFString* url) {
    CERT_ALT_NAME_ENTRY entry{};
    entry.dwAltNameChoice = CERT_ALT_NAME_URL;
    // A missing URL stays null, which the encoder refuses.
    entry.pwszURL = url ? const_cast<LPWSTR>(static_cast<const char16_t*>(*url)) : nullptr;
    return entry;
}

bool AddDistributionPoints(CCTFCertInfo& info, int count, const CCTFString* const urls[], BOOL critical) {
    if (count <= 0) return true;
    if (!urls) return false;
    std::vector<CERT_ALT_NAME_ENTRY> names;
    for (int i = 0; i < count; ++i) names.push_back(Url(urls[i]));
    std::vector<CRL_DIST_POINT> points(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        points[i].DistPointName.dwDistPointNameChoice = CRL_DIST_POINT_FULL_NAME;
        points[i].DistPointName.FullName = CERT_ALT_NAME_INFO{1, &names[i]};
    }
    const CRL_DIST_POINTS_INFO list{static_cast<DWORD>(points.size()), points.data()};
    return AppendNew(info, cert::oids::kCrlDistributionPoints, critical, &list, X509_CRL_DIST_POINTS);
}

// The status of a platform call that failed, for CreateCertReq.
XTOOStatus PlatformFailure(const char* place) { return XTOOStatus(WinErr2ToolsErr(GetLastError()), place); }

}  // namespace

CCTFCertInfo CCTFCertInfo::CreateCertReq(const CCTFX509Name& subject, const CCTFAlgorithmIdentifier& signatureAlgorithm,
                                         DWORD keyType, WORD validityMonths, DWORD extendedUsage,
                                         const CCTFCertPublicKeyInfo& publicKey, const char* keyIdText,
                                         const IdentObj& serial, const CCTFX509Name& alternativeName, int isCA,
                                         XTOOStatus* status) {
    constexpr char kEncodePlace[] = "CreateCertReq::CryptEncodeObject";
    CCTFCertInfo info;
    std::optional<XTOOStatus> failure;
    try {
        info.m_subject = subject;
        info.m_signatureAlgorithm = signatureAlgorithm;
        info.m_version = CERT_V3;
        if (!serial.IsEmpty()) {
            info.m_serialNumber = serial;
        } else {
            // Least significant first: the key identifier word, a zero word,
            // then the time, which so makes the most significant end.
            DWORD keyWord = 0;
            if (keyIdText && std::sscanf(keyIdText, "%08X", &keyWord) != 1) keyWord = 0;
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            const DWORD words[4] = {keyWord, 0, now.dwLowDateTime, now.dwHighDateTime};
            BYTE* p = info.m_serialNumber.Alloc(sizeof words);
            for (DWORD w : words)
                for (int i = 0; i < 4; ++i) *p++ = static_cast<BYTE>(w >> (8 * i));
        }
        // Whole seconds, as the encoding carries them.
        SYSTEMTIME now;
        GetSystemTime(&now);
        now.wMilliseconds = 0;
        SystemTimeToFileTime(&now, &info.m_notBefore);
        AddMonthToTime(&now, validityMonths);
        SystemTimeToFileTime(&now, &info.m_notAfter);
        info.m_publicKey = publicKey;
        if (keyIdText) info.m_subjectUniqueId = CTOOCryptBitBlob(keyIdText, static_cast<DWORD>(std::strlen(keyIdText)));
        if (!AddUsageToReq(info, extendedUsage, keyType, isCA != 0)) {
            failure = PlatformFailure(kEncodePlace);
        } else if (!publicKey.m_publicKey.IsEmpty()) {
            const IdentObj keyId = publicKey.GetKeyID();
            const CRYPT_DATA_BLOB blob = BlobView(keyId);
            if (keyId.IsEmpty())
                failure = XTOOStatus(TOOERR_EXCEPTION, "CreateCertReq::GetKeyID");
            else if (!Append(info, cert::oids::kSubjectKeyIdentifier, FALSE, &blob, X509_OCTET_STRING))
                failure = PlatformFailure(kEncodePlace);
        }
        // "2.5.29.7": the subject alternative name under its obsolete OID.
        if (!failure && !alternativeName.IsEmpty()) info.m_extensions.emplace_back("2.5.29.7", FALSE, alternativeName);
    } catch (const XTOOStatus& s) {
        failure = XTOOStatus(s);
    } catch (...) {
        failure = XTOOStatus(TOOStatusOfCurrentException(), "CreateCertReq");
    }
    if (failure) {
        if (!status) throw *failure;
        *status = *failure;
    }
    return info;
}

bool CCTFCertInfo::AddUsageToReq(CCTFCertInfo& info, DWORD extendedUsage, DWORD keyType, bool isCA) {
    return Quietly(false, [&] {
        info.m_version = CERT_V3;
        if (!info.m_extensions.Find(cert::oids::kKeyUsage)) {
            // Every key type but an exchange key is taken for a signature key.
            BYTE usage = keyType == AT_KEYEXCHANGE ? 0x38 : isCA ? 0xC6 : 0xF0;
            const CRYPT_BIT_BLOB bits{1, &usage, 0};
            if (!Append(info, cert::oids::kKeyUsage, TRUE, &bits, X509_KEY_USAGE)) return false;
        }
        if (!isCA && !info.m_extensions.Find(cert::oids::kExtKeyUsage)) {
            std::vector<LPSTR> oids;
            for (const auto& p : kPurposes)
                if (extendedUsage & p.bit) oids.push_back(const_cast<LPSTR>(p.oid));
            const CERT_ENHKEY_USAGE usage{static_cast<DWORD>(oids.size()), oids.data()};
            if (!oids.empty() && !Append(info, cert::oids::kExtKeyUsage, FALSE, &usage, X509_ENHANCED_KEY_USAGE))
                return false;
        }
        if (!info.m_extensions.Find(cert::oids::kBasicConstraints)) {
            const CERT_BASIC_CONSTRAINTS2_INFO constraints{isCA ? TRUE : FALSE, FALSE, 0};
            if (!Append(info, cert::oids::kBasicConstraints, TRUE, &constraints, X509_BASIC_CONSTRAINTS2)) return false;
        }
        return true;
    });
}

bool CCTFCertInfo::AddCRLPoints(CCTFCertInfo& info, int count, const CCTFString* const urls[]) {
    return Quietly(false, [&] { return AddDistributionPoints(info, count, urls, FALSE); });
}

bool CCTFCertInfo::AddCRLPoint(CCTFCertInfo& info, const CTOOString& url) {
    return Quietly(false, [&] {
        const CCTFString one(url.c_str());
        const CCTFString* const urls[] = {&one};
        return AddDistributionPoints(info, 1, urls, TRUE);
    });
}

bool CCTFCertInfo::AddAiaPoints(CCTFCertInfo& info, int caIssuerCount, const CCTFString* const caIssuerUrls[],
                                int ocspCount, const CCTFString* const ocspUrls[]) {
    return Quietly(false, [&] {
        std::vector<CERT_ACCESS_DESCRIPTION> access;
        for (const auto& [method, count, urls] : {std::tuple{cert::oids::kOcsp, ocspCount, ocspUrls},
                                                  std::tuple{cert::oids::kCaIssuers, caIssuerCount, caIssuerUrls}}) {
            if (count > 0 && !urls) return false;
            for (int i = 0; i < count; ++i) access.push_back({const_cast<LPSTR>(method), Url(urls[i])});
        }
        if (access.empty()) return true;
        const CERT_AUTHORITY_INFO_ACCESS aia{static_cast<DWORD>(access.size()), access.data()};
        return AppendNew(info, cert::oids::kAuthorityInfoAccess, FALSE, &aia, X509_AUTHORITY_INFO_ACCESS);
    });
}
