// Test-only Modbus TCP server around the engine, for process-level tests
// against a real client. Like the service, requests are answered on the main
// thread's event loop as they arrive; deferred ones (writes, direct reads) are completed by a
// second "gateway" thread after a delay, under the context lock, exactly as
// the bridge does from the gateway link's receive thread.
//
// Units: 1 and 4 have all four tables (4 never answers deferred requests),
// 2 has offset tables and one-shot signals (DI 5, IR 3); others have no
// device and get exception 2.
//
// Usage: mbtestsvr [port] [deferDelayMs]   (defaults 502, 150)
#include <pthread.h>
#include <sys/select.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "byteQueue.h"
#include "logger.h"
#include "mbTcpSvr.h"
#include "modbus.h"
#include "registerMap.h"

namespace {

struct TestUnit {
    int id;
    RegisterMap *map;
    bool dropDeferred;
};

struct Pending {
    bool used;
    TestUnit *unit;
    long dueMs;
    MbRequest request;  // its frame is `frame`
    uint8_t frame[MB_MAX_ADU_LENGTH];
};

constexpr int kMaxPending = 5;

TestUnit g_units[3];
Pending g_pending[kMaxPending];
pthread_mutex_t g_pendingLock = PTHREAD_MUTEX_INITIALIZER;
ModbusContext *g_ctx = nullptr;
long g_delayMs = 150;
volatile sig_atomic_t g_run = 1;
std::atomic<bool> g_gatewayRun{true};

long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

TestUnit *find_unit(int id) {
    for (TestUnit &u : g_units)
        if (u.id == id) return &u;
    return nullptr;
}

int clear_after_read(void *device, int fc, int address) {
    const TestUnit *u = static_cast<const TestUnit *>(device);
    return u->id == 2 && ((fc == 2 && address == 5) || (fc == 4 && address == 3));
}

int on_request(ModbusContext *ctx, const MbRequest *req) {
    mb_lock(ctx);
    mb_set_socket(ctx, req->socket);
    TestUnit *unit = find_unit(req->unitId);
    if (unit == nullptr) {
        LOG_WARN("no dev for id=%d", req->unitId);
        int rc = mb_reply_exception(ctx, req, MB_EXC_ILLEGAL_DATA_ADDRESS);
        mb_unlock(ctx);
        return rc;
    }
    int rc = mb_reply(ctx, unit, req, unit->map, 0);
    if (rc == MB_REPLY_DEFERRED && !unit->dropDeferred) {
        pthread_mutex_lock(&g_pendingLock);
        Pending *slot = nullptr;
        for (Pending &p : g_pending)
            if (!p.used) {
                slot = &p;
                break;
            }
        if (slot) {
            slot->used = true;
            slot->unit = unit;
            slot->dueMs = now_ms() + g_delayMs;
            memcpy(slot->frame, req->frame, (size_t)req->length);
            slot->request = *req;
            slot->request.frame = slot->frame;
        }
        pthread_mutex_unlock(&g_pendingLock);
        if (slot == nullptr) rc = mb_reply_exception(ctx, req, MB_EXC_SLAVE_BUSY);
    }
    mb_unlock(ctx);
    return rc;
}

uint16_t be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }

// What the gateway would do: apply the write, or refresh the read values.
void apply(const Pending &p) {
    const uint8_t *r = p.request.frame;
    RegisterMap *m = p.unit->map;
    const int f = p.request.function;
    const int address = p.request.registerAddress;
    const int n = p.request.quantity;
    switch (f) {
    case 3:
        for (int i = 0; i < n; ++i) set_hold_reg(m, (uint16_t)(address + i), (uint16_t)(0xA000 + address + i));
        break;
    case 4:
        for (int i = 0; i < n; ++i) set_input_reg(m, (uint16_t)(address + i), (uint16_t)(0xB000 + address + i));
        break;
    case 5: set_coil(m, (uint16_t)address, n == 0xFF00); break;
    case 6: set_hold_reg(m, (uint16_t)address, (uint16_t)n); break;
    case 15:
        for (int i = 0; i < n; ++i) set_coil(m, (uint16_t)(address + i), (r[13 + i / 8] >> (i % 8)) & 1);
        break;
    case 16:
        for (int i = 0; i < n; ++i) set_hold_reg(m, (uint16_t)(address + i), be16(r + 13 + 2 * i));
        break;
    default: break;
    }
}

void *gateway_thread(void *) {
    // Bounded by the run flag; polls every 10 ms.
    while (g_gatewayRun.load()) {
        Pending due;
        bool have = false;
        pthread_mutex_lock(&g_pendingLock);
        for (Pending &p : g_pending) {
            if (p.used && now_ms() >= p.dueMs) {
                due = p;
                p.used = false;
                have = true;
                break;
            }
        }
        pthread_mutex_unlock(&g_pendingLock);
        if (!have) {
            struct timespec ts = {0, 10 * 1000000L};
            nanosleep(&ts, nullptr);
            continue;
        }
        due.request.frame = due.frame;  // the copy's own bytes
        mb_lock(g_ctx);
        apply(due);
        const MbRequest answered = mb_register_request(due.request);
        mb_set_socket(g_ctx, answered.socket);
        int rc = mb_reply(g_ctx, due.unit, &answered, due.unit->map, 1);
        mb_unlock(g_ctx);
        LOG_INFO("deferred reply to %d: %d", answered.socket, rc);
    }
    return nullptr;
}

void on_stop(int) { g_run = 0; }

void fill_units() {
    RegisterMap *m1 = register_map_new(0, 20, 0, 16, 0, 130, 0, 24);
    RegisterMap *m2 = register_map_new(0, 0, 1, 494, 100, 10, 1, 24);
    RegisterMap *m4 = register_map_new(0, 20, 0, 16, 0, 130, 0, 24);
    if (!m1 || !m2 || !m4) {
        fprintf(stderr, "mbtestsvr: out of memory\n");
        exit(1);
    }
    for (RegisterMap *m : {m1, m4}) {
        for (int i = 0; i < 20; ++i) m->tab_bits[i] = i % 3 == 0;
        for (int i = 0; i < 16; ++i) m->tab_input_bits[i] = i % 2;
        for (int i = 0; i < 130; ++i) m->tab_registers[i] = (uint16_t)(0x100 + i);
        for (int i = 0; i < 24; ++i) m->tab_input_registers[i] = (uint16_t)(1000 + i);
    }
    for (int i = 0; i < 10; ++i) m2->tab_registers[i] = (uint16_t)(0x200 + i);
    m2->tab_input_bits[5 - 1] = 1;  // one-shot
    m2->tab_input_bits[6 - 1] = 1;  // steady
    m2->tab_input_registers[3 - 1] = 0x33;  // one-shot
    m2->tab_input_registers[4 - 1] = 0x44;  // steady
    g_units[0] = {1, m1, false};
    g_units[1] = {2, m2, false};
    g_units[2] = {4, m4, true};
}

}  // namespace

int main(int argc, char **argv) {
    int port = argc > 1 ? atoi(argv[1]) : 502;
    if (argc > 2) g_delayMs = atol(argv[2]);

    log_open();
    pool_reset();
    fill_units();
    g_ctx = mb_tcp_server_new(port, on_request);
    if (g_ctx == nullptr) return 1;
    mb_set_debug(g_ctx, 1);
    mb_set_clear_after_read(g_ctx, clear_after_read);

    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // SIGPIPE keeps its default action on purpose: the transport must never
    // raise it.

    pthread_t gw;
    pthread_create(&gw, nullptr, gateway_thread, nullptr);
    fprintf(stderr, "mbtestsvr ready on port %d\n", mb_tcp_server_bound_port());
    fflush(stderr);

    // The service's loop: wait for traffic (at most 20 ms), serve it, and
    // the 20 ms safety-net pass. Ends on SIGINT/SIGTERM.
    long passes = 0;
    while (g_run) {
        mb_tcp_server_wait(20);
        if (++passes % 16 == 0) mb_tcp_server_poll();
    }
    g_gatewayRun = false;
    pthread_join(gw, nullptr);
    mb_tcp_server_free(g_ctx);
    for (TestUnit &u : g_units) register_map_free(u.map);
    log_close();
    return 0;
}
