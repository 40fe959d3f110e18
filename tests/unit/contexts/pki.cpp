#include "pki.h"

namespace pki {

namespace {

const char kScript[] = R"sh(set -e
cd "$1"; key=$2; md=$3; eng=$4
mkdir -p new; touch index.txt; echo 1000 > serial; echo 0102 > crlnumber
cat > ca.cnf <<EOC
[ ca ]
default_ca = d
[ d ]
dir = .
database = ./index.txt
new_certs_dir = ./new
serial = ./serial
crlnumber = ./crlnumber
default_md = $md
policy = any
unique_subject = no
default_crl_days = 30
[ any ]
commonName = supplied
[ leaf ]
basicConstraints = CA:FALSE
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ old80 ]
2.5.29.10 = DER:300403020780
subjectKeyIdentifier = hash
[ oldC0 ]
2.5.29.10 = DER:3004030206C0
subjectKeyIdentifier = hash
[ crlext ]
authorityKeyIdentifier = keyid
[ req ]
distinguished_name = dn
[ dn ]
EOC
q() { openssl "$@" 2>err.txt >/dev/null || { cat err.txt >&2; exit 1; }; }
sign() { q ca $eng -batch -config ca.cnf -cert ca.pem -keyfile ca.key "$@"; }
q req -x509 $eng -newkey $key -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Test CA/O=Wrap" \
  -addext basicConstraints=critical,CA:TRUE -addext subjectKeyIdentifier=hash -addext keyUsage=critical,keyCertSign,cRLSign
for n in good expired revoked oldbc80 oldbcC0; do q req $eng -newkey $key -nodes -keyout $n.key -out $n.csr -subj "/CN=$n"; done
sign -extensions leaf -in good.csr -out good.pem -days 365
sign -extensions leaf -in revoked.csr -out revoked.pem -days 365
sign -extensions leaf -in expired.csr -out expired.pem -startdate 20200101000000Z -enddate 20210101000000Z
sign -extensions old80 -in oldbc80.csr -out oldbc80.pem -days 365
sign -extensions oldC0 -in oldbcC0.csr -out oldbcC0.pem -days 365
sign -gencrl -crlexts crlext -crl_lastupdate 20240101000000Z -out empty.crl.pem
sign -gencrl -crlexts crlext -crl_lastupdate 20200101000000Z -crl_nextupdate 20200201000000Z -out stale.crl.pem
sign -revoke revoked.pem
sign -gencrl -crlexts crlext -crl_lastupdate 20250101000000Z -out crl.pem
# The forger: the CA's name and key identifier, another key; its CRL is
# the newest and lists nothing.
ski=$(openssl x509 -in ca.pem -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' :')
mkdir -p forger/new; cp ca.cnf forger/; touch forger/index.txt; echo 0103 > forger/crlnumber; echo 2000 > forger/serial
q req -x509 $eng -newkey $key -nodes -keyout forger/ca.key -out forger/ca.pem -days 3650 -subj "/CN=Test CA/O=Wrap" \
  -addext basicConstraints=critical,CA:TRUE -addext subjectKeyIdentifier=$ski
(cd forger && q ca $eng -batch -config ca.cnf -cert ca.pem -keyfile ca.key -gencrl -crlexts crlext -out ../forged.crl.pem)
for f in ca good expired revoked oldbc80 oldbcC0; do q x509 -in $f.pem -outform DER -out $f.der; done
for f in crl empty.crl stale.crl forged.crl; do q crl -in $f.pem -outform DER -out $f.der; done
python3 -c "
b = bytearray(open('good.der', 'rb').read()); b[-5] ^= 1; open('altered.der', 'wb').write(b)"
openssl x509 -inform DER -in altered.der -out altered.pem
)sh";

}  // namespace

bool Make(const std::string& dir, const Kind& k, std::string& why) {
    certtest::WriteFile(dir + "/make.sh", kScript);
    const auto r = certtest::Run("sh " + certtest::Sh(dir + "/make.sh") + " " + certtest::Sh(dir) + " " +
                                 certtest::Sh(k.key) + " " + k.digest + " " + (k.gost ? "'-engine gost'" : "''"));
    why = r.err;
    return r.exitCode == 0;
}

}  // namespace pki
