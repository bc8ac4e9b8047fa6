"""Bridge figures, printed as a table: busrelay with the sample configuration
and gwsim in a private network namespace, two pymodbus client connections.

  /usr/bin/python3 bench/bridge_bench.py [BIN_DIR] [--load-seconds S]

Not a test: it prints what it measures. Every loop is bounded in count and
time. The memory figure after a load says how many requests were served.
bench/speed_bench.py compares the same service with other servers.
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

from benchutil import (ROOT, add_50_node_device, cpu_seconds, in_namespace, pct,
                       start_pymodbus_server, status_kb, stop, use_proc_helpers)

args = [a for a in sys.argv[1:]]
LOAD_SECONDS = 30
if "--load-seconds" in args:
    i = args.index("--load-seconds")
    LOAD_SECONDS = int(args[i + 1])
    del args[i:i + 2]
BIN = os.path.abspath(args[0]) if args else os.path.join(ROOT, "build", "bin")

in_namespace([os.path.abspath(__file__), BIN, "--load-seconds", str(LOAD_SECONDS)])
use_proc_helpers(BIN)
import bridge_env as env  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

rows = []


def row(name, value, note=""):
    rows.append((name, value, note))


def start_pair(*sim_flags):
    sim = env.start_gwsim(*sim_flags)
    svc = env.start_busrelay()
    return sim, svc


def load(port, seconds, max_requests, unit=3):
    """Two connections reading as fast as the server answers; latencies in ms
    and reply instants of the first connection."""
    lat = [[], []]
    stamps = []
    stop = time.monotonic() + seconds

    def worker(k):
        # Raw frames on a TCP_NODELAY socket: the figure is the server's, not
        # the client library's.
        s = socket.create_connection(("127.0.0.1", port), timeout=3)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        n = 0
        while time.monotonic() < stop and n < max_requests:
            frame = struct.pack(">HHHBBHH", n & 0xFFFF, 0, 6, unit, 3, 1, 3)
            t0 = time.monotonic()
            s.sendall(frame)
            reply = b""
            try:
                while len(reply) < 15:
                    chunk = s.recv(15 - len(reply))
                    if not chunk:
                        break
                    reply += chunk
            except socket.timeout:
                break
            t1 = time.monotonic()
            if len(reply) != 15:
                break
            lat[k].append((t1 - t0) * 1000)
            if k == 0:
                stamps.append(t1)
            n += 1
        s.close()

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 10)
    return lat[0] + lat[1], stamps


# --- busrelay + gwsim --------------------------------------------------------
DELAY_MS = 200
sim, svc = start_pair("-r", "0", "--delay", str(DELAY_MS))
pid = svc.proc.pid
try:
    time.sleep(1)
    rss_start = status_kb(pid, "VmHWM")
    t_idle = cpu_seconds(pid)
    time.sleep(5)
    idle = (cpu_seconds(pid) - t_idle) / 5 * 100
    row("idle CPU", "%.2f %%" % idle, "5 s, link up, no clients")

    lat, _ = load(502, 8, 400)
    row("cached read latency p50 / p99", "%.1f / %.1f ms" % (pct(lat, 50), pct(lat, 99)),
        "%d reads, 2 connections" % len(lat))
    c = ModbusTcpClient("127.0.0.1", port=502, timeout=3)
    c.connect()
    rtts = []
    for k in range(20):
        t0 = time.monotonic()
        r = c.write_register(3, 200 + k, slave=3)
        if not r.isError():
            rtts.append((time.monotonic() - t0) * 1000 - DELAY_MS)
    c.close()
    row("bridged write round trip - gateway delay", "%.1f ms (p50), %.1f ms (max)" %
        (pct(rtts, 50), max(rtts)), "%d writes, gwsim --delay %d" % (len(rtts), DELAY_MS))

    cpu0 = cpu_seconds(pid)
    lat, _ = load(502, LOAD_SECONDS, 100000)
    served = len(lat)
    cpu_br = (cpu_seconds(pid) - cpu0) / max(served, 1)
    row("peak RSS after start", "%d kB" % rss_start, "VmHWM")
    row("peak RSS after load", "%d kB" % status_kb(pid, "VmHWM"),
        "after %d more cached reads (%d s)" % (served, LOAD_SECONDS))
finally:
    env.stop_all(svc, sim)

alloc = subprocess.run([os.path.join(BIN, "bridge_alloc"), os.path.join(ROOT, "busrelay", "sample"),
                        "100000"], capture_output=True, text=True, timeout=120).stdout.split()
if len(alloc) == 2:
    row("heap allocations per cached request", "%.3f" % (int(alloc[1]) / int(alloc[0])),
        "%s requests through onRcvMbRequest" % alloc[0])

# --- report ingestion: a 50-node device --------------------------------------
wd = env.sample_workdir()
add_50_node_device(wd)
gw = env.FakeGateway()
if os.path.exists("/tmp/mb.log"):
    os.unlink("/tmp/mb.log")
import harness  # noqa: E402
svc = harness.Proc([os.path.join(BIN, "busrelay")], cwd=wd, name="busrelay")
try:
    svc.wait_for(env.LINK_UP, 8)
    env.wait(lambda: gw.conn is not None, 3)
    c = ModbusTcpClient("127.0.0.1", port=502, timeout=3)
    c.connect()
    REPORTS = 300
    t0 = time.monotonic()
    for i in range(1, REPORTS + 1):
        gw.send("bnc50001", {"deviceKey": "bnc50001",
                             "function": {"v%d" % k: i for k in range(50)}})
    done = env.wait(lambda: c.read_holding_registers(50, 1, slave=50).registers == [REPORTS], 60)
    t = time.monotonic() - t0
    c.close()
    row("report ingestion, 50-node device", "%.0f values/s" % (REPORTS * 50 / t) if done else
        "incomplete", "%d reports in %.2f s (logging at INFO included)" % (REPORTS, t))
finally:
    svc.stop()
    gw.close()

# --- pymodbus's own server, same client load ---------------------------------
srv = start_pymodbus_server()
try:
    time.sleep(1.5)
    cpu0 = cpu_seconds(srv.pid)
    lat, _ = load(5020, LOAD_SECONDS, served // 2 + 1)
    cpu_py = (cpu_seconds(srv.pid) - cpu0) / max(len(lat), 1)
    row("CPU per request: busrelay / pymodbus server", "%.1f / %.1f us" %
        (cpu_br * 1e6, cpu_py * 1e6), "ratio %.2f, %d requests each side" %
        (cpu_br / cpu_py if cpu_py else float("nan"), len(lat)))
finally:
    stop(srv)

print("\n%-44s %-28s %s" % ("figure", "value", "conditions"))
print("-" * 110)
for name, value, note in rows:
    print("%-44s %-28s %s" % (name, value, note))
