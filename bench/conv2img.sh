#!/usr/bin/env bash
# conv2img benchmark, run by hand (not part of CI's tests).
#
# Makes four images in a fresh directory under /tmp (bench/make_vhd.py):
# a fully allocated dynamic VHD, the same size 25 % allocated with partial
# bitmaps, an empty 100 GiB dynamic VHD and a fixed VHD. Converts each with
# dravik (release build), with `qemu-img convert -O raw` and, for the fixed
# one, with `cp`; prints the best and the median wall time of RUNS runs of
# each (the tools take turns within each run, so that load from elsewhere
# falls on all of them alike) and the ratios dravik / peer, checks that
# dravik's image equals qemu-img's, and removes everything afterwards.
#
#   bench/conv2img.sh            # 2 GiB images, 7 runs each
#   SIZE_GIB=4 RUNS=5 bench/conv2img.sh
#
# Needs qemu-img (Debian package qemu-utils), python3, cmake. Before every
# run the earlier outputs are removed and `sync` runs, outside the time
# taken; the sources stay in the page cache, as they do for repeated
# conversions. Neither dravik, qemu-img nor cp flushes its output to disk
# before it exits. The images are compared in a last, untimed pass, which
# also measures dravik's memory.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
size_gib=${SIZE_GIB:-2}
runs=${RUNS:-7}

command -v qemu-img >/dev/null || { echo "needs qemu-img: apt-get install qemu-utils" >&2; exit 1; }
command -v python3 >/dev/null || { echo "needs python3" >&2; exit 1; }

echo "building the release preset ..."
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target dravik >/dev/null)
dravik=$root/build/release/dravik

work=$(mktemp -d /tmp/dravik-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
size_mib=$((size_gib * 1024))

echo "making the images in $work ..."
python3 "$here/make_vhd.py" dynamic "$work/full.vhd" "$size_mib" full
python3 "$here/make_vhd.py" dynamic "$work/quarter.vhd" "$size_mib" quarter
python3 "$here/make_vhd.py" dynamic "$work/empty.vhd" 102400 none
python3 "$here/make_vhd.py" fixed "$work/fixed.vhd" "$size_mib"
sync

# wall time in microseconds of one run of a command. Every earlier output
# goes first, then sync; both outside the time taken. Deleting the outputs
# (rather than only syncing them) matters on a virtual machine: the run then
# writes into the memory those outputs just gave back, instead of memory
# the host may have taken back meanwhile, which costs each tool seconds
# per GiB at random.
time_once() {
    rm -f "$work"/*.img
    sync
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
}

# "best median" in seconds of a list of microsecond times
summary() {
    printf '%s\n' "$@" | sort -n |
        awk '{ t[NR] = $1 } END { printf "%.3f %.3f", t[1] / 1e6, t[int((NR + 1) / 2)] / 1e6 }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

# max resident set of one dravik run, in MiB
dravik_memory() {
    rm -f "$2"
    /usr/bin/time -f %M "$dravik" conv2img "$1" "$2" 2>&1 >/dev/null | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'
}

echo "each time: the best and the median of $runs runs, the tools taking turns within each run"
printf '\n%-32s %15s %15s %11s %15s %11s %7s\n' "image" "dravik s" "qemu-img s" "ratio" "cp s" "ratio" "MiB"
printf '%-32s %15s %15s %11s %15s %11s %7s\n' "" "best  median" "best  median" "best  med" "best  median" \
    "best  med" "dravik"
for case in full quarter empty fixed; do
    src=$work/$case.vhd
    case $case in
    full) label="dynamic ${size_gib} GiB, all allocated" ;;
    quarter) label="dynamic ${size_gib} GiB, 25 %, partial" ;;
    empty) label="dynamic 100 GiB, empty" ;;
    fixed) label="fixed ${size_gib} GiB" ;;
    esac
    qemu=() drav=() cps=()
    for _ in $(seq "$runs"); do
        qemu+=("$(time_once qemu-img convert -f vpc -O raw "$src" "$work/qemu.img")")
        drav+=("$(time_once "$dravik" conv2img "$src" "$work/dravik.img")")
        if [ "$case" = fixed ]; then
            cps+=("$(time_once cp "$src" "$work/cp.img")")
        fi
    done
    read -r d_best d_med <<<"$(summary "${drav[@]}")"
    read -r q_best q_med <<<"$(summary "${qemu[@]}")"
    c_col=- r_col=-
    if [ "$case" = fixed ]; then
        read -r c_best c_med <<<"$(summary "${cps[@]}")"
        c_col="$c_best $c_med"
        r_col="$(ratio "$d_best" "$c_best") $(ratio "$d_med" "$c_med")"
    fi
    rm -f "$work"/*.img
    memory=-
    [ -x /usr/bin/time ] && memory=$(dravik_memory "$src" "$work/dravik.img")
    qemu-img convert -f vpc -O raw "$src" "$work/qemu.img"
    printf '%-32s %15s %15s %11s %15s %11s %7s\n' "$label" "$d_best $d_med" "$q_best $q_med" \
        "$(ratio "$d_best" "$q_best") $(ratio "$d_med" "$q_med")" "$c_col" "$r_col" "$memory"

    # the same raw image as qemu-img's (a 100 GiB compare reads 100 GiB of holes: sizes only)
    if [ "$case" = empty ]; then
        same=$([ "$(stat -c %s "$work/dravik.img")" = "$(stat -c %s "$work/qemu.img")" ] && echo yes || echo NO)
        used=$(du -k "$work/dravik.img" | cut -f1)
        echo "    same size as qemu-img's: $same; dravik's image takes $used KiB on disk"
    else
        same=$(cmp -s "$work/dravik.img" "$work/qemu.img" && echo yes || echo NO)
        echo "    same bytes as qemu-img's: $same"
    fi
    rm -f "$work/dravik.img" "$work/qemu.img" "$src"
done
