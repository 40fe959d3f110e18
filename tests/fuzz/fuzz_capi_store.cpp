// libFuzzer target: the stored forms of certificate stores and property 2.
#include "store_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(storefuzz::RunStore)
