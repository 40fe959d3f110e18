// Demo step: the sample CA in a MAC-protected trust list and in a PKCS #7
// list that a demo CA signs, written, shown and checked; a copy with one
// byte changed fails its check, and the status is explained.
#include <cstdio>
#include <string>

#include "cert/platform.h"
#include "cert/signeddata.h"
#include "cert/vrkscapi.h"
#include "certs.h"
#include "cli.h"
#include "io.h"
#include "lists.h"
#include "sample.h"
#include "text.h"

namespace {

int Run(ctf::Context&) {
    const ctf::ByteSpan sample = ctf::SampleCertificate();
    const IdentObj ca(sample.data(), static_cast<DWORD>(sample.size()));
    const std::string home = cert::platform::CertHome();
    const std::string keyFile = home + "/demo-list-mac.key", macList = home + "/demo-roots.lst",
                      changed = home + "/demo-roots-changed.lst", p7List = home + "/demo-roots.p7b";
    // A demo key: a real one comes from the product's key distribution.
    ctf::WriteOutputFile(keyFile,
                         ctf::Span(std::string_view("000102030405060708090A0B0C0D0E0F"
                                                    "101112131415161718191A1B1C1D1E1F")),
                         0600);
    const ctf::ListMacKey key(keyFile);

    CCTFTrustRootCertList mac;
    mac.SetNewFileName(macList.c_str());
    mac.SetPurposeCode(0x4C435254);  // "TRCL"
    CTOOString alg(CTF_OID_LIST_MAC_A);
    IdentObj keyId("demo", 4), user("demo-ops", 8);
    mac.SetProtectInfo(alg, keyId, user, key.Key());
    mac.ReturnStorage()->AddEncodetCertificate(ca);
    ctf::WriteList(mac, macList);
    std::printf("%s", ctf::ListText(ctf::OpenList(macList, &key, true), macList).c_str());

    // A CA of the demo's own signs the PKCS #7 list.
    VRKSCApi::CryptProvider p;
    VRKSCApi::CryptKey signKey;
    if (!VRKAcquireContext(&p, "demo-list-ca", nullptr, VRK_PROV_TYPE_GOST,
                           CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER | CRYPT_SILENT) ||
        !VRKGenKey(p, AT_SIGNATURE, 0, &signKey)) {
        std::printf("  no key: 0x%08X\n", GetLastError());
        return ctf::kFailure;
    }
    ctf::NewCertificate what;
    what.subject = CCTFX509Name("CN=Demo list CA", 0, true);
    what.ca = true;
    const CCTFCertContext signer(ctf::MakeSelfSigned(p, what).m_encoded);
    CCTFProvider provider;
    int err = 0;
    if (!provider.Init("demo-list-ca", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT, &err)) {
        std::printf("  cannot open the demo CA's key: %d\n", err);
        return ctf::kFailure;
    }
    CCTFTrustRootCertList p7(p7List.c_str());
    p7.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    p7.ReturnStorage()->AddEncodetCertificate(ca);
    p7.ReturnStorage()->AddEncodetCertificate(signer.GetEncoded());
    CCTFSignData& sd = p7.GetSignData();
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(p7.ReturnStorage()->GetHandle(), c)) != nullptr)
        sd.m_certificates.emplace_back(c->pbCertEncoded, c->cbCertEncoded);
    try {
        CTFSignTrustList(provider, AT_SIGNATURE, signer, sd);
    } catch (const XTOOStatus& e) {
        std::printf("  cannot sign the list: %d %s\n", e.Status(), e.Place());
        return ctf::kFailure;
    }
    ctf::WriteList(p7, p7List);
    std::printf("\n%s", ctf::ListText(ctf::OpenList(p7List, nullptr, false), p7List).c_str());

    std::string bytes;
    cert::platform::ReadWholeFile(macList, bytes, 1 << 20);
    bytes[bytes.size() - 40] ^= 0x01;  // inside the certificate record
    ctf::WriteOutputFile(changed, ctf::Span(bytes));
    const ctf::OpenedList bad = ctf::OpenList(changed, &key, true);
    const int st = bad.Trust()->GetProtectStatus();
    std::printf("\n%s, one byte changed: loads, status %d: %s\n  (%s)\n", changed.c_str(), st,
                ctf::ListStatusMeaning(st).c_str(), ctf::ExplainStatus(st).text.c_str());
    return st == TOOERR_BADSIGN ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({65, "Lists: the sample CA in a MAC trust list and a signed PKCS #7 list; a changed byte fails",
                         Run});

}  // namespace
