"""What the benchmark scripts share: process figures from /proc, percentiles,
the namespace re-exec, the pymodbus reference server and a bounded stop."""
import os
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICKS = os.sysconf("SC_CLK_TCK")

# pymodbus's own async server: 100 holding registers on every unit, port 5020.
PYMODBUS_SERVER = r'''
from pymodbus.server import StartTcpServer
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusSlaveContext, ModbusServerContext
block = ModbusSequentialDataBlock(0, [0] * 100)
ctx = ModbusServerContext(slaves=ModbusSlaveContext(hr=block, zero_mode=True), single=True)
StartTcpServer(context=ctx, address=("127.0.0.1", 5020))
'''


def in_namespace(argv):
    """Runs this script again inside scripts/nsrun unless it already is; the
    outer call returns the inner one's exit code through sys.exit."""
    if os.environ.get("IN_NSRUN") == "1":
        return
    os.environ["IN_NSRUN"] = "1"
    sys.stdout.flush()
    nsrun = os.path.join(ROOT, "scripts", "nsrun")
    sys.exit(subprocess.call([nsrun, sys.executable] + argv))


def use_proc_helpers(bin_dir):
    """Makes the process tests' helpers (bridge_env, harness) importable."""
    sys.path.insert(0, os.path.join(ROOT, "busrelay", "tests", "proc"))
    os.environ.setdefault("BIN_DIR", bin_dir)
    os.environ.setdefault("SOURCE_DIR", ROOT)


def cpu_seconds(pid):
    """User + system CPU of the process (all threads), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kb(pid, key):
    """A kB figure of /proc/PID/status (VmRSS, VmHWM, ...); None when gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def pct(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def wait_port(port, timeout=5):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def stop(proc, sig=signal.SIGINT, timeout=5):
    """Asks the process to end with sig, kills it after timeout seconds."""
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(sig)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout)


def start_pymodbus_server():
    return subprocess.Popen([sys.executable, "-c", PYMODBUS_SERVER], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


# A device of 50 holding registers (unit 50, key bnc50001) for report ingestion.
_DESC_50 = ('{"nodes":[{"identifier":"v%d","accessMode":"r","desc":"function",'
            '"dataType":{"type":"double","specs":{"min":0,"max":65535,"step":1}},'
            '"originalDataType":{"type":"uint16","specs":{"registerCount":1,"reverseRegister":0,'
            '"swap16":0}},"registerAddress":40001,"operateType":"holdingRegister",'
            '"isMultiReg":true,"multiRegStep":1,"multiRegNums":50}],'
            '"profile":{"productKey":"bench50","snType":["99000000150"]},'
            '"mb_map":{"nb_registers":50,"start_registers":1}}')


def add_50_node_device(wd):
    """Adds that device to the sample configuration copied into wd."""
    with open(os.path.join(wd, "descJson", "bench50.json"), "w") as f:
        f.write(_DESC_50)
    with open(os.path.join(wd, "map.json")) as f:
        text = f.read()
    text = text.replace('"nodes": [',
                        '"nodes": [\n    {"mb_id": 50, "mqtt_dk": "bnc50001", "sntype": "99000000150"},')
    with open(os.path.join(wd, "map.json"), "w") as f:
        f.write(text)
