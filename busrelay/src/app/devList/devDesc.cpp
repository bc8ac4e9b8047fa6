#include "devDesc.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>

#include "logger.h"

namespace {

std::vector<DeviceDescription *> g_descriptions;

// Member of an object, or null (also when `obj` is no object: jsoncpp would
// throw on a member access of another type).
const Json::Value *member(const Json::Value &obj, const char *key) {
    if (!obj.isObject()) return nullptr;
    return obj.find(key, key + strlen(key));
}

const char *const kDataModelWords[] = {"bool", "enum", "text", "double"};
const char *const kRegisterWords[] = {"bool",   "enum",  "string", "date",   "time",
                                      "signal", "uint16", "int16", "uint32", "int32"};

void parse_data_model(const Json::Value &obj, DataModelSpec &dm) {
    dm.type = DM_Unknown;
    const Json::Value *type = member(obj, "type");
    int word = -1;
    if (type && type->isString()) {
        for (int i = 0; i < 4; ++i)
            if (type->asString() == kDataModelWords[i]) {
                word = i;
                break;
            }
    }
    if (word < 0) {
        LOG_ERROR("get data model type error");
        return;
    }
    if (word == DM_Bool) {
        dm.type = DM_Bool;
        return;
    }
    const Json::Value *specs = member(obj, "specs");
    if (!specs) {
        LOG_WARN("get data model specs failed");
        return;
    }
    switch (word) {
    case DM_Enum: {
        if (!specs->isArray()) {
            LOG_ERROR("data model specs not array for enum");
            return;
        }
        for (const Json::Value &e : *specs) {
            if (!e.isString()) continue;
            if (dm.enumNames.size() >= MAX_ENUM_NAMES) {
                LOG_ERROR("too many enum");
                dm.enumNames.clear();  // not an enum: nothing for copies to carry
                return;
            }
            dm.enumNames.push_back(e.asString());
        }
        dm.enumCount = static_cast<int32_t>(dm.enumNames.size());
        dm.type = DM_Enum;
        return;
    }
    case DM_Text: {
        if (!specs->isObject()) {
            LOG_ERROR("get data model specs error");
            return;
        }
        const Json::Value *len = member(*specs, "length");
        if (!len || !len->isInt()) {
            LOG_ERROR("get data model specs string len failed");
            return;
        }
        dm.textLength = len->asInt();
        dm.type = DM_Text;
        return;
    }
    default: {  // double
        if (!specs->isObject()) {
            LOG_ERROR("get data model specs error");
            return;
        }
        const Json::Value *v = member(*specs, "min");
        if (!v || !v->isNumeric()) {
            LOG_ERROR("get data model specs min failed");
            return;
        }
        dm.min = v->asDouble();
        v = member(*specs, "max");
        if (!v || !v->isNumeric()) {
            LOG_ERROR("get data model specs max failed");
            return;
        }
        dm.max = v->asDouble();
        v = member(*specs, "step");
        if (!v || !v->isNumeric()) {
            LOG_ERROR("get data model specs step failed");
            return;
        }
        dm.step = v->asDouble();
        dm.type = DM_Double;
        return;
    }
    }
}

void parse_register_spec(const Json::Value &obj, RegisterSpec &rs) {
    rs.type = RT_Unknown;
    const Json::Value *type = member(obj, "type");
    int word = -1;
    if (type && type->isString()) {
        for (int i = 0; i < 10; ++i)
            if (type->asString() == kRegisterWords[i]) {
                word = i;
                break;
            }
    }
    if (word < 0) {
        LOG_ERROR("get modbus model type error");
        return;
    }
    const Json::Value *specs = member(obj, "specs");
    if (!specs || !specs->isObject()) {
        LOG_ERROR("get modbus model specs failed");
        return;
    }
    const Json::Value *v = member(*specs, "registerCount");
    if (!v || !v->isInt()) {
        LOG_ERROR("get modbus model regCnt failed");
        return;
    }
    rs.registerCount = v->asInt();
    v = member(*specs, "reverseRegister");
    if (!v || !v->isInt()) {
        LOG_ERROR("get modbus model reverseRegister failed");
        return;
    }
    rs.reverseRegister = v->asInt() != 0;
    v = member(*specs, "swap16");
    if (!v || !v->isInt()) {
        LOG_ERROR("get modbus model swap16 failed");
        return;
    }
    rs.swap16 = v->asInt() != 0;
    if (word == RT_Enum) {
        static const char *const keys[] = {"min", "max", "step"};
        static const char *const errors[] = {"get modbus model specs min failed",
                                             "get modbus model specs max failed",
                                             "get modbus model specs step failed"};
        uint16_t *fields[] = {&rs.min, &rs.max, &rs.step};
        for (int i = 0; i < 3; ++i) {
            v = member(*specs, keys[i]);
            if (!v || !v->isInt()) {
                LOG_ERROR("%s", errors[i]);
                return;
            }
            *fields[i] = static_cast<uint16_t>(v->asInt());
        }
    }
    rs.type = static_cast<RegisterType>(word);
}

// A multi-register identifier becomes a printf format with the index as its
// one argument. Only "%%" and one plain integer conversion ("%d", "%03d") are
// allowed, so a description can neither inject other conversions nor read
// arguments that are not there.
bool valid_multi_pattern(const std::string &id) {
    int conversions = 0;
    for (size_t i = 0; i < id.size(); ++i) {
        if (id[i] == '\0') return false;
        if (id[i] != '%') continue;
        ++i;
        if (i < id.size() && id[i] == '%') continue;
        while (i < id.size() && (id[i] == '0' || id[i] == '-')) ++i;
        int widthDigits = 0;
        while (i < id.size() && id[i] >= '0' && id[i] <= '9' && widthDigits < 3) {
            ++i;
            ++widthDigits;
        }
        if (widthDigits > 2 || i >= id.size()) return false;
        if (id[i] != 'd' && id[i] != 'i' && id[i] != 'u') return false;
        if (++conversions > 1) return false;
    }
    return true;
}

bool table_from_word(const std::string &word, RegisterTable &table) {
    if (word == "coilStatus") table = Coil;
    else if (word == "inputStatus") table = DiscreteInput;
    else if (word == "holdingRegister") table = HoldingRegister;
    else if (word == "inputRegister") table = InputRegister;
    else return false;
    return true;
}

// Reads one "nodes" element and appends its node(s). False when refused.
bool parse_node(const char *path, int index, const Json::Value &obj,
                std::vector<DescriptionNode> &out) {
    DescriptionNode node;
    const Json::Value *v = member(obj, "identifier");
    if (!v || !v->isString()) {
        LOG_ERROR("%s, node%d has no identifier", path, index);
        return false;
    }
    node.identifier = v->asString();
    v = member(obj, "accessMode");
    if (v && v->isString()) {
        if (v->asString() == "rw") node.access = ReadWrite;
        else if (v->asString() == "w") node.access = WriteOnly;
    }
    v = member(obj, "desc");
    if (v && v->isString()) node.desc = v->asString();
    v = member(obj, "collection");
    if (v && v->isBool()) node.isArray = v->asBool();

    v = member(obj, "dataType");
    if (!v || !v->isObject()) {
        LOG_ERROR("%s, node%d has no dataType", path, index);
        return false;
    }
    parse_data_model(*v, node.dataModel);
    if (node.dataModel.type == DM_Unknown) return false;

    v = member(obj, "originalDataType");
    if (!v || !v->isObject()) {
        LOG_ERROR("%s, node%d has no originalDataType", path, index);
        return false;
    }
    parse_register_spec(*v, node.registerSpec);

    v = member(obj, "registerAddress");
    if (!v || !v->isUInt()) {
        LOG_ERROR("%s, node%d has no registerAddress", path, index);
        return false;
    }
    node.registerAddress = static_cast<uint16_t>(v->asUInt() & 0xFFFF);
    v = member(obj, "scaling");
    if (v && v->isUInt()) node.scaling = static_cast<int32_t>(v->asUInt());

    v = member(obj, "operateType");
    if (!v || !v->isString()) {
        LOG_ERROR("%s, node%d has no operateType", path, index);
        return false;
    }
    if (!table_from_word(v->asString(), node.table)) {
        LOG_ERROR("%s, node%d wrong operateType %s", path, index, v->asCString());
        return false;
    }

    const Json::Value *isMulti = member(obj, "isMultiReg");
    const Json::Value *step = member(obj, "multiRegStep");
    const Json::Value *nums = member(obj, "multiRegNums");
    bool multi = isMulti && isMulti->isBool() && step && step->isUInt() && nums &&
                 nums->isUInt() && isMulti->asBool();
    uint32_t count = multi ? nums->asUInt() : 0;
    uint32_t stepValue = multi ? step->asUInt() : 0;

    std::vector<std::string> names;
    if (multi) {
        if (!valid_multi_pattern(node.identifier)) {
            LOG_ERROR("%s, node%d identifier %s is not a multi-register pattern", path, index,
                      node.identifier.c_str());
            return false;
        }
        if (count > MAX_MULTI_REG_NUMS) {
            LOG_ERROR("%s, node%d multiRegNums %u exceeds %u", path, index, count,
                      MAX_MULTI_REG_NUMS);
            return false;
        }
        names.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            char buf[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            int n = snprintf(buf, sizeof buf, node.identifier.c_str(), static_cast<int>(i));
#pragma GCC diagnostic pop
            if (n < 0 || n >= static_cast<int>(sizeof buf)) {
                LOG_ERROR("%s, node%d identifier %s longer than %d when expanded", path, index,
                          node.identifier.c_str(), static_cast<int>(sizeof buf) - 1);
                return false;
            }
            names.emplace_back(buf, n);
        }
    }

    printf("%s rw=%d, desc=%s, isArray=%s, ops=%d, reg=%d, scall=%d\n",
           node.identifier.c_str(), node.access, node.desc.c_str(),
           node.isArray ? "true" : "false", node.table, node.registerAddress, node.scaling);
    if (multi) {
        printf("        multi  to %d by step %d\n", static_cast<int>(count),
               static_cast<int>(stepValue));
        const uint16_t base = node.registerAddress;
        // Up to 65536 copies of a node with its enum names: grow once.
        out.reserve(out.size() + count);
        for (uint32_t i = 0; i < count; ++i) {
            out.push_back(node);
            out.back().identifier = std::move(names[i]);
            out.back().registerAddress = static_cast<uint16_t>((base + i * stepValue) & 0xFFFF);
        }
    } else {
        out.push_back(std::move(node));
    }
    return true;
}

int32_t uint_or_zero(const Json::Value &obj, const char *key) {
    const Json::Value *v = member(obj, key);
    return v && v->isUInt() ? static_cast<int32_t>(v->asUInt()) : 0;
}

}  // namespace

int read_json_file(const char *path, Json::Value &root) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return -1;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::string errors;
    try {
        if (!Json::parseFromStream(builder, in, &root, &errors)) return -2;
    } catch (const std::exception &) {
        // jsoncpp throws past its nesting limit: a broken file, not a crash
        // at start-up.
        return -2;
    }
    return 0;
}

DeviceDescription *load_description(const char *path) {
    Json::Value root;
    int rc = read_json_file(path, root);
    if (rc == -1) {
        LOG_ERROR("open %s failed", path);
        return nullptr;
    }
    if (rc < 0) {
        LOG_ERROR("parse %s failed", path);
        return nullptr;
    }
    if (!root.isObject()) {
        LOG_ERROR("%s is not a JSON object", path);
        return nullptr;
    }
    const Json::Value *nodes = member(root, "nodes");
    if (!nodes || !nodes->isArray()) {
        LOG_ERROR("wrong devMap fmt");
        return nullptr;
    }
    std::vector<DescriptionNode> parsed;
    bool accepted = false;
    for (Json::ArrayIndex i = 0; i < nodes->size(); ++i) {
        const Json::Value &obj = (*nodes)[i];
        if (!obj.isObject()) continue;
        // A refused node appends nothing.
        if (parse_node(path, static_cast<int>(i), obj, parsed)) accepted = true;
    }
    if (!accepted) {
        LOG_ERROR(" no nodes for dev describe");
        return nullptr;
    }
    std::unique_ptr<DeviceDescription> d(new DeviceDescription());
    d->nodes = std::move(parsed);
    const Json::Value *profile = member(root, "profile");
    if (!profile || !profile->isObject()) {
        LOG_ERROR("parse %s profile failed\n", path);
        return nullptr;
    }
    const Json::Value *v = member(*profile, "productKey");
    if (v && v->isString()) d->productKey = v->asString();
    v = member(*profile, "snType");
    if (!v || !v->isArray()) {
        LOG_ERROR("parse %s snType failed\n", path);
        return nullptr;
    }
    for (const Json::Value &e : *v) {
        if (!e.isString()) continue;
        printf("%s\n", e.asCString());
        d->snTypes.push_back(e.asString());
    }
    const Json::Value *mb = member(root, "mb_map");
    if (!mb || !mb->isObject()) {
        LOG_ERROR("parse %s mb_map failed", path);
        return nullptr;
    }
    d->nb_bits = uint_or_zero(*mb, "nb_bits");
    d->start_bits = uint_or_zero(*mb, "start_bits");
    d->nb_input_bits = uint_or_zero(*mb, "nb_input_bits");
    d->start_input_bits = uint_or_zero(*mb, "start_input_bits");
    d->nb_input_registers = uint_or_zero(*mb, "nb_input_registers");
    d->start_input_registers = uint_or_zero(*mb, "start_input_registers");
    d->nb_registers = uint_or_zero(*mb, "nb_registers");
    d->start_registers = uint_or_zero(*mb, "start_registers");
    printf("[cnt start_addr] bits:%d,%d, input_bis:%d,%d, input_reg:%d,%d, hold_reg:%d,%d\n",
           d->nb_bits, d->start_bits, d->nb_input_bits, d->start_input_bits,
           d->nb_input_registers, d->start_input_registers, d->nb_registers,
           d->start_registers);
    fflush(stdout);
    return d.release();
}

int load_descriptions(const char *dirPath) {
    DIR *dir = opendir(dirPath);
    if (!dir) {
        LOG_ERROR("opendir failed!");
        return -1;
    }
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (entry == nullptr) {
            // The end of the directory leaves errno alone; a failure must not
            // pass for an empty directory.
            if (errno != 0) LOG_ERROR("readdir %s failed: %s", dirPath, strerror(errno));
            break;
        }
        if (entry->d_type != DT_REG || !strstr(entry->d_name, "json")) continue;
        LOG_INFO("----------find %s", entry->d_name);
        std::string path = std::string(dirPath) + "/" + entry->d_name;
        if (DeviceDescription *d = load_description(path.c_str())) g_descriptions.push_back(d);
    }
    closedir(dir);
    return 0;
}

const std::vector<DeviceDescription *> &description_list() { return g_descriptions; }

void add_description(DeviceDescription *description) {
    if (description) g_descriptions.push_back(description);
}

void clear_descriptions() {
    for (DeviceDescription *d : g_descriptions) delete d;
    g_descriptions.clear();
}

const DeviceDescription *find_description(const std::string &sntype) {
    for (const DeviceDescription *d : g_descriptions)
        for (const std::string &s : d->snTypes)
            if (s == sntype) return d;
    return nullptr;
}

const DescriptionNode *find_node_by_register(const DeviceDescription *description,
                                             uint16_t address) {
    if (!description) return nullptr;
    for (const DescriptionNode &n : description->nodes)
        if (n.registerAddress == address) return &n;
    return nullptr;
}

const DescriptionNode *find_node_by_identifier(const DeviceDescription *description,
                                               const std::string &identifier,
                                               const std::string &path, bool isArray) {
    if (!description) return nullptr;
    for (const DescriptionNode &n : description->nodes)
        if (n.isArray == isArray && n.identifier == identifier && n.desc == path) return &n;
    return nullptr;
}

uint16_t node_table_address(const DescriptionNode &node) {
    static const uint16_t bases[] = {0, 10000, 40000, 30000};  // by RegisterTable
    return static_cast<uint16_t>(node.registerAddress - bases[node.table & 3]);
}
