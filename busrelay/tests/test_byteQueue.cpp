// labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "byteQueue.h"

namespace {

std::vector<uint8_t> pattern(int n, int seed = 0) {
    std::vector<uint8_t> v(n);
    for (int i = 0; i < n; ++i) v[i] = (uint8_t)(i * 7 + seed);
    return v;
}

class ByteQueueTest : public testing::Test {
protected:
    void SetUp() override {
        pool_reset();
        queue_init(&q, 260);
    }
    void TearDown() override { queue_discard(&q, 0); }
    ByteQueue q;
};

TEST_F(ByteQueueTest, EmptyQueueHoldsNoBlock) {
    EXPECT_EQ(q.writePos, 16320);
    EXPECT_EQ(q.readPos, 16320);
    EXPECT_EQ(q.count, 0);
    uint8_t buf[4];
    EXPECT_EQ(queue_peek(&q, buf, 4), 0);
    EXPECT_EQ(queue_consume(&q, buf, 4), 0);
    EXPECT_EQ(queue_write(&q, buf, 0), 0);
    EXPECT_EQ(queue_write(&q, buf, -3), 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

TEST_F(ByteQueueTest, SixtyFourthByteTakesALinkedSecondBlock) {
    auto data = pattern(64);
    EXPECT_EQ(queue_write(&q, data.data(), 63), 63);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS - 1);
    EXPECT_EQ(q.readPos, 0);
    EXPECT_EQ(q.writePos, 63);
    EXPECT_EQ(queue_write(&q, &data[63], 1), 1);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS - 2);
    EXPECT_EQ(q.writePos, 1 * 64 + 1);

    std::vector<uint8_t> peeked(64), consumed(64);
    EXPECT_EQ(queue_peek(&q, peeked.data(), 100), 64);
    EXPECT_EQ(queue_consume(&q, consumed.data(), 64), 64);
    EXPECT_EQ(peeked, data);
    EXPECT_EQ(consumed, data);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.writePos, 16320);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

TEST_F(ByteQueueTest, SoftLimitIsCheckedBeforeEachChunk) {
    auto data = pattern(400);
    EXPECT_EQ(queue_write(&q, data.data(), 260), 260);
    // 260 bytes end at offset 8 of the fifth block: the rest of it still fits.
    EXPECT_EQ(queue_write(&q, data.data(), 100), 55);
    EXPECT_EQ(q.count, 315);
    queue_discard(&q, 0);

    EXPECT_EQ(queue_write(&q, data.data(), 261), 261);
    EXPECT_EQ(queue_write(&q, data.data(), 1), 0);
}

TEST_F(ByteQueueTest, ExhaustedPoolTakesOnlyWhatFits) {
    ByteQueue big;
    queue_init(&big, 0xFFFF);
    auto data = pattern(POOL_BLOCKS * 63 + 10);
    EXPECT_EQ(queue_write(&big, data.data(), POOL_BLOCKS * 63 - 20), POOL_BLOCKS * 63 - 20);
    EXPECT_EQ(pool_free_blocks(), 0);
    EXPECT_EQ(queue_write(&big, data.data(), 50), 20);  // the rest of the last block
    EXPECT_EQ(queue_write(&q, data.data(), 5), 0);       // no block for another queue
    queue_discard(&big, 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

TEST_F(ByteQueueTest, WholeWriteLeavesNothingBehindWhenItCannotFit) {
    ByteQueue other;
    queue_init(&other, 0xFFFF);
    auto filler = pattern((POOL_BLOCKS - 2) * 63);
    ASSERT_EQ(queue_write(&other, filler.data(), (POOL_BLOCKS - 2) * 63), (POOL_BLOCKS - 2) * 63);
    auto first = pattern(10, 1);
    ASSERT_EQ(queue_write_whole(&q, first.data(), 10), 10);
    ByteQueue before = q;
    int freeBefore = pool_free_blocks();

    auto frame = pattern(200, 2);  // needs three more blocks, one is free
    EXPECT_EQ(queue_write_whole(&q, frame.data(), 200), 0);
    EXPECT_EQ(memcmp(&before, &q, sizeof q), 0);
    EXPECT_EQ(pool_free_blocks(), freeBefore);

    auto small = pattern(100, 3);  // rest of the first block plus the free one
    EXPECT_EQ(queue_write_whole(&q, small.data(), 100), 100);
    std::vector<uint8_t> out(110);
    EXPECT_EQ(queue_consume(&q, out.data(), 110), 110);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
    EXPECT_TRUE(std::equal(small.begin(), small.end(), out.begin() + 10));
    queue_discard(&other, 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

TEST_F(ByteQueueTest, DiscardRemovesFromTheHead) {
    auto data = pattern(150);
    queue_write(&q, data.data(), 150);
    queue_discard(&q, 70);
    EXPECT_EQ(q.count, 80);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS - 2);  // the first block went back
    uint8_t b;
    EXPECT_EQ(queue_peek(&q, &b, 1), 1);
    EXPECT_EQ(b, data[70]);
    queue_discard(&q, 1000);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

TEST_F(ByteQueueTest, CountBeyondTheChainIsReportedAndResetWithoutHanging) {
    auto data = pattern(70);
    queue_write(&q, data.data(), 70);
    q.count = 200;  // corrupt: 130 bytes that the chain does not hold
    testing::internal::CaptureStderr();
    std::vector<uint8_t> out(300);
    int got = queue_consume(&q, out.data(), 300);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, 70);
    EXPECT_NE(log.find("byte queue inconsistent"), std::string::npos);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.readPos, 16320);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);

    queue_write(&q, data.data(), 10);
    q.count = 5000;
    testing::internal::CaptureStderr();
    queue_discard(&q, 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

TEST_F(ByteQueueTest, RandomisedAgainstAReferenceFifo) {
    std::mt19937 rng(12345);
    ByteQueue a, b;
    queue_init(&a, 260);
    queue_init(&b, 1000);
    std::vector<uint8_t> refA, refB;
    uint8_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        bool useA = rng() & 1;
        ByteQueue *qq = useA ? &a : &b;
        auto &ref = useA ? refA : refB;
        int n = (int)(rng() % 140);
        if (rng() % 2) {
            std::vector<uint8_t> in(n);
            for (auto &c : in) c = next++;
            int took = queue_write(qq, in.data(), n);
            ASSERT_LE(took, n);
            ref.insert(ref.end(), in.begin(), in.begin() + took);
        } else {
            std::vector<uint8_t> peeked(n), out(n);
            int p = queue_peek(qq, peeked.data(), n);
            int c = queue_consume(qq, out.data(), n);
            ASSERT_EQ(p, c);
            ASSERT_EQ(c, std::min<int>(n, ref.size()));
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + c, ref.begin()));
            ASSERT_TRUE(std::equal(peeked.begin(), peeked.begin() + c, ref.begin()));
            ref.erase(ref.begin(), ref.begin() + c);
        }
        ASSERT_EQ(a.count, refA.size());
        ASSERT_EQ(b.count, refB.size());
        int blocksHeld = (a.count ? 1 : 0) + (b.count ? 1 : 0);
        ASSERT_GE(POOL_BLOCKS - pool_free_blocks(), blocksHeld);
    }
    queue_discard(&a, 0);
    queue_discard(&b, 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

// One thread plays the gateway link's receive thread (queues replies into a
// send queue), the other the main thread's poll (drains it and uses its own
// receive queue). Run under ThreadSanitizer, this proves the serialization.
TEST_F(ByteQueueTest, TwoThreadsHammerOneQueuePair) {
    ByteQueue sendQ, rcvQ;
    queue_init(&sendQ, 260);
    queue_init(&rcvQ, 260);
    constexpr int kFrames = 20000;
    std::atomic<bool> done{false};
    long long produced = 0, consumedBytes = 0;
    bool orderOk = true;

    std::thread producer([&] {
        uint8_t frame[12];
        for (int i = 0; i < kFrames; ++i) {
            for (int k = 0; k < 12; ++k) frame[k] = (uint8_t)(i + k);
            // Retry while the main thread has not drained it yet (bounded).
            for (int tries = 0; tries < 100000; ++tries) {
                if (queue_write_whole(&sendQ, frame, 12) == 12) {
                    produced += 12;
                    break;
                }
                std::this_thread::yield();
            }
        }
        done = true;
    });

    uint8_t buf[260];
    int expectedFrame = 0;
    uint8_t pending[12];
    int pendingLen = 0;
    for (long iter = 0; iter < 50000000 && !(done && queue_count(&sendQ) == 0); ++iter) {
        // The poll's own traffic on the receive queue shares the pool.
        queue_write(&rcvQ, buf, 30);
        queue_discard(&rcvQ, 0);
        int n = queue_peek(&sendQ, buf, sizeof buf);
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        queue_discard(&sendQ, n);
        consumedBytes += n;
        for (int i = 0; i < n; ++i) {
            pending[pendingLen++] = buf[i];
            if (pendingLen == 12) {
                for (int k = 0; k < 12; ++k)
                    if (pending[k] != (uint8_t)(expectedFrame + k)) orderOk = false;
                ++expectedFrame;
                pendingLen = 0;
            }
        }
    }
    producer.join();
    EXPECT_TRUE(orderOk);
    EXPECT_EQ(produced, (long long)kFrames * 12);
    EXPECT_EQ(consumedBytes, produced);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

}  // namespace
