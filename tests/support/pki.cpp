#include "pki.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>

#include "cert/algid.h"
#include "cert/asn.h"
#include "cert/oids.h"
#include "cert/platform.h"
#include "cert/vrkscapi.h"

namespace certpki {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("certpki: " + what + " (last error " + std::to_string(GetLastError()) + ")");
}

// The program's key home, removed when the program ends.
const std::string& KeyHome() {
    static const std::string home = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "certpki.XXXXXX").string();
        if (!mkdtemp(pattern.data())) Fail("cannot make the key home");
        static std::string removeAtExit = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removeAtExit, ec);
        });
        return pattern;
    }();
    return home;
}

// The library's home is the key home while this lives; the one before
// comes back after, as an override only when it was one.
class InKeyHome {
public:
    InKeyHome() : before_(cert::platform::CertHome()) {
        cert::platform::SetCertHome("");
        fromEnvironment_ = cert::platform::CertHome() == before_;
        cert::platform::SetCertHome(KeyHome());
    }
    ~InKeyHome() { cert::platform::SetCertHome(fromEnvironment_ ? "" : before_); }
    InKeyHome(const InKeyHome&) = delete;
    InKeyHome& operator=(const InKeyHome&) = delete;

private:
    std::string before_;
    bool fromEnvironment_ = false;
};

// Container names are kept short and plain whatever the key's name is.
std::string ContainerOf(const std::string& name) {
    static std::map<std::string, std::string> names;
    auto it = names.find(name);
    if (it == names.end()) it = names.emplace(name, "pki" + std::to_string(names.size())).first;
    return it->second;
}

class Provider {
public:
    Provider(const std::string& container, DWORD flags) {
        if (!VRKAcquireContext(&h_, container.c_str(), VRK_PROV_GOST_2012_256, VRK_PROV_TYPE_GOST_2012_256,
                               flags | CRYPT_SILENT))
            Fail("cannot open container " + container);
    }
    ~Provider() { VRKReleaseContext(h_); }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    HCRYPTPROV get() const { return h_; }

private:
    HCRYPTPROV h_ = 0;
};

// The signature (least significant byte first, as the models hold it) of
// `toBeSigned` by the key.
IdentObj Sign(const std::string& keyName, const IdentObj& toBeSigned) {
    GetKey(keyName);
    InKeyHome home;
    Provider prov(ContainerOf(keyName), 0);
    VRKSCApi::CryptHash hash;
    IdentObj signature;
    if (!VRKCreateHash(prov.get(), CALG_GOST_R3411_2012_256, 0, &hash) || !VRKHashData(hash, toBeSigned) ||
        !VRKSignHash(hash, AT_SIGNATURE, 0, signature))
        Fail("cannot sign with key " + keyName);
    return signature;
}

void Break(CTOOCryptBitBlob& signature) {
    if (signature.size()) signature.data()[0] ^= 0x01;
}

IdentObj FreshSerial() {
    static std::atomic<unsigned> next{0x1000};
    unsigned n = next++;
    IdentObj serial;
    serial.Alloc(4);
    for (int i = 0; i < 4; ++i) serial.data()[i] = BYTE(n >> (8 * i));
    // The top byte set and the sign bit clear: a minimal positive INTEGER.
    serial.data()[3] = BYTE(0x40 | ((n >> 24) & 0x3F));
    return serial;
}

CCTFCertExtension Extension(const char* oid, bool critical, const IdentObj& value) {
    return CCTFCertExtension(oid, critical ? TRUE : FALSE, value);
}

IdentObj BasicConstraints(bool ca, int pathLength) {
    asn::Writer w;
    const auto seq = w.BeginSequence();
    if (ca) w.Boolean(true);
    if (ca && pathLength >= 0) w.Integer(pathLength);
    w.End(seq);
    return w.Take();
}

IdentObj KeyUsage(int bits) {
    const BYTE b = BYTE(bits);
    unsigned unused = 0;
    while (unused < 7 && !(b & (1u << unused))) ++unused;
    asn::Writer w;
    w.BitString(asn::Bytes(&b, b ? 1 : 0), b ? unused : 0);
    return w.Take();
}

IdentObj OctetString(const IdentObj& bytes) {
    asn::Writer w;
    w.OctetString(bytes);
    return w.Take();
}

Cert Make(const CertSpec& spec, const Cert* issuer) {
    const std::string keyName = spec.key.empty() ? spec.subject : spec.key;
    const Key& key = GetKey(keyName);
    const CCTFAlgorithmIdentifier algorithm(cert::oids::kGostR3410_2012_256WithR3411);

    CCTFCertInfo info;
    info.m_version = 2;
    info.m_serialNumber = spec.serial.IsEmpty() ? FreshSerial() : spec.serial;
    info.m_signatureAlgorithm = algorithm;
    info.m_subject = CCTFX509Name(spec.subject.c_str(), 0, true);
    if (!spec.issuerName.empty())
        info.m_issuer = CCTFX509Name(spec.issuerName.c_str(), 0, true);
    else
        info.m_issuer = issuer ? issuer->model.m_info.m_subject : info.m_subject;
    info.m_notBefore = CTOOFileTime(spec.notBefore).IsEmpty() ? Days(-1) : spec.notBefore;
    info.m_notAfter = CTOOFileTime(spec.notAfter).IsEmpty() ? Days(365) : spec.notAfter;
    info.m_publicKey = key.publicKey;

    if (spec.basicConstraints && (spec.ca || issuer == nullptr || spec.markEndEntity))
        info.m_extensions.push_back(
            Extension(cert::oids::kBasicConstraints, true, BasicConstraints(spec.ca, spec.pathLength)));
    if (spec.keyUsage >= 0)
        info.m_extensions.push_back(Extension(cert::oids::kKeyUsage, true, KeyUsage(spec.keyUsage)));
    if (spec.subjectKeyId)
        info.m_extensions.push_back(Extension(
            cert::oids::kSubjectKeyIdentifier, false,
            OctetString(spec.subjectKeyIdValue.IsEmpty() ? key.publicKey.GetKeyID() : spec.subjectKeyIdValue)));
    if (spec.authorityKeyId) {
        const CCTFCertInfo& signer = issuer ? issuer->model.m_info : info;
        const IdentObj keyId = signer.m_publicKey.GetKeyID();
        info.m_extensions.push_back(CCTFIssuerPublicKeyID(&keyId, &signer.m_serialNumber, &signer.m_issuer));
    }
    if (!spec.crlUrls.empty()) {
        std::vector<CCTFString> urls;
        for (const auto& u : spec.crlUrls) urls.emplace_back(u.c_str());
        std::vector<const CCTFString*> pointers;
        for (const auto& u : urls) pointers.push_back(&u);
        if (!CCTFCertInfo::AddCRLPoints(info, int(pointers.size()), pointers.data())) Fail("cannot encode the CDP");
    }

    for (const CCTFCertExtension& e : spec.extra) info.m_extensions.push_back(e);

    const IdentObj toBeSigned = info.GetEncodetInfo();
    if (toBeSigned.IsEmpty()) Fail("cannot encode " + spec.subject);
    CCTFX509Certificate cert;
    cert.m_info = info;
    cert.m_signatureAlgorithm = algorithm;
    cert.m_signature = spec.unsigned_ ? CTOOCryptBitBlob(IdentObj(std::string(64, '\x5A')))
                                      : CTOOCryptBitBlob(Sign(issuer ? issuer->key : keyName, toBeSigned));
    if (spec.brokenSignature) Break(cert.m_signature);

    Cert out;
    out.der = cert.GetEncodetCert();
    out.key = keyName;
    if (out.der.IsEmpty() || !out.model.DecodeCert(out.der))
        Fail("the certificate of " + spec.subject + " does not decode");
    if (!out.context.CreateContext(out.der)) Fail("no context for " + spec.subject);
    return out;
}

}  // namespace

FILETIME Days(long long days) {
    const CTOOFileTime now = CTOOFileTime::FromUnix(CTOOFileTime::now().ToUnix());
    return (now + days * CTOOFileTime::kTicksPerDay).GetFileTime();
}

const Key& GetKey(const std::string& name) {
    static std::map<std::string, std::unique_ptr<Key>> keys;
    auto it = keys.find(name);
    if (it != keys.end()) return *it->second;
    InKeyHome home;
    const std::string container = ContainerOf(name);
    Provider prov(container, CRYPT_NEWKEYSET);
    VRKSCApi::CryptKey key;
    if (!VRKGenKey(prov.get(), AT_SIGNATURE, 0, &key)) Fail("cannot make key " + name);
    auto made = std::make_unique<Key>();
    made->name = name;
    if (!CTFExportPKInfo(prov.get(), key, made->publicKey)) Fail("cannot export key " + name);
    return *keys.emplace(name, std::move(made)).first->second;
}

CertSpec CaSpec(const std::string& subject, int pathLength) {
    CertSpec s;
    s.subject = subject;
    s.ca = true;
    s.pathLength = pathLength;
    s.keyUsage = 0x06;
    return s;
}

Cert SelfSigned(const CertSpec& spec) { return Make(spec, nullptr); }

Cert Issue(const Cert& issuer, const CertSpec& spec) { return Make(spec, &issuer); }

CCTFCRLContext MakeCrl(const Cert& issuer, const CrlSpec& spec) {
    const CCTFAlgorithmIdentifier algorithm(cert::oids::kGostR3410_2012_256WithR3411);
    CCTF_CRL_List crl;
    CCTF_CRL_Info& info = crl.m_info;
    info.m_signatureAlgorithm = algorithm;
    crl.m_signatureAlgorithm = algorithm;
    info.m_issuer = issuer.model.m_info.m_subject;
    info.m_thisUpdate = CTOOFileTime(spec.thisUpdate).IsEmpty()
                            ? (CTOOFileTime(Days(0)) - 3600 * CTOOFileTime::kTicksPerSecond).GetFileTime()
                            : spec.thisUpdate;
    info.m_nextUpdate = CTOOFileTime(spec.nextUpdate).IsEmpty() ? Days(7) : spec.nextUpdate;
    for (const Revoked& r : spec.revoked) {
        const FILETIME date = CTOOFileTime(r.date).IsEmpty() ? info.m_thisUpdate : r.date;
        info.AddEntry(r.serial, r.reason, &date);
    }
    const IdentObj keyId = issuer.model.m_info.m_publicKey.GetKeyID();
    const CCTFCertInfo& ca = issuer.model.m_info;
    switch (spec.keyId) {
        case CrlKeyId::KeyIdOnly:
            info.m_extensions.push_back(CCTFIssuerPublicKeyID(&keyId, nullptr, nullptr));
            break;
        case CrlKeyId::IssuerAndSerial:
            info.m_extensions.push_back(CCTFIssuerPublicKeyID(nullptr, &ca.m_serialNumber, &ca.m_issuer));
            break;
        case CrlKeyId::Both:
            info.m_extensions.push_back(CCTFIssuerPublicKeyID(&keyId, &ca.m_serialNumber, &ca.m_issuer));
            break;
        case CrlKeyId::None:
            break;
    }
    crl.m_signature = CTOOCryptBitBlob(Sign(spec.signingKey.empty() ? issuer.key : spec.signingKey, info.EncodeData()));
    if (spec.brokenSignature) Break(crl.m_signature);
    CCTFCRLContext out;
    if (!out.CreateCRLContext(crl.GetEncodetObject())) Fail("the CRL does not decode");
    return out;
}

CCTFCRLContext Revoke(const Cert& issuer, const std::vector<const Cert*>& revoked, CrlSpec spec) {
    for (const Cert* c : revoked) spec.revoked.push_back({c->Serial(), {}, 0});
    return MakeCrl(issuer, spec);
}

void SignTrustList(const Cert& signer, CCTFSignData& list) {
    GetKey(signer.key);
    InKeyHome home;
    CCTFProvider provider;
    int st = 0;
    if (!provider.Init(ContainerOf(signer.key).c_str(), nullptr, VRK_PROV_TYPE_GOST_2012_256, CRYPT_SILENT, &st))
        Fail("cannot open container of " + signer.key + " (" + std::to_string(st) + ")");
    CTFSignTrustList(provider, AT_SIGNATURE, signer.context, list);
}

CCTFCertStorage MemoryStore(const std::vector<const Cert*>& certs, const std::vector<CCTFCRLContext>& crls,
                            bool untrusted) {
    CCTFCertStorage store(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 7, nullptr);
    if (!store.IsOpen()) Fail("no memory store");
    for (const Cert* c : certs)
        if (!store.AddCertificate(c->context)) Fail("cannot add a certificate");
    for (const CCTFCRLContext& crl : crls)
        if (!store.AddCRLContext(crl, 4)) Fail("cannot add a CRL");
    if (untrusted) store.SetStatus(0x20);
    return store;
}

IdentObj WithFillerSignature(const CCTFCertInfo& info, const CCTFAlgorithmIdentifier& signatureAlgorithm) {
    CCTFX509Certificate cert;
    cert.m_info = info;
    cert.m_signatureAlgorithm = signatureAlgorithm;
    IdentObj filler;
    filler.Alloc(64);
    for (DWORD i = 0; i < filler.size(); ++i) filler.data()[i] = BYTE(i + 1);
    cert.m_signature = CTOOCryptBitBlob(filler);
    return cert.GetEncodetCert();
}

}  // namespace certpki
