#include "chain_corpus.h"

#include <ctime>
#include <set>
#include <stdexcept>

#include "cert/convert.h"
#include "pki.h"
#include "testsupport.h"

namespace corpus {

namespace {

constexpr const char* kExpiredTo = "20210101000000Z";
constexpr const char* kFutureFrom = "20450101000000Z";
constexpr const char* kCrlFrom = "20250101000000Z";
constexpr const char* kCrlTo = "20450101000000Z";

}  // namespace

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

// ---------------------------------------------------------------------------
// The openssl maker.

namespace {

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

}  // namespace

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

// ---------------------------------------------------------------------------
// Our maker.

namespace {

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

}  // namespace

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
