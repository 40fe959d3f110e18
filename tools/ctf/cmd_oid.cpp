// `ctf oid`: what the OID registry knows of an algorithm OID or name.
#include <cstdio>
#include <string>

#include "cert/oid.h"
#include "cli.h"

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
    for (const char* alg : {"1.2.643.2.2.19", "1.2.643.2.2.98", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.1.2"})
        for (const auto& p : CTFGetSupportedParams(alg))
            if (p == oid.c_str()) owners.emplace_back(alg);
    return owners;
}

std::string JsonList(const std::list<CTOOString>& l) {
    std::string s = "[";
    for (const auto& x : l) s += (s.size() > 1 ? ", " : "") + ctf::JsonQuote(x.str());
    return s + "]";
}

std::string TextList(const std::list<CTOOString>& l) {
    std::string s;
    for (const auto& x : l) s += (s.empty() ? "" : " ") + x.str();
    return s;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    const bool json = ctx.json || args.Flag("json");
    const std::string what = args.Positional("NAME-OR-OID");
    args.Done();
    using vrkscapi::vrkcspexfun::FindOIDInfo;
    PCCRYPT_OID_INFO row = nullptr;
    if (IsDotted(what)) {
        row = FindOIDInfo(CRYPT_OID_INFO_OID_KEY, what.c_str(), 0);
    } else {
        std::u16string name;
        if (!TOOUtf8ToUtf16(what, name)) throw ctf::UsageError("name is not UTF-8");
        row = FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, name.c_str(), 0);
    }
    const std::string oid = row ? row->pszOID : what;
    // The registry names parameter sets without an algorithm of their own.
    std::list<CTOOString> owners =
        IsDotted(oid) && (!row || row->Algid == 0) ? OwnersOfParamSet(oid) : std::list<CTOOString>{};
    if (!row && owners.empty()) throw XTOOStatus(TOOERR_NOTFOUND, what.c_str());

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

    if (json) {
        std::printf("{\"oid\": %s, \"name\": %s, \"group\": %s", ctf::JsonQuote(oid).c_str(),
                    ctf::JsonQuote(row ? name : "").c_str(), ctf::JsonQuote(group).c_str());
        if (alg) std::printf(", \"algId\": %s", ctf::JsonQuote(Hex(alg)).c_str());
        if (extra)
            std::printf(", \"hashOid\": %s, \"publicKeyAlgId\": %s", ctf::JsonQuote(OidOfAlg(alg)).c_str(),
                        ctf::JsonQuote(Hex(extra)).c_str());
        if (bits) std::printf(", \"keyBits\": %lu", bits);
        if (!params.empty()) std::printf(", \"paramSets\": %s", JsonList(params).c_str());
        if (!owners.empty()) std::printf(", \"paramSetOf\": %s", JsonList(owners).c_str());
        std::printf("}\n");
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
                    "NAME-OR-OID [--json]\n\n"
                    "Prints the registry row (group, algorithm id, for a signature OID its hash and\n"
                    "public-key algorithms), the key length and parameter sets of key algorithms, and\n"
                    "for a parameter-set OID the algorithms it belongs to.\n"
                    "  --json   print a JSON object",
                    {"json"},
                    Run});

}  // namespace
