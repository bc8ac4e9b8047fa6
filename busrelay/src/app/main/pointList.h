// The point list: every register and bit the service serves, one row per
// point as a Modbus client addresses it, built from the same descriptions,
// address map, VRV slots and register maps the running service uses.
// `busrelay --points [--format csv|json] [DIR]` prints it and exits.
#pragma once

#include <string>
#include <vector>

struct MappedDevice;

struct PointRow {
    int unit = -1;  // -1: a row about a whole file, not a unit
    std::string deviceKey;
    std::string productCode;  // the map entry's sntype (or rtutype)
    std::string productKey;
    std::string deviceName;   // map.json "name", when present
    std::string table;        // "coil", "discrete input", "input register", "holding register"
    int address = -1;         // wire address of a cached read/write; -1 when there is none
    std::string number;       // 1-based conventional number of `address` (e.g. 40004)
    int directAddress = -1;   // address + 1000 where the gateway is asked directly
    std::string directNumber;
    int slot = -1;            // VRV indoor unit: slot and its two addresses
    int indoorAddr = -1;
    int outdoorAddr = -1;
    std::string identifier;
    std::string path;          // `desc`
    std::string dataType;      // gateway side
    std::string registerType;  // register side
    int registerCount = 0;
    int scaling = 0;           // 0: not applicable
    bool hasRange = false;
    double min = 0, max = 0;   // raw register values
    std::string values;        // enum names with their values, encodings
    std::string access;        // "R", "W", "RW" or empty
    std::string readFunctions;
    std::string writeFunctions;
    std::string clearedAfterRead;  // "no", "yes" or the condition
    std::string error;         // non-empty: the point or unit is not served, and why
    std::string note;
};

// Where the three inputs were read from, and how the loads went (the
// loaders' results): the point list reports a file the service could not use.
struct PointSources {
    std::string descDir;
    std::string mapPath;
    std::string vrvPath;
    int descResult = 0;
    int mapResult = 0;
    int vrvResult = 0;
    // The Modbus port's allow-list (mb_acl_load's result; 0: no file).
    std::string aclPath;
    int aclResult = 0;
    // The bridge's options (mb_opts_load's result; 0: no file).
    std::string optsPath;
    int optsResult = 0;
};

// Builds the list from the loaded registries (load_descriptions,
// load_address_map and load_vrv_config must have run; mb_acl_load for the
// allow-list row, when aclResult says it ran). Reads map.json again
// only to report the entries the loader refused.
std::vector<PointRow> build_point_list(const PointSources &sources);

// The rows of one registered unit (no file-level or refused-entry rows).
std::vector<PointRow> device_points(const MappedDevice &device);

// Column names, in output order; the same keys in CSV and JSON.
const std::vector<std::string> &point_columns();

// UTF-8 with a byte-order mark, a header row, CRLF line ends, RFC 4180 quoting.
std::string points_to_csv(const std::vector<PointRow> &rows);
// An array of objects with the same keys; absent numbers are null.
std::string points_to_json(const std::vector<PointRow> &rows);
// One CSV field, quoted when it needs to be.
std::string csv_field(const std::string &text);

// Command line entry: argv after the program name holds the options. Prints
// the list on stdout (load messages on stderr) and returns 0; a usage
// message and 2 for bad options; 1 when the output cannot be written.
int points_cli(int argc, char **argv);
