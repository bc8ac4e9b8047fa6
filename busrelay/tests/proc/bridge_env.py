"""Shared set-up for the bridge's process tests: busrelay in a working
directory holding a copy of the sample configuration, a gateway peer (gwsim
or a test's own), and Modbus clients (pymodbus, or raw frames where the test
needs exact transaction ids or to watch a socket)."""
import os
import re
import shutil
import socket
import struct
import time

import harness

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


def start_busrelay(wait_link=True):
    if os.path.exists("/tmp/mb.log"):
        os.unlink("/tmp/mb.log")
    svc = harness.Proc([harness.program("busrelay")], cwd=sample_workdir(), name="busrelay")
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
