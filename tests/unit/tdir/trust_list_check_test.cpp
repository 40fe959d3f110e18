// Signed trust lists in the transport directory: what their check decides
// about the trust of the roots they carry.
#include <algorithm>

#include "cert/chain.h"
#include "cert/verify.h"
#include "pki.h"
#include "tdir_test_util.h"

namespace {

using certpki::Cert;
using certtest::Ctf;
using certtest::Sh;
using tdirtest::WriteSigned;

class TrustListCheck : public certtest::HomeTest {
protected:
    void TearDown() override {
        CTFFreeRootStorage();
        certtest::HomeTest::TearDown();
    }
};

int CheckOf(const std::string& path) {
    CCTFTrustRootCertList l(std::filesystem::path(path).filename().c_str());
    l.SetNewFileName(path.c_str());
    l.LoadFile();
    return l.GetCheckResult();
}

certpki::CertSpec EndEntity(const std::string& subject) {
    certpki::CertSpec s;
    s.subject = subject;
    return s;
}

// A root, the authority that signs the node lists, and a node's own root
// with a user under it; every authority with its CRL.
struct Pki {
    Cert root = certpki::SelfSigned(certpki::CaSpec("CN=TL Root, O=Test"));
    Cert signer = certpki::Issue(root, certpki::CaSpec("CN=TL Signer, O=Test"));
    Cert nodeRoot = certpki::SelfSigned(tdirtest::OfNode(certpki::CaSpec("CN=TL Node Root, O=Test"), 2, 0));
    Cert user = certpki::Issue(nodeRoot, tdirtest::OfNode(EndEntity("CN=TL User, O=Test"), 2));
    Cert other = certpki::SelfSigned(certpki::CaSpec("CN=TL Other, O=Test"));
    CCTFCRLContext rootCrl = certpki::MakeCrl(root), signerCrl = certpki::MakeCrl(signer),
                   nodeCrl = certpki::MakeCrl(nodeRoot);
};

const Pki& SharedPki() {
    static const Pki p;
    return p;
}

// `dir` with the root list (signed by its root) as the root storage and a
// node list "0002_trl.p7s" written by `node`.
template <typename Node>
void MakeDir(const std::string& dir, Node node) {
    const Pki& p = SharedPki();
    const std::string st = dir + "/d_station";
    WriteSigned(st + "/0001_trl.p7s", {&p.root}, {p.rootCrl}, &p.root);
    node(st + "/0002_trl.p7s");
    tdirtest::LoadRoot(dir, "d_station", "0001_trl.p7s");
}

// The trust error bits of the user's chain and the node list's status word.
std::pair<DWORD, int> UserChain() {
    CERT_TRUST_STATUS status{};
    EXPECT_TRUE(CTFVerifyCertificate(SharedPki().user.context, status));
    CCTFCertStorage node;
    EXPECT_TRUE(CTFGetStorageCollection().FindStorage("0002_trl.p7s", node));
    return {status.dwErrorStatus, node.GetStatus()};
}

TEST_F(TrustListCheck, NodeListAnchorsItsRootsOnlyWhileItsSignatureHolds) {
    const Pki& p = SharedPki();
    const std::vector<const Cert*> certs{&p.nodeRoot, &p.signer, &p.user};
    const std::vector<CCTFCRLContext> crls{p.nodeCrl, p.signerCrl};

    // Signed by an authority under the root storage's root: trusted.
    MakeDir(home_ / "good", [&](const std::string& f) { WriteSigned(f, certs, crls, &p.signer); });
    EXPECT_EQ(CheckOf(home_ / "good/d_station/0002_trl.p7s"), 0);
    EXPECT_EQ(UserChain(), std::make_pair(DWORD(0), 0));

    // Unsigned: nothing to check, nothing marked.
    MakeDir(home_ / "plain", [&](const std::string& f) { WriteSigned(f, certs, crls, nullptr); });
    EXPECT_EQ(CheckOf(home_ / "plain/d_station/0002_trl.p7s"), CTFERR_LIST_NO_SIGNER);
    EXPECT_EQ(UserChain(), std::make_pair(DWORD(0), 0));

    // One certificate swapped after signing: the list still loads, but its
    // root anchors nothing.
    MakeDir(home_ / "changed", [&](const std::string& f) {
        WriteSigned(f, certs, crls, &p.signer, [&](CCTFSignData& sd) { sd.m_certificates.back() = p.other.der; });
    });
    EXPECT_EQ(CheckOf(home_ / "changed/d_station/0002_trl.p7s"), CTFERR_LIST_NOT_VALID);
    const auto [bits, word] = UserChain();
    EXPECT_EQ(bits & CTF_STORAGE_UNTRUSTED, DWORD(CTF_STORAGE_UNTRUSTED));
    EXPECT_EQ(word, CTF_STORAGE_UNTRUSTED);

    // Signed by an authority of no trusted root: its signature holds, its
    // chain does not.
    MakeDir(home_ / "stranger", [&](const std::string& f) { WriteSigned(f, {&p.nodeRoot, &p.other}, crls, &p.other); });
    EXPECT_EQ(CheckOf(home_ / "stranger/d_station/0002_trl.p7s"), CTFERR_LIST_NOT_VALID);
    EXPECT_EQ(UserChain().second, CTF_STORAGE_UNTRUSTED);
}

TEST_F(TrustListCheck, SignerMustBeAnAuthority) {
    const Pki& p = SharedPki();
    // Two certificates of one key: the authority signs, the signer info
    // then names the end entity, whose signature it equally is.
    certpki::CertSpec ca = certpki::CaSpec("CN=TL Clerk CA, O=Test"), ee = EndEntity("CN=TL Clerk, O=Test");
    ca.key = ee.key = "tl-clerk";
    const Cert authority = certpki::Issue(p.root, ca), clerk = certpki::Issue(p.root, ee);
    const std::string path = home_ / "t/d_station/0002_trl.p7s";
    MakeDir(home_ / "t", [&](const std::string& f) {
        WriteSigned(f, {&p.nodeRoot, &clerk}, {p.nodeCrl}, &authority, [&](CCTFSignData& sd) {
            CCTFMessageSignerInfo si;
            int err = 0;
            ASSERT_NE(si.ReadData(sd.m_signerInfos.front().data(), sd.m_signerInfos.front().size(), &err), 0u);
            IdentObj serial = clerk.Serial();
            std::reverse(serial.data(), serial.data() + serial.size());
            si.m_serialNumber = serial;
            sd.m_signerInfos.front() = si.WriteData(&err);
        });
    });
    std::list<CCTFWholeSignatureCheck> results;
    WhatToSignStruct none;
    none.end = 0xFFFFFFFFu;
    int err = 0;
    ASSERT_TRUE(CTFVerifySignedData(&results, none, IdentObj(certtest::ReadFile(path)), nullptr, &err)) << err;
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results.front().m_status, 0x800B0110u);
    EXPECT_EQ(CheckOf(path), CTFERR_LIST_NOT_VALID);
    EXPECT_EQ(UserChain().second, CTF_STORAGE_UNTRUSTED);
}

TEST_F(TrustListCheck, RootListChecksOnceItIsTheRootStorage) {
    const Pki& p = SharedPki();
    const std::string dir = home_ / "t", rootList = dir + "/d_station/0001_trl.p7s";
    WriteSigned(rootList, {&p.root, &p.signer}, {p.rootCrl}, &p.signer);
    // Alone its signer chains to nothing trusted; loading leaves the
    // storage trusted all the same, since only the list can vouch for it.
    CCTFTrustRootCertList alone("0001_trl.p7s");
    alone.SetNewFileName(rootList.c_str());
    alone.LoadFile();
    EXPECT_EQ(alone.GetCheckResult(), CTFERR_LIST_NOT_VALID);
    EXPECT_EQ(alone.ReturnStorage()->GetStatus(), 0);
    tdirtest::LoadRoot(dir, "d_station", "0001_trl.p7s");
    EXPECT_EQ(CheckOf(rootList), 0);

    // The tool does the same, and warns when the check fails.
    const std::string nodeList = dir + "/d_station/0002_trl.p7s";
    WriteSigned(nodeList, {&p.nodeRoot, &p.signer}, {p.nodeCrl, p.signerCrl}, &p.signer);
    auto r = Ctf("--transport-dir " + Sh(dir) + " tdir ls --node 0001");
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_EQ(r.err, "");
    r = Ctf("list check " + Sh(rootList));
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.out << r.err;
    r = Ctf("--transport-dir " + Sh(dir) + " list check " + Sh(nodeList) + " --node 0001");
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.out << r.err;
    // Without the directory the node list's signer chains to no root.
    EXPECT_EQ(Ctf("list check " + Sh(nodeList)).exitCode, certtest::kExitCheckFailed);

    WriteSigned(rootList, {&p.root, &p.signer}, {p.rootCrl}, &p.signer,
                [&](CCTFSignData& sd) { sd.m_certificates.push_back(p.other.der); });
    r = Ctf("--transport-dir " + Sh(dir) + " tdir ls --node 0001");
    EXPECT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    EXPECT_NE(r.err.find("warning: "), std::string::npos) << r.err;
    r = Ctf("list check " + Sh(rootList) + " --json");
    EXPECT_EQ(r.exitCode, certtest::kExitCheckFailed) << r.out << r.err;
    EXPECT_NE(r.out.find("\"status\": 98"), std::string::npos) << r.out;
}

}  // namespace
