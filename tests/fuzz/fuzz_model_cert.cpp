// libFuzzer target: the certificate model.
#include "model_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(modelfuzz::RunCert)
