#include <gtest/gtest.h>

#include "devList.h"
#include "devTestUtil.h"

namespace {

class DevList : public testing::Test {
protected:
    void SetUp() override {
        start_log_capture();
        auto *d = new DeviceDescription();
        d->snTypes = {"A"};
        d->nb_registers = 4;
        d->start_registers = 1;
        d->nb_bits = 2;
        d->nodes.emplace_back();
        add_description(d);
        auto *r = new DeviceDescription();
        r->snTypes = {"R"};
        r->nb_input_registers = -5;  // from a "nb_input_registers" above 2^31
        add_description(r);
        logged_lines().clear();
    }
    void TearDown() override {
        clear_devices();
        clear_descriptions();
    }
    int load(const std::string &text) {
        return load_address_map(dir.write("map.json", text).c_str());
    }
    ScratchDir dir;
};

TEST_F(DevList, BothFormsDuplicatesAndRejectedNodes) {
    EXPECT_EQ(load(R"(/* map */ {"profile":{"name":"x"},"nodes":[
        {"mb_id":5.0,"mqtt_dk":"k5","sntype":"A"},
        {"mb_id":"5","mqtt_dk":"k6","sntype":"A"},
        {"mb_id":7,"mqtt_dk":"k7","sntype":"B","rtutype":"R"},
        {"mb_id":8,"mqtt_dk":"k8"},
        {"mb_id":9,"rtutype":"R"},
        {"mb_id":9,"rtutype":"Q"},
        3,
        {"mb_id":5,"mqtt_dk":"k5b","sntype":"A"},
        {"mb_id":300,"mqtt_dk":"k5","sntype":"A"}]})"),
              0);
    const auto &devs = device_list();
    ASSERT_EQ(devs.size(), 4u);
    EXPECT_EQ(count_at_least(LOG_LEVEL_ERROR), 2);  // "5" as a string, no sntype
    EXPECT_TRUE(logged("wrong node", LOG_LEVEL_ERROR));
    EXPECT_TRUE(logged("find 7 k7 B, not support yet", LOG_LEVEL_WARN));
    EXPECT_TRUE(logged("find 9 Q, rtu node, not support yet", LOG_LEVEL_WARN));

    MappedDevice *a = find_device_by_unit(5);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->deviceKey, "k5");
    EXPECT_EQ(find_device_by_key("k5"), a);  // first of two with that key
    ASSERT_NE(a->registerMap, nullptr);
    EXPECT_EQ(a->registerMap->nb_registers, 4u);
    EXPECT_EQ(a->registerMap->start_registers, 1u);
    EXPECT_EQ(a->registerMap->nb_bits, 2u);
    EXPECT_NE(devs[2]->registerMap, a->registerMap);  // same product, own map

    MappedDevice *rtu = find_device_by_unit(9);
    ASSERT_NE(rtu, nullptr);
    EXPECT_TRUE(rtu->isRtu);
    EXPECT_EQ(rtu->deviceKey, "standardRtu");
    EXPECT_EQ(rtu->sntype, "R");
    ASSERT_NE(rtu->registerMap, nullptr);
    EXPECT_EQ(rtu->registerMap->nb_input_registers, 0u);
    EXPECT_NE(find_device_by_unit(300), nullptr);

    remove_device(5);
    EXPECT_EQ(device_list().size(), 2u);
    EXPECT_EQ(find_device_by_unit(5), nullptr);
    EXPECT_EQ(add_device(4, "k4", "A"), 0);
    EXPECT_EQ(add_device(4, "k4", "Z"), -1);
    EXPECT_TRUE(logged("add 4 k4 Zfailed, sntype not supported", LOG_LEVEL_WARN));
    EXPECT_EQ(find_device_by_key("k4")->unitId, 4);
}

TEST_F(DevList, BrokenFilesRegisterNothing) {
    EXPECT_EQ(load("not json"), 0);
    EXPECT_TRUE(logged_lines().empty());
    EXPECT_EQ(load(R"({"nodes":{}})"), 0);
    EXPECT_TRUE(logged("wrong devMap fmt", LOG_LEVEL_ERROR));
    for (const char *text : {"[{\"mb_id\":1}]", "7", "\"nodes\"", R"({"nodes":[]})"}) {
        logged_lines().clear();
        EXPECT_EQ(load(text), 0) << text;
        EXPECT_LE(count_at_least(LOG_LEVEL_ERROR), 1) << text;
    }
    // Nested past the JSON reader's limit: refused like any broken file.
    EXPECT_EQ(load(std::string(1001, '[') + std::string(1001, ']')), 0);
    EXPECT_EQ(load("{\"nodes\":" + std::string(1100, '[') + std::string(1100, ']') + "}"), 0);
    EXPECT_TRUE(device_list().empty());
    EXPECT_EQ(load_address_map((dir.path + "/none.json").c_str()), -1);
    EXPECT_TRUE(logged("none.json failed", LOG_LEVEL_ERROR));
}

}  // namespace
