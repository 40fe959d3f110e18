// Contexts of large stores, carved from chunks on huge pages.
//
// A find in a store of 100,000 certificates reads one index slot and a few
// lines of one context somewhere in ~150 MB. On 4 KiB pages each of those
// reads is also a page walk that misses the caches, which is most of what
// makes a find in a large store slower than in a small one. A store that has
// taken a few thousand contexts therefore carves the next ones from 2 MiB
// chunks mapped and advised onto huge pages before anything touches them
// (advising a region the general heap has already touched changes nothing).
//
// A chunk counts its live contexts and is unmapped with the last one; the
// room of a freed context is not reused. So each store keeps chunks of its
// own (another store's churn never pins them), small stores never map one,
// and contexts too large for a chunk's share stay on the general heap.
// Thread-safe: allocation under the heap's mutex, freeing lock-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace cert::capi {

class ContextHeap {
public:
    ContextHeap() = default;
    ContextHeap(const ContextHeap&) = delete;
    ContextHeap& operator=(const ContextHeap&) = delete;
    ~ContextHeap();

    // Room for `size` bytes aligned to 64, or null when the general heap is
    // to be used (a small store so far, a large context, no chunk to be had).
    void* Allocate(std::size_t size);
    // Gives back what Allocate returned; any thread, the heap may be gone.
    static void Free(void* p);

    static constexpr std::size_t kChunk = std::size_t{2} << 20;
    static constexpr std::size_t kLargest = kChunk / 8;
    static constexpr std::uint64_t kStartAfter = 2048;

private:
    struct Chunk;
    static Chunk* Map();
    static void Drop(Chunk* c);

    std::mutex m_lock;
    Chunk* m_current = nullptr;
    std::size_t m_used = 0;
    std::uint64_t m_requests = 0;
};

}  // namespace cert::capi
