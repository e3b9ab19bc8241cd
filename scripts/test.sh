#!/usr/bin/env bash
# Builds and tests everything: the host build (unit and system tests), the
# ASan/UBSan build (skip it with IMGL_SKIP_ASAN=1) and the PowerPC build, whose
# unit tests run under qemu-ppc and whose loader then boots on the emulated board
# (scripts/board.sh --test). Exits non-zero on any failure.
# IMGL_BUILD_PREFIX=x- builds in build/x-default etc.; IMGL_JOBS sets -j (2).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. scripts/common.sh

install_packages || exit 1
fetch_busybox || exit 1

presets=(default)
[[ ${IMGL_SKIP_ASAN:-0} == 1 ]] || presets+=(asan)
presets+=(ppc)

failed=()
for preset in "${presets[@]}"; do
    if ! build "$preset"; then
        failed+=("$preset(build)")
        continue
    fi
    echo "== test $preset"
    dir=$(build_dir "$preset")
    log=$dir-test.log
    # What the test presets say (output on failure), for any build tree.
    if ctest --test-dir "$dir" --output-on-failure -j "$JOBS" >"$log" 2>&1; then
        grep -E 'tests passed|No tests were found' "$log"
    else
        cat "$log"
        failed+=("$preset")
    fi
done

# The unchanged PowerPC loader on the emulated board (tests/board); IMGL_SKIP_BOARD=1 skips it.
if [[ ${IMGL_SKIP_BOARD:-0} != 1 ]]; then
    echo "== board"
    if [[ " ${failed[*]} " == *" ppc(build) "* ]]; then
        failed+=("board(no ppc build)")
    else
        bash scripts/board.sh --test || failed+=(board)
    fi
fi

# Fuzz smoke runs: each libFuzzer target from its seed corpus for IMGL_FUZZ_SECONDS,
# by default an equal share of 300 seconds for all of them.
if [[ ${IMGL_SKIP_FUZZ:-0} != 1 ]]; then
    if build fuzz; then
        dir=$(build_dir fuzz)
        targets=()
        for target in "$dir"/fuzz/fuzz_*; do
            [[ -x $target ]] && targets+=("$target")
        done
        seconds=${IMGL_FUZZ_SECONDS:-$((300 / (${#targets[@]} > 0 ? ${#targets[@]} : 1)))}
        for target in "${targets[@]}"; do
            name=$(basename "$target")
            work=$(mktemp -d)
            [[ -d fuzz/corpus/$name ]] && cp -r "fuzz/corpus/$name/." "$work/"
            echo "== fuzz $name"
            if "$target" -max_total_time="$seconds" -print_final_stats=1 "$work" \
                >"$dir/$name.log" 2>&1; then
                grep -E '^stat::number_of_executed_units' "$dir/$name.log"
            else
                tail -n 40 "$dir/$name.log"
                failed+=("fuzz:$name")
            fi
            rm -rf "$work"
        done
    else
        failed+=("fuzz(build)")
    fi
fi

if ((${#failed[@]})); then
    echo "== FAILED: ${failed[*]}"
    exit 1
fi
echo "== all passed"
