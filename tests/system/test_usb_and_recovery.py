"""Booting from a USB stick (with the rejected list) and from the rescue partition."""

import hashlib

import pytest

from images import APPLICATION, DIAGNOSTICS, RFS, app_archive, app_image, component
from test_boot import env_image
from test_image_boot import boot, boot_source

USB_IMAGE = "/mnt/usb/KPX4190_OS.img"
QUESTION = "USB image is in rejected list.\r\nWould you still like to load it? (y/n) "


def usb_board(board, enable=b"\xd5", mounted=True, image=None):
    board.eeprom(315, enable)
    if mounted:
        board.file("/tmp/usb", "")
    if image is not None:
        board.file(USB_IMAGE, image)
    board.file("/user/images/image1", app_image("1.0.0.0"))


def marker(image):
    return f"/user/images/rejected/{hashlib.md5(image).hexdigest()}"


def test_usb_image_boots_once_and_goes_on_the_rejected_list(loader):
    image = app_image("3.0.0.0")
    usb_board(loader, image=image)
    _, console = boot(loader)
    at = [console.find(s) for s in (
        "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n",
        "USB mounted and ready!\r\n", "No boot image found on USB.\r\n",
        "Booting image 'KPX4190_OS.img' from USB stick.\r\n", "application 3.0.0.0 running")]
    assert -1 not in at and at == sorted(at), console
    assert boot_source(loader) == 3
    assert loader.read(marker(image)) == b""


@pytest.mark.parametrize("reply,booted", [("y\n", "3.0.0.0"), ("n\n", "1.0.0.0"), (None, "1.0.0.0")])
def test_rejected_usb_image_asks_first(loader, reply, booted):
    image = app_image("3.0.0.0")
    usb_board(loader, image=image)
    loader.file(marker(image), "")
    child = loader.start()
    child.expect_exact(QUESTION)
    if reply:
        child.send(reply)
    loader.wait()
    console = loader.console()
    assert f"application {booted} running" in console
    if reply is None:
        assert '\r\nTimeout. Assuming "no".\r\n' in console
    if booted == "1.0.0.0":
        assert "USB Boot failed. Trying flash images.\r\n" in console
    else:
        assert "Continuing to load USB image..." in console


@pytest.mark.parametrize("enable,mounted,expected,absent", [
    (b"\x00", True, [], ["Attempting to mount", "USB"]),
    (b"\xd5", False, ["USB mount timed out\r\n"], ["No boot image found on USB."]),
    (b"\xd5", True, ["No boot image found on USB.\r\n", "No valid image found on USB\r\n"], []),
])
def test_usb_stage_without_an_image(loader, enable, mounted, expected, absent):
    usb_board(loader, enable=enable, mounted=mounted)
    _, console = boot(loader)
    assert "application 1.0.0.0 running" in console
    for text in expected:
        assert text in console
    for text in absent:
        assert text not in console
    if not mounted:
        assert "." * 10 + "USB mount timed out" in console


def diags_board(board, rescue, rfs_secured=False, lowsec=False):
    board.mtd("ubootenv", env_image("diagnostics=diags"))
    board.mtd("rescue", rescue)
    if rfs_secured:
        board.mtd("rfs", component(RFS, b"rootfs" * 100, key="production"))
    if lowsec:
        board.file("/tmp/lowsec", "trelmock\n")
    board.file("/user/images/image1", app_image("1.0.0.0"))


def test_recovery_image_installed_as_image_2(loader):
    recovery = app_image("4.0.0.0", key=None)
    diags_board(loader, recovery)
    child = loader.start()
    child.expect_exact("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")
    child.send("n")
    child.expect_exact("Install recovery image as image 1 or 2 (hit return to just boot image): ")
    child.send("2\n")
    loader.wait()
    console = loader.console()
    at = [console.find(s) for s in ("NOTE: switch running developer signed images", "Booting diags image...",
                                    "Installing recovery image as image2...", "Setting boot image to 2",
                                    "application 4.0.0.0 running")]
    assert -1 not in at and at == sorted(at), console
    eeprom = loader.read("/board/eeprom.bin")
    assert (eeprom[256], eeprom[314]) == (2, 2)
    assert loader.read("/user/images/image2") == recovery
    assert "flash_eraseall" not in " ".join(loader.commands())


def test_diagnostics_image_after_erasing_user(loader):
    payload = app_archive(files={"mpdiag.elf.strip": ("#!/bin/sh\necho diagnostics running\n", 0o755)})
    diags_board(loader, component(DIAGNOSTICS, payload), rfs_secured=True, lowsec=True)
    child = loader.start()
    child.expect_exact("y/N: ")
    child.send("y")
    loader.wait()
    console = loader.console()
    assert "Launching diagnostics image" in console and "diagnostics running" in console
    assert boot_source(loader) == 4
    cmds = loader.commands()
    assert "flash_eraseall /dev/mtd-user-char" in cmds


def test_standalone_diagnostics_refused_on_a_secured_switch(loader):
    diags_board(loader, component(APPLICATION, b"x" * 100), rfs_secured=True)
    _, console = boot(loader)
    assert "Standalone diags cannot be run on a secured switch\r\nPlease establish physical presence first" in console
    assert "application 1.0.0.0 running" in console
