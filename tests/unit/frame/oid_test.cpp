#include <array>
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "cert/oid.h"
#include "cert/oids.h"

using vrkscapi::vrkcspexfun::FindOIDInfo;
using vrkscapi::vrkcspexfun::OIDInfoRows;

namespace {
std::string Text(const IdentObj& o) { return std::string(o.view()); }
using L = std::list<CTOOString>;
}  // namespace

TEST(OidRegistry, EveryRowRoundTrips) {
    std::set<std::string> oids;
    std::set<std::u16string> names;
    for (const auto& r : OIDInfoRows()) {
        const std::string oid = r.pszOID;
        SCOPED_TRACE(oid);
        const DWORD rowExtra = r.ExtraInfo.cbData ? *reinterpret_cast<const DWORD*>(r.ExtraInfo.pbData) : 0;
        IdentObj back;
        unsigned alg = 1, extra = 1;
        if (r.Algid == 0) {
            // A row that only names its OID: found by OID and name, never
            // taken for an algorithm.
            EXPECT_TRUE(oids.insert(oid).second) << "OID twice";
            EXPECT_TRUE(names.insert(r.pwszName).second) << "name twice";
            EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid.c_str(), 0), &r);
            EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, r.pwszName, r.dwGroupId), &r);
            EXPECT_EQ(GetAlgIDFromOID(oid.data(), oid.size(), alg, extra), 0);
            EXPECT_EQ(alg, 0u);
            continue;
        }
        ASSERT_EQ(GetAlgIDFromOID(oid.data(), oid.size(), alg, extra), 1);
        if (!oids.insert(oid).second) {
            // A second row of a signature OID, for another public-key
            // algorithm: only the pair finds it, the OID finds the first.
            EXPECT_EQ(r.dwGroupId, CRYPT_SIGN_ALG_OID_GROUP_ID);
            EXPECT_EQ(alg, r.Algid);
            EXPECT_NE(extra, rowExtra);
            EXPECT_EQ(vrkscapi::vrkcspexfun::FindOIDInfo(CRYPT_OID_INFO_SIGN_KEY,
                                                         std::array<ALG_ID, 2>{r.Algid, rowExtra}.data(), 0),
                      &r);
            ASSERT_EQ(GetOIDFromAlgID(back, r.Algid, rowExtra), 1);
            EXPECT_EQ(Text(back), oid);
            continue;
        }
        EXPECT_TRUE(names.insert(r.pwszName).second) << "name twice";
        EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid.c_str(), 0), &r);
        EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid.c_str(), r.dwGroupId), &r);
        EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, r.pwszName, 0), &r);
        EXPECT_EQ(alg, r.Algid);
        EXPECT_EQ(extra, rowExtra);
        if (r.dwGroupId == CRYPT_SIGN_ALG_OID_GROUP_ID) {
            // A signature OID: hash and public-key algorithm, found as a pair.
            EXPECT_EQ(GET_ALG_CLASS(alg), ALG_CLASS_HASH);
            EXPECT_EQ(GET_ALG_CLASS(extra), ALG_CLASS_SIGNATURE);
            ASSERT_EQ(GetOIDFromAlgID(back, alg, extra), 1);
        } else {
            EXPECT_EQ(extra, 0u);
            ASSERT_EQ(GetOIDFromAlgID(back, alg, 0xFFFF), 1);
        }
        EXPECT_EQ(Text(back), oid);
    }
    // Group filters and the case-insensitive name key.
    EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_OID_KEY, cert::oids::kGostR3411_94, CRYPT_PUBKEY_ALG_OID_GROUP_ID), nullptr);
    PCCRYPT_OID_INFO r = FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, u"gost r 34.10-2001", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->pszOID, cert::oids::kGostR3410_2001);
    // A hash algorithm id finds the hash, not a signature that uses it.
    const ALG_ID hash = CALG_GOST_R3411_94;
    EXPECT_STREQ(FindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &hash, 0)->pszOID, cert::oids::kGostR3411_94);
    EXPECT_STREQ(FindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &hash, CRYPT_SIGN_ALG_OID_GROUP_ID)->pszOID,
                 cert::oids::kGostR3411_94WithR3410_2001);
    EXPECT_EQ(FindOIDInfo(99, cert::oids::kGostR3411_94, 0), nullptr);
    EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_OID_KEY, nullptr, 0), nullptr);
}

TEST(OidRegistry, TheAlgorithmsOtherLayersRelyOn) {
    struct Want {
        const char* oid;
        unsigned alg, extra;
    };
    // Spelled out, not named: these are the values files and peers carry,
    // and a constant changed by mistake must fail here.
    const Want wants[] = {
        {"1.2.643.2.2.19", 0x2E23, 0},
        {"1.2.643.2.2.98", 0xAA24, 0},
        {"1.2.643.7.1.1.1.1", 0x2E49, 0},
        {"1.2.643.7.1.1.1.2", 0x2E3D, 0},
        {"1.2.643.2.2.9", 0x801E, 0},
        {"1.2.643.7.1.1.2.2", 0x8021, 0},
        {"1.2.643.7.1.1.2.3", 0x8022, 0},
        {"1.3.6.1.4.1.40321.2.1.1.2", 0x8029, 0},
        {"1.2.643.2.2.21", 0x661E, 0},
        {"1.2.643.2.2.3", 0x801E, 0x2E23},
        {"1.2.643.7.1.1.3.2", 0x8021, 0x2E49},
        {"1.2.643.7.1.1.3.3", 0x8022, 0x2E3D},
        {"1.2.840.113549.1.1.5", 0x8004, 0x2400},
    };
    for (const auto& w : wants) {
        unsigned alg = 0, extra = 0;
        ASSERT_EQ(GetAlgIDFromOID(w.oid, std::strlen(w.oid), alg, extra), 1) << w.oid;
        EXPECT_EQ(alg, w.alg) << w.oid;
        EXPECT_EQ(extra, w.extra) << w.oid;
    }
    // Data signed with a key-agreement key gets the OID of its family.
    const std::pair<std::array<unsigned, 2>, const char*> pairs[] = {
        {{0x801E, 0xAA24}, "1.2.643.2.2.3"},
        {{0x8021, 0xAA46}, "1.2.643.7.1.1.3.2"},
        {{0x8022, 0xAA42}, "1.2.643.7.1.1.3.3"},
    };
    for (const auto& [key, want] : pairs) {
        IdentObj oid;
        ASSERT_EQ(GetOIDFromAlgID(oid, key[0], key[1]), 1) << want;
        EXPECT_EQ(Text(oid), want);
    }
}

TEST(OidRegistry, MissesAndLimits) {
    unsigned alg = 7, extra = 7;
    EXPECT_EQ(GetAlgIDFromOID("1.2.3", 5, alg, extra), 0);
    EXPECT_EQ(alg, 0u);
    EXPECT_EQ(extra, 0u);
    // The length counts characters without a zero: a prefix is another OID.
    EXPECT_EQ(GetAlgIDFromOID("1.2.643.2.2.9x", 13, alg, extra), 1);
    EXPECT_EQ(alg, CALG_GOST_R3411_94);
    std::string longOid = "1.2.643.2.2.9" + std::string(246, '0');
    EXPECT_EQ(GetAlgIDFromOID(longOid.data(), 260, alg, extra), 0);

    IdentObj oid("stale", 5);
    EXPECT_EQ(GetOIDFromAlgID(oid, CALG_GOST_R3410_2001, 0), 0);  // a pair, and no such pair
    EXPECT_TRUE(oid.IsEmpty());
    EXPECT_EQ(GetOIDFromAlgID(oid, 0x1234, 0xFFFF), 0);

    EXPECT_EQ(CTFGetNameForOID(cert::oids::kGostR3410_2001).str(), "GOST R 34.10-2001");
    EXPECT_EQ(CTFGetNameForOID("1.2.3.4").str(), "1.2.3.4");
}

TEST(OidRegistry, NameAttributesAreNamedByTheirKeywords) {
    // The keyword form of names writes these names and the name parser
    // reads them back, in any case; "st" or "stateOrProvinceName" would not.
    const std::pair<const char*, const char16_t*> want[] = {
        {"2.5.4.8", u"S"},
        {"2.5.4.12", u"T"},
        {"1.2.840.113549.1.9.1", u"E"},
    };
    for (const auto& [oid, name] : want) {
        PCCRYPT_OID_INFO r = FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid, CRYPT_RDN_ATTR_OID_GROUP_ID);
        ASSERT_NE(r, nullptr) << oid;
        EXPECT_EQ(std::u16string(r->pwszName), name) << oid;
    }
    EXPECT_STREQ(FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, u"cn", CRYPT_RDN_ATTR_OID_GROUP_ID)->pszOID, "2.5.4.3");
    EXPECT_EQ(FindOIDInfo(CRYPT_OID_INFO_NAME_KEY, u"st", CRYPT_RDN_ATTR_OID_GROUP_ID), nullptr);
    for (const auto& r : OIDInfoRows()) {
        if (r.dwGroupId != CRYPT_RDN_ATTR_OID_GROUP_ID) continue;
        for (const char16_t* c = r.pwszName; *c; ++c) EXPECT_FALSE(*c >= u'a' && *c <= u'z') << r.pszOID;
    }
}

TEST(AlgorithmQueries, ParamsAndKeyLengths) {
    const L gost256 = {cert::oids::kSign2001ParamSetA,     cert::oids::kSign2001ParamSetB,
                       cert::oids::kSign2001ParamSetC,     cert::oids::kSign2012_256ParamSetA,
                       cert::oids::kSign2012_256ParamSetB, cert::oids::kSign2012_256ParamSetC,
                       cert::oids::kSign2012_256ParamSetD};
    for (const char* a : {cert::oids::kGostR3411_94WithR3410_2001, cert::oids::kGostR3410_2012_256})
        EXPECT_EQ(CTFGetSupportedParams(a), gost256);
    EXPECT_EQ(CTFGetSupportedParams(cert::oids::kGostR3410_2001DH),
              (L{cert::oids::kExchange2001ParamSetA, cert::oids::kExchange2001ParamSetB}));
    EXPECT_EQ(CTFGetSupportedParams(cert::oids::kGostR3410_2012_512),
              (L{cert::oids::kSign2012_512ParamSetTest, cert::oids::kSign2012_512ParamSetA,
                 cert::oids::kSign2012_512ParamSetB, cert::oids::kSign2012_512ParamSetC}));
    for (const char* a : {cert::oids::kRsa, ""}) {
        try {
            CTFGetSupportedParams(a);
            ADD_FAILURE() << "no throw for " << a;
        } catch (const XTOOStatus& e) {
            EXPECT_EQ(e.Status(), TOOERR_UNKNOWN_ALG);
            EXPECT_STREQ(e.Place(), "CTFGetSupportedParams");
            EXPECT_EQ(e.Flag(), 0);
        }
    }

    // The 256-bit families and their parameter sets are 512; everything else 1024.
    for (const auto& p : gost256) EXPECT_EQ(CTFGetPKLenghOID(p), 512u) << p.c_str();
    EXPECT_EQ(CTFGetPKLenghOID(cert::oids::kGostR3410_2012_256), 512u);
    EXPECT_EQ(CTFGetPKLenghOID(cert::oids::kSign2012_512ParamSetA), 1024u);
}

namespace {
std::string g_keyOid;
int g_providerCalls = 0;
std::string KeyOid(const CCTFCertContext*) { return g_keyOid; }
L ProviderHashes(const CCTFCertContext*) {
    ++g_providerCalls;
    return CertDll::HashOidsOfAlgIds({CALG_RSA_KEYX, CALG_SHA1, 0x8FFF, CALG_MD5, CALG_3DES});
}
}  // namespace

TEST(AlgorithmQueries, HashOidsByCertificateKey) {
    const auto* cert = reinterpret_cast<const CCTFCertContext*>(&g_keyOid);  // opaque to the frame
    // The contexts layer registers its hooks as the library loads: the frame
    // is seen alone without them.
    CertDll::SetCertHashHooks({});
    EXPECT_EQ(CTFGetSupportedHashOIDS(nullptr), (L{cert::oids::kGostR3411_94, cert::oids::kGostR3411_2012_256}));
    EXPECT_TRUE(CTFGetSupportedHashOIDS(cert).empty()) << "no hooks: the provider cannot be asked";

    CertDll::SetCertHashHooks({&KeyOid, &ProviderHashes});
    const std::pair<const char*, L> cases[] = {
        {cert::oids::kGostR3410_2001, {cert::oids::kGostR3411_94, cert::oids::kGostR3411_2012_256}},
        {cert::oids::kGostR3410_2012_256, {cert::oids::kGostR3411_2012_256}},
        {cert::oids::kGostR3410_2012_512, {cert::oids::kGostR3411_2012_512}},
    };
    for (const auto& [key, want] : cases) {
        g_keyOid = key;
        EXPECT_EQ(CTFGetSupportedHashOIDS(cert), want) << key;
    }
    EXPECT_EQ(g_providerCalls, 0);
    g_keyOid = cert::oids::kRsa;
    // Hash-class ids with an OID, in the provider's order.
    EXPECT_EQ(CTFGetSupportedHashOIDS(cert), (L{cert::oids::kSha1, cert::oids::kMd5}));
    EXPECT_EQ(g_providerCalls, 1);
    CertDll::SetCertHashHooks({});
}
