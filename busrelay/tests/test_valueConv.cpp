#include <gtest/gtest.h>

#include "devTestUtil.h"
#include "valueConv.h"

namespace {

DescriptionNode make(const char *id, DataModelType dm, RegisterType rt, uint16_t address,
                     RegisterTable table, int count = 1) {
    DescriptionNode n;
    n.identifier = id;
    n.dataModel.type = dm;
    n.registerSpec.type = rt;
    n.registerSpec.registerCount = count;
    n.registerAddress = address;
    n.table = table;
    return n;
}

DescriptionNode doubleNode(RegisterType rt, uint16_t address, double min, double max,
                           int scaling = 1) {
    DescriptionNode n = make("d", DM_Double, rt, address, HoldingRegister,
                             rt == RT_Uint32 || rt == RT_Int32 ? 2 : 1);
    n.dataModel.min = min;
    n.dataModel.max = max;
    n.scaling = scaling;
    return n;
}

DescriptionNode enumNode(uint16_t min, uint16_t max) {
    DescriptionNode n = make("e", DM_Enum, RT_Enum, 40001, HoldingRegister);
    n.dataModel.enumCount = 2;
    n.dataModel.enumNames = {"off", "on"};
    n.registerSpec.min = min;
    n.registerSpec.max = max;
    return n;
}

class ValueConv : public testing::Test {
protected:
    void SetUp() override {
        start_log_capture();
        map = register_map_new(0, 4, 0, 4, 0, 20, 0, 20);
        dev.description = &desc;
        dev.registerMap = map;
        dev.deviceKey = "k1";
    }
    void TearDown() override { register_map_free(map); }
    int write(const DescriptionNode &n, std::vector<uint8_t> bytes) {
        cmd = Json::Value(Json::objectValue);
        return put_node_param(&dev, cmd, &n, true, bytes.data(), static_cast<int>(bytes.size()));
    }
    RegisterMap *map = nullptr;
    DeviceDescription desc;
    MappedDevice dev;
    Json::Value cmd;
};

TEST_F(ValueConv, ScaledDoubleBothDirections) {
    DescriptionNode n = doubleNode(RT_Int16, 40005, 0, 1000, 10);
    EXPECT_EQ(value_to_registers(Json::Value(12.34), &n, map), 0);
    EXPECT_EQ(map->tab_registers[5], 123);
    EXPECT_EQ(value_to_registers(Json::Value(150), &n, map), 0);
    EXPECT_TRUE(logged("1500.0000 out rang [0.0000, 1000.0000] for d, use border!", LOG_LEVEL_WARN));
    EXPECT_EQ(map->tab_registers[5], 1000);
    EXPECT_EQ(write(n, {0x01, 0xF4}), 0);
    EXPECT_TRUE(cmd["d"].isDouble());
    EXPECT_DOUBLE_EQ(cmd["d"].asDouble(), 50.0);
    EXPECT_EQ(write(n, {0x03, 0xE9}), 3);
    EXPECT_TRUE(logged("invalid value1001.0000 to write d, range[0.0000, 1000.0000]"));

    DescriptionNode negative = doubleNode(RT_Int16, 40006, -400, 1000, 10);
    EXPECT_EQ(value_to_registers(Json::Value(-5.5), &negative, map), 0);
    EXPECT_EQ(map->tab_registers[6], 0xFFC9);  // -55
    // A zero scaling must not divide a written value by zero.
    DescriptionNode zero = doubleNode(RT_Uint16, 40007, 0, 100, 0);
    EXPECT_EQ(write(zero, {0, 5}), 4);
    EXPECT_FALSE(cmd.isMember("d"));
    EXPECT_EQ(value_to_registers(Json::Value(7), &zero, map), 0);
    EXPECT_EQ(map->tab_registers[7], 0);
}

TEST_F(ValueConv, IntegerWidthsAndRanges) {
    DescriptionNode u16 = doubleNode(RT_Uint16, 40001, 0, 65535);
    EXPECT_EQ(write(u16, {0x9C, 0x40}), 3);  // taken as -25536
    EXPECT_EQ(write(u16, {0x7F, 0xFF}), 0);
    EXPECT_TRUE(cmd["d"].isInt());
    EXPECT_EQ(cmd["d"].asInt(), 32767);

    DescriptionNode u32 = doubleNode(RT_Uint32, 40010, 0, 4294967295.0);
    EXPECT_EQ(value_to_registers(Json::Value(70000), &u32, map), 0);
    EXPECT_EQ(map->tab_registers[10], 0x0001);
    EXPECT_EQ(map->tab_registers[11], 0x1170);
    EXPECT_EQ(value_to_registers(Json::Value(3000000000.0), &u32, map), 0);
    EXPECT_EQ(map->tab_registers[10], 0x7FFF);
    EXPECT_EQ(map->tab_registers[11], 0xFFFF);
    EXPECT_EQ(write(u32, {0x00, 0x01, 0x11, 0x70}), 0);
    EXPECT_EQ(cmd["d"].asInt(), 70000);
    DescriptionNode i32 = doubleNode(RT_Int32, 40012, -100, 100);
    EXPECT_EQ(write(i32, {0xFF, 0xFF, 0xFF, 0x9C}), 0);
    EXPECT_EQ(cmd["d"].asInt(), -100);
    // A description with too few registers for its type reads no further
    // than the request's bytes.
    EXPECT_EQ(write(i32, {0xFF, 0xFF}), 4);
    // Last register outside the table: the first one stays written.
    DescriptionNode edge = doubleNode(RT_Int32, 40019, -100, 100);
    EXPECT_EQ(value_to_registers(Json::Value(-1), &edge, map), -1);
    EXPECT_EQ(map->tab_registers[19], 0xFFFF);

    DescriptionNode toBit = doubleNode(RT_Bool, 10002, 0, 1);
    toBit.table = DiscreteInput;
    EXPECT_EQ(value_to_registers(Json::Value(0.4), &toBit, map), 0);
    EXPECT_EQ(map->tab_input_bits[2], 1);
    DescriptionNode u16InCoil = doubleNode(RT_Uint16, 3, 0, 10);
    u16InCoil.table = Coil;
    EXPECT_EQ(value_to_registers(Json::Value(1), &u16InCoil, map), -1);
    EXPECT_TRUE(logged("not support convert d to modbus value", LOG_LEVEL_WARN));
}

TEST_F(ValueConv, EnumsBoolsAndTypeMismatches) {
    DescriptionNode e = enumNode(0, 1);
    EXPECT_EQ(value_to_registers(Json::Value("on"), &e, map), 0);
    EXPECT_EQ(map->tab_registers[1], 1);
    EXPECT_EQ(value_to_registers(Json::Value("On"), &e, map), -1);
    EXPECT_EQ(write(e, {0, 1}), 0);
    EXPECT_EQ(cmd["e"].asString(), "on");
    EXPECT_EQ(write(e, {0, 2}), 3);
    EXPECT_TRUE(logged("invalid value 2 to write e, rang[0, 1]", LOG_LEVEL_WARN));
    DescriptionNode wide = enumNode(0, 5);
    logged_lines().clear();
    EXPECT_EQ(write(wide, {0, 2}), 4);
    EXPECT_TRUE(logged("WTF!! check your json dec", LOG_LEVEL_ERROR));
    DescriptionNode offset = enumNode(3, 4);
    EXPECT_EQ(write(offset, {0, 4}), 0);
    EXPECT_EQ(cmd["e"].asString(), "on");

    DescriptionNode b = make("b", DM_Bool, RT_Bool, 40003, HoldingRegister);
    EXPECT_EQ(write(b, {0x01, 0x00}), 0);
    EXPECT_EQ(cmd["b"], Json::Value(false));
    EXPECT_EQ(value_to_registers(Json::Value(true), &b, map), 0);
    EXPECT_EQ(map->tab_registers[3], 1);
    DescriptionNode coil = make("c", DM_Bool, RT_Bool, 2, Coil);
    EXPECT_EQ(value_to_registers(Json::Value(true), &coil, map), 0);
    EXPECT_EQ(map->tab_bits[2], 1);

    logged_lines().clear();
    EXPECT_EQ(value_to_registers(Json::Value(1), &b, map), -1);
    EXPECT_TRUE(logged("b not double type"));
    EXPECT_EQ(value_to_registers(Json::Value("x"), &b, map), -1);
    EXPECT_TRUE(logged("b not string type or enum"));
    EXPECT_EQ(value_to_registers(Json::Value(true), &e, map), -1);
    EXPECT_TRUE(logged("e not bool type"));
    for (const Json::Value &v : {Json::Value(), Json::Value(Json::arrayValue),
                                 Json::Value(Json::objectValue)}) {
        logged_lines().clear();
        EXPECT_EQ(value_to_registers(v, &b, map), -1);
        EXPECT_TRUE(logged("not support convert b to modbus value", LOG_LEVEL_WARN));
    }
}

TEST_F(ValueConv, TextStringDateTime) {
    DescriptionNode s = make("s", DM_Text, RT_String, 30001, InputRegister, 4);
    s.dataModel.textLength = 8;
    EXPECT_EQ(value_to_registers(Json::Value("ABCDEFGHIJ"), &s, map), 0);
    EXPECT_TRUE(logged("string too long for s", LOG_LEVEL_WARN));
    EXPECT_EQ(map->tab_input_registers[1], 0x4142);
    EXPECT_EQ(map->tab_input_registers[4], 0x4748);
    EXPECT_EQ(map->tab_input_registers[5], 0);
    EXPECT_EQ(value_to_registers(Json::Value("ABC"), &s, map), 0);
    EXPECT_EQ(map->tab_input_registers[2], 0x4300);
    EXPECT_EQ(map->tab_input_registers[3], 0x4546);  // unchanged
    // A text length beyond the registers never spills into the next node.
    s.dataModel.textLength = 40;
    EXPECT_EQ(value_to_registers(Json::Value("0123456789"), &s, map), 0);
    EXPECT_EQ(map->tab_input_registers[4], 0x3637);
    EXPECT_EQ(map->tab_input_registers[5], 0);
    EXPECT_EQ(write(s, {'h', 'i', 0, 'x'}), 0);
    EXPECT_EQ(cmd["s"].asString(), "hi");

    DescriptionNode d = make("dt", DM_Text, RT_Date, 40001, HoldingRegister, 2);
    d.dataModel.textLength = 10;
    EXPECT_EQ(value_to_registers(Json::Value("2022-09-06"), &d, map), 0);
    EXPECT_EQ(map->tab_registers[1], 0xE609);
    EXPECT_EQ(map->tab_registers[2], 0x0600);
    EXPECT_EQ(value_to_registers(Json::Value("2022-9-6"), &d, map), -1);
    EXPECT_TRUE(logged("string too short for dt"));
    EXPECT_EQ(value_to_registers(Json::Value("2022/09/06"), &d, map), -1);
    EXPECT_TRUE(logged("wrong to date string for dt"));
    EXPECT_EQ(write(d, {0x16, 0x09, 0x06, 0x00}), 0);
    EXPECT_EQ(cmd["dt"].asString(), "2022-09-06");
    // What a write sends is what the gateway answers with: it must store.
    EXPECT_EQ(value_to_registers(cmd["dt"], &d, map), 0);
    EXPECT_EQ(write(d, {0, 1, 2, 0}), 0);
    EXPECT_EQ(cmd["dt"].asString(), "2000-01-02");
    EXPECT_EQ(write(d, {100, 1, 1, 0}), 3);
    EXPECT_EQ(write(d, {1, 13, 1, 0}), 3);
    EXPECT_EQ(write(d, {1, 1, 32, 0}), 3);

    DescriptionNode t = make("tm", DM_Text, RT_Time, 40003, HoldingRegister, 2);
    t.dataModel.textLength = 8;
    EXPECT_EQ(write(t, {0x0C, 0x1E, 0x2D, 0x00}), 0);
    EXPECT_EQ(cmd["tm"].asString(), "12:30:45");
    EXPECT_EQ(write(t, {8, 5, 0, 0}), 0);
    EXPECT_EQ(cmd["tm"].asString(), "08:05:00");
    EXPECT_EQ(value_to_registers(cmd["tm"], &t, map), 0);
    EXPECT_EQ(write(t, {24, 0, 0, 0}), 3);
    EXPECT_EQ(write(t, {0, 60, 0, 0}), 3);
    EXPECT_EQ(write(t, {0, 0, 60, 0}), 3);
    EXPECT_EQ(value_to_registers(Json::Value("08:05:09"), &t, map), 0);
    EXPECT_EQ(map->tab_registers[3], 0x0805);
    EXPECT_EQ(map->tab_registers[4], 0x0900);

    DescriptionNode sig = doubleNode(RT_Signal, 40008, 0, 10);
    EXPECT_EQ(write(sig, {0, 1}), 4);
}

TEST_F(ValueConv, PathsArraysAndReadPlaceholders) {
    DescriptionNode b = make("x", DM_Bool, RT_Bool, 1, Coil);
    b.desc = "/a//b/";
    Json::Value root(Json::objectValue);
    root["cmd"] = "read";
    EXPECT_EQ(put_node_param(&dev, root, &b, false, nullptr, 0), 0);
    EXPECT_EQ(root["a"]["b"]["x"], Json::Value(true));
    DescriptionNode t = make("t", DM_Text, RT_String, 30001, InputRegister);
    DescriptionNode d = doubleNode(RT_Uint16, 40001, 0, 1);
    EXPECT_EQ(put_node_param(&dev, root, &t, false, nullptr, 0), 0);
    EXPECT_EQ(put_node_param(&dev, root, &d, false, nullptr, 0), 0);
    EXPECT_EQ(root["t"].asString(), "nocare");
    EXPECT_EQ(root["d"].asInt(), 0);
    DescriptionNode clash = make("y", DM_Bool, RT_Bool, 1, Coil);
    clash.desc = "cmd";
    EXPECT_EQ(put_node_param(&dev, root, &clash, false, nullptr, 0), 4);
    DescriptionNode unknown = make("u", DM_Unknown, RT_Bool, 1, Coil);
    EXPECT_EQ(put_node_param(&dev, root, &unknown, false, nullptr, 0), 4);

    // VRV: members of one slot gather in one element with the slot's addresses.
    desc.productKey = "vrvcontrolC";
    map->tab_input_registers[10] = 3;
    map->tab_input_registers[11] = 1;
    DescriptionNode mode = enumNode(0, 1);
    mode.identifier = "slave_index/1/slave_mode";
    mode.desc = "function/slave_status";
    mode.isArray = true;
    DescriptionNode sw = make("slave_index/1/slave_switch", DM_Bool, RT_Bool, 40012,
                              HoldingRegister);
    sw.desc = mode.desc;
    sw.isArray = true;
    Json::Value w(Json::objectValue);
    uint8_t one[] = {0, 1};
    EXPECT_EQ(put_node_param(&dev, w, &mode, true, one, 2), 0);
    EXPECT_EQ(put_node_param(&dev, w, &sw, true, one, 2), 0);
    const Json::Value &arr = w["function"]["slave_status"];
    ASSERT_EQ(arr.size(), 1u);
    EXPECT_EQ(arr[0]["slave_index"].asInt(), 1);
    EXPECT_EQ(arr[0]["slave_mode"].asString(), "on");
    EXPECT_EQ(arr[0]["slave_switch"], Json::Value(true));
    EXPECT_EQ(arr[0]["slave_addr"].asUInt(), 3u);
    EXPECT_EQ(arr[0]["slave_outdoor_addr"].asUInt(), 1u);
    EXPECT_EQ(put_node_param(&dev, w, &sw, true, one, 2), 4);
    EXPECT_TRUE(logged("WTF! allready has slave_switch for slave_index1"));

    // The slot lookup stays inside the unit's input table (20 here).
    for (const char *id : {"slave_index/2/slave_mode", "slave_index/-1/slave_mode",
                           "slave_index/128/slave_mode"}) {
        mode.identifier = id;
        Json::Value c(Json::objectValue);
        EXPECT_EQ(put_node_param(&dev, c, &mode, true, one, 2), 4) << id;
        EXPECT_EQ(c["function"]["slave_status"].size(), 0u) << id;
    }
    EXPECT_TRUE(logged("slave index large than 127"));
    DescriptionNode addr = doubleNode(RT_Uint16, 30011, 0, 65535);
    addr.table = InputRegister;
    addr.identifier = "slave_index/1/slave_addr";
    addr.desc = mode.desc;
    addr.isArray = true;
    Json::Value r(Json::objectValue);
    EXPECT_EQ(put_node_param(&dev, r, &addr, false, nullptr, 0), 0);
    EXPECT_EQ(r["function"]["slave_status"][0]["slave_addr"].asUInt(), 3u);
    addr.registerAddress = 30021;
    addr.identifier = "slave_index/2/slave_addr";
    EXPECT_EQ(put_node_param(&dev, r, &addr, false, nullptr, 0), 4);

    for (const char *id : {"a/1", "a/1/b/c", "a/x/b", "a//b/c"}) {
        mode.identifier = id;
        Json::Value c(Json::objectValue);
        EXPECT_EQ(put_node_param(&dev, c, &mode, true, one, 2), 4) << id;
    }
    EXPECT_TRUE(logged("wrong identifier for array.2"));
    EXPECT_TRUE(logged("wrong identifier for array. ret=1"));
    Json::Value bad(Json::objectValue);
    bad["function"]["slave_status"].append(Json::Value(Json::objectValue));
    bad["function"]["slave_status"][0]["slave_index"] = "1";
    mode.identifier = "slave_index/1/slave_mode";
    EXPECT_EQ(put_node_param(&dev, bad, &mode, true, one, 2), 4);
    EXPECT_TRUE(logged("WTF! allready has slave_index, but not interger"));
}

}  // namespace
