// CRL entries and the entry list with its index by serial.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "cert/crlmodel.h"
#include "cert/oids.h"

CCTF_CRL_Entry::CCTF_CRL_Entry(const CRL_ENTRY& entry) { *this = entry; }

CCTF_CRL_Entry& CCTF_CRL_Entry::operator=(const CRL_ENTRY& entry) {
    m_serialNumber = IdentObj(entry.SerialNumber.pbData, entry.SerialNumber.cbData);
    m_revocationDate = entry.RevocationDate;
    m_extensions.clear();
    for (DWORD i = 0; i < entry.cExtension; ++i) m_extensions.emplace_back(entry.rgExtension[i]);
    return *this;
}

CCTF_CRL_Entry::~CCTF_CRL_Entry() = default;

bool CCTF_CRL_Entry::operator==(const CCTF_CRL_Entry& o) const {
    return m_serialNumber == o.m_serialNumber && m_revocationDate.dwLowDateTime == o.m_revocationDate.dwLowDateTime &&
           m_revocationDate.dwHighDateTime == o.m_revocationDate.dwHighDateTime &&
           static_cast<const std::list<CCTFCertExtension>&>(m_extensions) ==
               static_cast<const std::list<CCTFCertExtension>&>(o.m_extensions);
}

bool CCTF_CRL_Entry::operator<(const CCTF_CRL_Entry& o) const {
    if (const int c = m_serialNumber.Compare(o.m_serialNumber)) return c < 0;
    const ULONGLONG a = cert::platform::FileTimeToU64(m_revocationDate);
    const ULONGLONG b = cert::platform::FileTimeToU64(o.m_revocationDate);
    if (a != b) return a < b;
    if (m_extensions.size() != o.m_extensions.size()) return m_extensions.size() < o.m_extensions.size();
    return std::lexicographical_compare(m_extensions.begin(), m_extensions.end(), o.m_extensions.begin(),
                                        o.m_extensions.end());
}

DWORD CCTF_CRL_Entry::GetReasonCode() const {
    const CCTFCertExtension* ext = m_extensions.Find(cert::oids::kCrlReason);
    if (!ext) return 0;
    IdentObj out;
    if (!ext->DecodeData(out, cert::oids::kCrlReason) || out.size() < sizeof(int)) return 0;
    int reason = 0;
    std::memcpy(&reason, out.data(), sizeof reason);
    return static_cast<DWORD>(reason);
}

DWORD CCTF_CRL_Entry::GetObjectSize() const {
    return 8 + m_serialNumber.SerializedSize() + m_extensions.GetObjectSize();
}

// ---------------------------------------------------------------------------
// The index: an open-addressing table of (hash, entry, place) with linear
// probing, one slot per entry. A node-based map would add two allocations
// per entry to a list that already has one; a CRL of a million entries is
// indexed here in one table of 32 MiB. Places grow with every append, so
// among entries of one serial the smallest place is the first in the list.
struct CCTF_CRL_EntryList::Index {
    using Iter = std::list<CCTF_CRL_Entry>::iterator;
    struct Slot {
        std::uint64_t hash = 0;
        std::uint64_t place = 0;  // 0: empty
        Iter it{};
    };
    std::vector<Slot> slots;
    std::size_t mask = 0;
    std::size_t used = 0;
    std::uint64_t nextPlace = 1;
    // The list as the index last matched it: its size and its end nodes,
    // so that most edits made behind the index's back are noticed.
    std::size_t listSize = 0;
    const void* front = nullptr;
    const void* back = nullptr;

    void Note(const std::list<CCTF_CRL_Entry>& list) {
        listSize = list.size();
        front = list.empty() ? nullptr : &list.front();
        back = list.empty() ? nullptr : &list.back();
    }
    bool Matches(const std::list<CCTF_CRL_Entry>& list) const {
        return listSize == list.size() && front == (list.empty() ? nullptr : &list.front()) &&
               back == (list.empty() ? nullptr : &list.back());
    }

    static std::uint64_t Hash(const IdentObj& serial) { return std::hash<std::string_view>{}(serial.view()); }

    void Build(std::list<CCTF_CRL_Entry>& list) {
        std::size_t cap = 16;
        while (cap < list.size() * 2) cap *= 2;
        slots.assign(cap, Slot{});
        mask = cap - 1;
        used = 0;
        nextPlace = 1;
        for (auto it = list.begin(); it != list.end(); ++it) Place(Slot{Hash(it->m_serialNumber), nextPlace++, it});
        used = list.size();
        Note(list);
    }

    void Place(const Slot& s) {
        std::size_t i = s.hash & mask;
        while (slots[i].place) i = (i + 1) & mask;
        slots[i] = s;
    }

    void Insert(Iter it) {
        if ((used + 1) * 2 > slots.size()) {
            std::vector<Slot> old(slots.size() * 2);
            old.swap(slots);
            mask = slots.size() - 1;
            for (const Slot& s : old)
                if (s.place) Place(s);
        }
        Place(Slot{Hash(it->m_serialNumber), nextPlace++, it});
        ++used;
    }

    // The slot of the first entry with these bytes, or npos.
    std::size_t First(const IdentObj& serial) const {
        const std::uint64_t h = Hash(serial);
        std::size_t best = SIZE_MAX;
        for (std::size_t i = h & mask; slots[i].place; i = (i + 1) & mask) {
            const Slot& s = slots[i];
            if (s.hash != h || (best != SIZE_MAX && s.place >= slots[best].place)) continue;
            if (s.it->m_serialNumber == serial) best = i;
        }
        return best;
    }

    // Empties slot `hole` and moves later slots of its run back where
    // their home allows, so that no probe stops early (no tombstones).
    void Remove(std::size_t hole) {
        for (std::size_t j = (hole + 1) & mask; slots[j].place; j = (j + 1) & mask) {
            const std::size_t home = slots[j].hash & mask;
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays) continue;
            slots[hole] = slots[j];
            hole = j;
        }
        slots[hole] = Slot{};
        --used;
    }
};

CCTF_CRL_EntryList::CCTF_CRL_EntryList() = default;
CCTF_CRL_EntryList::CCTF_CRL_EntryList(const CCTF_CRL_EntryList& o) : std::list<CCTF_CRL_Entry>(o) {}
CCTF_CRL_EntryList& CCTF_CRL_EntryList::operator=(const CCTF_CRL_EntryList& o) {
    if (this != &o) {
        std::list<CCTF_CRL_Entry>::operator=(o);
        m_index.reset();
    }
    return *this;
}
CCTF_CRL_EntryList::CCTF_CRL_EntryList(CCTF_CRL_EntryList&& o) noexcept : std::list<CCTF_CRL_Entry>(std::move(o)) {
    o.m_index.reset();
}
CCTF_CRL_EntryList& CCTF_CRL_EntryList::operator=(CCTF_CRL_EntryList&& o) noexcept {
    if (this != &o) {
        std::list<CCTF_CRL_Entry>::operator=(std::move(o));
        m_index.reset();
        o.m_index.reset();
    }
    return *this;
}
CCTF_CRL_EntryList::~CCTF_CRL_EntryList() = default;

CCTF_CRL_EntryList::Index& CCTF_CRL_EntryList::Indexed() const {
    auto& self = const_cast<CCTF_CRL_EntryList&>(*this);
    if (!m_index || !m_index->Matches(*this)) {
        auto index = std::make_unique<Index>();
        index->Build(self);
        m_index = std::move(index);
    }
    return *m_index;
}

void CCTF_CRL_EntryList::Reindex() const { m_index.reset(); }

const CCTF_CRL_Entry* CCTF_CRL_EntryList::Find(const IdentObj& serial) const {
    if (empty()) return nullptr;
    const Index& index = Indexed();
    const std::size_t slot = index.First(serial);
    return slot == SIZE_MAX ? nullptr : &*index.slots[slot].it;
}

bool CCTF_CRL_EntryList::FindElement(const IdentObj& serial, CCTF_CRL_Entry& out) const {
    out.m_serialNumber.Empty();
    const CCTF_CRL_Entry* found = Find(serial);
    if (found) out = *found;
    return found != nullptr;
}

bool CCTF_CRL_EntryList::EraseElement(const IdentObj& serial) {
    if (empty()) return false;
    Index& index = Indexed();
    const std::size_t slot = index.First(serial);
    if (slot == SIZE_MAX) return false;
    const Index::Iter it = index.slots[slot].it;
    index.Remove(slot);
    erase(it);
    index.Note(*this);
    return true;
}

void CCTF_CRL_EntryList::Append(CCTF_CRL_Entry&& entry) {
    // Without an index there is nothing to keep up: the first lookup builds it.
    if (!m_index || !m_index->Matches(*this)) {
        push_back(std::move(entry));
        return;
    }
    push_back(std::move(entry));
    try {
        m_index->Insert(std::prev(end()));
        m_index->Note(*this);
    } catch (...) {
        m_index.reset();
    }
}

DWORD CCTF_CRL_EntryList::GetObjectSize() const {
    DWORD n = 4;
    for (const auto& e : *this) n += e.GetObjectSize();
    return n;
}
