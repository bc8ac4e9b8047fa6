#!/usr/bin/python3
"""Starts the tests' Linux peers (busybox tftp, tftp-hpa, pymodbus's server)
for tool tests that run under wine.

A Linux program that a Windows program starts under wine gets no process
handle: QProcess can neither wait for it nor read its exit code or output.
The tests therefore ask this runner, on loopback, to run the program for them
(see peerrunner.h). scripts/test-windows.sh starts it.

usage: peerrunner.py PORT WINEPREFIX

One JSON object per line and one answer per line:
  {"which": NAME}                          -> {"path": PATH or null}
  {"run": [PROG, ARG...], "cwd": DIR,      -> {"exit": CODE, "output": TEXT}
   "timeout": SECONDS}                        (CODE -1: did not end in time,
                                              20 s without "timeout")
  {"spawn": [PROG, ARG...]}                -> {"pid": PID}
  {"kill": PID}                            -> {"ok": true}
Windows paths (C:\\x, Z:/y) in the program, the arguments and the directory
are turned into the Linux paths wine maps them to.
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys

RUN_TIMEOUT = 20
DRIVE_PATH = re.compile(r"^([A-Za-z]):[\\/](.*)$")


def unix_path(text, prefix):
    m = DRIVE_PATH.match(text)
    if not m:
        return text
    drive = os.path.join(prefix, "dosdevices", m.group(1).lower() + ":")
    root = os.path.realpath(drive)
    return os.path.join(root, m.group(2).replace("\\", "/"))


def serve(conn, prefix, children):
    f = conn.makefile("rwb")
    for line in f:
        req = json.loads(line)
        if "which" in req:
            ans = {"path": shutil.which(req["which"])}
        elif "run" in req:
            argv = [unix_path(a, prefix) for a in req["run"]]
            cwd = unix_path(req["cwd"], prefix) if req.get("cwd") else None
            try:
                p = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, timeout=req.get("timeout", RUN_TIMEOUT),
                                   check=False)
                ans = {"exit": p.returncode, "output": p.stdout.decode("utf-8", "replace")}
            except subprocess.TimeoutExpired as e:
                ans = {"exit": -1, "output": (e.output or b"").decode("utf-8", "replace")}
            except OSError as e:
                ans = {"exit": -1, "output": str(e)}
        elif "spawn" in req:
            p = subprocess.Popen([unix_path(a, prefix) for a in req["spawn"]], stdin=subprocess.DEVNULL)
            children[p.pid] = p
            ans = {"pid": p.pid}
        elif "kill" in req:
            p = children.pop(int(req["kill"]), None)
            if p:
                p.terminate()
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            ans = {"ok": True}
        else:
            ans = {"error": "unknown request"}
        f.write((json.dumps(ans) + "\n").encode())
        f.flush()


def main():
    port, prefix = int(sys.argv[1]), sys.argv[2]
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(4)
    children = {}
    try:
        while True:
            conn, _ = srv.accept()
            with conn:
                try:
                    serve(conn, prefix, children)
                except (ValueError, OSError) as e:
                    print("peerrunner: %s" % e, file=sys.stderr)
    finally:
        for p in children.values():
            p.kill()


if __name__ == "__main__":
    main()
