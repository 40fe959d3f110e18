// Signed data both ways with `openssl cms` and the GOST engine, for each
// GOST size and RSA. What we sign OpenSSL verifies: attached, detached,
// from memory, without attributes, by key identifier, with two signers, ours
// added to OpenSSL's streamed signature, and a trust list signed by a 2001
// authority over its certificates. What OpenSSL signs we verify: attached,
// detached, without attributes and streamed (BER), a signer certificate only
// the caller has, and two signers with different digests; tampered content
// is caught. The keys come from OpenSSL and are imported into containers,
// so OpenSSL's CA vouches for them.
#include <string>

#include <gtest/gtest.h>

#include "cert/signeddata.h"
#include "cert/verify.h"
#include "openssl_home.h"

namespace {

using interoptest::Kind;
using interoptest::kKinds;

struct Signer {
    CCTFUser user;
    CCTFCertContext cert;
    CTOOString hash;  // ours; empty: the certificate's first
    const CTOOString* Hash() const { return hash.IsEmpty() ? nullptr : &hash; }
};

class CmsOpenssl : public interoptest::OpensslHomeTest {
protected:
    // OpenSSL's verdict on a DER signature (with the content when detached).
    bool Verifies(const std::string& sig, const std::string& ca, const std::string& content = "",
                  const std::string& more = "") {
        return In("openssl cms -verify -engine gost -binary -inform DER -in " + sig + " -CAfile " + ca +
                  (content.empty() ? "" : " -content " + content) + " " + more + " -out verified")
                   .exitCode == 0;
    }
    // `k`'s signer certified by OpenSSL's CA, its key imported into the
    // container `k.name`.
    void MakeSigner(const Kind& k, Signer& s) {
        OpensslHomeTest::MakeSigner(k);
        const std::string n = k.name;
        Import(n, n + ".key", n + ".der", k.keyOid, s);
        if (!k.keyOid) s.hash = k.digestOid;
    }
    void Import(const std::string& container, const std::string& keyFile, const std::string& certFile,
                const char* keyOid, Signer& s) {
        ASSERT_EQ(
            vrk::ImportPkcs8(container, false, IdentObj(Read(keyFile)), cert::Secret(), AT_SIGNATURE, cert::Secret()),
            0u);
        ASSERT_EQ(s.user.LogInUser(container.c_str(), "", "", keyOid, false, true, false), 0);
        s.cert = CCTFCertContext(IdentObj(Read(certFile)));
        ASSERT_TRUE(s.cert.IsInitialized());
        ASSERT_TRUE(s.cert.SetContainer(container.c_str()));
        ASSERT_TRUE(s.cert.SetPrivateKeyType(AT_SIGNATURE));
    }
    int SignFile(const Signer& s, const std::string& in, const std::string& out, unsigned long flags) {
        int st = -1;
        CTFSignFile(s.user, s.cert, F(in).c_str(), F(out).c_str(), nullptr, flags, s.Hash(), &st);
        return st;
    }
    void OpensslSigns(const Kind& k, const std::string& out, const std::string& options) {
        const std::string n = k.name;
        Ok("openssl cms -sign -engine gost -binary -in data -signer " + n + ".pem -inkey " + n + ".key -md " + k.md +
           " -outform DER -out " + out + " " + options);
    }
    // The statuses of our verification of `file` (the content file when
    // `sig` names a detached signature).
    std::vector<DWORD> Statuses(const std::string& file, const std::string& sig = "",
                                const CCTFCertStorage* store = nullptr) {
        const IdentObj detached(sig.empty() ? std::string() : Read(sig));
        std::list<CCTFWholeSignatureCheck> r;
        int st = -1;
        EXPECT_TRUE(CTFVerifySignatureOnFile(r, F(file).c_str(), sig.empty() ? nullptr : &detached, store, &st))
            << file << " " << st;
        std::vector<DWORD> out;
        for (const auto& c : r) out.push_back(c.m_status);
        return out;
    }
};

TEST_F(CmsOpenssl, EachKindBothWaysInEveryForm) {
    Ok("sed 's/record 7/record 8/' data > altered");
    const std::vector<DWORD> good{0};
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        Signer s;
        ASSERT_NO_FATAL_FAILURE(MakeSigner(k, s));
        const std::string n = k.name, ca = n + ".ca.pem";
        ASSERT_EQ(SignFile(s, "data", n + ".p7s", 0), 0);
        EXPECT_TRUE(Verifies(n + ".p7s", ca, "data"));
        EXPECT_FALSE(Verifies(n + ".p7s", ca, "altered"));
        CCTFSignData read;
        const IdentObj der(Read(n + ".p7s"));
        int rc = -1;
        ASSERT_TRUE(read.ReadObject(der.data(), der.size(), &rc)) << rc;
        CCTFMessageSignerInfo si;
        ASSERT_NE(si.ReadData(read.m_signerInfos.front().data(), read.m_signerInfos.front().size(), &rc), 0u);
        EXPECT_EQ(si.m_digestAlgorithm.GetOID(), k.digestOid);
        EXPECT_EQ(si.m_signatureAlgorithm.GetOID(), k.signatureOid);
        ASSERT_EQ(SignFile(s, "data", n + ".p7m", kSignPreviousContent), 0);
        EXPECT_TRUE(Verifies(n + ".p7m", ca));
        EXPECT_EQ(Read("verified"), Read("data"));
        // The memory form, detached.
        const std::string bytes = Read("data");
        WhatToSignStruct what;
        what.data = bytes.data();
        what.end = static_cast<DWORD>(bytes.size());
        IdentObj sig;
        int st = -1;
        ASSERT_TRUE(CTFSignData(s.user, s.cert, what, &sig, s.Hash(), &st)) << st;
        Write(n + ".mem.p7s", std::string(sig.view()));
        EXPECT_TRUE(Verifies(n + ".mem.p7s", ca, "data"));

        OpensslSigns(k, n + ".att", "-nodetach");
        EXPECT_EQ(Statuses(n + ".att"), good);
        OpensslSigns(k, n + ".det", "");
        EXPECT_EQ(Statuses("data", n + ".det"), good);
        EXPECT_EQ(Statuses("altered", n + ".det"), std::vector<DWORD>{kVerifyDigestMismatch});
        OpensslSigns(k, n + ".noattr", "-noattr");
        EXPECT_EQ(Statuses("data", n + ".noattr"), good);
        EXPECT_EQ(Statuses("altered", n + ".noattr"), std::vector<DWORD>{kVerifyBadSignature});
        OpensslSigns(k, n + ".ber", "-nodetach -stream");
        EXPECT_EQ(Statuses(n + ".ber"), good);
    }
}

TEST_F(CmsOpenssl, NoAttributesKeyIdentifierTwoSignersAndOpensslsStream) {
    Signer a, b;
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[1], a));
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[2], b));
    Ok("cat gost12-256.ca.pem gost12-512.ca.pem > cas.pem");
    ASSERT_EQ(SignFile(a, "data", "bare.p7m", kSignPreviousContent | kSignNoAttributes), 0);
    EXPECT_TRUE(Verifies("bare.p7m", "cas.pem"));
    ASSERT_EQ(SignFile(a, "data", "keyid.p7s", kSignByKeyId), 0);
    EXPECT_TRUE(Verifies("keyid.p7s", "cas.pem", "data"));
    // A second signer of another size over the attached file, in place.
    ASSERT_EQ(SignFile(a, "data", "two.p7m", kSignPreviousContent), 0);
    ASSERT_EQ(SignFile(b, "two.p7m", "two.p7m", kSignPreviousContent | kSignByKeyId), 0);
    EXPECT_TRUE(Verifies("two.p7m", "cas.pem"));
    // OpenSSL signs first, streaming (indefinite lengths, chunked content),
    // with the CA's own key; we add our signer to its file.
    Ok("openssl cms -sign -engine gost -binary -nodetach -stream -in data -signer gost12-256.ca.pem -inkey "
       "gost12-256.ca.key -md md_gost12_256 -outform DER -out streamed.p7m");
    ASSERT_EQ(SignFile(a, "streamed.p7m", "both.p7m", kSignPreviousContent), 0);
    EXPECT_TRUE(Verifies("both.p7m", "gost12-256.ca.pem"));
    EXPECT_EQ(Read("verified"), Read("data"));
}

TEST_F(CmsOpenssl, CallersCertificateTwoDigestsAndTheWayBack) {
    OpensslHomeTest::MakeSigner(kKinds[1]);
    OpensslHomeTest::MakeSigner(kKinds[2]);
    OpensslSigns(kKinds[1], "nocerts", "-nocerts");
    EXPECT_EQ(Statuses("data", "nocerts"), std::vector<DWORD>{kVerifyNoSignerCertificate});
    CCTFCertStorage store;
    ASSERT_TRUE(store.OpenStorage(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr));
    ASSERT_TRUE(store.AddEncodetCertificate(IdentObj(Read("gost12-256.der"))));
    EXPECT_EQ(Statuses("data", "nocerts", &store), std::vector<DWORD>{0});

    // Two signers, each with its key's own digest, in one OpenSSL signing
    // (its -resign only adds a signer of a digest already present).
    Ok("openssl cms -sign -engine gost -binary -in data -signer gost12-256.pem -inkey gost12-256.key "
       "-signer gost12-512.pem -inkey gost12-512.key -nodetach -outform DER -out two");
    EXPECT_EQ(Statuses("two"), (std::vector<DWORD>{0, 0}));

    // Separated by us: the content as it was, the detached signature still
    // good for OpenSSL.
    IdentObj detached;
    int st = -1;
    ASSERT_TRUE(CTFRemoveSignaturesFromFile(F("two").c_str(), F("content").c_str(), &detached, &st)) << st;
    EXPECT_EQ(Read("content"), Read("data"));
    Write("two.det", std::string(detached.view()));
    Ok("cat gost12-256.ca.pem gost12-512.ca.pem > cas.pem && openssl cms -verify -engine gost -binary -inform DER -in "
       "two.det -content content -CAfile cas.pem -out /dev/null");
}

TEST_F(CmsOpenssl, TrustListOfA2001AuthorityVerifiesOverItsCertificates) {
    Signer leafA, leafB, ca;
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[0], leafA));
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[1], leafB));
    // The 2001 CA's own key and certificate sign the list.
    Ok("openssl x509 -in gost2001.ca.pem -outform DER -out gost2001.ca.der");
    ASSERT_NO_FATAL_FAILURE(Import("tl-ca", "gost2001.ca.key", "gost2001.ca.der", kKinds[0].keyOid, ca));
    CCTFProvider provider;
    int st = -1;
    ASSERT_TRUE(provider.Init("tl-ca", nullptr, 0, 0, &st)) << st;
    CCTFSignData list;
    list.m_certificates = {leafA.cert.GetEncoded(), leafB.cert.GetEncoded()};
    ASSERT_NO_THROW(CTFSignTrustList(provider, AT_SIGNATURE, ca.cert, list));
    Write("list.p7s", std::string(list.WriteObject(nullptr).view()));
    Write("list.bin", Read("gost2001.der") + Read("gost12-256.der"));
    EXPECT_TRUE(Verifies("list.p7s", "gost2001.ca.pem", "list.bin", "-certfile gost2001.ca.pem"));
}

}  // namespace
