// Fixtures of the transport-directory tests: a PKI that openssl makes,
// certificates the model builds (names and serials chosen, the signature
// filler), list files, file stores, and a transport directory.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../contexts/pki.h"
#include "../model/model_test_util.h"
#include "cert/certlist.h"
#include "cert/lecursor.h"
#include "cert/transdir.h"
#include "cert/vrkscapi.h"
#include "pki.h"
#include "testsupport.h"

namespace tdirtest {

struct Pki {
    std::unique_ptr<certtest::TempDir> dir;
    std::string path(const std::string& n) const { return *dir / n; }
    IdentObj Der(const std::string& n) const { return IdentObj(certtest::ReadFile(path(n))); }
};

// Two PKIs of their own CAs (`which` 0 or 1), made once per program.
inline const Pki& SharedPki(int which = 0) {
    static Pki p[2];
    if (!p[which].dir) {
        p[which].dir = std::make_unique<certtest::TempDir>();
        std::string why;
        const pki::Kind& k = certtest::HaveGostEngine() ? pki::kKinds[1] : pki::kKinds[0];
        if (!pki::Make(p[which].dir->path(), k, why)) ADD_FAILURE() << why;
    }
    return p[which];
}

// A certificate with a 16-byte serial made from `keyIdText` as requests get
// theirs, without unique identifiers unless asked.
inline IdentObj ModelCert(const std::string& subject, const CCTFX509Name& issuer, const char* keyIdText,
                          bool keepUniqueId = false) {
    const CCTFAlgorithmIdentifier alg(cert::oids::kGostR3410_2012_256WithR3411);
    const IdentObj keyDer = modeltest::GostKey();
    CCTFCertPublicKeyInfo key;
    key.ReadData(keyDer.data(), keyDer.size());
    XTOOStatus status(0);
    CCTFCertInfo info = CCTFCertInfo::CreateCertReq(CCTFX509Name(subject.c_str(), 0, true), alg, 2, 12, 0, key,
                                                    keyIdText, IdentObj(), CCTFX509Name(), 0, &status);
    EXPECT_EQ(status.Status(), 0) << status.Place();
    info.m_issuer = issuer;
    if (!keepUniqueId) info.m_subjectUniqueId = CTOOCryptBitBlob();
    return certpki::WithFillerSignature(info, alg);
}

inline IdentObj ModelCert(const std::string& subject, const std::string& issuer, const char* keyIdText,
                          bool keepUniqueId = false) {
    return ModelCert(subject, CCTFX509Name(issuer.c_str(), 0, true), keyIdText, keepUniqueId);
}

// A trust list in the record form, protected by a MAC.
inline void WriteMacList(const std::string& path, const std::vector<IdentObj>& certs) {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    le::Writer w;
    w.U8(PLAINTEXTKEYBLOB).U8(CUR_BLOB_VERSION).U16(0).U32(CALG_GOST_28147).U32(32).Put(std::string(32, '\x5A'));
    const IdentObj blob = w.Take();
    ASSERT_TRUE(VRKImportKey(prov, blob.data(), blob.size(), 0, 0, &key));
    {
        CCTFTrustRootCertList l;
        l.SetNewFileName(path.c_str());
        l.SetPurposeCode(le::FourCC("TRCL"));
        CTOOString alg(CTF_OID_LIST_MAC_A);
        IdentObj keyId("K1", 2), user("node", 4);
        l.SetProtectInfo(alg, keyId, user, key);
        for (const IdentObj& c : certs) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(c));
        EXPECT_EQ(l.WriteFile(nullptr), 0) << path;
    }
    VRKDestroyKey(key);
    VRKReleaseContext(prov);
}

inline void MakeFolders(const std::string& path) { std::filesystem::create_directories(path); }

// A list file: PKCS #7 (carrying CRLs) or the record form.
inline void WriteList(const std::string& path, const std::vector<IdentObj>& certs,
                      const std::vector<IdentObj>& crls = {}, bool pkcs7 = true) {
    MakeFolders(std::filesystem::path(path).parent_path());
    CCTFCertList l(path.c_str());
    if (pkcs7) {
        l.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    } else {
        l.SetPurposeCode(0x4C435254);
        l.SetFileVersion(0x10001);
    }
    for (const IdentObj& c : certs) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(c));
    for (const IdentObj& c : crls) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCRL(c));
    ASSERT_EQ(l.WriteFile(nullptr), 0) << path;
}

// `s` with the serial a request of node `node` gets (`n` its first byte):
// the collection looks for its issuer in that node's list.
inline certpki::CertSpec OfNode(certpki::CertSpec s, unsigned char node, unsigned char n = 1) {
    const unsigned char serial[16] = {n, 0x00, node, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11};
    s.serial = IdentObj(serial, sizeof serial);
    return s;
}

// A PKCS #7 list signed by `signer` (none: unsigned); `change` edits the
// signed data after signing.
inline void WriteSigned(const std::string& path, const std::vector<const certpki::Cert*>& certs,
                        const std::vector<CCTFCRLContext>& crls, const certpki::Cert* signer,
                        const std::function<void(CCTFSignData&)>& change = nullptr) {
    CCTFSignData sd;
    for (const certpki::Cert* c : certs) sd.m_certificates.push_back(c->der);
    for (const CCTFCRLContext& c : crls) sd.m_crls.push_back(c.GetEncoded());
    if (signer) certpki::SignTrustList(*signer, sd);
    if (change) change(sd);
    int err = 0;
    const IdentObj bytes = sd.WriteObject(&err);
    ASSERT_EQ(err, 0);
    MakeFolders(std::filesystem::path(path).parent_path());
    certtest::WriteFile(path, std::string(bytes.view()));
}

// A certificate file store holding `cert`.
inline void WriteStore(const std::string& path, const IdentObj& cert) {
    MakeFolders(std::filesystem::path(path).parent_path());
    CCTFCertStorage s;
    ASSERT_TRUE(s.OpenStorage(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME, CERT_FILE_STORE_COMMIT_ENABLE_FLAG, 0,
                              nullptr))
        << path;
    ASSERT_TRUE(s.AddEncodetCertificate(cert));
    ASSERT_TRUE(s.CloseStorage());
}

// `dir` becomes the transport directory with the list `station/name` as
// its root storage, application flag `flag`.
inline void LoadRoot(const std::string& dir, const std::string& station, const std::string& name,
                     unsigned long flag = 0) {
    CCTFTrustRootCertList l(name.c_str());
    l.SetNewFileName((dir + "/" + station + "/" + name).c_str());
    l.LoadFile();
    CTFLoadRootStorage(*l.ReturnStorage(), CTOOString(dir.c_str()), flag);
}

inline std::vector<IdentObj> CrlsOf(const CCTFCertStorage& s) {
    std::vector<IdentObj> out;
    for (const CCTFCRLContext& c : s.GetCRLList()) out.push_back(c.GetEncoded());
    return out;
}

inline std::vector<IdentObj> CrlsOfList(const std::string& path) {
    CCTFCertList l(path.c_str());
    l.LoadFile();
    return CrlsOf(*l.ReturnStorage());
}

}  // namespace tdirtest
