#include "service.h"

#include <sys/select.h>

#include <csignal>

#include "byteQueue.h"
#include "logger.h"
#include "mbRtuMaster.h"
#include "softTimer.h"

volatile sig_atomic_t g_running = 1;

namespace {

SoftTimer g_slowTimer;  // 100 ms
SoftTimer g_fastTimer;  // 20 ms

void on_slow_timer(void *, SoftTimerEvent event) {
    if (event != SOFT_TIMER_EXPIRED) return;
    rtu_link_expire();
}

void on_fast_timer(void *, SoftTimerEvent event) {
    if (event != SOFT_TIMER_EXPIRED) return;
    // The serial link is never opened by this service: both steps are idle.
    rtu_link_drain_received();
    rtu_link_poll();
}

void on_sigint(int) { g_running = 0; }

}  // namespace

void service_start() {
    log_open();
    LOG_INFO("************************relayservice restart!!!!");
    LOG_INFO("compled at %s %s", __DATE__, __TIME__);

    pool_reset();

    // The 100 ms timer is armed first so that it runs first in a shared tick.
    soft_timer_start(&g_slowTimer, nullptr, 100, on_slow_timer);
    soft_timer_start(&g_fastTimer, nullptr, 20, on_fast_timer);

    // A peer that closed its connection must give the writer an error, not
    // end the process.
    signal(SIGPIPE, SIG_IGN);

    struct sigaction sa = {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

void service_run() {
    while (g_running) {
        struct timeval tv = {0, 20000};
        select(0, nullptr, nullptr, nullptr, &tv);
        soft_timer_tick();
    }
}

void service_shutdown() {
    LOG_WARN("quit main.....");
    log_close();
}
