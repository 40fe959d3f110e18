// libFuzzer target: the list file readers.
#include "certlist_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(listfuzz::RunCertList)
