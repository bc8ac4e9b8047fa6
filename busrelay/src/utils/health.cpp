#include "health.h"

namespace health_detail {
std::atomic<uint32_t> g_counters[HC_COUNT];
}

namespace {

std::atomic<int64_t> g_now{0};
std::atomic<int64_t> g_start{0};
// Per unit: the clock (+1, so that 0 means never) when a value was last stored.
std::atomic<int64_t> g_stored[HEALTH_AGE_LAST_UNIT + 1];

}  // namespace

HealthCounter health_exception_counter(int code) {
    switch (code) {
    case 1: return HC_EXC_1;
    case 2: return HC_EXC_2;
    case 3: return HC_EXC_3;
    case 6: return HC_EXC_6;
    case 11: return HC_EXC_11;
    default: return HC_COUNT;
    }
}

void health_start(int64_t monotonicMs) {
    for (auto &s : g_stored) s.store(0, std::memory_order_relaxed);
    g_now.store(monotonicMs, std::memory_order_relaxed);
    g_start.store(monotonicMs, std::memory_order_relaxed);
}

void health_set_clock(int64_t monotonicMs) { g_now.store(monotonicMs, std::memory_order_relaxed); }

int64_t health_clock() { return g_now.load(std::memory_order_relaxed); }

void health_stamp_unit(int unit) {
    if (unit < HEALTH_AGE_FIRST_UNIT || unit > HEALTH_AGE_LAST_UNIT) return;
    g_stored[unit].store(health_clock() + 1, std::memory_order_relaxed);
}

uint16_t health_unit_age(int unit) {
    if (unit < HEALTH_AGE_FIRST_UNIT || unit > HEALTH_AGE_LAST_UNIT) return HEALTH_AGE_NEVER;
    const int64_t stamp = g_stored[unit].load(std::memory_order_relaxed);
    if (stamp == 0) return HEALTH_AGE_NEVER;
    int64_t ms = health_clock() - (stamp - 1);
    if (ms < 0) ms = 0;  // stamped after this reader took the clock
    const int64_t s = ms / 1000;
    return s >= HEALTH_AGE_MAX ? HEALTH_AGE_MAX : (uint16_t)s;
}

void health_snapshot(uint32_t out[HC_COUNT]) {
    for (int i = 0; i < HC_COUNT; ++i)
        out[i] = health_detail::g_counters[i].load(std::memory_order_relaxed);
    int64_t up = health_clock() - g_start.load(std::memory_order_relaxed);
    out[HC_UPTIME] = up > 0 ? (uint32_t)(uint64_t)(up / 1000) : 0;
}

void health_reset() {
    for (auto &c : health_detail::g_counters) c.store(0, std::memory_order_relaxed);
    health_start(0);
}
