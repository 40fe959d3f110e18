// libFuzzer target: the chain engine.
#include "chain_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(chainfuzz::RunChain)
