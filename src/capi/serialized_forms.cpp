// The three forms of a store file: which one a file is, and writing each.
#include <cstring>
#include <new>

#include "capi/codec.h"
#include "capi/store_file.h"
#include "cert/asn.h"
#include "cert/capi.h"

namespace capi::store {
namespace {

// OIDs written as text until the named constants arrive.
constexpr const char* kSignedDataOid = "1.2.840.113549.1.7.2";
constexpr const char* kDataOid = "1.2.840.113549.1.7.1";

// One set of a bundle ([0] certificates, [1] CRLs): each a whole SEQUENCE.
void ReadBundleSet(asn::Reader& signedData, std::uint32_t tag, DWORD kind, std::vector<Element>& out) {
    auto set = signedData.Optional(tag, asn::kContext);
    if (!set) return;
    if (!set->constructed) signedData.ThrowAt(set->offset, "bundle set not constructed");
    asn::Reader items = signedData.Enter(*set);
    while (!items.AtEnd()) {
        asn::Element item = items.Expect(asn::kSequence);
        out.push_back(Element{kind, std::vector<BYTE>(item.encoded.begin(), item.encoded.end()), {}, false});
    }
}

// One DER certificate and nothing else: its to-be-signed part decodes.
bool IsCertificate(const BYTE* p, size_t n) {
    if (n > 0xFFFFFFFFu) return false;
    DWORD size = 0;
    return CryptDecodeObject(X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, p, DWORD(n), 0, nullptr, &size);
}

}  // namespace

bool ParsePkcs7Bundle(const BYTE* p, size_t n, std::vector<Element>& out, size_t* faultOffset) {
    return ParseGuard(faultOffset, [&] {
        asn::Reader top(p, n);
        asn::Reader info = top.EnterSequence();
        top.Finish();
        const std::size_t oidAt = info.Offset();
        if (info.ReadOid() != kSignedDataOid) info.ThrowAt(oidAt, "content type not signed data");
        asn::Reader wrapped = info.Enter(info.Expect(0, asn::kContext));
        info.Finish();
        asn::Reader sd = wrapped.EnterSequence();
        wrapped.Finish();
        sd.ReadInteger();
        sd.EnterSet();  // digest algorithms: whatever a signer would have used
        asn::Reader content = sd.EnterSequence();
        content.ReadOid();
        if (!content.AtEnd()) content.ThrowAt(content.Offset(), "a bundle carries no content");
        std::vector<Element> elements;
        ReadBundleSet(sd, 0, kCert, elements);
        ReadBundleSet(sd, 1, kCrl, elements);
        const std::size_t signersAt = sd.Offset();
        if (!sd.EnterSet().AtEnd()) sd.ThrowAt(signersAt, "signed data is no bundle");
        sd.Finish();
        out = std::move(elements);
        return true;
    });
}

bool ParseStoreFile(const BYTE* p, size_t n, std::vector<Element>& out, FileForm& form, size_t* faultOffset) {
    static constexpr BYTE kSerializedHeader[8] = {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
    if (n == 0) {
        out.clear();
        form = FileForm::kSerialized;
        return true;
    }
    if (n >= 8 && std::memcmp(p, kSerializedHeader, 8) == 0) {
        if (!ParseSerialized(p, n, out, faultOffset)) return false;
        form = FileForm::kSerialized;
        return true;
    }
    return ParseGuard(faultOffset, [&] {
        // A certificate opens with its to-be-signed SEQUENCE, a bundle with its content type.
        asn::Reader top(p, n);
        asn::Reader inner = top.EnterSequence();
        top.Finish();
        auto first = inner.Peek();
        if (first && first->IsUniversal(asn::kOid)) {
            if (!ParsePkcs7Bundle(p, n, out, faultOffset)) return false;
            form = FileForm::kPkcs7;
            return true;
        }
        if (!IsCertificate(p, n)) return FileFault(faultOffset, 0);
        out.assign(1, Element{kCert, std::vector<BYTE>(p, p + n), {}, false});
        form = FileForm::kDer;
        return true;
    });
}

std::vector<BYTE> WritePkcs7Bundle(const std::vector<Element>& elements) {
    return WritePkcs7BundleRefs(RefsOf(elements));
}

std::vector<BYTE> WritePkcs7BundleRefs(const ElementRefs& elements) {
    asn::Writer w;
    const auto info = w.BeginSequence();
    w.Oid(kSignedDataOid);
    const auto wrapped = w.BeginContext(0);
    const auto sd = w.BeginSequence();
    w.Integer(1);
    w.End(w.BeginSet());
    const auto content = w.BeginSequence();
    w.Oid(kDataOid);
    w.End(content);
    for (const auto& [tag, kind] : {std::pair{0u, kCert}, std::pair{1u, kCrl}}) {
        bool any = false;
        for (const Element* e : elements) any = any || e->kind == kind;
        if (!any) continue;
        // In store order, as a SEQUENCE OF would keep it: readers list them so.
        const auto set = w.BeginContext(tag);
        for (const Element* e : elements)
            if (e->kind == kind) w.Raw(asn::Bytes(e->encoded.data(), e->encoded.size()));
        w.End(set);
    }
    w.End(w.BeginSet());
    w.End(sd);
    w.End(wrapped);
    w.End(info);
    return std::vector<BYTE>(w.view().begin(), w.view().end());
}

std::vector<BYTE> WriteStoreFile(const std::vector<Element>& elements, FileForm form) {
    return WriteStoreFileRefs(RefsOf(elements), form);
}

std::vector<BYTE> WriteStoreFileRefs(const ElementRefs& elements, FileForm form) {
    if (form == FileForm::kSerialized) return WriteSerializedRefs(elements);
    for (const Element* e : elements)
        if (e->kind == kCtl) cert::capi::Throw(ERROR_NOT_SUPPORTED);
    if (form == FileForm::kDer && elements.size() == 1 && elements[0]->kind == kCert) return elements[0]->encoded;
    return WritePkcs7BundleRefs(elements);
}

bool SameElement(const Element& a, const Element& b) {
    return a.kind == b.kind && a.encoded == b.encoded && a.props == b.props;
}

}  // namespace capi::store
