"""gwsim's default device file matches the service's sample configuration:
every device key of the sample map.json, its product code and product type,
and the data points of its description. Skipped while the tree has no sample
(SAMPLE_DIR may point at another copy)."""
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SAMPLE = os.environ.get("SAMPLE_DIR",
                        os.path.join(harness.SOURCE_DIR, "busrelay", "sample"))
DEVICES = os.path.join(harness.SOURCE_DIR, "tools", "gwsim", "devices.json")


def load_json_with_line_comments(path):
    with open(path, encoding="utf-8") as f:
        text = "".join(line for line in f if not line.lstrip().startswith("//"))
    return json.loads(text)


def sim_file():
    return load_json_with_line_comments(DEVICES)


def sample_nodes():
    return json.load(open(os.path.join(SAMPLE, "map.json"), encoding="utf-8"))["nodes"]


def description(devtype):
    path = os.path.join(SAMPLE, "descJson", devtype + ".json")
    return json.load(open(path, encoding="utf-8"))


def walk(state, parts):
    for p in parts:
        if not isinstance(state, dict) or p not in state:
            return None
        state = state[p]
    return state


def test_every_sample_device_key_is_simulated_with_its_product():
    sim = sim_file()
    devices = {d["deviceKey"]: d for d in sim["devices"]}
    for node in sample_nodes():
        key = node["mqtt_dk"]
        if node["devtype"] == "gateway":
            assert sim["gateway"]["deviceKey"] == key, (key, sim["gateway"])
            assert sim["gateway"]["sn"][:11] == node["sntype"]
            continue
        assert key in devices, "sample device %s missing from gwsim's devices.json" % key
        assert devices[key]["sn"][:11] == node["sntype"], (key, devices[key]["sn"])
        assert devices[key]["productKey"] == node["devtype"], key


def test_every_data_point_of_the_descriptions_has_a_simulated_value():
    sim = sim_file()
    devices = {d["deviceKey"]: d for d in sim["devices"]}
    missing = []
    for node in sample_nodes():
        if node["devtype"] == "gateway":
            continue
        state = devices[node["mqtt_dk"]]["state"]
        for dn in description(node["devtype"])["nodes"]:
            path = [p for p in dn.get("desc", "").split("/") if p]
            ident = dn["identifier"]
            if dn.get("collection"):
                key, _, member = ident.split("/")
                arr = walk(state, path)
                if not isinstance(arr, list) or not any(member in e for e in arr):
                    missing.append("%s %s[]/%s" % (node["mqtt_dk"], "/".join(path), member))
                continue
            count = dn.get("multiRegNums", 1) if dn.get("isMultiReg") else 1
            names = [ident.replace("%d", str(i)) for i in range(count)] if "%d" in ident \
                else [ident]
            for name in names:
                if walk(state, path + [name]) is None:
                    missing.append("%s %s" % (node["mqtt_dk"], "/".join(path + [name])))
    assert not missing, "no simulated value for: " + ", ".join(missing)


if not os.path.exists(os.path.join(SAMPLE, "map.json")):
    print("SKIP: no sample configuration at " + SAMPLE)
    sys.exit(77)

harness.run([
    test_every_sample_device_key_is_simulated_with_its_product,
    test_every_data_point_of_the_descriptions_has_a_simulated_value,
])
