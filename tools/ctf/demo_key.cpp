// Demo step: a key container, a signature through the provider and a
// session key carried to an exchange key.
#include <cstdio>
#include <string>

#include "cert/asnkeys.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "cli.h"

namespace {

using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

bool Check(BOOL ok, const char* what) {
    if (!ok) std::printf("  %s failed: 0x%08X\n", what, GetLastError());
    return ok != 0;
}

std::string Hex(const IdentObj& b, std::size_t max = 16) {
    std::string s = TOOBin2HexStr(b.data(), std::min<std::size_t>(b.size(), max));
    return b.size() > max ? s + "..." : s;
}

int Run(ctf::Context&) {
    CryptProvider p;
    if (!Check(VRKAcquireContext(&p, "demo-keys", nullptr, VRK_PROV_TYPE_GOST_2012_256,
                                 CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER | CRYPT_SILENT),
               "VRKAcquireContext"))
        return ctf::kFailure;
    VRKSetProvParam(p, PP_SIGNATURE_PIN, "demo password", 0);
    VRKSetProvParam(p, PP_KEYEXCHANGE_PIN, "demo password", 0);
    CryptKey sig, exch;
    if (!Check(VRKGenKey(p, AT_SIGNATURE, 256 << 16, &sig), "VRKGenKey") ||
        !Check(VRKGenKey(p, AT_KEYEXCHANGE, 256 << 16, &exch), "VRKGenKey"))
        return ctf::kFailure;
    IdentObj name, info;
    VRKGetProvParam(p, PP_UNIQUE_CONTAINER, name, 0);
    VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, info, 0);
    ASNContainerInfo ci;
    ci.Decode(info, nullptr);
    std::printf("container %s: %zu keys, default key spec %u, ALG_ID 0x%04X, key id %s\n",
                reinterpret_cast<const char*>(name.data()), ci.keys.size(), ci.keyInfo.dwKeySpec, ci.keyInfo.algId,
                Hex(ci.keyInfo.keyId).c_str());

    CryptHash h;
    IdentObj signature, pub;
    const std::string msg = "a message to sign";
    if (!Check(VRKCreateHash(p, CALG_GOST_R3411_2012_256, 0, &h, 0), "VRKCreateHash") ||
        !Check(VRKHashData(h, msg.data(), DWORD(msg.size())), "VRKHashData") ||
        !Check(VRKSignHash(h, AT_SIGNATURE, 0, signature), "VRKSignHash") ||
        !Check(VRKExportKey(sig, 0, PUBLICKEYBLOB, 0, pub), "VRKExportKey"))
        return ctf::kFailure;
    CryptProvider v;
    CryptKey pk;
    VRKAcquireContext(&v, nullptr, nullptr, VRK_PROV_TYPE_GOST_2012_256, CRYPT_VERIFYCONTEXT);
    bool good = VRKImportKey(v, pub.data(), pub.size(), 0, 0, &pk) && VRKVerifySignature(h, signature, pk, 0);
    std::printf("signature (least significant byte first) %s: %s\n", Hex(signature).c_str(),
                good ? "verifies" : "does not verify");

    // A session key to the exchange key: ephemeral key, agreement, simple blob.
    CryptKey cek, eph, agree, back, ragree;
    IdentObj ephBlob, exchBlob, simple;
    bool moved = VRKGenKey(v, CALG_GOST_28147, CRYPT_EXPORTABLE, &cek) &&
                 VRKGenKey(v, CALG_GOST_R3410_2001_DH_EPHEM, CRYPT_EXPORTABLE | CRYPT_PREGEN, &eph) &&
                 VRKSetKeyParam(eph, VRK_KP_HASH_PARAMSET, IdentObj(cert::oids::kGostR3411_2012_256)) &&
                 VRKSetKeyParam(eph, VRK_KP_PUBKEY_PARAMSET, IdentObj(cert::oids::kSign2001ParamSetA)) &&
                 VRKSetKeyParam(eph, KP_X, IdentObj()) && VRKExportKey(eph, 0, PUBLICKEYBLOB, 0, ephBlob) &&
                 VRKExportKey(exch, 0, PUBLICKEYBLOB, 0, exchBlob) &&
                 VRKImportKey(v, exchBlob.data(), exchBlob.size(), eph, 0, &agree) &&
                 VRKExportKey(cek, agree, SIMPLEBLOB, 0, simple) &&
                 VRKSetKeyParam(exch, KP_IV, IdentObj(simple.data() + 16, 8)) &&
                 VRKImportKey(p, ephBlob.data(), ephBlob.size(), exch, 0, &ragree) &&
                 VRKImportKey(p, simple.data(), simple.size(), ragree, 0, &back);
    IdentObj a, b, iv("initvect");
    moved = moved && VRKSetKeyParam(cek, KP_IV, iv) && VRKSetKeyParam(back, KP_IV, iv) &&
            VRKEncrypt(cek, 0, TRUE, msg.data(), DWORD(msg.size()), a) &&
            VRKEncrypt(back, 0, TRUE, msg.data(), DWORD(msg.size()), b) && a == b;
    std::printf("session key in a %u-byte simple blob (UKM %s): %s\n", simple.size(),
                simple.size() >= 24 ? Hex(IdentObj(simple.data() + 16, 8)).c_str() : "-",
                moved ? "the recipient's copy encrypts alike" : "failed");
    return good && moved ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({30, "crypto provider: a key container, a signature, a session key", Run});

}  // namespace
