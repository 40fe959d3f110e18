// One fuzz iteration over the streaming reader of signed data, shared by the
// libFuzzer target and the corpus replay test of the normal build. Returns
// false when the reader disagrees with itself: a failed read changed the
// output, content ranges overlap, leave the input or do not add up, a kept
// element is not one whole element, or bytes after the signed data change
// what is read of it (a crash or sanitizer report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cert/asn.h"
#include "cert/signeddata.h"

namespace sdfuzz {

inline bool OneElement(const IdentObj& e) {
    asn::Options ber;
    ber.ber = true;
    try {
        asn::Reader r(asn::View(e), ber);
        r.Next();
        return r.AtEnd();
    } catch (const asn::Error&) {
        return false;
    }
}

inline bool RunSignedData(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return true;
    cert::SignedDataReader reader;
    cert::SignedDataParts p;
    p.version = 77;
    int st = 0;
    if (!reader.ReadMemory(data, size, p, &st))
        return st != 0 && p.version == 77 && p.content.empty() && p.signerInfos.empty() && reader.ErrorOffset() <= size;

    if (p.start != 0 || p.end != size || (p.version != 1 && p.version != 3)) return false;
    std::uint64_t next = 0, sum = 0;
    for (const auto& r : p.content) {
        if (r.length == 0 || r.offset < next || r.offset > size || r.length > size - r.offset) return false;
        next = r.offset + r.length;
        sum += r.length;
    }
    if (sum != p.contentSize || (p.detached && !p.content.empty())) return false;
    for (const auto* list : {&p.digestAlgorithms, &p.certificates, &p.crls, &p.signerInfos})
        for (const auto& e : *list)
            if (!OneElement(e)) return false;

    std::vector<std::uint8_t> more(data, data + size);
    more.push_back(0x30);
    more.push_back(0x00);
    cert::SignedDataParts q;
    reader.SetWholeInput(false);
    if (!reader.ReadMemory(more.data(), more.size(), q, &st)) return false;
    return q.end == p.end && q.content == p.content && q.signerInfos == p.signerInfos &&
           q.certificates == p.certificates && q.crls == p.crls && q.digestAlgorithms == p.digestAlgorithms;
}

}  // namespace sdfuzz
