// The relay's health counters and where unit 255 serves them (input
// registers). Counters are bumped on every thread (main loop, the gateway
// link's threads) with relaxed atomics: no lock, no allocation, no syscall.
// A read of the block copies them under the Modbus context lock, so one read
// is one snapshot and no 32-bit value is ever torn.
#pragma once

#include <atomic>
#include <cstdint>

// One counter per register pair, in address order; every counter is 32 bits
// in two registers, high word first, wrapping modulo 2^32.
enum HealthCounter {
    HC_UPTIME = 0,          // seconds since start (computed when read)
    HC_ANSWERED,            // replies sent, normal or exception
    HC_EXC_1,               // exception replies by code
    HC_EXC_2,
    HC_EXC_3,
    HC_EXC_6,
    HC_EXC_11,
    HC_GW_SENT,             // bridged commands queued on the gateway link
    HC_GW_MATCHED,          // gateway answers that found their waiting request
    HC_GW_EXPIRED,          // bridged requests that expired unanswered
    HC_BUSY,                // exception 6 from the pending table (full or a retransmission)
    HC_CLIENTS_NOW,         // clients connected now
    HC_ACCEPTED,            // connections accepted
    HC_REFUSED,             // connections refused (allow-list, a third client)
    HC_IDLE_CLOSED,         // clients closed after 30 minutes without traffic
    HC_LINK_UP,             // gateway link up (0/1)
    HC_LINK_CONNECTS,       // gateway link connects since start
    HC_REPORTS,             // gateway messages that answered no waiting request
    HC_VALUES_STORED,       // values written into register maps from answers and reports
    HC_7F_GARBAGE_BYTES,    // 7F bytes dropped while resynchronising (or left incomplete)
    HC_7F_TOO_LONG,         // 7F frames refused as too long
    HC_READ_ONLY_WRITES,    // writes refused because the client may only read
    HC_COUNT
};

// Unit 255, input registers.
constexpr uint16_t HEALTH_REG_FIRST = 101;
constexpr uint16_t HEALTH_REG_UPTIME = 101;
constexpr uint16_t HEALTH_REG_ANSWERED = 103;
constexpr uint16_t HEALTH_REG_EXC_1 = 105;
constexpr uint16_t HEALTH_REG_EXC_2 = 107;
constexpr uint16_t HEALTH_REG_EXC_3 = 109;
constexpr uint16_t HEALTH_REG_EXC_6 = 111;
constexpr uint16_t HEALTH_REG_EXC_11 = 113;
constexpr uint16_t HEALTH_REG_GW_SENT = 115;
constexpr uint16_t HEALTH_REG_GW_MATCHED = 117;
constexpr uint16_t HEALTH_REG_GW_EXPIRED = 119;
constexpr uint16_t HEALTH_REG_BUSY = 121;
constexpr uint16_t HEALTH_REG_CLIENTS_NOW = 123;
constexpr uint16_t HEALTH_REG_ACCEPTED = 125;
constexpr uint16_t HEALTH_REG_REFUSED = 127;
constexpr uint16_t HEALTH_REG_IDLE_CLOSED = 129;
constexpr uint16_t HEALTH_REG_LINK_UP = 131;
constexpr uint16_t HEALTH_REG_LINK_CONNECTS = 133;
constexpr uint16_t HEALTH_REG_REPORTS = 135;
constexpr uint16_t HEALTH_REG_VALUES_STORED = 137;
constexpr uint16_t HEALTH_REG_7F_GARBAGE_BYTES = 139;
constexpr uint16_t HEALTH_REG_7F_TOO_LONG = 141;
constexpr uint16_t HEALTH_REG_READ_ONLY_WRITES = 143;
constexpr uint16_t HEALTH_REG_LAST = 144;  // low word of the last counter

// Data age of unit u (1..247): input register HEALTH_AGE_BASE + u, seconds
// since the gateway last stored a value for it, at most HEALTH_AGE_MAX;
// HEALTH_AGE_NEVER when it never did (or the unit is not mapped).
constexpr uint16_t HEALTH_AGE_BASE = 300;
constexpr int HEALTH_AGE_FIRST_UNIT = 1;
constexpr int HEALTH_AGE_LAST_UNIT = 247;
constexpr uint16_t HEALTH_AGE_MAX = 65534;
constexpr uint16_t HEALTH_AGE_NEVER = 65535;

// Unit 255's input register table covers at least 1..HEALTH_TABLE_LAST.
constexpr uint16_t HEALTH_TABLE_LAST = HEALTH_AGE_BASE + HEALTH_AGE_LAST_UNIT;  // 547

constexpr uint16_t health_register(HealthCounter c) {
    return (uint16_t)(HEALTH_REG_FIRST + 2 * (int)c);
}
static_assert(health_register(HC_ANSWERED) == HEALTH_REG_ANSWERED, "layout");
static_assert(health_register(HC_EXC_11) == HEALTH_REG_EXC_11, "layout");
static_assert(health_register(HC_BUSY) == HEALTH_REG_BUSY, "layout");
static_assert(health_register(HC_LINK_UP) == HEALTH_REG_LINK_UP, "layout");
static_assert(health_register(HC_REPORTS) == HEALTH_REG_REPORTS, "layout");
static_assert(health_register(HC_READ_ONLY_WRITES) == HEALTH_REG_READ_ONLY_WRITES, "layout");
static_assert(health_register(HC_COUNT) == HEALTH_REG_LAST + 1, "22 counters, 101-144");

namespace health_detail {
extern std::atomic<uint32_t> g_counters[HC_COUNT];
}

inline void health_bump(HealthCounter c) {
    health_detail::g_counters[c].fetch_add(1, std::memory_order_relaxed);
}
inline void health_add(HealthCounter c, uint32_t n) {
    if (n) health_detail::g_counters[c].fetch_add(n, std::memory_order_relaxed);
}
// For gauges (clients now, link up).
inline void health_set(HealthCounter c, uint32_t v) {
    health_detail::g_counters[c].store(v, std::memory_order_relaxed);
}
// The exception counter of a Modbus exception code, or HC_COUNT for codes
// the block does not count.
HealthCounter health_exception_counter(int code);

// The clock behind uptime and ages: monotonic milliseconds, published by
// the main loop once per pass (so that neither the receive thread nor a read
// ever asks the kernel). health_start sets the start of uptime and forgets
// every stamp.
void health_start(int64_t monotonicMs);
void health_set_clock(int64_t monotonicMs);
int64_t health_clock();

// A value of unit `unit` was stored just now (any thread).
void health_stamp_unit(int unit);
// The unit's age register value at the clock's time.
uint16_t health_unit_age(int unit);

// Every counter at one moment (uptime computed from the clock).
void health_snapshot(uint32_t out[HC_COUNT]);
// Counters, stamps and clock back to zero (tests).
void health_reset();
