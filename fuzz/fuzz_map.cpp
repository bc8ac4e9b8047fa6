// Address map loader against the sample descriptions: any file content
// leaves a registry whose devices each have a description and are found
// by their unit id and key.
#include <set>

#include "fuzz_support.h"

static FuzzFile g_file;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_load_sample(false, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    clear_devices();
    load_address_map(g_file.write(data, size));
    for (const MappedDevice *dev : device_list()) {
        if (dev->description == nullptr) abort();
        // Units outside 0..255 are kept (unreachable by Modbus, by design).
        if (find_device_by_unit(dev->unitId) == nullptr) abort();
        if (find_device_by_key(dev->deviceKey) == nullptr) abort();
    }
    clear_devices();
    return 0;
}
