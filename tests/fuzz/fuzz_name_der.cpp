// libFuzzer target: DER names through the text and structure decoders and the name-as-data methods.
#include "name_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(namefuzz::RunNameDer)
