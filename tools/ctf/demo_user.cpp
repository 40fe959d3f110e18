// Demo step: the user's keys through CCTFUser: a CA key and a user key, the
// user's certificate issued by the CA, proved and bound; the CA's own
// certificate refused for the user's key; the containers listed; a copy of
// the user's container, deleted again.
#include <cstdio>
#include <string>

#include "cert/ctfuser.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "certs.h"
#include "cli.h"
#include "keys.h"

namespace {

constexpr const char* kPassword = "demo user password";

// The provider asks when a context opened without a password needs one.
BOOL Prompt(const char*, DWORD, DWORD, cert::Secret& password, void*) {
    password = cert::Secret(kPassword);
    return TRUE;
}

bool Made(CCTFUser& user, const char* container) {
    int status = user.LogInUser(container, kPassword, kPassword, cert::oids::kGostR3410_2012_256, true, true, false);
    CTOOString place;
    if (!status) user.CreateNewKeys(cert::oids::kGostR3410_2012_256, "", &status, &place);
    if (status) std::printf("  %s: status %d at %s\n", container, status, place.c_str());
    return status == 0;
}

std::string Explained(int status, const CTOOString& place) {
    return "status " + std::to_string(status) + " at \"" + place.str() + "\"";
}

void Remove(const char* container) {
    HCRYPTPROV gone = 0;
    VRKAcquireContext(&gone, container, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET);
}

int Run(ctf::Context&) {
    // A home kept from an earlier demo holds these already.
    for (const char* c : {"demo-ca", "demo-user", "demo-user-copy"}) Remove(c);
    CCTFUser ca, user;
    if (!Made(ca, "demo-ca") || !Made(user, "demo-user")) return ctf::kFailure;
    std::printf("CreateNewKeys: a CA key in demo-ca, a user key in demo-user (GOST R 34.10-2012, 256 bits)\n");

    ctf::NewCertificate caWhat;
    caWhat.subject = CCTFX509Name("CN=Demo CA, O=Demo, C=RU", 0, true);
    caWhat.ca = true;
    const CCTFX509Certificate caModel = ctf::MakeSelfSigned(ca.GetProvider(), caWhat);
    ctf::NewCertificate userWhat;
    userWhat.subject = CCTFX509Name("CN=Demo User, O=Demo, C=RU", 0, true);
    const CCTFX509Certificate userModel = ctf::MakeIssued(ca.GetProvider(), caModel, user.GetPublicKey(), userWhat);

    CCTFCertContext userCert(userModel.m_encoded), caCert(caModel.m_encoded);
    ctf::SetKeyProvider(userCert, "demo-user", AT_SIGNATURE);
    ctf::SetKeyProvider(caCert, "demo-user", AT_SIGNATURE);
    int status = 0;
    CTOOString place;
    if (!user.CheckSignKeys(userCert, &status, &place) || !user.PutCertificate(userCert, &status, &place)) {
        std::printf("  the user's certificate: %s\n", Explained(status, place).c_str());
        return ctf::kFailure;
    }
    std::printf("the user's certificate, issued by the CA: proved (CheckSignKeys) and bound (PutCertificate)\n");
    const bool refused = !user.CheckSignKeys(caCert, &status, &place);
    std::printf("the CA's certificate for demo-user: %s\n",
                refused ? ("refused, " + Explained(status, place)).c_str() : "accepted (wrong)");

    std::printf("containers (CTFGetContainerList, CCTFContainer):\n");
    std::list<CTOOString> names;
    CTFGetContainerList(names, false, false);
    for (const CTOOString& name : names)
        for (const CCTFUserKeyInfo& key : CCTFContainer(name.c_str(), false).GetContainerInfo().m_keys)
            std::printf("  %-16s %-9s %s%s\n", name.c_str(), ctf::KeySpecName(key.m_keySpec),
                        ctf::KeyAlgName(key.m_algId).c_str(), key.IsCertExist() ? ", certificate" : "");

    VRKSetPasswordPrompt(Prompt, nullptr);
    std::string copyName;
    status = CTFCopyKeys("demo-user", "demo-user-copy", false, &copyName);
    VRKSetPasswordPrompt(nullptr, nullptr);
    bool copied = status == 0;
    if (copied) {
        CCTFUser copy;
        std::list<CCTFCertContext> certificates;
        copied = copy.LogInUser("demo-user-copy", kPassword, kPassword, nullptr, false, true, false) == 0 &&
                 copy.GetCertificateList(certificates, &status, &place) && certificates.size() == 1 &&
                 certificates.front() == userCert && copy.CheckSignKeys(userCert, &status, &place);
    }
    std::printf("CTFCopyKeys to %s: %s\n", copyName.c_str(),
                copied ? "the copy holds the key and its certificate, which it proves" : "failed");
    Remove("demo-user-copy");
    names.clear();
    CTFGetContainerList(names, false, false);
    bool deleted = true;
    for (const CTOOString& name : names) deleted &= std::string(name.c_str()) != "demo-user-copy";
    std::printf("the copy deleted: %s\n", deleted ? "yes" : "no");
    return refused && copied && deleted ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({70, "user keys: issue, prove and bind a certificate, refuse another, copy", Run});

}  // namespace
