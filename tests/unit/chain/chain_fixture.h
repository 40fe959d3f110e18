// The chain tests' PKI (a root, a CA under it, a leaf under that, a second
// root and CA, and their CRLs: made once per program) and a fixture that
// loads a trust storage into the library-wide collection and builds chains.
#pragma once

#include <deque>
#include <vector>

#include "cert/chain.h"
#include "cert/transdir.h"
#include "pki.h"
#include "testsupport.h"

namespace chaintest {

struct Pki {
    certpki::Cert root, ca, leaf, otherRoot, otherCa;
    CCTFCRLContext rootCrl, caCrl, caRevokesLeaf, rootRevokesCa;
};

inline const Pki& SharedPki() {
    static const Pki pki = [] {
        Pki p;
        certpki::CertSpec root = certpki::CaSpec("CN=Test Root, O=Test");
        root.notBefore = certpki::Days(-100);
        root.notAfter = certpki::Days(4000);
        p.root = certpki::SelfSigned(root);
        certpki::CertSpec ca = certpki::CaSpec("CN=Test CA, O=Test");
        ca.notBefore = certpki::Days(-90);
        ca.notAfter = certpki::Days(3000);
        p.ca = certpki::Issue(p.root, ca);
        p.leaf = certpki::Issue(p.ca, certpki::CertSpec{});
        p.otherRoot = certpki::SelfSigned(certpki::CaSpec("CN=Other Root"));
        p.otherCa = certpki::Issue(p.otherRoot, certpki::CaSpec("CN=Other CA"));
        p.rootCrl = certpki::MakeCrl(p.root);
        p.caCrl = certpki::MakeCrl(p.ca);
        p.caRevokesLeaf = certpki::Revoke(p.ca, {&p.leaf});
        p.rootRevokesCa = certpki::Revoke(p.root, {&p.ca});
        return p;
    }();
    return pki;
}

inline certpki::CertSpec Named(const std::string& subject) {
    certpki::CertSpec s;
    s.subject = subject;
    return s;
}

class Chain : public certtest::HomeTest {
public:
    const Pki& pki() const { return SharedPki(); }

    // The collection's root storage holds these, with this application flag.
    void Trust(const std::vector<const certpki::Cert*>& certs, const std::vector<CCTFCRLContext>& crls,
               unsigned long applicationFlag = 0) {
        root_ = certpki::MemoryStore(certs, crls);
        CTFLoadRootStorage(root_, CTOOString(home_.path().c_str()), applicationFlag);
    }
    // The shared root and CA with their CRLs, none revoking.
    void TrustAll(unsigned long applicationFlag = 0) {
        Trust({&pki().root, &pki().ca}, {pki().rootCrl, pki().caCrl}, applicationFlag);
    }

    CCTFCertificateChain Build(const certpki::Cert& cert, const CCTFCertStorage* additional = nullptr,
                               CCTFChainEngine* engine = nullptr) {
        CCTFCertificateChain chain;
        CCTFChainEngine own;
        EXPECT_TRUE((engine ? *engine : own).GetCertificateChain(cert.context, chain, nullptr, additional));
        return chain;
    }

    static std::vector<DWORD> Bits(const CCTFCertificateChain& chain) {
        std::vector<DWORD> bits;
        for (const CCTFChainElement& e : chain.elements) bits.push_back(e.status.dwErrorStatus);
        return bits;
    }

    std::deque<certpki::Cert> keep;  // certificates a case made and needs kept

protected:
    void SetUp() override {
        HomeTest::SetUp();
        SharedPki();
    }
    void TearDown() override {
        CTFFreeRootStorage();
        CTFSetAplicationFlag(0);
        HomeTest::TearDown();
    }

private:
    CCTFCertStorage root_;
};

}  // namespace chaintest
