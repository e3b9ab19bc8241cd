# shellcheck shell=bash
# Shared by test.sh and demo.sh: the Debian packages and the busybox package
# the builds and the sandbox need. Quiet when everything is there.

PY=/usr/bin/python3 # the system Python has pytest and pexpect
JOBS=${IMGL_JOBS:-2}
# Build trees are build/<prefix><preset>; a prefix keeps a private set apart.
PREFIX=${IMGL_BUILD_PREFIX:-}
PACKAGES=(cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev libssl-dev zlib1g-dev
    python3 python3-pytest python3-pexpect g++-powerpc-linux-gnu qemu-user clang openssl iproute2
    util-linux ccache strace lrzsz libisal-dev libclang-rt-14-dev)

# install_packages [PACKAGE...]: the given Debian packages (default: PACKAGES) that are missing.
install_packages() {
    local missing=() p
    (($#)) || set -- "${PACKAGES[@]}"
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    echo "== installing ${missing[*]}"
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

fetch_busybox() {
    "$PY" tools/sandbox/sandbox.py fetch >/dev/null
}

build_dir() { echo "build/$PREFIX$1"; }

# build PRESET [TARGET...]: configure and build, output in build/<dir>.log
build() {
    local preset=$1 dir log targets=()
    dir=$(build_dir "$1")
    log=$dir.log
    shift
    (($#)) && targets=(--target "$@")
    mkdir -p build
    echo "== build $preset"
    if ! { cmake --preset "$preset" -B "$dir" && cmake --build "$dir" -j "$JOBS" "${targets[@]}"; } >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "== build $preset FAILED (full log: $log)"
        return 1
    fi
}

# make_demo_app IMGTOOL WORKDIR VERSION OUTPUT: a signed application whose
# program prints its version and exits.
make_demo_app() {
    local tool=$1 tree=$2/app-$3
    mkdir -p "$tree/home/bin"
    printf '#!/bin/sh\necho "Demo application %s is running."\n' "$3" >"$tree/home/bin/mp.elf.strip"
    chmod +x "$tree/home/bin/mp.elf.strip"
    tar -C "$tree" -czf "$tree.tar.gz" home
    "$tool" create --type application --version "$3" --sign keys/test/production.key.pem "$tree.tar.gz" -o "$4"
}
