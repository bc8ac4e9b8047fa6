#include <gtest/gtest.h>

#include <string>

#include "devDesc.h"
#include "devTestUtil.h"

namespace {

const char *kBoolReg = R"({"type":"bool","specs":{"registerCount":1,"reverseRegister":0,"swap16":0}})";
const char *kTail = R"(,"profile":{"productKey":"pk","snType":["111",5,"222"]},"mb_map":{}})";

std::string bool_node(const std::string &extra, int address = 1) {
    return R"({"identifier":"x","dataType":{"type":"bool"},"originalDataType":)" +
           std::string(kBoolReg) + R"(,"registerAddress":)" + std::to_string(address) +
           R"(,"operateType":"coilStatus")" + extra + "}";
}

class DevDesc : public testing::Test {
protected:
    void SetUp() override { start_log_capture(); }
    void TearDown() override { clear_descriptions(); }
    DeviceDescription *load(const std::string &nodes, const std::string &tail = kTail) {
        std::string path = dir.write("d.json", R"({"nodes":[)" + nodes + "]" + tail);
        testing::internal::CaptureStdout();
        DeviceDescription *d = load_description(path.c_str());
        out = testing::internal::GetCapturedStdout();
        if (d) add_description(d);
        return d;
    }
    ScratchDir dir;
    std::string out;
};

TEST_F(DevDesc, NodeKeysAccessAddressAndListing) {
    DeviceDescription *d = load(
        bool_node(R"(,"identifier":"a","accessMode":"RW","desc":"function","collection":true,"scaling":10)") + "," +
        bool_node(R"(,"identifier":"b","accessMode":"r")") + "," +
        bool_node(R"(,"identifier":"c","accessMode":"w")") + "," +
        bool_node(R"(,"identifier":"e","accessMode":"rw","operateType":"holdingRegister")", 70000));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->nodes.size(), 4u);
    EXPECT_EQ(d->nodes[0].access, ReadOnly);
    EXPECT_EQ(d->nodes[0].desc, "function");
    EXPECT_TRUE(d->nodes[0].isArray);
    EXPECT_EQ(d->nodes[0].scaling, 10);
    EXPECT_EQ(d->nodes[1].access, ReadOnly);
    EXPECT_EQ(d->nodes[2].access, WriteOnly);
    EXPECT_EQ(d->nodes[3].access, ReadWrite);
    EXPECT_EQ(d->nodes[3].registerAddress, 4464);
    EXPECT_EQ(d->nodes[3].table, HoldingRegister);
    EXPECT_EQ(d->productKey, "pk");
    EXPECT_EQ(d->snTypes, (std::vector<std::string>{"111", "222"}));
    EXPECT_NE(out.find("a rw=0, desc=function, isArray=true, ops=0, reg=1, scall=10\n"),
              std::string::npos);
    EXPECT_NE(out.find("111\n222\n"), std::string::npos);
    EXPECT_NE(out.find("[cnt start_addr] bits:0,0, input_bis:0,0, input_reg:0,0, hold_reg:0,0"),
              std::string::npos);
    EXPECT_EQ(find_description("222"), d);
    EXPECT_EQ(find_node_by_identifier(d, "a", "function", true), &d->nodes[0]);
    EXPECT_EQ(find_node_by_identifier(d, "a", "function", false), nullptr);
    EXPECT_EQ(find_node_by_register(d, 4464), &d->nodes[3]);
}

TEST_F(DevDesc, MultiRegisterExpansionAndUnsafePatterns) {
    const std::string multi = R"(,"registerAddress":30001,"operateType":"inputRegister","isMultiReg":true,"multiRegStep":10,"multiRegNums":3)";
    DeviceDescription *d = load(bool_node(R"(,"identifier":"k/%d/m")" + multi) + "," +
                                bool_node(R"(,"identifier":"p%%q%02d")" + multi) + "," +
                                bool_node(R"(,"identifier":"same")" + multi) + "," +
                                bool_node(R"(,"identifier":"none","isMultiReg":true,"multiRegStep":1)"));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->nodes.size(), 10u);
    EXPECT_EQ(d->nodes[0].identifier, "k/0/m");
    EXPECT_EQ(d->nodes[1].registerAddress, 30011);
    EXPECT_EQ(d->nodes[2].identifier, "k/2/m");
    EXPECT_EQ(d->nodes[2].registerAddress, 30021);
    EXPECT_EQ(d->nodes[5].identifier, "p%q02");
    EXPECT_EQ(d->nodes[8].identifier, "same");
    EXPECT_EQ(d->nodes[9].identifier, "none");  // incomplete multi keys are ignored
    EXPECT_NE(out.find("        multi  to 3 by step 10\n"), std::string::npos);

    // The largest expansion, between plain nodes; a zero count still makes a
    // (node-less) description.
    const std::string full = R"(,"registerAddress":0,"operateType":"inputRegister","isMultiReg":true,"multiRegStep":1,"multiRegNums":65536)";
    d = load(bool_node(R"(,"identifier":"first")") + "," +
             bool_node(R"(,"identifier":"t%d")" + full) + "," +
             bool_node(R"(,"identifier":"last")", 7));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->nodes.size(), 65538u);
    EXPECT_EQ(d->nodes[0].identifier, "first");
    EXPECT_EQ(d->nodes[65536].identifier, "t65535");
    EXPECT_EQ(d->nodes[65536].registerAddress, 65535);
    EXPECT_EQ(d->nodes[65537].identifier, "last");
    EXPECT_EQ(d->nodes[65537].registerAddress, 7);
    d = load(bool_node(R"(,"identifier":"z%d","isMultiReg":true,"multiRegStep":1,"multiRegNums":0)"));
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->nodes.empty());

    // Conversions other than one integer, or an expansion past 63
    // characters, refuse the node instead of reaching printf.
    for (const char *bad : {"a%s", "%d%d", "%n", "%x", "%5$d", "%999d", "%"}) {
        logged_lines().clear();
        EXPECT_EQ(load(bool_node(R"(,"identifier":")" + std::string(bad) + "\"" + multi)), nullptr)
            << bad;
        EXPECT_TRUE(logged("node0 identifier", LOG_LEVEL_ERROR)) << bad;
    }
    logged_lines().clear();
    std::string longId(63, 'z');
    EXPECT_EQ(load(bool_node(R"(,"identifier":")" + longId + "%d\"" + multi)), nullptr);
    EXPECT_TRUE(logged("longer than 63 when expanded", LOG_LEVEL_ERROR));
    EXPECT_NE(load(bool_node(R"(,"identifier":")" + std::string(62, 'z') + "%d\"" + multi)),
              nullptr);
}

TEST_F(DevDesc, DataModelAndRegisterSpecs) {
    auto enumNode = [](const std::string &names) {
        return R"({"identifier":"e","dataType":{"type":"enum","specs":[)" + names +
               R"(]},"originalDataType":{"type":"enum","specs":{"registerCount":1,"reverseRegister":0,"swap16":1,"min":65537,"max":3,"step":1}},"registerAddress":40001,"operateType":"holdingRegister"})";
    };
    std::string twelve, thirteen;
    for (int i = 0; i < 12; ++i) twelve += (i ? ",\"n" : "\"n") + std::to_string(i) + "\"";
    thirteen = twelve + ",\"n12\"";
    DeviceDescription *d = load(enumNode(twelve) + "," + enumNode(thirteen) + "," +
                                enumNode(R"("off",7,"on")") + "," +
                                R"({"identifier":"u","dataType":{"type":"double","specs":{"min":-1.5,"max":2,"step":0.5}},"originalDataType":{"type":"float","specs":{}},"registerAddress":5,"operateType":"coilStatus"})");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->nodes.size(), 3u);
    EXPECT_TRUE(logged("too many enum", LOG_LEVEL_ERROR));
    EXPECT_EQ(d->nodes[0].dataModel.enumCount, 12);
    EXPECT_EQ(d->nodes[0].dataModel.enumNames[11], "n11");
    EXPECT_EQ(d->nodes[0].registerSpec.min, 1);  // low 16 bits
    EXPECT_TRUE(d->nodes[0].registerSpec.swap16);
    EXPECT_EQ(d->nodes[1].dataModel.enumCount, 2);
    EXPECT_EQ(d->nodes[1].dataModel.enumNames[1], "on");
    EXPECT_EQ(d->nodes[2].registerSpec.type, RT_Unknown);  // kept
    EXPECT_EQ(d->nodes[2].dataModel.min, -1.5);
    EXPECT_TRUE(logged("get modbus model type error", LOG_LEVEL_ERROR));

    logged_lines().clear();
    EXPECT_EQ(load(R"({"identifier":"t","dataType":{"type":"text","specs":{"length":"8"}},"originalDataType":{}, "registerAddress":1,"operateType":"coilStatus"},
                   {"identifier":"t","dataType":{"type":"double"},"registerAddress":1,"operateType":"coilStatus"})"),
              nullptr);
    EXPECT_TRUE(logged("get data model specs string len failed", LOG_LEVEL_ERROR));
    EXPECT_TRUE(logged("get data model specs failed", LOG_LEVEL_WARN));
    EXPECT_TRUE(logged(" no nodes for dev describe", LOG_LEVEL_ERROR));
}

TEST_F(DevDesc, RefusedNodesAndFiles) {
    // Element 3 is a number: the next object is still node4.
    EXPECT_EQ(load(R"(1,2,3,4,{"identifier":"x"})"), nullptr);
    EXPECT_TRUE(logged("d.json, node4 has no dataType", LOG_LEVEL_ERROR));
    logged_lines().clear();
    EXPECT_EQ(load(bool_node(R"(,"operateType":"coil")")), nullptr);
    EXPECT_TRUE(logged("node0 wrong operateType coil", LOG_LEVEL_ERROR));
    EXPECT_EQ(load(R"({"identifier":"x","dataType":{"type":"bool"},"originalDataType":)" +
                   std::string(kBoolReg) + R"(,"registerAddress":1})"),
              nullptr);
    EXPECT_TRUE(logged("node0 has no operateType"));
    EXPECT_TRUE(logged(" no nodes for dev describe"));

    logged_lines().clear();
    EXPECT_EQ(load(bool_node(""), R"(,"mb_map":{}})"), nullptr);
    EXPECT_TRUE(logged("profile failed\n", LOG_LEVEL_ERROR));
    EXPECT_EQ(load(bool_node(""), R"(,"profile":{"snType":"1"},"mb_map":{}})"), nullptr);
    EXPECT_TRUE(logged("snType failed\n", LOG_LEVEL_ERROR));
    EXPECT_EQ(load(bool_node(""), R"(,"profile":{"snType":[]},"mb_map":7})"), nullptr);
    EXPECT_TRUE(logged("mb_map failed", LOG_LEVEL_ERROR));

    // Top-level values other than an object, broken and missing files.
    for (const char *text : {"[1,2]", "5", "\"nodes\"", "null", "{\"nodes\":3}", "{", ""}) {
        logged_lines().clear();
        std::string p = dir.write("r.json", text);
        EXPECT_EQ(load_description(p.c_str()), nullptr) << text;
        EXPECT_EQ(count_at_least(LOG_LEVEL_ERROR), 1) << text;
    }
    EXPECT_EQ(load_description((dir.path + "/missing.json").c_str()), nullptr);
    EXPECT_TRUE(logged("missing.json failed", LOG_LEVEL_ERROR));
}

TEST_F(DevDesc, DirectoryScanAndCommentsAndMbMap) {
    std::string text = "// product\n{\"nodes\":[" + bool_node("") +
                       "/* one */], \"profile\":{\"snType\":[\"S\"]},"
                       "\"mb_map\":{\"nb_bits\":3,\"start_bits\":1,\"nb_input_registers\":5.0,"
                       "\"start_registers\":-1,\"nb_registers\":\"4\"}}";
    dir.write("a.json", text);
    dir.write("xjsonx.txt", text);
    dir.write("readme.txt", text);
    dir.mkdir("sub.json");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_descriptions(dir.path.c_str()), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(description_list().size(), 2u);
    const DeviceDescription *d = description_list()[0];
    EXPECT_EQ(d->nb_bits, 3);
    EXPECT_EQ(d->start_bits, 1);
    EXPECT_EQ(d->nb_input_registers, 5);
    EXPECT_EQ(d->start_registers, 0);
    EXPECT_EQ(d->nb_registers, 0);
    EXPECT_EQ(find_description("S"), description_list()[0]);  // first in list order
    EXPECT_EQ(find_description("s"), nullptr);
    EXPECT_EQ(load_descriptions((dir.path + "/nope").c_str()), -1);
    EXPECT_TRUE(logged("opendir failed!", LOG_LEVEL_ERROR));
}

}  // namespace
