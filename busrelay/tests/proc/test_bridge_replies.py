"""Every reply reaches the request it answers: a gateway answer meant for a
client that left never completes the request of the client that got its
socket back; a request refused as busy was never sent to the gateway; and
five large bridged replies that arrive in one burst all reach their client,
in order. The gateway is a test peer that holds its answers until told."""
# labels: threads
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.enter_namespace()
import bridge_env as env  # noqa: E402

EXC = 0x80


def exception(fc, code):
    return bytes([fc | EXC, code])


def test_answer_for_a_departed_client_never_completes_the_next_clients_request():
    gw = env.FakeGateway(hold=True)
    svc = env.start_busrelay()
    a = b = None
    try:
        a = env.Raw()
        a.send(1, 3, env.write_single(3, 300))
        (cmd_a,) = gw.wait_commands(1)
        a.close()
        assert env.wait(lambda: env.log_count(r"dropped, client gone") == 1, 3), \
            harness.read_log()[-2000:]

        # Same socket number, same transaction id, same register.
        b = env.Raw()
        b.send(1, 3, env.write_single(3, 200))
        cmd_b = gw.wait_commands(2)[1]
        def fds():
            return re.findall(r"new connect from 127\.0\.0\.1:\d+,fd=(\d+)", harness.read_log())
        assert env.wait(lambda: len(fds()) == 2, 3), fds()
        assert fds()[0] == fds()[1], fds()
        assert re.fullmatch(r"\d+-3-6-1", cmd_a["sno"]) and re.fullmatch(r"\d+-3-6-1", cmd_b["sno"])
        assert cmd_a["sno"] != cmd_b["sno"], (cmd_a, cmd_b)

        # The answer to A's write comes first and succeeds, then B's is refused:
        # B must hear the refusal, never a success echo of its write.
        gw.answer(cmd_a, 0)
        gw.answer(cmd_b, 7)
        assert b.reply(3) == (1, 3, exception(6, 3))
        assert b.reply(0.3) is None
    finally:
        for c in (a, b):
            if c is not None:
                c.close()
        env.stop_all(svc)
        gw.close()


def test_busy_means_the_gateway_was_not_asked():
    gw = env.FakeGateway(hold=True)
    svc = env.start_busrelay()
    c = None
    try:
        c = env.Raw()
        for tid in range(1, 5):
            c.send(tid, 3, env.write_single(3, 200 + tid))
        gw.wait_commands(4)
        c.send(3, 3, env.write_single(3, 203))  # a retransmission of a waiting one
        assert c.reply() == (3, 3, exception(6, 6))
        assert env.wait(lambda: env.log_count(
            r"allready has this mb request csft=\d+-3-6-3, refresh") == 1, 2)
        c.send(5, 3, env.write_single(3, 205))
        held = gw.wait_commands(5)
        c.send(6, 3, env.write_single(3, 206))  # a sixth
        assert c.reply() == (6, 3, exception(6, 6))

        for cmd in held:
            gw.answer(cmd)
        for tid in range(1, 6):
            assert c.reply(3) == (tid, 3, env.write_single(3, 200 + tid)), tid

        # Whatever was sent before the next command went ahead of it on the
        # link: the gateway saw the five and this one, nothing else.
        c.send(7, 3, env.write_single(3, 207))
        cmd = gw.wait_commands(6)[5]
        gw.answer(cmd)
        assert c.reply(3) == (7, 3, env.write_single(3, 207))
        tids = [cmd["sno"].rsplit("-", 1)[1] for cmd in gw.commands]
        assert tids == ["1", "2", "3", "4", "5", "7"], gw.commands
    finally:
        if c is not None:
            c.close()
        env.stop_all(svc)
        gw.close()


def test_a_command_that_cannot_be_sent_leaves_nothing_waiting():
    svc = env.start_busrelay(wait_link=False)
    c = None
    try:
        c = env.Raw()
        for _ in range(2):  # the same request twice: not a retransmission of a waiting one
            c.send(9, 3, env.write_single(3, 210))
            assert c.reply() == (9, 3, exception(6, 6))
        assert env.wait(lambda: env.log_count(r"csft=\d+-3-6-9 withdrawn, command not sent") == 2, 2), \
            harness.read_log()[-2000:]
        assert env.log_count(r"allready has") == 0
    finally:
        if c is not None:
            c.close()
        env.stop_all(svc)


# Unit 60: 125 holding registers, one node ("v") at register 1.
BIG_DESC = {
    "nodes": [{"identifier": "v", "accessMode": "rw", "desc": "function",
               "dataType": {"type": "double", "specs": {"min": 0, "max": 65535, "step": 1}},
               "originalDataType": {"type": "uint16",
                                    "specs": {"registerCount": 1, "reverseRegister": 0, "swap16": 0}},
               "registerAddress": 40001, "scaling": 1, "operateType": "holdingRegister"}],
    "profile": {"productKey": "big125", "snType": ["99000000160"]},
    "mb_map": {"nb_registers": 125, "start_registers": 1},
}


def workdir_with_big_unit():
    wd = env.sample_workdir()
    with open(os.path.join(wd, "descJson", "big125.json"), "w") as f:
        json.dump(BIG_DESC, f)
    path = os.path.join(wd, "map.json")
    with open(path) as f:
        doc = json.load(f)
    doc["nodes"].insert(0, {"mb_id": 60, "mqtt_dk": "big60001", "sntype": "99000000160"})
    with open(path, "w") as f:
        json.dump(doc, f)
    return wd


def test_five_large_replies_in_one_burst_all_arrive_in_order():
    gw = env.FakeGateway(hold=True)
    svc = env.start_busrelay(wd=workdir_with_big_unit())
    c = None
    try:
        c = env.Raw()
        for tid in range(1, 6):
            c.send(tid, 60, env.read_holding(1001, 125))
        held = gw.wait_commands(5)
        # All five answers in one write: each stores its own value first.
        burst = b"".join(
            gw.frame("local/%s/big60001" % gw.key,
                     json.dumps(gw.answer_payload(cmd, 0, function={"v": 1000 + i})))
            for i, cmd in enumerate(held, start=1))
        gw.send_raw(burst)
        for tid in range(1, 6):
            rep = c.reply(3)
            assert rep is not None, "reply %d of 5 lost\n%s" % (tid, harness.read_log()[-3000:])
            got_tid, unit, pdu = rep
            assert (got_tid, unit, pdu[0], pdu[1], len(pdu)) == (tid, 60, 3, 250, 252), rep[:2]
            assert pdu[2:4] == (1000 + tid).to_bytes(2, "big"), pdu[2:4]
        assert env.log_count(r"cache snd failed") == 0
    finally:
        if c is not None:
            c.close()
        env.stop_all(svc)
        gw.close()


harness.run([
    test_answer_for_a_departed_client_never_completes_the_next_clients_request,
    test_busy_means_the_gateway_was_not_asked,
    test_a_command_that_cannot_be_sent_leaves_nothing_waiting,
    test_five_large_replies_in_one_burst_all_arrive_in_order,
])
