// One fuzz iteration over the stored forms of certificate stores (a
// serialized store, a PKCS #7 bundle, a lone certificate) and property 2's
// layout, shared by the libFuzzer target and the corpus replay test.
// Returns false when the forms disagree with themselves: what was read does
// not write back to itself (byte for byte where the form has one spelling),
// or a failure is reported as anything but a file fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capi/store_file.h"

namespace storefuzz {

using capi::store::Element;

inline bool SameStore(const std::vector<Element>& a, const std::vector<Element>& b, bool props) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].encoded != b[i].encoded || (props && a[i].props != b[i].props)) return false;
    return true;
}

inline bool RunStore(const std::uint8_t* data, std::size_t size) {
    try {
        std::vector<Element> got;
        capi::store::FileForm form;
        size_t at = 0;
        if (capi::store::ParseStoreFile(data, size, got, form, &at)) {
            const std::vector<BYTE> back = capi::store::WriteStoreFile(got, form);
            // A serialized store and a lone certificate have one spelling each.
            const bool exact = size > 0 && form != capi::store::FileForm::kPkcs7;
            if (exact && back != std::vector<BYTE>(data, data + size)) return false;
            std::vector<Element> again;
            capi::store::FileForm formAgain;
            if (!capi::store::ParseStoreFile(back.data(), back.size(), again, formAgain, &at)) return false;
            if (formAgain != form || !SameStore(got, again, form == capi::store::FileForm::kSerialized)) return false;
        } else if (GetLastError() != CRYPT_E_FILE_ERROR || at > size) {
            return false;
        }

        capi::store::KeyProvInfo info;
        if (capi::store::DecodeKeyProvInfo(data, size, info)) {
            const std::vector<BYTE> enc = capi::store::EncodeKeyProvInfo(info);
            capi::store::KeyProvInfo back;
            if (!capi::store::DecodeKeyProvInfo(enc.data(), enc.size(), back)) return false;
            if (back.container != info.container || back.provider != info.provider || back.provType != info.provType ||
                back.flags != info.flags || back.keySpec != info.keySpec || back.params != info.params)
                return false;
        }
        return true;
    } catch (...) {
        return false;  // nothing here may throw on any input
    }
}

}  // namespace storefuzz
