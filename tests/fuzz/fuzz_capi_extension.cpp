// libFuzzer target: the platform decoders of the extension structures.
#include "capi_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(capifuzz::RunExtension)
