// What every benchmark here shares: the OpenSSL side it is measured
// against, thread CPU time, and the counters that put both side by side.
//
// Each benchmark runs our code and the outside tool on the same input,
// interleaved within one iteration, and reports both rates and their ratio
// (ours / outside: 1.0 means we cost what OpenSSL costs, above 1 we are
// faster). The machine is shared, so time is the thread's CPU time, not the
// wall clock.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>

namespace bench {

inline double CpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <class F>
double Seconds(F&& f) {
    double t0 = CpuNow();
    f();
    return CpuNow() - t0;
}

// `work` units done by each side in `ours` and `outside` seconds.
inline void Report(benchmark::State& state, double ours, double outside, double work, const std::string& unit) {
    if (ours <= 0 || outside <= 0) return;
    state.counters["ours_" + unit] = work / ours;
    state.counters["openssl_" + unit] = work / outside;
    state.counters["ratio"] = outside / ours;
}

// The GOST engine as a program of its own would load it: by id, else the
// shared object from the engines folder. Null when it is not installed.
inline ENGINE* GostEngine() {
    static ENGINE* engine = [] {
        ENGINE* e = ENGINE_by_id("gost");
        if (!e) {
            ERR_clear_error();
            const char* dir = std::getenv("OPENSSL_ENGINES");
            if (!dir || !*dir) dir = OPENSSL_info(OPENSSL_INFO_ENGINES_DIR);
            e = dir ? ENGINE_by_id("dynamic") : nullptr;
            std::string so = dir ? std::string(dir) + "/gost.so" : std::string();
            if (e && (!ENGINE_ctrl_cmd_string(e, "SO_PATH", so.c_str(), 0) ||
                      !ENGINE_ctrl_cmd_string(e, "ID", "gost", 0) || !ENGINE_ctrl_cmd_string(e, "LOAD", nullptr, 0))) {
                ENGINE_free(e);
                e = nullptr;
            }
        }
        if (e && !ENGINE_init(e)) {
            ENGINE_free(e);
            e = nullptr;
        }
        if (e) {
            ENGINE_free(e);  // ENGINE_init's functional reference keeps it
            ENGINE_register_pkey_asn1_meths(e);
        }
        ERR_clear_error();
        return e;
    }();
    return engine;
}

}  // namespace bench
