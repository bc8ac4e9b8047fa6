// mapjson_loadcheck DESC_DIR MAP_JSON
// Loads the descriptions and the address map with the service's own loader
// and prints one line per registered unit, then "registered N". Exit 0 when
// the map file could be read. Log lines go to stderr as the service writes them.
#include "devDesc.h"
#include "devList.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DESC_DIR MAP_JSON\n", argv[0]);
        return 2;
    }
    if (load_descriptions(argv[1]) != 0) {
        std::fprintf(stderr, "cannot read descriptions in %s\n", argv[1]);
        return 1;
    }
    if (load_address_map(argv[2]) != 0)
        return 1;
    int n = 0;
    for (const MappedDevice *d : device_list()) {
        std::printf("unit %d %s %s%s\n", d->unitId, d->deviceKey.c_str(), d->sntype.c_str(),
                    d->registerMap ? "" : " (no register map)");
        ++n;
    }
    std::printf("registered %d\n", n);
    return 0;
}
