#!/usr/bin/env bash
# Builds the emulated board: kernel, static busybox and the initramfs around a loader.
#   build.sh packages               install the Debian packages the board needs
#   build.sh kernel|busybox         build into the cache (once per key) and print the result's path
#   build.sh initramfs LOADER       print the path of an initramfs holding LOADER unchanged
# Everything lands in ${IMGL_BOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/imgloader/board}, keyed by
# a hash of what went into it, so a second run on the same machine builds nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/../../scripts/common.sh
. "$here/../../scripts/common.sh"
CACHE=${IMGL_BOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/imgloader/board}
CROSS=powerpc-linux-gnu-
BOARD_PACKAGES=(qemu-system-ppc gcc-powerpc-linux-gnu linux-source-6.1 bc bison flex m4 libssl-dev libelf-dev
    cpio dpkg-dev xz-utils make file mtd-utils python3-pexpect python3-pytest lrzsz)

log() { echo "[board] $*" >&2; }

packages() { install_packages "${BOARD_PACKAGES[@]}"; }

key() { cat "$@" | sha256sum | cut -c1-16; }
tool_versions() { "${CROSS}gcc" --version | head -n1; }

# deb-src entries for the archives and suites the machine already uses, in a private apt state:
# the machine's own apt configuration is never touched.
apt_private() {
    local dir=$CACHE/apt f
    if [[ ! -d $dir/sources ]]; then
        mkdir -p "$dir"/{sources.tmp,lists/partial,cache/archives/partial}
        for f in /etc/apt/sources.list.d/*.sources; do
            [[ -f $f ]] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$dir/sources.tmp/$(basename "$f")"
        done
        [[ -f /etc/apt/sources.list ]] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$dir/sources.tmp/src.list"
        mv "$dir/sources.tmp" "$dir/sources"
    fi
    apt-get -q -o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$dir/sources" \
        -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" "$@"
}

# Unpacks Debian's source of PKG into DIR (fresh).
debian_source() {
    local pkg=$1 dir=$2 tmp
    tmp=$(mktemp -d "$CACHE/src.XXXXXX")
    if ! ls "$CACHE"/apt/lists/*Sources* >/dev/null 2>&1; then
        apt_private update >/dev/null
    fi
    (cd "$tmp" && apt_private source --download-only "$pkg" >/dev/null && dpkg-source -x --no-check ./*.dsc src >/dev/null) ||
        { rm -rf "$tmp"; return 1; }
    rm -rf "$dir"
    mv "$tmp/src" "$dir"
    rm -rf "$tmp"
}

kernel() {
    local k out src
    k=$(key "$here/kernel.config" <(tool_versions) <(dpkg-query -W -f='${Version}' linux-source-6.1))
    out=$CACHE/kernel-$k
    if [[ ! -f $out/vmlinux ]]; then
        log "building the kernel (about 12 minutes on 2 cores)"
        src=$CACHE/linux-build
        rm -rf "$src"
        mkdir -p "$src"
        tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
        local make=(make -C "$src" ARCH=powerpc "CROSS_COMPILE=$CROSS")
        "${make[@]}" mpc85xx_defconfig >/dev/null
        (cd "$src" && ARCH=powerpc scripts/kconfig/merge_config.sh -m .config "$here/kernel.config" >/dev/null)
        "${make[@]}" olddefconfig >/dev/null
        check_config "$src/.config"
        nice -n 5 "${make[@]}" -j"$JOBS" vmlinux >"$CACHE/kernel-build.log" 2>&1 ||
            { tail -n 30 "$CACHE/kernel-build.log" >&2; return 1; }
        mkdir -p "$out.tmp"
        cp "$src/vmlinux" "$src/.config" "$out.tmp/"
        rm -rf "$out" && mv "$out.tmp" "$out"
        rm -rf "$src"
    fi
    echo "$out/vmlinux"
}

# Every option the fragment sets must survive olddefconfig (a dependency missing drops it silently).
check_config() {
    local line bad=0
    while IFS= read -r line; do
        case $line in
        CONFIG_*=*) grep -qxF "$line" "$1" || { log "kernel option not taken: $line"; bad=1; } ;;
        "# CONFIG_"*" is not set") ! grep -q "^${line:2:-11}=" "$1" || { log "kernel option still set: $line"; bad=1; } ;;
        esac
    done <"$here/kernel.config"
    return $bad
}

busybox() {
    local k out src
    k=$(key "$here/busybox.config" <(tool_versions) <(apt-cache policy busybox | sed -n 's/ *Candidate: //p'))
    out=$CACHE/busybox-$k
    if [[ ! -x $out/busybox ]]; then
        log "building busybox"
        src=$CACHE/busybox-build
        debian_source busybox "$src"
        local make=(make -C "$src" ARCH=powerpc "CROSS_COMPILE=$CROSS")
        "${make[@]}" defconfig >/dev/null
        local opt
        while IFS= read -r opt; do
            sed -i "/^# ${opt%%=*} is not set\$/d; /^${opt%%=*}=/d" "$src/.config"
            echo "$opt" >>"$src/.config"
        done <"$here/busybox.config"
        { yes '' || true; } | "${make[@]}" oldconfig >/dev/null 2>&1
        grep -qx CONFIG_FLASH_ERASEALL=y "$src/.config" && grep -qx CONFIG_STATIC=y "$src/.config"
        nice -n 5 "${make[@]}" -j"$JOBS" busybox busybox.links >"$CACHE/busybox-build.log" 2>&1 ||
            { tail -n 30 "$CACHE/busybox-build.log" >&2; return 1; }
        mkdir -p "$out"
        cp "$src/busybox" "$src/busybox.links" "$out/"
        rm -rf "$src"
    fi
    echo "$out/busybox"
}

initramfs() {
    local loader=$1 bb k out root
    [[ -f $loader ]] || { log "no loader at $loader"; return 1; }
    file -b "$loader" | grep -q 'PowerPC.*statically linked' || { log "$loader is not a static PowerPC binary"; return 1; }
    bb=$(busybox)
    k=$(key "$0" "$loader" "$bb" <(cd "$here/rootfs" && find . -type f | LC_ALL=C sort | xargs sha256sum))
    out=$CACHE/initramfs-$k.cpio.gz
    if [[ ! -f $out ]]; then
        root=$(mktemp -d "$CACHE/root.XXXXXX")
        mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,mnt,user,etc}
        cp "$bb" "$root/bin/busybox"
        cp "$loader" "$root/bin/imgloader"
        cp -r "$here/rootfs/." "$root/"
        ln -s /bin/busybox "$root/init"
        local a
        for a in $(qemu_busybox_applets "$bb"); do
            [[ -e $root/$a ]] || ln -s /bin/busybox "$root/$a"
        done
        { (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) && console_node; } |
            gzip -9 >"$out.tmp"
        mv "$out.tmp" "$out"
        rm -rf "$root"
    fi
    echo "$out"
}

# A second cpio archive with /dev/console (character 5:1), which the kernel opens for init before
# any device file system is mounted; written here so that no device node is made on the host.
console_node() {
    python3 -c '
import sys
def entry(name, mode, major=0, minor=0):
    name = name.encode() + b"\0"
    fields = [1, mode, 0, 0, 1, 0, 0, 0, 0, major, minor, len(name), 0]
    head = b"070701" + "".join(f"{v:08X}" for v in fields).encode() + name
    return head + b"\0" * (-len(head) % 4)
sys.stdout.buffer.write(entry("dev/console", 0o020600, 5, 1) + entry("TRAILER!!!", 0))
'
}

# The build's own list of applet paths, so the PowerPC binary never runs on the host.
qemu_busybox_applets() { cat "$(dirname "$1")/busybox.links"; }

cmd=${1:-}
shift || true
mkdir -p "$CACHE"
case $cmd in
packages | kernel | busybox | initramfs) "$cmd" "$@" ;;
*)
    echo "usage: $0 packages|kernel|busybox|initramfs LOADER" >&2
    exit 2
    ;;
esac
