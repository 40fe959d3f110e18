// Copying and moving a container's keys: CTFCopyKeys and
// CCTFUser::TransferKeys share one walk over the container's keys.
#include "keys/keys_internal.h"

namespace cert::keys {

int CopyContainerKeys(HCRYPTPROV from, HCRYPTPROV to, HCRYPTKEY wrap, const char* place) {
    int copied = 0;
    // Our containers hold a key of each kind: both travel, not only the
    // default one.
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        VRKSCApi::CryptKey key;
        if (!VRKGetUserKey(from, spec, &key)) {
            if (GetLastError() == NTE_NO_KEY) continue;
            FailLast(place);
        }
        IdentObj wrapped;
        if (!VRKExportKey(key, wrap, PRIVATEKEYBLOB, 0, wrapped)) FailLast(place);
        IdentObj certificate;
        const bool hasCertificate = VRKGetKeyParam(key, KP_CERTIFICATE, certificate) != FALSE;
        VRKSCApi::CryptKey copy;
        if (!VRKImportKey(to, wrapped.data(), wrapped.size(), wrap, 0, &copy)) FailLast(place);
        if (hasCertificate && !VRKSetKeyParam(copy, KP_CERTIFICATE, certificate)) FailLast(place);
        ++copied;
    }
    return copied;
}

}  // namespace cert::keys

using namespace cert::keys;

namespace {

// Deletes a container this code made; what it answers changes nothing for
// the caller, who reports the failure that led here.
void RemoveContainer(const std::string& name, DWORD machineFlag) {
    HCRYPTPROV gone = 0;
    VRKAcquireContext(&gone, name.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET | machineFlag);
}

// The random value the transport key derives from: key material, held in a
// blob only because the hash takes its value so, and zeroed when done.
struct WipedBlob {
    IdentObj bytes;
    ~WipedBlob() { bytes.Wipe(); }
};

}  // namespace

bool CCTFUser::TransferKeys(const CTOOString& destination, const cert::Secret& pin, HCRYPTKEY protectionKey,
                            int* error) {
    const std::string target = destination.str();
    return Reported(target.c_str(), error, nullptr, false, [&]() -> bool {
        const HCRYPTPROV prov = GetProvider();
        if (!prov) Fail(TOOERR_BADFORMAT, "CCTFUser::TransferKeys");
        if (target == m_path.str()) Fail(TOOERR_NOT_NEWER, "CCTFUser::TransferKeys");
        // The source by the name the provider knows it under: the user's path
        // may be one the provider chose or a plain name of either key set.
        IdentObj unique;
        std::string source = m_path.str();
        if (VRKGetProvParam(prov, PP_UNIQUE_CONTAINER, unique, 0)) source = ParamText(unique);

        int status = 0;
        {
            CCTFProvider to;
            if (!to.Init(target.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT, &status))
                Fail(status, target.c_str());
            const HCRYPTPROV toHandle = to.GetProviderHandle();
            try {
                if (!VRKSetProvParam(toHandle, VRK_PP_PROTECTION_KEY, &protectionKey, 0)) FailLast(target.c_str());
                if (!pin.empty() && !VRKSetProvParam(toHandle, PP_KEYEXCHANGE_PIN, pin.c_str(), 0))
                    FailLast(target.c_str());
                EndEnumeration(prov);
                CopyContainerKeys(prov, toHandle, protectionKey, target.c_str());
            } catch (...) {
                to.Reset();
                if (TOOStatusOfCurrentException() != CTFERR_STORAGE_OTHER_FLAGS) RemoveContainer(target, 0);
                throw;
            }
        }
        // The cached keys belong to the container that goes.
        DestroyKeys();
        m_provider.Reset();
        CCTFProvider gone;
        if (!gone.Init(source.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET, &status))
            Fail(status, source.c_str());
        if (!m_provider.Init(target.c_str(), nullptr, m_provType, 0, &status)) Fail(status, target.c_str());
        SetPath(target.c_str());
        SetPIN(pin);
        if (int rc = SetDefenceKey(protectionKey)) Fail(rc, target.c_str());
        return true;
    });
}

int CTFCopyKeys(const std::string& source, const std::string& destination, bool machine, std::string* destinationName) {
    try {
        const DWORD machineFlag = machine ? CRYPT_MACHINE_KEYSET : 0;
        int status = 0;
        // The transport key: a key derived from fresh random in a context
        // of no container, so that private keys never travel in clear.
        CCTFProvider verify;
        if (!verify.Init(nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT, &status)) return status;
        const HCRYPTPROV vp = verify.GetProviderHandle();
        VRKSCApi::CryptHash seedHash;
        WipedBlob seed;
        seed.bytes.Alloc(31);
        if (!VRKCreateHash(vp, CALG_VRK_HASH, 0, &seedHash, 0) || !VRKGenRandom(vp, 31, seed.bytes.data()) ||
            !VRKSetHashParam(seedHash, HP_HASHVAL, seed.bytes))
            return LastStatus();
        VRKSCApi::CryptKey wrap;
        if (!VRKDeriveKey(vp, CALG_VRK_KEY_A, seedHash, 0, &wrap)) return LastStatus();

        CCTFProvider from;
        if (!from.Init(source.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, VRK_CHOOSE_CONTAINER | machineFlag, &status))
            return status;
        // A named destination is made, never taken as found: the provider's
        // 0x200 with a name would open an existing container and mix the
        // copy into it. Without a name the provider names a new one.
        const DWORD create = CRYPT_NEWKEYSET | machineFlag | (destination.empty() ? VRK_CHOOSE_CONTAINER : 0);
        CCTFProvider to;
        if (!to.Init(destination.c_str(), VRK_PROV_GOST, VRK_PROV_TYPE_GOST, create, &status)) return status;
        int nameStatus = 0;
        const std::string made = to.GetFullContainerName(&nameStatus).str();
        if (destinationName) {
            *destinationName = made;
            if (made.empty()) return status;
        }
        try {
            CopyContainerKeys(from.GetProviderHandle(), to.GetProviderHandle(), wrap, "CTFCopyKeys");
        } catch (...) {
            to.Reset();
            RemoveContainer(made.empty() ? destination : made, machineFlag);
            throw;
        }
        return 0;
    } catch (...) {
        return TOOStatusOfCurrentException();
    }
}
