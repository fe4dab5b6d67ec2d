#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: small valid fixed and dynamic
images and the awkward cases the tests care about. Run from anywhere; the
files go to fuzz/corpus/<target>/ beside this script."""
import os
import struct

SECTOR = 512
BLOCK = 2 * 1024 * 1024


def checksum(record):
    return (~sum(record)) & 0xFFFFFFFF


def footer(disk_type, size, data_offset=0xFFFFFFFFFFFFFFFF, cookie=b"conectix"):
    record = bytearray(512)
    struct.pack_into(">8sIIQI4sI4sQQHBBII", record, 0, cookie, 2, 0x10000, data_offset, 0, b"hack",
                     0x10000, b"Wi2k", size, size, 3, 16, 63, disk_type, 0)
    struct.pack_into(">I", record, 64, checksum(record))
    return bytes(record)


def header(entries, table_offset=1536, block_size=BLOCK, cookie=b"cxsparse"):
    record = bytearray(1024)
    struct.pack_into(">8sQQIIII", record, 0, cookie, 0xFFFFFFFFFFFFFFFF, table_offset, 0x10000, entries,
                     block_size, 0)
    struct.pack_into(">I", record, 36, checksum(record))
    return bytes(record)


def table(entries, fill_to=512):
    data = b"".join(struct.pack(">I", e) for e in entries)
    pad = (-len(data)) % fill_to
    return data + b"\xff" * pad


def dynamic(entries, blocks=b"", size=None, **kw):
    size = len(entries) * BLOCK if size is None else size
    foot = footer(3, size, 512)
    return foot + header(len(entries), **kw) + table(entries) + blocks + foot


def block(bitmap_bytes, data_sectors):
    bitmap = bytes(bitmap_bytes).ljust(SECTOR, b"\0")
    data = b"".join(bytes([i % 251 + 1]) * SECTOR for i in range(data_sectors))
    return bitmap + data


seeds = {
    "empty": b"",
    "fixed-footer-only": footer(2, 0),
    "fixed-4k": bytes(range(256)) * 16 + footer(2, 4096),
    "fixed-odd-length": b"x" * 1000,
    "differencing": footer(4, 4096, 512),
    "bad-cookie": footer(2, 4096, cookie=b"Conectix"),
    "dynamic-empty-10m": dynamic([0xFFFFFFFF] * 5),
    "dynamic-zero-entries": dynamic([], size=0),
    # A block at sector 4 whose bitmap marks sectors 0, 31 and the first
    # byte's others; the file ends after 16 of its sectors.
    "dynamic-truncated-block": dynamic([4, 0xFFFFFFFF], block([0x80, 0, 0, 0x01, 0xFF], 16)),
    "dynamic-marker-entries": dynamic([0xFFFFFE00, 0xFFFFFDFF, 0xFFFFFFFF]),
    "dynamic-huge-table": dynamic([0xFFFFFFFF] * 3)[:512] + header(0xFFFFFFFF) + b"\xff" * 1536 +
                          footer(3, 1 << 40, 512),
    "dynamic-odd-block-size": dynamic([4], block([0xFF] * 4, 32), block_size=1000),
    "dynamic-table-past-end": dynamic([4], table_offset=1 << 40),
    "dynamic-header-far-away": footer(3, BLOCK, 1 << 50) + footer(3, BLOCK, 1 << 50),
    "dynamic-damaged-trailing-footer": dynamic([0xFFFFFFFF] * 2)[:-512] + b"\0" * 512,
    # Two blocks stored in reverse table order, both cut short.
    "dynamic-out-of-order": dynamic([13, 4], block([0xF0], 8) + block([0x0F], 8)),
}

here = os.path.dirname(os.path.abspath(__file__))
for target in ("ShowInfo", "ConvertToImg", "ResizeVhd"):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
print(f"wrote {len(seeds)} seeds for each target")
