"""A simulated board: state written before the run, the loader started in the
sandbox on a pseudo-terminal, and what the run wrote read back from the upper directory."""

import contextlib
import io
import os
import re
import sys
import tempfile
from pathlib import Path

import pexpect

from images import app_image, env_image

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools" / "sandbox"))
import sandbox  # noqa: E402

CRASH_PATTERNS = ("AddressSanitizer", "runtime error:", "LeakSanitizer", "Segmentation fault",
                  "core dumped", "Aborted", "Bus error", "Illegal instruction", "Floating point exception")
# Set by scripts/coverage.sh: the counters each run writes into the upper directory are moved there.
COVERAGE_RUNS = os.environ.get("IMGL_COVERAGE_RUNS")
EEPROM_SIZE = 8192
DEFAULT_TIMEOUT = 30
SLOT = "/user/images/image{}"
MENU = ("Please select one of the following options:\r\n\tT) Configure networking and tftp download an image\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n\tP) Physical presence (low security mode)\r\n"
        "\tR) Reboot\r\n\tE) Exit\r\n")
MENU_PROMPT = "\r\nOption? : "
EOF_CONSOLE = ["/bin/sh", "-c", "exec /bin/imgloader-sim </dev/null"]


def _bytes(data):
    return data.encode() if isinstance(data, str) else bytes(data)


def spawn(argv, log, timeout=DEFAULT_TIMEOUT):
    child = pexpect.spawn(argv[0], argv[1:], timeout=timeout, encoding="utf-8", codec_errors="replace",
                          dimensions=(24, 132), env=dict(os.environ))
    # pexpect's send and close delays would slow every run down
    child.delaybeforesend = child.delayafterclose = child.delayafterterminate = 0
    child.ptyproc.delayafterclose = child.ptyproc.delayafterterminate = 0
    child.logfile_read = log
    return child


class Board:
    def __init__(self, template):
        self.template = Path(template)
        self.upper = Path(tempfile.mkdtemp(prefix="sbx-board-"))
        self.removals, self.child, self.run, self.crash_expected = [], None, None, False
        self.log = io.StringIO()

    def _path(self, path):
        # a run can leave links in the upper directory; following one would reach the host
        p = self.upper
        for part in sandbox.board_path(path).lstrip("/").split("/"):
            p = p / part
            if p.is_symlink():
                raise ValueError(f"{path} goes through a link of the board root")
        return p

    def file(self, path, data, mode=None):
        dest = self._path(path)
        dest.parent.mkdir(parents=True, exist_ok=True)
        dest.write_bytes(_bytes(data))
        if mode is not None:
            os.chmod(dest, mode)
        return dest

    def _patch(self, path, offset, data, base):
        dest = self._path(path)
        if not dest.exists():
            self.file(path, base())
        with open(dest, "r+b") as f:
            f.seek(offset)
            f.write(_bytes(data))

    def config(self, lines):
        self.file("/board/config", (lines if isinstance(lines, str) else "\n".join(lines)).rstrip("\n") + "\n")

    def eeprom(self, offset, data):
        self._patch("/board/eeprom.bin", offset, data, lambda: b"\xff" * EEPROM_SIZE)

    def rtc(self, when):
        self.file("/board/rtc", when + "\n")

    def mtd(self, name, data, offset=0):
        self._patch(f"/dev/mtd-{name}", offset, data, lambda: (self.template / "dev" / f"mtd-{name}").read_bytes())

    def remove(self, path):
        self.removals.append(str(path))

    def prepare(self, state):
        """{path: data}; "mtd:NAME" and "eeprom:OFFSET" write flash and EEPROM, None removes the path."""
        for path, data in state.items():
            kind, _, arg = path.partition(":")
            if data is None:
                self.remove(path)
            elif kind in ("mtd", "eeprom"):
                self.mtd(arg, data) if kind == "mtd" else self.eeprom(int(arg), data)
            else:
                self.file(path, data)

    def start(self, command=None, timeout=DEFAULT_TIMEOUT):
        self.finish()
        self.run = sandbox.Run(self.template, self.upper, command, self.removals)
        self.child = spawn(self.run.argv(), self.log, timeout)
        return self.child

    def wait(self, timeout=DEFAULT_TIMEOUT):
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.child.close()
        self._collect_coverage()
        return self.child.exitstatus if self.child.exitstatus is not None else 128 + self.child.signalstatus

    def leave_menus(self, timeout=DEFAULT_TIMEOUT):
        """wait(), choosing Exit at every rescue menu: (exit status, menus left)."""
        menus = 0
        while self.child.expect_exact([MENU_PROMPT, pexpect.EOF], timeout=timeout) == 0:
            self.child.send("e")
            menus += 1
        return self.wait(timeout), menus

    def run_command(self, command, timeout=DEFAULT_TIMEOUT):
        start = len(self.log.getvalue())
        self.start(command, timeout)
        return self.wait(timeout), self.log.getvalue()[start:]

    def finish(self):
        if self.child is not None:
            with contextlib.suppress(pexpect.TIMEOUT, pexpect.EOF):  # what is still on its way goes to the log
                if self.child.isalive():
                    self.child.read_nonblocking(1 << 16, timeout=0.1)
            self.child.close(force=True)
            self.child = None
        if self.run is not None:
            self.run.cleanup(keep_upper=True)
            self.run = None
        self._collect_coverage()

    def _collect_coverage(self):
        files = [p for p in self.upper.rglob("*.gcda") if p.is_file() and not p.is_symlink()] if COVERAGE_RUNS else []
        dest = Path(tempfile.mkdtemp(prefix="run-", dir=COVERAGE_RUNS)) if files else None
        for p in files:
            (dest / p.relative_to(self.upper)).parent.mkdir(parents=True, exist_ok=True)
            p.rename(dest / p.relative_to(self.upper))
            d = p.parent  # emptied folders go too, or the board would see them
            while d != self.upper and not any(d.iterdir()):
                d.rmdir()
                d = d.parent

    def console(self):
        return self.log.getvalue()

    def read(self, path):
        p = self._path(path)
        return p.read_bytes() if p.is_file() else None

    def written(self):
        return sorted("/" + str(p.relative_to(self.upper)) for p in self.upper.rglob("*"))

    def _lines(self, path):
        return (self.read(path) or b"").decode(errors="replace").splitlines()

    def commands(self):
        return self._lines("/board/commands.log")

    def install_log(self):
        return self._lines("/user/install.log")

    def crashes(self):
        return [p for p in CRASH_PATTERNS if re.search(re.escape(p), self.console())]

    def close(self):
        self.finish()
        sandbox.remove_tree(self.upper)


def talk(child, steps, end=""):
    for prompt, reply in steps:
        child.expect_exact(prompt)
        child.send(reply + end)


def boot(board, answers=(), timeout=DEFAULT_TIMEOUT, command=None):
    """Starts the loader, answers the prompts, leaves every rescue menu: (status, console)."""
    talk(board.start(command, timeout=timeout), answers)
    status, _ = board.leave_menus(timeout)
    return status, board.console()


def enter_menu(board, option=None, command=None):
    """The boot options ask for the rescue menu; slot 1 boots after Exit."""
    board.mtd("ubootenv", env_image("diagnostics=rescue", *([option] if option else [])))
    board.file(SLOT.format(1), app_image("1.0.0.0"))
    child = board.start(command)
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU + MENU_PROMPT)
    return child


def usb_stick(board, files=None, enable=b"\xd5", mounted=True):
    """USB stage enabled (EEPROM byte 315), a stick with {name: data}, slot 1 bootable."""
    board.prepare({"eeprom:315": enable, SLOT.format(1): app_image("1.0.0.0"), **({"/tmp/usb": ""} if mounted else {}),
                   **{f"/mnt/usb/{name}": data for name, data in (files or {}).items()}})


def in_order(text, *needles):
    at = [text.find(n) for n in needles]
    return -1 not in at and at == sorted(at)
