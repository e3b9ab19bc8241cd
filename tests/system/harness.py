"""A simulated board for system tests: state written before the run, the
loader (or any command) started in the sandbox on a pseudo-terminal, and what
the run left behind read back from the overlay's upper directory."""

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
# Set by scripts/coverage.sh: each run's coverage counters, which a loader built
# for it writes under its build tree's absolute path in the upper directory, are
# moved into a directory of their own there before the board is reset or removed.
COVERAGE_RUNS = os.environ.get("IMGL_COVERAGE_RUNS")
EEPROM_SIZE = 8192
DEFAULT_TIMEOUT = 30
SLOT = "/user/images/image{}"
MENU = ("Please select one of the following options:\r\n"
        "\tT) Configure networking and tftp download an image\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tP) Physical presence (low security mode)\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n")
MENU_PROMPT = "\r\nOption? : "


def _bytes(data):
    return data.encode() if isinstance(data, str) else bytes(data)


def spawn(argv, log, timeout=DEFAULT_TIMEOUT):
    """argv on a fresh pseudo-terminal, without pexpect's send and close delays."""
    child = pexpect.spawn(argv[0], argv[1:], timeout=timeout, encoding="utf-8",
                          codec_errors="replace", dimensions=(24, 132), env=dict(os.environ))
    child.delaybeforesend = child.delayafterclose = child.delayafterterminate = 0
    child.ptyproc.delayafterclose = child.ptyproc.delayafterterminate = 0  # not reached by pexpect's own
    child.logfile_read = log
    return child


class Board:
    def __init__(self, template):
        self.template = Path(template)
        self.upper = Path(tempfile.mkdtemp(prefix="sbx-board-"))
        self.removals = []
        self.child = None
        self.run = None
        self.crash_expected = False
        self.log = io.StringIO()

    # --- board state, written before the start -------------------------------------------

    def _path(self, path):
        # Runs leave links in the upper directory; following one would reach the host.
        rel = sandbox.board_path(path).lstrip("/")
        p = self.upper
        for part in rel.split("/"):
            p = p / part
            if p.is_symlink():
                raise ValueError(f"{path} goes through a link of the board root")
        return p

    def file(self, path, data, mode=None):
        """Any file of the board root, e.g. /user/images/image1."""
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
        """Replaces /board/config (the template's holds `time_scale 1`)."""
        text = lines if isinstance(lines, str) else "\n".join(lines)
        self.file("/board/config", text if text.endswith("\n") else text + "\n")

    def eeprom(self, offset, data):
        self._patch("/board/eeprom.bin", offset, data, lambda: b"\xff" * EEPROM_SIZE)

    def rtc(self, when):
        """Pins the board clock, e.g. "2026-12-05 10:45:59"."""
        self.file("/board/rtc", when + "\n")

    def mtd(self, name, data, offset=0):
        """Writes into an erased (or earlier written) flash partition."""
        self._patch(f"/dev/mtd-{name}", offset, data,
                    lambda: (self.template / "dev" / f"mtd-{name}").read_bytes())

    def remove(self, path):
        """Deletes a file of the template root for this board, e.g. /dev/i2c-0."""
        self.removals.append(str(path))

    # --- running ----------------------------------------------------------------------------

    def start(self, command=None, timeout=DEFAULT_TIMEOUT):
        """Starts the loader (or command) on a fresh console; returns the pexpect child."""
        self.finish()
        self.run = sandbox.Run(self.template, self.upper, command, self.removals)
        self.child = spawn(self.run.argv(), self.log, timeout)
        return self.child

    def wait(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the end of the run; answers the loader's exit status."""
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.child.close()
        self._collect_coverage()
        status = self.child.exitstatus
        return status if status is not None else 128 + self.child.signalstatus

    def leave_menus(self, timeout=DEFAULT_TIMEOUT):
        """Like wait(), but chooses Exit each time the rescue menu asks for an
        option; answers (exit status, number of menus left)."""
        menus = 0
        while self.child.expect_exact([MENU_PROMPT, pexpect.EOF], timeout=timeout) == 0:
            self.child.send("e")
            menus += 1
        return self.wait(timeout), menus

    def run_command(self, command, timeout=DEFAULT_TIMEOUT):
        """Runs command inside to its end: (exit status, console output of this run)."""
        start = len(self.log.getvalue())
        self.start(command, timeout)
        status = self.wait(timeout)
        return status, self.log.getvalue()[start:]

    def finish(self):
        """Ends a run that is still going and drops its mount point."""
        if self.child is not None:
            if self.child.isalive():
                try:
                    self.child.read_nonblocking(1 << 16, timeout=0.1)
                except (pexpect.TIMEOUT, pexpect.EOF):
                    pass
            self.child.close(force=True)
            self.child = None
        if self.run is not None:
            self.run.cleanup(keep_upper=True)
            self.run = None
        self._collect_coverage()

    def _collect_coverage(self):
        if not COVERAGE_RUNS:
            return
        files = [p for p in self.upper.rglob("*.gcda") if p.is_file() and not p.is_symlink()]
        if not files:
            return
        dest = Path(tempfile.mkdtemp(prefix="run-", dir=COVERAGE_RUNS))
        for p in files:
            rel = p.relative_to(self.upper)
            (dest / rel).parent.mkdir(parents=True, exist_ok=True)
            p.rename(dest / rel)
            # Folders left empty go too: the board's files read as without coverage.
            d = p.parent
            while d != self.upper and not any(d.iterdir()):
                d.rmdir()
                d = d.parent

    # --- after the run ----------------------------------------------------------------------

    def console(self):
        return self.log.getvalue()

    def read(self, path):
        """A file the run wrote (from the upper directory), or None."""
        p = self._path(path)
        return p.read_bytes() if p.is_file() else None

    def written(self):
        """Every path in the upper directory, relative to the board root."""
        return sorted("/" + str(p.relative_to(self.upper)) for p in self.upper.rglob("*"))

    def _lines(self, path):
        data = self.read(path)
        return data.decode(errors="replace").splitlines() if data is not None else []

    def commands(self):
        return self._lines("/board/commands.log")

    def install_log(self):
        return self._lines("/user/install.log")

    def led_log(self):
        return self._lines("/board/led.log")

    def crashes(self):
        text = self.console()
        return [p for p in CRASH_PATTERNS if re.search(re.escape(p), text)]

    def close(self):
        self.finish()
        sandbox.remove_tree(self.upper)


# --- dialogues shared by the tests ------------------------------------------------------------

def talk(child, steps, end=""):
    """Answers each (prompt, reply) in turn."""
    for prompt, reply in steps:
        child.expect_exact(prompt)
        child.send(reply + end)


def boot(board, answers=(), timeout=DEFAULT_TIMEOUT):
    """Starts the loader, answers the prompts, leaves every rescue menu: (status, console)."""
    talk(board.start(timeout=timeout), answers)
    status, _ = board.leave_menus(timeout)
    return status, board.console()


def enter_menu(board, option=None):
    """The boot options (and option) ask for the rescue menu; slot 1 boots after Exit."""
    board.mtd("ubootenv", env_image("diagnostics=rescue", *([option] if option else [])))
    board.file(SLOT.format(1), app_image("1.0.0.0"))
    child = board.start()
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU + MENU_PROMPT)
    return child


def exit_menu(board, child, before=""):
    """Waits for the menu (after `before`), chooses Exit and waits for the end."""
    child.expect_exact(before + MENU + MENU_PROMPT)
    child.send("e")
    board.wait()
    return board.console()


def usb_stick(board, files=None, enable=b"\xd5", mounted=True):
    """The USB stage enabled (EEPROM byte 315), a stick with {name: data}, slot 1 bootable."""
    board.eeprom(315, enable)
    if mounted:
        board.file("/tmp/usb", "")
    for name, data in (files or {}).items():
        board.file(f"/mnt/usb/{name}", data)
    board.file(SLOT.format(1), app_image("1.0.0.0"))


def in_order(text, *needles):
    at = [text.find(n) for n in needles]
    return -1 not in at and at == sorted(at)


def boot_source(board):
    eeprom = board.read("/board/eeprom.bin")
    return eeprom[314] if eeprom else None
