// CCTFCertPublicKeyInfo, and public keys to and from the crypto provider
// (CTFExportPKInfo, CTFIportPKInfo).
#include <algorithm>
#include <cstring>
#include <string_view>

#include "cert/oid.h"
#include "cert/toofile.h"
#include "cert/vrkscapi.h"
#include "model/cert_internal.h"

namespace cert::model {

CCTFCertPublicKeyInfo ReadPublicKeyInfo(asn::Reader& r) {
    asn::Reader s = r.EnterSequence();
    CCTFCertPublicKeyInfo key;
    key.m_algorithm = ReadAlgorithm(s);
    const asn::Element bits = s.Expect(asn::kBitString);
    const asn::BitString b = asn::DecodeBitString(bits.content, {}, bits.ContentOffset());
    s.Finish();
    key.m_publicKey = CTOOCryptBitBlob(b.bytes.data(), static_cast<DWORD>(b.bytes.size()), b.unusedBits);
    return key;
}

}  // namespace cert::model

using namespace cert::model;

namespace {

// SHA-1 of the bytes in the first of the providers that hashes them.
IdentObj Sha1(const IdentObj& bytes, std::initializer_list<std::pair<const char*, DWORD>> providers) {
    for (const auto& [name, type] : providers) {
        VRKSCApi::CryptProvider prov;
        VRKSCApi::CryptHash hash;
        IdentObj digest;
        if (VRKAcquireContext(&prov, nullptr, name, type, CRYPT_VERIFYCONTEXT) &&
            VRKCreateHash(prov, CALG_SHA1, 0, &hash) && VRKHashData(hash, bytes) &&
            VRKGetHashParam(hash, HP_HASHVAL, digest))
            return digest;
    }
    return IdentObj();
}

// Text a provider parameter gives, without the terminating zero.
std::string_view ParamText(const IdentObj& b) {
    std::string_view s = b.view();
    while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
    return s;
}

// The GOST providers and their types; 0 for any other provider.
DWORD GostProviderType(std::string_view name) {
    if (name == VRK_PROV_GOST) return VRK_PROV_TYPE_GOST;
    if (name == VRK_PROV_GOST_2012_256) return VRK_PROV_TYPE_GOST_2012_256;
    if (name == VRK_PROV_GOST_2012_512) return VRK_PROV_TYPE_GOST_2012_512;
    return 0;
}

ALG_ID AlgIdAt(const IdentObj& b, DWORD offset) {
    ALG_ID alg = 0;
    if (b.size() >= offset + sizeof alg) std::memcpy(&alg, b.data() + offset, sizeof alg);
    return alg;
}

// A GOST key through its public key blob and the registry's OID.
bool ExportGostKey(DWORD provType, HCRYPTKEY hKey, CCTFCertPublicKeyInfo& out) {
    IdentObj blob;
    if (!VRKExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob)) return false;
    const ALG_ID alg = AlgIdAt(blob, offsetof(BLOBHEADER, aiKeyAlg));
    PCCRYPT_OID_INFO oid =
        vrkscapi::vrkcspexfun::FindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &alg, CRYPT_PUBKEY_ALG_OID_GROUP_ID);
    if (!oid) {
        SetLastError(NTE_BAD_ALGID);
        return false;
    }
    IdentObj key, params;
    if (!vrkscapi::vrkcspexfun::VRKEncodePublicKeyAndParametrs(provType, oid->pszOID, blob, key, params)) return false;
    CCTFCertPublicKeyInfo made;
    made.m_algorithm = CCTFAlgorithmIdentifier(oid->pszOID, params);
    made.m_publicKey = CTOOCryptBitBlob(key);
    out = std::move(made);
    return true;
}

// Any other key (a foreign provider's, or an RSA key a GOST provider
// keeps) through the platform, as the key spec its algorithm's
// class says.
bool ExportPlatformKey(HCRYPTPROV hProv, ALG_ID alg, CCTFCertPublicKeyInfo& out) {
    const DWORD spec = GET_ALG_CLASS(alg) == ALG_CLASS_KEY_EXCHANGE ? AT_KEYEXCHANGE : AT_SIGNATURE;
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(hProv, spec, kEncoding, nullptr, &size)) return false;
    IdentObj mem;
    mem.Alloc(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(mem.data());
    if (!CryptExportPublicKeyInfo(hProv, spec, kEncoding, info, &size)) return false;
    out = CCTFCertPublicKeyInfo(*info);
    return true;
}

}  // namespace

CCTFCertPublicKeyInfo::CCTFCertPublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info) { *this = info; }

CCTFCertPublicKeyInfo::~CCTFCertPublicKeyInfo() = default;

CCTFCertPublicKeyInfo& CCTFCertPublicKeyInfo::operator=(const CERT_PUBLIC_KEY_INFO& info) {
    Throwing("CCTFCertPublicKeyInfo", [&] {
        CCTFCertPublicKeyInfo made;
        made.m_algorithm = info.Algorithm;
        made.m_publicKey = info.PublicKey;
        *this = std::move(made);
    });
    return *this;
}

bool CCTFCertPublicKeyInfo::operator==(const CCTFCertPublicKeyInfo& o) const {
    return m_algorithm == o.m_algorithm && m_publicKey == o.m_publicKey;
}

bool CCTFCertPublicKeyInfo::operator<(const CCTFCertPublicKeyInfo& o) const {
    return m_algorithm < o.m_algorithm && m_publicKey < o.m_publicKey;
}

bool CCTFCertPublicKeyInfo::operator>(const CCTFCertPublicKeyInfo& o) const {
    return m_algorithm > o.m_algorithm && m_publicKey > o.m_publicKey;
}

DWORD CCTFCertPublicKeyInfo::ReadData(const void* data, DWORD size) {
    if (!data || !size) return 0;
    return Throwing("CCTFCertPublicKeyInfo::ReadData", [&] {
        asn::Reader r(data, size);
        *this = ReadPublicKeyInfo(r);
        return static_cast<DWORD>(r.Offset());
    });
}

DWORD CCTFCertPublicKeyInfo::ReadData(const CTOOFile& file) {
    return Throwing("CCTFCertPublicKeyInfo::ReadData", [&] {
        CASNTBaseRecord element;
        int status = 0;
        if (!element.ReadData(file, &status) || status)
            throw XTOOStatus(TOOERR_DER_FORMAT, "CCTFCertPublicKeyInfo::ReadData", 0);
        const IdentObj der = element.GetEncodedRecord();
        return ReadData(der.data(), der.size());
    });
}

IdentObj CCTFCertPublicKeyInfo::WriteData() const {
    return Throwing("CCTFCertPublicKeyInfo::WriteData", [&] {
        if (m_publicKey.IsEmpty()) throw XTOOStatus(TOOERR_BADFORMAT, "CCTFCertPublicKeyInfo", 0);
        asn::Writer w;
        auto m = w.BeginSequence();
        w.Raw(m_algorithm.GetEncoded());
        w.BitString(asn::View(m_publicKey), m_publicKey.GetUnusedBits());
        w.End(m);
        return w.Take();
    });
}

DWORD CCTFCertPublicKeyInfo::WriteData(CTOOFile& file) const {
    const IdentObj der = WriteData();
    return Quietly(DWORD(0), [&] { return file.Write(der) ? der.size() : DWORD(0); });
}

DWORD CCTFCertPublicKeyInfo::GetObjectSize() const {
    return Serialised(m_algorithm.GetOID().Length()) + Serialised(m_algorithm.GetParameters().size()) +
           Serialised(m_publicKey.size()) + 4;
}

IdentObj CCTFCertPublicKeyInfo::GetKeyID() const {
    return Quietly(IdentObj(), [&] {
        if (m_publicKey.IsEmpty()) return IdentObj();
        return Sha1(m_publicKey, {{VRK_PROV_MS_DSS, VRK_PROV_TYPE_DSS}, {nullptr, VRK_PROV_TYPE_RSA_FULL}});
    });
}

IdentObj CCTFCertPublicKeyInfo::GetKeyInfoID() const {
    return Quietly(IdentObj(), [&] {
        if (m_publicKey.IsEmpty()) return IdentObj();
        return Sha1(WriteData(), {{nullptr, VRK_PROV_TYPE_RSA_FULL}});
    });
}

DWORD CCTFCertPublicKeyInfo::GetKeyLength() const {
    return Quietly(DWORD(0), [&] {
        const asn::Bytes key = asn::View(m_publicKey);
        std::size_t bytes = key.size();
        asn::Header h;
        try {
            h = asn::DecodeHeader(key);
        } catch (const asn::Error&) {
            return static_cast<DWORD>(bytes * 8);  // raw key bytes
        }
        if (!h.indefinite && h.headerLen + h.length == key.size()) {
            if (h.constructed) {
                // The first item (an RSA key's modulus) without its sign bytes.
                asn::Reader r(key);
                asn::Reader items = r.Enter(r.Next());
                const asn::Bytes first = items.Next().content;
                bytes = static_cast<std::size_t>(
                    first.end() - std::find_if(first.begin(), first.end(), [](std::uint8_t b) { return b != 0; }));
            } else {
                bytes = h.length;
            }
        }
        return static_cast<DWORD>(bytes * 8);
    });
}

int CTFExportPKInfo(HCRYPTPROV hProv, HCRYPTKEY hKey, CCTFCertPublicKeyInfo& out) {
    try {
        IdentObj name;
        if (!VRKGetProvParam(hProv, PP_NAME, name, 0)) return 0;
        IdentObj algBytes;
        if (!VRKGetKeyParam(hKey, KP_ALGID, algBytes)) return 0;
        const ALG_ID alg = AlgIdAt(algBytes, 0);
        const DWORD gostType = GostProviderType(ParamText(name));
        const bool rsa = alg == CALG_RSA_SIGN || alg == CALG_RSA_KEYX;
        return gostType && !rsa ? ExportGostKey(gostType, hKey, out) : ExportPlatformKey(hProv, alg, out);
    } catch (...) {
        return cert::platform::ExceptionToLastError(0);
    }
}

int CTFIportPKInfo(HCRYPTPROV hProv, const CCTFCertPublicKeyInfo& info, HCRYPTKEY* hKey) {
    const CERT_PUBLIC_KEY_INFO view = PublicKeyView(info);
    return VRKImportPKInfo(hProv, &view, hKey);
}
