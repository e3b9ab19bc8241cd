"""The unchanged PowerPC loader on the emulated board (real kernel drivers): the main roads, real
power cuts, and the simulated board's transcripts against the real drivers'."""

import contextlib
import difflib
import hashlib
import random
import re
import time
from concurrent.futures import ThreadPoolExecutor

import pexpect
import pytest

import xmodem_sender
from board import (ERASE, MENU, MENU_PROMPT, SLOT_PROMPT, Scenario, normalise, prepare, run, run_sim, talk,
                   tftp_steps, type_keys)
from images import APPLICATION, KERNEL, app_archive, component, env_image

MiB = 1 << 20
NO_LINK = "Mgmt link not available. Quitting.\r\n"
DOWN = "The system is going down NOW!"
RESCUE = ("diagnostics=rescue",)
# The power-cut application also shows what the board holds after the cut.
REPORT = ("#!/bin/sh\necho \"application {version} running\"\n"
          "cd /user/images && md5sum image1 image2\ngrep -c ' /user jffs2 rw' /proc/mounts\n")


def app(version, size=MiB, program=None):
    data = random.Random(version).randbytes(size)
    kw = {"program": program} if program else {}
    return component(APPLICATION, app_archive(version=version, files={"home/bin/data": (data, 0o644)}, **kw),
                     version=version, key="production")


def kernel(version, size=MiB):
    return component(KERNEL, random.Random(version).randbytes(size), version=version, key="production")


def corrupt(image):
    return image[:-1] + bytes([image[-1] ^ 0x40])


def in_order(text, *needles):
    at = 0
    for n in needles:
        m = (n if isinstance(n, re.Pattern) else re.compile(re.escape(n))).search(text, at)
        if not m:
            return False
        at = m.start()
    return True


def power_cycle(board):
    """Starts the board again without the rescue option: what its console shows then."""
    board.mtd("ubootenv", env_image())
    start = len(board.console())
    board.start()
    board.wait()
    return board.console()[start:]


def boots_image_2(board):
    again = power_cycle(board)  # boot selection from the EEPROM file
    assert in_order(again, "Booting image '2'\r\n", "running\r\n"), again


def xmodem(image):
    def send(child):
        xmodem_sender.start(child)
        assert xmodem_sender.send(child, image)
        xmodem_sender.finish(child, settle=1)
    return send


XMODEM_APP = app("4.0.0.1", size=6000)
A1, A2 = app("1.0.0.1"), app("2.0.0.1")
K = kernel("3.0.0.1")

# name: (scenario, console in order, EEPROM bytes afterwards, check of the board afterwards)
SCENARIOS = {
    "cold-start": (lambda: Scenario(steps=[(MENU_PROMPT, "r")]),
                   [re.compile(r"Sat Dec  5 10:4[5-9]:\d\d UTC 2026\r\n"), "Booting image '1'\r\n",
                    "Failed to open Application image 1. Trying image 2.\r\n",
                    "Failed to open Application image 2.\r\n", "Entering Rescue Mode.\r\n" + MENU, DOWN], {}, None),
    "slot-1": (lambda: Scenario(slots={1: A1}),
               ["Booting image '1'\r\n", " Image signature verified. ", "application 1.0.0.1 running\r\n",
                "[board] loader exited with status 0"], {314: 1}, None),
    "slot-1-bad-crc": (lambda: Scenario(slots={1: corrupt(A1), 2: A2}),
                       ["Image1 CRC failed, trying Image2 now.\r\n", "application 2.0.0.1 running\r\n"], {314: 2}, None),
    "tftp-slot-2": (lambda: Scenario(slots={1: A1}, env=RESCUE, tftp={"app2.img": A2},
                                     steps=tftp_steps("app2.img", slot=2)),
                    ["Image2 updated succeeded\r\n", MENU_PROMPT, "application 2.0.0.1 running\r\n"], {256: 2},
                    boots_image_2),
    "xmodem-slot-2": (lambda: Scenario(slots={1: A1}, env=RESCUE, steps=[
        (MENU_PROMPT, "x"), ("Running xmodem rescue.....\r\n", xmodem(XMODEM_APP)), (SLOT_PROMPT, "2\n")]),
                      ["Image2 updated succeeded\r\n", "application 4.0.0.1 running\r\n"], {256: 2}, boots_image_2),
    "kernel-partition": (lambda: Scenario(env=RESCUE, tftp={"kernel.img": K}, steps=tftp_steps("kernel.img")),
                         ["Installing Kernel: ", " Image signature verified. ", "Updating install log."], {},
                         lambda b: flashed(b, K)),
    "link-down": (lambda: Scenario(env=RESCUE, link_down=True, steps=tftp_steps("x.img")),
                  [NO_LINK, MENU_PROMPT], {}, None),
    "eeprom-absent": (lambda: Scenario(slots={1: A1}, eeprom_absent=True),
                      ["I2C error", "application 1.0.0.1 running\r\n"], {}, None),
}


FILL = random.Random(0).randbytes(4 * MiB)  # the kernel partition before the install


def flashed(board, comp):
    """Read back: the component whole, and the rest of the partition as it was (the rest of the
    last block too, which was read, erased and written again)."""
    part = board.read_mtd("kernel")
    assert part[:len(comp)] == comp
    assert part[len(comp):] == FILL[len(comp):]


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_scenario_on_the_emulated_board(make_board, sim_template, tmp_path, name):
    scenario, expected, eeprom, check = SCENARIOS[name]
    board = make_board()
    if name == "kernel-partition":
        board.mtd("kernel", FILL)
    console = run(board, scenario())
    assert in_order(console, *expected), console
    assert board.child.exitstatus == 0, "the emulator ends by the board's own reboot or power-off"
    for offset, value in eeprom.items():
        assert board.read_eeprom()[offset] == value, f"EEPROM byte {offset}"
    if check:
        check(board)
    if not sim_template:
        return
    board_text = normalise(console, "board")
    sim_text = normalise(run_sim(sim_template, scenario(), tmp_path), "sim")
    assert board_text == sim_text, "".join(difflib.unified_diff(
        sim_text.splitlines(True), board_text.splitlines(True), "simulated", "emulated"))


def cuts(count, window, seed):
    """count seeded times spread over window (seconds): one in each equal share."""
    rng = random.Random(seed)
    return [(i + rng.random()) * window / count for i in range(count)]


def phase(text):
    """What the console had shown since the answer when the power went."""
    if MENU_PROMPT in text:
        return "after"
    if "succeeded" in text or "Updating install log" in text:
        return "finishing"
    pct = re.findall(r"(\d{3})%", text)
    if pct:
        return f"writing {pct[-1]}%"
    return "installing" if "Installing" in text else "before"


def power_cut_series(make_board, scenario, mark, verify, count, seed, report, setup=lambda board: None, lanes=2):
    """Runs scenario to its last prompt, answers it and cuts the power at count seeded moments
    spread from the console's mark to the menu's return (timed without a cut, as many boards at
    once as then run the cuts, one board per core)."""
    (_, answer), steps = scenario.steps[-1], scenario.steps[:-1] + [(scenario.steps[-1][0], "")]
    boards = [make_board() for _ in range(lanes)]
    for board in boards:
        setup(board)
        prepare(board, scenario)
    pristine = boards[0].flash.read_bytes(), boards[0].read_eeprom()

    def calibrate(board):
        talk(board.start(), steps)
        type_keys(board.child, answer)
        t0 = time.monotonic()
        board.child.expect_exact(mark)
        t1 = time.monotonic()
        board.child.expect_exact(MENU_PROMPT)
        return t1 - t0, time.monotonic() - t0

    with ThreadPoolExecutor(lanes) as pool:
        times = list(pool.map(calibrate, boards))
    begin, end = min(t[0] for t in times), max(t[1] for t in times) * 1.05
    delays = [begin + d for d in cuts(count, end - begin, seed)]

    def lane(k):
        board, done = boards[k], []
        for n in range(k, count, lanes):
            board.flash.write_bytes(pristine[0])
            board.eeprom_file.write_bytes(pristine[1])
            talk(board.start(), steps)
            start = len(board.console())
            type_keys(board.child, answer)
            time.sleep(delays[n])
            with contextlib.suppress(pexpect.TIMEOUT):
                board.child.read_nonblocking(1 << 20, timeout=0.05)
            board.power_cut()
            done.append((n, round(delays[n], 2), phase(board.console()[start:]), verify(board)))
        return done

    with ThreadPoolExecutor(lanes) as pool:
        outcomes = sorted(o for done in pool.map(lane, range(lanes)) for o in done)
    for o in outcomes:
        report("cut %2d at %5.2f s of %.1f: %-14s -> %s" % (o[:2] + (end,) + o[2:]))
    return outcomes


def test_power_cuts_during_a_slot_installation(make_board, record):
    old, new, other = (app(v, program=REPORT) for v in ("5.0.0.2", "5.0.0.3", "5.0.0.1"))
    digests = {hashlib.md5(old).hexdigest(): "old", hashlib.md5(new).hexdigest(): "new"}
    scenario = Scenario(slots={1: other, 2: old}, env=RESCUE, tftp={"new.img": new},
                        steps=tftp_steps("new.img", slot=2))

    def verify(board):
        text = power_cycle(board)
        m = re.search(r"application (5\.0\.0\.\d) running\r\n.*  image1\r\n(\w+)  image2\r\n(\d)\r\n", text, re.S)
        assert m, f"no boot after the cut:\n{text}"
        assert m.group(3) == "1", "JFFS2 not mounted read-write"
        assert m.group(2) in digests, "image 2 torn"
        return f"slot 2 {digests[m.group(2)]}, booted {m.group(1)}"

    outcomes = power_cut_series(make_board, scenario, "Installing image as image2:", verify, 20, 11, record)
    assert {o[3].split(",")[0] for o in outcomes} == {"slot 2 old", "slot 2 new"}
    assert sum(o[2].startswith("writing") for o in outcomes) >= 3, "cuts inside the slot write"


def test_power_cuts_during_a_partition_installation(make_board, record):
    old, new = kernel("6.0.0.1"), kernel("6.0.0.2")
    scenario = Scenario(env=RESCUE, tftp={"kernel.img": new}, steps=tftp_steps("kernel.img"))
    again = []

    def verify(board):
        """The first block (with the header the same-version check compares) is written last: a
        torn partition keeps the old one, so the next start installs the package again."""
        part = board.read_mtd("kernel")[:len(new)]
        if part in (old, new):
            return "old, whole" if part == old else "new, whole"
        assert part[:ERASE] != new[:ERASE], "torn partition under the new header"
        if len(again) < 2:  # and show it: the same package again after a power cycle
            start = len(board.console())
            talk(board.start(), scenario.steps)
            board.leave_menus()
            assert "Installing Kernel: " in board.console()[start:]
            assert board.read_mtd("kernel")[:len(new)] == new
            again.append(True)
            return "torn, installed again: whole"
        return "torn, old header"

    outcomes = power_cut_series(make_board, scenario, "Installing Kernel: ", verify, 20, 12, record,
                                setup=lambda board: board.mtd("kernel", old))
    assert sum(o[2] == "installing" or o[2].startswith("writing") for o in outcomes) >= 5
    assert any(o[3].startswith("torn") for o in outcomes) and any(o[3] == "new, whole" for o in outcomes)
    assert again, "no torn partition was installed again"
