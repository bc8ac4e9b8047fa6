"""Process-level test harness.

A test script calls enter_namespace() first: the script then re-runs itself
through scripts/nsrun, in a private network + mount namespace with loopback up
and its own tmpfs on /tmp, so the service's fixed ports and /tmp/mb.log never
collide with another test. nsrun exits 77 (skipped) where namespaces are not
available. Every wait here is bounded in time.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback

BIN_DIR = os.environ.get("BIN_DIR", "")
SOURCE_DIR = os.environ.get("SOURCE_DIR", os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", "..")))
NSRUN = os.environ.get("NSRUN", os.path.join(SOURCE_DIR, "scripts", "nsrun"))


def enter_namespace():
    if os.environ.get("IN_NSRUN") == "1":
        return
    if not BIN_DIR:
        print("BIN_DIR is not set: run this test through ctest", file=sys.stderr)
        sys.exit(2)
    os.environ["IN_NSRUN"] = "1"
    sys.stdout.flush()
    os.execv(NSRUN, [NSRUN, sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:])


def program(name):
    path = os.path.join(BIN_DIR, name)
    if not os.access(path, os.X_OK):
        raise RuntimeError("program not built: " + path)
    return path


def workdir(prefix="work"):
    return tempfile.mkdtemp(prefix=prefix + "-", dir="/tmp")


def wait_until(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Proc:
    """A program started in the background with its output kept in files."""

    def __init__(self, args, cwd=None, name=None, env=None):
        self.name = name or os.path.basename(args[0])
        self.cwd = cwd or workdir(self.name)
        self.out_path = os.path.join(self.cwd, self.name + ".stdout")
        self.err_path = os.path.join(self.cwd, self.name + ".stderr")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(args, cwd=self.cwd, stdout=self._out, stderr=self._err,
                                     stdin=subprocess.DEVNULL, env=env)

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, timeout=5.0, stream="stderr", step=0.02):
        """Waits until the regex appears in the stream; returns the match or None."""
        rx = re.compile(pattern)
        reader = self.stderr if stream == "stderr" else self.stdout
        return wait_until(lambda: rx.search(reader()), timeout, step)

    def alive(self):
        return self.proc.poll() is None

    def signal(self, sig):
        if self.alive():
            self.proc.send_signal(sig)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, check=True):
        """SIGINT, then the program must end cleanly: exit code 0 and no
        sanitizer report (LeakSanitizer reports only at exit). A program that
        had already ended, or is killed after 5 s, is only checked for a
        report. check=False skips both checks."""
        interrupted = False
        if self.alive():
            self.proc.send_signal(signal.SIGINT)
            interrupted = True
            if self.wait(5) is None:
                self.proc.kill()
                self.proc.wait(5)
                interrupted = False
        self._out.close()
        self._err.close()
        if not check:
            return
        err = self.stderr()
        for marker in ("ERROR: LeakSanitizer", "ERROR: AddressSanitizer", "ERROR: ThreadSanitizer",
                       "WARNING: ThreadSanitizer", "runtime error:"):
            if marker in err:
                at = err.index(marker)
                raise AssertionError("%s: sanitizer report\n%s" % (self.name, err[at:at + 4000]))
        if interrupted and self.proc.returncode != 0:
            raise AssertionError("%s exited with %r after SIGINT\n%s" %
                                 (self.name, self.proc.returncode, err[-2000:]))


def read_log(path="/tmp/mb.log"):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def run(tests):
    """Runs the test functions in order, prints a summary, exits non-zero on failure."""
    passed = failed = 0
    for test in tests:
        name = test.__name__
        try:
            test()
        except Exception:  # noqa: BLE001 - a test reports any failure
            failed += 1
            print("FAIL " + name)
            traceback.print_exc()
        else:
            passed += 1
            print("ok   " + name)
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)
