// Command building over ranges with holes: a multiple write that spans a
// register or a coil without a node must still give every node the value
// the client put at that node's position.
#include <gtest/gtest.h>
#include <json/json.h>

#include "devTestUtil.h"
#include "mbBridge.h"
#include "mbTcpSvr.h"

namespace {

// Holding 40001 (a), none at 40002, 40003-40004 (b, 32 bit), 40005 (c);
// coils 1 and 3 with none at 2.
const char *kDescription = R"({
  "nodes": [
    {"identifier": "a", "accessMode": "rw", "desc": "function", "dataType": {"type": "double", "specs": {"min": 0, "max": 65535, "step": 1}}, "originalDataType": {"type": "uint16", "specs": {"registerCount": 1, "reverseRegister": 0, "swap16": 0}}, "registerAddress": 40001, "scaling": 1, "operateType": "holdingRegister"},
    {"identifier": "b", "accessMode": "rw", "desc": "function", "dataType": {"type": "double", "specs": {"min": 0, "max": 4294967295, "step": 1}}, "originalDataType": {"type": "uint32", "specs": {"registerCount": 2, "reverseRegister": 0, "swap16": 0}}, "registerAddress": 40003, "scaling": 1, "operateType": "holdingRegister"},
    {"identifier": "c", "accessMode": "rw", "desc": "function", "dataType": {"type": "double", "specs": {"min": 0, "max": 65535, "step": 1}}, "originalDataType": {"type": "uint16", "specs": {"registerCount": 1, "reverseRegister": 0, "swap16": 0}}, "registerAddress": 40005, "scaling": 1, "operateType": "holdingRegister"},
    {"identifier": "x", "accessMode": "rw", "desc": "function", "dataType": {"type": "bool"}, "originalDataType": {"type": "bool", "specs": {"registerCount": 1, "reverseRegister": 0, "swap16": 0}}, "registerAddress": 1, "scaling": 1, "operateType": "coilStatus"},
    {"identifier": "y", "accessMode": "rw", "desc": "function", "dataType": {"type": "bool"}, "originalDataType": {"type": "bool", "specs": {"registerCount": 1, "reverseRegister": 0, "swap16": 0}}, "registerAddress": 3, "scaling": 1, "operateType": "coilStatus"}
  ],
  "profile": {"productKey": "holes1", "snType": ["99000000190"]},
  "mb_map": {"nb_bits": 8, "start_bits": 1, "nb_input_bits": 0, "start_input_bits": 0, "nb_input_registers": 0, "start_input_registers": 0, "nb_registers": 10, "start_registers": 1}
})";

class CommandOverHoles : public testing::Test {
protected:
    void SetUp() override {
        start_log_capture();
        dir.mkdir("descJson");
        dir.write("descJson/holes1.json", kDescription);
        const std::string map = dir.write(
            "map.json",
            R"({"nodes": [{"mb_id": 9, "mqtt_dk": "hol10001", "sntype": "99000000190"}]})");
        clear_devices();
        clear_descriptions();
        ASSERT_EQ(load_descriptions((dir.path + "/descJson").c_str()), 0);
        load_address_map(map.c_str());
        device = find_device_by_unit(9);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        clear_devices();
        clear_descriptions();
    }

    // PDU after an MBAP header for unit 9, transaction id 5.
    int build(const std::vector<uint8_t> &pdu, Json::Value &doc) {
        std::vector<uint8_t> req = {0, 5, 0, 0, 0, (uint8_t)(pdu.size() + 1), 9};
        req.insert(req.end(), pdu.begin(), pdu.end());
        std::string payload;
        MbRequest decoded;
        EXPECT_EQ(mb_decode_request(req.data(), (int)req.size(), 3, &decoded), 0);
        const int rc = buildGwCmd(device, 4, &decoded, payload);
        if (rc == 0) {
            EXPECT_EQ(payload.back(), '\n');
            Json::CharReaderBuilder b;
            std::string errs;
            std::unique_ptr<Json::CharReader> r(b.newCharReader());
            EXPECT_TRUE(r->parse(payload.data(), payload.data() + payload.size(), &doc, &errs))
                << payload;
        }
        return rc;
    }

    ScratchDir dir;
    const MappedDevice *device = nullptr;
};

TEST_F(CommandOverHoles, MultipleRegisterWriteKeepsValuesInStepAcrossAHole) {
    // Registers 1-5: a = 0x0011, (no node) 0x2222, b = 0x0001 0x0002, c = 0x0033.
    Json::Value doc;
    ASSERT_EQ(build({16, 0, 1, 0, 5, 10, 0x00, 0x11, 0x22, 0x22, 0x00, 0x01, 0x00, 0x02, 0x00, 0x33},
                    doc),
              0);
    EXPECT_EQ(doc["cmd"].asString(), "write");
    EXPECT_EQ(doc["sno"].asString(), "4-9-16-5");
    EXPECT_EQ(doc["function"]["a"].asDouble(), 0x11);
    EXPECT_EQ(doc["function"]["b"].asDouble(), 0x00010002);
    EXPECT_EQ(doc["function"]["c"].asDouble(), 0x33);
    EXPECT_TRUE(logged("not support reg 40002"));

    // The same through the direct address, and the hole at the start.
    doc = Json::Value();
    ASSERT_EQ(build({16, 0x03, 0xEA, 0, 4, 8, 0x22, 0x22, 0x00, 0x01, 0x00, 0x02, 0x00, 0x33}, doc),
              0);  // 1002..1005
    EXPECT_FALSE(doc["function"].isMember("a"));
    EXPECT_EQ(doc["function"]["b"].asDouble(), 0x00010002);
    EXPECT_EQ(doc["function"]["c"].asDouble(), 0x33);

    // The hole counts against the byte count: 8 bytes cannot reach c.
    doc = Json::Value();
    logged_lines().clear();
    EXPECT_EQ(build({16, 0, 1, 0, 5, 8, 0x00, 0x11, 0x22, 0x22, 0x00, 0x01, 0x00, 0x02}, doc),
              MB_EXC_ILLEGAL_DATA_VALUE);
    EXPECT_TRUE(logged("no enough data to write reg 40005"));

    // A quantity ending inside b is refused, whatever lies before it.
    EXPECT_EQ(build({16, 0, 2, 0, 2, 4, 0x22, 0x22, 0x00, 0x01}, doc), MB_EXC_ILLEGAL_DATA_VALUE);
}

TEST_F(CommandOverHoles, MultipleCoilWriteTakesEachNodesOwnBit) {
    // Coils 1-3 from bits 0b110: x (coil 1) = 0, coil 2 has no node, y (coil 3) = 1.
    Json::Value doc;
    ASSERT_EQ(build({15, 0, 1, 0, 3, 1, 0x06}, doc), 0);
    EXPECT_EQ(doc["function"]["x"].asBool(), false);
    EXPECT_EQ(doc["function"]["y"].asBool(), true);
    doc = Json::Value();
    ASSERT_EQ(build({15, 0, 1, 0, 3, 1, 0x01}, doc), 0);
    EXPECT_EQ(doc["function"]["x"].asBool(), true);
    EXPECT_EQ(doc["function"]["y"].asBool(), false);
}

}  // namespace
