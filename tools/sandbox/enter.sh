# Runs as PID 1 of fresh user, mount, network, PID, UTS and IPC namespaces,
# still on the host's file system: builds the board root and moves into it.
# Arguments: LOWER UPPER RUNDIR HOST_USERNS LINK(up|down) [REMOVE...] -- COMMAND...
set -eu
lower=$1 upper=$2 run=$3 host_userns=$4 link=$5
shift 5

fail() {
    echo "[sandbox] $*" >&2
    exit 125
}

# Everything below relies on root being powerless outside this user namespace.
read -r inner outer count </proc/self/uid_map
[ "$inner $outer $count" != "0 0 4294967295" ] || fail "refusing to run: identity uid map, no user namespace"
[ "$(readlink /proc/self/ns/user)" != "$host_userns" ] || fail "refusing to run: still in the host's user namespace"

root=$run/root
# The template's busybox starts faster than the host's mount, and a start of
# the board does nine mounts.
bb=$lower/bin/busybox
$bb mount -t overlay board -o "lowerdir=$lower,upperdir=$upper,workdir=$run/work" "$root"

# Only these host nodes are reachable; the simulated devices are plain files.
for node in null zero random urandom tty; do
    $bb mount -o bind "/dev/$node" "$root/dev/$node"
done
if console=$(tty 2>/dev/null); then
    $bb mount -o bind "$console" "$root/dev/ttyS0"
fi
$bb mount -t proc -o ro,nosuid,nodev,noexec proc "$root/proc"

peer="up"
[ "$link" = down ] && peer="down"
ip -batch - <<NET
link set lo up
link add eth0 type veth peer name eth0-peer
link set eth0 up
link set eth0-peer $peer
NET

# pivot_root rather than a bare chroot: the host tree is detached, not just hidden.
cd "$root"
pivot_root . .oldroot
/bin/busybox umount -l /.oldroot
cd /
# Removals only now, so that no path or link can lead them out of the board.
while [ "$1" != -- ]; do
    /bin/busybox rm -rf -- "$1"
    shift
done
shift
exec /bin/busybox env -i PATH=/bin:/sbin:/usr/bin:/usr/sbin HOME=/root TERM="${TERM:-vt100}" \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    ${LSAN_OPTIONS:+LSAN_OPTIONS="$LSAN_OPTIONS"} /bin/sh /sandbox/init.sh "$@"
