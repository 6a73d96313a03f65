#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes sample.wad: a PWAD with two small square-room levels, MAP01 and MAP02.

The levels are geometrically whole (one sector, four one-sided walls, a player
start) but carry no nodes, so an engine would need a node builder first; they
are here to show and test how lumpgraft edits an archive.
"""
import struct
import sys


def level(size, things):
    v = [(0, 0), (0, size), (size, size), (size, 0)]
    vertexes = b"".join(struct.pack("<hh", x, y) for x, y in v)
    # start, end, flags (impassable), special, tag, right side, left side (none)
    linedefs = b"".join(struct.pack("<hhhhhhh", i, (i + 1) % 4, 1, 0, 0, i, -1) for i in range(4))
    sidedefs = b"".join(struct.pack("<hh8s8s8sh", 0, 0, b"-", b"-", b"STARTAN3", 0) for _ in range(4))
    sectors = struct.pack("<hh8s8shhh", 0, 128, b"FLOOR4_8", b"CEIL3_5", 160, 0, 0)
    thingdata = b"".join(struct.pack("<hhhhh", x, y, 90, t, 7) for x, y, t in things)
    return [("THINGS", thingdata), ("LINEDEFS", linedefs), ("SIDEDEFS", sidedefs),
            ("VERTEXES", vertexes), ("SECTORS", sectors)]


lumps = [("MAP01", b"")] + level(256, [(64, 64, 1), (192, 192, 2011)])
lumps += [("MAP02", b"")] + level(512, [(128, 128, 1), (384, 384, 2012), (256, 256, 2014)])

data, directory = b"", b""
for name, body in lumps:
    directory += struct.pack("<ii8s", 12 + len(data), len(body), name.encode())
    data += body
wad = b"PWAD" + struct.pack("<ii", len(lumps), 12 + len(data)) + data + directory
with open(sys.argv[1] if len(sys.argv) > 1 else "sample.wad", "wb") as out:
    out.write(wad)
