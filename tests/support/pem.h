// PEM text of a DER object, in the form openssl reads everywhere: 64
// characters a line, LF line ends (its trusted-certificate loaders refuse
// some other forms).
#pragma once

#include <string>

#include "cert/tools.h"

namespace certtest {

inline std::string Pem(const IdentObj& der, const char* label) {
    const std::string b64 = TOO::Base64Encode(der.data(), der.size());
    std::string pem = std::string("-----BEGIN ") + label + "-----\n";
    for (std::size_t at = 0; at < b64.size(); at += 64) pem += b64.substr(at, 64) + "\n";
    return pem + "-----END " + label + "-----\n";
}

}  // namespace certtest
