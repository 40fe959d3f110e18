// Signed node lists whose signers chain through other node lists, read by
// several threads at once: a check waits for a list another thread is
// reading instead of judging the signer without it, and two checks that
// need each other's lists still finish.
#include <atomic>
#include <chrono>
#include <thread>

#include "cert/chain.h"
#include "stores/collection_internal.h"
#include "tdir_test_util.h"

namespace {

using certpki::Cert;

// Every certificate of these lists is a CA and comes with its CRL.
void WriteList(const std::string& path, const std::vector<const Cert*>& certs, const Cert* signer) {
    std::vector<CCTFCRLContext> crls;
    for (const Cert* c : certs) crls.push_back(certpki::MakeCrl(*c));
    tdirtest::WriteSigned(path, certs, crls, signer);
}

class ListWait : public certtest::HomeTest {
protected:
    void TearDown() override {
        cert::stores::SetListReadObserver(nullptr);
        CTFFreeRootStorage();
        certtest::HomeTest::TearDown();
    }
};

std::atomic<bool> g_slowRead{false};

TEST_F(ListWait, CheckWaitsForTheListItsSignerChainsThroughAndCirclesEnd) {
    const Cert root = certpki::SelfSigned(certpki::CaSpec("CN=LW Root, O=Test"));
    // x2 and x3 sit in the lists of nodes 2 and 3; s2 signs list 2 and is
    // issued by x3, s3 signs list 3 and is issued by x2.
    const Cert x2 = certpki::Issue(root, certpki::CaSpec("CN=LW CA 2, O=Test"));
    const Cert x3 = certpki::Issue(root, certpki::CaSpec("CN=LW CA 3, O=Test"));
    const Cert s2 = certpki::Issue(x3, tdirtest::OfNode(certpki::CaSpec("CN=LW Signer 2, O=Test"), 3));
    const Cert s3 = certpki::Issue(x2, tdirtest::OfNode(certpki::CaSpec("CN=LW Signer 3, O=Test"), 2));
    const auto makeDir = [&](const std::string& dir, bool circle) {
        const std::string st = dir + "/d_station";
        WriteList(st + "/0001_trl.p7s", {&root}, &root);
        WriteList(st + "/0002_trl.p7s", {&x2, &s2}, &s2);
        WriteList(st + "/0003_trl.p7s", {&x3, &s3}, circle ? &s3 : nullptr);
        tdirtest::LoadRoot(dir, "d_station", "0001_trl.p7s");
    };
    const auto status = [](const char* name) {
        CCTFCertStorage s;
        return CTFGetStorageCollection().FindStorage(name, s) ? s.GetStatus() : -1;
    };

    // List 3 (unsigned) is still being read when list 2's check needs it
    // for its signer's issuer: the check waits and list 2 stays trusted.
    makeDir(home_ / "wait", false);
    cert::stores::SetListReadObserver([](const char* name) {
        if (std::string_view(name) != "0003_trl.p7s") return;
        g_slowRead = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    std::thread reader([] {
        XTOOStatus st(0);
        CTFGetStorageCollection().Load("0003_trl.p7s", &st);
    });
    while (!g_slowRead) std::this_thread::yield();
    XTOOStatus st(0);
    EXPECT_EQ(CTFGetStorageCollection().Load("0002_trl.p7s", &st), 1) << st.Status();
    reader.join();
    EXPECT_EQ(status("0002_trl.p7s"), 0);
    EXPECT_EQ(status("0003_trl.p7s"), 0);

    // Each list signed by a signer that chains through the other: however
    // the two reads overlap, both end and exactly one check, the one that
    // could not have the other list, fails.
    cert::stores::SetListReadObserver(nullptr);
    makeDir(home_ / "circle", true);
    std::atomic<int> go{0};
    std::vector<std::thread> threads;
    for (const char* name : {"0002_trl.p7s", "0003_trl.p7s"})
        threads.emplace_back([&go, name] {
            ++go;
            while (go < 2) std::this_thread::yield();
            XTOOStatus s(0);
            CTFGetStorageCollection().Load(name, &s);
        });
    for (auto& t : threads) t.join();
    const int marked2 = status("0002_trl.p7s"), marked3 = status("0003_trl.p7s");
    EXPECT_EQ((marked2 == CTF_STORAGE_UNTRUSTED) + (marked3 == CTF_STORAGE_UNTRUSTED), 1) << marked2 << " " << marked3;
}

}  // namespace
