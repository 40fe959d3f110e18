// The transport directory: the storage list of every layout, the storage
// collection's lazy loading and issuer search, and CRL installation.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "cert/chain.h"
#include "cert/crlmodel.h"
#include "cert/ctfuser.h"
#include "pki.h"
#include "stores/collection_internal.h"
#include "tdir_test_util.h"

namespace {

using namespace tdirtest;
using certtest::ReadFile;
using certtest::WriteFile;

class Tdir : public certtest::HomeTest {
protected:
    void TearDown() override {
        cert::stores::SetListReadObserver(nullptr);
        CTFFreeRootStorage();
        CTFSetAplicationFlag(0);
        certtest::HomeTest::TearDown();
    }
};

std::string Shown(const CCTFCertStorage& s, const std::string& dir) {
    std::string name = static_cast<const char*>(s.GetName());
    if (name.rfind(dir + "/", 0) == 0) name.erase(0, dir.size() + 1);
    return name;
}

TEST_F(Tdir, NodeIdComesFromUniqueIdsElseFromARequestSerial) {
    // "00010005" is the key-id word of the request: least significant byte
    // first it reads 05 00 01 00, and the node is its upper half.
    const CCTFCertContext bySerial(ModelCert("CN=User", "CN=Node CA", "00010005"));
    ASSERT_TRUE(bySerial.IsInitialized());
    EXPECT_EQ(certtest::Hex(IdentObj(bySerial.GetContext()->pCertInfo->SerialNumber.pbData, 4)), "05000100");
    EXPECT_EQ(cert::stores::IssuerNodeId(bySerial), "0001");
    EXPECT_EQ(cert::stores::IssuerNodeId(CCTFCertContext(ModelCert("CN=User", "CN=Node CA", "ABCD1234"))), "abcd");
    // The subject unique identifier (the key-id text) comes before the serial.
    EXPECT_EQ(cert::stores::IssuerNodeId(CCTFCertContext(ModelCert("CN=User", "CN=Node CA", "00420005", true))),
              "0042");
    // Unique identifiers that are no name of a file are passed over.
    CCTFX509Certificate sneaky;
    ASSERT_TRUE(sneaky.DecodeCert(ModelCert("CN=User", "CN=Node CA", "00010005")));
    sneaky.m_info.m_issuerUniqueId = CTOOCryptBitBlob("../x", 4);
    EXPECT_EQ(cert::stores::IssuerNodeId(CCTFCertContext(sneaky.GetEncodetCert())), "0001");
    XTOOStatus status(0);
    EXPECT_EQ(CTFGetStorageCollection().Load("../0001_trl.p7s", &status), 0);
    EXPECT_EQ(status.Status(), TOOERR_BADARG);
    // A serial of another length names no node.
    EXPECT_EQ(cert::stores::IssuerNodeId(CCTFCertContext(SharedPki().Der("good.der"))), "");
}

// Every layout of the transport directory at once; folders on disk in
// other letter case than the library spells them.
struct Layout {
    std::string dir;
    IdentObj crlX, crlY;
    explicit Layout(const std::string& base) : dir(base) {
        const Pki& p = SharedPki();
        const IdentObj ca = p.Der("ca.der"), user = p.Der("good.der");
        crlX = p.Der("crl.der");
        crlY = p.Der("empty.crl.der");
        const std::string st = dir + "/D_Station";
        WriteList(st + "/0001_trl.p7s", {ca}, {crlY});
        WriteList(st + "/0000_trl.p7s", {ca}, {crlX});
        WriteList(st + "/0002_trl.p7s", {ca}, {crlX});  // the common list's CRL again
        WriteMacList(st + "/0003.trl", {ca});
        WriteList(st + "/0004_trl.p7s", {ca}, {crlY});
        WriteFile(st + "/0004.crl", std::string(crlY.view()));      // beside its signed list
        WriteFile(st + "/0005.crl", std::string(crlX.view()));      // alone
        WriteFile(st + "/0001_REM.CRL", std::string(crlX.view()));  // the own node's, beside its list
        WriteStore(st + "/own_input.cer", user);
        WriteStore(st + "/Abn_0001/0001_ownu.cer", user);
        WriteStore(st + "/Abn_0001/0001_ownu.req", user);
        WriteStore(st + "/Abn_0009/0009_ownu.cer", user);
        WriteStore(st + "/E_Users/0007_extu.cer", user);
        WriteStore(st + "/E_Users/0007_extu.req", user);
        WriteStore(st + "/E_Users/0007_extu.crl", user);
        WriteFile(st + "/E_Users/0008_extu.cer", "not a store");
        WriteStore(st + "/tmp/own_input.cer", user);
        WriteStore(st + "/tmp/ext_input.cer", user);
        WriteStore(st + "/tmp/e_users/0007_extu.bad", user);
        // The alternative layout: no station folder.
        WriteList(dir + "/0006.trl", {ca}, {}, false);
        WriteList(dir + "/0006_trl.p7s", {ca});
        WriteList(dir + "/0001_trl.p7s", {ca});
        WriteList(dir + "/0001_spr.dok", {ca}, {}, false);
        WriteStore(dir + "/o_users/0001_ownu.cer", user);
        WriteStore(dir + "/o_users/0001_ownu.req", user);
        WriteList(dir + "/in/0008.trl", {ca}, {}, false);
        WriteStore(dir + "/in/0007_extu.crl", user);
        WriteStore(dir + "/bad/e_users/0007_extu.bad", user);
    }
};

TEST_F(Tdir, StorageListGivesEachFlagItsStoragesInOrder) {
    Layout l(home_.path() + "/tdir");
    const struct {
        unsigned long flags;
        const char* user;
        std::vector<std::string> names;
    } kTable[] = {
        {0x1, nullptr, {"0001_trl.p7s"}},
        {0x40000000, nullptr, {"0000_trl.p7s"}},
        // The node lists of the collection after loading all: not the own
        // node's, not the current user's.
        {0x2, nullptr, {"0000_trl.p7s", "0002_trl.p7s", "0004_trl.p7s", "0003.trl"}},
        // The own node's CRLs: its signed list; its "_REM.CRL" lies beside it.
        {0x4, nullptr, {"D_Station/0001_trl.p7s"}},
        // The others': 0002 carries the common list's CRL and is left out,
        // 0004.crl is its signed list's, 0005.crl stands alone.
        {0x8, nullptr, {"D_Station/0000_trl.p7s", "D_Station/0004_trl.p7s", "D_Station/0005.crl"}},
        {0x10, "0001", {"CurrentUser.cer", "D_Station/Abn_0001/0001_ownu.cer"}},
        {0x10, nullptr, {"CurrentUser.cer", "D_Station/Abn_0001/0001_ownu.cer", "D_Station/Abn_0009/0009_ownu.cer"}},
        {0x100, "0001", {"D_Station/Abn_0001/0001_ownu.req"}},
        // 0008_extu.cer is no store.
        {0x20, nullptr, {"D_Station/E_Users/0007_extu.cer"}},
        {0x200, nullptr, {"D_Station/E_Users/0007_extu.req"}},
        {0x400, nullptr, {"D_Station/E_Users/0007_extu.crl"}},
        // 0x30C0 selects the staging folder.
        {0x40, nullptr, {"D_Station/tmp/own_input.cer"}},
        {0x80, nullptr, {"D_Station/tmp/ext_input.cer"}},
        {0x1000, nullptr, {"D_Station/tmp/e_users/0007_extu.bad"}},
        {0x33,
         "0001",
         {"0001_trl.p7s", "0000_trl.p7s", "0002_trl.p7s", "0004_trl.p7s", "0003.trl", "CurrentUser.cer",
          "D_Station/Abn_0001/0001_ownu.cer", "D_Station/E_Users/0007_extu.cer"}},
        // The alternative layout: lists by pattern, not the own node's.
        {0x20000002, nullptr, {"0006.trl", "0006_trl.p7s"}},
        {0x20002002, nullptr, {"in/0008.trl"}},
        {0x20000010, nullptr, {"0001_spr.dok", "o_users/0001_ownu.cer"}},
        {0x20000100, nullptr, {"o_users/0001_ownu.req"}},
        {0x20002400, nullptr, {"in/0007_extu.crl"}},
        {0x20001000, nullptr, {"bad/e_users/0007_extu.bad"}},
    };
    for (const auto& row : kTable) {
        LoadRoot(l.dir, "D_Station", "0001_trl.p7s");
        CCTFCertStorage currentUser(CCTFString("CurrentUser.cer"), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
        CTFLoadUserStorage(currentUser);
        std::vector<std::string> names;
        for (const CCTFCertStorage& s : CTFGetStorageList(row.flags, row.user)) {
            names.push_back(Shown(s, l.dir));
            EXPECT_EQ(s.GetType(), row.flags) << names.back();
        }
        EXPECT_EQ(names, row.names) << std::hex << "flags 0x" << row.flags;
    }

    // The system stores and nothing else.
    LoadRoot(l.dir, "D_Station", "0001_trl.p7s");
    std::vector<std::string> names;
    for (const CCTFCertStorage& s : CTFGetStorageList(0x10000011, nullptr)) names.push_back(Shown(s, l.dir));
    EXPECT_EQ(names, (std::vector<std::string>{"Root", "MY"}));

    // Without a trust storage the steps that need it fail, the others do not.
    CTFFreeRootStorage();
    for (unsigned long flags : {0x1ul, 0x4ul, 0x8ul, 0x20000002ul}) {
        try {
            CTFGetStorageList(flags, nullptr);
            ADD_FAILURE() << flags;
        } catch (const XTOOStatus& e) {
            EXPECT_EQ(e.Status(), CTFERR_NO_TRUST_STORAGE);
            EXPECT_STREQ(e.Place(), "m_VPN_TrustStorages");
        }
    }
    EXPECT_EQ(CTFGetStorageList(0x20, nullptr).size(), 1u);
}

// Node lists 0002..0009 under one common list: node 0005's is corrupt,
// node 0006 has none. Each node's user is issued by its node's centre.
struct Nodes {
    std::string dir;
    std::vector<CCTFCertContext> users;
    explicit Nodes(const std::string& base) : dir(base) {
        const std::string st = dir + "/d_station";
        WriteList(st + "/0001_trl.p7s", {ModelCert("CN=Own CA", "CN=Own CA", "00010001")});
        for (int n = 2; n <= 9; ++n) {
            const std::string id = "000" + std::to_string(n);
            const std::string centre = "CN=Centre " + id;
            users.emplace_back(ModelCert("CN=User " + id, centre, (id + "0005").c_str()));
            if (n == 5)
                WriteFile(st + "/" + id + "_trl.p7s", "\x30\x03\x02\x01\x01");
            else if (n != 6)
                WriteList(st + "/" + id + "_trl.p7s", {ModelCert(centre, centre, (id + "0001").c_str())});
        }
        WriteList(st + "/0000_trl.p7s", {ModelCert("CN=Common CA", "CN=Common CA", "00000001")});
    }
};

std::mutex g_readsMutex;
std::map<std::string, int> g_reads;
std::atomic<int> g_reentered{0};

TEST_F(Tdir, ListsLoadOnceWhileManyThreadsSearch) {
    Nodes nodes(home_.path() + "/t");
    LoadRoot(nodes.dir, "d_station", "0001_trl.p7s");
    g_reads.clear();
    g_reentered = 0;
    // The reading thread searches the collection as a protection check
    // would, and stays a while so the others come to wait.
    cert::stores::SetListReadObserver([](const char* name) {
        {
            std::lock_guard<std::mutex> lock(g_readsMutex);
            ++g_reads[name];
        }
        XTOOStatus status(0);
        if (CTFGetStorageCollection().Load(name, &status) == 0 && status.Status() == TOOERR_NOFILE) ++g_reentered;
        CCTFCertContext issuer;
        unsigned long flags = 7;
        CTFGetStorageCollection().FindIssuerCertificate(CCTFCertContext(ModelCert("CN=X", "CN=Nobody", "00030001")),
                                                        issuer, &flags, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (std::size_t i = 0; i < nodes.users.size(); ++i) {
                    const std::size_t k = (i + t) % nodes.users.size();
                    CCTFCertContext issuer;
                    unsigned long flags = 7;
                    const int found =
                        CTFGetStorageCollection().FindIssuerCertificate(nodes.users[k], issuer, &flags, nullptr);
                    const bool expected = k != 3 && k != 4;  // nodes 0005 and 0006
                    if (found != (expected ? 1 : 0) || (!found && !(flags & CTF_CHECK_NO_ISSUER))) ++wrong;
                    if (found && issuer.GetSubjectName() != nodes.users[k].GetIssuerName()) ++wrong;
                }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    for (const auto& [name, count] : g_reads) EXPECT_EQ(count, 1) << name;
    EXPECT_EQ(g_reads.count("0005_trl.p7s"), 0u);  // corrupt: never entered
    EXPECT_GT(g_reentered.load(), 0);
    std::map<std::string, int> entered;
    for (const CCTFCertStorage& s : CTFGetStorageCollection().GetStorages())
        ++entered[static_cast<const char*>(s.GetName())];
    for (const auto& [name, count] : entered) EXPECT_EQ(count, 1) << name;
    EXPECT_EQ(entered.size(), 8u);  // own, common, six nodes

    // A new transport directory makes the node lists stale: the next load
    // reads the new directory's, the root storage stays.
    cert::stores::SetListReadObserver(nullptr);
    Nodes other(home_.path() + "/u");
    std::filesystem::remove(other.dir + "/d_station/0002_trl.p7s");
    CTFSetTransDir(CTOOString(other.dir.c_str()));
    CTFSetAplicationFlag(0);
    CCTFCertContext issuer;
    unsigned long flags = 7;
    EXPECT_EQ(CTFGetStorageCollection().FindIssuerCertificate(nodes.users[0], issuer, &flags, nullptr), 0);
    CCTFCertStorage root;
    EXPECT_EQ(CTFGetStorageCollection().GetRootStorage(root), 1);
    EXPECT_EQ(CTFGetStorageCollection().IsLoad("0003_trl.p7s"), false);
}

TEST_F(Tdir, CommonListIssuerTakesItsCrlFromTheNodeList) {
    const Pki& p = SharedPki();
    const std::string dir = home_.path() + "/t", st = dir + "/d_station";
    const CCTFCertContext ca(p.Der("ca.der"));
    // A user of node 0003 whose issuer is the PKI's centre.
    const CCTFCertContext user(ModelCert("CN=Node User", ca.GetSubjectName(), "00030007"));
    WriteList(st + "/0001_trl.p7s", {ModelCert("CN=Own CA", "CN=Own CA", "00010001")});
    WriteList(st + "/0000_trl.p7s", {p.Der("ca.der")});
    WriteList(st + "/0003_trl.p7s", {}, {p.Der("crl.der")});
    LoadRoot(dir, "d_station", "0001_trl.p7s");
    CCTFCertContext issuer;
    CCTFCRLContext crl;
    unsigned long flags = 7;
    ASSERT_EQ(CTFGetStorageCollection().FindIssuerCertificate(user, issuer, &flags, &crl), 1);
    EXPECT_EQ(issuer, ca);
    EXPECT_EQ(crl.GetEncoded(), p.Der("crl.der"));
    EXPECT_EQ(flags & (CTF_CHECK_NO_CRL | CTF_CHECK_REVOCATION), 0u);
}

TEST_F(Tdir, CrlInstallsOnlyWhenItsIssuerSignedItAndItIsNewer) {
    const Pki& p = SharedPki();
    const std::string dir = home_.path() + "/t", st = dir + "/d_station";
    WriteList(st + "/0001_trl.p7s", {p.Der("ca.der")});
    WriteFile(st + "/0001_rem.crl", std::string(p.Der("stale.crl.der").view()));
    LoadRoot(dir, "d_station", "0001_trl.p7s");
    const auto listCrls = [&] { return CrlsOfList(st + "/0001_trl.p7s"); };
    const auto before = ReadFile(st + "/0001_trl.p7s");
    CCTFCertStorage root;
    ASSERT_TRUE(CTFGetStorageCollection().GetRootStorage(root));

    int error = -1;
    CTOOString place;
    // A forger's CRL with the centre's name and key identifier: refused,
    // nothing written.
    EXPECT_EQ(CTFUpdateCRLContext(CCTFCRLContext(p.Der("forged.crl.der")), &error, &place), 0);
    EXPECT_EQ(error, CTFERR_CRL_ISSUER_UNKNOWN);
    EXPECT_STREQ(place.c_str(), "GD_RegCRLRequest ");
    EXPECT_EQ(ReadFile(st + "/0001_trl.p7s"), before);
    EXPECT_EQ(ReadFile(st + "/0001_rem.crl"), std::string(p.Der("stale.crl.der").view()));
    EXPECT_TRUE(CrlsOf(root).empty());

    // The older CRL (key identifier only, as openssl writes it) installs
    // everywhere; the same again is not newer.
    EXPECT_EQ(CTFUpdateCRLContext(CCTFCRLContext(p.Der("empty.crl.der")), &error, &place), 1) << error;
    EXPECT_EQ(error, 0);
    EXPECT_EQ(listCrls(), std::vector<IdentObj>{p.Der("empty.crl.der")});
    EXPECT_EQ(CrlsOf(root), std::vector<IdentObj>{p.Der("empty.crl.der")});
    EXPECT_EQ(ReadFile(st + "/0001_rem.crl"), std::string(p.Der("empty.crl.der").view()));
    const auto installed = ReadFile(st + "/0001_trl.p7s");
    EXPECT_EQ(CTFUpdateCRLContext(CCTFCRLContext(p.Der("empty.crl.der")), &error, &place), 0);
    EXPECT_EQ(error, CTFERR_CRL_NOT_NEWER);
    EXPECT_EQ(ReadFile(st + "/0001_trl.p7s"), installed);
    try {
        CTFUpdateCRLContext(CCTFCRLContext(p.Der("empty.crl.der")), nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const XTOOStatus& e) {
        EXPECT_EQ(e.Status(), CTFERR_CRL_NOT_NEWER);
    }

    // The newer one replaces it in the storage and in both files.
    EXPECT_EQ(CTFUpdateCRLContext(CCTFCRLContext(p.Der("crl.der")), &error, &place), 1) << error;
    EXPECT_EQ(listCrls(), std::vector<IdentObj>{p.Der("crl.der")});
    EXPECT_EQ(CrlsOf(root), std::vector<IdentObj>{p.Der("crl.der")});
    EXPECT_EQ(ReadFile(st + "/0001_rem.crl"), std::string(p.Der("crl.der").view()));

    EXPECT_EQ(CTFUpdateCRLContext(CCTFCRLContext(), &error, &place), 0);
    EXPECT_EQ(error, TOOERR_BADARG);
    CTFFreeRootStorage();
    EXPECT_EQ(CTFUpdateCRLContext(CCTFCRLContext(p.Der("crl.der")), &error, &place), 0);
    EXPECT_EQ(error, CTFERR_NO_TRUST_STORAGE);
    EXPECT_STREQ(place.c_str(), "m_VPN_TrustStorages");
}

TEST_F(Tdir, CrlNamingItsIssuerByIssuerAndSerialInstalls) {
    // An intermediate's CRL whose authority key identifier carries the
    // root's name and the intermediate's serial, no key identifier.
    const certpki::Cert root = certpki::SelfSigned(certpki::CaSpec("CN=Tdir Root, O=Test"));
    const certpki::Cert sub = certpki::Issue(root, certpki::CaSpec("CN=Tdir Sub, O=Test"));
    certpki::CrlSpec spec;
    spec.keyId = certpki::CrlKeyId::IssuerAndSerial;
    const CCTFCRLContext crl = certpki::MakeCrl(sub, spec);
    const std::string dir = home_.path() + "/t", st = dir + "/d_station";
    WriteList(st + "/0001_trl.p7s", {root.der});
    WriteList(st + "/0002_trl.p7s", {sub.der});
    LoadRoot(dir, "d_station", "0001_trl.p7s");
    int error = -1;
    EXPECT_EQ(CTFUpdateCRLContext(crl, &error, nullptr), 1) << error;
    EXPECT_EQ(CrlsOfList(st + "/0002_trl.p7s"), std::vector<IdentObj>{crl.GetEncoded()});
    EXPECT_TRUE(CrlsOfList(st + "/0001_trl.p7s").empty());
}

TEST_F(Tdir, FindsAndHooksReachTheStorageList) {
    const Pki& p = SharedPki();
    const std::string dir = home_.path() + "/t", st = dir + "/d_station";
    WriteList(st + "/0001_trl.p7s", {p.Der("ca.der")}, {p.Der("crl.der")});
    WriteStore(st + "/e_users/0007_extu.cer", p.Der("revoked.der"));
    LoadRoot(dir, "d_station", "0001_trl.p7s");
    const CCTFCertContext revoked(p.Der("revoked.der"));
    IdentObj serial;
    ASSERT_TRUE(revoked.GetSubjectSerialNumber(serial));
    EXPECT_EQ(CTFFindCertificate(serial, 0x33), revoked);
    EXPECT_FALSE(CTFFindCertificate(serial, 0x11).IsInitialized());
    // The CRL's first entry is the revoked certificate; past the end none.
    const CCTFCRLContext crl(p.Der("crl.der"));
    EXPECT_EQ(CTFFindCertificate(crl, 0), revoked);
    EXPECT_FALSE(CTFFindCertificate(crl, 1).IsInitialized());

    // The CRL model's expiry search asks the transport directory (the
    // alternative layout's external users): the expired certificate's entry
    // goes, the revoked one's stays.
    WriteStore(dir + "/e_users/0007_extu.cer", p.Der("expired.der"));
    CCTF_CRL_List model;
    model.DecodeObject(p.Der("crl.der"));
    IdentObj expiredSerial;
    ASSERT_TRUE(CCTFCertContext(p.Der("expired.der")).GetSubjectSerialNumber(expiredSerial));
    model.m_info.AddEntry(expiredSerial, 0, nullptr);
    const std::size_t entries = model.m_info.m_entries.size();
    model.CheckAndRemoveOld();
    EXPECT_EQ(model.m_info.m_entries.size(), entries - 1);
    EXPECT_EQ(model.m_info.m_entries.Find(expiredSerial), nullptr);

    // A container's key finds its certificate in the trust storages.
    const CTFKeyCertificateSearch search = CTFSetKeyCertificateSearch(nullptr);
    CTFSetKeyCertificateSearch(search);
    ASSERT_NE(search, nullptr);
    CCTFUserKeyInfo key;
    key.m_keyId = CCTFCertContext(p.Der("ca.der")).GetSubjectKeyId();
    CCTFCertContext found;
    EXPECT_TRUE(search(key, found));
    EXPECT_EQ(found, CCTFCertContext(p.Der("ca.der")));

    EXPECT_EQ(CTFGetCRLContextList(st.c_str()).size(), 1u);
    CCTFCertStorage root;
    ASSERT_TRUE(CTFGetStorageCollection().GetRootStorage(root));
    EXPECT_EQ(CTFGetCRLContextList(root).size(), 1u);

    // Without a request source the number starts at 0.
    CTFSetTransDir(CTOOString((dir + "/other").c_str()));
    EXPECT_EQ(CTFGetCurrentCertNumber(), 0u);
    CTFAddCurrentCertNumber();
    EXPECT_EQ(CTFGetCurrentCertNumber(), 1u);
    CertDll::SetCertNumberSource([]() -> long long { return 41; });
    EXPECT_EQ(CTFGetCurrentCertNumber(), 42u);
    CertDll::SetCertNumberSource(nullptr);
}

}  // namespace
