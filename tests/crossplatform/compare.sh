#!/usr/bin/env bash
# Runs the same dravik commands on the same input files with the Linux
# program and with dravik.exe under Wine, and requires byte-identical
# standard output, exit statuses and files afterwards. Only the two footer
# fields that differ by design are masked: Checksum and Unique Id (bytes
# 64 to 83 of every footer).
#
#   compare.sh SOURCE_DIR WORK_DIR NATIVE_DRAVIK DRAVIK_EXE EMULATOR...
#
# NATIVE_DRAVIK may be empty: the Linux program is then built from
# SOURCE_DIR into WORK_DIR/native.
#
# A case is a pair of functions: prepare_NAME makes the input files in the
# current directory (it may use `native ARGS...` to make them with the
# Linux program), commands_NAME runs `dravik ARGS...` on them. To add one,
# write both and add NAME to the list `cases`.
set -euo pipefail

source_dir=$(realpath "$1")
work=$(realpath -m "$2")
native_dravik=$3
dravik_exe=$(realpath "$4")
shift 4
# The commands run inside each case's directory: paths become absolute.
emulator=()
for argument in "$@"; do
    if [ -e "$argument" ]; then
        argument=$(realpath "$argument")
    fi
    emulator+=("$argument")
done

# Input helpers -----------------------------------------------------------

# A raw image of SIZE bytes, sparse, with a few recognisable sectors.
make_image() {
    local name=$1 size=$2
    truncate -s "$size" "$name"
    if [ "$size" -ge 1024 ]; then
        printf 'first sector of %s' "$name" | dd of="$name" conv=notrunc status=none
        printf 'second sector' | dd of="$name" bs=512 seek=1 conv=notrunc status=none
    fi
    if [ "$size" -ge 2048 ]; then
        printf 'last sector' | dd of="$name" bs=512 seek=$((size / 512 - 1)) conv=notrunc status=none
    fi
}

native() {
    "$native_dravik" "$@" >/dev/null 2>&1 || true
}

# The cases ----------------------------------------------------------------

cases=(usage conv2vhd_10mib conv2vhd_beyond_4gib conv2vhd_odd_sizes conv2vhd_refusals
       info_fixed conv2img_fixed resize_fixed)

prepare_usage() { :; }
commands_usage() {
    dravik
    dravik help
    dravik INFO x.vhd
    dravik resize x.vhd 12abc
}

prepare_conv2vhd_10mib() { make_image disk.img $((10 << 20)); }
commands_conv2vhd_10mib() { dravik conv2vhd disk.img disk.vhd; }

# Sizes and positions beyond 4 GiB: the footer lands behind the high half.
prepare_conv2vhd_beyond_4gib() { make_image big.img $(((4 << 30) + (1 << 20))); }
commands_conv2vhd_beyond_4gib() { dravik conv2vhd big.img big.vhd; }

# The smallest images, and sizes that are no count of sectors.
prepare_conv2vhd_odd_sizes() {
    make_image tiny.img 512
    make_image empty.img 0
    make_image odd.img 1000
}
commands_conv2vhd_odd_sizes() {
    dravik conv2vhd tiny.img tiny.vhd
    dravik conv2vhd empty.img empty.vhd
    dravik conv2vhd odd.img odd.vhd
}

# Nothing to convert, nowhere to go: files stay as they are.
prepare_conv2vhd_refusals() {
    make_image a.img 4096
    printf precious >b.vhd
    mkdir sub
}
commands_conv2vhd_refusals() {
    dravik conv2vhd missing.img x.vhd
    dravik conv2vhd a.img b.vhd
    dravik conv2vhd sub x.vhd
    dravik conv2vhd
}

prepare_info_fixed() { make_image disk.img $((3 << 20)); native conv2vhd disk.img disk.vhd; }
commands_info_fixed() {
    dravik info disk.vhd
    dravik info missing.vhd
}

prepare_conv2img_fixed() { prepare_info_fixed; }
commands_conv2img_fixed() { dravik conv2img disk.vhd disk.img; }

prepare_resize_fixed() { prepare_info_fixed; }
commands_resize_fixed() {
    dravik resize disk.vhd 5
    dravik resize disk.vhd 2
}

# Running and comparing ---------------------------------------------------

# Runs dravik with the program of the current side, recording its output
# and exit status in the side's log.
dravik() {
    local status=0
    "${runner[@]}" "$@" >>"$log" 2>/dev/null || status=$?
    printf '[exit %s]\n' "$status" >>"$log"
}

# Zeros the Checksum and Unique Id of the footer at the end of a file and
# of its copy at the start, wherever one is.
mask_footers() {
    local file=$1 size at
    size=$(stat -c %s "$file")
    [ "$size" -ge 512 ] || return 0
    for at in 0 $((size - 512)); do
        if [ "$(dd if="$file" bs=1 skip="$at" count=8 status=none | tr -d '\000')" = conectix ]; then
            dd if=/dev/zero of="$file" bs=1 seek=$((at + 64)) count=20 conv=notrunc status=none
        fi
    done
}

# Compares two directory trees: the same names, the same kinds, the same
# bytes after masking.
compare_trees() {
    local left=$1 right=$2 name failed=0
    if ! diff <(cd "$left" && find . | sort) <(cd "$right" && find . | sort) >/dev/null; then
        echo "  the files differ:"
        diff <(cd "$left" && find . | sort) <(cd "$right" && find . | sort) | sed 's/^/    /'
        return 1
    fi
    while IFS= read -r name; do
        cp --sparse=always "$left/$name" "$work/left.masked"
        cp --sparse=always "$right/$name" "$work/right.masked"
        mask_footers "$work/left.masked"
        mask_footers "$work/right.masked"
        if ! cmp -s "$work/left.masked" "$work/right.masked"; then
            echo "  $name differs: $(cmp "$work/left.masked" "$work/right.masked" 2>&1 | head -1)"
            failed=1
        fi
    done < <(cd "$left" && find . -type f | sort)
    rm -f "$work/left.masked" "$work/right.masked"
    return $failed
}

if [ -z "$native_dravik" ]; then
    echo "building the Linux program in $work/native"
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$source_dir" -B "$work/native" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DDRAVIK_TESTS=OFF >/dev/null
    cmake --build "$work/native" >/dev/null
    native_dravik=$work/native/dravik
fi
native_dravik=$(realpath "$native_dravik")

rm -rf "$work/cases"
failures=0
for name in "${cases[@]}"; do
    dir=$work/cases/$name
    mkdir -p "$dir/input"
    (cd "$dir/input" && "prepare_$name")
    for side in linux windows; do
        cp -a --sparse=always "$dir/input" "$dir/$side"
        log=$dir/$side.stdout
        : >"$log"
        if [ $side = linux ]; then
            runner=("$native_dravik")
        else
            runner=("${emulator[@]}" "$dravik_exe")
        fi
        (cd "$dir/$side" && "commands_$name")
    done
    if cmp -s "$dir/linux.stdout" "$dir/windows.stdout" && compare_trees "$dir/linux" "$dir/windows"; then
        echo "same: $name"
        rm -rf "$dir"
    else
        echo "DIFFERENT: $name"
        diff <(od -c "$dir/linux.stdout") <(od -c "$dir/windows.stdout") | head -20 | sed 's/^/    /' || true
        failures=$((failures + 1))
    fi
done
echo "$failures of ${#cases[@]} cases differ"
[ "$failures" -eq 0 ]
