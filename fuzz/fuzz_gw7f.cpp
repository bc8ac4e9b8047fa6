// 7F receive path: a byte stream from the gateway cut into frames exactly as
// the receive thread does (Gw7fRx), each complete frame dispatched
// by Gw7fLink::onRcvProcess, and topic + payload handed to the bridge's
// message handler (onGw7fMsg) when it is linked in, against the sample units.
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_load_sample(true, true);
    fuzz_start_server();
    fprintf(stderr, "fuzz_gw7f: bridge message handler %s\n",
            onGw7fMsg ? "linked in" : "absent (framing and dispatch only)");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Gw7fLink *link = Gw7fLink::instance();
    static Gw7fRx rx;
    gw7f_rx_reset(&rx);
    // The stream arrives in reads of varying size (taken from the input's
    // first byte), as recv would cut it.
    const size_t step = size > 0 ? 1 + data[0] % 97 : 1;
    size_t in = size > 0 ? 1 : 0;
    while (in < size) {
        int room = 0;
        uint8_t *at = gw7f_rx_space(&rx, &room);
        if (room <= 0) abort();  // a reader that can never make progress
        size_t n = size - in < step ? size - in : step;
        if (n > (size_t)room) n = (size_t)room;
        memcpy(at, data + in, n);
        gw7f_rx_added(&rx, (int)n);
        in += n;
        const uint8_t *frame;
        int total, topicLen, payloadLen;
        while (gw7f_rx_next(&rx, &frame, &total, &topicLen, &payloadLen) == 1) {
            if (total != 9 + topicLen + payloadLen || topicLen > GW7F_RCV_TOPIC_MAX ||
                total >= GW7F_FRAME_MAX || frame[0] != 0x7F)
                abort();
            link->onRcvProcess(frame, total, topicLen, payloadLen);
            if (onGw7fMsg && topicLen > 0 && payloadLen > 0)
                onGw7fMsg((const char *)frame + 5, topicLen, (const char *)frame + 9 + topicLen,
                          payloadLen);
        }
    }
    return 0;
}
