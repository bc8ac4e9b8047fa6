#!/usr/bin/python3
"""Fault soak: busrelay with the sample configuration against gwsim, two
Modbus clients with mixed cached/direct reads and writes that reconnect now
and then, gwsim reporting about 100 times a second and cycling through fault
profiles (late answers, error codes, "quit", malformed frames, dropped
answers). Checks that every request is answered as the protocol wants or
expires without a reply, that the service never dies, that its RSS stays
flat and that the pending table drains. Prints the figures; exit 1 on a
violation.

Usage: bench/soak.py [--minutes N | --hour] [--bin-dir build/bin]
Runs itself inside scripts/nsrun (private network + /tmp). Bounded: every
loop ends by the deadline, every wait by a timeout.
"""
import argparse
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from benchutil import ROOT, status_kb, stop
ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
ap.add_argument("--minutes", type=float, default=10.0, help="duration (default 10)")
ap.add_argument("--hour", action="store_true", help="run for 60 minutes")
ap.add_argument("--bin-dir", default=os.path.join(ROOT, "build", "bin"))
ap.add_argument("--gwsim", help="gwsim program (default: the one in --bin-dir)")
ap.add_argument("--busrelay", help="service program (default: the one in --bin-dir); a copy "
                "under another name keeps it out of reach of tools that kill by name")
ap.add_argument("--phase-seconds", type=float, default=30.0, help="length of one fault phase")
ap.add_argument("--seed", type=int, default=1)
args = ap.parse_args()
DURATION = 3600.0 if args.hour else max(0.5, min(args.minutes, 600.0)) * 60.0

if os.environ.get("IN_NSRUN") != "1":
    os.environ["IN_NSRUN"] = "1"
    sys.stdout.flush()
    nsrun = os.path.join(ROOT, "scripts", "nsrun")
    os.execv(nsrun, [nsrun, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])

BRIDGE_WAIT = 5.0   # the service drops a bridged request after 3 to 4 s
CACHED_WAIT = 1.0   # a cached read is answered from the register map at once
PROFILES = [
    ("normal", []),
    ("late answers", ["--delay", "2500"]),
    ("too late", ["--delay", "4500"]),
    ("error code 3", ["--error-code", "3"]),
    ("dropped answers", ["--drop-answers", "3"]),
    ("malformed frames", ["--malformed", "1"]),
    ("quit", ["--quit-after", "5"]),
]

# (unit, function, address, count or value, bridged?) from the sample map.
REQUESTS = [
    (2, 3, 1, 1, False), (2, 3, 1001, 1, True), (2, 6, 1, None, True),
    (1, 1, 1, 3, False), (1, 1, 1001, 3, True), (1, 5, 2, None, True),
    (3, 3, 1, 3, False), (3, 16, 1, None, True), (6, 4, 1, 14, False),
    (255, 4, 1, 24, False), (4, 3, 1001, 1, True),
]


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.c = {}
        self.violations = []

    def add(self, key, n=1):
        with self.lock:
            self.c[key] = self.c.get(key, 0) + n

    def violate(self, text):
        with self.lock:
            if len(self.violations) < 50:
                self.violations.append(text)
            self.c["violations"] = self.c.get("violations", 0) + 1


stats = Stats()


def pdu_for(unit, fn, addr, arg, rnd):
    if fn in (1, 2, 3, 4):
        return struct.pack(">BHH", fn, addr, arg)
    if fn == 5:
        return struct.pack(">BHH", fn, addr, rnd.choice((0, 0xFF00)))
    if fn == 6:
        return struct.pack(">BHH", fn, addr, rnd.randrange(0, 1000))
    values = [rnd.randrange(0, 4), rnd.randrange(0, 5), rnd.randrange(150, 300)]
    return struct.pack(">BHHB", fn, addr, 3, 6) + struct.pack(">3H", *values)


def recv_exact(sock, n, deadline):
    data = b""
    while len(data) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        sock.settimeout(left)
        try:
            chunk = sock.recv(n - len(data))
        except socket.timeout:
            return None
        if not chunk:
            raise ConnectionError("closed by the service")
        data += chunk
    return data


def client(idx, stop_at):
    rnd = random.Random(args.seed * 100 + idx)
    sock = None
    tid = 0
    while time.monotonic() < stop_at:
        if sock is None:
            try:
                sock = socket.create_connection(("127.0.0.1", 502), timeout=2)
                stats.add("connects")
            except OSError:
                stats.add("connect failures")
                time.sleep(0.2)
                continue
        unit, fn, addr, arg, bridged = rnd.choice(REQUESTS)
        tid = (tid + 1) & 0xFFFF
        pdu = pdu_for(unit, fn, addr, arg, rnd)
        req = struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu
        kind = "bridged" if bridged else "cached"
        t0 = time.monotonic()
        try:
            sock.sendall(req)
            head = recv_exact(sock, 7, t0 + (BRIDGE_WAIT if bridged else CACHED_WAIT))
            if head is None:
                if bridged:
                    stats.add("bridged expired")
                else:
                    stats.violate("cached read unit %d fc %d not answered in %.1f s" %
                                  (unit, fn, CACHED_WAIT))
                # A reply after expiry would now be a stray: start afresh.
                sock.close()
                sock = None
                continue
            rtid, proto, length, runit = struct.unpack(">HHHB", head)
            body = recv_exact(sock, length - 1, time.monotonic() + 1.0) if 2 <= length <= 254 else None
            if body is None:
                stats.violate("malformed reply header %r" % head)
                sock.close()
                sock = None
                continue
            if rtid != tid or runit != unit or proto != 0:
                stats.violate("reply tid %d unit %d for request tid %d unit %d" % (rtid, runit, tid, unit))
            elif body[0] == fn:
                stats.add(kind + " ok")
                stats.add("latency ms sum", int((time.monotonic() - t0) * 1000))
            elif body[0] == fn | 0x80 and len(body) == 2 and body[1] in (2, 3, 4, 6):
                stats.add("%s exception %d" % (kind, body[1]))
            else:
                stats.violate("unexpected reply %r to fc %d" % (body, fn))
        except OSError:
            # Counted, not a violation by itself: a dead service is caught below.
            stats.add("connection lost")
            try:
                sock.close()
            except OSError:
                pass
            sock = None
            continue
        # Reconnect now and then, as building-management systems do.
        if rnd.random() < 0.01:
            sock.close()
            sock = None
            stats.add("reconnects")


def main():
    gwsim = args.gwsim or os.path.join(args.bin_dir, "gwsim")
    busrelay = args.busrelay or os.path.join(args.bin_dir, "busrelay")
    for prog in (busrelay, gwsim):
        if not os.access(prog, os.X_OK):
            sys.exit("soak: %s is not built" % prog)
    work = tempfile.mkdtemp(prefix="soak-", dir="/tmp")
    sample = os.path.join(ROOT, "busrelay", "sample")
    shutil.copytree(os.path.join(sample, "descJson"), os.path.join(work, "descJson"))
    for f in ("map.json", "vrvC.json"):
        shutil.copy(os.path.join(sample, f), work)
    null = open(os.devnull, "wb")

    def start_sim(extra):
        p = subprocess.Popen([gwsim, "--report-ms", "90", "--keepalive", "5"] + extra,
                             stdout=null, stderr=null, stdin=subprocess.DEVNULL)
        time.sleep(0.3)
        if p.poll() is not None:
            sys.exit("soak: gwsim %s ended at once (exit %s)" % (" ".join(extra), p.returncode))
        return p

    sim = start_sim([])
    svc = subprocess.Popen([busrelay], cwd=work, stdout=null,
                           stderr=null, stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", 502), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)
    else:
        svc.kill()
        sim.kill()
        sys.exit("soak: busrelay does not accept Modbus connections on port 502")

    start = time.monotonic()
    stop_at = start + DURATION
    print("soak: %.0f s, fault phases of %.0f s, pid %d" % (DURATION, args.phase_seconds, svc.pid))
    clients = [threading.Thread(target=client, args=(i, stop_at), daemon=True) for i in range(2)]
    for t in clients:
        t.start()

    rss = []
    phase = 0
    next_phase = start + args.phase_seconds
    while time.monotonic() < stop_at:
        time.sleep(min(1.0, max(0.0, stop_at - time.monotonic())))
        if svc.poll() is not None:
            stats.violate("busrelay ended with %s at %.0f s" % (svc.returncode, time.monotonic() - start))
            break
        r = status_kb(svc.pid, "VmRSS")
        if r:
            rss.append((time.monotonic() - start, r))
        if time.monotonic() >= next_phase and time.monotonic() < stop_at - 15:
            phase += 1
            name, extra = PROFILES[phase % len(PROFILES)]
            stop(sim, signal.SIGTERM)
            sim = start_sim(extra)
            stats.add("phases")
            print("  %5.0f s  phase %-17s rss %s kB" % (time.monotonic() - start, name, r))
            sys.stdout.flush()
            next_phase = time.monotonic() + args.phase_seconds
    for t in clients:
        t.join(BRIDGE_WAIT + 2)

    # Drain: a healthy gateway again; once the link is back (search and
    # connect take some seconds), 10 bridged reads in a row must be served.
    # Leaked pending entries would fill the table and give "busy" for ever.
    sim.send_signal(signal.SIGTERM)
    sim.wait(5)
    sim = start_sim([])
    drained = 0
    drain_deadline = time.monotonic() + 40
    s = None
    i = 0
    while drained < 10 and time.monotonic() < drain_deadline:
        try:
            if s is None:
                s = socket.create_connection(("127.0.0.1", 502), timeout=2)
            i += 1
            pdu = struct.pack(">BHH", 3, 1001, 1)
            s.sendall(struct.pack(">HHHB", (9000 + i) & 0xFFFF, 0, len(pdu) + 1, 2) + pdu)
            head = recv_exact(s, 7, time.monotonic() + BRIDGE_WAIT)
            body = head and recv_exact(s, struct.unpack(">H", head[4:6])[0] - 1, time.monotonic() + 1)
            if body and body[0] == 3:
                drained += 1
                continue
            if head is None:
                s.close()
                s = None
        except OSError:
            s = None
        drained = 0
        time.sleep(0.5)
    if s is not None:
        s.close()
    if drained != 10:
        stats.violate("after the soak only %d bridged reads in a row were served" % drained)

    alive = svc.poll() is None
    svc.send_signal(signal.SIGINT)
    try:
        svc.wait(15)
    except subprocess.TimeoutExpired:
        svc.kill()
    sim.send_signal(signal.SIGTERM)
    sim.wait(5)

    # RSS: the highest value in the first minute (after start-up) against the last minute.
    growth = None
    if len(rss) > 20:
        early = max(v for t, v in rss if t <= min(60, rss[-1][0] / 2))
        late = max(v for t, v in rss if t >= rss[-1][0] - 60)
        growth = late - early
        if growth > max(256, early // 10):
            stats.violate("RSS grew from %d kB to %d kB" % (early, late))

    c = stats.c
    ok = c.get("cached ok", 0) + c.get("bridged ok", 0)
    total = ok + sum(v for k, v in c.items() if "exception" in k) + c.get("bridged expired", 0)
    print("=== soak figures (%.0f s)" % (time.monotonic() - start))
    print("requests          %d (%.0f/s)" % (total, total / max(1.0, DURATION)))
    for k in sorted(c):
        if k != "latency ms sum":
            print("%-24s %d" % (k, c[k]))
    if ok:
        print("mean latency of answered requests: %.1f ms" % (c.get("latency ms sum", 0) / ok))
    if rss:
        print("RSS kB first/last/max: %d / %d / %d (growth over the run %s kB)" %
              (rss[0][1], rss[-1][1], max(v for _, v in rss), growth))
    print("pending table drained: %s (%d/10 bridged reads in a row served after the run)" %
          ("yes" if drained == 10 else "NO", drained))
    print("service alive at the end: %s" % ("yes" if alive else "NO"))
    for v in stats.violations:
        print("VIOLATION: " + v)
    print("SOAK %s" % ("PASSED" if not stats.violations and alive else "FAILED"))
    return 0 if not stats.violations and alive else 1


sys.exit(main())
