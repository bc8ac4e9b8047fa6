#include "devList.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "health.h"
#include "logger.h"

namespace {

std::vector<MappedDevice *> g_devices;

void register_device(int unitId, const std::string &key, const std::string &sntype,
                     const DeviceDescription *d, bool isRtu) {
    MappedDevice *dev = new MappedDevice();
    dev->unitId = unitId;
    dev->deviceKey = key;
    dev->sntype = sntype;
    dev->description = d;
    dev->isRtu = isRtu;
    // Modbus addresses are 16-bit: a larger table could never be reached, and a
    // size above 2^31 in a description would read as negative.
    auto n = [](int32_t v) { return v < 0 ? 0u : v > 65536 ? 65536u : static_cast<unsigned>(v); };
    auto s = [](int32_t v) { return static_cast<unsigned>(v); };
    errno = 0;
    dev->registerMap = register_map_new(s(d->start_bits), n(d->nb_bits), s(d->start_input_bits),
                                        n(d->nb_input_bits), s(d->start_registers),
                                        n(d->nb_registers), s(d->start_input_registers),
                                        n(d->nb_input_registers));
    if (!dev->registerMap) fprintf(stderr, "Error: mapping %s\n", strerror(errno));
    // The gateway unit also serves the service's health block and the data
    // ages in its input registers, whatever its description's table says.
    if (dev->registerMap && unitId == 255 &&
        register_map_cover_input_registers(dev->registerMap, 1, HEALTH_TABLE_LAST) != 0)
        LOG_ERROR("unit 255's input registers cannot be widened to 1-%d", HEALTH_TABLE_LAST);
    g_devices.push_back(dev);
}

bool is_string(const Json::Value &obj, const char *key) {
    return obj.isMember(key) && obj[key].isString();
}

}  // namespace

int load_address_map(const char *path) {
    Json::Value root;
    int rc = read_json_file(path, root);
    if (rc == -1) {
        LOG_ERROR("open %s failed", path);
        return -1;
    }
    if (rc < 0) return 0;
    if (!root.isObject()) {
        LOG_ERROR("%s is not a JSON object", path);
        return 0;
    }
    if (!root.isMember("nodes") || !root["nodes"].isArray()) {
        LOG_ERROR("wrong devMap fmt");
        return 0;
    }
    for (const Json::Value &n : root["nodes"]) {
        if (!n.isObject()) continue;
        bool hasUnit = n.isMember("mb_id") && n["mb_id"].isInt();
        if (hasUnit && is_string(n, "mqtt_dk") && is_string(n, "sntype")) {
            int unit = n["mb_id"].asInt();
            std::string key = n["mqtt_dk"].asString();
            std::string sntype = n["sntype"].asString();
            const DeviceDescription *d = find_description(sntype);
            if (!d) {
                LOG_WARN("find %d %s %s, not support yet", unit, key.c_str(), sntype.c_str());
                continue;
            }
            LOG_DEBUG("find %d %s %s %p", unit, key.c_str(), sntype.c_str(),
                      static_cast<const void *>(d));
            register_device(unit, key, sntype, d, false);
        } else if (hasUnit && is_string(n, "rtutype")) {
            int unit = n["mb_id"].asInt();
            std::string rtutype = n["rtutype"].asString();
            const DeviceDescription *d = find_description(rtutype);
            if (!d) {
                LOG_WARN("find %d %s, rtu node, not support yet", unit, rtutype.c_str());
                continue;
            }
            LOG_DEBUG("find %d %s , rtu node, %p", unit, rtutype.c_str(),
                      static_cast<const void *>(d));
            register_device(unit, "standardRtu", rtutype, d, true);
        } else {
            LOG_ERROR("wrong node");
        }
    }
    return 0;
}

MappedDevice *find_device_by_unit(int unitId) {
    for (MappedDevice *d : g_devices)
        if (d->unitId == unitId) return d;
    return nullptr;
}

MappedDevice *find_device_by_key(const std::string &deviceKey) {
    for (MappedDevice *d : g_devices)
        if (d->deviceKey == deviceKey) return d;
    return nullptr;
}

int add_device(int unitId, const std::string &deviceKey, const std::string &sntype) {
    const DeviceDescription *d = find_description(sntype);
    if (!d) {
        LOG_WARN("add %d %s %sfailed, sntype not supported", unitId, deviceKey.c_str(),
                 sntype.c_str());
        return -1;
    }
    register_device(unitId, deviceKey, sntype, d, false);
    return 0;
}

void remove_device(int unitId) {
    auto out = g_devices.begin();
    for (MappedDevice *d : g_devices) {
        if (d->unitId == unitId) {
            register_map_free(d->registerMap);
            delete d;
        } else {
            *out++ = d;
        }
    }
    g_devices.erase(out, g_devices.end());
}

void clear_devices() {
    for (MappedDevice *d : g_devices) {
        register_map_free(d->registerMap);
        delete d;
    }
    g_devices.clear();
}

const std::vector<MappedDevice *> &device_list() { return g_devices; }
