"""Booting from a USB stick (with the rejected list) and from the rescue partition."""

import hashlib

import pytest

from harness import SLOT, boot, boot_source, in_order, usb_stick
from images import APPLICATION, DIAGNOSTICS, RFS, app_archive, app_image, component, env_image

OS_IMAGE = "KPX4190_OS.img"


def marker(image):
    return f"/user/images/rejected/{hashlib.md5(image).hexdigest()}"


def test_usb_image_boots_once_and_goes_on_the_rejected_list(loader):
    image = app_image("3.0.0.0")
    usb_stick(loader, {OS_IMAGE: image})
    _, console = boot(loader)
    assert in_order(console, "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n",
                    "USB mounted and ready!\r\n", "No boot image found on USB.\r\n",
                    "Booting image 'KPX4190_OS.img' from USB stick.\r\n", "application 3.0.0.0 running"), console
    assert boot_source(loader) == 3
    assert loader.read(marker(image)) == b""


# name on the stick, question, shown when taken, shown when refused
REJECTED = {
    "os": (OS_IMAGE, "USB image is in rejected list.\r\nWould you still like to load it? (y/n) ",
           ["Continuing to load USB image..."], ["USB Boot failed. Trying flash images.\r\n"]),
    "replacement": ("KPX4190_replace1_OS.img",
                    "Replacement USB image is in rejected list.\r\nWould you still like to load it? ",
                    ["Continuing with replacement USB image...",
                     "USB replacement image: board will boot with image1."], []),
}


@pytest.mark.parametrize("reply", ["y\n", "n\n", None])
@pytest.mark.parametrize("kind", list(REJECTED))
def test_rejected_usb_image_asks_first(loader, kind, reply):
    name, question, if_taken, if_refused = REJECTED[kind]
    image = app_image("3.0.0.0")
    usb_stick(loader, {name: image})
    loader.file(marker(image), "")
    _, console = boot(loader, [(question, reply or "")])
    taken = reply == "y\n"
    assert f"application {'3.0.0.0' if taken else '1.0.0.0'} running" in console
    assert ('\r\nTimeout. Assuming "no".\r\n' in console) == (reply is None)
    assert (loader.read(SLOT.format(1)) == image) == (taken and kind == "replacement")
    for text in if_taken + if_refused:
        assert (text in console) == (taken == (text in if_taken)), text


@pytest.mark.parametrize("enable,mounted,expected,absent", [
    (b"\x00", True, [], ["Attempting to mount", "USB"]),
    (b"\xd5", False, ["." * 10 + "USB mount timed out\r\n"], ["No boot image found on USB."]),
    (b"\xd5", True, ["No boot image found on USB.\r\n", "No valid image found on USB\r\n"], []),
])
def test_usb_stage_without_an_image(loader, enable, mounted, expected, absent):
    usb_stick(loader, enable=enable, mounted=mounted)
    _, console = boot(loader)
    assert "application 1.0.0.0 running" in console
    assert all(text in console for text in expected), console
    assert not any(text in console for text in absent), console


def diags_board(board, rescue, rfs_secured=False, lowsec=False):
    board.mtd("ubootenv", env_image("diagnostics=diags"))
    board.mtd("rescue", rescue)
    if rfs_secured:
        board.mtd("rfs", component(RFS, b"rootfs" * 100, key="production"))
    if lowsec:
        board.file("/tmp/lowsec", "trelmock\n")
    board.file(SLOT.format(1), app_image("1.0.0.0"))


def test_recovery_image_installed_as_image_2(loader):
    recovery = app_image("4.0.0.0", key=None)
    diags_board(loader, recovery)
    _, console = boot(loader, [
        ("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ", "n"),
        ("Install recovery image as image 1 or 2 (hit return to just boot image): ", "2\n")])
    assert in_order(console, "NOTE: switch running developer signed images", "Booting diags image...",
                    "Installing recovery image as image2...", "Setting boot image to 2",
                    "application 4.0.0.0 running"), console
    eeprom = loader.read("/board/eeprom.bin")
    assert (eeprom[256], eeprom[314]) == (2, 2)
    assert loader.read(SLOT.format(2)) == recovery
    assert "flash_eraseall" not in " ".join(loader.commands())


def test_diagnostics_image_after_erasing_user(loader):
    payload = app_archive(files={"mpdiag.elf.strip": ("#!/bin/sh\necho diagnostics running\n", 0o755)})
    diags_board(loader, component(DIAGNOSTICS, payload), rfs_secured=True, lowsec=True)
    _, console = boot(loader, [("y/N: ", "y")])
    assert "Launching diagnostics image" in console and "diagnostics running" in console
    assert boot_source(loader) == 4
    cmds = loader.commands()
    at = cmds.index("umount /user")
    assert cmds[at:at + 3] == ["umount /user", "flash_eraseall /dev/mtd-user-char",
                               "mount -o sync -t jffs2 /dev/mtd-user /user"], cmds


def test_standalone_diagnostics_refused_on_a_secured_switch(loader):
    diags_board(loader, component(APPLICATION, b"x" * 100), rfs_secured=True)
    _, console = boot(loader)
    assert "Standalone diags cannot be run on a secured switch\r\nPlease establish physical presence first" in console
    assert "application 1.0.0.0 running" in console
