// The to-be-signed CRL: decoding and encoding through the platform's CRL
// structure, entries, the CRL number.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/crlmodel.h"
#include "cert/oids.h"
#include "cert/tootime.h"
#include "contexts/crl_internal.h"

namespace cert::contexts::crl {

[[noreturn]] void ThrowLastError(const char* place) {
    const DWORD code = GetLastError();
    const bool memory = code == static_cast<DWORD>(E_OUTOFMEMORY) || code == CRYPT_E_ASN1_MEMORY;
    const int status = memory ? TOOERR_NOMEM : WinErr2ToolsErr(code);
    throw XTOOStatus(status ? status : TOOERR_DER_FORMAT, place);
}

Decoded Decode(LPCSTR type, const BYTE* der, DWORD size, DWORD flags, std::size_t estimate, const char* place) {
    Decoded out;
    DWORD have = static_cast<DWORD>(std::min<std::size_t>(estimate, 0xFFFFFFF0u)) & ~7u;
    out.mem.reset(new std::uint64_t[have / 8 + 1]);
    DWORD need = have;
    if (CryptDecodeObject(CAPI_ENCODING, type, der, size, flags, out.mem.get(), &need)) return out;
    if (GetLastError() != ERROR_MORE_DATA) ThrowLastError(place);
    out.mem.reset(new std::uint64_t[need / 8 + 1]);
    if (!CryptDecodeObject(CAPI_ENCODING, type, der, size, flags, out.mem.get(), &need)) ThrowLastError(place);
    return out;
}

IdentObj Encode(LPCSTR type, const void* info, const char* place) {
    DWORD need = 0;
    if (!CryptEncodeObject(CAPI_ENCODING, type, info, nullptr, &need)) ThrowLastError(place);
    IdentObj der;
    der.Alloc(need);
    if (!CryptEncodeObject(CAPI_ENCODING, type, info, der.data(), &need)) ThrowLastError(place);
    der.Realloc(need);
    return der;
}

CRYPT_ALGORITHM_IDENTIFIER PlatformAlgorithm(const CCTFAlgorithmIdentifier& alg) {
    CRYPT_ALGORITHM_IDENTIFIER out{};
    out.pszObjId = const_cast<char*>(alg.GetOID().c_str());
    out.Parameters = alg.GetParameters().blob();
    return out;
}

FILETIME NowWholeSeconds() {
    const ULONGLONG t = CTOOFileTime::now().Ticks();
    return cert::platform::U64ToFileTime(t - t % CTOOFileTime::kTicksPerSecond);
}

IdentObj CrlNumberOf(const BYTE* value, DWORD size) {
    try {
        asn::Reader r(value, size);
        const asn::Element e = r.Expect(asn::kInteger);
        r.Finish();
        if (!e.content.empty()) return IdentObj(e.content.data(), static_cast<DWORD>(e.content.size()));
    } catch (const asn::Error&) {
    }
    return IdentObj(value, size);
}

}  // namespace cert::contexts::crl

using namespace cert::contexts::crl;

namespace {

constexpr const char* kDecodePlace = "CCTF_CRL_Info::DecodeData()";
constexpr const char* kEncodePlace = "CCTF_CRL_Info::EncodeData()";

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The extensions of one structure as the platform encoder takes them. The
// OID texts are kept in `oids`, which must not reallocate while the
// pointers live: the caller reserves for all of them first.
void PutExtensions(const CCTFCertExtensionList& list, std::vector<std::string>& oids,
                   std::vector<CERT_EXTENSION>& out) {
    for (const auto& e : list) {
        oids.emplace_back(e.m_oid.view());
        out.push_back(CERT_EXTENSION{oids.back().data(), e.m_critical, e.m_value.blob()});
    }
}

}  // namespace

CCTF_CRL_Info::~CCTF_CRL_Info() = default;

bool CCTF_CRL_Info::operator==(const CCTF_CRL_Info& o) const {
    using Entries = std::list<CCTF_CRL_Entry>;
    using Extensions = std::list<CCTFCertExtension>;
    return m_version == o.m_version && static_cast<const IdentObj&>(m_issuer) == o.m_issuer &&
           SameTime(m_thisUpdate, o.m_thisUpdate) && SameTime(m_nextUpdate, o.m_nextUpdate) &&
           m_signatureAlgorithm == o.m_signatureAlgorithm &&
           static_cast<const Extensions&>(m_extensions) == static_cast<const Extensions&>(o.m_extensions) &&
           static_cast<const Entries&>(m_entries) == static_cast<const Entries&>(o.m_entries);
}

void CCTF_CRL_Info::DecodeData(const IdentObj& tbsCrl) {
    try {
        // The structure takes about three times the bytes of its encoding.
        const Decoded blob = Decode(X509_CERT_CRL_TO_BE_SIGNED, tbsCrl.data(), tbsCrl.size(), 0,
                                    std::size_t(tbsCrl.size()) * 3 + 4096, kDecodePlace);
        const auto& in = blob.As<CRL_INFO>();
        // Into a fresh object first: a failure half way leaves this one whole.
        CCTF_CRL_Info made;
        made.m_version = in.dwVersion;
        made.m_signatureAlgorithm = CCTFAlgorithmIdentifier(in.SignatureAlgorithm);
        made.m_issuer = CCTFX509Name(in.Issuer);
        made.m_thisUpdate = in.ThisUpdate;
        made.m_nextUpdate = in.NextUpdate;
        for (DWORD i = 0; i < in.cExtension; ++i) made.m_extensions.emplace_back(in.rgExtension[i]);
        for (DWORD i = 0; i < in.cCRLEntry; ++i) made.m_entries.emplace_back(in.rgCRLEntry[i]);
        made.m_changed = m_changed;
        *this = std::move(made);
    } catch (const XTOOStatus&) {
        throw;
    } catch (...) {
        TOORethrowAsStatus(kDecodePlace);
    }
}

IdentObj CCTF_CRL_Info::EncodeData() const {
    try {
        std::size_t extensionCount = m_extensions.size();
        for (const auto& e : m_entries) extensionCount += e.m_extensions.size();
        std::vector<std::string> oids;
        oids.reserve(extensionCount);
        std::vector<CERT_EXTENSION> extensions;
        extensions.reserve(extensionCount);
        std::vector<CRL_ENTRY> entries;
        entries.reserve(m_entries.size());
        for (const auto& e : m_entries) {
            const std::size_t first = extensions.size();
            PutExtensions(e.m_extensions, oids, extensions);
            entries.push_back(CRL_ENTRY{e.m_serialNumber.blob(), e.m_revocationDate,
                                        static_cast<DWORD>(extensions.size() - first), extensions.data() + first});
        }
        const std::size_t first = extensions.size();
        PutExtensions(m_extensions, oids, extensions);

        CRL_INFO info{};
        info.dwVersion = m_version;
        info.SignatureAlgorithm = PlatformAlgorithm(m_signatureAlgorithm);
        info.Issuer = m_issuer.blob();
        info.ThisUpdate = m_thisUpdate;
        info.NextUpdate = m_nextUpdate;
        info.cCRLEntry = static_cast<DWORD>(entries.size());
        info.rgCRLEntry = entries.data();
        info.cExtension = static_cast<DWORD>(extensions.size() - first);
        info.rgExtension = extensions.data() + first;
        return Encode(X509_CERT_CRL_TO_BE_SIGNED, &info, kEncodePlace);
    } catch (const XTOOStatus&) {
        throw;
    } catch (...) {
        TOORethrowAsStatus(kEncodePlace);
    }
}

void CCTF_CRL_Info::AddEntry(const IdentObj& serial, DWORD reason, const FILETIME* revocationDate) {
    CCTF_CRL_Entry entry;
    entry.m_serialNumber = serial;
    entry.m_revocationDate = revocationDate ? *revocationDate : NowWholeSeconds();
    if (reason) {
        CCTFCertExtension ext(cert::oids::kCrlReason, FALSE, IdentObj());
        const int value = static_cast<int>(reason);
        if (!ext.EncodeData(&value, cert::oids::kCrlReason))
            throw XTOOStatus(WinErr2ToolsErr(GetLastError()), "CCTF_CRL_Info::AddEntry", 1);
        entry.m_extensions.push_back(std::move(ext));
    }
    if (const CCTF_CRL_Entry* old = m_entries.Find(serial)) {
        if (*old == entry) return;
        m_entries.EraseElement(serial);
    }
    m_entries.Append(std::move(entry));
}

int CCTF_CRL_Info::AddCertToList(const CCTFCertInfo& certificate, DWORD reason, const FILETIME* revocationDate) {
    if (certificate.m_serialNumber.IsEmpty()) return TOOERR_BADARG;
    AddEntry(certificate.m_serialNumber, reason, revocationDate);
    m_thisUpdate = NowWholeSeconds();
    m_changed = true;
    return TOO_OK;
}

IdentObj CCTF_CRL_Info::GetSerial() const {
    const CCTFCertExtension* ext = m_extensions.Find(cert::oids::kCrlNumber);
    return ext ? CrlNumberOf(ext->m_value.data(), ext->m_value.size()) : IdentObj();
}

DWORD CCTF_CRL_Info::GetObjectSize() const {
    const DWORD algorithm = 8 + static_cast<DWORD>(m_signatureAlgorithm.GetOID().str().size()) +
                            m_signatureAlgorithm.GetParameters().size();
    return 20 + algorithm + m_issuer.SerializedSize() + m_entries.GetObjectSize() + m_extensions.GetObjectSize();
}
