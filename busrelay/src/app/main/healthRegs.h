// Unit 255 serves the relay's health: the counters (input registers
// 101-144) and the data age of every unit (300 + unit), copied from the
// atomic counters at the moment a read of them is answered. Also the status
// line that the log gets every ten minutes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "health.h"
#include "modbus.h"

struct HealthCounterInfo {
    const char *name;     // "answered": the status line's key, the point list's identifier
    const char *meaning;  // for the point list
};
const HealthCounterInfo &health_counter_info(HealthCounter c);

// Start-up, after the address map (whose loader widens unit 255's input
// register table to 1-547): says what is not served and which description
// nodes the block covers. 0, or -1 without unit 255 or without the block.
int health_regs_prepare();

// True when the request reads unit 255's input registers from its map
// (FC 4, a cached read or a direct one being answered) where they overlap
// the counters or the ages.
bool health_regs_wanted(const MbRequest &request);
// Writes the counters and ages that [address, address + count) overlaps
// into the map's input registers. Call under the Modbus context lock.
void health_regs_refresh(RegisterMap *map, int address, int count);

// "status: uptime=... answered=... ..." (every counter, one line). The
// text's length (at most cap - 1).
int health_status_line(char *buf, size_t cap);

constexpr int32_t HEALTH_STATUS_PERIOD_MS = 10 * 60 * 1000;
// Arms the software timer that logs the status line at INFO every period.
void health_status_timer_start();
