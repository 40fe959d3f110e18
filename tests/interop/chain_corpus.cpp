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

using P = Profile;

}  // namespace

const std::vector<Cert>& Certs() {
    static const std::vector<Cert> certs = {
        {"root", "Root", nullptr, "kR", P::Root},
        {"rootb", "Root B", nullptr, "kRB", P::Root},
        {"unknown", "Unknown Root", nullptr, "kU", P::Root},
        {"untrusted", "Untrusted Root", nullptr, "kUT", P::Root},
        {"twina", "Twin CA", nullptr, "kTA", P::Root},
        {"twinb", "Twin CA", nullptr, "kTB", P::Root},
        {"rootn", "Root NoKI", nullptr, "kRN", P::RootNoKi},
        {"xself", "Cross CA", nullptr, "kX", P::Root},
        {"ca1", "CA 1", "root", "kC1", P::Ca},
        {"ca2", "CA 2", "ca1", "kC2", P::Ca},
        {"caexp", "CA Expired", "root", "kCE", P::Ca, kLongAgo, kExpiredTo},
        {"carev", "CA Revoked", "root", "kCR", P::Ca},
        {"canocrl", "CA No CRL", "root", "kCN", P::Ca},
        {"castale", "CA Stale CRL", "root", "kCS", P::Ca},
        {"cabad", "CA Bad Signature", "root", "kCB", P::Ca},
        {"caku", "CA Sign Only", "root", "kCK", P::CaSignOnly},
        {"capl0", "CA Path 0", "root", "kCP", P::CaPath0},
        {"casub", "CA Below Path 0", "capl0", "kCU", P::Ca},
        {"canotca", "CA Not CA", "root", "kCT", P::NotCa},
        {"canoki", "CA NoKI", "rootn", "kCI", P::CaNoKi},
        {"xold", "Cross CA", "root", "kX", P::Ca, kLongAgo, kExpiredTo},
        {"xnew", "Cross CA", "root", "kX", P::Ca},
        {"leaf2", "Leaf 2", "root", "kL", P::Leaf},
        {"leaf3", "Leaf 3", "ca1", "kL", P::Leaf},
        {"leaf4", "Leaf 4", "ca2", "kL", P::Leaf},
        {"leafexp", "Leaf Expired", "ca1", "kL", P::Leaf, kLongAgo, kExpiredTo},
        {"leaffut", "Leaf Future", "ca1", "kL", P::Leaf, kFutureFrom, kFarAhead},
        {"leafrev", "Leaf Revoked", "ca1", "kL", P::Leaf},
        {"leafbad", "Leaf Bad Signature", "ca1", "kL", P::Leaf},
        {"leafcaexp", "Leaf of CA Expired", "caexp", "kL", P::Leaf},
        {"leafcarev", "Leaf of CA Revoked", "carev", "kL", P::Leaf},
        {"leafnocrl", "Leaf of CA No CRL", "canocrl", "kL", P::Leaf},
        {"leafstale", "Leaf of CA Stale", "castale", "kL", P::Leaf},
        {"leafstalerev", "Leaf Revoked of CA Stale", "castale", "kL", P::Leaf},
        {"leafcabad", "Leaf of CA Bad Signature", "cabad", "kL", P::Leaf},
        {"leafrootb", "Leaf of Root B", "rootb", "kL", P::Leaf},
        {"leafku", "Leaf of CA Sign Only", "caku", "kL", P::Leaf},
        {"leafpl", "Leaf Below Path 0", "casub", "kL", P::Leaf},
        {"leafnotca", "Leaf of CA Not CA", "canotca", "kL", P::Leaf},
        {"leafunk", "Leaf of Unknown Root", "unknown", "kL", P::Leaf},
        {"leafutr", "Leaf of Untrusted Root", "untrusted", "kL", P::Leaf},
        {"leaftwin", "Leaf of Twin", "twinb", "kL", P::Leaf},
        {"leaftwinnoaki", "Leaf of Twin without AKI", "twinb", "kL", P::LeafNoAki},
        {"leafnoki", "Leaf NoKI", "canoki", "kL", P::LeafNoKi},
        {"leafx", "Leaf of Cross CA", "xnew", "kL", P::Leaf},
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

const char* Section(Profile p) {
    switch (p) {
        case P::Root:
            return "x_root";
        case P::Ca:
            return "x_ca";
        case P::CaPath0:
            return "x_capl0";
        case P::CaSignOnly:
            return "x_caku";
        case P::NotCa:
            return "x_notca";
        case P::RootNoKi:
            return "x_rootnoki";
        case P::CaNoKi:
            return "x_canoki";
        case P::Leaf:
            return "x_leaf";
        case P::LeafNoAki:
            return "x_leafnoaki";
        case P::LeafNoKi:
            return "x_leafnoki";
    }
    return "";
}

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
[ x_root ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = none
[ x_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer:always
[ x_capl0 ]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer:always
[ x_caku ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer:always
[ x_notca ]
basicConstraints = critical,CA:FALSE
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer:always
[ x_rootnoki ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = none
authorityKeyIdentifier = none
[ x_canoki ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = none
authorityKeyIdentifier = none
[ x_leaf ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer:always
[ x_leafnoaki ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = none
[ x_leafnoki ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = none
authorityKeyIdentifier = none
[ x_crlaki ]
authorityKeyIdentifier = keyid
)";

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

bool HasKeyIds(Profile p) { return p != P::RootNoKi && p != P::CaNoKi; }

}  // namespace

bool MakeWithOpenssl(const std::string& dir, Made& out, std::string& why) {
    using certtest::Sh;
    std::string script = kFunctions;
    std::set<std::string> keys;
    for (const Cert& c : Certs())
        if (keys.insert(c.key).second) script += "key " + std::string(c.key) + "\n";
    for (const Cert& c : Certs()) {
        script += "issue " + Sh(c.name) + " " + Sh(c.cn) + " " + c.key + " " + Hex4(SerialOf(c.name)) + " " +
                  Section(c.profile) + " " + c.from + " " + c.to;
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
                  " " + (HasKeyIds(issuer.profile) ? "x_crlaki" : "''") + "\n";
    }
    certtest::WriteFile(dir + "/ca.cnf", kConfig);
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
    const bool ca =
        c.profile != P::NotCa && c.profile != P::Leaf && c.profile != P::LeafNoAki && c.profile != P::LeafNoKi;
    s.ca = ca;
    s.markEndEntity = !ca;
    s.pathLength = c.profile == P::CaPath0 ? 0 : -1;
    s.keyUsage = c.profile == P::NotCa ? -1 : ca && c.profile != P::CaSignOnly ? 0x06 : 0x80;
    s.subjectKeyId = HasKeyIds(c.profile) && c.profile != P::LeafNoKi;
    s.authorityKeyId = s.subjectKeyId && c.issuer && c.profile != P::LeafNoAki;
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
            if (!HasKeyIds(CertNamed(crl.issuer).profile)) spec.keyId = certpki::CrlKeyId::None;
            out.crls[crl.issuer] = certpki::MakeCrl(made.at(crl.issuer), spec).GetEncoded();
        }
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
    return true;
}

}  // namespace corpus
