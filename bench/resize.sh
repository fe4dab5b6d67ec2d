#!/usr/bin/env bash
# Times "dravik resize" rebuilding a fully allocated 2 GiB dynamic VHD into
# new.vhd against "cp" of the same file. Target: the rebuild within 1.5x of
# cp. Run by hand, not in CI:
#   cmake --workflow --preset release && bench/resize.sh [work directory]
# The images go into the work directory (default: a new one under /tmp) and
# are deleted afterwards. Needs qemu-img and qemu-io (qemu-utils).
set -euo pipefail
cd "$(dirname "$0")/.."
dravik=$PWD/build/release/dravik
[ -x "$dravik" ] || { echo "build the release preset first: cmake --workflow --preset release" >&2; exit 1; }

work=${1:-$(mktemp -d /tmp/dravik-bench-resize.XXXXXX)}
mkdir -p "$work"
trap 'rm -f "$work/src.vhd" "$work/new.vhd" "$work/copy.vhd"; rmdir "$work" 2>/dev/null || true' EXIT

# qemu allocates blocks in the order they are written; write every one.
qemu-img create -q -f vpc -o subformat=dynamic,force_size=on "$work/src.vhd" 2G
qemu-io -q -c 'write -P 0x5a 0 2G' "$work/src.vhd"
sync

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); echo "$end - $start" | bc; }

size=$(stat -c %s "$work/src.vhd")
echo "source: $size bytes, $(qemu-img info "$work/src.vhd" | grep 'virtual size')"
for round in 1 2 3; do
    rm -f "$work/copy.vhd" "$work/new.vhd"
    sync
    cp_time=$(seconds cp "$work/src.vhd" "$work/copy.vhd")
    sync
    rebuild_time=$(seconds "$dravik" resize "$work/src.vhd" 2048)
    sync
    echo "round $round: cp ${cp_time} s, dravik resize ${rebuild_time} s, ratio $(echo "scale=2; $rebuild_time / $cp_time" | bc)"
done
qemu-img compare -q --image-opts driver=vpc,file.filename="$work/src.vhd" \
    driver=vpc,force_size_calc=current_size,file.filename="$work/new.vhd" && echo "new.vhd equal in content to the source"
