// The shared 7F codec (common/frame7f) on its own: any byte stream, cut in
// reads of varying size under limits taken from the input, must give the
// same frames as the whole stream at once; every frame must be within the
// limits and encode back to its own bytes; every byte is taken, dropped or
// still waiting.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame7f/frame7f.h"

namespace {

struct Run {
    std::vector<std::string> frames;
    size_t taken = 0, dropped = 0, left = 0;
};

Run cut_all(const uint8_t *data, size_t size, size_t step, const frame7f::Limits &limits) {
    Run run;
    frame7f::Cutter cutter(limits);
    std::string buf;
    size_t in = 0;
    while (in < size || !buf.empty()) {
        const size_t n = size - in < step ? size - in : step;
        buf.append((const char *)data + in, n);
        in += n;
        for (;;) {
            const frame7f::Piece p = cutter.next((const uint8_t *)buf.data(), buf.size());
            if (p.cut == frame7f::Cut::NeedMore) break;
            if (p.size == 0 || p.size > buf.size()) abort();  // no progress, or past the bytes
            if (p.cut == frame7f::Cut::Frame) {
                if (p.size != 9 + (size_t)p.topicLen + p.payloadLen ||
                    p.topicLen > limits.topicMax || p.payloadLen > limits.payloadMax ||
                    p.size > limits.frameMax || (const char *)p.topic != buf.data() + 5)
                    abort();
                std::string again(p.size, '\0');
                if (frame7f::encode((uint8_t *)&again[0], again.size(), p.topic, p.topicLen,
                                    p.payload, p.payloadLen) != p.size ||
                    again.compare(0, p.size, buf, 0, p.size) != 0)
                    abort();
                run.frames.push_back(again);
                run.taken += p.size;
            } else {
                run.dropped += p.size;
            }
            buf.erase(0, p.size);
        }
        if (in == size) break;
    }
    run.left = buf.size();
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    // Small limits, so that oversized frames and long topics are common.
    const frame7f::Limits limits = {data[0] % 80u, data[1] % 300u, 9u + data[2] % 400u};
    const size_t step = 1 + data[0] % 97;
    data += 3;
    size -= 3;
    const Run whole = cut_all(data, size, size > 0 ? size : 1, limits);
    const Run pieces = cut_all(data, size, step, limits);
    if (whole.frames != pieces.frames || whole.dropped != pieces.dropped ||
        whole.left != pieces.left)
        abort();
    if (whole.taken + whole.dropped + whole.left != size) abort();
    return 0;
}
