#!/usr/bin/env python3
"""Writes VHD images the way dravik lays them out, for bench/copy_floor.py.

    make_vhd.py fixed        OUT SIZE_MIB              random data, then a fixed footer
    make_vhd.py dynamic      OUT SIZE_MIB full|quarter|third|none [BLOCK_KIB]
    make_vhd.py differencing OUT SIZE_MIB PARENT [full|quarter|third]

dynamic full:    every block allocated, bitmap all ones, random data
dynamic quarter: every fourth block allocated, with a partial bitmap (runs
                 of present and absent sectors, some bytes half set); the
                 absent sectors hold zeros, so a reader that ignores the
                 bitmap (qemu-img does) gives the same raw image
dynamic third:   as quarter, every third block
dynamic none:    no block allocated (the file is the table and two footers)
BLOCK_KIB:       the Block Size, a power of two; 2048 (2 MiB) if not given;
                 a block's bitmap takes a sector per 2 MiB or part of it
differencing:    laid out as dynamic quarter (or the fill given), with
                 Disk Type 4, over the disk PARENT, which it names by its
                 Unique Id and by a W2ru locator (its file name, in the
                 same folder)

Footers carry the creator "qem2", which tells qemu-img to take the disk size
from Current Size, as dravik's image length follows from the table; with
SIZE_MIB a multiple of 2 both tools give the same raw image.
"""
import os
import random
import struct
import sys

SECTOR = 512
BLOCK = 2 * 1024 * 1024
POOL = os.urandom(32 * 1024 * 1024)  # random bytes to cut blocks from


def checksum(data):
    return ~sum(data) & 0xFFFFFFFF


def footer(disk_type, size, data_offset):
    f = bytearray(512)
    f[0:8] = b"conectix"
    struct.pack_into(">II", f, 8, 2, 0x00010000)
    struct.pack_into(">Q", f, 16, data_offset)
    f[28:32] = b"qem2"
    struct.pack_into(">I", f, 32, 0x00010000)
    f[36:40] = b"Wi2k"
    struct.pack_into(">QQ", f, 40, size, size)
    sectors = size // SECTOR
    heads = 16 if sectors < 66059280 else 255
    cylinders = min(65535, sectors // heads // 63 + 1)
    struct.pack_into(">HBBI", f, 56, cylinders, heads, 63, disk_type)
    f[68:84] = os.urandom(16)
    struct.pack_into(">I", f, 64, checksum(f))
    return bytes(f)


def bitmap_length(block):
    return (block + BLOCK - 1) // BLOCK * SECTOR


def dynamic_header(entries, parent=None, block=BLOCK):
    h = bytearray(1024)
    h[0:8] = b"cxsparse"
    struct.pack_into(">QQIII", h, 8, 0xFFFFFFFFFFFFFFFF, 1536, 0x00010000, entries, block)
    if parent is not None:
        with open(parent, "rb") as f:
            f.seek(-512, os.SEEK_END)
            h[40:56] = f.read()[68:84]
        name = (".\\" + os.path.basename(parent)).encode("utf-16-le")
        struct.pack_into(">4sIIIQ", h, 576, b"W2ru", len(name), len(name), 0, 512 + 768)
        h[768:768 + len(name)] = name
    struct.pack_into(">I", h, 36, checksum(h))
    return bytes(h)


def random_data(length):
    start = random.randrange(0, len(POOL) - length)
    return POOL[start:start + length]


def partial_bitmap(block):
    """Runs of 1 to 64 bitmap bytes, alternately present and absent, with a
    byte that is half set at some run ends; zeros past the block's sectors."""
    bitmap = bytearray(bitmap_length(block))
    used = (block // SECTOR + 7) // 8
    i, present = 0, random.random() < 0.5
    while i < used:
        run = random.randint(1, 64)
        if present:
            bitmap[i:min(i + run, used)] = b"\xFF" * min(run, used - i)
        i += run
        if i < used and random.random() < 0.5:
            bitmap[i] = random.choice([0xF0, 0x0F, 0x3C, 0x81])
            i += 1
        present = not present
    return bytes(bitmap)


def block_data(bitmap, block):
    data = bytearray(random_data(block))
    for byte in range((block // SECTOR + 7) // 8):
        if bitmap[byte] == 0xFF:
            continue
        for bit in range(min(8, block // SECTOR)):
            if not bitmap[byte] & (0x80 >> bit):
                sector = byte * 8 + bit
                data[sector * SECTOR:(sector + 1) * SECTOR] = bytes(SECTOR)
    return bytes(data)


def make_fixed(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            n = min(left, 16 * 1024 * 1024)
            out.write(random_data(n))
            left -= n
        out.write(footer(2, size, 0xFFFFFFFFFFFFFFFF))


def make_dynamic(path, size, fill, parent=None, block=BLOCK):
    entries = size // block
    table_end = 1536 + 4 * entries
    first_block = (table_end + 511) // 512 * 512
    allocated = [] if fill == "none" else [
        i for i in range(entries) if fill == "full" or i % (3 if fill == "third" else 4) == 0]
    table = [0xFFFFFFFF] * entries
    position = first_block
    for i in allocated:
        table[i] = position // SECTOR
        position += bitmap_length(block) + block
    disk_type = 3 if parent is None else 4
    closing = footer(disk_type, size, 512)  # its copy at the start is the same 512 bytes
    with open(path, "wb") as out:
        out.write(closing)
        out.write(dynamic_header(entries, parent, block))
        out.write(struct.pack(">%dI" % entries, *table))
        out.write(b"\xFF" * (first_block - table_end))
        for _ in allocated:
            bitmap = b"\xFF" * bitmap_length(block) if fill == "full" else partial_bitmap(block)
            out.write(bitmap)
            out.write(random_data(block) if fill == "full" else block_data(bitmap, block))
        out.write(closing)


def main():
    random.seed(4)
    kind, path, size = sys.argv[1], sys.argv[2], int(sys.argv[3]) * 1024 * 1024
    if kind == "fixed":
        make_fixed(path, size)
    elif kind == "differencing":
        make_dynamic(path, size, sys.argv[5] if len(sys.argv) > 5 else "quarter", sys.argv[4])
    else:
        make_dynamic(path, size, sys.argv[4], block=int(sys.argv[5]) * 1024 if len(sys.argv) > 5 else BLOCK)


if __name__ == "__main__":
    main()
