#include "valueConv.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "logger.h"
#include "utils_misc.h"

namespace {

constexpr const char *kVrvProduct = "vrvcontrolC";
constexpr int kVrvMaxSlot = 127;

bool is_vrv(const MappedDevice *device) {
    return device && device->description && device->description->productKey == kVrvProduct;
}

bool is_bit_table(RegisterTable t) { return t == Coil || t == DiscreteInput; }

int store_bit(RegisterMap *map, RegisterTable table, uint16_t address, bool on) {
    switch (table) {
    case Coil: return set_coil(map, address, on ? 1 : 0);
    case DiscreteInput: return set_input_status(map, address, on ? 1 : 0);
    case HoldingRegister: return set_hold_reg(map, address, on ? 1 : 0);
    default: return set_input_reg(map, address, on ? 1 : 0);
    }
}

// Only for the two register tables.
int store_reg(RegisterMap *map, RegisterTable table, uint16_t address, uint16_t value) {
    return table == HoldingRegister ? set_hold_reg(map, address, value)
                                    : set_input_reg(map, address, value);
}

// Truncation toward zero, saturating at the 32-bit limits (NaN gives 0).
int32_t to_int32(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}

int unsupported(const DescriptionNode *node) {
    LOG_WARN("not support convert %s to modbus value", node->identifier.c_str());
    return -1;
}

int number_to_registers(double value, const DescriptionNode *node, RegisterMap *map) {
    const DataModelSpec &dm = node->dataModel;
    const uint16_t addr = node_table_address(*node);
    double x = value * static_cast<double>(node->scaling);
    if (x > dm.max || x < dm.min) {
        LOG_WARN("%.4f out rang [%.4f, %.4f] for %s, use border!", x, dm.min, dm.max,
                 node->identifier.c_str());
        if (x > dm.max) x = dm.max;
        if (x < dm.min) x = dm.min;
    }
    switch (node->registerSpec.type) {
    case RT_Bool:
        return store_bit(map, node->table, addr, x != 0);
    case RT_Signal:
    case RT_Uint16:
    case RT_Int16:
        if (is_bit_table(node->table)) return unsupported(node);
        return store_reg(map, node->table, addr, static_cast<uint16_t>(to_int32(x) & 0xFFFF));
    case RT_Uint32:
    case RT_Int32: {
        if (is_bit_table(node->table)) return unsupported(node);
        uint32_t v = static_cast<uint32_t>(to_int32(x));
        if (store_reg(map, node->table, addr, static_cast<uint16_t>(v >> 16)) != 0) return -1;
        return store_reg(map, node->table, static_cast<uint16_t>(addr + 1),
                         static_cast<uint16_t>(v & 0xFFFF));
    }
    default:
        return unsupported(node);
    }
}

// Date ("%d-%d-%d") and Time ("%d:%d:%d") share their layout: two registers,
// (a * 256 + b) and (c * 256), each modulo 65536.
int stamp_to_registers(const std::string &text, const DescriptionNode *node, RegisterMap *map,
                       bool isDate) {
    const char *id = node->identifier.c_str();
    if (is_bit_table(node->table)) return unsupported(node);
    if (static_cast<long>(text.size()) < node->dataModel.textLength) {
        LOG_WARN("string too short for %s", id);
        return -1;
    }
    long a = 0, b = 0, c = 0;
    if (sscanf(text.c_str(), isDate ? "%ld-%ld-%ld" : "%ld:%ld:%ld", &a, &b, &c) < 3) {
        if (isDate) LOG_WARN("wrong to date string for %s", id);
        else LOG_WARN("wrong to time string for %s", id);
        return -1;
    }
    if (isDate) LOG_INFO("get date %ld-%ld-%ld", a, b, c);
    else LOG_INFO("get time %ld:%ld:%ld", a, b, c);
    const uint16_t addr = node_table_address(*node);
    uint16_t r0 = static_cast<uint16_t>((static_cast<unsigned long>(a) * 256u +
                                         static_cast<unsigned long>(b)) & 0xFFFF);
    uint16_t r1 = static_cast<uint16_t>((static_cast<unsigned long>(c) * 256u) & 0xFFFF);
    store_reg(map, node->table, addr, r0);
    store_reg(map, node->table, static_cast<uint16_t>(addr + 1), r1);
    return 0;
}

int text_to_registers(const std::string &text, const DescriptionNode *node, RegisterMap *map) {
    const DataModelSpec &dm = node->dataModel;
    const uint16_t addr = node_table_address(*node);
    switch (node->registerSpec.type) {
    case RT_Enum:
        if (is_bit_table(node->table)) return unsupported(node);
        for (int i = 0; i < dm.enumCount && i < static_cast<int>(dm.enumNames.size()); ++i)
            if (dm.enumNames[i] == text)
                return store_reg(map, node->table, addr, static_cast<uint16_t>(i));
        return unsupported(node);
    case RT_String: {
        // Never past the node's own registers: a text length larger than the
        // register count would overwrite the neighbouring data points.
        long limit = node->dataModel.textLength;
        long regBytes = 2L * node->registerSpec.registerCount;
        long n = static_cast<long>(text.size());
        if (n > limit || n > regBytes) {
            LOG_WARN("string too long for %s", node->identifier.c_str());
            n = limit < regBytes ? limit : regBytes;
        }
        if (is_bit_table(node->table)) return 0;
        const unsigned char *s = reinterpret_cast<const unsigned char *>(text.data());
        for (long m = 0; m < n; m += 2) {
            uint16_t v = static_cast<uint16_t>(s[m] << 8);
            if (m + 1 < n) v = static_cast<uint16_t>(v | s[m + 1]);
            store_reg(map, node->table, static_cast<uint16_t>(addr + m / 2), v);
        }
        return 0;
    }
    case RT_Date:
        return stamp_to_registers(text, node, map, true);
    case RT_Time:
        return stamp_to_registers(text, node, map, false);
    default:
        return unsupported(node);
    }
}

int write_number(Json::Value &target, const DescriptionNode *node, const char *key, double v,
                 int32_t raw) {
    const DataModelSpec &dm = node->dataModel;
    if (v > dm.max || v < dm.min) {
        LOG_WARN("invalid value%.4f to write %s, range[%.4f, %.4f]", v,
                 node->identifier.c_str(), dm.min, dm.max);
        return 3;
    }
    if (node->scaling == 1) {
        target[key] = Json::Value(static_cast<Json::Int>(raw));
    } else if (node->scaling == 0) {
        LOG_WARN("scaling 0 for %s, cannot convert a write", node->identifier.c_str());
        return 4;
    } else {
        target[key] = Json::Value(v / static_cast<double>(node->scaling));
    }
    return 0;
}

int read_placeholder(const MappedDevice *device, Json::Value &target, const DescriptionNode *node,
                     const char *key) {
    switch (node->dataModel.type) {
    case DM_Bool:
        target[key] = true;
        return 0;
    case DM_Double:
        if (is_vrv(device) && node->table == InputRegister &&
            (node->identifier.find("slave_addr") != std::string::npos ||
             node->identifier.find("slave_outdoor_addr") != std::string::npos)) {
            // The indoor unit's address, as loaded from vrvC.json.
            const RegisterMap *map = device->registerMap;
            long pos = static_cast<long>(node->registerAddress) - 30001;
            if (!map || !map->tab_input_registers || pos < 0 ||
                pos >= static_cast<long>(map->nb_input_registers)) {
                LOG_WARN("%s reaches past the input table", node->identifier.c_str());
                return 4;
            }
            target[key] = Json::Value(static_cast<Json::UInt>(map->tab_input_registers[pos]));
            return 0;
        }
        target[key] = 0;
        return 0;
    case DM_Enum:
    case DM_Text:
        target[key] = "nocare";
        return 0;
    default:
        return 4;
    }
}

bool enough_data(const DescriptionNode *node, const uint8_t *data, int length, int need) {
    if (data && length >= need) return true;
    LOG_WARN("no enough data to write %s, need %d bytes", node->identifier.c_str(), need);
    return false;
}

}  // namespace

int value_to_registers(const Json::Value &value, const DescriptionNode *node, RegisterMap *map) {
    if (!node || !map) return -1;
    const char *id = node->identifier.c_str();
    if (value.isBool()) {
        if (node->dataModel.type != DM_Bool) {
            LOG_WARN("%s not bool type", id);
            return -1;
        }
        return store_bit(map, node->table, node_table_address(*node), value.asBool());
    }
    if (value.isNumeric()) {
        if (node->dataModel.type != DM_Double) {
            LOG_WARN("%s not double type", id);
            return -1;
        }
        return number_to_registers(value.asDouble(), node, map);
    }
    if (value.isString()) {
        if (node->dataModel.type != DM_Enum && node->dataModel.type != DM_Text) {
            LOG_WARN("%s not string type or enum", id);
            return -1;
        }
        return text_to_registers(value.asString(), node, map);
    }
    return unsupported(node);
}

int register_data_to_param(const MappedDevice *device, Json::Value &target,
                           const DescriptionNode *node, const char *key, bool isWrite,
                           const uint8_t *data, int length) {
    if (!node || !key || !target.isObject()) return 4;
    if (!isWrite) return read_placeholder(device, target, node, key);

    const char *id = node->identifier.c_str();
    switch (node->registerSpec.type) {
    case RT_Bool:
        if (!enough_data(node, data, length, 2)) return 4;
        target[key] = data[1] != 0;
        return 0;
    case RT_Enum: {
        if (!enough_data(node, data, length, 2)) return 4;
        int v = data[0] * 256 + data[1];
        const RegisterSpec &rs = node->registerSpec;
        if (v > rs.max || v < rs.min) {
            LOG_WARN("invalid value %d to write %s, rang[%d, %d]", v, id, rs.min, rs.max);
            return 3;
        }
        int idx = v - rs.min;
        if (idx >= node->dataModel.enumCount ||
            idx >= static_cast<int>(node->dataModel.enumNames.size())) {
            LOG_ERROR("WTF!! check your json dec");
            return 4;
        }
        const std::string &name = node->dataModel.enumNames[idx];
        LOG_DEBUG("write enum[%d]=%s\n", v, name.c_str());
        target[key] = name;
        return 0;
    }
    case RT_String: {
        int n = 0;
        while (data && n < length && data[n] != 0) ++n;
        std::string text = n > 0 ? std::string(reinterpret_cast<const char *>(data), n) : "";
        LOG_DEBUG("write msg[%d]=%s\n", length, text.c_str());
        target[key] = text;
        return 0;
    }
    case RT_Date: {
        if (!enough_data(node, data, length, 3)) return 4;
        if (data[0] > 99) {
            LOG_WARN("wrong year!");
            return 3;
        }
        if (data[1] > 12) {
            LOG_WARN("wrong month!");
            return 3;
        }
        if (data[2] > 31) {
            LOG_WARN("wrong day!");
            return 3;
        }
        // The gateway's own form ("2022-09-06", as it reports dates): its
        // answer then carries a text that the report direction accepts.
        char text[16];
        snprintf(text, sizeof text, "20%02d-%02d-%02d", data[0], data[1], data[2]);
        LOG_INFO("to set data to %s", text);
        target[key] = text;
        return 0;
    }
    case RT_Time: {
        if (!enough_data(node, data, length, 3)) return 4;
        if (data[0] >= 24) {
            LOG_WARN("wrong hour!");
            return 3;
        }
        if (data[1] >= 60) {
            LOG_WARN("wrong minute!");
            return 3;
        }
        if (data[2] >= 60) {
            LOG_WARN("wrong second!");
            return 3;
        }
        char text[16];
        snprintf(text, sizeof text, "%02d:%02d:%02d", data[0], data[1], data[2]);
        LOG_INFO("to set time to %s", text);
        target[key] = text;
        return 0;
    }
    case RT_Uint16:
    case RT_Int16: {
        if (!enough_data(node, data, length, 2)) return 4;
        int16_t v = static_cast<int16_t>((data[0] << 8) | data[1]);
        return write_number(target, node, key, v, v);
    }
    case RT_Uint32:
    case RT_Int32: {
        if (!enough_data(node, data, length, 4)) return 4;
        uint32_t u = (static_cast<uint32_t>(data[0]) << 24) | (static_cast<uint32_t>(data[1]) << 16) |
                     (static_cast<uint32_t>(data[2]) << 8) | data[3];
        int32_t v = static_cast<int32_t>(u);
        return write_number(target, node, key, v, v);
    }
    default:  // Signal, Unknown
        return 4;
    }
}

int put_node_param(const MappedDevice *device, Json::Value &root, const DescriptionNode *node,
                   bool isWrite, const uint8_t *data, int length) {
    if (!node) return 4;
    Json::Value *cur = &root;
    Tokenizer path(node->desc, "/");
    while (tok_has_more(path)) {
        std::string name = tok_next(path);
        bool last = !tok_has_more(path);
        if (!cur->isObject()) break;  // reported below
        if (!cur->isMember(name))
            (*cur)[name] = (last && node->isArray) ? Json::Value(Json::arrayValue)
                                                   : Json::Value(Json::objectValue);
        cur = &(*cur)[name];
    }
    // Another node (or the command's own members) may already hold a value
    // of another kind at this path; jsoncpp would throw on it.
    if (node->isArray ? !cur->isArray() : !cur->isObject()) {
        LOG_WARN("path %s of %s clashes with another entry", node->desc.c_str(),
                 node->identifier.c_str());
        return 4;
    }
    if (!node->isArray)
        return register_data_to_param(device, *cur, node, node->identifier.c_str(), isWrite,
                                      data, length);

    Tokenizer parts(node->identifier, "/");
    int count = tok_count(parts);
    if (count != 3) {
        LOG_WARN("wrong identifier for array.%d", count);
        return 4;
    }
    char key[64] = {0}, memberName[64] = {0};
    int index = 0;
    int ret = sscanf(node->identifier.c_str(), "%63[^/]/%d/%63s", key, &index, memberName);
    if (ret < 3) {
        LOG_WARN("wrong identifier for array. ret=%d", ret);
        return 4;
    }
    size_t tail = node->identifier.rfind('/');
    if (node->identifier.size() - tail - 1 != strlen(memberName)) {
        LOG_WARN("member of %s unusable (at most 63 characters, no blanks)",
                 node->identifier.c_str());
        return 4;
    }

    Json::Value &array = *cur;
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        Json::Value &element = array[i];
        if (!element.isObject() || !element.isMember(key)) continue;
        if (!element[key].isInt()) {
            LOG_WARN("WTF! allready has %s, but not interger", key);
            return 4;
        }
        if (element[key].asInt() != index) continue;
        if (element.isMember(memberName)) {
            LOG_WARN("WTF! allready has %s for %s%d", memberName, key, index);
            return 4;
        }
        return register_data_to_param(device, element, node, memberName, isWrite, data, length);
    }

    Json::Value element(Json::objectValue);
    element[key] = index;
    if (strncmp(key, "slave_index", 11) == 0 && node->table == HoldingRegister &&
        is_vrv(device)) {
        if (index > kVrvMaxSlot) {
            LOG_WARN("slave index large than %d", kVrvMaxSlot);
            return 4;
        }
        // The slot's two addresses sit at positions 10i and 10i+1 of the
        // input table; a short or missing table must not be read past.
        const RegisterMap *map = device->registerMap;
        long pos = 10L * index;
        if (index < 0 || !map || !map->tab_input_registers ||
            pos + 1 >= static_cast<long>(map->nb_input_registers)) {
            LOG_WARN("slave index %d outside the input table of %s", index,
                     device->deviceKey.c_str());
            return 4;
        }
        element["slave_addr"] = Json::Value(static_cast<Json::UInt>(map->tab_input_registers[pos]));
        element["slave_outdoor_addr"] =
            Json::Value(static_cast<Json::UInt>(map->tab_input_registers[pos + 1]));
    }
    int rc = register_data_to_param(device, element, node, memberName, isWrite, data, length);
    if (rc == 0) array.append(std::move(element));
    return rc;
}
