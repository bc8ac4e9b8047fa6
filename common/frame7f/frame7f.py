"""The gateway's local "7F" frame for the Python tests and benchmarks, with
the same rule as common/frame7f/frame7f.h: 0x7F, topic length (u32 LE),
topic, payload length (u32 LE), payload; both lengths 0 is a keep-alive. A
bad head (not 0x7F, topic over the limit, payload length of 2 GiB or more)
is resynchronised on the next 0x7F byte; a sound head whose frame is over
the limits is skipped by its announced lengths."""
import struct

START = 0x7F
HEAD_BYTES = 9
SKIPPABLE_MAX = 0x7FFFFFFF
KEEP_ALIVE = b"\x7f" + b"\0" * 8

# What a test peer takes by default: far more than any program sends.
TOPIC_MAX = 1 << 20
PAYLOAD_MAX = 1 << 24


def _bytes(text):
    return text.encode() if isinstance(text, str) else bytes(text)


def encode(topic, payload):
    """One frame; topic and payload as str (UTF-8) or bytes."""
    t, p = _bytes(topic), _bytes(payload)
    return b"\x7f" + struct.pack("<I", len(t)) + t + struct.pack("<I", len(p)) + p


class Cutter:
    """Cuts frames out of a byte stream fed in pieces of any size.

    feed() returns the whole frames now available as (topic, payload) bytes
    pairs; `skipped` counts the bytes dropped so far (garbage and oversized
    frames), `skips` lists (why, bytes) for each drop."""

    def __init__(self, topic_max=TOPIC_MAX, payload_max=PAYLOAD_MAX, frame_max=None):
        self.topic_max = topic_max
        self.payload_max = payload_max
        self.frame_max = frame_max if frame_max is not None else HEAD_BYTES + topic_max + payload_max
        self.buf = b""
        self.skip_left = 0
        self.skipped = 0
        self.skips = []

    def _drop(self, n, why):
        self.buf = self.buf[n:]
        self.skipped += n
        self.skips.append((why, n))

    def _resync(self, why):
        nxt = self.buf.find(b"\x7f", 1)
        self._drop(len(self.buf) if nxt < 0 else nxt, why)

    def feed(self, data=b""):
        self.buf += data
        frames = []
        while self.buf:
            if self.skip_left:
                n = min(self.skip_left, len(self.buf))
                self.skip_left -= n
                self._drop(n, "rest")
                continue
            if self.buf[0] != START:
                self._resync("start")
                continue
            if len(self.buf) < 5:
                break
            (t,) = struct.unpack_from("<I", self.buf, 1)
            if t > self.topic_max:
                self._resync("topic")
                continue
            if len(self.buf) < HEAD_BYTES + t:
                break
            (p,) = struct.unpack_from("<I", self.buf, 5 + t)
            if p > SKIPPABLE_MAX:
                self._resync("payload")
                continue
            whole = HEAD_BYTES + t + p
            if p > self.payload_max or whole > self.frame_max:
                n = min(whole, len(self.buf))
                self.skip_left = whole - n
                self._drop(n, "oversized")
                continue
            if len(self.buf) < whole:
                break
            frames.append((self.buf[5:5 + t], self.buf[HEAD_BYTES + t:whole]))
            self.buf = self.buf[whole:]
        return frames

    def partial(self):
        """True while a frame has begun (or is being skipped) but is incomplete."""
        return bool(self.buf) or self.skip_left > 0
