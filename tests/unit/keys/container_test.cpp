// Container descriptions: the information record with its certificates,
// CCTFContainer (load, copy, delete, 194), the certificate search hook and
// CTFGetContainerList.
#include <algorithm>

#include "cert/asn.h"
#include "cert/ctfuser.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::Sh;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class Containers : public certtest::HomeTest {
protected:
    std::string F(const std::string& n) { return dir_ / n; }
    // A container with a signature key under `password` (none when empty)
    // and, when asked, an exchange key without one.
    void Make(const std::string& name, bool machine, const char* password, bool exchange = false) {
        const DWORD flags = CRYPT_NEWKEYSET | CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0);
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, name.c_str(), nullptr, VRK_PROV_TYPE_GOST_2012_256, flags));
        if (*password) {
            ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, password, 0));
        }
        CryptKey k;
        ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0x1000000, &k));
        if (exchange) {
            ASSERT_TRUE(VRKGenKey(p, AT_KEYEXCHANGE, 0x1000000, &k));
        }
    }
    // A self-signed certificate of the container's signature key, stored
    // with that key; its DER.
    std::string Bind(const std::string& name, const char* password) {
        const std::string out = F(name + ".der");
        const std::string pw = *password ? " --password-file " + Sh(F("pw")) : std::string(" --no-password");
        if (*password) certtest::WriteFile(F("pw"), std::string(password) + "\n");
        auto r = certtest::Ctf("cert new --subject CN=" + name + " --container " + name + pw + " --out " + Sh(out));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string der = certtest::ReadFile(out);
        CryptProvider p;
        EXPECT_TRUE(VRKAcquireContext(&p, name.c_str(), nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT));
        if (*password) {
            EXPECT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, password, 0));
        }
        CryptKey k;
        EXPECT_TRUE(VRKGetUserKey(p, AT_SIGNATURE, &k));
        EXPECT_TRUE(VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj(std::string_view(der))));
        return der;
    }
    std::string KeyFile(const std::string& name) { return home_.path() + "/local/Varnok/Containers/" + name + ".key"; }
    certtest::TempDir dir_;
};

TEST(ContainerInfoRecord, CertificateFieldIsOptionalAndTheReaderStrict) {
    ASNContainerInfo info;
    info.name = "box";
    info.keyInfo.dwFlags = VRK_KEYINFO_SIGNATURE | VRK_KEYINFO_CERTIFICATE;
    info.keyInfo.dwKeySpec = AT_SIGNATURE;
    info.keyInfo.algId = CALG_GOST_R3410_2012_256;
    info.keyInfo.keyId = IdentObj("0123456789abcdefghij", 20);
    info.keyInfo.publicKey = IdentObj(std::string(64, '\x11'));
    info.keyInfo.paramSet = "1.2.643.2.2.35.1";
    info.keyInfo.certificate = certtest::BlobFromHex("3003020105");
    ASNKeyInfo plain = info.keyInfo;
    plain.dwKeySpec = AT_KEYEXCHANGE;
    plain.certificate.Empty();
    info.keys = {info.keyInfo, plain};
    const IdentObj der = info.Encode();
    ASNContainerInfo back;
    ASSERT_TRUE(back.Decode(der));
    EXPECT_TRUE(back == info);
    EXPECT_EQ(back.keys[1].certificate.size(), 0u);

    // A record of a writer that knew no certificates: the same without [0].
    ASNContainerInfo old = info;
    old.keyInfo.certificate.Empty();
    old.keys[0].certificate.Empty();
    ASSERT_TRUE(back.Decode(old.Encode()));
    EXPECT_TRUE(back == old);

    // Trailing bytes, a primitive [0], a [0] that holds no SEQUENCE: each
    // refused, and the record read before is kept whole.
    auto spliced = [&](const char* to) {
        std::string text(der.view());
        const IdentObj from = certtest::BlobFromHex("A0053003020105"), by = certtest::BlobFromHex(to);
        const auto at = text.find(from.view());
        EXPECT_NE(at, std::string::npos);
        return IdentObj(std::string_view(text.replace(at, from.size(), by.view())));
    };
    IdentObj trailing = der;
    trailing.AddData("\x00", 1);
    for (const IdentObj& bad : {trailing, spliced("80053003020105"), spliced("A0050403020105")}) {
        int status = 0;
        EXPECT_FALSE(back.Decode(bad, &status));
        EXPECT_EQ(status, TOOERR_DER_FORMAT);
        EXPECT_TRUE(back == old);
    }
}

TEST_F(Containers, LoadCopyDeleteAnd194) {
    Make("one", false, "pw", true);
    Make("two", false, "");
    Make("shared", true, "");

    CCTFContainer one("one", false);
    ASSERT_TRUE(one.IsLoad());
    ASSERT_EQ(one.GetEntries().size(), 1u);
    const CCTFContEntry& entry = one.GetEntries().front();
    EXPECT_EQ(entry.m_uniqueName, "\\\\.\\local\\one");
    EXPECT_FALSE(entry.m_machine);
    EXPECT_EQ(entry.DefaultKeySpec(), AT_SIGNATURE);
    CCTFUserContainerInfo info = one.GetContainerInfo();
    EXPECT_EQ(info.m_container, entry.m_uniqueName);
    ASSERT_EQ(info.m_keys.size(), 2u);
    for (const auto& k : info.m_keys) {
        EXPECT_EQ(k.m_keyId.size(), 20u);
        EXPECT_EQ(k.m_publicKey.size(), 64u);
        EXPECT_EQ(k.m_paramSet.IsEmpty(), false);
        EXPECT_FALSE(k.m_notBefore.IsEmpty());
        EXPECT_FALSE(k.IsCertExist());
        EXPECT_TRUE(k.m_hasPassword);
        EXPECT_EQ(std::string(k.m_algorithm.view()),
                  k.m_keySpec == AT_SIGNATURE ? "1.2.643.7.1.1.1.1" : "1.2.643.7.1.1.6.1");
    }

    EXPECT_FALSE(CCTFContainer("two", false).GetContainerInfo().m_keys.front().m_hasPassword);

    // Machine containers are apart from the user's.
    int status = 0;
    CTOOString place;
    CCTFContainer c;
    EXPECT_FALSE(c.Load("shared", false, &status, &place));
    EXPECT_EQ(ToolsErr2WinErr(status), NTE_BAD_KEYSET);
    EXPECT_EQ(place, "shared");
    EXPECT_FALSE(c.IsLoad());
    EXPECT_TRUE(c.Load("shared", true, &status, &place));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(c.GetEntries().front().m_machine);
    EXPECT_EQ(c.GetEntries().front().m_uniqueName, "\\\\.\\common\\shared");

    // A damaged container gives the provider's own status, not 194; so does
    // a missing one, also through the constructor.
    certtest::WriteFile(KeyFile("bad"), "VRKC but nothing more");
    EXPECT_FALSE(c.Load("bad", false, &status, &place));
    EXPECT_NE(status, 0);
    EXPECT_NE(status, TOOERR_NO_CONTAINER_INFO);
    EXPECT_NE(ToolsErr2WinErr(status), NTE_BAD_KEYSET);
    try {
        CCTFContainer missing("nosuch", false);
        FAIL() << "loaded a container that is not there";
    } catch (const XTOOStatus& x) {
        EXPECT_EQ(ToolsErr2WinErr(x.Status()), NTE_BAD_KEYSET);
    }

    // A copy keeps what was read; assignment reads the container again.
    CCTFContainer copy(one);
    const std::string der = Bind("one", "pw");
    CCTFContainer assigned;
    assigned = one;
    auto certified = [](const CCTFContainer& x) {
        int n = 0;
        for (const auto& k : x.GetContainerInfo().m_keys) n += k.IsCertExist();
        return n;
    };
    EXPECT_EQ(certified(copy), 0);
    EXPECT_EQ(certified(assigned), 1);
    EXPECT_EQ(assigned.GetName(), "one");
    // An assignment that cannot read keeps what the target held.
    CCTFContainer gone;
    EXPECT_TRUE(gone.Load("two", false, &status, &place));
    certtest::WriteFile(KeyFile("two"), "");
    EXPECT_THROW(assigned = gone, XTOOStatus);
    EXPECT_EQ(assigned.GetName(), "one");
    EXPECT_EQ(certified(assigned), 1);

    // A key of another container is in no entry: 194, nothing deleted.
    CCTFUserKeyInfo foreign = CCTFContainer("shared", true).GetContainerInfo().m_keys.front();
    EXPECT_FALSE(one.DeleteEntry(foreign, &status, &place));
    EXPECT_EQ(status, TOOERR_NO_CONTAINER_INFO);
    EXPECT_EQ(place, "CCTFContainer::DeleteEntry");
    EXPECT_TRUE(CCTFContainer("one", false).IsLoad());

    // Deleting takes the container away and its names off the list.
    CSPAddContainer("one");
    CSPAddContainer("\\\\.\\local\\one");
    CSPAddContainer("shared");
    CCTFUserKeyInfo mine = info.m_keys.back();
    EXPECT_TRUE(one.DeleteEntry(mine, &status, &place));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(one.IsLoad());
    EXPECT_FALSE(c.Load("one", false, &status, &place));
    EXPECT_EQ(ToolsErr2WinErr(status), NTE_BAD_KEYSET);
    const auto listed = CSPGetContanerList();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.front(), "shared");
    // Deleting again: no entry holds the key any more.
    EXPECT_THROW(one.DeleteEntry(mine), XTOOStatus);

    // A container without keys is deleted by an empty key info.
    {
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "empty", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT));
    }
    CCTFContainer empty("empty", false);
    EXPECT_TRUE(empty.GetContainerInfo().m_keys.empty());
    CCTFUserKeyInfo none;
    EXPECT_TRUE(empty.DeleteEntry(none, &status, &place)) << status;
    EXPECT_FALSE(c.Load("empty", false, &status, &place));
}

// What the search hook saw, for the test below.
int g_searched = 0;
IdentObj g_found;
bool SearchForTest(const CCTFUserKeyInfo& key, CCTFCertContext& found) {
    ++g_searched;
    if (key.m_keySpec != AT_KEYEXCHANGE) return false;
    return found.CreateContext(g_found);
}
bool ThrowingSearch(const CCTFUserKeyInfo&, CCTFCertContext&) { throw std::runtime_error("storage unreadable"); }

TEST_F(Containers, CertificatesWithoutPasswordAndTheSearchHook) {
    Make("box", false, "secret", true);
    const std::string der = Bind("box", "secret");
    // No password is given from here on.
    CCTFContainer box("box", false);
    auto keys = box.GetContainerInfo().m_keys;
    ASSERT_EQ(keys.size(), 2u);
    const auto signature = std::find_if(keys.begin(), keys.end(), [](auto& k) { return k.m_keySpec == AT_SIGNATURE; });
    ASSERT_TRUE(signature->IsCertExist());
    EXPECT_EQ(std::string(signature->m_certificate.GetEncoded().view()), der);
    EXPECT_EQ(signature->m_certificate.GetContainer(), "\\\\.\\local\\box");
    EXPECT_EQ(signature->m_certificate.GetProviderName(), VRK_PROV_GOST);
    EXPECT_EQ(signature->m_certificate.GetProviderType(), VRK_PROV_TYPE_GOST);
    EXPECT_EQ(signature->m_certificate.GetPrivateKeyType(), AT_SIGNATURE);
    // The bytes of the key's public key are those of the certificate.
    const CERT_PUBLIC_KEY_INFO& spki = signature->m_certificate.GetContext()->pCertInfo->SubjectPublicKeyInfo;
    asn::Reader bits(spki.PublicKey.pbData, spki.PublicKey.cbData);
    EXPECT_TRUE(bits.ReadOctetString() == signature->m_publicKey);

    // The exchange key has no certificate: the transport directory's
    // search (registered at load) finds none without trust storages. With
    // the test's hook what it finds is bound to that key; a throwing hook
    // finds nothing.
    EXPECT_FALSE(
        std::find_if(keys.begin(), keys.end(), [](auto& k) { return k.m_keySpec == AT_KEYEXCHANGE; })->IsCertExist());
    const CTFKeyCertificateSearch atLoad = CTFSetKeyCertificateSearch(SearchForTest);
    EXPECT_NE(atLoad, nullptr);
    g_found = IdentObj(std::string_view(der));
    keys = box.GetContainerInfo().m_keys;
    EXPECT_EQ(g_searched, 1);
    for (const auto& k : keys) {
        ASSERT_TRUE(k.IsCertExist());
        EXPECT_EQ(k.m_certificate.GetPrivateKeyType(), k.m_keySpec);
    }
    EXPECT_EQ(CTFSetKeyCertificateSearch(ThrowingSearch), SearchForTest);
    keys = box.GetContainerInfo().m_keys;
    EXPECT_EQ(std::count_if(keys.begin(), keys.end(), [](auto& k) { return k.IsCertExist(); }), 1);
    EXPECT_EQ(CTFSetKeyCertificateSearch(atLoad), ThrowingSearch);
}

TEST_F(Containers, ListUserMachineFullyQualified) {
    std::list<CTOOString> names{"stale"};
    CTFGetContainerList(names, false, false);
    EXPECT_TRUE(names.empty());
    Make("b", false, "");
    Make("a", false, "");
    Make("m", true, "");
    CTFGetContainerList(names, false, false);
    EXPECT_EQ(names, (std::list<CTOOString>{"a", "b"}));
    CTFGetContainerList(names, false, true);
    EXPECT_EQ(names, (std::list<CTOOString>{"\\\\.\\local\\a", "\\\\.\\local\\b"}));
    CTFGetContainerList(names, true, false);
    EXPECT_EQ(names, (std::list<CTOOString>{"m"}));
    CTFGetContainerList(names, true, true);
    EXPECT_EQ(names, (std::list<CTOOString>{"\\\\.\\common\\m"}));
    // Each fully qualified name opens its container.
    for (const auto& n : names) EXPECT_TRUE(CCTFContainer(n.c_str(), true).IsLoad());

    // A home that cannot hold a key set is an error, not an empty list.
    certtest::WriteFile(F("file"), "x");
    cert::platform::SetCertHome(F("file"));
    EXPECT_THROW(CTFGetContainerList(names, false, false), XTOOStatus);
}

}  // namespace
