// The shared 7F codec (common/frame7f): encoding, and frames cut out of a
// stream however it is split, with the one garbage rule.
#include <gtest/gtest.h>

#include "support/wire7f.h"

#include <string>
#include <vector>

#include "frame7f/frame7f.h"

namespace {

std::string head(uint32_t topicLen, uint32_t payloadLen, const std::string &topic = "") {
    std::string f(1, '\x7F');
    for (int i = 0; i < 4; ++i) f.push_back((char)(topicLen >> (8 * i)));
    f += topic;
    for (int i = 0; i < 4; ++i) f.push_back((char)(payloadLen >> (8 * i)));
    return f;
}

const frame7f::Limits kSmall = {16, 64, 60};

// A receiver as the programs build one: a byte buffer, a Cutter, and the
// bytes dropped after each piece. Records frames as "topic|payload" and
// skips as "skip:<why>:<bytes>".
struct Stream {
    explicit Stream(const frame7f::Limits &l) : cutter(l) {}
    frame7f::Cutter cutter;
    std::string buf;
    std::vector<std::string> out;

    void feed(const std::string &bytes) {
        buf += bytes;
        for (int guard = 0; guard < 100000; ++guard) {
            const frame7f::Piece p = cutter.next((const uint8_t *)buf.data(), buf.size());
            if (p.cut == frame7f::Cut::NeedMore) return;
            ASSERT_GT(p.size, 0u);
            ASSERT_LE(p.size, buf.size());
            if (p.cut == frame7f::Cut::Frame) {
                EXPECT_EQ(p.size, 9u + p.topicLen + p.payloadLen);
                EXPECT_EQ((const char *)p.topic, buf.data() + 5);
                out.push_back(std::string((const char *)p.topic, p.topicLen) + "|" +
                              std::string((const char *)p.payload, p.payloadLen));
            } else {
                out.push_back("skip:" + std::to_string((int)p.why) + ":" + std::to_string(p.size));
            }
            buf.erase(0, p.size);
        }
        FAIL() << "no progress";
    }
    // Frames only, the skips left out.
    std::vector<std::string> frames() const {
        std::vector<std::string> f;
        for (const std::string &s : out)
            if (s.compare(0, 5, "skip:") != 0) f.push_back(s);
        return f;
    }
};

std::string skip(frame7f::Why why, size_t n) {
    return "skip:" + std::to_string((int)why) + ":" + std::to_string(n);
}

}  // namespace

TEST(Frame7fEncode, WireFormatKeepAliveAndCapacity) {
    uint8_t out[64];
    ASSERT_EQ(frame7f::encode(out, sizeof out, "ab", 2, "{}", 2), 13u);
    EXPECT_EQ(std::string((const char *)out, 13), wire7f("ab", "{}"));
    ASSERT_EQ(frame7f::encode_keep_alive(out, sizeof out), 9u);
    EXPECT_EQ(std::string((const char *)out, 9), std::string("\x7F\0\0\0\0\0\0\0\0", 9));
    // Exactly the capacity fits, one byte more does not and writes nothing.
    const std::string payload(64 - 9 - 1, 'x');
    EXPECT_EQ(frame7f::encode(out, sizeof out, "t", 1, payload.data(), payload.size()), 64u);
    out[0] = 0;
    EXPECT_EQ(frame7f::encode(out, sizeof out, "t", 1, payload.data(), payload.size() + 1), 0u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(frame7f::get_u32((const uint8_t *)"\x01\x02\x03\x80"), 0x80030201u);
}

TEST(Frame7fCut, SplitFramesComeOutWholeHoweverTheStreamIsCut) {
    const std::string a = wire7f("local/gw/dev1", "{\"a\":1}");
    const std::string ka = wire7f("", "");
    const std::string b = wire7f("quit", "");
    const std::string all = a + ka + b + a;
    const std::vector<std::string> want = {"local/gw/dev1|{\"a\":1}", "|", "quit|",
                                           "local/gw/dev1|{\"a\":1}"};
    for (size_t step = 1; step <= all.size(); ++step) {
        Stream s(kSmall);
        for (size_t at = 0; at < all.size(); at += step) s.feed(all.substr(at, step));
        EXPECT_EQ(s.out, want) << "pieces of " << step;
        EXPECT_TRUE(s.buf.empty());
    }
    // A frame short by one byte waits; the keep-alive is told apart.
    frame7f::Piece p = frame7f::cut((const uint8_t *)a.data(), a.size() - 1, kSmall);
    EXPECT_EQ(p.cut, frame7f::Cut::NeedMore);
    p = frame7f::cut((const uint8_t *)ka.data(), ka.size(), kSmall);
    EXPECT_TRUE(p.keepAlive());
    p = frame7f::cut((const uint8_t *)b.data(), b.size(), kSmall);
    EXPECT_EQ(p.cut, frame7f::Cut::Frame);
    EXPECT_FALSE(p.keepAlive());
}

TEST(Frame7fCut, GarbageBeforeAndBetweenFramesResynchronisesOnTheNext7F) {
    const std::string a = wire7f("t", "{}");
    Stream s(kSmall);
    s.feed("hello" + a + "xy" + a);
    EXPECT_EQ(s.out, (std::vector<std::string>{skip(frame7f::Why::BadStart, 5), "t|{}",
                                               skip(frame7f::Why::BadStart, 2), "t|{}"}));
    // Garbage with no 0x7F is dropped whole, even before more bytes come.
    Stream g(kSmall);
    g.feed("abc");
    EXPECT_EQ(g.out, std::vector<std::string>{skip(frame7f::Why::BadStart, 3)});
    EXPECT_TRUE(g.buf.empty());

    // A topic over the limit is a bad head: only its 0x7F goes, and the
    // search goes on from the byte after it (here a 0x7F inside the bad
    // head, itself a bad head, then the good frame).
    Stream t(kSmall);
    t.feed(std::string("\x7F\x11\x00\x7F\x00", 5) + a);
    EXPECT_EQ(t.out, (std::vector<std::string>{skip(frame7f::Why::BadTopic, 3),
                                               skip(frame7f::Why::BadTopic, 2), "t|{}"}));
    // Topic exactly at the limit is taken.
    Stream at(kSmall);
    at.feed(wire7f(std::string(16, 'q'), "p"));
    EXPECT_EQ(at.frames(), std::vector<std::string>{std::string(16, 'q') + "|p"});

    // A payload length of 2 GiB or more gives nothing to skip by: resync.
    Stream h(kSmall);
    h.feed(head(1, 0x80000000u, "t") + a);
    EXPECT_EQ(h.out, (std::vector<std::string>{skip(frame7f::Why::BadPayload, 10), "t|{}"}));
}

TEST(Frame7fCut, OversizedFrameIsSkippedByItsLengthsAcrossReads) {
    // Payload over its limit, and a frame over the frame limit with each
    // length within its own; both full of 0x7F bytes that must not be taken
    // for frame starts.
    const std::string a = wire7f("t", "{}");
    const std::string big = wire7f("t", std::string(65, '\x7F'));
    const std::string wide = wire7f(std::string(16, 'q'), std::string(40, '\x7F'));
    ASSERT_EQ(wide.size(), 65u);
    for (const std::string &over : {big, wide}) {
        Stream s(kSmall);
        s.feed(over.substr(0, 30));
        EXPECT_TRUE(s.cutter.skipping());
        s.feed(over.substr(30, 20));
        s.feed(over.substr(50) + a);
        EXPECT_FALSE(s.cutter.skipping());
        EXPECT_EQ(s.frames(), std::vector<std::string>{"t|{}"});
        ASSERT_GE(s.out.size(), 2u);
        EXPECT_EQ(s.out[0], skip(frame7f::Why::Oversized, 30));
        size_t dropped = 0;
        for (const std::string &o : s.out)
            if (o.compare(0, 5, "skip:") == 0) dropped += std::stoul(o.substr(o.rfind(':') + 1));
        EXPECT_EQ(dropped, over.size());
    }
    // The stateless cut says how far the frame goes; a frame of exactly the
    // frame limit is taken.
    const frame7f::Piece p = frame7f::cut((const uint8_t *)big.data(), 12, kSmall);
    EXPECT_EQ(p.cut, frame7f::Cut::Skip);
    EXPECT_EQ(p.size, 12u);
    EXPECT_EQ(p.announced, big.size());
    Stream edge(kSmall);
    edge.feed(wire7f("t", std::string(60 - 10, 'x')));
    EXPECT_EQ(edge.frames().size(), 1u);
    // A reset (a quiet link) forgets the rest of a skip.
    Stream r(kSmall);
    r.feed(big.substr(0, 20));
    r.cutter.reset();
    r.buf.clear();
    r.feed(a);
    EXPECT_EQ(r.frames(), std::vector<std::string>{"t|{}"});
}

TEST(Frame7fCut, LimitsAreTheCallers) {
    // The same frame refused by small limits and taken by large ones.
    const std::string f = wire7f(std::string(100, 't'), std::string(300, 'p'));
    Stream small(kSmall), large({1024, 1024, 4096});
    small.feed(f);
    large.feed(f);
    EXPECT_TRUE(small.frames().empty());
    ASSERT_EQ(large.frames().size(), 1u);
    EXPECT_EQ(large.frames()[0], std::string(100, 't') + "|" + std::string(300, 'p'));
}
