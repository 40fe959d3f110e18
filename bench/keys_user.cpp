#include "keys_user.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "cert/certmodel.h"
#include "cert/ctfuser.h"
#include "cert/oids.h"
#include "cert/platform.h"
#include "cert/vrkscapi.h"

namespace benchkeys {
namespace {

constexpr const char* kPassword = "bench";

// A certificate of `key` for the signature key; the proof reads the key
// only, so the issuer's signature is a dummy.
CCTFCertContext CertOf(const CCTFCertPublicKeyInfo& key) {
    XTOOStatus status(0);
    const CCTFAlgorithmIdentifier alg(cert::oids::kGostR3410_2012_256WithR3411);
    CCTFCertInfo info = CCTFCertInfo::CreateCertReq(CCTFX509Name("CN=Bench", 0, true), alg, AT_SIGNATURE, 12, 0, key,
                                                    nullptr, IdentObj(), CCTFX509Name(), false, &status);
    info.m_issuer = info.m_subject;
    CCTFX509Certificate cert;
    cert.m_info = info;
    cert.m_signatureAlgorithm = alg;
    IdentObj dummy;
    dummy.Alloc(64);
    cert.m_signature = CTOOCryptBitBlob(dummy);
    CCTFCertContext context(cert.GetEncodetCert());
    context.SetPrivateKeyType(AT_SIGNATURE);
    return context;
}

// Google Benchmark runs a benchmark more than once: each run has its own
// containers.
std::string Fresh(const std::string& name) {
    static int serial = 0;
    return name + "-" + std::to_string(++serial);
}

bool MakeKey(CCTFUser& user, const std::string& container, const char* oid) {
    int status = 0;
    return user.LogInUser(container.c_str(), kPassword, kPassword, oid, true, true, false) == 0 &&
           user.CreateNewKeys(oid, "", &status) != 0;
}

}  // namespace

void UseOwnHome() {
    static const bool done = [] {
        char tmpl[] = "/tmp/bench-keys-XXXXXX";
        const char* home = mkdtemp(tmpl);
        cert::platform::SetCertHome(home ? home : "/tmp");
        return true;
    }();
    (void)done;
}

struct Proof {
    CCTFUser user;
    CCTFCertContext cert;
};

Proof* MakeProof(const char* keyOid) {
    auto* p = new Proof;
    if (!MakeKey(p->user, Fresh(std::string("proof-") + keyOid), keyOid)) {
        delete p;
        return nullptr;
    }
    p->cert = CertOf(p->user.GetPublicKey());
    return p;
}

bool Prove(Proof* p) {
    int status = 0;
    return p->user.CheckSignKeys(p->cert, &status) != 0;
}

void FreeProof(Proof* p) { delete p; }

struct Cache {
    CCTFUser user;
    std::vector<CCTFCertContext> certs;
    std::size_t next = 0;
};

Cache* MakeCache(int n) {
    auto* c = new Cache;
    // Its container's key and those of the containers below it.
    const std::string top = Fresh("cache-" + std::to_string(n));
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) {
        CCTFUser maker;
        ok = MakeKey(maker, i ? top + "\\" + std::to_string(i) : top, cert::oids::kGostR3410_2012_256);
        if (ok) c->certs.push_back(CertOf(maker.GetPublicKey()));
    }
    ok = ok && c->user.LogInUser(top.c_str(), kPassword, kPassword, nullptr, false, true, false) == 0;
    int status = 0;
    for (const auto& cert : c->certs) ok = ok && c->user.GetUserKey(0, &cert, &status) != 0;
    if (!ok) {
        delete c;
        return nullptr;
    }
    return c;
}

bool FindNext(Cache* c) {
    int status = 0;
    const bool found = c->user.GetUserKey(0, &c->certs[c->next], &status) != 0;
    c->next = (c->next + 1) % c->certs.size();
    return found;
}

void FreeCache(Cache* c) { delete c; }

}  // namespace benchkeys
