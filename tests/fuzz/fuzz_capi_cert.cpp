// libFuzzer target: the platform decoders of certificates, their to-be-signed parts and extensions.
#include "capi_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(capifuzz::RunCert)
