// Product descriptions: what each product type offers, where in the four
// Modbus tables, and how large a unit's tables are. Loaded once at start-up
// from "descJson"; read-only (and lock-free to read) afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

enum AccessMode { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2 };

enum RegisterTable { Coil = 0, DiscreteInput = 1, HoldingRegister = 2, InputRegister = 3 };

enum DataModelType {
    DM_Bool = 0,
    DM_Enum = 1,
    DM_Text = 2,
    DM_Double = 3,
    DM_Unknown = 4,
};

enum RegisterType {
    RT_Bool = 0,
    RT_Enum = 1,
    RT_String = 2,
    RT_Date = 3,
    RT_Time = 4,
    RT_Signal = 5,
    RT_Uint16 = 6,
    RT_Int16 = 7,
    RT_Uint32 = 8,
    RT_Int32 = 9,
    RT_Unknown = 10,
};

constexpr int MAX_ENUM_NAMES = 12;

// Gateway-side type of a data point. Fields its type does not set stay zero.
struct DataModelSpec {
    DataModelType type = DM_Unknown;
    int32_t enumCount = 0;
    // Empty for other types: a multi-register node may be copied 65536 times.
    std::vector<std::string> enumNames;  // at most MAX_ENUM_NAMES
    int32_t textLength = 0;
    double min = 0, max = 0, step = 0;  // register units (after scaling)
};

// Register-side type of a data point.
struct RegisterSpec {
    RegisterType type = RT_Unknown;
    uint16_t min = 0, max = 0, step = 0;  // raw range of an Enum register
    int32_t registerCount = 0;
    bool reverseRegister = false;
    bool swap16 = false;
};

struct DescriptionNode {
    std::string identifier;
    AccessMode access = ReadOnly;
    std::string desc;  // '/'-separated path in command and report objects
    bool isArray = false;
    DataModelSpec dataModel;
    RegisterSpec registerSpec;
    uint16_t registerAddress = 0;  // table base (0/10000/30000/40000) + address
    int32_t scaling = 1;
    RegisterTable table = Coil;
};

struct DeviceDescription {
    int32_t nb_bits = 0;
    int32_t start_bits = 0;
    int32_t nb_input_bits = 0;
    int32_t start_input_bits = 0;
    int32_t nb_registers = 0;
    int32_t start_registers = 0;
    int32_t nb_input_registers = 0;
    int32_t start_input_registers = 0;
    std::string productKey;
    std::vector<std::string> snTypes;
    std::vector<DescriptionNode> nodes;
};

// Most expansions one multi-register node may produce (one per 16-bit address).
constexpr uint32_t MAX_MULTI_REG_NUMS = 65536;

// Scans a directory: every regular file whose name contains "json" is loaded
// and appended to the description list. 0, or -1 when the directory cannot
// be opened.
int load_descriptions(const char *dirPath);

// Loads one file; null when it yields no description. The caller owns it.
DeviceDescription *load_description(const char *filePath);

// The process-wide description list, in load order.
const std::vector<DeviceDescription *> &description_list();
// Appends a description to the list, which takes ownership.
void add_description(DeviceDescription *description);
// Frees the whole list. Only for tests and tools: devices refer to these.
void clear_descriptions();

const DeviceDescription *find_description(const std::string &sntype);
const DescriptionNode *find_node_by_register(const DeviceDescription *description,
                                             uint16_t address);
const DescriptionNode *find_node_by_identifier(const DeviceDescription *description,
                                               const std::string &identifier,
                                               const std::string &path, bool isArray);

// Table address of a node: registerAddress minus its table's base, mod 65536.
uint16_t node_table_address(const DescriptionNode &node);

// Reads a JSON text file, comments allowed. 0; -1 when it cannot be opened;
// -2 when it is not JSON. Shared by the three loaders.
int read_json_file(const char *path, Json::Value &root);
