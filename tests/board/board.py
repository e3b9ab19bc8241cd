"""Scenarios for the emulated board (tools/board/emulator.py) and the simulated board (tests/system's
harness) alike, and the one list of the differences expected between the two transcripts."""

import re
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(REPO / "tests" / "system"), str(REPO / "tools" / "board")]
import harness  # noqa: E402
from emulator import ERASE, GUEST_IP, RTC, SERVER, TIMEOUT, Board  # noqa: E402,F401
from harness import MENU, MENU_PROMPT, SLOT  # noqa: E402,F401
from images import env_image  # noqa: E402

IP, MASK, GW, SRV, FILE = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "
SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "


# --- one scenario, either board ---------------------------------------------------------------

@dataclass
class Scenario:
    """Board state and dialogue in terms both boards understand."""
    slots: dict = field(default_factory=dict)
    eeprom: dict = field(default_factory=dict)
    env: tuple = None
    tftp: dict = field(default_factory=dict)
    steps: list = field(default_factory=list)
    link_down: bool = False
    eeprom_absent: bool = False


def talk(child, steps):
    """Answers each (prompt, reply) as an operator types: a moment after the prompt, a key at a
    time (a key that arrives before the loader has switched the terminal's echo off is echoed
    twice; the emulated board is slow enough to show it). A reply may be a function of the console
    (a transfer)."""
    for prompt, reply in steps:
        child.expect_exact(prompt)
        time.sleep(0.3)
        reply(child) if callable(reply) else type_keys(child, reply)


def type_keys(child, text):
    for key in text:
        child.send(key)
        time.sleep(0.02)


def tftp_steps(name, slot=None, server=SERVER):
    steps = [(MENU_PROMPT, "t"), (IP, GUEST_IP + "\n"), (MASK, "\n"), (GW, "\n"), (SRV, server + "\n"),
             (FILE, name + "\n")]
    return steps + ([(SLOT_PROMPT, f"{slot}\n")] if slot else [])


def lay_out(board, sc, tftp_root):
    """What either board holds alike: EEPROM bytes, boot options, the TFTP server's files."""
    for offset, data in sc.eeprom.items():
        board.eeprom(offset, data)
    if sc.env:
        board.mtd("ubootenv", env_image(*sc.env))
    tftp_root.mkdir(exist_ok=True)
    for name, data in sc.tftp.items():
        (tftp_root / name).write_bytes(data)


def prepare(board, sc):
    board.eeprom_present = not sc.eeprom_absent
    board.link_up = not sc.link_down
    lay_out(board, sc, board.tftp)
    board.user({SLOT.format(n): data for n, data in sc.slots.items()} | ({} if sc.slots else {"images/.keep": b""}))


def run(board, sc, timeout=TIMEOUT):
    """Powers on, answers the steps, leaves every menu until the emulator ends: the console."""
    prepare(board, sc)
    talk(board.start(timeout), sc.steps)
    board.leave_menus(timeout)
    return board.console()


def run_sim(template, sc, tmp_path, timeout=60):
    """The same scenario on the simulated board (time not scaled: the transcripts must agree)."""
    from tftp_server import start_in_netns
    b, server, root = harness.Board(template), None, tmp_path / "sim-tftp"
    try:
        b.config(["time_scale 1"] + ["link down"] * sc.link_down + ["absent eeprom"] * sc.eeprom_absent)
        b.rtc(RTC.replace("T", " "))
        lay_out(b, sc, root)
        for n, data in sc.slots.items():
            b.file(SLOT.format(n), data)
        child = b.start(timeout=timeout)
        if sc.tftp:
            server = start_in_netns(child.pid, root)
        talk(child, [(p, r if callable(r) else r.replace(SERVER, "127.0.0.1")) for p, r in sc.steps])
        b.leave_menus(timeout)
        return b.console()
    finally:
        if server:
            server.kill()
        b.close()


# --- where the two transcripts may differ, and why ----------------------------------------------

# (pattern, replacement, side it applies to, reason)
DIFFERENCES = [
    (r"\Aqemu_e500_setup_arch\(\)\r\n[ \t]*\r\n", "", "board", "the kernel's early console speaks before the loader"),
    (r"reboot: Power down\r\n\Z", "", "board", "the kernel's last word when the board powers off"),
    (r"^(\w{3} \w{3} [ \d]\d )\d\d:\d\d:\d\d( UTC \d{4}\r)$", r"\1<time>\2", "both",
     "the emulated clock runs from the emulator's start; the sandbox's stands at the time it was given"),
    (r"(?s)\[board\] reboot\r\n.*", "<reboot>", "sim",
     "the sandbox's reboot only prints a line and the loader exits"),
    (r"(?s)\r?The system is going down NOW!.*", "<reboot>", "board",
     "busybox init takes the board down and the emulator ends (-no-reboot)"),
    (r"\[sandbox\] loader exited", "[board] loader exited", "sim", "the sandbox's PID 1 names itself"),
    (r"127\.0\.0\.1", SERVER, "sim", "the sandbox's TFTP server listens on loopback, the emulator's on 10.0.2.2"),
    (r"(?:\r?[^\r\n]*\d+% \|[ *]*\|[^\r\n]*ETA)+\r\n", "", "board",
     "busybox tftp shows a progress bar when the server answers the tsize option (the emulator's does)"),
    (r"(installed from \S+ at )\d\d:\d\d:\d\d", r"\1<time>", "both",
     "the sandbox's clock stands at the time it was given; the emulated clock runs on"),
    (r"^(I2C error[^\r\n]*): 110\r$", r"\1: <no answer>\r", "board",
     "the emulated controller times out (ETIMEDOUT, after about 1 s) on an address nobody answers"),
    (r"^(I2C error[^\r\n]*): 6\r$", r"\1: <no answer>\r", "sim", "the simulated bus fails at once with ENXIO"),
    (r"^[C\x06\x15]+( +Change the baud rate back)", r"<receiver's C, ACK and NAK bytes>\1", "both",
     "how often the receiver asks again ('C', NAK) depends on when a loaded machine lets the sender go"),
]


def normalise(text, side):
    for pattern, replacement, where, _ in DIFFERENCES:
        if where in (side, "both"):
            text = re.sub(pattern, replacement, text, flags=re.M)
    return text
