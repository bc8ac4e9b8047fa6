#include "healthRegs.h"

#include <cstdio>

#include "devList.h"
#include "logger.h"
#include "softTimer.h"

namespace {

constexpr int kGatewayUnit = 255;

const HealthCounterInfo kInfo[HC_COUNT] = {
    {"uptime", "seconds since the service started"},
    {"answered", "Modbus replies sent, normal or exception"},
    {"exceptions_1", "exception replies with code 1 (illegal function)"},
    {"exceptions_2", "exception replies with code 2 (illegal data address)"},
    {"exceptions_3", "exception replies with code 3 (illegal data value)"},
    {"exceptions_6", "exception replies with code 6 (busy)"},
    {"exceptions_11", "exception replies with code 11 (gateway target device failed to respond)"},
    {"gateway_sent", "bridged commands sent to the gateway"},
    {"gateway_matched", "gateway answers matched to a waiting request"},
    {"gateway_expired", "bridged requests that expired unanswered"},
    {"busy", "busy refusals of the pending table (five waiting, or a retransmission)"},
    {"clients_now", "Modbus clients connected now"},
    {"clients_accepted", "connections accepted"},
    {"clients_refused", "connections refused (allow-list, or a third client)"},
    {"idle_closed", "clients closed after 30 minutes without traffic"},
    {"link_up", "gateway link up (1) or down (0)"},
    {"link_connects", "gateway link connects since start"},
    {"reports", "gateway messages that answered no waiting request (reports)"},
    {"values_stored", "values stored into register maps from answers and reports"},
    {"garbage_7f_bytes", "7F bytes skipped as garbage (bad heads, frames left incomplete)"},
    {"too_long_7f_frames", "7F frames refused as too long"},
    {"read_only_writes_refused", "writes refused because the client may only read"},
};

SoftTimer g_statusTimer;

bool overlaps(int address, int count, int first, int last) {
    return count > 0 && address <= last && address + count - 1 >= first;
}

void put(RegisterMap *map, int address, uint16_t value) {
    const long i = register_index(map->start_input_registers, map->nb_input_registers, address);
    if (i >= 0) map->tab_input_registers[i] = value;
}

void on_status_timer(void *, SoftTimerEvent event) {
    if (event != SOFT_TIMER_EXPIRED) return;
    char line[768];
    health_status_line(line, sizeof line);
    LOG_INFO("%s", line);
}

}  // namespace

const HealthCounterInfo &health_counter_info(HealthCounter c) {
    static const HealthCounterInfo none = {"", ""};
    return c >= 0 && c < HC_COUNT ? kInfo[c] : none;
}

int health_regs_prepare() {
    MappedDevice *gw = find_device_by_unit(kGatewayUnit);
    if (gw == nullptr || gw->registerMap == nullptr) {
        LOG_WARN("no unit 255: the health counters and data ages are not served");
        return -1;
    }
    const RegisterMap *m = gw->registerMap;
    if (register_index(m->start_input_registers, m->nb_input_registers, 1) < 0 ||
        register_index(m->start_input_registers, m->nb_input_registers, HEALTH_TABLE_LAST) < 0) {
        LOG_ERROR("unit 255's input registers do not cover 1-%d: the health counters and data "
                  "ages are not served", HEALTH_TABLE_LAST);
        return -1;
    }
    // The block is the service's own: a description node there would be overwritten.
    for (const DescriptionNode &node : gw->description->nodes) {
        if (node.table != InputRegister) continue;
        const int a = node_table_address(node);
        const int c = node.registerSpec.registerCount;
        if (overlaps(a, c, HEALTH_REG_FIRST, HEALTH_REG_LAST) ||
            overlaps(a, c, HEALTH_AGE_BASE + HEALTH_AGE_FIRST_UNIT, HEALTH_TABLE_LAST))
            LOG_WARN("unit 255's node %s (input register %d) lies in the health block: the "
                     "block's values are served there", node.identifier.c_str(), a);
    }
    return 0;
}

bool health_regs_wanted(const MbRequest &request) {
    if (request.unitId != kGatewayUnit || request.function != 4) return false;
    const int a = request.registerAddress;
    const int n = request.quantity;
    return overlaps(a, n, HEALTH_REG_FIRST, HEALTH_REG_LAST) ||
           overlaps(a, n, HEALTH_AGE_BASE + HEALTH_AGE_FIRST_UNIT, HEALTH_TABLE_LAST);
}

void health_regs_refresh(RegisterMap *map, int address, int count) {
    if (map == nullptr || map->tab_input_registers == nullptr) return;
    if (overlaps(address, count, HEALTH_REG_FIRST, HEALTH_REG_LAST)) {
        uint32_t v[HC_COUNT];
        health_snapshot(v);
        for (int c = 0; c < HC_COUNT; ++c) {
            const int at = health_register((HealthCounter)c);
            put(map, at, (uint16_t)(v[c] >> 16));
            put(map, at + 1, (uint16_t)(v[c] & 0xFFFF));
        }
    }
    const int firstAge = HEALTH_AGE_BASE + HEALTH_AGE_FIRST_UNIT;
    if (overlaps(address, count, firstAge, HEALTH_TABLE_LAST)) {
        const int from = address > firstAge ? address : firstAge;
        const int to = address + count - 1 < HEALTH_TABLE_LAST ? address + count - 1
                                                               : HEALTH_TABLE_LAST;
        for (int a = from; a <= to; ++a) put(map, a, health_unit_age(a - HEALTH_AGE_BASE));
    }
}

int health_status_line(char *buf, size_t cap) {
    if (cap == 0) return 0;
    uint32_t v[HC_COUNT];
    health_snapshot(v);
    int len = snprintf(buf, cap, "status:");
    for (int c = 0; c < HC_COUNT && len >= 0 && (size_t)len < cap; ++c)
        len += snprintf(buf + len, cap - (size_t)len, " %s=%u", kInfo[c].name, v[c]);
    if (len < 0) len = 0;
    return (size_t)len < cap ? len : (int)cap - 1;
}

void health_status_timer_start() {
    soft_timer_start(&g_statusTimer, nullptr, HEALTH_STATUS_PERIOD_MS, on_status_timer);
}
