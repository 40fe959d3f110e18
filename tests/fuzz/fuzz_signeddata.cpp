// libFuzzer target: the streaming reader of signed data.
#include "signeddata_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(sdfuzz::RunSignedData)
