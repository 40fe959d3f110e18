// What every command that opens a key shares: the key options
// (--container NAME [--machine] [--password-file F | --no-password]), the
// key algorithms and their parameter sets as the OID registry gives them,
// and opening or creating a container without ever replacing a key
// silently.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "cert/ctfuser.h"
#include "cert/ipc.h"
#include "cert/vrkscapi.h"
#include "cli.h"
#include "io.h"

namespace ctf {

struct KeyAlgorithm {
    const char* name;   // the tool's name: gost2001, gost12-256, gost12-512
    const char* oid;    // public-key algorithm OID
    const char* dhOid;  // the key-agreement OID the registry lists on its own
    DWORD provType;     // VRK_PROV_TYPE_*
    DWORD bits;         // private key length
    ALG_ID signAlg;
    ALG_ID exchangeAlg;
};
const std::vector<KeyAlgorithm>& KeyAlgorithms();
// UsageError naming the choices when `name` is none of them.
const KeyAlgorithm& KeyAlgorithmByName(const std::string& name);
// The tool's name of a key ALG_ID ("gost2001", "rsa", ...; hex otherwise).
std::string KeyAlgName(ALG_ID alg);

// The parameter-set OIDs the OID registry gives for an algorithm OID
// (empty when it gives none).
std::vector<std::string> RegistryParamSets(const char* algorithmOid);
// The parameter-set OIDs the OID registry gives for keys of `alg` and
// `spec`, in its order: `ctf key new --paramset` takes exactly these.
std::vector<std::string> ParamSets(const KeyAlgorithm& alg, DWORD spec);
// The short name of a parameter-set OID ("A", "XA", "TCA", ...), else the OID.
std::string ParamSetName(const std::string& oid);
// An OID or short name among ParamSets(alg, spec); UsageError otherwise.
std::string ParamSetOid(const KeyAlgorithm& alg, DWORD spec, const std::string& nameOrOid);

// "signature" / "exchange" (--spec), and back.
DWORD KeySpecByName(const std::string& name);
const char* KeySpecName(DWORD spec);

// Where a password comes from: a file, none (--no-password), or, without
// either, the terminal.
struct PasswordSource {
    std::optional<std::string> file;
    bool none = false;
};
// Both options together are refused.
PasswordSource ReadPasswordSource(Args& args, const std::string& fileOption, const std::string& noneFlag);
// The password itself (nullopt for none); a terminal is asked only here, so
// call it after Args::Done(). `isNew`: a typed password is asked twice.
std::optional<cert::Secret> TakePassword(const PasswordSource& from, const std::string& prompt, bool isNew);
// The password, or an empty one for none (as the library's key calls take it).
const cert::Secret& OrNone(const std::optional<cert::Secret>& password);

// The key options, read the same way by every command that opens a key.
struct KeyOptions {
    std::string container;  // never empty
    bool machine = false;
    PasswordSource passwordFrom;
    DWORD acquireFlags() const { return CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0); }
};
KeyOptions ReadKeyOptions(Args& args);
// Hands the password to the context for both key specs.
void SetPassword(HCRYPTPROV prov, const KeyOptions& k, const std::optional<cert::Secret>& password);

// A context on the container, which must exist: UsageError "no container"
// otherwise.
VRKSCApi::CryptProvider OpenContainer(const KeyOptions& k, DWORD provType);
// A context on the container, made when missing. The open comes first
// (without CRYPT_NEWKEYSET, so an existing container is never "made"
// again); when another process makes it between the open and the
// creation, the creation fails with NTE_EXISTS and the open is tried again.
VRKSCApi::CryptProvider OpenOrCreateContainer(const KeyOptions& k, DWORD provType, bool& created);

// Throws the error of a failed key call in the user's terms: no container,
// wrong or missing password, no such key; `doing` says what failed else.
[[noreturn]] void ThrowKeyError(DWORD winError, const KeyOptions& k, bool hadPassword, const std::string& doing);

// Every key of the user's (or the machine's) key set, a row per key. A key
// set that cannot be read fails: exit 2, naming the home, when the home
// cannot hold one (not a folder, cannot be made or entered), else 3.
std::vector<vrk::ContainerKeyRow> ListKeys(bool machine);
// The same failure for the status of reading the key set.
[[noreturn]] void ThrowKeySetError(int status, bool machine);

// The container's description, read without its password: exit 2 with the
// provider's status when there is no such container, 3 (with its status)
// when it is there but cannot be read.
CCTFContainer DescribeContainer(const KeyOptions& k);

// Refuses (exit 2) when the container already holds a key of `spec` and
// `replace` is not set, naming container, key spec and algorithm.
void RefuseToReplace(const KeyOptions& k, DWORD spec, bool replace);

// Serialises the tool's check-then-write on one container between
// processes, so that two runs cannot both find the slot empty and both
// fill it. Taken before opening, released at the end of the command.
class ContainerLock {
public:
    explicit ContainerLock(const KeyOptions& k);

private:
    IPC::CReadWriteLock lock_;
    IPC::CWriteLocker hold_;
};

// Gives a certificate the key-provider property of our provider: the
// container's name and the key spec. False with the last error.
bool SetKeyProvider(CCTFCertContext& certificate, const std::string& container, DWORD keySpec);

// A status of the user's key calls (CCTFUser, CTFCopyKeys) in the user's
// terms: a Windows error as ThrowKeyError says it, any other with its place.
[[noreturn]] void ThrowKeyStatus(int status, const CTOOString& place, const KeyOptions& k, bool hadPassword,
                                 const std::string& doing);

// Answers the provider's password prompts (VRKSetPasswordPrompt) while it
// lives, for a command whose library call opens keys itself: a key opened
// takes the key options' password (asked once, then kept; none cancels);
// a new key takes the password of `forNewKeys` when given, else the one
// that opened (none when no key wanted one).
class PasswordPrompt {
public:
    explicit PasswordPrompt(const KeyOptions& k, std::optional<PasswordSource> forNewKeys = std::nullopt);
    ~PasswordPrompt();
    PasswordPrompt(const PasswordPrompt&) = delete;
    PasswordPrompt& operator=(const PasswordPrompt&) = delete;
    // Throws what a prompt could not do (an unreadable password file), to be
    // called after the library call that asked.
    void Rethrow() const;
    // Whether a password was given to open a key.
    bool GaveOpenPassword() const { return open_ && open_->has_value(); }

private:
    static BOOL Answer(const char* container, DWORD keySpec, DWORD purpose, cert::Secret& password, void* self);

    KeyOptions k_;
    std::optional<PasswordSource> forNewKeys_;
    std::optional<std::optional<cert::Secret>> open_, fresh_;
    std::exception_ptr failure_;
};

// Opens the container of `k` in `user` to sign with one of its keys.
// `certificate` is the signer's, or empty to take the one bound to the
// container's key. Gives which of the container's keys (AT_SIGNATURE or
// AT_KEYEXCHANGE) has the certificate's public key, and whether a password
// was given. A wrong password, no
// certificate and no such key are user errors; `prompt` answers the
// provider's questions meanwhile.
struct SigningKey {
    DWORD spec = 0;
    bool hadPassword = false;
};
SigningKey OpenSigningKey(const KeyOptions& k, const PasswordPrompt& prompt, CCTFUser& user,
                          CCTFCertContext& certificate);

}  // namespace ctf
