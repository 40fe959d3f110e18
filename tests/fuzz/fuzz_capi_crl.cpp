// libFuzzer target: the platform decoders of CRLs and their to-be-signed parts.
#include "capi_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(capifuzz::RunCrl)
