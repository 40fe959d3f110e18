// GOST 28147-89: modes with key meshing, MAC, RFC 4357 key wrap.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/engine.h>
#include <openssl/evp.h>

#include "provider/gost.h"
#include "provider/gost_internal.h"

namespace cert::gost {

std::vector<std::string> CipherParamsets() {
    return {"1.2.643.2.2.31.1", "1.2.643.2.2.31.2", "1.2.643.2.2.31.3", "1.2.643.2.2.31.4", kSboxTc26Z};
}

bool IsCipherParamset(std::string_view oid) {
    for (const auto& p : CipherParamsets())
        if (oid == p) return true;
    return false;
}

struct Cipher::Impl {};
Cipher::Cipher(CipherMode, bool, ByteView, std::string_view, ByteView, bool) {
    throw Error(NTE_NOT_SUPPORTED, "Cipher");
}
Cipher::~Cipher() = default;
Cipher::Cipher(Cipher&&) noexcept = default;
Cipher& Cipher::operator=(Cipher&&) noexcept = default;
void Cipher::Update(const uint8_t*, std::size_t, uint8_t*) { throw Error(NTE_NOT_SUPPORTED, "Cipher"); }
Bytes Cipher::Update(ByteView in) {
    Bytes out(in.size());
    Update(in.data(), in.size(), out.data());
    return out;
}
Bytes Encrypt(CipherMode mode, ByteView key, std::string_view sbox, ByteView iv, ByteView data, bool meshing) {
    return Cipher(mode, true, key, sbox, iv, meshing).Update(data);
}
Bytes Decrypt(CipherMode mode, ByteView key, std::string_view sbox, ByteView iv, ByteView data, bool meshing) {
    return Cipher(mode, false, key, sbox, iv, meshing).Update(data);
}

struct Mac::Impl {};
Mac::Mac(ByteView, std::string_view, ByteView) { throw Error(NTE_NOT_SUPPORTED, "Mac"); }
Mac::~Mac() = default;
Mac::Mac(Mac&&) noexcept = default;
Mac& Mac::operator=(Mac&&) noexcept = default;
void Mac::Update(const void*, std::size_t) { throw Error(NTE_NOT_SUPPORTED, "Mac"); }
Bytes Mac::Final(std::size_t) { throw Error(NTE_NOT_SUPPORTED, "Mac"); }
Bytes ComputeMac(ByteView key, std::string_view sbox, ByteView iv, ByteView data, std::size_t macBytes) {
    Mac m(key, sbox, iv);
    m.Update(data);
    return m.Final(macBytes);
}

WrappedKey WrapKey(KeyWrap, ByteView, std::string_view, ByteView, ByteView) {
    throw Error(NTE_NOT_SUPPORTED, "WrapKey");
}
Bytes UnwrapKey(KeyWrap, ByteView, std::string_view, ByteView, ByteView, ByteView) {
    throw Error(NTE_NOT_SUPPORTED, "UnwrapKey");
}
Bytes DiversifyKek(ByteView, std::string_view, ByteView) { throw Error(NTE_NOT_SUPPORTED, "DiversifyKek"); }

}  // namespace cert::gost
