"""Shared set-up for the bridge's process tests: busrelay in a working
directory holding a copy of the sample configuration, a gateway peer (gwsim
or a test's own), and Modbus clients (pymodbus, or raw frames where the test
needs exact transaction ids or to watch a socket)."""
import os
import re
import shutil
import socket
import struct
import sys
import time

import harness

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "common", "frame7f"))
import frame7f  # noqa: E402

SAMPLE = os.path.join(harness.SOURCE_DIR, "busrelay", "sample")
LINK_UP = r"gw7f reconnect to gateway ok"


def sample_workdir():
    wd = harness.workdir("busrelay")
    shutil.copytree(os.path.join(SAMPLE, "descJson"), os.path.join(wd, "descJson"))
    for name in ("map.json", "vrvC.json"):
        shutil.copy(os.path.join(SAMPLE, name), wd)
    return wd


def start_gwsim(*flags):
    sim = harness.Proc([harness.program("gwsim")] + list(flags), name="gwsim")
    assert sim.wait_for(r"TCP|listening|9981", 5, stream="stdout") or sim.alive(), sim.stderr()
    return sim


def start_busrelay(wait_link=True, wd=None):
    if os.path.exists("/tmp/mb.log"):
        os.unlink("/tmp/mb.log")
    svc = harness.Proc([harness.program("busrelay")], cwd=wd or sample_workdir(), name="busrelay")
    if wait_link:
        assert svc.wait_for(LINK_UP, 8), "link not up:\n" + svc.stderr()[-3000:]
    else:
        assert svc.wait_for(r"socket init ok", 5), svc.stderr()[-3000:]
    return svc


def client(timeout=2):
    from pymodbus.client import ModbusTcpClient
    c = ModbusTcpClient("127.0.0.1", port=502, timeout=timeout)
    assert c.connect()
    return c


def log_count(pattern):
    return len(re.findall(pattern, harness.read_log()))


class Raw:
    """A Modbus TCP connection that sends exact frames and reads replies."""

    def __init__(self):
        self.s = socket.create_connection(("127.0.0.1", 502), timeout=2)

    def send(self, tid, unit, pdu):
        self.s.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu)

    def reply(self, timeout=2.0):
        """(tid, unit, pdu) or None when nothing arrives in time."""
        self.s.settimeout(timeout)
        try:
            head = self._read(7)
        except socket.timeout:
            return None
        tid, _, length, unit = struct.unpack(">HHHB", head)
        return tid, unit, self._read(length - 1)

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.s.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def close(self):
        self.s.close()


def read_holding(addr, count):
    return struct.pack(">BHH", 3, addr, count)


def write_single(addr, value):
    return struct.pack(">BHH", 6, addr, value)


def stop_all(*procs):
    for p in procs:
        if p is not None:
            p.stop()


def wait(predicate, timeout):
    return harness.wait_until(predicate, timeout, 0.05)


def elapsed_since(t0):
    return time.monotonic() - t0


class FakeGateway:
    """A minimal gateway peer: answers the search, accepts the service's 7F
    connection, answers keep-alives and commands (errorCode 0, no values)
    and sends whatever reports a test asks for. With hold=True it answers no
    command by itself: the test answers each one, when and how it likes."""

    def __init__(self, key="gw7f0001", hold=False):
        import threading
        self.key = key
        self.hold = hold
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("0.0.0.0", 9980))
        self.udp.settimeout(0.2)
        self.lst = socket.socket()
        self.lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lst.bind(("127.0.0.1", 9981))
        self.lst.listen(1)
        self.lst.settimeout(0.2)
        self.conn = None
        self.commands = []
        self.running = True
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @staticmethod
    def frame(topic, payload):
        return frame7f.encode(topic, payload)

    def _serve(self):
        import json
        deadline = time.monotonic() + 120
        cutter = frame7f.Cutter()
        while self.running and time.monotonic() < deadline:
            if self.conn is None:
                try:
                    data, peer = self.udp.recvfrom(512)
                    if b"getAllGateway" in data:
                        self.udp.sendto(json.dumps({"deviceKey": self.key}).encode(), peer)
                except socket.timeout:
                    pass
                try:
                    conn, _ = self.lst.accept()
                    conn.settimeout(0.2)
                    self.conn = conn
                    cutter = frame7f.Cutter()  # a new connection, a new stream
                except socket.timeout:
                    pass
                continue
            try:
                chunk = self.conn.recv(4096)
                if not chunk:
                    self.conn = None
                    continue
            except socket.timeout:
                continue
            except OSError:
                return
            for topic, payload in cutter.feed(chunk):
                if not topic and not payload:
                    self.send_raw(frame7f.KEEP_ALIVE)
                    continue
                cmd = json.loads(payload)
                self.commands.append(cmd)
                if not self.hold:
                    self.answer(cmd)

    def answer(self, cmd, error_code=0, **values):
        """Answers a command as the gateway would (values: extra members)."""
        self.send(cmd["deviceKey"], self.answer_payload(cmd, error_code, **values))

    @staticmethod
    def answer_payload(cmd, error_code=0, **values):
        doc = {"deviceKey": cmd["deviceKey"], "sno": cmd.get("sno"), "errorCode": error_code}
        doc.update(values)
        return doc

    def wait_commands(self, n, timeout=3):
        """The first n commands received, or an assertion error naming what came."""
        assert wait(lambda: len(self.commands) >= n, timeout), self.commands
        return self.commands[:n]

    def send_raw(self, data):
        with self.lock:
            if self.conn is not None:
                self.conn.sendall(data)

    def send(self, device_key, payload, topic_key=None):
        import json
        topic = "local/%s/%s" % (self.key, topic_key or device_key)
        self.send_raw(self.frame(topic, json.dumps(payload, separators=(",", ":"))))

    def close(self):
        self.running = False
        self.thread.join(3)
        for s in (self.conn, self.lst, self.udp):
            if s is not None:
                s.close()
