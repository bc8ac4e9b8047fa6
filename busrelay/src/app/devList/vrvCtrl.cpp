#include "vrvCtrl.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "logger.h"

const char *const VrvModeWords[VRV_MODE_WORD_COUNT] = {"unkonwn", "cold", "heat",
                                                       "wind",    "dry",  "auto"};
const char *const VrvSpeedWords[VRV_SPEED_WORD_COUNT] = {
    "unkonwn", "low",    "middle", "high",   "auto",   "gear-1",
    "gear-2",  "gear-3", "gear-4", "gear-5", "gear-6", "gear-7"};

namespace {

constexpr const char *kVrvProduct = "vrvcontrolC";

bool uint_member(const Json::Value &obj, const char *key, uint32_t &out) {
    if (!obj.isMember(key) || !obj[key].isUInt()) return false;
    out = obj[key].asUInt();
    return true;
}

int word_index(const std::string &text, const char *const *words, int count) {
    for (int i = 0; i < count; ++i)
        if (text == words[i]) return i;
    return -1;
}

// Slot position p (0, 10, 20, ...) whose input entries p and p+1 hold the
// indoor unit's two addresses, or -1. Bounded by the table actually there,
// whatever the description says about slots.
long find_slot_position(const RegisterMap *map, uint16_t indoor, uint16_t outdoor) {
    if (!map || !map->tab_input_registers) return -1;
    const long count = static_cast<long>(map->nb_input_registers);
    for (long p = 0; p + 1 < count; p += 10)
        if (map->tab_input_registers[p] == indoor && map->tab_input_registers[p + 1] == outdoor)
            return p;
    return -1;
}

// Truncation to unsigned of value x 10, low 16 bits; negative gives 0.
uint16_t temperature_register(double value) {
    double x = value * 10.0;
    if (!(x > 0)) return 0;
    if (x >= 4294967295.0) return 0xFFFF;
    return static_cast<uint16_t>(static_cast<uint32_t>(x) & 0xFFFF);
}

}  // namespace

int load_vrv_config(const char *path) {
    Json::Value root;
    int rc = read_json_file(path, root);
    if (rc == -1) {
        LOG_ERROR("open %s failed", path);
        return -1;
    }
    if (rc < 0) {
        LOG_ERROR("parse %s failed", path);
        return -1;
    }
    if (!root.isObject()) {
        LOG_ERROR("%s is not a JSON object", path);
        return -1;
    }
    for (const std::string &name : root.getMemberNames()) {
        const Json::Value &slots = root[name];
        if (!slots.isArray()) continue;
        printf("%s\n", name.c_str());
        fflush(stdout);
        char key[9] = {0};
        if (sscanf(name.c_str(), "vrvC_%8s", key) != 1) {
            LOG_WARN("wrong vrvC cfg node %s", name.c_str());
            continue;
        }
        const MappedDevice *dev = find_device_by_key(key);
        if (!dev) {
            LOG_WARN("%s not in dev id map", key);
            continue;
        }
        if (!dev->description || dev->description->productKey != kVrvProduct) {
            LOG_WARN("%s not vrcCtrl", key);
            continue;
        }
        for (const Json::Value &e : slots) {
            uint32_t index, indoor, outdoor;
            if (!e.isObject() || !uint_member(e, "slave_index", index) ||
                !uint_member(e, "slave_addr", indoor) ||
                !uint_member(e, "slave_outdoor_addr", outdoor))
                continue;
            unsigned slot = index & 0xFF;
            if (slot >= VRV_SLOT_COUNT || !dev->registerMap) continue;
            set_input_reg(dev->registerMap, static_cast<uint16_t>(10 * slot + 1),
                          static_cast<uint16_t>(indoor & 0xFFFF));
            set_input_reg(dev->registerMap, static_cast<uint16_t>(10 * slot + 2),
                          static_cast<uint16_t>(outdoor & 0xFFFF));
        }
    }
    return 0;
}

int apply_vrv_report(const Json::Value &report, const MappedDevice *device,
                     VrvOnlineSetter setOnline, int *valuesStored) {
    if (!report.isObject() || !device) return -1;
    const Json::Value &stats = report.isMember("statistics") ? report["statistics"] : Json::Value::nullSingleton();
    uint32_t failed;
    if (stats.isObject() && uint_member(stats, "timesOfContinuousFailed", failed)) {
        int n = static_cast<int>(failed);
        if (setOnline && n > 3) setOnline(device->unitId, 0);
        else if (setOnline && n == 0) setOnline(device->unitId, 1);
    }
    if (!report.isMember("function") || !report["function"].isObject()) return -1;
    const Json::Value &function = report["function"];
    if (!function.isMember("slave_status") || !function["slave_status"].isArray()) return -1;

    RegisterMap *map = device->registerMap;
    int result = -1;
    for (const Json::Value &e : function["slave_status"]) {
        if (!e.isObject()) continue;
        uint32_t indoorValue, outdoorValue;
        if (!uint_member(e, "slave_addr", indoorValue) ||
            !uint_member(e, "slave_outdoor_addr", outdoorValue)) {
            LOG_WARN("not find slave_addr+slave_outdoor_addr for vrvC json");
            continue;
        }
        uint16_t indoor = static_cast<uint16_t>(indoorValue & 0xFFFF);
        uint16_t outdoor = static_cast<uint16_t>(outdoorValue & 0xFFFF);
        long p = find_slot_position(map, indoor, outdoor);
        if (p < 0) {
            LOG_INFO("no vrv dot for %d+%d", outdoor, indoor);
            continue;
        }
        LOG_INFO("find vrv dot index %ld for %d+%d", p, outdoor, indoor);
        const unsigned base = 10 * static_cast<unsigned>(p / 10);
        auto in = [&](unsigned offset, uint16_t v) {
            set_input_reg(map, static_cast<uint16_t>(base + offset), v);
            result = 0;
            if (valuesStored) ++*valuesStored;
        };
        auto hold = [&](unsigned offset, uint16_t v) {
            set_hold_reg(map, static_cast<uint16_t>(base + offset), v);
            result = 0;
            if (valuesStored) ++*valuesStored;
        };
        uint32_t u;
        if (uint_member(e, "exist", u)) in(3, static_cast<uint16_t>(u & 0xFFFF));
        if (uint_member(e, "online", u)) in(4, static_cast<uint16_t>(u & 0xFFFF));
        if (uint_member(e, "error", u)) in(5, static_cast<uint16_t>(u & 0xFFFF));
        if (e.isMember("return_air_temperature") && e["return_air_temperature"].isNumeric())
            in(6, temperature_register(e["return_air_temperature"].asDouble()));
        if (e.isMember("slave_mode") && e["slave_mode"].isString()) {
            std::string text = e["slave_mode"].asString();
            int i = word_index(text, VrvModeWords, VRV_MODE_WORD_COUNT);
            if (i < 0) {
                LOG_WARN("unsupport mode %s for vrv", text.c_str());
                i = 0;
            }
            hold(1, static_cast<uint16_t>(i));
        }
        if (e.isMember("slave_switch") && e["slave_switch"].isBool())
            hold(2, e["slave_switch"].asBool() ? 1 : 0);
        if (e.isMember("slave_speed") && e["slave_speed"].isString()) {
            std::string text = e["slave_speed"].asString();
            int i = word_index(text, VrvSpeedWords, VRV_SPEED_WORD_COUNT);
            if (i < 0) {
                LOG_WARN("unsupport speed %s for vrv", text.c_str());
                i = 0;
            }
            hold(3, static_cast<uint16_t>(i));
        }
        if (uint_member(e, "slave_temperature", u)) {
            int t = static_cast<int>(u & 0xFFFF);
            if (t < 16 || t > 30) LOG_WARN(" slave_temperature %d out range[16~30], no care!", t);
            hold(4, static_cast<uint16_t>(t));
        }
    }
    return result;
}
