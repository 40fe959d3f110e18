// The signed CRL: decoding and encoding the whole CertificateList, the CRL
// number, expiry of entries, signing with the provider and checking.
#include <atomic>
#include <cstring>
#include <string>

#include "cert/algid.h"
#include "cert/asn.h"
#include "cert/certstore.h"
#include "cert/convert.h"
#include "cert/crlmodel.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/toofile.h"
#include "cert/tootime.h"
#include "cert/vrkscapi.h"
#include "contexts/crl_internal.h"

using namespace cert::contexts::crl;

namespace {

constexpr const char* kDecodePlace = "CCTF_CRL_Info::DecodeData()";
constexpr const char* kEncodePlace = "CCTF_CRL_List::GetEncodetObject";
constexpr const char* kSignPlace = "CCTF_CRL_List::SignList ";
constexpr const char* kHashPlace = "CCTF_CRL_List::SignList:VRKCreateHash ";
constexpr const char* kCheckPlace = "CCTF_CRL_List::CheckSign";
constexpr DWORD kCurrentPosition = 0xFFFFFFFFu;

std::atomic<CertDll::CrlCertificateSearch> g_search{nullptr};

DWORD Le32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

void PutLe(BYTE* p, ULONGLONG v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

// A failure of a signing or checking step: its status and place.
struct Failure {
    int code;
    std::string place;
};

// The outcome by the `int* error, CTOOString* place` rule: 1, or 0 with the
// failure reported (thrown when `error` is null).
int Report(const Failure& f, int* error, CTOOString* place) {
    if (!f.code) {
        if (error) *error = TOO_OK;
        return 1;
    }
    TOOReport(f.code, f.place.c_str(), error, place);
    return 0;
}

template <class F>
int Guarded(int* error, CTOOString* place, F&& body) {
    Failure f{0, {}};
    try {
        f = body();
    } catch (...) {
        CTOOString inner;
        f.code = TOOStatusOfCurrentException(&inner);
        f.place = inner.str();
    }
    return Report(f, error, place);
}

Failure ProviderFailure(const char* place) {
    const int code = WinErr2ToolsErr(GetLastError());
    return Failure{code ? code : TOOERR_EXCEPTION, place};
}

// A GOST key's hash and signature algorithms when the caller leaves the
// choice to the key.
bool HashOfKey(unsigned keyAlg, ALG_ID& hash, ALG_ID& signature) {
    switch (keyAlg) {
        case CALG_GOST_R3410_2001:
        case CALG_GOST_R3411_94:
            hash = CALG_GOST_R3411_94, signature = CALG_GOST_R3410_2001;
            return true;
        case CALG_GOST_R3410_2012_256:
        case CALG_GOST_R3411_2012_256:
            hash = CALG_GOST_R3411_2012_256, signature = CALG_GOST_R3410_2012_256;
            return true;
        case CALG_GOST_R3410_2012_512:
        case CALG_GOST_R3411_2012_512:
            hash = CALG_GOST_R3411_2012_512, signature = CALG_GOST_R3410_2012_512;
            return true;
        case CALG_VRK_HASH:
            hash = CALG_VRK_HASH, signature = CALG_GOST_R3410_2001;
            return true;
        default:
            return false;
    }
}

bool HashOfKeyOid(const std::string& oid, ALG_ID& hash) {
    if (oid == "1.2.643.2.2.19")
        hash = CALG_GOST_R3411_94;
    else if (oid == "1.2.643.7.1.1.1.1")
        hash = CALG_GOST_R3411_2012_256;
    else if (oid == "1.2.643.7.1.1.1.2")
        hash = CALG_GOST_R3411_2012_512;
    else
        return false;
    return true;
}

}  // namespace

void CertDll::SetCrlCertificateSearch(CrlCertificateSearch search) { g_search.store(search); }

CCTF_CRL_List::~CCTF_CRL_List() = default;

void CCTF_CRL_List::DecodeObject(const IdentObj& crl) {
    try {
        const Decoded blob = Decode(X509_CERT, crl.data(), crl.size(), 0, std::size_t(crl.size()) + 4096, kDecodePlace);
        const auto& in = blob.As<CERT_SIGNED_CONTENT_INFO>();
        IdentObj toBeSigned(in.ToBeSigned);
        CCTF_CRL_Info info;
        info.DecodeData(toBeSigned);
        CCTFAlgorithmIdentifier algorithm(in.SignatureAlgorithm);
        CTOOCryptBitBlob signature(in.Signature);
        DWORD listId = m_listId, counter = m_counter;
        const IdentObj number = info.GetSerial();
        if (number.size() == 16) {
            listId = Le32(number.data());
            counter = Le32(number.data() + 4);
        }
        m_info = std::move(info);
        m_signatureAlgorithm = std::move(algorithm);
        m_signature = std::move(signature);
        m_encoded = std::move(toBeSigned);
        m_listId = listId;
        m_counter = counter;
    } catch (const XTOOStatus&) {
        throw;
    } catch (...) {
        TOORethrowAsStatus(kDecodePlace);
    }
}

IdentObj CCTF_CRL_List::GetEncodetObject() const {
    const IdentObj toBeSigned = m_info.EncodeData();
    try {
        CERT_SIGNED_CONTENT_INFO info{};
        info.ToBeSigned = toBeSigned.blob();
        info.SignatureAlgorithm = PlatformAlgorithm(m_signatureAlgorithm);
        info.Signature = m_signature.GetBlob();
        return Encode(X509_CERT, &info, kEncodePlace);
    } catch (const XTOOStatus&) {
        throw;
    } catch (...) {
        TOORethrowAsStatus(kEncodePlace);
    }
}

DWORD CCTF_CRL_List::ReadData(const void* data, DWORD size) {
    try {
        CCTF_CRL_List read;
        read.m_listId = m_listId;
        read.m_counter = m_counter;
        read.DecodeObject(IdentObj(data, size));
        read.m_encoded = read.GetEncodetObject();
        *this = std::move(read);
        return m_encoded.size();
    } catch (...) {
        return 0;
    }
}

DWORD CCTF_CRL_List::ReadData(const CTOOFile& file, DWORD offset) {
    try {
        if (!file.IsOpen()) return 0;
        const LONGLONG length = file.Length();
        if (offset != kCurrentPosition) {
            if (length < 0 || offset > static_cast<ULONGLONG>(length) || !file.Seek(offset)) return 0;
        }
        const LONGLONG start = file.CurPos();
        if (start < 0 || length < start || length - start > 0xFFFFFFFFLL) return 0;
        IdentObj rest;
        rest.Alloc(static_cast<DWORD>(length - start));
        if (!rest.IsEmpty() && !file.ReadExact(rest.data(), rest.size())) return 0;
        // The CRL is the first element; whatever follows it is not ours.
        const asn::Header h = asn::DecodeHeader(asn::Bytes(rest.data(), rest.size()));
        if (h.indefinite || h.length > rest.size() - h.headerLen) return 0;
        const DWORD taken = static_cast<DWORD>(h.headerLen + h.length);
        const DWORD read = ReadData(rest.data(), taken);
        if (!read || !file.Seek(start + taken)) return 0;
        return read;
    } catch (...) {
        return 0;
    }
}

DWORD CCTF_CRL_List::WriteData(CTOOFile& file, DWORD offset) const {
    try {
        if (!file.IsOpen()) return 0;
        if (offset != kCurrentPosition) {
            const LONGLONG length = file.Length();
            if (length < 0 || offset > static_cast<ULONGLONG>(length) || !file.Seek(offset)) return 0;
        }
        const IdentObj der = GetEncodetObject();
        return file.Write(der) ? der.size() : 0;
    } catch (...) {
        return 0;
    }
}

DWORD CCTF_CRL_List::WriteData(void* buffer, DWORD size) const {
    try {
        const IdentObj der = GetEncodetObject();
        if (!buffer || der.size() > size) return 0;
        std::memcpy(buffer, der.data(), der.size());
        return der.size();
    } catch (...) {
        return 0;
    }
}

void CCTF_CRL_List::SetSerial(const unsigned char* number, DWORD length) {
    // Written by hand: the content goes in as it is, minimal or not.
    std::vector<std::uint8_t> value;
    asn::EncodeHeader(value, asn::kUniversal, false, asn::kInteger, length);
    if (length) value.insert(value.end(), number, number + length);
    const CCTFCertExtension ext(cert::oids::kCrlNumber, FALSE,
                                IdentObj(value.data(), static_cast<DWORD>(value.size())));
    if (m_info.m_extensions.Update(ext)) m_info.m_changed = true;
}

void CCTF_CRL_List::CheckAndRemoveOld() {
    const ULONGLONG now = CTOOFileTime::now().Ticks();
    const CertDll::CrlCertificateSearch search = g_search.load();
    auto& entries = m_info.m_entries;
    for (auto it = entries.begin(); it != entries.end();) {
        bool drop = false;
        if (it->m_serialNumber.size() == 1) {
            // A one-byte serial holds the place of a list that must not be
            // empty; it goes once a real entry is there.
            drop = entries.size() > 1;
        } else {
            if (entries.size() == 1) break;
            CCTFCertContext found;
            const bool have = search && (search(it->m_serialNumber, 0x20000010, found) ||
                                         search(it->m_serialNumber, 0x20000020, found));
            drop = have && found.IsInitialized() && CTOOFileTime(found.GetContext()->pCertInfo->NotAfter).Ticks() < now;
        }
        if (!drop) {
            ++it;
            continue;
        }
        it = entries.erase(it);
        entries.Reindex();
    }
}

namespace {

// What SignList and SignCrlList share: everything but the choice of the
// hash and of the authority key identifier's fields.
struct SignChoice {
    bool byTable;                // SignList: the hash from the key's ALG_ID
    unsigned int hashAlgorithm;  // SignList: 0xFFFF to choose
    DWORD keyIdFlags;            // SignCrlList: 0x2 key id, 0x1 issuer and serial
};

Failure Sign(CCTF_CRL_List& crl, HCRYPTPROV hProv, HCRYPTKEY hKey, const CCTFCertContext& signer,
             const SignChoice& choice) {
    if (!hProv || !hKey || !signer.IsInitialized()) return {TOOERR_BADFORMAT, kSignPlace};
    const CCTFCertInfo cert(*signer.GetContext());
    const std::string keyOid = cert.m_publicKey.m_algorithm.GetOID().str();
    unsigned keyAlg = 0, extra = 0;
    if (!GetAlgIDFromOID(keyOid.data(), keyOid.size(), keyAlg, extra)) return {TOOERR_UNKNOWN_ALG, keyOid};

    ALG_ID hash = 0, signature = keyAlg;
    if (choice.byTable) {
        if (choice.hashAlgorithm != 0xFFFF)
            hash = choice.hashAlgorithm;
        else if (!HashOfKey(keyAlg, hash, signature))
            return {TOOERR_UNKNOWN_ALG, "CCTF_CRL_List::SignList::GetAlgIDFromOID"};
    } else if (!HashOfKeyOid(keyOid, hash)) {
        return {TOOERR_UNKNOWN_ALG, keyOid};
    }

    IdentObj oid;
    const std::string signatureOid = GetOIDFromAlgID(oid, hash, signature) ? std::string(oid.view()) : keyOid;
    crl.m_signatureAlgorithm = CCTFAlgorithmIdentifier(signatureOid.c_str());
    crl.m_info.m_signatureAlgorithm = crl.m_signatureAlgorithm;

    CCTF_CRL_Info& info = crl.m_info;
    if (CTOOFileTime(info.m_thisUpdate).IsEmpty()) info.m_thisUpdate = NowWholeSeconds();
    if (CTOOFileTime(info.m_nextUpdate).IsEmpty()) {
        SYSTEMTIME t{};
        const FILETIME now = NowWholeSeconds();
        FileTimeToSystemTime(&now, &t);
        AddMonthToTime(&t, 1);
        SystemTimeToFileTime(&t, &info.m_nextUpdate);
    }
    info.m_issuer = cert.m_subject;

    const IdentObj previous = info.GetSerial();
    crl.m_counter = previous.size() == 16 ? Le32(previous.data() + 4) + 1 : 0;
    BYTE number[16];
    PutLe(number, crl.m_listId, 4);
    PutLe(number + 4, crl.m_counter, 4);
    PutLe(number + 8, cert::platform::FileTimeToU64(info.m_thisUpdate), 8);
    info.m_extensions.clear();
    crl.SetSerial(number, sizeof number);

    IdentObj keyId;
    if (const CCTFCertExtension* ski = cert.m_extensions.Find(cert::oids::kSubjectKeyIdentifier)) {
        IdentObj blob;
        if (ski->DecodeData(blob, cert::oids::kSubjectKeyIdentifier)) keyId = blob;
    }
    const bool withKeyId = choice.byTable || (choice.keyIdFlags & 0x2);
    const bool withIssuer = !choice.byTable && (choice.keyIdFlags & 0x1);
    info.m_extensions.push_back(CCTFIssuerPublicKeyID(withKeyId ? &keyId : nullptr,
                                                      withIssuer ? &cert.m_serialNumber : nullptr,
                                                      withIssuer ? &cert.m_issuer : nullptr));

    const IdentObj toBeSigned = info.EncodeData();
    // A certificate without the key-provider property does not say which
    // key it goes with: the key the hash is made with signs then.
    const DWORD keySpec = signer.GetPrivateKeyType() == 0xFFFFFFFFu ? 0 : signer.GetPrivateKeyType();
    VRKSCApi::CryptHash h;
    IdentObj signed_;
    if (!VRKCreateHash(hProv, hash, hKey, &h) || !VRKHashData(h, toBeSigned) || !VRKSignHash(h, keySpec, 0, signed_))
        return ProviderFailure(kHashPlace);
    crl.m_signature = CTOOCryptBitBlob(signed_);
    crl.m_encoded = crl.GetEncodetObject();
    return {TOO_OK, {}};
}

}  // namespace

int CCTF_CRL_List::SignList(HCRYPTPROV hProv, HCRYPTKEY hKey, const CCTFCertContext& signer, unsigned int hashAlgorithm,
                            int* error, CTOOString* place) {
    return Guarded(error, place, [&] { return Sign(*this, hProv, hKey, signer, SignChoice{true, hashAlgorithm, 0}); });
}

int CCTF_CRL_List::SignCrlList(HCRYPTPROV hProv, HCRYPTKEY hKey, const CCTFCertContext& signer, DWORD keyIdFlags,
                               int* error, CTOOString* place) {
    return Guarded(error, place, [&] { return Sign(*this, hProv, hKey, signer, SignChoice{false, 0, keyIdFlags}); });
}

int CCTF_CRL_List::CheckSign(const CCTFCertContext& issuer, int* error, CTOOString* place) const {
    return Guarded(error, place, [&]() -> Failure {
        if (!issuer.IsInitialized()) return {TOOERR_BADARG, kCheckPlace};
        const IdentObj toBeSigned = m_info.EncodeData();
        const std::string oid = m_signatureAlgorithm.GetOID().str();
        unsigned alg = 0, extra = 0;
        if (!GetAlgIDFromOID(oid.data(), oid.size(), alg, extra)) return {TOOERR_UNKNOWN_ALG, {}};
        ALG_ID hash = alg;
        bool gost = false;
        if (GET_ALG_CLASS(alg) == ALG_CLASS_SIGNATURE) {
            // A key OID as the signature algorithm: only GOST keys sign so.
            if (GET_ALG_TYPE(alg) != ALG_TYPE_GOST_SIGN) return {TOOERR_UNKNOWN_ALG, {}};
            gost = true;
            hash = CALG_VRK_HASH;
        } else {
            gost = GET_ALG_TYPE(extra) == ALG_TYPE_GOST_SIGN;
        }
        VRKSCApi::CryptProvider prov;
        if (!VRKAcquireContext(&prov, nullptr, gost ? VRK_PROV_GOST : VRK_PROV_MS_BASE,
                               gost ? VRK_PROV_TYPE_GOST : VRK_PROV_TYPE_RSA_FULL, CRYPT_VERIFYCONTEXT))
            return ProviderFailure("");
        VRKSCApi::CryptHash h;
        if (!VRKCreateHash(prov, hash, 0, &h) || !VRKHashData(h, toBeSigned)) return ProviderFailure("");
        VRKSCApi::CryptKey key;
        if (!CTFIportPKInfo(prov, CCTFCertPublicKeyInfo(issuer.GetContext()->pCertInfo->SubjectPublicKeyInfo), &key))
            return ProviderFailure("");
        if (VRKVerifySignature(h, m_signature, key, 0)) return {TOO_OK, {}};
        if (GetLastError() == NTE_BAD_SIGNATURE) return {TOOERR_BADSIGN, {}};
        return ProviderFailure("");
    });
}

DWORD CCTF_CRL_List::GetObjectSize() const {
    const DWORD algorithm = 8 + static_cast<DWORD>(m_signatureAlgorithm.GetOID().str().size()) +
                            m_signatureAlgorithm.GetParameters().size();
    return m_signature.SerializedSize() + 4 + algorithm + m_info.GetObjectSize();
}
