#!/usr/bin/env python3
"""Writes a BIRD file with Python's own zlib, independently of the project's code.

usage: make_bird.py OUT BUILD VERSION SERIAL MODEL
The file holds a loader block at 0x10000000, a firmware block at 0 with a serial-number
word at 0x100 and a descriptor at 0x120, the offsets block, the identity and a loader
start address of 0x10000400.
"""
import struct
import sys
import zlib


def block(kind, data, flags=0):
    return struct.pack(">BI", (kind & 0x1F) | (flags << 5), len(data)) + data


def field(text):
    return text.encode("ascii").ljust(16, b" ")


def main():
    out, build, version, serial, model = sys.argv[1:6]
    loader = struct.pack(">I", 0x10000000) + bytes(range(64))
    firmware = struct.pack(">I", 0) + b"\xff" * 0x400
    identity = field(build) + field(version) + field("%08X" % int(serial, 16)) + field(model)
    blocks = [
        block(0, loader, flags=1),
        block(1, firmware, flags=2),
        block(2, struct.pack(">II", 0x100, 0x120)),
        block(4, identity),
        block(5, struct.pack(">I", 0x10000400)),
    ]
    content = struct.pack(">I", len(blocks)) + b"".join(blocks)
    content += struct.pack(">I", zlib.adler32(content) & 0xFFFFFFFF)
    with open(out, "wb") as f:
        f.write(b"bird" + struct.pack(">H", 0x0101) + zlib.compress(content, 9))


if __name__ == "__main__":
    main()
