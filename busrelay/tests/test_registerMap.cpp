#include <gtest/gtest.h>

#include <string>

#include "registerMap.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(RegisterMap, HoldingRangeIsASignedDifference) {
    RegisterMap *m = register_map_new(0, 0, 0, 0, 100, 10, 0, 0);
    ASSERT_NE(m, nullptr);
    for (int a = 100; a <= 109; ++a) EXPECT_EQ(set_hold_reg(m, a, 0x1234), 0);
    EXPECT_EQ(m->tab_registers[9], 0x1234);
    CaptureStderr();
    EXPECT_EQ(set_hold_reg(m, 99, 1), -1);
    EXPECT_EQ(set_hold_reg(m, 110, 1), -1);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("illegal data address 0x63 in write_16"), std::string::npos);
    EXPECT_NE(log.find("illegal data address 0x6E in write_16"), std::string::npos);
    register_map_free(m);
}

TEST(RegisterMap, TablesAreZeroFilledAndCoilsStoreOneForNonZero) {
    RegisterMap *m = register_map_new(5, 4, 1, 494, 0, 3, 1, 24);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->tab_bits[3], 0);
    EXPECT_EQ(m->tab_input_bits[493], 0);
    EXPECT_EQ(m->tab_input_registers[23], 0);
    CaptureStderr();
    EXPECT_EQ(set_coil(m, 6, 2), 0);
    EXPECT_NE(GetCapturedStderr().find("set coil 6 to 2"), std::string::npos);
    EXPECT_EQ(m->tab_bits[1], 1);
    CaptureStderr();
    EXPECT_EQ(set_input_status(m, 494, 7), 0);
    EXPECT_EQ(set_input_reg(m, 24, 0xBEEF), 0);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("set intput_status 494 to 7"), std::string::npos);
    EXPECT_NE(log.find("set input_reg 24 to 0xbeef"), std::string::npos);
    EXPECT_EQ(m->tab_input_bits[493], 1);
    register_map_free(m);
}

TEST(RegisterMap, AbsentTablesRejectEveryAccess) {
    RegisterMap *m = register_map_new(0, 0, 0, 0, 0, 4, 0, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->tab_bits, nullptr);
    CaptureStderr();
    EXPECT_EQ(set_coil(m, 0, 1), -1);
    EXPECT_EQ(set_input_status(m, 0, 1), -1);
    uint16_t v = 77;
    EXPECT_EQ(read_16(m, 2, &v), -1);  // a holding address, but not an input one
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("illegal data address 0x0 in write_bit"), std::string::npos);
    EXPECT_NE(log.find("illegal data address 0x2 in read_16"), std::string::npos);
    EXPECT_EQ(v, 77);
    register_map_free(m);
    register_map_free(nullptr);
}

TEST(RegisterMap, Read16ReadsInputRegisters) {
    RegisterMap *m = register_map_new(0, 0, 0, 0, 0, 0, 10, 2);
    ASSERT_NE(m, nullptr);
    set_input_reg(m, 11, 0x0102);
    uint16_t v = 0;
    EXPECT_EQ(read_16(m, 11, &v), 0);
    EXPECT_EQ(v, 0x0102);
    EXPECT_EQ(register_index(10, 2, 9), -1);
    EXPECT_EQ(register_index(0xFFFFFFF0u, 100, 5), -1);  // a huge start never wraps
    register_map_free(m);
}

TEST(RegisterMap, CoveringMoreInputRegistersKeepsEveryValueAtItsAddress) {
    RegisterMap *m = register_map_new(0, 0, 0, 0, 0, 0, 5, 20);  // 5..24
    ASSERT_NE(m, nullptr);
    for (int a = 5; a <= 24; ++a) m->tab_input_registers[a - 5] = (uint16_t)(0x100 + a);
    ASSERT_EQ(register_map_cover_input_registers(m, 1, 547), 0);
    EXPECT_EQ(m->start_input_registers, 1u);
    EXPECT_EQ(m->nb_input_registers, 547u);
    uint16_t v = 0;
    for (int a : {1, 4, 5, 24, 25, 547}) {
        ASSERT_EQ(read_16(m, (uint16_t)a, &v), 0) << a;
        EXPECT_EQ(v, a >= 5 && a <= 24 ? 0x100 + a : 0) << a;
    }
    // A wider table keeps its own ends; a covered range changes nothing.
    ASSERT_EQ(register_map_cover_input_registers(m, 500, 700), 0);
    EXPECT_EQ(m->nb_input_registers, 700u);
    ASSERT_EQ(read_16(m, 24, &v), 0);
    EXPECT_EQ(v, 0x100 + 24);
    ASSERT_EQ(register_map_cover_input_registers(m, 101, 144), 0);
    EXPECT_EQ(m->nb_input_registers, 700u);
    register_map_free(m);
}

}  // namespace
