#include "simFrame.h"

namespace {

void put_u32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back((char)(uint8_t)(v >> (8 * i)));
}

uint32_t get_u32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | (uint8_t)s[at + (size_t)i];
    return v;
}

}  // namespace

std::string sim_frame(const std::string &topic, const std::string &payload) {
    std::string f(1, '\x7F');
    put_u32(f, (uint32_t)topic.size());
    f += topic;
    put_u32(f, (uint32_t)payload.size());
    f += payload;
    return f;
}

std::string sim_keep_alive() { return sim_frame("", ""); }

FrameResult sim_take_frame(std::string &buffer, std::string &topic, std::string &payload,
                           size_t &dropped) {
    dropped = 0;
    if (buffer.empty()) return FrameResult::NeedMore;
    if ((uint8_t)buffer[0] != 0x7F) {
        // Resynchronise on the next possible frame start.
        size_t next = buffer.find('\x7F', 1);
        dropped = next == std::string::npos ? buffer.size() : next;
        buffer.erase(0, dropped);
        return FrameResult::Garbage;
    }
    if (buffer.size() < 5) return FrameResult::NeedMore;
    uint32_t t = get_u32(buffer, 1);
    if (t > SIM_TOPIC_LIMIT) {
        dropped = 5;
        buffer.erase(0, 5);
        return FrameResult::Garbage;
    }
    if (buffer.size() < 9 + (size_t)t) return FrameResult::NeedMore;
    uint32_t p = get_u32(buffer, 5 + t);
    if (p > SIM_PAYLOAD_LIMIT) {
        dropped = 9 + t;
        buffer.erase(0, dropped);
        return FrameResult::Garbage;
    }
    if (buffer.size() < 9 + (size_t)t + p) return FrameResult::NeedMore;
    topic = buffer.substr(5, t);
    payload = buffer.substr(9 + t, p);
    buffer.erase(0, 9 + (size_t)t + p);
    return FrameResult::Frame;
}
