#!/usr/bin/python3
"""The board sandbox: a throw-away root in which imgloader-sim and everything
it starts run without reaching the host's clock, network, mounts or power.

  sandbox.py fetch
  sandbox.py template --loader PATH --out DIR
  sandbox.py run --template DIR [--upper DIR] [--keep] [--remove PATH]... [-- COMMAND...]

Every run is a user namespace (always, also for root) with its own mount,
network, PID, UTS and IPC namespaces; the board root is an overlay of the
read-only template and a per-run upper directory, which afterwards holds
exactly what the run wrote.
"""

import argparse
import glob
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent

MARKER = ".imgloader-sandbox"
LOADER_IN_ROOT = "/bin/imgloader-sim"

# Erased flash partitions of the board, in bytes.
MTD_SIZES = {
    "uboot": 1 << 20,
    "ubootenv": 256 << 10,
    "devicetree": 128 << 10,
    "kernel": 4 << 20,
    "rfs": 12 << 20,
    "rescue": 8 << 20,
    "onie": 256 << 10,
}

# Recording stubs for what would act on the host or needs the switch's hardware.
STUBS = {
    "date": "bin/date",
    "hwclock": "bin/hwclock",
    "reboot": "bin/reboot",
    "halt": "bin/halt",
    "poweroff": "bin/poweroff",
    "mount": "bin/mount",
    "umount": "bin/umount",
    "flash_eraseall": "bin/flash_eraseall",
    "dhclient": "bin/dhclient",
    "summary-scan": "bin/summary-scan",
    "backtrace": "bin/backtrace",
    "gdbserver": "bin/gdbserver",
}

# Busybox applets linked into /bin. A list of what may run, not of what may not:
# nothing that sets the clock, mounts, loads modules, makes nodes or powers off.
APPLETS = """
    sh ash tar gunzip gzip zcat md5sum sha256sum cp mv rm rmdir mkdir touch chmod chown ln
    cat ls tftp ifconfig route ip ping echo printf test [ [[ true false sleep usleep head
    tail grep egrep fgrep sed awk cut tr wc sort uniq dd od hexdump xxd cmp diff find stat
    readlink realpath dirname basename env id kill ps pwd stty tty uname seq expr which
    xargs tee mktemp sync truncate mkfifo timeout nc hostname clear reset
""".split()

DEVICE_BINDS = ("null", "zero", "random", "urandom", "tty")
PATH_IN_ROOT = "/bin:/sbin:/usr/bin:/usr/sbin"


def cache_dir():
    if os.environ.get("IMGL_CACHE"):
        return Path(os.environ["IMGL_CACHE"])
    return REPO / "build" / ".cache"


def fetch_busybox(cache):
    """Debian's dynamically linked busybox, unpacked but never installed.

    Its shell finds programs through PATH (the static build would run its own
    applets in-process and bypass the stubs)."""
    unpacked = cache / "busybox-root"
    binary = unpacked / "bin" / "busybox"
    if binary.exists():
        return binary
    debs = cache / "debs"
    debs.mkdir(parents=True, exist_ok=True)
    found = sorted(glob.glob(str(debs / "busybox_*.deb")))
    if not found:
        subprocess.run(["apt-get", "download", "-q", "busybox"], cwd=debs, check=True,
                       stdout=subprocess.DEVNULL)
        found = sorted(glob.glob(str(debs / "busybox_*.deb")))
    if not found:
        sys.exit("sandbox: busybox .deb not found after apt-get download")
    tmp = Path(tempfile.mkdtemp(prefix="busybox-", dir=cache))
    subprocess.run(["dpkg-deb", "-x", found[-1], str(tmp)], check=True)
    os.replace(tmp, unpacked)
    return binary


def shared_libs(binary):
    """Paths of the shared objects (interpreter included) that binary loads."""
    out = subprocess.run(["ldd", str(binary)], capture_output=True, text=True)
    if out.returncode != 0:
        return []  # static executable
    libs = []
    for line in out.stdout.splitlines():
        parts = line.split()
        if "=>" in parts:
            target = parts[parts.index("=>") + 1]
            if target.startswith("/"):
                libs.append(target)
        elif parts and parts[0].startswith("/"):
            libs.append(parts[0])
    return libs


def install(root, host_path, at=None, mode=None):
    """Copies a host file to the same path (or at) in root, following links."""
    dest = root / (at or host_path).lstrip("/")
    dest.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(host_path, dest)
    os.chmod(dest, mode if mode is not None else stat.S_IMODE(os.stat(host_path).st_mode))
    return dest


def install_program(root, host_path, at):
    install(root, host_path, at)
    for lib in shared_libs(host_path):
        if not (root / lib.lstrip("/")).exists():
            install(root, lib)


def build_duma(root, lib_dir):
    """A real shared object where LD_PRELOAD=libduma.so.0.0.0 finds it; it only
    records that it was loaded. An empty file (ld.so warns, runs on) without cc."""
    dest = root / lib_dir.lstrip("/") / "libduma.so.0.0.0"
    dest.parent.mkdir(parents=True, exist_ok=True)
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc:
        done = subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(dest), str(HERE / "stubs" / "duma.c")])
        if done.returncode == 0:
            return
    dest.write_bytes(b"")


def build_template(loader, out):
    out = Path(out)
    if out.exists():
        shutil.rmtree(out)
    root = Path(tempfile.mkdtemp(prefix=".template-", dir=out.parent))
    os.chmod(root, 0o755)
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "lib", "etc", "dev", "proc", "sys", "root",
              "user/images", "mnt/usb", "board", "sandbox", ".oldroot", "var/run"):
        (root / d).mkdir(parents=True, exist_ok=True)
    (root / "tmp").mkdir(mode=0o1777)
    os.chmod(root / "tmp", 0o1777)

    busybox = fetch_busybox(cache_dir())
    install_program(root, str(busybox), "/bin/busybox")
    for applet in APPLETS:
        if applet not in STUBS:
            os.symlink("busybox", root / "bin" / applet)
    for name, at in STUBS.items():
        install(root, str(HERE / "stubs" / name), "/" + at, 0o755)
    install(root, str(HERE / "stubs" / "log.sh"), "/sandbox/log.sh", 0o644)
    install(root, str(HERE / "init.sh"), "/sandbox/init.sh", 0o644)
    libc = next((lib for lib in shared_libs(busybox) if "/libc.so" in lib), "/lib/x86_64-linux-gnu/libc.so.6")
    build_duma(root, os.path.dirname(libc))
    if os.path.exists("/usr/bin/rx"):  # XMODEM receiver of lrzsz, behind the board's wrapper
        install_program(root, "/usr/bin/rx", "/usr/lib/lrzsz/rx")
        install(root, str(HERE / "stubs" / "rx"), "/usr/bin/rx", 0o755)
    if loader:
        install_program(root, str(Path(loader).resolve()), LOADER_IN_ROOT)

    (root / "etc" / "passwd").write_text("root:x:0:0:root:/root:/bin/sh\n")
    (root / "etc" / "group").write_text("root:x:0:\n")
    (root / "etc" / "hosts").write_text("127.0.0.1 localhost\n")
    dev = root / "dev"
    for node in DEVICE_BINDS + ("ttyS0", "i2c-0", "i2c-1"):
        (dev / node).touch()
    for fd, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink(f"/proc/self/fd/{fd}", dev / name)
    os.symlink("/proc/self/fd", dev / "fd")
    for name, size in MTD_SIZES.items():
        (dev / f"mtd-{name}").write_bytes(b"\xff" * size)
    (root / "board" / "config").write_text("time_scale 1\n")
    (root / MARKER).touch()
    os.replace(root, out)
    return out


def board_settings(template, upper):
    """The sandbox's own words of /board/config (the board simulator reads the rest)."""
    for base in (upper, template):
        path = Path(base) / "board" / "config"
        if path.exists():
            return [line.split() for line in path.read_text().splitlines() if line.strip()]
    return []


def board_path(path):
    """An absolute, normalised path of the board root (no way out through ..)."""
    path = str(path)
    if not path.startswith("/") or os.path.normpath(path) != path or path == "/" or "/../" in path + "/":
        raise ValueError(f"not a plain absolute path of the board: {path!r}")
    return path


class Run:
    """One start of the board: where it lives and how to start it."""

    def __init__(self, template, upper=None, command=None, removals=()):
        self.template = Path(template).resolve()
        if not (self.template / MARKER).exists():
            raise SystemExit(f"sandbox: {self.template} is not a sandbox template")
        self.own_upper = upper is None
        if upper is None:
            upper = tempfile.mkdtemp(prefix="sbx-upper-")
        self.upper = Path(upper).resolve()
        self.upper.mkdir(parents=True, exist_ok=True)
        # The overlay's work directory must share the upper's file system.
        self.rundir = Path(tempfile.mkdtemp(prefix=".sbx-run-", dir=self.upper.parent))
        (self.rundir / "work").mkdir()
        (self.rundir / "root").mkdir()
        self.command = list(command or [LOADER_IN_ROOT])
        self.removals = [board_path(p) for p in removals]

    def argv(self):
        link = "up"
        if ["link", "down"] in board_settings(self.template, self.upper):
            link = "down"
        return ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private",
                "--net", "--pid", "--uts", "--ipc", "--fork", "--kill-child", "--",
                "/bin/sh", str(HERE / "enter.sh"), str(self.template), str(self.upper),
                str(self.rundir), os.readlink("/proc/self/ns/user"), link,
                *self.removals, "--", *self.command]

    def cleanup(self, keep_upper=False):
        remove_tree(self.rundir)
        if self.own_upper and not keep_upper:
            remove_tree(self.upper)


def remove_tree(path):
    def unlock(func, p, _exc):
        # overlayfs leaves its work directory without any permission bits.
        os.chmod(os.path.dirname(p), 0o700)
        if os.path.isdir(p) and not os.path.islink(p):
            os.chmod(p, 0o700)
        func(p)

    if os.path.lexists(path):
        shutil.rmtree(path, onerror=unlock)


def cmd_template(args):
    out = build_template(args.loader, args.out)
    print(f"[sandbox] template ready in {out}")


def cmd_fetch(_args):
    print(f"[sandbox] busybox in {fetch_busybox(cache_dir())}")


def cmd_run(args):
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    run = Run(args.template, args.upper, command, args.remove)
    # A Python handler, not SIG_IGN: children start with the default again, so
    # the operator's Ctrl-C reaches the loader while this process waits on.
    signal.signal(signal.SIGINT, lambda *_: None)
    server = None
    try:
        proc = subprocess.Popen(run.argv())
        if args.tftp_root:
            import tftp_server
            try:
                server = tftp_server.start_in_netns(proc.pid, args.tftp_root)
            except (OSError, RuntimeError) as e:
                print(f"[sandbox] no TFTP server: {e}", file=sys.stderr)
        status = proc.wait()
    finally:
        if server is not None:
            server.kill()
            server.wait()
        keep = args.keep or not run.own_upper
        run.cleanup(keep_upper=keep)
        if run.own_upper and args.keep:
            print(f"[sandbox] upper directory kept in {run.upper}", file=sys.stderr)
    return status if status >= 0 else 128 - status


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="action", required=True)
    t = sub.add_parser("template", help="build a template root")
    t.add_argument("--loader", required=True, help="loader binary, installed as " + LOADER_IN_ROOT)
    t.add_argument("--out", required=True)
    t.set_defaults(func=cmd_template)
    f = sub.add_parser("fetch", help="download and unpack the busybox package into the cache")
    f.set_defaults(func=cmd_fetch)
    r = sub.add_parser("run", help="start the board (the loader, or COMMAND) in the sandbox")
    r.add_argument("--template", required=True)
    r.add_argument("--upper", help="upper directory of the overlay (kept); default: a temporary one")
    r.add_argument("--keep", action="store_true", help="keep the temporary upper directory")
    r.add_argument("--remove", action="append", default=[], metavar="PATH",
                   help="path of the board root to delete before the start")
    r.add_argument("--tftp-root", metavar="DIR",
                   help="serve the files of DIR over TFTP at 127.0.0.1 inside the board's network")
    r.add_argument("command", nargs=argparse.REMAINDER)
    r.set_defaults(func=cmd_run)
    args = parser.parse_args(argv)
    return args.func(args) or 0


if __name__ == "__main__":
    sys.exit(main())
