// Stores in memory: the add dispositions, order under replacement and
// deletion, the finds, contexts outliving their store, CRL matching and
// many threads at once.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store_test_util.h"

namespace {

using namespace storetest;

int YearOf(const FILETIME& t) {
    for (int y = 2000; y < 2100; ++y) {
        FILETIME f = Year(y);
        if (f.dwLowDateTime == t.dwLowDateTime && f.dwHighDateTime == t.dwHighDateTime) return y;
    }
    return 0;
}

void SetFriendly(PCCERT_CONTEXT c, const std::string& text) {
    CRYPT_DATA_BLOB b = Blob(text);
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &b));
}

// Store: A (friendly "old"), B, C. Then the same encoding as B, or a newer
// or older certificate of B's name, is added with property "new".
TEST(Stores, DispositionsTable) {
    struct Case {
        DWORD disposition;
        int year;  // of the added one's NotBefore; 2020 is B's own encoding
        bool ok;
        DWORD error;
        std::string order;     // serials after the add
        std::string friendly;  // of the element at B's place
    } cases[] = {
        {CERT_STORE_ADD_NEW, 2020, false, CRYPT_E_EXISTS, "ABC", "old"},
        {CERT_STORE_ADD_USE_EXISTING, 2020, true, 0, "ABC", "new"},
        {CERT_STORE_ADD_REPLACE_EXISTING, 2020, true, 0, "ABC", "new"},
        {CERT_STORE_ADD_ALWAYS, 2020, true, 0, "ABCB", "old"},
        {CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, 2020, true, 0, "ABC", "old"},
        {CERT_STORE_ADD_NEWER, 2020, false, CRYPT_E_EXISTS, "ABC", "old"},
        // Certificates match by encoding only: another one of B's name is new.
        {CERT_STORE_ADD_NEW, 2021, true, 0, "ABCB", "old"},
        {CERT_STORE_ADD_NEWER, 2022, true, 0, "ABCB", "old"},
        {9, 2020, false, E_INVALIDARG, "ABC", "old"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << k.disposition << " year " << k.year);
        HCERTSTORE s = MemoryStore();
        CertFreeCertificateContext(AddCert(s, MakeCert({.serial = "A"})));
        PCCERT_CONTEXT b = AddCert(s, MakeCert({.serial = "B"}));
        SetFriendly(b, "old");
        CertFreeCertificateContext(b);
        CertFreeCertificateContext(AddCert(s, MakeCert({.serial = "C"})));

        Der again = MakeCert({.serial = "B", .from = k.year});
        PCCERT_CONTEXT loose = CertCreateCertificateContext(CAPI_ENCODING, again.data(), DWORD(again.size()));
        SetFriendly(loose, "new");
        PCCERT_CONTEXT added = nullptr;
        SetLastError(0);
        EXPECT_EQ(CertAddCertificateContextToStore(s, loose, k.disposition, &added), k.ok ? TRUE : FALSE);
        if (!k.ok) {
            EXPECT_EQ(GetLastError(), k.error) << std::hex << GetLastError();
        }
        EXPECT_EQ(added != nullptr, k.ok);
        if (added) {
            EXPECT_NE(added, loose);  // the store holds a copy
            EXPECT_EQ(added->hCertStore, s);
        }
        EXPECT_EQ(Serials(s), k.order);
        PCCERT_CONTEXT second = CertEnumCertificatesInStore(s, CertEnumCertificatesInStore(s, nullptr));
        EXPECT_EQ(Friendly(second), k.friendly);
        CertFreeCertificateContext(second);
        CertFreeCertificateContext(added);
        CertFreeCertificateContext(loose);
        EXPECT_TRUE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
    }
}

TEST(Stores, CrlsMatchByIssuerAndKeyIdAndNewerReplacesInPlace) {
    HCERTSTORE s = MemoryStore();
    auto addCrl = [&](const CrlSpec& spec, DWORD disposition) {
        Der d = MakeCrl(spec);
        return CertAddEncodedCRLToStore(s, CAPI_ENCODING, d.data(), DWORD(d.size()), disposition, nullptr);
    };
    ASSERT_TRUE(addCrl({.issuer = "ca", .thisUpdate = 2024}, CERT_STORE_ADD_NEWER));
    ASSERT_TRUE(addCrl({.issuer = "other", .thisUpdate = 2024}, CERT_STORE_ADD_NEWER));
    ASSERT_TRUE(addCrl({.issuer = "ca", .thisUpdate = 2024, .authorityKeyId = "k1"}, CERT_STORE_ADD_NEWER));
    EXPECT_FALSE(addCrl({.issuer = "ca", .thisUpdate = 2023}, CERT_STORE_ADD_NEWER));
    EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
    EXPECT_FALSE(addCrl({.issuer = "ca", .thisUpdate = 2024}, CERT_STORE_ADD_NEWER));
    ASSERT_TRUE(addCrl({.issuer = "ca", .thisUpdate = 2025}, CERT_STORE_ADD_NEWER));
    std::string seen;
    for (PCCRL_CONTEXT c = nullptr; (c = CertEnumCRLsInStore(s, c));) {
        seen += Bytes(c->pCrlInfo->Issuer) == Bytes(Blob(Name("ca"))) ? "c" : "o";
        seen += std::to_string(YearOf(c->pCrlInfo->ThisUpdate) % 10);
    }
    EXPECT_EQ(seen, "c5o4c4");
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    ASSERT_TRUE(addCrl({.issuer = "ca", .thisUpdate = 2020}, CERT_STORE_ADD_ALWAYS));
    EXPECT_FALSE(addCrl({.issuer = "ca", .thisUpdate = 2020}, CERT_STORE_ADD_NEW));
    CertCloseStore(s, 0);
}

TEST(Stores, EnumerationGoesOnAfterADeletedPrevious) {
    HCERTSTORE s = MemoryStore();
    for (char serial : std::string("ABCDE")) CertFreeCertificateContext(AddCert(s, MakeCert({.serial = {serial}})));
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);  // A
    c = CertEnumCertificatesInStore(s, c);                       // B
    ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
    EXPECT_EQ(c->pCertInfo->SerialNumber.pbData[0], 'B');  // ours lives on, out of the store
    c = CertEnumCertificatesInStore(s, c);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->pCertInfo->SerialNumber.pbData[0], 'C');
    // Deleting what the enumeration holds, and the next one too.
    PCCERT_CONTEXT d = CertEnumCertificatesInStore(s, CertDuplicateCertificateContext(c));
    ASSERT_TRUE(CertDeleteCertificateFromStore(d));
    ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
    c = CertEnumCertificatesInStore(s, c);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->pCertInfo->SerialNumber.pbData[0], 'E');
    CertFreeCertificateContext(c);
    EXPECT_EQ(Serials(s), "AE");
    // A context in no store cannot be deleted, and is freed all the same.
    Der der = MakeCert({});
    PCCERT_CONTEXT loose = CertCreateCertificateContext(CAPI_ENCODING, der.data(), DWORD(der.size()));
    EXPECT_FALSE(CertDeleteCertificateFromStore(loose));
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    CertCloseStore(s, 0);
}

TEST(Stores, FindTypes) {
    HCERTSTORE s = MemoryStore();
    Der a = MakeCert({.subject = "alice", .issuer = "ca", .serial = "A", .keyBits = "ka", .ski = "ID-A"});
    Der b = MakeCert({.subject = "bob", .issuer = "ca", .serial = "B", .keyBits = "kb"});
    Der c = MakeCert({.subject = "alice", .issuer = "ca2", .serial = "A", .keyBits = "kc"});
    for (const Der* d : {&a, &b, &c}) CertFreeCertificateContext(AddCert(s, *d));

    auto all = [&](DWORD type, const void* para) {
        std::string out;
        for (PCCERT_CONTEXT x = nullptr; (x = CertFindCertificateInStore(s, CAPI_ENCODING, 0, type, para, x));)
            out += Bytes(x->pCertInfo->Subject) == Bytes(Blob(Name("alice")))
                       ? (Bytes(x->pCertInfo->Issuer) == Bytes(Blob(Name("ca"))) ? "a" : "c")
                       : "b";
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
        return out;
    };
    Der alice = Name("alice"), ca = Name("ca"), ca2 = Name("ca2"), nobody = Name("nobody");
    CERT_NAME_BLOB aliceName = Blob(alice), caName = Blob(ca), ca2Name = Blob(ca2), nobodyName = Blob(nobody);
    EXPECT_EQ(all(CERT_FIND_ANY, nullptr), "abc");
    EXPECT_EQ(all(CERT_FIND_SUBJECT_NAME, &aliceName), "ac");
    EXPECT_EQ(all(CERT_FIND_ISSUER_NAME, &caName), "ab");
    EXPECT_EQ(all(CERT_FIND_SUBJECT_NAME, &nobodyName), "");

    CERT_INFO wanted{};
    std::string serialA = "A";
    wanted.Issuer = ca2Name;
    wanted.SerialNumber = Blob(serialA);
    EXPECT_EQ(all(CERT_FIND_SUBJECT_CERT, &wanted), "c");
    wanted.Issuer = caName;
    EXPECT_EQ(all(CERT_FIND_SUBJECT_CERT, &wanted), "a");

    std::string idA = "ID-A";
    CRYPT_HASH_BLOB keyA = Blob(idA);
    EXPECT_EQ(all(CERT_FIND_KEY_IDENTIFIER, &keyA), "a");  // the extension's value
    PCCERT_CONTEXT bob = CertFindCertificateInStore(
        s, CAPI_ENCODING, 0, CERT_FIND_ISSUER_NAME, &caName,
        CertFindCertificateInStore(s, CAPI_ENCODING, 0, CERT_FIND_ISSUER_NAME, &caName, nullptr));
    ASSERT_TRUE(bob);
    DWORD size = 20;
    BYTE sha1[20];
    ASSERT_TRUE(CertGetCertificateContextProperty(bob, CERT_SHA1_HASH_PROP_ID, sha1, &size));
    CRYPT_HASH_BLOB hash{20, sha1};
    EXPECT_EQ(all(CERT_FIND_SHA1_HASH, &hash), "b");
    // Without the extension the key id is the SHA-1 of the key bits, as
    // property 3 is the SHA-1 of the encoding: bob's key bits "kb".
    PCCERT_CONTEXT kb = CertCreateCertificateContext(CAPI_ENCODING, a.data(), DWORD(a.size()));
    EXPECT_EQ(all(CERT_FIND_PUBLIC_KEY, &bob->pCertInfo->SubjectPublicKeyInfo), "b");
    EXPECT_EQ(all(CERT_FIND_EXISTING, kb), "a");
    CertFreeCertificateContext(kb);
    CertFreeCertificateContext(bob);

    EXPECT_EQ(CertFindCertificateInStore(s, CAPI_ENCODING, 0, 0x70000, &caName, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    CertCloseStore(s, 0);
}

TEST(Stores, ContextsOutliveTheirStore) {
    for (DWORD flags : {DWORD{0}, CERT_CLOSE_STORE_FORCE_FLAG}) {
        HCERTSTORE s = MemoryStore();
        PCCERT_CONTEXT c = AddCert(s, MakeCert({}));
        SetFriendly(c, "kept");
        HCERTSTORE again = CertDuplicateStore(s);
        EXPECT_EQ(again, s);
        EXPECT_TRUE(CertCloseStore(s, flags));
        if (!flags) {  // one handle left
            EXPECT_EQ(Serials(again), "\x01");
            SetLastError(0);
            EXPECT_FALSE(CertCloseStore(again, CERT_CLOSE_STORE_CHECK_FLAG));
            EXPECT_EQ(GetLastError(), CRYPT_E_PENDING_CLOSE);
        }
        EXPECT_EQ(CertEnumCertificatesInStore(s, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), E_INVALIDARG);  // the handle is gone
        EXPECT_EQ(Friendly(c), "kept");
        EXPECT_EQ(c->pCertInfo->SerialNumber.pbData[0], 1);
        EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
        CertFreeCertificateContext(c);
    }
}

TEST(Stores, AddingCopiesProperties) {
    HCERTSTORE from = MemoryStore(), to = MemoryStore();
    PCCERT_CONTEXT c = AddCert(from, MakeCert({}));
    SetFriendly(c, "mine");
    std::string x = "x";
    CRYPT_DATA_BLOB hidden = Blob(x);
    ASSERT_TRUE(CertSetCertificateContextProperty(c, 0x8001, CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG, &hidden));
    PCCERT_CONTEXT copy = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(to, c, CERT_STORE_ADD_NEW, &copy));
    EXPECT_EQ(Friendly(copy), "mine");
    SetFriendly(copy, "theirs");  // the copy is its own element
    EXPECT_EQ(Friendly(c), "mine");
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(copy, 0x8001, nullptr, &size));  // kept in memory only
    CertFreeCertificateContext(copy);
    CertFreeCertificateContext(c);
    CertCloseStore(from, 0);
    CertCloseStore(to, 0);
}

TEST(Stores, ThreadsAddAndFindAtOnce) {
    HCERTSTORE s = MemoryStore();
    constexpr int kThreads = 4, kEach = 200;
    std::atomic<int> found{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string serial = {char(i & 0xFF), char(i >> 8), char(t + 1)};  // DER: no leading zero
                Der der = MakeCert({.subject = "s" + std::to_string(t), .serial = serial});
                PCCERT_CONTEXT c = nullptr;
                if (!CertAddEncodedCertificateToStore(s, CAPI_ENCODING, der.data(), DWORD(der.size()),
                                                      CERT_STORE_ADD_NEW, &c)) {
                    ++failures;
                    continue;
                }
                CERT_INFO wanted{};
                wanted.Issuer = c->pCertInfo->Issuer;
                wanted.SerialNumber = c->pCertInfo->SerialNumber;
                PCCERT_CONTEXT f =
                    CertFindCertificateInStore(s, CAPI_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
                if (f == c) ++found;
                CertFreeCertificateContext(f);
                if (i % 3 == 0) {
                    CertDeleteCertificateFromStore(c);
                } else {
                    CertFreeCertificateContext(c);
                }
            }
        });
    }
    // A reader walks the store meanwhile.
    int walked = 0;
    for (int round = 0; round < 20; ++round)
        for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(s, c));) ++walked;
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(found.load(), kThreads * kEach);
    EXPECT_EQ(Serials(s).size(), size_t(kThreads * (kEach - (kEach + 2) / 3)));
    EXPECT_TRUE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
}

}  // namespace
