// Modbus TCP path: the server's framing of a received byte stream, the
// client queue it parks frames in, request processing (mb_reply) against the
// sample units' register maps, and the bridge's request callback when it is
// linked in. Every reply must be a well-formed frame for its request.
#include <cstring>

#include "byteQueue.h"
#include "fuzz_support.h"
#include "mbOpts.h"

// The bridge's entry for a decoded request (weak, like the others).
int onRcvMbRequest(ModbusContext *ctx, const MbRequest *request) __attribute__((weak));
void mb_opts_set(const MbOptions &options) __attribute__((weak));

namespace {

ModbusContext g_ctx;
ModbusBackend g_backend;
const uint8_t *g_request = nullptr;

ssize_t check_reply(ModbusContext *, const uint8_t *frame, int length) {
    // MBAP: same transaction id, length field = bytes after it, same unit,
    // protocol id 0 or the request's (echo replies copy it); at most one ADU.
    if (length < 9 || length > MB_MAX_ADU_LENGTH) abort();
    const int lengthField = (frame[4] << 8) | frame[5];
    if (lengthField != length - 6) abort();
    const bool protocolEcho = g_request != nullptr && memcmp(frame + 2, g_request + 2, 2) == 0;
    if ((frame[2] != 0 || frame[3] != 0) && !protocolEcho) abort();
    if (g_request != nullptr) {
        if (memcmp(frame, g_request, 2) != 0 || frame[6] != g_request[6]) abort();
        if ((frame[7] & 0x7F) != (g_request[7] & 0x7F)) abort();
    }
    return length;
}

// The context's client is not a real socket: nothing to flush.
int no_flush(ModbusContext *) { return 0; }

ByteQueue g_queue;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_load_sample(true, true);
    pool_reset();
    queue_init(&g_queue, MB_TCP_QUEUE_LIMIT);
    fuzz_start_server();
    mb_context_init(&g_ctx);
    g_backend = g_mbTcpServerBackend;
    g_backend.send = check_reply;
    g_backend.flush = no_flush;
    g_ctx.backend = &g_backend;
    mb_set_socket(&g_ctx, 5);
    // The pause before a flushed exception would only slow the fuzzer down.
    g_ctx.responseTimeout = {0, 0};
    int (*bridge)(ModbusContext *, const MbRequest *) = onRcvMbRequest;
    fprintf(stderr, "fuzz_mb_tcp: bridge request callback %s\n",
            bridge ? "linked in" : "absent (not fuzzed)");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The stream as reads deliver it: cut into frames, parked, then served.
    int off = 0;
    const int n = size > 4096 ? 4096 : (int)size;
    while (off < n) {
        const int len = mb_tcp_frame_length(data + off, n - off);
        if (len <= 0) break;
        if (len > MB_MAX_ADU_LENGTH || off + len > n) abort();
        if (queue_write_whole(&g_queue, data + off, len) == len) {
            uint8_t frame[MB_MAX_ADU_LENGTH];
            if (queue_peek(&g_queue, frame, 8) == 8) {
                const int flen = mb_tcp_frame_length(frame, queue_peek(&g_queue, frame, sizeof frame));
                if (flen != len) abort();
                queue_discard(&g_queue, flen);

                // Decoded once, as the server does, and handed to everyone.
                MbRequest req;
                if (mb_decode_request(frame, flen, 7, &req) != 0) abort();
                MappedDevice *dev = find_device_by_unit(req.unitId);
                g_request = frame;
                mb_lock(&g_ctx);
                mb_reply(&g_ctx, dev, &req, dev ? dev->registerMap : nullptr, 0);
                const MbRequest answered = mb_register_request(req);
                mb_reply(&g_ctx, dev, &answered, dev ? dev->registerMap : nullptr, 1);
                mb_unlock(&g_ctx);
                g_request = nullptr;
                int (*bridge)(ModbusContext *, const MbRequest *) = onRcvMbRequest;
                if (bridge && &g_mbServer != nullptr && g_mbServer.load()) {
                    // Two bits of the transaction id pick a read-only client
                    // and the offline policy, so both paths are fuzzed too.
                    req.readOnly = (frame[1] & 1) != 0;
                    void (*setOptions)(const MbOptions &) = mb_opts_set;
                    if (setOptions) {
                        MbOptions o;
                        o.offlineException = (frame[1] & 2) != 0;
                        setOptions(o);
                    }
                    bridge(g_mbServer.load(), &req);
                }
            }
        }
        off += len;
    }
    queue_discard(&g_queue, queue_count(&g_queue));
    if (pool_free_blocks() != POOL_BLOCKS) abort();  // every block back in the pool
    return 0;
}
