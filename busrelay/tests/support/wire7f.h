#ifndef WIRE7F_H
#define WIRE7F_H

// A 7F frame written out by hand (0x7F, little-endian topic length, topic,
// little-endian payload length, payload), so the codecs are checked against
// the wire format, not against themselves.

#include <cstdint>
#include <string>

inline std::string wire7f(const std::string &topic, const std::string &payload) {
    std::string f(1, '\x7F');
    auto put = [&f](uint32_t v) {
        for (int i = 0; i < 4; ++i) f.push_back((char)(v >> (8 * i)));
    };
    put((uint32_t)topic.size());
    f += topic;
    put((uint32_t)payload.size());
    f += payload;
    return f;
}

#endif  // WIRE7F_H
