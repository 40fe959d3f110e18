// Demo step: the sample CA in a MAC-protected trust list and in a PKCS #7
// list, written, shown and checked; a copy with one byte changed fails its
// check, and the status is explained.
#include <cstdio>
#include <string>

#include "cert/platform.h"
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

    CCTFCertList p7(p7List.c_str());
    p7.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    p7.ReturnStorage()->AddEncodetCertificate(ca);
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

ctf::DemoRegistrar step({65, "Lists: the sample CA in a MAC trust list and a PKCS #7 list; a changed byte fails", Run});

}  // namespace
