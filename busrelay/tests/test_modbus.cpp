#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mbTcpSvr.h"
#include "modbus.h"
#include "registerMap.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// The server's backend with the send and flush slots captured.
Bytes g_sent;
int g_sends = 0;
int g_flushes = 0;
ssize_t g_sendResult = -2;  // -2: take everything

ssize_t capture_send(ModbusContext *, const uint8_t *frame, int length) {
    g_sent.assign(frame, frame + length);
    ++g_sends;
    if (g_sendResult != -2) {
        if (g_sendResult == -1) errno = ENOBUFS;
        return g_sendResult;
    }
    return length;
}

int count_flush(ModbusContext *) {
    ++g_flushes;
    return 0;
}

ModbusBackend capture_backend() {
    ModbusBackend b = g_mbTcpServerBackend;
    b.send = capture_send;
    b.flush = count_flush;
    return b;
}

const ModbusBackend kCapture = capture_backend();

Bytes req(uint16_t tid, uint8_t unit, Bytes pdu) {
    Bytes r = {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, (uint8_t)(pdu.size() + 1), unit};
    for (uint8_t b : pdu) r.push_back(b);
    return r;
}

Bytes read_req(uint8_t fc, int address, int n, uint16_t tid = 0x0A0B, uint8_t unit = 3) {
    return req(tid, unit,
               {fc, (uint8_t)(address >> 8), (uint8_t)address, (uint8_t)(n >> 8), (uint8_t)n});
}

int clear_rule_calls = 0;
int clear_rule(void *device, int fc, int address) {
    ++clear_rule_calls;
    EXPECT_EQ(device, (void *)&clear_rule_calls);
    return (fc == 2 && address == 12) || (fc == 4 && address == 21);
}

class Reply : public testing::Test {
protected:
    void SetUp() override {
        mb_context_init(&ctx);
        ctx.backend = &kCapture;
        ctx.responseTimeout = {0, 0};  // the pause itself is checked against a real client
        ctx.socket = 5;
        g_sent.clear();
        g_sends = g_flushes = 0;
        g_sendResult = -2;
        // coils 10..19, inputs 10..25, holding 0..1000, input registers 20..23
        map = register_map_new(10, 10, 10, 16, 0, 1001, 20, 4);
        for (int i = 0; i < 10; ++i) map->tab_bits[i] = (i == 0 || i == 3 || i == 9);
        for (int i = 0; i < 1001; ++i) map->tab_registers[i] = (uint16_t)(0x1100 + i);
        for (int i = 0; i < 4; ++i) map->tab_input_registers[i] = (uint16_t)(i == 1 ? 0x55 : i);
        map->tab_input_bits[2] = 1;  // address 12
        map->tab_input_bits[3] = 1;  // address 13
    }
    void TearDown() override {
        register_map_free(map);
        pthread_mutex_destroy(&ctx.lock);
    }
    int reply(const Bytes &r, int complete = 0, int length = -3) {
        return mb_reply(&ctx, &clear_rule_calls, r.data(), length == -3 ? (int)r.size() : length,
                        map, complete);
    }
    void expect_exception(const Bytes &r, uint8_t code, bool flushed) {
        int flushes = g_flushes;
        EXPECT_EQ(reply(r), 9);
        ASSERT_EQ(g_sent.size(), 9u);
        EXPECT_EQ(Bytes(g_sent.begin(), g_sent.begin() + 7),
                  Bytes({r[0], r[1], 0, 0, 0, 3, r[6]}));
        EXPECT_EQ(g_sent[7], (uint8_t)(r[7] + 0x80));
        EXPECT_EQ(g_sent[8], code);
        EXPECT_EQ(g_flushes - flushes, flushed ? 1 : 0) << "fc " << (int)r[7];
    }
    ModbusContext ctx;
    RegisterMap *map = nullptr;
};

TEST_F(Reply, StoredReadsAreAnsweredFromTheMapWithTheRequestIds) {
    EXPECT_EQ(reply(read_req(1, 10, 10)), 11);
    EXPECT_EQ(g_sent, Bytes({0x0A, 0x0B, 0, 0, 0, 5, 3, 1, 2, 0x09, 0x02}));
    EXPECT_EQ(reply(read_req(3, 999, 2, 0xFFFF, 255)), 13);
    EXPECT_EQ(g_sent, Bytes({0xFF, 0xFF, 0, 0, 0, 7, 255, 3, 4, 0x14, 0xE7, 0x14, 0xE8}));
    // 1000 is itself, not an alias; 125 registers fit one reply.
    EXPECT_EQ(reply(read_req(3, 1000, 1)), 11);
    EXPECT_EQ(reply(read_req(3, 0, 125)), 259);
    EXPECT_EQ(g_sent[8], 250);
    EXPECT_EQ(g_sent[257], 0x11);
    EXPECT_EQ(g_sent[258], 0x7C);
}

TEST_F(Reply, DirectReadsAndValidWritesAreDeferredUntilComplete) {
    Bytes direct = read_req(3, 1001, 2);
    EXPECT_EQ(reply(direct), MB_REPLY_DEFERRED);
    EXPECT_EQ(g_sends, 0);
    EXPECT_EQ(reply(direct, 1, -1), 13);
    EXPECT_EQ(Bytes(g_sent.begin() + 9, g_sent.end()), Bytes({0x11, 0x01, 0x11, 0x02}));

    Bytes coil = req(7, 3, {5, 0, 11, 0xFF, 0x00});
    EXPECT_EQ(reply(coil), MB_REPLY_DEFERRED);
    EXPECT_EQ(map->tab_bits[1], 0) << "writes never touch the store here";
    EXPECT_EQ(reply(coil, 1, -1), 12);
    EXPECT_EQ(g_sent, coil);

    Bytes regs = req(8, 3, {16, 0x03, 0xE9, 0, 2, 4, 1, 2, 3, 4});  // 1001 -> 1
    EXPECT_EQ(reply(regs), MB_REPLY_DEFERRED);
    EXPECT_EQ(reply(regs, 1, -1), 12);
    EXPECT_EQ(g_sent, Bytes({0, 8, 0, 0, 0, 6, 3, 16, 0x03, 0xE9, 0, 2}));
    Bytes bits = req(9, 3, {15, 0, 10, 0, 9, 2, 0xFF, 1});
    EXPECT_EQ(reply(bits), MB_REPLY_DEFERRED);
    EXPECT_EQ(reply(bits, 1), 12);
    EXPECT_EQ(reply(req(9, 3, {6, 0, 4, 0xAB, 0xCD}), 1), 12);
}

TEST_F(Reply, ValidationTableWithTracesPausesAndFlushes) {
    mb_set_debug(&ctx, 1);
    CaptureStderr();
    expect_exception(read_req(1, 9, 1), 2, false);          // start - 1
    expect_exception(read_req(2, 20, 7), 2, false);         // one past the end
    expect_exception(read_req(1, 10, 0), 3, true);
    expect_exception(read_req(2, 10, 2001), 3, true);
    expect_exception(read_req(3, 0, 126), 3, true);
    expect_exception(read_req(4, 0, 0), 3, true);
    expect_exception(read_req(4, 1021, 4), 2, false);       // alias checked too
    expect_exception(req(1, 3, {5, 0, 20, 0xFF, 0}), 2, false);
    expect_exception(req(1, 3, {5, 0, 10, 0, 1}), 3, false);
    expect_exception(req(1, 3, {6, 0x07, 0xD1, 0, 1}), 2, false);  // 2001 -> 1001
    expect_exception(req(1, 3, {15, 0, 10, 0, 9, 1, 0xFF}), 3, true);   // 8 * 1 < 9
    expect_exception(req(1, 3, {15, 0, 10, 0, 11, 2, 0, 0}), 2, false);
    expect_exception(req(1, 3, {16, 0, 0, 0, 2, 3, 0, 0, 0}), 3, true);
    expect_exception(req(1, 3, {16, 0, 0, 0, 124, 0}), 3, true);
    for (uint8_t fc : {7, 8, 17, 22, 23, 43}) expect_exception(req(2, 3, {fc}), 1, true);
    std::string trace = GetCapturedStderr();
    for (const char *text : {
             "Illegal data address 0x9 in read_bits\n",
             "Illegal data address 0x1B in read_input_bits\n",
             "Illegal nb of values 0 in read_bits (max 2000)\n",
             "Illegal nb of values 2001 in read_input_bits (max 2000)\n",
             "Illegal nb of values 126 in read_registers (max 125)\n",
             "Illegal data address 0x19 in read_input_registers\n",
             "Illegal data address 0x14 in write_bit\n",
             "Illegal data value 0x1 in write_bit request at address A\n",
             "Illegal data address 0x3E9 in write_register\n",
             "Illegal number of values 9 in write_bits (max 1968)\n",
             "Illegal data address 0x15 in write_bits\n",
             "Illegal number of values 2 in write_registers (max 123)\n",
             "Unknown Modbus function code: 0x2B\n",
         })
        EXPECT_NE(trace.find(text), std::string::npos) << text << "\n" << trace;
}

TEST_F(Reply, OneShotSignalsAreClearedAfterTheirRead) {
    mb_set_clear_after_read(&ctx, clear_rule);
    EXPECT_EQ(reply(read_req(2, 12, 2)), 10);
    EXPECT_EQ(g_sent[9], 0x03);
    EXPECT_EQ(reply(read_req(2, 12, 2)), 10);
    EXPECT_EQ(g_sent[9], 0x02);
    EXPECT_EQ(reply(read_req(4, 20, 3)), 15);
    EXPECT_EQ(g_sent[12], 0x55);
    EXPECT_EQ(map->tab_input_registers[1], 0);
    EXPECT_EQ(map->tab_input_registers[2], 2);
    // Zeros are never offered to the rule; coils and holding never cleared.
    clear_rule_calls = 0;
    EXPECT_EQ(reply(read_req(4, 20, 1)), 11);
    EXPECT_EQ(clear_rule_calls, 0);
    reply(read_req(1, 10, 10));
    EXPECT_EQ(clear_rule_calls, 0);
}

// What the offline policy asks before it refuses a read: the code the map
// itself would give, without sending anything.
TEST_F(Reply, CheckReadGivesTheMapsOwnAnswerAndSendsNothing) {
    auto check = [&](const Bytes &r) {
        MbRequest d;
        mb_decode_request(r.data(), (int)r.size(), 5, &d);
        return mb_check_read(&d, map);
    };
    EXPECT_EQ(check(read_req(1, 10, 10)), 0);
    EXPECT_EQ(check(read_req(1, 11, 10)), 2);
    EXPECT_EQ(check(read_req(3, 1500, 1)), 0);  // the direct alias reads register 500
    EXPECT_EQ(check(read_req(4, 20, 0)), 3);
    EXPECT_EQ(check(req(1, 3, {6, 0, 1, 0, 1})), -1);
    EXPECT_EQ(g_sends, 0);
}

TEST_F(Reply, TruncatedRequestsAndBadArgumentsSendNothing) {
    Bytes r = read_req(3, 0, 1);
    errno = 0;
    EXPECT_EQ(reply(r, 0, 11), -1);
    EXPECT_EQ(errno, MB_EBADDATA);
    Bytes w = req(1, 3, {16, 0, 0, 0, 2, 4, 1, 2, 3});  // one data byte short
    EXPECT_EQ(reply(w), -1);
    EXPECT_EQ(reply(req(1, 3, {16, 0, 0, 0, 1})), -1);   // byte count missing
    EXPECT_EQ(reply(r, 0, 7), -1);
    EXPECT_EQ(g_sends, 0);
    // An unknown function code needs only its header.
    EXPECT_EQ(reply(req(1, 3, {0x41})), 9);

    EXPECT_EQ(mb_reply(nullptr, nullptr, r.data(), 12, map, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    MbRequest d;
    ASSERT_EQ(mb_decode_request(r.data(), 12, 5, &d), 0);
    EXPECT_EQ(mb_reply(&ctx, nullptr, (const MbRequest *)nullptr, map, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mb_reply_exception(&ctx, &d, 12), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mb_reply_exception(&ctx, &d, 11), 9);
    EXPECT_EQ(g_sent[7], 0x83);
    EXPECT_EQ(mb_set_debug(nullptr, 1), -1);
    EXPECT_EQ(mb_set_socket(nullptr, 1), -1);
    EXPECT_EQ(mb_get_header_length(&ctx), 7);
    // A unit whose map is missing has no tables.
    EXPECT_EQ(mb_reply(&ctx, nullptr, r.data(), 12, nullptr, 0), 9);
    EXPECT_EQ(g_sent[8], 2);
}

// The header is decoded once; the direct alias (address above 1000) is
// resolved there and nowhere else.
TEST(Decode, FieldsAndTheDirectAliasComeFromOnePlace) {
    MbRequest d;
    Bytes w = req(0xBEEF, 9, {16, 0x03, 0xE9, 0, 2, 4, 1, 2, 3, 4});  // 1001, 2 registers
    ASSERT_EQ(mb_decode_request(w.data(), (int)w.size(), 17, &d), 0);
    EXPECT_EQ(d.frame, w.data());
    EXPECT_EQ(d.length, 17);
    EXPECT_EQ(d.socket, 17);
    EXPECT_EQ(d.transactionId, 0xBEEF);
    EXPECT_EQ(d.unitId, 9);
    EXPECT_EQ(d.function, 16);
    EXPECT_EQ(d.address, 1001);
    EXPECT_EQ(d.quantity, 2);
    EXPECT_TRUE(d.direct);
    EXPECT_EQ(d.registerAddress, 1);
    // 1000 is itself; so is the highest address's alias.
    Bytes r = read_req(3, 1000, 1);
    ASSERT_EQ(mb_decode_request(r.data(), 12, 1, &d), 0);
    EXPECT_FALSE(d.direct);
    EXPECT_EQ(d.registerAddress, 1000);
    r = read_req(4, 0xFFFF, 1);
    ASSERT_EQ(mb_decode_request(r.data(), 12, 1, &d), 0);
    EXPECT_TRUE(d.direct);
    EXPECT_EQ(d.registerAddress, 0xFFFF - 1000);
    // The value of a single write is its quantity field.
    Bytes c = req(1, 2, {5, 0, 7, 0xFF, 0});
    ASSERT_EQ(mb_decode_request(c.data(), 12, 1, &d), 0);
    EXPECT_EQ(d.quantity, 0xFF00);
    // Function codes without an address carry none.
    Bytes other = req(1, 2, {43, 0x0E, 0x01, 0x00, 0x00});
    ASSERT_EQ(mb_decode_request(other.data(), 12, 1, &d), 0);
    EXPECT_EQ(d.address, 0);
    EXPECT_FALSE(d.direct);
    // Too short for a function code: only the bytes are named.
    ASSERT_EQ(mb_decode_request(r.data(), 7, 3, &d), -1);
    EXPECT_EQ(d.frame, r.data());
    EXPECT_EQ(d.length, 7);
    EXPECT_EQ(d.socket, 3);
    EXPECT_EQ(d.function, 0);
    // Too short for the address: left 0 (mb_reply refuses it as truncated).
    ASSERT_EQ(mb_decode_request(r.data(), 11, 3, &d), 0);
    EXPECT_EQ(d.function, 4);
    EXPECT_EQ(d.address, 0);
}

// A completed write echoes the address its request names: as sent, or the
// map's register once the request is taken as addressed to it (how the
// bridge answers what the gateway completed).
TEST_F(Reply, CompletedEchoesNameTheRequestsAddressOrItsRegister) {
    Bytes single = req(7, 3, {6, 0x03, 0xED, 0x12, 0x34});  // 1005
    MbRequest d;
    ASSERT_EQ(mb_decode_request(single.data(), 12, 5, &d), 0);
    EXPECT_EQ(mb_reply(&ctx, nullptr, &d, map, 0), MB_REPLY_DEFERRED);
    EXPECT_EQ(mb_reply(&ctx, nullptr, &d, map, 1), 12);
    EXPECT_EQ(g_sent, Bytes({0, 7, 0, 0, 0, 6, 3, 6, 0x03, 0xED, 0x12, 0x34}));
    const MbRequest reg = mb_register_request(d);
    EXPECT_FALSE(reg.direct);
    EXPECT_EQ(mb_reply(&ctx, nullptr, &reg, map, 1), 12);
    EXPECT_EQ(g_sent, Bytes({0, 7, 0, 0, 0, 6, 3, 6, 0, 5, 0x12, 0x34}));
    EXPECT_EQ(single[9], 0xED) << "the request's bytes stay as they came";

    Bytes multi = req(8, 3, {15, 0x03, 0xF2, 0, 3, 1, 0x05});  // coils 1010..1012 -> 10..12
    ASSERT_EQ(mb_decode_request(multi.data(), (int)multi.size(), 5, &d), 0);
    const MbRequest regs = mb_register_request(d);
    EXPECT_EQ(mb_reply(&ctx, nullptr, &regs, map, 1), 12);
    EXPECT_EQ(g_sent, Bytes({0, 8, 0, 0, 0, 6, 3, 15, 0, 10, 0, 3}));

    // A direct read is answered from the register the gateway refreshed.
    Bytes read = read_req(3, 1002, 1);
    ASSERT_EQ(mb_decode_request(read.data(), 12, 5, &d), 0);
    EXPECT_EQ(mb_reply(&ctx, nullptr, &d, map, 0), MB_REPLY_DEFERRED);
    const MbRequest readReg = mb_register_request(d);
    EXPECT_EQ(mb_reply(&ctx, nullptr, &readReg, map, 1), 11);
    EXPECT_EQ(Bytes(g_sent.begin() + 9, g_sent.end()), Bytes({0x11, 0x02}));
}

TEST_F(Reply, SendFrameFailuresAndErrorTexts) {
    mb_set_debug(&ctx, 1);
    Bytes r = read_req(3, 0, 1);
    g_sendResult = 4;  // a partial take is not a success
    EXPECT_EQ(reply(r), -1);
    EXPECT_EQ(errno, MB_EBADDATA);
    g_sendResult = 0;  // no slot for the socket: dropped quietly
    EXPECT_EQ(reply(r), 0);
    g_sendResult = -1;
    CaptureStderr();
    EXPECT_EQ(reply(r), -1);
    EXPECT_NE(GetCapturedStderr().find("ERROR No buffer space available\n"), std::string::npos);

    EXPECT_STREQ(mb_strerror(MB_ERRNO_BASE + 1), "Illegal function");
    EXPECT_STREQ(mb_strerror(MB_ERRNO_BASE + 11), "Target device failed to respond");
    EXPECT_STREQ(mb_strerror(MB_ERRNO_BASE + 13), "Invalid data");
    EXPECT_STREQ(mb_strerror(MB_ERRNO_BASE + 17), "Response not from requested slave");
    EXPECT_STREQ(mb_strerror(EINVAL), strerror(EINVAL));
    EXPECT_EQ(MB_REPLY_DEFERRED, 1437226427);
}

TEST(Framing, TheMbapLengthFieldDecides) {
    auto len = [&](int mbapLength, int n) {
        Bytes r(300, 0);
        r[4] = (uint8_t)(mbapLength >> 8);
        r[5] = (uint8_t)mbapLength;
        r[7] = 3;
        Bytes exact(r.begin(), r.begin() + n);  // exact size: ASan sees any over-read
        return mb_tcp_frame_length(exact.data(), n);
    };
    EXPECT_EQ(len(6, 5), 0);     // not even the length field yet
    EXPECT_EQ(len(6, 11), 0);
    EXPECT_EQ(len(6, 12), 12);
    EXPECT_EQ(len(6, 20), 12);   // the next frame starts at byte 12
    EXPECT_EQ(len(5, 11), 11);   // an 11-byte frame is 11 bytes, whatever its code
    EXPECT_EQ(len(254, 259), 0);
    EXPECT_EQ(len(254, 260), 260);
    EXPECT_EQ(mb_tcp_announced_length(Bytes({0, 1, 0, 0, 0xFF, 0xFF}).data(), 6), 65541);
    EXPECT_EQ(mb_tcp_announced_length(Bytes({0, 1, 0, 0, 0}).data(), 5), 0);
    CaptureStderr();
    EXPECT_EQ(len(255, 8), -1);  // refused as soon as the header is there
    EXPECT_EQ(GetCapturedStderr(), "ERROR Invalid data: too many data\n");
    CaptureStderr();
    EXPECT_EQ(len(1, 7), -1);  // no room for a function code
    EXPECT_EQ(len(0, 6), -1);
    GetCapturedStderr();
}

// Malformed input, seeded and bounded: every framed request and every
// truncated one goes through mb_reply from an exact-size heap copy, so
// AddressSanitizer reports any read past the bytes given.
TEST_F(Reply, RandomMalformedFramesNeverReadPastTheirBytes) {
    std::mt19937 rng(20240531);
    const uint8_t codes[] = {1, 2, 3, 4, 5, 6, 15, 16, 22, 23, 43, 0, 0x81, 255};
    RegisterMap *maps[3] = {map, register_map_new(0, 0, 0, 0, 0, 0, 0, 0),
                            register_map_new(65530, 6, 1, 2000, 0xFFFFFFF0u, 20, 0, 125)};
    ASSERT_NE(maps[1], nullptr);
    ASSERT_NE(maps[2], nullptr);
    mb_set_clear_after_read(&ctx, clear_rule);
    int replied = 0, deferred = 0;
    CaptureStderr();
    for (int i = 0; i < 20000; ++i) {
        int n = (int)(rng() % 300);
        Bytes stream(n);
        for (uint8_t &b : stream) b = (uint8_t)rng();
        // Mostly near-valid frames, so the checks past the framing are reached.
        for (int at = 0, step = 12 + (int)(rng() % 8); at + 13 <= n && rng() % 3;
             at += step, step = 12 + (int)(rng() % 8)) {
            stream[at + 4] = 0;
            stream[at + 5] = (uint8_t)(rng() % 4 ? step - 6 : rng() % 12);
            stream[at + 7] = codes[rng() % sizeof codes];
            int address = rng() % 2 ? (int)(rng() % 40) : 1000 + (int)(rng() % 40);
            if (rng() % 5 == 0) address = (int)(rng() % 65536);
            int count = rng() % 4 ? (int)(rng() % 30) : (int)(rng() % 65536);
            stream[at + 8] = (uint8_t)(address >> 8);
            stream[at + 9] = (uint8_t)address;
            stream[at + 10] = (uint8_t)(count >> 8);
            stream[at + 11] = (uint8_t)count;
            if (rng() % 2) stream[at + 12] = (uint8_t)(rng() % 2 ? 2 * count : (count + 7) / 8);
        }
        int off = 0;
        while (off < n) {
            int len = mb_tcp_frame_length(stream.data() + off, n - off);
            if (len <= 0) break;
            ASSERT_LE(len, n - off);
            ASSERT_LE(len, MB_MAX_ADU_LENGTH);
            // Whole frame, and a randomly cut one.
            for (int cut : {len, (int)(rng() % (len + 1))}) {
                uint8_t *copy = new uint8_t[cut > 0 ? cut : 1];
                memcpy(copy, stream.data() + off, cut);
                g_sent.clear();
                int rc = mb_reply(&ctx, &clear_rule_calls, copy, cut, maps[rng() % 3],
                                  (int)(rng() % 2));
                if (rc == MB_REPLY_DEFERRED) {
                    ++deferred;
                } else if (rc > 0) {
                    ++replied;
                    ASSERT_EQ(rc, (int)g_sent.size());
                    ASSERT_LE(rc, MB_MAX_ADU_LENGTH);
                    ASSERT_EQ(g_sent[0], copy[0]);
                    ASSERT_EQ(g_sent[1], copy[1]);
                    ASSERT_EQ((g_sent[4] << 8 | g_sent[5]) + 6, rc);
                } else {
                    // Cut, or framed shorter than its function code needs.
                    ASSERT_EQ(rc, -1);
                    ASSERT_EQ(errno, MB_EBADDATA);
                }
                delete[] copy;
            }
            off += len;
        }
    }
    GetCapturedStderr();
    EXPECT_GT(replied, 1000);
    EXPECT_GT(deferred, 200);
    register_map_free(maps[1]);
    register_map_free(maps[2]);
}

}  // namespace
