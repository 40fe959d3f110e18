// The self-wiping secret buffer and its allocator.
#include <cstring>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "cert/secret.h"

namespace {

// An upstream allocator that looks at every block as it is handed back
// (after the wiping allocator above it is done with it) and can be told
// to fail the n-th allocation.
struct Observed {
    static inline int blocks = 0;       // blocks handed back
    static inline int dirtyBlocks = 0;  // of those, with a byte not zero
    static inline int failAt = -1;      // allocation number that throws
    static inline int allocations = 0;
};
template <class T>
struct ObservingAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = ObservingAllocator<U>;
    };
    ObservingAllocator() = default;
    template <class U>
    ObservingAllocator(const ObservingAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (Observed::allocations++ == Observed::failAt) throw std::bad_alloc();
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) {
        ++Observed::blocks;
        const auto* b = reinterpret_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n * sizeof(T); ++i)
            if (b[i]) {
                ++Observed::dirtyBlocks;
                break;
            }
        std::allocator<T>().deallocate(p, n);
    }
    bool operator==(const ObservingAllocator&) const { return true; }
};

using Wiped = std::vector<unsigned char, cert::WipingAllocator<unsigned char, ObservingAllocator<unsigned char>>>;

TEST(WipingAllocator, EveryBlockIsZeroWhenItGoesBackOnEveryPath) {
    Observed::blocks = Observed::dirtyBlocks = Observed::allocations = 0;
    {
        Wiped v;
        for (int i = 0; i < 1000; ++i) v.push_back(static_cast<unsigned char>(0xA5));  // reallocates ~10 times
        Wiped copy = v;
        copy.shrink_to_fit();
        v = copy;
    }
    EXPECT_GT(Observed::blocks, 10);
    EXPECT_EQ(Observed::dirtyBlocks, 0);

    // An allocation that fails while the vector grows leaves the old block
    // in place; it is wiped when the vector goes, here as an exception
    // unwinds past it.
    Observed::blocks = Observed::dirtyBlocks = Observed::allocations = 0;
    Observed::failAt = 3;
    EXPECT_THROW(
        {
            Wiped v;
            for (int i = 0; i < 100; ++i) v.push_back(0x5A);
        },
        std::bad_alloc);
    Observed::failAt = -1;
    EXPECT_EQ(Observed::blocks, 3);
    EXPECT_EQ(Observed::dirtyBlocks, 0);
}

TEST(Secret, HoldsBytesAndTextAndWipesWhatItDrops) {
    cert::Secret s("pass");
    s.Append(" word", 5);
    EXPECT_EQ(s.text(), "pass word");
    EXPECT_EQ(s.c_str()[s.size()], '\0');
    // Appending its own bytes survives the buffer moving.
    for (int i = 0; i < 6; ++i) s.Append(s.data(), s.size());
    EXPECT_EQ(s.size(), 9u * 64);
    EXPECT_EQ(s.text().substr(9 * 63), "pass word");

    // Shrinking wipes the bytes dropped, in the buffer that stays.
    const std::uint8_t* p = s.data();
    s.Resize(4);
    EXPECT_EQ(s.data(), p);
    EXPECT_EQ(s.text(), "pass");
    for (std::size_t i = 4; i < 9u * 64; ++i) ASSERT_EQ(p[i], 0) << i;
    s.Resize(6);
    EXPECT_EQ(std::memcmp(s.data(), "pass\0\0", 6), 0);

    EXPECT_STREQ(cert::Secret().c_str(), "");

    // Copies are secrets of their own; comparison looks at every byte.
    cert::Secret a(std::string_view("key-1")), b = a;
    b[4] = '2';
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a == cert::Secret("key-1"));
    EXPECT_FALSE(a == cert::Secret("key-1 "));
    EXPECT_TRUE(cert::SameBytes(a.view(), cert::Secret("key-1").view()));
    a.Clear();
    EXPECT_TRUE(a.empty());
}

}  // namespace
