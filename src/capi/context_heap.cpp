#include "capi/context_heap.h"

#include <sys/mman.h>

#include <atomic>
#include <new>

namespace cert::capi {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kChunks = false;  // the sanitizer watches the general heap only
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kChunks = false;
#else
constexpr bool kChunks = true;
#endif
#else
constexpr bool kChunks = true;
#endif

constexpr std::size_t kLine = 64;

}  // namespace

// The chunk's first line: its count of live contexts, plus one while it is
// the heap's current chunk.
struct alignas(kLine) ContextHeap::Chunk {
    std::atomic<std::uint64_t> live{1};
};

ContextHeap::Chunk* ContextHeap::Map() {
    // Twice the size, trimmed to a chunk on a chunk boundary: a huge page
    // needs the alignment, and Free finds the chunk by masking.
    void* raw = ::mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (base + kChunk - 1) & ~(kChunk - 1);
    if (start > base) ::munmap(raw, start - base);
    if (base + 2 * kChunk > start + kChunk)
        ::munmap(reinterpret_cast<void*>(start + kChunk), base + 2 * kChunk - (start + kChunk));
    void* at = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    ::madvise(at, kChunk, MADV_HUGEPAGE);  // a hint: without huge pages it still works
#endif
    return new (at) Chunk;
}

void ContextHeap::Drop(Chunk* c) {
    if (c && c->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        c->~Chunk();
        ::munmap(c, kChunk);
    }
}

ContextHeap::~ContextHeap() { Drop(m_current); }

void* ContextHeap::Allocate(std::size_t size) {
    if (!kChunks) return nullptr;
    size = (size + kLine - 1) & ~(kLine - 1);
    if (size > kLargest) return nullptr;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_requests < kStartAfter) {
        ++m_requests;
        return nullptr;
    }
    if (!m_current || m_used + size > kChunk) {
        Chunk* next = Map();
        if (!next) return nullptr;
        Drop(m_current);
        m_current = next;
        m_used = sizeof(Chunk);
    }
    m_current->live.fetch_add(1, std::memory_order_relaxed);
    void* p = reinterpret_cast<char*>(m_current) + m_used;
    m_used += size;
    return p;
}

void ContextHeap::Free(void* p) { Drop(reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(p) & ~(kChunk - 1))); }

}  // namespace cert::capi
