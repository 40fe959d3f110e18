// The demo's sample data, shared by its steps.
#pragma once

#include "io.h"

namespace ctf {

// A GOST R 34.10-2012 (256-bit) self-signed CA certificate.
ByteSpan SampleCertificate();

}  // namespace ctf
