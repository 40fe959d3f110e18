// libFuzzer target: the key container's information record.
#include "container_fuzz.h"
#include "fuzz_target.h"

CERT_FUZZ_TARGET(containerfuzz::RunContainerInfo)
