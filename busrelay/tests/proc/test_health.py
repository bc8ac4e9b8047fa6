"""The relay's health on the wire, end to end: unit 255's counters against
known traffic and a gateway link that drops, data ages, mbopts.json's
offline policy (off or refused: today's bytes; on: exception 11), and
read-only clients of mbacl.json."""
# labels: threads
import os
import re
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.enter_namespace()
import bridge_env as env  # noqa: E402

NAMES = ["uptime", "answered", "exceptions_1", "exceptions_2", "exceptions_3", "exceptions_6",
         "exceptions_11", "gateway_sent", "gateway_matched", "gateway_expired", "busy",
         "clients_now", "clients_accepted", "clients_refused", "idle_closed", "link_up",
         "link_connects", "reports", "values_stored", "garbage_7f_bytes", "too_long_7f_frames",
         "read_only_writes_refused"]
CACHED_ZEROS = b"\x03\x06\x00\x00\x00\x00\x00\x00"  # unit 3, holding 1-3, nothing stored yet


def start(files=None):
    """busrelay in a sample working directory with extra files {name: text}."""
    wd = env.sample_workdir()
    for name, text in (files or {}).items():
        with open(os.path.join(wd, name), "w") as f:
            f.write(text)
    return env.start_busrelay(wd=wd)


def logged(pattern, timeout=3):
    return env.wait(lambda: re.search(pattern, harness.read_log()), timeout)


def pdu(fc, address, value, *rest):
    return struct.pack(">BHH", fc, address, value) + bytes(rest)


class Client:
    """Raw Modbus TCP from a chosen loopback address."""

    def __init__(self, source="127.0.0.1"):
        self.s = socket.socket()
        self.s.bind((source, 0))
        self.s.settimeout(2)
        self.s.connect(("127.0.0.1", 502))
        self.tid = 0

    def ask(self, unit, request, timeout=2.0):
        """The reply's PDU, or None when none comes in time."""
        self.tid += 1
        data = b""
        try:
            self.s.sendall(struct.pack(">HHHB", self.tid, 0, len(request) + 1, unit) + request)
            self.s.settimeout(timeout)
            while len(data) < 6 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
                chunk = self.s.recv(300)
                if not chunk:
                    return b""  # closed by the server
                data += chunk
        except socket.timeout:
            return None
        except ConnectionError:
            return b""
        assert struct.unpack(">H", data[:2])[0] == self.tid, data
        return data[7:]

    def counters(self):
        regs = struct.unpack(">44H", self.ask(255, pdu(4, 101, 44))[2:])
        return {n: regs[2 * i] << 16 | regs[2 * i + 1] for i, n in enumerate(NAMES)}

    def age(self, unit):
        return struct.unpack(">H", self.ask(255, pdu(4, 300 + unit, 1))[2:])[0]

    def close(self):
        self.s.close()


def test_counters_follow_known_traffic():
    sim = env.start_gwsim("-r", "0")
    svc = start({"mbacl.json": '{"allow": ["127.0.0.1"]}'})
    c = Client()
    try:
        # The link's start line is logged just before the link counts as up.
        assert env.wait(lambda: c.counters()["link_up"] == 1, 3)
        a = c.counters()
        assert a["link_connects"] == 1 and a["clients_now"] == 1, a
        for _ in range(25):
            assert c.ask(3, pdu(3, 1, 3)) == CACHED_ZEROS
        b = c.counters()
        assert b["answered"] - a["answered"] == 26, (a, b)  # the reads and a's own
        outsider = Client("127.0.0.2")
        assert outsider.ask(3, pdu(3, 1, 3)) == b""  # closed at accept
        outsider.close()
        assert c.ask(42, pdu(3, 1, 1)) == b"\x83\x02"
        assert c.ask(3, pdu(6, 3, 250)) == pdu(6, 3, 250)  # answered by gwsim
        d = c.counters()
        diff = {n: d[n] - b[n] for n in NAMES}
        assert diff["clients_refused"] == 1 and diff["clients_accepted"] == 0, diff
        assert diff["exceptions_2"] == 1 and diff["answered"] == 3, diff
        assert diff["gateway_sent"] == 1 and diff["gateway_matched"] == 1, diff
        assert diff["values_stored"] >= 1 and d["reports"] == 0 and d["gateway_expired"] == 0, d
    finally:
        c.close()
        env.stop_all(svc, sim)


def test_expiry_and_a_link_drop_are_counted():
    # Every answer dropped; the gateway says "quit" 8 s after the link came up.
    sim = env.start_gwsim("-r", "0", "--drop-answers", "1", "--quit-after", "8")
    svc = start()
    c, raw = Client(), Client()
    try:
        a = c.counters()
        assert raw.ask(3, pdu(6, 3, 250), timeout=0.5) is None
        assert env.wait(lambda: c.counters()["gateway_expired"] == a["gateway_expired"] + 1, 6)
        # With the policy off the expired request was dropped without a word.
        assert raw.ask(3, pdu(3, 1, 1)) == b"\x03\x02\x00\x00"
        assert c.counters()["gateway_sent"] - a["gateway_sent"] == 1
        assert env.wait(lambda: c.counters()["link_up"] == 0, 12), harness.read_log()[-2000:]
        assert c.counters()["link_connects"] == 1
        assert env.wait(lambda: c.counters()["link_up"] == 1, 25), harness.read_log()[-2000:]
        assert c.counters()["link_connects"] == 2
    finally:
        raw.close()
        c.close()
        env.stop_all(svc, sim)


def test_ages_grow_and_a_report_resets_them():
    gw = env.FakeGateway()
    svc = env.start_busrelay()
    assert env.wait(lambda: gw.conn is not None, 3)
    c = Client()
    try:
        assert [c.age(u) for u in (1, 3, 9)] == [65535] * 3  # 9 is not mapped
        gw.send("thm10001", {"deviceKey": "thm10001", "function": {"roomTemp": 21.5}})
        assert env.wait(lambda: c.age(3) <= 1, 3)
        assert env.wait(lambda: c.age(3) >= 2, 6)
        gw.send("thm10001", {"deviceKey": "thm10001", "function": {"roomTemp": 22.0}})
        assert env.wait(lambda: c.age(3) <= 1, 3)
        regs = struct.unpack(">8H", c.ask(255, pdu(4, 301, 8))[2:])
        assert regs[2] <= 1 and regs[:2] + regs[3:] == (65535,) * 7, regs
    finally:
        c.close()
        env.stop_all(svc)
        gw.close()


def test_the_offline_policy_off_answers_byte_for_byte_as_before():
    # A unit whose online bit is 0, and a write the gateway never answers:
    # without the file, with the option off, and with a file that is refused.
    for files, refused in ((None, None), ({"mbopts.json": '{"offlineException": false}'}, None),
                           ({"mbopts.json": '{"offlineException": tru'}, r"not JSON"),
                           ({"mbopts.json": '{"offline": true}'}, r'unknown key "offline"')):
        gw = env.FakeGateway(hold=True)
        svc = start(files)
        raw = None
        try:
            assert env.wait(lambda: gw.conn is not None, 3)
            if refused:
                assert logged(r"ERROR mbOpts\.cpp:\d+: mbopts\.json refused \(" + refused +
                              r".*\): the default options apply \(offlineException off\)")
            raw = Client()
            assert raw.ask(255, pdu(2, 3, 1)) == b"\x02\x01\x00"
            assert raw.ask(3, pdu(3, 1, 3)) == CACHED_ZEROS
            assert raw.ask(3, pdu(6, 3, 250), timeout=4.8) is None
            assert logged(r"csft=\d+-3-6-\d+ time out", 1.5), files
            assert raw.ask(3, pdu(3, 1, 3)) == CACHED_ZEROS
        finally:
            if raw:
                raw.close()
            env.stop_all(svc)
            gw.close()


def test_the_offline_policy_on_answers_exception_11():
    gw = env.FakeGateway(hold=True)
    svc = start({"mbopts.json": '{"offlineException": true}'})
    raw = None
    try:
        assert env.wait(lambda: gw.conn is not None, 3)
        assert logged(r"INFO  mbOpts\.cpp:\d+: mbopts\.json: offlineException on")
        raw = Client()
        assert raw.ask(3, pdu(3, 1, 3)) == b"\x83\x0b"
        assert raw.ask(3, pdu(1, 1, 1)) == b"\x81\x0b"
        # The gateway unit and a refused address are answered as ever.
        assert raw.ask(255, pdu(2, 3, 1)) == b"\x02\x01\x00"
        assert raw.ask(3, pdu(3, 50, 1)) == b"\x83\x02"
        for failed, reply in ((0, CACHED_ZEROS), (4, b"\x83\x0b"), (0, CACHED_ZEROS)):
            gw.send("thm10001", {"deviceKey": "thm10001",
                                 "statistics": {"timesOfContinuousFailed": failed}})
            assert env.wait(lambda: raw.ask(3, pdu(3, 1, 3)) == reply, 3), failed
        before = raw.counters()
        t0 = time.monotonic()
        assert raw.ask(3, pdu(6, 3, 250), timeout=6) == b"\x86\x0b"
        assert 2.9 <= time.monotonic() - t0 <= 5.5
        assert len(gw.commands) == 1  # it did go to the gateway
        after = raw.counters()
        assert after["exceptions_11"] - before["exceptions_11"] == 1, (before, after)
        assert after["gateway_expired"] - before["gateway_expired"] == 1
    finally:
        if raw:
            raw.close()
        env.stop_all(svc)
        gw.close()


def test_read_only_clients_read_but_their_writes_reach_nothing():
    sim = env.start_gwsim("-r", "0")
    svc = start({"mbacl.json": '{"allow": ["127.0.0.1"], "readOnly": ["127.0.0.3"]}'})
    ro = rw = None
    try:
        assert logged(r"accepts clients only from 127\.0\.0\.1 and, read-only \(writes refused "
                      r"with exception 1\), from 127\.0\.0\.3")
        ro = Client("127.0.0.3")  # not in "allow", admitted by "readOnly"
        assert logged(r"new connect from 127\.0\.0\.3:\d+,fd=\d+ \(read-only, mbacl\.json\)")
        sent = sim.stdout().count("TCP <- ")
        for unit, write in ((3, pdu(5, 1, 0xFF00)), (3, pdu(6, 3, 250)), (1, pdu(15, 1, 3, 1, 5)),
                            (6, pdu(16, 5, 2, 4, 0, 1, 0x11, 0x70))):
            assert ro.ask(unit, write) == bytes([write[0] | 0x80, 1]), write
        assert ro.ask(3, pdu(3, 1, 3)) == CACHED_ZEROS
        assert ro.ask(3, pdu(3, 1001, 3))[:2] == b"\x03\x06"  # a direct read reaches gwsim
        time.sleep(0.3)  # anything sent for the writes would be there by now
        assert sim.stdout().count("TCP <- ") == sent + 1, sim.stdout()[-1500:]
        rw = Client("127.0.0.1")
        assert rw.ask(3, pdu(6, 3, 250)) == pdu(6, 3, 250)
        k = rw.counters()
        assert k["read_only_writes_refused"] == 4 and k["exceptions_1"] == 4, k
        assert k["clients_now"] == 2, k
    finally:
        for s in (ro, rw):
            if s:
                s.close()
        env.stop_all(svc, sim)


harness.run([
    test_counters_follow_known_traffic,
    test_expiry_and_a_link_drop_are_counted,
    test_ages_grow_and_a_report_resets_them,
    test_the_offline_policy_off_answers_byte_for_byte_as_before,
    test_the_offline_policy_on_answers_exception_11,
    test_read_only_clients_read_but_their_writes_reach_nothing,
])
