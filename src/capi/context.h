// Certificate and CRL contexts and the stores that hold them
// (include/cert/capi.h), as the files of this layer share them.
//
// Internal to the library. Conventions for contexts and stores:
// - Memory: a context is one allocation: its index keys, then the public
//   structure (a PCCERT_CONTEXT is the address of its Context), the core,
//   the encoding and the decoded information; from the general heap, or in
//   a large store from the store's chunks (capi/context_heap.h). Each
//   reference handed out is one count of `refs`; a store holds one count for
//   each of its elements.
// - Immutable after creation (read without a lock): the encoding, the
//   decoded information, the keys (with the SHA-1), `store`, `seq`. Properties and the
//   caches are under the context's own mutex; membership (`member`) under
//   the store's mutex. Lock order: a store's mutex, then a context's.
// - Errors are thrown as Fail{code} and turned into the last error by
//   Guard at the exported functions.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capi/codec.h"
#include "capi/context_heap.h"
#include "capi/store_backing.h"

namespace cert::capi {

class Store;

struct Property {
    DWORD id;
    std::vector<BYTE> value;  // property 2 in its self-relative form
    bool persist = true;      // false: set with CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG
};

// A context's index keys, each starting with the letter of its index.
struct KeyList {
    std::array<std::string_view, 6> at{};
    std::size_t count = 0;
    const std::string_view* begin() const { return at.data(); }
    const std::string_view* end() const { return at.data() + count; }
};

struct Core {
    // What a find touches sits in the context's first two cache lines: the
    // count, the place and where the index keys are. The keys themselves
    // end right before the context, so that the lines a lookup reads are
    // neighbours (certificates: SHA-1, issuer, subject, serial alone, key
    // id, serial and issuer; CRLs: SHA-1, issuer).
    std::atomic<std::uint32_t> refs{1};
    DWORD kind = 0;         // ::capi::store::kCert or kCrl
    std::uint64_t seq = 0;  // its place in the store
    bool member = false;    // still in it (the store's mutex)
    bool readOnly = false;  // shown from another store, never changed
    std::uint8_t keyCount = 0;
    bool chunked = false;       // carved from a store's ContextHeap
    std::uint32_t keyRoom = 0;  // bytes of the allocation before the context
    std::array<std::uint32_t, 6> keyLength{};
    std::weak_ptr<Store> store;  // the store the context is an element of

    std::mutex lock;  // what follows
    std::vector<Property> props;
    // CRLs: the SHA-1 of issuer encodings whose key did or did not verify
    // this CRL, so that a signature is checked once per CRL and issuer.
    std::vector<std::pair<std::string, bool>> verifiedBy;

    // The core is the second member of its context, after the public
    // structure, and the keys end where the context starts.
    KeyList Keys(const void* context) const {
        KeyList out;
        out.count = keyCount;
        const char* at = static_cast<const char*>(context);
        for (std::size_t i = keyCount; i-- > 0;) {
            at -= keyLength[i];
            out.at[i] = std::string_view(at, keyLength[i]);
        }
        return out;
    }
};

template <class Pub>
struct alignas(64) Context {
    Pub pub;  // first: the public pointer is the context's address
    Core core;

    KeyList Keys() const { return core.Keys(this); }
    // The key of index `letter` ('h' SHA-1, 'i' issuer, ...), empty without.
    std::string_view Key(char letter) const {
        for (std::string_view k : Keys())
            if (k[0] == letter) return k;
        return {};
    }
    // The SHA-1 of the encoding (20 bytes), as its index key holds it.
    std::string_view Sha1() const { return Key('h').substr(1); }
};
using CertContext = Context<CERT_CONTEXT>;
using CrlContext = Context<CRL_CONTEXT>;

inline CertContext* Of(PCCERT_CONTEXT p) { return reinterpret_cast<CertContext*>(const_cast<CERT_CONTEXT*>(p)); }
inline CrlContext* Of(PCCRL_CONTEXT p) { return reinterpret_cast<CrlContext*>(const_cast<CRL_CONTEXT*>(p)); }

// New contexts with one reference, decoded from the encoding (strict DER,
// a signed certificate or CRL); they belong to no store. A store that is to
// take them passes its heap.
CertContext* NewCert(const BYTE* p, std::size_t n, ContextHeap* heap = nullptr);
CrlContext* NewCrl(const BYTE* p, std::size_t n, ContextHeap* heap = nullptr);
template <class Pub>
Context<Pub>* AddRef(Context<Pub>* c) {
    c->core.refs.fetch_add(1, std::memory_order_relaxed);
    return c;
}
void Release(CertContext* c);
void Release(CrlContext* c);

// SHA-1 of bytes, as a string of 20 bytes.
std::string Sha1(const BYTE* p, std::size_t n);
inline std::string Sha1(const CRYPTOAPI_BLOB& b) { return Sha1(b.pbData, b.cbData); }
// The subject key identifier ("2.5.29.14") of a certificate, else the SHA-1
// of its public key bits.
std::string KeyId(const CERT_INFO& info);
// The key identifier of a CRL's or certificate's authority key identifier
// ("2.5.29.35", else "2.5.29.1"), empty without one.
std::string AuthorityKeyId(DWORD count, const CERT_EXTENSION* list);
std::string Bytes(const CRYPTOAPI_BLOB& b);
ULONGLONG Ticks(const FILETIME& t);
FILETIME Now();

// Properties as elements carry them (persisted ones only), and back.
std::vector<std::pair<DWORD, std::vector<BYTE>>> PersistedProps(Core& c);
void SetProps(Core& c, const std::vector<std::pair<DWORD, std::vector<BYTE>>>& props);
// The element for a context as a backing takes it.
template <class Pub>
::capi::store::Element ElementOf(Context<Pub>& c, const BYTE* encoded, DWORD size) {
    ::capi::store::Element e;
    e.kind = c.core.kind;
    e.encoded.assign(encoded, encoded + size);
    e.props = PersistedProps(c.core);
    e.readOnly = c.core.readOnly;
    return e;
}
inline ::capi::store::Element ElementOf(CertContext& c) {
    return ElementOf(c, c.pub.pbCertEncoded, c.pub.cbCertEncoded);
}
inline ::capi::store::Element ElementOf(CrlContext& c) { return ElementOf(c, c.pub.pbCrlEncoded, c.pub.cbCrlEncoded); }

// Property calls shared by certificates and CRLs (the store, when the
// context has one, learns of the change).
BOOL GetProperty(Core& c, std::string_view sha1, DWORD id, void* out, DWORD* pcb);
// The new property list after setting `id` from `data` (null: removed).
std::vector<Property> PropsWith(Core& c, DWORD id, DWORD flags, const void* data);

// A signed certificate or CRL (its whole encoding) checked with the key of
// `issuer`: GOST through the provider, others through OpenSSL.
bool SignatureVerifies(const BYTE* p, std::size_t n, bool isCrl, const CERT_CONTEXT& issuer);
// The same for a CRL, remembered per CRL and issuer.
bool CrlSignatureVerifies(CrlContext& crl, const CERT_CONTEXT& issuer);

// The next CRL of the store after `prev` (which is freed) whose issuer is
// `issuer` (any CRL when null), by the store's index; throws
// CRYPT_E_NOT_FOUND at the end.
PCCRL_CONTEXT NextCrl(HCERTSTORE store, const CERT_NAME_BLOB* issuer, PCCRL_CONTEXT prev);

// Runs `body` at an exported function that returns a pointer: null with
// the last error set on failure.
template <class T, class F>
T* GuardPtr(F&& body) {
    T* result = nullptr;
    if (!Guard(false, [&] { result = body(); })) return nullptr;
    return result;
}

}  // namespace cert::capi
