// The serialized-store form and the self-relative form of property 2.
#include <algorithm>
#include <new>

#include "capi/codec.h"
#include "capi/store_file.h"
#include "cert/asn.h"
#include "cert/lecursor.h"

namespace capi::store {
namespace {

constexpr DWORD kEncodingX509 = 1;
constexpr DWORD kKeyProvInfoProp = 2;
constexpr std::size_t kKeyProvHeader = 7 * 4;
constexpr std::size_t kKeyProvParam = 4 * 4;

// A cursor over the `n` bytes of the input that start at `at`, carrying
// offsets of the outermost input.
le::Reader At(const le::Reader& whole, const BYTE* p, std::size_t n, std::size_t at) {
    return le::Reader(p + at, n - at, whole.offset() + at);
}

// A zero-terminated UTF-16LE string at `off` (0: none) of the property,
// whose offset field is at `field` of the property: a fault outside the
// property is reported there, inside the input.
std::u16string ReadString(const le::Reader& whole, const BYTE* p, std::size_t n, DWORD off, std::size_t field) {
    if (off == 0) return {};
    if (off < kKeyProvHeader || off >= n) whole.ThrowAt(whole.offset() + field, "string offset outside the property");
    le::Reader r = At(whole, p, n, off);
    std::u16string s;
    while (char16_t c = r.U16()) s += c;
    return s;
}

// Property 2 in `whole` (positioned at its start, `n` bytes).
KeyProvInfo ReadKeyProvInfo(le::Reader whole, const BYTE* p, std::size_t n) {
    le::Reader h = whole;
    const DWORD containerOff = h.U32(), providerOff = h.U32();
    KeyProvInfo info;
    info.provType = h.U32();
    info.flags = h.U32();
    const DWORD paramCount = h.U32(), paramOff = h.U32();
    info.keySpec = h.U32();
    info.container = ReadString(whole, p, n, containerOff, 0);
    info.provider = ReadString(whole, p, n, providerOff, 4);
    if (paramCount) {
        if (paramOff < kKeyProvHeader || paramOff > n || std::uint64_t(paramCount) * kKeyProvParam > n - paramOff)
            whole.ThrowAt(whole.offset() + 16, "parameters outside the property");
        le::Reader r = At(whole, p, n, paramOff);
        for (DWORD i = 0; i < paramCount; ++i) {
            const std::uint64_t at = r.offset();
            const DWORD id = r.U32(), dataOff = r.U32(), size = r.U32();
            r.U32();  // the parameter's flags: not kept
            std::vector<BYTE> data;
            if (size) {
                if (dataOff < kKeyProvHeader || dataOff > n || size > n - dataOff)
                    whole.ThrowAt(at + 4, "parameter data outside the property");
                data.assign(p + dataOff, p + dataOff + size);
            }
            info.params.emplace_back(id, std::move(data));
        }
    }
    return info;
}

void PutString(le::Writer& w, const std::u16string& s) {
    for (char16_t c : s) w.U16(c);
    w.U16(0);
}

void PutRecord(le::Writer& w, DWORD id, const std::vector<BYTE>& bytes) {
    if (bytes.size() > 0xFFFFFFFFu) cert::capi::Throw(ERROR_NOT_SUPPORTED);
    // Id 0 would end the store early and an element id would stand for an element.
    if (id == 0 || id > 0xFFFF) cert::capi::Throw(ERROR_INVALID_PARAMETER);
    w.U32(id).U32(kEncodingX509).U32(DWORD(bytes.size())).Put(bytes.data(), bytes.size());
}

std::vector<BYTE> Copy(const le::Writer& w) { return std::vector<BYTE>(w.view().begin(), w.view().end()); }

}  // namespace

bool DecodeKeyProvInfo(const BYTE* p, size_t n, KeyProvInfo& out) {
    return ParseGuard(nullptr, [&] {
        KeyProvInfo info = ReadKeyProvInfo(le::Reader(p, n), p, n);
        out = std::move(info);
        return true;
    });
}

std::vector<BYTE> EncodeKeyProvInfo(const KeyProvInfo& info) {
    // Header, parameter table, the two names, parameter data.
    std::uint64_t at = kKeyProvHeader + info.params.size() * kKeyProvParam;
    const auto stringSize = [](const std::u16string& s) { return s.empty() ? 0 : (s.size() + 1) * 2; };
    const std::uint64_t containerOff = info.container.empty() ? 0 : at;
    at += stringSize(info.container);
    const std::uint64_t providerOff = info.provider.empty() ? 0 : at;
    at += stringSize(info.provider);
    le::Writer w;
    w.U32(DWORD(containerOff)).U32(DWORD(providerOff)).U32(info.provType).U32(info.flags);
    w.U32(DWORD(info.params.size())).U32(info.params.empty() ? 0 : DWORD(kKeyProvHeader)).U32(info.keySpec);
    for (const auto& [id, data] : info.params) {
        w.U32(id).U32(data.empty() ? 0 : DWORD(at)).U32(DWORD(data.size())).U32(0);
        at += data.size();
    }
    if (at > 0xFFFFFFFFu) cert::capi::Throw(ERROR_NOT_SUPPORTED);
    if (!info.container.empty()) PutString(w, info.container);
    if (!info.provider.empty()) PutString(w, info.provider);
    for (const auto& param : info.params) w.Put(param.second.data(), param.second.size());
    return Copy(w);
}

bool ParseSerialized(const BYTE* p, size_t n, std::vector<Element>& out, size_t* faultOffset) {
    return ParseGuard(faultOffset, [&] {
        le::Reader r(p, n);
        r.ExpectU32(0, "store header");
        r.Expect("CERT", "store header");
        std::vector<Element> elements;
        Element pending{};
        for (;;) {
            const std::uint64_t at = r.offset();
            const DWORD id = r.U32(), encoding = r.U32(), size = r.U32();
            if (id == 0) {
                if (encoding || size) r.ThrowAt(at, "end marker not zero");
                if (!pending.props.empty()) r.ThrowAt(at, "properties without their element");
                r.Finish();
                break;
            }
            if (id > 0xFFFF) r.ThrowAt(at, "element id above 0xFFFF");
            if (encoding != kEncodingX509) r.ThrowAt(at + 4, "encoding type not 1");
            const std::uint64_t dataAt = r.offset();
            const le::Bytes data = r.Take(size);
            if (id == kCert || id == kCrl || id == kCtl) {
                // One whole DER element; what it holds is the contexts' to judge.
                asn::Reader der(data, {}, dataAt);
                der.Expect(asn::kSequence);
                der.Finish();
                pending.kind = id;
                pending.encoded.assign(data.begin(), data.end());
                elements.push_back(std::move(pending));
                pending = Element{};
                continue;
            }
            const bool repeated = std::any_of(pending.props.begin(), pending.props.end(),
                                              [&](const auto& prop) { return prop.first == id; });
            if (repeated) r.ThrowAt(at, "property given twice");
            if (id == kKeyProvInfoProp) ReadKeyProvInfo(le::Reader(data, dataAt), data.data(), data.size());
            pending.props.emplace_back(id, std::vector<BYTE>(data.begin(), data.end()));
        }
        out = std::move(elements);
        return true;
    });
}

std::vector<BYTE> WriteSerialized(const std::vector<Element>& elements) {
    return WriteSerializedRefs(RefsOf(elements));
}

ElementRefs RefsOf(const std::vector<Element>& elements) {
    ElementRefs refs;
    refs.reserve(elements.size());
    for (const Element& e : elements) refs.push_back(&e);
    return refs;
}

std::vector<BYTE> WriteSerializedRefs(const ElementRefs& elements) {
    le::Writer w;
    w.U32(0).Code("CERT");
    for (const Element* ref : elements) {
        const Element& e = *ref;
        for (const auto& [id, bytes] : e.props) {
            if (id == kCert || id == kCrl || id == kCtl) cert::capi::Throw(ERROR_INVALID_PARAMETER);
            PutRecord(w, id, bytes);
        }
        if (e.kind != kCert && e.kind != kCrl && e.kind != kCtl) cert::capi::Throw(ERROR_INVALID_PARAMETER);
        PutRecord(w, e.kind, e.encoded);
    }
    w.Zeros(12);
    return Copy(w);
}

}  // namespace capi::store
