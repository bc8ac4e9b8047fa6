// Heap allocations per cached request on the bridge's own path: the sample
// configuration loaded as at start-up, then onRcvMbRequest called directly
// with reads the register maps answer. Usage: bridge_alloc SAMPLE_DIR [N]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "allocCounter.h"
#include "devDesc.h"
#include "devList.h"
#include "gwMsg.h"
#include "mbBridge.h"
#include "mbReq.h"
#include "mbTcpSvr.h"
#include "service.h"
#include "vrvCtrl.h"


int main(int argc, char **argv) {
    if (argc < 2 || chdir(argv[1]) != 0) {
        fprintf(stderr, "usage: bridge_alloc SAMPLE_DIR [N]\n");
        return 2;
    }
    const long n = argc > 2 ? atol(argv[2]) : 100000;
    const int result_fd = dup(1);
    if (!freopen("/dev/null", "w", stderr)) return 1;  // the console log, not the figure
    if (!freopen("/dev/null", "w", stdout)) return 1;
    load_descriptions("descJson");
    load_address_map("map.json");
    load_vrv_config("vrvC.json");
    setVersionRegs();
    initMbReqList();
    g_mbServer = mb_tcp_server_new(0, onRcvMbRequest);
    mb_set_clear_after_read(g_mbServer, mbClearAfterRead);
    const uint8_t reads[][12] = {
        {0, 1, 0, 0, 0, 6, 3, 3, 0, 1, 0, 3},     // thermostat holding 1-3
        {0, 2, 0, 0, 0, 6, 255, 4, 0, 1, 0, 24},  // version text
        {0, 3, 0, 0, 0, 6, 255, 2, 0, 1, 0, 247}, // online bits
        {0, 4, 0, 0, 0, 6, 7, 4, 0, 1, 0, 100},   // VRV blocks
        {0, 5, 0, 0, 0, 6, 255, 4, 0, 101, 0, 44},  // health counters
        {0, 6, 0, 0, 0, 6, 255, 4, 1, 45, 0, 125},  // data ages of units 1-125
    };
    constexpr int kReads = sizeof reads / sizeof reads[0];
    MbRequest decoded[kReads];  // as the server decodes each frame it cuts
    for (int i = 0; i < kReads; ++i) mb_decode_request(reads[i], 12, 5, &decoded[i]);
    for (int i = 0; i < 100; ++i) onRcvMbRequest(g_mbServer, &decoded[i % kReads]);
    long before = alloc_count();
    for (long i = 0; i < n; ++i) onRcvMbRequest(g_mbServer, &decoded[i % kReads]);
    long used = alloc_count() - before;
    FILE *out = fdopen(result_fd, "w");
    if (!out) return 1;
    fprintf(out, "%ld %ld\n", n, used);
    fclose(out);
    return 0;
}
