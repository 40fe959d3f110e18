// Chains over a small PKI made with the library: the bits of every element
// and of the chain for the shapes a verifier meets, the checks at another
// time, and hostile stores that must still give an answer.
#include <functional>

#include "chain_fixture.h"

namespace {

using namespace chaintest;
using certpki::CaSpec;
using certpki::Cert;
using certpki::CertSpec;
using certpki::CrlSpec;
using certpki::Days;
using chaintest::Named;

// The bits of each element from the leaf up, and of the chain, for the
// shapes only this engine's rules decide (the common verdicts are compared
// with OpenSSL's in the interop corpus).
struct BitsCase {
    const char* name;
    std::function<Cert(Chain&)> setUp;  // fills the stores, gives the certificate
    std::vector<DWORD> elements;
    DWORD chain;
};

TEST_F(Chain, ElementAndChainBits) {
    const BitsCase cases[] = {
        {"self-signed, known nowhere: an untrusted root, not partial",
         [](Chain& t) {
             t.Trust({&t.pki().root}, {});
             return certpki::SelfSigned(CaSpec("CN=Stranger Root"));
         },
         {0x20},
         0x20},
        {"issuer nowhere: partial, the element carries nothing",
         [](Chain& t) {
             t.Trust({&t.pki().root}, {t.pki().rootCrl});
             return t.pki().leaf;
         },
         {0},
         0x10000},
        {"no CRL of the CA: revocation unknown",
         [](Chain& t) {
             t.Trust({&t.pki().root, &t.pki().ca}, {t.pki().rootCrl});
             return t.pki().leaf;
         },
         {0x40, 0, 0},
         0x40},
        {"no CRL with the application flag 0x1: nothing",
         [](Chain& t) {
             t.Trust({&t.pki().root, &t.pki().ca}, {}, 0x1);
             return t.pki().leaf;
         },
         {0, 0, 0},
         0},
        {"a forged newer CRL does not hide the revocation",
         [](Chain& t) {
             CrlSpec forged;
             forged.thisUpdate = Days(0);
             forged.signingKey = "Forger";
             t.Trust({&t.pki().root, &t.pki().ca},
                     {t.pki().rootCrl, t.pki().caRevokesLeaf, certpki::MakeCrl(t.pki().ca, forged)});
             return t.pki().leaf;
         },
         {0x4, 0, 0},
         0x4},
        {"a CA that says it is none",
         [](Chain& t) {
             CertSpec notCa = CaSpec("CN=Not A CA");
             notCa.ca = false;
             notCa.markEndEntity = true;
             Cert bad = certpki::Issue(t.pki().root, notCa);
             t.keep.push_back(bad);
             t.Trust({&t.pki().root, &t.keep.back()}, {t.pki().rootCrl}, 0x1);
             return certpki::Issue(t.keep.back(), CertSpec{});
         },
         {0, 0x400, 0},
         0x400},
        {"basic constraints are judged only on an otherwise clean chain",
         [](Chain& t) {
             Cert zero = certpki::Issue(t.pki().root, CaSpec("CN=Zero", 0));
             t.keep.push_back(zero);
             Cert below = certpki::Issue(t.keep.back(), CaSpec("CN=Below Zero"));
             t.keep.push_back(below);
             t.Trust({&t.pki().root, &t.keep.front(), &t.keep.back()}, {});
             return certpki::Issue(t.keep.back(), CertSpec{});
         },
         {0x40, 0x40, 0x40, 0},
         0x40},
        {"a certificate and its issuer that issue each other",
         [](Chain& t) {
             CertSpec a = CaSpec("CN=Mutual A");
             a.issuerName = "CN=Mutual B";
             a.key = "Mutual A";
             CertSpec b = CaSpec("CN=Mutual B");
             b.issuerName = "CN=Mutual A";
             b.key = "Mutual B";
             Cert signerA = certpki::SelfSigned(a), signerB = certpki::SelfSigned(b);
             t.keep.push_back(certpki::Issue(signerB, a));
             t.keep.push_back(certpki::Issue(signerA, b));
             t.Trust({&t.keep.front(), &t.keep.back()}, {}, 0x1);
             return t.keep.front();
         },
         {0, 0},
         0x80},
    };
    for (const BitsCase& c : cases) {
        SCOPED_TRACE(c.name);
        keep.clear();
        const Cert cert = c.setUp(*this);
        const CCTFCertificateChain chain = Build(cert);
        EXPECT_EQ(Bits(chain), c.elements);
        EXPECT_EQ(chain.status.dwErrorStatus, c.chain);
        // The element at a partial end has no issuer; all others do.
        if (!chain.elements.empty()) {
            EXPECT_EQ(chain.elements.back().issuer.IsInitialized(), !(c.chain & 0x10000));
        }
        CTFFreeRootStorage();
    }
}

TEST_F(Chain, VerifyAtAnotherTime) {
    CertSpec spec;
    spec.subject = "CN=Month Old";
    spec.notBefore = Days(-30);
    spec.notAfter = Days(30);
    const Cert leaf = certpki::Issue(pki().ca, spec);
    // Revoked ten days ago, by a CRL valid from fifteen days ago to sixty ahead;
    // before its time no CRL is known, after the certificate's it has expired.
    CrlSpec crlSpec;
    crlSpec.thisUpdate = Days(-15);
    crlSpec.nextUpdate = Days(60);
    crlSpec.revoked.push_back({leaf.Serial(), Days(-10), 1});
    const CCTFCRLContext revoked = certpki::MakeCrl(pki().ca, crlSpec);
    Trust({&pki().root, &pki().ca}, {pki().rootCrl});
    CCTFCertStorage crls = certpki::MemoryStore({}, {revoked});

    for (const auto& [day, good, leafBits] :
         {std::tuple{-12, true, 0u}, {-2, false, 0x4u}, {-40, false, 0x41u}, {40, false, 0x5u}}) {
        SCOPED_TRACE(day);
        CERT_TRUST_STATUS status{};
        EXPECT_EQ(CTFVerifyCertificateEx(leaf.context, CTOOFileTime(Days(day)), status, &crls), good);
        EXPECT_EQ(status.dwErrorStatus, leafBits);
        CCTFCertificateChain chain = Build(leaf, &crls);
        CTFCorrectChainStatus(chain, CTOOFileTime(Days(day)), &crls);
        EXPECT_EQ(Bits(chain), (std::vector<DWORD>{leafBits, 0, 0}));
    }
    // Now, without the CRL storage: no CRL of the CA is known.
    CERT_TRUST_STATUS now{};
    ASSERT_TRUE(CTFVerifyCertificate(leaf.context, now));
    EXPECT_EQ(now.dwErrorStatus, 0x40u);
}

TEST_F(Chain, CorrectionTakesOnlyTheIssuersCrlAndKeepsTheShape) {
    const Cert& leaf = pki().leaf;
    TrustAll();
    CCTFCertificateChain chain = Build(leaf);
    ASSERT_EQ(chain.status.dwErrorStatus, 0u);

    // Another CA of the same name lists the leaf: not the leaf's issuer.
    CertSpec twinSpec = CaSpec("CN=Test CA, O=Test");
    twinSpec.key = "Twin CA";
    const Cert twin = certpki::Issue(pki().root, twinSpec);
    CCTFCertStorage foreign = certpki::MemoryStore({}, {certpki::Revoke(twin, {&leaf})});
    EXPECT_TRUE(CTFCorrectChainStatus(chain, CTOOFileTime::now(), &foreign));
    EXPECT_EQ(Bits(chain), (std::vector<DWORD>{0, 0, 0}));

    CCTFCertStorage own = certpki::MemoryStore({}, {pki().caRevokesLeaf});
    EXPECT_FALSE(CTFCorrectChainStatus(chain, CTOOFileTime::now(), &own));
    EXPECT_EQ(Bits(chain), (std::vector<DWORD>{0x4, 0, 0}));
    EXPECT_EQ(chain.elements.front().crl, pki().caRevokesLeaf);

    // Partial stays partial at any time.
    CTFFreeRootStorage();
    Trust({&pki().root}, {});
    chain = Build(leaf);
    EXPECT_FALSE(CTFCorrectChainStatus(chain, CTOOFileTime::now(), nullptr));
    EXPECT_EQ(chain.status.dwErrorStatus, 0x10000u);
}

TEST_F(Chain, SubjectVerificationConvention) {
    const Cert& leaf = pki().leaf;
    CCTFCertStorage crls = certpki::MemoryStore({}, {pki().caRevokesLeaf});
    unsigned long flags = 7;
    CCTFCRLContext crl;
    EXPECT_EQ(CTFVerifySubjectCertificateContext(leaf.context, pki().ca.context, &flags, &crls, &crl), 1);
    EXPECT_EQ(flags, 0x4ul);
    EXPECT_EQ(crl, pki().caRevokesLeaf);
    flags = 7;
    EXPECT_EQ(CTFVerifySubjectCertificateContext(leaf.context, pki().root.context, &flags, nullptr, nullptr), 1);
    EXPECT_EQ(flags, 0x10001ul);  // another key; no CRL
    flags = 7;
    SetLastError(0);
    EXPECT_EQ(CTFVerifySubjectCertificateContext(leaf.context, CCTFCertContext(), &flags, &crls, nullptr), 0);
    EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(Chain, ListsFilteredByChains) {
    CertSpec old = Named("CN=Old");
    old.notBefore = Days(-30);
    old.notAfter = Days(-1);
    const Cert expired = certpki::Issue(pki().ca, old);
    const Cert revoked = certpki::Issue(pki().ca, Named("CN=Revoked"));
    const Cert stranger = certpki::Issue(pki().otherCa, Named("CN=Stranger"));
    Trust({&pki().root, &pki().ca}, {pki().rootCrl, certpki::Revoke(pki().ca, {&revoked})});
    CCTFCertStorage users = certpki::MemoryStore({&pki().leaf, &expired, &revoked, &stranger});
    auto listed = [&](unsigned long filter) {
        std::vector<IdentObj> out;
        for (const CCTFCertContext& c : CTFGetCertContextList(users, filter)) out.push_back(c.GetEncoded());
        return out;
    };
    EXPECT_EQ(listed(0).size(), 4u);
    EXPECT_EQ(listed(0x73).size(), 4u);
    EXPECT_EQ(listed(0x2), std::vector<IdentObj>{pki().leaf.der});
    EXPECT_EQ(listed(0x10), std::vector<IdentObj>{expired.der});
    EXPECT_EQ(listed(0x20), std::vector<IdentObj>{revoked.der});
    EXPECT_EQ(listed(0x80), std::vector<IdentObj>{stranger.der});
    EXPECT_EQ(listed(0x30).size(), 2u);
    EXPECT_THROW(CTFGetCertContextList(CCTFCertStorage(), 0x2), XTOOStatus);
}

// Stores an attacker filled: every build still ends, with the answer the
// shape deserves.
TEST_F(Chain, HostileShapesEnd) {
    // A line of 100 is followed to the end; one longer than any real chain
    // is cut and reported partial.
    std::vector<Cert> line{pki().root};
    CCTFCertificateChain chain;
    for (const auto& [length, elements, bits] : {std::tuple{100, 100u, 0u}, std::tuple{140, 128u, 0x10000u}}) {
        for (int i = line.size(); i < length; ++i) {
            CertSpec s = CaSpec("CN=Link " + std::to_string(i));
            s.key = "Link " + std::to_string(i % 4);
            line.push_back(certpki::Issue(line.back(), s));
        }
        std::vector<const Cert*> all;
        for (const Cert& c : line) all.push_back(&c);
        CTFFreeRootStorage();
        Trust(all, {}, 0x1);
        chain = Build(line.back());
        EXPECT_EQ(chain.elements.size(), elements);
        EXPECT_EQ(chain.status.dwErrorStatus, bits);
    }

    // Ten thousand look-alikes of the CA, each claiming its name and key
    // identifier, ahead of the real one: the search gives up on them in
    // bounded work and the leaf's signature is reported, not hung on.
    CTFFreeRootStorage();
    std::vector<Cert> fakes;
    fakes.reserve(10000);
    CertSpec fake = CaSpec("CN=Test CA, O=Test");
    fake.key = "Impostor";
    fake.unsigned_ = true;
    fake.subjectKeyIdValue = pki().ca.model.m_info.m_publicKey.GetKeyID();
    for (int i = 0; i < 10000; ++i) fakes.push_back(certpki::Issue(pki().root, fake));
    std::vector<const Cert*> crowd{&pki().root};
    for (const Cert& c : fakes) crowd.push_back(&c);
    crowd.push_back(&pki().ca);
    Trust(crowd, {}, 0x1);
    chain = Build(pki().leaf);
    ASSERT_GE(chain.elements.size(), 2u);
    EXPECT_EQ(chain.elements.front().status.dwErrorStatus, 0x8u);
    EXPECT_NE(chain.elements.front().issuer, pki().ca.context);
    EXPECT_TRUE(chain.status.dwErrorStatus & 0x8);
}

}  // namespace
