#!/usr/bin/env python3
"""merge against dravik's own export of the same child, and the chain jobs' speed.

    bench/merge.py [--runs 7] [--size-mib 1024] [--work DIR] [--dravik PATH]

Makes in a work folder (default: a new one under /tmp), with dravik and
bench/make_vhd.py:

    dynamic.vhd  an empty dynamic disk (dravik create)
    fixed.vhd    an empty fixed disk (dravik create ... fixed)
    d-child.vhd, f-child.vhd
                 a differencing disk over each, every block allocated with
                 random data: SIZE_MIB of data to merge

and times, dravik merge of each child against dravik conv2img of the same
child, taking turns (A B, then B A in the next round). Before each run the
parent is put back as it was made, the last outputs are removed and `sync`
runs, all outside the time. Prints the median of each time and the median
of the per-round ratios merge / conv2img, then checks in an untimed run
that the merged parent reads as the child did, and gives merge's peak
memory. Last it times create of a 2040 GiB dynamic disk and child of it
(best of five), and the space a 2040 GiB fixed disk from create takes.

Needs python3; the release build of dravik (cmake --preset release).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from copy_floor import peak_mib, prepare, sh  # noqa: E402

MAKE_VHD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_vhd.py")


def timed(command, work):
    start = time.perf_counter()
    subprocess.run(command, shell=True, cwd=work, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def fresh(work, parent):
    """The parent as it was made, no outputs, everything on the device."""
    for name in os.listdir(work):
        if name.startswith("out"):
            os.remove(os.path.join(work, name))
    sh("cp", "--sparse=always", parent + ".orig", parent, cwd=work)
    sh("sync")


def compare(label, dravik, parent, child, work, runs):
    merge = "%s merge %s" % (dravik, child)
    export = "%s conv2img %s out.img" % (dravik, child)
    times = ([], [])
    for round_ in range(runs):
        for which in ((0, 1) if round_ % 2 == 0 else (1, 0)):
            fresh(work, parent)
            times[which].append(timed((merge, export)[which], work))
    ratios = [a / b for a, b in zip(*times)]
    print("%-40s %8.3f %8.3f %8.2f" % (label, statistics.median(times[0]), statistics.median(times[1]),
                                       statistics.median(ratios)), flush=True)
    fresh(work, parent)
    memory = peak_mib(merge, work)
    sh(dravik, "conv2img", child, "child.img", cwd=work)
    sh(dravik, "conv2img", parent, "parent.img", cwd=work)
    same = subprocess.run(["cmp", "child.img", "parent.img"], cwd=work, stdout=subprocess.DEVNULL).returncode
    for name in ("child.img", "parent.img"):
        os.remove(os.path.join(work, name))
    print("    %s, peak memory %.1f MiB" % ("the parent reads as the child did" if same == 0 else "DIFFERENT", memory))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--work")
    parser.add_argument("--dravik")
    args = parser.parse_args()
    dravik, work = prepare(args)
    try:
        print("making the disks in %s ..." % work, flush=True)
        size = str(args.size_mib)
        for parent, kind in (("dynamic.vhd", "dynamic"), ("fixed.vhd", "fixed")):
            sh(dravik, "create", parent, size, kind, cwd=work)
            shutil.copy(os.path.join(work, parent), os.path.join(work, parent + ".orig"))
            child = parent[0] + "-child.vhd"
            sh(sys.executable, MAKE_VHD, "differencing", child, size, parent, "full", cwd=work)
        print("\n%-40s %8s %8s %8s" % ("%d rounds: job / peer" % args.runs, "merge", "conv2img", "ratio"))
        compare("1 GiB into an empty dynamic parent", dravik, "dynamic.vhd", "d-child.vhd", work, args.runs)
        compare("1 GiB into a fixed parent", dravik, "fixed.vhd", "f-child.vhd", work, args.runs)

        print("\n2040 GiB (best of five):")
        for label, command in (("create dynamic", "%s create big.vhd 2088960"), ("child", "%s child big.vhd big-c.vhd")):
            best = []
            for _ in range(5):
                for name in ("big-c.vhd",) + (("big.vhd",) if label.startswith("create") else ()):
                    if os.path.exists(os.path.join(work, name)):
                        os.remove(os.path.join(work, name))
                sh("sync")
                best.append(timed(command % dravik, work))
            print("    %-16s %.3f s" % (label, min(best)))
        sh(dravik, "create", "big-f.vhd", "2088960", "fixed", cwd=work)
        used = os.stat(os.path.join(work, "big-f.vhd")).st_blocks * 512
        print("    %-16s %d bytes allocated" % ("create fixed", used))
    finally:
        if args.work is None:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
