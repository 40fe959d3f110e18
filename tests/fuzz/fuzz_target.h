// The libFuzzer entry point of a target: runs the target's body (the one the
// corpus replay test of the normal build runs too); false from it is a
// finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#define CERT_FUZZ_TARGET(body)                                                          \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        if (!body(data, size)) std::abort();                                            \
        return 0;                                                                       \
    }
