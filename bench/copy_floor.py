#!/usr/bin/env python3
"""dravik against qemu-img and cp on the jobs where most of the time goes.

    bench/copy_floor.py [--runs 7] [--cold-runs 5] [--size-mib 1024] [--work DIR] [--dravik PATH]

Makes fresh images in a work folder (default: a new one under /tmp), all
with qemu-img from raw images of random data:

    full     dynamic, every block allocated
    quarter  dynamic, every fourth block allocated, its data in runs of
             4 KiB to 256 KiB between runs of zeros
    fixed    fixed
    empty    dynamic, 100 GiB, no block allocated

and, with bench/make_vhd.py, one that qemu-img does not write:

    partial  dynamic, every fourth block allocated, its sector bitmap in
             runs of 8 to 512 sectors present and absent
    child    differencing, over full, laid out as partial

The chain job compares dravik with itself: the export of child (which
reads full for what child does not hold) against the export of full alone.

and times, for each job, dravik and its peer taking turns (A B, then B A in
the next round): each run starts after the last outputs are removed and
`sync`, outside the time. Warm: the sources are in the page cache and
nothing is flushed. Cold (as root only): caches are dropped before each run
and the run ends with `sync`, inside the time. Prints, per job, the median
of each tool's times and the median of the per-round ratios dravik / peer,
then checks in untimed runs that dravik's images equal qemu-img's and gives
dravik's peak memory.

Needs qemu-img (Debian package qemu-utils) and, for the release build of
dravik, cmake and a compiler.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 2 << 20


def sh(*args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)


def make_images(work, size):
    rng = open("/dev/urandom", "rb")
    raw = os.path.join(work, "source.raw")
    with open(raw, "wb") as out:
        for _ in range(size // (16 << 20)):
            out.write(rng.read(16 << 20))
    sh("qemu-img", "convert", "-f", "raw", "-O", "vpc", raw, os.path.join(work, "full.vhd"))
    sh("qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o", "subformat=fixed", raw, os.path.join(work, "fixed.vhd"))
    with open(raw, "r+b") as out:
        out.truncate(0)
        out.truncate(size)
        seed = 4
        for block in range(0, size // BLOCK, 4):
            at, present = 0, True
            while at < BLOCK:
                seed = (seed * 1103515245 + 12345) % 2**31
                run = min((seed % 64 + 1) * 4096, BLOCK - at)
                if present:
                    out.seek(block * BLOCK + at)
                    out.write(rng.read(run))
                at, present = at + run, not present
    sh("qemu-img", "convert", "-f", "raw", "-O", "vpc", raw, os.path.join(work, "quarter.vhd"))
    os.remove(raw)
    sh("qemu-img", "create", "-f", "vpc", os.path.join(work, "empty.vhd"), "100G")
    make_vhd = os.path.join(ROOT, "bench", "make_vhd.py")
    sh(sys.executable, make_vhd, "dynamic", os.path.join(work, "partial.vhd"), str(size >> 20), "quarter")
    sh(sys.executable, make_vhd, "differencing", os.path.join(work, "child.vhd"), str(size >> 20),
       os.path.join(work, "full.vhd"))
    sh("sync")


def run_once(command, work, cold):
    for name in os.listdir(work):
        if name.startswith("out") or name == "new.vhd":
            os.remove(os.path.join(work, name))
    sh("sync")
    if cold:
        with open("/proc/sys/vm/drop_caches", "w") as caches:
            caches.write("3\n")
    start = time.perf_counter()
    subprocess.run(command, shell=True, cwd=work, check=True, stdout=subprocess.DEVNULL)
    if cold:
        sh("sync")
    return time.perf_counter() - start


def compare(label, ours, peer, work, runs, cold):
    times = ([], [])
    for round_ in range(runs):
        order = (0, 1) if round_ % 2 == 0 else (1, 0)
        for which in order:
            times[which].append(run_once((ours, peer)[which], work, cold))
    ratios = [a / b for a, b in zip(*times)]
    print("%-44s %8.3f %8.3f %8.2f" % (label, statistics.median(times[0]), statistics.median(times[1]),
                                       statistics.median(ratios)), flush=True)


def peak_mib(command, work):
    run_once("true", work, False)
    result = subprocess.run("/usr/bin/time -f %%M %s" % command, shell=True, cwd=work, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(result.stderr.split()[-1]) / 1024


def same_disk(work, sizes_only):
    """qemu-img sizes a disk by its footer, dravik by its table (whole
    blocks): the bytes qemu-img writes must be equal, dravik's rest zeros.
    An empty 100 GiB disk is compared by its length and its use of space."""
    ours, peer = os.path.join(work, "out.img"), os.path.join(work, "out-qemu.img")
    length = os.path.getsize(peer)
    if sizes_only:
        used = os.stat(ours).st_blocks * 512
        return "%d bytes, %d of them stored (qemu-img: %d bytes)" % (os.path.getsize(ours), used, length)
    with open(ours, "rb") as a, open(peer, "rb") as b:
        while True:
            piece = b.read(16 << 20)
            if not piece:
                break
            if a.read(len(piece)) != piece:
                return "DIFFERENT"
        rest = a.read()
    return "identical" if rest.count(0) == len(rest) else "DIFFERENT after qemu-img's end"


def prepare(args):
    """The dravik to time (the release preset's, built, unless --dravik names one) and the work folder."""
    if shutil.which("qemu-img") is None:
        sys.exit("needs qemu-img: apt-get install qemu-utils")
    dravik = args.dravik and os.path.abspath(args.dravik)
    if dravik is None:
        print("building the release preset ...", flush=True)
        sh("cmake", "--preset", "release", cwd=ROOT)
        sh("cmake", "--build", "--preset", "release", "--target", "dravik", cwd=ROOT)
        dravik = os.path.join(ROOT, "build", "release", "dravik")
    work = args.work or tempfile.mkdtemp(prefix="dravik-bench.")
    os.makedirs(work, exist_ok=True)
    return dravik, work


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--cold-runs", type=int, default=5)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--work")
    parser.add_argument("--dravik")
    args = parser.parse_args()
    dravik, work = prepare(args)
    size = args.size_mib << 20
    try:
        print("making the images in %s ..." % work, flush=True)
        make_images(work, size)
        resize = "%s resize full.vhd %d" % (dravik, args.size_mib + 16)
        jobs = [
            ("dynamic full -> raw / qemu-img", "%s conv2img full.vhd out.img" % dravik,
             "qemu-img convert -f vpc -O raw full.vhd out.img"),
            ("dynamic full -> raw / cp of the source", "%s conv2img full.vhd out.img" % dravik, "cp full.vhd out.vhd"),
            ("dynamic quarter -> raw / qemu-img", "%s conv2img quarter.vhd out.img" % dravik,
             "qemu-img convert -f vpc -O raw quarter.vhd out.img"),
            ("dynamic partial bitmaps -> raw / qemu-img", "%s conv2img partial.vhd out.img" % dravik,
             "qemu-img convert -f vpc -O raw partial.vhd out.img"),
            ("fixed -> raw / qemu-img", "%s conv2img fixed.vhd out.img" % dravik,
             "qemu-img convert -f vpc -O raw fixed.vhd out.img"),
            ("rebuild +16 MiB / cp of the source", resize, "cp full.vhd out.vhd"),
            ("chain, child over full -> raw / full alone", "%s conv2img child.vhd out.img" % dravik,
             "%s conv2img full.vhd out.img" % dravik),
            ("empty 100 GiB dynamic -> raw / qemu-img", "%s conv2img empty.vhd out.img" % dravik,
             "qemu-img convert -f vpc -O raw empty.vhd out.img"),
        ]
        print("\n%-44s %8s %8s %8s" % ("warm, %d rounds: job / peer" % args.runs, "dravik", "peer", "ratio"))
        for label, ours, peer in jobs:
            compare(label, ours, peer, work, args.runs, False)
        if os.geteuid() == 0:
            print("\n%-44s %8s %8s %8s" % ("cold, sync in, %d rounds" % args.cold_runs, "dravik", "peer", "ratio"))
            for label, ours, peer in jobs:
                compare(label, ours, peer, work, args.cold_runs, True)
        else:
            print("\ncold runs skipped: dropping the caches needs root")

        print("\nchecks (dravik's image against qemu-img's; peak memory of dravik):")
        for name in ("full", "quarter", "partial", "fixed", "empty"):
            command = "%s conv2img %s.vhd out.img" % (dravik, name)
            memory = peak_mib(command, work)
            sh("qemu-img", "convert", "-f", "vpc", "-O", "raw", name + ".vhd", "out-qemu.img", cwd=work)
            print("    %-8s %s, %.1f MiB" % (name, same_disk(work, name == "empty"), memory))
        memory = peak_mib(resize, work)
        same = subprocess.run(["qemu-img", "compare", "-q", "--image-opts", "driver=vpc,file.filename=full.vhd",
                               "driver=vpc,force_size_calc=current_size,file.filename=new.vhd"], cwd=work).returncode
        print("    %-8s %s, %.1f MiB" % ("rebuild", "same disk" if same == 0 else "DIFFERENT", memory))
    finally:
        if args.work is None:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
