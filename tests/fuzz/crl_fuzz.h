// One fuzz iteration over the CRL model's reader, shared by the libFuzzer
// target and the corpus replay test of the normal build. Returns false when
// the model disagrees with itself: what it writes of a CRL it read does not
// read back to the same bytes, the index finds another entry than a walk
// of the list, or a failed read changed the object (a crash or sanitizer
// report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cert/crlmodel.h"

namespace crlfuzz {

inline bool RunCrl(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return true;
    const DWORD n = static_cast<DWORD>(size);
    // The to-be-signed part alone (or inside the whole CRL).
    try {
        CCTF_CRL_Info info;
        info.DecodeData(IdentObj(data, n));
        info.GetSerial();
        const IdentObj again = info.EncodeData();
        CCTF_CRL_Info back;
        back.DecodeData(again);
        if (back.EncodeData() != again) return false;
    } catch (const XTOOStatus&) {
    }

    CCTF_CRL_List crl;
    crl.m_listId = 7;
    if (!crl.ReadData(data, n)) return crl.m_listId == 7 && crl.m_encoded.IsEmpty() && crl.m_info.m_entries.empty();
    const IdentObj written = crl.m_encoded;
    CCTF_CRL_List back;
    if (back.ReadData(written.data(), written.size()) != written.size() || back.m_encoded != written) return false;
    back.GetSerial();
    int checked = 0;
    for (const auto& e : back.m_info.m_entries) {
        e.GetReasonCode();
        const CCTF_CRL_Entry* first = nullptr;
        for (const auto& f : back.m_info.m_entries)
            if (f.m_serialNumber == e.m_serialNumber) {
                first = &f;
                break;
            }
        if (back.m_info.m_entries.Find(e.m_serialNumber) != first) return false;
        if (++checked == 64) break;
    }
    return true;
}

}  // namespace crlfuzz
