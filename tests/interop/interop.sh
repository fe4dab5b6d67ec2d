#!/usr/bin/env bash
# dravik against qemu-img, qemu-io and vhdiinfo: interop.sh CASE DRAVIK; 77 when a peer is missing. qemu-img sizes a
# VHD of an unknown creator by its geometry, which has a cylinder to spare: hence force_size_calc.
set -euo pipefail
dravik=$2
for tool in qemu-img qemu-io vhdiinfo cmp; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-interop.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
ours() { echo "driver=vpc,force_size_calc=current_size,file.filename=$1"; }
vsize() { qemu-img info --output=json "$@" | sed -n 's/^ *"virtual-size": \([0-9]*\),*$/\1/p' | head -n 1; }
run() { "$dravik" "$@" >out.txt 2>err.txt || { cat out.txt err.txt >&2; fail "dravik $* failed"; }; }

# A sparse raw image, random data in four places.
make_raw() { # path size
    truncate -s "$2" "$1"
    for at in 0 $(($2 / 3)) $(($2 / 2 + 4096)) $(($2 - 65536)); do
        head -c 65536 /dev/urandom | dd of="$1" bs=65536 seek="$at" oflag=seek_bytes conv=notrunc status=none
    done
}

# An image made by qemu, written out of order so its blocks are too.
make_qemu() { # path size subformat
    qemu-img create -q -f vpc -o subformat="$3" "$1" "$2"
    local size pattern=1
    size=$(vsize -f vpc "$1")
    for at in $((size - 8192)) $((size / 2)) 0 $((size / 4 + 512)) $((3 * 1048576 + 1536)); do
        qemu-io -f vpc -c "write -P $((pattern++ * 37)) $at 4096" "$1" >/dev/null
    done
}

case_conv2vhd() {
    for size in 1048576 $((5 * 1048576 + 1536)) $((5 << 30)); do
        make_raw raw.img "$size"
        cp --sparse=always raw.img original.img
        run conv2vhd raw.img disk.vhd
        [ "$(vsize --image-opts "$(ours disk.vhd)")" -eq "$size" ] || fail "qemu sees another size for $size"
        qemu-img compare -q --image-opts driver=raw,file.filename=original.img "$(ours disk.vhd)" || fail "$size"
        vhdiinfo disk.vhd >info.txt || fail "vhdiinfo refuses $size"
        grep -q "Disk type.*Fixed" info.txt && grep -q "($size bytes)" info.txt || fail "vhdiinfo on $size"
        run conv2img disk.vhd back.img
        cmp original.img back.img || fail "the round trip of $size bytes"
        rm -f raw.img original.img disk.vhd back.img
    done
    # Beyond 65,535 x 255 x 63 sectors: the largest geometry, which qemu-img takes for Current Size.
    for gib in 600 1000; do
        truncate -s "${gib}G" big.img
        run conv2vhd big.img big.vhd
        [ "$(vsize -f vpc big.vhd)" -eq $((gib << 30)) ] || fail "qemu sees another size for $gib GiB"
        rm -f big.vhd
    done
}

case_conv2img() {
    for sub in dynamic fixed; do
        for size in 10M 21M 7340544; do
            make_qemu q.vhd "$size" "$sub"
            qemu-img convert -f vpc -O raw q.vhd q.raw
            run conv2img q.vhd d.img
            n=$(stat -c %s q.raw)
            cmp -n "$n" q.raw d.img && cmp -n $(($(stat -c %s d.img) - n)) -i "$n:0" d.img /dev/zero ||
                fail "$sub $size: another disk, or not zeros after it"
            rm -f q.vhd q.raw d.img
        done
    done
}

case_resize_fixed() {
    make_qemu q.vhd 10M fixed
    qemu-img convert -f vpc -O raw q.vhd q.raw
    run resize q.vhd 20
    [ "$(vsize --image-opts "$(ours q.vhd)")" -eq 20971520 ] || fail "another size"
    qemu-img compare -q --image-opts driver=raw,file.filename=q.raw "$(ours q.vhd)" || fail "another disk"
    vhdiinfo q.vhd >/dev/null || fail "vhdiinfo refuses it"
}

case_resize_dynamic() {
    for size in 10M 21M; do
        make_qemu q.vhd "$size" dynamic
        before=$(sha256sum <q.vhd)
        run resize q.vhd 64
        [ "$(sha256sum <q.vhd)" = "$before" ] || fail "the source of $size changed"
        [ "$(vsize --image-opts "$(ours new.vhd)")" -eq 67108864 ] || fail "new.vhd from $size: another size"
        qemu-img compare -q --image-opts driver=vpc,file.filename=q.vhd "$(ours new.vhd)" || fail "data from $size"
        vhdiinfo new.vhd >/dev/null || fail "vhdiinfo refuses new.vhd from $size"
        rm -f q.vhd new.vhd
    done
}

# conv2dyn: qemu-img reads the same disk as it is (zeros past Current Size), vhdiinfo Current Size as its size.
case_conv2dyn() {
    make_raw r.raw $((300 << 20))
    python3 "${0%/*}/../../bench/make_vhd.py" dynamic base.vhd 8 quarter
    python3 "${0%/*}/../../bench/make_vhd.py" differencing child.vhd 8 base.vhd
    for source in r.raw:$((300 << 20)) child.vhd:$((8 << 20)); do
        size=${source#*:} source=${source%:*}
        [ "$source" = r.raw ] && cp r.raw s.raw || run conv2img "$source" s.raw
        run conv2dyn "$source" d.vhd
        truncate -s "$size" s.raw
        qemu-img compare -q -f vpc -F raw d.vhd s.raw || fail "qemu-img reads conv2dyn of $source otherwise"
        vhdiinfo d.vhd | grep -q "Media size.*($size bytes)" || fail "vhdiinfo on conv2dyn of $source"
        rm -f d.vhd s.raw
    done
}

# Blocks of 512 KiB, three of eight written: qemu-img reads the disk as conv2img's image, and conv2dyn's disk too.
case_block_sizes() {
    python3 "${0%/*}/../../bench/make_vhd.py" dynamic d.vhd 4 third 512
    run conv2img d.vhd d.img
    qemu-img compare -q -f vpc -F raw d.vhd d.img || fail "conv2img reads another disk"
    run conv2dyn d.vhd c.vhd
    qemu-img compare -q -f vpc -F raw c.vhd d.img || fail "conv2dyn writes another disk"
}

# create: qemu-img opens a new dynamic disk as it is; child: over qemu's own disk, read as it, named to vhdiinfo.
case_create_child() {
    run create c.vhd 100
    [ "$(vsize --image-opts "$(ours c.vhd)")" -eq 104857600 ] || fail "qemu-img sees another size"
    qemu-img info c.vhd >/dev/null || fail "qemu-img refuses a created disk without options"
    make_qemu q.vhd 21M dynamic
    qemu-img convert -f vpc -O raw q.vhd q.raw
    run child q.vhd k.vhd
    run conv2img k.vhd k.img
    cmp -n "$(stat -c %s q.raw)" q.raw k.img || fail "the child reads otherwise than its parent"
    run info k.vhd
    vhdiinfo k.vhd >info.txt || fail "vhdiinfo refuses the child"
    grep -q "Parent filename.*: $PWD/q.vhd\$" info.txt || fail "vhdiinfo: another parent name"
    grep -q ": $(sed -n 's/^Parent_Unique_Id=//p' out.txt | tr -d '\r')\$" info.txt || fail "vhdiinfo: another id"
}

"case_$1"
echo "PASS: $1"
