// labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mbReq.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct timeval g_fake = {1000, 0};
void fake_now(struct timeval *tv) { *tv = g_fake; }

std::vector<uint8_t> frame(int tid, int unit, int fc, int addr = 1, int qty = 1) {
    return {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 6, (uint8_t)unit, (uint8_t)fc,
            (uint8_t)(addr >> 8), (uint8_t)addr, (uint8_t)(qty >> 8), (uint8_t)qty};
}

int insert(const char *key, int sock, const std::vector<uint8_t> &f) {
    return insertMbReq(key, nullptr, sock, f.data(), (int)f.size());
}

class MbReqTest : public testing::Test {
protected:
    void SetUp() override {
        initMbReqList();
        setMbReqClock(fake_now);
        g_fake = {1000, 0};
        CaptureStderr();
    }
    void TearDown() override {
        g_fake.tv_sec += 100;
        checkMbReqTimeout();
        GetCapturedStderr();
        setMbReqClock(nullptr);
    }
};

TEST_F(MbReqTest, SixthIsBusyAndARetransmissionAmongFiveIsNotRefreshed) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(insert("ab12cd34", 7, frame(i, 3, 6)), 0);
    g_fake.tv_sec = 1003;
    EXPECT_EQ(insert("ab12cd34", 7, frame(9, 3, 6)), 6);
    EXPECT_EQ(insert("ab12cd34", 7, frame(0, 3, 6)), 6);  // refused as full, not refreshed
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("full mdoubs request list"), std::string::npos);
    EXPECT_EQ(log.find("allready has"), std::string::npos);
    CaptureStderr();
    g_fake.tv_sec = 1004;
    checkMbReqTimeout();
    EXPECT_EQ(mbReqCount(), 0);
}

TEST_F(MbReqTest, RetransmissionRefreshesAndOtherConnectionIsADifferentRequest) {
    ASSERT_EQ(insert("ab12cd34", 7, frame(77, 3, 6)), 0);
    g_fake = {1002, 500000};
    EXPECT_EQ(insert("ab12cd34", 7, frame(77, 3, 6)), 6);
    EXPECT_NE(GetCapturedStderr().find(
                  "allready has this mb request csft=7-3-6-77, refresh start time"),
              std::string::npos);
    CaptureStderr();
    EXPECT_EQ(insert("ab12cd34", 8, frame(77, 3, 6)), 0);  // same tid, other client
    EXPECT_EQ(mbReqCount(), 2);
    g_fake.tv_sec = 1005;  // 5 s after arrival, 3 s after the refresh
    checkMbReqTimeout();
    EXPECT_EQ(mbReqCount(), 2);
    g_fake.tv_sec = 1006;
    checkMbReqTimeout();
    EXPECT_EQ(mbReqCount(), 0);
    EXPECT_NE(GetCapturedStderr().find("modbus req csft=7-3-6-77 time out"), std::string::npos);
    CaptureStderr();
}

TEST_F(MbReqTest, ExpiryComparesWholeSeconds) {
    g_fake = {10, 900000};
    ASSERT_EQ(insert("k", 1, frame(1, 1, 3)), 0);
    g_fake = {10, 0};
    ASSERT_EQ(insert("k", 1, frame(2, 1, 3)), 0);
    g_fake = {13, 999999};
    checkMbReqTimeout();
    EXPECT_EQ(mbReqCount(), 2);
    g_fake = {14, 0};
    checkMbReqTimeout();
    EXPECT_EQ(mbReqCount(), 0);
}

TEST_F(MbReqTest, AnswerTakesItsEntryOnceByKeyAndSno) {
    auto f = frame(77, 3, 6);
    ASSERT_EQ(insert("ab12cd34", 12, f), 0);
    ASSERT_EQ(insert("zz12cd34", 12, f), 0);
    EXPECT_EQ(ackMbReq("ab12cd34", "12-3-6-78"), nullptr);
    MbReq *e = ackMbReq("ab12cd34", "12-3-6-77");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->deviceKey, 8), "ab12cd34");
    EXPECT_EQ(e->socket, 12);
    EXPECT_EQ(e->unitId, 3);
    EXPECT_EQ(e->functionCode, 6);
    EXPECT_EQ(e->transactionId, 77);
    EXPECT_EQ(0, memcmp(e->request, f.data(), f.size()));
    EXPECT_NE(GetCapturedStderr().find("get ack  for modbus req ab12cd34 csft=12-3-6-77"),
              std::string::npos);
    CaptureStderr();
    freeMbReq(e);
    EXPECT_EQ(ackMbReq("ab12cd34", "12-3-6-77"), nullptr);
    EXPECT_EQ(ackMbReq("zz12cd34", "1-2-3"), nullptr);
    EXPECT_NE(GetCapturedStderr().find("sno not ack for relay request"), std::string::npos);
    CaptureStderr();
    EXPECT_EQ(mbReqCount(), 1);
}

TEST_F(MbReqTest, KeysCompareOnTheirFirstEightCharactersAndLongFramesFail) {
    ASSERT_EQ(insert("abcdefgh-one", 1, frame(1, 1, 3)), 0);
    EXPECT_EQ(insert("abcdefgh-two", 1, frame(1, 1, 3)), 6);  // same first 8
    std::vector<uint8_t> longFrame(261, 0);
    longFrame[7] = 16;
    EXPECT_EQ(insertMbReq("k", nullptr, 1, longFrame.data(), 261), 4);
    EXPECT_NE(GetCapturedStderr().find("modbus requst too long"), std::string::npos);
    CaptureStderr();
    MbReq *e = ackMbReq("abcdefgh", "1-1-3-1");
    EXPECT_NE(e, nullptr);
    freeMbReq(e);
}

TEST_F(MbReqTest, EntriesHandedOutStayReservedUntilFreed) {
    std::vector<MbReq *> out;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(insert("k", 1, frame(round * 10 + i, 1, 3)), 0);
            out.push_back(ackMbReq("k", ("1-1-3-" + std::to_string(round * 10 + i)).c_str()));
            ASSERT_NE(out.back(), nullptr);
        }
    }
    EXPECT_EQ(insert("k", 1, frame(99, 1, 3)), 4);  // every slot is held by a caller
    for (MbReq *e : out) freeMbReq(e);
    EXPECT_EQ(insert("k", 1, frame(99, 1, 3)), 0);
}

// The receive thread acknowledges while the main thread inserts and sweeps.
TEST_F(MbReqTest, ConcurrentInsertAckAndSweep) {
    GetCapturedStderr();
    std::atomic<bool> stop{false};
    std::atomic<int> acked{0};
    std::thread receiver([&] {
        for (int i = 0; i < 200000 && !stop; ++i) {
            for (int t = 0; t < 5; ++t) {
                MbReq *e = ackMbReq("k", ("3-1-6-" + std::to_string(t)).c_str());
                if (e) {
                    ++acked;
                    freeMbReq(e);
                }
            }
        }
    });
    int inserted = 0;
    for (int i = 0; i < 3000; ++i) {
        if (insertMbReq("k", nullptr, 3, frame(i % 5, 1, 6).data(), 12) == 0) ++inserted;
        if (i % 50 == 0) checkMbReqTimeout();
    }
    for (int i = 0; i < 2000 && acked < inserted; ++i) std::this_thread::yield();
    stop = true;
    receiver.join();
    EXPECT_EQ(acked + mbReqCount(), inserted);
    CaptureStderr();
}

}  // namespace
