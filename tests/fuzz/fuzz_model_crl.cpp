// libFuzzer target: the CRL model's reader.
#include "crl_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(crlfuzz::RunCrl)
