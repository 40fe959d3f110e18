// The CRL cache's and updater's hook tables. A service registers or clears
// its table from its own thread while chains are built on others: the
// pointers are atomic, and a table stays valid for as long as it is
// registered (the services own static tables).
#include "stores/crl_hooks.h"

#include <atomic>

namespace CertDll {
namespace {

std::atomic<const CrlCacheHooks*> g_cache{nullptr};
std::atomic<const CrlUpdaterHooks*> g_updater{nullptr};

template <class Hooks>
const Hooks* IfRunning(const std::atomic<const Hooks*>& slot) {
    const Hooks* hooks = slot.load(std::memory_order_acquire);
    if (!hooks || !hooks->running) return nullptr;
    try {
        return hooks->running() ? hooks : nullptr;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void SetCrlCacheHooks(const CrlCacheHooks* hooks) { g_cache.store(hooks, std::memory_order_release); }
void SetCrlUpdaterHooks(const CrlUpdaterHooks* hooks) { g_updater.store(hooks, std::memory_order_release); }

const CrlCacheHooks* RunningCrlCache() { return IfRunning(g_cache); }
const CrlUpdaterHooks* RunningCrlUpdater() { return IfRunning(g_updater); }

}  // namespace CertDll
