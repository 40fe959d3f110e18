// The library's side of bench_lists, apart from OpenSSL's headers (their
// names clash with the platform's certificate structures).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace listside {

// Writes `certs` as a record-form list and as a PKCS #7 list; false on failure.
bool WriteLists(const std::vector<std::vector<std::uint8_t>>& certs, const std::string& record,
                const std::string& pkcs7, const std::string& home);
// Loads a list file: the certificate count, or -1.
long Load(const std::string& path);

}  // namespace listside
