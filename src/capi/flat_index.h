// The index a store keeps per kind of key: an open-addressing table of
// (key hash, element) slots with linear probing, several slots per key when
// elements share it.
//
// A lookup touches one run of slots, 16 bytes each, and the elements whose
// hash matches, where the key itself sits beside the count and place the
// find needs next; node-based maps add a bucket, a node and the key's own
// allocation, each a cache miss once the store outgrows the caches.
// Removal shifts the run back (no tombstones), so runs stay short however
// many elements come and go. Not thread-safe: the store's mutex guards it.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string_view>

namespace cert::capi {

// `Elem` has `Keys()` (the keys it is indexed under) and `core.seq`.
template <class Elem>
class FlatIndex {
public:
    static std::uint64_t Hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

    void Insert(std::string_view key, Elem* e) {
        if ((m_used + 1) * 2 > Capacity()) Grow();
        Place({Hash(key), e});
        ++m_used;
    }

    void Erase(std::string_view key, const Elem* e) {
        const std::uint64_t h = Hash(key);
        for (std::size_t i = h & m_mask; m_slots[i].elem; i = (i + 1) & m_mask) {
            if (m_slots[i].elem != e || m_slots[i].hash != h) continue;
            ShiftBack(i);
            --m_used;
            return;
        }
    }

    // The element under `key` with the smallest place after `after`, or null.
    Elem* Next(std::string_view key, std::uint64_t after) const {
        if (!m_used) return nullptr;
        const std::uint64_t h = Hash(key);
        Elem* best = nullptr;
        for (std::size_t i = h & m_mask; m_slots[i].elem; i = (i + 1) & m_mask) {
            const Slot& s = m_slots[i];
            if (s.hash != h || s.elem->core.seq <= after || (best && s.elem->core.seq >= best->core.seq)) continue;
            for (std::string_view k : s.elem->Keys())
                if (k == key) {
                    best = s.elem;
                    break;
                }
        }
        return best;
    }

    void Clear() {
        m_slots.reset();
        m_mask = 0;
        m_used = 0;
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        Elem* elem = nullptr;  // null: empty
    };

    void Place(const Slot& s) {
        std::size_t i = s.hash & m_mask;
        while (m_slots[i].elem) i = (i + 1) & m_mask;
        m_slots[i] = s;
    }

    std::size_t Capacity() const { return m_slots ? m_mask + 1 : 0; }

    void Grow() {
        const std::size_t old = Capacity();
        Slots slots = Allocate(old ? old * 2 : 16);
        std::swap(slots, m_slots);
        m_mask = (old ? old * 2 : 16) - 1;
        for (std::size_t i = 0; i < old; ++i)
            if (slots[i].elem) Place(slots[i]);
    }

    // Tables of 2 MiB and more sit on huge pages where the system allows
    // them: a random lookup in a large store then costs no page walk.
    static constexpr std::size_t kHuge = std::size_t{2} << 20;
    struct Free {
        std::size_t align;
        void operator()(Slot* p) const { ::operator delete[](p, std::align_val_t{align}); }
    };
    using Slots = std::unique_ptr<Slot[], Free>;
    static Slots Allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(Slot);
        const std::size_t align = bytes >= kHuge ? kHuge : alignof(Slot);
        Slots slots(static_cast<Slot*>(::operator new[](bytes, std::align_val_t{align})), Free{align});
        if (bytes >= kHuge) madvise(slots.get(), bytes, MADV_HUGEPAGE);  // advice only
        std::uninitialized_value_construct_n(slots.get(), count);
        return slots;
    }

    // Empties slot `hole` and moves later slots of its run back into it
    // where their home allows, so that no probe stops early.
    void ShiftBack(std::size_t hole) {
        for (std::size_t j = (hole + 1) & m_mask; m_slots[j].elem; j = (j + 1) & m_mask) {
            const std::size_t home = m_slots[j].hash & m_mask;
            // The slot may move to the hole when its home is not within
            // (hole, j], cyclically.
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays) continue;
            m_slots[hole] = m_slots[j];
            hole = j;
        }
        m_slots[hole] = Slot{};
    }

    Slots m_slots{nullptr, Free{alignof(Slot)}};
    std::size_t m_mask = 0;
    std::size_t m_used = 0;
};

}  // namespace cert::capi
