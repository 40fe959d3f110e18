// What OpenSSL signs, we verify: `openssl cms -sign` with the GOST engine,
// each GOST size and RSA, attached, detached, without attributes and
// streamed (BER), a signer certificate only the caller has, and two signers
// with different digests; tampered content is caught. What we sign and
// separate, OpenSSL verifies.
#include <string>

#include <gtest/gtest.h>

#include "cert/signeddata.h"
#include "cert/verify.h"
#include "cert/vrkscapi.h"
#include "openssl_home.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

struct Kind {
    const char* name;
    const char* newkey;
    const char* md;  // openssl cms -md
};
const Kind kKinds[] = {
    {"gost2001", "gost2001 -pkeyopt paramset:A", "md_gost94"},
    {"gost12-256", "gost2012_256 -pkeyopt paramset:A", "md_gost12_256"},
    {"gost12-512", "gost2012_512 -pkeyopt paramset:A", "md_gost12_512"},
    {"rsa", "rsa:2048", "sha256"},
};

class VerifyOpenssl : public interoptest::OpensslHomeTest {
protected:
    void SetUp() override {
        OpensslHomeTest::SetUp();
        if (IsSkipped()) return;
        certtest::WriteFile(F("altered"), "X" + certtest::ReadFile(F("data")).substr(1));
    }
    // A CA and a signer of `k`'s kind: n.key, n.pem (PEM), n.der.
    void MakeSigner(const Kind& k) {
        const std::string n = k.name, eng = " -engine gost ";
        Ok("openssl req -x509" + eng + "-newkey " + k.newkey + " -nodes -keyout " + n + ".ca.key -out " + n +
           ".ca.pem -days 30 -subj /CN=" + n + "-CA -addext basicConstraints=critical,CA:TRUE");
        Ok("openssl req -new" + eng + "-newkey " + k.newkey + " -nodes -keyout " + n + ".key -out " + n +
           ".csr -subj /CN=" + n + "-signer");
        Ok("openssl x509 -req" + eng + "-in " + n + ".csr -CA " + n + ".ca.pem -CAkey " + n +
           ".ca.key -days 30 -set_serial 0x" + std::to_string(20 + (&k - kKinds)) + " -extfile leaf.cnf -out " + n +
           ".pem");
        Ok("openssl x509 -in " + n + ".pem -outform DER -out " + n + ".der");
    }
    void Sign(const Kind& k, const std::string& out, const std::string& options) {
        const std::string n = k.name;
        Ok("openssl cms -sign -engine gost -binary -in data -signer " + n + ".pem -inkey " + n + ".key -md " + k.md +
           " -outform DER -out " + out + " " + options);
    }
    // The statuses of our verification of `file` (the content file when
    // `sig` names a detached signature).
    std::vector<DWORD> Statuses(const std::string& file, const std::string& sig = "",
                                const CCTFCertStorage* store = nullptr) {
        IdentObj detached;
        if (!sig.empty()) detached = IdentObj(certtest::ReadFile(F(sig)));
        std::list<CCTFWholeSignatureCheck> r;
        int st = -1;
        EXPECT_TRUE(CTFVerifySignatureOnFile(r, F(file).c_str(), sig.empty() ? nullptr : &detached, store, &st))
            << file << " " << st;
        std::vector<DWORD> out;
        for (const auto& c : r) out.push_back(c.m_status);
        return out;
    }
};

TEST_F(VerifyOpenssl, EachKindAndForm) {
    const std::vector<DWORD> good{0};
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        ASSERT_NO_FATAL_FAILURE(MakeSigner(k));
        const std::string n = k.name;
        Sign(k, n + ".att", "-nodetach");
        EXPECT_EQ(Statuses(n + ".att"), good);
        Sign(k, n + ".det", "");
        EXPECT_EQ(Statuses("data", n + ".det"), good);
        EXPECT_EQ(Statuses("altered", n + ".det"), std::vector<DWORD>{kVerifyDigestMismatch});
        Sign(k, n + ".noattr", "-noattr");
        EXPECT_EQ(Statuses("data", n + ".noattr"), good);
        EXPECT_EQ(Statuses("altered", n + ".noattr"), std::vector<DWORD>{kVerifyBadSignature});
        Sign(k, n + ".ber", "-nodetach -stream");
        EXPECT_EQ(Statuses(n + ".ber"), good);
    }
}

TEST_F(VerifyOpenssl, CallersCertificateTwoDigestsAndTheWayBack) {
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[1]));
    ASSERT_NO_FATAL_FAILURE(MakeSigner(kKinds[2]));
    Sign(kKinds[1], "nocerts", "-nocerts");
    EXPECT_EQ(Statuses("data", "nocerts"), std::vector<DWORD>{kVerifyNoSignerCertificate});
    CCTFCertStorage store;
    ASSERT_TRUE(store.OpenStorage(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr));
    ASSERT_TRUE(store.AddEncodetCertificate(IdentObj(certtest::ReadFile(F("gost12-256.der")))));
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
    EXPECT_EQ(certtest::ReadFile(F("content")), certtest::ReadFile(F("data")));
    certtest::WriteFile(F("two.det"), std::string(detached.view()));
    Ok("cat gost12-256.ca.pem gost12-512.ca.pem > cas.pem");
    Ok("openssl cms -verify -engine gost -binary -inform DER -in two.det -content content -CAfile cas.pem -out "
       "/dev/null");
}

}  // namespace
