"""The rescue menu on the serial console and its USB file picker."""

import re

import pytest

import xmodem_sender

from images import app_image
from test_boot import env_image

MENU = ("Please select one of the following options:\r\n"
        "\tT) Configure networking and tftp download an image\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tP) Physical presence (low security mode)\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n")
PROMPT = "\r\nOption? : "
PICK = "Choose file number to install (q to quit): "


def enter_menu(board):
    """Boot options ask for the menu; slot 1 holds an image to boot after Exit."""
    board.mtd("ubootenv", env_image("diagnostics=rescue"))
    board.file("/user/images/image1", app_image("1.0.0.0"))
    child = board.start()
    child.expect_exact("Entering Rescue Mode.\r\n" + MENU + PROMPT)
    return child


# Each entry shows its first words. The TFTP questions and the picker are left
# with q, the XMODEM receiver with a cancelled transfer, the rest with Ctrl-C.
ENTRIES = [
    ("t", re.escape("Performing TFTP rescue")),
    ("x", re.escape("Running xmodem rescue.....")),
    ("m", re.escape("MAC address (format nn:nn:nn:nn:nn:nn): ")),
    ("p", re.escape("WARNING: the following test is used to determine physical presence")),
    ("k", re.escape("Confirm: wiping system keys y/N: ")),
    ("v", re.escape("Installed images versions: ")),
    ("u", re.escape(PICK)),
    ("d", r"Standalone diags cannot be run|Confirm: Erase filesystem"),
]


@pytest.mark.parametrize("key,shown", ENTRIES + [(k.upper(), s) for k, s in ENTRIES])
def test_every_letter_reaches_its_entry_in_either_case(loader, key, shown):
    loader.file("/mnt/usb/readme.txt", "x")
    child = enter_menu(loader)
    child.send(key)
    child.expect_exact(key + "\r\n")
    child.expect(shown)
    if key in "xX":
        xmodem_sender.start(child)
        xmodem_sender.send(child, b"x", cancel_after=0)
        xmodem_sender.finish(child)
    else:
        # A line read goes on after Ctrl-C until Enter; the MAC prompt then gives up.
        child.send({"t": "q\r", "u": "q\r", "m": "\x03\r"}.get(key.lower(), "\x03"))
    child.expect_exact(MENU + PROMPT)
    child.send("e")
    child.expect_exact("application 1.0.0.0 running")
    loader.wait()


def test_unknown_letter_and_ctrl_c_ask_again_without_the_list(loader):
    child = enter_menu(loader)
    child.send("z")
    child.expect_exact('z\r\nunknown option "Z". Please try again\r\n' + PROMPT)
    child.send("\x03")
    child.expect_exact(PROMPT)
    child.send("E")
    child.expect_exact("application 1.0.0.0 running")
    loader.wait()
    console = loader.console()
    assert console.count("Please select one") == 1
    assert console.count("Entering Rescue Mode.") == 1


@pytest.mark.parametrize("key,boots", [("e", True), ("r", False)])
def test_exit_goes_on_with_the_boot_and_reboot_does_not(loader, key, boots):
    child = enter_menu(loader)
    child.send(key)
    loader.wait()
    console = loader.console()
    assert ("application 1.0.0.0 running" in console) == boots
    assert ("[board] reboot" in console) != boots
    assert ("Booting image '1'" in console) == boots


def listing(text):
    return {name: int(n) for n, name in re.findall(r"\t(\d+): (\S+)\r\n", text)}


def pick(loader, files, dirs=()):
    for name, data in files.items():
        loader.file(f"/mnt/usb/{name}", data)
    for d in dirs:
        loader.file(f"/mnt/usb/{d}/inner", "x")
    child = enter_menu(loader)
    start = len(loader.console())
    child.send("u")
    child.expect_exact(PICK)
    return child, listing(loader.console()[start:])


@pytest.mark.parametrize("answer", ["q", "Quit", "0", "-3"])
def test_picker_leaves_quietly(loader, answer):
    child, listed = pick(loader, {"a.img": "a", "b.img": "b"}, dirs=("sub",))
    assert sorted(listed) == ["a.img", "b.img"] and sorted(listed.values()) == [1, 2]
    child.sendline(answer)
    child.expect_exact(MENU + PROMPT)
    assert "Installing" not in loader.console()
    child.send("e")
    loader.wait()
    assert "Invalid file number" not in loader.console()


def test_picker_rejects_text_then_takes_the_leading_number(loader):
    child, listed = pick(loader, {"a.img": "not an image", "b.img": "not an image either"})
    by_number = {n: name for name, n in listed.items()}
    child.sendline("abc")
    child.expect_exact("Invalid file number abc. Try again pleas\r\n")
    child.sendline("2x")
    child.expect_exact(f"Installing {by_number[2]}\r\n")
    child.expect_exact(MENU + PROMPT)
    child.send("e")
    loader.wait()
    # A failed installation leaves no install log line.
    log = loader.read("/user/install.log") or b""
    assert b"USB" not in log
    assert loader.console().count(PICK) == 1


def test_picker_installs_a_good_file_and_logs_it(loader):
    child, listed = pick(loader, {"new.img": app_image("2.0.0.0"), "other": "x"})
    child.sendline(str(listed["new.img"]))
    child.expect_exact("Installing new.img\r\n")
    child.expect_exact("(hit return to just boot image): ")
    child.sendline("2")
    child.expect_exact(MENU + PROMPT)
    child.send("e")
    loader.wait()
    assert b"File /mnt/usb/new.img installed from USB at " in loader.read("/user/install.log")
    assert loader.read("/user/images/image2") is not None


def test_stick_with_only_directories_lists_nothing(loader):
    child, listed = pick(loader, {}, dirs=("one", "two"))
    assert listed == {}
    child.sendline("1")
    child.expect_exact(MENU + PROMPT)
    assert "Installing" not in loader.console()
    child.send("e")
    loader.wait()
