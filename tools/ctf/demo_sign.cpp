// Demo step: a sample file signed attached with a container's key, a second
// signer added over the content it carries, the signers shown.
#include <cstdio>
#include <string>

#include "cert/ctfuser.h"
#include "cert/oids.h"
#include "cert/signeddata.h"
#include "cert/vrkscapi.h"
#include "certs.h"
#include "cli.h"
#include "keys.h"
#include "p7.h"

namespace {

constexpr const char* kContainer = "demo-signer";

int Run(ctf::Context&) {
    HCRYPTPROV gone = 0;  // a home kept from an earlier demo holds it already
    VRKAcquireContext(&gone, kContainer, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET);
    CCTFUser user;
    int status = user.LogInUser(kContainer, {}, {}, cert::oids::kGostR3410_2012_256, true, true, false);
    CTOOString place;
    if (!status) user.CreateNewKeys(cert::oids::kGostR3410_2012_256, "", &status, &place);
    if (status) {
        std::printf("  %s: status %d at %s\n", kContainer, status, place.c_str());
        return ctf::kFailure;
    }
    ctf::NewCertificate what;
    what.subject = CCTFX509Name("CN=Demo Signer, O=Demo, C=RU", 0, true);
    const CCTFX509Certificate made = ctf::MakeSelfSigned(user.GetProvider(), what);
    CCTFCertContext signer(made.m_encoded);
    ctf::SetKeyProvider(signer, kContainer, AT_SIGNATURE);

    const std::string sample = cert::platform::CertHome() + "/demo-sample.txt";
    const std::string signedFile = cert::platform::CertHome() + "/demo-sample.p7s";
    const std::string text = "A sample document, signed by the demo.\n";
    if (cert::platform::WriteFileAtomic(sample, text.data(), text.size())) {
        std::printf("  cannot write %s\n", sample.c_str());
        return ctf::kFailure;
    }
    int error = 0;
    if (!CTFSignFile(user, signer, sample.c_str(), signedFile.c_str(), nullptr, kSignPreviousContent, nullptr,
                     &error) ||
        !CTFSignFile(user, signer, signedFile.c_str(), signedFile.c_str(), nullptr, kSignPreviousContent | kSignByKeyId,
                     nullptr, &error)) {
        std::printf("  CTFSignFile: status %d\n", error);
        return ctf::kFailure;
    }
    std::printf("CTFSignFile: %s signed attached, then a second signer (by key identifier) added over it:\n%s",
                sample.c_str(), ctf::SignedDataText(ctf::ReadSignedData(signedFile)).c_str());
    return ctf::kOk;
}

ctf::DemoRegistrar step({75, "signing: a sample signed attached, a second signer added, the signers shown", Run});

}  // namespace
