#!/usr/bin/env bash
# The emulated PowerPC board (qemu-system-ppc -M ppce500 with a real kernel and its drivers) running
# the unchanged product loader, build/ppc/imgloader (IMGL_BOARD_LOADER names another PowerPC build).
#   scripts/board.sh [--rescue]        boots it on this terminal, demo images in both slots; --rescue
#                                      asks for the rescue menu first and serves demo-2.0.0.0.img
#                                      from the emulator's TFTP server at 10.0.2.2
#   scripts/board.sh --test [ARGS...]  runs tests/board (pytest ARGS), comparing with imgloader-sim
#                                      of the default build where there is one
# The kernel and busybox are built once per machine into ~/.cache/imgloader/board.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

mode=demo
rescue=()
case ${1:-} in
--test) mode="test" && shift ;;
--rescue) rescue=(--rescue) && shift ;;
"") ;;
*) echo "usage: $0 [--rescue | --test [PYTEST ARGS...]]" >&2 && exit 2 ;;
esac

install_packages
bash tools/board/build.sh packages
loader=${IMGL_BOARD_LOADER:-$(build_dir ppc)/imgloader}
[[ -f $loader ]] || build ppc imgloader
start=$SECONDS
kernel=$(bash tools/board/build.sh kernel)
echo "== board kernel ready after $((SECONDS - start)) s"
start=$SECONDS
initramfs=$(bash tools/board/build.sh initramfs "$loader")
echo "== board busybox and initramfs ready after $((SECONDS - start)) s"

if [[ $mode == test ]]; then
    args=(--loader "$loader")
    sim=$(build_dir default)/imgloader-sim
    [[ -x $sim ]] && args+=(--sim "$sim")
    start=$SECONDS
    status=0
    "$PY" -m pytest -q tests/board "${args[@]}" "$@" || status=$?
    echo "== board tests took $((SECONDS - start)) s"
    exit $status
fi

build default imgtool
tool=$(build_dir default)/imgtool
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_demo_app "$tool" "$work" 1.0.0.1 "$work/image1"
make_demo_app "$tool" "$work" 1.0.0.2 "$work/image2"
make_demo_app "$tool" "$work" 2.0.0.0 "$work/demo-2.0.0.0.img"
"$PY" tools/board/emulator.py --kernel "$kernel" --initramfs "$initramfs" --slot "$work/image1" \
    --slot "$work/image2" --tftp "$work/demo-2.0.0.0.img" "${rescue[@]}"
