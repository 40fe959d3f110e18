// One fuzz iteration over the ASN.1 codec, shared by the libFuzzer target
// and by the corpus replay test of the normal build. Returns false when two
// paths of the codec disagree (a crash or sanitizer report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cert/asn.h"

namespace derfuzz {

// Rebuilds everything `r` holds through the typed writer calls; the result
// must be the input again when the input is DER.
inline void Reencode(asn::Reader& r, asn::Writer& w) {
    while (!r.AtEnd()) {
        asn::Element e = r.Next();
        if (e.constructed) {
            auto mark = w.Begin(e.cls, true, e.tag);
            asn::Reader child = r.Enter(e);
            Reencode(child, w);
            w.End(mark);
            continue;
        }
        if (e.cls != asn::kUniversal) {
            w.Element(e.cls, false, e.tag, e.content);
            continue;
        }
        switch (e.tag) {
            case asn::kBoolean:
                w.Boolean(asn::DecodeBoolean(e.content));
                break;
            case asn::kInteger:
                w.IntegerBytes(asn::DecodeIntegerBytes(e.content));
                break;
            case asn::kOid:
                w.Oid(asn::DecodeOid(e.content));
                break;
            case asn::kBitString: {
                asn::BitString b = asn::DecodeBitString(e.content);
                w.BitString(b.bytes, b.unusedBits);
                break;
            }
            case asn::kUtcTime:
                w.UtcTime(asn::DecodeTime(e.tag, e.content));
                break;
            case asn::kGeneralizedTime:
                w.GeneralizedTime(asn::DecodeTime(e.tag, e.content));
                break;
            default:
                if (asn::IsStringTag(e.tag))
                    w.String(e.tag, asn::DecodeString(e.tag, e.content));
                else
                    w.Primitive(e.tag, e.content);
        }
    }
}

inline bool Same(asn::Bytes a, asn::Bytes b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

inline bool RunOne(const std::uint8_t* data, std::size_t size) {
    const asn::Bytes in(data, size);
    asn::Options ber;
    ber.ber = true;

    bool der = true;
    try {
        asn::Validate(in);
    } catch (const asn::Error&) {
        der = false;
    }
    bool berOk = true;
    try {
        asn::Validate(in, ber);
    } catch (const asn::Error&) {
        berOk = false;
    }
    if (der && !berOk) return false;  // BER must accept whatever DER accepts

    if (der) {
        asn::Writer w;
        asn::Reader r(in);
        Reencode(r, w);
        if (!Same(w.view(), in)) return false;

        CASNTUnit unit;
        int st = 0;
        unit.ReadData(data, static_cast<DWORD>(size), &st);
        IdentObj back;
        unit.WriteData(back, &st);
        if (st || !Same(asn::View(back), in)) return false;
    }

    // Splitting and rebuilding the leading SEQUENCE gives its bytes back.
    {
        std::vector<IdentObj> items;
        int st = 0;
        DWORD used = 0;
        int n = ASNTGetSequence(data, static_cast<DWORD>(size), items, &st, &used);
        if (st == 0) {
            if (n != static_cast<int>(items.size())) return false;
            IdentObj rebuilt;
            ASNTPutSequence(items, rebuilt, &st);
            if (st || !Same(asn::View(rebuilt), in.first(used))) return false;
        }
    }

    // The first element through the record classes.
    {
        CASNTBaseRecord rec;
        int st = 0;
        DWORD used = rec.ReadData(data, static_cast<DWORD>(size), &st);
        if (st == 0 && !Same(asn::View(rec.GetEncodedRecord()), in.first(used))) return false;
        CASNTIdData id;
        st = 0;
        used = id.ReadData(data, static_cast<DWORD>(size), &st);
        if (st == 0 && !Same(asn::View(id.GetEncoded()), in.first(used))) return false;
        CASNTBaseRecord lenient;
        st = 0;
        lenient.ReadData(data, static_cast<DWORD>(size), &st, true);
    }

    // The bytes as OID content and as dotted text, both ways.
    try {
        std::string text = asn::DecodeOid(in);
        std::vector<std::uint8_t> enc;
        if (!asn::EncodeOid(text, enc) || !Same(asn::Bytes(enc.data(), enc.size()), in)) return false;
    } catch (const asn::Error&) {
    }
    {
        std::string_view text(reinterpret_cast<const char*>(data), size);
        std::vector<std::uint8_t> enc;
        if (asn::EncodeOid(text, enc) && asn::DecodeOid(asn::Bytes(enc.data(), enc.size())) != text) return false;
    }

    // The bytes as time values: strict ones are written back as they came.
    for (std::uint32_t tag : {std::uint32_t(asn::kUtcTime), std::uint32_t(asn::kGeneralizedTime)}) {
        try {
            FILETIME t = asn::DecodeTime(tag, in);
            std::string s = asn::TimeText(tag, t);
            if (s != std::string_view(reinterpret_cast<const char*>(data), size)) return false;
        } catch (const asn::Error&) {
        }
        try {
            asn::DecodeTime(tag, in, ber);
        } catch (const asn::Error&) {
        }
    }
    return true;
}

}  // namespace derfuzz
