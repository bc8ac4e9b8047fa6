#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "softTimer.h"

namespace {

struct Recorder {
    std::vector<std::string> events;
};

struct Probe {
    Recorder *rec;
    std::string name;
};

void record(void *user, SoftTimerEvent event) {
    Probe *p = static_cast<Probe *>(user);
    p->rec->events.push_back(p->name + (event == SOFT_TIMER_ARMED ? ":armed" : ":fired"));
}

TEST(SoftTimer, ArmingCallsBackWithZeroAndSharedTicksRunInArmingOrder) {
    soft_timer_reset(0);
    Recorder rec;
    Probe slow{&rec, "100"}, fast{&rec, "20"};
    SoftTimer t100 = {}, t20 = {};
    soft_timer_start(&t100, &slow, 100, record);
    soft_timer_start(&t20, &fast, 20, record);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"100:armed", "20:armed"}));
    rec.events.clear();
    for (int i = 0; i < 5; ++i) soft_timer_tick();
    EXPECT_EQ(rec.events, (std::vector<std::string>{"20:fired", "20:fired", "20:fired", "20:fired",
                                                    "100:fired", "20:fired"}));
    EXPECT_EQ(soft_timer_clock(), 100);
    soft_timer_reset(0);
}

TEST(SoftTimer, RearmingAListedTimerKeepsItsPlace) {
    soft_timer_reset(0);
    Recorder rec;
    Probe a{&rec, "a"}, b{&rec, "b"};
    SoftTimer ta = {}, tb = {};
    soft_timer_start(&ta, &a, 40, record);
    soft_timer_start(&tb, &b, 40, record);
    soft_timer_start(&ta, &a, 40, record);  // no second "armed", stays first
    EXPECT_EQ(rec.events, (std::vector<std::string>{"a:armed", "b:armed"}));
    rec.events.clear();
    soft_timer_tick();
    soft_timer_tick();
    EXPECT_EQ(rec.events, (std::vector<std::string>{"a:fired", "b:fired"}));
    soft_timer_reset(0);
}

TEST(SoftTimer, KeepsFiringAcrossTheClockWrap) {
    // 24.8 days of uptime: the signed 32-bit millisecond clock wraps.
    soft_timer_reset(INT32_MAX - 250);
    Recorder rec;
    Probe p100{&rec, "100"}, p20{&rec, "20"};
    SoftTimer t100 = {}, t20 = {};
    soft_timer_start(&t100, &p100, 100, record);
    soft_timer_start(&t20, &p20, 20, record);
    rec.events.clear();
    int fired100 = 0, fired20 = 0;
    for (int i = 0; i < 50; ++i) {  // 1000 ms, straddling the wrap
        soft_timer_tick();
        for (auto &e : rec.events) (e[0] == '1' ? fired100 : fired20)++;
        rec.events.clear();
    }
    EXPECT_LT(soft_timer_clock(), 0);  // wrapped
    EXPECT_EQ(fired20, 50);
    EXPECT_EQ(fired100, 10);
    soft_timer_reset(0);
}

TEST(SoftTimer, DueTestIsASignedDifference) {
    EXPECT_TRUE(soft_clock_due(INT32_MIN + 10, INT32_MAX - 10));
    EXPECT_FALSE(soft_clock_due(INT32_MAX - 10, INT32_MIN + 10));
    EXPECT_EQ(soft_clock_add(INT32_MAX, 20), INT32_MIN + 19);
}

// The main loop sets the clock from a monotonic source: a late pass runs each
// due timer once, and the wait until the next one is what is left of it.
TEST(SoftTimer, AdvancingToTheMonotonicClockAcrossTheWrap) {
    soft_timer_reset(INT32_MAX - 30);
    Recorder rec;
    Probe p100{&rec, "100"}, p20{&rec, "20"};
    SoftTimer t100 = {}, t20 = {};
    EXPECT_EQ(soft_timer_next_due(), -1);
    soft_timer_start(&t100, &p100, 100, record);
    soft_timer_start(&t20, &p20, 20, record);
    rec.events.clear();
    EXPECT_EQ(soft_timer_next_due(), 20);
    soft_timer_advance(soft_clock_add(INT32_MAX - 30, 7));
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(soft_timer_next_due(), 13);
    // 150 ms late, past the wrap: each due timer runs once, in arming order.
    const int32_t late = soft_clock_add(INT32_MAX - 30, 157);
    soft_timer_advance(late);
    EXPECT_LT(soft_timer_clock(), 0);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"100:fired", "20:fired"}));
    EXPECT_EQ(soft_timer_next_due(), 20);  // re-armed from the late instant
    rec.events.clear();
    soft_timer_advance(soft_clock_add(late, 19));
    EXPECT_TRUE(rec.events.empty());
    soft_timer_advance(soft_clock_add(late, 20));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"20:fired"}));
    EXPECT_EQ(soft_timer_next_due(), 20);
    soft_timer_advance(soft_clock_add(late, 100));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"20:fired", "100:fired", "20:fired"}));
    soft_timer_reset(0);
}

}  // namespace
