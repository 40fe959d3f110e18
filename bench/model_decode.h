// The certificate model's side of bench_model, in a translation unit of its
// own: the library's platform constants (X509_NAME, CRL_REASON_*) and
// OpenSSL's headers cannot meet in one.
#pragma once

#include <cstddef>

namespace benchmodel {

// Decodes the certificate `der` `times` times with
// CCTFX509Certificate::DecodeCert; the number of successful decodes.
int DecodeCertificates(const unsigned char* der, std::size_t size, int times);

}  // namespace benchmodel
