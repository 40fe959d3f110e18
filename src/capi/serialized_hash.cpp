// The name of an element's file in a system store. Apart from the forms'
// code: OpenSSL's headers declare names that the platform's headers reuse.
#include <new>

#include <openssl/evp.h>

#include "capi/store_file.h"

namespace capi::store {

std::string Sha1Hex(const std::vector<BYTE>& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha1(), nullptr)) throw std::bad_alloc();
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 15];
    }
    return out;
}

}  // namespace capi::store
