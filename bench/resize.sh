#!/usr/bin/env bash
# Times "dravik resize" rebuilding a fully allocated 2 GiB dynamic VHD into
# new.vhd against "cp" of the same file. Target: the rebuild within 1.5x of
# cp. Run by hand, not in CI:
#   cmake --preset release && cmake --build --preset release --target dravik
#   bench/resize.sh [work directory]
# The images go into the work directory (default: a new one under /tmp) and
# are deleted afterwards. Needs qemu-img and qemu-io (qemu-utils).
set -euo pipefail
cd "$(dirname "$0")/.."
dravik=$PWD/build/release/dravik
[ -x "$dravik" ] || { echo "build the release preset first: cmake --build --preset release --target dravik" >&2; exit 1; }

work=${1:-$(mktemp -d /tmp/dravik-bench-resize.XXXXXX)}
mkdir -p "$work"
trap 'rm -f "$work/src.vhd" "$work/new.vhd" "$work/copy.vhd"; rmdir "$work" 2>/dev/null || true' EXIT

# qemu allocates blocks in the order they are written; write every one.
qemu-img create -q -f vpc -o subformat=dynamic,force_size=on "$work/src.vhd" 2G
qemu-io -c 'write -P 0x5a 0 1G' -c 'write -P 0xa5 1G 1G' "$work/src.vhd" >/dev/null
sync

# Each command is timed together with the sync that puts its output on
# disk, after the previous output is removed and the disk has settled;
# the order alternates, and the best of three rounds counts.
settle() { rm -f "$work/copy.vhd" "$work/new.vhd"; sync; sleep 3; }
seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; sync; end=$(date +%s.%N); echo "$end - $start" | bc; }
min() { echo "if ($1 < $2) $1 else $2" | bc; }

size=$(stat -c %s "$work/src.vhd")
echo "source: $size bytes, $(qemu-img info "$work/src.vhd" | grep 'virtual size')"
best_cp=1000000
best_rebuild=1000000
for round in 1 2 3; do
    if [ $((round % 2)) -eq 1 ]; then
        settle; cp_time=$(seconds cp "$work/src.vhd" "$work/copy.vhd")
        settle; rebuild_time=$(seconds "$dravik" resize "$work/src.vhd" 2048)
    else
        settle; rebuild_time=$(seconds "$dravik" resize "$work/src.vhd" 2048)
        settle; cp_time=$(seconds cp "$work/src.vhd" "$work/copy.vhd")
    fi
    echo "round $round: cp ${cp_time} s, dravik resize ${rebuild_time} s"
    best_cp=$(min "$best_cp" "$cp_time")
    best_rebuild=$(min "$best_rebuild" "$rebuild_time")
done
echo "best: cp ${best_cp} s, dravik resize ${best_rebuild} s, ratio $(echo "scale=2; $best_rebuild / $best_cp" | bc) (target 1.5 or less)"
qemu-img compare -q --image-opts driver=vpc,file.filename="$work/src.vhd" \
    driver=vpc,force_size_calc=current_size,file.filename="$work/new.vhd" && echo "new.vhd equal in content to the source"
