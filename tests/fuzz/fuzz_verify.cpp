// libFuzzer target: the verification of a signed file.
#include "verify_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(verifyfuzz::RunVerify)
