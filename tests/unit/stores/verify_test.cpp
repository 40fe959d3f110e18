// Subject verification, CRL search and issuer search against certificates
// and a CRL that openssl makes at test time: RSA through OpenSSL, GOST
// through the provider.
#include <string>

#include "store_test_util.h"
#include "testsupport.h"

namespace {

using namespace storetest;
using certtest::Sh;

class Verify : public certtest::HomeTest {
protected:
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("cd " + Sh(home_.path()) + " && openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    Der Read(const std::string& name) {
        std::string s = certtest::ReadFile(home_ / name);
        return Der(s.begin(), s.end());
    }
    PCCERT_CONTEXT Cert(const std::string& name) {
        Der d = Read(name);
        PCCERT_CONTEXT c = CertCreateCertificateContext(CAPI_ENCODING, d.data(), DWORD(d.size()));
        EXPECT_TRUE(c) << name << " " << std::hex << GetLastError();
        return c;
    }
    // Signed by ca with the serial given.
    void Leaf(const std::string& name, const std::string& serial) {
        Openssl("req -newkey rsa:2048 -nodes -keyout " + name + ".key -subj /CN=" + name + " -out " + name + ".csr");
        Openssl("x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -set_serial " + serial +
                " -days 100 -outform DER -out " + name + ".der");
    }
};

DWORD Check(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer, DWORD flags) {
    EXPECT_TRUE(CertVerifySubjectCertificateContext(subject, issuer, &flags)) << std::hex << GetLastError();
    return flags;
}

TEST_F(Verify, RsaSignatureTimeAndRevocation) {
    Openssl("req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=ca -days 3650");
    Openssl("x509 -in ca.pem -outform DER -out ca.der");
    Leaf("good", "5");
    Leaf("revoked", "6");
    certtest::WriteFile(home_ / "index.txt", "R\t351231000000Z\t240101000000Z\t06\tunknown\t/CN=revoked\n");
    certtest::WriteFile(home_ / "crlnumber", "01\n");
    certtest::WriteFile(home_ / "ca.cnf",
                        "[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\ncrlnumber=crlnumber\ndefault_md=sha256\n"
                        "default_crl_days=30\n");
    Openssl("ca -gencrl -config ca.cnf -keyfile ca.key -cert ca.pem -out crl.pem");
    Openssl("crl -in crl.pem -outform DER -out crl.der");
    Der altered = Read("good.der");
    altered.back() ^= 1;

    HCERTSTORE s = MemoryStore();
    PCCERT_CONTEXT ca = AddCert(s, Read("ca.der"));
    PCCERT_CONTEXT good = Cert("good.der"), revoked = Cert("revoked.der");
    PCCERT_CONTEXT bad = CertCreateCertificateContext(CAPI_ENCODING, altered.data(), DWORD(altered.size()));
    ASSERT_TRUE(ca && good && revoked && bad);
    const DWORD all = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG | CERT_STORE_REVOCATION_FLAG;

    // No CRL yet: revocation passes with the no-CRL bit.
    EXPECT_EQ(Check(good, ca, all), CERT_STORE_NO_CRL_FLAG);
    Der crl = Read("crl.der");
    ASSERT_TRUE(
        CertAddEncodedCRLToStore(s, CAPI_ENCODING, crl.data(), DWORD(crl.size()), CERT_STORE_ADD_NEWER, nullptr));
    EXPECT_EQ(Check(good, ca, all), 0u);
    EXPECT_EQ(Check(revoked, ca, all), CERT_STORE_REVOCATION_FLAG);
    EXPECT_EQ(Check(bad, ca, all), CERT_STORE_SIGNATURE_FLAG);
    EXPECT_EQ(Check(good, good, CERT_STORE_SIGNATURE_FLAG), CERT_STORE_SIGNATURE_FLAG);  // wrong key
    Der expired = MakeCert({.from = 2001, .to = 2002});
    PCCERT_CONTEXT old = CertCreateCertificateContext(CAPI_ENCODING, expired.data(), DWORD(expired.size()));
    EXPECT_EQ(Check(old, nullptr, CERT_STORE_TIME_VALIDITY_FLAG), CERT_STORE_TIME_VALIDITY_FLAG);
    DWORD unknown = 0x8;
    EXPECT_FALSE(CertVerifySubjectCertificateContext(good, ca, &unknown));
    EXPECT_EQ(GetLastError(), E_INVALIDARG);

    // The CRL by its issuer, checked as asked; a forged newer CRL of the
    // same name counts for nothing.
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    PCCRL_CONTEXT found = CertGetCRLFromStore(s, ca, nullptr, &flags);
    ASSERT_TRUE(found);
    EXPECT_EQ(flags, 0u);
    flags = 0;
    // The previous context given is freed by the call: hand it a reference of its own.
    EXPECT_EQ(CertGetCRLFromStore(s, ca, CertDuplicateCRLContext(found), &flags), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    Der forged = MakeCrl({.issuer = "ca", .thisUpdate = 2025, .nextUpdate = 2099});
    ASSERT_TRUE(CertAddEncodedCRLToStore(s, CAPI_ENCODING, forged.data(), DWORD(forged.size()), CERT_STORE_ADD_ALWAYS,
                                         nullptr));
    EXPECT_EQ(Check(revoked, ca, CERT_STORE_REVOCATION_FLAG), CERT_STORE_REVOCATION_FLAG);

    // The issuer from the store.
    flags = all;
    PCCERT_CONTEXT issuer = CertGetIssuerCertificateFromStore(s, good, nullptr, &flags);
    EXPECT_EQ(issuer, ca);
    EXPECT_EQ(flags, 0u);
    flags = 0;
    EXPECT_EQ(CertGetIssuerCertificateFromStore(s, ca, nullptr, &flags), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_SELF_SIGNED);

    for (PCCERT_CONTEXT c : {ca, good, revoked, bad, old, issuer}) CertFreeCertificateContext(c);
    CertFreeCRLContext(found);
    EXPECT_TRUE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST_F(Verify, GostSignaturesThroughTheProvider) {
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine";
    for (std::string key :
         {"gost2001 -pkeyopt paramset:A", "gost2012_256 -pkeyopt paramset:A", "gost2012_512 -pkeyopt paramset:B"}) {
        SCOPED_TRACE(key);
        Openssl("req -x509 -engine gost -newkey " + key + " -nodes -keyout g.key -out g.pem -subj /CN=g -days 30");
        Openssl("x509 -in g.pem -outform DER -out g.der");
        PCCERT_CONTEXT g = Cert("g.der");
        Der altered = Read("g.der");
        altered[altered.size() - 5] ^= 1;
        PCCERT_CONTEXT bad = CertCreateCertificateContext(CAPI_ENCODING, altered.data(), DWORD(altered.size()));
        ASSERT_TRUE(g && bad);
        EXPECT_EQ(Check(g, g, CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG), 0u);
        EXPECT_EQ(Check(bad, g, CERT_STORE_SIGNATURE_FLAG), CERT_STORE_SIGNATURE_FLAG);
        CertFreeCertificateContext(g);
        CertFreeCertificateContext(bad);
    }
}

}  // namespace
