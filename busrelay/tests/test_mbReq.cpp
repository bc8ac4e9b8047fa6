// labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mbReq.h"
#include "modbus.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct timeval g_fake = {1000, 0};
void fake_now(struct timeval *tv) { *tv = g_fake; }

std::vector<uint8_t> frame(int tid, int unit, int fc, int addr = 1, int qty = 1) {
    return {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 6, (uint8_t)unit, (uint8_t)fc,
            (uint8_t)(addr >> 8), (uint8_t)addr, (uint8_t)(qty >> 8), (uint8_t)qty};
}

// As the server hands it over: decoded from the frame's bytes.
MbRequest decoded(int sock, const std::vector<uint8_t> &f) {
    MbRequest r;
    mb_decode_request(f.data(), (int)f.size(), sock, &r);
    return r;
}

int insert(const char *key, int sock, const std::vector<uint8_t> &f, MbReq **entered = nullptr) {
    const MbRequest r = decoded(sock, f);
    return insertMbReq(key, nullptr, &r, entered);
}

// An answer's "sno" text, read as the gateway message handler reads it.
MbReq *ack(const char *key, const std::string &text) {
    MbSno sno;
    if (!parseMbSno(text.data(), (int)text.size(), &sno)) return nullptr;
    return ackMbReq(key, sno);
}

// The csft / "sno" text of a request from the client now on `sock`.
std::string sno(int sock, int unit, int fc, int tid) {
    return std::to_string(mbReqConnection(sock)) + "-" + std::to_string(unit) + "-" +
           std::to_string(fc) + "-" + std::to_string(tid);
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
    EXPECT_NE(GetCapturedStderr().find("allready has this mb request csft=" + sno(7, 3, 6, 77) +
                                       ", refresh start time"),
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
    EXPECT_NE(GetCapturedStderr().find("modbus req csft=" + sno(7, 3, 6, 77) + " time out"),
              std::string::npos);
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
    EXPECT_EQ(ack("ab12cd34", sno(12, 3, 6, 78)), nullptr);
    EXPECT_EQ(ack("ab12cd34", "12-3-6-77"), nullptr) << "the socket is not the connection";
    MbReq *e = ack("ab12cd34", sno(12, 3, 6, 77));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->deviceKey, 8), "ab12cd34");
    EXPECT_EQ(e->request.socket, 12);
    EXPECT_EQ(e->request.unitId, 3);
    EXPECT_EQ(e->request.function, 6);
    EXPECT_EQ(e->request.transactionId, 77);
    EXPECT_EQ(e->request.length, (int)f.size());
    EXPECT_EQ(e->request.frame, e->frame) << "the entry keeps its own copy";
    EXPECT_EQ(0, memcmp(e->frame, f.data(), f.size()));
    EXPECT_NE(GetCapturedStderr().find("get ack  for modbus req ab12cd34 csft=" + sno(12, 3, 6, 77)),
              std::string::npos);
    CaptureStderr();
    freeMbReq(e);
    EXPECT_EQ(ack("ab12cd34", sno(12, 3, 6, 77)), nullptr);
    EXPECT_EQ(ack("zz12cd34", "1-2-3"), nullptr);
    EXPECT_NE(GetCapturedStderr().find("sno not ack for relay request"), std::string::npos);
    CaptureStderr();
    EXPECT_EQ(mbReqCount(), 1);
}

// The gateway only echoes the "sno": four decimal numbers joined by "-".
// Anything looser could complete a request that was never asked about.
TEST_F(MbReqTest, AnAnswersSnoIsReadStrictlyAndAnythingElseMatchesNothing) {
    ASSERT_EQ(insert("ab12cd34", 6, frame(77, 3, 6)), 0);
    const std::string good = sno(6, 3, 6, 77);
    MbSno parsed = {0, 0, 0, 0};
    ASSERT_TRUE(parseMbSno(good.data(), (int)good.size(), &parsed));
    EXPECT_EQ(parsed.connection, mbReqConnection(6));
    EXPECT_EQ(parsed.unitId, 3);
    EXPECT_EQ(parsed.functionCode, 6);
    EXPECT_EQ(parsed.transactionId, 77);
    ASSERT_TRUE(parseMbSno("2147483647-255-16-65535", 23, &parsed));
    EXPECT_EQ(parsed.connection, 2147483647);

    const std::string refused[] = {
        good + "x",  good + "-1", good + " ", " " + good, "+" + good, good + std::string(1, '\0'),
        "1-2-3",     "1-2-3-",    "-1-2-3-4", "1--2-3-4", "1-2-3-4-", "1-2-+3-4",
        "1-2-3- 4",  "1 -2-3-4",  "a-b-c-d",  "",         "1-2-3-0x4d",
        "2147483648-3-6-77",      "99999999999999999999-3-6-77", "1-2-3-4.0",
    };
    for (const std::string &text : refused) {
        GetCapturedStderr();
        CaptureStderr();
        EXPECT_FALSE(parseMbSno(text.data(), (int)text.size(), &parsed)) << text;
        EXPECT_NE(GetCapturedStderr().find("sno not ack for relay request"), std::string::npos)
            << text;
        CaptureStderr();
        EXPECT_EQ(ack("ab12cd34", text), nullptr) << text;
    }
    // The NUL case above: the text's length counts, not its terminator.
    EXPECT_FALSE(parseMbSno("1-2-3-4", 8, &parsed));
    EXPECT_FALSE(parseMbSno(nullptr, 0, &parsed));
    EXPECT_EQ(mbReqCount(), 1) << "no refused text took the waiting request";
    MbReq *e = ack("ab12cd34", good);
    ASSERT_NE(e, nullptr);
    freeMbReq(e);
}

TEST_F(MbReqTest, KeysCompareOnTheirFirstEightCharactersAndLongFramesFail) {
    ASSERT_EQ(insert("abcdefgh-one", 1, frame(1, 1, 3)), 0);
    EXPECT_EQ(insert("abcdefgh-two", 1, frame(1, 1, 3)), 6);  // same first 8
    std::vector<uint8_t> longFrame(261, 0);
    longFrame[7] = 16;
    const MbRequest tooLong = decoded(1, longFrame);
    EXPECT_EQ(insertMbReq("k", nullptr, &tooLong), 4);
    EXPECT_NE(GetCapturedStderr().find("modbus requst too long"), std::string::npos);
    CaptureStderr();
    MbReq *e = ack("abcdefgh", sno(1, 1, 3, 1));
    EXPECT_NE(e, nullptr);
    freeMbReq(e);
}

TEST_F(MbReqTest, EntriesHandedOutStayReservedUntilFreed) {
    std::vector<MbReq *> out;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(insert("k", 1, frame(round * 10 + i, 1, 3)), 0);
            out.push_back(ack("k", sno(1, 1, 3, round * 10 + i)));
            ASSERT_NE(out.back(), nullptr);
        }
    }
    EXPECT_EQ(insert("k", 1, frame(99, 1, 3)), 4);  // every slot is held by a caller
    for (MbReq *e : out) freeMbReq(e);
    EXPECT_EQ(insert("k", 1, frame(99, 1, 3)), 0);
}

// A client that reconnects gets the same socket number back and often the
// same transaction ids: the gateway's answer to the command of the client
// that left must not complete the new client's request.
TEST_F(MbReqTest, AReusedSocketIsANewConnectionWithItsOwnSno) {
    auto f = frame(1, 3, 6);
    ASSERT_EQ(insert("ab12cd34", 8, f), 0);
    const std::string departed = sno(8, 3, 6, 1);
    MbReq *held = nullptr;
    {
        // An entry an answer has taken is being replied when its client leaves.
        ASSERT_EQ(insert("ab12cd34", 8, frame(2, 3, 6)), 0);
        held = ack("ab12cd34", sno(8, 3, 6, 2));
        ASSERT_NE(held, nullptr);
        EXPECT_TRUE(mbReqIsCurrent(held));
    }
    dropMbReqForSocket(8);
    EXPECT_EQ(mbReqCount(), 0);
    EXPECT_FALSE(mbReqIsCurrent(held)) << "its reply would reach the next client on socket 8";
    freeMbReq(held);

    ASSERT_EQ(insert("ab12cd34", 8, f), 0);  // the next client, same socket and tid
    const std::string current = sno(8, 3, 6, 1);
    EXPECT_NE(current, departed);
    EXPECT_EQ(ack("ab12cd34", departed), nullptr);
    EXPECT_EQ(mbReqCount(), 1);
    MbReq *e = ack("ab12cd34", current);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(mbReqIsCurrent(e));
    EXPECT_EQ(e->request.socket, 8);
    freeMbReq(e);

    // Two clients at once never share a number either.
    EXPECT_NE(mbReqConnection(8), mbReqConnection(9));
    EXPECT_EQ(mbReqConnection(8), mbReqConnection(8));
}

// A command that could not be sent takes its entry back; one an answer took
// meanwhile stays with the answer's side.
TEST_F(MbReqTest, WithdrawnEntryIsGoneAndItsSlotFree) {
    std::vector<MbReq *> entered(5, nullptr);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(insert("k", 4, frame(i, 1, 6), &entered[i]), 0);
        ASSERT_NE(entered[i], nullptr);
    }
    auto sixth = frame(5, 1, 6);
    MbReq *none = entered[0];
    EXPECT_EQ(insert("k", 4, sixth, &none), 6);
    EXPECT_EQ(none, nullptr);
    withdrawMbReq(entered[2]);
    EXPECT_EQ(mbReqCount(), 4);
    EXPECT_EQ(ack("k", sno(4, 1, 6, 2)), nullptr);
    EXPECT_EQ(insert("k", 4, sixth), 0);

    MbReq *taken = ack("k", sno(4, 1, 6, 3));
    ASSERT_EQ(taken, entered[3]);
    withdrawMbReq(taken);  // not in the table any more: left to its taker
    EXPECT_EQ(mbReqCount(), 4);
    EXPECT_EQ(taken->request.transactionId, 3);
    freeMbReq(taken);
}

// The receive thread acknowledges while the main thread inserts and sweeps.
TEST_F(MbReqTest, ConcurrentInsertAckAndSweep) {
    GetCapturedStderr();
    std::atomic<bool> stop{false};
    std::atomic<int> acked{0};
    MbSno snos[5];
    for (int t = 0; t < 5; ++t) snos[t] = {mbReqConnection(3), 1, 6, t};
    std::thread receiver([&] {
        for (int i = 0; i < 200000 && !stop; ++i) {
            for (int t = 0; t < 5; ++t) {
                MbReq *e = ackMbReq("k", snos[t]);
                if (e) {
                    ++acked;
                    freeMbReq(e);
                }
            }
        }
    });
    int inserted = 0;
    for (int i = 0; i < 3000; ++i) {
        if (insert("k", 3, frame(i % 5, 1, 6)) == 0) ++inserted;
        if (i % 50 == 0) checkMbReqTimeout();
    }
    for (int i = 0; i < 2000 && acked < inserted; ++i) std::this_thread::yield();
    stop = true;
    receiver.join();
    EXPECT_EQ(acked + mbReqCount(), inserted);
    CaptureStderr();
}

}  // namespace
