#!/usr/bin/env python3
"""Times `dravik check` on a dynamic disk of 2040 GiB whose whole table is allocated.

    cmake --preset release && cmake --build --preset release --target dravik
    bench/check_speed.py [FOLDER] [RUNS]

Writes FOLDER/check-2040GiB.vhd (default folder /tmp; it must allow sparse
files of 2 TiB, as ext4, XFS and btrfs do): footer copy, header, a table of
1,044,480 entries, every block allocated, the blocks in a shuffled order
against their entries (so the check has to sort them), the closing footer.
Only the records are written: the blocks are holes, but they all lie within
the file, which is 2040 GiB and 510 MiB long. The footers store the largest
geometry, as dravik writes for disks this large, so the check must find
nothing but the cloud note. Then runs the check RUNS times (default 5),
prints each wall time and the best, and removes the file.
"""
import os
import random
import struct
import subprocess
import sys
import time

SECTOR = 512
BLOCK = 2 * 1024 * 1024
BLOCK_IN_FILE = SECTOR + BLOCK
SIZE = 0xFF000000 * SECTOR  # 2040 GiB
ENTRIES = SIZE // BLOCK


def checksum(data):
    return ~sum(data) & 0xFFFFFFFF


def footer():
    f = bytearray(512)
    f[0:8] = b"conectix"
    struct.pack_into(">IIQI", f, 8, 2, 0x00010000, 512, 0)
    f[28:32] = b"hack"
    struct.pack_into(">I", f, 32, 0x00010000)
    f[36:40] = b"Wi2k"
    struct.pack_into(">QQHBBI", f, 40, SIZE, SIZE, 65535, 16, 255, 3)
    f[68:84] = os.urandom(16)
    struct.pack_into(">I", f, 64, checksum(f))
    return bytes(f)


def header():
    h = bytearray(1024)
    h[0:8] = b"cxsparse"
    struct.pack_into(">QQIII", h, 8, 0xFFFFFFFFFFFFFFFF, 1536, 0x00010000, ENTRIES, BLOCK)
    struct.pack_into(">I", h, 36, checksum(h))
    return bytes(h)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "/tmp"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    dravik = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "release", "dravik")
    if not os.access(dravik, os.X_OK):
        sys.exit("build the release preset first")
    path = os.path.join(folder, "check-2040GiB.vhd")
    first_block = (1536 + 4 * ENTRIES + SECTOR - 1) // SECTOR * SECTOR
    order = list(range(ENTRIES))
    random.seed(25)
    random.shuffle(order)
    table = struct.pack(">%dI" % ENTRIES, *((first_block + k * BLOCK_IN_FILE) // SECTOR for k in order))
    length = first_block + ENTRIES * BLOCK_IN_FILE + SECTOR
    closing = footer()
    try:
        with open(path, "wb") as out:
            out.write(closing + header() + table)
            out.truncate(length - SECTOR)
            out.seek(length - SECTOR)
            out.write(closing)
        print("%s: %d bytes, %d blocks" % (path, length, ENTRIES))
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            result = subprocess.run([dravik, "check", path], capture_output=True, text=True)
            times.append(time.perf_counter() - start)
        print(result.stdout.replace("\r", ""), end="")
        print("runs: " + " ".join("%.3f s" % t for t in times))
        print("best: %.3f s" % min(times))
    finally:
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()
