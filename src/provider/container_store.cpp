// Key containers on disk: one file per container in the key set's folder,
// private keys sealed with AES-256-GCM under a key derived from the key's
// password (PBKDF2-HMAC-SHA-256) or from the key set's own secret. The
// layout is in docs/FORMATS.md, "Key containers".
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include "cert/frame.h"
#include "provider/vrk_internal.h"

namespace vrk {

StoredKey* Container::Find(DWORD spec) {
    for (auto& k : keys)
        if (k.spec == spec) return &k;
    return nullptr;
}
const StoredKey* Container::Find(DWORD spec) const { return const_cast<Container*>(this)->Find(spec); }
const StoredKey* Container::Default() const {
    if (auto* k = Find(AT_SIGNATURE)) return k;
    return Find(AT_KEYEXCHANGE);
}

namespace store {
namespace {

constexpr char kMagic[4] = {'V', 'R', 'K', 'C'};
constexpr DWORD kVersion = 1;
constexpr DWORD kPasswordIterations = 20000;
constexpr std::size_t kSaltLen = 16, kNonceLen = 12, kTagLen = 16, kCheckLen = 16;

enum Tag : WORD {
    kName = 1,
    kCreated = 2,
    kKey = 3,
    kDigest = 0xFFFF,
    // inside kKey
    kSpec = 1,
    kAlg = 2,
    kParamSet = 3,
    kHashParamSet = 4,
    kPublicKey = 5,
    kCertificate = 6,
    kProtection = 7,
    kSalt = 8,
    kIterations = 9,
    kCheck = 10,
    kNonce = 11,
    kSealed = 12,
    kKeyCreated = 13,
    kNotAfter = 14,
    kExportable = 15,
};

void Field(IdentObj& out, WORD tag, const void* p, std::size_t n) {
    BYTE h[6] = {BYTE(tag), BYTE(tag >> 8), BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)};
    out.AddData(h, 6);
    if (n) out.AddData(p, DWORD(n));
}
void Field(IdentObj& out, WORD tag, const IdentObj& v) { Field(out, tag, v.data(), v.size()); }
void Field(IdentObj& out, WORD tag, const std::string& v) { Field(out, tag, v.data(), v.size()); }
void FieldU32(IdentObj& out, WORD tag, DWORD v) {
    IdentObj b;
    PutU32(b, v);
    Field(out, tag, b);
}
void FieldTime(IdentObj& out, WORD tag, const FILETIME& t) {
    IdentObj b;
    PutU32(b, t.dwLowDateTime);
    PutU32(b, t.dwHighDateTime);
    Field(out, tag, b);
}

struct TlvReader {
    const BYTE* p;
    std::size_t n;
    bool Next(WORD& tag, const BYTE*& v, std::size_t& len) {
        if (n == 0) return false;
        if (n < 6) Throw(NTE_KEYSET_ENTRY_BAD);
        tag = WORD(p[0] | p[1] << 8);
        len = GetU32(p + 2);
        if (len > n - 6) Throw(NTE_KEYSET_ENTRY_BAD);
        v = p + 6;
        p += 6 + len;
        n -= 6 + len;
        return true;
    }
};
DWORD AsU32(const BYTE* v, std::size_t len) {
    if (len != 4) Throw(NTE_KEYSET_ENTRY_BAD);
    return GetU32(v);
}
FILETIME AsTime(const BYTE* v, std::size_t len) {
    if (len != 8) Throw(NTE_KEYSET_ENTRY_BAD);
    return FILETIME{GetU32(v), GetU32(v + 4)};
}

std::string EncodeName(const std::string& name) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_' || (c == '.' && !out.empty()))
            out += char(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
bool DecodeName(const std::string& enc, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < enc.size(); ++i) {
        if (enc[i] != '%') {
            name += enc[i];
            continue;
        }
        if (i + 2 >= enc.size()) return false;
        unsigned v = 0;
        for (int k = 1; k <= 2; ++k) {
            char c = enc[i + k];
            v = v * 16 + unsigned(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        name += char(v);
        i += 2;
    }
    return true;
}

// The user's own provider folder: saved passwords live there.
std::string UserProviderFolder() {
    char path[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, path, CSIDL_LOCAL_APPDATA, TRUE))
        Throw(GetLastError() ? GetLastError() : NTE_FAIL);
    return std::string(path) + "/Varnok/Telvar CSP";
}

// An exclusive lock on the key set for read-modify-write cycles.
class KeySetLock {
public:
    explicit KeySetLock(bool machine) {
        std::string path = KeySetFolder(machine) + "/.lock";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) Throw(cert::platform::ErrnoToWinError(errno));
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~KeySetLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    KeySetLock(const KeySetLock&) = delete;
    KeySetLock& operator=(const KeySetLock&) = delete;

private:
    int m_fd = -1;
};

bool ReadWhole(const std::string& path, IdentObj& out, DWORD& err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = cert::platform::ErrnoToWinError(errno);
        return false;
    }
    out.Empty();
    BYTE buf[8192];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            err = cert::platform::ErrnoToWinError(errno);
            ::close(fd);
            return false;
        }
        if (r == 0) break;
        out.AddData(buf, DWORD(r));
    }
    ::close(fd);
    return true;
}

// The key set's own 32-byte secret, created once (first writer wins).
gost::Bytes KeySetSecret(bool machine) {
    std::string path = KeySetFolder(machine) + "/.secret";
    IdentObj have;
    DWORD err = 0;
    if (!ReadWhole(path, have, err)) {
        gost::Bytes fresh = gost::RandomBytes(32);
        std::string tmp = path + ".new." + std::to_string(::getpid()) + "." + std::to_string(GetCurrentThreadId());
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) Throw(cert::platform::ErrnoToWinError(errno));
        bool ok = ::write(fd, fresh.data(), fresh.size()) == ssize_t(fresh.size()) && ::fsync(fd) == 0;
        ::close(fd);
        gost::Cleanse(fresh);
        if (ok) (void)::link(tmp.c_str(), path.c_str());  // fails when another process was first
        ::unlink(tmp.c_str());
        if (!ReadWhole(path, have, err)) Throw(err);
    }
    if (have.size() != 32) Throw(NTE_KEYSET_ENTRY_BAD);
    gost::Bytes s(have.begin(), have.end());
    have.Wipe();
    return s;
}

struct Derived {
    gost::Bytes key;    // 32
    gost::Bytes check;  // 16
    ~Derived() {
        gost::Cleanse(key);
        gost::Cleanse(check);
    }
};
void Derive(gost::ByteView secret, gost::ByteView salt, DWORD iterations, Derived& d) {
    BYTE out[48];
    if (!PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(secret.data()), int(secret.size()), salt.data(),
                           int(salt.size()), int(iterations), EVP_sha256(), sizeof out, out))
        Throw(NTE_FAIL);
    d.key.assign(out, out + 32);
    d.check.assign(out + 32, out + 48);
    OPENSSL_cleanse(out, sizeof out);
}

// What the seal is bound to: a sealed key cannot be moved to another slot
// or public key unnoticed.
IdentObj Aad(const StoredKey& k) {
    IdentObj a;
    PutU32(a, k.spec);
    PutU32(a, k.alg);
    a.AddData(k.publicKey);
    return a;
}

bool Aead(bool enc, gost::ByteView key, gost::ByteView nonce, const IdentObj& aad, const BYTE* in, std::size_t n,
          BYTE* out, BYTE* tag) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    if (!c) Throw(NTE_NO_MEMORY);
    int len = 0;
    bool ok = EVP_CipherInit_ex(c, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, enc ? 1 : 0) &&
              EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_IVLEN, int(nonce.size()), nullptr) &&
              EVP_CipherInit_ex(c, nullptr, nullptr, key.data(), nonce.data(), enc ? 1 : 0) &&
              EVP_CipherUpdate(c, nullptr, &len, aad.data(), int(aad.size())) &&
              EVP_CipherUpdate(c, out, &len, in, int(n));
    if (ok && !enc) ok = EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, int(kTagLen), tag);
    if (ok) ok = EVP_CipherFinal_ex(c, out + len, &len);
    if (ok && enc) ok = EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, int(kTagLen), tag);
    EVP_CIPHER_CTX_free(c);
    return ok;
}

std::string SavedPath(const std::string& name, bool machine) {
    return UserProviderFolder() + "/saved/" + (machine ? "m-" : "u-") + EncodeName(name) + ".pwd";
}

}  // namespace

std::string KeySetFolder(bool machine) {
    // Every key call asks for the folder; work it out once per home.
    static std::mutex mu;
    static std::map<std::string, std::string> known;
    std::string id = (machine ? "m|" : "u|") + cert::platform::CertHome();
    std::lock_guard<std::mutex> lock(mu);
    auto it = known.find(id);
    if (it != known.end()) return it->second;
    char path[MAX_PATH];
    if (!GetCommonPath(machine ? 3 : 2, path, sizeof path, true)) Throw(NTE_BAD_KEYSET);
    std::string f = cert::platform::NativePath(path);
    if (!cert::platform::MakeFolders(f, 0700)) Throw(GetLastError());
    known[id] = f;
    return f;
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name.find('\0') == std::string::npos;
}

std::string ContainerPath(const std::string& name, bool machine) {
    return KeySetFolder(machine) + "/" + EncodeName(name) + ".key";
}

bool Exists(const std::string& name, bool machine) {
    struct stat st;
    return ::stat(ContainerPath(name, machine).c_str(), &st) == 0;
}

std::string Stamp(const std::string& name, bool machine) {
    struct stat st;
    if (::stat(ContainerPath(name, machine).c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::vector<std::string> List(bool machine) {
    std::vector<std::string> names;
    std::string folder = KeySetFolder(machine);
    DIR* d = ::opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string f = e->d_name;
        if (f.size() < 5 || f[0] == '.' || f.compare(f.size() - 4, 4, ".key") != 0) continue;
        std::string name;
        if (DecodeName(f.substr(0, f.size() - 4), name)) names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

IdentObj Encode(const Container& c) {
    IdentObj out;
    out.AddData(kMagic, 4);
    PutU32(out, kVersion);
    Field(out, kName, c.name);
    FieldTime(out, kCreated, c.created);
    for (const auto& k : c.keys) {
        IdentObj f;
        FieldU32(f, kSpec, k.spec);
        FieldU32(f, kAlg, k.alg);
        Field(f, kParamSet, k.paramSet);
        Field(f, kHashParamSet, k.hashParamSet);
        Field(f, kPublicKey, k.publicKey);
        if (!k.certificate.IsEmpty()) Field(f, kCertificate, k.certificate);
        FieldU32(f, kProtection, k.protection);
        Field(f, kSalt, k.salt);
        FieldU32(f, kIterations, k.iterations);
        Field(f, kCheck, k.check);
        Field(f, kNonce, k.nonce);
        Field(f, kSealed, k.sealed);
        FieldTime(f, kKeyCreated, k.created);
        FieldTime(f, kNotAfter, k.notAfter);
        FieldU32(f, kExportable, k.exportable);
        Field(out, kKey, f);
    }
    BYTE digest[SHA256_DIGEST_LENGTH];
    SHA256(out.data(), out.size(), digest);
    Field(out, kDigest, digest, sizeof digest);
    return out;
}

DWORD Decode(const IdentObj& file, Container& out) {
    try {
        out = Container{};
        const std::size_t tail = 6 + SHA256_DIGEST_LENGTH;
        if (file.size() < 8 + tail || std::memcmp(file.data(), kMagic, 4) != 0) return NTE_KEYSET_ENTRY_BAD;
        if (GetU32(file.data() + 4) != kVersion) return NTE_BAD_VER;
        std::size_t body = file.size() - tail;
        const BYTE* t = file.data() + body;
        BYTE digest[SHA256_DIGEST_LENGTH];
        SHA256(file.data(), body, digest);
        if (t[0] != 0xFF || t[1] != 0xFF || GetU32(t + 2) != SHA256_DIGEST_LENGTH ||
            CRYPTO_memcmp(t + 6, digest, sizeof digest) != 0)
            return NTE_KEYSET_ENTRY_BAD;
        TlvReader r{file.data() + 8, body - 8};
        WORD tag;
        const BYTE* v;
        std::size_t n;
        while (r.Next(tag, v, n)) {
            if (tag == kName)
                out.name.assign(reinterpret_cast<const char*>(v), n);
            else if (tag == kCreated)
                out.created = AsTime(v, n);
            else if (tag == kKey) {
                StoredKey k;
                TlvReader kr{v, n};
                WORD kt;
                const BYTE* kv;
                std::size_t kn;
                while (kr.Next(kt, kv, kn)) {
                    switch (kt) {
                        case kSpec:
                            k.spec = AsU32(kv, kn);
                            break;
                        case kAlg:
                            k.alg = AsU32(kv, kn);
                            break;
                        case kParamSet:
                            k.paramSet.assign(reinterpret_cast<const char*>(kv), kn);
                            break;
                        case kHashParamSet:
                            k.hashParamSet.assign(reinterpret_cast<const char*>(kv), kn);
                            break;
                        case kPublicKey:
                            k.publicKey.Assign(kv, DWORD(kn));
                            break;
                        case kCertificate:
                            k.certificate.Assign(kv, DWORD(kn));
                            break;
                        case kProtection:
                            k.protection = AsU32(kv, kn);
                            break;
                        case kSalt:
                            k.salt.Assign(kv, DWORD(kn));
                            break;
                        case kIterations:
                            k.iterations = AsU32(kv, kn);
                            break;
                        case kCheck:
                            k.check.Assign(kv, DWORD(kn));
                            break;
                        case kNonce:
                            k.nonce.Assign(kv, DWORD(kn));
                            break;
                        case kSealed:
                            k.sealed.Assign(kv, DWORD(kn));
                            break;
                        case kKeyCreated:
                            k.created = AsTime(kv, kn);
                            break;
                        case kNotAfter:
                            k.notAfter = AsTime(kv, kn);
                            break;
                        case kExportable:
                            k.exportable = AsU32(kv, kn);
                            break;
                        default:
                            break;  // fields of later versions
                    }
                }
                if ((k.spec != AT_KEYEXCHANGE && k.spec != AT_SIGNATURE) || out.Find(k.spec))
                    return NTE_KEYSET_ENTRY_BAD;
                out.keys.push_back(std::move(k));
            }
        }
        return out.name.empty() ? NTE_KEYSET_ENTRY_BAD : 0;
    } catch (const Fail& f) {
        return f.code;
    }
}

DWORD Load(const std::string& name, bool machine, Container& out) {
    if (!ValidName(name)) return NTE_BAD_KEYSET;
    IdentObj file;
    DWORD err = 0;
    if (!ReadWhole(ContainerPath(name, machine), file, err))
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? NTE_BAD_KEYSET : err;
    DWORD rc = Decode(file, out);
    if (rc == 0 && out.name != name) rc = NTE_KEYSET_ENTRY_BAD;
    out.machine = machine;
    return rc;
}

namespace {
DWORD Write(const Container& c) {
    IdentObj file = Encode(c);
    std::string path = ContainerPath(c.name, c.machine);
    DWORD rc = cert::platform::WriteFileAtomic(path, file.data(), file.size(), 0600);
    if (rc == ERROR_PATH_NOT_FOUND || rc == ERROR_FILE_NOT_FOUND) {
        // The folder went away since it was made: make it again.
        if (!cert::platform::MakeFolders(path.substr(0, path.rfind('/')), 0700)) return GetLastError();
        rc = cert::platform::WriteFileAtomic(path, file.data(), file.size(), 0600);
    }
    return rc;
}
}  // namespace

DWORD Create(const std::string& name, bool machine) {
    if (!ValidName(name)) return NTE_BAD_KEYSET_PARAM;
    KeySetLock lock(machine);
    if (Exists(name, machine)) return NTE_EXISTS;
    Container c;
    c.name = name;
    c.machine = machine;
    GetSystemTimeAsFileTime(&c.created);
    return Write(c);
}

DWORD Remove(const std::string& name, bool machine) {
    if (!ValidName(name)) return NTE_BAD_KEYSET;
    KeySetLock lock(machine);
    if (::unlink(ContainerPath(name, machine).c_str()) != 0)
        return errno == ENOENT ? NTE_BAD_KEYSET : cert::platform::ErrnoToWinError(errno);
    return 0;
}

DWORD Update(const std::string& name, bool machine, const std::function<DWORD(Container&)>& change) {
    KeySetLock lock(machine);
    Container c;
    if (DWORD rc = Load(name, machine, c)) return rc;
    if (DWORD rc = change(c)) return rc;
    return Write(c);
}

DWORD Seal(StoredKey& key, bool machine, const std::string* password, gost::ByteView secret) {
    gost::Bytes base;
    if (password) {
        base.assign(password->begin(), password->end());
        key.protection = kProtectPassword;
        key.iterations = kPasswordIterations;
    } else {
        base = KeySetSecret(machine);
        key.protection = kProtectUserKey;
        key.iterations = 1;
    }
    key.salt = gost::ToIdent(gost::RandomBytes(kSaltLen));
    key.nonce = gost::ToIdent(gost::RandomBytes(kNonceLen));
    Derived d;
    Derive(base, gost::View(key.salt), key.iterations, d);
    gost::Cleanse(base);
    key.check = gost::ToIdent(d.check);
    key.sealed.Alloc(DWORD(secret.size() + kTagLen));
    if (!Aead(true, d.key, gost::View(key.nonce), Aad(key), secret.data(), secret.size(), key.sealed.data(),
              key.sealed.data() + secret.size()))
        return NTE_FAIL;
    return 0;
}

DWORD Unseal(const StoredKey& key, bool machine, const std::string* password, gost::Bytes& secret) {
    gost::Bytes base;
    if (key.protection & kProtectPassword) {
        if (!password) return ERROR_CANCELLED;
        base.assign(password->begin(), password->end());
    } else if (key.protection & kProtectUserKey) {
        base = KeySetSecret(machine);
    } else {
        return NTE_KEYSET_ENTRY_BAD;
    }
    if (key.sealed.size() <= kTagLen || key.salt.size() != kSaltLen || key.nonce.size() != kNonceLen ||
        key.iterations == 0 || key.iterations > 10000000)
        return NTE_KEYSET_ENTRY_BAD;
    Derived d;
    Derive(base, gost::View(key.salt), key.iterations, d);
    gost::Cleanse(base);
    if (key.check.size() != kCheckLen || CRYPTO_memcmp(key.check.data(), d.check.data(), kCheckLen) != 0)
        return (key.protection & kProtectPassword) ? VRK_E_WRONG_PASSWORD : NTE_KEYSET_ENTRY_BAD;
    std::size_t n = key.sealed.size() - kTagLen;
    secret.assign(n, 0);
    BYTE tag[kTagLen];
    std::memcpy(tag, key.sealed.data() + n, kTagLen);
    if (!Aead(false, d.key, gost::View(key.nonce), Aad(key), key.sealed.data(), n, secret.data(), tag)) {
        gost::Cleanse(secret);
        return NTE_KEYSET_ENTRY_BAD;
    }
    return 0;
}

DWORD SavePassword(const std::string& name, bool machine, const std::string& password) {
    std::string path = SavedPath(name, machine);
    if (!cert::platform::MakeFolders(UserProviderFolder() + "/saved", 0700)) return GetLastError();
    StoredKey holder;
    holder.spec = machine ? 1 : 0;
    holder.publicKey = IdentObj(name);
    if (DWORD rc = Seal(holder, false, nullptr, gost::View(password))) return rc;
    IdentObj file;
    file.AddData(holder.salt);
    file.AddData(holder.nonce);
    file.AddData(holder.check);
    file.AddData(holder.sealed);
    return cert::platform::WriteFileAtomic(path, file.data(), file.size(), 0600);
}

bool LoadSavedPassword(const std::string& name, bool machine, std::string& password) {
    IdentObj file;
    DWORD err = 0;
    if (!ReadWhole(SavedPath(name, machine), file, err)) return false;
    if (file.size() <= kSaltLen + kNonceLen + kCheckLen + kTagLen) return false;
    StoredKey holder;
    holder.spec = machine ? 1 : 0;
    holder.publicKey = IdentObj(name);
    holder.protection = kProtectUserKey;
    holder.iterations = 1;
    const BYTE* p = file.data();
    holder.salt.Assign(p, kSaltLen);
    holder.nonce.Assign(p + kSaltLen, kNonceLen);
    holder.check.Assign(p + kSaltLen + kNonceLen, kCheckLen);
    std::size_t off = kSaltLen + kNonceLen + kCheckLen;
    holder.sealed.Assign(p + off, DWORD(file.size() - off));
    file.Wipe();
    gost::Bytes clear;
    if (Unseal(holder, false, nullptr, clear) != 0) return false;
    password.assign(clear.begin(), clear.end());
    gost::Cleanse(clear);
    return true;
}

bool IsPasswordSaved(const std::string& name, bool machine) {
    struct stat st;
    return ::stat(SavedPath(name, machine).c_str(), &st) == 0;
}

void ForgetSavedPassword(const std::string& name, bool machine) { ::unlink(SavedPath(name, machine).c_str()); }

}  // namespace store
}  // namespace vrk
