// Provider contexts: acquire and release, provider parameters, passwords,
// random numbers.
#include <cstring>

#include "cert/asnkeys.h"
#include "provider/vrk_internal.h"

namespace vrk {
namespace {

constexpr DWORD kKnownAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET |
                                     CRYPT_SILENT | VRK_CHOOSE_CONTAINER;
constexpr const char* kFqUser = "\\\\.\\local\\";
constexpr const char* kFqMachine = "\\\\.\\common\\";

bool IsGostType(DWORD type) { return type == 0 || type == 2 || type == 75 || type == 77 || type == 78; }

// Provider name and type as the caller asked; false when there is none.
bool ResolveProvider(const char* name, DWORD type, std::string& outName, DWORD& outType, bool& foreign) {
    if (name && *name) {
        unsigned long regType = 0;
        if (!CCTFIsProviderReg(name, &regType)) Throw(NTE_KEYSET_NOT_DEF);
        bool gostName = regType == VRK_PROV_TYPE_GOST || regType == VRK_PROV_TYPE_GOST_2012_256 ||
                        regType == VRK_PROV_TYPE_GOST_2012_512;
        if (gostName ? !IsGostType(type) : (type != 0 && type != regType)) Throw(NTE_PROV_TYPE_NO_MATCH);
        outName = name;
        // The registered spelling.
        for (const char* n :
             {VRK_PROV_GOST, VRK_PROV_GOST_2012_256, VRK_PROV_GOST_2012_512, VRK_PROV_MS_BASE, VRK_PROV_MS_DSS})
            if (strcasecmp(n, name) == 0) outName = n;
        outType = type ? type : DWORD(regType);
        foreign = !gostName;
        return true;
    }
    foreign = false;
    switch (type) {
        case 0:
        case VRK_PROV_TYPE_GOST:
            outName = VRK_PROV_GOST;
            outType = VRK_PROV_TYPE_GOST;
            return true;
        case VRK_PROV_TYPE_GOST_2012_256:
            outName = VRK_PROV_GOST_2012_256;
            outType = type;
            return true;
        case VRK_PROV_TYPE_GOST_2012_512:
            outName = VRK_PROV_GOST_2012_512;
            outType = type;
            return true;
        case VRK_PROV_TYPE_RSA_FULL:
            outName = VRK_PROV_MS_BASE;
            outType = type;
            foreign = true;
            return true;
        case VRK_PROV_TYPE_DSS:
            outName = VRK_PROV_MS_DSS;
            outType = type;
            foreign = true;
            return true;
        default:
            return false;
    }
}

// Splits a fully qualified name into key set and plain name.
std::string PlainName(const char* container, bool& machine) {
    std::string n = container ? container : "";
    for (auto& c : n)
        if (c == '/') c = '\\';
    auto starts = [&](const char* prefix) { return strncasecmp(n.c_str(), prefix, std::strlen(prefix)) == 0; };
    if (starts(kFqUser)) {
        machine = false;
        return n.substr(std::strlen(kFqUser));
    }
    if (starts(kFqMachine)) {
        machine = true;
        return n.substr(std::strlen(kFqMachine));
    }
    return container ? container : "";
}

std::string FreshName() {
    gost::Bytes r = gost::RandomBytes(4);
    return "cont-" + TOOBin2HexStr(r.data(), r.size());
}

void PutText(IdentObj& out, const std::string& s) { out.Assign(s.c_str(), DWORD(s.size() + 1)); }

std::string FullName(const std::string& name, bool machine) { return (machine ? kFqMachine : kFqUser) + name; }

void SetPassword(std::optional<Secret>& slot, const void* data) {
    slot.reset();
    if (data) slot.emplace(static_cast<const char*>(data));
}

// Re-seals every key of the current container under a new password.
void ChangePassword(ProvObj& p, const char* newPassword) {
    Target t = CurrentContainer(p);
    Secret fresh(newPassword);
    DWORD rc = store::Update(t.name, t.machine, [&](Container& c) -> DWORD {
        for (auto& k : c.keys) {
            Secret savedHolder;
            Secret secret;
            if (DWORD e = store::Unseal(k, t.machine, PasswordFor(p, k.spec, savedHolder), secret)) return e;
            store::Seal(k, t.machine, fresh.empty() ? nullptr : &fresh, secret.view());
        }
        return 0;
    });
    if (rc) Throw(rc);
    SetPassword(p.pwExchange, newPassword);
    SetPassword(p.pwSignature, newPassword);
    if (store::IsPasswordSaved(t.name, t.machine)) {
        if (fresh.empty())
            store::ForgetSavedPassword(t.name, t.machine);
        else
            store::SavePassword(t.name, t.machine, fresh);
    }
}

}  // namespace

Target CurrentContainer(ProvObj& p) {
    if (p.current.empty()) Throw(NTE_BAD_KEYSET);
    return Target{p.current, p.currentMachine};
}

const Secret* PasswordFor(ProvObj& p, DWORD spec, Secret& savedHolder) {
    // An empty password is none.
    auto given = [](const std::optional<Secret>& s) { return s && !s->empty(); };
    bool own = given(spec == AT_KEYEXCHANGE ? p.pwExchange : p.pwSignature);
    bool other = given(spec == AT_KEYEXCHANGE ? p.pwSignature : p.pwExchange);
    const Secret* ownPw = own ? &*(spec == AT_KEYEXCHANGE ? p.pwExchange : p.pwSignature) : nullptr;
    const Secret* otherPw = other ? &*(spec == AT_KEYEXCHANGE ? p.pwSignature : p.pwExchange) : nullptr;
    // The context's passwords are meant for its own container; for those an
    // enumeration walks through a saved password comes first. A wrong one
    // only fails, it never opens another key.
    bool ownContainer = p.current == p.container && p.currentMachine == p.machine;
    if (ownContainer && own) return ownPw;
    if (ownContainer && other) return otherPw;
    if (store::LoadSavedPassword(p.current, p.currentMachine, savedHolder)) return &savedHolder;
    return own ? ownPw : otherPw;
}

}  // namespace vrk

using namespace vrk;

BOOL VRKAcquireContext(HCRYPTPROV* phProv, const char* container, const char* provider, DWORD type, DWORD flags) {
    return Guard([&] {
        if (!phProv) Throw(ERROR_INVALID_PARAMETER);
        *phProv = 0;
        if (flags & ~kKnownAcquireFlags) Throw(NTE_BAD_FLAGS);
        auto p = std::make_shared<ProvObj>();
        if (!ResolveProvider(provider, type, p->provName, p->type, p->foreign)) Throw(NTE_BAD_PROV_TYPE);
        p->machine = (flags & CRYPT_MACHINE_KEYSET) != 0;
        p->silent = (flags & CRYPT_SILENT) != 0;
        if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
            p->verify = true;
            *phProv = Provs().Add(std::move(p));
            return;
        }
        std::string name = PlainName(container, p->machine);
        if (flags & CRYPT_DELETEKEYSET) {
            if (name.empty()) Throw(NTE_BAD_KEYSET);
            if (DWORD rc = store::Remove(name, p->machine)) Throw(rc);
            store::ForgetSavedPassword(name, p->machine);
            return;
        }
        if (flags & CRYPT_NEWKEYSET) {
            DWORD rc;
            if (name.empty()) {
                do rc = store::Create(name = FreshName(), p->machine);
                while (rc == NTE_EXISTS);
            } else {
                // A named container exists once: a second creator is told so,
                // unless it asked to take the container as it finds it.
                rc = store::Create(name, p->machine);
                if (rc == NTE_EXISTS && (flags & VRK_CHOOSE_CONTAINER)) rc = 0;
            }
            if (rc) Throw(rc);
        } else if (name.empty()) {
            auto names = store::List(p->machine);
            if (names.empty()) Throw(NTE_BAD_KEYSET);
            name = names.front();
        }
        Container c;
        if (DWORD rc = store::Load(name, p->machine, c)) Throw(rc);
        p->container = p->current = name;
        p->currentMachine = p->machine;
        *phProv = Provs().Add(std::move(p));
    });
}

BOOL VRKReleaseContext(HCRYPTPROV hProv, DWORD flags) {
    return Guard([&] {
        if (flags) Throw(NTE_BAD_FLAGS);
        if (!Provs().Remove(hProv)) Throw(NTE_BAD_UID);
    });
}

BOOL VRKGetProvParam(HCRYPTPROV hProv, DWORD param, IdentObj& out, DWORD flags) {
    return Guard([&] {
        auto p = GetProv(hProv);
        std::lock_guard<std::mutex> lock(p->mu);
        switch (param) {
            case PP_ENUMALGS: {
                const auto& algs = Algorithms(p->foreign);
                if (flags & CRYPT_FIRST) p->algPos = 0;
                if (p->algPos >= algs.size()) Throw(ERROR_NO_MORE_ITEMS);
                const AlgInfo& a = algs[p->algPos++];
                PROV_ENUMALGS rec{};
                rec.aiAlgid = a.id;
                rec.dwBitLen = a.bits;
                std::strncpy(rec.szName, a.name, sizeof rec.szName - 1);
                rec.dwNameLen = DWORD(std::strlen(rec.szName) + 1);
                out.Assign(&rec, sizeof rec);
                return;
            }
            case PP_ENUMCONTAINERS: {
                if ((flags & CRYPT_FIRST) || (p->enumNames.empty() && p->enumPos == 0)) {
                    p->enumMachine = p->machine;
                    p->enumNames = store::List(p->enumMachine);
                    // A context on a container walks that container and
                    // those named below it ("NAME\..."); only a verify-only
                    // context walks the whole key set.
                    if (!p->verify) {
                        std::vector<std::string> mine;
                        for (auto& n : p->enumNames)
                            if (n == p->container || n.rfind(p->container + "\\", 0) == 0) mine.push_back(n);
                        p->enumNames.swap(mine);
                    }
                    p->enumPos = 0;
                    p->enumFq = (flags & CRYPT_FQCN) != 0;
                }
                if (p->enumPos >= p->enumNames.size()) {
                    p->current = p->container;
                    p->currentMachine = p->machine;
                    Throw(ERROR_NO_MORE_ITEMS);
                }
                const std::string& name = p->enumNames[p->enumPos++];
                p->current = name;
                p->currentMachine = p->enumMachine;
                PutText(out, p->enumFq ? FullName(name, p->enumMachine) : name);
                return;
            }
            case PP_NAME:
                PutText(out, p->provName);
                return;
            case PP_PROVTYPE:
                out = U32Value(p->type);
                return;
            case PP_CONTAINER:
                PutText(out, CurrentContainer(*p).name);
                return;
            case PP_UNIQUE_CONTAINER: {
                Target t = CurrentContainer(*p);
                PutText(out, FullName(t.name, t.machine));
                return;
            }
            case VRK_PP_CONTAINER_INFO: {
                Target t = CurrentContainer(*p);
                Container c;
                if (DWORD rc = store::Load(t.name, t.machine, c)) Throw(rc);
                ASNContainerInfo info = MakeContainerInfo(c);
                out = info.Encode();
                return;
            }
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}

BOOL VRKSetProvParam(HCRYPTPROV hProv, DWORD param, const void* data, DWORD flags) {
    return Guard([&] {
        auto p = GetProv(hProv);
        std::lock_guard<std::mutex> lock(p->mu);
        switch (param) {
            case PP_KEYEXCHANGE_PIN:
            case PP_SIGNATURE_PIN:
                SetPassword(param == PP_KEYEXCHANGE_PIN ? p->pwExchange : p->pwSignature, data);
                p->savePassword = (flags & VRK_SAVE_PASSWORD) != 0;
                return;
            case VRK_PP_CHANGE_PASSWORD:
                ChangePassword(*p, static_cast<const char*>(data));
                return;
            case VRK_PP_SIGN_PARAMSET:
            case VRK_PP_EXCHANGE_PARAMSET: {
                std::string oid = data ? static_cast<const char*>(data) : "";
                (param == VRK_PP_SIGN_PARAMSET ? p->signParamSet : p->exchangeParamSet) = oid;
                return;
            }
            case VRK_PP_PROTECTION_KEY: {
                if (!data) Throw(ERROR_INVALID_PARAMETER);
                HCRYPTKEY h = *static_cast<const HCRYPTKEY*>(data);
                auto k = GetKey(h);
                if (k->cls != AlgClass::Cipher) Throw(NTE_BAD_KEY);
                HCRYPTKEY dup = 0;
                if (!VRKDuplicateKey(h, &dup)) Throw(GetLastError());
                if (p->protectionKey) VRKDestroyKey(p->protectionKey);
                p->protectionKey = dup;
                return;
            }
            default:
                Throw(NTE_BAD_TYPE);
        }
    });
}

ProvObj::~ProvObj() {
    if (protectionKey) Keys().Remove(protectionKey);
}

BOOL VRKGenRandom(HCRYPTPROV hProv, DWORD size, BYTE* buffer) {
    return Guard([&] {
        GetProv(hProv);
        if (!buffer && size) Throw(ERROR_INVALID_PARAMETER);
        gost::RandomBytes(buffer, size);
    });
}

int vrkscapi::GetRandomByteOctet(BYTE* buffer, DWORD /*flag*/, HWND /*window*/) {
    BOOL ok = Guard([&] {
        if (!buffer) Throw(ERROR_INVALID_PARAMETER);
        gost::RandomBytes(buffer, 8);
    });
    return ok ? 0 : int(GetLastError());
}

BOOL VRKIsPasswordSaved(const char* container, DWORD flags, int* saved) {
    return Guard([&] {
        if (!saved) Throw(ERROR_INVALID_PARAMETER);
        bool machine = (flags & CRYPT_MACHINE_KEYSET) != 0;
        std::string name = PlainName(container, machine);
        if (!store::ValidName(name)) Throw(NTE_BAD_KEYSET);
        *saved = store::IsPasswordSaved(name, machine) ? 1 : 0;
    });
}

BOOL VRKRemoveSavedPassword(const char* container, DWORD flags) {
    return Guard([&] {
        bool machine = (flags & CRYPT_MACHINE_KEYSET) != 0;
        std::string name = PlainName(container, machine);
        if (!store::ValidName(name)) Throw(NTE_BAD_KEYSET);
        store::ForgetSavedPassword(name, machine);
    });
}
