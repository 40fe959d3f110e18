// libFuzzer target: the platform decoders of names and name values.
#include "capi_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(capifuzz::RunName)
