// The algorithms the providers offer, their classes and the key algorithm
// behind each asymmetric ALG_ID.
#include "provider/vrk_internal.h"
#include "cert/oids.h"

namespace vrk {

const std::vector<AlgInfo>& Algorithms(bool foreign) {
    static const std::vector<AlgInfo> gostAlgs = {
        {CALG_GOST_R3411_94, AlgClass::Hash, "GOST R 34.11-94", 256},
        {CALG_GOST_R3411_2012_256, AlgClass::Hash, "GR 34.11-2012 256", 256},
        {CALG_GOST_R3411_2012_512, AlgClass::Hash, "GR 34.11-2012 512", 512},
        {CALG_VRK_HASH, AlgClass::Hash, "VRK HASH", 256},
        {CALG_GOST_28147_MAC, AlgClass::Mac, "GOST 28147-89 MAC", 32},
        {CALG_VRK_MAC_Z, AlgClass::Mac, "VRK MAC Z", 64},
        {CALG_VRK_MAC_A, AlgClass::Mac, "VRK MAC A", 64},
        {CALG_GOST_28147, AlgClass::Cipher, "GOST 28147-89", 256},
        {CALG_VRK_KEY_Z, AlgClass::Cipher, "VRK KEY Z", 256},
        {CALG_VRK_KEY_A, AlgClass::Cipher, "VRK KEY A", 256},
        {CALG_GOST_R3410_2001, AlgClass::Sign, "GOST R 34.10-2001", 512},
        {CALG_GOST_R3410_2001_DH, AlgClass::Exchange, "GR 34.10-2001 DH", 512},
        {CALG_GOST_R3410_2001_DH_EPHEM, AlgClass::Ephemeral, "GR 34.10-2001 EPHEM", 512},
        {CALG_GOST_R3410_2012_256, AlgClass::Sign, "GR 34.10-2012 256", 512},
        {CALG_GOST_R3410_2012_256_DH, AlgClass::Exchange, "GR 34.10-12 256 DH", 512},
        {CALG_GOST_R3410_2012_256_DH_EPHEM, AlgClass::Ephemeral, "GR 34.10-12 256 EPH", 512},
        {CALG_GOST_R3410_2012_512, AlgClass::Sign, "GR 34.10-2012 512", 1024},
        {CALG_GOST_R3410_2012_512_DH, AlgClass::Exchange, "GR 34.10-12 512 DH", 1024},
        {CALG_GOST_R3410_2012_512_DH_EPHEM, AlgClass::Ephemeral, "GR 34.10-12 512 EPH", 1024},
        {CALG_SHA1, AlgClass::Hash, "SHA-1", 160},
        {CALG_SHA_256, AlgClass::Hash, "SHA-256", 256},
        {CALG_RSA_SIGN, AlgClass::RsaSign, "RSA_SIGN", 2048},
        {CALG_RSA_KEYX, AlgClass::RsaExchange, "RSA_KEYX", 2048},
    };
    static const std::vector<AlgInfo> foreignAlgs = {
        {CALG_SHA1, AlgClass::Hash, "SHA-1", 160},
        {CALG_SHA_256, AlgClass::Hash, "SHA-256", 256},
        {CALG_RSA_SIGN, AlgClass::RsaSign, "RSA_SIGN", 2048},
        {CALG_RSA_KEYX, AlgClass::RsaExchange, "RSA_KEYX", 2048},
    };
    return foreign ? foreignAlgs : gostAlgs;
}

const AlgInfo* FindAlg(ALG_ID id) {
    for (const auto& a : Algorithms(false))
        if (a.id == id) return &a;
    return nullptr;
}

bool IsAsymmetric(AlgClass c) {
    return c == AlgClass::Sign || c == AlgClass::Exchange || c == AlgClass::Ephemeral || c == AlgClass::RsaSign ||
           c == AlgClass::RsaExchange;
}

gost::KeyAlg KeyAlgOf(ALG_ID id) {
    switch (id) {
        case CALG_GOST_R3410_2001:
        case CALG_GOST_R3410_2001_DH:
        case CALG_GOST_R3410_2001_DH_EPHEM:
            return gost::KeyAlg::Gost2001;
        case CALG_GOST_R3410_2012_256:
        case CALG_GOST_R3410_2012_256_DH:
        case CALG_GOST_R3410_2012_256_DH_EPHEM:
            return gost::KeyAlg::Gost2012_256;
        case CALG_GOST_R3410_2012_512:
        case CALG_GOST_R3410_2012_512_DH:
        case CALG_GOST_R3410_2012_512_DH_EPHEM:
            return gost::KeyAlg::Gost2012_512;
        case CALG_RSA_SIGN:
        case CALG_RSA_KEYX:
            return gost::KeyAlg::Rsa;
        default:
            Throw(NTE_BAD_ALGID);
    }
}

ALG_ID SignAlgOf(gost::KeyAlg alg) {
    switch (alg) {
        case gost::KeyAlg::Gost2001:
            return CALG_GOST_R3410_2001;
        case gost::KeyAlg::Gost2012_256:
            return CALG_GOST_R3410_2012_256;
        case gost::KeyAlg::Gost2012_512:
            return CALG_GOST_R3410_2012_512;
        case gost::KeyAlg::Rsa:
            return CALG_RSA_SIGN;
    }
    Throw(NTE_BAD_ALGID);
}

ALG_ID ExchangeAlgOf(gost::KeyAlg alg) {
    switch (alg) {
        case gost::KeyAlg::Gost2001:
            return CALG_GOST_R3410_2001_DH;
        case gost::KeyAlg::Gost2012_256:
            return CALG_GOST_R3410_2012_256_DH;
        case gost::KeyAlg::Gost2012_512:
            return CALG_GOST_R3410_2012_512_DH;
        case gost::KeyAlg::Rsa:
            return CALG_RSA_KEYX;
    }
    Throw(NTE_BAD_ALGID);
}

ALG_ID EphemeralAlgOf(gost::KeyAlg alg) {
    switch (alg) {
        case gost::KeyAlg::Gost2001:
            return CALG_GOST_R3410_2001_DH_EPHEM;
        case gost::KeyAlg::Gost2012_256:
            return CALG_GOST_R3410_2012_256_DH_EPHEM;
        case gost::KeyAlg::Gost2012_512:
            return CALG_GOST_R3410_2012_512_DH_EPHEM;
        case gost::KeyAlg::Rsa:
            break;
    }
    Throw(NTE_BAD_ALGID);
}

const char* DefaultSboxOf(ALG_ID id) {
    // The Z key and MAC use the TC26 S-box; every other symmetric key the
    // parameter set A that GOST key transport names.
    return id == CALG_VRK_KEY_Z || id == CALG_VRK_MAC_Z ? gost::kSboxTc26Z : gost::kSboxA;
}

std::string DefaultHashParamSet(gost::KeyAlg alg) {
    switch (alg) {
        case gost::KeyAlg::Gost2001:
            return cert::oids::kHash94ParamSet;
        case gost::KeyAlg::Gost2012_256:
            return cert::oids::kGostR3411_2012_256;
        case gost::KeyAlg::Gost2012_512:
            return cert::oids::kGostR3411_2012_512;
        case gost::KeyAlg::Rsa:
            break;
    }
    return {};
}

IdentObj U32Value(DWORD v) { return le::Writer().U32(v).Take(); }

std::string OidText(const IdentObj& v) {
    std::string s(reinterpret_cast<const char*>(v.data()), v.size());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

}  // namespace vrk
