"""The rescue menu: its letters, TFTP questions, MAC address, USB picker, key wipe, physical presence, XMODEM."""

import os
import time

import pytest

import xmodem_sender
from harness import EOF_CONSOLE, MENU, MENU_PROMPT, SLOT, enter_menu, in_order, talk
from images import KERNEL, app_image, component, env_image
from tftp_server import start_in_netns

PICK = "Choose file number to install (q to quit): "
AGAIN = MENU + MENU_PROMPT
EXIT = ("e", "application 1.0.0.0 running")
WIPE, WIPED = "Confirm: wiping system keys y/N: ", "System keys have been deleted. Reset the switch to complete the " \
    "operation"
START, ASK = "Do you wish to continue y/N? ", "How many times did the LED blink? "
HIT = "Hit a key to start the test. The blue location LED will blink a number of times.\r\n"
DISABLE = "Switch is in low security mode. Confirm disabling Y/n? "
OVERRIDE = "NOTE: Uboot low security mode override enabled\r\n"
LOWSEC, ON = "/tmp/lowsec", {"/tmp/lowsec": "trelmock\n"}
CORRECT = "Correct. Physical presence established and low security mode enabled\r\n"
CPLD = bytes(5) + b"\xa6" + bytes(250)  # LED register: bits 7..2 must survive
LEDS = lambda log: [line.split()[1] for line in log.decode().splitlines()]  # noqa: E731  values written, in order
IP, MASK, GW, SERVER, FILE = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "
BAD_IP, BAD_FILE = "Invalid IP address. Try again please\r\n", "Invalid filename. Try again please\r\n"
NO_LINK, CONFIGURING = "Mgmt link not available. Quitting.\r\n", "Configuring management port"
STATIC = [("10.1.2.3", MASK), ("", GW), ("", SERVER), ("127.0.0.1", FILE)]
MAC, BAD_MAC = "MAC address (format nn:nn:nn:nn:nn:nn): ", "Invalid MAC address. Try again please\r\n"
# the kernel's view of eth0 once the loader has gone
DUMP = ["/bin/sh", "-c", "/bin/imgloader-sim; ifconfig eth0 >/board/net.txt 2>&1"]
NO_ETH0 = ["/bin/sh", "-c", "ip link set eth0 down && ip link set eth0 name eth9 && exec /bin/imgloader-sim"]


def tftp(pairs, absent, state=None, command=None):
    """The TFTP questions answered in turn, (answer, shown next; None: nothing typed); TFTP never offers DHCP."""
    typed = [("" if answer is None else answer + "\n", shown) for answer, shown in pairs]
    return (state or {}, command, [("t", IP)] + typed + [EXIT],
            absent + ["Installing image", "DHCP"], {})


def presence(seconds, answers):
    """The LED test at that second of the clock: one right answer, or three wrong ones and the reboot."""
    count = seconds // 10 + seconds % 10 or 1
    cycles, right = max(count, 11), len(answers) == 1
    steps = [("p", START), ("y", "y\r\n" + HIT)]
    for n, answer in enumerate(answers, start=1):
        steps += [(" ", "\r\n" + "." * cycles + "\r\n" + ASK), (answer + "\n", CORRECT + AGAIN if right else
                  f"Incorrect. Try again (attempt {n} of 3)\r\n" + (HIT if n < 3 else "Maximum number of test failed"))]
    # the blinks keep the register's upper bits; padding cycles hide the count
    leds = (["0xa5"] + ["0xa4", "0xa5"] * count + ["0xa5"] * 2 * (cycles - count)) * len(answers)
    return ({"/board/rtc": f"2026-12-05 10:45:{seconds:02d}\n", "/board/cpld.bin": CPLD}, None,
            steps + [EXIT if right else ("", "[board] reboot")], [], {LOWSEC: b"trelmock\n" if right else None,
                                                                     "/board/led.log": lambda log: LEDS(log) == leds})


# Each letter in either case reaches its entry, left with q, Ctrl-C (and Enter: a line read goes on after it) or
# nothing (the versions).
ENTRIES = {"t": ("Performing TFTP rescue", "q\r"), "m": ("MAC address (format nn:nn:nn:nn:nn:nn): ", "\x03\r"),
           "p": ("WARNING: the following test is used to determine physical presence", "\x03"), "k": (WIPE, "\x03"),
           "v": ("Installed images versions: ", ""), "u": (PICK, "q\r"), "d": ("Confirm: Erase filesystem", "\x03")}
DIALOGUES = {
    **{f"letter {key}": ({"/mnt/usb/readme.txt": "x"}, None, [
        (key, key + "\r\n"), ("", ENTRIES[key.lower()][0]), (ENTRIES[key.lower()][1], AGAIN),
        ("e" if key.islower() else "E", EXIT[1])], [], {}) for key in "tmpkvudTMPKVUD"},
    **{f"picker {answer}": ({"/mnt/usb/a.img": "a", "/mnt/usb/sub/inner": "x"}, None, [
        ("u", "u\r\n\t1: a.img\r\n" + PICK), (answer + "\n", AGAIN), EXIT], ["Installing", "Invalid"], {})
       for answer in ("q", "Quit", "0", "-3")},
    "picker dirs only": ({"/mnt/usb/one/inner": "x", "/mnt/usb/two/inner": "x"}, None,
                         [("u", "u\r\n" + PICK), ("1\n", AGAIN), EXIT], ["Installing", "Invalid"], {}),
    "picker no stick": ({"/mnt/usb": None}, None,
                        [("u", "u\r\nUnable to open USB directory. Quitting\r\n" + AGAIN), EXIT], [], {}),
    # Ctrl-C does not leave the line: the empty line is no number; a failed installation logs nothing
    "picker text": ({"/mnt/usb/a.img": "not an image", "/mnt/usb/b.img": "nor this"}, None, [
        ("u", PICK), ("\x03\r", "Invalid file number . Try again pleas\r\n"),
        ("abc\n", "Invalid file number abc. Try again pleas\r\n"), ("2x\n", "Installing "), ("", AGAIN),
        EXIT], [], {"/user/install.log": None}),
    "picker installs": ({"/mnt/usb/new.img": app_image("2.0.0.0")}, None, [
        ("u", PICK), ("1\n", "Installing new.img\r\n"), ("", "(hit return to just boot image): "), ("2\n", AGAIN),
        ("e", "application 2.0.0.0 running")], [], {
        SLOT.format(2): app_image("2.0.0.0"), "/user/install.log": b"File /mnt/usb/new.img installed from USB at "
                                                                   b"10:45:59 on 5-12-2026\n"}),
    **{f"wipe {key!r}": ({"/user/extra.pem": "x"}, None, [
        ("k", WIPE), (key, (WIPED if key in "yY" else "") + "\r\n" + AGAIN), EXIT], [],
        {"/user/extra.pem": None if key in "yY" else b"x"}) for key in ("y", "Y", "n", "\r")},
    "tftp q": tftp([("q", AGAIN)], [SERVER]),
    "tftp Quit": tftp([("Quit", AGAIN)], [MASK]),
    "tftp no address": tftp([("", BAD_IP + IP), ("q", AGAIN)], [MASK]),
    "tftp bad host": tftp([("0.1.2.3", "Invalid IP address 0.1.2.3. Try again please\r\n" + IP), ("q", AGAIN)], [MASK]),
    "tftp bad gateway": tftp([("10.0.0.2", MASK), ("255.255.255.0", GW),
                              ("240.0.0.1", "Invalid IP address 240.0.0.1. Try again please\r\n" + GW), ("Q", AGAIN)],
                             [SERVER]),
    "tftp bad mask": tftp([("10.0.0.2", MASK), ("nonsense", BAD_IP + MASK), ("q", AGAIN)], [GW]),
    "tftp no server": tftp([("10.0.0.2", MASK), ("", GW), ("", SERVER), ("", BAD_IP + SERVER), ("q", AGAIN)], [FILE]),
    "tftp bad file": tftp(STATIC + [("x", BAD_FILE + FILE), ("", BAD_FILE + FILE), ("q", AGAIN)], [CONFIGURING]),
    # Ctrl-C ends the line and the dialogue, whether a name was typed or not
    **{f"tftp ctrl-c {typed!r}": tftp(STATIC + [(typed + "\x03", AGAIN)], ["Invalid filename", CONFIGURING])
       for typed in ("", "ab")},
    # an unplugged cable, or no eth0 at all, ends TFTP before the download
    "tftp no link": tftp(STATIC + [("image.bin", NO_LINK), (None, AGAIN)], ["Attempt"],
                         {"/board/config": "time_scale 0.01\nlink down\n"}),
    "tftp no eth0": tftp(STATIC + [("image.bin", "Open Interface eth0 error.\r\n" + NO_LINK), (None, AGAIN)],
                         ["Attempt"], command=NO_ETH0),
    "mac": ({}, DUMP, [("m", MAC), ("1:2:3:4:5:6;halt\n", BAD_MAC + MAC), ("q\n", BAD_MAC + MAC),
                       ("1:2:3:4:5:6\n", AGAIN), ("m", MAC), ("2:4:6:8:a:c\n", AGAIN), EXIT], [], {
        "/board/net.txt": lambda text: b"HWaddr 02:04:06:08:0A:0C" in text,
        "/board/commands.log": lambda log: b"halt" not in log}),
    "unknown letter, R": ({}, None, [("z", 'z\r\nunknown option "Z". Please try again\r\n' + MENU_PROMPT),
                                     ("\x03", MENU_PROMPT), ("R", "[board] reboot")], ["Booting image", "application"],
                          {}),
    **{f"presence {seconds}s {answers}": presence(seconds, answers) for seconds, answers in [
        (0, ["1"]), (10, ["1"]), (59, ["14"]), (35, ["8"]), (14, ["5abc"]), (23, ["", " 5", "+5"])]},  # leading digits
    "presence ctrl-c": ({"/board/cpld.bin": CPLD}, None, [("p", START), ("y", HIT), (" ", "."), ("\x03", AGAIN), EXIT],
                        [ASK], {LOWSEC: None, "/board/led.log": lambda log: log.endswith(b" 0xa5\n")}),
    "presence declined": ({}, None, [("p", START), ("n", "n\r\n" + AGAIN), EXIT], [HIT], {"/board/led.log": None}),
    # the boot override keeps the mode on whatever the answer; only the marker can go
    **{f"disable {key}": (ON, None, [
        ("p", DISABLE), (key, key + "\r\n" + AGAIN), ("p", DISABLE if key in "nN" else START), ("\x03", "\r\n" + AGAIN),
        EXIT], [], {LOWSEC: b"trelmock\n" if key in "nN" else None}) for key in "nNyx"},
    "override": ({}, "lowsec=authorised", [("p", OVERRIDE + DISABLE), ("y", "y\r\n" + AGAIN), ("p", OVERRIDE + DISABLE),
                                           ("\x03", "\r\n" + AGAIN), EXIT], [], {LOWSEC: None}),
}


# Board state, boot option (or command), (key sent, shown next)... ending at the boot or reboot, never shown, files
# afterwards (or a check of them).
@pytest.mark.parametrize("state,option,steps,absent,after", DIALOGUES.values(), ids=DIALOGUES)
def test_menu_dialogue(loader, state, option, steps, absent, after):
    loader.rtc("2026-12-05 10:45:59")
    loader.prepare(state)
    child = enter_menu(loader, *((None, option) if isinstance(option, list) else (option,)))
    for key, shown in steps:
        child.send(key)
        child.expect_exact(shown)
    loader.wait()
    console = loader.console()
    assert not [text for text in absent if text in console] and console.count(PICK) <= 1
    assert console.count(MENU) == 1 + sum(shown.count(MENU) for _, shown in steps)
    for path, value in after.items():
        assert value(loader.read(path)) if callable(value) else loader.read(path) == value, path


def test_a_console_at_end_of_input_is_asked_at_most_once_a_second(loader):
    loader.config("time_scale 1")  # the pause at a gone console is real time here
    loader.mtd("ubootenv", env_image("diagnostics=rescue"))
    loader.start(EOF_CONSOLE).expect_exact(MENU_PROMPT)
    time.sleep(3)
    loader.finish()
    assert 1 <= loader.console().count("Option? : ") <= 5


# busybox tftp leaves no file of a failed transfer; a silent server costs about 13 s.
# The name must reach tftp as one word, never as shell text.
@pytest.mark.parametrize("faults,failed", [([], 0), (["silent", "break"], 2), (["break"] * 3, 3), ("missing", 3)])
def test_tftp_download_tries_three_times_then_installs_and_logs(loader, tmp_path, faults, failed):
    name = "a b';touch pwned;'$(touch pwned2).img"
    kernel = component(KERNEL, b"k" * 3000, key="production")  # six blocks
    (tmp_path / "root").mkdir()
    if faults != "missing":
        (tmp_path / "root" / name).write_bytes(kernel)
    loader.rtc("2026-12-05 10:45:59")
    loader.file("/tmp/image", component(KERNEL, b"stale" * 100, key="production"))  # left by an earlier run
    child = enter_menu(loader)
    server = start_in_netns(child.pid, tmp_path / "root", tmp_path / "log", [] if faults == "missing" else faults)
    try:
        child.send("t")
        talk(child, [(IP, "10.1.2.3"), (MASK, ""), (GW, ""), (SERVER, "127.0.0.1"), (FILE, name)], end="\n")
        assert loader.leave_menus() == (0, 1)
    finally:
        server.kill()
    console = loader.console()
    attempts, trying = min(failed + 1, 3), f"Installing image {name} from TFTP server 127.0.0.1\r\n"
    timeouts = [f"Attempt {n}/3 of tftp timed out\r\n" for n in (1, 2, 3)]
    assert console.count(trying) == attempts and in_order(console, trying, *timeouts[:failed])
    assert not any(t in console for t in timeouts[failed:])
    assert (tmp_path / "log").read_text().splitlines() == [name] * attempts
    assert not any("pwned" in path for path in loader.written())
    line = f"File {name} installed from 127.0.0.1 at 10:45:59 on 5-12-2026"
    assert (loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel) == (failed < 3)
    if failed == 3:
        assert "Tftp download failed. Aborting\r\n" in console and "Installing Kernel" not in console
        assert loader.read("/tmp/image") is None and loader.read("/user/install.log") is None
    else:
        assert f"Updating install log. {line}" in console and loader.install_log() == [line]


SLOT_PROMPT, RX = "Install image as image 1 or 2 (hit return to just boot image): ", "#!/bin/sh\n{}\n"
BIG = app_image("4.0.0.0", files={"home/bin/data": (os.urandom(5000), 0o644)})


# Data sent (or a receiver stand-in that leaves a file although the transfer did not complete), blocks sent
# before the cancel, a file an earlier download left, a line feed first.
@pytest.mark.parametrize("letter,data,cancel,state,line_feed", [
    ("x", BIG, None, {}, False),
    ("X", os.urandom(8000), 2, {}, False),
    ("x", os.urandom(8000), 2, {"/tmp/image": "an image from an earlier download"}, False),
    ("x", None, None, {"/usr/bin/rx": RX.format('head -c 3000 /user/images/pkg >"$1"; exit 1'),  # cut short
                       "/user/images/pkg": app_image("4.0.0.1")}, False),
    ("x", None, None, {"/usr/bin/rx": RX.format(': >"$1"; exit 0')}, False),  # gave up, empty file
    ("x", b"x", 0, {}, True),
], ids=["download", "cancel", "cancel, old file", "cut short", "empty", "line feed"])
def test_xmodem(loader, letter, data, cancel, state, line_feed):
    assert len(BIG) // 1024 >= 4 and len(BIG) % 1024, "the last block must carry padding"
    loader.prepare(state)
    if data is None:
        os.chmod(loader.file("/usr/bin/rx", state["/usr/bin/rx"]), 0o755)
    child = enter_menu(loader)
    child.send(letter)
    child.expect_exact(letter + "\r\nRunning xmodem rescue.....\r\n")
    if data is None:  # the stand-in receiver needs no transfer
        child.expect_exact("before initiating the download.\r\n")
        child.send("\r")
    else:  # a line feed does not start the download
        assert xmodem_sender.start(child, b"\n" if line_feed else b"\r") >= line_feed
        assert xmodem_sender.send(child, data, cancel_after=cancel) == (cancel is None)
    xmodem_sender.finish(child, b"\r" if line_feed else b"\n")  # the console's own settings map CR to LF
    if data is BIG:
        child.expect_exact(SLOT_PROMPT)
        child.send("2\n")
        child.expect_exact("Image2 updated succeeded\r\n")
    loader.leave_menus(60)
    console, log = loader.console(), loader.install_log()
    assert console.count("Running xmodem rescue") == 1
    if data is BIG:
        assert loader.read("/tmp/image") == xmodem_sender.padded(BIG) and loader.read(SLOT.format(2)) == BIG
        assert len(log) == 1 and "image" in log[0] and "xmodem" in log[0]
    else:
        assert "Extracting images" not in console and SLOT_PROMPT not in console
        assert loader.read("/tmp/image") is None and log == []
