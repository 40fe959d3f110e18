// CCTFCertContext: one certificate over the platform's context, and the
// seams the layers below leave to it (CCTFCertInfo from a context, the
// certificate's signature, the hash OIDs of a certificate's key).
#include <algorithm>
#include <cstring>
#include <new>

#include "cert/certlog.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "contexts/contexts_internal.h"

namespace cert::contexts {

void SetLastErrorOfCurrentException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    } catch (const XTOOStatus& s) {
        const DWORD code = ToolsErr2WinErr(s.Status());
        SetLastError(code ? code : ERROR_INTERNAL_ERROR);
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
    }
}

const CERT_EXTENSION* FindExtension(DWORD count, const CERT_EXTENSION* extensions, const char* oid) {
    for (DWORD i = 0; i < count; ++i)
        if (extensions[i].pszObjId && std::strcmp(extensions[i].pszObjId, oid) == 0) return &extensions[i];
    return nullptr;
}

bool DecodeExtension(const CERT_EXTENSION* ext, LPCSTR structType, IdentObj& out) {
    if (!ext) return false;
    DWORD size = 0;
    if (!CryptDecodeObject(CAPI_ENCODING, structType, ext->Value.pbData, ext->Value.cbData, 0, nullptr, &size))
        return false;
    IdentObj blob;
    blob.Alloc(size);
    if (!CryptDecodeObject(CAPI_ENCODING, structType, ext->Value.pbData, ext->Value.cbData, 0, blob.data(), &size))
        return false;
    out = std::move(blob);
    return true;
}

IdentObj Blob(const CRYPTOAPI_BLOB& b) { return IdentObj(b.pbData, b.cbData); }

bool SameBytes(const CRYPTOAPI_BLOB& a, const CRYPTOAPI_BLOB& b) {
    return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

void Log(const std::string& text, int level) { CertPutLogFormatted(text.c_str(), kLogSource, level); }

}  // namespace cert::contexts

using namespace cert::contexts;

namespace {

const CERT_INFO* Info(PCCERT_CONTEXT c) { return c ? c->pCertInfo : nullptr; }

const CERT_EXTENSION* Extension(PCCERT_CONTEXT c, const char* oid) {
    const CERT_INFO* i = Info(c);
    return i ? FindExtension(i->cExtension, i->rgExtension, oid) : nullptr;
}

// The first byte of "2.5.29.10"'s subject type, or -1 when the extension is
// absent or does not decode.
int OldSubjectType(PCCERT_CONTEXT c) {
    IdentObj blob;
    if (!DecodeExtension(Extension(c, cert::oids::kBasicConstraintsOld), X509_BASIC_CONSTRAINTS, blob)) return -1;
    const auto* bc = reinterpret_cast<const CERT_BASIC_CONSTRAINTS_INFO*>(blob.data());
    return bc->SubjectType.cbData ? bc->SubjectType.pbData[0] : 0;
}

// "2.5.29.19": 1 CA, 0 not, -1 absent or not decodable.
int SaysCA(PCCERT_CONTEXT c) {
    IdentObj blob;
    if (!DecodeExtension(Extension(c, cert::oids::kBasicConstraints), X509_BASIC_CONSTRAINTS2, blob)) return -1;
    return reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(blob.data())->fCA ? 1 : 0;
}

bool IsGostKeyAlgorithm(unsigned alg) {
    switch (alg) {
        case 0x2E23:
        case 0xAA24:
        case 0x2E49:
        case 0xAA46:
        case 0x2E3D:
        case 0xAA42:
            return true;
        default:
            return false;
    }
}

// The key identifier the key bits give, as subject key identifiers carry it.
IdentObj KeyIdOfKey(const CERT_PUBLIC_KEY_INFO& key) { return CCTFCertPublicKeyInfo(key).GetKeyID(); }

}  // namespace

// ---------------------------------------------------------------------------
CCTFCertContext::CCTFCertContext(PCCERT_CONTEXT context)
    : m_context(context ? CertDuplicateCertificateContext(context) : nullptr) {}

CCTFCertContext::CCTFCertContext(const IdentObj& encoded, unsigned long unused, const void* unusedToo) {
    CreateContext(encoded, unused, unusedToo);
}

CCTFCertContext::CCTFCertContext(const CCTFCertContext& o)
    : m_context(o.m_context ? CertDuplicateCertificateContext(o.m_context) : nullptr),
      m_storageType(o.m_storageType),
      m_privateKeyType(o.m_privateKeyType) {}

CCTFCertContext& CCTFCertContext::operator=(const CCTFCertContext& o) {
    if (this == &o) return *this;
    PCCERT_CONTEXT copy = o.m_context ? CertDuplicateCertificateContext(o.m_context) : nullptr;
    Reset();
    m_context = copy;
    m_storageType = o.m_storageType;
    m_privateKeyType = o.m_privateKeyType;
    return *this;
}

CCTFCertContext::CCTFCertContext(CCTFCertContext&& o) noexcept
    : m_context(o.m_context), m_storageType(o.m_storageType), m_privateKeyType(o.m_privateKeyType) {
    o.m_context = nullptr;
}

CCTFCertContext& CCTFCertContext::operator=(CCTFCertContext&& o) noexcept {
    if (this == &o) return *this;
    Reset();
    m_context = o.m_context;
    m_storageType = o.m_storageType;
    m_privateKeyType = o.m_privateKeyType;
    o.m_context = nullptr;
    return *this;
}

CCTFCertContext::~CCTFCertContext() { Reset(); }

void CCTFCertContext::Reset() {
    if (m_context) CertFreeCertificateContext(m_context);
    m_context = nullptr;
    DropProviderCache();
}

void CCTFCertContext::DropProviderCache() const {
    m_providerRead = false;
    m_providerInfo.Empty();
}

bool CCTFCertContext::CreateContext(const IdentObj& encoded, unsigned long, const void*) {
    Reset();
    m_privateKeyType = 0xFFFFFFFFu;
    if (encoded.IsEmpty()) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
        return false;
    }
    m_context = CertCreateCertificateContext(CAPI_ENCODING, encoded.data(), encoded.size());
    return m_context != nullptr;
}

bool CCTFCertContext::IsInitialized() const {
    return m_context && m_context->pCertInfo && m_context->pbCertEncoded && m_context->cbCertEncoded &&
           m_context->dwCertEncodingType;
}

IdentObj CCTFCertContext::GetEncoded() const {
    return Answer(IdentObj(), [&] {
        return m_context ? IdentObj(m_context->pbCertEncoded, m_context->cbCertEncoded) : IdentObj();
    });
}

bool CCTFCertContext::operator==(const CCTFCertContext& o) const {
    if (m_context == o.m_context) return true;
    if (!m_context || !o.m_context) return false;
    return m_context->cbCertEncoded == o.m_context->cbCertEncoded &&
           std::memcmp(m_context->pbCertEncoded, o.m_context->pbCertEncoded, m_context->cbCertEncoded) == 0;
}

bool CCTFCertContext::operator<(const CCTFCertContext& o) const {
    if (!o.m_context) return false;
    if (!m_context) return true;
    if (m_context->cbCertEncoded != o.m_context->cbCertEncoded)
        return m_context->cbCertEncoded < o.m_context->cbCertEncoded;
    return std::memcmp(m_context->pbCertEncoded, o.m_context->pbCertEncoded, m_context->cbCertEncoded) < 0;
}

// ---------------------------------------------------------------------------
// Properties.
BOOL CCTFCertContext::CCTFGetContextProperty(DWORD id, void* buffer, DWORD* size) const {
    if (!m_context) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    return CertGetCertificateContextProperty(m_context, id, buffer, size);
}

BOOL CCTFCertContext::CCTFSetContextProperty(DWORD id, DWORD flags, const void* data) {
    if (!m_context) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    const BOOL ok = CertSetCertificateContextProperty(m_context, id, flags, data);
    if (ok) DropProviderCache();
    return ok;
}

const CRYPT_KEY_PROV_INFO* CCTFCertContext::GetProviderInfo() const {
    return Answer<const CRYPT_KEY_PROV_INFO*>(nullptr, [&]() -> const CRYPT_KEY_PROV_INFO* {
        if (!m_context) return nullptr;
        if (!m_providerRead) {
            DWORD size = 0;
            IdentObj blob;
            if (CertGetCertificateContextProperty(m_context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) && size) {
                blob.Alloc(size);
                if (!CertGetCertificateContextProperty(m_context, CERT_KEY_PROV_INFO_PROP_ID, blob.data(), &size))
                    blob.Empty();
            }
            m_providerInfo = std::move(blob);
            m_providerRead = true;
        }
        return m_providerInfo.IsEmpty() ? nullptr : reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(m_providerInfo.data());
    });
}

namespace {
CTOOString Utf8(const char16_t* text) {
    std::string out;
    if (!text || !TOOUtf16ToUtf8(text, out)) return CTOOString();
    return CTOOString(out);
}
}  // namespace

CTOOString CCTFCertContext::GetProviderName() const {
    return Answer(CTOOString(), [&] {
        const CRYPT_KEY_PROV_INFO* p = GetProviderInfo();
        return p ? Utf8(p->pwszProvName) : CTOOString();
    });
}

CTOOString CCTFCertContext::GetContainer() const {
    return Answer(CTOOString(), [&] {
        const CRYPT_KEY_PROV_INFO* p = GetProviderInfo();
        return p ? Utf8(p->pwszContainerName) : CTOOString();
    });
}

DWORD CCTFCertContext::GetProviderType() const {
    const CRYPT_KEY_PROV_INFO* p = GetProviderInfo();
    return p ? p->dwProvType : 0xFFFFFFFFu;
}

DWORD CCTFCertContext::GetPrivateKeyType() const {
    const CRYPT_KEY_PROV_INFO* p = GetProviderInfo();
    return p ? p->dwKeySpec : 0xFFFFFFFFu;
}

namespace {
// Writes the key-provider property of `ctx` with one field changed.
template <class Change>
bool RewriteProviderInfo(CCTFCertContext& ctx, Change&& change) {
    return Answer(false, [&] {
        CRYPT_KEY_PROV_INFO info{};
        std::u16string container, provider;
        if (const CRYPT_KEY_PROV_INFO* p = ctx.GetProviderInfo()) {
            info = *p;
            if (p->pwszContainerName) container = p->pwszContainerName;
            if (p->pwszProvName) provider = p->pwszProvName;
        }
        change(info, container);
        info.pwszContainerName = container.empty() && !info.pwszContainerName ? nullptr : container.data();
        info.pwszProvName = provider.empty() && !info.pwszProvName ? nullptr : provider.data();
        return ctx.CCTFSetContextProperty(CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
    });
}
}  // namespace

bool CCTFCertContext::SetContainer(const char* container) {
    std::u16string wide;
    if (container && !TOOUtf8ToUtf16(container, wide)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return false;
    }
    return RewriteProviderInfo(*this, [&](CRYPT_KEY_PROV_INFO& info, std::u16string& name) {
        name = wide;
        info.pwszContainerName = container ? name.data() : nullptr;
    });
}

bool CCTFCertContext::SetPrivateKeyType(DWORD keySpec) {
    const bool ok =
        RewriteProviderInfo(*this, [&](CRYPT_KEY_PROV_INFO& info, std::u16string&) { info.dwKeySpec = keySpec; });
    if (ok) m_privateKeyType = keySpec;
    return ok;
}

// ---------------------------------------------------------------------------
// Identifiers and names.
IdentObj CCTFCertContext::GetSubjectKeyId() const {
    return Answer(IdentObj(), [&] {
        if (!IsInitialized()) return IdentObj();
        IdentObj blob;
        if (DecodeExtension(Extension(m_context, cert::oids::kSubjectKeyIdentifier), X509_OCTET_STRING, blob))
            return Blob(*reinterpret_cast<const CRYPT_DATA_BLOB*>(blob.data()));
        return KeyIdOfKey(m_context->pCertInfo->SubjectPublicKeyInfo);
    });
}

bool CCTFCertContext::GetSubjectKeyID(IdentObj& out) const {
    out = GetSubjectKeyId();
    return !out.IsEmpty();
}

bool CCTFCertContext::GetAuthKeyIDExtension(CCTFIssuerPublicKeyID* out) const {
    return Answer(false, [&] {
        const CERT_EXTENSION* ext = Extension(m_context, cert::oids::kAuthorityKeyIdentifier);
        if (!ext) ext = Extension(m_context, cert::oids::kAuthorityKeyIdentifierOld);
        if (!ext) return false;
        if (out) *out = CCTFIssuerPublicKeyID(CCTFCertExtension(*ext));
        return true;
    });
}

bool CCTFCertContext::GetIssuerKeyID(IdentObj& out) const {
    CCTFIssuerPublicKeyID aki;
    if (!GetAuthKeyIDExtension(&aki)) return false;
    out = aki.GetKeyID();
    return true;
}

bool CCTFCertContext::GetIssuerSerialNumber(IdentObj& out) const {
    CCTFIssuerPublicKeyID aki;
    if (!GetAuthKeyIDExtension(&aki)) return false;
    out = aki.GetSerialNumber();
    return true;
}

bool CCTFCertContext::GetSubjectSerialNumber(IdentObj& out) const {
    return Answer(false, [&] {
        if (!IsInitialized()) return false;
        out = Blob(m_context->pCertInfo->SerialNumber);
        return true;
    });
}

CCTFX509Name CCTFCertContext::GetSubjectName() const {
    return Answer(CCTFX509Name(),
                  [&] { return IsInitialized() ? CCTFX509Name(m_context->pCertInfo->Subject) : CCTFX509Name(); });
}

CCTFX509Name CCTFCertContext::GetIssuerName() const {
    return Answer(CCTFX509Name(),
                  [&] { return IsInitialized() ? CCTFX509Name(m_context->pCertInfo->Issuer) : CCTFX509Name(); });
}

bool CCTFCertContext::CheckPresenceOfAuthKeyIDExtension(bool& present) const {
    if (!IsInitialized()) return false;
    present = Extension(m_context, cert::oids::kAuthorityKeyIdentifierOld) ||
              Extension(m_context, cert::oids::kAuthorityKeyIdentifier);
    return true;
}

bool CCTFCertContext::CheckPresenceOfCDPExtension(bool& present) const {
    if (!IsInitialized()) return false;
    present = Extension(m_context, cert::oids::kCrlDistributionPoints) != nullptr;
    return true;
}

bool CCTFCertContext::IsSelfIssued() const {
    return IsInitialized() && SameBytes(m_context->pCertInfo->Subject, m_context->pCertInfo->Issuer);
}

bool CCTFCertContext::CheckWhetherItIsIssuerContext(bool& isIssuer) const {
    return Answer(false, [&] {
        if (!IsInitialized()) return false;
        // The old extension's subject type must be the CA bit alone: a
        // certificate that claims to be both CA and end entity is neither.
        isIssuer = OldSubjectType(m_context) == CERT_CA_SUBJECT_FLAG || SaysCA(m_context) == 1 || IsSelfIssued();
        return true;
    });
}

int CCTFCertContext::GetCertificateType() const {
    return Answer(-1, [&] {
        if (!IsInitialized()) return -1;
        const int ca = SaysCA(m_context);
        // Neither extension (-1 from both) is an end entity.
        const int old = ca >= 0 ? 0 : OldSubjectType(m_context);
        const bool issuer = ca >= 0 ? ca == 1 : old > 0 && (old & CERT_CA_SUBJECT_FLAG) != 0;
        if (!issuer) return 1;
        return IsSelfIssued() ? 3 : 2;
    });
}

int CCTFCertContext::IsValidTime(const CTOOFileTime* at) const {
    if (!IsInitialized()) return 0;
    const ULONGLONG t = at ? at->Ticks() : CTOOFileTime::now().Ticks();
    const ULONGLONG from = CTOOFileTime(m_context->pCertInfo->NotBefore).Ticks();
    const ULONGLONG to = CTOOFileTime(m_context->pCertInfo->NotAfter).Ticks();
    return from <= t && t <= to ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Signatures.
std::vector<unsigned char> GetCertSignature(const CERT_CONTEXT* cert) try {
    if (!cert || !cert->pbCertEncoded) return {};
    DWORD size = 0;
    if (!CryptDecodeObject(CAPI_ENCODING, X509_CERT, cert->pbCertEncoded, cert->cbCertEncoded, 0, nullptr, &size))
        return {};
    IdentObj blob;
    blob.Alloc(size);
    if (!CryptDecodeObject(CAPI_ENCODING, X509_CERT, cert->pbCertEncoded, cert->cbCertEncoded, 0, blob.data(), &size))
        return {};
    const auto* signed_ = reinterpret_cast<const CERT_SIGNED_CONTENT_INFO*>(blob.data());
    return std::vector<unsigned char>(signed_->Signature.pbData, signed_->Signature.pbData + signed_->Signature.cbData);
} catch (...) {
    SetLastErrorOfCurrentException();
    return {};
}

namespace cert::contexts {

// The GOST check in the provider: the to-be-signed part hashed, the
// issuer's key imported, the signature given least significant byte first
// (the provider's order, the reverse of the DER bit string's).
int VerifyGostSigned(const BYTE* der, DWORD size, PCCERT_CONTEXT issuer) {
    DWORD need = 0;
    if (!CryptDecodeObject(CAPI_ENCODING, X509_CERT, der, size, CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG, nullptr,
                           &need))
        return 0;
    IdentObj blob;
    blob.Alloc(need);
    if (!CryptDecodeObject(CAPI_ENCODING, X509_CERT, der, size, CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG,
                           blob.data(), &need))
        return 0;
    const auto* signed_ = reinterpret_cast<const CERT_SIGNED_CONTENT_INFO*>(blob.data());
    const char* oid = signed_->SignatureAlgorithm.pszObjId;
    unsigned hashAlg = 0, keyAlg = 0;
    if (!oid || !GetAlgIDFromOID(oid, std::strlen(oid), hashAlg, keyAlg) || !IsGostKeyAlgorithm(keyAlg)) return -1;
    IdentObj signature(signed_->Signature.pbData, signed_->Signature.cbData);
    std::reverse(signature.data(), signature.data() + signature.size());

    VRKSCApi::CryptProvider prov;
    if (!VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT)) return 0;
    VRKSCApi::CryptHash hash;
    if (!VRKCreateHash(prov, hashAlg, 0, &hash, 0)) return 0;
    if (!VRKHashData(hash, signed_->ToBeSigned.pbData, signed_->ToBeSigned.cbData, 0)) return 0;
    VRKSCApi::CryptKey key;
    if (!CTFIportPKInfo(prov, CCTFCertPublicKeyInfo(issuer->pCertInfo->SubjectPublicKeyInfo), &key)) return 0;
    return VRKVerifySignature(hash, signature, key, 0) ? 1 : 0;
}

}  // namespace cert::contexts

int CCTFCertContext::IsValidSignature(const CCTFCertContext& issuer) const {
    return Answer(0, [&] {
        if (!IsInitialized() || !issuer.IsInitialized()) return 0;
        return RememberedSignature(
                   m_context, issuer.m_context,
                   [](PCCERT_CONTEXT subject, PCCERT_CONTEXT by) {
                       const int gost = VerifyGostSigned(subject->pbCertEncoded, subject->cbCertEncoded, by);
                       if (gost >= 0) return gost;
                       DWORD flags = CERT_STORE_SIGNATURE_FLAG;
                       return CertVerifySubjectCertificateContext(subject, by, &flags) && flags == 0 ? 1 : 0;
                   })
                   ? 1
                   : 0;
    });
}

int CCTFCertContext::IsRevoked(const CCTFCRLContext& crl) const {
    if (!IsInitialized() || !crl.IsInitialized()) return 0;
    const CRYPT_INTEGER_BLOB& serial = m_context->pCertInfo->SerialNumber;
    return crl.FindEntry(serial.pbData, serial.cbData) ? 1 : 0;
}

unsigned long CTFGetStorageType(CCTFCertContext& context) { return context.GetStorageType(); }

// ---------------------------------------------------------------------------
// The model's information from a context.
CCTFCertInfo::CCTFCertInfo(const CERT_CONTEXT& context) { *this = context; }

CCTFCertInfo& CCTFCertInfo::operator=(const CERT_CONTEXT& context) {
    if (!context.pCertInfo) throw XTOOStatus(TOOERR_BADARG, "CCTFCertInfo");
    CCTFCertInfo info(*context.pCertInfo);
    info.m_encodedCert = IdentObj(context.pbCertEncoded, context.cbCertEncoded);
    DWORD keySpec = 0, size = sizeof keySpec;
    info.m_privateKeyType =
        CertGetCertificateContextProperty(&context, CERT_KEY_SPEC_PROP_ID, &keySpec, &size) ? keySpec : 0xFFFFFFFFu;
    *this = std::move(info);
    return *this;
}

// ---------------------------------------------------------------------------
// What CTFGetSupportedHashOIDS asks of a certificate.
namespace {

std::string PublicKeyOid(const CCTFCertContext* cert) {
    if (!cert || !cert->IsInitialized()) return {};
    const char* oid = cert->GetContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    return oid ? oid : "";
}

std::list<CTOOString> ProviderHashOids(const CCTFCertContext* cert) {
    std::string name;
    DWORD type = 0;
    if (cert && cert->GetProviderInfo()) {
        name = cert->GetProviderName().c_str();
        type = cert->GetProviderType();
    }
    if (name.empty() && type == 0) {
        name = VRK_PROV_MS_BASE;
        type = VRK_PROV_TYPE_RSA_FULL;
    }
    CCTFProvider prov;
    int error = 0;
    if (!prov.Init(nullptr, name.c_str(), type, CRYPT_VERIFYCONTEXT, &error)) return {};
    std::vector<ALG_ID> algs;
    IdentObj record;
    for (DWORD flag = CRYPT_FIRST; VRKGetProvParam(prov.GetProviderHandle(), PP_ENUMALGS, record, flag); flag = 0)
        if (record.size() >= sizeof(ALG_ID)) {
            ALG_ID a;
            std::memcpy(&a, record.data(), sizeof a);
            algs.push_back(a);
        }
    return CertDll::HashOidsOfAlgIds(algs);
}

struct RegisterHashHooks {
    RegisterHashHooks() {
        CertDll::CertHashHooks hooks;
        hooks.publicKeyOid = PublicKeyOid;
        hooks.providerHashOids = ProviderHashOids;
        CertDll::SetCertHashHooks(hooks);
    }
} g_registerHashHooks;

}  // namespace
