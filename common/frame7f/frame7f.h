// The gateway's local "7F" frame, shared by busrelay, gwsim and mapdesk:
// 0x7F, topic length T (u32 LE), topic, payload length P (u32 LE), payload.
// T = P = 0 is a keep-alive.
//
// Header only, C++17, no allocation: frames are written into the caller's
// buffer and cut out of the caller's buffer, which keeps the bytes.
//
// Receive rule, the same for every program: a bad head (first byte not
// 0x7F, topic longer than the caller allows, a payload length of 2 GiB or
// more) is resynchronised on the next 0x7F byte; a sound head whose frame is
// larger than the caller allows is skipped by its announced lengths, so the
// frame behind it still arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace frame7f {

constexpr uint8_t kStart = 0x7F;
constexpr size_t kHeadBytes = 9;  // 0x7F and the two lengths
// A payload length from here up gives no sane size to skip by: resynchronise.
constexpr uint32_t kSkippableMax = 0x7FFFFFFFu;

struct Limits {
    uint32_t topicMax;    // longer topic: bad head
    uint32_t payloadMax;  // longer payload: skipped by the lengths
    uint64_t frameMax;    // larger whole frame (9 + T + P): skipped by the lengths
};

enum class Cut {
    NeedMore,  // nothing to take yet
    Frame,     // a whole frame: topic and payload point into the caller's bytes
    Skip,      // drop `size` bytes
};

enum class Why {
    None,
    BadStart,    // first byte is not 0x7F
    BadTopic,    // topic length over the limit
    BadPayload,  // payload length too large to skip by
    Oversized,   // sound head, frame over the limits: skipped by its lengths
    Rest,        // further bytes of an oversized frame (Cutter only)
};

struct Piece {
    Cut cut = Cut::NeedMore;
    Why why = Why::None;
    // Frame: its bytes. Skip: bytes to drop now (never more than were given).
    size_t size = 0;
    // Oversized: the whole frame's announced size, which may exceed what was given.
    uint64_t announced = 0;
    const uint8_t *topic = nullptr;
    uint32_t topicLen = 0;
    const uint8_t *payload = nullptr;
    uint32_t payloadLen = 0;

    bool keepAlive() const { return cut == Cut::Frame && topicLen == 0 && payloadLen == 0; }
};

inline uint32_t get_u32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline void put_u32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

inline uint64_t encoded_size(size_t topicLen, size_t payloadLen) {
    return (uint64_t)kHeadBytes + topicLen + payloadLen;
}

// Writes the frame into out; its size, or 0 when it does not fit in cap
// bytes. topic / payload may be null when their length is 0.
inline size_t encode(uint8_t *out, size_t cap, const void *topic, size_t topicLen,
                     const void *payload, size_t payloadLen) {
    if (topicLen > 0xFFFFFFFFu || payloadLen > 0xFFFFFFFFu ||
        encoded_size(topicLen, payloadLen) > cap)
        return 0;
    out[0] = kStart;
    put_u32(out + 1, (uint32_t)topicLen);
    if (topicLen > 0) memcpy(out + 5, topic, topicLen);
    put_u32(out + 5 + topicLen, (uint32_t)payloadLen);
    if (payloadLen > 0) memcpy(out + kHeadBytes + topicLen, payload, payloadLen);
    return kHeadBytes + topicLen + payloadLen;
}

inline size_t encode_keep_alive(uint8_t *out, size_t cap) {
    return encode(out, cap, nullptr, 0, nullptr, 0);
}

namespace detail {

// The bad head's first byte and everything before the next 0x7F.
inline Piece resync(const uint8_t *data, size_t len, Why why) {
    Piece p;
    p.cut = Cut::Skip;
    p.why = why;
    const void *next = len > 1 ? memchr(data + 1, kStart, len - 1) : nullptr;
    p.size = next ? (size_t)((const uint8_t *)next - data) : len;
    return p;
}

}  // namespace detail

// Looks at the front of data (len bytes, as received so far). Stateless: an
// oversized frame's Skip covers only the bytes given (announced says how far
// it goes); Cutter remembers the rest.
inline Piece cut(const uint8_t *data, size_t len, const Limits &limits) {
    Piece p;
    if (len == 0) return p;
    if (data[0] != kStart) return detail::resync(data, len, Why::BadStart);
    if (len < 5) return p;
    const uint32_t t = get_u32(data + 1);
    if (t > limits.topicMax) return detail::resync(data, len, Why::BadTopic);
    if (len - 5 < (uint64_t)t + 4) return p;
    const uint32_t pl = get_u32(data + 5 + t);
    if (pl > kSkippableMax) return detail::resync(data, len, Why::BadPayload);
    const uint64_t whole = encoded_size(t, pl);
    if (pl > limits.payloadMax || whole > limits.frameMax) {
        p.cut = Cut::Skip;
        p.why = Why::Oversized;
        p.announced = whole;
        p.size = whole < len ? (size_t)whole : len;
        return p;
    }
    if (len < whole) return p;
    p.cut = Cut::Frame;
    p.size = (size_t)whole;
    p.announced = whole;
    p.topic = data + 5;
    p.topicLen = t;
    p.payload = data + kHeadBytes + t;
    p.payloadLen = pl;
    return p;
}

// cut() over a stream: remembers how much of an oversized frame is still to
// come, so that its later bytes are dropped instead of being taken for
// garbage. The caller drops piece.size bytes after every Frame or Skip.
struct Cutter {
    Limits limits;
    uint64_t skipLeft = 0;

    explicit Cutter(const Limits &l) : limits(l) {}

    Piece next(const uint8_t *data, size_t len) {
        if (skipLeft > 0) {
            Piece p;
            if (len == 0) return p;
            p.cut = Cut::Skip;
            p.why = Why::Rest;
            p.size = skipLeft < len ? (size_t)skipLeft : len;
            skipLeft -= p.size;
            return p;
        }
        Piece p = cut(data, len, limits);
        if (p.cut == Cut::Skip && p.why == Why::Oversized) skipLeft = p.announced - p.size;
        return p;
    }
    // Partway through an oversized frame.
    bool skipping() const { return skipLeft > 0; }
    void reset() { skipLeft = 0; }
};

}  // namespace frame7f
