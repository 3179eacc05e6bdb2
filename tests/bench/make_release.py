#!/usr/bin/env python3
"""Builds the benchmark release: a ZIP of about 400 MiB that unpacks to about 600 MiB of mixed
content (large and small incompressible files stored, text-like files deflated), in the release
layout, with its checksum list, in OUT/downloads."""

import argparse
import hashlib
import os
import random
import zipfile

MIB = 1 << 20


def text_pool(rng, size):
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(3000)]
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--exe", required=True, help="the fixture game")
    parser.add_argument("--version", default="9.0.0")
    args = parser.parse_args()
    rng = random.Random(7)
    name = f"OrbelZolta-{args.version}-Windows-x64.zip"
    downloads = os.path.join(args.out, "downloads")
    os.makedirs(downloads, exist_ok=True)
    archive = os.path.join(downloads, name)
    pool = text_pool(rng, 8 * MIB)
    top = "OrbelZolta-Windows/"
    with zipfile.ZipFile(archive + ".new", "w") as z:
        z.write(args.exe, top + "OrbelZolta.exe", zipfile.ZIP_DEFLATED)
        z.writestr(top + "assets/runtime/scene.json", '{"scene":"bench"}', zipfile.ZIP_DEFLATED)
        z.writestr(top + "assets/runtime/scene.bin", rng.randbytes(4 * MIB), zipfile.ZIP_STORED)
        for i in range(8):  # large packs, already compressed
            z.writestr(f"{top}paks/pak{i}.pak", rng.randbytes(24 * MIB), zipfile.ZIP_STORED)
        for i in range(1200):  # small binary files
            z.writestr(f"{top}textures/{i // 100}/t{i}.dds", rng.randbytes(rng.randint(8, 80) * 1024),
                       zipfile.ZIP_STORED)
        text = 0
        i = 0
        while text < 350 * MIB:  # text-like files of many sizes, deflated
            size = rng.choice([2, 8, 32, 128, 512, 2048]) * 1024
            start = rng.randrange(0, len(pool) - size)
            z.writestr(f"{top}data/{i // 200}/d{i}.txt", pool[start:start + size], zipfile.ZIP_DEFLATED)
            text += size
            i += 1
    os.replace(archive + ".new", archive)
    digest = hashlib.sha256()
    with open(archive, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            digest.update(block)
    with open(os.path.join(downloads, "SHA256SUMS.txt"), "w") as f:
        f.write(f"{digest.hexdigest()}  {name}\n")
    with zipfile.ZipFile(archive) as z:
        unpacked = sum(info.file_size for info in z.infolist())
        count = len(z.infolist())
    print(f"{name}: {os.path.getsize(archive) / MIB:.1f} MiB, {unpacked / MIB:.1f} MiB unpacked, "
          f"{count} entries")


if __name__ == "__main__":
    main()
