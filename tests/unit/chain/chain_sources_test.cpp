// The sources a chain draws on besides the trust storages: the CRL cache
// and the CRL updater (stand-ins here), the system stores of the home and
// a caller's search.
#include <algorithm>
#include <map>

#include "chain_fixture.h"
#include "stores/crl_hooks.h"

namespace {

using namespace chaintest;
using certpki::CaSpec;
using certpki::Cert;
using certpki::CertSpec;
using certpki::CrlSpec;

std::string Key(const CCTFCertContext& c) { return std::string(c.GetEncoded().view()); }

// A cache that answers from a table and counts what it is asked.
struct Cache {
    static inline std::map<std::string, std::pair<CCTFCertContext, CCTFCRLContext>> answers;
    static inline std::vector<std::string> asked;
    static inline int sets = 0, updates = 0;
    static inline bool running = true;

    static bool Running() { return running; }
    static bool Get(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl) {
        asked.push_back(Key(subject));
        auto it = answers.find(Key(subject));
        if (it == answers.end()) return false;
        issuer = it->second.first;
        crl = it->second.second;
        return true;
    }
    static bool Set(const CCTFCertificateChain&) { return ++sets, true; }
    static bool Update(const CCTFCRLContext&) { return ++updates, true; }
    static void Answer(const Cert& subject, const Cert& issuer, const CCTFCRLContext& crl = {}) {
        answers[Key(subject.context)] = {issuer.context, crl};
    }
    static void Reset() {
        answers.clear();
        asked.clear();
        sets = updates = 0;
        running = true;
    }
    static constexpr CertDll::CrlCacheHooks kHooks{&Running, &Get, &Set, &Update};
};

// An updater whose distribution points serve one CRL.
struct Updater {
    static inline CertDll::OnDemandCrlUpdate settings;
    static inline CCTFCRLContext served;
    static inline int retrieved = 0, installed = 0, planned = 0;

    static bool Running() { return true; }
    static bool OnDemand(CertDll::OnDemandCrlUpdate& out) { return out = settings, true; }
    static bool Collect() { return true; }
    static bool Retrieve(const CCTFCertContext&, CCTFCRLContext& crl) {
        ++retrieved;
        crl = served;
        return served.IsInitialized();
    }
    static void Plan(const CCTFCertContext&) { ++planned; }
    static bool IsOurs(const CCTFCRLContext&, bool& ours) { return ours = true, true; }
    static bool Install(const CCTFCRLContext&) { return ++installed, true; }
    static void Reset() {
        settings = {};
        settings.allowCrlUpdate = settings.allowUsingCdp = true;
        served.Reset();
        retrieved = installed = planned = 0;
    }
    static constexpr CertDll::CrlUpdaterHooks kHooks{&Running, &OnDemand, &Collect, &Retrieve, nullptr,
                                                     nullptr,  &Plan,     &IsOurs,  &Install};
};

class Sources : public Chain {
protected:
    void SetUp() override {
        Chain::SetUp();
        Cache::Reset();
        Updater::Reset();
    }
    void TearDown() override {
        CertDll::SetCrlCacheHooks(nullptr);
        CertDll::SetCrlUpdaterHooks(nullptr);
        Chain::TearDown();
    }
};

TEST_F(Sources, CacheAnswersCheckedButNeverForARoot) {
    CertDll::SetCrlCacheHooks(&Cache::kHooks);
    Trust({&pki().root}, {pki().rootCrl});
    Cache::Answer(pki().leaf, pki().ca, pki().caRevokesLeaf);
    Cache::Answer(pki().ca, pki().root, pki().rootCrl);
    Cache::Answer(pki().root, pki().otherRoot);  // must never be asked

    CCTFCertificateChain chain = Build(pki().leaf);
    EXPECT_EQ(Bits(chain), (std::vector<DWORD>{0x4, 0, 0}));
    ASSERT_EQ(chain.elements.size(), 3u);
    EXPECT_EQ(chain.elements.back().issuer, pki().root.context);
    EXPECT_EQ(Cache::asked.size(), 2u);
    EXPECT_FALSE(chain.fromCache);
    EXPECT_EQ(Cache::sets, 0);  // not a good chain

    // A good one is handed back to the cache once.
    Cache::Answer(pki().leaf, pki().ca, pki().caCrl);
    chain = Build(pki().leaf);
    EXPECT_EQ(chain.status.dwErrorStatus, 0u);
    EXPECT_EQ(Cache::sets, 1);

    // A cached CRL the issuer did not sign counts as none.
    CrlSpec forged;
    forged.signingKey = "Forger";
    Cache::Answer(pki().leaf, pki().ca, certpki::MakeCrl(pki().ca, forged));
    EXPECT_EQ(Bits(Build(pki().leaf)), (std::vector<DWORD>{0x40, 0, 0}));

    // A certificate the cache calls its own issuer still has its signature
    // judged.
    CertSpec selfSpec = CaSpec("CN=Self");
    selfSpec.brokenSignature = true;
    const Cert self = certpki::SelfSigned(selfSpec);
    Cache::Answer(self, self);
    chain = Build(self);
    EXPECT_EQ(Bits(chain), std::vector<DWORD>{0x8});
    EXPECT_TRUE(chain.fromCache);

    // A cache that is not running is not asked.
    Cache::running = false;
    Cache::asked.clear();
    EXPECT_EQ(Build(pki().leaf).status.dwErrorStatus, 0x10000u);
    EXPECT_TRUE(Cache::asked.empty());
}

TEST_F(Sources, DownloadedCrlDecides) {
    CertDll::SetCrlCacheHooks(&Cache::kHooks);
    CertDll::SetCrlUpdaterHooks(&Updater::kHooks);
    CertSpec spec;
    spec.subject = "CN=With CDP";
    spec.crlUrls = {"http://crl.example/ca.crl"};
    const Cert leaf = certpki::Issue(pki().ca, spec);
    CrlSpec forged;
    forged.signingKey = "Forger";

    struct Case {
        const char* name;
        CCTFCRLContext served;
        bool allow;
        DWORD leafBits;
        int retrieved;
    };
    const Case cases[] = {
        {"listed", certpki::Revoke(pki().ca, {&leaf}), true, 0x4, 1},
        {"not listed", pki().caCrl, true, 0, 1},
        {"signed by another key", certpki::MakeCrl(pki().ca, forged), true, 0x40, 1},
        {"updates not allowed", pki().caCrl, false, 0x40, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A CRL fetched is installed into the trust storage: each case
        // starts from one without the CA's.
        CTFFreeRootStorage();
        Trust({&pki().root, &pki().ca}, {pki().rootCrl});
        Updater::Reset();
        Cache::updates = 0;
        Updater::served = c.served;
        Updater::settings.allowCrlUpdate = c.allow;
        const CCTFCertificateChain chain = Build(leaf);
        EXPECT_EQ(Bits(chain), (std::vector<DWORD>{c.leafBits, 0, 0}));
        EXPECT_EQ(Updater::retrieved, c.retrieved);
        // Every CRL fetched is installed and handed to the cache.
        EXPECT_EQ(Updater::installed, c.retrieved);
        EXPECT_EQ(Cache::updates, c.retrieved);
        // Planned for each certificate met as subject or issuer.
        EXPECT_EQ(Updater::planned, 5);
        // The product's CRL went into the trust storage: it decides there
        // without the updater.
        if (c.leafBits == 0x4) {
            CertDll::SetCrlUpdaterHooks(nullptr);
            EXPECT_EQ(Bits(Build(leaf)), (std::vector<DWORD>{0x4, 0, 0}));
            CertDll::SetCrlUpdaterHooks(&Updater::kHooks);
        }
    }

    // A CRL at hand is fetched again only when forced.
    CTFFreeRootStorage();
    Trust({&pki().root, &pki().ca}, {pki().rootCrl, pki().caCrl});
    Updater::Reset();
    Updater::served = certpki::Revoke(pki().ca, {&leaf});
    EXPECT_EQ(Bits(Build(leaf)), (std::vector<DWORD>{0, 0, 0}));
    EXPECT_EQ(Updater::retrieved, 0);
    Updater::settings.forceCrlUpdate = true;
    EXPECT_EQ(Bits(Build(leaf)), (std::vector<DWORD>{0x4, 0, 0}));
}

TEST_F(Sources, SystemStoresOfTheHome) {
    int error = -1;
    ASSERT_EQ(CTFAddCertToSystemStorage(pki().root.context, 0, &error), 1);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(CTFAddCertToSystemStorage(pki().ca.context, 0x20, &error), 1);
    ASSERT_EQ(CTFAddCertToSystemStorage(pki().leaf.context, 0, &error), 1);
    auto holds = [](const char* store, const CCTFCertContext& c) {
        CCTFCertStorage s(CCTFString(store), CERT_STORE_PROV_SYSTEM_W, CERT_SYSTEM_STORE_CURRENT_USER, 0, nullptr);
        std::list<CCTFCertContext> all;
        s.FindCertList(all, CERT_FIND_ANY, nullptr);
        return std::count(all.begin(), all.end(), c) == 1;
    };
    EXPECT_TRUE(holds("Root", pki().root.context));
    EXPECT_TRUE(holds("CA", pki().ca.context));
    EXPECT_TRUE(holds("AddressBook", pki().leaf.context));

    // Without the application flag's 0x2 the system stores are not searched.
    CTFSetAplicationFlag(0x1);
    EXPECT_EQ(Build(pki().leaf).status.dwErrorStatus, 0x10000u);
    CTFSetAplicationFlag(0x3);
    CCTFCertificateChain chain = Build(pki().leaf);
    EXPECT_EQ(Bits(chain), (std::vector<DWORD>{0, 0, 0}));
    EXPECT_EQ(chain.elements.back().issuer, pki().root.context);
    // 0x4: the system's roots are not trusted.
    CTFSetAplicationFlag(0x7);
    EXPECT_EQ(Bits(Build(pki().leaf)), (std::vector<DWORD>{0, 0, 0x20}));

    // Only a CRL current now goes in, beside its issuer.
    CrlSpec old;
    old.thisUpdate = certpki::Days(-20);
    old.nextUpdate = certpki::Days(-10);
    EXPECT_EQ(CTFUpdateCrlInSystemStorage({pki().caCrl, certpki::MakeCrl(pki().root, old)}), 1);
    CCTFCertStorage ca(CCTFString("CA"), CERT_STORE_PROV_SYSTEM_W, CERT_SYSTEM_STORE_CURRENT_USER, 0, nullptr);
    CCTFCertStorage root(CCTFString("Root"), CERT_STORE_PROV_SYSTEM_W, CERT_SYSTEM_STORE_CURRENT_USER, 0, nullptr);
    EXPECT_EQ(ca.GetCRLList(), std::list<CCTFCRLContext>{pki().caCrl});
    EXPECT_TRUE(root.GetCRLList().empty());
    CTFSetAplicationFlag(0x2);
    EXPECT_EQ(Bits(Build(pki().leaf)), (std::vector<DWORD>{0, 0x40, 0}));
}

TEST_F(Sources, CallersSearchIsLast) {
    struct Answers {
        std::map<std::string, std::pair<CCTFCertContext, CCTFCRLContext>> table;
        int calls = 0;
    } answers;
    answers.table[Key(pki().leaf.context)] = {pki().ca.context, pki().caRevokesLeaf};
    answers.table[Key(pki().ca.context)] = {pki().root.context, pki().rootCrl};
    CCTFChainEngine engine;
    engine.SetCallbackForCertStoreSearch(
        [](const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl, void* context) {
            auto& a = *static_cast<Answers*>(context);
            ++a.calls;
            auto it = a.table.find(Key(subject));
            if (it == a.table.end()) return 0ul;
            issuer = it->second.first;
            crl = it->second.second;
            return 0x10ul;
        },
        &answers);
    // Its answer is checked like any other, and a self-signed issuer ends
    // the chain.
    CCTFCertificateChain chain = Build(pki().leaf, nullptr, &engine);
    EXPECT_EQ(Bits(chain), (std::vector<DWORD>{0x4, 0}));
    EXPECT_EQ(answers.calls, 2);
    // The trust storages come first.
    TrustAll();
    answers.calls = 0;
    chain = Build(pki().leaf, nullptr, &engine);
    EXPECT_EQ(Bits(chain), (std::vector<DWORD>{0, 0, 0}));
    EXPECT_EQ(answers.calls, 0);
}

}  // namespace
