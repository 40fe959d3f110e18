// CryptExportPublicKeyInfo over the provider's keys.
#include "capi/codec.h"
#include "cert/vrkscapi.h"
#include "provider/public_info.h"

using namespace cert::capi;

BOOL CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo) {
    return Guard(false, [&] {
        if (!pcbInfo) Throw(E_INVALIDARG);
        if (!(dwCertEncodingType & X509_ASN_ENCODING)) Throw(ERROR_FILE_NOT_FOUND);
        VRKSCApi::CryptKey key;
        IdentObj spki;
        if (!VRKGetUserKey(hCryptProv, dwKeySpec, &key) || !vrk::RsaPublicKeyInfo(key, spki)) Throw(GetLastError());
        Arena arena;
        asn::Reader in(asn::View(spki));
        DecodePublicKeyInfo(in, arena, 0);
        in.Finish();
        Deliver(arena.Size(), pInfo, pcbInfo, true, [&] { arena.CopyTo(pInfo); });
    });
}
