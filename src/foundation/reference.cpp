#include <atomic>

#include "cert/tools.h"

CTOOReference::~CTOOReference() = default;

long CTOOReference::AddRef() noexcept {
    return std::atomic_ref<long>(m_count).fetch_add(1, std::memory_order_relaxed) + 1;
}

long CTOOReference::Release() noexcept {
    const long left = std::atomic_ref<long>(m_count).fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

long CTOOReference::RefCount() const noexcept {
    return std::atomic_ref<long>(const_cast<long&>(m_count)).load(std::memory_order_acquire);
}
