// The shipped sample configuration must load cleanly and be self-consistent.
#include <gtest/gtest.h>

#include <set>

#include "devTestUtil.h"
#include "valueConv.h"
#include "vrvCtrl.h"

namespace {

class Sample : public testing::Test {
protected:
    static void SetUpTestSuite() {
        start_log_capture();
        std::string dir = sample_dir();
        testing::internal::CaptureStdout();
        loadResults[0] = load_descriptions((dir + "/descJson").c_str());
        loadResults[1] = load_address_map((dir + "/map.json").c_str());
        loadResults[2] = load_vrv_config((dir + "/vrvC.json").c_str());
        testing::internal::GetCapturedStdout();
        loadLog = logged_lines();
    }
    static void TearDownTestSuite() {
        clear_devices();
        clear_descriptions();
    }
    static int loadResults[3];
    static std::vector<LoggedLine> loadLog;
};
int Sample::loadResults[3];
std::vector<LoggedLine> Sample::loadLog;

TEST_F(Sample, LoadsWithoutWarnings) {
    EXPECT_EQ(loadResults[0], 0);
    EXPECT_EQ(loadResults[1], 0);
    EXPECT_EQ(loadResults[2], 0);
    for (const auto &l : loadLog) EXPECT_LT(l.level, LOG_LEVEL_WARN) << l.text;
    EXPECT_EQ(description_list().size(), 8u);
    EXPECT_EQ(device_list().size(), 9u);
    for (const MappedDevice *d : device_list()) EXPECT_NE(d->registerMap, nullptr) << d->unitId;
}

TEST_F(Sample, GatewayUnitAndVrvController) {
    const MappedDevice *gw = find_device_by_unit(255);
    ASSERT_NE(gw, nullptr);
    EXPECT_EQ(gw->sntype, "99000000002");
    const RegisterMap *m = gw->registerMap;
    // The description's 24 registers of version text, widened by the loader
    // to the health block and the data ages.
    EXPECT_EQ(m->start_input_registers, 1u);
    EXPECT_EQ(m->nb_input_registers, 547u);
    EXPECT_EQ(m->start_input_bits, 1u);
    EXPECT_EQ(m->nb_input_bits, 494u);
    const DescriptionNode *ver = find_node_by_register(gw->description, 30001);
    ASSERT_NE(ver, nullptr);
    EXPECT_EQ(ver->identifier, "modbusSoftwareVer");
    EXPECT_EQ(ver->registerSpec.registerCount, 24);

    const MappedDevice *vrv = find_device_by_key("vrv10001");
    ASSERT_NE(vrv, nullptr);
    EXPECT_EQ(vrv->description->productKey, "vrvcontrolC");
    EXPECT_EQ(vrv->description->nodes.size(), 1280u);
    EXPECT_EQ(vrv->registerMap->tab_input_registers[50], 3);  // slot 5: 3+2
    EXPECT_EQ(vrv->registerMap->tab_input_registers[51], 2);
    const DescriptionNode *mode = find_node_by_register(vrv->description, 40051);
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->identifier, "slave_index/5/slave_mode");
    Json::Value cmd(Json::objectValue);
    uint8_t heat[] = {0, 2};
    EXPECT_EQ(put_node_param(vrv, cmd, mode, true, heat, 2), 0);
    const Json::Value &e = cmd["function"]["slave_status"][0];
    EXPECT_EQ(e["slave_mode"].asString(), "heat");
    EXPECT_EQ(e["slave_addr"].asUInt(), 3u);
    EXPECT_EQ(e["slave_outdoor_addr"].asUInt(), 2u);
    EXPECT_NE(find_device_by_key("dcs20001"), nullptr);
    EXPECT_EQ(find_device_by_key("dcs20001")->description->productKey, "contactsw2s");
}

// Every node lies inside its unit's tables, no two nodes share a register,
// and every supported pairing of data model and register type occurs.
TEST_F(Sample, NodesFitTheirTablesAndCoverEveryPairing) {
    std::set<std::pair<int, int>> pairs;
    std::set<int> boolTables;
    for (const DeviceDescription *d : description_list()) {
        std::set<long> used;
        const MappedDevice *dev = nullptr;
        for (const MappedDevice *m : device_list())
            if (m->description == d) dev = m;
        ASSERT_NE(dev, nullptr) << d->productKey << " is not mapped";
        for (const DescriptionNode &n : d->nodes) {
            pairs.insert({n.dataModel.type, n.registerSpec.type});
            if (n.dataModel.type == DM_Bool) boolTables.insert(n.table);
            EXPECT_NE(n.registerSpec.type, RT_Unknown) << n.identifier;
            const RegisterMap *m = dev->registerMap;
            uint32_t start[] = {m->start_bits, m->start_input_bits, m->start_registers,
                                m->start_input_registers};
            uint32_t count[] = {m->nb_bits, m->nb_input_bits, m->nb_registers,
                                m->nb_input_registers};
            for (int k = 0; k < n.registerSpec.registerCount; ++k) {
                long a = node_table_address(n) + k;
                EXPECT_GE(register_index(start[n.table], count[n.table], a), 0)
                    << d->productKey << " " << n.identifier;
                EXPECT_TRUE(used.insert(n.table * 65536L + a).second)
                    << d->productKey << " " << n.identifier << " overlaps";
            }
        }
    }
    EXPECT_EQ(boolTables.size(), 4u);
    for (int rt : {RT_Bool, RT_Signal, RT_Uint16, RT_Int16, RT_Uint32, RT_Int32})
        EXPECT_TRUE(pairs.count({DM_Double, rt})) << "double/" << rt;
    EXPECT_TRUE(pairs.count({DM_Enum, RT_Enum}));
    for (int rt : {RT_String, RT_Date, RT_Time})
        EXPECT_TRUE(pairs.count({DM_Text, rt})) << "text/" << rt;
}

}  // namespace
