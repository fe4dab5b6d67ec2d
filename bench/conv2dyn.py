#!/usr/bin/env python3
"""conv2dyn against qemu-img, dravik's own export and cat.

    bench/conv2dyn.py [--runs 7] [--size-mib 1024] [--work DIR] [--dravik PATH] [--xfs]

Makes raw images in a work folder (default: a new one under /tmp):

    random   random data throughout
    quarter  random data in every fourth 2 MiB block, holes elsewhere
    zeros    zeros, written (no holes)
    empty    100 GiB, one hole

and times, for each job, dravik and its peer taking turns (A B, then B A in
the next round), each run after the last outputs are removed and `sync`,
outside the time. Prints the median of each tool's times and the median of
the per-round ratios dravik / peer, then checks the outputs (qemu-img
compare against the raw image; the zeros give no block) and gives dravik's
peak memory on each.

With --xfs (as root): the random image also on an XFS file system with
reflink (an image file made with mkfs.xfs -m reflink=1 and mounted with
mount -o loop), where conv2dyn shares extents with its source and conv2img
with the dynamic disk.

Needs qemu-img (Debian package qemu-utils); --xfs needs xfsprogs.
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from copy_floor import compare, peak_mib, prepare, sh  # noqa: E402

BLOCK = 2 << 20


def make_images(work, size):
    rng = open("/dev/urandom", "rb")
    with open(os.path.join(work, "random.img"), "wb") as out:
        for _ in range(size // (16 << 20)):
            out.write(rng.read(16 << 20))
    with open(os.path.join(work, "quarter.img"), "wb") as out:
        out.truncate(size)
        for block in range(0, size // BLOCK, 4):
            out.seek(block * BLOCK)
            out.write(rng.read(BLOCK))
    with open(os.path.join(work, "zeros.img"), "wb") as out:
        for _ in range(size // (16 << 20)):
            out.write(bytes(16 << 20))
    with open(os.path.join(work, "empty.img"), "wb") as out:
        out.truncate(100 << 30)
    sh("sync")


def check(work, dravik, name):
    command = "%s conv2dyn %s.img out.vhd" % (dravik, name)
    memory = peak_mib(command, work)
    same = subprocess.run(["qemu-img", "compare", "-q", "-f", "vpc", "-F", "raw", "out.vhd", name + ".img"],
                          cwd=work).returncode == 0
    return "%s, %d bytes, %.1f MiB" % ("identical" if same else "DIFFERENT",
                                        os.path.getsize(os.path.join(work, "out.vhd")), memory)


def xfs_jobs(work, dravik, runs):
    mount = os.path.join(work, "xfs")
    image = os.path.join(work, "xfs.img")
    with open(image, "wb") as out:
        out.truncate(8 << 30)
    sh("mkfs.xfs", "-q", "-m", "reflink=1", image)
    os.makedirs(mount, exist_ok=True)
    sh("mount", "-o", "loop", image, mount)
    try:
        shutil.copyfile(os.path.join(work, "random.img"), os.path.join(mount, "random.img"))
        sh(dravik, "conv2dyn", "random.img", "dyn.vhd", cwd=mount)
        sh("sync")
        print("\n%-44s %8s %8s %8s" % ("XFS with reflink, %d rounds" % runs, "dravik", "peer", "ratio"))
        compare("random -> dynamic / qemu-img", "%s conv2dyn random.img out.vhd" % dravik,
                "qemu-img convert -f raw -O vpc random.img out.vhd", mount, runs, False)
        compare("conv2img of that / qemu-img", "%s conv2img dyn.vhd out.img" % dravik,
                "qemu-img convert -f vpc -O raw dyn.vhd out.img", mount, runs, False)
        print("    xfs      %s" % check(mount, dravik, "random"))
    finally:
        sh("umount", mount)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--work")
    parser.add_argument("--dravik")
    parser.add_argument("--xfs", action="store_true")
    args = parser.parse_args()
    dravik, work = prepare(args)
    try:
        print("making the images in %s ..." % work, flush=True)
        make_images(work, args.size_mib << 20)
        if os.path.exists(os.path.join(work, "dyn.vhd")):
            os.remove(os.path.join(work, "dyn.vhd"))
        sh(dravik, "conv2dyn", "random.img", "dyn.vhd", cwd=work)
        jobs = [
            ("random -> dynamic / qemu-img", "%s conv2dyn random.img out.vhd" % dravik,
             "qemu-img convert -f raw -O vpc random.img out.vhd"),
            ("random -> dynamic / conv2img of the result", "%s conv2dyn random.img out.vhd" % dravik,
             "%s conv2img dyn.vhd out.img" % dravik),
            ("quarter -> dynamic / qemu-img", "%s conv2dyn quarter.img out.vhd" % dravik,
             "qemu-img convert -f raw -O vpc quarter.img out.vhd"),
            ("empty 100 GiB -> dynamic / qemu-img", "%s conv2dyn empty.img out.vhd" % dravik,
             "qemu-img convert -f raw -O vpc empty.img out.vhd"),
            ("written zeros -> dynamic / cat to /dev/null", "%s conv2dyn zeros.img out.vhd" % dravik,
             "cat zeros.img > /dev/null"),
        ]
        print("\n%-44s %8s %8s %8s" % ("warm, %d rounds: job / peer" % args.runs, "dravik", "peer", "ratio"))
        for label, ours, peer in jobs:
            compare(label, ours, peer, work, args.runs, False)
        print("\nchecks (qemu-img compare with the raw image; length; peak memory of dravik):")
        for name in ("random", "quarter", "zeros", "empty"):
            print("    %-8s %s" % (name, check(work, dravik, name)))
        if args.xfs:
            xfs_jobs(work, dravik, args.runs)
    finally:
        if args.work is None:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
