// Demo step: a CA of the demo's own, a CRL it issues through the CRL model,
// merged into a CRL file, and a serial looked up in it.
#include <cstdio>

#include "cert/crlfile.h"
#include "cert/platform.h"
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

    // Into a CRL file, as the transport directory keeps them: the file is
    // made, the CRL put in; put in again, it replaces itself. A file of an
    // earlier run in this home holds the CRL of that run's CA key: it goes.
    const std::string file = cert::platform::CertHome() + "/demo-crls.p7";
    std::remove(file.c_str());
    int status = 0;
    CTOOString where;
    if (!CTFUpdateCRLsInFile(file, {der}, false, {}, nullptr, true, &status, &where) ||
        !CTFUpdateCRLsInFile(file, {der}, false, {}, nullptr, false, &status, &where)) {
        std::printf("  cannot merge the CRL: %d %s\n", status, where.c_str());
        return ctf::kFailure;
    }
    const std::vector<CCTF_CRL_List> inFile = ctf::ReadCrlFile(file);
    std::printf("%s holds %zu CRL(s) after the CRL was merged twice\n", file.c_str(), inFile.size());
    if (inFile.size() != 1) return ctf::kFailure;

    // The lookup goes through the index of the CRL's entries.
    const CCTF_CRL_Entry* e = inFile.front().m_info.m_entries.Find(revoked);
    std::printf("serial 01A2B3 in the file's CRL is %s\n",
                e ? ("revoked: " + ctf::ReasonName(e->GetReasonCode())).c_str() : "not revoked");
    const bool other = inFile.front().m_info.m_entries.Find(ctf::SerialArgument("01A2B4", "serial")) != nullptr;
    std::printf("serial 01A2B4 is %s\n", other ? "revoked" : "not revoked");
    return e && !other ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({55, "CRLs: a CA issues a CRL, merged into a CRL file, a serial looked up", Run});

}  // namespace
