#!/usr/bin/env bash
# Builds the simulated loader and the image tool, makes a board with two
# production-signed application images, and boots it on this terminal inside the
# board sandbox: the loader checks image 1 and starts its application.
#   --rescue  asks for the rescue menu at start-up (boot option diagnostics=rescue)
#             and serves demo-2.0.0.0.img over TFTP at 127.0.0.1 inside the board
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

rescue=0
run_args=()
for arg in "$@"; do
    case $arg in
    --rescue) rescue=1 ;;
    *) echo "usage: $0 [--rescue]" >&2; exit 2 ;;
    esac
done

install_packages
fetch_busybox
build default imgloader-sim imgtool
dir=$(build_dir default)
template=$dir/sandbox-template
"$PY" tools/sandbox/sandbox.py template --loader "$dir/imgloader-sim" --out "$template" >/dev/null

work=$(mktemp -d)
upper=$(mktemp -d)
# The upper directory may hold the overlay's work directory, which has no permission bits.
trap 'rm -rf "$work"; "$PY" -c "import sys; sys.path.insert(0, \"tools/sandbox\"); import sandbox; sandbox.remove_tree(sys.argv[1])" "$upper"' EXIT

mkdir -p "$upper/user/images" "$upper/board" "$work/tftp"
make_demo_app "$dir/imgtool" "$work" 1.0.0.1 "$upper/user/images/image1"
make_demo_app "$dir/imgtool" "$work" 1.0.0.2 "$upper/user/images/image2"
make_demo_app "$dir/imgtool" "$work" 2.0.0.0 "$work/tftp/demo-2.0.0.0.img"
printf 'time_scale 1\n' >"$upper/board/config"

if ((rescue)); then
    # The boot loader's environment: CRC word, NUL-terminated entries, erased flash after.
    mkdir -p "$upper/dev"
    cp "$template/dev/mtd-ubootenv" "$upper/dev/mtd-ubootenv"
    printf '\0\0\0\0diagnostics=rescue\0\0' | dd of="$upper/dev/mtd-ubootenv" conv=notrunc status=none
    run_args=(--tftp-root "$work/tftp")
fi

"$PY" tools/sandbox/sandbox.py run --template "$template" --upper "$upper" "${run_args[@]}"
