// Device description loader: any file content gives a description or none,
// and every node it accepts lies inside the tables it declares.
#include "fuzz_support.h"

static FuzzFile g_file;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    DeviceDescription *d = load_description(g_file.write(data, size));
    if (d == nullptr) return 0;
    if (d->nb_bits < 0 || d->nb_input_bits < 0 || d->nb_registers < 0 ||
        d->nb_input_registers < 0)
        abort();
    delete d;
    return 0;
}
