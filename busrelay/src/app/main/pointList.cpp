#include "pointList.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <json/json.h>

#include "devDesc.h"
#include "devList.h"
#include "gwMsg.h"
#include "health.h"
#include "healthRegs.h"
#include "logger.h"
#include "mbAcl.h"
#include "mbOpts.h"
#include "modbus.h"
#include "registerMap.h"
#include "vrvCtrl.h"

namespace {

constexpr int kGatewayUnit = 255;
constexpr int kLastSlaveUnit = 247;
constexpr int kAlarmBitOffset = 247;
constexpr int kHighestAddress = 65535;
const char *const kVrvProduct = "vrvcontrolC";
const char *const kRtuKey = "standardRtu";

const char *table_name(RegisterTable t) {
    switch (t) {
    case Coil: return "coil";
    case DiscreteInput: return "discrete input";
    case InputRegister: return "input register";
    case HoldingRegister: return "holding register";
    }
    return "?";
}

int table_order(const std::string &table) {
    if (table == "coil") return 0;
    if (table == "discrete input") return 1;
    if (table == "input register") return 2;
    if (table == "holding register") return 3;
    return 4;
}

// Leading digit of the conventional numbering: 0xxxx coils, 1xxxx discrete
// inputs, 3xxxx input registers, 4xxxx holding registers.
int table_digit(RegisterTable t) {
    switch (t) {
    case Coil: return 0;
    case DiscreteInput: return 1;
    case InputRegister: return 3;
    case HoldingRegister: return 4;
    }
    return 0;
}

std::string conventional_number(RegisterTable t, int address) {
    char buf[16];
    // Five digits up to 9999, six (the extended form) above.
    if (address + 1 <= 9999)
        snprintf(buf, sizeof buf, "%d%04d", table_digit(t), address + 1);
    else
        snprintf(buf, sizeof buf, "%d%05d", table_digit(t), address + 1);
    return buf;
}

const char *data_model_name(DataModelType t) {
    switch (t) {
    case DM_Bool: return "bool";
    case DM_Enum: return "enum";
    case DM_Text: return "text";
    case DM_Double: return "double";
    default: return "unknown";
    }
}

const char *register_type_name(RegisterType t) {
    static const char *const names[] = {"bool",   "enum",  "string", "date",  "time", "signal",
                                        "uint16", "int16", "uint32", "int32", "unknown"};
    return (t >= RT_Bool && t <= RT_Unknown) ? names[t] : "unknown";
}

struct TableRange {
    uint32_t start = 0;
    uint32_t count = 0;
};

TableRange table_range(const RegisterMap *map, RegisterTable t) {
    TableRange r;
    if (map == nullptr) return r;
    switch (t) {
    case Coil: r = {map->start_bits, map->nb_bits}; break;
    case DiscreteInput: r = {map->start_input_bits, map->nb_input_bits}; break;
    case InputRegister: r = {map->start_input_registers, map->nb_input_registers}; break;
    case HoldingRegister: r = {map->start_registers, map->nb_registers}; break;
    }
    return r;
}

bool in_table(const TableRange &r, long address) {
    return register_index(r.start, r.count, address) >= 0;
}

std::string range_text(const TableRange &r) {
    if (r.count == 0) return "none";
    char buf[48];
    snprintf(buf, sizeof buf, "%u-%u", r.start, r.start + r.count - 1);
    return buf;
}

void append_note(std::string &notes, const std::string &text) {
    if (!notes.empty()) notes += "; ";
    notes += text;
}

// Which register values mean what, and how texts are packed.
std::string value_text(const DescriptionNode &node) {
    const RegisterSpec &rs = node.registerSpec;
    const DataModelSpec &dm = node.dataModel;
    char buf[160];
    switch (rs.type) {
    case RT_Bool: return "0=false; 1=true";
    case RT_Enum: {
        // Reports store the name's index; a write of v selects name v - min.
        auto list = [&](int offset) {
            std::string out;
            for (size_t i = 0; i < dm.enumNames.size(); ++i) {
                if (!out.empty()) out += "; ";
                out += std::to_string((int)i + offset) + "=" + dm.enumNames[i];
            }
            return out;
        };
        if (rs.min == 0) return list(0);
        return "read: " + list(0) + "; write: " + list(rs.min);
    }
    case RT_String:
        snprintf(buf, sizeof buf,
                 "text of up to %d bytes, two per register, first in the high byte",
                 dm.textLength);
        return buf;
    case RT_Date:
        return "reg1 high byte year (read: year mod 256; write: 0-99 = 20yy), low byte month; "
               "reg2 high byte day";
    case RT_Time: return "reg1 high byte hour, low byte minute; reg2 high byte second";
    case RT_Uint32:
    case RT_Int32: return "reg1 high 16 bits, reg2 low 16 bits";
    default: break;
    }
    if (dm.type == DM_Double && node.scaling != 1 && node.scaling != 0) {
        snprintf(buf, sizeof buf, "value = register / %d", node.scaling);
        return buf;
    }
    return "";
}

// The one-shot rule of clearAfterRead, stated instead of applied: "yes",
// "no" or the condition under which a read clears the value.
std::string clear_rule(const MappedDevice &device, RegisterTable t, int address) {
    if (t != DiscreteInput && t != InputRegister) return "no";
    const uint16_t key = (uint16_t)(address + (t == DiscreteInput ? 10000 : 30000));
    const DescriptionNode *node = find_node_by_register(device.description, key);
    if (node && node->registerSpec.type == RT_Signal) return "yes";
    std::string rule;
    if (node && address >= 2 && address <= 16 && address % 2 == 0 && device.registerMap &&
        isDryContactProduct(device.description->productKey) &&
        in_table(table_range(device.registerMap, InputRegister), address - 1)) {
        rule = "when input register " + std::to_string(address - 1) + " is 2 (pulse)";
    }
    if (device.unitId == kGatewayUnit && t == DiscreteInput && address >= 248 && address <= 494)
        return "yes";
    return rule.empty() ? "no" : rule;
}

PointRow unit_row(const MappedDevice &device) {
    PointRow row;
    row.unit = device.unitId;
    row.deviceKey = device.deviceKey;
    row.productCode = device.sntype;
    row.productKey = device.description ? device.description->productKey : "";
    return row;
}

// The VRV slot named by an array identifier "slave_index/N/member", or -1.
int vrv_slot_of(const DescriptionNode &node) {
    if (!node.isArray) return -1;
    int index = -1;
    char member[64];
    if (sscanf(node.identifier.c_str(), "slave_index/%d/%63s", &index, member) != 2) return -1;
    return index;
}

struct SlotInfo {
    bool configured = false;
    uint16_t indoor = 0, outdoor = 0;
};

// Slots filled from vrvC.json hold a non-zero address pair; the pair is read
// back from the unit's map where load_vrv_config put it.
SlotInfo vrv_slot(const MappedDevice &device, int slot) {
    SlotInfo s;
    if (slot < 0 || slot >= VRV_SLOT_COUNT || device.registerMap == nullptr) return s;
    if (read_16(device.registerMap, (uint16_t)(10 * slot + 1), &s.indoor) != 0) return s;
    if (read_16(device.registerMap, (uint16_t)(10 * slot + 2), &s.outdoor) != 0) return s;
    s.configured = s.indoor != 0 || s.outdoor != 0;
    return s;
}

PointRow node_row(const MappedDevice &device, const DescriptionNode &node) {
    PointRow row = unit_row(device);
    const RegisterTable t = node.table;
    const int a = node_table_address(node);
    const int c = node.registerSpec.registerCount;
    const TableRange range = table_range(device.registerMap, t);
    const bool rtu = device.isRtu || device.deviceKey == kRtuKey;
    const bool bitTable = t == Coil || t == DiscreteInput;

    row.table = table_name(t);
    row.identifier = node.identifier;
    row.path = node.desc;
    row.dataType = data_model_name(node.dataModel.type);
    row.registerType = register_type_name(node.registerSpec.type);
    row.registerCount = c;
    row.scaling = node.scaling;
    row.values = value_text(node);
    switch (node.registerSpec.type) {
    case RT_Bool:
        row.hasRange = true;
        row.min = 0;
        row.max = 1;
        break;
    case RT_Enum:
        row.hasRange = true;
        row.min = node.registerSpec.min;
        row.max = node.registerSpec.max;
        if (node.registerSpec.min != 0)
            append_note(row.note, "reads show the name's index, writes take it plus " +
                                      std::to_string(node.registerSpec.min));
        break;
    default:
        if (node.dataModel.type == DM_Double) {
            row.hasRange = true;
            row.min = node.dataModel.min;
            row.max = node.dataModel.max;
        }
        break;
    }

    if (!in_table(range, a)) {
        row.error = "not served: address " + std::to_string(a) + " is outside the unit's " +
                    row.table + " table (" + range_text(range) + ")";
        row.address = a <= MB_DIRECT_OFFSET ? a : -1;
        if (row.address >= 0) row.number = conventional_number(t, a);
        return row;
    }
    const bool whole = c >= 1 && in_table(range, a + c - 1);
    if (!whole) append_note(row.note, "the node runs past the end of the table");

    const DescriptionNode *first = find_node_by_register(device.description, node.registerAddress);
    const bool shadowed = first != &node;
    if (shadowed)
        append_note(row.note, "commands use \"" + (first ? first->identifier : std::string()) +
                                  "\" at the same address");

    // Reads of 0..1000 come from the map; a higher address is the direct
    // alias of the register 1000 lower, so such a register is reached only
    // through its own direct address.
    const bool cachedAddress = a <= MB_DIRECT_OFFSET;
    const bool directAddress = a >= 1 && a + MB_DIRECT_OFFSET <= kHighestAddress;
    const bool readAllowed = node.access == ReadOnly || node.access == ReadWrite;
    const bool writeAllowed = node.access == WriteOnly || node.access == ReadWrite;

    const bool cachedRead = readAllowed && cachedAddress;
    bool directRead = readAllowed && directAddress && !rtu && !shadowed && whole &&
                      node.registerSpec.type != RT_Signal && (!bitTable || c == 1);
    // The version text is the service's own: the gateway knows no such point.
    const bool versionText = device.unitId == kGatewayUnit && node.identifier == "modbusSoftwareVer";
    if (versionText) directRead = false;
    // A VRV read command names the indoor unit only through the slot's two
    // address registers: a status register read alone reaches no indoor unit.
    const int slot = vrv_slot_of(node);
    const bool vrvStatus = device.description->productKey == kVrvProduct && slot >= 0 &&
                           t == InputRegister && node.identifier.find("slave_addr") == std::string::npos &&
                           node.identifier.find("slave_outdoor_addr") == std::string::npos;
    if (vrvStatus && directRead) {
        directRead = false;
        const int blockStart = 10 * slot + 1;
        append_note(row.note, "direct read together with the slot's addresses: from " +
                                  std::to_string(blockStart + MB_DIRECT_OFFSET) + ", " +
                                  std::to_string(a - blockStart + c) + " registers");
    }
    const bool writeTable = t == Coil || t == HoldingRegister;
    const bool write = writeAllowed && writeTable && !rtu && !shadowed && whole &&
                       node.registerSpec.type != RT_Signal &&
                       node.registerSpec.type != RT_Unknown && (t != Coil || c == 1) &&
                       (cachedAddress || directAddress);

    if (cachedAddress) {
        row.address = a;
        row.number = conventional_number(t, a);
    } else {
        append_note(row.note, "above address 1000: reached only at its direct address");
    }
    if (directAddress && (directRead || write)) {
        row.directAddress = a + MB_DIRECT_OFFSET;
        row.directNumber = conventional_number(t, a + MB_DIRECT_OFFSET);
    }
    const bool readable = cachedRead || directRead;
    row.access = std::string(readable ? "R" : "") + (write ? "W" : "");
    static const char *const readFc[] = {"1", "2", "3", "4"};  // by RegisterTable
    if (readable) row.readFunctions = readFc[t];
    if (write) row.writeFunctions = t == Coil ? "5/15" : (c == 1 ? "6/16" : "16");
    row.clearedAfterRead = readable ? clear_rule(device, t, a) : "no";

    if (node.registerSpec.type == RT_Signal)
        append_note(row.note, "signal: read from the map only, never written");
    if (writeAllowed && !writeTable)
        append_note(row.note, "marked writable, but no Modbus function writes the " + row.table);
    if (readAllowed && cachedAddress && !directRead && !rtu && directAddress &&
        node.registerSpec.type != RT_Signal && bitTable && c != 1)
        append_note(row.note, "no direct read: more than one bit");
    if (rtu) append_note(row.note, "RTU entry: only map reads are answered");
    if (c > 1 && (directRead || write))
        append_note(row.note, std::string(directRead ? "direct reads" : "") +
                                  (directRead && write ? " and " : "") + (write ? "writes" : "") +
                                  " take all " + std::to_string(c) + " registers at once");
    if (versionText) append_note(row.note, "the service's version text, filled at start-up");
    return row;
}

void add_gateway_status_rows(const MappedDevice &gateway, std::vector<PointRow> &rows) {
    const TableRange range = table_range(gateway.registerMap, DiscreteInput);
    struct Bit {
        int offset;
        const char *name;
        const char *clear;
        const char *meaning;
    };
    static const Bit bits[] = {
        {0, "online", "no", "1 after a report with timesOfContinuousFailed 0, 0 after one above 3"},
        {kAlarmBitOffset, "alarm", "yes", "1 when a report (not an answer) stored a value"},
    };
    for (const Bit &b : bits) {
        for (const MappedDevice *d : device_list()) {
            if (d->unitId < 1 || d->unitId > kLastSlaveUnit) continue;
            if (find_device_by_unit(d->unitId) != d) continue;  // shadowed entry
            const int address = d->unitId + b.offset;
            PointRow row = unit_row(gateway);
            row.table = table_name(DiscreteInput);
            row.identifier = std::string(b.name) + "/" + std::to_string(d->unitId);
            row.dataType = "bool";
            row.registerType = "bool";
            row.registerCount = 1;
            row.hasRange = true;
            row.max = 1;
            row.values = "0=false; 1=true";
            row.note = "unit " + std::to_string(d->unitId) + " (" + d->deviceKey + "): " + b.meaning;
            if (d->isRtu) row.note += "; an RTU entry gets no reports, so it stays 0";
            if (!in_table(range, address)) {
                row.error = "not served: the gateway unit's discrete inputs (" + range_text(range) +
                            ") do not hold bit " + std::to_string(address);
            } else {
                row.address = address;
                row.number = conventional_number(DiscreteInput, address);
                row.access = "R";
                row.readFunctions = "2";
                row.clearedAfterRead = b.clear;
            }
            rows.push_back(row);
        }
    }
}

// The service's own input registers of unit 255: the health counters, then
// one data age per mapped unit (as the online and alarm bits).
void add_gateway_health_rows(const MappedDevice &gateway, std::vector<PointRow> &rows) {
    const TableRange range = table_range(gateway.registerMap, InputRegister);
    auto serve = [&](PointRow &row, int address, int count) {
        row.table = table_name(InputRegister);
        row.registerCount = count;
        row.hasRange = true;
        if (!in_table(range, address) || !in_table(range, address + count - 1)) {
            row.error = "not served: the gateway unit's input registers (" + range_text(range) +
                        ") do not hold register " + std::to_string(address);
            return;
        }
        row.address = address;
        row.number = conventional_number(InputRegister, address);
        row.access = "R";
        row.readFunctions = "4";
        row.clearedAfterRead = "no";
    };
    for (int c = 0; c < HC_COUNT; ++c) {
        const HealthCounterInfo &info = health_counter_info((HealthCounter)c);
        PointRow row = unit_row(gateway);
        row.identifier = std::string("health/") + info.name;
        row.dataType = "uint32";
        row.registerType = "uint32";
        serve(row, health_register((HealthCounter)c), 2);
        row.max = 4294967295.0;
        row.values = "reg1 high 16 bits, reg2 low 16 bits; wraps modulo 2^32";
        if (c == HC_LINK_UP) {
            row.max = 1;
            row.values = "reg1 high 16 bits, reg2 low 16 bits; 0=down; 1=up";
        }
        row.note = std::string(info.meaning) +
                   "; one read of the block (101-144) is one snapshot of every counter";
        rows.push_back(row);
    }
    for (const MappedDevice *d : device_list()) {
        if (d->unitId < HEALTH_AGE_FIRST_UNIT || d->unitId > HEALTH_AGE_LAST_UNIT) continue;
        if (find_device_by_unit(d->unitId) != d) continue;  // shadowed entry
        PointRow row = unit_row(gateway);
        row.identifier = "age/" + std::to_string(d->unitId);
        row.dataType = "uint16";
        row.registerType = "uint16";
        serve(row, HEALTH_AGE_BASE + d->unitId, 1);
        row.max = HEALTH_AGE_NEVER;
        row.values = "seconds; " + std::to_string(HEALTH_AGE_MAX) + " = that long or longer; " +
                     std::to_string(HEALTH_AGE_NEVER) + " = never";
        row.note = "unit " + std::to_string(d->unitId) + " (" + d->deviceKey +
                   "): seconds since the gateway last stored a value for it (an answer or a "
                   "report)";
        if (d->isRtu) row.note += "; an RTU entry gets no reports, so it stays 65535";
        rows.push_back(row);
    }
}

PointRow error_row(int unit, const std::string &error) {
    PointRow row;
    row.unit = unit;
    row.error = error;
    return row;
}

std::string json_text(const Json::Value &v, const char *key) {
    return v.isMember(key) && v[key].isString() ? v[key].asString() : std::string();
}

// Rows for the map entries, in file order: the served units' points and an
// error row for each entry the loader refused or that no request can reach.
void add_map_rows(const PointSources &src, std::vector<PointRow> &rows) {
    Json::Value root;
    const int rc = read_json_file(src.mapPath.c_str(), root);
    if (rc == -1 || src.mapResult != 0) {
        rows.push_back(error_row(-1, src.mapPath + ": cannot be opened: no unit is served"));
        return;
    }
    if (rc < 0 || !root.isObject()) {
        rows.push_back(error_row(-1, src.mapPath + ": not a JSON object: no unit is served"));
        return;
    }
    if (!root.isMember("nodes") || !root["nodes"].isArray()) {
        rows.push_back(error_row(-1, src.mapPath + ": no \"nodes\" array: no unit is served"));
        return;
    }
    const std::vector<MappedDevice *> &devices = device_list();
    size_t next = 0;  // the loader registers in file order
    int index = -1;
    for (const Json::Value &n : root["nodes"]) {
        ++index;
        const std::string where = "map.json node " + std::to_string(index);
        if (!n.isObject()) {
            rows.push_back(error_row(-1, where + " is not an object"));
            continue;
        }
        const bool hasUnit = n.isMember("mb_id") && n["mb_id"].isInt();
        const int unit = hasUnit ? n["mb_id"].asInt() : -1;
        const bool gatewayForm = hasUnit && n.isMember("mqtt_dk") && n["mqtt_dk"].isString() &&
                                 n.isMember("sntype") && n["sntype"].isString();
        const bool rtuForm = !gatewayForm && hasUnit && n.isMember("rtutype") &&
                             n["rtutype"].isString();
        PointRow head;
        head.unit = unit;
        head.deviceName = json_text(n, "name");
        if (!gatewayForm && !rtuForm) {
            head.deviceKey = json_text(n, "mqtt_dk");
            head.error = where + ": needs an int \"mb_id\" with \"mqtt_dk\" and \"sntype\", "
                                 "or with \"rtutype\"; not served";
            rows.push_back(head);
            continue;
        }
        head.deviceKey = gatewayForm ? n["mqtt_dk"].asString() : kRtuKey;
        head.productCode = gatewayForm ? n["sntype"].asString() : n["rtutype"].asString();
        if (find_description(head.productCode) == nullptr) {
            head.productKey = json_text(n, "devtype");
            head.error = "no description in " + src.descDir + " serves product code " +
                         head.productCode + (src.descResult != 0 ? " (the directory cannot be read)"
                                                                 : "") +
                         "; not served";
            rows.push_back(head);
            continue;
        }
        if (next >= devices.size() || devices[next]->unitId != unit ||
            devices[next]->deviceKey != head.deviceKey) {
            head.error = "not registered by the service; not served";  // the registry disagrees
            rows.push_back(head);
            continue;
        }
        const MappedDevice &device = *devices[next++];
        head.productKey = device.description->productKey;
        if (unit < 0 || unit > 255) {
            head.error = "unit id " + std::to_string(unit) +
                         " is outside 0-255: no Modbus request reaches it";
            rows.push_back(head);
            continue;
        }
        const MappedDevice *first = find_device_by_unit(unit);
        if (first != &device) {
            head.error = "unit " + std::to_string(unit) + " is already served by " +
                         first->deviceKey + " (an earlier entry): this entry is never reached";
            rows.push_back(head);
            continue;
        }
        if (device.registerMap == nullptr) {
            head.error = "the unit's register map could not be created; not served";
            rows.push_back(head);
            continue;
        }
        // Reports are matched by device key: only its first unit is kept current.
        const MappedDevice *keyOwner = find_device_by_key(device.deviceKey);
        const bool staleKey = !device.isRtu && keyOwner != &device;
        for (PointRow &row : device_points(device)) {
            row.deviceName = head.deviceName;
            if (staleKey && row.error.empty())
                append_note(row.note, "device key also mapped to unit " +
                                          std::to_string(keyOwner->unitId) +
                                          ", which alone receives its reports");
            rows.push_back(row);
        }
    }
    if (find_device_by_unit(kGatewayUnit) == nullptr)
        rows.push_back(error_row(kGatewayUnit, "no unit 255 in map.json: the service version, "
                                               "online and alarm bits, health counters and "
                                               "data ages are not served"));
}

std::string number_text(double v) {
    char buf[40];
    if (std::floor(v) == v && std::fabs(v) < 1e15)
        snprintf(buf, sizeof buf, "%.0f", v);
    else
        snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

// Field values in column order; `present` false marks an absent number
// (empty in CSV, null in JSON).
struct Field {
    std::string text;
    bool number = false;
    bool present = true;
};

std::vector<Field> row_fields(const PointRow &r) {
    auto num = [](int v) {
        Field f;
        f.number = true;
        f.present = v >= 0;
        if (f.present) f.text = std::to_string(v);
        return f;
    };
    auto str = [](const std::string &s) {
        Field f;
        f.text = s;
        return f;
    };
    auto dbl = [](bool has, double v) {
        Field f;
        f.number = true;
        f.present = has;
        if (has) f.text = number_text(v);
        return f;
    };
    const bool point = !r.table.empty();
    return {num(r.unit),
            str(r.deviceKey),
            str(r.productCode),
            str(r.productKey),
            str(r.deviceName),
            str(r.table),
            num(r.address),
            str(r.number),
            num(r.directAddress),
            str(r.directNumber),
            num(r.slot),
            num(r.indoorAddr),
            num(r.outdoorAddr),
            str(r.identifier),
            str(r.path),
            str(r.dataType),
            str(r.registerType),
            num(point ? r.registerCount : -1),
            num(point && r.scaling > 0 ? r.scaling : -1),
            dbl(r.hasRange, r.min),
            dbl(r.hasRange, r.max),
            str(r.values),
            str(r.access),
            str(r.readFunctions),
            str(r.writeFunctions),
            str(point ? r.clearedAfterRead : std::string()),
            str(r.error),
            str(r.note)};
}

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void usage(FILE *out) {
    fprintf(out,
            "usage: busrelay                      run the service\n"
            "       busrelay --points [--format csv|json] [DIR]\n"
            "           print every point the service serves with DIR/descJson, DIR/map.json\n"
            "           and DIR/vrvC.json (default DIR: the working directory), then exit;\n"
            "           rows before the units state DIR/mbacl.json's client allow-list and\n"
            "           DIR/mbopts.json's options\n");
}

}  // namespace

const std::vector<std::string> &point_columns() {
    static const std::vector<std::string> columns = {
        "unit",          "device_key",      "product_code",   "product_key",
        "device_name",   "table",           "address",        "number",
        "direct_address", "direct_number",  "slot",           "indoor_addr",
        "outdoor_addr",  "identifier",      "path",           "data_type",
        "register_type", "register_count",  "scaling",        "min",
        "max",           "values",          "access",         "read_fc",
        "write_fc",      "cleared_after_read", "error",       "note"};
    return columns;
}

std::vector<PointRow> device_points(const MappedDevice &device) {
    std::vector<PointRow> rows;
    if (device.description == nullptr) return rows;
    const bool vrv = device.description->productKey == kVrvProduct;
    int hiddenSlots = 0;
    bool anySlot = false;
    for (const DescriptionNode &node : device.description->nodes) {
        const int slot = vrv ? vrv_slot_of(node) : -1;
        SlotInfo info;
        if (slot >= 0) {
            info = vrv_slot(device, slot);
            // Slots without an indoor unit are served too, but nobody has a use for them.
            if (!info.configured) {
                ++hiddenSlots;
                continue;
            }
            anySlot = true;
        }
        PointRow row = node_row(device, node);
        if (slot >= 0) {
            row.slot = slot;
            row.indoorAddr = info.indoor;
            row.outdoorAddr = info.outdoor;
        }
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const PointRow &x, const PointRow &y) {
        const int tx = table_order(x.table), ty = table_order(y.table);
        if (tx != ty) return tx < ty;
        const int ax = x.address >= 0 ? x.address : x.directAddress - MB_DIRECT_OFFSET;
        const int ay = y.address >= 0 ? y.address : y.directAddress - MB_DIRECT_OFFSET;
        return ax < ay;
    });
    if (vrv && !anySlot) {
        PointRow row = unit_row(device);
        row.error = "no indoor unit of this controller is configured in vrvC.json; its " +
                    std::to_string(hiddenSlots) + " slot points are not listed";
        rows.push_back(row);
    }
    if (device.unitId == kGatewayUnit) {
        add_gateway_status_rows(device, rows);
        add_gateway_health_rows(device, rows);
    }
    return rows;
}

std::vector<PointRow> build_point_list(const PointSources &sources) {
    std::vector<PointRow> rows;
    if (sources.descResult != 0)
        rows.push_back(error_row(-1, sources.descDir + ": cannot be read: no product descriptions"));
    if (sources.vrvResult != 0) {
        bool vrvMapped = false;
        for (const MappedDevice *d : device_list())
            if (d->description && d->description->productKey == kVrvProduct) vrvMapped = true;
        if (vrvMapped)
            rows.push_back(error_row(-1, sources.vrvPath + ": cannot be read: no VRV indoor unit "
                                                           "has a slot"));
    }
    // Who may read and write all of the below.
    if (sources.aclResult == MB_ACL_ACTIVE) {
        PointRow row;
        const std::string readOnly = mb_acl_read_only_summary();
        if (mb_acl_current().count > 0)
            row.note = sources.aclPath + ": Modbus clients accepted only from " + mb_acl_summary();
        else
            row.note = sources.aclPath + ": Modbus clients accepted from any address";
        if (!readOnly.empty())
            row.note += (mb_acl_current().count > 0 ? " and from " : "; from ") + readOnly +
                        " read-only (their writes get exception 1)";
        rows.push_back(row);
    } else if (sources.aclResult == MB_ACL_REFUSED) {
        rows.push_back(error_row(-1, sources.aclPath + ": refused (" + mb_acl_refusal() +
                                         "): Modbus clients accepted from any address"));
    }
    // How offline units and unanswered requests are answered.
    if (sources.optsResult == MB_OPTS_LOADED && mb_opts().offlineException) {
        PointRow row;
        row.note = sources.optsPath + ": offlineException on: a read of a unit whose online bit "
                                      "is 0, and a bridged request the gateway leaves "
                                      "unanswered, get exception 11";
        rows.push_back(row);
    } else if (sources.optsResult == MB_OPTS_REFUSED) {
        rows.push_back(error_row(-1, sources.optsPath + ": refused (" + mb_opts_refusal() +
                                         "): the default options apply (" + mb_opts_summary() +
                                         ")"));
    }
    add_map_rows(sources, rows);
    return rows;
}

std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos &&
        (text.empty() || (text.front() != ' ' && text.back() != ' ')))
        return text;
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"') out += '"';
        out += ch;
    }
    out += '"';
    return out;
}

std::string points_to_csv(const std::vector<PointRow> &rows) {
    std::string out = "\xEF\xBB\xBF";
    const std::vector<std::string> &columns = point_columns();
    for (size_t i = 0; i < columns.size(); ++i) out += (i ? "," : "") + csv_field(columns[i]);
    out += "\r\n";
    for (const PointRow &row : rows) {
        const std::vector<Field> fields = row_fields(row);
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i) out += ',';
            out += csv_field(fields[i].text);
        }
        out += "\r\n";
    }
    return out;
}

std::string points_to_json(const std::vector<PointRow> &rows) {
    const std::vector<std::string> &columns = point_columns();
    Json::Value list(Json::arrayValue);
    for (const PointRow &row : rows) {
        const std::vector<Field> fields = row_fields(row);
        Json::Value obj(Json::objectValue);
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field &f = fields[i];
            if (!f.present)
                obj[columns[i]] = Json::Value(Json::nullValue);
            else if (f.number)
                obj[columns[i]] = std::strtod(f.text.c_str(), nullptr);
            else
                obj[columns[i]] = f.text;
        }
        // Whole numbers as ints, so that a client reads 40004, not 40004.0.
        for (const std::string &key : obj.getMemberNames()) {
            Json::Value &v = obj[key];
            if (v.isDouble() && std::floor(v.asDouble()) == v.asDouble() &&
                std::fabs(v.asDouble()) < 9e15)
                v = Json::Value(static_cast<Json::Int64>(v.asDouble()));
        }
        list.append(obj);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, list) + "\n";
}

int points_cli(int argc, char **argv) {
    bool points = false;
    std::string format = "csv";
    std::string dir;
    bool haveDir = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--points") {
            points = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
            if (arg == "--format") {
                if (i + 1 >= argc) {
                    fprintf(stderr, "busrelay: --format needs csv or json\n");
                    usage(stderr);
                    return 2;
                }
                format = argv[++i];
            } else {
                format = arg.substr(strlen("--format="));
            }
            if (format != "csv" && format != "json") {
                fprintf(stderr, "busrelay: unknown format \"%s\" (csv or json)\n", format.c_str());
                usage(stderr);
                return 2;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            fprintf(stderr, "busrelay: unknown option \"%s\"\n", arg.c_str());
            usage(stderr);
            return 2;
        } else if (!haveDir) {
            dir = arg;
            haveDir = true;
        } else {
            fprintf(stderr, "busrelay: more than one directory given\n");
            usage(stderr);
            return 2;
        }
    }
    if (!points) {
        fprintf(stderr, "busrelay: the service takes no arguments; --points prints the point list\n");
        usage(stderr);
        return 2;
    }
    if (!haveDir) dir = ".";
    if (!is_directory(dir)) {
        fprintf(stderr, "busrelay: %s is not a directory\n", dir.c_str());
        usage(stderr);
        return 2;
    }

    PointSources src;
    src.descDir = dir + "/descJson";
    src.mapPath = dir + "/map.json";
    src.vrvPath = dir + "/vrvC.json";
    src.aclPath = dir + "/mbacl.json";
    src.optsPath = dir + "/mbopts.json";

    // The loaders print progress on stdout; the list alone goes there, so
    // they print to stderr meanwhile. The logger is never opened: its
    // messages reach the console (stderr) and /tmp/mb.log stays untouched.
    fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    if (savedStdout < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        perror("busrelay: dup");
        return 1;
    }
    src.descResult = load_descriptions(src.descDir.c_str());
    src.mapResult = load_address_map(src.mapPath.c_str());
    src.vrvResult = load_vrv_config(src.vrvPath.c_str());
    src.aclResult = mb_acl_load(src.aclPath.c_str());
    src.optsResult = mb_opts_load(src.optsPath.c_str());
    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);

    const std::vector<PointRow> rows = build_point_list(src);
    // The registries are ours alone here: free them (a tool, not the service).
    clear_devices();
    clear_descriptions();
    const std::string text = format == "json" ? points_to_json(rows) : points_to_csv(rows);
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
        perror("busrelay: writing the point list");
        return 1;
    }
    return 0;
}
