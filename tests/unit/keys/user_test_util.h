// What the user tests share: containers with keys made through CCTFUser,
// certificates for a key (the proof looks at the key, not the issuer's
// signature, so these carry a dummy one), and a password prompt that counts
// its calls.
#pragma once

#include <string>

#include "cert/certmodel.h"
#include "cert/ctfuser.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "pki.h"
#include "testsupport.h"

namespace usertest {

inline bool ContainerExists(const std::string& name, bool machine = false);

// A key of `algorithm` under `password` in the container (made when
// missing): a signature key, or with `exchange` an exchange key; the user
// stays logged in. Fails the test on any error.
inline void MakeKey(CCTFUser& user, const std::string& container, const char* algorithm, const std::string& password,
                    bool exchange = false) {
    const bool create = !ContainerExists(container);
    ASSERT_EQ(user.LogInUser(container.c_str(), password, password, algorithm, create, true, false), 0) << container;
    int status = -1;
    CTOOString place;
    if (exchange)
        user.CreateNewKeys(1, "", &status, &place);
    else
        user.CreateNewKeys(algorithm, "", &status, &place);
    ASSERT_EQ(status, 0) << place.str();
}

// A certificate of `key` naming the key spec `spec` of `container`.
inline CCTFCertContext CertFor(const CCTFCertPublicKeyInfo& key, const std::string& container, DWORD spec,
                               const char* cn = "CN=Test User, O=Test, C=RU") {
    XTOOStatus status(0);
    const CCTFAlgorithmIdentifier signatureAlgorithm("1.2.643.7.1.1.3.2");
    CCTFCertInfo info = CCTFCertInfo::CreateCertReq(CCTFX509Name(cn, 0, true), signatureAlgorithm, spec, 12, 0, key,
                                                    nullptr, IdentObj(), CCTFX509Name(), false, &status);
    EXPECT_EQ(status.Status(), 0) << status.Place();
    info.m_issuer = info.m_subject;
    CCTFCertContext context(certpki::WithFillerSignature(info, signatureAlgorithm));
    EXPECT_TRUE(context.IsInitialized());
    std::u16string wideContainer(container.begin(), container.end());
    std::u16string wideProvider;
    for (const char* c = VRK_PROV_GOST; *c; ++c) wideProvider.push_back(char16_t(*c));
    CRYPT_KEY_PROV_INFO prov{};
    prov.pwszContainerName = wideContainer.data();
    prov.pwszProvName = wideProvider.data();
    prov.dwProvType = VRK_PROV_TYPE_GOST;
    prov.dwKeySpec = spec;
    EXPECT_TRUE(context.CCTFSetContextProperty(CERT_KEY_PROV_INFO_PROP_ID, 0, &prov));
    return context;
}

// The provider's prompt while it lives: answers with `password` (or
// cancels when it is empty) and counts the calls per purpose.
class Prompt {
public:
    explicit Prompt(std::string password) : password_(std::move(password)) { VRKSetPasswordPrompt(&Answer, this); }
    ~Prompt() { VRKSetPasswordPrompt(nullptr, nullptr); }
    int opens = 0, news = 0;
    std::string password_;

private:
    static BOOL Answer(const char*, DWORD, DWORD purpose, cert::Secret& password, void* self) {
        auto& me = *static_cast<Prompt*>(self);
        (purpose == VRK_PROMPT_NEW_KEY ? me.news : me.opens)++;
        if (me.password_.empty()) return FALSE;
        password = cert::Secret(me.password_);
        return TRUE;
    }
};

inline bool ContainerExists(const std::string& name, bool machine) {
    for (const auto& row : vrk::ListContainerKeys(machine))
        if (row.name == name) return true;
    return false;
}

inline std::size_t KeysIn(const std::string& name, bool machine = false) {
    std::size_t n = 0;
    for (const auto& row : vrk::ListContainerKeys(machine))
        if (row.name == name && row.keySpec) ++n;
    return n;
}

}  // namespace usertest
