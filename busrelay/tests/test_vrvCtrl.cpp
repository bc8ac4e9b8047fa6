#include <gtest/gtest.h>

#include "devTestUtil.h"
#include "vrvCtrl.h"

namespace {

std::vector<std::pair<int, int>> g_online;
void record_online(int unit, int state) { g_online.push_back({unit, state}); }

class Vrv : public testing::Test {
protected:
    void SetUp() override {
        start_log_capture();
        g_online.clear();
        auto *vrv = new DeviceDescription();
        vrv->productKey = "vrvcontrolC";
        vrv->snTypes = {"V"};
        vrv->nb_input_registers = 1280;
        vrv->start_input_registers = 1;
        vrv->nb_registers = 1280;
        vrv->start_registers = 1;
        add_description(vrv);
        auto *sw = new DeviceDescription();
        sw->productKey = "switch3a";
        sw->snTypes = {"S"};
        sw->nb_input_registers = 30;
        sw->start_input_registers = 1;
        add_description(sw);
        auto *small = new DeviceDescription();
        small->productKey = "vrvcontrolC";
        small->snTypes = {"T"};
        small->nb_input_registers = 11;  // a slot search must stop at its end
        small->start_input_registers = 1;
        add_description(small);
        add_device(7, "vrv1", "V");
        add_device(8, "sw1", "S");
        add_device(9, "vrv2", "T");
        logged_lines().clear();
    }
    void TearDown() override {
        clear_devices();
        clear_descriptions();
    }
    Json::Value parse(const std::string &text) {
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string err;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &err)) << text;
        return v;
    }
    ScratchDir dir;
};

TEST_F(Vrv, ConfigFillsSlotAddresses) {
    std::string p = dir.write("vrvC.json", R"(// slots
    {"vrvC_vrv1":[{"slave_index":5,"slave_addr":3,"slave_outdoor_addr":1},
                  {"slave_index":130,"slave_addr":9,"slave_outdoor_addr":9},
                  {"slave_index":256,"slave_addr":65538,"slave_outdoor_addr":4},
                  {"slave_index":6,"slave_addr":-1,"slave_outdoor_addr":4}, 3],
     "vrvC_sw1":[{"slave_index":0,"slave_addr":1,"slave_outdoor_addr":1}],
     "vrvC_nobody":[], "vrvC_":[], "comment":"x"})");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_vrv_config(p.c_str()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "vrvC_\nvrvC_nobody\nvrvC_sw1\nvrvC_vrv1\n");
    EXPECT_TRUE(logged("wrong vrvC cfg node vrvC_", LOG_LEVEL_WARN));
    EXPECT_TRUE(logged("nobody not in dev id map", LOG_LEVEL_WARN));
    EXPECT_TRUE(logged("sw1 not vrcCtrl", LOG_LEVEL_WARN));
    const RegisterMap *m = find_device_by_key("vrv1")->registerMap;
    EXPECT_EQ(m->tab_input_registers[50], 3);
    EXPECT_EQ(m->tab_input_registers[51], 1);
    EXPECT_EQ(m->tab_input_registers[0], 2);  // slot 256 -> 0, low 16 bits
    EXPECT_EQ(m->tab_input_registers[1], 4);
    EXPECT_EQ(m->tab_input_registers[60], 0);  // negative address ignored
    EXPECT_EQ(find_device_by_key("sw1")->registerMap->tab_input_registers[0], 0);

    for (const char *text : {"[1]", "{", "4"}) {
        EXPECT_EQ(load_vrv_config(dir.write("v2.json", text).c_str()), -1) << text;
    }
    EXPECT_EQ(load_vrv_config((dir.path + "/none").c_str()), -1);
    EXPECT_TRUE(logged("none failed", LOG_LEVEL_ERROR));
}

TEST_F(Vrv, ReportFillsTheMatchingSlot) {
    const MappedDevice *dev = find_device_by_key("vrv1");
    RegisterMap *m = dev->registerMap;
    set_input_reg(m, 51, 3);
    set_input_reg(m, 52, 1);
    set_input_reg(m, 1, 7);  // slot 0 taken by another unit
    Json::Value report = parse(R"({"statistics":{"timesOfContinuousFailed":4},
        "function":{"slave_status":[
          {"slave_addr":3,"slave_outdoor_addr":1,"exist":1,"online":1,"error":65539,
           "return_air_temperature":25.57,"slave_mode":"heat","slave_switch":true,
           "slave_speed":"gear-3","slave_temperature":35},
          {"slave_addr":9,"slave_outdoor_addr":9,"exist":1},
          {"slave_addr":"3","slave_outdoor_addr":1},
          5]}})");
    logged_lines().clear();
    EXPECT_EQ(apply_vrv_report(report, dev, record_online), 0);
    EXPECT_EQ(g_online, (std::vector<std::pair<int, int>>{{7, 0}}));
    EXPECT_TRUE(logged("find vrv dot index 50 for 1+3", LOG_LEVEL_INFO));
    EXPECT_TRUE(logged("no vrv dot for 9+9", LOG_LEVEL_INFO));
    EXPECT_TRUE(logged("not find slave_addr+slave_outdoor_addr for vrvC json", LOG_LEVEL_WARN));
    EXPECT_TRUE(logged(" slave_temperature 35 out range[16~30], no care!", LOG_LEVEL_WARN));
    EXPECT_EQ(m->tab_input_registers[52], 1);
    EXPECT_EQ(m->tab_input_registers[53], 1);
    EXPECT_EQ(m->tab_input_registers[54], 3);
    EXPECT_EQ(m->tab_input_registers[55], 255);
    EXPECT_EQ(m->tab_registers[50], 2);
    EXPECT_EQ(m->tab_registers[51], 1);
    EXPECT_EQ(m->tab_registers[52], 7);
    EXPECT_EQ(m->tab_registers[53], 35);

    report = parse(R"({"statistics":{"timesOfContinuousFailed":0},"function":{"slave_status":[
        {"slave_addr":3,"slave_outdoor_addr":1,"slave_mode":"fan","slave_speed":"turbo",
         "return_air_temperature":-3,"slave_switch":false}]}})");
    EXPECT_EQ(apply_vrv_report(report, dev, record_online), 0);
    EXPECT_TRUE(logged("unsupport mode fan for vrv", LOG_LEVEL_WARN));
    EXPECT_TRUE(logged("unsupport speed turbo for vrv", LOG_LEVEL_WARN));
    EXPECT_EQ(m->tab_registers[50], 0);
    EXPECT_EQ(m->tab_registers[51], 0);
    EXPECT_EQ(m->tab_registers[52], 0);
    EXPECT_EQ(m->tab_input_registers[55], 0);
    EXPECT_EQ(g_online.back(), std::make_pair(7, 1));

    // Statistics are applied even when the report has no slave_status.
    g_online.clear();
    EXPECT_EQ(apply_vrv_report(parse(R"({"statistics":{"timesOfContinuousFailed":2},"function":{}})"),
                               dev, record_online),
              -1);
    EXPECT_TRUE(g_online.empty());
    EXPECT_EQ(apply_vrv_report(parse(R"({"statistics":{"timesOfContinuousFailed":9}})"), dev,
                               record_online),
              -1);
    EXPECT_EQ(g_online.size(), 1u);
    // Both addresses 0 land in the first unfilled slot (slot 1 here).
    EXPECT_EQ(apply_vrv_report(parse(R"({"function":{"slave_status":[
        {"slave_addr":0,"slave_outdoor_addr":0,"exist":1}]}})"), dev, nullptr), 0);
    EXPECT_EQ(m->tab_input_registers[12], 1);
}

TEST_F(Vrv, SearchStaysInsideAShortTable) {
    const MappedDevice *dev = find_device_by_key("vrv2");  // 11 input registers
    Json::Value report;
    report["function"]["slave_status"][0]["slave_addr"] = 0;
    report["function"]["slave_status"][0]["slave_outdoor_addr"] = 5;
    EXPECT_EQ(apply_vrv_report(report, dev, nullptr), -1);
    EXPECT_TRUE(logged("no vrv dot for 5+0"));
    MappedDevice noMap = *dev;
    noMap.registerMap = nullptr;
    EXPECT_EQ(apply_vrv_report(report, &noMap, nullptr), -1);
}

}  // namespace
