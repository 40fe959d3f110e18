// The open-addressing table behind the library's indexes (the stores' keys,
// a CRL's entries by serial): (key hash, value) slots with linear probing,
// several slots per key when values share it.
//
// A lookup touches one run of slots, 16 bytes each for a pointer value, and
// the values whose hash matches; node-based maps add a bucket, a node and
// the key's own allocation, each a cache miss once the index outgrows the
// caches. Removal shifts the run back (no tombstones), so runs stay short
// however many values come and go. Not thread-safe: the owner guards it.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace cert::capi {

// `Value` is small and trivially destructible; a value that converts to
// false marks an empty slot.
template <class Value>
class FlatTable {
    static_assert(std::is_trivially_destructible_v<Value>);

public:
    static std::uint64_t Hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

    std::size_t Size() const { return m_used; }

    // Room for `count` values without growing (one allocation for a bulk
    // build).
    void Reserve(std::size_t count) {
        std::size_t cap = 16;
        while (cap < count * 2) cap *= 2;
        if (cap > Capacity()) Resize(cap);
    }

    void Insert(std::uint64_t hash, const Value& v) {
        if ((m_used + 1) * 2 > Capacity()) Resize(Capacity() ? Capacity() * 2 : 16);
        Place({hash, v});
        ++m_used;
    }

    // Calls `visit(slot, value)` for each value of the run of `hash` whose
    // hash matches, until it returns true.
    template <class F>
    void Probe(std::uint64_t hash, F&& visit) const {
        if (!m_used) return;
        for (std::size_t i = hash & m_mask; m_slots[i].value; i = (i + 1) & m_mask)
            if (m_slots[i].hash == hash && visit(i, m_slots[i].value)) return;
    }

    const Value& At(std::size_t slot) const { return m_slots[slot].value; }

    // Empties a slot that Probe gave.
    void EraseAt(std::size_t slot) {
        ShiftBack(slot);
        --m_used;
    }

    void Clear() {
        m_slots.reset();
        m_mask = 0;
        m_used = 0;
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        Value value{};
    };

    void Place(const Slot& s) {
        std::size_t i = s.hash & m_mask;
        while (m_slots[i].value) i = (i + 1) & m_mask;
        m_slots[i] = s;
    }

    std::size_t Capacity() const { return m_slots ? m_mask + 1 : 0; }

    void Resize(std::size_t cap) {
        const std::size_t old = Capacity();
        Slots slots = Allocate(cap);
        std::swap(slots, m_slots);
        m_mask = cap - 1;
        for (std::size_t i = 0; i < old; ++i)
            if (slots[i].value) Place(slots[i]);
    }

    // Tables of 2 MiB and more sit on huge pages where the system allows
    // them: a random lookup in a large index then costs no page walk.
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
        for (std::size_t j = (hole + 1) & m_mask; m_slots[j].value; j = (j + 1) & m_mask) {
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

// The index a store keeps per kind of key. `Elem` has `Keys()` (the keys it
// is indexed under) and `core.seq`, its place in the store.
template <class Elem>
class FlatIndex {
public:
    void Insert(std::string_view key, Elem* e) { m_table.Insert(Table::Hash(key), e); }

    void Erase(std::string_view key, const Elem* e) {
        m_table.Probe(Table::Hash(key), [&](std::size_t slot, Elem* v) {
            if (v != e) return false;
            m_table.EraseAt(slot);
            return true;
        });
    }

    // The element under `key` with the smallest place after `after`, or null.
    Elem* Next(std::string_view key, std::uint64_t after) const {
        Elem* best = nullptr;
        m_table.Probe(Table::Hash(key), [&](std::size_t, Elem* v) {
            if (v->core.seq <= after || (best && v->core.seq >= best->core.seq)) return false;
            for (std::string_view k : v->Keys())
                if (k == key) {
                    best = v;
                    break;
                }
            return false;
        });
        return best;
    }

    void Clear() { m_table.Clear(); }

private:
    using Table = FlatTable<Elem*>;
    Table m_table;
};

}  // namespace cert::capi
