// Air-conditioner (VRV) configuration loader against the sample units: any
// file content loads or is refused without touching memory it does not own.
#include "fuzz_support.h"

static FuzzFile g_file;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_load_sample(true, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    load_vrv_config(g_file.write(data, size));
    return 0;
}
