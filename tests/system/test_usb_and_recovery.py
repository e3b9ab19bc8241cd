"""Booting from a USB stick (with the rejected list) and from the rescue partition."""

import hashlib

import pytest

from harness import SLOT, boot, boot_source, in_order, talk, usb_stick
from images import APPLICATION, DIAGNOSTICS, KERNEL, RFS, app_archive, app_image, component, env_image

OS_IMAGE = "KPX4190_OS.img"


def marker(image):
    return f"/user/images/rejected/{hashlib.md5(image).hexdigest()}"


# A stick's image goes on the rejected list before it is read: one that fails is not tried again unasked.
# Without its checksum (the md5sum output cannot be written) the image boots unlisted.
@pytest.mark.parametrize("image,shown,booted,source,blocked", [
    (app_image("3.0.0.0"), "Booting image 'KPX4190_OS.img' from USB stick.\r\n", "3.0.0.0", 3, False),
    (component(KERNEL, b"k" * 64), "Error: USB image corrupted or belongs to another switch type.\r\n", "1.0.0.0", 1,
     False),
    (app_image("3.0.0.0")[:-1] + b"!", "USB image CRC failed.", "1.0.0.0", 1, False),
    (app_image("3.0.0.0"), ("Warning: Cannot determine if image is in rejected list!\r\n",
                            "Warning: Cannot add image to rejected list!\r\n"), "3.0.0.0", 3, True),
], ids=["boots", "corrupt", "crc", "unlisted"])
def test_usb_image_is_tried_once_and_goes_on_the_rejected_list(loader, image, shown, booted, source, blocked):
    usb_stick(loader, {OS_IMAGE: image})
    if blocked:
        loader.file("/tmp/img_md5string/x", "")
    _, console = boot(loader)
    assert in_order(console, "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n",
                    "USB mounted and ready!\r\n", "No boot image found on USB.\r\n",
                    *([shown] if isinstance(shown, str) else shown), f"application {booted} running"), console
    assert boot_source(loader) == source
    assert loader.read(marker(image)) == (None if blocked else b"")


# name on the stick, question, shown when taken, shown when refused
REJECTED = {
    "os": (OS_IMAGE, "USB image is in rejected list.\r\nWould you still like to load it? (y/n) ",
           ["Continuing to load USB image..."], ["USB Boot failed. Trying flash images.\r\n"]),
    "replacement": ("KPX4190_replace1_OS.img",
                    "Replacement USB image is in rejected list.\r\nWould you still like to load it? ",
                    ["Continuing with replacement USB image...",
                     "USB replacement image: board will boot with image1."], []),
}


# None: no answer in time; "eof": the console is at its end, nobody can answer. Other keys ask again.
@pytest.mark.parametrize("reply", ["xy\n", "n\n", None, "eof"])
@pytest.mark.parametrize("kind", list(REJECTED))
def test_rejected_usb_image_asks_first(loader, kind, reply):
    name, question, if_taken, if_refused = REJECTED[kind]
    image = app_image("3.0.0.0")
    usb_stick(loader, {name: image})
    loader.file(marker(image), "")
    eof = ["/bin/sh", "-c", "exec /bin/imgloader-sim </dev/null"]
    talk(loader.start(eof if reply == "eof" else None), [(question, reply if reply in ("xy\n", "n\n") else "")])
    loader.leave_menus()
    console = loader.console()
    taken = reply == "xy\n"
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


ERASE = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
INSTALL = "Install recovery image as image 1 or 2 (hit return to just boot image): "
RECOVERY = app_image("4.0.0.0", key=None)


# rescue partition, answer at the slot question, shown, slot 2 afterwards, EEPROM (selection, source),
# a path of /tmp that is a directory, so the loader cannot write it
@pytest.mark.parametrize("rescue,answer,shown,slot2,eeprom,blocked", [
    (RECOVERY, "2\n", ["Installing recovery image as image2...", "Setting boot image to 2",
                       "application 4.0.0.0 running"], RECOVERY, (2, 2), None),
    (RECOVERY, "\n", ["Booting recovery image. You will need to download and install an image before rebooting",
                      "application 4.0.0.0 running"], None, (0xFF, 4), None),
    (RECOVERY[:-1] + b"!", None, ["Image CRC failed. Quitting\r\n", "application 1.0.0.0 running"], None, (0xFF, 1),
     None),
    (component(KERNEL, b"k" * 64), None, ["Image not found... \r\n", "application 1.0.0.0 running"], None,
     (0xFF, 1), None),
    (RECOVERY, None, ["Failed to open AppOS tarfile.\r\n", "[board] reboot"], None, None, "/tmp/kalpaimage.tar.gz"),
    (RECOVERY, "1\n", ["Installing recovery image as image1...", "Failed to open image file.\r\n", "[board] reboot"],
     None, None, "/tmp/image"),
], ids=["install", "boot", "crc", "kernel", "no archive", "no image file"])
def test_recovery_image_from_the_rescue_partition(loader, rescue, answer, shown, slot2, eeprom, blocked):
    diags_board(loader, rescue)
    if blocked:
        loader.file(blocked + "/x", "")
    _, console = boot(loader, [(ERASE, "n")] + ([(INSTALL, answer)] if answer else []))
    assert in_order(console, "NOTE: switch running developer signed images", "Booting diags image...",
                    *shown), console
    data = loader.read("/board/eeprom.bin")
    assert ((data[256], data[314]) if data else None) == eeprom
    assert loader.read(SLOT.format(2)) == slot2
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
