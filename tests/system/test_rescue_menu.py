"""The rescue menu on the serial console and its USB file picker."""

import re
import time

import pytest

import xmodem_sender
from harness import MENU, MENU_PROMPT, enter_menu, exit_menu
from images import app_image, env_image

PICK = "Choose file number to install (q to quit): "

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
        # A line read goes on after Ctrl-C until Enter; the MAC prompt then gives up. The
        # versions need no key: a Ctrl-C sent then could land after the Exit.
        child.send({"t": "q\r", "u": "q\r", "m": "\x03\r", "v": ""}.get(key.lower(), "\x03"))
    child.expect_exact(MENU + MENU_PROMPT)
    child.send("e" if key.islower() else "E")
    child.expect_exact("application 1.0.0.0 running")
    loader.wait()


def test_unknown_letter_and_ctrl_c_ask_again_without_the_list_and_r_reboots(loader):
    child = enter_menu(loader)
    child.send("z")
    child.expect_exact('z\r\nunknown option "Z". Please try again\r\n' + MENU_PROMPT)
    child.send("\x03")
    child.expect_exact(MENU_PROMPT)
    child.send("R")
    loader.wait()
    console = loader.console()
    assert console.count("Please select one") == 1 and console.count("Entering Rescue Mode.") == 1
    assert "[board] reboot" in console
    assert "Booting image '1'" not in console and "application 1.0.0.0 running" not in console


def pick(loader, files, dirs=()):
    """Opens the picker on a stick with files and dirs; answers the listing {name: number}."""
    for name, data in files.items():
        loader.file(f"/mnt/usb/{name}", data)
    for d in dirs:
        loader.file(f"/mnt/usb/{d}/inner", "x")
    child = enter_menu(loader)
    start = len(loader.console())
    child.send("u")
    child.expect_exact(PICK)
    return child, {name: int(n) for n, name in re.findall(r"\t(\d+): (\S+)\r\n", loader.console()[start:])}


@pytest.mark.parametrize("dirs,answer", [
    (("sub",), "q"), (("sub",), "Quit"), (("sub",), "0"), (("sub",), "-3"), (("one", "two"), "1"),
])
def test_picker_lists_files_only_and_leaves_quietly(loader, dirs, answer):
    # Only directories: nothing is listed and no number picks anything.
    files = {} if len(dirs) > 1 else {"a.img": "a", "b.img": "b"}
    child, listed = pick(loader, files, dirs)
    assert sorted(listed) == sorted(files) and sorted(listed.values()) == list(range(1, len(files) + 1))
    child.sendline(answer)
    console = exit_menu(loader, child)
    assert "Installing" not in console and "Invalid file number" not in console


def test_picker_without_the_stick_directory(loader):
    loader.remove("/mnt/usb")
    child = enter_menu(loader)
    child.send("u")
    exit_menu(loader, child, "u\r\nUnable to open USB directory. Quitting\r\n")


def test_picker_rejects_text_then_takes_the_leading_number(loader):
    child, listed = pick(loader, {"a.img": "not an image", "b.img": "not an image either"})
    by_number = {n: name for name, n in listed.items()}
    child.send("\x03\r")  # Ctrl-C does not leave: the empty line is no number
    child.expect_exact("Invalid file number . Try again pleas\r\n")
    child.sendline("abc")
    child.expect_exact("Invalid file number abc. Try again pleas\r\n")
    child.sendline("2x")
    child.expect_exact(f"Installing {by_number[2]}\r\n")
    console = exit_menu(loader, child)
    # A failed installation leaves no install log line.
    assert b"USB" not in (loader.read("/user/install.log") or b"")
    assert console.count(PICK) == 1


def test_picker_installs_a_good_file_and_logs_it(loader):
    child, listed = pick(loader, {"new.img": app_image("2.0.0.0"), "other": "x"})
    child.sendline(str(listed["new.img"]))
    child.expect_exact("Installing new.img\r\n")
    child.expect_exact("(hit return to just boot image): ")
    child.sendline("2")
    exit_menu(loader, child)
    assert b"File /mnt/usb/new.img installed from USB at " in loader.read("/user/install.log")
    assert loader.read("/user/images/image2") is not None


def test_a_console_at_end_of_input_is_asked_at_most_once_a_second(loader):
    loader.config("time_scale 1")  # the pause at a gone console is real time here
    loader.mtd("ubootenv", env_image("diagnostics=rescue"))
    child = loader.start(["/bin/sh", "-c", "exec /bin/imgloader-sim </dev/null"])
    child.expect_exact(MENU_PROMPT)
    time.sleep(3)
    loader.finish()
    assert 1 <= loader.console().count("Option? : ") <= 5
