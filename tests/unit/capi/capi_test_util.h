// Calls of the platform encoders for the capi tests: hex in and out, and a
// decode that checks the size protocol on the way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/capi.h"
#include "cert/tools.h"

namespace capitest {

// "30 03 01 01 FF" -> bytes.
inline std::string Bin(std::string_view hex) {
    IdentObj b;
    EXPECT_TRUE(TOOHex2BinStr(hex, b)) << hex;
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}
inline std::string Hex(std::string_view bytes) { return TOOBin2HexStr(bytes.data(), bytes.size(), true); }
inline std::string Bytes(const CRYPTOAPI_BLOB& b) {
    return std::string(reinterpret_cast<const char*>(b.pbData), b.cbData);
}

// One decoded blob in pointer-aligned memory.
struct Decoded {
    std::vector<std::uint64_t> mem;
    DWORD size = 0;
    template <class T>
    const T& As() const {
        return *reinterpret_cast<const T*>(mem.data());
    }
    // Whether `p` points into the blob (its pointers must).
    bool Holds(const void* p) const {
        auto* b = reinterpret_cast<const char*>(mem.data());
        return static_cast<const char*>(p) >= b && static_cast<const char*>(p) < b + size;
    }
};

// The sizing call and the filling call; nullopt (last error kept) on failure.
inline std::optional<Decoded> Decode(LPCSTR type, const std::string& der, DWORD flags = 0) {
    auto* p = reinterpret_cast<const BYTE*>(der.data());
    DWORD size = 0;
    if (!CryptDecodeObject(CAPI_ENCODING, type, p, DWORD(der.size()), flags, nullptr, &size)) return std::nullopt;
    Decoded d;
    d.mem.assign(size / 8 + 1, 0);
    d.size = size;
    DWORD got = size;
    EXPECT_TRUE(CryptDecodeObject(CAPI_ENCODING, type, p, DWORD(der.size()), flags, d.mem.data(), &got))
        << std::hex << GetLastError();
    EXPECT_EQ(got, size);
    return d;
}

// The encoding, or nullopt (last error kept).
inline std::optional<std::string> Encode(LPCSTR type, const void* info) {
    DWORD size = 0;
    if (!CryptEncodeObject(CAPI_ENCODING, type, info, nullptr, &size)) return std::nullopt;
    std::string out(size, '\0');
    EXPECT_TRUE(CryptEncodeObject(CAPI_ENCODING, type, info, reinterpret_cast<BYTE*>(out.data()), &size));
    out.resize(size);
    return out;
}

// Decoding and encoding again gives the input.
inline void ExpectRoundTrip(LPCSTR type, const std::string& der) {
    auto d = Decode(type, der);
    ASSERT_TRUE(d) << Hex(der) << " error " << std::hex << GetLastError();
    auto back = Encode(type, d->mem.data());
    ASSERT_TRUE(back) << Hex(der) << " error " << std::hex << GetLastError();
    EXPECT_EQ(Hex(*back), Hex(der));
}

inline const LPCSTR kCrlNumber = "2.5.29.20";

}  // namespace capitest
