// Certificate and CRL contexts: one allocation each, reference counted,
// and their properties.
#include <algorithm>
#include <cstring>
#include <new>

#include "capi/context.h"
#include "capi/openssl_glue.h"
#include "cert/oids.h"

namespace cert::capi {

namespace store = ::capi::store;

namespace {

constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr std::size_t Round(std::size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// The decoded information of a signed certificate or CRL, laid out by the
// arena; the envelope must be sound and nothing may follow it.
template <class Decode>
void DecodeSigned(const BYTE* p, std::size_t n, Arena& info, Decode decode) {
    if (!p && n) Throw(E_INVALIDARG);
    asn::Reader probe(asn::View(p, n));
    Arena scratch;
    DecodeSignedContent(probe, scratch, 0);
    if (!probe.AtEnd()) Throw(CRYPT_E_ASN1_NOEOD);
    asn::Reader in(asn::View(p, n));
    decode(in, info, 0);
}

// One allocation: the index keys, the context, the encoding, the decoded
// information. The keys come from the decoded structure read in place in
// the arena, before it is laid out.
template <class Pub, class Info, class Decode, class KeysOf>
Context<Pub>* Build(const BYTE* p, std::size_t n, DWORD kind, Decode decode, KeysOf keysOf, BYTE* Pub::*encoded,
                    DWORD Pub::*size, Info* Pub::*decoded, ContextHeap* heap) {
    Arena info;
    DecodeSigned(p, n, info, decode);
    std::vector<std::string> keys{"h" + Sha1(p, n)};
    for (std::string& k : keysOf(*static_cast<const Info*>(info.Root())))
        if (k.size() > 1) keys.push_back(std::move(k));
    std::size_t keyBytes = 0;
    for (const std::string& k : keys) keyBytes += k.size();
    constexpr std::size_t kLine = alignof(Context<Pub>);
    const std::size_t keyRoom = (keyBytes + kLine - 1) / kLine * kLine;
    const std::size_t head = Round(sizeof(Context<Pub>)), body = Round(n);
    const std::size_t total = keyRoom + head + body + info.Size();
    void* chunked = heap ? heap->Allocate(total) : nullptr;
    auto* mem = static_cast<char*>(chunked ? chunked : ::operator new (total, std::align_val_t{kLine}));
    auto* c = new (mem + keyRoom) Context<Pub>{};
    c->core.chunked = chunked != nullptr;
    c->core.keyRoom = static_cast<std::uint32_t>(keyRoom);
    char* at = mem + keyRoom - keyBytes;
    for (const std::string& k : keys) {
        std::memcpy(at, k.data(), k.size());
        c->core.keyLength[c->core.keyCount++] = static_cast<std::uint32_t>(k.size());
        at += k.size();
    }
    BYTE* bytes = reinterpret_cast<BYTE*>(mem + keyRoom + head);
    if (n) std::memcpy(bytes, p, n);
    info.CopyTo(bytes + body);
    c->pub.dwCertEncodingType = CAPI_ENCODING;
    c->pub.*encoded = bytes;
    c->pub.*size = static_cast<DWORD>(n);
    c->pub.*decoded = reinterpret_cast<Info*>(bytes + body);
    c->core.kind = kind;
    return c;
}

template <class Pub>
void Destroy(Context<Pub>* c) {
    if (!c || c->core.refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    char* mem = reinterpret_cast<char*>(c) - c->core.keyRoom;
    const bool chunked = c->core.chunked;
    c->~Context<Pub>();
    if (chunked)
        ContextHeap::Free(mem);
    else
        ::operator delete (mem, std::align_val_t{alignof(Context<Pub>)});
}

const CERT_EXTENSION* FindExtension(DWORD count, const CERT_EXTENSION* list, const char* oid) {
    for (DWORD i = 0; i < count; ++i)
        if (list[i].pszObjId && std::strcmp(list[i].pszObjId, oid) == 0) return &list[i];
    return nullptr;
}

// [0] IMPLICIT KeyIdentifier at the start of an authority key identifier.
std::string LeadingKeyId(const CRYPTOAPI_BLOB& value) {
    try {
        asn::Reader r(asn::View(value.pbData, value.cbData));
        asn::Reader s = r.Enter(Take(r, asn::kSequence));
        if (!Has(s, 0, asn::kContext)) return {};
        asn::Bytes id = TakeContext(s, 0, false).content;
        return std::string(reinterpret_cast<const char*>(id.data()), id.size());
    } catch (...) {
        return {};
    }
}

}  // namespace

std::string Bytes(const CRYPTOAPI_BLOB& b) {
    return b.cbData ? std::string(reinterpret_cast<const char*>(b.pbData), b.cbData) : std::string();
}

std::string Sha1(const BYTE* p, std::size_t n) {
    std::string out(20, '\0');
    if (!ossl::Sha1(p, n, reinterpret_cast<std::uint8_t*>(out.data()))) Throw(NTE_FAIL);
    return out;
}

std::string KeyId(const CERT_INFO& info) {
    if (const CERT_EXTENSION* ski =
            FindExtension(info.cExtension, info.rgExtension, cert::oids::kSubjectKeyIdentifier)) {
        try {
            asn::Reader r(asn::View(ski->Value.pbData, ski->Value.cbData));
            asn::Bytes id = Take(r, asn::kOctetString).content;
            if (r.AtEnd()) return std::string(reinterpret_cast<const char*>(id.data()), id.size());
        } catch (...) {
        }
    }
    const CRYPT_BIT_BLOB& key = info.SubjectPublicKeyInfo.PublicKey;
    return key.cbData ? Sha1(key.pbData, key.cbData) : std::string();
}

std::string AuthorityKeyId(DWORD count, const CERT_EXTENSION* list) {
    if (const CERT_EXTENSION* e = FindExtension(count, list, cert::oids::kAuthorityKeyIdentifier))
        return LeadingKeyId(e->Value);
    if (const CERT_EXTENSION* e = FindExtension(count, list, cert::oids::kAuthorityKeyIdentifierOld))
        return LeadingKeyId(e->Value);
    return {};
}

ULONGLONG Ticks(const FILETIME& t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

CertContext* NewCert(const BYTE* p, std::size_t n, ContextHeap* heap) {
    auto keys = [](const CERT_INFO& i) {
        const std::string issuer = Bytes(i.Issuer);
        // Distinct prefixes keep the indexes' keys apart. "r" is the serial
        // alone: the template search's key when the issuer it was given is
        // typed otherwise. The keys finds use most come last, nearest the
        // context.
        return std::vector<std::string>{"i" + issuer, "n" + Bytes(i.Subject), "r" + Bytes(i.SerialNumber),
                                        "k" + KeyId(i),
                                        "s" + std::to_string(issuer.size()) + ":" + issuer + Bytes(i.SerialNumber)};
    };
    return Build<CERT_CONTEXT, CERT_INFO>(p, n, store::kCert, DecodeCertInfo, keys, &CERT_CONTEXT::pbCertEncoded,
                                          &CERT_CONTEXT::cbCertEncoded, &CERT_CONTEXT::pCertInfo, heap);
}

CrlContext* NewCrl(const BYTE* p, std::size_t n, ContextHeap* heap) {
    auto keys = [](const CRL_INFO& i) { return std::vector<std::string>{"i" + Bytes(i.Issuer)}; };
    return Build<CRL_CONTEXT, CRL_INFO>(p, n, store::kCrl, DecodeCrlInfo, keys, &CRL_CONTEXT::pbCrlEncoded,
                                        &CRL_CONTEXT::cbCrlEncoded, &CRL_CONTEXT::pCrlInfo, heap);
}

void Release(CertContext* c) { Destroy(c); }
void Release(CrlContext* c) { Destroy(c); }

// ---------------------------------------------------------------------------
// Properties.

std::vector<std::pair<DWORD, std::vector<BYTE>>> PersistedProps(Core& c) {
    std::lock_guard<std::mutex> hold(c.lock);
    std::vector<std::pair<DWORD, std::vector<BYTE>>> out;
    for (const Property& p : c.props)
        if (p.persist) out.emplace_back(p.id, p.value);
    return out;
}

void SetProps(Core& c, const std::vector<std::pair<DWORD, std::vector<BYTE>>>& props) {
    std::lock_guard<std::mutex> hold(c.lock);
    c.props.clear();
    for (const auto& [id, value] : props) c.props.push_back({id, value, true});
}

namespace {

const Property* Find(const std::vector<Property>& props, DWORD id) {
    for (const Property& p : props)
        if (p.id == id) return &p;
    return nullptr;
}

// CRYPT_KEY_PROV_INFO as one blob from its self-relative form.
void ProvInfoOut(const std::vector<BYTE>& stored, Arena& a) {
    store::KeyProvInfo k;
    if (!store::DecodeKeyProvInfo(stored.data(), stored.size(), k)) Throw(CRYPT_E_FILE_ERROR);
    auto* out = a.New<CRYPT_KEY_PROV_INFO>();
    if (!k.container.empty()) a.Wide(out->pwszContainerName, k.container);
    if (!k.provider.empty()) a.Wide(out->pwszProvName, k.provider);
    out->dwProvType = k.provType;
    out->dwFlags = k.flags;
    out->dwKeySpec = k.keySpec;
    out->cProvParam = static_cast<DWORD>(k.params.size());
    CRYPT_KEY_PROV_PARAM* params = k.params.empty() ? nullptr : a.New<CRYPT_KEY_PROV_PARAM>(k.params.size());
    a.Link(out->rgProvParam, params);
    for (std::size_t i = 0; i < k.params.size(); ++i) {
        params[i].dwParam = k.params[i].first;
        params[i].cbData = static_cast<DWORD>(k.params[i].second.size());
        a.Link(params[i].pbData, a.Copy(asn::View(k.params[i].second.data(), k.params[i].second.size())));
    }
}

std::vector<BYTE> ProvInfoIn(const CRYPT_KEY_PROV_INFO& in) {
    store::KeyProvInfo k;
    if (in.pwszContainerName) k.container = in.pwszContainerName;
    if (in.pwszProvName) k.provider = in.pwszProvName;
    k.provType = in.dwProvType;
    k.flags = in.dwFlags;
    k.keySpec = in.dwKeySpec;
    for (const CRYPT_KEY_PROV_PARAM& p : Items(in.rgProvParam, in.cProvParam)) {
        if (p.cbData && !p.pbData) Throw(E_INVALIDARG);
        k.params.emplace_back(p.dwParam, std::vector<BYTE>(p.pbData, p.pbData + p.cbData));
    }
    return store::EncodeKeyProvInfo(k);
}

void DeliverBytes(const std::vector<BYTE>& v, void* out, DWORD* pcb) {
    Deliver(v.size(), out, pcb, false, [&] {
        if (!v.empty()) std::memcpy(out, v.data(), v.size());
    });
}

}  // namespace

BOOL GetProperty(Core& c, std::string_view sha1, DWORD id, void* out, DWORD* pcb) {
    return Guard(false, [&] {
        if (!pcb) Throw(E_INVALIDARG);
        std::vector<BYTE> value;
        {
            std::lock_guard<std::mutex> hold(c.lock);
            const Property* p = Find(c.props, id);
            if (p) {
                value = p->value;
            } else if (id == CERT_SHA1_HASH_PROP_ID) {
                value.assign(sha1.begin(), sha1.end());
            } else if (id == CERT_KEY_SPEC_PROP_ID && (p = Find(c.props, CERT_KEY_PROV_INFO_PROP_ID))) {
                store::KeyProvInfo k;
                if (!store::DecodeKeyProvInfo(p->value.data(), p->value.size(), k)) Throw(CRYPT_E_FILE_ERROR);
                const auto* spec = reinterpret_cast<const BYTE*>(&k.keySpec);
                value.assign(spec, spec + sizeof(DWORD));
            } else {
                Throw(CRYPT_E_NOT_FOUND);
            }
        }
        if (id != CERT_KEY_PROV_INFO_PROP_ID) return DeliverBytes(value, out, pcb);
        Arena a;
        ProvInfoOut(value, a);
        Deliver(a.Size(), out, pcb, true, [&] { a.CopyTo(out); });
    });
}

std::vector<Property> PropsWith(Core& c, DWORD id, DWORD flags, const void* data) {
    if (id == 0 || id > CERT_LAST_USER_PROP_ID) Throw(E_INVALIDARG);
    std::vector<BYTE> value;
    if (data) {
        if (id == CERT_KEY_PROV_INFO_PROP_ID) {
            value = ProvInfoIn(*static_cast<const CRYPT_KEY_PROV_INFO*>(data));
        } else if (id == CERT_KEY_SPEC_PROP_ID) {
            const auto* spec = static_cast<const BYTE*>(data);
            value.assign(spec, spec + sizeof(DWORD));
        } else {
            const auto& blob = *static_cast<const CRYPT_DATA_BLOB*>(data);
            if (blob.cbData && !blob.pbData) Throw(E_INVALIDARG);
            value.assign(blob.pbData, blob.pbData + blob.cbData);
        }
    }
    std::lock_guard<std::mutex> hold(c.lock);
    std::vector<Property> props = c.props;
    auto at = std::find_if(props.begin(), props.end(), [&](const Property& p) { return p.id == id; });
    const bool persist = !(flags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG);
    if (!data) {
        if (at != props.end()) props.erase(at);
    } else if (at != props.end()) {
        *at = {id, std::move(value), persist};
    } else {
        props.push_back({id, std::move(value), persist});
    }
    return props;
}

}  // namespace cert::capi

using namespace cert::capi;

namespace {

template <class Make>
auto Create(DWORD encoding, const BYTE* p, DWORD n, Make make) {
    using Pub = decltype(make(p, n, nullptr)->pub);
    return GuardPtr<const Pub>([&]() -> const Pub* {
        if (!(encoding & X509_ASN_ENCODING)) Throw(E_INVALIDARG);
        return &make(p, n, nullptr)->pub;
    });
}

template <class Pub>
const Pub* Duplicate(const Pub* p) {
    return p ? &AddRef(Of(p))->pub : nullptr;
}

template <class Pub>
BOOL GetPropertyOf(const Pub* p, DWORD id, void* out, DWORD* pcb) {
    if (!p) {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    return GetProperty(Of(p)->core, Of(p)->Sha1(), id, out, pcb);
}

template <class Pub>
BOOL Free(const Pub* p) {
    if (p) Release(Of(p));
    return TRUE;
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    return Create(dwCertEncodingType, pbCertEncoded, cbCertEncoded, NewCert);
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) { return Duplicate(pCertContext); }

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) { return Free(pCertContext); }

PCCRL_CONTEXT CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded, DWORD cbCrlEncoded) {
    return Create(dwCertEncodingType, pbCrlEncoded, cbCrlEncoded, NewCrl);
}

PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext) { return Duplicate(pCrlContext); }

BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext) { return Free(pCrlContext); }

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData) {
    return GetPropertyOf(pCertContext, dwPropId, pvData, pcbData);
}

BOOL CertGetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId, void* pvData, DWORD* pcbData) {
    return GetPropertyOf(pCrlContext, dwPropId, pvData, pcbData);
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
    DWORD next = 0;
    Guard(false, [&] {
        if (!pCertContext) Throw(E_INVALIDARG);
        Core& c = Of(pCertContext)->core;
        std::lock_guard<std::mutex> hold(c.lock);
        for (const Property& p : c.props)
            if (p.id > dwPropId && (next == 0 || p.id < next)) next = p.id;
    });
    return next;
}
