"""The Modbus port's client allow-list (mbacl.json): a client from an address
not on the list is closed at accept without taking one of the two client
slots, while listed clients are served; a file that cannot be used is
refused with an ERROR and the port stays open to everyone. Clients come from
several loopback addresses (the whole 127/8 is local) in the test's own
network namespace."""
import os
import re
import socket
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.enter_namespace()

import bridge_env as env  # noqa: E402


def start_with_acl(text):
    """busrelay in a sample working directory; text None: no mbacl.json."""
    if os.path.exists("/tmp/mb.log"):
        os.unlink("/tmp/mb.log")
    wd = env.sample_workdir()
    if text is not None:
        with open(os.path.join(wd, "mbacl.json"), "w") as f:
            f.write(text)
    svc = harness.Proc([harness.program("busrelay")], cwd=wd, name="busrelay")
    assert svc.wait_for(r"socket init ok", 5), svc.stderr()[-3000:]
    return svc


def connect_from(source):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(2)
    s.bind((source, 0))
    s.connect(("127.0.0.1", 502))
    return s


def served(s, tid=1):
    """True when a cached read (unit 3, holding 1..3) is answered."""
    s.sendall(struct.pack(">HHHB", tid, 0, 6, 3) + struct.pack(">BHH", 3, 1, 3))
    data = b""
    try:
        while len(data) < 6 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
            chunk = s.recv(64)
            if not chunk:
                return False
            data += chunk
            if len(data) > 260:
                return False
    except (socket.timeout, ConnectionError):
        return False
    return struct.unpack(">H", data[:2])[0] == tid and data[7] == 3


def closed_by_server(s):
    """True when the server ends the connection (EOF or reset) within 2 s."""
    try:
        return s.recv(16) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def log_has(pattern, timeout=3):
    return env.wait(lambda: re.search(pattern, harness.read_log()), timeout)


def test_unlisted_clients_are_closed_without_taking_a_slot():
    svc = start_with_acl('{"allow": ["127.0.0.1", "127.0.1.0/24"]}')
    socks = []
    try:
        assert log_has(r"INFO  mbAcl\.cpp:\d+: mbacl\.json: the Modbus port accepts clients only "
                       r"from 127\.0\.0\.1, 127\.0\.1\.0/24")
        first = connect_from("127.0.0.1")
        socks.append(first)
        assert served(first, 1)
        # Refused clients that keep their end open: were any of them given a
        # slot, the second listed client below would find none.
        outsiders = []
        for source in ("127.0.0.2", "127.0.2.1", "127.0.0.3"):
            s = connect_from(source)
            socks.append(s)
            outsiders.append((source, s))
        for source, s in outsiders:
            assert closed_by_server(s), source
            assert log_has(r"WARN  mbTcpSvr\.cpp:\d+: \[mbTcpTransport\]client %s:%d not in the "
                           r"allow-list \(mbacl\.json\), closed" %
                           (re.escape(source), s.getsockname()[1])), harness.read_log()[-2000:]
        second = connect_from("127.0.1.200")  # inside the /24
        socks.append(second)
        assert served(second, 2)
        assert served(first, 3)
        log = harness.read_log()
        assert "got too much clients" not in log, log[-2000:]
        assert not re.search(r"new connect from 127\.0\.0\.2|new connect from 127\.0\.2\.1", log)
        assert svc.alive()
    finally:
        for s in socks:
            s.close()
        env.stop_all(svc)


def test_a_broken_file_is_refused_loudly_and_the_port_stays_open():
    for text, why in (('{"allow": ["127.0.0.1",', r"not JSON"),
                      ('{"allow": ["127.0.0.1", "127.0.0.0/33"]}',
                       r"entry 2 \(127\.0\.0\.0/33\) is not an IPv4 address or range")):
        svc = start_with_acl(text)
        s = None
        try:
            assert log_has(r"ERROR mbAcl\.cpp:\d+: mbacl\.json refused \(%s.*\): NO client "
                           r"allow-list in force, the Modbus port accepts every client" % why), \
                harness.read_log()[-2000:]
            s = connect_from("127.0.0.2")
            assert served(s, 1)
        finally:
            if s:
                s.close()
            env.stop_all(svc)


def test_no_file_or_an_empty_one_accepts_everyone():
    for text in (None, "", '{"allow": []}'):
        svc = start_with_acl(text)
        s = None
        try:
            s = connect_from("127.0.0.9")
            assert served(s, 1), repr(text)
            assert "mbacl.json refused" not in harness.read_log()
        finally:
            if s:
                s.close()
            env.stop_all(svc)


harness.run([
    test_unlisted_clients_are_closed_without_taking_a_slot,
    test_a_broken_file_is_refused_loudly_and_the_port_stays_open,
    test_no_file_or_an_empty_one_accepts_everyone,
])
