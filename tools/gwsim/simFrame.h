// 7F frames for the simulator: building them, and cutting them out of a
// TCP byte stream.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t SIM_TOPIC_LIMIT = 4096;     // anything longer is noise
constexpr uint32_t SIM_PAYLOAD_LIMIT = 1 << 20;

std::string sim_frame(const std::string &topic, const std::string &payload);
std::string sim_keep_alive();

enum class FrameResult { Frame, NeedMore, Garbage };

// Takes one frame off the front of buffer. Garbage: bytes were thrown away
// (a wrong first byte or absurd lengths); `dropped` tells how many.
FrameResult sim_take_frame(std::string &buffer, std::string &topic, std::string &payload,
                           size_t &dropped);
