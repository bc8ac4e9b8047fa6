// The point list must state what the bridge really does: every listed direct
// read and write builds a gateway command, every refused write is refused,
// and the cleared-after-read column follows the one-shot rule.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "devTestUtil.h"
#include "gwMsg.h"
#include "mbAcl.h"
#include "mbBridge.h"
#include "mbOpts.h"
#include "mbTcpSvr.h"
#include "pointList.h"
#include "vrvCtrl.h"

namespace {

struct Loaded {
    PointSources src;
    std::vector<PointRow> rows;
};

// Loads a configuration directory as `busrelay --points` does.
Loaded load_dir(const std::string &dir) {
    clear_devices();
    clear_descriptions();
    Loaded l;
    l.src.descDir = dir + "/descJson";
    l.src.mapPath = dir + "/map.json";
    l.src.vrvPath = dir + "/vrvC.json";
    testing::internal::CaptureStdout();
    l.src.descResult = load_descriptions(l.src.descDir.c_str());
    l.src.mapResult = load_address_map(l.src.mapPath.c_str());
    l.src.vrvResult = load_vrv_config(l.src.vrvPath.c_str());
    testing::internal::GetCapturedStdout();
    l.rows = build_point_list(l.src);
    return l;
}

class SamplePoints : public testing::Test {
protected:
    void SetUp() override {
        start_log_capture();
        loaded = load_dir(sample_dir());
    }
    void TearDown() override {
        clear_devices();
        clear_descriptions();
    }

    // A Modbus TCP request frame: MBAP header, then the PDU.
    static std::vector<uint8_t> frame(int unit, const std::vector<uint8_t> &pdu) {
        std::vector<uint8_t> f = {0, 1, 0, 0, 0, (uint8_t)(pdu.size() + 1), (uint8_t)unit};
        f.insert(f.end(), pdu.begin(), pdu.end());
        return f;
    }
    int build(const PointRow &row, const std::vector<uint8_t> &pdu, std::string &payload) {
        const MappedDevice *dev = find_device_by_unit(row.unit);
        EXPECT_NE(dev, nullptr);
        std::vector<uint8_t> req = frame(row.unit, pdu);
        MbRequest decoded;
        mb_decode_request(req.data(), (int)req.size(), 5, &decoded);
        return buildGwCmd(dev, 9, &decoded, payload);
    }

    Loaded loaded;
};

uint8_t hi(int v) { return (uint8_t)((v >> 8) & 0xFF); }
uint8_t lo(int v) { return (uint8_t)(v & 0xFF); }

// Register bytes of a value the node accepts: its range minimum, or a date/time.
std::vector<uint8_t> valid_data(const PointRow &row) {
    if (row.registerType == "date") return {22, 9, 6, 0};
    if (row.registerType == "time") return {8, 5, 0, 0};
    if (row.registerType == "string") return std::vector<uint8_t>(2 * row.registerCount, 'A');
    const long v = row.hasRange ? std::lround(row.min) : 0;
    if (row.registerCount == 2) return {hi(v >> 16), lo(v >> 16), hi(v), lo(v)};
    return {hi(v), lo(v)};
}

bool is_point(const PointRow &r) { return !r.table.empty() && r.error.empty(); }

TEST_F(SamplePoints, EveryUnitOfTheSampleIsListedWithoutErrors) {
    std::map<int, int> perUnit;
    for (const PointRow &r : loaded.rows) {
        EXPECT_TRUE(r.error.empty()) << r.unit << " " << r.error;
        ++perUnit[r.unit];
    }
    for (int unit : {1, 2, 3, 4, 5, 6, 7, 8, 255}) EXPECT_GT(perUnit[unit], 0) << unit;
    // Unit 255: the version text and one online and one alarm bit per slave unit.
    int online = 0, alarm = 0;
    for (const PointRow &r : loaded.rows) {
        if (r.unit != 255) continue;
        if (r.identifier.rfind("online/", 0) == 0) {
            ++online;
            EXPECT_EQ(r.address, std::stoi(r.identifier.substr(7)));
            EXPECT_EQ(r.clearedAfterRead, "no");
        }
        if (r.identifier.rfind("alarm/", 0) == 0) {
            ++alarm;
            EXPECT_EQ(r.address, 247 + std::stoi(r.identifier.substr(6)));
            EXPECT_EQ(r.clearedAfterRead, "yes");
        }
    }
    EXPECT_EQ(online, 8);
    EXPECT_EQ(alarm, 8);
}

TEST_F(SamplePoints, VrvSlotsAreTheConfiguredOnesWithTheirAddresses) {
    std::map<int, std::pair<int, int>> slots;
    for (const PointRow &r : loaded.rows) {
        if (r.unit != 7) continue;
        ASSERT_GE(r.slot, 0) << r.identifier;
        EXPECT_EQ(r.identifier.rfind("slave_index/" + std::to_string(r.slot) + "/", 0), 0u);
        // The slot's block: registers 10 * slot + 1 .. 10 * slot + 10.
        EXPECT_EQ((r.address - 1) / 10, r.slot) << r.identifier;
        slots[r.slot] = {r.indoorAddr, r.outdoorAddr};
    }
    const std::map<int, std::pair<int, int>> expected = {
        {0, {1, 1}}, {1, {2, 1}}, {2, {3, 1}}, {3, {4, 1}}, {5, {3, 2}}, {6, {4, 2}}};
    EXPECT_EQ(slots, expected);
}

// The access, direct-address and function-code columns against the
// command builder itself.
TEST_F(SamplePoints, ListedAccessMatchesWhatTheBridgeBuilds) {
    int reads = 0, writes = 0, refusals = 0;
    for (const PointRow &r : loaded.rows) {
        if (!is_point(r) || (r.unit == 255 && r.identifier.find('/') != std::string::npos))
            continue;
        const bool coil = r.table == "coil";
        const bool holding = r.table == "holding register";
        const int fcRead = std::stoi(r.readFunctions.empty() ? "0" : r.readFunctions);
        std::string payload;
        if (r.directAddress > 0 && r.access.find('R') != std::string::npos) {
            ASSERT_EQ(build(r, {(uint8_t)fcRead, hi(r.directAddress), lo(r.directAddress), 0,
                                (uint8_t)r.registerCount},
                            payload),
                      0)
                << r.unit << " " << r.identifier;
            EXPECT_NE(payload.find("\"read\""), std::string::npos);
            ++reads;
        }
        if (r.access.find('W') != std::string::npos) {
            ASSERT_GE(r.directAddress, 1001) << r.identifier;
            std::vector<uint8_t> pdu;
            if (coil) {
                pdu = {5, hi(r.address), lo(r.address), 0xFF, 0x00};
            } else {
                ASSERT_TRUE(holding) << r.identifier;
                const std::vector<uint8_t> data = valid_data(r);
                if (r.registerCount == 1) {
                    EXPECT_EQ(r.writeFunctions, "6/16");
                    pdu = {6, hi(r.address), lo(r.address), data[0], data[1]};
                } else {
                    EXPECT_EQ(r.writeFunctions, "16");
                    pdu = {16, hi(r.address), lo(r.address), 0, (uint8_t)r.registerCount,
                           (uint8_t)data.size()};
                    pdu.insert(pdu.end(), data.begin(), data.end());
                }
            }
            ASSERT_EQ(build(r, pdu, payload), 0) << r.unit << " " << r.identifier;
            EXPECT_NE(payload.find("\"write\""), std::string::npos);
            ++writes;
        } else if ((coil || holding) && r.registerCount == 1) {
            // Listed as not writable: the bridge must refuse the write.
            const std::vector<uint8_t> pdu = coil ? std::vector<uint8_t>{5, hi(r.address),
                                                                         lo(r.address), 0xFF, 0}
                                                  : std::vector<uint8_t>{6, hi(r.address),
                                                                         lo(r.address), 0, 0};
            EXPECT_NE(build(r, pdu, payload), 0) << r.unit << " " << r.identifier;
            ++refusals;
        }
        if (r.registerType == "signal") {
            EXPECT_EQ(r.directAddress, -1) << r.identifier;
            EXPECT_NE(build(r, {(uint8_t)fcRead, hi(r.address + 1000), lo(r.address + 1000), 0, 1},
                            payload),
                      0);
        }
    }
    EXPECT_GT(reads, 50);
    EXPECT_GT(writes, 20);
    // The sample lists every coil and holding register it maps as writable
    // (its read-only points are inputs), so none is refused here; a listed
    // refusal is checked against the bridge in AccessFollowsTableAndAddress.
    EXPECT_EQ(refusals, 0);
}

// The cleared-after-read column against clearAfterRead, with the dry
// contacts' channel types set to "pulse" and then to "level".
TEST_F(SamplePoints, ClearedAfterReadFollowsTheOneShotRule) {
    int conditional = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const uint16_t type = pass == 0 ? 2 : 1;
        for (const MappedDevice *d : device_list())
            if (isDryContactProduct(d->description->productKey))
                for (uint16_t a = 1; a <= 15; a += 2) set_input_reg(d->registerMap, a, type);
        for (const PointRow &r : loaded.rows) {
            if (!is_point(r) || r.address < 0) continue;
            const int fc = r.table == "discrete input" ? 2 : r.table == "input register" ? 4 : 0;
            if (fc == 0) {
                EXPECT_EQ(r.clearedAfterRead, "no") << r.identifier;
                continue;
            }
            const MappedDevice *d = find_device_by_unit(r.unit);
            const bool clears = clearAfterRead(d, fc, r.address);
            if (r.clearedAfterRead == "yes") {
                EXPECT_TRUE(clears) << r.unit << " " << r.identifier;
            } else if (r.clearedAfterRead == "no") {
                EXPECT_FALSE(clears) << r.unit << " " << r.identifier;
            } else {
                EXPECT_EQ(clears, type == 2) << r.unit << " " << r.identifier;
                ++conditional;
            }
        }
    }
    EXPECT_EQ(conditional, 2 * 3);  // contact1_state and the two channel values
}

TEST_F(SamplePoints, ReadOnlyClientsAndTheOfflinePolicyAreStatedBeforeTheUnits) {
    ScratchDir dir;
    const std::string acl = dir.write("mbacl.json", R"({"allow": ["10.0.0.1"], "readOnly": ["10.0.0.9"]})");
    const std::string opts = dir.write("mbopts.json", R"({"offlineException": true})");
    PointSources src = loaded.src;
    src.aclPath = acl;
    src.aclResult = mb_acl_load(acl.c_str());
    src.optsPath = opts;
    src.optsResult = mb_opts_load(opts.c_str());
    std::vector<PointRow> rows = build_point_list(src);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0].note, acl + ": Modbus clients accepted only from 10.0.0.1 and from 10.0.0.9 "
                                  "read-only (their writes get exception 1)");
    EXPECT_EQ(rows[1].note.rfind(opts + ": offlineException on", 0), 0u) << rows[1].note;
    EXPECT_NE(rows[1].note.find("exception 11"), std::string::npos);

    dir.write("mbacl.json", R"({"readOnly": ["10.0.0.9"]})");
    dir.write("mbopts.json", R"({"offlineException": "on"})");
    src.aclResult = mb_acl_load(acl.c_str());
    src.optsResult = mb_opts_load(opts.c_str());
    rows = build_point_list(src);
    EXPECT_EQ(rows[0].note, acl + ": Modbus clients accepted from any address; from 10.0.0.9 "
                                  "read-only (their writes get exception 1)");
    EXPECT_EQ(rows[1].error, opts + ": refused (\"offlineException\" is not true or false): the "
                                    "default options apply (offlineException off)");
    // Options off: no row, as without the file.
    dir.write("mbopts.json", R"({"offlineException": false})");
    src.optsResult = mb_opts_load(opts.c_str());
    EXPECT_EQ(build_point_list(src).size(), rows.size() - 1);
    mb_acl_load("/nonexistent-dir/mbacl.json");
    mb_opts_set(MbOptions());
}

TEST(PointListConfig, RefusedEntriesBecomeErrorRows) {
    start_log_capture();
    ScratchDir dir;
    dir.mkdir("descJson");
    const std::string sample = sample_dir();
    std::ifstream in(sample + "/descJson/switch3a.json");
    dir.write("descJson/switch3a.json",
              std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    dir.write("map.json", R"({"nodes": [
        {"mb_id": 1, "mqtt_dk": "swa30001", "sntype": "99000000101", "name": "走廊, \"东\""},
        {"mb_id": 2, "mqtt_dk": "unk00001", "sntype": "12345678901", "name": "空调"},
        {"mb_id": 1, "mqtt_dk": "swa30009", "sntype": "99000000101"},
        {"mb_id": 3, "mqtt_dk": "nosntype"},
        {"mb_id": 300, "mqtt_dk": "swa30003", "sntype": "99000000101"},
        {"mb_id": 9, "rtutype": "99000000101"},
        {"mb_id": 10, "mqtt_dk": "swa30001", "sntype": "99000000101"}]})");
    Loaded l = load_dir(dir.path);
    std::map<std::string, std::string> errors;  // device key -> error
    int unit1Points = 0;
    for (const PointRow &r : l.rows) {
        if (!r.error.empty()) errors[r.deviceKey] += r.error;
        if (r.unit == 1 && r.error.empty()) {
            ++unit1Points;
            EXPECT_EQ(r.deviceKey, "swa30001");
            EXPECT_EQ(r.deviceName, "走廊, \"东\"");
        }
    }
    EXPECT_EQ(unit1Points, 6);
    // An RTU entry: only map reads are answered, nothing goes to the gateway.
    int rtuPoints = 0;
    for (const PointRow &r : l.rows) {
        if (r.unit == 9) {
            ++rtuPoints;
            EXPECT_EQ(r.access, "R") << r.identifier;
            EXPECT_EQ(r.directAddress, -1) << r.identifier;
            EXPECT_NE(r.note.find("RTU entry"), std::string::npos);
        }
        if (r.unit == 10) {  // same device key as unit 1: its reports land there
            EXPECT_NE(r.note.find("also mapped to unit 1"), std::string::npos) << r.identifier;
        }
    }
    EXPECT_EQ(rtuPoints, 6);
    EXPECT_NE(errors["unk00001"].find("no description"), std::string::npos);
    EXPECT_NE(errors["unk00001"].find("12345678901"), std::string::npos);
    EXPECT_NE(errors["swa30009"].find("already served by swa30001"), std::string::npos);
    EXPECT_NE(errors["nosntype"].find("needs an int"), std::string::npos);
    EXPECT_NE(errors["swa30003"].find("outside 0-255"), std::string::npos);
    EXPECT_NE(errors[""].find("no unit 255"), std::string::npos);
    EXPECT_NE(errors[""].find("health counters and data ages are not served"), std::string::npos);
    // vrvC.json is missing, but no controller is mapped: no row about it.
    for (const PointRow &r : l.rows) EXPECT_EQ(r.error.find("vrvC.json"), std::string::npos);

    clear_devices();
    clear_descriptions();
}

// What a client can do follows the table and the address, not only the
// description's access mode.
TEST(PointListConfig, AccessFollowsTableAndAddress) {
    start_log_capture();
    ScratchDir dir;
    dir.mkdir("descJson");
    auto node = [](const char *id, const char *access, const char *type, int reg,
                   const char *op) {
        return std::string("{\"identifier\": \"") + id + "\", \"accessMode\": \"" + access +
               "\", \"desc\": \"function\", \"dataType\": {\"type\": \"double\", \"specs\": "
               "{\"min\": 0, \"max\": 100, \"step\": 1}}, \"originalDataType\": {\"type\": \"" +
               type + "\", \"specs\": {\"registerCount\": 1, \"reverseRegister\": 0, \"swap16\": "
               "0}}, \"registerAddress\": " + std::to_string(reg) + ", \"operateType\": \"" + op +
               "\"}";
    };
    dir.write("descJson/probe.json",
              "{\"nodes\": [" + node("rwInput", "rw", "uint16", 30002, "inputRegister") + "," +
                  node("roHolding", "r", "uint16", 40002, "holdingRegister") + "," +
                  node("high", "rw", "uint16", 41500, "holdingRegister") + "," +
                  node("outside", "rw", "uint16", 45000, "holdingRegister") + "," +
                  node("sig", "rw", "signal", 40003, "holdingRegister") + "," +
                  node("woHolding", "w", "uint16", 40004, "holdingRegister") +
                  "], \"profile\": {\"productKey\": \"probe\", \"snType\": [\"11111111111\"]},"
                  "\"mb_map\": {\"nb_input_registers\": 5, \"start_input_registers\": 1,"
                  "\"nb_registers\": 2000, \"start_registers\": 1}}");
    dir.write("map.json", R"({"nodes": [{"mb_id": 4, "mqtt_dk": "prb00001", "sntype": "11111111111"}]})");
    Loaded l = load_dir(dir.path);
    std::map<std::string, PointRow> by;
    for (const PointRow &r : l.rows) by[r.identifier] = r;

    EXPECT_EQ(by["rwInput"].access, "R");  // no Modbus function writes an input register
    EXPECT_EQ(by["rwInput"].writeFunctions, "");
    EXPECT_NE(by["rwInput"].note.find("no Modbus function writes"), std::string::npos);
    EXPECT_EQ(by["roHolding"].access, "R");
    EXPECT_EQ(by["woHolding"].access, "W");
    EXPECT_EQ(by["woHolding"].readFunctions, "");
    EXPECT_EQ(by["sig"].access, "R");
    EXPECT_EQ(by["sig"].directAddress, -1);
    // Table address 1500: a read of 1500 would be the direct alias of 500.
    EXPECT_EQ(by["high"].address, -1);
    EXPECT_EQ(by["high"].directAddress, 2500);
    EXPECT_EQ(by["high"].directNumber, "42501");
    EXPECT_EQ(by["high"].access, "RW");
    EXPECT_NE(by["outside"].error.find("outside the unit's holding register table (1-2000)"),
              std::string::npos);
    EXPECT_EQ(by["outside"].access, "");

    // The bridge agrees: a write to the read-only holding register and to the
    // signal is refused, a direct write to table address 1500 is built.
    const MappedDevice *dev = find_device_by_unit(4);
    ASSERT_NE(dev, nullptr);
    std::string payload;
    auto write = [&](int address) {
        std::vector<uint8_t> req = {0, 1, 0, 0, 0, 6, 4, 6, hi(address), lo(address), 0, 5};
        MbRequest decoded;
        mb_decode_request(req.data(), (int)req.size(), 5, &decoded);
        return buildGwCmd(dev, 9, &decoded, payload);
    };
    EXPECT_EQ(write(1), MB_EXC_ILLEGAL_DATA_ADDRESS);  // no node: not listed
    EXPECT_EQ(write(2), MB_EXC_ILLEGAL_FUNCTION);
    EXPECT_NE(write(3), 0);
    EXPECT_EQ(write(4), 0);
    EXPECT_EQ(write(2500), 0);
    EXPECT_NE(payload.find("\"high\":5"), std::string::npos) << payload;

    clear_devices();
    clear_descriptions();
}

TEST(PointListConfig, MissingFilesAreReported) {
    start_log_capture();
    ScratchDir dir;
    Loaded l = load_dir(dir.path);
    std::string all;
    for (const PointRow &r : l.rows) all += r.error + "\n";
    EXPECT_NE(all.find("descJson: cannot be read"), std::string::npos) << all;
    EXPECT_NE(all.find("map.json: cannot be opened"), std::string::npos) << all;
}

TEST(PointListFormat, CsvQuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(csv_field("plain"), "plain");
    EXPECT_EQ(csv_field(""), "");
    EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
    EXPECT_EQ(csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(csv_field("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(csv_field("大厅开关"), "大厅开关");
    EXPECT_EQ(csv_field(" padded"), "\" padded\"");

    PointRow r;
    r.unit = 3;
    r.table = "holding register";
    r.address = 3;
    r.number = "40004";
    r.deviceName = "会议室, \"A\"";
    const std::string csv = points_to_csv({r});
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBF" "unit,device_key,", 0), 0u);
    EXPECT_NE(csv.find("\r\n3,,,,\"会议室, \"\"A\"\"\",holding register,3,40004,"),
              std::string::npos)
        << csv;

    const std::string json = points_to_json({r});
    Json::Value parsed;
    Json::Reader reader;
    ASSERT_TRUE(reader.parse(json, parsed));
    ASSERT_TRUE(parsed.isArray());
    EXPECT_EQ(parsed[0]["device_name"].asString(), "会议室, \"A\"");
    EXPECT_TRUE(parsed[0]["address"].isInt());
    EXPECT_EQ(parsed[0]["address"].asInt(), 3);
    EXPECT_TRUE(parsed[0]["direct_address"].isNull());
    EXPECT_EQ(parsed[0].getMemberNames().size(), point_columns().size());
    // Chinese text is written as UTF-8, not as escapes.
    EXPECT_NE(json.find("会议室"), std::string::npos);
}

}  // namespace
