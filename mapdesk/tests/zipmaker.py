"""Writes a zip with Python's own zipfile for the tool's package tests.
zipmaker.py OUT < RECIPE; RECIPE: {entries: [{name, data (base64), stored, mode
(octal), windows}], hide: name whose directory record is dropped (its data
stays), local_name: [name, other] (name's local header says other)}."""
import base64
import io
import json
import struct
import sys
import warnings
import zipfile


def build(recipe):
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are wanted here
        with zipfile.ZipFile(buf, "w") as z:
            for e in recipe["entries"]:
                info = zipfile.ZipInfo(e["name"], (2022, 9, 6, 0, 0, 0))
                info.compress_type = zipfile.ZIP_STORED if e.get("stored") else zipfile.ZIP_DEFLATED
                info.create_system = 0 if e.get("windows") else 3
                if not e.get("windows"):
                    info.external_attr = int(e.get("mode", "100755"), 8) << 16
                with z.open(info, "w") as f:
                    f.write(base64.b64decode(e.get("data", "")))
    data = bytearray(buf.getvalue())
    if recipe.get("local_name"):
        old, new = (n.encode() for n in recipe["local_name"])
        assert len(old) == len(new)
        at = data.index(b"PK\x03\x04")
        while True:
            n = struct.unpack_from("<H", data, at + 26)[0]
            if data[at + 30:at + 30 + n] == old:
                data[at + 30:at + 30 + n] = new
                break
            at = data.index(b"PK\x03\x04", at + 4)
    if recipe.get("hide"):
        data = hide(data, recipe["hide"].encode())
    return bytes(data)


def hide(data, name):
    """Drops name's central directory record and fixes the end record."""
    end = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    at, records = offset, []
    for _ in range(count):
        n, x, c = struct.unpack_from("<HHH", data, at + 28)
        rec = data[at:at + 46 + n + x + c]
        if rec[46:46 + n] != name:
            records.append(rec)
        at += len(rec)
    cd = b"".join(records)
    tail = bytearray(data[end:])
    struct.pack_into("<HHII", tail, 8, len(records), len(records), len(cd), offset)
    return data[:offset] + cd + tail


with open(sys.argv[1], "wb") as out:
    out.write(build(json.load(sys.stdin)))
