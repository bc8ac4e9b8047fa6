"""`busrelay --points` against the running service: the point list of the
sample configuration is what busrelay really serves. Every listed readable
point answers a read at its address (and its direct address), every listed
writable point takes a write that reaches gwsim, unlisted neighbours are
refused with exception 2, and the list itself is quiet (no port, no link,
no /tmp/mb.log), names refused map entries and survives CSV quoting."""
import csv
import io
import json
import os
import re
import shutil
import socket
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.enter_namespace()
import bridge_env as env  # noqa: E402

BOM = b"\xef\xbb\xbf"


def points(args, cwd=None):
    return subprocess.run([harness.program("busrelay")] + args, cwd=cwd, capture_output=True,
                          timeout=20)


def csv_rows(data):
    assert data.startswith(BOM), data[:20]
    text = data[len(BOM):].decode("utf-8")
    return list(csv.DictReader(io.StringIO(text, newline="")))


def sample_rows():
    r = points(["--points", env.SAMPLE])
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    return csv_rows(r.stdout)


def port_open(port):
    s = socket.socket()
    s.settimeout(0.5)
    try:
        return s.connect_ex(("127.0.0.1", port)) == 0
    finally:
        s.close()


def test_point_list_runs_quietly_and_prints_both_formats():
    for path in ("/tmp/mb.log",):
        if os.path.exists(path):
            os.unlink(path)
    wd = env.sample_workdir()
    r = points(["--points"], cwd=wd)  # default: the working directory
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    assert not os.path.exists("/tmp/mb.log"), "the point list wrote the service's log"
    assert not port_open(502)
    # The loaders' own progress lines go to stderr, never into the list.
    assert b"----------find" in r.stderr and b"----------find" not in r.stdout
    rows = csv_rows(r.stdout)
    assert r.stdout.count(b"\r\n") == len(rows) + 1
    assert rows == sample_rows()

    j = points(["--points", "--format", "json", wd])
    assert j.returncode == 0
    objs = json.loads(j.stdout.decode("utf-8"))
    assert len(objs) == len(rows)
    for o, c in zip(objs, rows):
        assert set(o) == set(c), set(o) ^ set(c)
        for k, v in o.items():
            assert ("" if v is None else str(v)) == c[k], (k, v, c[k])

    for bad in (["--bogus"], ["--points", "--format", "xml"], ["--points", "a", "b"],
                ["--points", os.path.join(wd, "missing")], ["--format", "csv"]):
        b = points(bad, cwd=wd)
        assert b.returncode == 2, (bad, b.returncode)
        assert b.stdout == b"" and b"usage:" in b.stderr, bad


def read(c, fc, address, count, unit):
    if fc == "1":
        return c.read_coils(address, count, slave=unit)
    if fc == "2":
        return c.read_discrete_inputs(address, count, slave=unit)
    if fc == "3":
        return c.read_holding_registers(address, count, slave=unit)
    return c.read_input_registers(address, count, slave=unit)


def write_values(row):
    """Register values for a write the point accepts: its minimum, a date, a time."""
    kind = row["register_type"]
    if kind == "date":
        return [0x1609, 0x0600]
    if kind == "time":
        return [0x0805, 0x0000]
    v = int(float(row["min"])) if row["min"] else 0
    if int(row["register_count"]) == 2:
        v &= 0xFFFFFFFF
        return [v >> 16, v & 0xFFFF]
    return [v & 0xFFFF]


def write(c, row, address, unit):
    if row["table"] == "coil":
        return c.write_coil(address, True, slave=unit)
    values = write_values(row)
    if row["write_fc"] == "16":
        return c.write_registers(address, values, slave=unit)
    return c.write_register(address, values[0], slave=unit)


def exception_code(result):
    return getattr(result, "exception_code", None) if result.isError() else None


def description_tables(desc_dir):
    """Table ranges per product key, from the descriptions: the register maps
    the service builds (the gateway's input registers always cover 1-547, its
    health block and the data ages)."""
    out = {}
    for name in os.listdir(desc_dir):
        with open(os.path.join(desc_dir, name), encoding="utf-8") as f:
            d = json.load(f)
        m = d["mb_map"]
        out[d["profile"]["productKey"]] = {
            "coil": (m.get("start_bits", 0), m.get("nb_bits", 0)),
            "discrete input": (m.get("start_input_bits", 0), m.get("nb_input_bits", 0)),
            "input register": (m.get("start_input_registers", 0), m.get("nb_input_registers", 0)),
            "holding register": (m.get("start_registers", 0), m.get("nb_registers", 0)),
        }
        if d["profile"]["productKey"] == "gateway":
            start, nb = out["gateway"]["input register"]
            last = max(start + nb - 1, 547) if nb else 547
            start = min(start, 1) if nb else 1
            out["gateway"]["input register"] = (start, last - start + 1)
    return out


def check_served(rows, c, sim, desc_dir):
    """Reads and writes every listed point through the running service; returns
    (failures, counts). RTU units get reads only: nothing answers their writes."""
    failures = []
    counts = {"reads": 0, "direct": 0, "writes": 0, "refused": 0}
    listed = {}
    writable = set()
    for r in rows:
        if r["error"] or not r["table"]:
            continue
        unit = int(r["unit"])
        count = int(r["register_count"])
        if r["address"]:
            listed.setdefault((unit, r["table"]), set()).update(
                range(int(r["address"]), int(r["address"]) + count))
            if "W" in r["access"]:
                writable.add((unit, r["table"], int(r["address"])))
        if "R" in r["access"]:
            targets = ([int(r["address"])] if r["address"] else []) + \
                      ([int(r["direct_address"])] if r["direct_address"] else [])
            for address in targets:
                res = read(c, r["read_fc"], address, count, unit)
                if res.isError():
                    failures.append("read %d/%s %d: %s" % (unit, r["identifier"], address, res))
                else:
                    got = len(res.registers) if r["read_fc"] in "34" else len(res.bits)
                    if got < count:
                        failures.append("short read %s" % r["identifier"])
                counts["direct" if address > 1000 else "reads"] += 1
        m = re.search(r"direct read together with the slot's addresses: from (\d+), (\d+) "
                      r"registers", r["note"])
        if m:
            res = read(c, "4", int(m.group(1)), int(m.group(2)), unit)
            if res.isError():
                failures.append("block read %d/%s: %s" % (unit, r["identifier"], res))
            counts["direct"] += 1
        if "W" in r["access"]:
            address = int(r["address"]) if r["address"] else int(r["direct_address"])
            res = write(c, r, address, unit)
            member = r["identifier"].split("/")[-1]
            if res.isError():
                failures.append("write %d/%s: %s" % (unit, r["identifier"], res))
            elif not env.wait(lambda m=member: '"%s":' % m in sim.stdout(), 2):
                failures.append("write %s never reached gwsim" % r["identifier"])
            counts["writes"] += 1

    rtu = {int(r["unit"]) for r in rows if r["device_key"] == "standardRtu"}
    # Listed without W in a writable table: a single write is refused.
    for r in rows:
        unit = int(r["unit"]) if r["unit"] else -1
        if r["error"] or unit in rtu or not r["address"] or "W" in r["access"]:
            continue
        if r["table"] not in ("coil", "holding register") or r["register_count"] != "1":
            continue
        if (unit, r["table"], int(r["address"])) in writable:
            continue  # another node at this address takes the write
        a = int(r["address"])
        w = c.write_coil(a, True, slave=unit) if r["table"] == "coil" else \
            c.write_register(a, 1, slave=unit)
        if not w.isError():
            failures.append("write to read-only %d/%s accepted" % (unit, r["identifier"]))
        counts["refused"] += 1

    # Neighbours: a single write to an unlisted coil or holding register next
    # to a listed one is refused (no node), and a read of an unlisted address
    # next to a listed one is refused where it leaves the unit's table.
    tables = description_tables(desc_dir)
    product = {int(r["unit"]): r["product_key"] for r in rows if r["unit"] and r["table"]}
    for (unit, table), addresses in sorted(listed.items()):
        start, nb = tables[product[unit]][table]
        fc = {"coil": "1", "discrete input": "2", "input register": "4",
              "holding register": "3"}[table]
        for a in sorted({a - 1 for a in addresses} | {a + 1 for a in addresses}):
            if a in addresses or a < 0 or a > 1000:
                continue
            res = read(c, fc, a, 1, unit)
            outside = not (start <= a < start + nb)
            if outside and exception_code(res) != 2:
                failures.append("read of unlisted %d/%s %d: %s" % (unit, table, a, res))
            if not outside and res.isError():
                failures.append("read inside the table %d/%s %d: %s" % (unit, table, a, res))
            if table in ("coil", "holding register") and unit not in rtu:
                w = c.write_coil(a, True, slave=unit) if table == "coil" else \
                    c.write_register(a, 1, slave=unit)
                if exception_code(w) != 2:
                    failures.append("write of unlisted %d/%s %d: %s" % (unit, table, a, w))
            counts["refused"] += 1
    return failures, counts


def test_every_listed_point_is_served_and_neighbours_are_refused():
    rows = sample_rows()
    assert rows and not [r for r in rows if r["error"]]
    units = sorted({int(r["unit"]) for r in rows})
    assert units == [1, 2, 3, 4, 5, 6, 7, 8, 255], units
    # Unit 255's health counters (two registers each from 101) and one data
    # age per mapped unit (300 + unit) are listed, and read below like the rest.
    health = {r["identifier"]: r for r in rows if r["unit"] == "255"}
    counters = [health[k] for k in sorted(health) if k.startswith("health/")]
    assert sorted(int(r["address"]) for r in counters) == list(range(101, 145, 2)), counters
    assert all(r["register_count"] == "2" and r["read_fc"] == "4" and r["access"] == "R" and
               not r["direct_address"] for r in counters)
    assert health["health/answered"]["address"] == "103"
    assert health["health/read_only_writes_refused"]["number"] == "30144"
    assert [health["age/%d" % u]["address"] for u in range(1, 9)] == \
        [str(300 + u) for u in range(1, 9)]
    assert "age/9" not in health and "age/255" not in health

    sim = env.start_gwsim("-r", "0")
    svc = env.start_busrelay()
    c = env.client()
    try:
        failures, n = check_served(rows, c, sim, os.path.join(env.SAMPLE, "descJson"))
        # A unit that is not in the list at all.
        assert exception_code(c.read_holding_registers(1, 1, slave=9)) == 2
        assert not failures, "\n".join(failures[:40])
        assert n["reads"] >= 100 and n["direct"] >= 90 and n["writes"] >= 30 and \
            n["refused"] >= 20, n
    finally:
        c.close()
        env.stop_all(svc, sim)


def probe_node(ident, access, op, reg, dtype, otype, count=1, **extra):
    node = {"identifier": ident, "accessMode": access, "desc": "function", "collection": False,
            "dataType": dtype, "registerAddress": reg, "scaling": extra.pop("scaling", 1),
            "operateType": op,
            "originalDataType": {"type": otype, "specs": dict(
                {"registerCount": count, "reverseRegister": 0, "swap16": 0}, **extra)}}
    return node


def tricky_config():
    """A configuration with the awkward cases: a register above 1000, an enum
    whose register range starts at 1, a read-only holding register, two bits
    in one coil node, a signal bit, a node outside its table, two nodes at one
    address, an RTU entry, an unknown product and the highest slave unit."""
    dbl = {"type": "double", "specs": {"min": 0, "max": 1000, "step": 1}}
    desc = {
        "nodes": [
            probe_node("level", "rw", "holdingRegister", 40001, dbl, "uint16", scaling=10),
            probe_node("modeB", "rw", "holdingRegister", 40002,
                       {"type": "enum", "specs": ["a", "b", "c"]}, "enum", min=1, max=3, step=1),
            probe_node("ro", "r", "holdingRegister", 40003, dbl, "uint16"),
            probe_node("idx", "rw", "holdingRegister", 40010, dbl, "uint16"),
            probe_node("idx2", "r", "holdingRegister", 40010, dbl, "uint16"),
            probe_node("far", "rw", "holdingRegister", 41500, dbl, "uint16"),
            probe_node("gone", "rw", "holdingRegister", 45000, dbl, "uint16"),
            probe_node("pair", "rw", "coilStatus", 1, {"type": "bool"}, "bool", count=2),
            probe_node("tick", "r", "inputStatus", 10001, dbl, "signal"),
        ],
        "profile": {"productKey": "probe", "snType": ["11100000001"]},
        "mb_map": {"nb_bits": 2, "start_bits": 1, "nb_input_bits": 1, "start_input_bits": 1,
                   "nb_registers": 1600, "start_registers": 1},
    }
    wd = harness.workdir("tricky")
    os.makedirs(os.path.join(wd, "descJson"))
    shutil.copy(os.path.join(env.SAMPLE, "descJson", "gateway.json"),
                os.path.join(wd, "descJson", "gateway.json"))
    with open(os.path.join(wd, "descJson", "probe.json"), "w") as f:
        json.dump(desc, f)
    with open(os.path.join(wd, "map.json"), "w", encoding="utf-8") as f:
        json.dump({"nodes": [
            {"mb_id": 247, "mqtt_dk": "prb00001", "sntype": "11100000001", "name": "探头"},
            {"mb_id": 9, "rtutype": "11100000001"},
            {"mb_id": 12, "mqtt_dk": "unk00012", "sntype": "11199999999"},
            {"mb_id": 255, "mqtt_dk": "gw7f0001", "sntype": "99000000002"}]}, f,
            ensure_ascii=False)
    devices = os.path.join(wd, "gwsim-devices.json")
    with open(devices, "w") as f:
        json.dump({"gateway": {"deviceKey": "gw7f0001", "sn": "99000000002GW001",
                               "softwareVersion": "V2.1.0-sim"},
                   "elementKeys": [],
                   "devices": [{"aid": 1, "deviceKey": "prb00001", "sn": "11100000001A0001",
                                "productKey": "probe",
                                "state": {"function": {"level": 12.5, "modeB": "b", "ro": 3,
                                                       "idx": 4, "idx2": 4, "far": 7,
                                                       "gone": 1, "pair": True, "tick": 1}},
                                "report": ["function"]}]}, f)
    return wd, devices


def test_awkward_configuration_is_listed_as_served():
    wd, devices = tricky_config()
    r = points(["--points", wd])
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    rows = csv_rows(r.stdout)
    by = {(row["unit"], row["identifier"]): row for row in rows}
    far = by[("247", "far")]
    assert far["address"] == "" and far["direct_address"] == "2500", far
    assert by[("247", "ro")]["access"] == "R"
    assert by[("247", "pair")]["access"] == "R" and by[("247", "pair")]["direct_address"] == ""
    assert by[("247", "tick")]["cleared_after_read"] == "yes"
    assert by[("247", "modeB")]["min"] == "1"
    assert by[("247", "modeB")]["values"] == "read: 0=a; 1=b; 2=c; write: 1=a; 2=b; 3=c"
    assert "outside" in by[("247", "gone")]["error"]
    assert "idx" in by[("247", "idx2")]["note"]
    assert all(row["access"] in ("R", "") for row in rows if row["unit"] == "9")
    assert [row for row in rows if row["unit"] == "12"][0]["error"]
    assert by[("255", "online/247")]["address"] == "247"
    assert by[("255", "alarm/247")]["address"] == "494"
    assert "stays 0" in by[("255", "online/9")]["note"]

    if os.path.exists("/tmp/mb.log"):
        os.unlink("/tmp/mb.log")
    # gwsim listens before busrelay's first search, or the link waits for the next one.
    sim = env.start_gwsim("-r", "0", "-d", devices)
    svc = harness.Proc([harness.program("busrelay")], cwd=wd, name="busrelay")
    assert svc.wait_for(env.LINK_UP, 8), svc.stderr()[-3000:]
    c = env.client()
    try:
        failures, n = check_served(rows, c, sim, os.path.join(wd, "descJson"))
        # The register above 1000 is not at its own address: 1500 is the
        # direct alias of 500, which has no node.
        assert not c.read_holding_registers(2500, 1, slave=247).isError()
        # The enum's two numberings, as the values column states them.
        assert not c.write_register(2, 3, slave=247).isError()
        assert env.wait(lambda: '"modeB":"c"' in sim.stdout(), 2)
        assert c.read_holding_registers(2, 1, slave=247).registers == [2]
        assert not failures, "\n".join(failures[:40])
        assert n["writes"] >= 4 and n["refused"] >= 3, n
    finally:
        c.close()
        env.stop_all(svc, sim)


def test_refused_entry_and_quoting_round_trip():
    wd = env.sample_workdir()
    with open(os.path.join(wd, "map.json"), encoding="utf-8") as f:
        m = json.load(f)
    name = '大堂空调, "东区"'
    m["nodes"][2]["name"] = name
    m["nodes"].append({"mb_id": 20, "mqtt_dk": "unk00020", "sntype": "98765432100",
                       "devtype": "fancoil", "name": "新风机"})
    with open(os.path.join(wd, "map.json"), "w", encoding="utf-8") as f:
        json.dump(m, f, ensure_ascii=False)
    rows = csv_rows(points(["--points", wd]).stdout)

    errors = [r for r in rows if r["error"]]
    assert len(errors) == 1, errors
    e = errors[0]
    assert e["unit"] == "20" and e["device_key"] == "unk00020" and e["device_name"] == "新风机"
    assert "98765432100" in e["error"] and "no description" in e["error"], e
    named = [r for r in rows if r["unit"] == "3"]
    assert named and all(r["device_name"] == name for r in named)
    # Raw form: the field is quoted and its quotes doubled.
    raw = points(["--points", wd]).stdout.decode("utf-8")
    assert '"大堂空调, ""东区"""' in raw

    j = json.loads(points(["--points", "--format", "json", wd]).stdout.decode("utf-8"))
    assert [o["device_name"] for o in j if o["unit"] == 3][0] == name
    assert [o for o in j if o["error"]][0]["unit"] == 20


def test_vrv_rows_name_slot_and_addresses():
    rows = [r for r in sample_rows() if r["unit"] == "7"]
    slots = {(r["slot"], r["indoor_addr"], r["outdoor_addr"]) for r in rows}
    assert slots == {("0", "1", "1"), ("1", "2", "1"), ("2", "3", "1"), ("3", "4", "1"),
                     ("5", "3", "2"), ("6", "4", "2")}, slots
    temp = [r for r in rows if r["identifier"] == "slave_index/5/return_air_temperature"][0]
    assert temp["address"] == "56" and temp["number"] == "30057" and temp["scaling"] == "10"
    mode = [r for r in rows if r["identifier"] == "slave_index/5/slave_mode"][0]
    assert mode["address"] == "51" and mode["access"] == "RW"
    assert mode["values"].startswith("0=unkonwn; 1=cold; 2=heat")


def test_allow_list_is_stated_before_the_units():
    wd = env.sample_workdir()
    plain = csv_rows(points(["--points", wd]).stdout)
    path = os.path.join(wd, "mbacl.json")
    with open(path, "w") as f:
        f.write('{"allow": ["192.168.1.10", "10.0.0.9/24"]}')
    rows = csv_rows(points(["--points", wd]).stdout)
    assert rows[1:] == plain, "the allow-list changed the points"
    assert rows[0]["unit"] == "" and rows[0]["error"] == "", rows[0]
    assert rows[0]["note"] == (path + ": Modbus clients accepted only from 192.168.1.10, "
                               "10.0.0.0/24"), rows[0]
    with open(path, "w") as f:
        f.write('{"allow": ["192.168.1.10" "10.0.0.0/24"]}')
    r = points(["--points", wd])
    assert r.returncode == 0 and b"mbacl.json refused" in r.stderr
    rows = csv_rows(r.stdout)
    assert rows[1:] == plain
    assert rows[0]["error"].startswith(path + ": refused (not JSON"), rows[0]
    assert rows[0]["error"].endswith("): Modbus clients accepted from any address"), rows[0]


if __name__ == "__main__":
    harness.run([
        test_point_list_runs_quietly_and_prints_both_formats,
        test_every_listed_point_is_served_and_neighbours_are_refused,
        test_awkward_configuration_is_listed_as_served,
        test_refused_entry_and_quoting_round_trip,
        test_vrv_rows_name_slot_and_addresses,
        test_allow_list_is_stated_before_the_units,
    ])
