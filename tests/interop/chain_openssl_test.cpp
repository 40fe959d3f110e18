// Chains over one PKI corpus (chain_corpus.h), made once by the openssl
// command line and once by our code: for every case the bits of each
// element and of the chain, as `ctf verify-cert` builds it (the trusted
// certificates and every CRL form the root storage, the untrusted ones
// and every CRL the additional storage), and the verdict of
// `openssl verify -crl_check_all -CAfile -untrusted -CRLfile` beside it.
//
// Where the verdicts differ, they differ by design (kByDesign):
//
//   case                     ours                          openssl verify
//   -----------------------  ----------------------------  ---------------------------
//   stale CRL                clean: a CRL past NextUpdate  12 CRL has expired
//                            still decides; keeping CRLs
//                            fresh is the updater's job
//   CA sign-only usage       clean: a CA's key usage is    79 invalid CA certificate
//                            not judged
//   root signature           0x8: a trusted root's own     OK: reads it only with
//                            signature is checked          -check_ss_sig
//   at before revocation     clean: a certificate counts   11 CRL is not yet valid:
//                            as revoked from its entry's   -attime judges the CRL's
//                            revocation date on            dates, not the entry's
//   cross renewed            0x1 on the expired xold: the  OK: prefers the issuer
//                            first issuer passing the      certificate valid now
//                            subject's checks is taken,
//                            with no backtracking
//   twin by signature        clean: of two issuers of one  7: takes the first issuer
//                            name, the one whose key       of the name when no key
//                            verifies the signature        identifier tells them apart
//   cross, own root trusted  clean: an authority key       20: also holds the issuer
//                            identifier binds the issuer   to the name and serial
//                            by its key identifier alone   written beside it
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/chain.h"
#include "cert/transdir.h"
#include "chain_corpus.h"
#include "pem.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

struct Step {
    const char* cert;
    DWORD bits;
};

struct Case {
    const char* name;
    std::vector<Step> chain;  // from the certificate verified towards its root
    DWORD bits;               // the chain's
    int openssl;              // openssl verify's first error, 0 for OK
    std::vector<const char*> trusted = {"root"};
    std::vector<const char*> more = {};  // untrusted, after the intermediates every case has
    const char* at = nullptr;            // verified at this time instead of now
    const char* opensslExtra = "";
};

constexpr DWORD kTime = CERT_TRUST_IS_NOT_TIME_VALID, kRevoked = CERT_TRUST_IS_REVOKED,
                kSignature = CERT_TRUST_IS_NOT_SIGNATURE_VALID, kUntrustedRoot = CERT_TRUST_IS_UNTRUSTED_ROOT,
                kNoCrl = CERT_TRUST_REVOCATION_STATUS_UNKNOWN, kConstraints = CERT_TRUST_INVALID_BASIC_CONSTRAINTS,
                kPartial = CERT_TRUST_IS_PARTIAL_CHAIN;

// openssl verify's error numbers.
constexpr int kOk = 0, kNoCrlOssl = 3, kBadSignatureOssl = 7, kNotYetValidOssl = 9, kExpiredOssl = 10,
              kCrlNotYetValidOssl = 11, kCrlExpiredOssl = 12, kSelfSignedOssl = 18, kSelfSignedInChainOssl = 19,
              kNoLocalIssuerOssl = 20, kRevokedOssl = 23, kPathLengthOssl = 25, kInvalidCaOssl = 79;

const std::set<std::string> kByDesign = {
    "stale CRL",     "CA sign-only usage", "root signature",         "at before revocation",
    "cross renewed", "twin by signature",  "cross, own root trusted"};

const char* const kIntermediates[] = {"ca1",  "ca2",   "caexp", "carev",   "canocrl", "castale",  "cabad",
                                      "caku", "capl0", "casub", "canotca", "canoki",  "untrusted"};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"depth 1", {{"root", 0}}, 0, kOk},
        {"depth 2", {{"leaf2", 0}, {"root", 0}}, 0, kOk},
        {"depth 3", {{"leaf3", 0}, {"ca1", 0}, {"root", 0}}, 0, kOk},
        {"depth 4", {{"leaf4", 0}, {"ca2", 0}, {"ca1", 0}, {"root", 0}}, 0, kOk},
        {"leaf expired", {{"leafexp", kTime}, {"ca1", 0}, {"root", 0}}, kTime, kExpiredOssl},
        {"leaf not yet valid", {{"leaffut", kTime}, {"ca1", 0}, {"root", 0}}, kTime, kNotYetValidOssl},
        {"CA expired", {{"leafcaexp", 0}, {"caexp", kTime}, {"root", 0}}, kTime, kExpiredOssl},
        {"leaf revoked", {{"leafrev", kRevoked}, {"ca1", 0}, {"root", 0}}, kRevoked, kRevokedOssl},
        {"CA revoked", {{"leafcarev", 0}, {"carev", kRevoked}, {"root", 0}}, kRevoked, kRevokedOssl},
        {"no CRL", {{"leafnocrl", kNoCrl}, {"canocrl", 0}, {"root", 0}}, kNoCrl, kNoCrlOssl},
        {"stale CRL", {{"leafstale", 0}, {"castale", 0}, {"root", 0}}, 0, kCrlExpiredOssl},
        {"stale CRL revokes", {{"leafstalerev", kRevoked}, {"castale", 0}, {"root", 0}}, kRevoked, kCrlExpiredOssl},
        {"leaf signature", {{"leafbad", kSignature}, {"ca1", 0}, {"root", 0}}, kSignature, kBadSignatureOssl},
        {"CA signature", {{"leafcabad", 0}, {"cabad", kSignature}, {"root", 0}}, kSignature, kBadSignatureOssl},
        {"root signature", {{"leafrootb", 0}, {"rootb", kSignature}}, kSignature, kOk, {"rootb"}},
        {"root signature, -check_ss_sig",
         {{"leafrootb", 0}, {"rootb", kSignature}},
         kSignature,
         kBadSignatureOssl,
         {"rootb"},
         {},
         nullptr,
         "-check_ss_sig"},
        {"CA sign-only usage", {{"leafku", 0}, {"caku", 0}, {"root", 0}}, 0, kInvalidCaOssl},
        {"path length exceeded",
         {{"leafpl", 0}, {"casub", 0}, {"capl0", kConstraints}, {"root", 0}},
         kConstraints,
         kPathLengthOssl},
        {"path length reached", {{"casub", 0}, {"capl0", 0}, {"root", 0}}, 0, kOk},
        {"CA:FALSE issuer", {{"leafnotca", 0}, {"canotca", kConstraints}, {"root", 0}}, kConstraints, kInvalidCaOssl},
        {"unknown root", {{"leafunk", 0}}, kPartial, kNoLocalIssuerOssl},
        {"untrusted root", {{"leafutr", 0}, {"untrusted", kUntrustedRoot}}, kUntrustedRoot, kSelfSignedInChainOssl},
        {"untrusted root alone", {{"untrusted", kUntrustedRoot}}, kUntrustedRoot, kSelfSignedOssl},
        {"no key identifiers", {{"leafnoki", 0}, {"canoki", 0}, {"rootn", 0}}, 0, kOk, {"rootn"}},
        {"twin by key identifier", {{"leaftwin", 0}, {"twinb", 0}}, 0, kOk, {"twina", "twinb"}},
        {"twin by signature", {{"leaftwinnoaki", 0}, {"twinb", 0}}, 0, kBadSignatureOssl, {"twina", "twinb"}},
        {"cross-certified", {{"leafx", 0}, {"xnew", 0}, {"root", 0}}, 0, kOk, {"root"}, {"xnew"}},
        {"cross, own root trusted", {{"leafx", 0}, {"xself", 0}}, 0, kNoLocalIssuerOssl, {"xself"}, {"xold", "xnew"}},
        {"cross renewed", {{"leafx", 0}, {"xold", kTime}, {"root", 0}}, kTime, kOk, {"root"}, {"xold", "xnew"}},
        {"at before revocation",
         {{"leafrev", 0}, {"ca1", 0}, {"root", 0}},
         0,
         kCrlNotYetValidOssl,
         {"root"},
         {},
         "20240101000000Z"},
        {"at after revocation",
         {{"leafrev", kRevoked}, {"ca1", 0}, {"root", 0}},
         kRevoked,
         kRevokedOssl,
         {"root"},
         {},
         "20250601000000Z"},
        {"at after every NotAfter",
         {{"leaf3", kTime}, {"ca1", kTime}, {"root", kTime}},
         kTime,
         kCrlExpiredOssl,
         {"root"},
         {},
         "20460101000000Z"},
    };
    return cases;
}

// The untrusted certificates of a case, in order.
std::vector<std::string> Untrusted(const Case& c) {
    std::vector<std::string> v(std::begin(kIntermediates), std::end(kIntermediates));
    v.insert(v.end(), c.more.begin(), c.more.end());
    return v;
}

// A corpus as both sides take it: the DER objects (altered where the
// tables say) and the PEM bundles openssl reads.
struct Corpus {
    std::unique_ptr<certtest::TempDir> dir;
    corpus::Made made;
    std::map<std::string, std::string> names;     // DER -> name
    std::map<std::string, std::string> crlNames;  // DER -> issuer name
    std::string why;
};

void Finish(Corpus& c) {
    for (auto& [name, der] : c.made.certs) {
        if (corpus::IsAltered(name)) corpus::AlterSignature(der);
        c.names[std::string(der.view())] = name;
        certtest::WriteFile(*c.dir / (name + ".crt"), certtest::Pem(der, "CERTIFICATE"));
    }
    std::string crls;
    for (const auto& [issuer, der] : c.made.crls) {
        crls += certtest::Pem(der, "X509 CRL");
        c.crlNames[std::string(der.view())] = issuer;
    }
    certtest::WriteFile(*c.dir / "crls.pem", crls);
}

const Corpus& OpensslCorpus() {
    static const Corpus corpus = [] {
        Corpus c;
        c.dir = std::make_unique<certtest::TempDir>();
        if (!corpus::MakeWithOpenssl(c.dir->path(), c.made, c.why)) return c;
        Finish(c);
        return c;
    }();
    return corpus;
}

const Corpus& OurCorpus() {
    static const Corpus corpus = [] {
        Corpus c;
        c.dir = std::make_unique<certtest::TempDir>();
        if (!corpus::MakeWithOurs(c.made, c.why)) return c;
        Finish(c);
        return c;
    }();
    return corpus;
}

struct Verdict {
    int code = -1;
    std::string text;  // what openssl said
};

// openssl verify over every case in one shell: the first error number of
// each (0 for OK), by case name.
std::map<std::string, Verdict> OpensslVerdicts(const Corpus& corpus) {
    const certtest::TempDir& d = *corpus.dir;
    auto bundle = [&](const std::string& file, const std::vector<std::string>& names) {
        std::string pem;
        for (const auto& n : names) pem += certtest::ReadFile(d / (n + ".crt"));
        certtest::WriteFile(d / file, pem);
    };
    std::string script;
    int i = 0;
    for (const Case& c : Cases()) {
        const std::string n = std::to_string(i++);
        bundle("trusted" + n + ".pem", std::vector<std::string>(c.trusted.begin(), c.trusted.end()));
        bundle("untrusted" + n + ".pem", Untrusted(c));
        script += "echo '@@ " + std::string(c.name) + "'; openssl verify -engine gost -crl_check_all -CAfile " +
                  Sh(d / ("trusted" + n + ".pem")) + " -untrusted " + Sh(d / ("untrusted" + n + ".pem")) +
                  " -CRLfile " + Sh(d / "crls.pem") +
                  (c.at ? " -attime " + std::to_string(corpus::EpochOf(c.at)) : std::string()) + " " + c.opensslExtra +
                  " " + Sh(d / (std::string(c.chain.front().cert) + ".crt")) + " 2>&1\n";
    }
    certtest::WriteFile(d / "verify.sh", script);
    const std::string out = certtest::Run("sh " + Sh(d / "verify.sh")).out;
    std::map<std::string, Verdict> verdicts;
    std::size_t at = 0;
    while ((at = out.find("@@ ", at)) != std::string::npos) {
        const std::size_t eol = out.find('\n', at);
        const std::size_t next = out.find("@@ ", eol);
        const std::string name = out.substr(at + 3, eol - at - 3);
        const std::string body = out.substr(eol, next == std::string::npos ? std::string::npos : next - eol);
        int code = -1;
        const std::size_t e = body.find("error ");
        if (body.find(": OK") != std::string::npos && e == std::string::npos)
            code = 0;
        else if (e != std::string::npos)
            std::sscanf(body.c_str() + e, "error %d at", &code);
        verdicts[name] = {code, body};
        at = eol;
    }
    return verdicts;
}

FILETIME FileTimeOf(const char* utc) { return CTOOFileTime::FromUnix(corpus::EpochOf(utc)).GetFileTime(); }

class ChainOpenssl : public certtest::HomeTest {
protected:
    void TearDown() override {
        CTFFreeRootStorage();
        HomeTest::TearDown();
    }
    static CCTFCertStorage Memory() { return CCTFCertStorage(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 7, nullptr); }

    // The chain of `c` as our engine builds it, written as "leaf3 0 crl ca1,
    // ca1 0 crl root, root 0 = 0" (the CRL that decided each element below
    // the last) to compare with the table.
    std::string OurChain(const Corpus& corpus, const Case& c, DWORD& status) {
        CCTFCertStorage root = Memory(), additional = Memory();
        additional.SetStatus(0x20);
        for (const char* n : c.trusted) EXPECT_TRUE(root.AddEncodetCertificate(corpus.made.certs.at(n)));
        for (const auto& n : Untrusted(c)) EXPECT_TRUE(additional.AddEncodetCertificate(corpus.made.certs.at(n)));
        for (const auto& [issuer, der] : corpus.made.crls) {
            EXPECT_TRUE(root.AddEncodetCRL(der));
            EXPECT_TRUE(additional.AddEncodetCRL(der));
        }
        CTFLoadRootStorage(root, CTOOString(home_.path().c_str()), 0);
        const CCTFCertContext cert(corpus.made.certs.at(c.chain.front().cert));
        CCTFCertificateChain chain;
        EXPECT_TRUE(CTFVerifyCertificate(cert, chain, nullptr, &additional));
        if (c.at) {
            const CTOOFileTime at(FileTimeOf(c.at));
            const bool clean = CTFCorrectChainStatus(chain, at, &additional);
            EXPECT_EQ(clean, chain.status.dwErrorStatus == 0);
            CERT_TRUST_STATUS status{0, 0};
            EXPECT_EQ(CTFVerifyCertificateEx(cert, at, status, &additional), clean);
            EXPECT_EQ(status.dwErrorStatus, chain.status.dwErrorStatus);
        }
        std::string text;
        for (const CCTFChainElement& e : chain.elements) {
            const auto it = corpus.names.find(std::string(e.cert.GetEncoded().view()));
            text += (text.empty() ? "" : ", ") + (it == corpus.names.end() ? std::string("?") : it->second) + " " +
                    Bits(e.status.dwErrorStatus);
            if (&e == &chain.elements.back()) break;
            const IdentObj crl = e.crl.GetEncoded();
            const auto by = corpus.crlNames.find(std::string(crl.view()));
            text += " crl " + (crl.IsEmpty() ? "-" : by == corpus.crlNames.end() ? "?" : by->second);
        }
        status = chain.status.dwErrorStatus;
        return text + " = " + Bits(status);
    }
    static std::string Expected(const Case& c) {
        std::string text;
        for (std::size_t i = 0; i < c.chain.size(); ++i) {
            text += (text.empty() ? "" : ", ") + std::string(c.chain[i].cert) + " " + Bits(c.chain[i].bits);
            if (i + 1 == c.chain.size()) break;
            const std::string crl = corpus::CrlFor(c.chain[i + 1].cert);
            text += " crl " + (crl.empty() ? "-" : crl);
        }
        return text + " = " + Bits(c.bits);
    }
    static std::string Bits(DWORD bits) {
        char b[16];
        std::snprintf(b, sizeof b, "%#x", unsigned(bits));
        return b;
    }

    void Check(const Corpus& corpus) {
        ASSERT_TRUE(corpus.why.empty()) << corpus.why;
        const std::map<std::string, Verdict> verdicts = OpensslVerdicts(corpus);
        for (const Case& c : Cases()) {
            SCOPED_TRACE(c.name);
            DWORD ours = 0;
            EXPECT_EQ(OurChain(corpus, c, ours), Expected(c));
            const auto v = verdicts.find(c.name);
            ASSERT_NE(v, verdicts.end());
            EXPECT_EQ(v->second.code, c.openssl) << v->second.text;
            EXPECT_EQ((ours == 0) != (v->second.code == 0), kByDesign.count(c.name) == 1)
                << "ours " << Bits(ours) << ", openssl " << v->second.code;
        }
    }
};

TEST_F(ChainOpenssl, OpensslMadeCorpus) {
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine";
    Check(OpensslCorpus());
}

TEST_F(ChainOpenssl, OurCorpus) {
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine";
    Check(OurCorpus());
}

}  // namespace
