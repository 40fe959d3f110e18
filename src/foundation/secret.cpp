// The self-wiping buffer of cert/secret.h.
#include "cert/secret.h"

#include <string.h>

#include <cstring>

namespace cert {

void SecureWipe(void* p, std::size_t n) noexcept {
    if (p && n) ::explicit_bzero(p, n);
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return false;
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

void Secret::Append(const void* p, std::size_t n) {
    if (!n) return;
    const auto* src = static_cast<const std::uint8_t*>(p);
    if (!m_b.empty() && src >= m_b.data() && src < m_b.data() + m_b.size()) {
        Secret copy(p, n);  // the source moves when the buffer grows
        Append(copy.data(), n);
        return;
    }
    std::size_t old = size();
    m_b.resize(old + n + 1);  // grows geometrically; the old buffer is wiped as it goes
    std::memcpy(m_b.data() + old, src, n);
    m_b[old + n] = 0;
}

void Secret::Resize(std::size_t n) {
    std::size_t old = size();
    if (n == old) return;
    if (n < old) SecureWipe(m_b.data() + n, old - n);
    m_b.resize(n + 1);
    m_b[n] = 0;
}

void Secret::Clear() noexcept {
    // Handing the buffer back wipes all of it, the spare capacity included.
    decltype(m_b)().swap(m_b);
}

}  // namespace cert
