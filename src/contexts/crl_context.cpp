// CCTFCRLContext: one CRL over the platform's context.
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "capi/flat_index.h"
#include "cert/oids.h"
#include "contexts/contexts_internal.h"
#include "contexts/crl_internal.h"

using namespace cert::contexts;

CCTFCRLContext::CCTFCRLContext(PCCRL_CONTEXT context)
    : m_context(context ? CertDuplicateCRLContext(context) : nullptr) {}

CCTFCRLContext::CCTFCRLContext(const IdentObj& encoded, unsigned long encoding) { CreateCRLContext(encoded, encoding); }

// Entries by serial: the first entry of each serial is the one at the
// lowest address, the platform's array being in CRL order.
struct CCTFCRLContext::SerialIndex {
    cert::capi::FlatTable<const CRL_ENTRY*> table;

    static std::uint64_t Hash(const BYTE* p, DWORD n) {
        return cert::capi::FlatTable<const CRL_ENTRY*>::Hash(std::string_view(reinterpret_cast<const char*>(p), n));
    }
    explicit SerialIndex(const CRL_INFO& info) {
        table.Reserve(info.cCRLEntry);
        for (DWORD i = 0; i < info.cCRLEntry; ++i) {
            const CRYPT_INTEGER_BLOB& s = info.rgCRLEntry[i].SerialNumber;
            table.Insert(Hash(s.pbData, s.cbData), &info.rgCRLEntry[i]);
        }
    }
    const CRL_ENTRY* First(const BYTE* p, DWORD n) const {
        const CRL_ENTRY* best = nullptr;
        table.Probe(Hash(p, n), [&](std::size_t, const CRL_ENTRY* e) {
            if ((!best || e < best) && e->SerialNumber.cbData == n &&
                (n == 0 || std::memcmp(e->SerialNumber.pbData, p, n) == 0))
                best = e;
            return false;
        });
        return best;
    }
};

CCTFCRLContext::CCTFCRLContext(const CCTFCRLContext& o)
    : m_context(o.m_context ? CertDuplicateCRLContext(o.m_context) : nullptr),
      m_serials(m_context ? o.m_serials.load() : nullptr),
      m_checkStatus(o.m_checkStatus),
      m_text(o.m_text),
      m_number(o.m_number),
      m_numberRead(o.m_numberRead) {}

CCTFCRLContext& CCTFCRLContext::operator=(const CCTFCRLContext& o) {
    if (this == &o) return *this;
    CCTFCRLContext copy(o);
    *this = std::move(copy);
    return *this;
}

CCTFCRLContext::CCTFCRLContext(CCTFCRLContext&& o) noexcept
    : m_context(o.m_context),
      m_serials(o.m_serials.exchange(nullptr)),
      m_checkStatus(o.m_checkStatus),
      m_text(std::move(o.m_text)),
      m_number(std::move(o.m_number)),
      m_numberRead(o.m_numberRead) {
    o.m_context = nullptr;
}

CCTFCRLContext& CCTFCRLContext::operator=(CCTFCRLContext&& o) noexcept {
    if (this == &o) return *this;
    Reset();
    m_context = o.m_context;
    o.m_context = nullptr;
    m_serials.store(o.m_serials.exchange(nullptr));
    m_checkStatus = o.m_checkStatus;
    m_text = std::move(o.m_text);
    m_number = std::move(o.m_number);
    m_numberRead = o.m_numberRead;
    return *this;
}

CCTFCRLContext::~CCTFCRLContext() { Reset(); }

void CCTFCRLContext::Reset() {
    m_serials.store(nullptr);
    if (m_context) CertFreeCRLContext(m_context);
    m_context = nullptr;
    m_checkStatus = 0;
    m_number.Empty();
    m_numberRead = false;
}

bool CCTFCRLContext::CreateCRLContext(const IdentObj& encoded, unsigned long) {
    Reset();
    if (encoded.IsEmpty()) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
        return false;
    }
    m_context = CertCreateCRLContext(CAPI_ENCODING, encoded.data(), encoded.size());
    return m_context != nullptr;
}

bool CCTFCRLContext::IsInitialized() const {
    return m_context && m_context->pCrlInfo && m_context->pbCrlEncoded && m_context->cbCrlEncoded &&
           m_context->dwCertEncodingType;
}

IdentObj CCTFCRLContext::GetEncoded() const {
    return Answer(IdentObj(),
                  [&] { return m_context ? IdentObj(m_context->pbCrlEncoded, m_context->cbCrlEncoded) : IdentObj(); });
}

bool CCTFCRLContext::operator==(const CCTFCRLContext& o) const {
    if (m_context == o.m_context) return true;
    if (!m_context || !o.m_context) return false;
    return m_context->cbCrlEncoded == o.m_context->cbCrlEncoded &&
           std::memcmp(m_context->pbCrlEncoded, o.m_context->pbCrlEncoded, m_context->cbCrlEncoded) == 0;
}

IdentObj CCTFCRLContext::GetIssuerKeyId() const {
    return Answer(IdentObj(), [&] {
        if (!IsInitialized()) return IdentObj();
        const CRL_INFO* info = m_context->pCrlInfo;
        IdentObj blob;
        if (!DecodeExtension(FindExtension(info->cExtension, info->rgExtension, cert::oids::kAuthorityKeyIdentifier),
                             X509_AUTHORITY_KEY_ID2, blob))
            return IdentObj();
        return Blob(reinterpret_cast<const CERT_AUTHORITY_KEY_ID2_INFO*>(blob.data())->KeyId);
    });
}

namespace {

// The indexes of the CRLs looked up lately, by platform context. A store's
// search hands out a fresh wrapper of the same context for every
// certificate checked; without this each would index a large CRL again.
// Every entry holds a reference to its context, so no other CRL can take
// its address while the entry lives. Bounded in number of CRLs.
class IndexRegistry {
public:
    template <class Build>
    std::shared_ptr<const void> Get(PCCRL_CONTEXT crl, Build&& build) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = known_.find(crl);
            if (it != known_.end()) return it->second;
        }
        std::shared_ptr<const void> built = build();
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = known_.find(crl);
        if (it != known_.end()) return it->second;
        if (known_.size() >= kLimit) Clear();
        known_.emplace(CertDuplicateCRLContext(crl), built);
        return built;
    }

private:
    void Clear() {
        for (auto& [c, index] : known_) CertFreeCRLContext(c);
        known_.clear();
    }
    static constexpr std::size_t kLimit = 16;
    std::mutex mutex_;
    std::unordered_map<PCCRL_CONTEXT, std::shared_ptr<const void>> known_;
};

IndexRegistry& Indexes() {
    static IndexRegistry* registry = new IndexRegistry;
    return *registry;
}

// Small CRLs index faster than the registry is worth.
constexpr DWORD kSharedIndexEntries = 1024;

}  // namespace

const CCTFCRLContext::SerialIndex& CCTFCRLContext::Serials() const {
    std::shared_ptr<const SerialIndex> index = m_serials.load(std::memory_order_acquire);
    if (!index) {
        std::shared_ptr<const SerialIndex> built;
        if (m_context->pCrlInfo->cCRLEntry >= kSharedIndexEntries)
            built = std::static_pointer_cast<const SerialIndex>(Indexes().Get(m_context, [&] {
                return std::static_pointer_cast<const void>(std::make_shared<const SerialIndex>(*m_context->pCrlInfo));
            }));
        else
            built = std::make_shared<const SerialIndex>(*m_context->pCrlInfo);
        // Threads that race here each get one; the first stored is kept and
        // the others dropped, so every lookup sees one whole index.
        if (m_serials.compare_exchange_strong(index, built, std::memory_order_acq_rel)) index = std::move(built);
    }
    return *index;
}

const CRL_ENTRY* CCTFCRLContext::FindEntry(const BYTE* serial, DWORD size) const {
    if (!IsInitialized()) return nullptr;
    try {
        return Serials().First(serial, size);
    } catch (...) {
        // Without room for the index the entries are still there to scan: a
        // revoked certificate must not pass for want of memory.
        const CRL_INFO& info = *m_context->pCrlInfo;
        for (DWORD i = 0; i < info.cCRLEntry; ++i) {
            const CRYPT_INTEGER_BLOB& s = info.rgCRLEntry[i].SerialNumber;
            if (s.cbData == size && (size == 0 || std::memcmp(s.pbData, serial, size) == 0)) return &info.rgCRLEntry[i];
        }
        return nullptr;
    }
}

const IdentObj& CCTFCRLContext::GetSerialNumber() {
    if (!m_context) throw XTOOStatus(TOOERR_BADFORMAT, "CCTFCRLContext");
    if (!m_numberRead) {
        const CRL_INFO* info = m_context->pCrlInfo;
        // A CRL number is no serial: its content stays in encoded order, as
        // the CRL files and the updater compare it, and as the CRL model
        // reads it.
        if (const CERT_EXTENSION* e = FindExtension(info->cExtension, info->rgExtension, cert::oids::kCrlNumber))
            m_number = cert::contexts::crl::CrlNumberOf(e->Value.pbData, e->Value.cbData);
        m_numberRead = true;
    }
    return m_number;
}

int CCTFCRLContext::GetCheckStatus() {
    if (m_checkStatus) return m_checkStatus;
    if (!IsInitialized()) return TOOERR_BADFORMAT;
    const CTOOFileTime next(m_context->pCrlInfo->NextUpdate);
    // Without a next update the CRL never goes out of date.
    if (!next.IsEmpty() && CTOOFileTime::now().Ticks() > next.Ticks()) m_checkStatus = CTFERR_CRL_EXPIRED;
    return m_checkStatus;
}

bool CCTFCRLContext::DeleteCRLFromStore() {
    if (!m_context) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return false;
    }
    // The platform frees the context it deletes; ours is that one now.
    PCCRL_CONTEXT gone = m_context;
    m_context = nullptr;
    m_serials.store(nullptr);
    m_number.Empty();
    m_numberRead = false;
    return CertDeleteCRLFromStore(gone) != FALSE;
}
