#!/usr/bin/env bash
# The cloud upload recipe, timed both ways on a raw image of 10 GiB of real
# data and a few sectors more: a fixed VHD whose virtual size is a whole
# number of MiB. Run by hand, not in CI:
#   cmake --preset release && cmake --build --preset release --target dravik
#   bench/cloud_upload.sh [work directory]
#
#   qemu-img: qemu-img resize (the raw image, to the next whole MiB), then
#             qemu-img convert -O vpc -o subformat=fixed,force_size (a copy)
#   dravik:   dravik conv2vhd, then dravik resize to the next whole MiB, both in place
#
# Each recipe starts from its own copy of the image and is timed with the
# sync that puts its output on disk. Then both VHDs must hold the same disk:
# the same Current Size, both footers of Disk Type 2, the same first
# Current Size bytes. Needs qemu-img (qemu-utils) and about 35 GiB free.
set -euo pipefail
cd "$(dirname "$0")/.."
dravik=$PWD/build/release/dravik
[ -x "$dravik" ] || { echo "build the release preset first" >&2; exit 1; }
command -v qemu-img >/dev/null || { echo "needs qemu-img: apt-get install qemu-utils" >&2; exit 1; }

work=${1:-$(mktemp -d /tmp/dravik-bench-cloud.XXXXXX)}
mkdir -p "$work"
trap 'rm -f "$work"/*.img "$work"/*.vhd "$work/chunk"; rmdir "$work" 2>/dev/null || true' EXIT

size=$(((10 << 30) + 7 * 512))
mib=$(((size + 1048575) / 1048576))  # the next whole MiB
echo "making $size bytes of data in $work ..."
head -c $((64 << 20)) /dev/urandom >"$work/chunk"
for _ in $(seq 160); do cat "$work/chunk"; done >"$work/qemu.img"
head -c $((7 * 512)) /dev/urandom >>"$work/qemu.img"
cp "$work/qemu.img" "$work/dravik.img"
sync

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; sync; end=$(date +%s.%N); echo "$end - $start" | bc; }
qemu_recipe() {
    qemu-img resize -q -f raw "$work/qemu.img" "${mib}M"
    qemu-img convert -f raw -O vpc -o subformat=fixed,force_size "$work/qemu.img" "$work/qemu.vhd"
}
dravik_recipe() {
    "$dravik" conv2vhd "$work/dravik.img" "$work/dravik.vhd"
    "$dravik" resize "$work/dravik.vhd" "$mib"
}
used() { du -B1 "$1" | cut -f1; }  # bytes the file takes on disk
before=$(used "$work/dravik.img")
qemu_time=$(seconds qemu_recipe)
dravik_time=$(seconds dravik_recipe)
echo "qemu-img resize + convert: $qemu_time s; dravik conv2vhd + resize: $dravik_time s (to $mib MiB)"
echo "space taken on disk besides the raw image: qemu-img $(used "$work/qemu.vhd") bytes (a second copy)," \
    "dravik $(($(used "$work/dravik.vhd") - before)) bytes"

# The footer of each: Current Size at 48, Disk Type at 60, big-endian.
field() { od -An -t x1 -j $(($(stat -c %s "$1") - 512 + $2)) -N "$3" "$1" | tr -d ' \n'; }
for vhd in qemu dravik; do
    [ "$(field "$work/$vhd.vhd" 60 4)" = 00000002 ] || { echo "$vhd.vhd: not a fixed disk"; exit 1; }
done
current=$(field "$work/qemu.vhd" 48 8)
[ "$current" = "$(field "$work/dravik.vhd" 48 8)" ] || { echo "Current Size differs"; exit 1; }
cmp -n $((16#$current)) "$work/qemu.vhd" "$work/dravik.vhd" || { echo "the disks differ"; exit 1; }
echo "both VHDs: Disk Type 2, Current Size $((16#$current)) bytes ($((16#$current / 1048576)) MiB), the same disk bytes"
