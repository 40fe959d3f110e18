#include "keys.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <sys/stat.h>

#include "cert/oid.h"
#include "cert/oids.h"

namespace ctf {

namespace {

struct ParamSetShortName {
    const char* oid;
    const char* name;
};

// The names the GOST engine and its users know the sets by. The 512-bit
// sets reuse A, B and C: which family is meant follows from the algorithm.
const ParamSetShortName kParamSetNames[] = {
    {cert::oids::kSign2001ParamSetA, "A"},       {cert::oids::kSign2001ParamSetB, "B"},
    {cert::oids::kSign2001ParamSetC, "C"},       {cert::oids::kExchange2001ParamSetA, "XA"},
    {cert::oids::kExchange2001ParamSetB, "XB"},  {cert::oids::kSign2012_256ParamSetA, "TCA"},
    {cert::oids::kSign2012_256ParamSetB, "TCB"}, {cert::oids::kSign2012_256ParamSetC, "TCC"},
    {cert::oids::kSign2012_256ParamSetD, "TCD"}, {cert::oids::kSign2012_512ParamSetTest, "TEST"},
    {cert::oids::kSign2012_512ParamSetA, "A"},   {cert::oids::kSign2012_512ParamSetB, "B"},
    {cert::oids::kSign2012_512ParamSetC, "C"},
};

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

const std::vector<KeyAlgorithm>& KeyAlgorithms() {
    static const std::vector<KeyAlgorithm> algs = {
        {"gost2001", cert::oids::kGostR3410_2001, cert::oids::kGostR3410_2001DH, VRK_PROV_TYPE_GOST, 256,
         CALG_GOST_R3410_2001, CALG_GOST_R3410_2001_DH},
        {"gost12-256", cert::oids::kGostR3410_2012_256, cert::oids::kGostR3410_2012_256DH, VRK_PROV_TYPE_GOST_2012_256,
         256, CALG_GOST_R3410_2012_256, CALG_GOST_R3410_2012_256_DH},
        {"gost12-512", cert::oids::kGostR3410_2012_512, cert::oids::kGostR3410_2012_512DH, VRK_PROV_TYPE_GOST_2012_512,
         512, CALG_GOST_R3410_2012_512, CALG_GOST_R3410_2012_512_DH},
    };
    return algs;
}

const KeyAlgorithm& KeyAlgorithmByName(const std::string& name) {
    std::string names;
    for (const auto& a : KeyAlgorithms()) {
        if (name == a.name) return a;
        names += (names.empty() ? "" : ", ") + std::string(a.name);
    }
    throw UsageError("unknown key algorithm " + Quoted(name) + " (--alg is one of " + names + ")");
}

std::string KeyAlgName(ALG_ID alg) {
    for (const auto& a : KeyAlgorithms())
        if (alg == a.signAlg || alg == a.exchangeAlg) return a.name;
    if (alg == CALG_RSA_SIGN || alg == CALG_RSA_KEYX) return "rsa";
    if (!alg) return "-";
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", alg);
    return b;
}

std::vector<std::string> RegistryParamSets(const char* algorithmOid) {
    std::vector<std::string> out;
    try {
        for (const auto& p : CTFGetSupportedParams(algorithmOid)) out.push_back(p.str());
    } catch (const XTOOStatus&) {
        // the registry lists no sets of its own for this OID
    }
    return out;
}

std::vector<std::string> ParamSets(const KeyAlgorithm& alg, DWORD spec) {
    std::vector<std::string> sets = RegistryParamSets(alg.oid);
    // Exchange keys also take the sets the registry gives the key-agreement OID.
    if (spec == AT_KEYEXCHANGE)
        for (const auto& s : RegistryParamSets(alg.dhOid))
            if (std::find(sets.begin(), sets.end(), s) == sets.end()) sets.push_back(s);
    return sets;
}

std::string ParamSetName(const std::string& oid) {
    for (const auto& n : kParamSetNames)
        if (oid == n.oid) return n.name;
    return oid;
}

std::string ParamSetOid(const KeyAlgorithm& alg, DWORD spec, const std::string& nameOrOid) {
    std::string choices;
    for (const auto& oid : ParamSets(alg, spec)) {
        if (nameOrOid == oid || Upper(nameOrOid) == ParamSetName(oid)) return oid;
        choices += (choices.empty() ? "" : ", ") + ParamSetName(oid);
    }
    throw UsageError("unknown parameter set " + Quoted(nameOrOid) + " for " + KeySpecName(spec) + " keys of " +
                     alg.name + " (one of " + choices + ", or its OID)");
}

DWORD KeySpecByName(const std::string& name) {
    if (name == "signature") return AT_SIGNATURE;
    if (name == "exchange") return AT_KEYEXCHANGE;
    throw UsageError("unknown key spec " + Quoted(name) + " (--spec is signature or exchange)");
}

const char* KeySpecName(DWORD spec) {
    return spec == AT_KEYEXCHANGE ? "exchange" : spec == AT_SIGNATURE ? "signature" : "-";
}

PasswordSource ReadPasswordSource(Args& args, const std::string& fileOption, const std::string& noneFlag) {
    PasswordSource from;
    from.file = args.Option(fileOption);
    from.none = args.Flag(noneFlag);
    if (from.file && from.none) throw UsageError("--" + fileOption + " and --" + noneFlag + " exclude each other");
    return from;
}

std::optional<cert::Secret> TakePassword(const PasswordSource& from, const std::string& prompt, bool isNew) {
    if (from.none) return std::nullopt;
    if (from.file) return ReadPasswordFile(*from.file);
    return AskPassword(prompt, isNew);
}

const cert::Secret& OrNone(const std::optional<cert::Secret>& password) {
    static const cert::Secret none;
    return password ? *password : none;
}

KeyOptions ReadKeyOptions(Args& args) {
    KeyOptions k;
    k.container = args.Required("container");
    if (k.container.empty()) throw UsageError("--container is empty: name the container");
    k.machine = args.Flag("machine");
    k.passwordFrom = ReadPasswordSource(args, "password-file", "no-password");
    return k;
}

void SetPassword(HCRYPTPROV prov, const KeyOptions& k, const std::optional<cert::Secret>& password) {
    if (!password) return;
    for (DWORD param : {PP_SIGNATURE_PIN, PP_KEYEXCHANGE_PIN})
        if (!VRKSetProvParam(prov, param, password->c_str(), 0))
            ThrowWinError(GetLastError(), "cannot hand the password to container " + Quoted(k.container));
}

VRKSCApi::CryptProvider OpenContainer(const KeyOptions& k, DWORD provType) {
    VRKSCApi::CryptProvider p;
    if (!VRKAcquireContext(&p, k.container.c_str(), nullptr, provType, k.acquireFlags())) {
        const DWORD e = GetLastError();
        if (e == NTE_BAD_KEYSET || e == NTE_KEYSET_NOT_DEF)
            ThrowWinError(
                e, std::string("no container ") + Quoted(k.container) + (k.machine ? " among the machine's" : ""));
        ThrowWinError(e, "cannot open container " + Quoted(k.container));
    }
    return p;
}

VRKSCApi::CryptProvider OpenOrCreateContainer(const KeyOptions& k, DWORD provType, bool& created) {
    created = false;
    VRKSCApi::CryptProvider p;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (VRKAcquireContext(&p, k.container.c_str(), nullptr, provType, k.acquireFlags())) return p;
        DWORD e = GetLastError();
        if (e != NTE_BAD_KEYSET && e != NTE_KEYSET_NOT_DEF)
            ThrowWinError(e, "cannot open container " + Quoted(k.container));
        if (VRKAcquireContext(&p, k.container.c_str(), nullptr, provType, k.acquireFlags() | CRYPT_NEWKEYSET)) {
            created = true;
            return p;
        }
        e = GetLastError();
        // Another process made it between our open and our creation: open
        // what it made.
        if (e != NTE_EXISTS) ThrowWinError(e, "cannot make container " + Quoted(k.container));
    }
    ThrowWinError(NTE_BAD_KEYSET, "container " + Quoted(k.container) + " comes and goes: try again");
}

void ThrowKeyError(DWORD winError, const KeyOptions& k, bool hadPassword, const std::string& doing) {
    const std::string c = Quoted(k.container) + (k.machine ? " (machine)" : "");
    switch (winError) {
        case NTE_BAD_KEYSET_PARAM:
        case ERROR_CANCELLED:  // a key wanted a password and none could be asked
            ThrowWinError(winError, hadPassword ? "wrong password for container " + c
                                                : "container " + c + " wants its password (--password-file F)");
        case NTE_BAD_KEYSET:
        case NTE_KEYSET_NOT_DEF:
            ThrowWinError(winError, "no container " + c);
        case NTE_NO_KEY:
            ThrowWinError(winError, "container " + c + " holds no such key");
    }
    ThrowWinError(winError, doing + " (container " + c + ")");
}

std::vector<vrk::ContainerKeyRow> ListKeys(bool machine) {
    std::vector<vrk::ContainerKeyRow> rows;
    if (vrk::ListContainerKeys(machine, rows)) return rows;
    ThrowKeySetError(WinErr2ToolsErr(GetLastError()), machine);
}

void ThrowKeySetError(int status, bool machine) {
    const std::string keySet = machine ? "the machine's key set" : "the user's key set";
    // The file errors that have a status of their own, back to their codes.
    DWORD e = ToolsErr2WinErr(status);
    if (!e)
        e = status == TOOERR_NOFILE   ? ERROR_PATH_NOT_FOUND
            : status == TOOERR_ACCESS ? ERROR_ACCESS_DENIED
            : status == TOOERR_EXISTS ? ERROR_ALREADY_EXISTS
                                      : 0;
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
        case ERROR_ACCESS_DENIED:
        case ERROR_ALREADY_EXISTS: {
            // The home is where the user (--home, $CERT_HOME) put it.
            const std::string home = cert::platform::CertHome();
            struct stat st {};
            const bool notFolder = ::stat(home.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
            throw UsageError("the home " + home + " cannot hold " + keySet + ": " +
                                 (notFolder ? "it is not a folder" : FileErrorText(e)),
                             status);
        }
    }
    throw Error(kFailure, "cannot read " + keySet, status);
}

CCTFContainer DescribeContainer(const KeyOptions& k) {
    CCTFContainer c;
    int status = 0;
    CTOOString place;
    if (c.Load(k.container.c_str(), k.machine, &status, &place)) return c;
    const DWORD e = ToolsErr2WinErr(status);
    const std::string name = Quoted(k.container) + (k.machine ? " (machine)" : "");
    if (e == NTE_BAD_KEYSET || e == NTE_KEYSET_NOT_DEF)
        throw Error(kUsage, "no container " + name, status, place.str());
    throw Error(kFailure, "container " + name + " cannot be read", status, place.str());
}

void RefuseToReplace(const KeyOptions& k, DWORD spec, bool replace) {
    if (replace) return;
    for (const auto& row : ListKeys(k.machine)) {
        if (row.name != k.container) continue;
        if (row.damaged)
            throw UsageError("container " + Quoted(k.container) +
                             " cannot be read; --replace makes a new key in it all the same");
        if (row.keySpec == spec)
            throw UsageError("container " + Quoted(k.container) + " already holds a " + KeySpecName(spec) + " key (" +
                             KeyAlgName(row.alg) + "); give --replace to replace it");
    }
}

ContainerLock::ContainerLock(const KeyOptions& k) try
    : lock_(("ctf key " + std::string(k.machine ? "machine " : "user ") + k.container).c_str()), hold_(lock_) {
} catch (const XTOOStatus& st) {
    throw Error(ExitForStatus(st.Status()),
                "cannot lock container " + Quoted(k.container) + " under the home " + cert::platform::CertHome(),
                st.Status());
}

bool SetKeyProvider(CCTFCertContext& certificate, const std::string& container, DWORD keySpec) {
    std::u16string wideContainer, wideProvider;
    if (!TOOUtf8ToUtf16(container, wideContainer) || !TOOUtf8ToUtf16(VRK_PROV_GOST, wideProvider)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return false;
    }
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wideContainer.data();
    info.pwszProvName = wideProvider.data();
    info.dwProvType = VRK_PROV_TYPE_GOST;
    info.dwKeySpec = keySpec;
    return certificate.CCTFSetContextProperty(CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

void ThrowKeyStatus(int status, const CTOOString& place, const KeyOptions& k, bool hadPassword,
                    const std::string& doing) {
    const DWORD win = ToolsErr2WinErr(status);
    if (win) ThrowKeyError(win, k, hadPassword, doing);
    throw Error(ExitForStatus(status), doing + " (container " + Quoted(k.container) + ")", status, place.str());
}

PasswordPrompt::PasswordPrompt(const KeyOptions& k, std::optional<PasswordSource> forNewKeys)
    : k_(k), forNewKeys_(std::move(forNewKeys)) {
    // Files are read (and refused) before the library runs; only the
    // terminal waits until a key asks.
    if (k_.passwordFrom.file || k_.passwordFrom.none) open_ = TakePassword(k_.passwordFrom, "", false);
    if (forNewKeys_ && (forNewKeys_->file || forNewKeys_->none)) fresh_ = TakePassword(*forNewKeys_, "", true);
    VRKSetPasswordPrompt(&PasswordPrompt::Answer, this);
}

PasswordPrompt::~PasswordPrompt() { VRKSetPasswordPrompt(nullptr, nullptr); }

void PasswordPrompt::Rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
}

BOOL PasswordPrompt::Answer(const char* container, DWORD, DWORD purpose, cert::Secret& password, void* self) {
    auto& me = *static_cast<PasswordPrompt*>(self);
    // Nothing may leave into the provider: a failure is kept for Rethrow
    // and the prompt counts as cancelled.
    try {
        if (purpose == VRK_PROMPT_NEW_KEY) {
            if (me.forNewKeys_) {
                if (!me.fresh_) me.fresh_ = TakePassword(*me.forNewKeys_, "Password for the keys of the copy", true);
                password = OrNone(*me.fresh_);
                return TRUE;
            }
            password = me.open_ ? OrNone(*me.open_) : cert::Secret();
            return TRUE;
        }
        if (!me.open_)
            me.open_ =
                TakePassword(me.k_.passwordFrom, "Password of container " + Quoted(container ? container : ""), false);
        if (!*me.open_) return FALSE;
        password = **me.open_;
        return TRUE;
    } catch (...) {
        if (!me.failure_) me.failure_ = std::current_exception();
        return FALSE;
    }
}

namespace {

// Which of the container's keys (AT_SIGNATURE, AT_KEYEXCHANGE) has the
// certificate's public key; 0 when neither has, with `failure` the error of
// a key that would not open for another reason than being absent (a wrong
// password).
DWORD MatchingSpec(HCRYPTPROV prov, const CCTFCertContext& certificate, DWORD& failure) {
    failure = 0;
    const IdentObj wanted = CCTFCertInfo(*certificate.GetContext()).m_publicKey.GetKeyID();
    for (DWORD spec : {DWORD(AT_SIGNATURE), DWORD(AT_KEYEXCHANGE)}) {
        VRKSCApi::CryptKey key;
        if (!VRKGetUserKey(prov, spec, &key)) {
            const DWORD e = GetLastError();
            if (e != static_cast<DWORD>(NTE_NO_KEY) && !failure) failure = e;
            continue;
        }
        CCTFCertPublicKeyInfo info;
        if (CTFExportPKInfo(prov, key, info) && info.GetKeyID() == wanted) return spec;
    }
    return 0;
}

}  // namespace

SigningKey OpenSigningKey(const KeyOptions& k, const PasswordPrompt& prompt, CCTFUser& user,
                          CCTFCertContext& certificate) {
    const std::string quoted = "\"" + k.container + "\"";
    const bool given = certificate.IsInitialized();
    const auto password = TakePassword(k.passwordFrom, "Password of container " + quoted, false);
    SigningKey out;
    out.hadPassword = password.has_value();
    const char* keyOid = given ? certificate.GetContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId : nullptr;
    if (int rc =
            user.LogInUser(k.container.c_str(), OrNone(password), OrNone(password), keyOid, false, true, k.machine)) {
        prompt.Rethrow();
        ThrowKeyStatus(rc, "CCTFUser::LogInUser", k, out.hadPassword, "cannot open the container");
    }
    if (!given && (!user.FindCertificate(certificate) || !certificate.IsInitialized()))
        throw UsageError("container " + quoted + " holds no certificate: give --cert", TOOERR_NO_CERTIFICATE);
    DWORD failure = 0;
    out.spec = MatchingSpec(user.GetProvider(), certificate, failure);
    prompt.Rethrow();
    if (!out.spec && failure)
        ThrowKeyError(failure, k, out.hadPassword || prompt.GaveOpenPassword(), "cannot open the container's keys");
    if (!out.spec)
        throw Error(kUsage, "the certificate is not of a key of container " + quoted + "; nothing signed",
                    TOOERR_NOKEY_FOR_CERT);
    return out;
}

}  // namespace ctf
