// Loading the GOST engine and the small helpers every primitive shares.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <cstdlib>
#include <mutex>
#include <string>

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "provider/gost.h"
#include "provider/gost_internal.h"

namespace cert::gost {

Error::Error(DWORD winError, const char* place) : XTOOStatus(WinErr2ToolsErr(winError), place), m_win(winError) {}

Bytes ReverseBytes(ByteView b) { return Bytes(b.rbegin(), b.rend()); }

namespace {

std::once_flag g_once;
ENGINE* g_engine = nullptr;

ENGINE* LoadById() {
    ENGINE* e = ENGINE_by_id("gost");
    if (e) return e;
    ERR_clear_error();
    // Not configured and not found by id: load the shared object from the
    // engines directory through the dynamic engine.
    const char* dir = getenv("OPENSSL_ENGINES");
    if (!dir || !*dir) dir = OPENSSL_info(OPENSSL_INFO_ENGINES_DIR);
    if (!dir) return nullptr;
    std::string path = std::string(dir) + "/gost.so";
    e = ENGINE_by_id("dynamic");
    if (!e) return nullptr;
    if (!ENGINE_ctrl_cmd_string(e, "SO_PATH", path.c_str(), 0) || !ENGINE_ctrl_cmd_string(e, "ID", "gost", 0) ||
        !ENGINE_ctrl_cmd_string(e, "LOAD", nullptr, 0)) {
        ENGINE_free(e);
        ERR_clear_error();
        return nullptr;
    }
    return e;
}

void LoadEngine() {
    ENGINE* e = LoadById();
    if (!e) return;
    if (!ENGINE_init(e)) {
        ENGINE_free(e);
        ERR_clear_error();
        return;
    }
    ENGINE_free(e);  // the functional reference from ENGINE_init keeps it
    // Key formats only, never as default: lets the DER/PEM readers and
    // certificate code decode GOST keys; operations still name the engine.
    ENGINE_register_pkey_asn1_meths(e);
    g_engine = e;
}

}  // namespace

ENGINE* Engine() {
    std::call_once(g_once, LoadEngine);
    if (!g_engine) throw Error(NTE_PROVIDER_DLL_FAIL, "GOST engine not available");
    return g_engine;
}

bool EngineAvailable() noexcept {
    try {
        Engine();
        return true;
    } catch (...) {
        return false;
    }
}

void RandomBytes(uint8_t* out, std::size_t n) {
    if (n && RAND_bytes(out, static_cast<int>(n)) != 1) detail::ThrowOpenSsl(NTE_FAIL, "RAND_bytes");
}

Bytes RandomBytes(std::size_t n) {
    Bytes b(n);
    RandomBytes(b.data(), n);
    return b;
}

Secret RandomSecret(std::size_t n) {
    Secret s(n);
    RandomBytes(s.data(), n);
    return s;
}

namespace detail {

void ThrowOpenSsl(DWORD winError, const char* place) {
    ERR_clear_error();
    throw Error(winError, place);
}

void CheckOpenSsl(int ok, DWORD winError, const char* place) {
    if (ok <= 0) ThrowOpenSsl(winError, place);
}

}  // namespace detail

}  // namespace cert::gost
