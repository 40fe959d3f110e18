// Saved passwords: one file per container the user let the provider keep
// a password for, sealed under the user's own key-set secret and bound to
// the container's name and key set.
#include <sys/stat.h>
#include <unistd.h>

#include "provider/vrk_internal.h"

namespace vrk {
namespace store {
namespace {

constexpr std::size_t kSaltLen = 16, kNonceLen = 12, kCheckLen = 16, kTagLen = 16;

// The file: salt ‖ nonce ‖ check ‖ sealed password (with its tag).
struct SavedPasswordRecord {
    IdentObj salt, nonce, check, sealed;

    // Sealing works on stored keys; a saved password is sealed as this one,
    // whose "public key" is the name it belongs to.
    static StoredKey Holder(const std::string& name, bool machine) {
        StoredKey k;
        k.spec = machine ? 1 : 0;
        k.publicKey = IdentObj(name);
        return k;
    }
    static SavedPasswordRecord Of(const StoredKey& k) { return {k.salt, k.nonce, k.check, k.sealed}; }
    StoredKey AsStoredKey(const std::string& name, bool machine) const {
        StoredKey k = Holder(name, machine);
        k.protection = kProtectUserKey;
        k.kdf = Kdf::Pbkdf2Sha256;
        k.iterations = 1;
        k.salt = salt;
        k.nonce = nonce;
        k.check = check;
        k.sealed = sealed;
        return k;
    }

    IdentObj Encode() const { return le::Writer().Put(salt).Put(nonce).Put(check).Put(sealed).Take(); }
    static bool Decode(gost::ByteView file, SavedPasswordRecord& out) {
        try {
            le::Reader r(file);
            SavedPasswordRecord rec;
            rec.salt = gost::ToIdent(r.Take(kSaltLen));
            rec.nonce = gost::ToIdent(r.Take(kNonceLen));
            rec.check = gost::ToIdent(r.Take(kCheckLen));
            if (r.remaining() <= kTagLen) return false;
            rec.sealed = gost::ToIdent(r.Rest());
            out = std::move(rec);
            return true;
        } catch (const le::Error&) {
            return false;
        }
    }
};

std::string SavedFolder() { return UserProviderFolder() + "/saved"; }
std::string SavedPath(const std::string& name, bool machine) {
    return SavedFolder() + "/" + (machine ? "m-" : "u-") + EncodeName(name) + ".pwd";
}

}  // namespace

DWORD SavePassword(const std::string& name, bool machine, const Secret& password) {
    if (!cert::platform::MakeFolders(SavedFolder(), 0700)) return GetLastError();
    StoredKey holder = SavedPasswordRecord::Holder(name, machine);
    Seal(holder, false, nullptr, password.view());
    IdentObj file = SavedPasswordRecord::Of(holder).Encode();
    return cert::platform::WriteFileAtomic(SavedPath(name, machine), file.data(), file.size(), 0600);
}

bool LoadSavedPassword(const std::string& name, bool machine, Secret& password) {
    std::string file;
    SavedPasswordRecord rec;
    if (ReadWhole(SavedPath(name, machine), file) || !SavedPasswordRecord::Decode(gost::View(file), rec)) return false;
    Secret clear;
    if (Unseal(rec.AsStoredKey(name, machine), false, nullptr, clear) != 0) return false;
    password = std::move(clear);
    return true;
}

bool IsPasswordSaved(const std::string& name, bool machine) {
    struct stat st;
    return ::stat(SavedPath(name, machine).c_str(), &st) == 0;
}

void ForgetSavedPassword(const std::string& name, bool machine) { ::unlink(SavedPath(name, machine).c_str()); }

}  // namespace store
}  // namespace vrk
