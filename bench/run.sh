#!/bin/sh
# Runs imgl_bench N times (default 5) as is, and N times with libcrypto held
# to its scalar code, then prints medians and ours-vs-openssl ratios; then
# whole processes on image files of 1 to 256 MiB (bench/whole_process.py).
# Usage: bench/run.sh [N] [extra imgl_bench arguments...]
# BUILD_DIR picks the build tree (default build/bench, preset "bench").
set -eu

runs=${1:-5}
[ $# -gt 0 ] && shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}

if [ ! -f "$build/build.ninja" ]; then
    cmake --preset bench -S "$root" -B "$build"
fi
ninja -C "$build" -j2 imgl_bench imgl_check_file imgtool
bin="$build/bench/imgl_bench"

out=$(mktemp -d /tmp/imgl-bench.XXXXXX)
# Masks out SHA, AVX/AVX2 and SSSE3 in libcrypto's capability vector.
scalar_caps='~0x1000020000000000:~0x20000020'

i=1
while [ "$i" -le "$runs" ]; do
    echo "run $i/$runs" >&2
    "$bin" --benchmark_format=json --benchmark_out_format=json \
        --benchmark_out="$out/normal_$i.json" "$@" >/dev/null
    OPENSSL_ia32cap="$scalar_caps" "$bin" --benchmark_format=json --benchmark_out_format=json \
        --benchmark_out="$out/scalar_$i.json" "$@" >/dev/null
    i=$((i + 1))
done

/usr/bin/python3 "$root/bench/ratios.py" \
    --run normal "$out"/normal_*.json \
    --run scalar "$out"/scalar_*.json
echo "raw results: $out" >&2
/usr/bin/python3 "$root/bench/whole_process.py" "$build" --runs "$runs"
