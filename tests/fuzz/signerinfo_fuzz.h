// One fuzz iteration over the signer info model, shared by the libFuzzer
// target and the corpus replay test of the normal build. Returns false when
// the model disagrees with itself: a failed read changed the object, a read
// claims more bytes than it was given, or what it writes does not read back
// to an equal signer whose encoding is the same again (a crash or sanitizer
// report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cert/signeddata.h"

namespace sdfuzz {

inline bool RunSignerInfo(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return true;
    CCTFMessageSignerInfo info;
    info.m_version = 77;
    int st = 0;
    const unsigned long used = info.ReadData(data, static_cast<unsigned long>(size), &st);
    if (used == 0) return st != 0 && info.m_version == 77 && info.m_signature.IsEmpty();
    if (used > size || st != 0) return false;
    int timeSt = 0;
    info.GetSigningDate(&timeSt);

    // Writing may refuse what reading accepted (a key id too long for the
    // codec, say), but not with an exception, and what it does write must
    // be a fixed point.
    int wst = 0;
    const IdentObj once = info.WriteData(&wst);
    if (wst != 0) return once.IsEmpty();
    CCTFMessageSignerInfo again;
    if (again.ReadData(once.data(), static_cast<unsigned long>(once.size()), &st) != once.size() || st != 0)
        return false;
    if (again.m_signature != info.m_signature || again.m_keyId != info.m_keyId ||
        again.m_serialNumber != info.m_serialNumber)
        return false;
    const IdentObj twice = again.WriteData(&wst);
    return wst == 0 && twice == once;
}

}  // namespace sdfuzz
