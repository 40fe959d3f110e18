// What we sign, OpenSSL verifies: `openssl cms -verify` with the GOST
// engine takes our signatures of each GOST size and of RSA, attached and
// detached, without attributes, by key identifier, with two signers, ours
// added to OpenSSL's streamed signature, and a trust list signed by a 2001
// authority over its certificates. The keys come from OpenSSL and are
// imported into containers, so OpenSSL's CA vouches for them.
#include <string>

#include <gtest/gtest.h>

#include "cert/signeddata.h"
#include "cert/vrkscapi.h"
#include "openssl_home.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

struct Kind {
    const char* name;
    const char* newkey;  // openssl req -newkey
    const char* md;      // openssl's digest option
    const char* keyOid;  // CCTFUser::LogInUser's algorithm
    const char* hash;    // ours; null: the certificate's first
    const char* digestOid;
    const char* signatureOid;
};
const Kind kKinds[] = {
    {"gost2001", "gost2001 -pkeyopt paramset:A", "-md_gost94", "1.2.643.2.2.19", nullptr, "1.2.643.2.2.9",
     "1.2.643.2.2.3"},
    {"gost12-256", "gost2012_256 -pkeyopt paramset:A", "-md_gost12_256", "1.2.643.7.1.1.1.1", nullptr,
     "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.3.2"},
    {"gost12-512", "gost2012_512 -pkeyopt paramset:A", "-md_gost12_512", "1.2.643.7.1.1.1.2", nullptr,
     "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.3.3"},
    {"rsa", "rsa:2048", "-sha256", nullptr, "2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.1",
     "1.2.840.113549.1.1.11"},
};

struct Signer {
    CCTFUser user;
    CCTFCertContext cert;
    CTOOString hash;
    const CTOOString* Hash() const { return hash.IsEmpty() ? nullptr : &hash; }
};

class SignOpenssl : public interoptest::OpensslHomeTest {
protected:
    // OpenSSL's verdict on a DER signature (with the data when detached).
    bool Verifies(const std::string& sig, const std::string& ca, const std::string& content = "",
                  const std::string& more = "", bool expected = true) {
        const std::string cmd = "openssl cms -verify -engine gost -binary -inform DER -in " + sig + " -CAfile " + ca +
                                (content.empty() ? "" : " -content " + content) + " " + more + " -out verified";
        auto r = certtest::Run("cd " + Sh(home_.path()) + " && " + cmd + " 2>&1");
        if ((r.exitCode == 0) != expected) ADD_FAILURE() << cmd << "\n" << r.out;
        return r.exitCode == 0;
    }
    // A CA of `k`'s kind and a certificate it issued for a key imported into
    // the container `k.name`.
    void MakeSigner(const Kind& k, Signer& s) {
        const std::string n = k.name, eng = " -engine gost ";
        Ok("openssl req -x509" + eng + "-newkey " + k.newkey + " -nodes -keyout " + n + ".ca.key -out " + n +
           ".ca.pem -days 30 -subj /CN=" + n + "-CA " + k.md + " -addext basicConstraints=critical,CA:TRUE");
        Ok("openssl req -new" + eng + "-newkey " + k.newkey + " -nodes -keyout " + n + ".key -out " + n +
           ".csr -subj /CN=" + n + "-signer " + k.md);
        Ok("openssl x509 -req" + eng + "-in " + n + ".csr -CA " + n + ".ca.pem -CAkey " + n + ".ca.key -days 30 " +
           k.md + " -set_serial 0x" + std::to_string(10 + (&k - kKinds)) + " -extfile leaf.cnf -outform DER -out " + n +
           ".der");
        Import(n, F(n + ".key"), F(n + ".der"), k.keyOid, s);
        if (k.hash) s.hash = k.hash;
    }
    void Import(const std::string& container, const std::string& keyFile, const std::string& certFile,
                const char* keyOid, Signer& s) {
        ASSERT_EQ(vrk::ImportPkcs8(container, false, IdentObj(certtest::ReadFile(keyFile)), cert::Secret(),
                                   AT_SIGNATURE, cert::Secret()),
                  0u);
        ASSERT_EQ(s.user.LogInUser(container.c_str(), "", "", keyOid, false, true, false), 0);
        s.cert = CCTFCertContext(IdentObj(certtest::ReadFile(certFile)));
        ASSERT_TRUE(s.cert.IsInitialized());
        ASSERT_TRUE(s.cert.SetContainer(container.c_str()));
        ASSERT_TRUE(s.cert.SetPrivateKeyType(AT_SIGNATURE));
    }
    int SignFile(const Signer& s, const std::string& in, const std::string& out, unsigned long flags) {
        int st = -1;
        CTFSignFile(s.user, s.cert, F(in).c_str(), F(out).c_str(), nullptr, flags, s.Hash(), &st);
        return st;
    }
};

TEST_F(SignOpenssl, EachKindAttachedAndDetached) {
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        Signer s;
        ASSERT_NO_FATAL_FAILURE(MakeSigner(k, s));
        const std::string n = k.name, ca = n + ".ca.pem";
        ASSERT_EQ(SignFile(s, "data", n + ".p7s", 0), 0);
        EXPECT_TRUE(Verifies(n + ".p7s", ca, "data"));
        Ok("sed 's/record 7/record 8/' data > altered");
        EXPECT_FALSE(Verifies(n + ".p7s", ca, "altered", "", false));
        CCTFSignData read;
        const IdentObj der(certtest::ReadFile(F(n + ".p7s")));
        int rc = -1;
        ASSERT_TRUE(read.ReadObject(der.data(), der.size(), &rc)) << rc;
        CCTFMessageSignerInfo si;
        ASSERT_NE(si.ReadData(read.m_signerInfos.front().data(), read.m_signerInfos.front().size(), &rc), 0u);
        EXPECT_EQ(si.m_digestAlgorithm.GetOID(), k.digestOid);
        EXPECT_EQ(si.m_signatureAlgorithm.GetOID(), k.signatureOid);
        ASSERT_EQ(SignFile(s, "data", n + ".p7m", kSignPreviousContent), 0);
        EXPECT_TRUE(Verifies(n + ".p7m", ca));
        EXPECT_EQ(certtest::ReadFile(F("verified")), certtest::ReadFile(F("data")));
        // The memory form, detached.
        const std::string bytes = certtest::ReadFile(F("data"));
        WhatToSignStruct what;
        what.data = bytes.data();
        what.end = static_cast<DWORD>(bytes.size());
        IdentObj sig;
        int st = -1;
        ASSERT_TRUE(CTFSignData(s.user, s.cert, what, &sig, s.Hash(), &st)) << st;
        certtest::WriteFile(F(n + ".mem.p7s"), std::string(sig.view()));
        EXPECT_TRUE(Verifies(n + ".mem.p7s", ca, "data"));
    }
}

TEST_F(SignOpenssl, NoAttributesKeyIdentifierAndTwoSigners) {
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
}

TEST_F(SignOpenssl, OursAddedToOpensslsStreamedSignature) {
    Signer s;
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[1], s));
    // OpenSSL signs first, streaming (indefinite lengths, chunked content),
    // with the CA's own key; we add our signer to its file.
    Ok("openssl cms -sign -engine gost -binary -nodetach -stream -in data -signer gost12-256.ca.pem -inkey "
       "gost12-256.ca.key -md md_gost12_256 -outform DER -out streamed.p7m");
    ASSERT_EQ(SignFile(s, "streamed.p7m", "both.p7m", kSignPreviousContent), 0);
    EXPECT_TRUE(Verifies("both.p7m", "gost12-256.ca.pem"));
    EXPECT_EQ(certtest::ReadFile(F("verified")), certtest::ReadFile(F("data")));
}

TEST_F(SignOpenssl, TrustListOfA2001AuthorityVerifiesOverItsCertificates) {
    Signer leafA, leafB, ca;
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[0], leafA));
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[1], leafB));
    // The 2001 CA's own key and certificate sign the list.
    Ok("openssl x509 -in gost2001.ca.pem -outform DER -out gost2001.ca.der");
    ASSERT_NO_FATAL_FAILURE(Import("tl-ca", F("gost2001.ca.key"), F("gost2001.ca.der"), kKinds[0].keyOid, ca));
    CCTFProvider provider;
    int st = -1;
    ASSERT_TRUE(provider.Init("tl-ca", nullptr, 0, 0, &st)) << st;
    CCTFSignData list;
    list.m_certificates = {leafA.cert.GetEncoded(), leafB.cert.GetEncoded()};
    ASSERT_NO_THROW(CTFSignTrustList(provider, AT_SIGNATURE, ca.cert, list));
    certtest::WriteFile(F("list.p7s"), std::string(list.WriteObject(nullptr).view()));
    certtest::WriteFile(F("list.bin"), certtest::ReadFile(F("gost2001.der")) + certtest::ReadFile(F("gost12-256.der")));
    EXPECT_TRUE(Verifies("list.p7s", "gost2001.ca.pem", "list.bin", "-certfile gost2001.ca.pem"));
}

}  // namespace
