#!/usr/bin/env bash
# Interop: dravik against independent VHD readers and writers (qemu-img,
# qemu-io, vhdiinfo), on random data. Usage: interop.sh CASE PATH_TO_DRAVIK
# Exit status 77 (skipped) when a peer tool is missing.
#
# qemu-img 7.2 sizes a VHD by its disk geometry unless it knows the creator
# application; dravik's footers carry one cylinder more than the data, so
# dravik-made images are opened with force_size_calc=current_size. Images
# made by qemu itself open normally with -f vpc.
set -euo pipefail

case_name=$1
dravik=$2

for tool in qemu-img qemu-io vhdiinfo cmp; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-interop.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Opens a dravik-made image in qemu by its Current Size.
dravik_opts() { echo "driver=vpc,force_size_calc=current_size,file.filename=$1"; }

virtual_size() { # qemu-img info arguments...
    qemu-img info --output=json "$@" | sed -n 's/^ *"virtual-size": \([0-9]*\),*$/\1/p' | head -n 1
}

# A sparse raw image of SIZE bytes with random data in a few places.
make_raw() { # path size
    local path=$1 size=$2
    truncate -s "$size" "$path"
    local at
    for at in 0 $((size / 3)) $((size / 2 + 4096)) $((size - 65536)); do
        if [ "$at" -ge 0 ] && [ $((at + 65536)) -le "$size" ]; then
            head -c 65536 /dev/urandom | dd of="$path" bs=65536 seek="$at" oflag=seek_bytes conv=notrunc status=none
        fi
    done
    if [ "$size" -gt 0 ] && [ "$size" -lt 65536 ]; then
        head -c "$size" /dev/urandom >"$path"
    fi
}

# The first N bytes of two files are equal and the rest of the second is zero.
same_then_zeros() { # expected actual n
    cmp -n "$3" "$1" "$2" || fail "$2 differs from $1 in its first $3 bytes"
    local total
    total=$(stat -c %s "$2")
    if [ "$total" -gt "$3" ]; then
        cmp -n $((total - $3)) -i "$3:0" "$2" /dev/zero || fail "$2 is not zero beyond $3 bytes"
    fi
}

run_dravik() { # expected status, arguments...
    local expected=$1
    shift
    local status=0
    "$dravik" "$@" >out.txt 2>err.txt || status=$?
    [ "$status" -eq "$expected" ] || { cat out.txt err.txt >&2; fail "dravik $* exited with $status"; }
}

# A dynamic or fixed image made by qemu, with data written out of order so
# its blocks are allocated out of table order.
make_qemu_image() { # path size subformat
    qemu-img create -q -f vpc -o subformat="$3" "$1" "$2"
    local size
    size=$(virtual_size -f vpc "$1")
    local pattern=1
    local at
    for at in $((size - 8192)) $((size / 2)) 0 $((size / 4 + 512)) $((3 * 1048576 + 1536)); do
        if [ "$at" -ge 0 ] && [ $((at + 4096)) -le "$size" ]; then
            qemu-io -f vpc -c "write -P $((pattern * 37 % 256)) $at 4096" "$1" >/dev/null
        fi
        pattern=$((pattern + 1))
    done
}

case_conv2vhd() {
    local size
    for size in 1048576 $((5 * 1048576 + 1536)) $((5 * 1024 * 1048576)); do
        make_raw raw.img "$size"
        cp --sparse=always raw.img original.img
        run_dravik 0 conv2vhd raw.img disk.vhd
        [ "$(virtual_size --image-opts "$(dravik_opts disk.vhd)")" -eq "$size" ] || fail "qemu sees another size for $size"
        qemu-img compare --image-opts "driver=raw,file.filename=original.img" "$(dravik_opts disk.vhd)" >/dev/null ||
            fail "qemu finds the content of the $size-byte image changed"
        vhdiinfo disk.vhd >info.txt || fail "vhdiinfo refuses the $size-byte image"
        grep -q "Disk type.*Fixed" info.txt || fail "vhdiinfo does not see a fixed disk"
        grep -q "($size bytes)" info.txt || fail "vhdiinfo reports another size for $size"
        rm -f raw.img original.img disk.vhd
    done
}

case_conv2img() {
    local sub size
    for sub in dynamic fixed; do
        for size in 10M 21M 7340544; do
            make_qemu_image q.vhd "$size" "$sub"
            local vsize
            vsize=$(virtual_size -f vpc q.vhd)
            qemu-img convert -f vpc -O raw q.vhd q.raw
            run_dravik 0 conv2img q.vhd d.img
            same_then_zeros q.raw d.img "$vsize"
            rm -f q.vhd q.raw d.img
        done
    done
}

case_roundtrip() {
    local size
    for size in 0 512 1048576 $((3 * 1048576 + 512)) $((6 * 1024 * 1048576 + 4096)); do
        make_raw raw.img "$size"
        cp --sparse=always raw.img original.img
        run_dravik 0 conv2vhd raw.img disk.vhd
        run_dravik 0 conv2img disk.vhd back.img
        cmp original.img back.img || fail "round trip of $size bytes changed the data"
        rm -f raw.img original.img disk.vhd back.img
    done
}

case_resize_fixed() {
    # One fixed image made by qemu, one by dravik.
    make_qemu_image q.vhd 10M fixed
    make_raw d.vhd 10485760
    cp --sparse=always d.vhd d.raw
    run_dravik 0 conv2vhd d.vhd dd.vhd
    local image reference
    for image in q.vhd dd.vhd; do
        if [ "$image" = q.vhd ]; then
            qemu-img convert -f vpc -O raw q.vhd reference.raw
        else
            cp --sparse=always d.raw reference.raw
        fi
        run_dravik 0 resize "$image" 20
        [ "$(virtual_size --image-opts "$(dravik_opts "$image")")" -eq 20971520 ] || fail "$image: qemu sees another size"
        qemu-img compare --image-opts "driver=raw,file.filename=reference.raw" "$(dravik_opts "$image")" >/dev/null ||
            fail "$image: content changed, or not zero after the old end"
        vhdiinfo "$image" >/dev/null || fail "vhdiinfo refuses the resized $image"
        rm -f reference.raw
    done
}

case_resize_dynamic() {
    local size
    for size in 10M 21M; do
        make_qemu_image q.vhd "$size" dynamic
        local before
        before=$(sha256sum <q.vhd)
        run_dravik 0 resize q.vhd 64
        [ "$(sha256sum <q.vhd)" = "$before" ] || fail "the source of the $size rebuild changed"
        [ "$(virtual_size --image-opts "$(dravik_opts new.vhd)")" -eq 67108864 ] || fail "new.vhd has another size"
        qemu-img compare -f vpc q.vhd --image-opts "$(dravik_opts new.vhd)" >/dev/null 2>&1 ||
            qemu-img compare --image-opts "driver=vpc,file.filename=q.vhd" "$(dravik_opts new.vhd)" >/dev/null ||
            fail "new.vhd from $size differs from its source, or is not zero after it"
        vhdiinfo new.vhd >/dev/null || fail "vhdiinfo refuses new.vhd from $size"
        rm -f q.vhd new.vhd
    done
}

case_info() {
    local sub size
    for sub in dynamic fixed; do
        for size in 10M 21M 1G 100G; do
            qemu-img create -q -f vpc -o subformat="$sub" q.vhd "$size"
            run_dravik 0 info q.vhd
            grep -q "^Current_Size=$(virtual_size -f vpc q.vhd)"$'\r'"\$" out.txt ||
                fail "info on a $sub $size image disagrees with qemu-img"
            rm -f q.vhd
        done
    done
}

"case_$case_name"
echo "PASS: $case_name"
