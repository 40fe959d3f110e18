// Demo step: a CA of the demo's own, a CRL it issues through the CRL model
// and a serial looked up in it.
#include <cstdio>

#include "cert/vrkscapi.h"
#include "certs.h"
#include "cli.h"
#include "crls.h"

namespace {

int Run(ctf::Context&) {
    VRKSCApi::CryptProvider p;
    VRKSCApi::CryptKey key;
    if (!VRKAcquireContext(&p, "demo-ca", nullptr, VRK_PROV_TYPE_GOST_2012_256,
                           CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER | CRYPT_SILENT) ||
        !VRKGenKey(p, AT_SIGNATURE, 256 << 16, &key)) {
        std::printf("  no key: 0x%08X\n", GetLastError());
        return ctf::kFailure;
    }
    ctf::NewCertificate what;
    what.subject = CCTFX509Name("CN=Демо УЦ, O=АО \"Вектор\", C=RU", 0, true);
    what.ca = true;
    const CCTFX509Certificate made = ctf::MakeSelfSigned(p, what);
    const CCTFCertContext ca(made.m_encoded);

    CCTF_CRL_List crl;
    const IdentObj revoked = ctf::SerialArgument("01A2B3", "serial");
    crl.m_info.AddEntry(revoked, 1, nullptr);
    crl.m_info.AddEntry(ctf::SerialArgument("80", "serial"), 4, nullptr);
    int error = 0;
    CTOOString place;
    if (!crl.SignList(p, key, ca, 0xFFFF, &error, &place) || !crl.CheckSign(ca, &error, &place)) {
        std::printf("  cannot issue the CRL: %d %s\n", error, place.c_str());
        return ctf::kFailure;
    }
    const IdentObj der = crl.GetEncodetObject();
    std::printf("a CRL of %u bytes, signed by the demo CA and checked with its certificate:\n%s", unsigned(der.size()),
                ctf::CrlText(crl, true, nullptr).c_str());
    const CCTF_CRL_Entry* e = crl.m_info.m_entries.Find(revoked);
    std::printf("serial 01A2B3 is %s\n",
                e ? ("revoked: " + ctf::ReasonName(e->GetReasonCode())).c_str() : "not revoked");
    return e ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({55, "CRLs: a CA issues a CRL through the CRL model, a serial looked up", Run});

}  // namespace
