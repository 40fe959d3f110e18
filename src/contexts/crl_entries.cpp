// CRL entries and the entry list with its index by serial.
#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <vector>

#include "capi/flat_index.h"
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
// The index: the library's flat table of (hash, entry, place), one slot per
// entry. A node-based map would add two allocations per entry to a list
// that already has one; a CRL of a million entries is indexed here in one
// table of 48 MiB. Places grow with every append, so among entries of one
// serial the smallest place is the first in the list.
struct CCTF_CRL_EntryList::Index {
    using Iter = std::list<CCTF_CRL_Entry>::iterator;
    struct Ref {
        Iter it{};
        std::uint64_t place = 0;  // 0: empty
        explicit operator bool() const { return place != 0; }
    };
    cert::capi::FlatTable<Ref> table;
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

    static std::uint64_t Hash(const IdentObj& serial) { return cert::capi::FlatTable<Ref>::Hash(serial.view()); }

    void Build(std::list<CCTF_CRL_Entry>& list) {
        table.Clear();
        table.Reserve(list.size());
        nextPlace = 1;
        for (auto it = list.begin(); it != list.end(); ++it) Insert(it);
        Note(list);
    }

    void Insert(Iter it) { table.Insert(Hash(it->m_serialNumber), Ref{it, nextPlace++}); }

    // The slot of the first entry with these bytes, or SIZE_MAX.
    std::size_t First(const IdentObj& serial) const {
        std::size_t best = SIZE_MAX;
        table.Probe(Hash(serial), [&](std::size_t slot, const Ref& r) {
            if ((best == SIZE_MAX || r.place < table.At(best).place) && r.it->m_serialNumber == serial) best = slot;
            return false;
        });
        return best;
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
    try {
        const Index& index = Indexed();
        const std::size_t slot = index.First(serial);
        return slot == SIZE_MAX ? nullptr : &*index.table.At(slot).it;
    } catch (const std::bad_alloc&) {
        // No room for the index: the entries are still there to scan.
        m_index.reset();
        for (const CCTF_CRL_Entry& e : *this)
            if (e.m_serialNumber == serial) return &e;
        return nullptr;
    }
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
    const Index::Iter it = index.table.At(slot).it;
    index.table.EraseAt(slot);
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
