// Chains over one PKI corpus, made once by the openssl
// command line and once by our code: for every case the bits of each
// element and of the chain, as `ctf verify-cert` builds it (the trusted
// certificates and every CRL form the root storage, the untrusted ones
// and every CRL the additional storage), and the verdict of
// `openssl verify -crl_check_all -CAfile -untrusted -CRLfile` beside it.
// Where the verdicts differ, they differ by design (kByDesign).
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/chain.h"
#include "cert/transdir.h"
#include "cert/convert.h"
#include "pem.h"
#include "pki.h"
#include "testsupport.h"

namespace {

// The PKI the chain tests verify, described once as tables and made twice:
// by the openssl command line with the GOST engine and by our own
// certificate code, so every case runs over either corpus with the same
// expectations.
namespace corpus {

// Validity windows (UTC, the `openssl ca -startdate` form).
inline constexpr const char* kLongAgo = "20200101000000Z";
inline constexpr const char* kFarAhead = "20451231000000Z";

// The extensions of a certificate, written alike by both makers.
struct Extensions {
    bool ca;              // basic constraints (critical) with the CA flag set or clear
    int pathLength = -1;  // -1: none
    int keyUsage = -1;    // the first key-usage byte (0x80 digitalSignature, 0x04 keyCertSign, 0x02 cRLSign); -1 none
    bool ski = true;      // subject key identifier
    bool aki = true;      // authority key identifier (key id, issuer, serial) on an issued certificate
};
inline constexpr Extensions kCa{true, -1, 0x06}, kCaPath0{true, 0, 0x06}, kCaSignOnly{true, -1, 0x80}, kNotCa{false},
    kCaNoKi{true, -1, 0x06, false, false}, kLeaf{false, -1, 0x80}, kLeafNoAki{false, -1, 0x80, true, false},
    kLeafNoKi{false, -1, 0x80, false, false};

struct Cert {
    const char* name;    // how the tables refer to it
    const char* cn;      // subject CN; O=Corpus follows
    const char* issuer;  // the issuing certificate's name; nullptr: self-signed
    const char* key;     // keys are named apart: renewals and cross-certificates share one
    Extensions ext;
    const char* from = kLongAgo;
    const char* to = kFarAhead;
};

struct Revoked {
    const char* cert;
    const char* date;
};

struct Crl {
    const char* issuer;  // a certificate's name: its name, key and key identifier sign the CRL
    const char* thisUpdate;
    const char* nextUpdate;
    std::vector<Revoked> revoked;
};

// DER certificates by name and CRLs by issuer name.
struct Made {
    std::map<std::string, IdentObj> certs;
    std::map<std::string, IdentObj> crls;
};

constexpr const char* kExpiredTo = "20210101000000Z";
constexpr const char* kFutureFrom = "20450101000000Z";
constexpr const char* kCrlFrom = "20250101000000Z";
constexpr const char* kCrlTo = "20450101000000Z";

const std::vector<Cert>& Certs() {
    static const std::vector<Cert> certs = {
        {"root", "Root", nullptr, "kR", kCa},
        {"rootb", "Root B", nullptr, "kRB", kCa},
        {"unknown", "Unknown Root", nullptr, "kU", kCa},
        {"untrusted", "Untrusted Root", nullptr, "kUT", kCa},
        {"twina", "Twin CA", nullptr, "kTA", kCa},
        {"twinb", "Twin CA", nullptr, "kTB", kCa},
        {"rootn", "Root NoKI", nullptr, "kRN", kCaNoKi},
        {"xself", "Cross CA", nullptr, "kX", kCa},
        {"ca1", "CA 1", "root", "kC1", kCa},
        {"ca2", "CA 2", "ca1", "kC2", kCa},
        {"caexp", "CA Expired", "root", "kCE", kCa, kLongAgo, kExpiredTo},
        {"carev", "CA Revoked", "root", "kCR", kCa},
        {"canocrl", "CA No CRL", "root", "kCN", kCa},
        {"castale", "CA Stale CRL", "root", "kCS", kCa},
        {"cabad", "CA Bad Signature", "root", "kCB", kCa},
        {"caku", "CA Sign Only", "root", "kCK", kCaSignOnly},
        {"capl0", "CA Path 0", "root", "kCP", kCaPath0},
        {"casub", "CA Below Path 0", "capl0", "kCU", kCa},
        {"canotca", "CA Not CA", "root", "kCT", kNotCa},
        {"canoki", "CA NoKI", "rootn", "kCI", kCaNoKi},
        {"xold", "Cross CA", "root", "kX", kCa, kLongAgo, kExpiredTo},
        {"xnew", "Cross CA", "root", "kX", kCa},
        {"leaf2", "Leaf 2", "root", "kL", kLeaf},
        {"leaf3", "Leaf 3", "ca1", "kL", kLeaf},
        {"leaf4", "Leaf 4", "ca2", "kL", kLeaf},
        {"leafexp", "Leaf Expired", "ca1", "kL", kLeaf, kLongAgo, kExpiredTo},
        {"leaffut", "Leaf Future", "ca1", "kL", kLeaf, kFutureFrom, kFarAhead},
        {"leafrev", "Leaf Revoked", "ca1", "kL", kLeaf},
        {"leafbad", "Leaf Bad Signature", "ca1", "kL", kLeaf},
        {"leafcaexp", "Leaf of CA Expired", "caexp", "kL", kLeaf},
        {"leafcarev", "Leaf of CA Revoked", "carev", "kL", kLeaf},
        {"leafnocrl", "Leaf of CA No CRL", "canocrl", "kL", kLeaf},
        {"leafstale", "Leaf of CA Stale", "castale", "kL", kLeaf},
        {"leafstalerev", "Leaf Revoked of CA Stale", "castale", "kL", kLeaf},
        {"leafcabad", "Leaf of CA Bad Signature", "cabad", "kL", kLeaf},
        {"leafrootb", "Leaf of Root B", "rootb", "kL", kLeaf},
        {"leafku", "Leaf of CA Sign Only", "caku", "kL", kLeaf},
        {"leafpl", "Leaf Below Path 0", "casub", "kL", kLeaf},
        {"leafnotca", "Leaf of CA Not CA", "canotca", "kL", kLeaf},
        {"leafunk", "Leaf of Unknown Root", "unknown", "kL", kLeaf},
        {"leafutr", "Leaf of Untrusted Root", "untrusted", "kL", kLeaf},
        {"leaftwin", "Leaf of Twin", "twinb", "kL", kLeaf},
        {"leaftwinnoaki", "Leaf of Twin without AKI", "twinb", "kL", kLeafNoAki},
        {"leafnoki", "Leaf NoKI", "canoki", "kL", kLeafNoKi},
        {"leafx", "Leaf of Cross CA", "xnew", "kL", kLeaf},
    };
    return certs;
}

const std::vector<Crl>& Crls() {
    static const std::vector<Crl> crls = [] {
        std::vector<Crl> v;
        for (const Cert& c : Certs()) {
            const std::string n = c.name;
            // Without a CRL: the CA that shows the missing CRL, the root
            // nobody holds, and the Cross CA's other certificates (its one
            // CRL comes by xnew).
            if (n == "canocrl" || n == "unknown" || n == "xself" || n == "xold" || n.rfind("leaf", 0) == 0) continue;
            Crl crl{c.name, kCrlFrom, kCrlTo, {}};
            if (n == "root") crl.revoked = {{"carev", "20240601000000Z"}};
            if (n == "ca1") crl.revoked = {{"leafrev", "20240601000000Z"}};
            if (n == "castale")
                crl = {c.name, "20230101000000Z", "20230201000000Z", {{"leafstalerev", "20230115000000Z"}}};
            v.push_back(crl);
        }
        return v;
    }();
    return crls;
}

const Cert& CertNamed(const std::string& name) {
    for (const Cert& c : Certs())
        if (name == c.name) return c;
    throw std::invalid_argument("no certificate " + name + " in the corpus");
}

unsigned SerialOf(const std::string& name) {
    const auto& certs = Certs();
    for (std::size_t i = 0; i < certs.size(); ++i)
        if (name == certs[i].name) return 0x1000u + unsigned(i);
    throw std::invalid_argument("no certificate " + name + " in the corpus");
}

std::string CrlFor(const std::string& ca) {
    const Cert& c = CertNamed(ca);
    for (const Crl& crl : Crls()) {
        const Cert& by = CertNamed(crl.issuer);
        if (std::string(by.cn) == c.cn && std::string(by.key) == c.key) return crl.issuer;
    }
    return {};
}

bool IsAltered(const std::string& name) {
    static const std::set<std::string> altered = {"rootb", "cabad", "leafbad"};
    return altered.count(name) != 0;
}

void AlterSignature(IdentObj& der) {
    // The signature value closes the certificate.
    der.data()[der.size() - 5] ^= 0x01;
}

long long EpochOf(const char* utc) {
    std::tm t{};
    if (std::sscanf(utc, "%4d%2d%2d%2d%2d%2d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) !=
        6)
        throw std::invalid_argument(std::string("not a time: ") + utc);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<long long>(timegm(&t));
}

// The openssl maker.
// `openssl ca` adds key identifiers unless told "none", and keeps only the
// name attributes its policy lists.
const char kConfig[] = R"([ ca ]
default_ca = d
[ d ]
database = $ENV::DB
serial = serial
new_certs_dir = new
crlnumber = crlnumber
default_md = md_gost12_256
policy = any
unique_subject = no
[ any ]
commonName = supplied
organizationName = optional
[ x_crlaki ]
authorityKeyIdentifier = keyid
)";

// The extension section of one certificate.
std::string Section(const Cert& c) {
    std::string s = std::string("[ x_") + c.name +
                    " ]\nbasicConstraints = critical,CA:" + (c.ext.ca ? "TRUE" : "FALSE") +
                    (c.ext.pathLength >= 0 ? ",pathlen:" + std::to_string(c.ext.pathLength) : "") + "\n";
    if (c.ext.keyUsage >= 0) {
        std::string names;
        for (const auto& [bit, name] : {std::pair{0x80, "digitalSignature"}, {0x04, "keyCertSign"}, {0x02, "cRLSign"}})
            if (c.ext.keyUsage & bit) names += std::string(",") + name;
        s += "keyUsage = critical" + names + "\n";
    }
    s += std::string("subjectKeyIdentifier = ") + (c.ext.ski ? "hash" : "none") + "\n";
    return s + "authorityKeyIdentifier = " + (c.ext.aki && c.issuer ? "keyid,issuer:always" : "none") + "\n";
}

const char kFunctions[] = R"(set -e
cd "$1"
mkdir -p new; : > certs.idx; echo 01 > crlnumber
q() { c=$1; shift; openssl "$c" -engine gost "$@" >/dev/null 2>err.txt || { echo "openssl $c $*" >&2; cat err.txt >&2; exit 1; }; }
key() { q req -new -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout "$1.key" -subj "/CN=$1" -out "$1.csr"; }
# issue NAME CN KEY SERIAL SECTION FROM TO [ISSUER ISSUERKEY]
issue() {
  echo "$4" > serial
  if [ -z "$8" ]; then by="-selfsign -keyfile $3.key"; else by="-cert $8.pem -keyfile $9.key"; fi
  DB=certs.idx q ca -batch -config ca.cnf -notext -in "$3.csr" -subj "/CN=$2/O=Corpus" -extensions "$5" \
    -startdate "$6" -enddate "$7" $by -out "$1.pem"
}
# crl ISSUER KEY THIS NEXT EXTS (the revoked entries are in ISSUER.idx)
crl() {
  ext=; [ -n "$5" ] && ext="-crlexts $5"
  DB="$1.idx" q ca -gencrl -config ca.cnf -cert "$1.pem" -keyfile "$2.key" -crl_lastupdate "$3" -crl_nextupdate "$4" \
    $ext -out "$1.crl.pem"
}
)";

std::string Hex4(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "%04X", v);
    return b;
}

bool MakeWithOpenssl(const std::string& dir, Made& out, std::string& why) {
    using certtest::Sh;
    std::string script = kFunctions;
    std::set<std::string> keys;
    for (const Cert& c : Certs())
        if (keys.insert(c.key).second) script += "key " + std::string(c.key) + "\n";
    for (const Cert& c : Certs()) {
        script += "issue " + Sh(c.name) + " " + Sh(c.cn) + " " + c.key + " " + Hex4(SerialOf(c.name)) + " " + "x_" +
                  c.name + " " + c.from + " " + c.to;
        if (c.issuer) script += std::string(" ") + c.issuer + " " + CertNamed(c.issuer).key;
        script += "\n";
    }
    for (const Crl& crl : Crls()) {
        std::string rows;
        for (const Revoked& r : crl.revoked)
            rows += "R\t451231000000Z\t" + std::string(r.date + 2, 12) + "Z\t" + Hex4(SerialOf(r.cert)) +
                    "\tunknown\t/CN=x\n";
        certtest::WriteFile(dir + "/" + crl.issuer + ".idx", rows);
        const Cert& issuer = CertNamed(crl.issuer);
        script += std::string("crl ") + crl.issuer + " " + issuer.key + " " + crl.thisUpdate + " " + crl.nextUpdate +
                  " " + (issuer.ext.ski ? "x_crlaki" : "''") + "\n";
    }
    std::string config = kConfig;
    for (const Cert& c : Certs()) config += Section(c);
    certtest::WriteFile(dir + "/ca.cnf", config);
    certtest::WriteFile(dir + "/make.sh", script);
    const auto r = certtest::Run("sh " + Sh(dir + "/make.sh") + " " + Sh(dir));
    if (r.exitCode != 0) {
        why = r.err;
        return false;
    }
    auto der = [&](const std::string& file) {
        const std::string pem = certtest::ReadFile(dir + "/" + file);
        IdentObj bytes;
        if (!CTFB64BlobToBinary(IdentObj(pem), bytes)) throw std::runtime_error(file + " holds no PEM");
        return bytes;
    };
    try {
        for (const Cert& c : Certs()) out.certs[c.name] = der(std::string(c.name) + ".pem");
        for (const Crl& crl : Crls()) out.crls[crl.issuer] = der(std::string(crl.issuer) + ".crl.pem");
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
    return true;
}

// Our maker.
FILETIME At(const char* utc) { return CTOOFileTime::FromUnix(EpochOf(utc)).GetFileTime(); }

IdentObj SerialBytes(const std::string& name) {
    const unsigned v = SerialOf(name);
    const unsigned char lsbFirst[] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    return IdentObj(lsbFirst, sizeof lsbFirst);
}

certpki::CertSpec SpecOf(const Cert& c) {
    certpki::CertSpec s;
    s.subject = std::string("CN=") + c.cn + ", O=Corpus";
    s.key = c.key;
    s.serial = SerialBytes(c.name);
    s.notBefore = At(c.from);
    s.notAfter = At(c.to);
    s.ca = c.ext.ca;
    s.markEndEntity = !c.ext.ca;
    s.pathLength = c.ext.pathLength;
    s.keyUsage = c.ext.keyUsage;
    s.subjectKeyId = c.ext.ski;
    s.authorityKeyId = c.ext.aki && c.issuer;
    return s;
}

bool MakeWithOurs(Made& out, std::string& why) {
    try {
        std::map<std::string, certpki::Cert> made;
        for (const Cert& c : Certs()) {
            const certpki::CertSpec spec = SpecOf(c);
            certpki::Cert cert = c.issuer ? certpki::Issue(made.at(c.issuer), spec) : certpki::SelfSigned(spec);
            out.certs[c.name] = cert.der;
            made.emplace(c.name, std::move(cert));
        }
        for (const Crl& crl : Crls()) {
            certpki::CrlSpec spec;
            spec.thisUpdate = At(crl.thisUpdate);
            spec.nextUpdate = At(crl.nextUpdate);
            for (const Revoked& r : crl.revoked) spec.revoked.push_back({SerialBytes(r.cert), At(r.date)});
            if (!CertNamed(crl.issuer).ext.ski) spec.keyId = certpki::CrlKeyId::None;
            out.crls[crl.issuer] = certpki::MakeCrl(made.at(crl.issuer), spec).GetEncoded();
        }
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
    return true;
}

}  // namespace corpus

using certtest::Sh;

struct Step {
    Step(const char* c, DWORD b = 0) : cert(c), bits(b) {}
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

// Cases where the verdicts differ by design: why ours, beside openssl's.
const std::map<std::string, const char*> kByDesign = {
    {"stale CRL", "clean: a CRL past NextUpdate still decides; keeping CRLs fresh is the updater's job (12)"},
    {"CA sign-only usage", "clean: a CA's key usage is not judged (79 invalid CA certificate)"},
    {"root signature", "0x8: a trusted root's own signature is checked (OK: read only with -check_ss_sig)"},
    {"at before revocation",
     "clean: revoked from the entry's revocation date on (11: -attime judges the CRL's dates, not the entry's)"},
    {"cross renewed",
     "0x1 on the expired xold: the first issuer passing the subject's checks is taken, with no backtracking (OK: "
     "prefers the issuer certificate valid now)"},
    {"twin by signature",
     "clean: of two issuers of one name, the one whose key verifies the signature (7: takes the first issuer of the "
     "name when no key identifier tells them apart)"},
    {"cross, own root trusted",
     "clean: an authority key identifier binds the issuer by its key identifier alone (20: also holds the issuer to "
     "the name and serial written beside it)"}};

const char* const kIntermediates[] = {"ca1",  "ca2",   "caexp", "carev",   "canocrl", "castale",  "cabad",
                                      "caku", "capl0", "casub", "canotca", "canoki",  "untrusted"};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"depth 1", {"root"}, 0, kOk},
        {"depth 2", {"leaf2", "root"}, 0, kOk},
        {"depth 3", {"leaf3", "ca1", "root"}, 0, kOk},
        {"depth 4", {"leaf4", "ca2", "ca1", "root"}, 0, kOk},
        {"leaf expired", {{"leafexp", kTime}, "ca1", "root"}, kTime, kExpiredOssl},
        {"leaf not yet valid", {{"leaffut", kTime}, "ca1", "root"}, kTime, kNotYetValidOssl},
        {"CA expired", {"leafcaexp", {"caexp", kTime}, "root"}, kTime, kExpiredOssl},
        {"leaf revoked", {{"leafrev", kRevoked}, "ca1", "root"}, kRevoked, kRevokedOssl},
        {"CA revoked", {"leafcarev", {"carev", kRevoked}, "root"}, kRevoked, kRevokedOssl},
        {"no CRL", {{"leafnocrl", kNoCrl}, "canocrl", "root"}, kNoCrl, kNoCrlOssl},
        {"stale CRL", {"leafstale", "castale", "root"}, 0, kCrlExpiredOssl},
        {"stale CRL revokes", {{"leafstalerev", kRevoked}, "castale", "root"}, kRevoked, kCrlExpiredOssl},
        {"leaf signature", {{"leafbad", kSignature}, "ca1", "root"}, kSignature, kBadSignatureOssl},
        {"CA signature", {"leafcabad", {"cabad", kSignature}, "root"}, kSignature, kBadSignatureOssl},
        {"root signature", {"leafrootb", {"rootb", kSignature}}, kSignature, kOk, {"rootb"}},
        {"root signature, -check_ss_sig",
         {"leafrootb", {"rootb", kSignature}},
         kSignature,
         kBadSignatureOssl,
         {"rootb"},
         {},
         nullptr,
         "-check_ss_sig"},
        {"CA sign-only usage", {"leafku", "caku", "root"}, 0, kInvalidCaOssl},
        {"path length exceeded", {"leafpl", "casub", {"capl0", kConstraints}, "root"}, kConstraints, kPathLengthOssl},
        {"path length reached", {"casub", "capl0", "root"}, 0, kOk},
        {"CA:FALSE issuer", {"leafnotca", {"canotca", kConstraints}, "root"}, kConstraints, kInvalidCaOssl},
        {"unknown root", {"leafunk"}, kPartial, kNoLocalIssuerOssl},
        {"untrusted root", {"leafutr", {"untrusted", kUntrustedRoot}}, kUntrustedRoot, kSelfSignedInChainOssl},
        {"untrusted root alone", {{"untrusted", kUntrustedRoot}}, kUntrustedRoot, kSelfSignedOssl},
        {"no key identifiers", {"leafnoki", "canoki", "rootn"}, 0, kOk, {"rootn"}},
        {"twin by key identifier", {"leaftwin", "twinb"}, 0, kOk, {"twina", "twinb"}},
        {"twin by signature", {"leaftwinnoaki", "twinb"}, 0, kBadSignatureOssl, {"twina", "twinb"}},
        {"cross-certified", {"leafx", "xnew", "root"}, 0, kOk, {"root"}, {"xnew"}},
        {"cross, own root trusted", {"leafx", "xself"}, 0, kNoLocalIssuerOssl, {"xself"}, {"xold", "xnew"}},
        {"cross renewed", {"leafx", {"xold", kTime}, "root"}, kTime, kOk, {"root"}, {"xold", "xnew"}},
        {"at before revocation", {"leafrev", "ca1", "root"}, 0, kCrlNotYetValidOssl, {"root"}, {}, "20240101000000Z"},
        {"at after revocation",
         {{"leafrev", kRevoked}, "ca1", "root"},
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
            const CTOOFileTime at(corpus::At(c.at));
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
            const auto why = kByDesign.find(c.name);
            EXPECT_EQ((ours == 0) != (v->second.code == 0), why != kByDesign.end())
                << "ours " << Bits(ours) << ", openssl " << v->second.code
                << (why != kByDesign.end() ? std::string("; by design: ") + why->second : "");
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
