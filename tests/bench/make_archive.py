#!/usr/bin/env python3
"""Writes a release archive of about the given size (MiB) for the extraction benchmark: the real
layout, most of it compressible text in files of many sizes, about a quarter incompressible."""
import os
import random
import sys
import zipfile

path, mib = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 400
rng = random.Random(3)
words = ["light", "probe", "scene", "mesh", "vertex", "shader", "zolta", "orbel", "texture",
         "0.25", "1.0", "true", "false", "{", "}", "[", "]", "name", "index", "frame"]
base = " ".join(rng.choices(words, k=1_500_000)).encode()
top = "OrbelZolta-Windows/"
total, limit = 0, mib << 20


def text(size):
    out = bytearray()
    while len(out) < size:
        start = rng.randrange(len(base) - 65536)
        out += base[start:start + 65536] + b"\n%d\n" % rng.randrange(1 << 30)
    return bytes(out[:size])


with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    z.writestr(top, b"")
    z.writestr(top + "OrbelZolta.exe", b"MZ" + os.urandom(8 << 20))
    total += 8 << 20
    for i in range(12):  # packed game data: incompressible, stored
        z.writestr(top + "assets/packs/pack%02d.pak" % i, os.urandom(8 << 20),
                   compress_type=zipfile.ZIP_STORED)
        total += 8 << 20
    z.writestr(top + "assets/runtime/scene.bin", os.urandom(4 << 20))
    z.writestr(top + "assets/runtime/scene.json", b'{"scene": 1}\n')
    i = 0
    while total < limit:
        size = rng.choice([4 << 10] * 10 + [40 << 10] * 6 + [200 << 10] * 3 + [1 << 20] * 2
                          + [6 << 20])
        z.writestr(top + "assets/data/%02d/file%05d.txt" % (i % 40, i), text(size))
        total += size
        i += 1
