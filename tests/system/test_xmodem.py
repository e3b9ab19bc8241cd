"""XMODEM-1K downloads over the serial console through the rescue menu."""

import os

import pytest

import xmodem_sender
from harness import MENU_PROMPT, SLOT
from images import app_image, env_image

SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "


def choose_xmodem(loader):
    loader.mtd("ubootenv", env_image("diagnostics=rescue"))
    child = loader.start(timeout=60)
    child.expect_exact(MENU_PROMPT)
    child.send("x")
    child.expect_exact("Running xmodem rescue.....\r\n")
    return child


def test_xmodem_download_installs_the_padded_image(loader):
    image = app_image("4.0.0.0", files={"home/bin/data": (os.urandom(5000), 0o644)})
    assert len(image) // 1024 >= 4 and len(image) % 1024, "the last block must carry padding"
    child = choose_xmodem(loader)
    xmodem_sender.start(child)
    assert xmodem_sender.send(child, image)
    xmodem_sender.finish(child)
    child.expect_exact(SLOT_PROMPT)
    child.send("2\n")
    child.expect_exact("Image2 updated succeeded\r\n")
    loader.leave_menus(60)
    assert loader.read("/tmp/image") == xmodem_sender.padded(image)
    assert loader.read(SLOT.format(2)) == image
    [line] = loader.install_log()
    assert "image" in line and "xmodem" in line


# A cancelled transfer, and receivers that leave a file behind although the transfer did not complete.
@pytest.mark.parametrize("receiver,leftover", [
    (None, None),
    (None, b"an image from an earlier download"),
    ("head -c 3000 /user/images/pkg >\"$1\"; exit 1", None),  # cut short, the status says so
    (": >\"$1\"; exit 0", None),                               # gave up, empty file
])
def test_incomplete_download_installs_nothing(loader, receiver, leftover):
    if leftover is not None:
        loader.file("/tmp/image", leftover)
    if receiver:
        loader.file("/user/images/pkg", app_image("4.0.0.1"))
        loader.file("/usr/bin/rx", f"#!/bin/sh\n{receiver}\n", mode=0o755)
    child = choose_xmodem(loader)
    if receiver:
        child.expect_exact("before initiating the download.\r\n")
        child.send("\r")
    else:
        xmodem_sender.start(child)
        assert not xmodem_sender.send(child, os.urandom(8000), cancel_after=2)
    xmodem_sender.finish(child)
    loader.leave_menus(60)
    console = loader.console()
    assert "Extracting images" not in console and SLOT_PROMPT not in console
    assert loader.read("/tmp/image") is None and loader.install_log() == []


def test_download_starts_only_on_carriage_return(loader):
    child = choose_xmodem(loader)
    child.expect_exact("before initiating the download.\r\n")
    child.send("\n")  # a line feed does not start the download
    child.expect_exact("... Waiting for the <Enter> key to be hit before the download can start...")
    child.send("\r")
    child.expect_exact("C")  # the receiver asks for the transfer
    xmodem_sender.send(child, b"x", cancel_after=0)
    child.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key")
    # Back at the console's own settings, which map the operator's carriage
    # return to the line feed this wait takes.
    child.send("\r")
    loader.leave_menus(60)
    assert loader.console().count("Running xmodem rescue") == 1
