// libFuzzer target: the signer info model.
#include "signerinfo_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(sdfuzz::RunSignerInfo)
