// Memory that holds keys, passwords and what is derived from them.
//
// Every byte such memory ever held is zeroed before the memory goes back to
// the allocator: on destruction, on every reallocation while it grows, and
// when an exception unwinds past it. Secrets therefore live in
// `cert::Secret` (or in a container over `WipingAllocator`) from the moment
// they are made, never in std::string (whose short-string buffer sits inside
// the object and is not wiped) nor in IdentObj (which reallocates without
// wiping). Wiping by hand at the end of a function is not needed and does
// not cover the paths that leave early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/export.h"

namespace cert {

// Zeroes `n` bytes at `p` in a way the compiler does not drop.
CERT_API void SecureWipe(void* p, std::size_t n) noexcept;
// True when both ranges hold the same bytes; the time taken depends on the
// lengths only.
CERT_API bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

// An allocator that wipes what it hands back. `Upstream` does the real
// allocation (tests observe the memory through it).
template <class T, class Upstream = std::allocator<T>>
class WipingAllocator {
public:
    using value_type = T;
    using is_always_equal = std::true_type;
    template <class U>
    struct rebind {
        using other = WipingAllocator<U, typename std::allocator_traits<Upstream>::template rebind_alloc<U>>;
    };

    WipingAllocator() noexcept = default;
    template <class U, class V>
    WipingAllocator(const WipingAllocator<U, V>&) noexcept {}

    T* allocate(std::size_t n) {
        Upstream up;
        return std::allocator_traits<Upstream>::allocate(up, n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        SecureWipe(p, n * sizeof(T));
        Upstream up;
        std::allocator_traits<Upstream>::deallocate(up, p, n);
    }
    template <class U, class V>
    bool operator==(const WipingAllocator<U, V>&) const noexcept {
        return true;
    }
};

// A byte buffer for key material and passwords. The bytes are followed by
// a zero byte (not counted in size()), so a password can be handed to an
// interface that takes C text. Copies are independent secrets, each wiped
// on its own.
class CERT_API Secret {
public:
    Secret() = default;
    // `n` zero bytes.
    explicit Secret(std::size_t n) { Resize(n); }
    Secret(const void* data, std::size_t n) { Assign(data, n); }
    explicit Secret(std::span<const std::uint8_t> bytes) { Assign(bytes.data(), bytes.size()); }
    // Text (a password): implicit so that text parameters take it as it is.
    Secret(std::string_view text) { Assign(text.data(), text.size()); }
    Secret(const std::string& text) : Secret(std::string_view(text)) {}
    Secret(const char* text) : Secret(std::string_view(text ? text : "")) {}

    const std::uint8_t* data() const noexcept { return m_b.empty() ? nullptr : m_b.data(); }
    std::uint8_t* data() noexcept { return m_b.empty() ? nullptr : m_b.data(); }
    std::size_t size() const noexcept { return m_b.empty() ? 0 : m_b.size() - 1; }
    bool empty() const noexcept { return size() == 0; }
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size(); }
    std::uint8_t* begin() noexcept { return data(); }
    std::uint8_t* end() noexcept { return data() + size(); }
    std::uint8_t& operator[](std::size_t i) noexcept { return m_b[i]; }
    std::uint8_t operator[](std::size_t i) const noexcept { return m_b[i]; }

    std::span<const std::uint8_t> view() const noexcept { return {data(), size()}; }
    std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data()), size()}; }
    const char* c_str() const noexcept { return m_b.empty() ? "" : reinterpret_cast<const char*>(m_b.data()); }

    void Assign(const void* p, std::size_t n) {
        Secret fresh;
        fresh.Append(p, n);
        *this = std::move(fresh);
    }
    void Append(const void* p, std::size_t n);
    void Append(std::span<const std::uint8_t> bytes) { Append(bytes.data(), bytes.size()); }
    // Grows with zero bytes or drops (and wipes) the tail.
    void Resize(std::size_t n);
    void Reserve(std::size_t n) { m_b.reserve(n + 1); }
    // Wipes and empties.
    void Clear() noexcept;

    friend bool operator==(const Secret& a, const Secret& b) noexcept { return SameBytes(a.view(), b.view()); }
    friend bool operator==(const Secret& a, std::span<const std::uint8_t> b) noexcept { return SameBytes(a.view(), b); }

private:
    // size() bytes and the zero byte; empty when nothing was ever stored.
    std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> m_b;
};

}  // namespace cert
