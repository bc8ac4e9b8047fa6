// 7F receive path: a byte stream from the gateway cut into frames exactly as
// the receive thread does (gw7f_frame_need), each complete frame dispatched
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
    uint8_t buf[GW7F_FRAME_MAX];
    size_t in = 0;
    while (in < size) {
        // One frame: read exactly what the parser asks for, stage by stage.
        int got = 0, topicLen = 0, payloadLen = 0;
        int want = gw7f_frame_need(buf, 0, &topicLen, &payloadLen);
        bool complete = false;
        while (want > 0) {
            if (want > GW7F_FRAME_MAX - got) abort();  // would overrun the buffer
            if (size - in < (size_t)want) return 0;    // stream ends mid-frame
            memcpy(buf + got, data + in, (size_t)want);
            in += (size_t)want;
            got += want;
            want = gw7f_frame_need(buf, got, &topicLen, &payloadLen);
            if (want == 0) complete = true;
        }
        if (!complete) continue;  // abandoned: resynchronise on the next byte
        if (got != 9 + topicLen + payloadLen || topicLen > GW7F_RCV_TOPIC_MAX) abort();
        link->onRcvProcess(buf, got, topicLen, payloadLen);
        if (onGw7fMsg && topicLen > 0 && payloadLen > 0)
            onGw7fMsg((const char *)buf + 5, topicLen, (const char *)buf + 9 + topicLen, payloadLen);
    }
    return 0;
}
