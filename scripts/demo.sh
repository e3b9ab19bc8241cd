#!/usr/bin/env bash
# Builds the simulated loader and starts it on this terminal inside the board
# sandbox, on an empty board for now: it walks its boot path to the reboot.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages
fetch_busybox
build default imgloader-sim
dir=$(build_dir default)
"$PY" tools/sandbox/sandbox.py template --loader "$dir/imgloader-sim" --out "$dir/sandbox-template" >/dev/null
template=$dir/sandbox-template
exec "$PY" tools/sandbox/sandbox.py run --template "$template"
