// Hex helpers for the primitive tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "provider/gost.h"
#include "testsupport.h"

namespace gosttest {

using certtest::FromHex;
inline cert::gost::Bytes Hex(const std::string& h) { return FromHex(h); }
// A big-endian number as little-endian bytes.
inline cert::gost::Bytes HexLE(const std::string& h) { return cert::gost::ReverseBytes(Hex(h)); }
inline std::string ToHex(cert::gost::ByteView b) { return certtest::Hex(b, false); }
// The status a call throws, 0 when it throws none.
template <class F>
DWORD StatusOf(F&& f) {
    try {
        f();
    } catch (const cert::gost::Error& e) {
        return e.WinError();
    }
    return 0;
}

}  // namespace gosttest

#define REQUIRE_GOST_ENGINE() \
    if (!cert::gost::EngineAvailable()) GTEST_SKIP() << "no GOST engine"
