"""Gateway messages against a test peer that sends exactly what a case needs:
online and alarm bits of unit 255, the dry-contact index rule, refused
messages, and the race that matters: reports stored on the link's receive
thread while the main thread answers reads of the same registers (and
deferred replies go out from the receive thread). Run under ThreadSanitizer
in the tsan tree."""
# labels: threads
import os
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.enter_namespace()
import bridge_env as env  # noqa: E402


def start():
    gw = env.FakeGateway()
    svc = env.start_busrelay()
    assert env.wait(lambda: gw.conn is not None, 3)
    return gw, svc


def bit(c, address, unit=255):
    return c.read_discrete_inputs(address, 1, slave=unit).bits[0]


def test_online_and_alarm_bits_and_refused_messages():
    gw, svc = start()
    c = env.client()
    try:
        assert bit(c, 3) is False
        for failed, online in ((0, True), (2, True), (4, False), (3, False), (0, True)):
            gw.send("thm10001", {"deviceKey": "thm10001",
                                 "statistics": {"timesOfContinuousFailed": failed}})
            assert env.wait(lambda: bit(c, 3) is online, 3), (failed, online)
        # Only statistics: nothing stored, so no alarm (report) bit.
        assert bit(c, 250) is False
        gw.send("thm10001", {"deviceKey": "thm10001", "function": {"roomTemp": -2.5}})
        assert env.wait(lambda: c.read_input_registers(1, 1, slave=3).registers == [0xFFE7], 3)
        # The alarm bit is set just after the values are stored; a read clears it.
        assert env.wait(lambda: bit(c, 250), 3)
        assert bit(c, 250) is False

        # A dry contact reporting "alarm" as one object: its first whole
        # number is the channel index; the value after a "pulse" type is
        # one-shot, the type itself stays.
        gw.send("dcs20001", {"deviceKey": "dcs20001",
                             "alarm": {"channel": 1, "type": "pulse", "value": 7}})
        assert env.wait(lambda: c.read_input_registers(3, 1, slave=5).registers == [2], 3)
        assert c.read_input_registers(3, 2, slave=5).registers == [2, 7]
        assert c.read_input_registers(3, 2, slave=5).registers == [2, 0]
        # Logged on the receive thread, whose lines may reach the file after
        # the registers changed.
        assert env.wait(lambda: "ugly for drycontact find index channel/1/ in alarm"
                        in harness.read_log(), 2), harness.read_log()[-2000:]

        # Refused messages store nothing.
        before = c.read_holding_registers(1, 1, slave=5).registers
        gw.send("dcs200011", {"deviceKey": "dcs200011", "function": {"debounceMs": 99}})
        gw.send("dcs20001", {"deviceKey": "dcs20002", "function": {"debounceMs": 98}})
        gw.send("zzz00001", {"deviceKey": "zzz00001", "function": {"debounceMs": 97}})
        gw.send_raw(gw.frame("local/gw7f0001/dcs20001", "{not json"))
        gw.send_raw(gw.frame("remote/x", '{"deviceKey":"dcs20001"}'))
        assert env.wait(lambda: "wrong gw7F msg" in harness.read_log(), 3)
        log = harness.read_log()
        assert log.count("dkey in topic and payload not pare!") == 2, log[-2000:]
        assert "not support this zzz00001 in dev list" in log
        assert c.read_holding_registers(1, 1, slave=5).registers == before
        # A short gateway key does not swallow the device key.
        short = env.FakeGateway.frame("local/gw1/dcs20001",
                                      '{"deviceKey":"dcs20001","function":{"debounceMs":55}}')
        gw.send_raw(short)
        assert env.wait(lambda: c.read_holding_registers(1, 1, slave=5).registers == [55], 3)
    finally:
        c.close()
        env.stop_all(svc)
        gw.close()


def test_reports_on_the_receive_thread_race_reads_of_the_same_registers():
    gw, svc = start()
    pairs = {(0x0001, 0xFFFF), (0x0002, 0x0000)}
    stop = time.monotonic() + 2.5
    sent = [0]

    def reporter():
        i = 0
        while time.monotonic() < stop:
            gw.send("mtr10001", {"deviceKey": "mtr10001",
                                 "function": {"activePower": 131071 + (i % 2)}})
            i += 1
            time.sleep(0.002)
        sent[0] = i

    def writer():
        w = env.client()
        try:
            k = 0
            while time.monotonic() < stop and k < 200:
                r = w.write_register(7, 100 + k % 5, slave=6)   # answered on the receive thread
                assert not r.isError() or r.exception_code == 6, r
                k += 1
        finally:
            w.close()

    c = env.client()
    try:
        race_body(c, reporter, writer, pairs, stop, sent)
    except Exception:
        err = svc.stderr()
        at = err.find("WARNING: ThreadSanitizer")
        if at >= 0:
            raise AssertionError("ThreadSanitizer:\n" + err[at:at + 6000])
        raise AssertionError("busrelay (exit %r) said at the end:\n%s"
                             % (svc.proc.poll(), err[-3000:]))
    finally:
        c.close()
        svc.stop()
        gw.close()
    err = svc.stderr()
    assert "ThreadSanitizer" not in err, err[err.find("WARNING: ThreadSanitizer"):][:6000]
    assert "quit main" in err


def race_body(c, reporter, writer, pairs, stop, sent):
    if True:
        threads = [threading.Thread(target=reporter), threading.Thread(target=writer)]
        for t in threads:
            t.start()
        torn = []
        reads = 0
        while time.monotonic() < stop and reads < 5000:
            regs = tuple(c.read_input_registers(3, 2, slave=6).registers)
            reads += 1
            if regs != (0, 0) and regs not in pairs:
                torn.append(regs)
        for t in threads:
            t.join(10)
        assert not torn, torn[:5]
        assert reads > 20 and sent[0] > 50, (reads, sent[0])
        assert tuple(c.read_input_registers(3, 2, slave=6).registers) in pairs


harness.run([
    test_online_and_alarm_bits_and_refused_messages,
    test_reports_on_the_receive_thread_race_reads_of_the_same_registers,
])
