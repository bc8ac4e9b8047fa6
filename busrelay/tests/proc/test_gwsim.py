"""gwsim honours the gateway's side of the contract, seen from raw sockets."""
import json
import os
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "common", "frame7f"))
import frame7f  # noqa: E402

harness.enter_namespace()

SEARCH = b'{"cmd":"getAllGateway"}'
GW = "gw7f0001"


frame = frame7f.encode


class Conn:
    def __init__(self):
        self.sock = None
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                self.sock = socket.create_connection(("127.0.0.1", 9981), timeout=1)
                break
            except OSError:
                time.sleep(0.05)
        assert self.sock, "gwsim does not listen on 9981"
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def command(self, device, doc):
        self.send(frame("local/%s/%s/command" % (GW, device), json.dumps(doc)))

    def fill(self, n, timeout):
        """At least n bytes buffered within timeout: True, else False."""
        deadline = time.monotonic() + timeout
        while len(self.buf) < n and time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            self.buf += chunk
        return len(self.buf) >= n

    def raw(self, n, timeout):
        if not self.fill(n, timeout):
            return None
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def frame(self, timeout=3.0, skip_keepalive=True):
        """Next (topic, payload text); None on time-out. Everything gwsim
        sends here must be frames: a skipped byte fails the test."""
        deadline = time.monotonic() + timeout
        while True:
            cutter = frame7f.Cutter()
            got = cutter.feed(self.buf)
            assert cutter.skipped == 0, ("not a frame", cutter.skips, self.buf[:32])
            if not got:
                if not self.fill(len(self.buf) + 1, max(0.0, deadline - time.monotonic())):
                    return None
                continue
            topic, payload = got[0]
            self.buf = self.buf[len(frame7f.encode(topic, payload)):]
            if skip_keepalive and not topic and not payload:
                continue
            return topic.decode(), payload.decode()

    def answer(self, timeout=3.0, cmd=None):
        """Next answer document (reports are passed over)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = self.frame(deadline - time.monotonic())
            if got is None:
                return None, None
            doc = json.loads(got[1])
            if "sno" in doc:
                return got[0], doc
        return None, None

    def close(self):
        self.sock.close()


def start(*args):
    sim = harness.Proc([harness.program("gwsim"), "--keepalive", "0", "-r", "0"] + list(args))
    assert sim.wait_for(r"reports every", 5, stream="stdout"), sim.stdout() + sim.stderr()
    return sim


def search(timeout=2.0, to="127.0.0.1"):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    u.settimeout(timeout)
    try:
        u.sendto(SEARCH, (to, 9980))
        data, _ = u.recvfrom(2048)
        return json.loads(data)
    except socket.timeout:
        return None
    finally:
        u.close()


def test_search_answer_carries_key_ip_sn_and_version():
    sim = start()
    try:
        a = search()
        assert a["deviceKey"] == GW, a
        assert a["function"]["ip"] == "127.0.0.1", a
        assert a["metadata"]["sn"].startswith("99000000002"), a
        assert a["metadata"]["softwareVersion"], a
        # A broadcast (here: loopback's broadcast address) is answered to the sender.
        b = search(to="127.255.255.255")
        assert b and b["deviceKey"] == GW, b
    finally:
        sim.stop()


def test_read_and_write_answers_keep_sno_and_values_also_nested():
    sim = start()
    c = Conn()
    try:
        c.command("thm10001", {"cmd": "read", "deviceKey": "thm10001", "sno": "7-3-3-1",
                               "function": {"setTemp": 0, "mode": "nocare"}})
        topic, a = c.answer()
        assert topic == "local/%s/thm10001" % GW, topic
        assert a["sno"] == "7-3-3-1" and a["deviceKey"] == "thm10001" and a["errorCode"] == 0, a
        assert a["function"] == {"setTemp": 22.5, "mode": "heat"}, a

        c.command("thm10001", {"cmd": "write", "deviceKey": "thm10001", "sno": "7-3-16-2",
                               "function": {"setTemp": 25, "mode": "cool"}})
        _, a = c.answer()
        assert a["errorCode"] == 0 and a["function"] == {"setTemp": 25, "mode": "cool"}, a
        c.command("thm10001", {"cmd": "read", "deviceKey": "thm10001", "sno": "s3",
                               "function": {"setTemp": 0}})
        _, a = c.answer()
        assert a["function"]["setTemp"] == 25, a

        # VRV: an array element found by the indoor unit's two addresses.
        c.command("vrv10001", {"cmd": "write", "deviceKey": "vrv10001", "sno": "v1",
                               "function": {"slave_status": [
                                   {"slave_index": 5, "slave_addr": 3, "slave_outdoor_addr": 2,
                                    "slave_mode": "heat", "slave_switch": False}]}})
        _, a = c.answer()
        el = a["function"]["slave_status"][0]
        assert a["errorCode"] == 0, a
        assert (el["slave_addr"], el["slave_outdoor_addr"], el["slave_mode"], el["slave_switch"]) \
            == (3, 2, "heat", False), a
        c.command("vrv10001", {"cmd": "read", "deviceKey": "vrv10001", "sno": "v2",
                               "function": {"slave_status": [
                                   {"slave_index": 5, "slave_addr": 3, "slave_outdoor_addr": 2,
                                    "slave_mode": "nocare", "return_air_temperature": 0}]}})
        _, a = c.answer()
        el = a["function"]["slave_status"][0]
        assert el["slave_mode"] == "heat" and el["return_air_temperature"] == 26.5, a
        # The same unit through the other outdoor unit is another element.
        c.command("vrv10001", {"cmd": "read", "deviceKey": "vrv10001", "sno": "v3",
                               "function": {"slave_status": [
                                   {"slave_index": 2, "slave_addr": 3, "slave_outdoor_addr": 1,
                                    "slave_mode": "nocare"}]}})
        _, a = c.answer()
        assert a["function"]["slave_status"][0]["slave_mode"] == "dry", a

        c.command("dcs20001", {"cmd": "read", "deviceKey": "dcs20001", "sno": "d1",
                               "alarm": [{"channel": 1, "type": "nocare"}]})
        _, a = c.answer()
        assert a["alarm"] == [{"channel": 1, "type": "pulse"}], a

        # Unknown device or data point: a non-zero errorCode, nothing changed.
        c.command("zzz00001", {"cmd": "read", "deviceKey": "zzz00001", "sno": "u1"})
        _, a = c.answer()
        assert a["errorCode"] != 0 and a["sno"] == "u1", a
        c.command("thm10001", {"cmd": "write", "deviceKey": "thm10001", "sno": "u2",
                               "function": {"setTemp": 30, "noSuchPoint": 1}})
        _, a = c.answer()
        assert a["errorCode"] != 0, a
        c.command("thm10001", {"cmd": "read", "deviceKey": "thm10001", "sno": "u3",
                               "function": {"setTemp": 0}})
        _, a = c.answer()
        assert a["function"]["setTemp"] == 25, a
        assert "thm10001" in sim.stdout()
    finally:
        c.close()
        sim.stop()


def test_gateway_read_device_list_and_delete():
    sim = start()
    c = Conn()
    try:
        c.command(GW, {"cmd": "read", "sno": "20240101120000"})
        topic, a = c.answer()
        assert topic == "local/%s/%s" % (GW, GW), topic
        assert a["sno"] == "20240101120000" and a["metadata"]["softwareVersion"], a

        c.command(GW, {"cmd": "getAllDeviceKey", "sno": "20240101120001"})
        _, a = c.answer()
        assert a["cmd"] == "getAllDeviceKey", a
        keys = [(d["aid"], d["deviceKey"], d["sn"][:11]) for d in a["deviceList"]]
        assert (3, "thm10001", "99000000103") in keys and len(keys) == 8, keys

        doc = {"cmd": "delDevice", "channel": "plc", "data": {"deviceKey": "crt10001"},
               "sno": "20240101120002"}
        c.command(GW, doc)
        _, a = c.answer()
        assert a["cmd"] == "delDevice" and a["deviceKey"] == GW, a
        assert a["errorCode"] == 0 and a["data"]["deviceKey"] == "crt10001", a
        c.command(GW, doc)
        _, a = c.answer()
        assert a["errorCode"] != 0, a
        c.command(GW, {"cmd": "getAllDeviceKey", "sno": "x"})
        _, a = c.answer()
        assert len(a["deviceList"]) == 7, a
    finally:
        c.close()
        sim.stop()


def test_keep_alives_both_ways_without_ping_pong():
    ka = frame7f.KEEP_ALIVE
    # No keep-alives of its own: whatever comes back answers ours, one each.
    sim = start()
    c = Conn()
    try:
        for _ in range(2):
            c.send(ka)
            assert c.raw(9, 3) == ka, "our keep-alive was not answered"
        assert c.raw(1, 0.5) is None, "more than one answer to one keep-alive"
    finally:
        c.close()
        sim.stop()

    # Its own every 4 s; our answer to one must not be answered again. A
    # keep-alive within a second of gwsim reading our answer is then such an
    # answer, unless this test stalled so long that gwsim's next own was due
    # (then that one is answered in turn, at most three times).
    period = 4
    sim = start("--keepalive", str(period), "-v")
    c = Conn()
    try:
        own = c.raw(9, period + 3)
        for attempt in range(3):
            assert own == ka, "no keep-alive of its own: %r" % own
            got_at = time.monotonic()
            c.send(ka)
            assert harness.wait_until(
                lambda: sim.stdout().count("TCP <- #1 keep-alive") == attempt + 1, 3), \
                sim.stdout()[-2000:]
            own = c.raw(9, 1.0)
            if own is None:
                break
            assert time.monotonic() - got_at > period - 1.5, \
                "gwsim answered our answer to its keep-alive"
        else:
            raise AssertionError("the test stalled past gwsim's period three times")
    finally:
        c.close()
        sim.stop()


def test_reports_change_values_and_count_failures():
    sim = start("-r", "1", "--fail-device", "swa30001")
    c = Conn()
    try:
        seen = {}
        deadline = time.monotonic() + 6
        while time.monotonic() < deadline and len(seen.get("swa30002", [])) < 2:
            got = c.frame(2)
            assert got, "no report"
            topic, payload = got
            doc = json.loads(payload)
            assert "sno" not in doc
            assert topic == "local/%s/%s" % (GW, doc["deviceKey"]), topic
            seen.setdefault(doc["deviceKey"], []).append(doc)
        temps = [d["function"]["roomTemp"] for d in seen["thm10001"]]
        assert temps[0] != temps[1], temps
        fails = [d["statistics"]["timesOfContinuousFailed"] for d in seen["swa30001"]]
        assert fails[:2] == [1, 2], fails
        assert seen["thm10001"][0]["statistics"]["timesOfContinuousFailed"] == 0
        states = [d["function"]["runState"] for d in seen["crt10001"]]
        assert states[:2] == ["opening", "stopped"], states
        # The six indoor units do not fit one 1 KB frame: the first round of
        # reports carries them in two parts, each frame small enough.
        parts = [d["function"]["slave_status"] for d in seen["vrv10001"][:2]]
        vrv = parts[0] + parts[1]
        assert len(parts[0]) < 6 and len(vrv) == 6, parts
        assert all("slave_addr" in e for e in vrv), vrv
        assert len({(e["slave_addr"], e["slave_outdoor_addr"]) for e in vrv}) == 6, vrv
        alarms = seen["dcs20001"][0]["alarm"]
        assert [a["channel"] for a in alarms] == [0, 1] and alarms[1]["type"] == "pulse", alarms
    finally:
        c.close()
        sim.stop()


def test_fault_delay_drop_and_error_code():
    read = {"cmd": "read", "deviceKey": "dim10001", "sno": "1", "function": {"brightness": 0}}
    sim = start("--delay", "800")
    c = Conn()
    try:
        t0 = time.monotonic()
        c.command("dim10001", read)
        _, a = c.answer(3)
        assert a and time.monotonic() - t0 >= 0.7, a
    finally:
        c.close()
        sim.stop()

    sim = start("--drop-answers", "2")
    c = Conn()
    try:
        c.command("dim10001", dict(read, sno="a"))
        _, a = c.answer(2)
        assert a and a["sno"] == "a", a
        c.command("dim10001", dict(read, sno="b"))
        assert sim.wait_for(r"answer dropped \(--drop-answers\)", 3, stream="stdout"), sim.stdout()
        assert c.answer(1.0) == (None, None)
    finally:
        c.close()
        sim.stop()

    sim = start("--error-code", "7")
    c = Conn()
    try:
        c.command("dim10001", {"cmd": "write", "deviceKey": "dim10001", "sno": "w",
                               "function": {"brightness": 80}})
        _, a = c.answer()
        assert a["errorCode"] == 7 and a["sno"] == "w", a
        c.command("dim10001", read)
        _, a = c.answer()
        assert a["errorCode"] == 7 and a["function"]["brightness"] == 42.5, a
    finally:
        c.close()
        sim.stop()


def test_fault_quit_malformed_and_refused_search():
    sim = start("--quit-after", "1", "--malformed", "1", "--refuse-search", "2")
    try:
        assert search(0.5) is None
        c = Conn()
        bad = c.raw(10, 3)
        assert bad == b"\x01\x02\x03\x04\x05\x7f\x41\x00\x00\x00", bad
        got = c.frame(3)
        while got and got[0] != "quit":
            got = c.frame(3)
        assert got == ("quit", ""), got
        c.close()
        # Answered again once the 2 s from its start are over.
        a = harness.wait_until(lambda: search(0.3), 5, step=0)
        assert a and a["deviceKey"] == GW, a
    finally:
        sim.stop()


def test_stops_cleanly_on_sigint_and_sigterm_and_has_help():
    for sig in (signal.SIGINT, signal.SIGTERM):
        sim = start()
        c = Conn()
        sim.signal(sig)
        assert sim.wait(5) == 0, sim.stdout() + sim.stderr()
        assert "gwsim: stopped" in sim.stdout()
        c.close()
        sim.stop()
    import subprocess
    p = subprocess.run([harness.program("gwsim"), "--help"], capture_output=True, text=True,
                       timeout=5)
    assert p.returncode == 0 and "--refuse-search" in p.stdout and "--devices" in p.stdout
    p = subprocess.run([harness.program("gwsim"), "--bogus"], capture_output=True, text=True,
                       timeout=5)
    assert p.returncode == 2 and "unknown option --bogus" in p.stderr, p.stderr


harness.run([
    test_search_answer_carries_key_ip_sn_and_version,
    test_read_and_write_answers_keep_sno_and_values_also_nested,
    test_gateway_read_device_list_and_delete,
    test_keep_alives_both_ways_without_ping_pong,
    test_reports_change_values_and_count_failures,
    test_fault_delay_drop_and_error_code,
    test_fault_quit_malformed_and_refused_search,
    test_stops_cleanly_on_sigint_and_sigterm_and_has_help,
])
