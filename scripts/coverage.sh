#!/usr/bin/env bash
# Line and branch coverage of the loader's code (boot, image, hw, security,
# rescue, platform/linux), and apart from it of platform/sim and tools, from the
# unit and system tests of the `coverage` preset (build/<prefix>coverage).
# Counts what a plain --coverage run loses: the counters of processes that end
# in execv or _exit (cmake/coverage_hooks.cpp) and those that loaders in the
# sandbox write into the overlay's upper directory (collected per run by the
# system-test harness, merged here with gcov-tool). Not part of scripts/test.sh.
# Exits non-zero when a test fails; the figures are printed all the same.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. scripts/common.sh

PACKAGES+=(gcovr)
install_packages || exit 1
fetch_busybox || exit 1

build coverage || exit 1
dir=$(build_dir coverage)
abs=$(cd "$dir" && pwd)
runs=$abs/coverage-runs
report=$abs/coverage
find "$dir" -name '*.gcda' -delete # also the runs and merges of the last time
rm -rf "$runs" "$report"
mkdir -p "$runs" "$report"

echo "== test coverage"
status=0
IMGL_COVERAGE_RUNS=$runs ctest --test-dir "$dir" --output-on-failure -j "$JOBS" >"$dir-test.log" 2>&1 || status=1
# The portable CRC and SHA-256 paths as a CPU without the x86 instructions
# chooses them (qemu's plain 64-bit CPU): their known-answer tests once more.
if [[ $(uname -m) == x86_64 ]]; then
    for t in "image_tests Crc32.*" "crypto_tests AllPaths/*:ComputeSHA256.*"; do
        read -r bin filter <<<"$t"
        qemu-x86_64 -cpu qemu64 "$dir/tests/$bin" --gtest_filter="$filter" >>"$dir-test.log" 2>&1 || status=1
    done
fi
grep -E 'tests passed' "$dir-test.log" || { tail -n 40 "$dir-test.log"; }

# Each sandbox run left its files under the build tree's absolute path; add
# them one run at a time to the counters the host processes wrote.
merged=$report/merged
mkdir -p "$merged"
(cd "$dir" && find . \( -path ./coverage-runs -o -path ./coverage \) -prune -o -name '*.gcda' \
    -exec cp --parents {} "$merged" \;)
n=0
for run in "$runs"/run-*; do
    [[ -d $run$abs ]] || continue
    gcov-tool merge -o "$merged.next" "$run$abs" "$merged" >/dev/null || exit 1
    rm -rf "$merged" && mv "$merged.next" "$merged"
    n=$((n + 1))
done
cp -r "$merged/." "$dir/"
echo "== merged the counters of $n sandbox runs"

root=$(pwd)
gcovr -r "$root" --object-directory "$abs" -j "$JOBS" --exclude-directories "$abs/googletest" \
    --exclude-throw-branches --exclude-unreachable-branches \
    -f "$root/(boot|image|hw|security|rescue|platform|tools)/" \
    --json "$report/coverage.json" --html-details "$report/index.html" >/dev/null || exit 1

"$PY" - "$report/coverage.json" <<'PY'
import json, sys
from collections import defaultdict

files = json.load(open(sys.argv[1]))["files"]
GROUPS = (("loader", ("boot/", "image/", "hw/", "security/", "rescue/", "platform/linux/")),
          ("platform/sim", ("platform/sim/",)), ("tools", ("tools/",)))


def counts(f):
    lines = [l for l in f["lines"] if not l.get("gcovr/noncode")]
    branches = [b for l in lines for b in l["branches"]]
    return (sum(l["count"] > 0 for l in lines), len(lines),
            sum(b["count"] > 0 for b in branches), len(branches))


def pct(a, b):
    return f"{100 * a / b:6.1f}%" if b else "     -"


def row(name, c):
    print(f"{name:<44} {pct(c[0], c[1])} {c[0]:>5}/{c[1]:<5} {pct(c[2], c[3])} {c[2]:>5}/{c[3]:<5}")


per_file = {f["file"]: counts(f) for f in files}
header = f"{'':<44} {'lines':>20} {'branches':>19}"
for group, prefixes in GROUPS:
    mine = {k: v for k, v in per_file.items() if k.startswith(prefixes)}
    folders = defaultdict(lambda: [0, 0, 0, 0])
    for name, c in mine.items():
        folder = name.rsplit("/", 1)[0] + "/"
        folders[folder] = [a + b for a, b in zip(folders[folder], c)]
    total = [sum(c[i] for c in mine.values()) for i in range(4)]
    print(f"\n== {group}\n{header}")
    for name in sorted(mine):
        row(name, mine[name])
    print()
    for folder in sorted(folders):
        row(folder, folders[folder])
    row(f"TOTAL {group}", total)
PY
echo "== report: $report/index.html"
exit $status
