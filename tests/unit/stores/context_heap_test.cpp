// Contexts carved from a store's huge-page chunks: a chunk must stay mapped
// while any of its contexts lives (also after its store and heap are gone)
// and be unmapped with the last one; small stores and large contexts stay on
// the general heap.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "capi/context_heap.h"
#include "cert/capi.h"
#include "store_test_util.h"

namespace {

using cert::capi::ContextHeap;

std::uintptr_t ChunkOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p) & ~(ContextHeap::kChunk - 1); }

bool Mapped(std::uintptr_t at) {
    const std::uintptr_t page = at & ~std::uintptr_t(::sysconf(_SC_PAGESIZE) - 1);
    return ::msync(reinterpret_cast<void*>(page), 1, MS_ASYNC) == 0;
}

TEST(ContextHeap, ChunksLiveAsLongAsTheirContexts) {
    void* survivor = nullptr;
    std::uintptr_t first = 0;
    {
        ContextHeap heap;
        for (std::uint64_t i = 0; i < ContextHeap::kStartAfter; ++i) ASSERT_EQ(heap.Allocate(100), nullptr);
        void* p = heap.Allocate(100);
        if (!p) GTEST_SKIP() << "this build keeps contexts on the general heap";
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
        EXPECT_EQ(heap.Allocate(ContextHeap::kLargest + 1), nullptr);
        first = ChunkOf(p);

        // Fill the first chunk and spill into a second; every piece is
        // written whole, so overlapping pieces would show.
        std::vector<unsigned char*> all{static_cast<unsigned char*>(p)};
        while (ChunkOf(all.back()) == first) {
            auto* q = static_cast<unsigned char*>(heap.Allocate(1000));
            ASSERT_NE(q, nullptr);
            if (ChunkOf(q) == first) {
                EXPECT_GE(q, all.back() + 100);
            }
            std::memset(q, int(all.size() & 0xFF), 1000);
            all.push_back(q);
        }
        for (std::size_t i = 1; i + 1 < all.size(); ++i) ASSERT_EQ(all[i][999], i & 0xFF) << i;

        survivor = all.back();
        all.pop_back();
        for (void* q : all) ContextHeap::Free(q);
        EXPECT_FALSE(Mapped(first)) << "a chunk whose contexts are all gone stays mapped";
        EXPECT_TRUE(Mapped(ChunkOf(survivor)));
    }
    // The heap is gone; its current chunk lives on for the context held.
    ASSERT_TRUE(Mapped(ChunkOf(survivor)));
    std::memset(survivor, 0, 1000);
    ContextHeap::Free(survivor);
    EXPECT_FALSE(Mapped(ChunkOf(survivor)));
}

// The same through a store: contexts from chunks are found, duplicated,
// deleted and outlive their store like any other.
TEST(ContextHeap, StoreContextsFromChunksOutliveTheStore) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, CAPI_ENCODING, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    const DWORD n = DWORD(ContextHeap::kStartAfter + 300);
    std::vector<PCCERT_CONTEXT> held;
    for (DWORD i = 0; i < n; ++i) {
        const std::string serial{char(i), char(i >> 8), char(0x10)};
        const storetest::Der der = storetest::MakeCert({.serial = serial});
        PCCERT_CONTEXT c = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, CAPI_ENCODING, der.data(), DWORD(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &c));
        if (i % 50 == 0 || i + 1 == n) {
            held.push_back(c);
        } else {
            CertFreeCertificateContext(c);
        }
    }
    // Half of the later ones leave the store while it is open.
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
        if (c->pCertInfo->SerialNumber.pbData[0] % 2 && c->pCertInfo->SerialNumber.pbData[1] > 0x08) {
            CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c));
        }
    }
    PCCERT_CONTEXT copy = CertDuplicateCertificateContext(held.back());
    ASSERT_TRUE(CertCloseStore(store, 0));
    const storetest::Der leaf = storetest::Name("leaf");
    for (PCCERT_CONTEXT c : held) {
        EXPECT_EQ(c->pCertInfo->SerialNumber.cbData, 3u);
        EXPECT_EQ(storetest::Bytes(c->pCertInfo->Subject), std::string(leaf.begin(), leaf.end()));
        CertFreeCertificateContext(c);
    }
    EXPECT_EQ(copy->pCertInfo->SerialNumber.pbData[2], 0x10);
    CertFreeCertificateContext(copy);
}

}  // namespace
