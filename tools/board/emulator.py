"""The emulated board: a PowerPC loader under qemu-system-ppc -M ppce500 with a real kernel,
flash partitions (block2mtd over a virtio disk), EEPROM and clock on the I2C controller, the serial
console and an e1000 on the emulator's own user network (restrict=on: it reaches nothing else).
Run as a program it boots a board on this terminal (scripts/board.sh)."""

import argparse
import io
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MENU_PROMPT = "\r\nOption? : "

PARTITIONS = [("uboot", 1 << 20), ("ubootenv", 256 << 10), ("devicetree", 128 << 10), ("kernel", 4 << 20),
              ("rfs", 12 << 20), ("rescue", 8 << 20), ("onie", 256 << 10), ("user", 4 << 20)]
ERASE = 64 << 10
FLASH_SIZE = 32 << 20
EEPROM_SIZE = 8192
RTC = "2026-12-05T10:45:59"
SERVER = "10.0.2.2"  # the emulator's own TFTP server
GUEST_IP = "10.0.2.15"
CMDLINE = ("console=ttyS0 loglevel=1 block2mtd.block2mtd=/dev/vda,65536,flash mtdparts=flash:"
           + ",".join(f"{size >> 10}k({name})" for name, size in PARTITIONS))
TIMEOUT = 120


def partition(name):
    """(offset, size) of a named partition in the flash file."""
    at = 0
    for n, size in PARTITIONS:
        if n == name:
            return at, size
        at += size
    raise KeyError(name)


class Board:
    """One board: flash, EEPROM and TFTP files kept across power cycles (each start() is a new
    emulator on the same files)."""

    def __init__(self, kernel, initramfs, workdir):
        self.kernel, self.initramfs = kernel, initramfs
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.flash = self.dir / "flash.bin"
        self.flash.write_bytes(b"\xff" * FLASH_SIZE)
        self.eeprom_file = self.dir / "eeprom.bin"
        self.eeprom_file.write_bytes(b"\xff" * EEPROM_SIZE)
        self.tftp = self.dir / "tftp"
        self.tftp.mkdir()
        self.monitor_path = self.dir / "monitor"
        self.eeprom_present = True
        self.link_up = True
        self.log = io.StringIO()
        self.child = None

    # --- state before the start ---------------------------------------------------------------

    def mtd(self, name, data, offset=0):
        at, size = partition(name)
        assert offset + len(data) <= size
        with open(self.flash, "r+b") as f:
            f.seek(at + offset)
            f.write(data)

    def read_mtd(self, name):
        at, size = partition(name)
        with open(self.flash, "rb") as f:
            f.seek(at)
            return f.read(size)

    def eeprom(self, offset, data):
        with open(self.eeprom_file, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def read_eeprom(self):
        return self.eeprom_file.read_bytes()

    def user(self, files):
        """The user partition as a fresh JFFS2 holding {path under /user: bytes}."""
        with tempfile.TemporaryDirectory() as tree:
            for path, data in files.items():
                dest = Path(tree) / path.removeprefix("/user/")
                dest.parent.mkdir(parents=True, exist_ok=True)
                dest.write_bytes(data)
            image = Path(tree + ".jffs2")
            subprocess.run(["mkfs.jffs2", "--big-endian", "--squash", f"--eraseblock={ERASE:#x}",
                            f"--pad={partition('user')[1]:#x}", f"--root={tree}", f"--output={image}"], check=True)
            self.mtd("user", image.read_bytes())
            image.unlink()

    # --- running ------------------------------------------------------------------------------

    def argv(self):
        argv = ["qemu-system-ppc", "-M", "ppce500", "-m", "256", "-nodefaults", "-display", "none",
                "-no-reboot", "-S", "-kernel", str(self.kernel), "-initrd", str(self.initramfs),
                "-append", CMDLINE, "-rtc", f"base={RTC}",
                "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
                "-monitor", f"unix:{self.monitor_path},server=on,wait=off",
                "-drive", f"if=none,id=flash,file={self.flash},format=raw",
                "-device", "virtio-blk-pci,drive=flash",
                "-netdev", f"user,id=n0,restrict=on,tftp={self.tftp}",
                "-device", "e1000,netdev=n0,romfile=",
                # Stand-ins that acknowledge at the I2C switch and the logic device (writes vanish).
                "-device", "i2c-ddc,bus=i2c,address=0x70", "-device", "i2c-ddc,bus=i2c,address=0x60"]
        if self.eeprom_present:
            argv += ["-device", "at24c-eeprom,bus=i2c,address=0x52,rom-size=8192,drive=ee",
                     "-drive", f"if=none,id=ee,file={self.eeprom_file},format=raw"]
        return argv

    def start(self, timeout=TIMEOUT):
        """Powers the board on; answers the console (a pexpect child)."""
        self.finish()
        if self.monitor_path.exists():
            self.monitor_path.unlink()
        import pexpect
        # QEMU keeps output processing on its terminal: no second carriage return before each newline.
        self.child = pexpect.spawn("/bin/sh", ["-c", 'stty -onlcr && exec "$0" "$@"'] + self.argv(),
                                   timeout=timeout, encoding="utf-8",
                                   codec_errors="replace", dimensions=(24, 132))
        self.child.delaybeforesend = self.child.delayafterclose = self.child.delayafterterminate = 0
        self.child.logfile_read = self.log
        if not self.link_up:
            self.monitor("set_link n0 off")
        self.monitor("cont")
        return self.child

    def monitor(self, command):
        for _ in range(200):
            if self.monitor_path.exists():
                break
            time.sleep(0.05)
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(str(self.monitor_path))
            s.sendall(command.encode() + b"\n")
            s.settimeout(5)
            seen = b""
            while seen.count(b"(qemu)") < 2:  # the greeting's prompt, then the one after the command
                seen += s.recv(4096)

    def power_cut(self):
        self.child.kill(signal.SIGKILL)
        self.child.wait()

    def wait(self, timeout=TIMEOUT):
        """Waits until the emulator ends (a reboot or power-off); answers its status."""
        import pexpect
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.child.close()
        return self.child.exitstatus

    def leave_menus(self, timeout=TIMEOUT):
        menus = 0
        import pexpect
        while self.child.expect_exact([MENU_PROMPT, pexpect.EOF], timeout=timeout) == 0:
            self.child.send("e")
            menus += 1
        self.child.close()
        return menus

    def finish(self):
        if self.child is not None:
            self.child.close(force=True)
            self.child = None

    def console(self):
        return self.log.getvalue()




def env_partition(*entries, size=256 << 10):
    """Boot-loader environment: CRC word, NUL-terminated entries in a 0x20000-byte block."""
    import zlib
    data = b"".join(e.encode() + b"\0" for e in entries) + b"\0"
    data = data.ljust(0x20000, b"\0")
    return (zlib.crc32(data).to_bytes(4, "little") + data).ljust(size, b"\xff")


def main():
    parser = argparse.ArgumentParser(description="Boots the emulated board on this terminal.")
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--initramfs", required=True)
    parser.add_argument("--slot", action="append", default=[], help="image file for slot 1, then 2")
    parser.add_argument("--tftp", action="append", default=[], help="file served at 10.0.2.2")
    parser.add_argument("--rescue", action="store_true", help="boot option diagnostics=rescue")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        board = Board(args.kernel, args.initramfs, work)
        board.user({f"images/image{n}": Path(p).read_bytes() for n, p in enumerate(args.slot, 1)})
        for path in args.tftp:
            (board.tftp / Path(path).name).write_bytes(Path(path).read_bytes())
        if args.rescue:
            board.mtd("ubootenv", env_partition("diagnostics=rescue"))
        argv = [a for a in board.argv() if a != "-S"]
        print("[board] Ctrl-A X ends the emulator; the board's reboot ends it too", flush=True)
        return subprocess.call(argv[:argv.index("-chardev")] + ["-serial", "mon:stdio"]
                               + argv[argv.index("-monitor"):][2:])


if __name__ == "__main__":
    sys.exit(main())
