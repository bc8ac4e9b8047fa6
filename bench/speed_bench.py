"""busrelay side by side with pymodbus's async server and a plain libmodbus
server loop (bench/mbref_server), all measured in one run on this machine.

  /usr/bin/python3 bench/speed_bench.py [BIN_DIR] [--seconds S] [--rss-requests N]
                                        [--idle-seconds S] [--skip-rss] [--json FILE]

busrelay runs with the sample configuration, its INFO trace on (console to a
file, /tmp/mb.log written) and gwsim answering at once, inside a private
network namespace (scripts/nsrun). Clients are separate processes sending raw
frames on TCP_NODELAY sockets (bench/mbload, a small C client, when built),
so the figures are the servers', not a client library's. CPU per request comes from /proc/PID/stat (utime + stime) of the
server over the same run. Not a test: it prints what it measures. Every loop
is bounded in count and time.
"""
import json
import os
import socket
import struct
import subprocess
import sys
import time

from benchutil import (ROOT, add_50_node_device, cpu_seconds, in_namespace, pct,
                       start_pymodbus_server, status_kb, stop, use_proc_helpers, wait_port)


# --- client worker (a process of its own) -------------------------------------
def client_main(argv):
    """--client PORT UNIT SECONDS MAX_N DEPTH: reads holding registers 1-3 back
    to back (DEPTH requests in flight) and prints one JSON line."""
    port, unit, seconds, max_n, depth = (int(argv[0]), int(argv[1]), float(argv[2]),
                                         int(argv[3]), int(argv[4]))
    s = socket.create_connection(("127.0.0.1", port), timeout=3)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    frames = [struct.pack(">HHHBBHH", t, 0, 6, unit, 3, 1, 3) for t in range(65536)]
    reply_len = 9 + 6
    lat = []
    n = bad = 0
    buf = b""
    t_start = time.monotonic()
    stop = t_start + seconds
    tid = 0
    try:
        while n < max_n and time.monotonic() < stop:
            batch = min(depth, max_n - n)
            t0 = time.monotonic()
            s.sendall(b"".join(frames[(tid + k) & 0xFFFF] for k in range(batch)))
            want = batch * reply_len
            while len(buf) < want:
                chunk = s.recv(65536)
                if not chunk:
                    raise ConnectionError("closed")
                buf += chunk
            t1 = time.monotonic()
            for k in range(batch):
                r = buf[k * reply_len:(k + 1) * reply_len]
                if r[:2] != frames[(tid + k) & 0xFFFF][:2] or r[7] != 3:
                    bad += 1
            buf = buf[want:]
            if depth == 1:
                lat.append((t1 - t0) * 1000)
            tid += batch
            n += batch
    except (socket.timeout, ConnectionError, OSError) as e:
        print(json.dumps({"error": str(e), "n": n}), file=sys.stderr)
    elapsed = time.monotonic() - t_start
    s.close()
    print(json.dumps({"n": n, "bad": bad, "elapsed": elapsed, "p50": pct(lat, 50),
                      "p99": pct(lat, 99)}))


if len(sys.argv) > 1 and sys.argv[1] == "--client":
    client_main(sys.argv[2:])
    sys.exit(0)

args = sys.argv[1:]


def take_opt(name, default, conv=str):
    if name in args:
        i = args.index(name)
        v = conv(args[i + 1])
        del args[i:i + 2]
        return v
    return default


SECONDS = take_opt("--seconds", 8.0, float)
RSS_REQUESTS = take_opt("--rss-requests", 1000000, int)
JSON_OUT = take_opt("--json", None)
IDLE_SECONDS = take_opt("--idle-seconds", 20.0, float)
SKIP_RSS = "--skip-rss" in args
if SKIP_RSS:
    args.remove("--skip-rss")
BIN = os.path.abspath(args[0]) if args else os.path.join(ROOT, "build", "bin")

in_namespace([os.path.abspath(__file__)] + sys.argv[1:])
use_proc_helpers(BIN)
import bridge_env as env  # noqa: E402
import harness  # noqa: E402


def run_ns(pid):
    """CPU time of every thread, in ns (scheduler statistics: not tick-sampled)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


MBLOAD = os.path.join(BIN, "mbload")


def run_clients(port, unit, count, seconds, max_n, depth=1):
    """Clients as processes of their own: bench/mbload (C) when built, else
    this script's Python client."""
    if os.access(MBLOAD, os.X_OK):
        cmd = [MBLOAD]
    else:
        cmd = [sys.executable, os.path.abspath(__file__), "--client"]
    cmd += [str(port), str(unit), str(seconds), str(max_n), str(depth)]
    procs = [subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True) for _ in range(count)]
    out = []
    for p in procs:
        try:
            text, _ = p.communicate(timeout=seconds + 30)
            r = json.loads(text.strip().splitlines()[-1])
            r["p50"] = float("nan") if r.get("p50") is None else r["p50"]
            r["p99"] = float("nan") if r.get("p99") is None else r["p99"]
            out.append(r)
        except (subprocess.TimeoutExpired, ValueError, IndexError):
            p.kill()
            out.append({"n": 0, "bad": 0, "elapsed": seconds, "p50": float("nan"),
                        "p99": float("nan")})
    return out


def measure_server(pid, port, unit):
    """One client back to back, then two clients at once."""
    res = {}
    c0 = cpu_seconds(pid)
    one = run_clients(port, unit, 1, SECONDS, 2000000)[0]
    cpu = cpu_seconds(pid) - c0
    res["rate1"] = one["n"] / one["elapsed"] if one["elapsed"] else 0
    res["p50"] = one["p50"]
    res["p99"] = one["p99"]
    res["cpu_us"] = cpu / one["n"] * 1e6 if one["n"] else float("nan")
    res["bad"] = one["bad"]
    two = run_clients(port, unit, 2, SECONDS, 2000000)
    res["rate2"] = [t["n"] / t["elapsed"] if t["elapsed"] else 0 for t in two]
    res["bad"] += sum(t["bad"] for t in two)
    return res


results = {"busrelay": {}, "pymodbus": {}, "libmodbus": {}}
extra = []




# --- busrelay + gwsim answering at once -----------------------------------------
sim = env.start_gwsim("-r", "0")
svc = env.start_busrelay()
pid = svc.proc.pid
try:
    time.sleep(1.0)
    c0 = run_ns(pid)
    time.sleep(IDLE_SECONDS)
    results["busrelay"]["idle"] = (run_ns(pid) - c0) / 1e9 / IDLE_SECONDS * 100
    results["busrelay"].update(measure_server(pid, 502, 3))

    # Bridged writes: FC 6 to unit 3 (a thermostat's holding register 3).
    s = socket.create_connection(("127.0.0.1", 502), timeout=3)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    rtts = []
    deadline = time.monotonic() + 30
    for k in range(200):
        if time.monotonic() > deadline:
            break
        req = struct.pack(">HHHBBHH", 0x6000 + k, 0, 6, 3, 6, 3, 200 + (k % 50))
        t0 = time.monotonic()
        s.sendall(req)
        try:
            rep = s.recv(64)
        except socket.timeout:
            continue
        if rep == req:
            rtts.append((time.monotonic() - t0) * 1000)
    s.close()
    results["busrelay"]["bridged_p50"] = pct(rtts, 50)
    results["busrelay"]["bridged_p99"] = pct(rtts, 99)
    results["busrelay"]["bridged_n"] = len(rtts)

    if not SKIP_RSS:
        rss0 = status_kb(pid, "VmRSS")
        t0 = time.monotonic()
        r = run_clients(502, 3, 1, 150, RSS_REQUESTS, depth=16)[0]
        results["busrelay"]["rss"] = (rss0, status_kb(pid, "VmRSS"), r["n"],
                                      time.monotonic() - t0, r["bad"])
    results["busrelay"]["alive"] = svc.alive()
finally:
    env.stop_all(svc, sim)
results["busrelay"]["exit"] = svc.proc.returncode

alloc = subprocess.run([os.path.join(BIN, "bridge_alloc"),
                        os.path.join(ROOT, "busrelay", "sample"), "100000"],
                       capture_output=True, text=True, timeout=120).stdout.split()
if len(alloc) == 2:
    results["busrelay"]["alloc"] = int(alloc[1]) / int(alloc[0])

# --- report ingestion: a 50-node device, reports pushed by a fake gateway ---------
wd = env.sample_workdir()
add_50_node_device(wd)
gw = env.FakeGateway()
if os.path.exists("/tmp/mb.log"):
    os.unlink("/tmp/mb.log")
svc = harness.Proc([os.path.join(BIN, "busrelay")], cwd=wd, name="busrelay")
REPORTS = 4000
try:
    svc.wait_for(env.LINK_UP, 8)
    env.wait(lambda: gw.conn is not None, 3)
    time.sleep(0.3)
    frames = [gw.frame("local/%s/bnc50001" % gw.key, json.dumps(
        {"deviceKey": "bnc50001", "function": {"v%d" % k: i for k in range(50)}},
        separators=(",", ":"))) for i in range(1, REPORTS + 1)]
    probe = socket.create_connection(("127.0.0.1", 502), timeout=3)
    probe.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def last_value():
        probe.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 50, 3, 50, 1))
        rep = probe.recv(64)
        return struct.unpack(">H", rep[9:11])[0] if len(rep) == 11 else -1

    pid = svc.proc.pid
    c0 = cpu_seconds(pid)
    t0 = time.monotonic()
    for k in range(0, REPORTS, 50):
        gw.send_raw(b"".join(frames[k:k + 50]))
    done = False
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if last_value() == REPORTS:
            done = True
            break
        time.sleep(0.002)
    t = time.monotonic() - t0
    cpu = cpu_seconds(pid) - c0
    probe.close()
    results["busrelay"]["ingest"] = (REPORTS * 50 / t) if done else 0
    results["busrelay"]["ingest_cpu"] = (REPORTS * 50 / cpu) if done and cpu else 0
finally:
    svc.stop()
    gw.close()

# --- pymodbus's async server ---------------------------------------------------------
srv = start_pymodbus_server()
try:
    if wait_port(5020, 10):
        results["pymodbus"].update(measure_server(srv.pid, 5020, 1))
finally:
    stop(srv)

# --- a plain libmodbus server loop ---------------------------------------------------
ref = os.path.join(BIN, "mbref_server")
if os.access(ref, os.X_OK):
    srv = subprocess.Popen([ref, "5021"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if wait_port(5021, 5):
            results["libmodbus"].update(measure_server(srv.pid, 5021, 1))
    finally:
        stop(srv)
else:
    print("mbref_server not built (libmodbus-dev missing): libmodbus column empty")


# --- table ---------------------------------------------------------------------------
def cell(server, key, fmt):
    v = results[server].get(key)
    if v is None:
        return "-"
    try:
        return fmt % v
    except TypeError:
        return fmt % tuple(v)


b = results["busrelay"]
rows = [
    ("cached FC 3, one client: requests/s", "rate1", "%.0f"),
    ("  p50 latency ms", "p50", "%.3f"),
    ("  p99 latency ms", "p99", "%.3f"),
    ("  CPU per request us", "cpu_us", "%.1f"),
    ("two clients at once: requests/s each", "rate2", "%.0f / %.0f"),
]
print("\n%-40s %-18s %-18s %-18s" % ("figure", "busrelay", "pymodbus", "libmodbus"))
print("-" * 96)
for name, key, fmt in rows:
    print("%-40s %-18s %-18s %-18s" % (name, cell("busrelay", key, fmt), cell("pymodbus", key, fmt),
                                         cell("libmodbus", key, fmt)))
print()
print("%-40s %s" % ("bridged write round trip p50 / p99", "%.2f / %.2f ms (%d writes, gwsim at once)"
                    % (b.get("bridged_p50", float("nan")), b.get("bridged_p99", float("nan")),
                       b.get("bridged_n", 0))))
print("%-40s %.3f %% (%.0f s, all threads)" % ("idle CPU, link up, no clients",
                                              b.get("idle", float("nan")), IDLE_SECONDS))
print("%-40s %.0f values/s (%.0f per CPU second)" % ("report ingestion, 50-node device",
                                                    b.get("ingest", 0), b.get("ingest_cpu", 0)))
if "rss" in b:
    r0, r1, n, t, bad = b["rss"]
    print("%-40s %d -> %d kB over %d requests in %.0f s (%d bad replies)" %
          ("RSS, cached requests 16 deep", r0, r1, n, t, bad))
if "alloc" in b:
    print("%-40s %.3f" % ("heap allocations per cached request", b["alloc"]))
print("%-40s %s" % ("wrong replies (all servers)",
                    " / ".join(str(results[k].get("bad", "-")) for k in results)))
print("%-40s alive=%s exit=%s" % ("busrelay at the end", b.get("alive"), b.get("exit")))
if JSON_OUT:
    with open(JSON_OUT, "w") as f:
        json.dump(results, f, indent=1)
