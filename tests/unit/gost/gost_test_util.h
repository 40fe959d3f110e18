// Hex helpers for the primitive tests.
#pragma once

#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include "provider/gost.h"

namespace gosttest {

inline cert::gost::Bytes Hex(const std::string& h) {
    IdentObj o;
    EXPECT_TRUE(TOOHex2BinStr(h, o)) << h;
    return cert::gost::Bytes(o.begin(), o.end());
}
// A big-endian number as little-endian bytes.
inline cert::gost::Bytes HexLE(const std::string& h) { return cert::gost::ReverseBytes(Hex(h)); }
inline std::string ToHex(cert::gost::ByteView b) {
    std::string s = TOOBin2HexStr(b.data(), b.size());
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace gosttest

#define REQUIRE_GOST_ENGINE() \
    if (!cert::gost::EngineAvailable()) GTEST_SKIP() << "no GOST engine"
