// labels: threads
// Unit 255's health block through the bridge: one read is one snapshot
// while the receive thread stores reports, values are counted per data
// point, and the status line leaves every ten minutes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "devTestUtil.h"
#include "gwMsg.h"
#include "healthRegs.h"
#include "mbBridge.h"
#include "mbReq.h"
#include "mbTcpSvr.h"
#include "service.h"
#include "softTimer.h"
#include "vrvCtrl.h"

namespace {

// Replies are sent under the context lock, which therefore guards this too.
std::vector<uint8_t> g_reply;
ssize_t keep_reply(ModbusContext *, const uint8_t *frame, int length) {
    g_reply.assign(frame, frame + length);
    return length;
}

class HealthBlock : public testing::Test {
protected:
    void SetUp() override {
        start_log_capture();
        const std::string dir = sample_dir();
        testing::internal::CaptureStdout();
        load_descriptions((dir + "/descJson").c_str());
        load_address_map((dir + "/map.json").c_str());
        load_vrv_config((dir + "/vrvC.json").c_str());
        testing::internal::GetCapturedStdout();
        backend = g_mbTcpServerBackend;
        backend.send = keep_reply;
        mb_context_init(&ctx);
        ctx.backend = &backend;
        g_mbServer = &ctx;
    }
    void TearDown() override {
        g_mbServer = nullptr;
        pthread_mutex_destroy(&ctx.lock);
        clear_devices();
        clear_descriptions();
    }
    std::vector<uint32_t> counters() {
        const uint8_t f[] = {0, 1, 0, 0, 0, 6, 255, 4, 0, HEALTH_REG_FIRST, 0, 2 * HC_COUNT};
        MbRequest r;
        mb_decode_request(f, sizeof f, 5, &r);
        onRcvMbRequest(&ctx, &r);
        mb_lock(&ctx);
        std::vector<uint32_t> c;
        for (size_t i = 9; i + 3 < g_reply.size(); i += 4)
            c.push_back((uint32_t)g_reply[i] << 24 | g_reply[i + 1] << 16 | g_reply[i + 2] << 8 |
                        g_reply[i + 3]);
        mb_unlock(&ctx);
        EXPECT_EQ(c.size(), (size_t)HC_COUNT);
        c.resize(HC_COUNT);
        return c;
    }
    static int report(const char *key, const std::string &json) {
        const std::string topic = std::string("local/gw7f0001/") + key;
        return onGw7fMsg(topic.data(), (int)topic.size(), json.data(), (int)json.size());
    }

    ModbusBackend backend;
    ModbusContext ctx;
};

TEST_F(HealthBlock, ValuesAreCountedPerDataPointWithTheirReport) {
    const std::vector<uint32_t> a = counters();
    EXPECT_EQ(report("mtr10001", R"({"deviceKey":"mtr10001","sno":"9-6-3-1","errorCode":0,
                                     "function":{"activePower":6,"totalEnergy":1.5}})"), 0);
    EXPECT_EQ(report("vrv10001", R"({"deviceKey":"vrv10001","function":{"slave_status":[
        {"slave_addr":1,"slave_outdoor_addr":1,"online":1,"error":0,"slave_switch":true}]}})"), 0);
    EXPECT_LT(report("mtr10001", R"({"deviceKey":"zzz"})"), 0);  // refused: not a report
    const std::vector<uint32_t> b = counters();
    // An answer that finds nobody waiting is a report like any other.
    EXPECT_EQ(b[HC_REPORTS] - a[HC_REPORTS], 2u);
    EXPECT_EQ(b[HC_VALUES_STORED] - a[HC_VALUES_STORED], 2u + 3u);
    EXPECT_EQ(b[HC_GW_MATCHED], a[HC_GW_MATCHED]);
    // The block's own read is counted after its snapshot.
    EXPECT_EQ(b[HC_ANSWERED] - a[HC_ANSWERED], 1u);
}

// The receive thread counts a report and its value in one critical section;
// every read must show both equal, and no value torn between its two
// registers although both counters cross a 16-bit carry meanwhile.
TEST_F(HealthBlock, OneReadIsOneSnapshotWhileReportsArriveOnAnotherThread) {
    log_set_console_level(LOG_LEVEL_FATAL + 1);
    const uint32_t base = 0xFFFFu - 300;
    health_set(HC_REPORTS, base);
    health_set(HC_VALUES_STORED, base);
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread reporter([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < until; ++i) {
            const std::string doc =
                R"({"deviceKey":"mtr10001","function":{"activePower":)" + std::to_string(i) + "}}";
            if (report("mtr10001", doc) == 0) sent.fetch_add(1);
        }
        done = true;
    });
    uint32_t last = base;
    int reads = 0, unequal = 0, backwards = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (bool finished = false; !finished && reads < 50000 &&
                                std::chrono::steady_clock::now() < until;) {
        finished = done.load();
        const std::vector<uint32_t> c = counters();
        ++reads;
        if (c[HC_REPORTS] != c[HC_VALUES_STORED]) ++unequal;
        if (c[HC_REPORTS] < last || c[HC_REPORTS] > base + 20000) ++backwards;
        last = c[HC_REPORTS];
    }
    reporter.join();
    log_set_console_level(LOG_LEVEL_TRACE);
    EXPECT_EQ(unequal, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_GT(reads, 10);
    EXPECT_GT(sent.load(), 300);
    const std::vector<uint32_t> end = counters();
    EXPECT_EQ(end[HC_REPORTS], base + (uint32_t)sent.load());
    EXPECT_EQ(end[HC_VALUES_STORED], end[HC_REPORTS]);
}

TEST(HealthStatus, TheStatusLineLeavesEveryTenMinutesWithEveryCounter) {
    start_log_capture();
    soft_timer_reset(0);
    health_status_timer_start();
    auto lines = [] {
        std::vector<std::string> found;
        for (const LoggedLine &l : logged_lines())
            if (l.level == LOG_LEVEL_INFO && l.text.rfind("status:", 0) == 0) found.push_back(l.text);
        return found;
    };
    soft_timer_advance(HEALTH_STATUS_PERIOD_MS - 1);
    EXPECT_TRUE(lines().empty());
    health_set(HC_READ_ONLY_WRITES, 4294967295u);
    soft_timer_advance(HEALTH_STATUS_PERIOD_MS);
    ASSERT_EQ(lines().size(), 1u);
    const std::string line = lines()[0];
    for (int c = 0; c < HC_COUNT; ++c)
        EXPECT_NE(line.find(std::string(" ") + health_counter_info((HealthCounter)c).name + "="),
                  std::string::npos) << c << ": " << line;
    EXPECT_NE(line.find("read_only_writes_refused=4294967295"), std::string::npos) << line;
    soft_timer_advance(2 * HEALTH_STATUS_PERIOD_MS - 1);
    EXPECT_EQ(lines().size(), 1u);
    soft_timer_advance(2 * HEALTH_STATUS_PERIOD_MS);
    EXPECT_EQ(lines().size(), 2u);
    soft_timer_reset(0);
    health_set(HC_READ_ONLY_WRITES, 0);
    // Cut short, it stays inside its buffer.
    char buf[24];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(health_status_line(buf, 16), 15);
    EXPECT_EQ(buf[15], '\0');
    EXPECT_EQ(buf[16], 'x');
}

}  // namespace
