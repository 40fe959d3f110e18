// libFuzzer target: the ASN.1 codec.
#include "der_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(derfuzz::RunOne)
