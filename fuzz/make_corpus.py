#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: real frames of every
device, laid out the way each fuzz target reads its input (see the comment at
the top of each target). Run from anywhere; existing seeds are replaced."""
import json
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def sum8(b):
    return sum(b) & 0xFF


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def be16(v):
    return struct.pack(">H", v & 0xFFFF)


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def le16(v):
    return struct.pack("<H", v & 0xFFFF)


def lef(x):
    return struct.pack("<f", x)


def bef(x):
    return struct.pack(">f", x)


# --- device frames ----------------------------------------------------------

def nano_answer(q=(0.5, 0.5, 0.5, 0.5), stars=11, rates=(5, -7, 9)):
    a = bytearray(64)
    a[0:2] = b"\x8A\xA1"
    for i, v in enumerate(q):
        a[4 + 4 * i:8 + 4 * i] = be32(int(v * 2147483647))
    a[35] = stars
    for i, r in enumerate(rates):
        a[45 + 2 * i:47 + 2 * i] = be16(r)
    a[63] = sum8(a[:63])
    return bytes(a)


def pico_answer(q0=0.75, stars=9):
    a = bytearray(256)
    a[0:3] = b"\xEB\x50\x22"
    a[16:20] = le32(int(q0 * 2147483647))
    a[4:8] = le32(int(0.25 * 2147483647))
    a[34] = (stars << 1) & 0xFF
    a[255] = sum8(a[:255])
    return bytes(a)


def rate_answer(length, counts=(1200, -3400, 56), times=(1000, 1000, 1000)):
    a = bytearray(length)
    a[0] = 0x97
    for i, at in enumerate((1, 6, 11)):
        a[at:at + 3] = (counts[i] & 0xFFFFFF).to_bytes(3, "big")
        a[at + 3:at + 5] = be16(times[i])
    a[-1] = sum8(a[:-1])
    return bytes(a)


def optical_answer(far=1499.25, near=50.75, az=-1830, pitch=912, cmds=1, tlm=12, sec=12, ms=345):
    f = bytearray(228)
    for i in range(2, 227):
        f[i] = (i * 13 + 5) & 0xFF
    f[0:2] = b"\xEB\x90"
    f[3:7] = bef(far)
    f[7:11] = bef(near)
    f[11:13] = be16(az)
    f[13:15] = be16(pitch)
    f[21] = cmds
    f[22] = tlm
    f[57:61] = be32(sec)
    f[61:63] = be16(ms)
    f[227] = sum8(f[2:227])
    return bytes(f)


def vision_answer():
    f = bytearray(170)
    f[0:3] = b"\xEB\x90\xF0"
    for i in range(3, 43):
        f[i] = (i * 7) & 0xFF
    f[43] = 3
    f[44] = 2
    f[45:49] = bef(187.25)
    f[49:53] = bef(19.5)
    recs = [(3, 1.5, -2.25), (2, 0.5, 0.75), (1, -3.0, 4.0), (3, 7.125, -8.5), (0, 0.0, 0.0), (3, -0.25, 9.75)]
    for i, (s, a, b) in enumerate(recs):
        f[59 + 9 * i] = s
        f[60 + 9 * i:64 + 9 * i] = bef(a)
        f[64 + 9 * i:68 + 9 * i] = bef(b)
    f[169] = sum8(f[2:169])
    return bytes(f)


def wheel_status(speed=183412, current=43, torque=8, hw=0x11):
    f = bytearray(19)
    f[0] = 0xFF
    f[1:5] = be32(speed)
    f[5:9] = be32(current)
    f[13:17] = be32(torque)
    f[17] = hw
    f[18] = sum8(f[1:17])
    return bytes(f)


def wheel_command(mode, v1, v2, hw):
    def enc(v):
        x = v * 1000.0
        if v < 0:
            x += 4294967296.0
        return be32(int(x))
    f = bytearray([mode]) + enc(v1) + enc(v2) + bytes([hw])
    return bytes(f + bytes([sum8(f)]))


# --- input layouts --------------------------------------------------------------

def plan(*sizes):
    return bytes([len(sizes)]) + bytes(sizes)


def message(payload, telemetry=False, label="command", src="Gnc_Service"):
    labels = {"command": 0, "Command": 1, "telemetry": 2}
    sources = {"Gnc_Service": 0, "Mag_Service": 1, "": 2}
    kind = (1 if telemetry else 0)
    extra = b""
    if label in labels:
        kind |= labels[label] << 1
    else:
        kind |= 3 << 1
        extra += bytes([len(label)]) + label.encode()
    if src in sources:
        kind |= sources[src] << 3
    else:
        kind |= 3 << 3
        extra += bytes([len(src)]) + src.encode()
    return bytes([kind]) + extra + bytes([len(payload)]) + bytes(payload)


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def config(target, name, obj):
    text = obj if isinstance(obj, str) else json.dumps(obj, indent=2)
    write(target, name, text.encode())


# --- the corpora ------------------------------------------------------------

def star():
    t = "star_handlers"
    write(t, "commands_open", b"\x01" + message([0, 1, 0, 0]) + message([0, 2, 4, 0]) + message([1, 3, 27, 0]) +
          message([0, 4, 12, 0x55]) + message([1, 8, 24, 7], label="Command"))
    write(t, "telemetry", b"\x00" + message([0, 1], telemetry=True) + message([1, 2], telemetry=True) +
          message([0, 9], telemetry=True, src="Other"))
    write(t, "short_and_odd", b"\x01" + message([0, 1, 33]) + message([1, 1, 33, 0]) + message([0, 1, 34, 0], label="x"))
    t = "star_exchange"
    write(t, "nano_good", b"\x00" + plan() + nano_answer())
    write(t, "nano_pieces", b"\x02" + plan(1, 7, 20, 3) + nano_answer(stars=4))
    write(t, "pico_good", b"\x01" + plan(64) + pico_answer())
    bad_sum = bytearray(nano_answer())
    bad_sum[63] ^= 0x01
    write(t, "nano_retry", b"\x0E" + plan(5, 11) + bytes(64) + bytes(bad_sum) + nano_answer(rates=(-1, 0, 32767)))
    t = "star_config"
    config(t, "example", {"star_sensors": [
        {"type": "nano", "device": "/dev/ttyS1", "baudrate": 115200, "star_num": 1},
        {"type": "nano", "device": "/dev/ttyS2", "baudrate": 115200, "star_num": 2},
        {"type": "pico", "device": "/dev/ttyS3", "baudrate": 921600, "star_num": 1}]})
    config(t, "mixed", {"star_sensors": [
        {"enabled": False, "device": "/dev/x"}, {"type": "other", "device": "/dev/y"},
        {"device": "/dev/z", "baudrate": "fast"}, {"type": "pico", "device": "/dev/w", "star_num": 300}, 7]})


def flywheel():
    t = "flywheel_handlers"
    cached = wheel_status() * 8
    cmds = (message([1, 0] + list(lef(200.0)) + list(lef(1.5))) +
            message([2, 1] + list(lef(-0.25)) + list(lef(0.0))) +
            message([3, 0] + list(lef(-400.5)) + list(lef(1e9))) +
            message([9, 0] + list(lef(1.0)) + list(lef(1.0))))
    tlm = message([1, 0xFF], telemetry=True) + message([3, 0xFF], telemetry=True) + \
        message([2, 0xFF], telemetry=True, label="telemetry")
    write(t, "open_lines", bytes([0x13]) + cached + cmds + tlm)
    write(t, "closed_lines", bytes([0x08]) + cached + cmds + tlm)
    t = "flywheel_exchange"
    frames = wheel_status() + wheel_status(-2000, 12, -5, 0x22) + wheel_status(600000, 1, 1, 0x99)
    write(t, "assembler_whole", b"\x00" + plan() + b"\x00" + frames)
    write(t, "assembler_pieces", b"\x00" + plan(1, 5, 19, 2) + b"\x02\x00\x78" + b"\x12\xFF\x00" + frames + b"\xFF\x01")
    write(t, "service_three", b"\x05" + plan(7, 3, 40) + b"\x00" + b"\xAA" + frames + frames[:10])
    write(t, "service_one", b"\x01" + plan() + b"\x00" + frames)
    t = "flywheel_config"
    config(t, "example", {"flywheels": [
        {"id": 0, "device": "/dev/ttyS4", "baudrate": 115200},
        {"id": 1, "device": "/dev/ttyS5", "baudrate": 115200, "hardware_id": 34},
        {"id": 2, "device": "/dev/ttyS6"}]})
    config(t, "odd", {"flywheels": [{"id": 9, "device": "/dev/a"}, {"device": "/dev/b"}, {"id": "x", "device": 1},
                                    {"id": -1, "device": "/dev/c", "hardware_id": 4096}]})


def optical():
    t = "optical_handlers"
    cmds = (message([0, 1, 0]) + message([0, 14]) + message([1, 2] + list(le32(0x12345678))) +
            message([1, 7] + list(le32(-5))) + message([2, 0] + list(le32(86461)) + list(le16(999))) +
            message([3, 0]) + message([0, 25]) + message([1]))
    tlm = message([0xFF], telemetry=True) + message([0xFF], telemetry=True, label="telemetry")
    write(t, "open_line", b"\x01" + cmds + tlm)
    write(t, "closed_line", b"\x00" + cmds + tlm)
    write(t, "reset_score", bytes([0x13]) + message([0, 14]) * 4 + tlm)
    t = "optical_exchange"
    write(t, "good", b"\x00" + plan() + optical_answer())
    write(t, "pieces", b"\x03" + plan(1, 100, 7) + optical_answer(far=-1.0, sec=0xFFFFFFFF))
    bad = bytearray(optical_answer())
    bad[227] ^= 0xFF
    write(t, "retry", b"\x00" + plan(228) + bytes(bad) + b"\x00" * 228 + optical_answer())
    write(t, "short", b"\x05" + plan() + optical_answer()[:100])
    write(t, "silent", b"\x09")
    t = "optical_config"
    config(t, "example", {"optical": {"device": "/dev/ttyS7", "baudrate": 115200}})
    config(t, "wrong_type", {"optical": {"device": "/dev/ttyS7", "baudrate": "115200"}})


def vision():
    t = "vision_handlers"
    cmds = (message([7] + list(lef(1.0)) + list(lef(0.0)) + list(lef(-0.5)) + list(lef(0.25)) + [1]) +
            message([8] + list(le32(1000)) + list(le16(250))) +
            message([1] + list(lef(3.7))) + message([6] + list(lef(1.5))) + message([9] + list(lef(2.0))) +
            message([12] + list(lef(-300.0))) + message([0]))
    tlm = message([0xFF], telemetry=True)
    write(t, "open_line", b"\x01" + cmds + tlm)
    write(t, "closed_line", b"\x00" + cmds + tlm)
    t = "vision_exchange"
    write(t, "good", b"\x00" + plan() + vision_answer())
    write(t, "pieces", b"\x00" + plan(3, 60, 1) + vision_answer() + vision_answer())
    bad = bytearray(vision_answer())
    bad[2] = 0x0F
    write(t, "bad_then_good", b"\x09" + plan() + bytes(bad) + vision_answer())
    t = "vision_config"
    config(t, "example", {"vision": {"device": "/dev/ttyS8", "baudrate": 115200}})


def rate(kind, length, fallback_key):
    t = kind + "_handlers"
    write(t, "requests", b"\x01\x02\x03\x04\x05" + message([0xFF], telemetry=True) + message([0x00], telemetry=True) +
          message([0xFF], telemetry=True, label="telemetry") + message([0xFF, 1, 2], telemetry=True, src="Gnc"))
    t = kind + "_exchange"
    write(t, "good", b"\x00" + plan() + rate_answer(length))
    write(t, "pieces", b"\x00" + plan(1, 2, 9) + rate_answer(length, (-8388608, 8388607, 0), (1, 65535, 7)))
    write(t, "zero_time", b"\x00" + plan() + rate_answer(length, times=(0, 1000, 1000)) + rate_answer(length))
    write(t, "reset_first", b"\x0A" + plan() + rate_answer(length) + rate_answer(length))
    bad = bytearray(rate_answer(length))
    bad[-1] ^= 0x10
    write(t, "bad_sum", b"\x03" + plan(4) + bytes(bad) + b"\x55" * length + rate_answer(length))
    t = kind + "_config"
    if kind == "gyro":
        config(t, "example", {"gyro": {"enabled": True, "device": "/dev/ttyS9", "baudrate": 115200}})
        config(t, "disabled", {"gyro": {"enabled": False}})
    else:
        config(t, "example", {"mems_sensor": {"device": "/dev/ttyS2", "baudrate": 115200}})
        config(t, "defaults", {"mems_sensor": {}})


def console():
    t = "console"
    star_rec = bytes([0, 1]) + b"".join(lef(x) for x in (0.998, 0.015, 0.03, 0.045, 1e-9, 2e-9, 3e-9)) + bytes([11]) + bytes(10)
    axes = lef(0.032) + lef(-0.45) + lef(0.43) + bytes([3, 0, 0, 0, 0, 1])
    wheel = bytes([1]) + lef(183.4) + lef(0.043) + lef(0.008)
    gnss = le32(1000) + b"".join(lef(x) for x in (1, 2, 3, 4, 5, 6)) + bytes([1, 1, 1, 1, 1])
    vis = bytes([3, 2]) + lef(187.25) + lef(19.5) + b"".join(bytes([3]) + lef(1.5) + lef(-2.25) for _ in range(6)) + \
        bytes([9, 0, 0, 0, 0, 1])
    opt = lef(1499.2) + lef(50.8) + le16(-1830) + le16(912) + bytes([1, 12]) + le32(12) + le16(345) + \
        bytes([1, 1, 1, 0, 0, 0, 0, 1])

    def msg(source, payload, telemetry=True, label=b"telemetry", raw_src=b""):
        kind = (1 if telemetry else 0) | (source << 1)
        out = bytes([kind])
        if source >= 8:
            out += bytes([len(raw_src)]) + raw_src
        return out + bytes([len(label)]) + label + bytes([len(payload)]) + payload

    blocks = (msg(0, star_rec) + msg(1, axes) + msg(2, axes) + msg(3, wheel) + msg(4, gnss) + msg(5, vis) +
              msg(6, opt))
    write(t, "every_block", blocks)
    write(t, "short_records", msg(0, star_rec[:30]) + msg(5, vis[:69]) + msg(6, b""))
    write(t, "unknown_and_echo", msg(8, b"\x01\x02", raw_src=b"Gnss_Service") + msg(7, b"\xFF") +
          msg(9, b"\x00\x01\xFF", telemetry=False, label=b"command", raw_src=b"Someone"))


def sim():
    t = "sim_framers"
    star_cmds = bytes([0x74, 0xA1, 0, 0, 0x15]) + bytes([0x74, 0xA3, 1, 2, 3, 4, 5]) + bytes([sum8(b"\x74\xA3\x01\x02\x03\x04\x05")])
    write(t, "star", b"\x00" + plan(2, 3) + b"\x11" + star_cmds + bytes([0x74, 0xA0, 0, 0, 0]))
    write(t, "wheel", b"\x01" + plan(4) + wheel_command(0x58, 200.0, 1.5, 0x11) + b"\x58\x00" +
          wheel_command(0x59, -1.25, 0.0, 0x22))
    write(t, "rate", b"\x02" + plan(1) + b"\x55\x68\x00\x55\x55\x68\x68\x55")
    opt = bytes([0xCD, 0x90, 0x06, 0x00, 0xFF])
    param = bytearray([0xEB, 0x90, 0x02]) + be32(0x12345678)
    param += bytes([sum8(param)])
    tm = bytearray([0xEB, 0x90, 0x0D]) + be32(1000) + be16(250)
    tm += bytes([sum8(tm)])
    write(t, "optical", b"\x03" + plan(3, 1) + b"\xEB" + opt + bytes(param) + b"\xCD\x90" + bytes(tm))
    query = bytes([0xEB, 0x90, 0x0F, 0x00, 0x01, 0xA5, 0xB5])
    body = bytes([6, 6]) + bef(1.5)
    cmd = bytearray([0xEB, 0x90, 0x1E, 0x00, len(body)]) + body
    cmd += bytes([sum8(cmd[2:])])
    write(t, "vision", b"\x04" + plan(5, 2) + query + b"\xEB\x90" + bytes(cmd) + query[:4])


def nested_extra(obj, depth=150):
    """The configuration with a deeply nested value under a key the service
    does not read: parser coverage for nesting."""
    text = json.dumps(obj)
    return text[:-1] + ', "notes": ' + "[" * depth + "]" * depth + "}"


def nesting_seeds():
    for target, obj in (("star_config", {"star_sensors": [{"device": "/dev/ttyS1"}]}),
                        ("flywheel_config", {"flywheels": [{"id": 0, "device": "/dev/ttyS4"}]}),
                        ("optical_config", {"optical": {"device": "/dev/ttyS7", "baudrate": 115200}}),
                        ("vision_config", {"vision": {"device": "/dev/ttyS8", "baudrate": 115200}}),
                        ("gyro_config", {"gyro": {"device": "/dev/ttyS9"}}),
                        ("mems_config", {"mems_sensor": {"device": "/dev/ttyS2"}})):
        config(target, "nested_notes", nested_extra(obj))


def main():
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    star()
    flywheel()
    optical()
    vision()
    rate("gyro", 27, "gyro")
    rate("mems", 44, "mems_sensor")
    console()
    sim()
    nesting_seeds()
    for t in sorted(os.listdir(CORPUS)):
        print(t, len(os.listdir(os.path.join(CORPUS, t))))


if __name__ == "__main__":
    main()
