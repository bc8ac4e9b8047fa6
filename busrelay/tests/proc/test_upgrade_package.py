"""The upgrade package as the tool installs it: contents of modbus.zip and
mbver.txt, relay_start.sh bringing the service back after kill -9, and
set_mb_autorun.sh registering it once however often it runs."""
import hashlib
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.enter_namespace()

PKG = os.environ.get("PACKAGE_DIR", os.path.join(harness.BIN_DIR, "..", "package"))
ZIP = os.path.join(PKG, "modbus.zip")
VER = os.path.join(PKG, "mbver.txt")


def version_text():
    """The service's own version constant."""
    for hdr in ("service.h",):
        with open(os.path.join(harness.SOURCE_DIR, "busrelay/src/app/main", hdr)) as f:
            m = re.search(r'_VERSION_TEXT = "([^"]+)"', f.read())
        if m:
            return m.group(1)
    raise AssertionError("no version text in the sources")


def elf_interpreter_and_machine(data):
    """(has PT_INTERP, e_machine) of an ELF image."""
    assert data[:4] == b"\x7fELF", "not an ELF file"
    is64 = data[4] == 2
    e_machine = struct.unpack_from("<H", data, 18)[0]
    if is64:
        phoff, = struct.unpack_from("<Q", data, 32)
        phentsize, phnum = struct.unpack_from("<HH", data, 54)
    else:
        phoff, = struct.unpack_from("<I", data, 28)
        phentsize, phnum = struct.unpack_from("<HH", data, 42)
    interp = any(struct.unpack_from("<I", data, phoff + i * phentsize)[0] == 3
                 for i in range(phnum))
    return interp, e_machine


def test_contents():
    with open(VER, "rb") as f:
        lines = f.read().decode().split("\n")
    assert lines[0] == version_text(), lines
    with open(ZIP, "rb") as f:
        digest = hashlib.md5(f.read()).hexdigest()
    assert lines[1] == digest, (lines[1], digest)

    z = zipfile.ZipFile(ZIP)
    names = z.namelist()
    assert all(n.startswith("modbus/") for n in names), names
    for need in ("modbus/busrelay", "modbus/relay_start.sh", "modbus/set_mb_autorun.sh",
                 "modbus/ver.txt"):
        assert need in names, need
    assert any(re.match(r"modbus/descJson/.+\.json$", n) for n in names), names
    # unzip -o would overwrite the engineer's configuration.
    assert not [n for n in names
                if os.path.basename(n) in ("map.json", "vrvC.json", "mbacl.json",
                                           "mbopts.json")], names
    assert z.read("modbus/ver.txt").decode().split("\n")[0] == version_text()
    for n in ("modbus/busrelay", "modbus/relay_start.sh", "modbus/set_mb_autorun.sh"):
        mode = z.getinfo(n).external_attr >> 16
        assert mode & stat.S_IXUSR, (n, oct(mode))
    interp, machine = elf_interpreter_and_machine(z.read("modbus/busrelay"))
    if os.environ.get("PACKAGE_STATIC") == "1":
        assert not interp, "busrelay in the package needs a dynamic loader"
    print("busrelay in package: e_machine %d, %s, %d bytes" % (
        machine, "dynamic" if interp else "static", z.getinfo("modbus/busrelay").file_size))


def service_children(pid):
    """Children of pid running busrelay (not the script's own subshells)."""
    kids = []
    for k in children_of(pid):
        try:
            with open("/proc/%d/cmdline" % k, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if any(a.endswith(b"busrelay") for a in argv):
            kids.append(k)
    return kids


def children_of(pid):
    kids = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % d) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid and fields[0] != "Z":
            kids.append(int(d))
    return kids


def restarts_in_log():
    return harness.read_log().count("relayservice restart!!!!")


def test_relay_start_restarts_after_kill9():
    gw = harness.workdir("gateway")
    with zipfile.ZipFile(ZIP) as z:
        z.extractall(gw)
    moddir = os.path.join(gw, "modbus")
    # A host build in place of the gateway's binary.
    shutil.copy(harness.program("busrelay"), os.path.join(moddir, "busrelay"))
    for n in ("busrelay", "relay_start.sh", "set_mb_autorun.sh"):
        os.chmod(os.path.join(moddir, n), 0o755)
    if os.path.exists("/tmp/mb.log"):
        os.unlink("/tmp/mb.log")

    starter = subprocess.Popen(["/bin/sh", os.path.join(moddir, "relay_start.sh")], cwd="/",
                               stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        seen = []
        for round_ in range(3):
            pid = harness.wait_until(
                lambda: next((k for k in service_children(starter.pid) if k not in seen), None), 10)
            assert pid, "no service started (round %d)" % round_
            assert os.readlink("/proc/%d/cwd" % pid) == os.path.realpath(moddir)
            assert harness.wait_until(lambda: restarts_in_log() >= round_ + 1, 10), \
                "service did not start up (round %d): %d starts logged" % (round_, restarts_in_log())
            seen.append(pid)
            os.kill(pid, signal.SIGKILL)
        assert starter.poll() is None, "relay_start.sh ended"
    finally:
        os.killpg(starter.pid, signal.SIGKILL)
        starter.wait(5)
        for k in children_of(starter.pid):
            os.kill(k, signal.SIGKILL)


def run_autorun(moddir, rc):
    env = dict(os.environ, RC_LOCAL=rc)
    p = subprocess.run(["/bin/sh", os.path.join(moddir, "set_mb_autorun.sh")], env=env,
                       capture_output=True, timeout=10)
    assert p.returncode == 0, p.stderr


def test_autorun_idempotent():
    gw = harness.workdir("gateway")
    with zipfile.ZipFile(ZIP) as z:
        z.extract("modbus/set_mb_autorun.sh", gw)
    moddir = os.path.join(gw, "modbus")
    line = os.path.join(moddir, "relay_start.sh") + " &"

    rc = os.path.join(gw, "rc.local")
    with open(rc, "w") as f:
        f.write("#!/bin/sh -e\n/usr/bin/other_service &\nexit 0\n")
    for _ in range(3):
        run_autorun(moddir, rc)
    with open(rc) as f:
        lines = f.read().split("\n")
    assert lines.count(line) == 1, lines
    assert lines.index(line) < lines.index("exit 0"), lines
    assert "/usr/bin/other_service &" in lines

    fresh = os.path.join(gw, "rc.fresh")
    run_autorun(moddir, fresh)
    run_autorun(moddir, fresh)
    with open(fresh) as f:
        lines = f.read().split("\n")
    assert lines.count(line) == 1 and lines[0].startswith("#!"), lines
    assert os.stat(fresh).st_mode & stat.S_IXUSR


harness.run([test_contents, test_relay_start_restarts_after_kill9, test_autorun_idempotent])
