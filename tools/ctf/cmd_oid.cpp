// `ctf oid`: what the OID registry knows of an algorithm OID or name.
#include <cstdio>
#include <string>

#include "cert/oid.h"
#include "cli.h"
#include "keys.h"
#include "text.h"

namespace {

const char* GroupName(DWORD g) {
    switch (g) {
        case CRYPT_HASH_ALG_OID_GROUP_ID:
            return "hash";
        case CRYPT_ENCRYPT_ALG_OID_GROUP_ID:
            return "cipher";
        case CRYPT_PUBKEY_ALG_OID_GROUP_ID:
            return "public key";
        case CRYPT_SIGN_ALG_OID_GROUP_ID:
            return "signature";
        case CRYPT_RDN_ATTR_OID_GROUP_ID:
            return "name attribute";
        case CRYPT_EXT_OR_ATTR_OID_GROUP_ID:
            return "extension or attribute";
        case CRYPT_ENHKEY_USAGE_OID_GROUP_ID:
            return "key purpose";
    }
    return "other";
}

std::string Hex(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

bool IsDotted(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return true;
}

std::string OidOfAlg(unsigned alg) {
    IdentObj o;
    return GetOIDFromAlgID(o, alg, 0xFFFF) ? std::string(o.view()) : std::string();
}

// The public-key algorithms a parameter set belongs to.
std::list<CTOOString> OwnersOfParamSet(const std::string& oid) {
    std::list<CTOOString> owners;
    for (const auto& a : ctf::KeyAlgorithms())
        for (const char* alg : {a.oid, a.dhOid})
            for (const auto& p : ctf::RegistryParamSets(alg))
                if (p == oid) owners.emplace_back(alg);
    return owners;
}

std::vector<std::string> Strings(const std::list<CTOOString>& l) {
    std::vector<std::string> v;
    for (const auto& x : l) v.push_back(x.str());
    return v;
}

std::string TextList(const std::list<CTOOString>& l) {
    std::string s;
    for (const auto& x : l) s += (s.empty() ? "" : " ") + x.str();
    return s;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    const std::string what = args.Positional("NAME-OR-OID");
    args.Done();
    using vrkscapi::vrkcspexfun::FindOIDInfo;
    PCCRYPT_OID_INFO row = nullptr;
    if (IsDotted(what)) {
        row = FindOIDInfo(CRYPT_OID_INFO_OID_KEY, what.c_str(), 0);
    } else {
        std::u16string name;
        if (!TOOUtf8ToUtf16(what, name)) throw ctf::UsageError("the name is not UTF-8", TOOERR_BADENCODING);
        row = FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, name.c_str(), 0);
    }
    const std::string oid = row ? row->pszOID : what;
    // The registry names parameter sets without an algorithm of their own.
    std::list<CTOOString> owners =
        IsDotted(oid) && (!row || row->Algid == 0) ? OwnersOfParamSet(oid) : std::list<CTOOString>{};
    if (!row && owners.empty())
        throw ctf::UsageError("unknown OID or algorithm name \"" + what + "\" (not in the OID registry)",
                              TOOERR_NOTFOUND);

    std::list<CTOOString> params;
    try {
        params = CTFGetSupportedParams(oid);
    } catch (const XTOOStatus&) {
        // not a key algorithm with parameter sets
    }
    const bool keyRelated =
        !owners.empty() || !params.empty() || (row && row->dwGroupId >= CRYPT_PUBKEY_ALG_OID_GROUP_ID);
    const unsigned long bits = keyRelated ? CTFGetPKLenghOID(oid) : 0;
    unsigned alg = 0, extra = 0;
    GetAlgIDFromOID(oid.data(), oid.size(), alg, extra);
    const std::string name = CTFGetNameForOID(oid).str();
    const char* group = !owners.empty() ? "parameter set" : row ? GroupName(row->dwGroupId) : "other";

    if (ctx.json) {
        ctf::JsonObject o;
        o.Add("oid", oid).Add("name", row ? name : "").Add("group", group);
        if (alg) o.Add("algId", std::uint32_t(alg));
        if (extra) o.Add("hashOid", OidOfAlg(alg)).Add("publicKeyAlgId", std::uint32_t(extra));
        if (bits) o.Add("keyBits", std::uint64_t(bits));
        if (!params.empty()) o.AddJson("paramSets", ctf::JsonStrings(Strings(params)));
        if (!owners.empty()) o.AddJson("paramSetOf", ctf::JsonStrings(Strings(owners)));
        std::printf("%s\n", o.str().c_str());
        return ctf::kOk;
    }
    std::printf("oid:        %s\n", oid.c_str());
    if (row) std::printf("name:       %s\n", name.c_str());
    std::printf("group:      %s\n", group);
    if (alg) std::printf("alg id:     %s\n", Hex(alg).c_str());
    if (extra) {
        std::printf("hash:       %s (%s)\n", Hex(alg).c_str(), OidOfAlg(alg).c_str());
        std::printf("public key: %s (%s)\n", Hex(extra).c_str(), OidOfAlg(extra).c_str());
    }
    if (bits) std::printf("key bits:   %lu\n", bits);
    if (!params.empty()) std::printf("param sets: %s\n", TextList(params).c_str());
    if (!owners.empty()) std::printf("set of:     %s\n", TextList(owners).c_str());
    return ctf::kOk;
}

ctf::Registrar reg({"oid",
                    "look up an algorithm OID or name in the OID registry",
                    "NAME-OR-OID\n\n"
                    "Prints the registry row (group, algorithm id, for a signature OID its hash and\n"
                    "public-key algorithms), the key length and parameter sets of key algorithms, and\n"
                    "for a parameter-set OID the algorithms it belongs to.",
                    {},
                    Run});

}  // namespace
