#include "model_decode.h"

#include <benchmark/benchmark.h>

#include "cert/certmodel.h"

namespace benchmodel {

int DecodeCertificates(const unsigned char* der, std::size_t size, int times) {
    const IdentObj input(der, static_cast<DWORD>(size));
    int decoded = 0;
    for (int i = 0; i < times; ++i) {
        CCTFX509Certificate cert;
        decoded += cert.DecodeCert(input);
        benchmark::DoNotOptimize(cert.m_info.m_extensions.size());
    }
    return decoded;
}

}  // namespace benchmodel
