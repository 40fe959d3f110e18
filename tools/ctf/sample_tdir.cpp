#include "sample_tdir.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "cert/certlist.h"
#include "cert/crlmodel.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cert/signeddata.h"
#include "cert/vrkscapi.h"
#include "certs.h"
#include "io.h"
#include "lists.h"

namespace ctf {

namespace {

namespace fs = std::filesystem;

// One signing key in a container of the home, deleted with this object:
// the sample's keys are thrown away once its files are signed.
class Key {
public:
    explicit Key(std::string container) : container_(std::move(container)) {
        Remove();  // left over from a run that was stopped
        if (!VRKAcquireContext(&prov_, container_.c_str(), nullptr, VRK_PROV_TYPE_GOST_2012_256,
                               CRYPT_NEWKEYSET | CRYPT_SILENT) ||
            !VRKGenKey(prov_, AT_SIGNATURE, 256 << 16, &key_))
            ThrowWinError(GetLastError(), "cannot make the sample key " + container_);
        if (!CTFExportPKInfo(prov_, key_, publicKey_))
            ThrowWinError(GetLastError(), "cannot export the sample key " + container_);
    }
    ~Key() {
        key_.Destroy();
        prov_.Release();
        Remove();
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    HCRYPTPROV Prov() const { return prov_; }
    HCRYPTKEY Handle() const { return key_; }
    const std::string& Container() const { return container_; }
    const CCTFCertPublicKeyInfo& PublicKey() const { return publicKey_; }

private:
    void Remove() {
        HCRYPTPROV gone = 0;
        VRKAcquireContext(&gone, container_.c_str(), nullptr, VRK_PROV_TYPE_GOST_2012_256,
                          CRYPT_DELETEKEYSET | CRYPT_SILENT);
    }

    std::string container_;
    VRKSCApi::CryptProvider prov_;
    VRKSCApi::CryptKey key_;
    CCTFCertPublicKeyInfo publicKey_;
};

// Whole seconds, as certificates and CRLs encode their times.
CTOOFileTime Now() {
    const ULONGLONG t = CTOOFileTime::now().Ticks();
    return CTOOFileTime(t - t % CTOOFileTime::kTicksPerSecond);
}

CTOOFileTime DaysFrom(const CTOOFileTime& t, LONGLONG days) { return CTOOFileTime(t).AddDays(days); }

// A certificate of `subject`, valid from `from` to `to` days around now.
// `keyId` is the product's user identifier (node, then user: "00010001"),
// which becomes the subject unique identifier and the low word of the
// serial, so that the collection finds the node's list.
struct Spec {
    const char* subject;
    const char* keyId;
    LONGLONG from, to;
    bool ca = false;
};

NewCertificate What(const Spec& s, const CTOOFileTime& now) {
    NewCertificate w;
    w.subject = CCTFX509Name(s.subject, 0, true);
    w.keyIdText = s.keyId;
    w.ca = s.ca;
    w.notBefore = DaysFrom(now, s.from);
    w.notAfter = DaysFrom(now, s.to);
    return w;
}

// A CRL of `ca`, current from now for 30 days, revoking `revoked` at the
// times given.
IdentObj IssueCrl(const Key& key, const CCTFCertContext& ca, const CTOOFileTime& now,
                  const std::vector<std::pair<IdentObj, CTOOFileTime>>& revoked) {
    CCTF_CRL_List crl;
    crl.m_info.m_thisUpdate = now;
    crl.m_info.m_nextUpdate = DaysFrom(now, 30);
    for (const auto& [serial, when] : revoked) {
        const FILETIME at = when;
        crl.m_info.AddEntry(serial, 1, &at);  // keyCompromise
    }
    int error = 0;
    CTOOString place;
    if (!crl.SignList(key.Prov(), key.Handle(), ca, 0xFFFF, &error, &place) || !crl.CheckSign(ca, &error, &place))
        throw Error(kFailure, "cannot issue the sample CRL", error, place.str());
    return crl.GetEncodetObject();
}

// A signed PKCS #7 trust list as the nodes keep them.
void WriteSignedList(const std::string& path, const Key& signerKey, const CCTFCertContext& signer,
                     const std::vector<CCTFCertContext>& certs, const std::vector<IdentObj>& crls) {
    CCTFTrustRootCertList list(path.c_str());
    list.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    for (const auto& c : certs) list.ReturnStorage()->AddEncodetCertificate(c.GetEncoded());
    for (const auto& c : crls) list.ReturnStorage()->AddEncodetCRL(c);
    // The signature covers the certificates in the order the list keeps.
    CCTFSignData& sd = list.GetSignData();
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(list.ReturnStorage()->GetHandle(), c)) != nullptr)
        sd.m_certificates.emplace_back(c->pbCertEncoded, c->cbCertEncoded);
    CCTFProvider provider;
    int err = 0;
    if (!provider.Init(signerKey.Container().c_str(), nullptr, VRK_PROV_TYPE_GOST_2012_256, CRYPT_SILENT, &err))
        throw Error(kFailure, "cannot open the sample key " + signerKey.Container(), err);
    try {
        CTFSignTrustList(provider, AT_SIGNATURE, signer, sd);
    } catch (const XTOOStatus& e) {
        throw Error(kFailure, path + ": cannot sign the list", e.Status(), e.Place() ? e.Place() : "");
    }
    WriteList(list, path);
}

// A file store of certificates, as users' certificates are kept.
void WriteUserStore(const std::string& path, const std::vector<CCTFCertContext>& certs) {
    std::error_code ec;
    fs::remove(path, ec);
    CCTFCertStorage s;
    if (!s.OpenStorage(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_FILE_STORE_COMMIT_ENABLE_FLAG, 0,
                       nullptr))
        ThrowWinError(GetLastError(), path + ": cannot make the store");
    for (const auto& c : certs)
        if (!s.AddCertificate(c)) ThrowWinError(GetLastError(), path + ": cannot add a certificate");
    if (!s.CloseStorage()) ThrowWinError(GetLastError(), path + ": cannot write the store");
}

void WriteDer(const std::string& path, const IdentObj& der) { WriteOutputFile(path, Span(der)); }

void MakeFolder(const fs::path& p) {
    std::error_code ec;
    fs::create_directories(p, ec);
    if (ec) throw Error(kFailure, p.string() + ": cannot make the folder: " + ec.message());
}

IdentObj SerialOf(const CCTFCertContext& c) {
    IdentObj s;
    c.GetSubjectSerialNumber(s);
    return s;
}

// An attached signed data of `content` by `signer` with its key, claiming
// to be signed at `at`. Made here rather than by CTFSignData, which rightly
// refuses a certificate outside its validity: the sample wants the
// signature the expired user made while it still could.
IdentObj SignAsOf(const Key& key, const CCTFCertContext& signer, const std::string& content, const CTOOFileTime& at) {
    unsigned hashAlg = 0, extra = 0;
    IdentObj signatureOid;
    if (!GetAlgIDFromOID(cert::oids::kGostR3411_2012_256, sizeof cert::oids::kGostR3411_2012_256 - 1, hashAlg, extra) ||
        !GetOIDFromAlgID(signatureOid, hashAlg, CALG_GOST_R3410_2012_256))
        throw Error(kFailure, "the OID registry has no GOST R 34.11-2012 signature");
    auto hash = [&](VRKSCApi::CryptHash& h, const void* p, std::size_t n) {
        if (!VRKCreateHash(key.Prov(), hashAlg, 0, &h) || !VRKHashData(h, p, static_cast<DWORD>(n)))
            ThrowWinError(GetLastError(), "cannot hash the sample document");
    };
    auto value = [](const asn::Writer& w) { return IdentObj(w.view().data(), static_cast<DWORD>(w.view().size())); };
    auto attribute = [](const char* type, const IdentObj& v) {
        CCTFAttributesSet a;
        a.m_type = type;
        a.m_values.push_back(v);
        return a;
    };

    VRKSCApi::CryptHash contentHash;
    hash(contentHash, content.data(), content.size());
    IdentObj digest;
    if (!VRKGetHashParam(contentHash, HP_HASHVAL, digest)) ThrowWinError(GetLastError(), "cannot hash the document");
    CCTFMessageSignerInfo si;
    si.m_signedAttributes.m_tag = asn::kSet;
    si.m_signedAttributes.m_universal = true;
    si.m_signedAttributes.m_sets = {attribute(kOidContentTypeAttr, value(asn::Writer().Oid(cert::kOidData))),
                                    attribute(kOidSigningTimeAttr, value(asn::Writer().UtcTime(at.GetFileTime()))),
                                    attribute(kOidMessageDigestAttr, value(asn::Writer().OctetString(digest)))};
    const IdentObj signedAttributes = si.m_signedAttributes.WriteData(nullptr);
    VRKSCApi::CryptHash attributesHash;
    hash(attributesHash, signedAttributes.data(), signedAttributes.size());
    if (!VRKSignHash(attributesHash, AT_SIGNATURE, 0, si.m_signature))
        ThrowWinError(GetLastError(), "cannot sign the sample document");

    const CCTFCertInfo info(*signer.GetContext());
    si.m_issuer = info.m_issuer;
    si.m_serialNumber = info.m_serialNumber;  // held least significant byte first
    std::reverse(si.m_serialNumber.data(), si.m_serialNumber.data() + si.m_serialNumber.size());
    si.m_digestAlgorithm = CCTFAlgorithmIdentifier(cert::oids::kGostR3411_2012_256);
    si.m_signatureAlgorithm = CCTFAlgorithmIdentifier(std::string(signatureOid.view()).c_str());

    CCTFSignData data;
    data.m_content = CASNTIdData(cert::kOidData, IdentObj(content.data(), static_cast<DWORD>(content.size())));
    data.m_digestAlgorithms.push_back(si.m_digestAlgorithm);
    data.m_certificates.push_back(signer.GetEncoded());
    data.m_signerInfos.push_back(si.WriteData(nullptr));
    return data.WriteObject(nullptr);
}

}  // namespace

void MakeSampleTransportDir(const std::string& dir) {
    const fs::path root(dir), station = root / "d_station", files = root / "files";
    for (const fs::path& p : {station / "Abn_0001", station / "e_users", files}) MakeFolder(p);
    const CTOOFileTime now = Now();

    const Key rootKey("sample-tdir-ca-0001"), caKey("sample-tdir-ca-0002"), strangerKey("sample-tdir-ca-unknown");
    const Key goodKey("sample-tdir-good"), revokedKey("sample-tdir-revoked"), expiredKey("sample-tdir-expired"),
        externalKey("sample-tdir-external"), unknownKey("sample-tdir-unknown");

    // Node 0001's root CA; node 0002's CA, which the root certified; a CA
    // that no list of the directory knows.
    const CCTFX509Certificate rootModel = MakeSelfSigned(
        rootKey.Prov(), What({"CN=Sample root CA 0001, O=Sample, C=RU", "00010000", -730, 3650, true}, now));
    const CCTFX509Certificate caModel =
        MakeIssued(rootKey.Prov(), rootModel, caKey.PublicKey(),
                   What({"CN=Sample CA 0002, O=Sample, C=RU", "00020000", -730, 1825, true}, now));
    const CCTFX509Certificate strangerModel = MakeSelfSigned(
        strangerKey.Prov(), What({"CN=Unknown CA, O=Elsewhere, C=RU", "00090000", -730, 1825, true}, now));

    auto issue = [&](const CCTFX509Certificate& issuer, const Key& issuerKey, const Key& subjectKey, const Spec& s) {
        return CCTFCertContext(MakeIssued(issuerKey.Prov(), issuer, subjectKey.PublicKey(), What(s, now)).m_encoded);
    };
    const CCTFCertContext rootCa(rootModel.m_encoded), ca0002(caModel.m_encoded);
    const CCTFCertContext good =
        issue(rootModel, rootKey, goodKey, {"CN=Good user, O=Sample, C=RU", "00010001", -10, 365});
    const CCTFCertContext revoked =
        issue(rootModel, rootKey, revokedKey, {"CN=Revoked user, O=Sample, C=RU", "00010002", -10, 365});
    const CCTFCertContext expired =
        issue(rootModel, rootKey, expiredKey, {"CN=Expired user, O=Sample, C=RU", "00010003", -400, -35});
    const CCTFCertContext external =
        issue(caModel, caKey, externalKey, {"CN=External user, O=Sample, C=RU", "00020001", -10, 365});
    const CCTFCertContext unknown =
        issue(strangerModel, strangerKey, unknownKey, {"CN=Unknown user, O=Elsewhere, C=RU", "00090001", -10, 365});

    // The revoked user lost its key two days ago: a chain judged before
    // that still stands.
    const IdentObj rootCrl = IssueCrl(rootKey, rootCa, now, {{SerialOf(revoked), DaysFrom(now, -2)}});
    const IdentObj caCrl = IssueCrl(caKey, ca0002, now, {});

    WriteSignedList((station / "0001_trl.p7s").string(), rootKey, rootCa, {rootCa}, {rootCrl});
    WriteSignedList((station / "0002_trl.p7s").string(), caKey, ca0002, {ca0002}, {caCrl});
    WriteSignedList((station / "0000_trl.p7s").string(), rootKey, rootCa, {rootCa, ca0002}, {});
    WriteUserStore((station / "Abn_0001" / "0001_ownu.cer").string(), {good, revoked, expired});
    WriteUserStore((station / "e_users" / "0002_extu.cer").string(), {external, unknown});

    const std::pair<const char*, const CCTFCertContext*> loose[] = {
        {"root.cer", &rootCa},     {"ca0002.cer", &ca0002},     {"good.cer", &good},      {"revoked.cer", &revoked},
        {"expired.cer", &expired}, {"external.cer", &external}, {"unknown.cer", &unknown}};
    for (const auto& [name, cert] : loose) WriteDer((files / name).string(), cert->GetEncoded());
    WriteDer((files / "root.crl").string(), rootCrl);
    WriteDer((files / "ca0002.crl").string(), caCrl);

    // A document signed by three users: now by the good and the revoked
    // one (the revocation is older than the signature), by the expired one
    // when it was still valid.
    const std::string letter = "A letter from the sample transport directory.\n";
    WriteOutputFile((files / "letter.txt").string(), Span(letter));
    WriteDer((files / "good.p7s").string(), SignAsOf(goodKey, good, letter, now));
    WriteDer((files / "revoked.p7s").string(), SignAsOf(revokedKey, revoked, letter, now));
    WriteDer((files / "expired.p7s").string(), SignAsOf(expiredKey, expired, letter, DaysFrom(now, -100)));
}

std::string BuiltSampleTransportDir() {
#ifdef CTF_SAMPLE_TDIR
    std::error_code ec;
    if (fs::is_directory(fs::path(CTF_SAMPLE_TDIR) / "d_station", ec)) return CTF_SAMPLE_TDIR;
#endif
    return {};
}

std::string DemoSampleTransportDir() {
    std::error_code ec;
    std::string dir = BuiltSampleTransportDir();
    if (!dir.empty() && fs::is_regular_file(fs::path(dir) / "files" / "good.p7s", ec)) return dir;
    dir = cert::platform::CertHome() + "/sample-tdir";
    if (!fs::is_regular_file(fs::path(dir) / "files" / "good.p7s", ec)) {
        MakeSampleTransportDir(dir);
        std::printf("no sample from the build here: made one\n");
    }
    return dir;
}

int RunInTransportDir(const Context& ctx, const std::string& dir, const std::string& name,
                      const std::vector<std::string>& argv) {
    std::string line = "$ ctf --transport-dir " + dir + " " + name;
    for (const auto& a : argv) line += " " + a;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    const Command& c = Commands().at(name);
    Context run = ctx;
    run.command = name;
    run.transportDir = dir;
    Args args(argv, c.flags, run, c.lists);
    args.Check();
    return c.run(run, args);
}

}  // namespace ctf
