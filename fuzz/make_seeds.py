#!/usr/bin/env python3
"""Writes the seed corpora, corpus/<harness>/<name>, from the cases below.

Each harness reads a first byte of variations and then its payload; the
layouts are described at the top of each harness. Run from anywhere:
    python3 fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
VNI = 42
BCAST = b"\xff" * 6
GROUP_MAC = bytes([0x01, 0x00, 0x5E, 0x00, 0x00, 0x01])
MAC_A = bytes([2, 0, 0, 0, 0, 0x0A])
MAC_B = bytes([2, 0, 0, 0, 0, 0x0B])
KRIX_MAGIC = 0x4B524958


def frame(dst, src, length=60):
    body = dst + src + b"\x08\x00"
    return (body + bytes(i * 7 & 0xFF for i in range(length)))[:length]


def vxlan(flags=0x08, vni=VNI):
    return bytes([flags, 0, 0, 0, vni >> 16 & 0xFF, vni >> 8 & 0xFF, vni & 0xFF, 0])


def hello(port=0, version=1, magic=KRIX_MAGIC, descr=b"fuzz", group=b""):
    return struct.pack("<IIiiI32s64s", magic, version, port, 1234, 0o700, group, descr)


def record(data):
    return struct.pack("<H", len(data)) + data


def reply(error=0, port=3, magic=KRIX_MAGIC):
    return struct.pack("<Iii", magic, error, port)


SEEDS = {
    "fuzz_datagram": {
        "broadcast": b"\x00" + vxlan() + frame(BCAST, MAC_A),
        "to_switch": b"\x04" + vxlan() + frame(MAC_B, MAC_A),
        "unknown": b"\x01" + vxlan() + frame(MAC_B, MAC_A),
        "group_mac": b"\x12" + vxlan() + frame(GROUP_MAC, MAC_B),
        "bad_flags": b"\x00" + vxlan(flags=0x0C) + frame(BCAST, MAC_A),
        "bad_vni": b"\x00" + vxlan(vni=43) + frame(BCAST, MAC_A),
        "short": b"\x00" + vxlan() + MAC_B,
        "empty": b"\x00",
        "longest": b"\x34" + vxlan() + frame(BCAST, MAC_B, 1600),
    },
    "fuzz_frame": {
        "broadcast": b"\x00" + frame(BCAST, MAC_A),
        "unknown": b"\x00" + frame(MAC_B, MAC_A),
        "to_peer": b"\x01" + frame(MAC_B, MAC_A),
        "to_switch": b"\x02" + frame(MAC_B, MAC_A),
        "to_self": b"\x00" + frame(MAC_A, MAC_A),
        "group_mac": b"\x30" + frame(GROUP_MAC, MAC_A),
        "short": b"\x00" + MAC_B + MAC_A[:3],
        "empty": b"\x00",
        "longest": b"\x01" + frame(MAC_B, MAC_A, 1526),
        "too_long": b"\x00" + frame(BCAST, MAC_A, 1600),
    },
    "fuzz_switch_ctl": {
        "attach_and_frames": b"\x01" + record(hello()) + record(frame(BCAST, MAC_A))
        + record(frame(MAC_B, MAC_A)) + record(frame(MAC_A, MAC_B)) + record(frame(GROUP_MAC, MAC_A)),
        "port_taken": b"\x01" + record(hello(port=1)),
        "port_range": b"\x00" + record(hello(port=9)),
        "port_negative": b"\x00" + record(hello(port=-1)),
        "version": b"\x00" + record(hello(version=2)),
        "magic": b"\x00" + record(hello(magic=0)),
        "short_hello": b"\x00" + record(hello()[:10]),
        "long_hello": b"\x00" + record(hello() + b"\x00" * 8),
        "empty_hello": b"\x00" + record(b""),
        "hang_up": b"\x03" + record(hello(port=2)) + record(frame(MAC_B, MAC_A)) + record(b"")
        + record(frame(BCAST, MAC_A)),
        "ctl_chatter": b"\x05" + record(hello(descr=b"\x1bname\xff" * 10, group=b"g" * 32)),
        "frame_sizes": b"\x01" + record(hello()) + record(frame(BCAST, MAC_A, 13))
        + record(frame(BCAST, MAC_A, 14)) + record(frame(BCAST, MAC_A, 1526))
        + record(frame(BCAST, MAC_A, 1527)) + record(frame(BCAST, MAC_A, 2100)),
    },
    "fuzz_plug_reply": {
        "good": b"\x01" + reply(),
        "good_no_fd": b"\x00" + reply(),
        "refused": b"\x00" + reply(error=98, port=0),
        "refused_with_fd": b"\x01" + reply(error=16, port=0),
        "negative_error": b"\x01" + reply(error=-1),
        "bad_magic": b"\x01" + reply(magic=0),
        "many_fds": b"\x07" + reply(),
        "dgram_fd": b"\x09" + reply(),
        "pipe_fd": b"\x11" + reply(),
        "devnull_fd": b"\x19" + reply(),
        "hang_up": b"\x21" + reply(),
        "keep_open": b"\x41" + reply(),
        "short": b"\x01" + reply()[:5],
        "long": b"\x01" + reply() + b"\x00" * 8,
        "empty": b"\x01",
    },
}

for harness, cases in SEEDS.items():
    d = os.path.join(HERE, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    for name, data in cases.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)
