// libFuzzer target: name texts through the encoder and back.
#include "name_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(namefuzz::RunNameText)
