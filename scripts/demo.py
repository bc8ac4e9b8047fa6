"""The bridge at work: gwsim plays the gateway, busrelay serves Modbus TCP
with the sample configuration, and a short pymodbus session shows what a
building-management system sees. Everything runs in a private network
namespace; the logs stay in build/demo/ afterwards."""
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bin")
DEMO = os.path.join(ROOT, "build", "demo")

if os.environ.get("IN_NSRUN") != "1":
    os.environ["IN_NSRUN"] = "1"
    nsrun = os.path.join(ROOT, "scripts", "nsrun")
    rc = subprocess.call([nsrun, sys.executable, os.path.abspath(__file__), BIN])
    if rc == 77:
        print("The demo needs a private network namespace (ports 502, 9980 and 9981 are\n"
              "fixed): run it as root, or as a user where unprivileged user namespaces\n"
              "are allowed (sysctl kernel.unprivileged_userns_clone=1).")
    sys.exit(rc)

from pymodbus.client import ModbusTcpClient  # noqa: E402

rows = []


def show(what, result, ok):
    rows.append((what, result, ok))
    print("  %-66s %s%s" % (what, result, "" if ok else "   <-- unexpected"))


def regs_text(regs):
    return " ".join("%d" % v for v in regs)


def wait_for(path, text, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.1)
    return False


shutil.rmtree(DEMO, ignore_errors=True)
os.makedirs(DEMO)
sample = os.path.join(ROOT, "busrelay", "sample")
shutil.copytree(os.path.join(sample, "descJson"), os.path.join(DEMO, "descJson"))
for name in ("map.json", "vrvC.json"):
    shutil.copy(os.path.join(sample, name), DEMO)

procs = []
try:
    print("== gwsim (the gateway) and busrelay, sample configuration in", DEMO)
    sim_log = open(os.path.join(DEMO, "gwsim.log"), "w")
    procs.append(subprocess.Popen([os.path.join(BIN, "gwsim"), "-r", "2"], cwd=DEMO,
                                  stdout=sim_log, stderr=subprocess.STDOUT))
    svc_log_path = os.path.join(DEMO, "busrelay.console.log")
    svc_log = open(svc_log_path, "w")
    svc = subprocess.Popen([os.path.join(BIN, "busrelay")], cwd=DEMO, stdout=svc_log,
                           stderr=subprocess.STDOUT)
    procs.append(svc)
    if not wait_for(svc_log_path, "gw7f reconnect to gateway ok", 10):
        print("busrelay did not reach the gateway; see", svc_log_path)
        sys.exit(1)
    wait_for(svc_log_path, "convert", 3)   # first reports stored
    time.sleep(0.3)

    c = ModbusTcpClient("127.0.0.1", port=502, timeout=3)
    c.connect()
    print("\n== Modbus session (127.0.0.1:502 inside the namespace)")

    r = c.read_input_registers(1, 24, slave=255)
    text = b"".join(struct.pack(">H", v) for v in r.registers).rstrip(b"\0").decode()
    show("unit 255 input 1-24: service version", text, text.startswith("QXGW-RJ-RELAY"))

    r = c.read_holding_registers(1, 3, slave=3)
    show("unit 3 holding 1-3 (cached): mode, fan, setTemp x10", regs_text(r.registers),
         not r.isError())

    t0 = time.monotonic()
    w = c.write_register(3, 235, slave=3)
    ms = (time.monotonic() - t0) * 1000
    show("write unit 3 holding 3 = 235 (23.5 C) via gateway",
         "echoed after %.0f ms" % ms, not w.isError())
    r = c.read_holding_registers(3, 1, slave=3)
    show("read back unit 3 holding 3", regs_text(r.registers), r.registers == [235])

    r = c.read_holding_registers(1001, 1, slave=2)
    show("direct read unit 2 address 1001 (fresh from gateway)",
         "%d (brightness %.1f %%)" % (r.registers[0], r.registers[0] / 10.0), not r.isError())

    r = c.read_discrete_inputs(1, 8, slave=255)
    show("unit 255 discrete 1-8: online bits of units 1-8",
         "".join("1" if b else "0" for b in r.bits[:8]), all(r.bits[:8]))
    r = c.read_discrete_inputs(252, 1, slave=255)
    again = c.read_discrete_inputs(252, 1, slave=255)
    show("unit 255 discrete 252: alarm bit of unit 5, read twice",
         "%d then %d (cleared by the read)" % (r.bits[0], again.bits[0]), r.bits[0])

    r = c.read_input_registers(1, 4, slave=5)
    show("unit 5 input 1-4: dry-contact alarm type/value x2", regs_text(r.registers),
         r.registers[2] == 2)

    r = c.read_input_registers(1, 6, slave=7)
    h = c.read_holding_registers(1, 4, slave=7)
    show("unit 7 slot 0 input 1-6: addr, outdoor, exist, online, err, temp x10",
         regs_text(r.registers), r.registers[:2] == [1, 1])
    show("unit 7 slot 0 holding 1-4: mode, on/off, fan, set temp", regs_text(h.registers),
         not h.isError())

    r = c.read_holding_registers(1, 1, slave=42)
    show("unit 42 (not in map.json)", "exception %d" % r.exception_code,
         r.isError() and r.exception_code == 2)
    c.close()
finally:
    for p in reversed(procs):
        if p.poll() is None:
            p.send_signal(signal.SIGINT)
    for p in reversed(procs):
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
    if os.path.exists("/tmp/mb.log"):
        shutil.copy("/tmp/mb.log", os.path.join(DEMO, "mb.log"))

good = sum(1 for _, _, ok in rows if ok)
print("\n== Summary: %d of %d steps as expected" % (good, len(rows)))
print("== Logs: %s/mb.log (the service's /tmp/mb.log), busrelay.console.log, gwsim.log"
      % DEMO)
sys.exit(0 if good == len(rows) else 1)
