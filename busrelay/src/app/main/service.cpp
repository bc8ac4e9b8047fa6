#include "service.h"

#include <time.h>

#include <csignal>

#include <cstring>

#include "7Fcom.h"
#include "byteQueue.h"
#include "devDesc.h"
#include "devList.h"
#include "gwMsg.h"
#include "health.h"
#include "healthRegs.h"
#include "logger.h"
#include "mbAcl.h"
#include "mbBridge.h"
#include "mbOpts.h"
#include "mbReq.h"
#include "mbRtuMaster.h"
#include "mbTcpSvr.h"
#include "softTimer.h"
#include "vrvCtrl.h"

volatile sig_atomic_t g_running = 1;
std::atomic<ModbusContext *> g_mbServer{nullptr};

namespace {

SoftTimer g_slowTimer;  // 100 ms
SoftTimer g_fastTimer;  // 20 ms

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void on_slow_timer(void *, SoftTimerEvent event) {
    if (event != SOFT_TIMER_EXPIRED) return;
    rtu_link_expire();
    expireMbRequests();
}

void on_fast_timer(void *, SoftTimerEvent event) {
    if (event != SOFT_TIMER_EXPIRED) return;
    // A safety net: the main loop serves the clients as their bytes arrive;
    // this pass retries a failed listen and catches anything missed.
    mb_tcp_server_poll();
    // The serial link is never opened by this service: both steps are idle.
    rtu_link_drain_received();
    rtu_link_poll();
}

void on_sigint(int) { g_running = 0; }

// A client left: replies still owed to it must not reach the next client
// that gets the same socket number.
void on_client_closed(ModbusContext *ctx, int socket, bool contextLocked) {
    if (!contextLocked) mb_lock(ctx);
    dropMbReqForSocket(socket);
    if (!contextLocked) mb_unlock(ctx);
}

}  // namespace

void service_start() {
    // Both before the link's threads start: a peer that closed its connection
    // must give the writer an error, not end the process, and a SIGINT that
    // comes while start-up runs must still lead to the orderly stop.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);

    health_start(monotonic_ms());
    log_open();
    LOG_INFO("************************relayservice restart!!!!");
    LOG_INFO("compled at %s %s", __DATE__, __TIME__);

    load_descriptions("descJson");
    load_address_map("map.json");
    load_vrv_config("vrvC.json");
    // Before the port opens: no client gets in ahead of the list.
    mb_acl_load("mbacl.json");
    mb_opts_load("mbopts.json");
    setVersionRegs();
    health_regs_prepare();

    Gw7fLink::instance()->start(onGw7fMsg);

    pool_reset();
    initMbReqList();

    ModbusContext *server = mb_tcp_server_new(502, onRcvMbRequest);
    if (server) {
        mb_set_debug(server, 1);
        mb_set_clear_after_read(server, mbClearAfterRead);
        mb_tcp_server_set_close_hook(on_client_closed);
    }
    g_mbServer = server;  // published complete: gateway messages are taken from now on

    // The 100 ms timer is armed first so that it runs first in a shared tick.
    soft_timer_start(&g_slowTimer, nullptr, 100, on_slow_timer);
    soft_timer_start(&g_fastTimer, nullptr, 20, on_fast_timer);
    health_status_timer_start();

}

void setVersionRegs() {
    MappedDevice *gw = find_device_by_unit(255);
    if (gw == nullptr) {
        LOG_WARN("not cfg modbus tcp 0xFF");
        return;
    }
    const DescriptionNode *node = find_node_by_register(gw->description, 30001);
    if (node == nullptr || node->identifier != "modbusSoftwareVer" || gw->registerMap == nullptr) {
        LOG_WARN("software version register not supported by unit 255");
        return;
    }
    char text[SERVICE_VERSION_BYTES] = {};
    strncpy(text, SERVICE_VERSION_TEXT, sizeof text);
    const uint16_t base = (uint16_t)(node->registerAddress - 30000);
    for (int k = 0; k < SERVICE_VERSION_BYTES / 2; ++k) {
        uint16_t v = (uint16_t)(((uint8_t)text[2 * k] << 8) | (uint8_t)text[2 * k + 1]);
        set_input_reg(gw->registerMap, (uint16_t)(base + k), v);
    }
}

namespace {

constexpr int32_t kIdleWaitMs = 500;

}  // namespace

// Event-driven: the server's wait wakes for client bytes, new connections,
// room to send and replies queued by the gateway link, and otherwise sleeps
// until the next software timer is due. The timers run on the monotonic
// clock (the 32-bit millisecond count wraps after 24.8 days; the due test is
// taken modulo 2^32).
void service_run() {
    const int64_t start = monotonic_ms() - soft_timer_clock();
    // The trace of a pass leaves in one write per destination, before the
    // loop waits again.
    log_set_deferred(true);
    while (g_running) {
        const int64_t now = monotonic_ms();
        // Uptime and data ages read this clock: no thread asks the kernel for them.
        health_set_clock(now);
        soft_timer_advance((int32_t)(uint32_t)(uint64_t)(now - start));
        if (!g_running) break;
        int32_t wait = soft_timer_next_due();
        if (wait < 0 || wait > SOFT_TIMER_TICK_MS) wait = SOFT_TIMER_TICK_MS;
        // No client and no request waiting for the gateway: neither timer has
        // work (the serial link is never opened), so an idle service sleeps
        // longer; a connection or a queued reply still wakes it at once, and
        // the timers run as soon as it wakes.
        if (mb_tcp_server_idle() && mbReqCount() == 0) wait = kIdleWaitMs;
        mb_tcp_server_wait(wait);
    }
    log_set_deferred(false);
}

void service_shutdown() {
    LOG_WARN("quit main.....");
    Gw7fLink::instance()->stop();
    Gw7fLink::destroyInstance();
    if (ModbusContext *server = g_mbServer.exchange(nullptr)) mb_tcp_server_free(server);
    // Nobody reads the registries any more (the link's threads have ended and
    // the server is gone): give back what start-up built, so that a leak
    // checker sees only what the traffic paths might have lost.
    clear_devices();
    clear_descriptions();
    log_close();
}
