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

}  // namespace gosttest

#define REQUIRE_GOST_ENGINE() \
    if (!cert::gost::EngineAvailable()) GTEST_SKIP() << "no GOST engine"
