"""Runs busrelay for a few seconds in a private namespace and shows its log."""
import os
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bin")

if os.environ.get("IN_NSRUN") != "1":
    os.environ["IN_NSRUN"] = "1"
    nsrun = os.path.join(ROOT, "scripts", "nsrun")
    rc = subprocess.call([nsrun, sys.executable, os.path.abspath(__file__), BIN])
    if rc == 77:
        print("The demo needs private network namespaces: run it as root "
              "(or where unprivileged user namespaces are allowed).")
    sys.exit(rc)

work = tempfile.mkdtemp(prefix="busrelay-demo-", dir="/tmp")
print("== starting busrelay in", work)
svc = subprocess.Popen([os.path.join(BIN, "busrelay")], cwd=work,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
time.sleep(2)
svc.send_signal(signal.SIGINT)
out, _ = svc.communicate(timeout=15)
print(out.decode("utf-8", "replace"))
print("== busrelay exited with", svc.returncode)
print("== /tmp/mb.log inside the namespace:")
with open("/tmp/mb.log") as f:
    print(f.read())
